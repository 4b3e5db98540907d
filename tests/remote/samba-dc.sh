# shellcheck shell=bash disable=SC2034 # DC_HOST is for the scripts that source this
# A real Samba AD domain controller on 127.0.0.3 for the remote tests: the domain EXAMPLE (realm
# EXAMPLE.TEST), its server dc1.example.test and a KDC; sourced after samba-server.sh. All of it under
# one folder; a hosts file, an /etc/samba and a /run/samba of its own (bind-mounted) and
# data/dc-krb5.conf keep every lookup and connection in the namespace.

DC_PYTHON=${DC_PYTHON:-/usr/bin/python3} # Debian's Python, which holds Samba's bindings
DC_ADDRESS=127.0.0.3
DC_HOST=dc1.example.test
DC_PASSWORD='Tavrick-1-secret' # the Administrator's and tester's

dc_missing() { # what is missing to run a domain controller, nothing when all is there
    [ "$(id -u)" = 0 ] || { echo "needs root (network namespace, bind mount)"; return; }
    local tool
    for tool in samba samba-tool kinit rpcclient unshare ip mount; do command -v "$tool" >/dev/null || { echo "$tool not found"; return; }; done
    "$DC_PYTHON" -c 'import samba.samdb' 2>/dev/null || { echo "Samba's Python bindings not found"; return; }
    [ -d /usr/share/samba/setup ] || { echo "samba-ad-provision not installed"; return; }
    [ -d /etc/samba ] || echo "/etc/samba not found"
}

dc_prepare() { # DIR COUNT: the domain, its accounts (COUNT bulk ones), the client set-up
    local dir=$1 count=$2
    rm -rf "$dir"
    mkdir -p "$dir"/{etc-samba,run-samba,pid,ncalrpc,log}
    cp "$SAMBA_DATA/dc-client.conf" "$dir/etc-samba/smb.conf"
    mkdir -p /run/samba && mount --bind "$dir/run-samba" /run/samba && mount --bind "$dir/etc-samba" /etc/samba &&
        mount --bind "$SAMBA_DATA/dc-hosts" /etc/hosts || return 1
    if ! samba-tool domain provision --targetdir="$dir" --realm=EXAMPLE.TEST --domain=EXAMPLE --server-role=dc \
        --dns-backend=NONE --adminpass="$DC_PASSWORD" --host-name=dc1 --host-ip="$DC_ADDRESS" \
        --option="interfaces = $DC_ADDRESS/8" --option="bind interfaces only = yes" \
        --option="disable netbios = yes" >"$dir/log/provision.log" 2>&1; then
        echo "provisioning failed; see $dir/log/provision.log" >&2
        return 1
    fi
    sed "s|@DIR@|$dir|g" "$SAMBA_DATA/dc-server.conf" >"$dir/etc/smb.conf"
    "$DC_PYTHON" "$(dirname "${BASH_SOURCE[0]}")/dc-accounts.py" "$dir" "$count" "$DC_PASSWORD" \
        >"$dir/log/accounts.log" 2>&1 || { echo "creating the accounts failed; see $dir/log" >&2; return 1; }
}

dc_start() { # DIR: samba, a child of the calling shell, answering on 445 (SMB) and 88 (Kerberos)
    local dir=$1 tries=0
    samba -F -s "$dir/etc/smb.conf" </dev/null >"$dir/log/samba.out" 2>&1 &
    SAMBA_PIDS=$!
    for ((tries = 0; tries < 400; tries++)); do
        (exec 3<>"/dev/tcp/$DC_ADDRESS/445" 3<>"/dev/tcp/$DC_ADDRESS/88") 2>/dev/null && return
        samba_running "$SAMBA_PIDS" || break; sleep 0.05
    done
    echo "samba did not start; see $dir/log" >&2 && return 1
}

dc_stop() { # DIR: samba's services end after it, smbd and winbindd last, still writing
    local dir=$1 tries=0
    samba_stop
    # Their command lines name the folder's smb.conf (written so that grep's own does not match).
    for ((tries = 0; tries < 50; tries++)); do grep -qsa -- "--configfile=$dir/etc/smb[.]conf" /proc/[0-9]*/cmdline && sleep 0.1; done
    umount /run/samba /etc/hosts /etc/samba 2>/dev/null
}
