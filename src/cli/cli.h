// SPDX-License-Identifier: GPL-3.0-or-later
// The process-wide settings and the command line that fills them.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace tavrick {

// Which accounts are listed when no user name is given.
enum class QueryType : std::int32_t { all = 0, enabled = 1, disabled = 2 };

// How a field is labelled.
enum class FieldFormat : std::int32_t { human = 0, short_label = 1, none = 2 };

// What the records are written as: the layouts that the other options shape, or one of the two
// formats that programs read back exactly (-o csv, -o json).
enum class OutputFormat : std::int32_t { text = 0, csv = 1, json = 2 };

// A text setting: at most 79 code units and a terminating zero. A zero unit anywhere ends the text.
class SettingString {
  public:
    static constexpr std::size_t k_capacity = 80;

    SettingString() = default;
    explicit SettingString(std::u16string_view text) { assign(text); }

    // Stores `text` up to its first zero unit; the caller has checked that it fits.
    void assign(std::u16string_view text);
    // The text up to its first zero unit.
    [[nodiscard]] std::u16string_view view() const { return {m_units.data(), m_length}; }
    [[nodiscard]] const char16_t* c_str() const { return m_units.data(); }
    // The bytes the text is written as, encoded once: quotes and delimiters go out on every field.
    [[nodiscard]] std::string_view bytes() const { return {m_bytes.data(), m_byte_length}; }

  private:
    std::array<char16_t, k_capacity> m_units{};
    std::size_t m_length = 0;
    std::array<char, k_capacity> m_bytes{};
    std::size_t m_byte_length = 0;
};

// Everything the command line decides. Written only by parse_command_line; read by everyone.
struct Settings {
    std::int32_t structure_mode = 0;
    std::int32_t all_info = 0;
    QueryType query_type = QueryType::enabled;
    FieldFormat field_format = FieldFormat::none;
    SettingString string_quote{u"\""};
    SettingString integer_quote{};
    SettingString field_delimiter{u","};
    SettingString multi_delimiter{u":"};
    SettingString server{};
    SettingString record_delimiter{u"\n"};
    OutputFormat output_format = OutputFormat::text;
};

extern Settings g_settings;

inline constexpr std::u16string_view k_tool_name = u"Tavrick";
// The version numbers of the version text: the project version major.minor.patch, which the build
// defines, so the tool, its manual page and its packages all say the same version.
inline constexpr int k_version_major = TAVRICK_VERSION_MAJOR;
inline constexpr int k_version_minor = TAVRICK_VERSION_MINOR;
inline constexpr int k_version_revision = TAVRICK_VERSION_PATCH;

// The longest user-name operand, in code units.
inline constexpr std::size_t k_max_username = 79;

// Fills g_settings from the command line and returns 1 when the enumeration is to run, with the
// user-name operand in `username` and `specific_user` set to 1 when one was given. Help, version
// and every command-line error end the process inside the call.
int parse_command_line(int argc, char** argv, std::u16string& username, int& specific_user);

// Decodes the backslash escapes \" \0 \\ \n \r \t of an option argument. Other backslashes stay.
// A \0 is kept as a zero unit; whoever stores the result ends the text there.
std::u16string decode_escapes(std::u16string_view source);

// Returns the server name in the form of at least two leading backslashes and a name: a name with
// fewer than two gets them added in front.
std::u16string normalise_server_name(std::u16string_view name);

// Writes the usage text to standard error, naming the program as given.
void print_usage(const char* program_name);

// Writes the version text to standard output and ends the process with status 0.
[[noreturn]] void print_version();

} // namespace tavrick
