// An account source held in memory, scripted page by page, that records what it was asked.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "enumerate/enumerate.h"

namespace tavrick::testing {

struct ScriptedPage {
    std::uint32_t status = k_status_success;
    std::vector<USER_INFO_3> records;
};

class MemorySource final : public AccountSource {
  public:
    std::vector<ScriptedPage> pages;
    std::map<std::u16string, std::vector<std::u16string>> groups;
    std::uint32_t group_status = k_status_success;

    int page_calls = 0;
    std::vector<std::u16string> group_calls;

    std::uint32_t enumerate_page(std::uint32_t /*preferred_max_bytes*/, std::uint32_t& resume_handle,
                                 const USER_INFO_3*& records, std::uint32_t& entries_read) override
    {
        ++page_calls;
        const std::size_t index = resume_handle;
        if (index >= pages.size()) {
            records = nullptr;
            entries_read = 0;
            return k_status_success;
        }
        records = pages[index].records.data();
        entries_read = static_cast<std::uint32_t>(pages[index].records.size());
        resume_handle = static_cast<std::uint32_t>(index + 1);
        return pages[index].status;
    }

    std::uint32_t user_groups(const char16_t* user_name, std::uint32_t /*preferred_max_bytes*/,
                              const char16_t* const*& names, std::uint32_t& entries_read) override
    {
        group_calls.emplace_back(user_name);
        m_answer.clear();
        for (const std::u16string& group : groups[user_name]) {
            m_answer.push_back(group.c_str());
        }
        names = m_answer.data();
        entries_read = static_cast<std::uint32_t>(m_answer.size());
        return group_status;
    }

  private:
    std::vector<const char16_t*> m_answer;
};

// Lends a source to the driver, which takes ownership of what it opens.
class SourceRef final : public AccountSource {
  public:
    explicit SourceRef(AccountSource& target) : m_target(target) {}
    std::uint32_t enumerate_page(std::uint32_t preferred_max_bytes, std::uint32_t& resume_handle,
                                 const USER_INFO_3*& records, std::uint32_t& entries_read) override
    {
        return m_target.enumerate_page(preferred_max_bytes, resume_handle, records, entries_read);
    }
    std::uint32_t user_groups(const char16_t* user_name, std::uint32_t preferred_max_bytes,
                              const char16_t* const*& names, std::uint32_t& entries_read) override
    {
        return m_target.user_groups(user_name, preferred_max_bytes, names, entries_read);
    }

  private:
    AccountSource& m_target;
};

// Runs the driver in this process on `source` with `args` (without the program name) and returns
// what it wrote to standard output. The settings start from their defaults.
std::string run_driver(const std::vector<std::string>& args, AccountSource& source);

// An account with a name, a full name and flags; every other member keeps its zero value.
inline USER_INFO_3 make_account(const char16_t* name, const char16_t* full_name = u"",
                                std::uint32_t flags = k_flag_script | k_flag_normal_account)
{
    USER_INFO_3 account;
    account.name = name;
    account.full_name = full_name;
    account.flags = flags;
    return account;
}

} // namespace tavrick::testing
