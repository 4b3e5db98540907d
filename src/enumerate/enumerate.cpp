// SPDX-License-Identifier: GPL-3.0-or-later
#include "enumerate/enumerate.h"

#include <string>

#include "cli/cli.h"
#include "output/output.h"
#include "text/text.h"

namespace tavrick {

namespace {

// The preferred size of one page of accounts, in bytes.
constexpr std::uint32_t k_page_bytes = 1024;

char16_t fold_ascii(char16_t unit)
{
    return unit >= u'A' && unit <= u'Z' ? static_cast<char16_t>(unit + 32) : unit;
}

bool is_selected(const USER_INFO_3& account)
{
    const bool disabled = (account.flags & k_flag_disabled) != 0;
    switch (g_settings.query_type) {
    case QueryType::all: return true;
    case QueryType::enabled: return !disabled;
    case QueryType::disabled: return disabled;
    }
    return false;
}

} // namespace

bool equal_ignoring_ascii_case(const char16_t* left, const char16_t* right)
{
    for (;; ++left, ++right) {
        if (fold_ascii(*left) != fold_ascii(*right)) {
            return false;
        }
        if (*left == u'\0') {
            return true;
        }
    }
}

std::string account_status_message(std::uint32_t status)
{
    switch (status) {
    case 5: return "The user has insufficient privilege for this operation\n";
    case 50: return "This network request is not supported\n";
    case 53: return "The network path was not found\n";
    case 65: return "Network access is denied\n";
    case 124: return "Invalid level parameter\n";
    case 1326: return "Logon failure: unknown user name or bad password\n";
    case 1327: return "Logon failure: user account restriction\n";
    case 1328: return "Logon failure: account logon time restriction violation\n";
    case 1329: return "Logon failure: user not allowed to log on to this computer\n";
    case 1330: return "Logon failure: the specified account password has expired\n";
    case 1331: return "Logon failure: account currently disabled\n";
    case 1332: return "No mapping between account names and security IDs was done\n";
    case 2106: return "This operation can be performed only on a server\n";
    case 2138: return "The Workstation service is not started\n";
    case 2141: return "The server is not configured for this transaction; IPC$ is not shared\n";
    case 2227: return "Server not running in user-level security\n";
    case 2229: return "Error encountered in accessing accounts database\n";
    case 2247: return "The user accounts database file accounts.lmx is corrupted\n";
    case 2351: return "Invalid computername specified\n";
    default: return "Error in NetUserEnum: " + std::to_string(static_cast<std::int32_t>(status)) + "\n";
    }
}

std::uint32_t get_user_groups(AccountSource& source, const char16_t* user_name, GroupNameList& list)
{
    list.names.clear();
    if (user_name == nullptr) {
        return k_status_success; // an account without a name has no groups to ask for
    }
    const char16_t* const* names = nullptr;
    std::uint32_t entries_read = 0;
    const std::uint32_t status = source.user_groups(user_name, k_groups_bytes, names, entries_read);
    list.names.assign(names, names + (names == nullptr ? 0 : entries_read)); // a failure leaves fewer names
    return status;
}

int enumerate_accounts(int argc, char** argv, const SourceOpener& open_source)
{
    guard_standard_descriptors();
    std::uint32_t resume_handle = 0;
    std::u16string username;
    int specific_user = 0;
    parse_command_line(argc, argv, username, specific_user);

    const std::unique_ptr<AccountSource> source = open_source(g_settings.server.view());
    ListingPlan plan;
    plan.first_account_only = specific_user == 0 && g_settings.structure_mode != 0;
    // A named account is selected by its name alone, whatever its flags, and does not stop the
    // listing; otherwise by its flags, and structure mode stops after the first account.
    const auto named = [&username](const char16_t* name) {
        return name != nullptr && equal_ignoring_ascii_case(username.c_str(), name);
    };
    plan.reads_record = [named, specific_user](const char16_t* name) { return specific_user == 0 || named(name); };
    plan.writes = [named, specific_user](const USER_INFO_3& account) {
        return specific_user != 0 ? named(account.name) : is_selected(account);
    };
    source->plan_listing(plan);
    // A failing status ends the listing with its message: on standard output among the records of
    // the layouts, as they have always written it; for CSV and JSON, whose readers take every line
    // of standard output for a record, on standard error, and the exit status says so.
    const bool reports_apart = g_settings.output_format != OutputFormat::text;
    int exit_status = 0;
    const auto report = [&](std::uint32_t status) {
        if (reports_apart) {
            flush_output(); // the records before the message come first where both streams meet
            write_error("ERR: " + account_status_message(status));
            exit_status = k_exit_listing_failed;
        } else {
            write_bytes(account_status_message(status));
        }
    };
    write_listing_start();
    const TextUnits units = source->text_units();
    // Writes one account with its groups and its delimiter; false, with the message written
    // instead, when the lookup of its groups ends the listing. An account the server no longer
    // knows is left out, and said so.
    GroupNameList groups; // kept from record to record, so that a record allocates nothing
    const auto write_account = [&](const USER_INFO_3& account) {
        const std::uint32_t status = get_user_groups(*source, account.name, groups);
        if (ends_listing(status)) {
            report(status);
            return false;
        }
        if (is_account_gone(status)) {
            write_error(left_out_note(account.name));
            return true;
        }
        write_user_record(account, groups, units);
        write_record_delimiter();
        return true;
    };
    for (bool more = true; more;) {
        const USER_INFO_3* records = nullptr;
        std::uint32_t entries_read = 0;
        const std::uint32_t status = source->enumerate_page(k_page_bytes, resume_handle, records, entries_read);
        if (status != k_status_success && status != k_status_more_data) {
            report(status);
            break;
        }
        bool go_on = true;
        for (std::uint32_t i = 0; i < entries_read && go_on; ++i) {
            const USER_INFO_3& account = records[i];
            go_on = !plan.writes(account) || write_account(account);
            // A structure record stands for the layout, so one is enough.
            go_on = go_on && !plan.first_account_only;
        }
        more = go_on && status == k_status_more_data && entries_read != 0;
    }
    flush_output();
    return exit_status;
}

} // namespace tavrick
