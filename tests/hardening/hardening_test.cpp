// Bad input and faults: over-long arguments, unusual bytes in arguments and account fields, long
// group lists, far-out shadow dates, failing and closing outputs, and errors on later pages.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <stdexcept>

#include "cli/cli.h"
#include "output/output.h"
#include "support/memory_source.h"
#include "support/support.h"

namespace tavrick::testing {
namespace {

// The control characters and the bytes 0x80 to 0xFF, which must pass through unchanged.
std::string unusual_bytes()
{
    std::string bytes;
    for (int byte = 1; byte <= 0xFF; ++byte) {
        if (byte < 0x20 || byte >= 0x7F) {
            bytes.push_back(static_cast<char>(byte));
        }
    }
    return bytes;
}

// The code units of a text as the bytes they are written as; every unit here is below 256.
std::string narrow(const std::u16string& text)
{
    std::string bytes;
    for (const char16_t unit : text) {
        bytes.push_back(static_cast<char>(unit));
    }
    return bytes;
}

std::string replace_all(std::string text, const std::string& from, const std::string& to)
{
    for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
    return text;
}

// Account files written for one test into a directory of their own, removed afterwards.
class GeneratedAccounts {
  public:
    GeneratedAccounts(const std::string& passwd, const std::string& group, const std::string& shadow)
    {
        std::string pattern = ::testing::TempDir() + "tavrick-accounts-XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr) {
            throw std::runtime_error("mkdtemp failed");
        }
        m_dir = pattern;
        write("passwd", passwd);
        write("group", group);
        write("shadow", shadow);
    }
    ~GeneratedAccounts()
    {
        for (const char* name : {"passwd", "group", "shadow"}) {
            std::remove((m_dir + "/" + name).c_str());
        }
        ::rmdir(m_dir.c_str());
    }
    GeneratedAccounts(const GeneratedAccounts&) = delete;
    GeneratedAccounts& operator=(const GeneratedAccounts&) = delete;

    // The fixture environment with these files in place of the fixture accounts.
    [[nodiscard]] std::map<std::string, std::string> environment() const
    {
        std::map<std::string, std::string> environment = fixture_environment();
        environment["NSS_WRAPPER_PASSWD"] = m_dir + "/passwd";
        environment["NSS_WRAPPER_GROUP"] = m_dir + "/group";
        environment["NSS_WRAPPER_SHADOW"] = m_dir + "/shadow";
        return environment;
    }

  private:
    void write(const char* name, const std::string& text) const
    {
        std::ofstream file(m_dir + "/" + name, std::ios::binary);
        file << text;
    }

