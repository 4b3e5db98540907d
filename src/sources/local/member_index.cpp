// SPDX-License-Identifier: GPL-3.0-or-later
// The group side of the local source: account and group numbering, and the membership index built
// from one pass over the group database.
#include <algorithm>
#include <cstring>
#include <functional>
#include <optional>
#include <sstream>
#include <utility>

#include "sources/local/local_parts.h"

namespace tavrick {

namespace {

// A slot keeps where its entry starts in the pool in its low 40 bits (pools below 1 TiB).
constexpr std::uint64_t k_start_mask = (std::uint64_t{1} << 40) - 1;
constexpr std::size_t k_first_entry = 1; // no entry starts at 0, so a zero slot is empty

} // namespace

std::uint32_t AccountNumbers::entry_number(std::size_t start) const
{
    std::uint32_t number = 0;
    std::memcpy(&number, m_pool.data() + start, sizeof number);
    return number;
}

std::string_view AccountNumbers::entry_name(std::size_t start) const
{
    std::uint32_t length = 0;
    std::memcpy(&length, m_pool.data() + start + 4, sizeof length);
    return {m_pool.data() + start + 8, length};
}

// The slot that holds `name`, or the empty slot where it would go: open addressing, linear probes.
std::size_t AccountNumbers::probe(std::string_view name, std::size_t hash) const
{
    const std::size_t mask = m_slots.size() - 1;
    for (std::size_t slot = hash & mask;; slot = (slot + 1) & mask) {
        const std::uint64_t entry = m_slots[slot];
        if (entry == 0 ||
            ((entry & ~k_start_mask) == (hash & ~k_start_mask) && entry_name(entry & k_start_mask) == name)) {
            return slot;
        }
    }
}

void AccountNumbers::grow()
{
    if (m_pool.empty()) {
        m_pool.resize(k_first_entry);
    }
    m_slots.assign(std::max<std::size_t>(1024, 2 * m_slots.size()), 0);
    const std::size_t mask = m_slots.size() - 1;
    for (std::size_t start = k_first_entry; start < m_pool.size(); start = entry_end(start)) {
        const std::size_t hash = std::hash<std::string_view>{}(entry_name(start));
        std::size_t slot = hash & mask;
        while (m_slots[slot] != 0) {
            slot = (slot + 1) & mask;
        }
        m_slots[slot] = (hash & ~k_start_mask) | start;
    }
}

std::uint32_t AccountNumbers::number_of(std::string_view name, std::size_t* cursor)
{
    if (cursor != nullptr && *cursor >= k_first_entry && *cursor < m_pool.size() && entry_name(*cursor) == name) {
        const std::size_t start = *cursor;
        *cursor = entry_end(start);
        return entry_number(start);
    }
    if (5 * (std::size_t{m_count} + 1) > 4 * m_slots.size()) { // at most four fifths full
        grow();
    }
    const std::size_t hash = std::hash<std::string_view>{}(name);
    const std::size_t slot = probe(name, hash);
    if (m_slots[slot] != 0) {
        const std::size_t start = m_slots[slot] & k_start_mask;
        if (cursor != nullptr) {
            *cursor = entry_end(start);
        }
        return entry_number(start);
    }
    const std::uint32_t number = m_count++;
    const auto length = static_cast<std::uint32_t>(name.size());
    m_slots[slot] = (hash & ~k_start_mask) | m_pool.size();
    m_pool.append(reinterpret_cast<const char*>(&number), sizeof number);
    m_pool.append(reinterpret_cast<const char*>(&length), sizeof length);
    m_pool.append(name);
    return number;
}

std::uint32_t AccountNumbers::find(std::string_view name) const
{
    if (m_slots.empty()) {
        return k_no_number;
    }
    const std::uint64_t entry = m_slots[probe(name, std::hash<std::string_view>{}(name))];
    return entry == 0 ? k_no_number : entry_number(entry & k_start_mask);
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
