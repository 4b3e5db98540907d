// SPDX-License-Identifier: GPL-3.0-or-later
// The built tool run as a user runs it: the case table (tests/cases/README.md), then what a table
// cannot describe: an output that fails or goes away while the tool writes, a huge program name.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "support/support.h"

namespace tavrick::testing {
namespace {

namespace fs = std::filesystem;
using Environment = std::map<std::string, std::string>;

// nss_wrapper on the account files in `folder`, TZ=UTC0, and an empty lastlog, not this machine's.
Environment accounts_in(const std::string& folder)
{
    return {{"TZ", "UTC0"},
            {"LD_PRELOAD", TAVRICK_NSS_WRAPPER},
            {"NSS_WRAPPER_PASSWD", folder + "/passwd"},
            {"NSS_WRAPPER_GROUP", folder + "/group"},
            {"NSS_WRAPPER_SHADOW", folder + "/shadow"},
            {"TAVRICK_LASTLOG", "/dev/null"},
            {"ASAN_OPTIONS", "verify_asan_link_order=0"}}; // else a sanitizer runtime must load first
}
const std::string k_fixtures = TAVRICK_FIXTURES;

std::vector<std::string> lines_of(const std::string& text)
{
    std::vector<std::string> lines;
    for (std::size_t start = 0, end = 0; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
        lines.push_back(text.substr(start, end - start));
    }
    return lines;
}

struct Tool {
    int pid = -1, out_fd = -1, err_fd = -1, status = -1; // status: 128 plus the signal that ended it
    std::string out, err;
};

// Starts the tool as `program` with `args` in exactly `environment`, after `prepare` in the child.
Tool start(
    std::vector<std::string> args, const Environment& environment, const std::function<void()>& prepare = [] {},
    const std::string& program = TAVRICK_BINARY)
{
    int out_pipe[2] = {-1, -1};
    const int err_fd = ::memfd_create("stderr", MFD_CLOEXEC);
    EXPECT_EQ(::pipe2(out_pipe, O_CLOEXEC), 0);
    args.insert(args.begin(), program);
    std::vector<std::string> variables;
    for (const auto& [name, value] : environment) {
        variables.push_back(name + "=" + value);
    }
    std::vector<char*> argv = pointers(args);
    std::vector<char*> envp = pointers(variables);
    const pid_t child = ::fork();
    if (child == 0) {
        ::dup2(out_pipe[1], STDOUT_FILENO);
        ::dup2(err_fd, STDERR_FILENO);
        prepare();
        ::execve(TAVRICK_BINARY, argv.data(), envp.data());
        ::_exit(127);
    }
    ::close(out_pipe[1]);
    return {child, out_pipe[0], err_fd, -1, {}, {}};
}

// Reads the output that is left (none when out_fd is -1), waits for the end, reads the errors.
Tool finish(Tool run)
{
    run.out = run.out_fd >= 0 ? read_fd(run.out_fd) : "";
    int status = 0;
    ::waitpid(run.pid, &status, 0);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    run.err = read_fd(run.err_fd);
    return run;
}

// `text` with `value` in place of each `placeholder`.
std::string replaced(std::string text, const std::string& placeholder, const std::string& value)
{
    for (std::size_t at = 0; (at = text.find(placeholder, at)) != std::string::npos; at += value.size()) {
        text.replace(at, placeholder.size(), value);
    }
    return text;
}

// Which stream differs from the expected bytes, and from which byte on.
std::string difference(const char* stream, const std::string& want, const std::string& got)
{
    std::size_t at = 0;
    while (at < want.size() && at < got.size() && want[at] == got[at]) {
        ++at;
    }
    return std::string(stream) + " differs from byte " + std::to_string(at) + ": expected " +
           ::testing::PrintToString(want.substr(at, 60)) + ", got " + ::testing::PrintToString(got.substr(at, 60));
}

std::vector<fs::path> case_folders()
{
    std::vector<fs::path> folders;
    for (const char* group : {"common", "local"}) {
        for (const fs::directory_entry& entry : fs::directory_iterator(fs::path(TAVRICK_CASES) / group)) {
            folders.push_back(entry.path());
        }
    }
    std::sort(folders.begin(), folders.end());
    return folders;
}

class Case : public ::testing::TestWithParam<fs::path> {};

// The tool runs in the case folder, so that an environment value can name a file by a relative path.
// A case over a generated account set (@GENERATED@) finds its expected output generated with it.
TEST_P(Case, RunsAsRecorded)
{
    const fs::path& folder = GetParam();
    const std::string env = read_file(folder / "env");
    const fs::path generated = fs::path(TAVRICK_GENERATED) / "cases" / fs::relative(folder, TAVRICK_CASES);
    const fs::path& expectations = env.find("@GENERATED@") == std::string::npos ? folder : generated;
    Environment environment = accounts_in(k_fixtures);
    for (const std::string& line : lines_of(replaced(env, "@GENERATED@", TAVRICK_GENERATED))) {
        const std::size_t equals = line.find('=');
        if (equals == std::string::npos) {
            environment.erase(line);
        } else {
            environment[line.substr(0, equals)] = line.substr(equals + 1);
        }
    }
    const Tool run = finish(start(lines_of(read_file(folder / "args")), environment, [&] {
        if (::chdir(folder.c_str()) != 0) {
            ::_exit(126);
        }
    }));
    for (const auto& [stream, got] : {std::pair{"stdout", &run.out}, {"stderr", &run.err}}) {
        const std::string want = replaced(read_file(expectations / stream), "@PROGRAM@", TAVRICK_BINARY);
        EXPECT_TRUE(*got == want) << difference(stream, want, *got);
    }
    const std::string status = read_file(expectations / "status");
    EXPECT_EQ(run.status, status.empty() ? 0 : std::stoi(status));
}

INSTANTIATE_TEST_SUITE_P(Table, Case, ::testing::ValuesIn(case_folders()),
                         [](const ::testing::TestParamInfo<fs::path>& param) {
                             std::string name =
                                 param.param.parent_path().filename().string() + "_" + param.param.filename().string();
                             std::replace(name.begin(), name.end(), '-', '_');
                             return name;
                         });

TEST(Faults, AnOutputThatCannotBeWrittenIsReportedWithStatusOneAndALongProgramNameShown)
{
    const std::string full = "ERR: cannot write output: No space left on device\n";
    const std::string closed = "ERR: cannot write output: Bad file descriptor\n";
    const std::string eio = "ERR: cannot write output: Input/output error\n";
    const std::function<void()> to_full = [] { ::dup2(::open("/dev/full", O_WRONLY), STDOUT_FILENO); };
    const std::function<void()> to_nothing = [] { ::close(STDOUT_FILENO); };
    const std::function<void()> to_hung_up_terminal = [] { // its writes fail with EIO
        const int terminal = ::posix_openpt(O_RDWR | O_NOCTTY);
        ::grantpt(terminal);
        ::unlockpt(terminal);
        ::dup2(::open(::ptsname(terminal), O_WRONLY | O_NOCTTY), STDOUT_FILENO);
        ::close(terminal);
    };
    const Environment few = accounts_in(k_fixtures);
    const Environment many = accounts_in(TAVRICK_GENERATED "/paging-3000"); // more than the tool buffers
    const std::tuple<std::vector<std::string>, Environment, std::function<void()>, std::string, int> cases[] = {
        {{"-a", "-Q", "a"}, few, to_full, full, 1}, {{"-v"}, few, to_full, full, 1},
        {{"nobody"}, few, to_full, "", 0},          {{"-a"}, many, to_full, full, 1},
        {{}, few, to_nothing, closed, 1},           {{"-v"}, few, to_nothing, closed, 1},
        {{}, few, to_hung_up_terminal, eio, 1},     {{"-v"}, few, to_hung_up_terminal, eio, 1},
    };
    for (const auto& [args, environment, prepare, err, status] : cases) {
        const Tool run = finish(start(args, environment, prepare));
        EXPECT_EQ(run.out + run.err, err) << ::testing::PrintToString(args);
        EXPECT_EQ(run.status, status) << ::testing::PrintToString(args);
    }
    const std::string program(100000, 'p'); // shown whole
    const std::string usage = read_file(std::string(TAVRICK_CASES) + "/common/help/stderr");
    const Tool help = finish(start({"-h"}, few, {[] {}}, program));
    EXPECT_EQ(help.err, usage.substr(0, 9) + program + usage.substr(18));
}

// A reader that goes after the first line, as head -1 does: SIGPIPE ends the tool quietly, or with
// the signal blocked the failed write does (status 1).
TEST(Faults, AReaderThatClosesItsPipeEndsTheToolQuietly)
{
    for (const auto& [action, how, status] : {std::tuple{SIG_DFL, SIG_UNBLOCK, 128 + SIGPIPE},
                                              {SIG_IGN, SIG_UNBLOCK, 128 + SIGPIPE},
                                              {SIG_DFL, SIG_BLOCK, 1}}) {
        Tool run = start({}, accounts_in(TAVRICK_GENERATED "/paging-3000"), [&] {
            sigset_t pipe_only{}; // empty
            sigaddset(&pipe_only, SIGPIPE);
            ::signal(SIGPIPE, action);
            ::sigprocmask(how, &pipe_only, nullptr);
        });
        std::string first_line;
        for (char byte = 0; first_line.find('\n') == std::string::npos && ::read(run.out_fd, &byte, 1) == 1;) {
            first_line.push_back(byte);
        }
        ::close(std::exchange(run.out_fd, -1));
        run = finish(run);
        EXPECT_EQ(first_line + run.out + run.err,
                  "\"user000000\",\"Bob Builder\",\"users\":\"grp00043\":\"grp00066\":\"grp00221\"\n");
        EXPECT_EQ(run.status, status) << how;
    }
}

} // namespace
} // namespace tavrick::testing
