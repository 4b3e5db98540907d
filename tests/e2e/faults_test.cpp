// SPDX-License-Identifier: GPL-3.0-or-later
// What the case table cannot describe: an output that fails or goes away while the tool writes,
// and a program name longer than any buffer.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <fcntl.h>

#include "support/support.h"

namespace tavrick::testing {
namespace {

// The fixture environment with 3,000 generated accounts: far more output than a pipe and the
// tool's buffer hold.
std::map<std::string, std::string> many_accounts()
{
    std::map<std::string, std::string> environment = fixture_environment();
    for (const auto& [variable, file] : {std::pair{"PASSWD", "passwd"}, {"GROUP", "group"}, {"SHADOW", "shadow"}}) {
        environment[std::string("NSS_WRAPPER_") + variable] = std::string(TAVRICK_FIXTURES) + "/paging-3000/" + file;
    }
    return environment;
}

TEST(Faults, AnOutputThatCannotBeWrittenIsReportedWithStatusOne)
{
    const std::string full = "ERR: cannot write output: No space left on device\n";
    const std::string closed = "ERR: cannot write output: Bad file descriptor\n";
    const auto to_full = [] { ::dup2(::open("/dev/full", O_WRONLY), STDOUT_FILENO); };
    const auto to_nothing = [] { ::close(STDOUT_FILENO); };
    struct Case {
        std::vector<std::string> args;
        bool many;
        std::function<void()> prepare;
        std::string err;
        int status;
    };
    const Case cases[] = {
        {{}, false, to_full, full, 1},          {{"-a", "-Q", "a"}, false, to_full, full, 1},
        {{"-s"}, false, to_full, full, 1},      {{"alice"}, false, to_full, full, 1},
        {{"-v"}, false, to_full, full, 1},      {{"-a"}, true, to_full, full, 1},
        {{"nobody"}, false, to_full, "", 0},    {{}, false, to_nothing, closed, 1},
        {{"-v"}, false, to_nothing, closed, 1}, {{"-a", "alice"}, false, to_nothing, closed, 1},
    };
    for (const Case& c : cases) {
        const RunResult result = run_tool(c.args, c.many ? many_accounts() : fixture_environment(), c.prepare);
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.err, c.err) << ::testing::PrintToString(c.args);
        EXPECT_EQ(result.status, c.status) << ::testing::PrintToString(c.args);
    }
}

// A reader that goes after the first line, as head -1 does: SIGPIPE ends the tool whether it
// started with the signal's default action or ignoring it; with the signal blocked the write fails
// and the tool ends with status 1, quietly.
TEST(Faults, AReaderThatClosesItsPipeEndsTheToolQuietly)
{
    const std::pair<bool, int> cases[] = {{false, 128 + SIGPIPE}, {true, 1}};
    for (const auto& [blocked, status] : cases) {
        for (const auto action : {SIG_DFL, SIG_IGN}) {
            const Started started = start_tool({}, many_accounts(), [&] {
                sigset_t pipe_only;
                sigemptyset(&pipe_only);
                sigaddset(&pipe_only, SIGPIPE);
                ::signal(SIGPIPE, action);
                ::sigprocmask(blocked ? SIG_BLOCK : SIG_UNBLOCK, &pipe_only, nullptr);
            });
            std::string first_line;
            char byte = 0;
            while (first_line.find('\n') == std::string::npos && ::read(started.out_fd, &byte, 1) == 1) {
                first_line.push_back(byte);
            }
            ::close(started.out_fd);
            EXPECT_EQ(first_line, "\"user000000\",\"Bob Builder\",\"users\":\"grp00043\":\"grp00066\":\"grp00221\"\n");
            EXPECT_EQ(read_all(started.err_fd), "");
            EXPECT_EQ(wait_for(started.pid), status) << blocked;
        }
    }
}

TEST(Faults, AVeryLongProgramNameIsShownWhole)
{
    const std::string program(100000, 'p');
    const RunResult help = run_tool({"-h"}, fixture_environment(), {}, program);
    const std::string usage = read_file(std::string(TAVRICK_CASES) + "/common/help/stderr");
    EXPECT_EQ(help.err, usage.substr(0, 9) + program + usage.substr(9 + 9));
    EXPECT_EQ(help.status, 0);
}

} // namespace
} // namespace tavrick::testing
