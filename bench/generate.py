#!/usr/bin/python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Writes passwd, group and shadow files for nss_wrapper with N accounts, N/10 groups and three
memberships per account. The same N always gives the same files.

The accounts look like a real directory's: most enabled, some locked, expired or without a login
shell, some non-ASCII names, GECOS fields with commas, a few primary groups without a name.
"""
import argparse
import os
import random
import sys

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


def shadow_line(name, rng):
    roll = rng.random()
    password = "$6$salt$c2FsdGVkIGhhc2ggb2YgdGhlIHBhc3N3b3JkIGZvciB0aGUgYmVuY2htYXJr"
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


def generate(count, folder):
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
            shadow.append(shadow_line(name, rng))
        for group in rng.sample(range(group_count), min(MEMBERSHIPS, group_count)):
            members[group].append(name)
    groups = [f"root:x:0:\nusers:x:{USERS_GID}:\n"]
    for index in range(group_count):
        groups.append(f"{group_name(index)}:x:{FIRST_GID + index}:{','.join(members[index])}\n")
    os.makedirs(folder, exist_ok=True)
    for file_name, lines in (("passwd", passwd), ("group", groups), ("shadow", shadow)):
        with open(os.path.join(folder, file_name), "w", encoding="utf-8", newline="\n") as out:
            out.writelines(lines)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("count", type=int, help="number of accounts")
    parser.add_argument("folder", help="where passwd, group and shadow are written")
    arguments = parser.parse_args()
    if arguments.count < 1:
        sys.exit("count must be at least 1")
    generate(arguments.count, arguments.folder)


if __name__ == "__main__":
    main()
