// SPDX-License-Identifier: GPL-3.0-or-later
// Digit encoders, labels, delimiters and the field writers every record is made of.
#include <cstdio>
#include <cstring>
#include <iterator>
#include <string>
#include <string_view>

#include "cli/cli.h"
#include "output/output.h"

namespace tavrick {

namespace {

constexpr std::string_view k_null_text = "(null)";
constexpr std::size_t k_label_width = 20;
constexpr std::string_view k_label_padding = "                    "; // k_label_width spaces
constexpr char k_nibble_digits[16][5] = {"0000", "0001", "0010", "0011", "0100", "0101", "0110", "0111",
                                         "1000", "1001", "1010", "1011", "1100", "1101", "1110", "1111"};

void write_quote(const SettingString& quote)
{
    if (!quote.bytes().empty()) { // the integer quote is empty unless asked for
        write_bytes(quote.bytes());
    }
}

// Writes an unsigned number in decimal without going through the formatting library.
void write_decimal(std::uint32_t value)
{
    char digits[10];
    char* start = std::end(digits);
    do {
        *--start = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    write_bytes(std::string_view(start, static_cast<std::size_t>(std::end(digits) - start)));
}

} // namespace

const char* hex_digits(std::uint32_t value, unsigned count)
{
    static char result[16];
    count &= 0xFU;
    for (unsigned i = 0; i < count; ++i) {
        const unsigned shift = 4 * (count - 1 - i);
        const unsigned nibble = shift < 32 ? (value >> shift) & 0xFU : 0U;
        result[i] = k_hex_digits[nibble];
    }
    result[count] = '\0';
    return result;
}

const char* binary_digits(std::uint32_t value, unsigned count)
{
    static char result[128];
    count &= 0x7FU;
    // Digits above bit 31 are zeros; the rest go four at a time.
    const unsigned zeros = count > 32 ? count - 32 : 0;
    std::memset(result, '0', zeros);
    unsigned written = zeros;
    for (unsigned bits = count - zeros; bits % 4 != 0; --bits) {
        result[written++] = static_cast<char>('0' + ((value >> (bits - 1)) & 1U));
    }
    for (; written < count; written += 4) {
        const unsigned shift = count - written - 4;
        std::memcpy(result + written, k_nibble_digits[(value >> shift) & 0xFU], 4);
    }
    result[count] = '\0';
    return result;
}

void write_field_label(std::string_view label)
{
    switch (g_settings.field_format) {
    case FieldFormat::human:
        if (label.size() < k_label_width) {
            write_bytes(k_label_padding.substr(0, k_label_width - label.size()));
        }
        write_bytes(label);
        write_bytes(": ");
        break;
    case FieldFormat::short_label:
        write_bytes(label);
        write_bytes(":");
        break;
    case FieldFormat::none: break;
    }
}

void write_field_delimiter()
{
    write_bytes(g_settings.field_delimiter.bytes());
}
void write_multi_delimiter()
{
    write_bytes(g_settings.multi_delimiter.bytes());
}
void write_record_delimiter()
{
    switch (g_settings.output_format) {
    case OutputFormat::text: write_bytes(g_settings.record_delimiter.bytes()); break;
    case OutputFormat::csv: write_bytes("\r\n"); break;
    case OutputFormat::json: write_bytes("\n"); break;
    }
}

void write_structure_label(const SettingString& quote, std::string_view label)
{
    write_quote(quote);
    write_bytes(label);
    write_quote(quote);
}

void write_text_value(const char16_t* value)
{
    if (value == nullptr) {
        write_bytes(k_null_text);
    } else {
        write_units(value);
    }
}

void write_text_field(const char16_t* value, std::string_view label)
{
    if (g_settings.structure_mode != 0) {
        write_structure_label(g_settings.string_quote, label);
        return;
    }
    if (g_settings.field_format != FieldFormat::none) {
        write_field_label(label);
    }
    write_quote(g_settings.string_quote);
    write_text_value(value);
    write_quote(g_settings.string_quote);
}

namespace {

// The shape every numeric field shares: label, quote, value, quote; or the label between quotes.
template <typename WriteValue> void write_number_field(std::string_view label, WriteValue write_value)
{
    if (g_settings.structure_mode != 0) {
        write_structure_label(g_settings.integer_quote, label);
        return;
    }
    if (g_settings.field_format != FieldFormat::none) {
        write_field_label(label);
    }
    write_quote(g_settings.integer_quote);
    write_value();
    write_quote(g_settings.integer_quote);
}

} // namespace

void write_unsigned_field(std::uint32_t value, std::string_view label)
{
    write_number_field(label, [value] { write_decimal(value); });
}

void write_signed_field(std::int32_t value, std::string_view label)
{
    write_number_field(label, [value] {
        if (value < 0) {
            write_bytes("-");
            write_decimal(0U - static_cast<std::uint32_t>(value));
        } else {
            write_decimal(static_cast<std::uint32_t>(value));
        }
    });
}

void write_bits_field(std::uint32_t value, std::string_view label)
{
    write_number_field(label, [value] {
        char digits[34] = {'0', '%'};
        std::memcpy(digits + 2, binary_digits(value, 32), 32);
        write_bytes(std::string_view(digits, sizeof digits));
    });
}

void write_hex_item(char16_t unit)
{
    write_quote(g_settings.integer_quote);
    char item[6] = {'0', 'x'};
    std::memcpy(item + 2, hex_digits(unit, 4), 4);
    write_bytes(std::string_view(item, sizeof item));
    write_quote(g_settings.integer_quote);
}

} // namespace tavrick
