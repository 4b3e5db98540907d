#include <gtest/gtest.h>

#include "enumerate/enumerate.h"
#include "support/memory_source.h"
#include "support/support.h"

namespace tavrick::testing {
namespace {

constexpr std::uint32_t k_enabled = k_flag_script | k_flag_normal_account;
constexpr std::uint32_t k_disabled = k_enabled | k_flag_disabled;

MemorySource three_accounts_over_two_pages()
{
    MemorySource source;
    source.pages = {
        {k_status_more_data, {make_account(u"alice", u"Alice A"), make_account(u"bob", u"Bob B", k_disabled)}},
        {k_status_success, {make_account(u"carol", u"Carol C")}},
    };
    source.groups[u"alice"] = {u"users", u"staff"};
    source.groups[u"carol"] = {u"users"};
    return source;
}

TEST(Driver, PagesUntilTheLastPageAndWritesEveryEnabledAccount)
{
    MemorySource source = three_accounts_over_two_pages();
    EXPECT_EQ(run_driver({}, source), "\"alice\",\"Alice A\",\"users\":\"staff\"\n\"carol\",\"Carol C\",\"users\"\n");
    EXPECT_EQ(source.page_calls, 2);
}

TEST(Driver, MoreDataWithAnEmptyPageEndsQuietly)
{
    MemorySource source;
    source.pages = {{k_status_more_data, {}}, {k_status_success, {make_account(u"never")}}};
    EXPECT_EQ(run_driver({}, source), "");
    EXPECT_EQ(source.page_calls, 1);
}

TEST(Driver, AnErrorOnALaterPageKeepsEarlierRecordsAndEndsWithItsMessage)
{
    MemorySource source;
    source.pages = {
        {k_status_more_data, {make_account(u"alice")}},
        {k_status_access_denied, {make_account(u"hidden")}},
        {k_status_success, {make_account(u"after")}},
    };
    EXPECT_EQ(run_driver({}, source), "\"alice\",\"\",\n"
                                      "The user has insufficient privilege for this operation\n");
    EXPECT_EQ(source.page_calls, 2);
    EXPECT_EQ(source.group_calls, std::vector<std::u16string>{u"alice"});
}

TEST(Driver, SelectsByQueryType)
{
    struct Case {
        std::vector<std::string> args;
        std::string expected;
    };
    const Case cases[] = {
        {{}, "\"alice\",\"Alice A\",\"users\":\"staff\"\n\"carol\",\"Carol C\",\"users\"\n"},
        {{"-Q", "enabled"}, "\"alice\",\"Alice A\",\"users\":\"staff\"\n\"carol\",\"Carol C\",\"users\"\n"},
        {{"-Q", "d"}, "\"bob\",\"Bob B\",\n"},
        {{"-Q", "a"},
         "\"alice\",\"Alice A\",\"users\":\"staff\"\n\"bob\",\"Bob B\",\n\"carol\",\"Carol C\",\"users\"\n"},
    };
    for (const Case& c : cases) {
        MemorySource source = three_accounts_over_two_pages();
        EXPECT_EQ(run_driver(c.args, source), c.expected) << (c.args.empty() ? "" : c.args.back());
    }
}

TEST(Driver, TheOperandMatchesWithOnlyAsciiCaseFolded)
{
    struct Case {
        std::string operand;
        std::u16string account;
        bool matches;
    };
    const Case cases[] = {
        {"ALICE", u"alice", true},
        {"alice", u"AlIcE", true},
        {"alic", u"alice", false},
        {"alicex", u"alice", false},
        {"\xC0", u"\u00E0", false},                 // capital A with grave is not folded
        {"J\xC3\x96RG", u"j\u00C3\u00B6rg", false}, // nor are the bytes of a UTF-8 capital
        {"j\xC3\xB6rg", u"J\u00C3\u00B6RG", true},
        {"", u"alice", false},
    };
    for (const Case& c : cases) {
        MemorySource source;
        source.pages = {{k_status_success, {make_account(c.account.c_str())}}};
        const std::string out = run_driver({c.operand}, source);
        EXPECT_EQ(!out.empty(), c.matches) << c.operand;
    }
}

TEST(Driver, TheOperandSelectsDisabledAccountsAndKeepsPagingAfterAMatch)
{
    MemorySource source = three_accounts_over_two_pages();
    EXPECT_EQ(run_driver({"BOB"}, source), "\"bob\",\"Bob B\",\n");
    EXPECT_EQ(source.page_calls, 2);
}

TEST(Driver, StructureModeWritesAtMostTheFirstAccount)
{
    MemorySource enabled_first = three_accounts_over_two_pages();
    EXPECT_EQ(run_driver({"-s"}, enabled_first), "\"name\",\"full_name\",\"group\":\"group\"\n");
    EXPECT_EQ(enabled_first.page_calls, 1);

    MemorySource disabled_first = three_accounts_over_two_pages();
    EXPECT_EQ(run_driver({"-s", "-Q", "d"}, disabled_first), "");
    EXPECT_EQ(disabled_first.page_calls, 1);
    EXPECT_TRUE(disabled_first.group_calls.empty());

    MemorySource with_operand = three_accounts_over_two_pages();
    with_operand.pages[1].records.push_back(make_account(u"Alice"));
    EXPECT_EQ(run_driver({"-s", "alice"}, with_operand),
              "\"name\",\"full_name\",\"group\":\"group\"\n\"name\",\"full_name\",\n");
    EXPECT_EQ(with_operand.page_calls, 2);
}

TEST(Driver, LooksUpGroupsOncePerWrittenRecordOnly)
{
    MemorySource source = three_accounts_over_two_pages();
    run_driver({}, source);
    EXPECT_EQ(source.group_calls, (std::vector<std::u16string>{u"alice", u"carol"}));
}

TEST(Driver, AnAccountWithoutANameIsWrittenAsNullWithoutAGroupLookup)
{
    MemorySource source;
    source.pages = {{k_status_success, {make_account(nullptr, nullptr)}}};
    EXPECT_EQ(run_driver({}, source), "\"(null)\",\"(null)\",\n");
    EXPECT_TRUE(source.group_calls.empty());
    EXPECT_EQ(run_driver({"x"}, source), "");
}

TEST(Driver, AFailedGroupLookupStillWritesTheGroupsItReported)
{
    MemorySource source = three_accounts_over_two_pages();
    source.group_status = k_status_none_mapped;
    EXPECT_EQ(run_driver({"alice"}, source), "\"alice\",\"Alice A\",\"users\":\"staff\"\n");
}

TEST(StatusMessage, EveryCodeReadsAsTheSystemWouldSayIt)
{
    const std::pair<std::uint32_t, const char*> cases[] = {
        {5, "The user has insufficient privilege for this operation\n"},
        {50, "This network request is not supported\n"},
        {53, "The network path was not found\n"},
        {65, "Network access is denied\n"},
        {124, "Invalid level parameter\n"},
        {1326, "Logon failure: unknown user name or bad password\n"},
        {1327, "Logon failure: user account restriction\n"},
        {1328, "Logon failure: account logon time restriction violation\n"},
        {1329, "Logon failure: user not allowed to log on to this computer\n"},
        {1330, "Logon failure: the specified account password has expired\n"},
        {1331, "Logon failure: account currently disabled\n"},
        {1332, "No mapping between account names and security IDs was done\n"},
        {2106, "This operation can be performed only on a server\n"},
        {2138, "The Workstation service is not started\n"},
        {2141, "The server is not configured for this transaction; IPC$ is not shared\n"},
        {2227, "Server not running in user-level security\n"},
        {2229, "Error encountered in accessing accounts database\n"},
        {2247, "The user accounts database file accounts.lmx is corrupted\n"},
        {2351, "Invalid computername specified\n"},
        {1003, "Error in NetUserEnum: 1003\n"},
        {1, "Error in NetUserEnum: 1\n"},
        {0xFFFFFFFF, "Error in NetUserEnum: -1\n"},
        {0x80000000, "Error in NetUserEnum: -2147483648\n"},
    };
    for (const auto& [status, message] : cases) {
        EXPECT_EQ(account_status_message(status), message) << status;
    }
}

TEST(Driver, AnUnknownStatusOnTheFirstPageWritesItsNumber)
{
    MemorySource source;
    source.pages = {{1003, {make_account(u"alice")}}};
    EXPECT_EQ(run_driver({}, source), "Error in NetUserEnum: 1003\n");
}

} // namespace
} // namespace tavrick::testing
