// SPDX-License-Identifier: GPL-3.0-or-later
// The local source: shadow state and record as pure functions, the group lookups, nsswitch.conf,
// an enumeration that fails, lastlog.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>
#include <utmp.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "sources/local/local_parts.h"
#include "support/support.h"
#include "text/text.h"

namespace {
int g_end_of_accounts_errno = 0; // when set, the errno that the end of the accounts leaves
} // namespace

// The C library's (nss_wrapper's here), with the end of the accounts as the test asks for it.
extern "C" passwd* getpwent()
{
    static const auto next = reinterpret_cast<passwd* (*)()>(::dlsym(RTLD_NEXT, "getpwent"));
    passwd* entry = next();
    if (entry == nullptr && g_end_of_accounts_errno != 0) {
        errno = g_end_of_accounts_errno;
    }
    return entry;
}

namespace tavrick::testing {
namespace {

constexpr std::uint32_t k_day = 86400;
constexpr std::uint32_t k_never = 0xFFFFFFFF;
constexpr std::uint32_t k_no_expiry = k_flag_dont_expire_password;

TEST(ShadowState, FollowsTheEntryAndTheClock)
{
    expect_table("shadow_state.tsv", [](Row row) {
        const spwd entry{nullptr, row[0].data(), std::stol(row[1]), 0, std::stol(row[2]), 7, -1, std::stol(row[3]), 0};
        const ShadowState state = shadow_state(entry, 20000 * k_day + 3600);
        std::ostringstream out;
        out << state.password_age << " " << state.acct_expires << " 0x" << std::hex << state.flags
            << (state.disabled ? " disabled" : "") << (state.password_expired ? " expired" : "");
        return out.str();
    });
}

TEST(AccountRecord, FromThePasswdEntryAndTheShadowState)
{
    constexpr std::uint32_t k_normal = k_flag_script | k_flag_normal_account;
    const ShadowState expired{5, k_day, k_no_expiry, true, true};
    struct Case {
        uid_t uid;
        const char *gecos, *shell;
        const ShadowState* shadow;
        std::u16string full_name, comment;
        std::uint32_t priv, flags, age, expires;
    };
    const Case cases[] = {
        {7, "A B,Room 1,,x", "/bin/sh", nullptr, u"A B", u"Room 1,,x", 1, k_normal, 0, k_never},
        {7, ",", "/usr/sbin/nologin", nullptr, u"", u"", 1, k_normal | k_flag_disabled, 0, k_never},
        {7, nullptr, "false", nullptr, u"", u"", 1, k_normal | k_flag_disabled, 0, k_never},
        {7, "A", "/bin/false-ish", &expired, u"A", u"", 1, k_normal | k_no_expiry | k_flag_disabled, 5, k_day},
    };
    for (const Case& c : cases) {
        std::string name = "n\xE9", gecos = c.gecos != nullptr ? c.gecos : "", shell = c.shell, home = "/h";
        const passwd entry{name.data(), nullptr,     c.uid, 9, c.gecos != nullptr ? gecos.data() : nullptr,
                           home.data(), shell.data()};
        TextStore text;
        const USER_INFO_3 record = account_record(entry, c.shadow, 1234, text);
        using Text = std::u16string_view;
        EXPECT_EQ(std::tuple(Text(record.name), Text(record.full_name), Text(record.comment), Text(record.script_path),
                             Text(record.home_dir)),
                  std::tuple(Text(u"n\u00E9"), Text(c.full_name), Text(c.comment), Text(widen(shell)), Text(u"/h")))
            << shell;
        EXPECT_EQ(std::tuple(record.priv, record.flags, record.password_age, record.acct_expires),
                  std::tuple(c.priv, c.flags, c.age, c.expires))
            << shell;
        EXPECT_EQ(std::tuple(record.password_expired, record.last_logon, record.user_id, record.password),
                  std::tuple(c.shadow != nullptr ? 1U : 0U, 1234U, c.uid, nullptr));
    }
}

// Through nss_wrapper on the fixture files (see main), in this process; asked off any page.
TEST(LocalSource, BothGroupLookupsGiveTheSameListsPrimaryFirstWithoutDuplicates)
{
    const auto by_index = open_local_source({GroupLookup::member_index});
    const auto by_library = open_local_source({GroupLookup::getgrouplist});
    expect_table("local_groups.tsv", [&](const Row& row) {
        std::string lists[2];
        for (int i = 0; i < 2; ++i) {
            const char16_t* const* names = nullptr;
            std::uint32_t count = 0;
            (i == 0 ? by_index : by_library)->user_groups(widen(row[0]).c_str(), 10240, names, count);
            for (std::uint32_t k = 0; k < count; ++k) {
                lists[i] += (k == 0 ? "" : ":") + encode_units(names[k]);
            }
        }
        return lists[0] == lists[1] ? lists[0] : lists[0] + " by the index, " + lists[1] + " by getgrouplist";
    });
}

TEST(GroupLookupChoice, OnlyFilesAndSystemdUseTheMemberIndex)
{
    expect_table("groups_come_from_files.tsv",
                 [](const Row& row) { return groups_come_from_files(row[0]) ? "member index" : "getgrouplist"; });
}

// An enumeration that ends in an error fails the page; at its normal end errno may hold anything.
TEST(LocalSource, AnEnumerationThatEndsInAnErrorFailsThePage)
{
    for (const auto& [error, status] : {std::pair{EIO, k_status_accounts_database},
                                        {ENOMEM, k_status_accounts_database},
                                        {ENOENT, k_status_success}}) {
        g_end_of_accounts_errno = error;
        const USER_INFO_3* records = nullptr;
        std::uint32_t resume_handle = 0, count = 0;
        EXPECT_EQ(open_local_source()->enumerate_page(0, resume_handle, records, count), status) << error;
    }
    g_end_of_accounts_errno = 0;
}

// Records of uids 0 to 2, each time the uid plus 100, asked for out of order and past the end.
TEST(Lastlog, GivesTheRecordOfTheUid)
{
    const std::string path = ::testing::TempDir() + "tavrick-lastlog-" + std::to_string(::getpid());
    std::ofstream file(path, std::ios::binary);
    for (std::int32_t uid = 0; uid < 3; ++uid) {
        const lastlog entry{100 + uid, {}, {}};
        file.write(reinterpret_cast<const char*>(&entry), sizeof entry);
    }
    file.close();
    LastlogReader reader(path);
    for (const auto& [uid, time] : {std::pair{2U, 102U}, {0U, 100U}, {1U, 101U}, {3U, 0U}}) {
        EXPECT_EQ(reader.last_login(uid), time) << uid;
    }
    std::remove(path.c_str());
}

} // namespace
} // namespace tavrick::testing
