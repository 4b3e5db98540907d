// SPDX-License-Identifier: GPL-3.0-or-later
// This machine's accounts through NSS, a page at a time: passwd for the accounts, shadow for their
// state (local_record.cpp), group for their memberships (member_index.cpp).
#include <algorithm>
#include <cerrno>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "sources/local/local_parts.h"

namespace tavrick {

namespace {

constexpr std::uint32_t k_records_per_page = 512;

// An error of an enumeration call, as opposed to its normal end, which may leave any errno.
bool is_lookup_error(int error)
{
    return error == EIO || error == ENOMEM || error == EMFILE || error == ENFILE || error == EAGAIN;
}

// The bytes of a name that came from the system; false when a unit has no byte.
bool narrow(const char16_t* units, std::string& bytes)
{
    bytes.clear();
    for (; *units != u'\0'; ++units) {
        if (*units > 0xFF) {
            return false;
        }
        bytes.push_back(static_cast<char>(*units));
    }
    return true;
}

bool nsswitch_uses_files(const std::string& path)
{
    std::ifstream file(path);
    std::ostringstream text;
    text << file.rdbuf();
    return file && groups_come_from_files(text.str());
}

class LocalSource final : public AccountSource {
  public:
    explicit LocalSource(const LocalSourceOptions& options)
        : m_options(options), m_lastlog(options.lastlog_path),
          m_now(options.now != 0 ? options.now : std::time(nullptr))
    {
    }

    ~LocalSource() override
    {
        if (m_enumerating) {
            endpwent();
        }
    }
    LocalSource(const LocalSource&) = delete;
    LocalSource& operator=(const LocalSource&) = delete;

    std::uint32_t enumerate_page(std::uint32_t /*preferred_max_bytes*/, std::uint32_t& resume_handle,
                                 const USER_INFO_3*& records, std::uint32_t& entries_read) override
    {
        if (!m_shadow_loaded) {
            load_shadow();
        }
        m_text.clear();
        m_records.clear();
        m_numbers_of_page.clear();
        records = nullptr;
        entries_read = 0;
        if (!m_enumerating || resume_handle != m_position) {
            // A new run, or a resume point that is not where the enumeration stands: start over
            // and skip to it, so that every account is returned once.
            setpwent();
            m_enumerating = true;
            m_position = 0;
            while (m_position < resume_handle && getpwent() != nullptr) {
                ++m_position;
            }
        }
        bool at_end = false;
        while (m_records.size() < k_records_per_page) {
            errno = 0;
            const passwd* entry = getpwent();
            if (entry == nullptr) {
                const int error = errno;
                endpwent();
                m_enumerating = false;
                if (is_lookup_error(error)) {
                    return k_status_accounts_database;
                }
                at_end = true;
                break;
            }
            add_record(*entry);
            ++m_position;
        }
        resume_handle = m_position;
        records = m_records.data();
        entries_read = static_cast<std::uint32_t>(m_records.size());
        return at_end ? k_status_success : k_status_more_data;
    }

    std::uint32_t user_groups(const char16_t* user_name, std::uint32_t /*preferred_max_bytes*/,
                              const char16_t* const*& names, std::uint32_t& entries_read) override
    {
        names = nullptr;
        entries_read = 0;
        m_answer.clear();
        m_answer_slots.clear();
        gid_t primary = 0;
        std::uint32_t number = k_no_number;
        if (user_name == nullptr || !find_account(user_name, primary, number)) {
            return k_status_none_mapped;
        }
        if (use_member_index()) {
            answer_from_index(number, primary);
        } else {
            answer_from_getgrouplist(primary);
        }
        names = m_answer.data();
        entries_read = static_cast<std::uint32_t>(m_answer.size());
        return k_status_success;
    }

  private:
    // Shadow states by account number; the first entry of a name counts, as with getspnam.
    void load_shadow()
    {
        m_shadow_loaded = true;
        setspent();
        while (const spwd* entry = getspent()) {
            const std::uint32_t number = m_numbers.number_of(entry->sp_namp);
            if (number >= m_shadow.size()) {
                m_shadow.resize(number + 1);
            }
            if (!m_shadow[number]) {
                m_shadow[number] = shadow_state(*entry, m_now);
            }
        }
        endspent();
    }

    void add_record(const passwd& entry)
    {
        // Every account gets a number, so that its groups are found without hashing the name again.
        const std::uint32_t number = m_numbers.number_of(entry.pw_name, &m_passwd_cursor);
        const ShadowState* shadow = number < m_shadow.size() && m_shadow[number] ? &*m_shadow[number] : nullptr;
        m_records.push_back(account_record(entry, shadow, m_lastlog.last_login(entry.pw_uid), m_text));
        m_numbers_of_page.push_back(number);
    }

