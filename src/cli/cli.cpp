// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/cli.h"

#include <getopt.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>

#include "text/text.h"

namespace tavrick {

Settings g_settings;

void SettingString::assign(std::u16string_view text)
{
    const std::size_t end = text.find(u'\0');
    m_length = end == std::u16string_view::npos ? text.size() : end;
    if (m_length >= k_capacity) {
        m_length = k_capacity - 1; // callers check lengths first; this only guards the buffer
    }
    text.copy(m_units.data(), m_length);
    m_units[m_length] = u'\0';
    const std::string encoded = encode_units(view()); // never longer than the units
    m_byte_length = encoded.copy(m_bytes.data(), m_bytes.size());
}

namespace {

constexpr const char* k_options = "Q:asS:q:i:d:m:r:vhF:o:";
// The longest raw argument of -q, -i, -d, -m and -r, before decoding.
constexpr std::size_t k_max_delimiter_argument = 19;
// The longest raw argument of -S, before decoding.
constexpr std::size_t k_max_server_argument = 255;
// An operand that asks for the usage text as -h does, where users type one for help: "/?" on
// Windows, where no account name can hold '/' or '?'; none elsewhere (empty).
constexpr std::string_view k_help_operand = TAVRICK_HELP_OPERAND;

const char* program_name_of(char** argv)
{
    return argv != nullptr && argv[0] != nullptr ? argv[0] : "tavrick";
}

[[noreturn]] void refuse(const std::string& message)
{
    write_error("ERR: " + message + "\n");
    std::exit(1);
}

[[noreturn]] void usage_and_exit(const char* program_name, int status)
{
    print_usage(program_name);
    std::exit(status);
}

// Decodes an argument of -q, -i, -d, -m or -r into its setting.
void set_text_option(SettingString& setting, char option, const char* argument)
{
    if (std::strlen(argument) > k_max_delimiter_argument) {
        refuse(std::string("argument of -") + option + " is too long: at most " +
               std::to_string(k_max_delimiter_argument) + " characters");
    }
    setting.assign(decode_escapes(widen(argument)));
}

void set_server_option(const char* argument)
{
    if (std::strlen(argument) > k_max_server_argument) {
        refuse("argument of -S is too long: at most " + std::to_string(k_max_server_argument) + " characters");
    }
    const std::u16string decoded = decode_escapes(widen(argument));
    const std::u16string_view up_to_zero = std::u16string_view(decoded).substr(0, decoded.find(u'\0'));
    const std::u16string name = normalise_server_name(up_to_zero);
    if (name.size() >= SettingString::k_capacity) {
        refuse("server name of -S is too long: at most " + std::to_string(SettingString::k_capacity - 1) +
               " characters with its leading backslashes");
    }
    g_settings.server.assign(name);
}

// The operands left after the options, at least one: the user name, or help where an operand
// asks for it.
void take_operands(char** first, char** last, const char* program_name, std::u16string& username)
{
    if (!k_help_operand.empty() && std::find(first, last, k_help_operand) != last) {
        usage_and_exit(program_name, 0);
    }
    if (std::strlen(*first) > k_max_username) {
        refuse("user name is too long: at most " + std::to_string(k_max_username) + " characters");
    }
    username = widen(*first);
    if (last - first > 1) {
        write_error(std::string("ERR: unhandled argument ") + first[1] + "\n");
        std::exit(1);
    }
}

void set_output_format(const char* argument)
{
    if (std::strcmp(argument, "csv") == 0) {
        g_settings.output_format = OutputFormat::csv;
    } else if (std::strcmp(argument, "json") == 0) {
        g_settings.output_format = OutputFormat::json;
    } else {
        refuse("argument of -o must be csv or json");
    }
}

// CSV and JSON lay their records out themselves: the options that shape the other layouts are
// refused rather than ignored, the first one given first. CSV keeps -d, one character that its
// quoting can tell from the text, and -m, the text between the groups of an account.
void check_options_for_format(const std::string& given)
{
    const OutputFormat format = g_settings.output_format;
    if (format == OutputFormat::text) {
        return;
    }
    const char* const name = format == OutputFormat::csv ? "csv" : "json";
    const std::string_view refused = format == OutputFormat::csv ? "Fqirs" : "Fqirsdm";
    for (const char option : given) {
        if (refused.find(option) != std::string_view::npos) {
            refuse(std::string("option -") + option + " does not apply to -o " + name +
                   ", which lays out its own fields");
        }
    }
    if (format != OutputFormat::csv) {
        return;
    }
    const std::u16string_view delimiter = g_settings.field_delimiter.view();
    if (delimiter.size() != 1 || delimiter[0] >= 0x80 || delimiter[0] == u'"' || delimiter[0] == u'\r' ||
        delimiter[0] == u'\n') {
        refuse("-d for -o csv must be one ASCII character other than a double quote, CR or LF");
    }
    if (g_settings.multi_delimiter.view().empty()) {
        refuse("-m for -o csv must not be empty: it stands between the groups");
    }
}

} // namespace

std::u16string decode_escapes(std::u16string_view source)
{
    std::u16string destination;
    destination.reserve(source.size());
    for (std::size_t i = 0; i < source.size(); ++i) {
        const char16_t unit = source[i];
        if (unit != u'\\') {
            destination.push_back(unit);
            continue;
        }
        if (i + 1 == source.size()) {
            destination.push_back(u'\\');
            break;
        }
        const char16_t next = source[++i];
        switch (next) {
        case u'"': destination.push_back(u'"'); break;
        case u'0': destination.push_back(u'\0'); break;
        case u'\\': destination.push_back(u'\\'); break;
        case u'n': destination.push_back(u'\n'); break;
        case u'r': destination.push_back(u'\r'); break;
        case u't': destination.push_back(u'\t'); break;
        default:
            destination.push_back(u'\\');
            destination.push_back(next);
            break;
        }
    }
    return destination;
}

std::u16string normalise_server_name(std::u16string_view name)
{
    std::u16string result(name);
    if (result.empty() || result[0] != u'\\') {
        result.insert(result.begin(), u'\\');
    }
    if (result.size() < 2 || result[1] != u'\\') {
        result.insert(result.begin(), u'\\');
    }
    return result;
}

void print_usage(const char* program_name)
{
    std::string text = "# Usage: ";
    text += program_name;
    text += " [options] [username]\n"
            "#   options :\n"
            "#     -Q <qt> query <qt> user information (default: enabled)\n"
            "#        <qt>  : \"a\" all, \"e\" enabled, \"d\" disabled users\n"
            "#     -a all user information (default: username, fullname, groups)\n"
            "#     -s structure information (default: data)\n"
            "#     -q <s> String Quote character\n"
            "#     -i <s> Integer Quote character\n"
            "#     -d <s> field delimitation character\n"
            "#     -m <s> multi field delimitation character\n"
            "#     -r <s> record delimitation character\n"
            "#        <s>   : any string, including \\n, \\r, \\0, \\t, \\\"\n"
            "#     -F <ft> field output format\n"
            "#        <ft>  : \"h\" human readable, \"s\" short descriptions, \"n\" no description\n"
            "#     -S <s> query information from server <s>\n"
            "#     -v     show version info\n"
            "#     -h     show this help screen\n"
            "#   username: specific user (default: all users)\n";
    write_error(text);
}

void print_version()
{
    write_units(k_tool_name);
    write_bytes(" v" + std::to_string(k_version_major) + "." + std::to_string(k_version_minor) + " rev " +
                std::to_string(k_version_revision) + "\n");
    write_bytes("Lists the user accounts of a server, a domain controller or this machine as delimited text.\n");
    flush_output();
    std::exit(0);
}

int parse_command_line(int argc, char** argv, std::u16string& username, int& specific_user)
{
    username.clear();
    specific_user = 0;
    const char* program_name = program_name_of(argv);

    optind = 0; // a full restart of the scanner, which also rereads POSIXLY_CORRECT
    int option = 0;
    std::string given; // the option letters, in the order given
    // getopt_long without long options is GNU getopt on every C library: mingw-w64's plain getopt
    // does not permute operands and options.
    while ((option = getopt_long(argc, argv, k_options, nullptr, nullptr)) != -1) {
        given.push_back(static_cast<char>(option));
        switch (option) {
        case 'Q':
            switch (optarg[0]) {
            case 'a': g_settings.query_type = QueryType::all; break;
            case 'e': g_settings.query_type = QueryType::enabled; break;
            case 'd': g_settings.query_type = QueryType::disabled; break;
            default: usage_and_exit(program_name, 1);
            }
            break;
        case 'F':
            switch (optarg[0]) {
            case 'h': g_settings.field_format = FieldFormat::human; break;
            case 's': g_settings.field_format = FieldFormat::short_label; break;
            case 'n': g_settings.field_format = FieldFormat::none; break;
            default: usage_and_exit(program_name, 1);
            }
            break;
        case 'a': g_settings.all_info = 1; break;
        case 's': g_settings.structure_mode = 1; break;
        case 'S': set_server_option(optarg); break;
        case 'q': set_text_option(g_settings.string_quote, 'q', optarg); break;
        case 'i': set_text_option(g_settings.integer_quote, 'i', optarg); break;
        case 'd': set_text_option(g_settings.field_delimiter, 'd', optarg); break;
        case 'm': set_text_option(g_settings.multi_delimiter, 'm', optarg); break;
        case 'r': set_text_option(g_settings.record_delimiter, 'r', optarg); break;
        case 'o': set_output_format(optarg); break;
        case 'v': print_version();
        case 'h':
        default: // -h, or an option the scanner has reported as unknown or missing its argument
            usage_and_exit(program_name, 0);
        }
    }
    check_options_for_format(given);

    if (optind < argc) {
        take_operands(argv + optind, argv + argc, program_name, username);
        specific_user = 1;
    }
    return 1;
}

} // namespace tavrick
