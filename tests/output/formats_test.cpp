// SPDX-License-Identifier: GPL-3.0-or-later
// CSV and JSON of UTF-16 text, as the Windows calls give it, which only Wine runs otherwise.
#include <gtest/gtest.h>

#include "support/support.h"

namespace tavrick::testing {
namespace {

// Characters above 255 and a surrogate pair come out as UTF-8, a line feed and a quote as each
// format keeps them; a lone surrogate stays an escape in JSON, becomes U+FFFD in CSV, and a line on
// standard error names the account.
TEST(Formats, Utf16TextIsWrittenAsUtf8)
{
    const std::tuple<const char*, std::string, std::string> cases[] = {
        {"json",
         "{\"name\":\"\xD0\x96\\ud800\",\"full_name\":\"a\\nb \xF0\x9F\x98\x80\",\"groups\":[\"x\\\"y\"],"
         "\"disabled\":false}\n",
         "lone surrogates in name; each written as its \\uXXXX escape\n"},
        {"csv", "name,full_name,groups\r\n\xD0\x96\xEF\xBF\xBD,\"a\nb \xF0\x9F\x98\x80\",\"x\"\"y\"\r\n",
         "lone surrogates in name; written as U+FFFD\n"},
    };
    for (const auto& [format, out, note] : cases) {
        MemorySource source;
        source.units = TextUnits::utf16;
        source.pages = {{k_status_success, {{.name = u"\u0416\xD800", .full_name = u"a\nb \U0001F600"}}}};
        source.groups[u"\u0416\xD800"] = {u"x\"y"};
        std::string errors;
        EXPECT_EQ(run_driver({"-o", format}, source, nullptr, &errors), out);
        EXPECT_EQ(errors, "ERR: account \"\xD0\x96\\ud800\": " + note);
    }
}

} // namespace
} // namespace tavrick::testing
