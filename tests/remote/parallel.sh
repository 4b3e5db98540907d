#!/bin/bash
# SPDX-License-Identifier: GPL-3.0-or-later
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
. "$here/cases.sh"
good="USER=tester%$password"

# contents FILE: leaves the file's bytes, trailing line feeds included, in $text.
contents() {
    text=$(cat "$1" && printf x)
    text=${text%x}
}

while IFS= read -r line; do
    if [ -z "$line" ] || [ "${line#\#}" != "$line" ]; then
        continue
    fi
    line=${line//@GOOD@/$good}
    line=${line//@SERVER@/$server}
    eval "words=($line)"
    for connections in 1 8; do
        run "TAVRICK_SERVER_CONNECTIONS=$connections" "${words[@]}"
        sed -E -i 's/(password_age: ?)[0-9]+/\1AGE/g' "$work/out"
        if [ "$connections" = 1 ]; then
            contents "$work/out" && one_out=$text
            contents "$work/err" && one_err=$text
            one_status=$status
        fi
    done
    expect "$kind, $line" "$one_out" "$one_err" "$one_status"
done <"$here/parallel-cases"

if [ "$kind" = standalone ]; then
    # The server stopped mid-listing: the records written so far are the one-connection listing's,
    # then one message from the status table, status 0, and no process of the tool is left.
    run "$good" TAVRICK_SERVER_CONNECTIONS=1 -- -S 127.0.0.1 -Q a
    mv "$work/out" "$work/full"
    env -i PATH=/usr/bin:/bin "$good" "$tavrick" -S 127.0.0.1 -Q a >"$work/out" 2>"$work/err" &
    tool=$!
    until [ -s "$work/out" ] || ! kill -0 "$tool" 2>/dev/null; do
        sleep 0.01
    done
    for pid in $SAMBA_PIDS; do
        pkill -KILL -P "$pid" # the server's processes for this client, as a crash would end them
    done
    samba_stop
    waited=0
    while kill -0 "$tool" 2>/dev/null && [ "$((waited++))" -lt 600 ]; do
        sleep 0.1
    done
    kill -KILL "$tool" 2>/dev/null
    wait "$tool"
    status=$?
    records=$(($(wc -l <"$work/out") - 1))
    left=$(for process in /proc/[0-9]*; do [ "$(readlink "$process/exe")" = "$tavrick" ] && echo "$process"; done)
    verdict="$(tail -n 1 "$work/out" | grep -c '^[^"]') message line(s) at the end, $left"
    if [ "$records" -lt 1 ] || ! cmp -s <(head -n "$records" "$work/out") <(head -n "$records" "$work/full"); then
        verdict="records differ from the listing's: $verdict"
    fi
    echo "$verdict" >"$work/out"
    : >"$work/err"
    expect "a server stopped mid-listing ($records records)" $'1 message line(s) at the end, \n' "" 0
fi

echo "$cases cases, $failures failed"
[ "$failures" = 0 ]
