// SPDX-License-Identifier: GPL-3.0-or-later
// The samba source without a server: the whole listing through the driver against a scripted
// stand-in for libnetapi (record mapping, group lists, status mapping, a lost connection), and where
// the credentials come from. tests/remote runs the same source against real servers.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "sources/samba/connection.h"
#include "sources/samba/credentials.h"
#include "sources/samba/library.h"
#include "sources/samba/status.h"
#include "sources/samba/wire.h"
#include "support/support.h"

namespace tavrick::testing {
namespace {

// One scripted server. Statuses and what the library prints are keyed by the call: "page N" for the
// Nth enumeration call, an account name for its group lookup.
struct Script {
    std::vector<::USER_INFO_3> accounts;
    std::map<std::string, std::vector<const char*>> groups;
    std::map<std::string, std::uint32_t> status;
    std::map<std::string, std::string> printed;
};
Script g_script;
int g_pages = 0;

// What the library prints for `call`, printed, and the status it returns.
NET_API_STATUS answer(const std::string& call, std::uint32_t otherwise)
{
    const std::string& text = g_script.printed[call];
    EXPECT_EQ(::write(STDOUT_FILENO, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    return static_cast<NET_API_STATUS>(g_script.status.contains(call) ? g_script.status[call] : otherwise);
}

template <typename Record> std::uint8_t* copy(const Record* from, std::size_t count)
{
    auto* buffer = static_cast<std::uint8_t*>(std::malloc(sizeof(Record) * count + 1));
    std::copy_n(reinterpret_cast<const std::uint8_t*>(from), sizeof(Record) * count, buffer); // from may be null
    return buffer;
}

NET_API_STATUS fake_enum(const char*, uint32_t, uint32_t, uint8_t** buffer, uint32_t, uint32_t* read, uint32_t*,
                         uint32_t* resume)
{
    const std::size_t left = g_script.accounts.size() - *resume;
    *read = static_cast<std::uint32_t>(std::min<std::size_t>(left, 2)); // two accounts a page
    std::vector<USER_INFO_0> names;
    for (std::uint32_t i = 0; i < *read; ++i) {
        names.push_back({g_script.accounts[*resume + i].usri3_name});
    }
    *buffer = copy(names.data(), names.size());
    *resume += *read;
    return answer("page " + std::to_string(++g_pages), *read < left ? 234 : 0);
}

NET_API_STATUS fake_info(const char*, const char* user, uint32_t, uint8_t** buffer)
{
    const auto found =
        std::find_if(g_script.accounts.begin(), g_script.accounts.end(),
                     [&](const ::USER_INFO_3& record) { return std::strcmp(record.usri3_name, user) == 0; });
    *buffer = found == g_script.accounts.end() ? nullptr : copy(&*found, 1);
    return answer(std::string("info ") + user, found == g_script.accounts.end() ? 1332 : 0);
}

NET_API_STATUS fake_groups(const char*, const char* user, uint32_t, uint8_t** buffer, uint32_t, uint32_t* read,
                           uint32_t*)
{
    std::vector<GROUP_USERS_INFO_1> records;
    for (const char* name : g_script.groups[user]) {
        records.push_back({name, 7});
    }
    *buffer = copy(records.data(), records.size());
    *read = static_cast<std::uint32_t>(records.size());
    return answer(user, 0);
}

// The variables the library would take credentials from by itself when a context starts.
const char* const k_credential_variables[] = {"USER", "LOGNAME", "PASSWD", "PASSWD_FILE", "PASSWD_FD"};

const NetApi k_fake = {
    .init = [](libnetapi_ctx** context) -> NET_API_STATUS {
        for (const char* name : k_credential_variables) {
            EXPECT_EQ(std::getenv(name), nullptr) << name;
        }
        return *context = reinterpret_cast<libnetapi_ctx*>(&g_script), NET_API_STATUS{};
    },
    .free = [](libnetapi_ctx*) -> NET_API_STATUS { return {}; },
    .set_username = [](libnetapi_ctx*, const char*) -> NET_API_STATUS { return {}; },
    .set_password = [](libnetapi_ctx*, const char*) -> NET_API_STATUS { return {}; },
    .set_use_kerberos = [](libnetapi_ctx*) -> NET_API_STATUS { return {}; },
    .get_error_string = [](libnetapi_ctx*, NET_API_STATUS) { return strdup("Failed to connect to IPC$ share on srv"); },
    .user_enum = fake_enum,
    .user_get_groups = fake_groups,
    .user_get_info = fake_info,
    .buffer_free = [](void* buffer) -> NET_API_STATUS { return std::free(buffer), NET_API_STATUS{}; },
};

::USER_INFO_3 account(const char* name, std::uint32_t flags = 0x201) // an enabled one by default
{
    ::USER_INFO_3 record{};
    record.usri3_name = name;
    record.usri3_full_name = "Full Name";
    record.usri3_flags = flags;
    return record;
}

struct ListingCase {
    const char* what;
    std::vector<std::string> args;
    Script script;
    std::string expected; // a name beginning with '@' stands for that fixture file's text
    friend void PrintTo(const ListingCase& c, std::ostream* out) { *out << c.what; }
};

class SambaListing : public ::testing::TestWithParam<ListingCase> {};

TEST_P(SambaListing, WritesWhatTheLibraryAnswered)
{
    const ListingCase& c = GetParam();
    g_script = c.script;
    g_pages = 0;
    std::string expected = c.expected;
    if (expected.starts_with('@')) {
        expected = read_file(std::string(TAVRICK_FIXTURES) + "/" + expected.substr(1));
    }
    for (const char* name : k_credential_variables) {
        ::setenv(name, "/dev/null", 1);
    }
    const auto open = [](std::u16string_view) {
        return open_server_listing([] { return open_samba_connection(u"srv", &k_fake); }, {1, false}, "",
                                   ConnectionProcesses::this_process);
    };
    EXPECT_EQ(run_driver(c.args, open), expected) << c.what;
}

// One record, one case, a line or two each.
// clang-format off
const unsigned char k_hours[] = {0x0F, 0xF0, 0xAA, 0x55}; // one byte more than 24 units need
const ::USER_INFO_3 k_every_field = {"j\xc3\xbcrgen", 77, 2, "\\\\srv\\home", "c", 0x10201, "s.cmd", 1,
    "J\xc3\xbcrgen Gro\xc3\x9f", "uc", nullptr, "ws1,ws2", 1700000000, 0, 159663333, 42, 24,
    const_cast<unsigned char*>(k_hours), 3, 9, "\\\\dc", 49, 850, 1105, 513, "\\\\srv\\p", "H:", 1};
const std::vector<::USER_INFO_3> k_three = {account("alice"), account("bob"), account("carol")};

const ListingCase k_listing_cases[] = {
    {"pages, the disabled left out, bytes widened one to one, groups in order", {},
     {{account("alice"), account("bj\xc3\xb6rn"), account("carol", 0x203)}, {{"alice", {"Users", "Gr\xc3\xbcn"}}}, {}, {}},
     "\"alice\",\"Full Name\",\"Users\":\"Gr\xc3\xbcn\"\n\"bj\xc3\xb6rn\",\"Full Name\",\n"},
    {"every field: the bits cut to the units, a domain controller's never, no parms", {"-a", "-F", "s", "-d", "\\n"},
     {{k_every_field}, {{"j\xc3\xbcrgen", {"Domain Users"}}}, {}, {}}, "@samba_all_fields.expected"},
    {"a lost connection in a group lookup ends the listing before that account", {},
     {k_three, {}, {{"bob", 64}}, {}}, "\"alice\",\"Full Name\",\nError in NetUserEnum: 64\n"},
    {"a group lookup that times out ends it too", {"-Q", "a"}, {k_three, {}, {{"carol", 121}}, {}},
     "\"alice\",\"Full Name\",\n\"bob\",\"Full Name\",\nError in NetUserEnum: 121\n"},
    {"a group lookup refused for one account keeps the groups it reported", {},
     {k_three, {{"alice", {"Users"}}}, {{"alice", 5}}, {}},
     "\"alice\",\"Full Name\",\"Users\"\n\"bob\",\"Full Name\",\n\"carol\",\"Full Name\",\n"},
    {"a page that fails after others: its message after their records", {}, {k_three, {}, {{"page 2", 64}}, {}},
     "\"alice\",\"Full Name\",\n\"bob\",\"Full Name\",\nError in NetUserEnum: 64\n"},
    {"a refused session, from what the library printed", {},
     {{}, {}, {{"page 1", 1003}}, {{"page 1", "session setup failed: NT_STATUS_ACCOUNT_DISABLED\n"}}},
     "Logon failure: account currently disabled\n"},
    {"an anonymous session after a refused logon is no success", {},
     {k_three, {}, {}, {{"page 1", "session setup failed: NT_STATUS_LOGON_FAILURE\nAnonymous login successful\n"}}},
     "Logon failure: unknown user name or bad password\n"},
    {"no connection at all", {}, {{}, {}, {{"page 1", 1003}}, {}}, "The network path was not found\n"},
    {"an account gone before its record is read is left out, and nobody else", {"-Q", "a"},
     {k_three, {}, {{"info bob", 1332}}, {}}, "\"alice\",\"Full Name\",\n\"carol\",\"Full Name\",\n"},
    {"an account gone before its groups are read is left out", {}, {k_three, {}, {{"alice", 2221}}, {}},
     "\"bob\",\"Full Name\",\n\"carol\",\"Full Name\",\n"},
    {"a page whose every account has gone is not the end", {},
     {{account("a"), account("b"), account("c")}, {}, {{"info a", 1332}, {"info b", 1317}}, {}},
     "\"c\",\"Full Name\",\n"},
    {"a logon refused for a group lookup ends the listing there", {},
     {k_three, {}, {{"bob", 1003}}, {{"bob", "session setup failed: NT_STATUS_ACCOUNT_LOCKED_OUT\n"}}},
     "\"alice\",\"Full Name\",\nError in NetUserEnum: 1909\n"},
};
// clang-format on

INSTANTIATE_TEST_SUITE_P(Fake, SambaListing, ::testing::ValuesIn(k_listing_cases));

TEST(SambaStatus, ReportsWhatWindowsWould)
{
    expect_table("windows_status.tsv", [](const Row& row) {
        return std::to_string(windows_status(static_cast<std::uint32_t>(std::stoul(row[0])), row[1], row[2]));
    });
    expect_table("printed_for_user.tsv", [](const Row& row) { return printed_for_user(row[0]); });
}

TEST(SambaEnvironment, GivesTheCredentialsAsSambaClientsTakeThemAndTheConnections)
{
    const LogonIdentity identity{[](const char* cache) { return std::string(cache) == "FILE:/tmp/c" ? "t@R" : ""; },
                                 [] { return std::string("me"); }};
    const std::string file = ::testing::TempDir() + "tavrick-password-" + std::to_string(::getpid());
    expect_table("server_credentials.tsv", [&](const Row& row) {
        std::map<std::string, std::string> environment;
        std::istringstream words(row[0]);
        for (std::string word; std::getline(words, word, ' ');) {
            std::string value = word.substr(word.find('=') + 1);
            if (value.starts_with('=')) {
                std::ofstream(file, std::ios::binary) << value.substr(1);
                value = file;
            }
            environment[word.substr(0, word.find('='))] = value;
        }
        const ServerCredentials got = server_credentials(
            [&](const char* name) -> const char* {
                const auto found = environment.find(name);
                return found == environment.end() ? nullptr : found->second.c_str();
            },
            identity);
        return got.user + "|" + got.password + "|" + (got.use_kerberos ? "kerberos" : "") + "|" + got.problem;
    });
    std::remove(file.c_str());
    expect_table("server_connections.tsv", [](const Row& row) {
        const ServerConnections got = server_connections(row[0] == "-" ? nullptr : row[0].c_str());
        return std::to_string(got.limit) + (got.automatic ? " automatic" : "");
    });
}

} // namespace
} // namespace tavrick::testing
