// Digit encoders, labels, delimiters and the field writers every record is made of.
#include <cstdio>
#include <ctime>
#include <string_view>

#include "cli/cli.h"
#include "output/output.h"

namespace tavrick {

namespace {

constexpr std::string_view k_null_text = "(null)";
constexpr std::size_t k_label_width = 20;

void write_quote(const SettingString& quote)
{
    write_units(quote.view());
}

// Writes an unsigned number in decimal without going through the formatting library.
void write_decimal(std::uint32_t value)
{
    char digits[10];
    std::size_t start = sizeof digits;
    do {
        digits[--start] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    write_bytes(std::string_view(digits + start, sizeof digits - start));
}

} // namespace

const char* hex_digits(std::uint32_t value, unsigned count)
{
    static char result[16];
    count &= 0xFU;
    for (unsigned i = 0; i < count; ++i) {
        const unsigned shift = 4 * (count - 1 - i);
        const unsigned nibble = shift < 32 ? (value >> shift) & 0xFU : 0U;
        result[i] = "0123456789ABCDEF"[nibble];
    }
    result[count] = '\0';
    return result;
}

const char* binary_digits(std::uint32_t value, unsigned count)
{
    static char result[128];
    count &= 0x7FU;
    for (unsigned i = 0; i < count; ++i) {
        const unsigned shift = count - 1 - i;
        result[i] = shift < 32 && ((value >> shift) & 1U) != 0 ? '1' : '0';
    }
    result[count] = '\0';
    return result;
}

const char* format_account_time(std::uint32_t seconds)
{
    static char result[64];
    const auto signed_seconds = static_cast<std::int32_t>(seconds);
    const std::time_t when = signed_seconds < 0 ? 0 : signed_seconds;
    const std::tm* local = std::localtime(&when);
    if (local == nullptr || std::strftime(result, sizeof result, "%y-%m-%d %H:%M:%S", local) == 0) {
        result[0] = '\0';
    }
    return result;
}

void write_field_label(std::string_view label)
{
    switch (g_settings.field_format) {
    case FieldFormat::human:
        for (std::size_t i = label.size(); i < k_label_width; ++i) {
            write_bytes(" ");
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
    write_units(g_settings.field_delimiter.view());
}
void write_multi_delimiter()
{
    write_units(g_settings.multi_delimiter.view());
}
void write_record_delimiter()
{
    write_units(g_settings.record_delimiter.view());
}

void write_text_field(const char16_t* value, std::string_view label)
{
    if (g_settings.structure_mode != 0) {
        write_quote(g_settings.string_quote);
        write_bytes(label);
        write_quote(g_settings.string_quote);
        return;
    }
    write_field_label(label);
    write_quote(g_settings.string_quote);
    if (value == nullptr) {
        write_bytes(k_null_text);
    } else {
        write_units(value);
    }
    write_quote(g_settings.string_quote);
}

namespace {

// The shape every numeric field shares: label, quote, value, quote; or the label between quotes.
template <typename WriteValue> void write_number_field(std::string_view label, WriteValue write_value)
{
    if (g_settings.structure_mode != 0) {
        write_quote(g_settings.integer_quote);
        write_bytes(label);
        write_quote(g_settings.integer_quote);
        return;
    }
    write_field_label(label);
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
        write_bytes("0%");
        write_bytes(binary_digits(value, 32));
    });
}

void write_hex_item(char16_t unit)
{
    write_quote(g_settings.integer_quote);
    write_bytes("0x");
    write_bytes(hex_digits(unit, 4));
    write_quote(g_settings.integer_quote);
}

} // namespace tavrick
