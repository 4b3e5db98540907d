#!/bin/bash
# SPDX-License-Identifier: GPL-3.0-or-later
# shellcheck disable=SC2034 # environment and arguments are read by run, from cases.sh
# The listing over several connections against the listing over one, byte for byte (standard output,
# standard error, exit status), for every case of parallel-cases, against a real standalone Samba
# server or domain controller in private namespaces; on the standalone server also a server stopped
# in the middle of a listing.
#
#   parallel.sh TAVRICK standalone|dc [NSS_WRAPPER_LIBRARY]
#
# Exits 0 when every case passes, 1 when one fails, 77 (skipped) when the server cannot run here.
set -u

here=$(cd "$(dirname "$0")" && pwd)
tavrick=$(realpath "$1")
kind=$2
if [ -n "${3:-}" ]; then
    export SAMBA_NSS_WRAPPER=$3
fi
# shellcheck source=samba-server.sh
. "$here/samba-server.sh"
# shellcheck source=samba-dc.sh
. "$here/samba-dc.sh"
missing=$(if [ "$kind" = dc ]; then dc_missing; else samba_missing; fi)
if [ -n "$missing" ]; then
    echo "SKIP: $missing"
    exit 77
fi
samba_enter_namespace "$@"

work=$(mktemp -d /tmp/tavrick-parallel.XXXXXX)
if [ "$kind" = dc ]; then
    trap 'dc_stop "$work/server"; rm -rf "$work"' EXIT
    # About 19 accounts a page: several pages.
    { dc_prepare "$work/server" 60 && dc_start "$work/server"; } || exit 1
    server=$DC_HOST
    password=$DC_PASSWORD
else
    trap 'samba_stop; umount /etc/samba 2>/dev/null; rm -rf "$work"' EXIT
    # Two pages: the server returns at most 1,024 accounts a page.
    { samba_prepare "$work/server" 1100 && samba_start "$work/server"; } || exit 1
    server=127.0.0.1
    password=$SAMBA_PASSWORD
fi
# shellcheck source=cases.sh
. "$here/cases.sh" # run: the tool with $environment and $arguments into $work/out, err and $status
good="USER=tester%$password"

# check NAME STATUS: the last run wrote $work/want.out and want.err exactly and ended with STATUS.
check() {
    local ok=1 file
    for file in out err; do
        cmp -s "$work/want.$file" "$work/$file" || { ok=0; echo "FAIL $1: standard $file differs"; diff "$work/want.$file" "$work/$file" | head; }
    done
    [ "$status" = "$2" ] || { ok=0; echo "FAIL $1: exit status $status, expected $2"; }
    cases=$((cases + 1))
    if [ "$ok" = 1 ]; then echo "ok   $1"; else failures=$((failures + 1)); fi
}

