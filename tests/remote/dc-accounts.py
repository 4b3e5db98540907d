"""dc-accounts.py DIR COUNT PASSWORD: the test domain's accounts, written straight into a provisioned
domain controller's database in one transaction, with the system Python (Samba's bindings). The bulk
accounts carry no password (flags 0x220), since deriving a password's Kerberos keys costs the
server about 25 ms an account; the few that log on get a real one."""

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

    def add(name, full_name, container=users, flags=NORMAL_ACCOUNT_NO_PASSWORD, **attributes):
        record = dict(dn="CN=%s,%s" % (name.rstrip("$"), container), objectClass="user", sAMAccountName=name,
                      userAccountControl=str(flags), **({"displayName": full_name} if full_name else {}))
        record.update(attributes)
        samdb.add(record)

    samdb.transaction_start()
    try:
        samdb.newuser("tester", password, givenname="Test", surname="User")
        add("zoe", "Zo\u00eb \u00c5ngstr\u00f6m")
        add("j\u00fcrgen", "J\u00fcrgen Gro\u00df")
        add("olduser", "Old User", flags=NORMAL_ACCOUNT_NO_PASSWORD | dsdb.UF_ACCOUNTDISABLE)
        add("leaver", "Leaves Soon", accountExpires=str(EXPIRY_NTTIME))
        for i in range(1, count + 1):
            add("user%04d" % i, "User %04d" % i)
        # A workstation's machine account, which the listing leaves out like the server's own.
        add("WS1$", "", computers, dsdb.UF_WORKSTATION_TRUST_ACCOUNT, objectClass="computer")
        samdb.newgroup("Project")
        samdb.add_remove_group_members("Project", ["tester", "zoe"], add_members_operation=True)
    except ldb.LdbError:
        samdb.transaction_cancel()
        raise
    samdb.transaction_commit()


main()
