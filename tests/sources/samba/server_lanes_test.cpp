// SPDX-License-Identifier: GPL-3.0-or-later
// A server listing over its connections without a server: real worker processes, each with a
// scripted connection that logs its opens and logons to a shared file, against the bytes of the
// listing over one connection. Renewals past their count, logons the server refuses, a server that
// takes only a few sessions, the automatic choice of connections, and workers that die.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>

#include "sources/samba/connection.h"
#include "support/support.h"
#include "text/text.h"

namespace tavrick::testing {
namespace {

struct ServerScript {
    unsigned accounts = 0;           // user0001, user0002, ...
    unsigned page_size = 19;         // as a domain controller pages
    unsigned refuse_logons_from = 0; // the first logon the server refuses (1 is the first); 0: none
    unsigned sessions = 0;           // connections the server takes; 0: any number
    int record_milliseconds = 0;     // the time a record request takes
    std::string dies_at = "";        // the call that ends the worker process: "page N", "groups NAME"
};

unsigned count_lines(const std::string& log, const std::string& start)
{
    std::ifstream in(log);
    unsigned count = 0;
    for (std::string line; std::getline(in, line);) {
        count += line.starts_with(start) ? 1 : 0;
    }
    return count;
}

// Like the library, a context logs on at its first call, and tries again at every call until it
// has: so every logon attempt shows in the log.
class ScriptedConnection final : public ServerConnection {
  public:
    ScriptedConnection(const ServerScript& script, std::string log)
        : m_script(script), m_log(std::move(log)), m_number(count_lines(m_log, "open") + 1)
    {
        note("open");
    }

    std::uint32_t page_names(std::uint32_t, std::uint32_t& resume_handle, std::vector<std::string>& names) override
    {
        names.clear();
        dies_if("page " + std::to_string(resume_handle / m_script.page_size + 1));
        if (!log_on()) {
            return m_refusal;
        }
        for (; names.size() < m_script.page_size && resume_handle < m_script.accounts; ++resume_handle) {
            names.push_back(name_of(resume_handle + 1));
        }
        return resume_handle < m_script.accounts ? k_status_more_data : k_status_success;
    }
    std::uint32_t account(const std::string& name, const USER_INFO_3*& record) override
    {
        record = nullptr;
        if (!log_on()) {
            return m_refusal;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(m_script.record_milliseconds));
        m_name = widen(name);
        m_record = USER_INFO_3{.name = m_name.c_str(), .flags = 0x201, .full_name = u"Full Name"};
        record = &m_record;
        return k_status_success;
    }
    std::uint32_t groups(const std::string& name, std::vector<std::string>& names) override
    {
        names.clear();
        dies_if("groups " + name);
        if (!log_on()) {
            return m_refusal;
        }
        names.emplace_back("g");
        return k_status_success;
    }
    void renew() override { m_logged_on = false; }
    std::string take_printed() override { return {}; }

    static std::string name_of(unsigned number)
    {
        char name[16];
        std::snprintf(name, sizeof name, "user%04u", number);
        return name;
    }

