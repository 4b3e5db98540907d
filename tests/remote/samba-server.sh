# shellcheck shell=bash
# A real standalone Samba server on 127.0.0.1 for the remote tests and the remote benchmark.
# Sourced, not run. Everything lives under one folder; accounts come from nss_wrapper files, so the
# machine's own accounts and /etc are never touched.
#
#   samba_missing              prints what is missing to run a server, nothing when all is there
#   samba_enter_namespace ...  re-runs the calling script in a private network and mount namespace
#   samba_prepare DIR COUNT    writes the configuration, the fixture accounts and the client set-up
#   samba_start DIR            starts samba-dcerpcd and smbd, waits until they answer
#   samba_stop                 stops both by their process ids
#
# The client side: a private /etc/samba (bind-mounted in the mount namespace) holds the smb.conf that
# libnetapi reads and an lmhosts file that names the server TESTSRV, so no lookup leaves the
# namespace and the machine's own Samba settings play no part.

SAMBA_DCERPCD=${SAMBA_DCERPCD:-/usr/libexec/samba/samba-dcerpcd}
SAMBA_NSS_WRAPPER=${SAMBA_NSS_WRAPPER:-/usr/lib/x86_64-linux-gnu/libnss_wrapper.so}
# The password of every account the fixtures create.
SAMBA_PASSWORD=secret

samba_missing() {
    if [ "$(id -u)" != 0 ]; then
        echo "needs root (network namespace, bind mount)"
        return
    fi
    local tool
    for tool in smbd pdbedit net unshare ip mount; do
        command -v "$tool" >/dev/null 2>&1 || { echo "$tool not found"; return; }
    done
    [ -x "$SAMBA_DCERPCD" ] || { echo "$SAMBA_DCERPCD not found"; return; }
    [ -f "$SAMBA_NSS_WRAPPER" ] || { echo "nss_wrapper ($SAMBA_NSS_WRAPPER) not found"; return; }
    [ -d /etc/samba ] || echo "/etc/samba not found"
}

# Re-runs "$0 $@" in new network and mount namespaces with the loopback up. Refuses to go on
# anywhere else (fails closed), so that no test traffic can leave the machine and no mount touches it.
samba_enter_namespace() {
    local net mnt
    if ! net=$(readlink /proc/self/ns/net) || ! mnt=$(readlink /proc/self/ns/mnt); then
        echo "cannot read this process's namespaces" >&2
        exit 1
    fi
    if [ -z "${TAVRICK_OUTER_NAMESPACES:-}" ]; then
        TAVRICK_OUTER_NAMESPACES="$net $mnt" exec unshare --net --mount --propagation private -- "$0" "$@"
    fi
    if [ -z "$net" ] || [ -z "$mnt" ] || [ "$TAVRICK_OUTER_NAMESPACES" != "${TAVRICK_OUTER_NAMESPACES#*"$net"}" ] ||
        [ "$TAVRICK_OUTER_NAMESPACES" != "${TAVRICK_OUTER_NAMESPACES#*"$mnt"}" ] ||
        [ "$(ip -o link show | grep -cv ': lo:')" != 0 ]; then
        echo "not inside fresh network and mount namespaces: refusing to start a server" >&2
        exit 1
    fi
    ip link set lo up
}

samba_fixtures() { # DIR COUNT: passwd, group and smbpasswd files for nss_wrapper and pdbedit
    local dir=$1 count=$2
    {
        echo "root:x:0:0:root:/root:/bin/sh"
        echo "nobody:x:65534:65534:nobody:/nonexistent:/usr/sbin/nologin"
        echo "tester:x:1000:50:Test User:/home/tester:/bin/sh"
        printf 'zoe:x:1001:100:Zo\303\253 \303\205ngstr\303\266m:/home/zoe:/bin/sh\n'
        printf 'j\303\274rgen:x:1002:100:J\303\274rgen Gro\303\237:/home/jurgen:/bin/sh\n'
        echo "olduser:x:1003:100:Old User:/home/olduser:/bin/sh"
        echo "expired:x:1004:100:Expired Password:/home/expired:/bin/sh"
        echo "outsider:x:1005:100:Outsider:/home/outsider:/bin/sh"
        awk -v n="$count" 'BEGIN { for (i = 1; i <= n; i++)
            printf "user%04d:x:%d:100:User %04d:/home/user%04d:/bin/sh\n", i, 20000 + i, i, i }'
    } >"$dir/passwd"
    {
        echo "root:x:0:"
        echo "staff:x:50:"
        echo "users:x:100:tester"
        echo "project:x:60:tester,zoe"
        echo "unmapped:x:70:tester"
        echo "nogroup:x:65534:"
    } >"$dir/group"
}

