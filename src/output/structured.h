// SPDX-License-Identifier: GPL-3.0-or-later
// What the CSV and JSON writers share: the columns of a record, account text as UTF-8, and the
// pieces they put together in one record buffer.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "account/account.h"

namespace tavrick {

// How a column's value is written.
enum class ColumnKind {
    text,          // a text member; absent text is null in JSON, an empty field in CSV
    number,        // a 32-bit unsigned member in decimal
    signed_number, // a 32-bit member taken as signed (max_storage: -1 for unlimited)
    time,          // seconds since 1970; is_no_time values are null in JSON, an empty field in CSV
    hours,         // the 21 logon-hour bytes as 42 upper-case hexadecimal digits
    groups,        // the account's groups
};

struct Column {
    std::string_view name;
    ColumnKind kind;
    const char16_t* USER_INFO_3::*text = nullptr;
    std::uint32_t USER_INFO_3::*number = nullptr; // also the time and signed_number members
};

// The columns of a record, named as structure mode names the fields: name, full name and groups;
// with all_info every member of USER_INFO_3 in its order, then the groups.
std::span<const Column> record_columns(bool all_info);

// One character of non-ASCII account text: it takes `length` units and is `size` UTF-8 bytes in
// `bytes`. A size of 0 means the units have no UTF-8 form: bytes that are not UTF-8 (the longest
// start of a sequence that could have been one, which Unicode replaces by one U+FFFD, or a single
// byte), or a lone surrogate.
struct Character {
    unsigned length = 1;
    unsigned size = 0;
    char bytes[4] = {};
};
// The character at `at`, whose first unit is 0x80 or above, in text ended by a zero unit.
Character next_character(const char16_t* at, TextUnits units);

// Makes room for `size` more bytes at the end of `out` and returns where they start; trim_to
// then cuts `out` back to the end of what was written there.
char* extend(std::string& out, std::size_t size);
void trim_to(std::string& out, const char* end);

void append_decimal(std::string& out, std::uint32_t value);
void append_signed(std::string& out, std::int32_t value);
// The 21 logon-hour bytes as 42 upper-case hexadecimal digits, first byte first.
void append_hours(std::string& out, const unsigned char* hours);

// Appends `text` as a JSON string, null when absent: UTF-8, with the escapes JSON requires. What
// has no UTF-8 form is kept in \u escapes: a byte that is not UTF-8 as \udcXX, XX the byte (the
// mapping that Python's surrogateescape reads back into the bytes), a lone surrogate as itself.
// False when there was such a part.
bool append_json_string(std::string& out, const char16_t* text, TextUnits units);

// Writes the line on standard error for an account whose text had no UTF-8 form in `fields`
// (names separated by ", "), naming the account as a JSON string does, which shows every name
// apart and in printable characters; `rule` says what was written in place of that text.
void write_unencodable_note(const char16_t* name, std::string_view fields, TextUnits units, std::string_view rule);

// The two writers: CSV's header row and records (csv.cpp), JSON's records (json.cpp).
void write_csv_header();
void write_csv_record(const USER_INFO_3& account, const GroupNameList& groups, TextUnits units);
void write_json_record(const USER_INFO_3& account, const GroupNameList& groups, TextUnits units);

} // namespace tavrick
