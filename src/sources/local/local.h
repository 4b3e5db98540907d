// SPDX-License-Identifier: GPL-3.0-or-later
// The local source: this machine's accounts, through NSS.
#pragma once

#include <ctime>
#include <memory>
#include <string>

#include "account/account.h"

namespace tavrick {

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

// This machine's accounts, through NSS. Its parts are declared in local_parts.h.
std::unique_ptr<AccountSource> open_local_source(const LocalSourceOptions& options = {});

} // namespace tavrick