  private:
    void dies_if(const std::string& call) const
    {
        if (call == m_script.dies_at) {
            ::_exit(1);
        }
    }
    bool log_on()
    {
        if (m_logged_on) {
            return true;
        }
        if (m_script.sessions != 0 && m_number > m_script.sessions) {
            note("session refused");
            m_refusal = k_status_network_name_deleted;
            return false;
        }
        const unsigned logon = count_lines(m_log, "logon") + 1;
        m_logged_on = m_script.refuse_logons_from == 0 || logon < m_script.refuse_logons_from;
        note(m_logged_on ? "logon" : "logon refused");
        m_refusal = k_status_logon_failure;
        return m_logged_on;
    }
    void note(const std::string& what) const
    {
        const int fd = ::open(m_log.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
        const std::string line = what + "\n";
        EXPECT_EQ(::write(fd, line.data(), line.size()), static_cast<ssize_t>(line.size()));
        ::close(fd);
    }

    ServerScript m_script;
    std::string m_log;
    unsigned m_number; // of the connections opened, from 1
    bool m_logged_on = false;
    std::uint32_t m_refusal = 0;
    std::u16string m_name;
    USER_INFO_3 m_record;
};

struct LanesCase {
    const char* what;
    ServerScript script;
    ServerConnections connections;
    std::string message; // written after the records; empty when every account is listed
    unsigned logons;     // successful logons, or 0 when it depends on timing
    unsigned opens;      // connections opened, or 0 when it depends on timing
    friend void PrintTo(const LanesCase& c, std::ostream* out) { *out << c.what; }
};

class ServerLanesTest : public ::testing::TestWithParam<LanesCase> {};

TEST_P(ServerLanesTest, ListLikeOneConnectionAndLogOnWithCare)
{
    const LanesCase& c = GetParam();
    const std::string log = ::testing::TempDir() + "tavrick-lanes-" + std::to_string(::getpid());
    std::remove(log.c_str());
    const std::string out = run_driver({"-Q", "a"}, [&](std::u16string_view) {
        return open_server_listing([&] { return std::make_unique<ScriptedConnection>(c.script, log); }, c.connections,
                                   "");
    });
    std::string full;
    for (unsigned i = 1; i <= c.script.accounts; ++i) {
        full += "\"" + ScriptedConnection::name_of(i) + "\",\"Full Name\",\"g\"\n";
    }
    // Every record whole, in order, then the message.
    ASSERT_TRUE(out.ends_with(c.message)) << out.substr(out.size() - std::min<std::size_t>(out.size(), 200));
    const std::string records = out.substr(0, out.size() - c.message.size());
    EXPECT_TRUE(c.message.empty() ? records == full
                                  : full.starts_with(records) && (records.empty() || records.ends_with("\"g\"\n")));
    EXPECT_LE(count_lines(log, "logon refused"), 1U);
    EXPECT_LE(count_lines(log, "session refused"), 1U);
    if (c.logons != 0) {
        EXPECT_EQ(count_lines(log, "logon") - count_lines(log, "logon refused"), c.logons);
    }
    if (c.opens != 0) {
        EXPECT_EQ(count_lines(log, "open"), c.opens);
    } else {
        EXPECT_GT(count_lines(log, "open"), 1U);
    }
    std::remove(log.c_str());
}

// clang-format off
const LanesCase k_lanes_cases[] = {
    // 5,000 record and group requests: the context is renewed twice, never while the names are read.
    {"one connection, past two renewals", {2500}, {1, false}, "", 3, 1},
    {"four connections, the same bytes", {2500}, {4, false}, "", 0, 4},
    {"a server that takes three sessions: the listing goes on over them", {300, 19, 0, 3}, {8, false}, "", 3, 4},
    {"the renewal refused: the listing ends there, one failed logon", {2500, 19, 2}, {1, false},
     "Logon failure: unknown user name or bad password\n", 1, 1},
    {"the third connection refused: no connection logs on after it", {300, 19, 3}, {4, false},
     "Logon failure: unknown user name or bad password\n", 2, 3},
    {"automatic, a slow server: more connections", {60, 19, 0, 0, 9}, {16, true}, "", 0, 0},
    {"automatic, a fast server: one connection", {300}, {16, true}, "", 1, 1},
    {"a worker that dies reading a page: a lost connection", {60, 19, 0, 0, 0, "page 2"}, {1, false},
     "The network path was not found\n", 1, 1},
    {"a worker that dies in a group lookup: a lost connection", {60, 19, 0, 0, 0, "groups user0005"}, {1, false},
     "The network path was not found\n", 1, 1},
};
// clang-format on

INSTANTIATE_TEST_SUITE_P(Scripted, ServerLanesTest, ::testing::ValuesIn(k_lanes_cases));

} // namespace
} // namespace tavrick::testing
