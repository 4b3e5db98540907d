// SPDX-License-Identifier: GPL-3.0-or-later
// The enumeration driver: pages through the accounts of the source it is given and writes the
// selected ones.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "account/account.h"

namespace tavrick {

// Opens the source for a server name in two-backslash form (see sources/sources.h); the tool passes
// open_account_source.
using SourceOpener = std::function<std::unique_ptr<AccountSource>(std::u16string_view server)>;

// The exit status of a CSV or JSON listing that a failing status ended, early or before any record;
// the layouts of the other options end such a listing with 0, as they always have.
inline constexpr int k_exit_listing_failed = 2;

// The tool's main loop: parses the command line, pages through the accounts of the chosen source,
// writes the selected ones, and reports a failing status in words. Returns the exit status.
int enumerate_accounts(int argc, char** argv, const SourceOpener& open_source);

// The message written for a failing status of the enumeration, ending in a line feed.
std::string account_status_message(std::uint32_t status);

// Fills `list` with the groups of `user_name`, as the source reports them, and returns the
// source's status for them.
std::uint32_t get_user_groups(AccountSource& source, const char16_t* user_name, GroupNameList& list);

// True when the two names are equal once the ASCII letters A to Z are folded to lower case.
bool equal_ignoring_ascii_case(const char16_t* left, const char16_t* right);

} // namespace tavrick