words=()
while IFS= read -r line; do
    if [ -z "$line" ] || [ "${line#\#}" != "$line" ]; then
        continue
    fi
    line=${line//@GOOD@/$good}
    line=${line//@SERVER@/$server}
    eval "words=($line)"
    for ((split = 0; split < ${#words[@]}; split++)); do
        [ "${words[split]}" != -- ] || break
    done
    arguments=("${words[@]:split+1}")
    for connections in 1 8; do
        environment=("${words[@]:0:split}" "TAVRICK_SERVER_CONNECTIONS=$connections")
        run
        sed -E -i 's/(password_age: ?)[0-9]+/\1AGE/g' "$work/out"
        if [ "$connections" = 1 ]; then
            mv "$work/out" "$work/want.out"
            mv "$work/err" "$work/want.err"
            one_status=$status
        fi
    done
    check "$kind, $line" "$one_status"
done <"$here/parallel-cases"

# fault_case NAME CONNECTIONS FAULT CHECK: the listing of all accounts over CONNECTIONS (empty:
# automatic), with FAULT done once records are out. CHECK (check_*) writes what it finds of the
# output, against $work/full (the listing over one connection), to $work/verdict and what it should
# find to its standard output; and no process of the tool may be left.
fault_case() {
    local mark="TAVRICK_TEST_MARK=fault-$$-$cases"
    # The mark in the environment tells this tool's processes from those of tests running beside it.
    environment=("$good" "$mark") arguments=(-S 127.0.0.1 -Q a)
    [ -z "$2" ] || environment+=("TAVRICK_SERVER_CONNECTIONS=$2")
    run_midway "$3"
    "$4" >"$work/want.out"
    grep -lsaz -x -- "$mark" /proc/[0-9]*/environ >>"$work/verdict"
    mv "$work/verdict" "$work/out"
    : >"$work/err"
    : >"$work/want.err"
    check "$1" 0
}

# The same, with a refused logon's message, and the server saw one failed logon.
check_refused() {
    check_broken
    { tail -n 1 "$work/out"; echo "failed logons: $(($(failed_logons "$work/server/log") - failed_before))"; } >>"$work/verdict"
    printf '%s\n' "Logon failure: unknown user name or bad password" "failed logons: 1"
}
# Every account once, as over one connection, less the one deleted before its record was read;
# nobody else is missing, and standard error says which account was left out.
check_deleted() {
    grep -v '^"user2100",' "$work/full" | cmp -s - "$work/out" || echo "records differ from the listing's" >"$work/verdict"
    cat "$work/err" >>"$work/verdict"
    echo "ERR: account user2100 was deleted or renamed during the listing; left out"
}
# Every account once, as over one connection, nothing on standard error.
check_whole() {
    cmp -s "$work/full" "$work/out" || echo "records differ from the listing's" >"$work/verdict"
    cat "$work/err" >>"$work/verdict"
}

# The workers die while the tool is held (as the kernel's OOM killer might end them): the tool
# finds their answers so far, then connections that are gone.
kill_workers() {
    kill -STOP "$tool"
    sleep 1
    pkill -KILL -P "$tool"
    kill -CONT "$tool"
}

stop_server() {
    for pid in $SAMBA_PIDS; do
        pkill -KILL -P "$pid" # the server's processes for this client, as a crash would end them
    done
    samba_stop
}

server_tool() { env $(samba_environment "$work/server") "$@"; }

# The password changes on the server: sessions go on, the next logon (a renewal) is refused.
change_password() {
    failed_before=$(failed_logons "$work/server/log")
    printf 'changed\nchanged\n' | server_tool smbpasswd -c "$work/server/smb.conf" -L -s tester >/dev/null
}

# Two accounts go: one not yet read (on the last page), and one already written (the server pages by
# position: the accounts after it move up).
delete_accounts() {
    written=$(grep -m 1 -v '^"tester"' "$work/out" | cut -d'"' -f2)
    server_tool pdbedit -s "$work/server/smb.conf" -x -u user2100 >/dev/null
    server_tool pdbedit -s "$work/server/smb.conf" -x -u "$written" >/dev/null
}

nothing() { :; }

if [ "$kind" = standalone ]; then
    # Past a logon's 1,000 accounts on each of two connections: three pages.
    samba_stop
    umount /etc/samba
    { samba_prepare "$work/server" 2200 && samba_start "$work/server"; } || exit 1
    environment=("$good" TAVRICK_SERVER_CONNECTIONS=1)
    arguments=(-S 127.0.0.1 -Q a)
    run
    mv "$work/out" "$work/full"
    samba_limit_sessions "$work/server" 3
    fault_case "sixteen connections to a server that takes three" 16 nothing check_whole
    samba_limit_sessions "$work/server" ''
    fault_case "the workers killed mid-listing" 8 kill_workers check_broken
    fault_case "the password changed mid-listing, over two connections" 2 change_password check_refused
    good="USER=tester%changed"
    fault_case "accounts deleted mid-listing, over one connection" 1 delete_accounts check_deleted
    grep -v -e '^"user2100",' -e "^\"$written\"," "$work/full" >"$work/left" && mv "$work/left" "$work/full"
    fault_case "a server stopped mid-listing" "" stop_server check_broken # last: the server is gone
fi

echo "$cases cases, $failures failed"
[ "$failures" = 0 ]
