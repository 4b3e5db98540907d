// SPDX-License-Identifier: GPL-3.0-or-later
// The columns of the CSV and JSON records and account text as UTF-8.
#include "output/structured.h"

#include <iterator>

#include "output/output.h"

namespace tavrick {

namespace {

using C = ColumnKind;
using U = USER_INFO_3;

constexpr Column k_default_columns[] = {
    {"name", C::text, &U::name},
    {"full_name", C::text, &U::full_name},
    {"groups", C::groups},
};

constexpr Column k_all_columns[] = {
    {"name", C::text, &U::name},
    {"password", C::text, &U::password},
    {"password_age", C::number, nullptr, &U::password_age},
    {"priv", C::number, nullptr, &U::priv},
    {"home_dir", C::text, &U::home_dir},
    {"comment", C::text, &U::comment},
    {"flags", C::number, nullptr, &U::flags},
    {"script_path", C::text, &U::script_path},
    {"auth_flags", C::number, nullptr, &U::auth_flags},
    {"full_name", C::text, &U::full_name},
    {"usr_comment", C::text, &U::usr_comment},
    {"parms", C::text, &U::parms},
    {"workstations", C::text, &U::workstations},
    {"last_logon", C::time, nullptr, &U::last_logon},
    {"last_logoff", C::time, nullptr, &U::last_logoff},
    {"acct_expires", C::time, nullptr, &U::acct_expires},
    {"max_storage", C::signed_number, nullptr, &U::max_storage},
    {"units_per_week", C::number, nullptr, &U::units_per_week},
    {"logon_hours", C::hours},
    {"bad_pw_count", C::number, nullptr, &U::bad_pw_count},
    {"num_logons", C::number, nullptr, &U::num_logons},
    {"logon_server", C::text, &U::logon_server},
    {"country_code", C::number, nullptr, &U::country_code},
    {"code_page", C::number, nullptr, &U::code_page},
    {"user_id", C::number, nullptr, &U::user_id},
    {"primary_group_id", C::number, nullptr, &U::primary_group_id},
    {"profile", C::text, &U::profile},
    {"home_dir_drive", C::text, &U::home_dir_drive},
    {"password_expired", C::number, nullptr, &U::password_expired},
    {"groups", C::groups},
};

bool is_continuation(char16_t unit)
{
    return unit >= 0x80 && unit <= 0xBF;
}

// UTF-8 bytes that stand for one character, checked as Unicode's table of well-formed sequences
// says: no overlong forms, no surrogates, nothing above U+10FFFF. On a sequence broken off, the
// length is that of its longest well-formed start.
Character next_utf8_character(const char16_t* at)
{
    Character result;
    const char16_t lead = at[0];
    unsigned needed = 0;
    char16_t low = 0x80; // the range of the second byte, which rules out the bad forms
    char16_t high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        needed = 1;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        needed = 2;
        low = lead == 0xE0 ? 0xA0 : 0x80;
        high = lead == 0xED ? 0x9F : 0xBF;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        needed = 3;
        low = lead == 0xF0 ? 0x90 : 0x80;
        high = lead == 0xF4 ? 0x8F : 0xBF;
    } else {
        return result; // a continuation byte on its own, a byte no sequence begins with, or a unit above 255
    }
    if (at[1] < low || at[1] > high) {
        return result;
    }
    unsigned length = 2;
    while (length <= needed && is_continuation(at[length])) {
        ++length;
    }
    if (length <= needed) {
        result.length = length;
        return result;
    }
    result.length = result.size = needed + 1;
    for (unsigned i = 0; i < result.size; ++i) {
        result.bytes[i] = static_cast<char>(at[i]);
    }
    return result;
}

Character next_utf16_character(const char16_t* at)
{
    Character result;
    std::uint32_t point = at[0];
    if (point >= 0xDC00 && point <= 0xDFFF) {
        return result; // a low surrogate with no high one before it
    }
    if (point >= 0xD800 && point <= 0xDBFF) {
        if (at[1] < 0xDC00 || at[1] > 0xDFFF) {
            return result;
        }
        point = 0x10000 + ((point - 0xD800) << 10) + (at[1] - 0xDC00U);
        result.length = 2;
    }
    if (point < 0x800) {
        result.size = 2;
        result.bytes[0] = static_cast<char>(0xC0 | (point >> 6));
    } else if (point < 0x10000) {
        result.size = 3;
        result.bytes[0] = static_cast<char>(0xE0 | (point >> 12));
    } else {
        result.size = 4;
        result.bytes[0] = static_cast<char>(0xF0 | (point >> 18));
    }
    for (unsigned i = 1; i < result.size; ++i) {
        result.bytes[i] = static_cast<char>(0x80 | ((point >> (6 * (result.size - 1 - i))) & 0x3F));
    }
    return result;
}

} // namespace

std::span<const Column> record_columns(bool all_info)
{
    if (all_info) {
        return k_all_columns;
    }
    return k_default_columns;
}

Character next_character(const char16_t* at, TextUnits units)
{
    return units == TextUnits::bytes ? next_utf8_character(at) : next_utf16_character(at);
}

char* extend(std::string& out, std::size_t size)
{
    const std::size_t used = out.size();
    out.resize(used + size);
    return out.data() + used;
}

void trim_to(std::string& out, const char* end)
{
    out.resize(static_cast<std::size_t>(end - out.data()));
}

void append_decimal(std::string& out, std::uint32_t value)
{
    char digits[10];
    char* start = std::end(digits);
    do {
        *--start = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    out.append(start, std::end(digits));
}

void append_signed(std::string& out, std::int32_t value)
{
    if (value < 0) {
        out.push_back('-');
    }
    append_decimal(out, value < 0 ? 0U - static_cast<std::uint32_t>(value) : static_cast<std::uint32_t>(value));
}

void append_hours(std::string& out, const unsigned char* hours)
{
    char* digit = extend(out, 2 * k_logon_hours_bytes);
    for (std::size_t i = 0; i < k_logon_hours_bytes; ++i) {
        *digit++ = k_hex_digits[hours[i] >> 4];
        *digit++ = k_hex_digits[hours[i] & 0xFU];
    }
}

} // namespace tavrick
