#!/bin/sh
# Builds the Debian package from a configured build folder (default: build), installs it with apt,
# and checks what it ships: the binary runs, the manual page renders without warnings, and bash
# completes the option arguments. Run as root. A package that was not installed before is removed
# again at the end.
set -eu
cd "$(dirname "$0")/.."
build=${1:-build}
export DEBIAN_FRONTEND=noninteractive LC_ALL=C.UTF-8

fail() {
    echo "check-package: $*" >&2
    exit 1
}

# Two runs at once would install and remove the package under each other.
exec 9>/tmp/tavrick-check-package.lock
flock 9

# Shows a step's output only when it fails.
quietly() {
    if ! "$@" >"$build/check-package.log" 2>&1; then
        cat "$build/check-package.log" >&2
        fail "failed: $*"
    fi
}

rm -rf "$build/package"
quietly cpack --config "$build/CPackConfig.cmake" -B "$build/package" -G DEB
set -- "$build"/package/tavrick_*_*.deb
if [ $# -ne 1 ] || [ ! -f "$1" ]; then
    fail "expected one tavrick_<version>_<arch>.deb in $build/package"
fi
deb=$1
echo "check-package: built ${deb##*/}: Depends: $(dpkg-deb -f "$deb" Depends)"

installed_before=no
dpkg-query -W -f '${Status}' tavrick 2>/dev/null | grep -q 'ok installed' && installed_before=yes
if [ "$installed_before" = no ]; then
    trap 'apt-get remove -y -qq tavrick >/dev/null 2>&1 || true' EXIT
fi
quietly apt-get install -y -q --no-install-recommends -o DPkg::Lock::Timeout=300 "./$deb"

# The binary runs and reports the package's version.
version=$(dpkg-deb -f "$deb" Version)
first_line=$(/usr/bin/tavrick -v | head -n 1)
expected="Tavrick v$(echo "$version" | cut -d. -f1,2) rev $(echo "$version" | cut -d. -f3)"
[ "$first_line" = "$expected" ] || fail "tavrick -v says '$first_line', expected '$expected'"

# The manual page is where man looks and renders without a warning.
page=$(man -w tavrick) || fail "man does not find tavrick(1)"
[ "$page" = /usr/share/man/man1/tavrick.1 ] || fail "man finds tavrick(1) at $page"
warnings=$(MANROFFSEQ='' MANWIDTH=80 man --warnings -E UTF-8 tavrick 2>&1 >/dev/null)
[ -z "$warnings" ] || fail "man tavrick warns: $warnings"
warnings=$(groff -ww -man -Tutf8 -z "$page" 2>&1)
[ -z "$warnings" ] || fail "groff -ww warns: $warnings"
MANWIDTH=80 man tavrick 2>/dev/null | grep -q '^EXIT STATUS' || fail "man tavrick renders no EXIT STATUS section"

# Completion, driven the way bash drives it: the words of the line, the cursor in the last one.
# User names come from the test fixtures through nss_wrapper.
fixtures=$PWD/tests/fixtures
LD_PRELOAD=libnss_wrapper.so NSS_WRAPPER_PASSWD=$fixtures/passwd NSS_WRAPPER_GROUP=$fixtures/group \
NSS_WRAPPER_SHADOW=$fixtures/shadow bash -c '
    . /usr/share/bash-completion/completions/tavrick
    status=0
    while IFS="|" read -r line expected; do
        read -ra COMP_WORDS <<<"$line"
        case $line in *" ") COMP_WORDS+=("") ;; esac
        COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
        COMP_LINE=$line
        COMP_POINT=${#line}
        _tavrick tavrick "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
        if [ "${COMPREPLY[*]}" != "$expected" ]; then
            echo "check-package: completing \"$line\" gives \"${COMPREPLY[*]}\", expected \"$expected\"" >&2
            status=1
        fi
    done <<"CASES"
tavrick -Q |a e d
tavrick -Q d|d
tavrick -aQ |a e d
tavrick -F |h s n
tavrick -s -F s|s
tavrick -d |
tavrick -q -Q j|jörg judy
tavrick -a a|alice
tavrick alice |
tavrick alice -|-Q -a -s -q -i -d -m -r -F -S -v -h --
tavrick -- -|
CASES
    exit $status
' || fail "bash completion"
echo "check-package: ${deb##*/} installs; tavrick -v, man tavrick and completion work"
