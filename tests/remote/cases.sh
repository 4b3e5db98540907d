# shellcheck shell=bash disable=SC2154 # $tavrick and $work come from the script that sources this
# What the remote test scripts share: running the built tool in an exact environment, and comparing
# what it wrote. Sourced once $tavrick (the tool), $here (this folder) and $work (a scratch folder)
# are set; `cases` and `failures` count the results.

failures=0
cases=0

# For a sanitizer build of the tool: the caller's sanitizer settings, full stacks for the leak
# checker (the Samba libraries keep no frame pointers), and libnetapi's own leaks left out.
sanitizers=(
    "ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}fast_unwind_on_malloc=0"
    "LSAN_OPTIONS=${LSAN_OPTIONS:+$LSAN_OPTIONS:}suppressions=$here/lsan.supp:print_suppressions=0"
    "UBSAN_OPTIONS=${UBSAN_OPTIONS:-}"
)

# run ASSIGNMENT... -- ARGUMENT...: runs the tool in exactly that environment (plus PATH, TZ and the
# sanitizer settings; an assignment of TZ replaces UTC0), with standard input from $stdin (default
# /dev/null); leaves $work/out, $work/err and $status.
run() {
    local environment=()
    while [ "$1" != -- ]; do
        environment+=("$1")
        shift
    done
    shift
    env -i PATH=/usr/bin:/bin TZ=UTC0 "${sanitizers[@]}" "${environment[@]}" "$tavrick" "$@" \
        <"${stdin:-/dev/null}" >"$work/out" 2>"$work/err"
    status=$?
}

# expect NAME OUT ERR [STATUS]: the last run wrote exactly OUT and ERR and ended with STATUS (0).
expect() {
    local name=$1 out=$2 err=$3 want_status=${4:-0} ok=1
    cases=$((cases + 1))
    printf '%s' "$out" >"$work/want-out"
    printf '%s' "$err" >"$work/want-err"
    if ! cmp -s "$work/out" "$work/want-out"; then
        ok=0
        echo "FAIL $name: standard output differs"
        diff "$work/want-out" "$work/out" | head -n 20
    fi
    if ! cmp -s "$work/err" "$work/want-err"; then
        ok=0
        echo "FAIL $name: standard error differs"
        diff "$work/want-err" "$work/err" | head -n 20
    fi
    if [ "$status" != "$want_status" ]; then
        ok=0
        echo "FAIL $name: exit status $status, expected $want_status"
    fi
    if [ "$ok" = 1 ]; then
        echo "ok   $name"
    else
        failures=$((failures + 1))
    fi
}
