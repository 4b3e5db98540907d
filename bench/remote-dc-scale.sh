#!/bin/bash
# SPDX-License-Identifier: GPL-3.0-or-later
# A real-size domain: lists every account of the test domain controller of tests/remote with
# ACCOUNTS bulk accounts, inside private namespaces, with the default settings, over one connection
# and over 16, and checks each listing against the accounts rpcclient names (each exactly once).
# For each it prints the wall time, the accounts a second, and the peak resident memory of the tool
# and of its largest worker (its children, polled from /proc four times a second). Then, with DELAY_MS (default 5) each way
# through bench/latency_proxy.py, the rate with the default settings.
#
#   bench/remote-dc-scale.sh [BUILD_DIR | TOOL] [ACCOUNTS]     (defaults: build, 2500; needs root)
set -u

root=$(cd "$(dirname "$0")/.." && pwd)
build=$(realpath "${1:-$root/build}")
if [ -f "$build" ]; then
    build=$(dirname "$build")
fi
accounts=${2:-2500}
delay=${DELAY_MS:-5}

# shellcheck source=../tests/remote/samba-server.sh
. "$root/tests/remote/samba-server.sh"
# shellcheck source=../tests/remote/samba-dc.sh
. "$root/tests/remote/samba-dc.sh"
missing=$(dc_missing)
if [ -n "$missing" ]; then
    echo "cannot run: $missing" >&2
    exit 1
fi
[ -x "$build/tavrick" ] || { echo "$build/tavrick not built" >&2; exit 1; }
samba_enter_namespace "$@"

work=$(mktemp -d /tmp/tavrick-dc-scale.XXXXXX)
proxy_pid=
cleanup() {
    [ -z "$proxy_pid" ] || { kill -TERM "$proxy_pid"; wait "$proxy_pid"; } 2>/dev/null
    dc_stop "$work/dc"
    rm -rf "$work"
}
trap cleanup EXIT
started=$SECONDS
dc_prepare "$work/dc" "$accounts" || exit 1
dc_start "$work/dc" || exit 1
echo "domain of $accounts bulk accounts ready in $((SECONDS - started)) s"
env -i PATH=/usr/bin:/bin rpcclient -U "tester%$DC_PASSWORD" -c enumdomusers "$DC_HOST" |
    sed -n 's/^user:\[\(.*\)\] rid:.*/\1/p' | grep -v '[$]$' | LC_ALL=C sort >"$work/names"
echo "rpcclient names $(wc -l <"$work/names") user accounts"

# listing LABEL TARGET [ENV...]: lists every account, checks the names, prints the figures.
listing() {
    local label=$1 target=$2 tool start end verdict
    shift 2
    declare -A peaks=()
    start=$(date +%s.%N)
    env -i PATH=/usr/bin:/bin "USER=tester%$DC_PASSWORD" "$@" "$build/tavrick" -S "$target" -Q a \
        >"$work/out" 2>"$work/err" &
    tool=$!
    # One awk a poll, four polls a second: a process per worker and poll would take the CPU the
    # listing needs. VmHWM is a high-water mark, so a poll misses only a peak reached just before exit.
    while kill -0 "$tool" 2>/dev/null; do
        while read -r pid peak; do
            [ "${peaks[$pid]:-0}" -ge "$peak" ] || peaks[$pid]=$peak
        done < <(cd /proc && awk '$1 == "VmHWM:" { split(FILENAME, path, "/"); print path[1], $2 }' \
            "$tool/status" $(sed "s|[0-9]*|&/status|g" "$tool/task/$tool/children" 2>/dev/null) 2>/dev/null)
        sleep 0.25
    done
    wait "$tool"
    end=$(date +%s.%N)
    cut -d'"' -f2 "$work/out" | LC_ALL=C sort | cmp -s - "$work/names" && verdict="every account once" ||
        verdict="NOT the accounts rpcclient names"
    [ ! -s "$work/err" ] || verdict="$verdict; standard error: $(head -c 200 "$work/err")"
    local tool_peak=${peaks[$tool]:-0} worker_peak=0 workers=0
    for pid in "${!peaks[@]}"; do
        [ "$pid" = "$tool" ] && continue
        workers=$((workers + 1))
        [ "${peaks[$pid]}" -le "$worker_peak" ] || worker_peak=${peaks[$pid]}
    done
    awk -v l="$label" -v s="$start" -v e="$end" -v n="$(wc -l <"$work/out")" -v t="$tool_peak" \
        -v w="$worker_peak" -v k="$workers" -v v="$verdict" 'BEGIN {
        printf "%-26s %8.1f s %8.1f accounts/s  tool %5.1f MiB  largest of %2d workers %5.1f MiB  %d records, %s\n",
            l, e - s, n / (e - s), t / 1024, k, w / 1024, n, v }'
}

listing "default settings" "$DC_HOST"
listing "one connection" "$DC_HOST" TAVRICK_SERVER_CONNECTIONS=1
listing "16 connections" "$DC_HOST" TAVRICK_SERVER_CONNECTIONS=16

# The delay: a proxy on 127.0.0.4 (the domain controller answers on its own address only).
/usr/bin/python3 "$root/bench/latency_proxy.py" 127.0.0.4:445 "$DC_ADDRESS:445" "$delay" "$work/counts" \
    >"$work/proxy" &
proxy_pid=$!
until grep -q ready "$work/proxy" 2>/dev/null; do sleep 0.05; done
listing "default, ${delay} ms each way" 127.0.0.4
