// SPDX-License-Identifier: GPL-3.0-or-later
// A stand-in for netapi32.dll under Wine, whose own one has no level-3 or group lookups: fixture
// accounts in pages of three, and statuses chosen by the server name:
//   ""              the fixture accounts
//   \\status-N      status N at once
//   \\late-N        the first page, then status N
//   \\empty234      more data (234) with no records
//   \\second-N      the fixture accounts; a group lookup's second call, for the whole list, answers N
//   \\gone          the fixture accounts; "ghost" is deleted before its groups are looked up
//   \\lone          the fixture accounts and one more whose text holds lone surrogates
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
    std::vector<const wchar_t*> groups; // "many" has 200, made at the first lookup
    NET_API_STATUS group_status = NERR_Success;
};

// Each kind of value the writers meet: Latin-1, units above 255 and a surrogate pair, more groups
// than one 10240-byte answer holds (160, counting 64 bytes a group), a record of null members, a
// CR LF in a value, group lookups refused with no groups and with two (one without a name), and
// disabled accounts.
std::vector<Fixture> g_accounts = {
    {L"Administrator", L"", 0x10201, {L"Administrators", L"Users"}},
    {L"Guest", L"", 0x10223, {L"Guests"}},
    {L"j\xF6rg", L"J\xF6rg \xC4rger", 0x201, {L"Benutzer", L"Caf\xE9"}},
    {L"\x0416\x0435\x043D\x044F",
     L"\x0416\x0435\x043D\x044F \xD83D\xDE00",
     0x201,
     {L"\x0413\x0440\x0443\x043F\x043F\x0430"}},
    {L"many", L"Many Groups", 0x201, {}},
    {nullptr, nullptr, 0x201, {}},
    {L"two", L"two\r\nlines", 0x201, {}, ERROR_ACCESS_DENIED},
    {L"ghost", L"Ghost", 0x201, {L"Users", nullptr}, ERROR_ACCESS_DENIED},
    {L"Disabled", L"Disabled User", 0x203, {L"Users"}},
    {L"lone\xD800",
     L"\xDC00 pair \xD83D\xDE00 end \xD83D",
     0x203,
     {L"\x0413\x0440\x0443\x043F\x043F\x0430", L"x\xDFFF"}},
};
const DWORD k_count = static_cast<DWORD>(g_accounts.size()) - 1; // the last one for \\lone alone
constexpr DWORD k_page = 3;
BYTE g_hours[21] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x0F};

LPWSTR text(const wchar_t* value)
{
    return const_cast<LPWSTR>(value);
}

USER_INFO_3 make_record(DWORD index)
{
    const Fixture& fixture = g_accounts[index];
    if (fixture.name == nullptr) {
        USER_INFO_3 record{};
        record.usri3_flags = fixture.flags;
        record.usri3_user_id = 500 + index;
        return record;
    }
    // The members in their declared order.
    // clang-format off
    return {text(fixture.name), nullptr, 86400, index == 0 ? 2U : 1U, text(L"C:\\Users"), text(L"fixture"),
            fixture.flags, text(L""), 0, text(fixture.full_name), text(L""), text(L""), text(L""), 1700000000, 0,
            TIMEQ_FOREVER, USER_MAXSTORAGE_UNLIMITED, 168, g_hours, 0, 7, text(L"\\\\*"), 0, 0, 500 + index, 513,
            text(L""), text(L""), 0};
    // clang-format on
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
    if (server == nullptr || level != 3 || filter != FILTER_NORMAL_ACCOUNT || preferred_max != 1024) {
        return ERROR_INVALID_PARAMETER; // not what the tool asks for
    }
    const std::wstring name(server);
    if (name.rfind(L"\\\\status-", 0) == 0 || (name.rfind(L"\\\\late-", 0) == 0 && *resume_handle != 0)) {
        return static_cast<NET_API_STATUS>(std::wcstoul(name.c_str() + name.find(L'-') + 1, nullptr, 10));
    }
    if (name == L"\\\\empty234") {
        return ERROR_MORE_DATA;
    }
    if (!name.empty() && name != L"\\\\gone" && name != L"\\\\lone" && name.rfind(L"\\\\late-", 0) != 0 &&
        name.rfind(L"\\\\second-", 0) != 0) {
        return ERROR_BAD_NETPATH;
    }
    const DWORD all = name == L"\\\\lone" ? k_count + 1 : k_count;
    const DWORD first = *resume_handle;
    const DWORD count = first + k_page < all ? k_page : all - first;
    USER_INFO_3* records = allocate<USER_INFO_3>(buffer, count);
    for (DWORD i = 0; i < count; ++i) {
        records[i] = make_record(first + i);
    }
    *entries_read = count;
    *total_entries = all;
    *resume_handle = first + count;
    return first + count < all ? ERROR_MORE_DATA : NERR_Success;
}

extern "C" __declspec(dllexport) NET_API_STATUS WINAPI
    NetUserGetGroups(LPCWSTR server, LPCWSTR user, DWORD level, LPBYTE* buffer, DWORD preferred_max,
                     LPDWORD entries_read, LPDWORD total_entries)
{
    if (preferred_max == MAX_PREFERRED_LENGTH && std::wcsncmp(server, L"\\\\second-", 9) == 0) {
        return static_cast<NET_API_STATUS>(std::wcstoul(server + 9, nullptr, 10));
    }
    static std::wstring many[200];
    for (std::size_t i = g_accounts[4].groups.size(); i < 200; ++i) {
        many[i] = L"g" + std::to_wstring(1000 + i).substr(1);
        g_accounts[4].groups.push_back(many[i].c_str());
    }
    if (level != 1) {
        return ERROR_INVALID_PARAMETER;
    }
    if (std::wcscmp(server, L"\\\\gone") == 0 && std::wcscmp(user, L"ghost") == 0) {
        return NERR_UserNotFound;
    }
    std::vector<const wchar_t*> names = {L"Users"};
    NET_API_STATUS status = NERR_Success;
    for (const Fixture& fixture : g_accounts) {
        if (fixture.name != nullptr && std::wcscmp(fixture.name, user) == 0) {
            names = fixture.groups;
            status = fixture.group_status;
        }
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
