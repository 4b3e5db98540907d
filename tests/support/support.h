// SPDX-License-Identifier: GPL-3.0-or-later
// Helpers shared by the tests.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "cli/cli.h"
#include "enumerate/enumerate.h"

namespace tavrick::testing {

// The bytes of a file, empty when it cannot be read.
std::string read_file(const std::string& path);

// The bytes `action` writes through the tool's byte writer.
std::string capture_output(const std::function<void()>& action);

// An account source held in memory, scripted page by page, that records what it was asked (a copy
// into the original: the driver owns the source it opens).
struct ScriptedPage {
    std::uint32_t status = k_status_success;
    std::vector<USER_INFO_3> records;
};
class MemorySource final : public AccountSource {
  public:
    std::vector<ScriptedPage> pages; // page n answers resume handle n and sets it to n + 1
    std::map<std::u16string, std::vector<std::u16string>> groups;
    int page_calls = 0;
    std::vector<std::u16string> group_calls;
    MemorySource* record_into = this;
    TextUnits units = TextUnits::bytes;

    [[nodiscard]] TextUnits text_units() const override { return units; }

    std::uint32_t enumerate_page(std::uint32_t, std::uint32_t& resume_handle, const USER_INFO_3*& records,
                                 std::uint32_t& entries_read) override
    {
        ++record_into->page_calls;
        const ScriptedPage& page = pages.at(resume_handle++);
        records = page.records.data();
        entries_read = static_cast<std::uint32_t>(page.records.size());
        return page.status;
    }
    std::uint32_t user_groups(const char16_t* user_name, std::uint32_t, const char16_t* const*& names,
                              std::uint32_t& entries_read) override
    {
        record_into->group_calls.emplace_back(user_name);
        m_answer.clear();
        for (const std::u16string& group : groups[user_name]) {
            m_answer.push_back(group.c_str());
        }
        names = m_answer.data();
        entries_read = static_cast<std::uint32_t>(m_answer.size());
        return k_status_success;
    }

  private:
    std::vector<const char16_t*> m_answer;
};

// An argument vector; everything from `fd` (from its start when a file), which is then closed.
std::vector<char*> pointers(std::vector<std::string>& strings);
std::string read_fd(int fd);

// Parses, or runs the driver in this process on `source` with, `args` (after the program name);
// the settings start from (as the process does) and are put back to their defaults. The driver's
// standard output is returned, its exit status and standard error go to `status` and `errors`.
Settings parse(std::vector<std::string> args);
std::string run_driver(std::vector<std::string> args, const SourceOpener& open_source, int* status = nullptr,
                       std::string* errors = nullptr);
std::string run_driver(std::vector<std::string> args, MemorySource& source, int* status = nullptr,
                       std::string* errors = nullptr);

// Checks the table tests/fixtures/tables/`name`: each line with a tab is a row of fields split at
// tabs, and `function` of a row must give its last field, byte for byte; other lines are notes. In
// a field \n and \t stand for a line feed and a tab, every other backslash for itself.
using Row = std::vector<std::string>;
void expect_table(const std::string& name, const std::function<std::string(const Row&)>& function);

} // namespace tavrick::testing
