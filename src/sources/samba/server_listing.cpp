// SPDX-License-Identifier: GPL-3.0-or-later
// A server's accounts as the driver pages through them: the pages of names as the first connection
// read them, the records of the accounts the driver reads, and, a few requests for each connection
// ahead of the driver, the groups of the accounts it writes; all handed out in page order.
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <optional>
#include <utility>

#include "sources/samba/connection.h"
#include "sources/samba/status.h"
#include "sources/samba/wire.h"
#include "sources/samba/worker_pool.h"
#include "sources/text_store.h"
#include "text/text.h"

namespace tavrick {

namespace {

// Group lookups sent ahead for each connection in one step of a page.
constexpr unsigned k_group_requests_per_connection = 4;

// The names whose records are read in one go for each connection, from as many pages as it takes:
// a domain controller pages about 19 accounts at a time, which would leave most connections idle
// while each page's last requests come in. Over one connection a page comes out as it did.
constexpr std::size_t k_names_per_connection = 16;

class ServerListing final : public AccountSource {
  public:
    ServerListing(ConnectionOpener open, ServerConnections connections, std::string problem,
                  ConnectionProcesses processes)
        : m_lanes(std::move(open), connections, processes), m_problem(std::move(problem))
    {
    }

    void plan_listing(const ListingPlan& plan) override { m_plan = plan; }

    std::uint32_t enumerate_page(std::uint32_t preferred_max_bytes, std::uint32_t& resume_handle,
                                 const USER_INFO_3*& records, std::uint32_t& entries_read) override
    {
        clear_page();
        records = nullptr;
        entries_read = 0;
        for (;;) {
            const NamePage* page = m_lanes.page(m_next_page++, preferred_max_bytes);
            if (page == nullptr) {
                return k_status_success; // asked past the last page
            }
            write_error(std::exchange(m_problem, {}));
            write_error(printed_for_user(page->printed));
            if (page->status != k_status_success && page->status != k_status_more_data) {
                return page->status;
            }
            // The following pages join this one up to k_names_per_connection names for each
            // connection; a page that failed is left for the next call, so that the records before
            // it come out first.
            std::vector<std::string> names = page->names;
            std::uint32_t page_status = page->status;
            resume_handle = page->resume_handle;
            const std::size_t at_once = k_names_per_connection * m_lanes.width();
            while (page_status == k_status_more_data && !page->names.empty() && names.size() < at_once) {
                page = m_lanes.page(m_next_page, preferred_max_bytes);
                if (page == nullptr || (page->status != k_status_success && page->status != k_status_more_data)) {
                    break;
                }
                ++m_next_page;
                write_error(printed_for_user(page->printed));
                names.insert(names.end(), page->names.begin(), page->names.end());
                page_status = page->status;
                resume_handle = page->resume_handle;
            }
            const std::uint32_t status = fetch_records(names);
            if (status != k_status_success) {
                clear_page();
                return status;
            }
            // Pages whose every account has gone meanwhile are not the end: the driver ends at an
            // empty page.
            if (!m_records.empty() || page_status != k_status_more_data || names.empty()) {
                m_groups.resize(m_records.size());
                records = m_records.data();
                entries_read = static_cast<std::uint32_t>(m_records.size());
                return page_status;
            }
        }
    }

    std::uint32_t user_groups(const char16_t* user_name, std::uint32_t preferred_max_bytes,
                              const char16_t* const*& names, std::uint32_t& entries_read) override
    {
        // The driver asks in page order, with the name pointers of this page's records.
        while (m_next_groups < m_groups.size() && m_records[m_next_groups].name != user_name) {
            ++m_next_groups;
        }
        if (m_next_groups < m_groups.size() && m_next_groups >= m_groups_fetched_to) {
            fetch_groups(m_next_groups);
        }
        if (m_next_groups == m_groups.size() || !m_groups[m_next_groups]) {
            // Not fetched ahead: ask now.
            const std::vector<Answer> answers = m_lanes.fetch(
                {Request{RequestKind::groups, preferred_max_bytes, 0, name_bytes(user_name), false}}, nullptr);
            m_fallback = store_groups(answers.front());
            return hand_out(*m_fallback, names, entries_read);
        }
        return hand_out(*m_groups[m_next_groups++], names, entries_read);
    }

  private:
    struct Groups {
        std::uint32_t status = 0;
        std::string printed;
        std::vector<const char16_t*> names;
    };

    static std::uint32_t hand_out(const Groups& groups, const char16_t* const*& names, std::uint32_t& entries_read)
    {
        write_error(printed_for_user(groups.printed));
        names = groups.names.data();
        entries_read = static_cast<std::uint32_t>(groups.names.size());
        return groups.status;
    }

    static std::string name_bytes(const char16_t* name)
    {
        return encode_units(name != nullptr ? std::u16string_view(name) : u"");
    }

    void clear_page()
    {
        m_records.clear();
        m_hours.clear();
        m_text.clear();
        m_groups.clear();
        m_group_text.clear();
        m_next_groups = 0;
        m_groups_fetched_to = 0;
    }

