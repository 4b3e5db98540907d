#!/bin/bash
# SPDX-License-Identifier: GPL-3.0-or-later
# dc.sh TAVRICK [dc-scale]: the built tool against a real Samba AD domain controller on 127.0.0.3 in
# private network and mount namespaces, with passwords and Kerberos: walks data/dc.cases (see
# cases.sh), on 300 bulk accounts; with dc-scale, data/dc-scale.cases on 2,500.
# Exits 0 when every case passes, 1 when one fails, 77 (skipped) where it cannot run.
set -u

here=$(cd "$(dirname "$0")" && pwd)
tavrick=$(realpath "$1")
# shellcheck source=samba-server.sh
. "$here/samba-server.sh"
# shellcheck source=samba-dc.sh
. "$here/samba-dc.sh"
missing=$(dc_missing)
[ -z "$missing" ] || { echo "SKIP: $missing"; exit 77; }
samba_enter_namespace "$@"

work=$(mktemp -d /tmp/tavrick-dc.XXXXXX)
server=$work/dc
cleanup() { dc_stop "$server"; rm -rf "$work"; }
trap cleanup EXIT
# Many pages: the domain controller returns about 19 accounts a page for the tool's 1,024 bytes; at
# scale, more accounts than two connections read before each logs on afresh.
table=${2:-dc}
bulk=$([ "$table" = dc-scale ] && echo 2500 || echo 300)
dc_prepare "$server" "$bulk" && dc_start "$server" || exit 1
# shellcheck source=cases.sh
. "$here/cases.sh"

# The Administrator's groups (primary first, then in an order that changes from one provisioning to
# the next) as rpcclient reads their relative ids, named by data/dc-rids; and leaver's id.
rpc() { env -i PATH=/usr/bin:/bin rpcclient -U "tester%$DC_PASSWORD" -c "$1" "$DC_HOST"; }
admin_groups=$(rpc 'queryusergroups 500' | awk 'NR == FNR { name[$1] = substr($0, length($1) + 2); next }
    match($0, /rid:\[0x[0-9a-f]+\]/) { rid = substr($0, RSTART + 5, RLENGTH - 6)
        printf "%s\"%s\"", (n++ ? ":" : ""), (rid in name ? name[rid] : "RID " rid) }' "$SAMBA_DATA/dc-rids" -)
leaver_id=$(rpc 'lookupnames leaver' | sed -n 's/^leaver S-1-5-21-.*-\([0-9]*\) (User: 1)$/\1/p')
substitutions=(-e "s|@ADMIN_GROUPS@|$admin_groups|g" -e "s|@LEAVER_ID@|$leaver_id|g")

# The bulk accounts, each exactly once and whole, are checked here and taken out; the rest is
# compared, sorted, with the expected file.
after_bulk() {
    awk -v n="$bulk" 'BEGIN { for (i = 1; i <= n; i++) printf "\"user%04d\",\"User %04d\",\"Domain Users\"\n", i, i }' \
        >"$work/bulk"
    grep '^"user[0-9]' "$work/out" | LC_ALL=C sort | cmp -s - "$work/bulk" || echo "the bulk accounts differ" >>"$work/out"
    grep -v '^"user[0-9]' "$work/out" | LC_ALL=C sort -o "$work/out"
}
# The same, and the accounts are exactly those rpcclient names, less the machine accounts.
after_every() {
    rpc enumdomusers | sed -n 's/^user:\[\(.*\)\] rid:.*/\1/p' | grep -v '[$]$' | LC_ALL=C sort >"$work/names"
    cut -d'"' -f2 "$work/out" | LC_ALL=C sort | cmp -s - "$work/names" || echo "not the accounts rpcclient names" >>"$work/out"
    after_bulk
}
after_keep() { cp "$work/out" "$work/full"; }

# The logon account is disabled once records are out: the sessions go on, the next logon (a renewal)
# is refused. The records before it are whole, then the message; the server refused one logon.
disable_tester() { samba-tool user disable tester -s "$server/etc/smb.conf" >/dev/null; }
run_disabled() {
    local before
    before=$(failed_logons "$server/log")
    run_midway disable_tester
    samba-tool user enable tester -s "$server/etc/smb.conf" >/dev/null
    check_broken >/dev/null
    { tail -n 1 "$work/out"; echo "failed logons: $(($(failed_logons "$server/log") - before))"; } >>"$work/verdict"
    mv "$work/verdict" "$work/out"
}

# A ticket for the Administrator in a file cache, once, after the cases that need no logon of theirs.
before_kinit() {
    printf '%s\n' "$DC_PASSWORD" | env -i PATH=/usr/bin:/bin "KRB5_CONFIG=$SAMBA_DATA/dc-krb5.conf" \
        "KRB5CCNAME=FILE:$work/ccache" kinit Administrator@EXAMPLE.TEST >"$work/kinit.out" 2>&1 || cat "$work/kinit.out"
}

run_cases "$here/data/$table.cases"
finish "$server/log"
