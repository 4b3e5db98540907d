#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# Builds the tool without Samba's libnetapi in build-without-netapi/ and checks that a server request
# is then answered "This network request is not supported" (status 50) on standard output, with
# nothing on standard error and exit status 0. Extra arguments go to CMake's configure step.
set -eu
cd "$(dirname "$0")/.."
build="build-without-netapi"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAVRICK_NETAPI=OFF -DTAVRICK_TESTS=OFF "$@"
cmake --build "$build" -j "$(nproc)" --target tavrick
printf 'This network request is not supported\n' >"$build/want"
status=0
"./$build/tavrick" -S dc01 -a someone >"$build/out" 2>"$build/err" </dev/null || status=$?
if ! cmp -s "$build/out" "$build/want" || [ -s "$build/err" ] || [ "$status" != 0 ]; then
    echo "FAIL: without libnetapi, -S dc01 ended with status $status; output, then errors:" >&2
    cat "$build/out" "$build/err" >&2
    exit 1
fi
echo "ok   without libnetapi a server request answers: $(cat "$build/out")"
