#!/bin/bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Times listing a real Samba server's accounts with their groups at network latency: the tool
# against the bare libnetapi calls it stands for (one NetUserEnum pass at level 3, one
# NetUserGetGroups per account, in one process), inside private namespaces against a standalone
# server on 127.0.0.1. Each delay runs through bench/latency_proxy.py on 127.0.0.2, which delays every
# chunk by that many milliseconds each way and counts the connections and the SMB requests on the
# wire. Then the peak memory of both at a larger number of accounts, without delay.
#
#   bench/remote.sh [BUILD_DIR | TOOL] [ACCOUNTS] [RUNS]     (defaults: build, 300, 3; needs root)
#
# Environment: DELAYS (milliseconds each way, default "0 2 5"), MEMORY_ACCOUNTS (default 5000; 0
# leaves the memory run out), TOOL_ARGS (default "-Q a"), TOOL_ENV (assignments for the tool, such as
# TAVRICK_SERVER_CONNECTIONS=8), PROGRAMS (default "tool one bare": the tool as it stands, the tool
# over one connection as it listed before it used several, the bare calls; "tool" alone for growth
# figures, where the others would take many minutes). The programs take turns in each run. At 0 ms
# the times are taken without the proxy, the counts through it. Given the tool's path instead of a
# CMake build folder (as bench/run.sh does), the folder is the tool's, and the bare program is built
# there when it is missing. Exits 1 when a target is missed: at 0 ms the tool at most 1.3 times the
# bare calls and at most 1.1 times the one-connection listing, at 5 ms at most one eighth of the
# bare calls.
set -u

root=$(cd "$(dirname "$0")/.." && pwd)
build=$(realpath "${1:-$root/build}")
if [ -f "$build" ]; then
    build=$(dirname "$build")
fi
for helper in tavrick_remote_bare measure; do
    if [ ! -x "$build/$helper" ] || [ "$root/bench/${helper#tavrick_remote_}.cpp" -nt "$build/$helper" ]; then
        case $helper in
        measure) c++ -std=c++17 -O2 -Wall -o "$build/measure" "$root/bench/measure.cpp" || exit 1 ;;
        *) cmake --build "$build" --target "$helper" >/dev/null || exit 1 ;;
        esac
    fi
done
accounts=${2:-300}
runs=${3:-3}
delays=${DELAYS:-0 2 5}
memory_accounts=${MEMORY_ACCOUNTS:-5000}
read -r -a tool_args <<<"${TOOL_ARGS:--Q a}"
read -r -a tool_env <<<"${TOOL_ENV:-}"
read -r -a programs <<<"${PROGRAMS:-tool one bare}"

# shellcheck source=../tests/remote/samba-server.sh
. "$root/tests/remote/samba-server.sh"
missing=$(samba_missing)
if [ -n "$missing" ]; then
    echo "cannot run: $missing" >&2
    exit 1
fi
[ -x "$build/tavrick" ] || { echo "$build/tavrick not built" >&2; exit 1; }
samba_enter_namespace "$@"

