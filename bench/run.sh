#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# Builds a Release tavrick in build-bench/ and runs the benchmark; arguments go to bench/run.py
# (--sizes, --rounds, --keep, --remote SCRIPT). Needs what ./tools/install-deps.sh installs.
#
# Remote figures: when a Samba benchmark script exists (TAVRICK_BENCH_REMOTE, by default
# bench/remote.sh), it runs last with the tool's path as its argument and prints its own
# figures: the tool against the bare libnetapi calls on the test server.
set -eu
cd "$(dirname "$0")/.."
build=build-bench
netapi=OFF
if [ -d src/sources/samba ]; then
    netapi=AUTO # the remote figures need the server source where it exists
fi
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DTAVRICK_TESTS=OFF -DTAVRICK_NETAPI="$netapi" >/dev/null
cmake --build "$build" -j "$(nproc)" --target tavrick >/dev/null
for helper in measure nss_passes; do
    if [ ! -x "$build/$helper" ] || [ "bench/$helper.cpp" -nt "$build/$helper" ]; then
        c++ -std=c++17 -O2 -Wall -o "$build/$helper" "bench/$helper.cpp"
    fi
done
exec /usr/bin/python3 bench/run.py --tool "$build/tavrick" --helpers "$build" \
    --remote "${TAVRICK_BENCH_REMOTE:-bench/remote.sh}" "$@"
