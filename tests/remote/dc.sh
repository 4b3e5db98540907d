#!/bin/bash
# The built tool against a real Samba Active Directory domain controller on 127.0.0.3, inside private
# network and mount namespaces, with passwords and with Kerberos: every case compares standard
# output, standard error and the exit status exactly.
#
#   dc.sh TAVRICK
#
# Exits 0 when every case passes, 1 when one fails, and 77 (skipped) when this machine cannot run
# the domain controller: not root, or Samba's AD packages or Kerberos's kinit missing.
set -u

here=$(cd "$(dirname "$0")" && pwd)
tavrick=$(realpath "$1")
# shellcheck source=samba-server.sh
. "$here/samba-server.sh"
# shellcheck source=samba-dc.sh
. "$here/samba-dc.sh"

missing=$(dc_missing)
if [ -n "$missing" ]; then
    echo "SKIP: $missing"
    exit 77
fi
samba_enter_namespace "$@"

# Many pages: the domain controller returns about 19 accounts a page for the tool's 1,024 bytes.
readonly bulk_accounts=300
work=$(mktemp -d /tmp/tavrick-dc.XXXXXX)
server=$work/dc
cleanup() {
    dc_stop "$server"
    rm -rf "$work"
}
trap cleanup EXIT
started=$(date +%s%N)
elapsed() { echo "$1 after $((($(date +%s%N) - started) / 1000000)) ms"; }
dc_prepare "$server" "$bulk_accounts" || exit 1
elapsed "provisioned, $bulk_accounts accounts"
dc_start "$server" || exit 1
elapsed "listening"

# shellcheck source=cases.sh
. "$here/cases.sh"

good="USER=tester%$DC_PASSWORD"
zoe_name=$'Zo\xc3\xab \xc3\x85ngstr\xc3\xb6m'
jurgen=$'j\xc3\xbcrgen'
jurgen_name=$'J\xc3\xbcrgen Gro\xc3\x9f'
logon_failure=$'Logon failure: unknown user name or bad password\n'
# The Administrator's groups, the primary group first, then in an order of the server's that changes
# from one provisioning to the next: rpcclient reads that order as relative ids, named here.
admin_groups=$(env -i PATH=/usr/bin:/bin rpcclient -U "tester%$DC_PASSWORD" -c 'queryusergroups 500' "$DC_HOST" |
    awk 'BEGIN { name["0x200"] = "Domain Admins"; name["0x201"] = "Domain Users"; name["0x206"] = "Schema Admins"
                 name["0x207"] = "Enterprise Admins"; name["0x208"] = "Group Policy Creator Owners" }
         match($0, /rid:\[0x[0-9a-f]+\]/) { rid = substr($0, RSTART + 5, RLENGTH - 6)
             printf "%s\"%s\"", (n++ ? ":" : ""), (rid in name ? name[rid] : "RID " rid) }')

# Every enabled account of the domain, sorted as `sort` orders them. Not among them: the disabled
# Guest, krbtgt and olduser, and the machine accounts DC1$ and WS1$.
enabled_accounts() {
    {
        printf '"Administrator","",%s\n' "$admin_groups"
        printf '"dns-dc1","","Domain Users"\n'
        printf '"tester","Test User","Domain Users":"Project"\n'
        printf '"zoe","%s","Domain Users":"Project"\n' "$zoe_name"
        printf '"%s","%s","Domain Users"\n' "$jurgen" "$jurgen_name"
        printf '"leaver","Leaves Soon","Domain Users"\n'
        awk -v n="$bulk_accounts" 'BEGIN { for (i = 1; i <= n; i++)
            printf "\"user%04d\",\"User %04d\",\"Domain Users\"\n", i, i }'
    } | LC_ALL=C sort
}
disabled_accounts=$'"Guest","","Domain Guests"\n"krbtgt","","Domain Users"\n"olduser","Old User","Domain Users"\n'