    // The primary group and number of an account of the current page, or of the database; `m_name`
    // then holds the name's bytes.
    bool find_account(const char16_t* user_name, gid_t& primary, std::uint32_t& number)
    {
        // Groups are asked for in page order, with the page's own name, so the record after the last
        // one asked is the likely one, and comparing pointers finds it.
        for (int pass = 0; pass < 2; ++pass) {
            for (std::size_t tried = 0; tried < m_records.size(); ++tried) {
                const std::size_t index = (m_last_found + tried) % m_records.size();
                const char16_t* const name = m_records[index].name;
                if (pass == 0 ? name == user_name : std::u16string_view(name) == std::u16string_view(user_name)) {
                    m_last_found = index + 1;
                    primary = m_records[index].primary_group_id;
                    number = m_numbers_of_page[index];
                    return use_member_index() || narrow(user_name, m_name);
                }
            }
        }
        const passwd* entry = narrow(user_name, m_name) ? getpwnam(m_name.c_str()) : nullptr;
        if (entry == nullptr) {
            return false;
        }
        primary = entry->pw_gid;
        number = k_no_number; // looked up in the index, which may have met the name as a member
        return true;
    }

    bool use_member_index()
    {
        if (!m_lookup) {
            m_lookup = m_options.group_lookup == GroupLookup::from_nsswitch
                           ? nsswitch_uses_files(m_options.nsswitch_path)
                           : m_options.group_lookup == GroupLookup::member_index;
        }
        return *m_lookup;
    }

    // The slot of a group id: the group of that id, or its decimal number when there is none.
    std::uint32_t group_slot(gid_t gid)
    {
        const std::uint32_t known = m_groups.find(gid);
        if (known != k_no_number) {
            return known;
        }
        const group* entry = m_index_built ? nullptr : getgrgid(gid);
        return m_groups.slot_of(gid, entry != nullptr ? std::string(entry->gr_name) : std::to_string(gid));
    }

    void add_group(std::uint32_t slot)
    {
        if (std::find(m_answer_slots.begin(), m_answer_slots.end(), slot) == m_answer_slots.end()) {
            m_answer_slots.push_back(slot);
            m_answer.push_back(m_groups.name(slot));
        }
    }

    void answer_from_index(std::uint32_t number, gid_t primary)
    {
        if (!m_index_built) {
            m_index.build(m_numbers, m_groups);
            m_index_built = true;
        }
        add_group(group_slot(primary));
        for (const std::uint32_t slot : m_index.groups_of(number != k_no_number ? number : m_numbers.find(m_name))) {
            add_group(slot);
        }
    }

    void answer_from_getgrouplist(gid_t primary)
    {
        int count = static_cast<int>(std::max<std::size_t>(m_gids.size(), 64));
        for (;;) {
            m_gids.resize(static_cast<std::size_t>(count));
            const int wanted = count;
            if (getgrouplist(m_name.c_str(), primary, m_gids.data(), &count) >= 0) {
                break;
            }
            count = std::max(count, wanted * 2); // the library says how many it needs
        }
        m_gids.resize(static_cast<std::size_t>(count));
        add_group(group_slot(primary));
        for (const gid_t gid : m_gids) {
            add_group(group_slot(gid));
        }
    }

    LocalSourceOptions m_options;
    LastlogReader m_lastlog;
    std::time_t m_now;
    AccountNumbers m_numbers;
    std::size_t m_passwd_cursor = 0; // where the name of the next passwd entry likely stands

    // The page being handed out.
    bool m_enumerating = false;
    std::uint32_t m_position = 0;
    TextStore m_text;
    std::vector<USER_INFO_3> m_records;
    std::vector<std::uint32_t> m_numbers_of_page;
    std::size_t m_last_found = 0;

    bool m_shadow_loaded = false;
    std::vector<std::optional<ShadowState>> m_shadow; // by account number

    // The groups.
    std::optional<bool> m_lookup; // true: the member index; false: getgrouplist
    bool m_index_built = false;
    GroupTable m_groups;
    MemberIndex m_index;
    std::string m_name; // the bytes of the name whose groups are asked for
    std::vector<gid_t> m_gids;
    std::vector<std::uint32_t> m_answer_slots;
    std::vector<const char16_t*> m_answer;
};

} // namespace

std::unique_ptr<AccountSource> open_local_source(const LocalSourceOptions& options)
{
    return std::make_unique<LocalSource>(options);
}

} // namespace tavrick
