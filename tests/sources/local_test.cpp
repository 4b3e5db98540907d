// The local source: the record and shadow state of one entry as pure functions, the two group
// lookups against each other on the fixture files, the nsswitch.conf rule, the lastlog reader.
#include <gtest/gtest.h>
#include <unistd.h>
#include <utmp.h>

#include <climits>
#include <map>

#include "output/output.h" // widen
#include "sources/local_seams.h"
#include "support/support.h"

namespace tavrick::testing {
namespace {

constexpr long k_today = 20000; // 2024-10-04, the clock of these tests, in days
constexpr std::time_t k_now = k_today * 86400 + 3600;
constexpr std::uint32_t k_never = 0xFFFFFFFF;
constexpr std::uint32_t k_no_expiry = k_flag_dont_expire_password;

TEST(ShadowState, FollowsTheEntryAndTheClock)
{
    struct Case {
        const char* name;
        spwd entry;           // name, password, last change, min, max, warn, inactive, expire, flag
        ShadowState expected; // age, expires, flags, disabled, password expired
    };
    const Case cases[] = {
        {"changed a day ago",
         {nullptr, (char*)"$6$h", k_today - 1, 0, 99999, 7, -1, -1, 0},
         {86400 + 3600, k_never, k_no_expiry, false, false}},
        {"changed in the future",
         {nullptr, (char*)"$6$h", k_today + 5, 0, 99999, 7, -1, -1, 0},
         {0, k_never, k_no_expiry, false, false}},
        {"must change", {nullptr, (char*)"$6$h", 0, 0, 99999, 7, -1, -1, 0}, {0, k_never, k_no_expiry, false, true}},
        {"no change date",
         {nullptr, (char*)"$6$h", -1, -1, -1, -1, -1, -1, 0},
         {0, k_never, k_no_expiry, false, false}},
        {"maximum age passed",
         {nullptr, (char*)"$6$h", k_today - 91, 0, 90, 7, -1, -1, 0},
         {91 * 86400 + 3600, k_never, 0, false, true}},
        {"maximum age ends today",
         {nullptr, (char*)"$6$h", k_today - 90, 0, 90, 7, -1, -1, 0},
         {90 * 86400 + 3600, k_never, 0, false, true}},
        {"maximum age ahead",
         {nullptr, (char*)"$6$h", k_today - 89, 0, 90, 7, -1, -1, 0},
         {89 * 86400 + 3600, k_never, 0, false, false}},
        {"no password",
         {nullptr, (char*)"", -1, -1, -1, -1, -1, -1, 0},
         {0, k_never, k_no_expiry | k_flag_password_not_required, false, false}},
        {"locked", {nullptr, (char*)"!$6$h", -1, -1, -1, -1, -1, -1, 0}, {0, k_never, k_no_expiry, true, false}},
        {"no login", {nullptr, (char*)"*", -1, -1, -1, -1, -1, -1, 0}, {0, k_never, k_no_expiry, true, false}},
        {"expired",
         {nullptr, (char*)"$6$h", -1, -1, -1, -1, -1, k_today, 0},
         {0, k_today * 86400U, k_no_expiry, true, false}},
        {"expires tomorrow",
         {nullptr, (char*)"$6$h", -1, -1, -1, -1, -1, k_today + 1, 0},
         {0, (k_today + 1) * 86400U, k_no_expiry, false, false}},
        {"expires past 2106",
         {nullptr, (char*)"$6$h", -1, -1, -1, -1, -1, 50000, 0},
         {0, k_never, k_no_expiry, false, false}},
        {"day counts beyond 64-bit seconds",
         {nullptr, (char*)"$6$h", LONG_MAX, 0, LONG_MAX, 7, -1, LONG_MAX, 0},
         {0, k_never, k_no_expiry, false, false}},
        {"negative extremes",
         {nullptr, (char*)"$6$h", LONG_MIN, 0, LONG_MIN, 7, -1, LONG_MIN, 0},
         {0, k_never, k_no_expiry, false, false}},
    };
    for (const Case& c : cases) {
        const ShadowState state = shadow_state(c.entry, k_now);
        EXPECT_EQ(state.password_age, c.expected.password_age) << c.name;
        EXPECT_EQ(state.acct_expires, c.expected.acct_expires) << c.name;
        EXPECT_EQ(state.flags, c.expected.flags) << c.name;
        EXPECT_EQ(state.disabled, c.expected.disabled) << c.name;
        EXPECT_EQ(state.password_expired, c.expected.password_expired) << c.name;
    }
}

TEST(AccountRecord, FromThePasswdEntryAndTheShadowState)
{
    constexpr std::uint32_t k_normal = k_flag_script | k_flag_normal_account;
    const ShadowState locked{5, 86400, k_no_expiry, true, true};
    struct Case {
        passwd entry; // name, password, uid, gid, gecos, home, shell
        const ShadowState* shadow;
        std::u16string full_name, comment;
        std::uint32_t priv, flags, age, expires, password_expired;
    };
    const Case cases[] = {
        {{(char*)"root", (char*)"x", 0, 0, (char*)"root", (char*)"/root", (char*)"/bin/sh"},
         nullptr,
         u"root",
         u"",
         2,
         k_normal,
         0,
         k_never,
         0},
        {{(char*)"a", (char*)"x", 7, 9, (char*)"A B,Room 1,,x", (char*)"/h", (char*)"/bin/sh"},
         nullptr,
         u"A B",
         u"Room 1,,x",
         1,
         k_normal,
         0,
         k_never,
         0},
        {{(char*)"a", (char*)"x", 7, 9, (char*)",", (char*)"/h", (char*)"/usr/sbin/nologin"},
         nullptr,
         u"",
         u"",
         1,
         k_normal | k_flag_disabled,
         0,
         k_never,
         0},
        {{(char*)"a", (char*)"x", 7, 9, nullptr, nullptr, (char*)"false"},
         nullptr,
         u"",
         u"",
         1,
         k_normal | k_flag_disabled,
         0,
         k_never,
         0},
        {{(char*)"a", (char*)"x", 7, 9, (char*)"A", (char*)"/h", (char*)"/bin/false-ish"},
         &locked,
         u"A",
         u"",
         1,
         k_normal | k_no_expiry | k_flag_disabled,
         5,
         86400,
         1},
    };
    for (const Case& c : cases) {
        TextStore text;
        const USER_INFO_3 record = account_record(c.entry, c.shadow, 1234, text);
        EXPECT_EQ(std::u16string_view(record.name), widen(c.entry.pw_name));
        EXPECT_EQ(record.password, nullptr);
        EXPECT_EQ(record.full_name, c.full_name) << c.entry.pw_shell;
        EXPECT_EQ(record.comment, c.comment) << c.entry.pw_shell;
        EXPECT_EQ(record.script_path, widen(c.entry.pw_shell));
        EXPECT_EQ(record.priv, c.priv);
        EXPECT_EQ(record.flags, c.flags) << c.entry.pw_shell;
        EXPECT_EQ(record.password_age, c.age);
        EXPECT_EQ(record.acct_expires, c.expires);
        EXPECT_EQ(record.password_expired, c.password_expired);
        EXPECT_EQ(record.last_logon, 1234U);
        EXPECT_EQ(record.user_id, c.entry.pw_uid);
        EXPECT_EQ(record.primary_group_id, c.entry.pw_gid);
    }
}

std::vector<std::string> groups_of(AccountSource& source, const std::string& name)
{
    const std::u16string units = widen(name);
    const char16_t* const* names = nullptr;
    std::uint32_t count = 0;
    source.user_groups(units.c_str(), 10240, names, count);
    std::vector<std::string> groups;
    for (std::uint32_t i = 0; i < count; ++i) {
        groups.emplace_back(names[i], names[i] + std::char_traits<char16_t>::length(names[i]));
    }
    return groups;
}

// On the fixture files, through nss_wrapper in this process; asked off any page, as a source
// that was not enumerated is.
TEST(LocalSource, BothGroupLookupsGiveTheSameListsPrimaryFirstWithoutDuplicates)
{
    LocalSourceOptions index_options;
    index_options.group_lookup = GroupLookup::member_index;
    LocalSourceOptions library_options;
    library_options.group_lookup = GroupLookup::getgrouplist;
    const auto by_index = open_local_source(index_options);
    const auto by_library = open_local_source(library_options);
    const std::map<std::string, std::vector<std::string>> cases = {
        {"root", {"root"}},
        {"alice", {"users", "staff", "devs"}},
        {"bob", {"users", "staff", "ops"}},
        {"j\xC3\xB6rg", {"users", "devs"}},
        {"erin", {"users", "ops"}},
        {"frank", {"4242", "ops", "staff"}}, // a nameless primary group; gid 50 named by its first entry
        {"judy", {"users"}},
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
    struct lastlog entry {};
    entry.ll_time = 1700000000;
    ASSERT_EQ(::pwrite(fd, &entry, sizeof entry, 3 * sizeof entry), static_cast<ssize_t>(sizeof entry));
    ::close(fd);
    LastlogReader reader(path);
    const std::pair<uid_t, std::uint32_t> cases[] = {{3, 1700000000}, {0, 0}, {4, 0}, {4000000000U, 0}};
    for (const auto& [uid, time] : cases) {
        EXPECT_EQ(reader.last_login(uid), time) << uid;
    }
    ::unlink(path);
    EXPECT_EQ(LastlogReader("/nonexistent/lastlog").last_login(3), 0U);
}

} // namespace
} // namespace tavrick::testing