samba_prepare() { # DIR COUNT
    local dir=$1 count=$2
    rm -rf "$dir"
    mkdir -p "$dir"/private "$dir"/lock "$dir"/state "$dir"/cache "$dir"/pid "$dir"/ncalrpc \
        "$dir"/log "$dir"/winbindd "$dir"/etc-samba
    cat >"$dir/smb.conf" <<EOF
[global]
netbios name = TESTSRV
workgroup = TESTDOM
server role = standalone server
security = user
passdb backend = tdbsam:$dir/private/passdb.tdb
interfaces = 127.0.0.1/8
bind interfaces only = yes
disable netbios = yes
smb ports = 445
rpc start on demand helpers = no
restrict anonymous = 1
map to guest = never
lock directory = $dir/lock
state directory = $dir/state
cache directory = $dir/cache
private dir = $dir/private
pid directory = $dir/pid
ncalrpc dir = $dir/ncalrpc
log file = $dir/log/log.%m
load printers = no
printing = bsd
printcap name = /dev/null
disable spoolss = yes

# Refused the IPC$ share: logs on, and is denied access.
[IPC\$]
invalid users = outsider
EOF
    # The client's view: libnetapi reads /etc/samba/smb.conf, and finds TESTSRV in lmhosts.
    cat >"$dir/etc-samba/smb.conf" <<EOF
[global]
workgroup = TESTDOM
name resolve order = lmhosts host
disable netbios = yes
EOF
    echo "127.0.0.1 TESTSRV" >"$dir/etc-samba/lmhosts"
    mount --bind "$dir/etc-samba" /etc/samba

    samba_fixtures "$dir" "$count"
    (
        samba_server_environment "$dir"
        local conf=$dir/smb.conf
        # One account made the slow way gives the password hash that the bulk import reuses.
        printf '%s\n%s\n' "$SAMBA_PASSWORD" "$SAMBA_PASSWORD" | pdbedit -s "$conf" -t -a -u tester >/dev/null
        local hash
        hash=$(pdbedit -s "$conf" -L -w -u tester | cut -d: -f4)
        # Fixed last-change time, 2020-07-04: every password is old enough to have expired.
        awk -F: -v hash="$hash" '$3 >= 1001 && $3 < 65534 {
            flags = ($1 == "expired") ? "[U          ]" : "[UX         ]"
            printf "%s:%d:%s:%s:%s:LCT-5F000000:\n", $1, $3, "XXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXX", hash, flags
        }' "$dir/passwd" >"$dir/smbpasswd"
        pdbedit -s "$conf" -i "smbpasswd:$dir/smbpasswd" -e "tdbsam:$dir/private/passdb.tdb" >/dev/null
        net -s "$conf" groupmap add ntgroup="Domain Users" unixgroup=users rid=513 type=domain >/dev/null
        net -s "$conf" groupmap add ntgroup="Staff" unixgroup=staff rid=1050 type=domain >/dev/null
        net -s "$conf" groupmap add ntgroup="Project" unixgroup=project rid=1060 type=domain >/dev/null
        pdbedit -s "$conf" -u olduser -c '[D]' >/dev/null
        printf -v full_name 'Zo\303\253 \303\205ngstr\303\266m'
        pdbedit -s "$conf" -u zoe -f "$full_name" >/dev/null
        # Passwords expire after a day, except for the accounts flagged as never expiring.
        pdbedit -s "$conf" -P "maximum password age" -C 86400 >/dev/null
    )
}

samba_server_environment() { # DIR: the environment of the server's tools
    export NSS_WRAPPER_PASSWD=$1/passwd NSS_WRAPPER_GROUP=$1/group LD_PRELOAD=$SAMBA_NSS_WRAPPER
    # Without a folder of its own smbd may ask the machine's winbindd for ids, and logons fail.
    export SELFTEST_WINBINDD_SOCKET_DIR=$1/winbindd
}

samba_start() { # DIR: the servers are children of the calling shell, so that it can reap them
    local dir=$1 tries=0
    local environment="NSS_WRAPPER_PASSWD=$dir/passwd NSS_WRAPPER_GROUP=$dir/group LD_PRELOAD=$SAMBA_NSS_WRAPPER"
    environment="$environment SELFTEST_WINBINDD_SOCKET_DIR=$dir/winbindd"
    # shellcheck disable=SC2086 # the environment splits into its assignments
    env $environment "$SAMBA_DCERPCD" -F --libexec-rpcds -s "$dir/smb.conf" -l "$dir/log" \
        </dev/null >"$dir/log/dcerpcd.out" 2>&1 &
    SAMBA_PIDS=$!
    # shellcheck disable=SC2086
    env $environment smbd -F -s "$dir/smb.conf" -l "$dir/log" </dev/null >"$dir/log/smbd.out" 2>&1 &
    SAMBA_PIDS="$SAMBA_PIDS $!"
    until [ -S "$dir/ncalrpc/np/samr" ] && (exec 3<>/dev/tcp/127.0.0.1/445) 2>/dev/null; do
        tries=$((tries + 1))
        if [ "$tries" -gt 200 ]; then
            echo "samba did not start; see $dir/log" >&2
            return 1
        fi
        sleep 0.05
    done
}

samba_stop() { # SIGTERM each server, SIGKILL what is left after 5 s, and reap them
    local pid tries
    for pid in ${SAMBA_PIDS:-}; do
        kill -TERM "$pid" 2>/dev/null || continue
        tries=0
        while samba_running "$pid" && [ "$tries" -lt 50 ]; do
            sleep 0.1
            tries=$((tries + 1))
        done
        kill -KILL "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    SAMBA_PIDS=
}

samba_running() { # PID: true while the process runs (an exited child waiting to be reaped does not)
    local stat
    stat=$(cat "/proc/$1/stat" 2>/dev/null) || return 1
    stat=${stat##*) }
    [ "${stat%% *}" != Z ]
}
