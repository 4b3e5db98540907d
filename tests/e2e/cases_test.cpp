// SPDX-License-Identifier: GPL-3.0-or-later
// Walks the case table: each folder under tests/cases/common and tests/cases/local holds the
// arguments, environment and expected output of one run of the built tool (see tests/cases/README.md).
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "support/support.h"

namespace tavrick::testing {
namespace {

namespace fs = std::filesystem;

std::vector<std::string> lines_of(const std::string& text)
{
    std::vector<std::string> lines;
    for (std::size_t start = 0, end = 0; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
        lines.push_back(text.substr(start, end - start));
    }
    return lines;
}

std::string expected_bytes(const fs::path& path)
{
    std::string text = read_file(path);
    const std::string marker = "@PROGRAM@";
    const std::string program = TAVRICK_BINARY;
    for (std::size_t at = text.find(marker); at != std::string::npos; at = text.find(marker, at + program.size())) {
        text.replace(at, marker.size(), program);
    }
    return text;
}

// Where the bytes of a stream first differ from those expected, for the failure message.
std::string difference(const char* stream, const std::string& want, const std::string& got)
{
    const std::size_t length = std::min(want.size(), got.size());
    const auto at = static_cast<std::size_t>(
        std::mismatch(want.begin(), want.begin() + static_cast<std::ptrdiff_t>(length), got.begin()).first -
        want.begin());
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
TEST_P(Case, RunsAsRecorded)
{
    const fs::path& folder = GetParam();
    std::map<std::string, std::string> environment = fixture_environment();
    for (const std::string& line : lines_of(read_file(folder / "env"))) {
        const std::size_t equals = line.find('=');
        if (equals == std::string::npos) {
            environment.erase(line);
        } else {
            environment[line.substr(0, equals)] = line.substr(equals + 1);
        }
    }
    const RunResult result = run_tool(lines_of(read_file(folder / "args")), environment, [&] {
        if (::chdir(folder.c_str()) != 0) {
            ::_exit(126);
        }
    });
    const std::string out = expected_bytes(folder / "stdout");
    const std::string err = expected_bytes(folder / "stderr");
    EXPECT_TRUE(result.out == out) << difference("stdout", out, result.out);
    EXPECT_TRUE(result.err == err) << difference("stderr", err, result.err);
    const std::string status = read_file(folder / "status");
    EXPECT_EQ(result.status, status.empty() ? 0 : std::stoi(status));
}

INSTANTIATE_TEST_SUITE_P(Table, Case, ::testing::ValuesIn(case_folders()),
                         [](const ::testing::TestParamInfo<fs::path>& param) {
                             std::string name =
                                 param.param.parent_path().filename().string() + "_" + param.param.filename().string();
                             std::replace(name.begin(), name.end(), '-', '_');
                             return name;
                         });

} // namespace
} // namespace tavrick::testing
