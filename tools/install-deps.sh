#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# Installs, as root on Debian 12, what building and testing Tavrick needs.
set -eu
export DEBIAN_FRONTEND=noninteractive
apt-get update
apt-get install -y --no-install-recommends \
    ca-certificates g++ cmake make pkg-config libgtest-dev libabsl-dev \
    libnss-wrapper samba-dev libkrb5-dev samba smbclient iproute2 util-linux \
    samba-ad-dc samba-ad-provision krb5-user \
    dpkg-dev file man-db lintian \
    g++-mingw-w64-x86-64-posix wine wine64 python3 unzip gnumeric \
    clang-14 libclang-rt-14-dev llvm-14 clang-tidy-14 cppcheck
