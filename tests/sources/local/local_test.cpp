// SPDX-License-Identifier: GPL-3.0-or-later
// The local source: shadow state and record as pure functions, the group lookups, nsswitch.conf.
#include <gtest/gtest.h>

#include <climits>
#include <map>

#include "sources/local/local_parts.h"
#include "text/text.h"

namespace tavrick::testing {
namespace {

constexpr long k_today = 20000; // 2024-10-04, in days
constexpr std::uint32_t k_day = 86400;
constexpr std::uint32_t k_never = 0xFFFFFFFF;
constexpr std::uint32_t k_no_expiry = k_flag_dont_expire_password;

TEST(ShadowState, FollowsTheEntryAndTheClock)
{
    struct Case {
        const char* password;
        long last_change, max_age, expire;
        std::uint32_t age, expires, flags;
        bool disabled, password_expired;
    };
    const Case cases[] = {
        {"$6$h", k_today - 1, 99999, -1, k_day + 3600, k_never, k_no_expiry, false, false},
        {"$6$h", 0, 99999, -1, 0, k_never, k_no_expiry, false, true}, // must change
        {"$6$h", k_today - 91, 90, -1, 91 * k_day + 3600, k_never, 0, false, true},
        {"$6$h", k_today - 90, 90, -1, 90 * k_day + 3600, k_never, 0, false, true},
        {"$6$h", k_today - 89, 90, -1, 89 * k_day + 3600, k_never, 0, false, false},
        {"", -1, -1, -1, 0, k_never, k_no_expiry | k_flag_password_not_required, false, false},
        {"!$6$h", -1, -1, -1, 0, k_never, k_no_expiry | k_flag_lockout, false, false}, // a key still logs on
        {"*", -1, -1, -1, 0, k_never, k_no_expiry | k_flag_lockout, false, false},
        {"*x", -1, -1, k_today, 0, k_today * k_day, k_no_expiry, true, false},
        {"$6$h", -1, -1, k_today + 1, 0, (k_today + 1) * k_day, k_no_expiry, false, false},
        {"$6$h", LONG_MAX, LONG_MAX, LONG_MAX, 0, k_never, k_no_expiry, false, false},
        {"$6$h", LONG_MIN, LONG_MIN, LONG_MIN, 0, k_never, k_no_expiry, false, false},
    };
    for (const Case& c : cases) {
        std::string password = c.password;
        const spwd entry{nullptr, password.data(), c.last_change, 0, c.max_age, 7, -1, c.expire, 0};
        const ShadowState state = shadow_state(entry, k_today * k_day + 3600);
        EXPECT_EQ(
            std::tuple(state.password_age, state.acct_expires, state.flags, state.disabled, state.password_expired),
            std::tuple(c.age, c.expires, c.flags, c.disabled, c.password_expired))
            << c.password << " " << c.last_change << " " << c.max_age << " " << c.expire;
    }
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

std::vector<std::u16string> groups_of(AccountSource& source, const std::string& name)
{
    const char16_t* const* names = nullptr;
    std::uint32_t count = 0;
    source.user_groups(widen(name).c_str(), 10240, names, count);
    return {names, names + count};
}

// Through nss_wrapper on the fixture files (see main), in this process; asked off any page.
TEST(LocalSource, BothGroupLookupsGiveTheSameListsPrimaryFirstWithoutDuplicates)
{
    const auto by_index = open_local_source({GroupLookup::member_index});
    const auto by_library = open_local_source({GroupLookup::getgrouplist});
    const std::map<std::string, std::vector<std::u16string>> cases = {
        {"root", {u"root"}},
        {"alice", {u"users", u"staff", u"devs"}},
        {"bob", {u"users", u"staff", u"ops"}},
        {"j\xC3\xB6rg", {u"users", u"devs"}},
        {"frank", {u"4242", u"ops", u"staff"}}, // a nameless primary group; gid 50 named by its first entry
        {"nobody-here", {}},
    };
    for (const auto& [name, groups] : cases) {
        EXPECT_EQ(groups_of(*by_index, name), groups) << name;
        EXPECT_EQ(groups_of(*by_library, name), groups) << name;
    }
}

TEST(GroupLookupChoice, OnlyFilesAndSystemdUseTheMemberIndex)
{
    const std::pair<const char*, bool> cases[] = {
        {"passwd: files\ngroup: files systemd\n", true},
        {"group: sss files\n", false},
        {"group: files\ninitgroups: files ldap\n", false},
        {"# group: ldap\ngroup: files # ldap later\n", true},
        {"passwd: files\n", true}, // the C library's default for groups is files
        {"initgroups:\ngroup: files\n", false},
    };
    for (const auto& [text, expected] : cases) {
        EXPECT_EQ(groups_come_from_files(text), expected) << text;
    }
}

} // namespace
} // namespace tavrick::testing
