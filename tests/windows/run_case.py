#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Runs tavrick.exe under Wine for one case folder of tests/cases and compares stdout, stderr and
the exit status byte for byte, every expected line feed written as CR LF.

usage: run_case.py WINE EXE CASE_DIR"""
import os
import subprocess
import sys


def read(path, default=b""):
    try:
        with open(path, "rb") as file:
            return file.read()
    except FileNotFoundError:
        return default


def expected(case, name, program):
    """A case's expected stream; a common case's Windows override wins."""
    text = read(os.path.join(case, name + ".windows"), None)
    if text is None:
        text = read(os.path.join(case, name))
    return text.replace(b"@PROGRAM@", program).replace(b"\n", b"\r\n")


def wine_argument(raw):
    """The UTF-8 text that Wine turns back into `raw` through the ANSI code page 1252 of the
    Windows side, so that the tool's main() receives exactly these bytes."""
    text = ""
    for byte in raw:
        try:
            text += bytes([byte]).decode("cp1252")
        except UnicodeDecodeError:  # 0x81, 0x8D, 0x8F, 0x90, 0x9D map to themselves
            text += chr(byte)
    return text.encode("utf-8")


def environment(case, exe):
    env = {
        "PATH": os.environ.get("PATH", "/usr/bin:/bin"),
        "HOME": os.path.dirname(exe),
        "WINEPREFIX": os.path.join(os.path.dirname(exe), "wineprefix"),
        "WINEDEBUG": "-all",
        # The netapi32 double beside the exe, not Wine's own; no browser or .NET installers.
        "WINEDLLOVERRIDES": "netapi32=n;mscoree,mshtml=",
        "LC_ALL": "C.UTF-8",
        "TZ": "UTC0",
    }
    for line in read(os.path.join(case, "env")).decode("utf-8").splitlines():
        name, equals, value = line.partition("=")
        if equals:
            env[name] = value
        else:
            env.pop(name, None)
    return env


def first_difference(got, want):
    for offset, (a, b) in enumerate(zip(got, want)):
        if a != b:
            return offset
    return min(len(got), len(want))


def main():
    wine, exe, case = sys.argv[1], os.path.abspath(sys.argv[2]), sys.argv[3]
    # Wine hands the program its own path in DOS form as argv[0].
    program = ("Z:" + exe.replace("/", "\\")).encode()
    lines = read(os.path.join(case, "args"))
    args = [wine_argument(line) for line in lines.split(b"\n")[:-1]] if lines else []
    run = subprocess.run([wine, exe] + args, env=environment(case, exe), capture_output=True,
                         stdin=subprocess.DEVNULL, timeout=60, check=False)
    status = read(os.path.join(case, "status.windows"), None) or read(os.path.join(case, "status"), b"0")
    failed = False
    for stream, got in (("stdout", run.stdout), ("stderr", run.stderr)):
        want = expected(case, stream, program)
        if got != want:
            offset = first_difference(got, want)
            print(f"{stream} differs at byte {offset} (got {len(got)} bytes, expected {len(want)}):\n"
                  f"  got      {got[max(0, offset - 20):offset + 40]!r}\n"
                  f"  expected {want[max(0, offset - 20):offset + 40]!r}")
            failed = True
    if run.returncode != int(status):
        print(f"exit status {run.returncode}, expected {int(status)}")
        failed = True
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