    // The records of the page's accounts the driver reads; the others carry their names alone; in a
    // structure listing only the first account that is still there. An account the server no longer
    // knows is left out, said on standard error. Any other failure fails the page with the first
    // failing account's status, as the level-3 enumeration does; what the library printed up to it
    // is handed on.
    std::uint32_t fetch_records(const std::vector<std::string>& names)
    {
        m_hours.reserve(names.size() * k_logon_hours_bytes); // the hours' addresses must not move
        std::size_t from = 0;
        while (from < names.size()) {
            std::vector<std::size_t> wanted;
            std::vector<Request> requests;
            for (std::size_t i = from; i < names.size() && !(m_plan.first_account_only && !wanted.empty()); ++i) {
                if (m_plan.first_account_only || !m_plan.reads_record || m_plan.reads_record(widen(names[i]).c_str())) {
                    wanted.push_back(i);
                    requests.push_back(Request{RequestKind::account, 0, 0, names[i], false});
                }
            }
            from = names.size();
            std::vector<Answer> answers = m_lanes.fetch(requests, [](const Answer& answer) {
                return answer.status != k_status_success && !is_account_gone(answer.status);
            });
            std::vector<std::optional<USER_INFO_3>> read(names.size());
            for (std::size_t k = 0; k < answers.size(); ++k) {
                write_error(printed_for_user(answers[k].printed));
                if (is_account_gone(answers[k].status)) {
                    write_error(left_out_note(widen(names[wanted[k]]).c_str()));
                    from = m_plan.first_account_only ? wanted[k] + 1 : from;
                    continue;
                }
                if (answers[k].status != k_status_success || !answers[k].record) {
                    return answers[k].status != k_status_success ? answers[k].status : k_status_accounts_database;
                }
                read[wanted[k]] = store_record(*answers[k].record);
            }
            keep_records(names, wanted, read);
            if (!m_records.empty()) {
                break;
            }
        }
        return k_status_success;
    }

    // The page's records in order: those read, and the names the driver reads no more of; the
    // accounts that are gone are left out.
    void keep_records(const std::vector<std::string>& names, const std::vector<std::size_t>& wanted,
                      const std::vector<std::optional<USER_INFO_3>>& read)
    {
        std::size_t next_wanted = 0;
        for (std::size_t i = 0; i < names.size(); ++i) {
            const bool asked = next_wanted < wanted.size() && wanted[next_wanted] == i;
            next_wanted += asked ? 1 : 0;
            if (asked && read[i]) {
                m_records.push_back(*read[i]);
            } else if (!asked && !m_plan.first_account_only) {
                USER_INFO_3 name_only;
                name_only.name = m_text.store(std::string_view(names[i]));
                m_records.push_back(name_only);
            }
        }
    }

    // The groups of the next accounts the driver will write, from record `from` on, fetched ahead
    // in steps of a few requests for each connection: enough to keep every connection busy, few
    // enough that the records reach the output while the page is still being read, so that an
    // interrupt loses no more than one step.
    void fetch_groups(std::size_t from)
    {
        const std::size_t step = std::size_t{k_group_requests_per_connection} * m_lanes.width();
        std::vector<std::size_t> wanted;
        std::vector<Request> requests;
        std::size_t i = from;
        for (; i < m_records.size() && wanted.size() < step; ++i) {
            if (m_plan.writes && m_plan.writes(m_records[i]) && m_records[i].name != nullptr) {
                wanted.push_back(i);
                requests.push_back(Request{RequestKind::groups, 0, 0, name_bytes(m_records[i].name), false});
            }
        }
        m_groups_fetched_to = std::max(i, from + 1);
        const std::vector<Answer> answers =
            m_lanes.fetch(requests, [](const Answer& answer) { return ends_listing(answer.status); });
        for (std::size_t k = 0; k < answers.size(); ++k) {
            m_groups[wanted[k]] = store_groups(answers[k]);
        }
    }

    Groups store_groups(const Answer& answer)
    {
        Groups groups{answer.status, answer.printed, {}};
        for (const std::string& name : answer.names) {
            groups.names.push_back(m_group_text.store(std::string_view(name)));
        }
        return groups;
    }

    USER_INFO_3 store_record(const WireRecord& from)
    {
        USER_INFO_3 record = from.numbers;
        for (std::size_t i = 0; i < k_text_members.size(); ++i) {
            record.*k_text_members[i] = from.texts[i] ? m_text.store(std::string_view(*from.texts[i])) : nullptr;
        }
        if (from.hours) {
            const std::size_t start = m_hours.size();
            m_hours.insert(m_hours.end(), from.hours->begin(), from.hours->end());
            record.logon_hours = m_hours.data() + start;
        }
        return record;
    }

    ServerLanes m_lanes;
    std::string m_problem;
    ListingPlan m_plan;
    std::size_t m_next_page = 0;

    std::vector<USER_INFO_3> m_records;
    std::vector<unsigned char> m_hours;
    TextStore m_text;
    std::vector<std::optional<Groups>> m_groups; // by record; set where fetched ahead
    std::optional<Groups> m_fallback;
    TextStore m_group_text;
    std::size_t m_next_groups = 0;
    std::size_t m_groups_fetched_to = 0; // the records before it have had their groups fetched
};

} // namespace

ServerConnections server_connections(const char* value)
{
    const ServerConnections automatic{k_default_server_connections, true};
    if (value == nullptr || *value == '\0') {
        return automatic;
    }
    char* end = nullptr;
    errno = 0;
    const unsigned long number = std::strtoul(value, &end, 10);
    if (errno != 0 || *end != '\0' || number < 1 || number > k_max_server_connections) {
        return automatic;
    }
    return ServerConnections{static_cast<unsigned>(number), false};
}

std::unique_ptr<AccountSource> open_server_listing(ConnectionOpener open, ServerConnections connections,
                                                   std::string problem, ConnectionProcesses processes)
{
    return std::make_unique<ServerListing>(std::move(open), connections, std::move(problem), processes);
}

} // namespace tavrick
