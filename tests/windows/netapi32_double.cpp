// SPDX-License-Identifier: GPL-3.0-or-later
// A stand-in for netapi32.dll under Wine, whose own one has no level-3 or group lookups: fixture
// accounts in pages of three, and statuses chosen by the server name:
//   ""              the fixture accounts
//   \\status-N      status N at once
//   \\late-N        the first page, then status N
//   \\empty234      more data (234) with no records
//   anything else   53, the network path was not found
// A null server name (the tool passes "" for this machine) answers 87.
#include <windows.h>

#include <lm.h>

#include <cstdlib>
#include <cwchar>
#include <string>
#include <vector>

namespace {

struct Fixture {
    const wchar_t* name;
    const wchar_t* full_name;
    DWORD flags;
};

// Each kind of value the writers meet: Latin-1, units above 255 and a surrogate pair, a CR LF in a
// value, a disabled account, a record of null members (the sixth).
const Fixture k_accounts[] = {
    {L"Administrator", L"", 0x10201},
    {L"Guest", L"", 0x10223},
    {L"j\xF6rg", L"J\xF6rg \xC4rger", 0x201},
    {L"\x0416\x0435\x043D\x044F", L"\x0416\x0435\x043D\x044F \xD83D\xDE00", 0x201},
    {L"many", L"Many Groups", 0x201},
    {nullptr, nullptr, 0x201},
    {L"two", L"two\r\nlines", 0x201},
    {L"ghost", L"Ghost", 0x201},
    {L"Disabled", L"Disabled User", 0x203},
};
constexpr DWORD k_count = sizeof(k_accounts) / sizeof(k_accounts[0]);
constexpr DWORD k_page = 3;
BYTE g_hours[21] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x0F};

USER_INFO_3 make_record(DWORD index)
{
    const Fixture& fixture = k_accounts[index];
    USER_INFO_3 record{};
    record.usri3_flags = fixture.flags;
    record.usri3_user_id = 500 + index;
    record.usri3_priv = index == 0 ? 2 : 1;
    if (fixture.name == nullptr) {
        return record;
    }
    auto text = [](const wchar_t* value) { return const_cast<LPWSTR>(value); };
    record.usri3_name = text(fixture.name);
    record.usri3_full_name = text(fixture.full_name);
    record.usri3_password_age = 86400;
    record.usri3_home_dir = text(L"C:\\Users");
    record.usri3_comment = text(L"fixture");
    record.usri3_script_path = record.usri3_usr_comment = record.usri3_parms = text(L"");
    record.usri3_workstations = record.usri3_profile = record.usri3_home_dir_drive = text(L"");
    record.usri3_last_logon = 1700000000;
    record.usri3_acct_expires = TIMEQ_FOREVER;
    record.usri3_max_storage = USER_MAXSTORAGE_UNLIMITED;
    record.usri3_units_per_week = 168;
    record.usri3_logon_hours = g_hours;
    record.usri3_num_logons = 7;
    record.usri3_logon_server = text(L"\\\\*");
    record.usri3_primary_group_id = 513;
    return record;
}

template <typename Record> Record* allocate(LPBYTE* buffer, DWORD count)
{
    *buffer = static_cast<LPBYTE>(std::calloc(count + 1, sizeof(Record)));
    return reinterpret_cast<Record*>(*buffer);
}

} // namespace

extern "C" __declspec(dllexport) NET_API_STATUS WINAPI
    NetUserEnum(LPCWSTR server, DWORD level, DWORD filter, LPBYTE* buffer, DWORD preferred_max, LPDWORD entries_read,
                LPDWORD total_entries, LPDWORD resume_handle)
{
    *buffer = nullptr;
    *entries_read = 0;
    if (server == nullptr || filter != FILTER_NORMAL_ACCOUNT || preferred_max != 1024) {
        return ERROR_INVALID_PARAMETER;
    }
    if (level != 3) {
        return ERROR_INVALID_LEVEL;
    }
    const std::wstring name(server);
    if (name.rfind(L"\\\\status-", 0) == 0 || (name.rfind(L"\\\\late-", 0) == 0 && *resume_handle != 0)) {
        return static_cast<NET_API_STATUS>(std::wcstoul(name.c_str() + name.find(L'-') + 1, nullptr, 10));
    }
    if (name == L"\\\\empty234") {
        return ERROR_MORE_DATA;
    }
    if (!name.empty() && name.rfind(L"\\\\late-", 0) != 0) {
        return ERROR_BAD_NETPATH;
    }
    const DWORD first = *resume_handle;
    const DWORD count = first + k_page < k_count ? k_page : k_count - first;
    USER_INFO_3* records = allocate<USER_INFO_3>(buffer, count);
    for (DWORD i = 0; i < count; ++i) {
        records[i] = make_record(first + i);
    }
    *entries_read = count;
    *total_entries = k_count;
    *resume_handle = first + count;
    return first + count < k_count ? ERROR_MORE_DATA : NERR_Success;
}

// Groups by account: "many" has 200, more than a 10240-byte answer holds (160, counting 64 bytes a
// group); "two" is refused with none; "ghost" is refused with two, the second without a name.
extern "C" __declspec(dllexport) NET_API_STATUS WINAPI
    NetUserGetGroups(LPCWSTR, LPCWSTR user, DWORD level, LPBYTE* buffer, DWORD preferred_max, LPDWORD entries_read,
                     LPDWORD total_entries)
{
    static std::vector<std::wstring> many;
    for (int i = static_cast<int>(many.size()); i < 200; ++i) {
        many.push_back(L"g" + std::to_wstring(1000 + i).substr(1));
    }
    std::vector<const wchar_t*> names;
    NET_API_STATUS status = NERR_Success;
    const std::wstring name(user);
    if (level != 1) {
        return ERROR_INVALID_LEVEL;
    }
    if (name == L"Administrator") {
        names = {L"Administrators", L"Users"};
    } else if (name == L"Guest") {
        names = {L"Guests"};
    } else if (name == L"j\xF6rg") {
        names = {L"Benutzer", L"Caf\xE9"};
    } else if (name == L"\x0416\x0435\x043D\x044F") {
        names = {L"\x0413\x0440\x0443\x043F\x043F\x0430"};
    } else if (name == L"many") {
        for (const std::wstring& group : many) {
            names.push_back(group.c_str());
        }
    } else if (name == L"two") {
        status = ERROR_ACCESS_DENIED;
    } else if (name == L"ghost") {
        names = {L"Users", nullptr};
        status = NERR_UserNotFound;
    } else {
        names = {L"Users"};
    }
    *total_entries = static_cast<DWORD>(names.size());
    if (preferred_max != MAX_PREFERRED_LENGTH && names.size() > preferred_max / 64) {
        names.resize(preferred_max / 64);
        status = ERROR_MORE_DATA;
    }
    GROUP_USERS_INFO_1* groups = allocate<GROUP_USERS_INFO_1>(buffer, static_cast<DWORD>(names.size()));
    for (std::size_t i = 0; i < names.size(); ++i) {
        groups[i].grui1_name = const_cast<LPWSTR>(names[i]);
    }
    *entries_read = static_cast<DWORD>(names.size());
    return status;
}

extern "C" __declspec(dllexport) NET_API_STATUS WINAPI NetApiBufferFree(LPVOID buffer)
{
    std::free(buffer);
    return NERR_Success;
}
