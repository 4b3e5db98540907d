#include <gtest/gtest.h>

#include "cli/cli.h"
#include "support/support.h"

namespace tavrick::testing {
namespace {

TEST(CommandLine, NoArgumentsKeepsTheDefaults)
{
    const Parsed parsed = parse({});
    EXPECT_EQ(parsed.settings.structure_mode, 0);
    EXPECT_EQ(parsed.settings.all_info, 0);
    EXPECT_EQ(parsed.settings.query_type, QueryType::enabled);
    EXPECT_EQ(parsed.settings.field_format, FieldFormat::none);
    EXPECT_EQ(parsed.settings.string_quote.view(), u"\"");
    EXPECT_EQ(parsed.settings.integer_quote.view(), u"");
    EXPECT_EQ(parsed.settings.field_delimiter.view(), u",");
    EXPECT_EQ(parsed.settings.multi_delimiter.view(), u":");
    EXPECT_EQ(parsed.settings.server.view(), u"");
    EXPECT_EQ(parsed.settings.record_delimiter.view(), u"\n");
    EXPECT_EQ(parsed.username, u"");
    EXPECT_EQ(parsed.specific_user, 0);
}

TEST(CommandLine, LettersOfFormatAndQuery)
{
    const std::pair<std::vector<std::string>, FieldFormat> formats[] = {
        {{"-F", "human"}, FieldFormat::human},
        {{"-F", "s"}, FieldFormat::short_label},
        {{"-F", "h", "-F", "none"}, FieldFormat::none},
    };
    for (const auto& [args, format] : formats) {
        EXPECT_EQ(parse(args).settings.field_format, format) << args.back();
    }
    const std::pair<std::vector<std::string>, QueryType> queries[] = {
        {{"-Q", "all"}, QueryType::all},
        {{"-Q", "d"}, QueryType::disabled},
        {{"-Qd", "-Qe"}, QueryType::enabled},
    };
    for (const auto& [args, query] : queries) {
        EXPECT_EQ(parse(args).settings.query_type, query) << args.back();
    }
}

TEST(CommandLine, TextOptionsDecodeEscapes)
{
    struct Case {
        std::vector<std::string> args;
        const SettingString Settings::*setting;
        std::u16string expected;
    };
    const Case cases[] = {
        {{"-d", "\\t"}, &Settings::field_delimiter, u"\t"},
        {{"-r", "\\n\\n"}, &Settings::record_delimiter, u"\n\n"},
        {{"-r", "\\r\\n"}, &Settings::record_delimiter, u"\r\n"},
        {{"-q", ""}, &Settings::string_quote, u""},
        {{"-i", "\\\""}, &Settings::integer_quote, u"\""},
        {{"-m", "a\\0b"}, &Settings::multi_delimiter, u"a"},
        {{"-d", "\\x"}, &Settings::field_delimiter, u"\\x"},
        {{"-d", "x\\"}, &Settings::field_delimiter, u"x\\"},
        {{"-d", "\\\\n"}, &Settings::field_delimiter, u"\\n"},
        {{"-q", "\xC3\xA9\x01"}, &Settings::string_quote, u"\u00C3\u00A9\u0001"},
        {{"-q", "-a"}, &Settings::string_quote, u"-a"},
        {{"-d", "1234567890123456789"}, &Settings::field_delimiter, u"1234567890123456789"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ((parse(c.args).settings.*c.setting).view(), c.expected) << c.args.back();
    }
    EXPECT_EQ(parse({"-q", "-a"}).settings.all_info, 0);
}

TEST(CommandLine, ServerNamesGetTwoLeadingBackslashes)
{
    const std::pair<std::vector<std::string>, std::u16string> cases[] = {
        {{"-S", "srv"}, u"\\\\srv"},
        {{"-S", "\\srv"}, u"\\\\srv"},
        {{"-S", "\\\\\\\\srv"}, u"\\\\srv"},       // four typed backslashes decode to two
        {{"-S", "\\\\\\\\\\\\srv"}, u"\\\\\\srv"}, // three decoded ones are kept
        {{"-S", ""}, u"\\\\"},
        {{"-S", "ab\\0cd"}, u"\\\\ab"},
        {{"-S", "first", "-S", "\\second"}, u"\\\\second"},
        {{"-S", std::string(77, 'n')}, u"\\\\" + std::u16string(77, u'n')},
    };
    for (const auto& [args, server] : cases) {
        EXPECT_EQ(parse(args).settings.server.view(), server) << args.back();
    }
}

TEST(CommandLine, Operands)
{
    struct Case {
        std::vector<std::string> args;
        std::u16string username;
        int all_info;
    };
    const Case cases[] = {
        {{"alice"}, u"alice", 0},
        {{"alice", "-a"}, u"alice", 1}, // the scanner moves options in front of operands
        {{"--", "-bob"}, u"-bob", 0},
        {{"a\\tb"}, u"a\\tb", 0}, // no escapes in the user name
        {{"j\xC3\xB6rg"}, u"j\u00C3\u00B6rg", 0},
        {{std::string(79, 'u')}, std::u16string(79, u'u'), 0},
    };
    for (const Case& c : cases) {
        const Parsed parsed = parse(c.args);
        EXPECT_EQ(parsed.username, c.username);
        EXPECT_EQ(parsed.specific_user, 1);
        EXPECT_EQ(parsed.settings.all_info, c.all_info);
    }
    const Parsed empty = parse({""});
    EXPECT_EQ(empty.username, u"");
    EXPECT_EQ(empty.specific_user, 1);
}

TEST(CommandLine, DecodeEscapesKeepsTheZeroUnit)
{
    EXPECT_EQ(decode_escapes(u"a\\0b"), std::u16string(u"a\0b", 3));
    EXPECT_EQ(decode_escapes(u"\\\"\\\\\\n\\r\\t\\q\\"), u"\"\\\n\r\t\\q\\");
}

} // namespace
} // namespace tavrick::testing
