// SPDX-License-Identifier: GPL-3.0-or-later
// -o json: JSON Lines, one object per account, its values typed.
#include <algorithm>
#include <string>

#include "cli/cli.h"
#include "output/output.h"
#include "output/structured.h"

namespace tavrick {

namespace {

std::string g_record; // kept from record to record, so that a record allocates nothing

char* put_unit_escape(char* put, std::uint32_t unit)
{
    constexpr char k_digits[] = "0123456789abcdef";
    *put++ = '\\';
    *put++ = 'u';
    for (int shift = 12; shift >= 0; shift -= 4) {
        *put++ = k_digits[(unit >> shift) & 0xFU];
    }
    return put;
}

// The escape of an ASCII unit that a JSON string cannot hold as it is, after its backslash.
char short_escape(char16_t unit)
{
    switch (unit) {
    case u'"': return '"';
    case u'\\': return '\\';
    case u'\b': return 'b';
    case u'\f': return 'f';
    case u'\n': return 'n';
    case u'\r': return 'r';
    case u'\t': return 't';
    default: return '\0'; // another control character: \u00XX
    }
}

} // namespace

bool append_json_string(std::string& out, const char16_t* text, TextUnits units)
{
    if (text == nullptr) {
        out += "null";
        return true;
    }
    // At most six bytes a unit: a \u escape.
    char* put = extend(out, 6 * std::char_traits<char16_t>::length(text) + 2);
    *put++ = '"';
    bool encodable = true;
    for (const char16_t* unit = text; *unit != u'\0';) {
        const char16_t first = *unit;
        if (first < 0x80) {
            ++unit;
            if (first >= 0x20 && first != u'"' && first != u'\\') {
                *put++ = static_cast<char>(first);
            } else if (const char escape = short_escape(first); escape != '\0') {
                *put++ = '\\';
                *put++ = escape;
            } else {
                put = put_unit_escape(put, first);
            }
            continue;
        }
        const Character character = next_character(unit, units);
        if (character.size != 0) {
            put = std::copy(character.bytes, character.bytes + character.size, put);
            unit += character.length;
            continue;
        }
        encodable = false;
        for (unsigned i = 0; i < character.length; ++i, ++unit) {
            const std::uint32_t kept = units == TextUnits::utf16 ? *unit : *unit <= 0xFF ? 0xDC00U + *unit : 0xFFFDU;
            put = put_unit_escape(put, kept);
        }
    }
    *put++ = '"';
    trim_to(out, put);
    return encodable;
}

void write_unencodable_note(const char16_t* name, std::string_view fields, TextUnits units, std::string_view rule)
{
    std::string note = "ERR: account ";
    append_json_string(note, name, units);
    note += units == TextUnits::bytes ? ": bytes that are not UTF-8 in " : ": lone surrogates in ";
    note += fields;
    note += "; ";
    note += rule;
    note += "\n";
    write_error(note);
}

namespace {

// Appends a time in UTC between quotes, or null for no time.
void append_time(std::string& out, std::uint32_t seconds)
{
    if (is_no_time(seconds)) {
        out += "null";
        return;
    }
    out.push_back('"');
    out += format_utc_time(seconds);
    out.push_back('"');
}

// Appends one column's value; false when its text had a part with no UTF-8 form.
bool append_value(std::string& out, const Column& column, const USER_INFO_3& account, const GroupNameList& groups,
                  TextUnits units)
{
    switch (column.kind) {
    case ColumnKind::text: return append_json_string(out, account.*column.text, units);
    case ColumnKind::number: append_decimal(out, account.*column.number); return true;
    case ColumnKind::signed_number: append_signed(out, static_cast<std::int32_t>(account.*column.number)); return true;
    case ColumnKind::time: append_time(out, account.*column.number); return true;
    case ColumnKind::hours:
        if (account.logon_hours == nullptr) {
            out += "null";
        } else {
            out.push_back('"');
            append_hours(out, account.logon_hours);
            out.push_back('"');
        }
        return true;
    case ColumnKind::groups: break;
    }
    bool encodable = true;
    out.push_back('[');
    for (std::size_t i = 0; i < groups.names.size(); ++i) {
        if (i != 0) {
            out.push_back(',');
        }
        encodable = append_json_string(out, groups.names[i], units) && encodable;
    }
    out.push_back(']');
    return encodable;
}

} // namespace

void write_json_record(const USER_INFO_3& account, const GroupNameList& groups, TextUnits units)
{
    std::string& out = g_record;
    out.clear();
    out.push_back('{');
    std::string unencodable; // the columns that held text with no UTF-8 form
    for (const Column& column : record_columns(g_settings.all_info != 0)) {
        if (out.size() > 1) {
            out.push_back(',');
        }
        out.push_back('"');
        out += column.name;
        out += "\":";
        if (!append_value(out, column, account, groups, units)) {
            unencodable += unencodable.empty() ? "" : ", ";
            unencodable += column.name;
        }
    }
    out += (account.flags & k_flag_disabled) != 0 ? ",\"disabled\":true}" : ",\"disabled\":false}";
    write_bytes(out);
    if (!unencodable.empty()) {
        write_unencodable_note(account.name, unencodable, units,
                               units == TextUnits::bytes ? "each written as \\udcXX, XX the byte"
                                                         : "each written as its \\uXXXX escape");
    }
}

} // namespace tavrick
