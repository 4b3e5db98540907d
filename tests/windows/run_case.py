#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Runs tavrick.exe under Wine for one case folder and compares stdout, stderr and the exit status
byte for byte, every expected line feed as CR LF.
usage: run_case.py WINE EXE CASE_DIR [FILE that takes stdout, such as /dev/full]"""
import os
import subprocess
import sys


def read(path, default=b""):
    try:
        with open(path, "rb") as file:
            return file.read()
    except FileNotFoundError:
        return default


def expected(case, name, program, default=b""):
    """A case's expected bytes; a common case's Windows override wins, and NAME.exact, for the
    formats that write their own line ends, is taken with its line feeds as they are."""
    exact = read(os.path.join(case, name + ".exact"), None)
    if exact is not None:
        return exact.replace(b"@PROGRAM@", program)
    text = read(os.path.join(case, name + ".windows"), None)
    text = read(os.path.join(case, name), default) if text is None else text
    return text.replace(b"@PROGRAM@", program).replace(b"\n", b"\r\n")


def wine_argument(raw):
    """The UTF-8 text that Wine turns back into `raw` through the Windows side's ANSI code page
    1252, so that the tool's main() receives exactly these bytes."""
    def char(byte):
        try:
            return bytes([byte]).decode("cp1252")
        except UnicodeDecodeError:  # 0x81, 0x8D, 0x8F, 0x90 and 0x9D stand for themselves
            return chr(byte)
    return "".join(char(byte) for byte in raw).encode("utf-8")


def environment(case, exe):
    env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "HOME": os.path.dirname(exe),
           "WINEPREFIX": os.path.join(os.path.dirname(exe), "wineprefix"), "WINEDEBUG": "-all",
           # The netapi32 double beside the exe, not Wine's own; no browser or .NET installers.
           "WINEDLLOVERRIDES": "netapi32=n;mscoree,mshtml=", "LC_ALL": "C.UTF-8", "TZ": "UTC0"}
    for line in read(os.path.join(case, "env")).decode("utf-8").splitlines():
        name, equals, value = line.partition("=")
        if equals:
            env[name] = value
        else:
            env.pop(name, None)
    return env


def main(wine, exe, case, stdout_file=None):
    exe = os.path.abspath(exe)
    program = ("Z:" + exe.replace("/", "\\")).encode()  # Wine's argv[0]: the exe's DOS path
    args = [wine_argument(line) for line in read(os.path.join(case, "args")).split(b"\n")[:-1]]
    with open(stdout_file or os.devnull, "wb") as sink:
        run = subprocess.run([wine, exe] + args, env=environment(case, exe), stdin=subprocess.DEVNULL,
                             stdout=sink if stdout_file else subprocess.PIPE, stderr=subprocess.PIPE,
                             timeout=60, check=False)
    failed = False
    for stream, got in (("stdout", run.stdout or b""), ("stderr", run.stderr)):
        want = expected(case, stream, program)
        if got != want:
            at = next((i for i, (a, b) in enumerate(zip(got, want)) if a != b), min(len(got), len(want)))
            print(f"{stream} differs at byte {at} (got {len(got)} bytes, expected {len(want)}):\n"
                  f"  got      {got[max(0, at - 20):at + 40]!r}\n  expected {want[max(0, at - 20):at + 40]!r}")
            failed = True
    status = int(expected(case, "status", program, b"0"))
    if run.returncode != status:
        print(f"exit status {run.returncode}, expected {status}")
        failed = True
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
