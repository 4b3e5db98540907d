// The samba source's pure parts: which status a libnetapi failure is reported as, and where the
// credentials come from. The source itself runs against a real server in tests/remote.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <fstream>
#include <map>
#include <string>

#include "sources/sources.h"

namespace tavrick::testing {
namespace {

constexpr const char* k_no_connection = "Failed to connect to IPC$ share on dc01";

// A test name from a case's description: its letters and digits, words joined by underscores.
template <typename Case> std::string case_name(const ::testing::TestParamInfo<Case>& info)
{
    std::string name;
    for (const char* c = info.param.what; *c != '\0'; ++c) {
        if (std::isalnum(static_cast<unsigned char>(*c)) != 0) {
            name.push_back(*c);
        } else if (!name.empty() && name.back() != '_') {
            name.push_back('_');
        }
    }
    while (!name.empty() && name.back() == '_') {
        name.pop_back();
    }
    return name;
}

struct StatusCase {
    const char* what;
    std::uint32_t status;
    const char* error_text;
    const char* printed;
    std::uint32_t expected;
};

void PrintTo(const StatusCase& c, std::ostream* out)
{
    *out << c.what;
}

class WindowsStatus : public ::testing::TestWithParam<StatusCase> {};

TEST_P(WindowsStatus, ReportsWhatWindowsWould)
{
    const StatusCase& c = GetParam();
    EXPECT_EQ(windows_status(c.status, c.error_text, c.printed), c.expected) << c.what;
}

const StatusCase k_status_cases[] = {
    {"no session attempted: unresolved or not answering", 1003, k_no_connection, "", 53},
    {"protocol negotiation failed", 1003, k_no_connection,
     "Protocol negotiation to server dc01 (for a protocol between SMB2_02 and SMB3_11) failed: "
     "NT_STATUS_CONNECTION_RESET\n",
     53},
    {"wrong password", 1003, k_no_connection, "session setup failed: NT_STATUS_LOGON_FAILURE\n", 1326},
    {"wrong password, printed twice", 1003, k_no_connection,
     "session setup failed: NT_STATUS_LOGON_FAILURE\nsession setup failed: NT_STATUS_LOGON_FAILURE\n", 1326},
    {"the last attempt gives the reason", 1003, k_no_connection,
     "session setup failed: NT_STATUS_INVALID_PARAMETER\nsession setup failed: NT_STATUS_ACCOUNT_DISABLED\n", 1331},
    {"wrong password without a line end", 1003, k_no_connection, "session setup failed: NT_STATUS_WRONG_PASSWORD",
     1326},
    {"unknown user", 1003, k_no_connection, "session setup failed: NT_STATUS_NO_SUCH_USER\n", 1326},
    {"disabled account", 1003, k_no_connection, "session setup failed: NT_STATUS_ACCOUNT_DISABLED\n", 1331},
    {"expired password", 1003, k_no_connection, "session setup failed: NT_STATUS_PASSWORD_EXPIRED\n", 1330},
    {"password to change first", 1003, k_no_connection, "session setup failed: NT_STATUS_PASSWORD_MUST_CHANGE\n", 1907},
    {"account restriction", 1003, k_no_connection, "session setup failed: NT_STATUS_ACCOUNT_RESTRICTION\n", 1327},
    {"outside logon hours", 1003, k_no_connection, "session setup failed: NT_STATUS_INVALID_LOGON_HOURS\n", 1328},
    {"workstation not allowed", 1003, k_no_connection, "session setup failed: NT_STATUS_INVALID_WORKSTATION\n", 1329},
    {"expired account", 1003, k_no_connection, "session setup failed: NT_STATUS_ACCOUNT_EXPIRED\n", 1793},
    {"locked out", 1003, k_no_connection, "session setup failed: NT_STATUS_ACCOUNT_LOCKED_OUT\n", 1909},
    {"logon type not granted", 1003, k_no_connection, "session setup failed: NT_STATUS_LOGON_TYPE_NOT_GRANTED\n", 1385},
    {"session refused with access denied", 1003, k_no_connection, "session setup failed: NT_STATUS_ACCESS_DENIED\n", 5},
    {"session timed out", 1003, k_no_connection, "session setup failed: NT_STATUS_IO_TIMEOUT\n", 53},
    {"any other refused session is a logon failure", 1003, k_no_connection,
     "session setup failed: NT_STATUS_INVALID_PARAMETER\n", 1326},
    {"Kerberos without a ticket", 1003, k_no_connection,
     "session setup failed: NT_STATUS_MORE_PROCESSING_REQUIRED\ndid you forget to run kinit?\n", 1326},
    {"Kerberos not even tried: no user principal", 1003, k_no_connection,
     "Kerberos auth with '(null)' (EXAMPLE\\) to access 'dc1.example.test' not possible\n"
     "session setup failed: NT_STATUS_ACCESS_DENIED\n",
     1326},
    {"Kerberos not even tried: a server address", 1003, k_no_connection,
     "Kerberos auth with 'Administrator@EXAMPLE.TEST' (EXAMPLE\\Administrator) to access '127.0.0.3' not possible\n"
     "session setup failed: NT_STATUS_ACCESS_DENIED\n",
     1326},
    {"IPC$ refused", 1003, k_no_connection, "tree connect failed: NT_STATUS_ACCESS_DENIED\n", 5},
    {"network access refused", 1003, k_no_connection, "tree connect failed: NT_STATUS_NETWORK_ACCESS_DENIED\n", 65},
    {"no IPC$ share", 1003, k_no_connection, "tree connect failed: NT_STATUS_BAD_NETWORK_NAME\n", 67},
    {"any other refused IPC$ is access denied", 1003, k_no_connection, "tree connect failed: NT_STATUS_NO_MEMORY\n", 5},
    {"anonymous fallback after a refused logon is no success", 0, "",
     "session setup failed: NT_STATUS_LOGON_FAILURE\nAnonymous login successful\n", 1326},
    {"nor is a first page of one", 234, "",
     "session setup failed: NT_STATUS_LOGON_FAILURE\nAnonymous login successful\n", 1326},
    {"success", 0, "", "", 0},
    {"more data", 234, "", "", 234},
    {"access denied by the server passes through", 5, "", "", 5},
    {"unknown account passes through", 1332, "", "", 1332},
    {"a pipe that does not open passes through", 2152, "failed to open PIPE samr: The object name is not found.", "",
     2152},
    {"1003 for another reason stays 1003", 1003, "Cannot complete this function.", "", 1003},
};

INSTANTIATE_TEST_SUITE_P(Failures, WindowsStatus, ::testing::ValuesIn(k_status_cases), case_name<StatusCase>);

struct ExpiryCase {
    const char* what;
    std::uint32_t from_library;
    std::uint32_t expected;
};

void PrintTo(const ExpiryCase& c, std::ostream* out)
{
    *out << c.what;
}

class AccountExpiry : public ::testing::TestWithParam<ExpiryCase> {};

TEST_P(AccountExpiry, ReportsWhatWindowsWould)
{
    const ExpiryCase& c = GetParam();
    EXPECT_EQ(windows_account_expiry(c.from_library), c.expected) << c.what;
}

const ExpiryCase k_expiry_cases[] = {
    // 1975-01-22 22:55:33 UTC: the low 32 bits of the seconds from 1970 to the largest NT time.
    {"a domain controller's never expires", 159663333, 0xFFFFFFFF},
    {"the second before it is a date", 159663332, 159663332},
    {"the second after it is a date", 159663334, 159663334},
    {"a date", 1907755200, 1907755200},
    {"never as Windows reports it", 0xFFFFFFFF, 0xFFFFFFFF},
    {"an NT time of 0", 0, 0},
};

INSTANTIATE_TEST_SUITE_P(Times, AccountExpiry, ::testing::ValuesIn(k_expiry_cases), case_name<ExpiryCase>);

struct CredentialCase {
    const char* what;
    std::map<std::string, std::string> environment;
    ServerCredentials expected;
};

void PrintTo(const CredentialCase& c, std::ostream* out)
{
    *out << c.what;
}

std::string password_file(const std::string& content)
{
    // ctest runs each case in a process of its own, side by side.
    const std::string path = ::testing::TempDir() + "tavrick-password-" + std::to_string(::getpid());
    std::ofstream(path, std::ios::binary) << content;
    return path;
}

class Credentials : public ::testing::TestWithParam<CredentialCase> {};

TEST_P(Credentials, ComeFromTheEnvironmentAsSambaClientsTakeThem)
{
    const CredentialCase& c = GetParam();
    std::map<std::string, std::string> environment = c.environment;
    std::string written;
    if (auto file = environment.find("PASSWD_FILE"); file != environment.end() && file->second.starts_with("=")) {
        written = file->second = password_file(file->second.substr(1));
    }
    const ServerCredentials got = server_credentials([&](const char* name) -> const char* {
        const auto found = environment.find(name);
        return found == environment.end() ? nullptr : found->second.c_str();
    });
    if (!written.empty()) {
        std::remove(written.c_str());
    }
    EXPECT_EQ(got.user, c.expected.user) << c.what;
    EXPECT_EQ(got.password, c.expected.password) << c.what;
    EXPECT_EQ(got.use_kerberos, c.expected.use_kerberos) << c.what;
}

// A PASSWD_FILE value that begins with '=' stands for a file holding the rest.
const CredentialCase k_credential_cases[] = {
    {"nothing set", {}, {"", "", false, ""}},
    {"a user without a password", {{"USER", "alice"}}, {"alice", "", false, ""}},
    {"a user with a password", {{"USER", "alice%s3cret"}}, {"alice", "s3cret", false, ""}},
    {"the password runs from the first %", {{"USER", "alice%a%b"}}, {"alice", "a%b", false, ""}},
    {"an empty password after %", {{"USER", "alice%"}}, {"alice", "", false, ""}},
    {"a domain and a user", {{"USER", "CORP\\alice%pw"}}, {"CORP\\alice", "pw", false, ""}},
    {"LOGNAME when USER is unset", {{"LOGNAME", "bob"}}, {"bob", "", false, ""}},
    {"USER before LOGNAME", {{"USER", "alice"}, {"LOGNAME", "bob"}}, {"alice", "", false, ""}},
    {"an empty USER is still set", {{"USER", ""}, {"LOGNAME", "bob"}}, {"", "", false, ""}},
    {"PASSWD replaces the password in USER", {{"USER", "alice%old"}, {"PASSWD", "new"}}, {"alice", "new", false, ""}},
    {"an empty PASSWD replaces it too", {{"USER", "alice%old"}, {"PASSWD", ""}}, {"alice", "", false, ""}},
    {"PASSWD_FILE's first line replaces PASSWD",
     {{"USER", "alice"}, {"PASSWD", "old"}, {"PASSWD_FILE", "=from file\nsecond line\n"}},
     {"alice", "from file", false, ""}},
    {"a PASSWD_FILE without a line feed", {{"USER", "alice"}, {"PASSWD_FILE", "=whole"}}, {"alice", "whole", false, ""}},
    {"an unreadable PASSWD_FILE leaves the password",
     {{"USER", "alice%kept"}, {"PASSWD_FILE", "/nonexistent/tavrick-password"}},
     {"alice", "kept", false, ""}},
    {"an empty PASSWD_FILE name is ignored", {{"USER", "alice%kept"}, {"PASSWD_FILE", ""}}, {"alice", "kept", false, ""}},
    {"a credential cache asks for Kerberos",
     {{"USER", "alice"}, {"KRB5CCNAME", "FILE:/tmp/krb5cc"}},
     {"alice", "", true, ""}},
    {"an empty cache name does not", {{"USER", "alice"}, {"KRB5CCNAME", ""}}, {"alice", "", false, ""}},
};

INSTANTIATE_TEST_SUITE_P(Environment, Credentials, ::testing::ValuesIn(k_credential_cases), case_name<CredentialCase>);

} // namespace
} // namespace tavrick::testing
