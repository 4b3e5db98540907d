// SPDX-License-Identifier: GPL-3.0-or-later
// The account sources behind the AccountSource interface: this machine's accounts through NSS, and
// a server's through Samba's libnetapi.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "enumerate/enumerate.h"

namespace tavrick {

// Stable storage for the wide strings of one answer: pointers stay valid until clear(), which keeps
// the memory for the next answer.
class TextStore {
  public:
    // Stores the bytes widened one to one, with a terminating zero.
    const char16_t* store(std::string_view bytes);
    const char16_t* store(std::u16string_view units);
    void clear();

  private:
    char16_t* reserve(std::size_t units);

    struct Block {
        std::unique_ptr<char16_t[]> units;
        std::size_t size = 0;
    };
    std::vector<Block> m_blocks;
    std::size_t m_block = 0; // the block being filled
    std::size_t m_used = 0;  // units used in it
};

// How the local source finds the groups of an account.
enum class GroupLookup {
    from_nsswitch, // the member index when nsswitch.conf names only files or systemd, else getgrouplist
    member_index,  // one pass over the group database, then answers from memory
    getgrouplist,  // the C library's getgrouplist for each account
};

struct LocalSourceOptions {
    GroupLookup group_lookup = GroupLookup::from_nsswitch;
    std::string nsswitch_path = "/etc/nsswitch.conf";
    std::string lastlog_path = "/var/log/lastlog";
    std::time_t now = 0; // the clock for account ages and expiry; 0 reads the real clock
};

// This machine's accounts, through NSS. Its parts are declared in local_seams.h.
std::unique_ptr<AccountSource> open_local_source(const LocalSourceOptions& options = {});

// A server's accounts through libnetapi; `server` is the name without leading backslashes. A build
// without libnetapi answers every request with status 50. While the source is open, standard output
// is kept away from the library (the records still reach it) and standard input reads nothing.
std::unique_ptr<AccountSource> open_samba_source(std::u16string_view server);

// Who the samba source logs on as.
struct ServerCredentials {
    std::string user;     // NAME, DOMAIN\NAME or NAME@REALM; empty for an anonymous session
    std::string password; // empty when none is given
    bool use_kerberos = false;
    std::string problem; // what is wrong with the password file, as a line for standard error
};

// The credentials as Samba's clients take them from the environment: the user from USER (LOGNAME
// when USER is unset) up to its first '%'; the password after that '%', replaced by PASSWD when set,
// and by the first line of the file PASSWD_FILE names (empty for an empty file); Kerberos when
// KRB5CCNAME is set and not empty. A PASSWD_FILE that cannot be read leaves the password as it was
// and says why in `problem`. `variable` returns a variable's value, or null when it is unset.
ServerCredentials server_credentials(const std::function<const char*(const char*)>& variable);

// The status Windows would report for a libnetapi call that returned `status`, given the library's
// error string for it and what the library printed during it. The library returns 1003 for every
// connection it could not open and names the cause only in what it prints; a printed session
// failure wins even over a success, which would then be an anonymous session's.
std::uint32_t windows_status(std::uint32_t status, std::string_view error_text, std::string_view printed);

// The account expiry time Windows would report for the one libnetapi returned. The library keeps
// only the low 32 bits of the seconds since 1970 that it computes from the server's NT time, so a
// domain controller's "never expires" (the largest NT time) arrives as a date in 1975; Windows
// reports 0xFFFFFFFF for it. Every other time passes unchanged.
std::uint32_t windows_account_expiry(std::uint32_t expires);

} // namespace tavrick
