// SPDX-License-Identifier: GPL-3.0-or-later
// What the library answered and printed, as Windows would report it and as the user reads it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tavrick {

// The status Windows would report for a libnetapi call that returned `status`, given the library's
// error string for it and what the library printed during it. The library returns 1003 for every
// connection it could not open and names the cause only in what it prints; a printed session
// failure wins even over a success, which would then be an anonymous session's; a session refused
// after a bad signature is a logon failure, the server having offered a guest session.
std::uint32_t windows_status(std::uint32_t status, std::string_view error_text, std::string_view printed);

// What the user reads on standard error for what the library printed during its calls: the same,
// except that its complaint about a bad signature (a line, and a hex dump after the SMB2 one) is
// left out, and the refused session that follows it ("session setup failed:
// NT_STATUS_ACCESS_DENIED") becomes one line saying that the server offered a guest session (over
// SMB1: or cannot sign). Whole calls' text at a time: a logon's lines come within one call.
std::string printed_for_user(std::string_view printed);

// The account expiry time Windows would report for the one libnetapi returned. The library keeps
// only the low 32 bits of the seconds since 1970 that it computes from the server's NT time, so a
// domain controller's "never expires" (the largest NT time) arrives as a date in 1975; Windows
// reports 0xFFFFFFFF for it. Every other time passes unchanged.
std::uint32_t windows_account_expiry(std::uint32_t expires);

} // namespace tavrick
