// SPDX-License-Identifier: GPL-3.0-or-later
// The group side of the local source: account and group numbering, and the membership index built
// from one pass over the group database.
#include <algorithm>
#include <optional>
#include <sstream>
#include <utility>

#include "sources/local_seams.h"

namespace tavrick {

std::uint32_t AccountNumbers::number_of(std::string_view name)
{
    const auto known = m_numbers.find(name);
    if (known != m_numbers.end()) {
        return known->second;
    }
    const auto number = static_cast<std::uint32_t>(m_names.size());
    m_numbers.emplace(m_names.emplace_back(name), number);
    return number;
}

std::uint32_t AccountNumbers::find(std::string_view name) const
{
    const auto known = m_numbers.find(name);
    return known != m_numbers.end() ? known->second : k_no_number;
}

std::uint32_t GroupTable::slot_of(gid_t gid, std::string_view name)
{
    const auto [place, added] = m_slots.try_emplace(gid, static_cast<std::uint32_t>(m_names.size()));
    if (added) {
        m_names.push_back(m_text.store(name));
    }
    return place->second;
}

std::uint32_t GroupTable::find(gid_t gid) const
{
    const auto known = m_slots.find(gid);
    return known != m_slots.end() ? known->second : k_no_number;
}

// The memberships are gathered in database order, then sorted by account number with a counting
// pass, which keeps database order within an account: account n owns m_slots from m_ends[n - 1]
// (0 for the first) up to m_ends[n].
void MemberIndex::build(AccountNumbers& numbers, GroupTable& groups)
{
    std::deque<std::uint32_t> members;                             // account numbers; grows without copying
    std::vector<std::pair<std::uint32_t, std::size_t>> group_ends; // group slot, end of its members
    setgrent();
    while (const group* entry = getgrent()) {
        const std::uint32_t slot = groups.slot_of(entry->gr_gid, entry->gr_name);
        for (char** member = entry->gr_mem; member != nullptr && *member != nullptr; ++member) {
            members.push_back(numbers.number_of(*member));
        }
        group_ends.emplace_back(slot, members.size());
    }
    endgrent();

    m_ends.assign(numbers.size(), 0);
    for (const std::uint32_t number : members) {
        ++m_ends[number];
    }
    std::size_t start = 0;
    for (std::size_t& end : m_ends) {
        start += std::exchange(end, start); // each account's start, advanced below to its end
    }
    m_slots.resize(members.size());
    std::size_t next = 0;
    for (const auto& [slot, end] : group_ends) {
        for (; next < end; ++next) {
            m_slots[m_ends[members[next]]++] = slot;
        }
    }
}

std::span<const std::uint32_t> MemberIndex::groups_of(std::uint32_t number) const
{
    if (number >= m_ends.size()) {
        return {};
    }
    const std::size_t begin = number == 0 ? 0 : m_ends[number - 1];
    return {m_slots.data() + begin, m_ends[number] - begin};
}

bool groups_come_from_files(std::string_view nsswitch_text)
{
    std::optional<std::string> initgroups_sources;
    std::optional<std::string> group_sources;
    std::istringstream lines{std::string(nsswitch_text)};
    std::string line;
    while (std::getline(lines, line)) {
        line.resize(std::min(line.size(), line.find('#')));
        const std::size_t colon = line.find(':');
        if (colon == std::string::npos) {
            continue;
        }
        std::string database;
        std::istringstream(line.substr(0, colon)) >> database;
        std::optional<std::string>& sources = database == "initgroups" ? initgroups_sources : group_sources;
        if ((database == "initgroups" || database == "group") && !sources) {
            sources = line.substr(colon + 1);
        }
    }
    if (!initgroups_sources && !group_sources) {
        return true; // the C library reads groups from files when nothing is configured
    }
    std::istringstream words(initgroups_sources ? *initgroups_sources : *group_sources);
    std::string word;
    bool any = false;
    bool in_action = false;
    while (words >> word) {
        // Bracketed actions such as [NOTFOUND=return] are not sources.
        if (in_action || word.front() == '[') {
            in_action = word.back() != ']';
            continue;
        }
        if (word != "files" && word != "systemd") {
            return false;
        }
        any = true;
    }
    return any;
}

} // namespace tavrick
