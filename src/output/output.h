// Record output: the one buffered byte writer for standard output, the digit encoders, the field
// writers and the two record layouts.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "cli/cli.h"
#include "enumerate/enumerate.h"

namespace tavrick {

// Widens bytes one to one into code units of the same value; no locale is consulted.
std::u16string widen(std::string_view bytes);

// --- the byte writer --------------------------------------------------------------------------
// Every byte of standard output passes through here. A code unit up to 255 is written as that one
// byte; a larger one as '?', a surrogate pair as a single '?'. A failed write ends the process with
// "ERR: cannot write output: <reason>" and status 1; a closed pipe ends it quietly.

void write_bytes(std::string_view bytes);
void write_units(std::u16string_view units);
// Writes a zero-terminated wide string.
void write_units(const char16_t* units);
// Sends what is buffered to the output file.
void flush_output();
// Points the writer at another file descriptor (flushing first); returns the previous one.
int set_output_fd(int fd);

// Opens /dev/null on any of the standard descriptors that the process started without, so that no
// file the tool or a library opens later takes their place: standard output read-only, so that
// writing records to it still fails and is reported.
void guard_standard_descriptors();

// Writes bytes to standard error at once, unbuffered.
void write_error(std::string_view bytes);

// --- encoders ---------------------------------------------------------------------------------
// Each returns its own static buffer, overwritten by its next call.

// `count` (low four bits used) hexadecimal digits of `value`, most significant first.
const char* hex_digits(std::uint32_t value, unsigned count);
// `count` (low seven bits used) binary digits of `value`, most significant first.
const char* binary_digits(std::uint32_t value, unsigned count);
// The account time as local "%y-%m-%d %H:%M:%S"; values from 0x80000000 up count as 0.
const char* format_account_time(std::uint32_t seconds);

// --- field writers ----------------------------------------------------------------------------

void write_field_label(std::string_view label);
void write_field_delimiter();
void write_multi_delimiter();
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

// Writes one account in the layout the settings choose, with its groups from `source`; no record
// delimiter. Returns 0, or the status of a group lookup that could not reach the server, and then
// writes nothing.
std::uint32_t write_user_record(AccountSource& source, const USER_INFO_3& account);

} // namespace tavrick
