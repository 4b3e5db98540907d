#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# Cross-builds tavrick.exe and the netapi32 double with mingw-w64 in build-win64/ (or the folder
# given as TAVRICK_WIN64_BUILD), runs the Windows tests under Wine, checks that the exe imports
# only system DLLs, and makes tavrick-<version>-win64.zip there, whose text files must end every
# line in CR LF. Extra arguments go to CMake's configure step.
set -eu
cd "$(dirname "$0")/.."
build=${TAVRICK_WIN64_BUILD:-build-win64}
cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DCMAKE_BUILD_TYPE=Release \
    -DTAVRICK_TESTS=ON "$@"
cmake --build "$build" -j "$(nproc)"
ctest --test-dir "$build" --output-on-failure --no-tests=error -j "$(nproc)"

# A bare Windows has these; the C++ runtime and winpthread are linked in.
imports=$(x86_64-w64-mingw32-objdump -p "$build/tavrick.exe" | sed -n 's/^[[:space:]]*DLL Name: //p' |
    tr '[:upper:]' '[:lower:]' | sort | tr '\n' ' ')
if [ "$imports" != "kernel32.dll msvcrt.dll netapi32.dll " ]; then
    echo "tavrick.exe imports $imports; expected only kernel32.dll msvcrt.dll netapi32.dll" >&2
    exit 1
fi

(cd "$build" && cpack -G ZIP)
version=$(sed -n 's/^project(tavrick VERSION \([^ ]*\) .*/\1/p' CMakeLists.txt)
zip="$build/tavrick-$version-win64.zip"
contents=$(unzip -Z1 "$zip" | LC_ALL=C sort | tr '\n' ' ')
if [ "$contents" != "LICENSE.txt how-to-run.txt tavrick.exe " ]; then
    echo "$zip holds $contents; expected LICENSE.txt how-to-run.txt tavrick.exe" >&2
    exit 1
fi
for text in LICENSE.txt how-to-run.txt; do
    bare=$(unzip -p "$zip" "$text" | LC_ALL=C grep -c -v "$(printf '\r')\$" || true)
    if [ "$bare" != 0 ]; then
        echo "$text in $zip has $bare lines that do not end in CR LF" >&2
        exit 1
    fi
done
echo "tavrick.exe imports: $imports"
echo "made $zip"
