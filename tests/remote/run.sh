#!/bin/bash
# The built tool against a real standalone Samba server on 127.0.0.1, inside private network and
# mount namespaces: every case compares standard output, standard error and the exit status exactly.
#
#   run.sh TAVRICK [NSS_WRAPPER_LIBRARY]
#
# Exits 0 when every case passes, 1 when one fails, and 77 (skipped) when this machine cannot run
# the server: not root, or Samba or nss_wrapper missing.
set -u

here=$(cd "$(dirname "$0")" && pwd)
tavrick=$(realpath "$1")
if [ -n "${2:-}" ]; then
    export SAMBA_NSS_WRAPPER=$2
fi
# shellcheck source=samba-server.sh
. "$here/samba-server.sh"

missing=$(samba_missing)
if [ -n "$missing" ]; then
    echo "SKIP: $missing"
    exit 77
fi
samba_enter_namespace "$@"

# More than one page: the server returns at most 1,024 accounts a page.
readonly bulk_accounts=1100
work=$(mktemp -d /tmp/tavrick-remote.XXXXXX)
server=$work/server
cleanup() {
    samba_stop
    umount /etc/samba 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
samba_prepare "$server" "$bulk_accounts" || exit 1
samba_start "$server" || exit 1

# shellcheck source=cases.sh
. "$here/cases.sh"

good="USER=tester%$SAMBA_PASSWORD"
zoe_name=$'Zo\xc3\xab \xc3\x85ngstr\xc3\xb6m'
jurgen=$'j\xc3\xbcrgen'
jurgen_name=$'J\xc3\xbcrgen Gro\xc3\x9f'
logon_failure=$'Logon failure: unknown user name or bad password\n'
session_refused=$'session setup failed: NT_STATUS_LOGON_FAILURE\n'
no_path=$'The network path was not found\n'
tester_line=$'"tester","Test User","Staff":"Domain Users":"Project"\n'

# Every enabled account once, with its mapped groups, across both pages (the second one read through
# a fresh library context). The server decides the order, so the lines are compared sorted; the
# count is checked through the comparison.
run "$good" -- -S 127.0.0.1
{
    printf '%s' "$tester_line"
    printf '"zoe","%s","Domain Users":"Project"\n' "$zoe_name"
    printf '"%s","%s","Domain Users"\n' "$jurgen" "$jurgen_name"
    printf '"expired","Expired Password","Domain Users"\n'
    printf '"outsider","Outsider","Domain Users"\n'
    awk -v n="$bulk_accounts" 'BEGIN { for (i = 1; i <= n; i++)
        printf "\"user%04d\",\"User %04d\",\"Domain Users\"\n", i, i }'
} | LC_ALL=C sort >"$work/want-sorted"
LC_ALL=C sort "$work/out" >"$work/sorted"
listing_lines=$(wc -l <"$work/out")
mv "$work/sorted" "$work/out"
expect "all enabled accounts over two pages ($listing_lines records)" "$(cat "$work/want-sorted")"$'\n' ""

run "$good" -- -S 127.0.0.1 -Q d
expect "the disabled account alone with -Q d" $'"olduser","Old User","Domain Users"\n' ""

run "$good" -- -S 127.0.0.1 OldUser
expect "the disabled account by name" $'"olduser","Old User","Domain Users"\n' ""

run "$good" -- -S '\\TESTSRV' zoe
expect "a non-ASCII full name, server by name with backslashes" "\"zoe\",\"$zoe_name\",\"Domain Users\":\"Project\""$'\n' ""

run "$good" -- -S testsrv "$jurgen"
expect "a non-ASCII account name and its groups" "\"$jurgen\",\"$jurgen_name\",\"Domain Users\""$'\n' ""

# All fields of one account as the server holds them: the user id is the account's RID, the primary
# group the one its Unix group (staff) maps to. The password age moves with the clock.
tester_rid=$(cd / && samba_server_environment "$server" &&
    pdbedit -s "$server/smb.conf" -L -v -u tester 2>/dev/null | sed -n 's/^User SID: *S-.*-\([0-9]*\)$/\1/p')
run "$good" -- -S testsrv -a -F s -d '\n' tester
if grep -q '^password_age:[0-9][0-9]*$' "$work/out"; then
    sed -i 's/^password_age:[0-9]*$/password_age:AGE/' "$work/out"
