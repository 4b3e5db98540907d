// SPDX-License-Identifier: GPL-3.0-or-later
// -o csv: RFC 4180 records under a header row, in UTF-8.
#include <algorithm>
#include <span>
#include <string>

#include "cli/cli.h"
#include "output/output.h"
#include "output/structured.h"

namespace tavrick {

namespace {

constexpr std::string_view k_replacement = "\xEF\xBF\xBD"; // U+FFFD
constexpr std::string_view k_byte_order_mark = "\xEF\xBB\xBF";

std::string g_record; // kept from record to record, so that a record allocates nothing

bool needs_quotes(std::u16string_view text, char16_t delimiter)
{
    return std::any_of(text.begin(), text.end(), [delimiter](char16_t unit) {
        return unit == delimiter || unit == u'"' || unit == u'\r' || unit == u'\n';
    });
}

// Appends the UTF-8 form of `text` with its double quotes doubled, U+FFFD in place of what has no
// UTF-8 form; false when there was such a part.
bool append_units(std::string& out, std::u16string_view text, TextUnits units)
{
    // At most three bytes a unit: a doubled quote takes two, a character or U+FFFD at most three.
    char* put = extend(out, 3 * text.size());
    bool encodable = true;
    for (const char16_t* unit = text.data(); unit != text.data() + text.size();) {
        if (*unit < 0x80) {
            if (*unit == u'"') {
                *put++ = '"';
            }
            *put++ = static_cast<char>(*unit++);
            continue;
        }
        const Character character = next_character(unit, units);
        const std::string_view bytes =
            character.size != 0 ? std::string_view(character.bytes, character.size) : k_replacement;
        put = std::copy(bytes.begin(), bytes.end(), put);
        encodable = encodable && character.size != 0;
        unit += character.length;
    }
    trim_to(out, put);
    return encodable;
}

// Appends one field made of `parts` with `joiner` between them, quoted when any of it needs it.
bool append_field(std::string& out, std::span<const char16_t* const> parts, std::u16string_view joiner, TextUnits units)
{
    const char16_t delimiter = g_settings.field_delimiter.view().front();
    bool quoted = parts.size() > 1 && needs_quotes(joiner, delimiter);
    for (std::size_t i = 0; i < parts.size() && !quoted; ++i) {
        quoted = parts[i] != nullptr && needs_quotes(parts[i], delimiter);
    }
    if (quoted) {
        out.push_back('"');
    }
    bool encodable = true;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        if (i != 0) {
            encodable = append_units(out, joiner, units) && encodable;
        }
        if (parts[i] != nullptr) { // absent text is an empty field
            encodable = append_units(out, parts[i], units) && encodable;
        }
    }
    if (quoted) {
        out.push_back('"');
    }
    return encodable;
}

} // namespace

void write_csv_header()
{
    if (utf8_files_need_byte_order_mark()) {
        write_bytes(k_byte_order_mark);
    }
    const std::string_view delimiter = g_settings.field_delimiter.bytes();
    bool first = true;
    for (const Column& column : record_columns(g_settings.all_info != 0)) {
        if (!first) {
            write_bytes(delimiter);
        }
        first = false;
        write_bytes(column.name);
    }
    write_bytes("\r\n");
}

void write_csv_record(const USER_INFO_3& account, const GroupNameList& groups, TextUnits units)
{
    std::string& out = g_record;
    out.clear();
    std::string unencodable; // the columns that held text with no UTF-8 form
    const char delimiter = static_cast<char>(g_settings.field_delimiter.view().front());
    const std::u16string_view joiner = g_settings.multi_delimiter.view();
    bool first = true;
    for (const Column& column : record_columns(g_settings.all_info != 0)) {
        if (!first) {
            out.push_back(delimiter);
        }
        first = false;
        bool encodable = true;
        switch (column.kind) {
        case ColumnKind::text: encodable = append_field(out, {&(account.*column.text), 1}, {}, units); break;
        case ColumnKind::number: append_decimal(out, account.*column.number); break;
        case ColumnKind::signed_number: append_signed(out, static_cast<std::int32_t>(account.*column.number)); break;
        case ColumnKind::time:
            if (!is_no_time(account.*column.number)) {
                out += format_local_time(account.*column.number);
            }
            break;
        case ColumnKind::hours:
            if (account.logon_hours != nullptr) {
                append_hours(out, account.logon_hours);
            }
            break;
        case ColumnKind::groups: encodable = append_field(out, groups.names, joiner, units); break;
        }
        if (!encodable) {
            unencodable += unencodable.empty() ? "" : ", ";
            unencodable += column.name;
        }
    }
    write_bytes(out);
    if (!unencodable.empty()) {
        write_unencodable_note(account.name, unencodable, units, "written as U+FFFD");
    }
}

} // namespace tavrick
