#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""round_trip.py TOOL NSS_WRAPPER FIXTURES [--spreadsheet]: lists the accounts of the nss_wrapper
files in FIXTURES with -o json and -o csv, reads them back with Python's json and csv modules (with
--spreadsheet the CSV also through gnumeric's ssconvert, to xlsx and back), and checks every field:
the text, ids and groups against the account files themselves, the rest against the tool's own -a
listing with control bytes as delimiters. Exit status 0, 1 on a difference, 77 without ssconvert."""
import csv
import datetime
import io
import json
import os
import re
import subprocess
import sys
import tempfile
import time

ZONE = ("CET-1", datetime.timezone(datetime.timedelta(hours=1)))  # one hour east, no summer time
NO_TIME = (0, 0xFFFFFFFF)
problems = []


def check(what, got, want):
    if got != want:
        problems.append(f"{what}: got {got!r}, expected {want!r}")


def run(tool, env, *args):
    done = subprocess.run([tool, *args], env=env, capture_output=True, check=False)
    check(f"exit status of {' '.join(args)}", done.returncode, 0)
    return done.stdout, done.stderr


def not_utf8(value):
    values = value if isinstance(value, list) else [value]
    return any(isinstance(v, bytes) and v.decode("utf-8", "replace").encode() != v for v in values)


def fixture_accounts(folder):
    """The text, ids, groups and expiry of each account, from the files as the local source reads them."""
    def lines(name):
        with open(os.path.join(folder, name), "rb") as file:
            return [line.split(b":") for line in file.read().split(b"\n")[:-1]]
    groups, shadow, accounts = lines("group"), {e[0]: e for e in lines("shadow")}, {}
    group_name = {}
    for entry in groups:
        group_name.setdefault(int(entry[2]), entry[0])
    for name, _, uid, gid, gecos, home, shell in lines("passwd"):
        gids = [int(gid)] + [int(e[2]) for e in groups if name in e[3].split(b",")]
        gecos_parts = gecos.split(b",", 1)
        expire = shadow[name][7] if name in shadow else b""
        accounts[name] = {"name": name, "full_name": gecos_parts[0], "comment": (gecos_parts + [b""])[1],
                          "home_dir": home, "script_path": shell, "user_id": int(uid), "primary_group_id": int(gid),
                          "groups": [group_name.get(g, str(g).encode()) for g in dict.fromkeys(gids)],
                          "acct_expires": int(expire) * 86400 if expire else None,
                          "last_logon": None, "last_logoff": None}
    return accounts


def listed_accounts(raw, fixtures):
    """The -a records in control-byte delimiters, each field as the new formats should type it."""
    records = {}
    for record in raw.split(b"\x1d")[:-1]:
        fields = record.split(b"\x1f")
        value = dict(zip(NAMES, fields))
        typed = {name: int(field[2:], 2) if field.startswith(b"0%") else field for name, field in value.items()}
        for name in ("password_age", "max_storage", "units_per_week", "bad_pw_count", "num_logons", "country_code",
                     "code_page", "password_expired"):
            typed[name] = int(value[name])
        for name in ("password", "usr_comment", "workstations", "logon_server", "profile", "home_dir_drive"):
            typed[name] = None if value[name] == b"(null)" else value[name]
        typed["parms"] = "".join(chr(int(unit, 16)) for unit in value["parms"].split(b"\x1e") if unit).encode()
        typed["logon_hours"] = "".join(item[2:].decode() for item in value["logon_hours"].split(b"\x1e")) or None
        account = fixtures[value["name"]]
        for name in ("name", "full_name", "comment", "home_dir", "script_path", "user_id", "primary_group_id"):
            check(f"{value['name']} {name} in the -a listing", int(typed[name]) if name.endswith("id") else
                  typed[name], account[name])
        check(f"{value['name']} groups in the -a listing", value["groups"].split(b"\x1e"), account["groups"])
        records[value["name"]] = {**typed, **account, "disabled": bool(typed["flags"] & 2)}
    return records


def check_json(out, accounts, columns):
    for line in out.decode("utf-8").splitlines():
        got = json.loads(line)
        name = got["name"].encode("utf-8", "surrogateescape")
        want = accounts.pop(name)
        check(f"{name} keys", list(got), columns + ["disabled"])
        for column, value in got.items():
            if column in ("password_age",):
                value, want[column] = abs(value - want[column]) < 5, True
            elif column in TIMES:
                value = None if value is None else int(datetime.datetime.fromisoformat(value[:-1] + "+00:00")
                                                       .timestamp())
            elif isinstance(value, str):
                value = value.encode("utf-8", "surrogateescape") if column != "logon_hours" else value
            elif isinstance(value, list):
                value = [group.encode("utf-8", "surrogateescape") for group in value]
            check(f"{name} {column} in JSON", value, want[column])
    check("accounts missing from JSON", list(accounts), [])


def csv_text(want, column, joiner):
    value = want[column]
    if column in TIMES:
        return datetime.datetime.fromtimestamp(value, ZONE[1]).strftime("%Y-%m-%d %H:%M:%S") if value else ""
    if column == "groups":
        return joiner.join(group.decode("utf-8", "replace") for group in value)
    return value.decode("utf-8", "replace") if isinstance(value, bytes) else "" if value is None else str(value)


def check_csv(rows, accounts, columns, joiner, spreadsheet=False):
    check("CSV header", rows[0], columns)
    wanted = list(accounts.values())  # in listing order, as the -a listing was
    check("CSV rows", len(rows) - 1, len(wanted))
    for row, want in zip(rows[1:], wanted):
        for column, got in zip(columns, row):
            expected = csv_text(want, column, joiner)
            if column == "password_age":
                got, expected = abs(int(got) - int(expected)) < 5, True
            elif spreadsheet and column in TIMES and got:  # a date: days since 1899-12-30, local time
                got = round((float(got) - 25569) * 86400) - 3600
                expected = want[column]
            elif spreadsheet:  # numbers stay numbers; xlsx is XML: a line break is LF, no other control
                got = got if column not in NUMBERS else str(int(float(got)))
                expected = re.sub("[\x00-\x08\x0b-\x1f\x7f]", "", expected.replace("\r\n", "\n").replace("\r", "\n"))
            check(f"{want['name']} {column} in CSV{' through the spreadsheet' * spreadsheet}", got, expected)


def main(tool, nss_wrapper, fixtures, *options):
    # An empty lastlog, not the machine's; nss_wrapper loads before a sanitizer runtime, told not to mind.
    env = {"PATH": "/usr/bin:/bin", "TZ": ZONE[0], "LD_PRELOAD": nss_wrapper, "LC_ALL": "C.UTF-8",
           "TAVRICK_LASTLOG": "/dev/null",
           "ASAN_OPTIONS": os.environ.get("ASAN_OPTIONS", "") + ":verify_asan_link_order=0"}
    env.update({f"NSS_WRAPPER_{db.upper()}": os.path.join(fixtures, db) for db in ("passwd", "group", "shadow")})
    raw, _ = run(tool, env, "-a", "-Q", "a", "-q", "", "-d", "\x1f", "-m", "\x1e", "-r", "\x1d")
    accounts = listed_accounts(raw, fixture_accounts(fixtures))
    short = ["name", "full_name", "groups"]
    for args, columns in ((["-a"], NAMES), ([], short)):
        out, err = run(tool, env, "-o", "json", "-Q", "a", *args)
        check_json(out, {name: dict(want) for name, want in accounts.items()}, columns)
        named = [json.loads(line[13:line.index(": bytes")]).encode("utf-8", "surrogateescape")
                 for line in err.decode().splitlines()]
        check(f"accounts named on standard error for -o json {args}", named,
              [name for name, want in accounts.items() if any(not_utf8(want[column]) for column in columns)])
    for args, delimiter, joiner in ((["-a"], ",", ":"), ([], "\t", " / ")):
        out, _ = run(tool, env, "-o", "csv", "-Q", "a", "-d", delimiter, "-m", joiner, *args)
        rows = list(csv.reader(io.StringIO(out.decode("utf-8"), newline=""), delimiter=delimiter, strict=True))
        check_csv(rows, accounts, NAMES if args else short, joiner)
    if "--spreadsheet" in options:
        with tempfile.TemporaryDirectory() as folder:
            paths = [os.path.join(folder, name) for name in ("accounts.csv", "accounts.xlsx", "back.csv")]
            with open(paths[0], "wb") as file:
                file.write(run(tool, env, "-o", "csv", "-a", "-Q", "a")[0])
            for args in ([paths[0], paths[1]], ["-T", "Gnumeric_stf:stf_assistant", "-O", "format=raw", *paths[1:]]):
                subprocess.run(["ssconvert", *args], check=True, capture_output=True, env={**os.environ, "TZ": "UTC0"})
            with open(paths[2], encoding="utf-8", newline="") as file:
                check_csv(list(csv.reader(file)), accounts, NAMES, ":", spreadsheet=True)
    print("\n".join(problems) or f"{len(accounts)} accounts read back intact at {time.strftime('%F %T')}")
    return 1 if problems else 0


NAMES = ["name", "password", "password_age", "priv", "home_dir", "comment", "flags", "script_path", "auth_flags",
         "full_name", "usr_comment", "parms", "workstations", "last_logon", "last_logoff", "acct_expires",
         "max_storage", "units_per_week", "logon_hours", "bad_pw_count", "num_logons", "logon_server", "country_code",
         "code_page", "user_id", "primary_group_id", "profile", "home_dir_drive", "password_expired", "groups"]
TIMES = ("last_logon", "last_logoff", "acct_expires")
NUMBERS = ("password_age", "priv", "flags", "auth_flags", "max_storage", "units_per_week", "bad_pw_count",
           "num_logons", "country_code", "code_page", "user_id", "primary_group_id", "password_expired")

if __name__ == "__main__":
    if "--spreadsheet" in sys.argv and subprocess.run(["sh", "-c", "command -v ssconvert"],
                                                      capture_output=True, check=False).returncode != 0:
        print("SKIP: ssconvert not found (Debian: gnumeric)")
        sys.exit(77)
    sys.exit(main(*sys.argv[1:]))
