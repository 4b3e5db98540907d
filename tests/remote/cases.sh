# SPDX-License-Identifier: GPL-3.0-or-later
# shellcheck shell=bash disable=SC2154 # $tavrick, $here and $work come from the script that sources this
# The remote tests' runner: walks a case table (data/*.cases), a case a line: name | environment |
# arguments | expected NAME | words; compares stdout, stderr and the exit status exactly with
# expected/NAME.out and .err (none: nothing). Environment and arguments are shell words ($work,
# $SAMBA_DATA). A word is an exit status or a hook: before_HOOK, after_HOOK around the tool, run_HOOK
# instead. In expected files @WORK@ is the scratch folder, @DATA@ data/, @NETAPI@ libnetapi; `substitutions` add.
failures=0 cases=0 substitutions=()
# For a sanitizer build: full stacks for the leak checker, and libnetapi's own leaks left out.
sanitizers=("ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}fast_unwind_on_malloc=0" "UBSAN_OPTIONS=${UBSAN_OPTIONS:-}"
    "LSAN_OPTIONS=${LSAN_OPTIONS:+$LSAN_OPTIONS:}suppressions=$here/lsan.supp:print_suppressions=0")

run() { # leaves $work/out, $work/err and $status
    env -i PATH=/usr/bin:/bin TZ=UTC0 "${sanitizers[@]}" "${environment[@]}" "$tavrick" "${arguments[@]}" \
        </dev/null >"$work/out" 2>"$work/err"
    status=$?
}

run_case() { # NAME ENVIRONMENT ARGUMENTS EXPECTED WORDS
    local word want_status=0 hooks=() runner=run ok=1 file started=$SECONDS
    eval "environment=($2) arguments=($3)"
    for word in ${5:-}; do
        if [[ $word =~ ^[0-9]+$ ]]; then want_status=$word; else hooks+=("$word"); fi
    done
    for word in "${hooks[@]}"; do
        ! declare -F "before_$word" >/dev/null || "before_$word"
        ! declare -F "run_$word" >/dev/null || runner=run_$word
    done
    "$runner"
    for word in "${hooks[@]}"; do ! declare -F "after_$word" >/dev/null || "after_$word"; done
    for file in out err; do
        sed -e "s|@WORK@|$work|g" -e "s|@DATA@|$SAMBA_DATA|g" -e "s|@NETAPI@|${netapi:-}|g" "${substitutions[@]}" \
            "$here/expected/$4.$file" >"$work/want" 2>/dev/null
        cmp -s "$work/want" "$work/$file" || { ok=0; echo "FAIL $1: standard $file differs"; diff "$work/want" "$work/$file" | head; }
    done
    [ "$status" = "$want_status" ] || { ok=0; echo "FAIL $1: exit status $status, expected $want_status"; }
    cases=$((cases + 1))
    if [ "$ok" = 1 ]; then echo "ok   $1 ($((SECONDS - started)) s)"; else failures=$((failures + 1)); fi
}

run_cases() { # TABLE
    local line fields
    while IFS= read -r line; do
        [[ -z $line || $line == \#* ]] && continue
        IFS=$'\x1f' read -r -a fields <<<"${line// | /$'\x1f'}"
        run_case "${fields[@]}"
    done <"$1"
}

run_midway() { # FAULT: as run, with FAULT done once the first record is out; $tool is the tool's pid
    : >"$work/out"
    env -i PATH=/usr/bin:/bin TZ=UTC0 "${sanitizers[@]}" "${environment[@]}" "$tavrick" "${arguments[@]}" \
        </dev/null >"$work/out" 2>"$work/err" &
    tool=$!
    until [ -s "$work/out" ] || ! kill -0 "$tool" 2>/dev/null; do sleep 0.01; done
    "$1"
    wait "$tool"
    status=$?
}
# check_broken: the records are the full listing's ($work/full) first ones, each whole, and one
# message follows them; what it finds goes to $work/verdict, what it should find to standard output.
check_broken() {
    local records=$(($(wc -l <"$work/out") - 1))
    if [ "$records" -lt 1 ] || ! cmp -s <(head -n "$records" "$work/out") <(head -n "$records" "$work/full"); then
        echo "records differ from the listing's" >"$work/verdict"
    fi
    echo "$(tail -n 1 "$work/out" | grep -c '^[^"]') message line(s) at the end" >>"$work/verdict"
    echo "1 message line(s) at the end"
}
# Logons a server refused so far, as its authentication log counts them (log level auth_audit:3).
failed_logons() { # LOG_FOLDER
    find "$1" -type f -exec cat {} + | grep -o 'Auth: .* status \[NT_STATUS_[A-Z_]*\]' | grep -c -v 'NT_STATUS_OK\]'
}

after_sorted() { LC_ALL=C sort -o "$work/out" "$work/out"; }
after_age() { sed -i -e 's/^password_age:[0-9][0-9]*$/password_age:AGE/' -e 's/"password_age":[0-9]*,/"password_age":AGE,/' "$work/out"; }

finish() { # LOGS: the summary; on a failure the server's logs are kept and the status is 1
    echo "$cases cases, $failures failed"
    [ "$failures" = 0 ] || { cp -r "$1" "$work.logs"; echo "server logs: kept in $work.logs"; exit 1; }
}
