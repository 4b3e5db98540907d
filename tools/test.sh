#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# Builds Tavrick with its tests in build/ and runs them. Extra arguments go to CMake's configure step.
set -eu
cd "$(dirname "$0")/.."
# Tests on, whatever an earlier configure of build/ (such as the README's quick start) chose.
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAVRICK_TESTS=ON "$@"
cmake --build build -j "$(nproc)"
ctest --test-dir build --output-on-failure --no-tests=error -j "$(nproc)"
