"""The test domain's accounts, written straight into a provisioned domain controller's database.

    dc-accounts.py DIR COUNT PASSWORD

Run with the system Python (/usr/bin/python3), where Samba's bindings live, before the server
starts. One transaction for everything: about 3 ms an account. The bulk accounts carry no password
(flags 0x220: normal account, password not required), since deriving the Kerberos keys of a
password costs the server about 25 ms an account and the listing never logs them on; the few
accounts that log on get a real password.
"""

import sys

import ldb
from samba import dsdb
from samba.auth import system_session
from samba.param import LoadParm
from samba.samdb import SamDB

NORMAL_ACCOUNT_NO_PASSWORD = dsdb.UF_NORMAL_ACCOUNT | dsdb.UF_PASSWD_NOTREQD
# 2030-06-15 12:00:00 UTC, in 100-ns units since 1601 (accountExpires).
EXPIRY_NTTIME = (1907755200 + 11644473600) * 10_000_000


def main():
    folder, count, password = sys.argv[1], int(sys.argv[2]), sys.argv[3]
    settings = LoadParm()
    settings.load(folder + "/etc/smb.conf")
    samdb = SamDB(url=folder + "/private/sam.ldb", session_info=system_session(), lp=settings)
    users = samdb.get_wellknown_dn(samdb.get_default_basedn(), dsdb.DS_GUID_USERS_CONTAINER)
    computers = samdb.get_wellknown_dn(samdb.get_default_basedn(), dsdb.DS_GUID_COMPUTERS_CONTAINER)

    def add_user(name, full_name, **attributes):
        record = {
            "dn": "CN=%s,%s" % (name, users),
            "objectClass": "user",
            "sAMAccountName": name,
            "displayName": full_name,
            "userAccountControl": str(NORMAL_ACCOUNT_NO_PASSWORD),
        }
        record.update(attributes)
        samdb.add(record)

    samdb.transaction_start()
    try:
        samdb.newuser("tester", password, givenname="Test", surname="User")
        add_user("zoe", "Zo\u00eb \u00c5ngstr\u00f6m")
        add_user("j\u00fcrgen", "J\u00fcrgen Gro\u00df")
        add_user("olduser", "Old User")
        samdb.disable_account("(sAMAccountName=olduser)")
        add_user("leaver", "Leaves Soon", accountExpires=str(EXPIRY_NTTIME))
        for i in range(1, count + 1):
            add_user("user%04d" % i, "User %04d" % i)
        # A workstation's machine account, which the listing leaves out like the server's own.
        samdb.add({
            "dn": "CN=WS1,%s" % computers,
            "objectClass": "computer",
            "sAMAccountName": "WS1$",
            "userAccountControl": str(dsdb.UF_WORKSTATION_TRUST_ACCOUNT),
        })
        samdb.newgroup("Project")
        samdb.add_remove_group_members("Project", ["tester", "zoe"], add_members_operation=True)
    except ldb.LdbError:
        samdb.transaction_cancel()
        raise
    samdb.transaction_commit()


main()
