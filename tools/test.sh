#!/bin/sh
# Builds Tavrick with its tests in build/ and runs them. Extra arguments go to CMake's configure step.
set -eu
cd "$(dirname "$0")/.."
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@"
cmake --build build -j "$(nproc)"
ctest --test-dir build --output-on-failure -j "$(nproc)"
