#!/bin/bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Times listing a real Samba domain controller's accounts with their groups: `tavrick -S` with a
# password, the same with a Kerberos ticket, and the bare libnetapi calls the tool makes (password
# only), inside private namespaces against the test domain of tests/remote. Prints each run and the
# median, minimum and maximum of each.
#
#   bench/remote-dc.sh [BUILD_DIR | TOOL] [ACCOUNTS] [RUNS]     (defaults: build, 300, 5; needs root)
set -u

root=$(cd "$(dirname "$0")/.." && pwd)
build=$(realpath "${1:-$root/build}")
if [ -f "$build" ]; then
    build=$(dirname "$build")
fi
accounts=${2:-300}
runs=${3:-5}

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

work=$(mktemp -d /tmp/tavrick-dc-bench.XXXXXX)
cleanup() {
    dc_stop "$work/dc"
    rm -rf "$work"
}
trap cleanup EXIT
dc_prepare "$work/dc" "$accounts" || exit 1
dc_start "$work/dc" || exit 1
kerberos=("KRB5_CONFIG=$work/dc/krb5.conf" "KRB5CCNAME=FILE:$work/ccache")
printf '%s\n' "$DC_PASSWORD" | env -i PATH=/usr/bin:/bin "${kerberos[@]}" kinit "Administrator@$DC_REALM" >/dev/null ||
    exit 1

password=("USER=Administrator%$DC_PASSWORD")
with_password() { env -i PATH=/usr/bin:/bin "${password[@]}" "$build/tavrick" -S "$DC_HOST" >"$work/records" 2>"$work/errors"; }
with_ticket() { env -i PATH=/usr/bin:/bin "${kerberos[@]}" USER=Administrator "$build/tavrick" -S "$DC_HOST" >"$work/records" 2>"$work/errors"; }
bare() { env -i PATH=/usr/bin:/bin "${password[@]}" "$build/tavrick_remote_bare" "$DC_HOST" >/dev/null 2>"$work/bare"; }
targets=(with_password with_ticket)
if [ -x "$build/tavrick_remote_bare" ]; then
    targets+=(bare)
fi

wall() { # COMMAND: runs it once and prints its wall time in seconds
    local TIMEFORMAT=%R times
    times=$({ time "$@" >/dev/null; } 2>&1) || { echo "run failed: $*" >&2; exit 1; }
    echo "$times"
}

# A first run of each warms the server's caches; then they take turns, so load falls on all alike.
for target in "${targets[@]}"; do
    "$target" || { echo "$target failed:" >&2; cat "$work/errors" >&2; exit 1; }
done
echo "records written: $(wc -l <"$work/records") (enabled accounts of $((accounts + 9)) in the domain)"
declare -A times
for ((i = 0; i < runs; i++)); do
    for target in "${targets[@]}"; do
        times[$target]="${times[$target]:-} $(wall "$target")"
    done
done
for target in "${targets[@]}"; do
    # shellcheck disable=SC2086 # the times split into their numbers
    mapfile -t sorted < <(printf '%s\n' ${times[$target]} | sort -g)
    printf '%-14s median %5.2f s   min %5.2f s   max %5.2f s   runs:%s\n' "$target" \
        "${sorted[$((${#sorted[@]} / 2))]}" "${sorted[0]}" "${sorted[-1]}" "${times[$target]}"
done
