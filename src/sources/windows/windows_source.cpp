// SPDX-License-Identifier: GPL-3.0-or-later
// The accounts of this machine or of a server through Windows' own netapi32: NetUserEnum at level 3
// and NetUserGetGroups at level 1. The platform's strings are UTF-16 already and are used in place.
#include <windows.h>

#include <lm.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "sources/windows/windows.h"

namespace tavrick {

namespace {

// wchar_t is the platform's 16-bit code unit, the same representation as char16_t.
static_assert(sizeof(wchar_t) == sizeof(char16_t));

const char16_t* units_of(const wchar_t* text)
{
    return reinterpret_cast<const char16_t*>(text);
}

// A buffer that netapi32 allocated, freed when its holder lets it go.
struct NetApiFree {
    void operator()(BYTE* buffer) const { NetApiBufferFree(buffer); }
};
using NetBuffer = std::unique_ptr<BYTE, NetApiFree>;

tavrick::USER_INFO_3 make_record(const ::USER_INFO_3& from)
{
    tavrick::USER_INFO_3 record;
    record.name = units_of(from.usri3_name);
    record.password = units_of(from.usri3_password);
    record.password_age = from.usri3_password_age;
    record.priv = from.usri3_priv;
    record.home_dir = units_of(from.usri3_home_dir);
    record.comment = units_of(from.usri3_comment);
    record.flags = from.usri3_flags;
    record.script_path = units_of(from.usri3_script_path);
    record.auth_flags = from.usri3_auth_flags;
    record.full_name = units_of(from.usri3_full_name);
    record.usr_comment = units_of(from.usri3_usr_comment);
    record.parms = units_of(from.usri3_parms);
    record.workstations = units_of(from.usri3_workstations);
    record.last_logon = from.usri3_last_logon;
    record.last_logoff = from.usri3_last_logoff;
    record.acct_expires = from.usri3_acct_expires;
    record.max_storage = from.usri3_max_storage;
    record.units_per_week = from.usri3_units_per_week;
    record.logon_hours = from.usri3_logon_hours;
    record.bad_pw_count = from.usri3_bad_pw_count;
    record.num_logons = from.usri3_num_logons;
    record.logon_server = units_of(from.usri3_logon_server);
    record.country_code = from.usri3_country_code;
    record.code_page = from.usri3_code_page;
    record.user_id = from.usri3_user_id;
    record.primary_group_id = from.usri3_primary_group_id;
    record.profile = units_of(from.usri3_profile);
    record.home_dir_drive = units_of(from.usri3_home_dir_drive);
    record.password_expired = from.usri3_password_expired;
    return record;
}

// The server as netapi32 takes it: the two-backslash form, or an empty string (not a null
// pointer) for this machine.
class WindowsSource final : public AccountSource {
  public:
    explicit WindowsSource(std::u16string_view server) : m_server(server.begin(), server.end())
    {
        if (server.find_first_not_of(u'\\') == std::u16string_view::npos) {
            m_server.clear();
        }
    }

    // The platform's strings are UTF-16, lone surrogates and all.
    [[nodiscard]] TextUnits text_units() const override { return TextUnits::utf16; }

    std::uint32_t enumerate_page(std::uint32_t preferred_max_bytes, std::uint32_t& resume_handle,
                                 const tavrick::USER_INFO_3*& records, std::uint32_t& entries_read) override
    {
        m_records.clear();
        LPBYTE buffer = nullptr;
        DWORD read = 0;
        DWORD total = 0;
        DWORD resume = resume_handle;
        const NET_API_STATUS status = NetUserEnum(m_server.c_str(), 3, FILTER_NORMAL_ACCOUNT, &buffer,
                                                  preferred_max_bytes, &read, &total, &resume);
        m_page.reset(buffer); // the last page's records go with the new page
        resume_handle = resume;
        if (buffer != nullptr && (status == NERR_Success || status == ERROR_MORE_DATA)) {
            const auto* page = reinterpret_cast<const ::USER_INFO_3*>(buffer);
            m_records.reserve(read);
            for (DWORD i = 0; i < read; ++i) {
                m_records.push_back(make_record(page[i]));
            }
        }
        records = m_records.data();
        entries_read = static_cast<std::uint32_t>(m_records.size());
        return status;
    }

    std::uint32_t user_groups(const char16_t* user_name, std::uint32_t preferred_max_bytes,
                              const char16_t* const*& names, std::uint32_t& entries_read) override
    {
        const auto* name = reinterpret_cast<const wchar_t*>(user_name);
        LPBYTE buffer = nullptr;
        DWORD read = 0;
        DWORD total = 0;
        NET_API_STATUS status =
            NetUserGetGroups(m_server.c_str(), name, 1, &buffer, preferred_max_bytes, &read, &total);
        if (status == ERROR_MORE_DATA) {
            // The call cannot resume, and a list cut at the buffer's size would lose groups: ask
            // once more for all of them. When that is refused, the first answer's groups stand,
            // with the refusal's status for the driver to judge.
            LPBYTE whole = nullptr;
            DWORD whole_read = 0;
            status = NetUserGetGroups(m_server.c_str(), name, 1, &whole, MAX_PREFERRED_LENGTH, &whole_read, &total);
            if (status == NERR_Success || (whole != nullptr && whole_read >= read)) {
                std::swap(buffer, whole);
                read = whole_read;
            }
            m_groups.reset(whole); // the answer not taken
        }
        m_groups.reset(buffer);
        m_group_names.clear();
        const auto* groups = reinterpret_cast<const GROUP_USERS_INFO_1*>(buffer);
        for (DWORD i = 0; groups != nullptr && i < read; ++i) {
            m_group_names.push_back(units_of(groups[i].grui1_name));
        }
        names = m_group_names.data();
        entries_read = static_cast<std::uint32_t>(m_group_names.size());
        return status;
    }

  private:
    std::wstring m_server;
    NetBuffer m_page;   // the records of the last page point into it
    NetBuffer m_groups; // the last group names point into it
    std::vector<tavrick::USER_INFO_3> m_records;
    std::vector<const char16_t*> m_group_names;
};

} // namespace

std::unique_ptr<AccountSource> open_windows_source(std::u16string_view server)
{
    return std::make_unique<WindowsSource>(server);
}

} // namespace tavrick
