// SPDX-License-Identifier: GPL-3.0-or-later
// Who the samba source logs on as, from the environment as Samba's own clients read it.
#pragma once

#include <functional>
#include <string>

namespace tavrick {

// Who the samba source logs on as.
struct ServerCredentials {
    std::string user;     // NAME, DOMAIN\NAME or NAME@REALM; empty for an anonymous session
    std::string password; // empty when none is given
    bool use_kerberos = false;
    std::string problem; // what is wrong with the password file, as a line for standard error
};

// Who runs the tool, for a logon that the environment names nobody for: the principal of a
// Kerberos credential cache (empty when it holds none), and the login name of the process's user.
struct LogonIdentity {
    std::function<std::string(const char* cache)> cache_principal;
    std::function<std::string()> login_name;
};
// This system's: the cache read through MIT Kerberos (loaded when first asked), the user from the
// account database by the effective user id.
LogonIdentity system_identity();

// The credentials as Samba's clients take them from the environment: the user from USER (LOGNAME
// when USER is unset) up to its first '%'; the password after that '%', replaced by PASSWD when set,
// and by the first line of the file PASSWD_FILE names (empty for an empty file); Kerberos when
// KRB5CCNAME is set and not empty. With both USER and LOGNAME unset, the user is the principal of
// the cache that KRB5CCNAME names, else the process's login name. A PASSWD_FILE that cannot be read
// leaves the password as it was and says why in `problem`. `variable` returns a variable's value,
// or null when it is unset.
ServerCredentials server_credentials(const std::function<const char*(const char*)>& variable,
                                     const LogonIdentity& identity = system_identity());

} // namespace tavrick
