#!/bin/bash
# SPDX-License-Identifier: GPL-3.0-or-later
# run.sh TAVRICK [NSS_WRAPPER]: the built tool against a real standalone Samba server on 127.0.0.1 in
# private network and mount namespaces, faults of the server included: walks data/samba.cases (see
# cases.sh). Exits 0 when every case passes, 1 when one fails, 77 (skipped) where it cannot run.
set -u

here=$(cd "$(dirname "$0")" && pwd)
tavrick=$(realpath "$1")
[ -n "${2:-}" ] && export SAMBA_NSS_WRAPPER=$2
# shellcheck source=samba-server.sh
. "$here/samba-server.sh"
missing=$(samba_missing)
[ -z "$missing" ] || { echo "SKIP: $missing"; exit 77; }
samba_enter_namespace "$@"

work=$(mktemp -d /tmp/tavrick-remote.XXXXXX)
server=$work/server
cleanup() { samba_stop; umount /etc/samba 2>/dev/null; rm -rf "$work"; }
trap cleanup EXIT
samba_prepare "$server" 1100 && samba_start "$server" || exit 1 # two pages: at most 1,024 a page
# shellcheck source=cases.sh
. "$here/cases.sh"

# The server's processes for this client (one for each connection) get SIGNAL once 50 records are
# out; the tool must end by itself, with the records before the break and one message.
signal_server() { # SIGNAL
    local tries children tool
    run &
    tool=$!
    for ((tries = 0; tries < 1200 && $(wc -l <"$work/out") < 50; tries++)); do sleep 0.05; done
    mapfile -t children < <(ps -o pid=,comm= --ppid "$(cut -d' ' -f2 <<<"$SAMBA_PIDS")" | awk '$2 == "smbd" { print $1 }')
    kill "-$1" "${children[@]}"
    signalled=$SECONDS
    wait "$tool"
    status=$?
    kill -CONT "${children[@]}" 2>/dev/null
    # What is left once the records with groups are out: the message alone (their number varies).
    sed -i '/"$/d' "$work/out"
}
run_killed() { signal_server KILL; }
run_stalled() {
    signal_server STOP
    # One timeout of the library's (20 s), generously: it used to be 20 s for every account left.
    [ $((SECONDS - signalled)) -lt 120 ] || status="ended $((SECONDS - signalled)) s after the signal"
}

# A reader that stops early ends the tool as it ends any filter: by SIGPIPE, quietly.
run_pipe() {
    env -i PATH=/usr/bin:/bin "${sanitizers[@]}" "${environment[@]}" "$tavrick" "${arguments[@]}" </dev/null \
        2>"$work/err" | head -c 100 >/dev/null
    status=${PIPESTATUS[0]}
    : >"$work/out"
}

before_no_smbconf() { mkdir -p "$work/nothing" && mount --bind "$work/nothing" /etc/samba; }
after_no_smbconf() { umount /etc/samba; }

netapi=$(ldconfig -p | awk '$1 == "libnetapi.so.1" { print $NF; exit }')
before_no_netapi() { mount --bind /dev/null "$(realpath "$netapi")"; }
after_no_netapi() { umount "$(realpath "$netapi")"; }

reload_server() { kill -HUP "$(cut -d' ' -f2 <<<"$SAMBA_PIDS")" && sleep 1; }
# The server maps a bad password, or an unknown user, to its guest account.
map_to_guest() { # SETTING
    sed -i "s/^map to guest = .*/map to guest = $1/" "$server/smb.conf"
    reload_server
}
before_guest_password() { map_to_guest 'bad password'; }
before_guest_user() { map_to_guest 'bad user'; }
# Client and server speak SMB1 alone, whose signature complaint differs from SMB2's.
before_smb1() {
    sed -i '/^\[global\]/a server min protocol = NT1\nserver max protocol = NT1' "$server/smb.conf"
    echo 'client min protocol = NT1' >>"$server/etc-samba/smb.conf"
    reload_server
}
after_smb1() {
    sed -i '/^server m.. protocol = NT1$/d' "$server/smb.conf"
    sed -i '/^client min protocol = NT1$/d' "$server/etc-samba/smb.conf"
    reload_server
}

# The server takes no client at all: smbd drops the connection before a session, as a server does
# that takes no more connections.
# The drop reaches the library as a close or as a reset, as the timing falls; both give 64.
before_no_sessions() { samba_limit_sessions "$server" 0; }
after_no_sessions() { samba_limit_sessions "$server" ''; sed -i 's/_RESET$/_DISCONNECTED/' "$work/err"; }

# A tool that can start no process, as when the process limit is reached: fork always fails.
before_no_fork() {
    c++ -shared -fPIC -o "$work/no-fork.so" -x c++ - <<<'#include <cerrno>
#include <unistd.h>
extern "C" pid_t fork() { errno = EAGAIN; return -1; }'
    environment+=("LD_PRELOAD=$work/no-fork.so" "${sanitizers[0]}:verify_asan_link_order=0")
}

run_cases "$here/data/samba.cases"
finish "$server/log"