# sort_output: the last run's records in `sort` order, for listings whose order is the server's
# business; the comparison still counts every record.
sort_output() {
    LC_ALL=C sort "$work/out" >"$work/sorted"
    mv "$work/sorted" "$work/out"
}

# The first listing warms the server up; its time stands in the log.
before=$(date +%s%N)
run "$good" -- -S "$DC_HOST"
echo "listing of $(wc -l <"$work/out") accounts with their groups: $((($(date +%s%N) - before) / 1000000)) ms"
sort_output
expect "every enabled account once, across every page" "$(enabled_accounts)"$'\n' ""

run "$good" -- -S dc1 -Q d
expect "the disabled accounts alone with -Q d, the server by its short name" "$disabled_accounts" ""

run "$good" -- -S "$DC_HOST" -Q a
sort_output
expect "-Q a: every user account, and no machine account" \
    "$({ enabled_accounts; printf '%s' "$disabled_accounts"; } | LC_ALL=C sort)"$'\n' ""

run "$good" -- -S "$DC_HOST" -Q a 'DC1$'
expect "the server's machine account is left out even by name" "" ""

run "$good" -- -S "$DC_ADDRESS" "$jurgen"
expect "a non-ASCII account name, the server by its address" "\"$jurgen\",\"$jurgen_name\",\"Domain Users\""$'\n' ""

# All fields as a domain controller holds them: no parameters string at all (the label alone), the
# Administrator's privilege 2, "never expires" as Windows reports it (1970 in local time), the user
# id the well-known RID 500. The password age moves with the clock. Before any logon as the
# Administrator, so that the logon time and count are still 0.
hours=$(printf '0xFF:%.0s' $(seq 20))0xFF
all_fields() { # NAME FULL_NAME PRIV COMMENT FLAGS EXPIRED ZERO_TIME EXPIRES USER_ID GROUPS
    printf '%s\n' "name:\"$1\"" 'password:"(null)"' password_age:AGE "priv:$3" 'home_dir:""' "comment:\"$4\"" \
        "flags:$5" 'script_path:""' 'auth_flags:0%00000000000000000000000000000000' "full_name:\"$2\"" \
        'usr_comment:""' parms: 'workstations:""' "last_logon:\"$7\"" "last_logoff:\"$7\"" "acct_expires:\"$8\"" \
        max_storage:-1 units_per_week:168 "logon_hours:$hours" bad_pw_count:0 num_logons:0 \
        'logon_server:"\\*"' country_code:0 code_page:0 "user_id:$9" primary_group_id:513 'profile:""' \
        'home_dir_drive:""' "password_expired:$6" "group:${10}"
}
# normalise_age: the password age, which moves with the clock, becomes AGE when it is a number.
normalise_age() {
    sed -i 's/^password_age:[0-9][0-9]*$/password_age:AGE/' "$work/out"
}
run "$good" -- -S "$DC_HOST" -a -F s -d '\n' Administrator
normalise_age
expect "-a for the Administrator" "$(all_fields Administrator "" 0%00000000000000000000000000000010 \
    "Built-in account for administering the computer/domain" 0%00000000000000000000001000000001 0 \
    "70-01-01 00:00:00" "70-01-01 00:00:00" 500 "$admin_groups")"$'\n' ""

# An expiry date, 2030-06-15 12:00:00 UTC, in local time: in UTC and in a zone west of it; the
# times of 0 (never logged on or off) move with it. The account has no password yet, so the server
# flags it as one whose password has expired (0x800000) besides not required (0x20).
leaver_id=$(env -i PATH=/usr/bin:/bin rpcclient -U "tester%$DC_PASSWORD" -c 'lookupnames leaver' "$DC_HOST" |
    sed -n 's/^leaver S-1-5-21-.*-\([0-9]*\) (User: 1)$/\1/p')
