// SPDX-License-Identifier: GPL-3.0-or-later
// The driver on an in-memory source: pages asked for, accounts written, groups looked up, failures.
#include <gtest/gtest.h>

#include "support/support.h"

namespace tavrick::testing {
namespace {

MemorySource three_accounts_over_two_pages()
{
    MemorySource source;
    source.pages = {{k_status_more_data,
                     {USER_INFO_3{.name = u"alice", .full_name = u"A"},
                      {.name = u"bob", .flags = k_flag_disabled, .full_name = u"B"}}},
                    {k_status_success, {{.name = u"Carol", .full_name = u"C"}, {}}}};
    source.groups[u"alice"] = {u"users", u"staff"};
    source.groups[u"Carol"] = {u"users"};
    return source;
}

TEST(Driver, SelectsPagesAccountsAndGroups)
{
    struct Case {
        std::vector<std::string> args;
        std::string out;
        int page_calls;
        std::vector<std::u16string> group_calls;
    };
    const Case cases[] = {
        {{},
         "\"alice\",\"A\",\"users\":\"staff\"\n\"Carol\",\"C\",\"users\"\n\"(null)\",\"(null)\",\n",
         2,
         {u"alice", u"Carol"}},
        {{"BOB"}, "\"bob\",\"B\",\n", 2, {u"bob"}}, // a match does not end the listing
        {{"-s"}, "\"name\",\"full_name\",\"group\":\"group\"\n", 1, {u"alice"}},
        {{"-s", "-Q", "d"}, "", 1, {}}, // structure mode writes the first account or nothing
        {{"-s", "carol"}, "\"name\",\"full_name\",\"group\"\n", 2, {u"Carol"}},
    };
    for (const Case& c : cases) {
        MemorySource source = three_accounts_over_two_pages();
        EXPECT_EQ(run_driver(c.args, source), c.out) << ::testing::PrintToString(c.args);
        EXPECT_EQ(source.page_calls, c.page_calls) << ::testing::PrintToString(c.args);
        EXPECT_EQ(source.group_calls, c.group_calls) << ::testing::PrintToString(c.args);
    }
}

// Records before a failing page stay written, also when more than the writer buffers came first.
TEST(Driver, AFailingPageEndsTheListingWithItsMessage)
{
    const std::tuple<std::size_t, std::uint32_t, std::string> cases[] = {
        {1, k_status_access_denied, "The user has insufficient privilege for this operation\n"},
        {3, k_status_accounts_database, "Error encountered in accessing accounts database\n"},
        {2000, 1003, "Error in NetUserEnum: 1003\n"},
        {1, 0xFFFFFFFF, "Error in NetUserEnum: -1\n"},
        {5, k_status_more_data, ""}, // more data with an empty page ends quietly
    };
    const std::u16string name = u"user" + std::u16string(60, u'x');
    for (const auto& [good_records, status, message] : cases) {
        MemorySource source;
        std::string expected;
        source.pages.push_back({k_status_more_data, {}});
        for (std::size_t i = 0; i < good_records; ++i) {
            source.pages[0].records.push_back({.name = name.c_str(), .full_name = u""});
            expected += "\"user" + std::string(60, 'x') + "\",\"\",\n";
        }
        source.pages.push_back({status, {}});
        source.pages.push_back({k_status_success, {{.name = u"never-read"}}});
        EXPECT_EQ(run_driver({}, source), expected + message) << status;
        EXPECT_EQ(source.page_calls, 2);
    }
}

// CSV and JSON keep a failing status apart from their records: the records before it stay whole,
// the message goes to standard error, and the exit status is 2.
TEST(Driver, AFailingPageEndsACsvOrJsonListingOnStandardErrorWithStatusTwo)
{
    const std::pair<const char*, std::string> cases[] = {
        {"csv", "name,full_name,groups\r\nalice,A,users:staff\r\n"},
        {"json", "{\"name\":\"alice\",\"full_name\":\"A\",\"groups\":[\"users\",\"staff\"],\"disabled\":false}\n"},
    };
    for (const auto& [format, records] : cases) {
        MemorySource source = three_accounts_over_two_pages();
        source.pages[1].status = k_status_access_denied;
        int status = -1;
        std::string errors;
        EXPECT_EQ(run_driver({"-o", format}, source, &status, &errors), records);
        EXPECT_EQ(errors, "ERR: The user has insufficient privilege for this operation\n");
        EXPECT_EQ(status, 2) << format;
    }
}

} // namespace
} // namespace tavrick::testing
