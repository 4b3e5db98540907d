// SPDX-License-Identifier: GPL-3.0-or-later
// Record output: the digit encoders, the field writers and the two record layouts, all writing
// through the byte writer of text/text.h.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "account/account.h"
#include "cli/cli.h"
#include "text/text.h"

namespace tavrick {

// --- encoders ---------------------------------------------------------------------------------
// Each returns its own static buffer, overwritten by its next call.

// `count` (low four bits used) hexadecimal digits of `value`, most significant first.
const char* hex_digits(std::uint32_t value, unsigned count);
// `count` (low seven bits used) binary digits of `value`, most significant first.
const char* binary_digits(std::uint32_t value, unsigned count);
// The account time as local "%y-%m-%d %H:%M:%S"; values from 0x80000000 up count as 0.
const char* format_account_time(std::uint32_t seconds);
// The account time as local "YYYY-MM-DD HH:MM:SS", the seconds taken as unsigned (up to 2106).
const char* format_local_time(std::uint32_t seconds);
// The account time in UTC as ISO 8601, "YYYY-MM-DDTHH:MM:SSZ", the seconds taken as unsigned.
const char* format_utc_time(std::uint32_t seconds);

// --- field writers ----------------------------------------------------------------------------

void write_field_label(std::string_view label);
void write_field_delimiter();
void write_multi_delimiter();
// The record delimiter of the format: -r's for the layouts, CR LF for CSV, LF for JSON.
void write_record_delimiter();

// A null text is written as "(null)".
void write_text_field(const char16_t* value, std::string_view label);
void write_unsigned_field(std::uint32_t value, std::string_view label);
void write_signed_field(std::int32_t value, std::string_view label);
void write_bits_field(std::uint32_t value, std::string_view label);
// One code unit as integer quote, 0x, four hexadecimal digits, integer quote.
void write_hex_item(char16_t unit);

// What a field is in structure mode: its label between two quotes.
void write_structure_label(const SettingString& quote, std::string_view label);
// A text value as it stands, or "(null)" for an absent one; no quotes.
void write_text_value(const char16_t* value);

// The upper-case hexadecimal digits, by value.
inline constexpr char k_hex_digits[] = "0123456789ABCDEF";

// --- records ----------------------------------------------------------------------------------

// Writes what comes before the first record: for CSV its header row, after a byte order mark where
// the platform's programs need one to read UTF-8; nothing for the other formats. CSV and JSON
// write their own line ends, so from here on the output gets exactly the bytes written.
void write_listing_start();

// Writes one account in the format and layout the settings choose, with its groups; no record
// delimiter. `units` says what the code units of the account's text stand for: CSV and JSON write
// UTF-8, and say on standard error which account held text that has no UTF-8 form.
void write_user_record(const USER_INFO_3& account, const GroupNameList& groups, TextUnits units = TextUnits::bytes);

} // namespace tavrick
