#!/bin/bash
# Times listing a real Samba server's accounts with their groups: the tool against the bare libnetapi
# calls it makes (one NetUserEnum pass, one NetUserGetGroups per account, in one process), both
# inside private namespaces against a standalone server on 127.0.0.1. Prints the median, minimum and
# maximum of each, their ratio, and PASS when the tool takes at most 1.3 times the bare calls.
#
#   bench/remote.sh [BUILD_DIR] [ACCOUNTS] [RUNS]     (defaults: build, 1500, 5; needs root)
set -u

root=$(cd "$(dirname "$0")/.." && pwd)
build=$(realpath "${1:-$root/build}")
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
tool() { env -i PATH=/usr/bin:/bin "$credentials" "$build/tavrick" -S 127.0.0.1 -Q a >"$work/records" 2>&1; }
bare() { env -i PATH=/usr/bin:/bin "$credentials" "$build/tavrick_remote_bare" 127.0.0.1 2>"$work/bare"; }

seconds() { # COMMAND: prints the wall time of one run
    local start end
    start=$(date +%s.%N)
    "$@" || { echo "run failed: $*" >&2; exit 1; }
    end=$(date +%s.%N)
    awk -v a="$start" -v b="$end" 'BEGIN { printf "%.3f\n", b - a }'
}

# A first run of each warms the server's caches; then the two alternate, so load on the machine
# falls on both alike.
tool >/dev/null
bare >/dev/null
records=$(wc -l <"$work/records")
echo "accounts on the server: $(cat "$work/bare"); records written by the tool: $records"
tool_times=()
bare_times=()
for ((i = 0; i < runs; i++)); do
    tool_times+=("$(seconds tool)")
    bare_times+=("$(seconds bare)")
done

summary() { # NAME TIMES...: prints median, min and max; leaves the median in $median
    local name=$1
    shift
    local sorted
    mapfile -t sorted < <(printf '%s\n' "$@" | sort -g)
    median=${sorted[$((${#sorted[@]} / 2))]}
    printf '%-28s median %6.2f s   min %6.2f s   max %6.2f s   (%d runs)\n' \
        "$name" "$median" "${sorted[0]}" "${sorted[-1]}" "${#sorted[@]}"
}
summary "tavrick -S -Q a" "${tool_times[@]}"
tool_median=$median
summary "bare libnetapi calls" "${bare_times[@]}"
bare_median=$median
ratio=$(awk -v t="$tool_median" -v b="$bare_median" 'BEGIN { printf "%.3f", t / b }')
verdict=$(awk -v r="$ratio" -v l="$limit" 'BEGIN { print (r <= l) ? "PASS" : "FAIL" }')
printf 'ratio tool/bare: %.2f (limit %s) %s\n' "$ratio" "$limit" "$verdict"
[ "$verdict" = PASS ]
