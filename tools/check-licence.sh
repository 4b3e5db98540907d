#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# Fails when a tracked source file lacks the licence line below in its first three lines, and names
# each such file. Source files: C++, shell, Python and CMake files under the code folders, the
# top-level CMakeLists.txt, the bash completion and the CI scripts in .ci/.
set -eu
cd "$(dirname "$0")/.."
line='SPDX-License-Identifier: GPL-3.0-or-later'
missing=$(mktemp)
trap 'rm -f "$missing"' EXIT
git ls-files -- CMakeLists.txt src tests tools bench cmake .ci completion | while IFS= read -r file; do
    case $file in
    .ci/* | *.cpp | *.h | *.sh | *.py | *.cmake | *CMakeLists.txt | completion/*.bash) ;;
    *) continue ;;
    esac
    head -n 3 "$file" | grep -qF "$line" || echo "$file" >>"$missing"
done
if [ -s "$missing" ]; then
    echo "check-licence: these source files lack '$line' in their first three lines:" >&2
    sed 's/^/  /' "$missing" >&2
    exit 1
fi
echo "check-licence: every source file names its licence"
