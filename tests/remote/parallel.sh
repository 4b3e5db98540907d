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

# fault_case NAME CONNECTIONS FAULT: the listing of all accounts over CONNECTIONS (empty:
# automatic), with FAULT done once records are out. The records written are the one-connection
# listing's, then one message from the status table, status 0, and no process of the tool is left.
fault_case() {
    local mark="TAVRICK_TEST_MARK=fault-$$-$cases" connections=() waited=0 records left verdict
    [ -z "$2" ] || connections=("TAVRICK_SERVER_CONNECTIONS=$2")
    : >"$work/out" # empty before the tool starts: the wait below is for its first record
    # The mark in the environment tells this tool's processes from those of tests running beside it.
    env -i PATH=/usr/bin:/bin "$good" "$mark" "${connections[@]}" "$tavrick" -S 127.0.0.1 -Q a \
        >"$work/out" 2>"$work/err" &
    tool=$!
    until [ -s "$work/out" ] || ! kill -0 "$tool" 2>/dev/null; do
        sleep 0.01
    done
    "$3"
    while kill -0 "$tool" 2>/dev/null && [ "$((waited++))" -lt 600 ]; do
        sleep 0.1
    done
    kill -KILL "$tool" 2>/dev/null
    wait "$tool"
    status=$?
    records=$(($(wc -l <"$work/out") - 1))
    left=$(grep -lsaz -x -- "$mark" /proc/[0-9]*/environ)
    verdict="$(tail -n 1 "$work/out" | grep -c '^[^"]') message line(s) at the end, $left"
    if [ "$records" -lt 1 ] || ! cmp -s <(head -n "$records" "$work/out") <(head -n "$records" "$work/full"); then
        verdict="records differ from the listing's: $verdict"
    fi
    echo "$verdict" >"$work/out"
    echo "1 message line(s) at the end, " >"$work/want.out"
    : >"$work/err"
    : >"$work/want.err"
    check "$1 ($records records)" 0
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

if [ "$kind" = standalone ]; then
    environment=("$good" TAVRICK_SERVER_CONNECTIONS=1)
    arguments=(-S 127.0.0.1 -Q a)
    run
    mv "$work/out" "$work/full"
    fault_case "the workers killed mid-listing" 8 kill_workers
    fault_case "a server stopped mid-listing" "" stop_server # last: the server is gone
fi

echo "$cases cases, $failures failed"
[ "$failures" = 0 ]
