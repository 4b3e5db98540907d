#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# Builds the Debian package from a configured build folder (default: build), checks it with lintian,
# installs it with apt, and checks what it ships: the binary, the manual page and the changelog all
# carry the package's version, the manual page renders without warnings, and bash completes the
# option arguments. Run as root. A package that was not installed before is removed again at the end.
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

# Debian's own checks: lintian must print nothing, so any error or warning fails. Should a tag ever
# need overriding, the override goes into the package with a one-line reason beside it. lintian
# asks not to run as root, so it runs as the user nobody, on a copy that user can read.
lintian_dir=$(mktemp -d)
trap 'rm -rf "$lintian_dir"' EXIT
chmod 755 "$lintian_dir"
cp "$deb" "$lintian_dir/"
lintian_output=$(runuser -u nobody -- lintian "$lintian_dir/${deb##*/}" 2>&1) ||
    fail "lintian failed: $lintian_output"
[ -z "$lintian_output" ] || fail "lintian reports:
$lintian_output"
rm -rf "$lintian_dir"
trap - EXIT

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

# The manual page is where man looks, names the package's version and renders without a warning.
page=$(man -w tavrick) || fail "man does not find tavrick(1)"
[ "$page" = /usr/share/man/man1/tavrick.1.gz ] || fail "man finds tavrick(1) at $page"
zcat "$page" | grep -q "^\.TH TAVRICK 1 [0-9-]* \"Tavrick $version\" " ||
    fail "the header of tavrick(1) does not name version $version: $(zcat "$page" | grep '^\.TH')"
warnings=$(MANROFFSEQ='' MANWIDTH=80 man --warnings -E UTF-8 tavrick 2>&1 >/dev/null)
[ -z "$warnings" ] || fail "man tavrick warns: $warnings"
warnings=$(zcat "$page" | groff -ww -man -Tutf8 -z 2>&1)
[ -z "$warnings" ] || fail "groff -ww warns: $warnings"
MANWIDTH=80 man tavrick 2>/dev/null | grep -q '^EXIT STATUS' || fail "man tavrick renders no EXIT STATUS section"

# The changelog's newest entry is this version.
changelog_version=$(dpkg-parsechangelog -l /usr/share/doc/tavrick/changelog.gz -S Version) ||
    fail "cannot read /usr/share/doc/tavrick/changelog.gz"
[ "$changelog_version" = "$version" ] || fail "the changelog's newest entry is $changelog_version, not $version"

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
tavrick alice -|-Q -a -s -q -i -d -m -r -F -o -S -v -h --
tavrick -o |csv json
tavrick -ao j|json
tavrick -- -|
CASES
    exit $status
' || fail "bash completion"
echo "check-package: ${deb##*/} installs; tavrick -v, man tavrick and completion work"