work=$(mktemp -d /tmp/tavrick-remote-bench.XXXXXX)
proxy_pid=
stop_proxy() {
    if [ -n "$proxy_pid" ]; then
        kill -TERM "$proxy_pid" 2>/dev/null
        wait "$proxy_pid" 2>/dev/null
        proxy_pid=
    fi
}
cleanup() {
    stop_proxy
    samba_stop
    umount /etc/samba 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

credentials="USER=tester%$SAMBA_PASSWORD"
target=127.0.0.1
tool() { env -i PATH=/usr/bin:/bin "$credentials" "${tool_env[@]}" "$build/measure" "$build/tavrick" -S "$target" "${tool_args[@]}" 2>/dev/null; }
one() { env -i PATH=/usr/bin:/bin "$credentials" TAVRICK_SERVER_CONNECTIONS=1 "$build/measure" "$build/tavrick" -S "$target" "${tool_args[@]}" 2>/dev/null; }
bare() { env -i PATH=/usr/bin:/bin "$credentials" "$build/measure" "$build/tavrick_remote_bare" "$target" 2>/dev/null; }
records() { env -i PATH=/usr/bin:/bin "$credentials" "${tool_env[@]}" "$build/tavrick" -S "$target" "${tool_args[@]}" | wc -l; }

# start_proxy MS: a proxy on 127.0.0.2:445 to the server, delaying MS each way.
start_proxy() {
    stop_proxy
    /usr/bin/python3 "$root/bench/latency_proxy.py" 127.0.0.2:445 127.0.0.1:445 "$1" "$work/counts" >"$work/proxy" &
    proxy_pid=$!
    until grep -q ready "$work/proxy" 2>/dev/null; do sleep 0.05; done
    target=127.0.0.2
}
# counted COMMAND: runs it once through the proxy; prints the connections and SMB requests it made.
counted() {
    kill -USR1 "$proxy_pid" && sleep 0.2
    "$@" >/dev/null
    kill -USR1 "$proxy_pid" && sleep 0.2
    cat "$work/counts"
}

median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

samba_prepare "$work/server" "$accounts" || exit 1
samba_start "$work/server" || exit 1
written=$(records)
echo "accounts on the server: $((accounts + 6)); ${tool_env[*]} tavrick -S ${tool_args[*]} writes $written records; $runs runs each"
printf '%-8s %-8s %9s %9s %9s %11s %9s %9s\n' delay program "wall s" "min s" "CPU s" accounts/s requests/acct connections
verdict=0
for delay in $delays; do
    start_proxy "$delay"
    declare -A wall=() counts=() times=() cpus=()
    for program in "${programs[@]}"; do
        "$program" >/dev/null # warms the server's caches
        counts[$program]=$(counted "$program")
    done
    if [ "$delay" = 0 ]; then
        target=127.0.0.1
    fi
    # The programs take turns, so that a change in the machine's load falls on all of them.
    for ((i = 0; i < runs; i++)); do
        for program in "${programs[@]}"; do
            read -r seconds _ code cpu < <("$program")
            [ "$code" = 0 ] || { echo "$program failed with status $code" >&2; exit 1; }
            times[$program]+="$seconds "
            cpus[$program]+="$cpu "
        done
    done
    target=127.0.0.2
    for program in "${programs[@]}"; do
        read -r connections requests <<<"${counts[$program]}"
        read -r -a run_times <<<"${times[$program]}"
        read -r -a run_cpus <<<"${cpus[$program]}"
        wall[$program]=$(median "${run_times[@]}")
        awk -v d="$delay" -v p="$program" -v w="${wall[$program]}" -v m="$(printf '%s\n' "${run_times[@]}" | sort -g | head -1)" \
            -v c="$(median "${run_cpus[@]}")" -v n="$((accounts + 6))" -v r="$requests" -v k="$connections" \
            'BEGIN { printf "%-8s %-8s %9.2f %9.2f %9.2f %11.1f %12.1f %11d\n", d " ms", p, w, m, c, n / w, r / n, k }'
    done
    if [ -n "${wall[one]:-}" ] && [ -n "${wall[tool]:-}" ]; then
        ratio=$(awk -v t="${wall[tool]}" -v o="${wall[one]}" 'BEGIN { printf "%.3f", t / o }')
        if [ "$delay" = 0 ]; then
            result=$(awk -v r="$ratio" 'BEGIN { print (r <= 1.1) ? "PASS" : "FAIL" }')
            [ "$result" = PASS ] || verdict=1
            printf '         tool/one at 0 ms: %.2f (limit 1.1) %s\n' "$ratio" "$result"
        else
            printf '         tool/one at %s ms: %.2f\n' "$delay" "$ratio"
        fi
    fi
    if [ -z "${wall[bare]:-}" ]; then
        continue
    fi
    ratio=$(awk -v t="${wall[tool]}" -v b="${wall[bare]}" 'BEGIN { printf "%.3f", t / b }')
    limit=
    case $delay in
    0) limit=1.3 ;;
    5) limit=0.125 ;;
    esac
    if [ -n "$limit" ]; then
        result=$(awk -v r="$ratio" -v l="$limit" 'BEGIN { print (r <= l) ? "PASS" : "FAIL" }')
        [ "$result" = PASS ] || verdict=1
        printf '         tool/bare at %s ms: %.2f (limit %s) %s\n' "$delay" "$ratio" "$limit" "$result"
    else
        printf '         tool/bare at %s ms: %.2f\n' "$delay" "$ratio"
    fi
done
stop_proxy
target=127.0.0.1

if [ "$memory_accounts" -gt 0 ]; then
    samba_stop
    umount /etc/samba
    samba_prepare "$work/large" "$memory_accounts" || exit 1
    samba_start "$work/large" || exit 1
    for program in tool bare; do
        read -r seconds peak code _ < <("$program")
        [ "$code" = 0 ] || { echo "$program failed with status $code" >&2; exit 1; }
        printf 'peak memory at %d accounts, no delay: %-5s %6.1f MiB (%.2f s)\n' "$((memory_accounts + 6))" \
            "$program" "$(awk -v k="$peak" 'BEGIN { print k / 1024 }')" "$seconds"
    done
fi
exit "$verdict"
