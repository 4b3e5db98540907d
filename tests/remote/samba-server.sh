# SPDX-License-Identifier: GPL-3.0-or-later
# shellcheck shell=bash disable=SC2046 # $(samba_environment) splits into its assignments
# A real standalone Samba server on 127.0.0.1 for the remote tests and benchmark; sourced. All of it
# lives under one folder, its accounts in nss_wrapper files (data/passwd, data/group and COUNT bulk
# ones); the client's smb.conf and an lmhosts naming TESTSRV in a private /etc/samba (bind-mounted).

SAMBA_DATA=$(cd "$(dirname "${BASH_SOURCE[0]}")/data" && pwd)
SAMBA_DCERPCD=${SAMBA_DCERPCD:-/usr/libexec/samba/samba-dcerpcd}
SAMBA_NSS_WRAPPER=${SAMBA_NSS_WRAPPER:-/usr/lib/x86_64-linux-gnu/libnss_wrapper.so}
SAMBA_PASSWORD=secret # every account's

samba_missing() { # what is missing to run a server, nothing when all is there
    [ "$(id -u)" = 0 ] || { echo "needs root (network namespace, bind mount)"; return; }
    local tool
    for tool in smbd pdbedit net unshare ip mount "$SAMBA_DCERPCD"; do command -v "$tool" >/dev/null || { echo "$tool not found"; return; }; done
    [ -f "$SAMBA_NSS_WRAPPER" ] || { echo "nss_wrapper ($SAMBA_NSS_WRAPPER) not found"; return; }
    [ -d /etc/samba ] || echo "/etc/samba not found"
}

# Re-runs "$0 $@" in new network and mount namespaces with the loopback up; refuses to go on
# anywhere else (fails closed), so that no test traffic leaves the machine and no mount touches it.
samba_enter_namespace() {
    local net mnt
    net=$(readlink /proc/self/ns/net) && mnt=$(readlink /proc/self/ns/mnt) || exit 1
    if [ -z "${TAVRICK_OUTER_NAMESPACES:-}" ]; then
        TAVRICK_OUTER_NAMESPACES="$net $mnt" exec unshare --net --mount --propagation private -- "$0" "$@"
    fi
    case "$TAVRICK_OUTER_NAMESPACES" in *"$net"* | *"$mnt"*) echo "not in fresh namespaces" >&2 && exit 1 ;; esac
    [ "$(ip -o link show | grep -cv ': lo:')" = 0 ] || exit 1
    ip link set lo up
}

samba_environment() { # DIR: the environment of the server and its tools, as assignments
    echo "NSS_WRAPPER_PASSWD=$1/passwd NSS_WRAPPER_GROUP=$1/group LD_PRELOAD=$SAMBA_NSS_WRAPPER" \
        "SELFTEST_WINBINDD_SOCKET_DIR=$1/winbindd" # else smbd may ask the machine's winbindd
}

samba_prepare() { # DIR COUNT: the configuration, the accounts and the client set-up
    local dir=$1 count=$2 conf=$1/smb.conf hash
    rm -rf "$dir"
    mkdir -p "$dir"/{private,lock,state,cache,pid,ncalrpc,log,winbindd,etc-samba}
    sed "s|@DIR@|$dir|g" "$SAMBA_DATA/server.conf" >"$conf"
    cp "$SAMBA_DATA/client.conf" "$dir/etc-samba/smb.conf"
    echo "127.0.0.1 TESTSRV" >"$dir/etc-samba/lmhosts"
    mount --bind "$dir/etc-samba" /etc/samba
    cp "$SAMBA_DATA/group" "$dir/group"
    { cat "$SAMBA_DATA/passwd"; awk -v n="$count" 'BEGIN { for (i = 1; i <= n; i++)
        printf "user%04d:x:%d:100:User %04d:/home/user%04d:/bin/sh\n", i, 20000 + i, i, i }'; } >"$dir/passwd"
    (
        export $(samba_environment "$dir")
        # One account made the slow way gives the password hash that the bulk import reuses, with
        # a fixed last change (2020-07-04): every password is old enough to have expired.
        printf '%s\n%s\n' "$SAMBA_PASSWORD" "$SAMBA_PASSWORD" | pdbedit -s "$conf" -t -a -u tester >/dev/null
        hash=$(pdbedit -s "$conf" -L -w -u tester | cut -d: -f4)
        awk -F: -v hash="$hash" '$3 >= 1001 && $3 < 65534 { printf "%s:%d:%s:%s:%s:LCT-5F000000:\n",
            $1, $3, "XXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXX", hash, $1 == "expired" ? "[U          ]" : "[UX         ]" }' \
            "$dir/passwd" >"$dir/smbpasswd"
        pdbedit -s "$conf" -i "smbpasswd:$dir/smbpasswd" -e "tdbsam:$dir/private/passdb.tdb" >/dev/null
        while IFS=: read -r group unix rid; do
            net -s "$conf" groupmap add ntgroup="$group" unixgroup="$unix" rid="$rid" type=domain >/dev/null
        done <<<$'Domain Users:users:513\nStaff:staff:1050\nProject:project:1060'
        pdbedit -s "$conf" -u olduser -c '[D]' >/dev/null
        pdbedit -s "$conf" -u zoe -f "$(awk -F: '$1 == "zoe" { print $5 }' "$dir/passwd")" >/dev/null
        # Passwords expire after a day, except for the accounts flagged as never expiring.
        pdbedit -s "$conf" -P "maximum password age" -C 86400 >/dev/null
    )
}

samba_start() { # DIR: samba-dcerpcd and smbd, children of the calling shell, answering
    local dir=$1 tries=0
    env $(samba_environment "$dir") "$SAMBA_DCERPCD" -F --libexec-rpcds -s "$dir/smb.conf" -l "$dir/log" \
        </dev/null >"$dir/log/dcerpcd.out" 2>&1 &
    SAMBA_PIDS=$!
    env $(samba_environment "$dir") smbd -F -s "$dir/smb.conf" -l "$dir/log" </dev/null >"$dir/log/smbd.out" 2>&1 &
    SAMBA_PIDS="$SAMBA_PIDS $!"
    for ((tries = 0; tries < 400; tries++)); do
        [ -S "$dir/ncalrpc/np/samr" ] && (exec 3<>/dev/tcp/127.0.0.1/445) 2>/dev/null && return
        sleep 0.05
    done
    echo "samba did not start; see $dir/log" >&2 && return 1
}

samba_stop() { # SIGTERM each server, SIGKILL what is left after 5 s, and reap them
    local pid tries
    for pid in ${SAMBA_PIDS:-}; do
        kill -TERM "$pid" 2>/dev/null || continue
        for ((tries = 0; tries < 50; tries++)); do samba_running "$pid" && sleep 0.1; done
        kill -KILL "$pid" 2>/dev/null
        wait "$pid" 2>/dev/null
    done
    SAMBA_PIDS=
}

samba_limit_sessions() { # DIR CLIENTS: smbd takes CLIENTS at once (empty: any number), its own two on top
    sed -i '/^max smbd processes/d' "$1/smb.conf"
    [ -z "$2" ] || sed -i "/^\[global\]/a max smbd processes = $(($2 + 2))" "$1/smb.conf"
    kill -HUP "$(cut -d' ' -f2 <<<"$SAMBA_PIDS")" && sleep 1
}

samba_running() { # PID: true while the process runs (an exited child waiting to be reaped does not)
    local stat
    stat=$(cat "/proc/$1/stat" 2>/dev/null) || return 1
    stat=${stat##*) }
    [ "${stat%% *}" != Z ]
}