for zone in 'UTC0 70-01-01 00:00:00 30-06-15 12:00:00' 'EST5 69-12-31 19:00:00 30-06-15 07:00:00'; do
    read -r tz epoch_day epoch_time expiry_day expiry_time <<<"$zone"
    run "$good" "TZ=$tz" -- -S "$DC_HOST" -a -F s -d '\n' leaver
    normalise_age
    expect "an expiry date in local time, TZ=$tz" "$(all_fields leaver "Leaves Soon" 0%00000000000000000000000000000001 \
        "" 0%00000000100000000000001000100001 1 "$epoch_day $epoch_time" "$expiry_day $expiry_time" \
        "$leaver_id" '"Domain Users"')"$'\n' ""
done

# Failures with passwords: one message on standard output, what the library said on standard error.
run USER=tester%wrong -- -S "$DC_HOST"
expect "a wrong password" "$logon_failure" $'session setup failed: NT_STATUS_LOGON_FAILURE\n'

run USER=Administrator -- -S "$DC_HOST"
expect "no password and no ticket" "$logon_failure" $'session setup failed: NT_STATUS_LOGON_FAILURE\n'

# Kerberos: the domain's krb5.conf names the KDC; a ticket in a file cache stands in for the password.
kerberos=("KRB5_CONFIG=$server/krb5.conf")
cache=FILE:$work/ccache
if ! printf '%s\n' "$DC_PASSWORD" | env -i PATH=/usr/bin:/bin "${kerberos[@]}" "KRB5CCNAME=$cache" \
    kinit "Administrator@$DC_REALM" >"$work/kinit.out" 2>&1; then
    echo "FAIL kinit:"
    cat "$work/kinit.out"
    exit 1
fi

before=$(date +%s%N)
run "${kerberos[@]}" "KRB5CCNAME=$cache" USER=Administrator -- -S "$DC_HOST"
echo "listing with Kerberos: $((($(date +%s%N) - before) / 1000000)) ms"
sort_output
expect "Kerberos: the ticket logs on, no password anywhere" "$(enabled_accounts)"$'\n' ""

# The ticket's principal logs on, whatever user name the login shell set.
run "${kerberos[@]}" "KRB5CCNAME=$cache" USER=root -- -S "$DC_HOST" Administrator
expect "Kerberos: the ticket's user, not USER's" "\"Administrator\",\"\",$admin_groups"$'\n' ""

run "${kerberos[@]}" "KRB5CCNAME=$work/missing" USER=Administrator -- -S "$DC_HOST"
expect "Kerberos without a ticket and without a password: a logon failure" "$logon_failure" \
    $'session setup failed: NT_STATUS_INVALID_PARAMETER\n'

run "${kerberos[@]}" "KRB5CCNAME=$cache" -- -S "$DC_HOST"
expect "Kerberos with a ticket but no user name: a logon failure" "$logon_failure" \
    $'Kerberos auth with \'(null)\' (EXAMPLE\\) to access \'dc1.example.test\' not possible\nsession setup failed: NT_STATUS_ACCESS_DENIED\n'

run "${kerberos[@]}" "KRB5CCNAME=$work/missing" -- -S "$DC_HOST"
expect "Kerberos without a ticket, a user name or a password: a logon failure" "$logon_failure" \
    $'Kerberos auth with \'(null)\' (EXAMPLE\\) to access \'dc1.example.test\' not possible\nsession setup failed: NT_STATUS_ACCESS_DENIED\n'

run "${kerberos[@]}" "KRB5CCNAME=$cache" USER=Administrator -- -S "$DC_ADDRESS"
expect "Kerberos to an address instead of a host name: a logon failure" "$logon_failure" \
    $'Kerberos auth with \'Administrator@EXAMPLE.TEST\' (EXAMPLE\\Administrator) to access \'127.0.0.3\' not possible\nsession setup failed: NT_STATUS_ACCESS_DENIED\n'

echo "$cases cases, $failures failed"
if [ "$failures" != 0 ]; then
    echo "server logs: kept in $work.logs"
    cp -r "$server/log" "$work.logs"
    exit 1
fi
