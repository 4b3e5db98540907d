#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

#include "cli/cli.h"
#include "output/output.h"
#include "support/memory_source.h"
#include "support/support.h"

namespace tavrick::testing {
namespace {

class Writers : public ::testing::Test {
  protected:
    void SetUp() override { reset_settings(); }
    void TearDown() override { reset_settings(); }
};

TEST(Encoders, HexDigits)
{
    const std::tuple<std::uint32_t, unsigned, const char*> cases[] = {
        {0x41, 4, "0041"},
        {0xAB, 2, "AB"},
        {0x12345678, 16, ""},
        {0xFFFFFFFF, 0, ""},
        {0xDEADBEEF, 8, "DEADBEEF"},
        {0xABCDEF01, 9, "0ABCDEF01"},
        {0x1, 15, "000000000000001"},
        {0x1234, 20, "1234"}, // only the low four bits of the count are used
    };
    for (const auto& [value, count, expected] : cases) {
        EXPECT_STREQ(hex_digits(value, count), expected) << value << " " << count;
    }
}

TEST(Encoders, BinaryDigits)
{
    EXPECT_STREQ(binary_digits(0x201, 32), "00000000000000000000001000000001");
    EXPECT_STREQ(binary_digits(0x5, 3), "101");
    EXPECT_STREQ(binary_digits(0x5, 0), "");
    EXPECT_STREQ(binary_digits(0xFFFFFFFF, 34), "0011111111111111111111111111111111");
    EXPECT_STREQ(binary_digits(0x3, 130), "11"); // only the low seven bits of the count are used
}

TEST_F(Writers, FieldsInEveryLabelFormat)
{
    struct Case {
        FieldFormat format;
        std::string text;
        std::string number;
    };
    const Case cases[] = {
        {FieldFormat::none, "\"v\"", "42"},
        {FieldFormat::short_label, "full_name:\"v\"", "primary_group_id:42"},
        {FieldFormat::human, "           full_name: \"v\"", "    primary_group_id: 42"},
    };
    for (const Case& c : cases) {
        g_settings.field_format = c.format;
        EXPECT_EQ(capture_output([] { write_text_field(u"v", "full_name"); }), c.text);
        EXPECT_EQ(capture_output([] { write_unsigned_field(42, "primary_group_id"); }), c.number);
    }
    g_settings.field_format = FieldFormat::human;
    EXPECT_EQ(capture_output([] { write_field_label("a_label_longer_than_twenty"); }), "a_label_longer_than_twenty: ");
}

TEST_F(Writers, ValuesAndQuotes)
{
    g_settings.integer_quote.assign(u"'");
    EXPECT_EQ(capture_output([] { write_signed_field(-1, "max_storage"); }), "'-1'");
    EXPECT_EQ(capture_output([] { write_signed_field(INT32_MIN, "x"); }), "'-2147483648'");
    EXPECT_EQ(capture_output([] { write_unsigned_field(0xFFFFFFFF, "x"); }), "'4294967295'");
    EXPECT_EQ(capture_output([] { write_unsigned_field(0, "x"); }), "'0'");
    EXPECT_EQ(capture_output([] { write_bits_field(0x201, "flags"); }), "'0%00000000000000000000001000000001'");
    EXPECT_EQ(capture_output([] { write_hex_item(u'A'); }), "'0x0041'");
    EXPECT_EQ(capture_output([] { write_text_field(nullptr, "password"); }), "\"(null)\"");

    g_settings.field_format = FieldFormat::short_label;
    g_settings.string_quote.assign(u"");
    EXPECT_EQ(capture_output([] { write_text_field(u"bare", "name"); }), "name:bare");
}

TEST_F(Writers, StructureModeWritesTheLabelBetweenQuotesWhateverTheFormat)
{
    g_settings.structure_mode = 1;
    g_settings.field_format = FieldFormat::human;
    g_settings.integer_quote.assign(u"#");
    EXPECT_EQ(capture_output([] { write_text_field(u"v", "name"); }), "\"name\"");
    EXPECT_EQ(capture_output([] { write_bits_field(1, "flags"); }), "#flags#");
    EXPECT_EQ(capture_output([] { write_signed_field(-1, "max_storage"); }), "#max_storage#");
}

TEST_F(Writers, TextIsWrittenByteForByteAndWideCharactersAsOneQuestionMark)
{
    const std::pair<std::u16string, std::string> cases[] = {
        {u"caf\u00C3\u00A9", "caf\xC3\xA9"}, // UTF-8 bytes widened one to one come back unchanged
        {u"\u0001\t\u007F\u0080\u00FF", "\x01\t\x7F\x80\xFF"},
        {u"a\u0100b", "a?b"},
        {u"a\U0001F600b", "a?b"}, // a surrogate pair is one character
        {u"a\xD800"
         u"b",
         "a?b"},                   // a lone high surrogate
        {u"a\xDC00\xD800", "a??"}, // a low surrogate before a high one is no pair
    };
    for (const auto& [units, bytes] : cases) {
        EXPECT_EQ(capture_output([&] { write_units(units); }), bytes);
    }
}

// Wide text that meets the end of the 64 KiB buffer: each byte and each '?' lands on its side of the
// flush, a surrogate pair split by the boundary still counts as one character.
TEST_F(Writers, WideTextAcrossTheBufferBoundary)
{
    constexpr std::size_t k_buffer = 64 * 1024;
    const std::u16string text = u"a\U0001F600\u00FFb\u0100c";
    const std::string bytes = "a?\xFF"
                              "b?c";
    for (std::size_t before = k_buffer - 4; before <= k_buffer + 1; ++before) {
        const std::string filler(before, '.');
        EXPECT_EQ(capture_output([&] {
                      write_bytes(filler);
                      write_units(text);
                      write_units(text.c_str());
                  }),
                  filler + bytes + bytes)
            << before;
    }
}

TEST_F(Writers, AZeroUnitEndsASetting)
{
    g_settings.field_delimiter.assign(decode_escapes(u"a\\0b"));
    EXPECT_EQ(capture_output([] { write_field_delimiter(); }), "a");
}

TEST_F(Writers, TheBufferCarriesLongOutputWhole)
{
    const std::string big(200000, 'x');
    EXPECT_EQ(capture_output([&] {
                  write_bytes("<");
                  write_bytes(big);
                  write_units(std::u16string(70000, u'y'));
              }),
              "<" + big + std::string(70000, 'y'));
}

// Writes one record of `account` with the groups in `source`, as the driver would.
std::string record_of(const USER_INFO_3& account, const std::vector<std::u16string>& groups)
{
    MemorySource source;
    source.groups[account.name] = groups;
    return capture_output([&] { write_user_record(source, account); });
}

TEST_F(Writers, DefaultLayout)
{
    const USER_INFO_3 account = make_account(u"alice", u"Alice A");
    EXPECT_EQ(record_of(account, {u"users", u"staff"}), "\"alice\",\"Alice A\",\"users\":\"staff\"");
    EXPECT_EQ(record_of(account, {}), "\"alice\",\"Alice A\",");

    g_settings.field_format = FieldFormat::human;
    EXPECT_EQ(record_of(account, {u"users", u"staff"}),
              "                name: \"alice\",           full_name: \"Alice A\","
              "               group: \"users\":               group: \"staff\"");

    g_settings.structure_mode = 1;
    EXPECT_EQ(record_of(account, {u"a", u"b", u"c"}), "\"name\",\"full_name\",\"group\":\"group\":\"group\"");
    EXPECT_EQ(record_of(account, {}), "\"name\",\"full_name\",");
}

USER_INFO_3 full_account()
{
    static const unsigned char hours[k_logon_hours_bytes] = {0xFF, 0x00, 0x0A, 0xFF, 0xFF, 0xFF, 0xFF,
                                                             0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                                             0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x80};
    USER_INFO_3 account = make_account(u"alice", u"Alice A", 0x201);
    account.password_age = 86400;
    account.priv = 1;
    account.home_dir = u"/home/alice";
    account.comment = u"Room 1";
    account.script_path = u"/bin/sh";
    account.usr_comment = u"";
    account.parms = u"AB";
    account.workstations = u"";
    account.last_logon = 0;
    account.last_logoff = 0x7FFFFFFF;
    account.acct_expires = 0xFFFFFFFF;
    account.max_storage = 0xFFFFFFFF;
    account.units_per_week = 168;
    account.logon_hours = hours;
    account.logon_server = u"\\\\*";
    account.user_id = 1001;
    account.primary_group_id = 513;
    account.profile = u"";
    account.home_dir_drive = u"";
    return account;
}

TEST_F(Writers, AllInformationLayoutWithShortLabels)
{
    g_settings.all_info = 1;
    g_settings.field_format = FieldFormat::short_label;
    setenv("TZ", "UTC0", 1);
    tzset();
    EXPECT_EQ(record_of(full_account(), {u"users", u"staff"}),
              "name:\"alice\",password:\"(null)\",password_age:86400,priv:0%00000000000000000000000000000001,"
              "home_dir:\"/home/alice\",comment:\"Room 1\",flags:0%00000000000000000000001000000001,"
              "script_path:\"/bin/sh\",auth_flags:0%00000000000000000000000000000000,full_name:\"Alice A\","
              "usr_comment:\"\",parms:0x0041:0x0042,workstations:\"\",last_logon:\"70-01-01 00:00:00\","
              "last_logoff:\"38-01-19 03:14:07\",acct_expires:\"70-01-01 00:00:00\",max_storage:-1,"
              "units_per_week:168,logon_hours:0xFF:0x00:0x0A:0xFF:0xFF:0xFF:0xFF:0xFF:0xFF:0xFF:0xFF:0xFF:0xFF:"
              "0xFF:0xFF:0xFF:0xFF:0xFF:0xFF:0xFF:0x80,bad_pw_count:0,num_logons:0,logon_server:\"\\\\*\","
              "country_code:0,code_page:0,user_id:1001,primary_group_id:513,profile:\"\",home_dir_drive:\"\","
              "password_expired:0,group:\"users\":\"staff\"");
}

TEST_F(Writers, AllInformationStructureHoldsThirtyLabels)
{
    g_settings.all_info = 1;
    g_settings.structure_mode = 1;
    g_settings.integer_quote.assign(u"'");
    EXPECT_EQ(record_of(full_account(), {u"users", u"staff"}),
              "\"name\",\"password\",'password_age','priv',\"home_dir\",\"comment\",'flags',\"script_path\","
              "'auth_flags',\"full_name\",\"usr_comment\",'parms',\"workstations\",\"last_logon\",\"last_logoff\","
              "\"acct_expires\",'max_storage','units_per_week','logon_hours','bad_pw_count','num_logons',"
              "\"logon_server\",'country_code','code_page','user_id','primary_group_id',\"profile\","
              "\"home_dir_drive\",'password_expired',\"group\"");
}

// The all-information record with only one member of interest shown: the text between the label
// `label:` and the next field.
std::string all_info_field(const USER_INFO_3& account, const std::vector<std::u16string>& groups,
                           const std::string& label)
{
    g_settings.all_info = 1;
    g_settings.field_format = FieldFormat::short_label;
    g_settings.field_delimiter.assign(u"|");
    const std::string record = record_of(account, groups);
    const std::size_t start = record.find("|" + label + ":");
    if (start == std::string::npos) {
        return "<missing>";
    }
    const std::size_t value = start + label.size() + 2;
    return record.substr(value, record.find('|', value) - value);
}

TEST_F(Writers, ParametersAndLogonHoursLists)
{
    struct Case {
        const char16_t* parms;
        std::string expected;
    };
    const Case cases[] = {
        {u"AB", "0x0041:0x0042"},
        {u"\u0100\uFFFF", "0x0100:0xFFFF"},
        {u"", ""},
        {nullptr, ""},
    };
    for (const Case& c : cases) {
        USER_INFO_3 account = full_account();
        account.parms = c.parms;
        EXPECT_EQ(all_info_field(account, {}, "parms"), c.expected);
    }
    USER_INFO_3 no_hours = full_account();
    no_hours.logon_hours = nullptr;
    EXPECT_EQ(all_info_field(no_hours, {}, "logon_hours"), "");
}

TEST_F(Writers, AccountTimesInLocalTime)
{
    struct Case {
        const char* zone;
        std::uint32_t seconds;
        std::string expected;
    };
    const Case cases[] = {
        {"UTC0", 0, "\"70-01-01 00:00:00\""},           {"UTC0", 0x7FFFFFFF, "\"38-01-19 03:14:07\""},
        {"UTC0", 0xFFFFFFFF, "\"70-01-01 00:00:00\""},  {"UTC0", 0x80000000, "\"70-01-01 00:00:00\""},
        {"EST5", 0, "\"69-12-31 19:00:00\""},           {"EST5", 0xFFFFFFFF, "\"69-12-31 19:00:00\""},
        {"EST5", 0x7FFFFFFF, "\"38-01-18 22:14:07\""},  {"CET-1", 0, "\"70-01-01 01:00:00\""},
        {"CET-1", 0xFFFFFFFF, "\"70-01-01 01:00:00\""}, {"CET-1", 1700000000, "\"23-11-14 23:13:20\""},
    };
    for (const Case& c : cases) {
        setenv("TZ", c.zone, 1);
        tzset();
        USER_INFO_3 account = full_account();
        account.acct_expires = c.seconds;
        EXPECT_EQ(all_info_field(account, {}, "acct_expires"), c.expected) << c.zone << " " << c.seconds;
    }
    setenv("TZ", "UTC0", 1);
    tzset();
}

TEST_F(Writers, AllInformationGroupListHasOneLabel)
{
    g_settings.field_format = FieldFormat::human;
    g_settings.all_info = 1;
    const std::string several = record_of(full_account(), {u"users", u"staff", u"ops"});
    EXPECT_EQ(several.substr(several.rfind(",")), ",               group: \"users\":\"staff\":\"ops\"");
    const std::string none = record_of(full_account(), {});
    EXPECT_EQ(none.substr(none.rfind(",")), ",               group: ");
}

} // namespace
} // namespace tavrick::testing
