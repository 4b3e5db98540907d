#!/usr/bin/python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Writes passwd, group and shadow files for nss_wrapper with N accounts, N/10 groups and three
memberships per account. The same N always gives the same files.

The accounts look like a real directory's: most enabled, some locked, expired or without a login
shell, some non-ASCII names, GECOS fields with commas, a few primary groups without a name.

With --listings CASES it writes what the test build needs instead: for every case of the case
table CASES (tests/cases) whose env names account files as @GENERATED@/paging-N/..., the account set
paging-N with short hashes, and the case's expected standard output in cases/<group>/<case>/stdout,
computed here from the account files by the rules of the manual page, never by running the tool.
"""
import argparse
import glob
import os
import random
import re
import sys
import time

FIRST_UID = 10000
FIRST_GID = 20000
USERS_GID = 100
NAMELESS_GID = 4242  # a primary group that the group file does not name
MEMBERSHIPS = 3

# Non-ASCII stems, written as UTF-8 bytes, as a system keeps them.
UNICODE_STEMS = ["jörg", "zoë", "ñandú", "łukasz", "søren", "ümit", "françois", "δημήτρης"]
ASCII_STEMS = ["user", "svc", "adm", "dev", "ops", "ext"]
GIVEN = ["Alice", "Bob", "Carol", "Dave", "Erin", "Frank", "Grace", "Heidi", "Jörg", "Zoë", "Ünal"]
FAMILY = ["Müller", "Builder", "Smith", "O'Neil", "Nakamura", "García", "Kowalski", "Ängström"]
TODAY = 20000  # days since 1970-01-01 used for last-change dates
HASH = "$6$salt$c2FsdGVkIGhhc2ggb2YgdGhlIHBhc3N3b3JkIGZvciB0aGUgYmVuY2htYXJr"
SHORT_HASH = "$6$h"  # the test sets': smaller files, and nothing in them looks like a real hash


def account_name(index, rng):
    stem = rng.choice(UNICODE_STEMS) if index % 37 == 5 else ASCII_STEMS[index % len(ASCII_STEMS)]
    return f"{stem}{index:06d}"


def group_name(index):
    return f"grüppe{index:05d}" if index % 53 == 7 else f"grp{index:05d}"


def gecos(index, rng):
    name = f"{rng.choice(GIVEN)} {rng.choice(FAMILY)}"
    shape = index % 5
    if shape == 0:
        return name
    if shape == 1:
        return f"{name},Room {index % 500},+1 555 {index % 10000:04d},,"
    if shape == 2:
        return f"{name},Building {index % 7}"
    if shape == 3:
        return ""
    return f"{name},,,,extra comment {index}"


def shell(rng):
    roll = rng.random()
    if roll < 0.05:
        return "/usr/sbin/nologin"
    if roll < 0.07:
        return "/bin/false"
    return "/bin/bash"


def shadow_line(name, rng, password):
    roll = rng.random()
    last_change = TODAY - rng.randrange(0, 2000)
    max_age = "99999"
    expire = ""
    if roll < 0.03:
        password = "!" + password  # locked
    elif roll < 0.04:
        password = "*"
    elif roll < 0.05:
        expire = "1"  # expired long ago
    elif roll < 0.055:
        password = ""
    elif roll < 0.10:
        max_age = "90"
    elif roll < 0.11:
        last_change = 0  # must change at next logon
    elif roll < 0.13:
        expire = str(TODAY + 3650)
    return f"{name}:{password}:{last_change}:0:{max_age}:7::{expire}:\n"


def generate(count, folder, password=HASH):
    rng = random.Random(count)
    group_count = max(1, count // 10)
    names = [account_name(i, rng) for i in range(count)]
    members = [[] for _ in range(group_count)]
    passwd = []
    shadow = []
    for index, name in enumerate(names):
        roll = rng.random()
        if roll < 0.70:
            primary = USERS_GID
        elif roll < 0.999:
            primary = FIRST_GID + rng.randrange(group_count)  # may repeat a membership below
        else:
            primary = NAMELESS_GID
        uid = FIRST_UID + index
        passwd.append(f"{name}:x:{uid}:{primary}:{gecos(index, rng)}:/home/{name}:{shell(rng)}\n")
        if rng.random() >= 0.01:  # a few accounts have no shadow entry
            shadow.append(shadow_line(name, rng, password))
        for group in rng.sample(range(group_count), min(MEMBERSHIPS, group_count)):
            members[group].append(name)
    groups = [f"root:x:0:\nusers:x:{USERS_GID}:\n"]
    for index in range(group_count):
        groups.append(f"{group_name(index)}:x:{FIRST_GID + index}:{','.join(members[index])}\n")
    os.makedirs(folder, exist_ok=True)
    for file_name, lines in (("passwd", passwd), ("group", groups), ("shadow", shadow)):
        with open(os.path.join(folder, file_name), "w", encoding="utf-8", newline="\n") as out:
            out.writelines(lines)


def read_accounts(folder):
    """The passwd and group entries in file order, split into fields; the shadow entries by name."""

    def entries(name):
        with open(os.path.join(folder, name), "rb") as file:
            return [line.rstrip(b"\n").split(b":") for line in file]

    return entries("passwd"), entries("group"), {entry[0]: entry for entry in entries("shadow")}


def listing(folder, args, now):
    """The standard output of the tool run with `args` over the account files in `folder` at the
    time `now`, by the rules of its manual page: the default record, with -Q, -F s or n, -s and a
    user name; any other argument is refused."""
    query, labels, structure, wanted = b"e", False, False, None
    words = iter(args)
    for word in words:
        if word in (b"-Q", b"-F"):
            letter = next(words)[:1]
            if word == b"-Q" and letter in (b"a", b"e", b"d"):
                query = letter
            elif word == b"-F" and letter in (b"s", b"n"):
                labels = letter == b"s"
            else:
                sys.exit(f"generate.py: cannot compute {word!r} {letter!r}")
        elif word == b"-s":
            structure = True
        elif wanted is None and not word.startswith(b"-"):
            wanted = word
        else:
            sys.exit(f"generate.py: cannot compute the argument {word!r}")
    passwd, groups, shadow = read_accounts(folder)
    group_names, memberships = {}, {}
    for name, _, gid, members in groups:
        group_names.setdefault(int(gid), name)  # the first entry names a group id
        for member in filter(None, members.split(b",")):
            memberships.setdefault(member, []).append(int(gid))

    def disabled(entry):  # the login shell refuses logins, or the shadow expiry date has passed
        expire = shadow.get(entry[0], [b""] * 9)[7]
        refused = entry[6].rsplit(b"/", 1)[-1] in (b"nologin", b"false")
        return refused or (expire != b"" and now > int(expire) * 86400)

    def field(label, value):  # structure mode: the label between the quotes where the value stands
        prefix = label + b":" if labels and not structure else b""
        return prefix + b'"' + (label if structure else value) + b'"'

    if wanted is not None:  # A to Z match their lower-case forms; bytes.lower() folds only those
        chosen = [entry for entry in passwd if entry[0].lower() == wanted.lower()]
    else:
        chosen = passwd[:1] if structure else passwd
        chosen = [entry for entry in chosen if query == b"a" or disabled(entry) == (query == b"d")]
    out = b""
    for entry in chosen:  # primary group first, then the groups that list the account, each once
        gids = dict.fromkeys([int(entry[3])] + memberships.get(entry[0], []))
        items = [field(b"group", group_names.get(gid, str(gid).encode())) for gid in gids]
        full_name = entry[4].split(b",")[0]
        out += b",".join([field(b"name", entry[0]), field(b"full_name", full_name), b":".join(items)]) + b"\n"
    return out


def write_listings(cases, out):
    """The account sets that the cases of the table `cases` name as @GENERATED@/paging-N, and
    those cases' expected standard output, into `out`."""
    now, written = time.time(), set()
    for env_path in sorted(glob.glob(os.path.join(cases, "*", "*", "env"))):
        with open(env_path, "rb") as file:
            env = file.read()
        if b"@GENERATED@" not in env:
            continue
        sets = set(re.findall(rb"@GENERATED@/paging-(\d+)/", env))
        if len(sets) != 1:
            sys.exit(f"generate.py: {env_path} must name the files of one set, @GENERATED@/paging-N/")
        count = int(sets.pop())
        accounts = os.path.join(out, f"paging-{count}")
        if count not in written:
            generate(count, accounts, SHORT_HASH)
            written.add(count)
        case = os.path.dirname(env_path)
        with open(os.path.join(case, "args"), "rb") as file:
            args = file.read().split(b"\n")[:-1]
        expected = os.path.join(out, "cases", os.path.relpath(case, cases))
        os.makedirs(expected, exist_ok=True)
        with open(os.path.join(expected, "stdout"), "wb") as file:
            file.write(listing(accounts, args, now))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("count", type=int, nargs="?", help="number of accounts (not with --listings)")
    parser.add_argument("folder", help="where passwd, group and shadow are written (--listings: all)")
    parser.add_argument("--listings", metavar="CASES", help="write the sets and listings that the case "
                        "table CASES names as @GENERATED@ (tests/cases/README.md)")
    arguments = parser.parse_args()
    if arguments.listings:
        write_listings(arguments.listings, arguments.folder)
    elif arguments.count is None or arguments.count < 1:
        sys.exit("count must be at least 1")
    else:
        generate(arguments.count, arguments.folder)


if __name__ == "__main__":
    main()
