// SPDX-License-Identifier: GPL-3.0-or-later
// The account model that the driver, the record output and the sources share: the records at
// information level 3, the statuses and flags of the Windows network account calls, and the
// interface of the account sources.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace tavrick {

// Status codes of the account operations, as the Windows network account calls number them.
inline constexpr std::uint32_t k_status_success = 0;
inline constexpr std::uint32_t k_status_access_denied = 5;
inline constexpr std::uint32_t k_status_not_supported = 50;
inline constexpr std::uint32_t k_status_bad_netpath = 53;
inline constexpr std::uint32_t k_status_unexpected_network_error = 59;
inline constexpr std::uint32_t k_status_network_name_deleted = 64;
inline constexpr std::uint32_t k_status_request_not_accepted = 71;
inline constexpr std::uint32_t k_status_timeout = 121;
inline constexpr std::uint32_t k_status_more_data = 234;
inline constexpr std::uint32_t k_status_no_such_user = 1317;
inline constexpr std::uint32_t k_status_logon_failure = 1326;
inline constexpr std::uint32_t k_status_account_restriction = 1327;
inline constexpr std::uint32_t k_status_logon_hours = 1328;
inline constexpr std::uint32_t k_status_workstation = 1329;
inline constexpr std::uint32_t k_status_password_expired = 1330;
inline constexpr std::uint32_t k_status_account_disabled = 1331;
inline constexpr std::uint32_t k_status_none_mapped = 1332;
inline constexpr std::uint32_t k_status_logon_type = 1385;
inline constexpr std::uint32_t k_status_account_expired = 1793;
inline constexpr std::uint32_t k_status_password_must_change = 1907;
inline constexpr std::uint32_t k_status_account_locked_out = 1909;
inline constexpr std::uint32_t k_status_destination_not_found = 2152;
inline constexpr std::uint32_t k_status_user_not_found = 2221;
inline constexpr std::uint32_t k_status_accounts_database = 2229;

// Account flag bits.
inline constexpr std::uint32_t k_flag_script = 0x1;
inline constexpr std::uint32_t k_flag_disabled = 0x2;
inline constexpr std::uint32_t k_flag_lockout = 0x10;
inline constexpr std::uint32_t k_flag_password_not_required = 0x20;
inline constexpr std::uint32_t k_flag_normal_account = 0x200;
inline constexpr std::uint32_t k_flag_dont_expire_password = 0x10000;

inline constexpr std::size_t k_logon_hours_bytes = 21;

// What the code units of a source's text stand for: one byte each of the system's text, which is
// UTF-8 where it is text at all (the POSIX sources widen every byte to a unit), or UTF-16 (the
// Windows calls).
enum class TextUnits { bytes, utf16 };

// True for an account time that stands for no time at all: 0 (never logged on, logoff unknown),
// 0xFFFFFFFF (never expires), and the far date a standalone Samba server reports for never in
// last_logoff and acct_expires (2036-02-06 15:06:39 UTC).
bool is_no_time(std::uint32_t seconds);

// One account at information level 3. Text members are zero-terminated wide strings; a null
// pointer is an absent value. The pointers stay valid until the source's next page.
// NOLINTNEXTLINE(readability-identifier-naming): the platform's own name for this record
struct USER_INFO_3 {
    const char16_t* name = nullptr;
    const char16_t* password = nullptr;
    std::uint32_t password_age = 0;
    std::uint32_t priv = 0;
    const char16_t* home_dir = nullptr;
    const char16_t* comment = nullptr;
    std::uint32_t flags = 0;
    const char16_t* script_path = nullptr;
    std::uint32_t auth_flags = 0;
    const char16_t* full_name = nullptr;
    const char16_t* usr_comment = nullptr;
    const char16_t* parms = nullptr;
    const char16_t* workstations = nullptr;
    std::uint32_t last_logon = 0;
    std::uint32_t last_logoff = 0;
    std::uint32_t acct_expires = 0;
    std::uint32_t max_storage = 0;
    std::uint32_t units_per_week = 0;
    const unsigned char* logon_hours = nullptr; // 21 bytes, or null
    std::uint32_t bad_pw_count = 0;
    std::uint32_t num_logons = 0;
    const char16_t* logon_server = nullptr;
    std::uint32_t country_code = 0;
    std::uint32_t code_page = 0;
    std::uint32_t user_id = 0;
    std::uint32_t primary_group_id = 0;
    const char16_t* profile = nullptr;
    const char16_t* home_dir_drive = nullptr;
    std::uint32_t password_expired = 0;
};