fi
hours=$(printf '0xFF:%.0s' $(seq 20))0xFF
expect "-a for one account" "name:\"tester\"
password:\"(null)\"
password_age:AGE
priv:0%00000000000000000000000000000001
home_dir:\"\\\\TESTSRV\\tester\"
comment:\"\"
flags:0%00000000000000000000001000000001
script_path:\"\"
auth_flags:0%00000000000000000000000000000000
full_name:\"Test User\"
usr_comment:\"\"
parms:
workstations:\"\"
last_logon:\"70-01-01 00:00:00\"
last_logoff:\"36-02-06 15:06:39\"
acct_expires:\"36-02-06 15:06:39\"
max_storage:-1
units_per_week:168
logon_hours:$hours
bad_pw_count:0
num_logons:0
logon_server:\"\\\\*\"
country_code:0
code_page:0
user_id:$tester_rid
primary_group_id:1050
profile:\"\\\\TESTSRV\\tester\\profile\"
home_dir_drive:\"\"
password_expired:0
group:\"Staff\":\"Domain Users\":\"Project\"
" ""

# Credentials: PASSWD replaces the password in USER, PASSWD_FILE's first line replaces both.
run USER=tester%wrong "PASSWD=$SAMBA_PASSWORD" -- -S testsrv tester
expect "PASSWD wins over the password in USER" "$tester_line" ""
printf '%s\nsecond line\n' "$SAMBA_PASSWORD" >"$work/password"
run USER=tester PASSWD=wrong "PASSWD_FILE=$work/password" -- -S testsrv tester
expect "PASSWD_FILE's first line wins over PASSWD" "$tester_line" ""

# A reader that stops early ends the tool as it ends any filter: by SIGPIPE, quietly. (The library
# blocks SIGPIPE for its own sockets; the tool's output must not inherit that.)
env -i PATH=/usr/bin:/bin "${sanitizers[@]}" "$good" "$tavrick" -S 127.0.0.1 -Q a -a </dev/null 2>"$work/err" |
    head -c 100 >/dev/null
status=${PIPESTATUS[0]}
: >"$work/out"
expect "a closed pipe ends the tool by SIGPIPE" "" "" 141

# Failures: one message on standard output, what the library said on standard error, status 0.
run USER=tester%wrong -- -S 127.0.0.1
expect "a wrong password" "$logon_failure" "$session_refused"

printf '%s\n' "$SAMBA_PASSWORD" >"$work/typed"
stdin=$work/typed run USER=tester -- -S 127.0.0.1
expect "no password given: never read from standard input, never prompted" "$logon_failure" "$session_refused"

run "USER=olduser%$SAMBA_PASSWORD" -- -S 127.0.0.1
expect "logon as a disabled account" $'Logon failure: account currently disabled\n' \
    $'session setup failed: NT_STATUS_ACCOUNT_DISABLED\n'

run "USER=expired%$SAMBA_PASSWORD" -- -S 127.0.0.1
expect "logon with an expired password" $'Logon failure: the specified account password has expired\n' \
    $'session setup failed: NT_STATUS_PASSWORD_EXPIRED\n'

run "USER=outsider%$SAMBA_PASSWORD" -- -S 127.0.0.1
expect "access refused after logon" $'The user has insufficient privilege for this operation\n' \
    $'tree connect failed: NT_STATUS_ACCESS_DENIED\n'

run "$good" -- -S 127.0.0.2
expect "nothing listening" "$no_path" ""

run "$good" -- -S nosuchserver
expect "a name that does not resolve" "$no_path" ""

run "$good" -- -S '\\nosuch.example.invalid'
expect "a DNS name that does not resolve" "$no_path" ""

# Without Samba's client configuration the library refuses to start, and says so.
mkdir -p "$work/empty"
mount --bind "$work/empty" /etc/samba
run "$good" -- -S 127.0.0.1
umount /etc/samba
expect "no smb.conf for the library" $'Error in NetUserEnum: 31\n' $'error loading /etc/samba/smb.conf\n'

# A machine without Samba's library answers as a build without it, and says why on standard error.
netapi_path=$(ldconfig -p | awk '$1 == "libnetapi.so.1" { print $NF; exit }')
mount --bind /dev/null "$(realpath "$netapi_path")"
run "$good" -- -S 127.0.0.1
umount "$(realpath "$netapi_path")"
expect "no libnetapi on the machine" $'This network request is not supported\n' \
    "ERR: cannot load Samba's library: $netapi_path: file too short"$'\n'

echo "$cases cases, $failures failed"
if [ "$failures" != 0 ]; then
    echo "server logs: kept in $work.logs"
    cp -r "$server/log" "$work.logs"
    exit 1
fi