    std::string m_dir;
};

// `count` accounts named u00000, u00001, ... in the group users, each with a full name of about a
// kilobyte, so that a few hundred of them fill more than a pipe and the tool's buffer hold. (Few
// accounts with long lines rather than many short ones: under the address sanitizer nss_wrapper
// takes time that grows with the square of the number of lines.)
std::string many_accounts(int count)
{
    std::string passwd;
    for (int i = 0; i < count; ++i) {
        char name[16];
        std::snprintf(name, sizeof name, "u%05d", i);
        passwd += std::string(name) + ":x:" + std::to_string(20000 + i) + ":100:User " + std::string(1000, 'n') +
                  ":/home/" + name + ":/bin/sh\n";
    }
    return passwd;
}

// How the tool starts with respect to SIGPIPE, which it inherits.
enum class PipeSignal { default_action, ignored, blocked };

class Hardening : public ::testing::Test {
  protected:
    void SetUp() override
    {
        if (!have_nss_wrapper()) {
            GTEST_FAIL() << "nss_wrapper is missing (Debian: libnss-wrapper)";
        }
    }
};

// --- over-long arguments ----------------------------------------------------------------------

TEST_F(Hardening, EveryOverLongArgumentIsRefusedAndNothingIsWritten)
{
    struct Case {
        std::vector<std::string> args;
        std::string err;
    };
    std::vector<Case> cases;
    for (const char* option : {"-q", "-i", "-d", "-m", "-r"}) {
        const std::string message = std::string("ERR: argument of ") + option + " is too long: at most 19 characters\n";
        cases.push_back({{option, std::string(20, 'x')}, message});
        // The limit counts characters as typed: ten escapes are twenty characters.
        cases.push_back({{option, replace_all(std::string(10, '#'), "#", "\\t")}, message});
        cases.push_back({{option, unusual_bytes().substr(0, 20)}, message});
        cases.push_back({{"-a", option, std::string(4096, 'x'), "-s"}, message});
    }
    const std::string raw_server = "ERR: argument of -S is too long: at most 255 characters\n";
    const std::string long_server =
        "ERR: server name of -S is too long: at most 79 characters with its leading backslashes\n";
    cases.push_back({{"-S", std::string(256, 's')}, raw_server});
    cases.push_back({{"-S", std::string(100000, 's')}, raw_server});
    cases.push_back({{"-S", std::string(78, 's')}, long_server});
    cases.push_back({{"-S", std::string(255, '\\')}, long_server}); // 128 backslashes once decoded
    cases.push_back({{"-S", "\\\\" + std::string(78, 's')}, long_server});
    cases.push_back({{"-S", unusual_bytes().substr(0, 78)}, long_server});
    const std::string long_user = "ERR: user name is too long: at most 79 characters\n";
    cases.push_back({{std::string(80, 'u')}, long_user});
    cases.push_back({{unusual_bytes().substr(0, 80)}, long_user});
    cases.push_back({{"-a", "--", std::string(100000, 'u')}, long_user});

    for (std::size_t i = 0; i < cases.size(); ++i) {
        const RunResult result = run_tool(cases[i].args, fixture_environment());
        EXPECT_EQ(result.out, "") << "case " << i;
        EXPECT_EQ(result.err, cases[i].err) << "case " << i;
        EXPECT_EQ(result.status, 1) << "case " << i;
    }
}

TEST_F(Hardening, TheLongestArgumentsAreAccepted)
{
    const std::vector<std::vector<std::string>> cases = {
        {"-q", std::string(19, 'q'), "alice"},           {"-i", std::string(19, 'i'), "alice"},
        {"-d", std::string(19, 'd'), "alice"},           {"-m", std::string(19, 'm'), "alice"},
        {"-r", std::string(19, 'r'), "alice"},           {"-F", "h" + std::string(100000, 'x'), "alice"},
        {"-Q", "a" + std::string(100000, 'x'), "alice"}, {std::string(79, 'u')},
    };
    for (const auto& args : cases) {
        const RunResult result = run_tool(args, fixture_environment());
        EXPECT_EQ(result.err, "") << args[0];
        EXPECT_EQ(result.status, 0) << args[0];
        EXPECT_EQ(result.out.empty(), args.size() == 1) << args[0];
    }
    // 255 characters as typed, of which the name before the \0 escape is 77 long. Parsed here only:
    // a run would look the server up.
    const std::string server = std::string(77, 's') + "\\0" + std::string(176, 'j');
    EXPECT_EQ(parse({"-S", server}).settings.server.view(), u"\\\\" + std::u16string(77, u's'));
}

TEST_F(Hardening, ALongProgramNameAndSecondOperandAreShownWithoutHarm)
{
    const std::string program(100000, 'p');
    const Started started = start_tool({"-h"}, fixture_environment(), {}, program);
    const std::string err = read_all(started.err_fd); // more than a pipe holds: read it first
    EXPECT_EQ(read_all(started.out_fd), "");
    EXPECT_EQ(wait_for(started.pid), 0);
    EXPECT_TRUE(err.starts_with("# Usage: " + program.substr(0, 255))) << err.substr(0, 300);
    EXPECT_TRUE(err.ends_with("\n#   username: specific user (default: all users)\n"));

    const RunResult second = run_tool({"alice", std::string(100000, 'b')}, fixture_environment());
    EXPECT_EQ(second.out, "");
    EXPECT_EQ(second.status, 1);
    EXPECT_TRUE(second.err.starts_with("ERR: unhandled argument " + std::string(255, 'b')));
    EXPECT_TRUE(second.err.ends_with("b\n"));
}

// --- unusual bytes ----------------------------------------------------------------------------

TEST(UnusualBytes, ArgumentsReachTheSettingsUnchanged)
{
    const std::string bytes = unusual_bytes();
    const std::pair<const char*, const SettingString Settings::*> options[] = {
        {"-q", &Settings::string_quote},    {"-i", &Settings::integer_quote},    {"-d", &Settings::field_delimiter},
        {"-m", &Settings::multi_delimiter}, {"-r", &Settings::record_delimiter},
    };
    for (const auto& [option, setting] : options) {
        for (std::size_t start = 0; start < bytes.size(); start += 19) {
            const std::string chunk = bytes.substr(start, 19);
            EXPECT_EQ((parse({option, chunk}).settings.*setting).view(), widen(chunk))
                << option << " from byte " << start;
        }
    }
    for (std::size_t start = 0; start < bytes.size(); start += 77) {
        const std::string chunk = bytes.substr(start, 77);
        const std::string operand = chunk.substr(0, 79);
        const Parsed parsed = parse({"-S", chunk, operand});
        EXPECT_EQ(parsed.settings.server.view(), u"\\\\" + widen(chunk)) << "from byte " << start;
        EXPECT_EQ(parsed.username, widen(operand));
    }
}

TEST_F(Hardening, ArgumentsAreWrittenUnchanged)
{
    const GeneratedAccounts accounts("plain:x:7001:100:Plain Person,Room 1:/home/plain:/bin/sh\n",
                                     "users:x:100:\nstaff:x:50:plain\n", "");
    // Each option gets a placeholder in a first run and unusual bytes in the next ones; the output
    // must be the first run's with every placeholder replaced by the bytes.
    const std::vector<std::string> options = {"-q", "-i", "-d", "-m", "-r"};
    const auto args_with = [&](const std::vector<std::string>& values) {
        std::vector<std::string> args = {"-a", "-F", "s"};
        for (std::size_t i = 0; i < options.size(); ++i) {
            args.push_back(options[i]);
            args.push_back(values[i]);
        }
        args.push_back("plain");
        return args;
    };
    const std::vector<std::string> placeholders = {"~Q~", "~I~", "~D~", "~M~", "~R~"};
    const RunResult baseline = run_tool(args_with(placeholders), accounts.environment());
    ASSERT_EQ(baseline.status, 0);
    for (const std::string& placeholder : placeholders) {
        ASSERT_NE(baseline.out.find(placeholder), std::string::npos) << placeholder;
    }

    const std::string bytes = unusual_bytes();
    std::vector<std::string> chunks;
    for (std::size_t start = 0; start < bytes.size(); start += 19) {
        chunks.push_back(bytes.substr(start, 19));
    }
    for (std::size_t run = 0; run < chunks.size(); ++run) {
        std::vector<std::string> values;
        for (std::size_t i = 0; i < options.size(); ++i) {
            values.push_back(chunks[(run + i) % chunks.size()]);
        }
        std::string expected = baseline.out;
        for (std::size_t i = 0; i < options.size(); ++i) {
            expected = replace_all(expected, placeholders[i], values[i]);
        }
        const RunResult result = run_tool(args_with(values), accounts.environment());
        EXPECT_EQ(result.out, expected) << "run " << run;
        EXPECT_EQ(result.err, "");
        EXPECT_EQ(result.status, 0);
    }
}

TEST_F(Hardening, AccountFieldsFromTheDatabaseAreWrittenUnchanged)
{
    // Every unusual byte but the line feed, spread over the fields; a field holds anything but its
    // separators (colons, line feeds, and in the full name commas).
    std::string name;
    std::string high;
    for (const char byte : unusual_bytes()) {
        if (byte != '\n') {
            (name.size() < 79 ? name : high).push_back(byte); // a user name of the longest operand
        }
    }
    const std::string control = name.substr(0, 30);
    const std::string full_name = control.substr(0, 9) + "\"full name\"" + high.substr(0, 16);
    const std::string comment = control.substr(9) + high.substr(16, 16) + ",with,commas";
    const std::string home = "/home/\x7F" + high.substr(32) + "\x1B";
    const std::string shell = "/bin/" + control.substr(0, 9) + "sh";
    const std::string group = "g" + high + control;
    const GeneratedAccounts accounts("plain:x:7001:100:Plain:/home/plain:/bin/sh\n" + name +
                                         ":x:7002:100:" + full_name + "," + comment + ":" + home + ":" + shell + "\n",
                                     "users:x:100:\n" + group + ":x:5000:plain," + name + "\n", "");

    const RunResult by_name = run_tool({name}, accounts.environment());
    EXPECT_EQ(by_name.out, "\"" + name + "\",\"" + full_name + "\",\"users\":\"" + group + "\"\n");
    EXPECT_EQ(by_name.err, "");
    EXPECT_EQ(by_name.status, 0);

    const RunResult all = run_tool({"-a", "-F", "s", "-Q", "a"}, accounts.environment());
    EXPECT_EQ(all.status, 0);
    for (const std::string& field : {"name:\"" + name + "\",", "home_dir:\"" + home + "\",",
                                     "comment:\"" + comment + "\",", "script_path:\"" + shell + "\",",
                                     "full_name:\"" + full_name + "\",", "group:\"users\":\"" + group + "\"\n"}) {
        EXPECT_NE(all.out.find(field), std::string::npos) << field;
    }
}

TEST(UnusualBytes, EveryTextFieldOfARecordIsWrittenUnchanged)
{
    std::u16string units;
    for (char16_t unit = 1; unit <= 0xFF; ++unit) {
        units.push_back(unit);
    }
    const char* labels[] = {"name",        "password",     "home_dir",     "comment", "script_path",   "full_name",
                            "usr_comment", "workstations", "logon_server", "profile", "home_dir_drive"};
    std::vector<std::u16string> texts;
    for (const char* label : labels) {
        texts.push_back(widen(label) + u"=" + units);
    }
    const std::u16string group = u"group=" + units;
    USER_INFO_3 account;
    const char16_t** members[] = {&account.name,        &account.password,      &account.home_dir,
                                  &account.comment,     &account.script_path,   &account.full_name,
                                  &account.usr_comment, &account.workstations,  &account.logon_server,
                                  &account.profile,     &account.home_dir_drive};
    for (std::size_t i = 0; i < std::size(members); ++i) {
        *members[i] = texts[i].c_str();
    }
    account.parms = units.c_str();
    MemorySource source;
    source.pages = {{k_status_success, {account}}};
    source.groups[texts[0]] = {group, group};

    const std::string out = run_driver({"-a", "-F", "s", "-Q", "a", "-q", "<", "-d", ">>"}, source);
    for (std::size_t i = 0; i < std::size(labels); ++i) {
        const std::string field = std::string(labels[i]) + ":<" + narrow(texts[i]) + "<>>";
        EXPECT_NE(out.find(field), std::string::npos) << labels[i];
    }
    EXPECT_NE(out.find("parms:0x0001:0x0002:"), std::string::npos);
    EXPECT_NE(out.find(":0x00FE:0x00FF>>"), std::string::npos);
    const std::string groups = "group:<" + narrow(group) + "<:<" + narrow(group) + "<\n";
    EXPECT_EQ(out.substr(out.size() - std::min(out.size(), groups.size())), groups);
}

// --- long group lists -------------------------------------------------------------------------

TEST_F(Hardening, HundredsOfGroupsWithLongNamesAreAllWritten)
{
    std::string group_file = "users:x:100:\n";
    std::vector<std::string> names;
    for (int i = 0; i < 400; ++i) {
        char prefix[16];
        std::snprintf(prefix, sizeof prefix, "g%03d-", i);
        names.push_back(prefix + std::string(300, static_cast<char>(0xE9)) + unusual_bytes().substr(i % 100, 20));
        names.back().erase(std::remove(names.back().begin(), names.back().end(), '\n'), names.back().end());
        group_file += names.back() + ":x:" + std::to_string(5000 + i) + ":many\n";
    }
    const GeneratedAccounts accounts("many:x:7001:100:Many Groups:/home/many:/bin/sh\n", group_file, "");

    std::string listed = "\"users\"";
    std::string listed_human = "               group: \"users\"";
    for (const std::string& name : names) {
        listed += ":\"" + name + "\"";
        listed_human += ":               group: \"" + name + "\"";
    }
    const RunResult plain = run_tool({"many"}, accounts.environment());
    EXPECT_EQ(plain.out, "\"many\",\"Many Groups\"," + listed + "\n");
    EXPECT_EQ(plain.status, 0);

    const RunResult human = run_tool({"-F", "h", "many"}, accounts.environment());
    EXPECT_EQ(human.out, "                name: \"many\",           full_name: \"Many Groups\"," + listed_human + "\n");

    const RunResult all = run_tool({"-a", "-F", "s", "many"}, accounts.environment());
    const std::string tail = ",group:" + listed + "\n";
    ASSERT_GE(all.out.size(), tail.size());
    EXPECT_EQ(all.out.substr(all.out.size() - tail.size()), tail);
}

TEST(LongGroupLists, ThousandsOfLongNamesPassThroughTheWriters)
{
    MemorySource source;
    source.pages = {{k_status_success, {make_account(u"many", u"Many")}}};
    std::vector<std::u16string>& groups = source.groups[u"many"];
    std::string expected_default = "\"many\",\"Many\",";
    std::string expected_all = ",group:";
    for (int i = 0; i < 2000; ++i) {
        std::string name = "group" + std::to_string(i) + std::string(1000, static_cast<char>('a' + i % 26));
        groups.push_back(widen(name));
        expected_default += (i == 0 ? "\"" : ":\"") + name + "\"";
        expected_all += (i == 0 ? "\"" : ":\"") + name + "\"";
    }
    EXPECT_EQ(run_driver({}, source), expected_default + "\n");
    const std::string all = run_driver({"-a", "-F", "s"}, source);
    ASSERT_GE(all.size(), expected_all.size() + 1);
    EXPECT_EQ(all.substr(all.size() - expected_all.size() - 1), expected_all + "\n");
}

// --- far-out shadow dates ---------------------------------------------------------------------

TEST_F(Hardening, FarOutShadowDatesNeitherOverflowNorDisableTheAccount)
{
    // Day counts whose seconds do not fit 64 bits: a password changed and an account expiring
    // unimaginably far ahead, which must read as recent and not expired.
    const GeneratedAccounts accounts("far:x:7201:100:Far:/home/far:/bin/sh\n"
                                     "beyond:x:7202:100:Beyond:/home/beyond:/bin/sh\n"
                                     "saturated:x:7203:100:Saturated:/home/saturated:/bin/sh\n",
                                     "users:x:100:\n",
                                     "far:$6$x:9223372036854775807:0:99999:7::9223372036854775807:\n"
                                     "beyond:$6$x:1000000000000000:0:50000:7::1000000000000000:\n"
                                     "saturated:$6$x:99999999999999999999:0:50000:7::-9223372036854775808:\n");
    const RunResult enabled = run_tool({"-F", "s"}, accounts.environment());
    EXPECT_EQ(enabled.out, "name:\"far\",full_name:\"Far\",group:\"users\"\n"
                           "name:\"beyond\",full_name:\"Beyond\",group:\"users\"\n"
                           "name:\"saturated\",full_name:\"Saturated\",group:\"users\"\n");
    EXPECT_EQ(enabled.status, 0);

    const RunResult all = run_tool({"-a", "-F", "s", "-Q", "a", "-d", "\\n", "-r", "\\n\\n"}, accounts.environment());
    std::vector<std::string> records;
    for (std::size_t start = 0, end = 0; (end = all.out.find("\n\n", start)) != std::string::npos; start = end + 2) {
        records.push_back(all.out.substr(start, end - start) + "\n");
    }
    ASSERT_EQ(records.size(), 3U) << all.out;
    const std::string never_expires = "0%00000000000000010000001000000001";
    const std::string expires = "0%00000000000000000000001000000001";
    const std::pair<std::string, std::string> flags[] = {
        {"far", never_expires}, {"beyond", expires}, {"saturated", expires}};
    for (std::size_t i = 0; i < records.size(); ++i) {
        const std::string& record = records[i];
        EXPECT_NE(record.find("name:\"" + flags[i].first + "\"\n"), std::string::npos) << record;
        EXPECT_NE(record.find("\npassword_age:0\n"), std::string::npos) << record;
        EXPECT_NE(record.find("\nflags:" + flags[i].second + "\n"), std::string::npos) << record;
        EXPECT_NE(record.find("\npassword_expired:0\n"), std::string::npos) << record;
    }
}

// --- failing and closing outputs --------------------------------------------------------------

TEST_F(Hardening, AFullDiskIsReportedAndEndsWithStatusOne)
{
    const GeneratedAccounts many(many_accounts(200), "users:x:100:\n", "");
    const std::string full = "ERR: cannot write output: No space left on device\n";
    struct Case {
        std::string name;
        std::vector<std::string> args;
        std::map<std::string, std::string> environment;
        std::string err;
        int status;
    };
    const Case cases[] = {
        {"listing", {}, fixture_environment(), full, 1},
        {"all information", {"-a", "-Q", "a"}, fixture_environment(), full, 1},
        {"structure", {"-s"}, fixture_environment(), full, 1},
        {"one account", {"alice"}, fixture_environment(), full, 1},
        {"version", {"-v"}, fixture_environment(), full, 1},
        {"more than the buffer holds", {"-a"}, many.environment(), full, 1},
        {"nothing to write", {"nobody"}, fixture_environment(), "", 0},
    };
    for (const Case& c : cases) {
        const RunResult result = run_tool(c.args, c.environment, "/dev/full");
        EXPECT_EQ(result.err, c.err) << c.name;
        EXPECT_EQ(result.status, c.status) << c.name;
    }
}

TEST_F(Hardening, AClosedStandardOutputIsReported)
{
    for (const std::vector<std::string>& args : {std::vector<std::string>{}, {"-v"}, {"-a", "alice"}}) {
        const Started started = start_tool(args, fixture_environment(), [] { ::close(STDOUT_FILENO); });
        ::close(started.out_fd);
        EXPECT_EQ(read_all(started.err_fd), "ERR: cannot write output: Bad file descriptor\n");
        EXPECT_EQ(wait_for(started.pid), 1);
    }
}

TEST_F(Hardening, AReaderThatClosesItsPipeEndsTheToolQuietly)
{
    // Far more than the pipe and the tool's buffer hold, so the tool is still writing when the reader goes.
    const GeneratedAccounts many(many_accounts(500), "users:x:100:\n", "");
    const std::pair<PipeSignal, int> cases[] = {
        {PipeSignal::default_action, 128 + SIGPIPE},
        {PipeSignal::ignored, 128 + SIGPIPE},
        {PipeSignal::blocked, 1},
    };
    for (const auto& [signal_state, status] : cases) {
        const PipeSignal state = signal_state;
        const Started started = start_tool({}, many.environment(), [&] {
            sigset_t pipe_only;
            sigemptyset(&pipe_only);
            sigaddset(&pipe_only, SIGPIPE);
            ::signal(SIGPIPE, state == PipeSignal::ignored ? SIG_IGN : SIG_DFL);
            ::sigprocmask(state == PipeSignal::blocked ? SIG_BLOCK : SIG_UNBLOCK, &pipe_only, nullptr);
        });
        // Read the first line, as head -1 does, then go.
        std::string first_line;
        char byte = 0;
        while (first_line.find('\n') == std::string::npos && ::read(started.out_fd, &byte, 1) == 1) {
            first_line.push_back(byte);
        }
        ::close(started.out_fd);
        EXPECT_EQ(first_line.substr(0, 9), "\"u00000\",") << static_cast<int>(state);
        EXPECT_EQ(read_all(started.err_fd), "") << static_cast<int>(state);
        EXPECT_EQ(wait_for(started.pid), status) << static_cast<int>(state);
    }
}

// --- errors on later pages --------------------------------------------------------------------

TEST(PageErrors, RecordsBeforeAFailingPageStayWrittenHoweverMuchWasWritten)
{
    struct Case {
        std::size_t records_per_page;
        std::size_t good_pages;
        std::uint32_t status;
        std::string message;
    };
    const Case cases[] = {
        {1, 1, k_status_accounts_database, "Error encountered in accessing accounts database\n"},
        {3, 2, 1003, "Error in NetUserEnum: 1003\n"},
        // More than the writer buffers, so earlier records are already out when the error comes.
        {2000, 3, 0xFFFFFFFF, "Error in NetUserEnum: -1\n"},
    };
    for (const Case& c : cases) {
        std::vector<std::u16string> names;
        for (std::size_t i = 0; i < c.records_per_page * c.good_pages; ++i) {
            names.push_back(u"user" + widen(std::to_string(i)) + std::u16string(30, u'x'));
        }
        MemorySource source;
        std::string expected;
        for (std::size_t page = 0; page < c.good_pages; ++page) {
            ScriptedPage scripted{k_status_more_data, {}};
            for (std::size_t i = 0; i < c.records_per_page; ++i) {
                const std::u16string& name = names[page * c.records_per_page + i];
                scripted.records.push_back(make_account(name.c_str(), u"Full"));
                expected += "\"" + narrow(name) + "\",\"Full\",\n";
            }
            source.pages.push_back(scripted);
        }
        source.pages.push_back({c.status, {make_account(u"not-written")}});
        source.pages.push_back({k_status_success, {make_account(u"never-read")}});
        EXPECT_EQ(run_driver({}, source), expected + c.message) << c.message;
        EXPECT_EQ(source.page_calls, static_cast<int>(c.good_pages + 1));
    }
}

} // namespace
} // namespace tavrick::testing
