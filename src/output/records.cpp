// SPDX-License-Identifier: GPL-3.0-or-later
// The two record layouts: name, full name and groups; or every account field and the groups. And
// where the records of each format begin.
#include <algorithm>

#include "cli/cli.h"
#include "output/output.h"
#include "output/structured.h"

namespace tavrick {

namespace {

void write_default_layout(const USER_INFO_3& account, const GroupNameList& groups)
{
    write_text_field(account.name, "name");
    write_field_delimiter();
    write_text_field(account.full_name, "full_name");
    write_field_delimiter();
    bool first = true;
    for (const char16_t* group : groups.names) {
        if (!first) {
            write_multi_delimiter();
        }
        first = false;
        write_text_field(group, "group");
    }
}

// The parameters string as one four-digit hexadecimal item per code unit.
void write_parameters_list(const char16_t* parms)
{
    if (g_settings.structure_mode != 0) {
        write_structure_label(g_settings.integer_quote, "parms");
        return;
    }
    write_field_label("parms");
    if (parms == nullptr) {
        return; // no parameters at all reads as an empty list
    }
    for (const char16_t* unit = parms; *unit != u'\0'; ++unit) {
        if (unit != parms) {
            write_multi_delimiter();
        }
        write_hex_item(*unit);
    }
}

// The logon hours as 21 two-digit hexadecimal items, one byte of the week's 168 hours each.
void write_logon_hours_list(const unsigned char* hours)
{
    if (g_settings.structure_mode != 0) {
        write_structure_label(g_settings.integer_quote, "logon_hours");
        return;
    }
    write_field_label("logon_hours");
    if (hours == nullptr) {
        return; // no logon-hour bytes at all reads as an empty list
    }
    // The whole list is put together first and written in one piece.
    const std::u16string_view quote = g_settings.integer_quote.view();
    const std::u16string_view delimiter = g_settings.multi_delimiter.view();
    char16_t list[k_logon_hours_bytes * (3 * SettingString::k_capacity + 4)];
    char16_t* out = list;
    for (std::size_t i = 0; i < k_logon_hours_bytes; ++i) {
        if (i != 0) {
            out = std::copy(delimiter.begin(), delimiter.end(), out);
        }
        out = std::copy(quote.begin(), quote.end(), out);
        *out++ = u'0';
        *out++ = u'x';
        *out++ = static_cast<char16_t>(k_hex_digits[hours[i] >> 4]);
        *out++ = static_cast<char16_t>(k_hex_digits[hours[i] & 0xFU]);
        out = std::copy(quote.begin(), quote.end(), out);
    }
    write_units(std::u16string_view(list, static_cast<std::size_t>(out - list)));
}

// The groups under one label for the whole list.
void write_group_list(const GroupNameList& groups)
{
    if (g_settings.structure_mode != 0) {
        write_structure_label(g_settings.string_quote, "group");
        return;
    }
    write_field_label("group");
    bool first = true;
    for (const char16_t* group : groups.names) {
        if (!first) {
            write_multi_delimiter();
        }
        first = false;
        write_bytes(g_settings.string_quote.bytes());
        write_text_value(group);
        write_bytes(g_settings.string_quote.bytes());
    }
}

void write_time_field(std::uint32_t seconds, std::string_view label)
{
    char16_t text[32];
    std::size_t length = 0;
    for (const char* digit = format_account_time(seconds); *digit != '\0' && length + 1 < std::size(text); ++digit) {
        text[length++] = static_cast<unsigned char>(*digit);
    }
    text[length] = u'\0';
    write_text_field(text, label);
}

void write_all_info_layout(const USER_INFO_3& account, const GroupNameList& groups)
{
    write_text_field(account.name, "name");
    write_field_delimiter();
    write_text_field(account.password, "password");
    write_field_delimiter();
    write_unsigned_field(account.password_age, "password_age");
    write_field_delimiter();
    write_bits_field(account.priv, "priv");
    write_field_delimiter();
    write_text_field(account.home_dir, "home_dir");
    write_field_delimiter();
    write_text_field(account.comment, "comment");
    write_field_delimiter();
    write_bits_field(account.flags, "flags");
    write_field_delimiter();
    write_text_field(account.script_path, "script_path");
    write_field_delimiter();
    write_bits_field(account.auth_flags, "auth_flags");
    write_field_delimiter();
    write_text_field(account.full_name, "full_name");
    write_field_delimiter();
    write_text_field(account.usr_comment, "usr_comment");
    write_field_delimiter();
    write_parameters_list(account.parms);
    write_field_delimiter();
    write_text_field(account.workstations, "workstations");
    write_field_delimiter();
    write_time_field(account.last_logon, "last_logon");
    write_field_delimiter();
    write_time_field(account.last_logoff, "last_logoff");
    write_field_delimiter();
    write_time_field(account.acct_expires, "acct_expires");
    write_field_delimiter();
    write_signed_field(static_cast<std::int32_t>(account.max_storage), "max_storage");
    write_field_delimiter();
    write_unsigned_field(account.units_per_week, "units_per_week");
    write_field_delimiter();
    write_logon_hours_list(account.logon_hours);
    write_field_delimiter();
    write_unsigned_field(account.bad_pw_count, "bad_pw_count");
    write_field_delimiter();
    write_unsigned_field(account.num_logons, "num_logons");
    write_field_delimiter();
    write_text_field(account.logon_server, "logon_server");
    write_field_delimiter();
    write_unsigned_field(account.country_code, "country_code");
    write_field_delimiter();
    write_unsigned_field(account.code_page, "code_page");
    write_field_delimiter();
    write_unsigned_field(account.user_id, "user_id");
    write_field_delimiter();
    write_unsigned_field(account.primary_group_id, "primary_group_id");
    write_field_delimiter();
    write_text_field(account.profile, "profile");
    write_field_delimiter();
    write_text_field(account.home_dir_drive, "home_dir_drive");
    write_field_delimiter();
    write_unsigned_field(account.password_expired, "password_expired");
    write_field_delimiter();
    write_group_list(groups);
}

} // namespace

void write_listing_start()
{
    if (g_settings.output_format == OutputFormat::text) {
        return;
    }
    set_output_exact();
    if (g_settings.output_format == OutputFormat::csv) {
        write_csv_header();
    }
}

void write_user_record(const USER_INFO_3& account, const GroupNameList& groups, TextUnits units)
{
    if (g_settings.output_format == OutputFormat::csv) {
        write_csv_record(account, groups, units);
    } else if (g_settings.output_format == OutputFormat::json) {
        write_json_record(account, groups, units);
    } else if (g_settings.all_info != 0) {
        write_all_info_layout(account, groups);
    } else {
        write_default_layout(account, groups);
    }
}

} // namespace tavrick
