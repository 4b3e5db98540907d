#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# Plants known faults one at a time in a scratch copy of the tree (the working tree's files, tracked
# or new), builds it and runs the tests that need neither root nor a server; prints one line per
# fault: which tests caught it, or SURVIVED. Each fault is a sed expression on a source file named by
# its base name (with its folder where two share it), found wherever it lives under src/. Usage: tools/planted-faults.sh [NAME-PATTERN]
# (only the faults whose names match the grep pattern). SCRATCH=folder keeps the copy there.
set -u
cd "$(dirname "$0")/.." || exit 2
only=${1:-}
scratch=${SCRATCH:-$(mktemp -d)}
[ -n "${SCRATCH:-}" ] || trap 'rm -rf "$scratch"' EXIT
mkdir -p "$scratch"
git ls-files -z -co --exclude-standard | xargs -0 cp -P --parents -t "$scratch" 2>/dev/null
cd "$scratch" || exit 2
fast_tests() { ctest --test-dir build -E '^remote' -j2 --timeout 120 >test.log 2>&1; }
if ! { cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAVRICK_TESTS=ON && cmake --build build -j2; } \
    >build.log 2>&1 || ! fast_tests; then
    echo "the tree as it is fails to build or to pass its tests (SCRATCH=folder keeps the logs)"
    exit 2
fi
failures=0

plant() { # NAME BASENAME SED-EXPRESSION
    printf '%s\n' "$1" | grep -q -e "$only" || return 0
    file=$(find src -path "*/$2" | head -n 1)
    [ -n "$file" ] || { echo "NOT PLANTED ($2 not found): $1"; failures=$((failures + 1)); return; }
    cp "$file" planted.orig && sed -i "$3" "$file"
    if cmp -s "$file" planted.orig; then
        result="NOT PLANTED (no match in $file)"
    elif ! cmake --build build -j2 >build.log 2>&1; then
        result="BUILD FAILED (see build.log)"
    elif fast_tests; then
        result=SURVIVED
    else
        failed=$(sed -n '/tests FAILED/,$ s/^[[:space:]]*[0-9]* - \(unit\.\)\{0,1\}\(.*\) ([A-Za-z ]*)$/\2/p' test.log)
        [ -n "$failed" ] || failed="ctest failed (see test.log)"
        count=$(printf '%s\n' "$failed" | wc -l)
        result="caught by $(printf '%s\n' "$failed" | head -n 2 | paste -sd ';' | sed 's/;/; /g')"
        [ "$count" -le 2 ] || result="$result; and $((count - 2)) more"
    fi
    cp planted.orig "$file" # a fresh time, so that the next build compiles it again
    case $result in caught*) ;; *) failures=$((failures + 1)) ;; esac
    echo "$1: $result"
}

plant 'dead worker as success: lost connection status 0' worker_pool.cpp \
    's/answer.status = k_status_bad_netpath;/answer.status = k_status_success;/'
plant 'dead worker as success: an empty answer for an unread frame' worker_pool.cpp \
    's/answer ? std::move(\*answer) : lost_connection()/answer ? std::move(*answer) : Answer{}/'
plant 'logon hours dropped on the wire: not encoded' wire.cpp 's/record->logon_hours != nullptr/false/g'
plant 'logon hours dropped on the wire: not decoded' wire.cpp '/record.hours.emplace(/d'
plant 'absent text read as present: decoded as empty' wire.cpp \
    's/record.texts.push_back(in.text());/record.texts.push_back(in.text().value_or(std::string()));/'
plant 'absent text read as present: encoded as empty' wire.cpp \
    '/if (units == nullptr) {/,/}/ s/return std::nullopt;/return std::string_view();/'
plant 'context never renewed: renew never set' server_lanes.cpp \
    's/request.renew = lane.requests >= k_requests_per_logon && may_log_on();/request.renew = false;/'
plant 'context never renewed: requests never counted' server_lanes.cpp '/++state.requests;/d'
plant 'automatic choice: the slow-record test inverted' server_lanes.cpp \
    's/microseconds(fastest) >= k_slow_record/microseconds(fastest) < k_slow_record/'
plant 'automatic choice: the slow-record test never true' server_lanes.cpp \
    's/microseconds(fastest) >= k_slow_record/microseconds(fastest) < std::chrono::microseconds(0)/'
plant 'automatic choice: every connection from the start' server_lanes.cpp \
    's/m_allowed(connections.automatic ? 1 : m_cap)/m_allowed(m_cap)/'
plant 'EIO no error: the account enumeration ends quietly' local_source.cpp 's/error == EIO || //'
plant 'EIO no error: a failed output write taken as written' byte_writer.cpp \
    's/            fail_output(errno);/            if (errno == EIO) { return; } fail_output(errno);/'
plant 'EIO no error: a failed password file read taken as its end' credentials.cpp \
    's/error = got < 0 ? errno : 0;/error = 0;/'
plant 'lastlog one record off: the next' lastlog.cpp 's/static_cast<off_t>(uid) \*/static_cast<off_t>(uid + 1) */'
plant 'lastlog one record off: the previous' lastlog.cpp 's/static_cast<off_t>(uid) \*/static_cast<off_t>(uid - 1) */'
plant 'locked-out status mapped wrongly: logon failure' samba/status.cpp \
    's/{"NT_STATUS_ACCOUNT_LOCKED_OUT", k_status_account_locked_out}/{"NT_STATUS_ACCOUNT_LOCKED_OUT", k_status_logon_failure}/'
plant 'locked-out status mapped wrongly: account disabled' samba/status.cpp \
    's/{"NT_STATUS_ACCOUNT_LOCKED_OUT", k_status_account_locked_out}/{"NT_STATUS_ACCOUNT_LOCKED_OUT", k_status_account_disabled}/'
plant 'PASSWD_FILE left in the environment: not in the list' credentials.cpp 's/"PASSWD_FILE", //'
plant 'PASSWD_FILE left in the environment: nothing removed' netapi_connection.cpp '/^ *forget_credential_variables();/d'
plant 'formats: a double quote in a CSV field not doubled' csv.cpp "s/if (\*unit == u'\"') {/if (false) {/"
plant 'formats: a CSV field with a line feed left unquoted' csv.cpp "s/ || unit == u'\\\\n'//"
plant 'formats: a byte that is not UTF-8 lost in JSON' json.cpp 's/0xDC00U + \*unit/0xFFFDU/'
plant 'formats: a lone surrogate lost in JSON' json.cpp 's/units == TextUnits::utf16 ? \*unit/units == TextUnits::utf16 ? 0xFFFDU/'
plant 'formats: a surrogate in UTF-8 taken as a character' structured.cpp 's/high = lead == 0xED ? 0x9F : 0xBF;/high = 0xBF;/'
plant 'formats: a failing listing ends with status 0' enumerate.cpp 's/exit_status = k_exit_listing_failed;//'
plant 'formats: the local time of CSV taken as UTC' times.cpp '/^const char\* format_local_time/,/^}/ s/std::localtime/std::gmtime/'

[ "$failures" -eq 0 ]
