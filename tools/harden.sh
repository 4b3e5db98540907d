#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# Hardening checks, run by CI after the main tests; each step fails the run on any finding:
#   1. the whole test suite built with address and undefined-behaviour sanitizers (build-asan/);
#   2. the libFuzzer target (build-fuzz/) for FUZZ_SECONDS (default 60), starting from the seeds in
#      tests/fuzz/corpus/; a crashing input is kept in build-fuzz/crashes/;
#   3. clang-tidy (.clang-tidy) and cppcheck (options below, tools/cppcheck-suppressions.txt) over src/.
# Extra arguments go to CMake's configure step of both builds (for example -DTAVRICK_NETAPI=ON).
set -eu
cd "$(dirname "$0")/.."
jobs=$(nproc)
fuzz_seconds=${FUZZ_SECONDS:-60}
cxx=${CLANGXX:-clang++-14}
started=$(date +%s)
step() { echo "== $1 (at $(($(date +%s) - started)) s)"; }

step "sanitizer build and tests"
# With the project's usual compiler (libFuzzer below needs clang), unoptimised: it builds in less
# than half the time and the tests run as fast. Warnings are the main build's business: under the
# sanitizers GCC warns of uninitialised values inside the standard library.
rm -rf build-asan
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug \
    -DTAVRICK_ASAN=ON -DTAVRICK_UBSAN=ON -DCMAKE_EXPORT_COMPILE_COMMANDS=ON "$@"
cmake --build build-asan -j "$jobs"
# The differential listings over one and over several connections (remote.parallel.*) and the
# real-size domain (remote.dc.scale) stay with the main run: the sanitized tool already lists the
# servers over several connections in remote.samba and remote.dc, and those listings would double
# this step's time.
UBSAN_OPTIONS=print_stacktrace=1 ctest --test-dir build-asan --output-on-failure --no-tests=error -j "$jobs" \
    -E '^remote[.](parallel[.]|dc[.]scale$)'

step "fuzzing, ${fuzz_seconds} s"
rm -rf build-fuzz
CXX=$cxx cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAVRICK_WERROR=ON \
    -DTAVRICK_FUZZ=ON -DTAVRICK_TESTS=OFF "$@"
cmake --build build-fuzz -j "$jobs"
mkdir -p build-fuzz/crashes
# The tool's usage texts and messages would flood the log: -close_fd_mask=3 silences the target's
# stdout and stderr while libFuzzer keeps reporting. Leak checking is off: the target models the
# tool's exits, which leave their memory to the process end (see cli_fuzz.cpp).
fuzz() {
    target=$1
    shift
    mkdir -p "build-fuzz/corpus-$target"
    "build-fuzz/tests/fuzz/fuzz_$target" "build-fuzz/corpus-$target" "tests/fuzz/corpus/$target" \
        -max_total_time="$fuzz_seconds" -timeout=10 -close_fd_mask=3 -print_final_stats=1 \
        -artifact_prefix="build-fuzz/crashes/$target-" "$@" >"build-fuzz/$target.log" 2>&1
}
failed=0
fuzz cli -detect_leaks=0 -max_len=4096 || failed=1
for target in cli; do
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "build-fuzz/$target.log")
    rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "build-fuzz/$target.log")
    echo "fuzz_$target: ${runs:-?} runs, ${rate:-?} executions per second"
done
if [ "$failed" != 0 ]; then
    for log in build-fuzz/cli.log; do
        if grep -q -e '^==[0-9]*==' -e 'ERROR: libFuzzer' -e '^SUMMARY' "$log"; then
            tail -n 60 "$log"
        fi
    done
    for input in build-fuzz/crashes/*; do
        if [ -f "$input" ]; then
            echo "crashing input $input:"
            od -A d -c "$input" | head -n 20
        fi
    done
    echo "fuzzing found a fault" >&2
    exit 1
fi

step "clang-tidy"
${RUN_CLANG_TIDY:-run-clang-tidy-14} -quiet -p build-asan -j "$jobs" "$PWD/src/" >build-asan/clang-tidy.log 2>&1 || {
    grep -v -e '^clang-tidy' -e 'warnings generated' -e '^Suppressed' -e '^Use -header-filter' \
        build-asan/clang-tidy.log >&2
    echo "clang-tidy has findings" >&2
    exit 1
}

step "cppcheck"
cppcheck --std=c++20 --language=c++ --library=posix -I src \
    --enable=warning,style,performance,portability --inline-suppr \
    --suppressions-list=tools/cppcheck-suppressions.txt --error-exitcode=1 --quiet src/

step "hardening checks passed"
