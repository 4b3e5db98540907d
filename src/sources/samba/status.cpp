// SPDX-License-Identifier: GPL-3.0-or-later
// The statuses Windows would report for what Samba's library answered and printed.
#include <array>
#include <string>
#include <utility>

#include "account/account.h"
#include "sources/samba/library.h"
#include "sources/samba/status.h"

namespace tavrick {

namespace {

constexpr std::uint32_t k_status_network_access_denied = 65;
constexpr std::uint32_t k_status_bad_net_name = 67;

// The lines the library prints when the server drops the connection before a session (as a server
// that takes no more connections does), or refuses a session or the connection to IPC$.
constexpr std::string_view k_negotiation_failed = "protocol negotiation failed: ";
constexpr std::string_view k_session_failed = "session setup failed: ";
constexpr std::string_view k_tree_failed = "tree connect failed: ";
constexpr std::string_view k_connect_failed = "Failed to connect to IPC$ share";
// The start of the line the library prints when it will not even try a Kerberos logon (no user
// principal, or a server named by its address); it then reports the session refused with access
// denied, although no server refused anything.
constexpr std::string_view k_kerberos_impossible = "Kerberos auth with ";

// What the library prints when an answer's signature does not match the session's key: over SMB2
// a line that a hex dump of both signatures follows, over SMB1 one line. At logon it means that the
// server answered without knowing the password: it offered a guest session (or, over SMB1, it cannot
// sign at all). The session is then refused with access denied, although it is the logon that failed.
constexpr std::string_view k_bad_smb2_signature = "Bad SMB2 ";
constexpr std::string_view k_bad_smb1_signature = ": BAD SIG: ";
constexpr std::string_view k_access_denied = "NT_STATUS_ACCESS_DENIED";

// What the user reads on standard error in place of the signature complaint and the refused session.
constexpr std::string_view k_guest_refused =
    "ERR: the server offered a guest session instead of the logon: refused, since signing is required\n";
constexpr std::string_view k_unsigned_logon_refused =
    "ERR: the server did not sign its answer to the logon, and signing is required: it offered a guest "
    "session, or it cannot sign at all\n";

// Account times: "never" as Windows reports it, and the largest NT time (100-ns units since 1601,
// a domain controller's "never expires") in seconds since 1970 as libnetapi computes it, of which
// it keeps the low 32 bits.
constexpr std::uint32_t k_time_forever = 0xFFFFFFFF;
constexpr std::uint64_t k_nt_time_never_in_unix_seconds = 0x7FFFFFFFFFFFFFFFULL / 10000000 - 11644473600ULL;

// NT status names as the library prints them, and the error Windows reports for each.
constexpr std::array<std::pair<std::string_view, std::uint32_t>, 20> k_nt_statuses = {{
    {"NT_STATUS_LOGON_FAILURE", k_status_logon_failure},
    {"NT_STATUS_WRONG_PASSWORD", k_status_logon_failure},
    {"NT_STATUS_NO_SUCH_USER", k_status_logon_failure},
    {"NT_STATUS_ACCOUNT_DISABLED", k_status_account_disabled},
    {"NT_STATUS_PASSWORD_EXPIRED", k_status_password_expired},
    {"NT_STATUS_PASSWORD_MUST_CHANGE", k_status_password_must_change},
    {"NT_STATUS_ACCOUNT_RESTRICTION", k_status_account_restriction},
    {"NT_STATUS_INVALID_LOGON_HOURS", k_status_logon_hours},
    {"NT_STATUS_INVALID_WORKSTATION", k_status_workstation},
    {"NT_STATUS_ACCOUNT_EXPIRED", k_status_account_expired},
    {"NT_STATUS_ACCOUNT_LOCKED_OUT", k_status_account_locked_out},
    {"NT_STATUS_LOGON_TYPE_NOT_GRANTED", k_status_logon_type},
    {"NT_STATUS_ACCESS_DENIED", k_status_access_denied},
    {"NT_STATUS_NETWORK_ACCESS_DENIED", k_status_network_access_denied},
    {"NT_STATUS_BAD_NETWORK_NAME", k_status_bad_net_name},
    {"NT_STATUS_IO_TIMEOUT", k_status_bad_netpath},
    {"NT_STATUS_CONNECTION_RESET", k_status_network_name_deleted},
    {"NT_STATUS_CONNECTION_DISCONNECTED", k_status_network_name_deleted},
    {"NT_STATUS_REQUEST_NOT_ACCEPTED", k_status_request_not_accepted},
    {"NT_STATUS_CONNECTION_REFUSED", k_status_bad_netpath},
}};

// The NT status name after the last `prefix` in `printed`, empty when there is none: when the
// library tried more than once, its last attempt says why it gave up.
std::string_view status_after(std::string_view printed, std::string_view prefix)
{
    const std::size_t at = printed.rfind(prefix);
    if (at == std::string_view::npos) {
        return {};
    }
    std::string_view rest = printed.substr(at + prefix.size());
    return rest.substr(0, rest.find_first_of("\r\n \t"));
}

bool complains_of_signature(std::string_view line)
{
    return line.starts_with(k_bad_smb2_signature) || line.find(k_bad_smb1_signature) != std::string_view::npos;
}

// A line of the library's hex dump: "[0000] " and the bytes.
bool is_dump_line(std::string_view line)
{
    return line.size() > 6 && line[0] == '[' && line[5] == ']' &&
           line.substr(1, 4).find_first_not_of("0123456789ABCDEFabcdef") == std::string_view::npos;
}

std::uint32_t windows_status_of(std::string_view nt_status, std::uint32_t otherwise)
{
    for (const auto& [name, status] : k_nt_statuses) {
        if (name == nt_status) {
            return status;
        }
    }
    return otherwise;
}

} // namespace

std::uint32_t windows_status(std::uint32_t status, std::string_view error_text, std::string_view printed)
{
    // A refused session counts even when the call went on and succeeded: that success would be an
    // anonymous session's, not the requested user's.
    const std::string_view session = status_after(printed, k_session_failed);
    if (!session.empty()) {
        if (printed.find(k_kerberos_impossible) != std::string_view::npos) {
            return k_status_logon_failure; // no logon was even attempted
        }
        if (session == k_access_denied && complains_of_signature(printed)) {
            return k_status_logon_failure; // a guest session in place of the logon
        }
        return windows_status_of(session, k_status_logon_failure);
    }
    const std::string_view negotiation = status_after(printed, k_negotiation_failed);
    if (!negotiation.empty()) {
        return windows_status_of(negotiation, k_status_bad_netpath);
    }
    const std::string_view tree = status_after(printed, k_tree_failed);
    if (!tree.empty()) {
        return windows_status_of(tree, k_status_access_denied);
    }
    if (status == k_status_cannot_complete && error_text.starts_with(k_connect_failed)) {
        // No session was attempted: the name did not resolve or nothing answered.
        return k_status_bad_netpath;
    }
    return status;
}

std::string printed_for_user(std::string_view printed)
{
    std::string shown;
    std::string_view refusal; // set by a signature complaint, for the refused session after it
    bool in_dump = false;
    while (!printed.empty()) {
        const std::size_t end = printed.find('\n');
        const std::string_view line = printed.substr(0, end == std::string_view::npos ? end : end + 1);
        printed.remove_prefix(line.size());
        const std::string_view text = line.substr(0, line.find('\n'));
        if (complains_of_signature(text)) {
            refusal = text.starts_with(k_bad_smb2_signature) ? k_guest_refused : k_unsigned_logon_refused;
            in_dump = true;
        } else if (in_dump && is_dump_line(text)) {
            continue;
        } else if (!refusal.empty() && status_after(text, k_session_failed) == k_access_denied) {
            shown += std::exchange(refusal, {});
            in_dump = false;
        } else {
            shown += line;
            in_dump = false;
        }
    }
    return shown;
}

std::uint32_t windows_account_expiry(std::uint32_t expires)
{
    return expires == static_cast<std::uint32_t>(k_nt_time_never_in_unix_seconds) ? k_time_forever : expires;
}

} // namespace tavrick
