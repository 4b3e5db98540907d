// The local source against the fixture account files, read through nss_wrapper in this process.
#include <gtest/gtest.h>
#include <unistd.h>
#include <utmp.h>

#include <cstdio>
#include <cstdlib>
#include <map>

#include "sources/sources.h"
#include "support/support.h"

namespace tavrick::testing {
namespace {

constexpr std::time_t k_now = 20000L * 86400; // 2024-10-04, a fixed clock for ages and expiry

std::string narrow(const char16_t* units)
{
    std::string bytes;
    for (; units != nullptr && *units != u'\0'; ++units) {
        bytes.push_back(static_cast<char>(*units));
    }
    return bytes;
}

struct Account {
    std::string name, full_name, comment, shell;
    std::uint32_t flags = 0, password_age = 0, acct_expires = 0, password_expired = 0, priv = 0, gid = 0;
};

std::vector<Account> read_all(AccountSource& source)
{
    std::vector<Account> accounts;
    std::uint32_t resume = 0;
    std::uint32_t status = k_status_more_data;
    while (status == k_status_more_data) {
        const USER_INFO_3* records = nullptr;
        std::uint32_t count = 0;
        status = source.enumerate_page(1024, resume, records, count);
        for (std::uint32_t i = 0; i < count; ++i) {
            const USER_INFO_3& r = records[i];
            accounts.push_back({narrow(r.name), narrow(r.full_name), narrow(r.comment), narrow(r.script_path), r.flags,
                                r.password_age, r.acct_expires, r.password_expired, r.priv, r.primary_group_id});
        }
    }
    EXPECT_EQ(status, k_status_success);
    return accounts;
}

class LocalSource : public ::testing::Test {
  protected:
    void SetUp() override
    {
        // Without nss_wrapper these tests would read the machine's own accounts.
        const char* passwd = std::getenv("NSS_WRAPPER_PASSWD");
        if (passwd == nullptr || std::string(passwd) != fixture_environment().at("NSS_WRAPPER_PASSWD")) {
            GTEST_FAIL() << "run under ctest, which sets nss_wrapper and the fixture files";
        }
    }
};

TEST_F(LocalSource, EveryAccountOnceWithItsStateFromShadow)
{
    LocalSourceOptions options;
    options.now = k_now;
    const auto source = open_local_source(options);
    const std::vector<Account> accounts = read_all(*source);

    const std::uint32_t normal = 0x201;
    const std::uint32_t no_expiry = 0x10000;
    const std::uint32_t disabled = 0x2;
    const std::uint32_t age = 0; // changed in the future
    const std::uint32_t never = 0xFFFFFFFF;
    const std::vector<Account> expected = {
        {"root", "root", "", "/bin/bash", normal | no_expiry, age, never, 0, 2, 0},
        {"alice", "Alice M\xC3\xBCller", "Room 1", "/bin/bash", normal | no_expiry, age, never, 0, 1, 100},
        {"bob", "Bob Builder", "Site B,555-1234,,extra", "/bin/sh", normal | no_expiry, age, 24000U * 86400, 0, 1, 100},
        {"j\xC3\xB6rg", "J\xC3\xB6rg \xC3\x84rger", "", "/bin/bash", normal | no_expiry, age, never, 0, 1, 100},
        {"carol", "Carol Locked", "", "/bin/bash", normal | no_expiry | disabled, age, never, 0, 1, 100},
        {"dave", "Dave Expired", "", "/bin/bash", normal | no_expiry | disabled, age, 86400, 0, 1, 100},
        {"erin", "Erin Service", "", "/usr/sbin/nologin", normal | no_expiry | disabled, age, never, 0, 1, 100},
        {"frank", "Frank Nameless", "", "/bin/bash", normal | no_expiry, age, never, 0, 1, 4242},
        {"grace", "Grace Open", "", "/bin/bash", normal | no_expiry | 0x20, age, never, 0, 1, 100},
        {"heidi", "Heidi Change", "", "/bin/bash", normal | no_expiry, 0, never, 1, 1, 100},
        {"ivan", "", "", "/bin/false", normal | no_expiry | disabled, age, never, 0, 1, 100},
        {"judy", "Judy Noshadow", "", "/bin/bash", normal, 0, never, 0, 1, 100},
        {"kate", "Kate Stale", "", "/bin/bash", normal, 0, never, 0, 1, 100},
    };
    ASSERT_EQ(accounts.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        const Account& a = accounts[i];
        const Account& e = expected[i];
        EXPECT_EQ(a.name, e.name);
        EXPECT_EQ(a.full_name, e.full_name) << e.name;
        EXPECT_EQ(a.comment, e.comment) << e.name;
        EXPECT_EQ(a.shell, e.shell) << e.name;
        EXPECT_EQ(a.flags, e.flags) << e.name;
        EXPECT_EQ(a.password_age, e.password_age) << e.name;
        EXPECT_EQ(a.acct_expires, e.acct_expires) << e.name;
        EXPECT_EQ(a.password_expired, e.password_expired) << e.name;
        EXPECT_EQ(a.priv, e.priv) << e.name;
        EXPECT_EQ(a.gid, e.gid) << e.name;
    }
}

std::vector<std::string> groups_of(AccountSource& source, const std::string& name)
{
    std::u16string units;
    for (const char byte : name) {
        units.push_back(static_cast<unsigned char>(byte));
    }
    const char16_t* const* names = nullptr;
    std::uint32_t count = 0;
    source.user_groups(units.c_str(), 10240, names, count);
    std::vector<std::string> groups;
    for (std::uint32_t i = 0; i < count; ++i) {
        groups.push_back(narrow(names[i]));
    }
    return groups;
}

TEST_F(LocalSource, BothGroupLookupsGiveTheSameListsPrimaryFirstWithoutDuplicates)
{
    LocalSourceOptions index_options;
    index_options.group_lookup = GroupLookup::member_index;
    LocalSourceOptions library_options;
    library_options.group_lookup = GroupLookup::getgrouplist;
    const auto by_index = open_local_source(index_options);
    const auto by_library = open_local_source(library_options);

    const std::map<std::string, std::vector<std::string>> expected = {
        {"root", {"root"}},
        {"alice", {"users", "staff", "devs"}},
        {"bob", {"users", "staff", "ops"}},
        {"j\xC3\xB6rg", {"users", "devs"}},
        {"erin", {"users", "ops"}},
        {"frank", {"4242", "ops", "staff"}}, // a nameless primary group; gid 50 named by its first entry
        {"judy", {"users"}},
    };
    for (const Account& account : read_all(*by_index)) {
        const std::vector<std::string> from_index = groups_of(*by_index, account.name);
        EXPECT_EQ(from_index, groups_of(*by_library, account.name)) << account.name;
        const auto known = expected.find(account.name);
        if (known != expected.end()) {
            EXPECT_EQ(from_index, known->second) << account.name;
        }
    }
    EXPECT_TRUE(groups_of(*by_index, "nobody-here").empty());
}

TEST(GroupLookupChoice, OnlyFilesAndSystemdUseTheMemberIndex)
{
    const std::pair<const char*, bool> cases[] = {
        {"passwd: files\ngroup: files systemd\n", true},
        {"group:files\n", true},
        {"group: files [SUCCESS=merge] systemd\n", true},
        {"group: files [ NOTFOUND=return ] systemd\n", true},
        {"group: sss files\n", false},
        {"group: files winbind\n", false},
        {"group: compat\n", false},
        {"group: files\ninitgroups: files ldap\n", false},
        {"group: ldap files\ninitgroups: files\n", true},
        {"# group: ldap\ngroup: files # ldap later\n", true},
        {"passwd: files\n", true}, // the C library's default for groups is files
        {"initgroups:\ngroup: files\n", false},
    };
    for (const auto& [text, expected] : cases) {
        EXPECT_EQ(groups_come_from_files(text), expected) << text;
    }
}

TEST(Lastlog, ReadsTheLoginTimeOfAUid)
{
    char path[] = "/tmp/tavrick-lastlog-XXXXXX";
    const int fd = ::mkstemp(path);
    ASSERT_GE(fd, 0);
    struct lastlog entry {};
    entry.ll_time = 1700000000;
    ASSERT_EQ(::pwrite(fd, &entry, sizeof entry, 3 * sizeof entry), static_cast<ssize_t>(sizeof entry));
    ::close(fd);

    LastlogReader reader(path);
    EXPECT_EQ(reader.last_login(3), 1700000000U);
    EXPECT_EQ(reader.last_login(0), 0U);
    EXPECT_EQ(reader.last_login(4), 0U);
    EXPECT_EQ(reader.last_login(4000000000U), 0U);
    ::unlink(path);

    LastlogReader missing("/nonexistent/lastlog");
    EXPECT_EQ(missing.last_login(3), 0U);
}

} // namespace
} // namespace tavrick::testing
