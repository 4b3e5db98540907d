// SPDX-License-Identifier: GPL-3.0-or-later
// What the statuses of the account calls mean for a listing.
#include <string>

#include "account/account.h"
#include "text/text.h"

namespace tavrick {

bool is_connection_failure(std::uint32_t status)
{
    switch (status) {
    case k_status_unexpected_network_error:
    case k_status_bad_netpath:
    case k_status_network_name_deleted:
    case k_status_request_not_accepted:
    case k_status_timeout:
    case k_status_destination_not_found: return true;
    default: return false;
    }
}

bool is_logon_refusal(std::uint32_t status)
{
    switch (status) {
    case k_status_logon_failure:
    case k_status_account_restriction:
    case k_status_logon_hours:
    case k_status_workstation:
    case k_status_password_expired:
    case k_status_account_disabled:
    case k_status_logon_type:
    case k_status_account_expired:
    case k_status_password_must_change:
    case k_status_account_locked_out: return true;
    default: return false;
    }
}

bool is_account_gone(std::uint32_t status)
{
    return status == k_status_no_such_user || status == k_status_none_mapped || status == k_status_user_not_found;
}

bool ends_listing(std::uint32_t status)
{
    return is_connection_failure(status) || is_logon_refusal(status);
}

bool is_no_time(std::uint32_t seconds)
{
    constexpr std::uint32_t k_samba_never = 2085923199; // 2036-02-06 15:06:39 UTC
    return seconds == 0 || seconds == 0xFFFFFFFF || seconds == k_samba_never;
}

std::string left_out_note(const char16_t* name)
{
    return "ERR: account " + encode_units(name != nullptr ? std::u16string_view(name) : u"") +
           " was deleted or renamed during the listing; left out\n";
}

} // namespace tavrick
