// SPDX-License-Identifier: GPL-3.0-or-later
#include "support/support.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>

#include <gtest/gtest.h>

#include "text/text.h"

namespace tavrick::testing {

std::vector<char*> pointers(std::vector<std::string>& strings)
{
    std::vector<char*> result;
    for (std::string& text : strings) {
        result.push_back(text.data());
    }
    result.push_back(nullptr);
    return result;
}

std::string read_fd(int fd)
{
    std::string bytes;
    char buffer[65536];
    ::lseek(fd, 0, SEEK_SET);
    for (ssize_t got = 0; (got = ::read(fd, buffer, sizeof buffer)) > 0;) {
        bytes.append(buffer, static_cast<std::size_t>(got));
    }
    ::close(fd);
    return bytes;
}

std::string read_file(const std::string& path)
{
    return read_fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
}

std::string capture_output(const std::function<void()>& action)
{
    const int fd = ::memfd_create("stdout", MFD_CLOEXEC);
    const int previous = set_output_fd(fd);
    action();
    set_output_fd(previous);
    return read_fd(fd);
}

Settings parse(std::vector<std::string> args)
{
    args.insert(args.begin(), "tavrick");
    std::vector<char*> argv = pointers(args);
    std::u16string username;
    int specific_user = 0;
    EXPECT_EQ(parse_command_line(static_cast<int>(args.size()), argv.data(), username, specific_user), 1);
    return std::exchange(g_settings, Settings{});
}

std::string run_driver(std::vector<std::string> args, const SourceOpener& open_source, int* status, std::string* errors)
{
    args.insert(args.begin(), "tavrick");
    std::vector<char*> argv = pointers(args);
    const int error_fd = ::memfd_create("stderr", MFD_CLOEXEC);
    const int saved_error_fd = ::dup(STDERR_FILENO);
    ::dup2(error_fd, STDERR_FILENO);
    int exit_status = 0;
    const std::string out = capture_output(
        [&] { exit_status = enumerate_accounts(static_cast<int>(args.size()), argv.data(), open_source); });
    ::dup2(saved_error_fd, STDERR_FILENO);
    ::close(saved_error_fd);
    const std::string error_text = read_fd(error_fd);
    g_settings = Settings{};
    if (status != nullptr) {
        *status = exit_status;
    }
    if (errors != nullptr) {
        *errors = error_text;
    }
    return out;
}

std::string run_driver(std::vector<std::string> args, MemorySource& source, int* status, std::string* errors)
{
    return run_driver(
        std::move(args), [&](std::u16string_view) { return std::make_unique<MemorySource>(source); }, status, errors);
}

void expect_table(const std::string& name, const std::function<std::string(const Row&)>& function)
{
    const std::string text = read_file(std::string(TAVRICK_FIXTURES) + "/tables/" + name);
    EXPECT_FALSE(text.empty()) << name;
    for (std::size_t start = 0, end = 0, line = 1; start < text.size(); start = end + 1, ++line) {
        end = std::min(text.find('\n', start), text.size());
        Row row(1);
        for (std::size_t i = start; i < end; ++i) {
            const bool escape = text[i] == '\\' && i + 1 < end && (text[i + 1] == 'n' || text[i + 1] == 't');
            const char c = escape ? (text[++i] == 'n' ? '\n' : '\t') : text[i];
            if (escape || c != '\t') {
                row.back().push_back(c);
            } else {
                row.emplace_back();
            }
        }
        if (row.size() > 1) {
            EXPECT_EQ(function(row), row.back()) << name << ":" << line;
        }
    }
}

} // namespace tavrick::testing

// The binary starts itself again under nss_wrapper on the fixture files unless it runs under it.
int main(int argc, char** argv)
{
    const std::string fixtures = TAVRICK_FIXTURES;
    if (const char* set = std::getenv("NSS_WRAPPER_GROUP"); set == nullptr || set != fixtures + "/group") {
        ::setenv("NSS_WRAPPER_PASSWD", (fixtures + "/passwd").c_str(), 1);
        ::setenv("NSS_WRAPPER_GROUP", (fixtures + "/group").c_str(), 1);
        ::setenv("NSS_WRAPPER_SHADOW", (fixtures + "/shadow").c_str(), 1);
        ::setenv("LD_PRELOAD", TAVRICK_NSS_WRAPPER, 1);
        ::setenv("ASAN_OPTIONS", "verify_asan_link_order=0", 1); // else a sanitizer runtime must load first
        ::execv("/proc/self/exe", argv);
        return 127;
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
