#!/bin/bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Times listing a real Samba server's accounts with their groups: the tool against the bare libnetapi
# calls it makes (one NetUserEnum pass, one NetUserGetGroups per account, in one process), both
# inside private namespaces against a standalone server on 127.0.0.1. Prints the median, minimum and
# maximum of each, their ratio, and PASS when the tool takes at most 1.3 times the bare calls.
#
#   bench/remote.sh [BUILD_DIR | TOOL] [ACCOUNTS] [RUNS]     (defaults: build, 1500, 5; needs root)
#
# Given the tool's path instead of a CMake build folder (as bench/run.sh does), the folder is the
# tool's, and the bare program is built there when it is missing.
set -u

root=$(cd "$(dirname "$0")/.." && pwd)
build=$(realpath "${1:-$root/build}")
if [ -f "$build" ]; then
    build=$(dirname "$build")
    if [ ! -x "$build/tavrick_remote_bare" ]; then
        cmake --build "$build" --target tavrick_remote_bare >/dev/null || exit 1
    fi
fi
accounts=${2:-1500}
runs=${3:-5}
readonly limit=1.3

# shellcheck source=../tests/remote/samba-server.sh
. "$root/tests/remote/samba-server.sh"
missing=$(samba_missing)
if [ -n "$missing" ]; then
    echo "cannot run: $missing" >&2
    exit 1
fi
for binary in tavrick tavrick_remote_bare; do
    [ -x "$build/$binary" ] || { echo "$build/$binary not built (needs libnetapi)" >&2; exit 1; }
done
samba_enter_namespace "$@"

work=$(mktemp -d /tmp/tavrick-remote-bench.XXXXXX)
cleanup() {
    samba_stop
    umount /etc/samba 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
samba_prepare "$work/server" "$accounts" || exit 1
samba_start "$work/server" || exit 1

credentials="USER=tester%$SAMBA_PASSWORD"
tool() { env -i PATH=/usr/bin:/bin "$credentials" "$build/tavrick" -S 127.0.0.1 -Q a >"$work/records" 2>"$work/errors"; }
bare() { env -i PATH=/usr/bin:/bin "$credentials" "$build/tavrick_remote_bare" 127.0.0.1 2>"$work/bare"; }

# measure COMMAND: runs it once; prints its wall time and the CPU time (user plus system) it used,
# which the load of other processes on the machine disturbs much less.
measure() {
    local TIMEFORMAT='%R %U %S' times
    times=$({ time "$@" >/dev/null; } 2>&1) || { echo "run failed: $*" >&2; exit 1; }
    awk '{ printf "%.3f %.3f\n", $1, $2 + $3 }' <<<"$times"
}

# A first run of each warms the server's caches; then the two alternate, so load on the machine
# falls on both alike.
tool >/dev/null
bare >/dev/null
records=$(wc -l <"$work/records")
echo "accounts on the server: $(cat "$work/bare"); records written by the tool: $records"
tool_times=()
bare_times=()
tool_cpu=()
bare_cpu=()
for ((i = 0; i < runs; i++)); do
    read -r wall cpu < <(measure tool)
    tool_times+=("$wall")
    tool_cpu+=("$cpu")
    read -r wall cpu < <(measure bare)
    bare_times+=("$wall")
    bare_cpu+=("$cpu")
done
echo "tavrick, wall time of each run: ${tool_times[*]}"
echo "bare, wall time of each run:    ${bare_times[*]}"

summary() { # NAME TIMES...: prints median, min and max; leaves the median in $median, the min in $min
    local name=$1
    shift
    local sorted
    mapfile -t sorted < <(printf '%s\n' "$@" | sort -g)
    median=${sorted[$((${#sorted[@]} / 2))]}
    min=${sorted[0]}
    printf '%-34s median %6.2f s   min %6.2f s   max %6.2f s   (%d runs)\n' \
        "$name" "$median" "$min" "${sorted[-1]}" "${#sorted[@]}"
}
summary "tavrick -S -Q a, wall" "${tool_times[@]}"
tool_median=$median
tool_min=$min
summary "bare libnetapi calls, wall" "${bare_times[@]}"
bare_median=$median
bare_min=$min
summary "tavrick -S -Q a, client CPU" "${tool_cpu[@]}"
tool_cpu_median=$median
summary "bare libnetapi calls, client CPU" "${bare_cpu[@]}"
bare_cpu_median=$median
awk -v t="$tool_min" -v b="$bare_min" -v tc="$tool_cpu_median" -v bc="$bare_cpu_median" \
    'BEGIN { printf "ratio of the fastest runs: %.2f; ratio of client CPU medians: %.2f\n", t / b, tc / bc }'
ratio=$(awk -v t="$tool_median" -v b="$bare_median" 'BEGIN { printf "%.3f", t / b }')
verdict=$(awk -v r="$ratio" -v l="$limit" 'BEGIN { print (r <= l) ? "PASS" : "FAIL" }')
printf 'ratio of the wall-time medians, tool/bare: %.2f (limit %s) %s\n' "$ratio" "$limit" "$verdict"
[ "$verdict" = PASS ]
