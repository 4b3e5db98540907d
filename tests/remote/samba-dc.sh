# shellcheck shell=bash
# A real Samba Active Directory domain controller on 127.0.0.3 for the remote tests: the domain
# EXAMPLE (realm EXAMPLE.TEST), its server dc1.example.test, and a Kerberos key distribution centre.
# Sourced, not run, after samba-server.sh (namespaces, stopping by process id). Everything lives
# under one folder; inside the private mount namespace a hosts file of its own names the server, a
# private /etc/samba holds the client's smb.conf, a private /run/samba Samba's sockets and caches,
# and a krb5.conf of the folder's names the KDC, so no lookup or connection leaves the namespace and
# neither the machine's own settings nor another Samba on it play any part.
#
#   dc_missing              prints what is missing to run a domain controller, nothing when all is there
#   dc_prepare DIR COUNT    provisions the domain, its accounts (COUNT bulk ones) and the client set-up
#   dc_start DIR            starts samba, waits until it answers on 445 (SMB) and 88 (Kerberos)
#   dc_stop DIR             stops it by its process id, waits until its services have ended, and
#                           undoes the mounts

DC_PYTHON=${DC_PYTHON:-/usr/bin/python3} # Debian's Python, which holds Samba's bindings
DC_ADDRESS=127.0.0.3
DC_HOST=dc1.example.test
DC_REALM=EXAMPLE.TEST
# The password of the Administrator and of the test account that logs on.
DC_PASSWORD='Tavrick-1-secret'

dc_missing() {
    if [ "$(id -u)" != 0 ]; then
        echo "needs root (network namespace, bind mount)"
        return
    fi
    local tool
    for tool in samba samba-tool kinit unshare ip mount; do
        command -v "$tool" >/dev/null 2>&1 || { echo "$tool not found"; return; }
    done
    "$DC_PYTHON" -c 'import samba.samdb' 2>/dev/null || { echo "Samba's Python bindings not found"; return; }
    [ -d /usr/share/samba/setup ] || { echo "samba-ad-provision not installed"; return; }
    [ -d /etc/samba ] || echo "/etc/samba not found"
}

dc_prepare() { # DIR COUNT
    local dir=$1 count=$2
    rm -rf "$dir"
    mkdir -p "$dir"/etc-samba "$dir"/run-samba "$dir"/pid "$dir"/ncalrpc "$dir"/log
    # Samba's run-time folder: the server's winbindd socket (whose place smbd must find by default)
    # and the client's caches, out of reach of any other Samba on the machine.
    mkdir -p /run/samba && mount --bind "$dir/run-samba" /run/samba || return 1
    # The client's view: libnetapi reads /etc/samba/smb.conf and finds the server in /etc/hosts.
    # Provisioning reads the same smb.conf, so none of the machine's settings reach the server.
    cat >"$dir/etc-samba/smb.conf" <<EOF
[global]
workgroup = EXAMPLE
realm = $DC_REALM
name resolve order = host
disable netbios = yes
EOF
    mount --bind "$dir/etc-samba" /etc/samba || return 1
    printf '127.0.0.1 localhost\n%s %s dc1\n' "$DC_ADDRESS" "$DC_HOST" >"$dir/hosts"
    mount --bind "$dir/hosts" /etc/hosts || return 1
    cat >"$dir/krb5.conf" <<EOF
[libdefaults]
	default_realm = $DC_REALM
	dns_lookup_realm = false
	dns_lookup_kdc = false
[realms]
	$DC_REALM = {
		kdc = $DC_ADDRESS
	}
[domain_realm]
	.example.test = $DC_REALM
	example.test = $DC_REALM
EOF

    if ! samba-tool domain provision --targetdir="$dir" --realm="$DC_REALM" --domain=EXAMPLE \
        --server-role=dc --dns-backend=NONE --adminpass="$DC_PASSWORD" --host-name=dc1 \
        --host-ip="$DC_ADDRESS" --option="interfaces = $DC_ADDRESS/8" --option="bind interfaces only = yes" \
        --option="disable netbios = yes" >"$dir/log/provision.log" 2>&1; then
        echo "provisioning failed; see $dir/log/provision.log" >&2
        return 1
    fi
    # Every path under the folder, only the services the tests use, no printing. Not set: the
    # winbindd socket directory, without which smbd could not reach the server's own winbindd.
    cat >"$dir/etc/smb.conf" <<EOF
[global]
netbios name = DC1
workgroup = EXAMPLE
realm = $DC_REALM
server role = active directory domain controller
server services = s3fs, rpc, kdc, winbindd
interfaces = $DC_ADDRESS/8
bind interfaces only = yes
disable netbios = yes
binddns dir = $dir/bind-dns
cache directory = $dir/cache
lock directory = $dir
state directory = $dir/state
private dir = $dir/private
pid directory = $dir/pid
ncalrpc dir = $dir/ncalrpc
log file = $dir/log/log.%m
load printers = no
printing = bsd
printcap name = /dev/null
disable spoolss = yes

[sysvol]
path = $dir/state/sysvol
read only = no

[netlogon]
path = $dir/state/sysvol/example.test/scripts
read only = no
EOF
    "$DC_PYTHON" "$(dirname "${BASH_SOURCE[0]}")/dc-accounts.py" "$dir" "$count" "$DC_PASSWORD" \
        >"$dir/log/accounts.log" 2>&1 || { echo "creating the accounts failed; see $dir/log/accounts.log" >&2; return 1; }
}

dc_start() { # DIR: the server is a child of the calling shell, so that it can reap it
    local dir=$1 tries=0
    samba -F -s "$dir/etc/smb.conf" </dev/null >"$dir/log/samba.out" 2>&1 &
    SAMBA_PIDS=$!
    until (exec 3<>"/dev/tcp/$DC_ADDRESS/445") 2>/dev/null && (exec 3<>"/dev/tcp/$DC_ADDRESS/88") 2>/dev/null; do
        tries=$((tries + 1))
        if [ "$tries" -gt 400 ] || ! samba_running "$SAMBA_PIDS"; then
            echo "samba did not start; see $dir/log" >&2
            return 1
        fi
        sleep 0.05
    done
}

dc_stop() { # DIR: samba's services watch it and end after it; smbd and winbindd last, still writing
    local dir=$1 tries=0
    samba_stop
    # Their command lines name the folder's smb.conf (written so that grep's own does not match).
    while grep -qsa -- "--configfile=$dir/etc/smb[.]conf" /proc/[0-9]*/cmdline && [ "$tries" -lt 50 ]; do
        sleep 0.1
        tries=$((tries + 1))
    done
    umount /run/samba /etc/hosts /etc/samba 2>/dev/null
}
