#!/bin/sh
# Builds a Release tavrick in build-bench/ and runs the benchmark; arguments go to bench/run.py
# (--sizes, --rounds, --keep, --remote SCRIPT). Needs cmake, g++, python3, getent and nss_wrapper
# (./tools/install-deps.sh installs them).
set -eu
cd "$(dirname "$0")/.."
build=build-bench
netapi=OFF
if [ -f src/sources/samba.cpp ]; then
    netapi=AUTO # the remote figures need the server source where it exists
fi
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DTAVRICK_TESTS=OFF -DTAVRICK_NETAPI="$netapi" >/dev/null
cmake --build "$build" -j "$(nproc)" --target tavrick >/dev/null
if [ ! -x "$build/measure" ] || [ bench/measure.cpp -nt "$build/measure" ]; then
    c++ -O2 -o "$build/measure" bench/measure.cpp
fi
remote=${TAVRICK_BENCH_REMOTE:-tests/remote/bench.sh}
exec /usr/bin/python3 bench/run.py --tool "$build/tavrick" --measure "$build/measure" --remote "$remote" "$@"