// The groups of one account, in the order the source gave them. The names point into the source's
// last group answer and stay valid until its next one. Nothing is ever dropped.
struct GroupNameList {
    std::vector<const char16_t*> names;
};

// What the driver will read of the accounts it pages through, told to the source before the first
// page, so that a source can fetch ahead and leave out what nobody reads. The driver reads every
// account's name; the rest of a record only where `reads_record` says so; the groups of exactly the
// accounts it writes, in page order, for which `writes` holds.
struct ListingPlan {
    // True when the driver reads more than the name of an account of this name.
    std::function<bool(const char16_t* name)> reads_record;
    // True when the driver writes this account, read in full, and so asks for its groups.
    std::function<bool(const USER_INFO_3& account)> writes;
    // The driver stops after the first account of the first page (a structure record).
    bool first_account_only = false;
};

// Where accounts come from. Both operations keep the contract of the Windows calls NetUserEnum
// (level 3, normal accounts) and NetUserGetGroups (level 1). A record's members other than the name
// may be left empty where the plan says the driver does not read them.
class AccountSource {
  public:
    virtual ~AccountSource() = default;

    // Takes the driver's plan; a source that does not look ahead ignores it.
    virtual void plan_listing(const ListingPlan& /*plan*/) {}

    // What the code units of the records' and groups' text stand for.
    [[nodiscard]] virtual TextUnits text_units() const { return TextUnits::bytes; }

    // Fetches the next page of accounts after `resume_handle`, which starts at 0 and is updated
    // for the next call. Returns 0 for the last page, 234 when more remain, any other status for an
    // error. `records` and `entries_read` describe the page, valid until the next call.
    virtual std::uint32_t enumerate_page(std::uint32_t preferred_max_bytes, std::uint32_t& resume_handle,
                                         const USER_INFO_3*& records, std::uint32_t& entries_read) = 0;

    // Fetches the group names of one account. `entries_read` is the number of names in `names`,
    // whatever the status; the names stay valid until the next call. A status for which
    // is_connection_failure holds ends the listing.
    virtual std::uint32_t user_groups(const char16_t* user_name, std::uint32_t preferred_max_bytes,
                                      const char16_t* const*& names, std::uint32_t& entries_read) = 0;
};

// The preferred size of one answer of groups, in bytes: what the driver asks a source for, and the
// server source asks the library for.
inline constexpr std::uint32_t k_groups_bytes = 10240;

// True for a status that says the server could not be reached for the request: the connection
// broke (64, 59), it timed out (121), it could not be opened again (53, 2152), or the server took no
// more connections (71).
bool is_connection_failure(std::uint32_t status);

// True for a status that says the server refused the logon: wrong name or password, a disabled,
// expired or locked-out account, a password that has expired or must change, a restriction.
bool is_logon_refusal(std::uint32_t status);

// True for a status that says the server does not know the account asked about (any more): it was
// deleted, or renamed, after its name was read.
bool is_account_gone(std::uint32_t status);

// True for a group lookup's status that ends the listing there, with its message, as a failing page
// does: the server could not be reached, or refused the logon. The account would otherwise be
// written without the groups it has. Any other failing group lookup (access refused for that one
// account) still writes the groups it reported.
bool ends_listing(std::uint32_t status);

// The line written to standard error for an account left out because the server no longer knows
// it; `name` as the records write it.
std::string left_out_note(const char16_t* name);

} // namespace tavrick
