// What only an in-memory source can feed the writers: code units above 255 at the buffer's edge,
// times past 2038, wide parameters, absent lists. Layouts and labels are in tests/cases.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

#include "output/output.h"
#include "support/support.h"

namespace tavrick::testing {
namespace {

// Each byte and each '?' lands on its side of the 64 KiB buffer's flush, and a surrogate pair
// split by it still counts as one character.
TEST(ByteWriter, WritesUnitsUpTo255AsBytesAndEachWiderCharacterAsOneQuestionMark)
{
    const std::u16string units = u"\u0001\u007F\u0080\u00FFa\u0100b\U0001F600c\xD800"
                                 u"d\xDC00\xD800";
    const std::string bytes = "\x01\x7F\x80\xFF"
                              "a?b?c?d??";
    for (std::size_t before = 64 * 1024 - 12; before <= 64 * 1024 + 1; ++before) {
        const std::string filler(before, '.');
        EXPECT_EQ(capture_output([&] {
                      write_bytes(filler);
                      write_units(units);
                      write_units(units.c_str());
                  }),
                  filler + bytes + bytes)
            << before;
    }
}

TEST(AllInformation, TimesWideParametersAndAbsentLists)
{
    static const unsigned char hours[k_logon_hours_bytes] = {0x00, 0x0A, 0x80};
    std::string zeros;
    for (int i = 3; i < 21; ++i) {
        zeros += ":0x00";
    }
    const std::tuple<const char*, std::uint32_t, const char16_t*, const unsigned char*, std::string> cases[] = {
        {"UTC0", 0x7FFFFFFF, u"A\u0100\uFFFF", hours,
         "\"38-01-19 03:14:07\"|0x0041:0x0100:0xFFFF|0x00:0x0A:0x80" + zeros + "|"},
        {"EST5", 0x80000000, nullptr, nullptr, "\"69-12-31 19:00:00\"|||"},
        {"CET-1", 1700000000, u"", nullptr, "\"23-11-14 23:13:20\"|||"},
    };
    for (const auto& [zone, logoff, parms, logon_hours, expected] : cases) {
        ::setenv("TZ", zone, 1);
        ::tzset();
        USER_INFO_3 account{.name = u"a"};
        std::tie(account.last_logoff, account.parms, account.logon_hours) = std::tie(logoff, parms, logon_hours);
        MemorySource source;
        source.pages = {{k_status_success, {account}}};
        const std::string out = run_driver({"-a", "-F", "n", "-d", "|"}, source);
        std::string fields; // the 15th, 12th and 19th fields
        for (const int field : {15, 12, 19}) {
            std::size_t start = 0;
            for (int i = 1; i < field; ++i) {
                start = out.find('|', start) + 1;
            }
            fields += out.substr(start, out.find('|', start) + 1 - start);
        }
        EXPECT_EQ(fields, expected) << zone;
    }
    ::setenv("TZ", "UTC0", 1);
    ::tzset();
}

} // namespace
} // namespace tavrick::testing
