#include "support/support.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <stdexcept>

#include "cli/cli.h"
#include "output/output.h"
#include "support/memory_source.h"

namespace tavrick::testing {

std::map<std::string, std::string> fixture_environment()
{
    const std::string fixtures = TAVRICK_FIXTURES;
    return {
        {"TZ", "UTC0"},
        {"LD_PRELOAD", TAVRICK_NSS_WRAPPER},
        {"NSS_WRAPPER_PASSWD", fixtures + "/passwd"},
        {"NSS_WRAPPER_GROUP", fixtures + "/group"},
        {"NSS_WRAPPER_SHADOW", fixtures + "/shadow"},
        // A sanitizer runtime must otherwise be the first library of the process.
        {"ASAN_OPTIONS", "verify_asan_link_order=0"},
    };
}

Started start_tool(const std::vector<std::string>& args, const std::map<std::string, std::string>& environment,
                   const std::function<void()>& prepare, const std::string& program)
{
    int out_pipe[2];
    int err_pipe[2];
    if (::pipe2(out_pipe, O_CLOEXEC) != 0 || ::pipe2(err_pipe, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
    std::vector<std::string> argv_strings{program};
    argv_strings.insert(argv_strings.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& arg : argv_strings) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    std::vector<std::string> env_strings;
    for (const auto& [name, value] : environment) {
        env_strings.push_back(name + "=" + value);
    }
    std::vector<char*> envp;
    for (std::string& entry : env_strings) {
        envp.push_back(entry.data());
    }
    envp.push_back(nullptr);

    const pid_t child = ::fork();
    if (child == 0) {
        ::dup2(out_pipe[1], STDOUT_FILENO);
        ::dup2(err_pipe[1], STDERR_FILENO);
        if (prepare) {
            prepare();
        }
        ::execve(TAVRICK_BINARY, argv.data(), envp.data());
        ::_exit(127);
    }
    ::close(out_pipe[1]);
    ::close(err_pipe[1]);
    return {child, out_pipe[0], err_pipe[0]};
}

std::string read_all(int fd)
{
    std::string bytes;
    char buffer[65536];
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got > 0) {
            bytes.append(buffer, static_cast<std::size_t>(got));
        } else if (got == 0 || errno != EINTR) {
            break;
        }
    }
    ::close(fd);
    return bytes;
}

int wait_for(int pid)
{
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

RunResult run_tool(const std::vector<std::string>& args, const std::map<std::string, std::string>& environment,
                   const std::function<void()>& prepare, const std::string& program)
{
    const Started started = start_tool(args, environment, prepare, program);
    // Both pipes at once, so that neither fills while the other is read.
    RunResult result;
    pollfd fds[2] = {{started.out_fd, POLLIN, 0}, {started.err_fd, POLLIN, 0}};
    std::string* targets[2] = {&result.out, &result.err};
    int open_count = 2;
    while (open_count > 0) {
        if (::poll(fds, 2, -1) < 0 && errno != EINTR) {
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) {
                continue;
            }
            char buffer[65536];
            const ssize_t got = ::read(fds[i].fd, buffer, sizeof buffer);
            if (got > 0) {
                targets[i]->append(buffer, static_cast<std::size_t>(got));
            } else if (got == 0 || errno != EINTR) {
                ::close(fds[i].fd);
                fds[i].fd = -1;
                --open_count;
            }
        }
    }
    result.status = wait_for(started.pid);
    return result;
}

std::string read_file(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << file.rdbuf();
    return bytes.str();
}

std::string capture_output(const std::function<void()>& action)
{
    const int fd = ::memfd_create("captured-output", MFD_CLOEXEC);
    const int previous = set_output_fd(fd);
    action();
    set_output_fd(previous);
    std::string bytes;
    char buffer[65536];
    ssize_t got = 0;
    ::lseek(fd, 0, SEEK_SET);
    while ((got = ::read(fd, buffer, sizeof buffer)) > 0) {
        bytes.append(buffer, static_cast<std::size_t>(got));
    }
    ::close(fd);
    return bytes;
}

void reset_settings()
{
    g_settings = Settings{};
}

Settings parse(std::vector<std::string> args)
{
    reset_settings();
    args.insert(args.begin(), "tavrick");
    std::vector<char*> argv;
    for (std::string& arg : args) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    std::u16string username;
    int specific_user = 0;
    EXPECT_EQ(parse_command_line(static_cast<int>(args.size()), argv.data(), username, specific_user), 1);
    const Settings settings = g_settings;
    reset_settings();
    return settings;
}

std::string run_driver(const std::vector<std::string>& args, AccountSource& source)
{
    reset_settings();
    std::vector<std::string> strings{"tavrick"};
    strings.insert(strings.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& arg : strings) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    std::string out = capture_output([&] {
        enumerate_accounts(static_cast<int>(strings.size()), argv.data(),
                           [&](std::u16string_view) { return std::make_unique<SourceRef>(source); });
    });
    reset_settings();
    return out;
}

} // namespace tavrick::testing

// The tests read accounts through nss_wrapper with the fixture files, in this process too: the
// binary starts itself again under the wrapper unless it already runs under it.
int main(int argc, char** argv)
{
    const auto environment = tavrick::testing::fixture_environment();
    const char* passwd = std::getenv("NSS_WRAPPER_PASSWD");
    if (passwd == nullptr || passwd != environment.at("NSS_WRAPPER_PASSWD")) {
        for (const auto& [name, value] : environment) {
            ::setenv(name.c_str(), value.c_str(), 1);
        }
        ::execv("/proc/self/exe", argv);
        std::perror("cannot restart the tests under nss_wrapper");
        return 1;
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
