// SPDX-License-Identifier: GPL-3.0-or-later
// A server's accounts over several connections at once, each in a worker process of its own (see
// worker_pool.h). The parent pages through the names (one request
// a page, always on the first worker, so the paging keeps to one connection as it does with one
// source), then fetches the records the driver reads and, once all of them have come, the groups
// of the accounts it writes, a few requests for each worker ahead of the driver; the answers are
// handed out in page order. Unless told how many connections to use, it first times one request:
// a server that answers fast is read by the one-connection source in this process instead.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <optional>
#include <utility>

#include "sources/sources.h"
#include "sources/worker_pool.h"
#include "text/text.h"

namespace tavrick {

namespace {

// A server that answers a request for one account's record within this time is near enough that a
// listing reads over one connection. The request takes about eight round trips: 3 to 6 ms on the
// loopback, 80 ms over a 10 ms round trip. Requests side by side win from a round trip of about
// 0.3 ms, where the request takes about 6 ms; below 8 ms either way costs about the same.
constexpr std::chrono::milliseconds k_fast_answer{8};

// Group lookups sent ahead for each connection in one step of a page.
constexpr unsigned k_group_requests_per_connection = 4;

class ParallelServerSource final : public AccountSource {
  public:
    ParallelServerSource(std::u16string_view server, ServerConnections connections, std::string problem)
        : m_server(server), m_pool(server, connections.limit), m_automatic(connections.automatic),
          m_problem(std::move(problem))
    {
    }
    ~ParallelServerSource() override = default;
    ParallelServerSource(const ParallelServerSource&) = delete;
    ParallelServerSource& operator=(const ParallelServerSource&) = delete;

    void plan_listing(const ListingPlan& plan) override { m_plan = plan; }

    std::uint32_t enumerate_page(std::uint32_t preferred_max_bytes, std::uint32_t& resume_handle,
                                 const USER_INFO_3*& records, std::uint32_t& entries_read) override
    {
        if (!m_direct && !m_pool.start()) {
            // No process can be started: the listing goes on in this one, as it would with one
            // connection.
            m_direct = open_one_connection_source(m_server);
        }
        if (m_direct) {
            return m_direct->enumerate_page(preferred_max_bytes, resume_handle, records, entries_read);
        }
        clear_page();
        records = nullptr;
        entries_read = 0;
        Answer page = m_pool.run({Request{RequestKind::page_names, preferred_max_bytes, resume_handle, {}}}).front();
        if (std::exchange(m_automatic, false) && answers_fast(page)) {
            // The one-connection source reads the credentials, reports their problem and prints
            // what the library prints itself; this first page is read again there.
            m_pool.retire();
            m_direct = open_one_connection_source(m_server);
            return m_direct->enumerate_page(preferred_max_bytes, resume_handle, records, entries_read);
        }
        write_error(std::exchange(m_problem, {}));
        write_error(page.printed);
        if (page.status != k_status_success && page.status != k_status_more_data) {
            return page.status;
        }
        resume_handle = page.resume_handle;
        const std::uint32_t status = fetch_records(page.names);
        if (status != k_status_success) {
            clear_page();
            return status;
        }
        m_groups.resize(m_records.size());
        records = m_records.data();
        entries_read = static_cast<std::uint32_t>(m_records.size());
        return page.status;
    }

    std::uint32_t user_groups(const char16_t* user_name, std::uint32_t preferred_max_bytes,
                              const char16_t* const*& names, std::uint32_t& entries_read) override
    {
        if (m_direct) {
            return m_direct->user_groups(user_name, preferred_max_bytes, names, entries_read);
        }
        // The driver asks in page order, with the name pointers of this page's records.
        while (m_next_groups < m_groups.size() && m_records[m_next_groups].name != user_name) {
            ++m_next_groups;
        }
        if (m_next_groups < m_groups.size() && m_next_groups >= m_groups_fetched_to) {
            fetch_groups(m_next_groups);
        }
        if (m_next_groups == m_groups.size() || !m_groups[m_next_groups]) {
            // Not fetched ahead: ask now.
            const Answer answer =
                m_pool.run({Request{RequestKind::groups, preferred_max_bytes, 0, name_bytes(user_name)}}).front();
            m_fallback = store_groups(answer);
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

    // True when the server answers a request for one account's record within k_fast_answer, on
    // the connection that has read the first page of names, and the listing reads every account's
    // record: then requests side by side would gain less than they cost, and the one-connection
    // source fetches the records with the fewest requests. The first account's record is the one
    // asked for; a listing of one account, or a structure record, never gets here.
    bool answers_fast(const Answer& page)
    {
        const bool reads_every_record = !m_plan.first_account_only &&
                                        std::all_of(page.names.begin(), page.names.end(), [&](const std::string& name) {
                                            return !m_plan.reads_record || m_plan.reads_record(widen(name).c_str());
                                        });
        if (!reads_every_record || page.names.empty() ||
            (page.status != k_status_success && page.status != k_status_more_data)) {
            return false;
        }
        const auto asked = std::chrono::steady_clock::now();
        const Answer record = m_pool.run({Request{RequestKind::account, 0, 0, page.names.front()}}).front();
        const auto took = std::chrono::steady_clock::now() - asked;
        return record.status == k_status_success && took < k_fast_answer;
    }

    static std::uint32_t hand_out(const Groups& groups, const char16_t* const*& names, std::uint32_t& entries_read)
    {
        write_error(groups.printed);
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

    // The full records of the accounts the driver reads; the others carry their names alone. Any
    // failure fails the page with the first failing account's status, as the level-3 enumeration
    // does, and what the library printed up to it is handed on.
    std::uint32_t fetch_records(const std::vector<std::string>& names)
    {
        m_records.resize(names.size());
        m_hours.reserve(names.size() * k_logon_hours_bytes); // the hours' addresses must not move
        std::vector<std::size_t> wanted;
        std::vector<Request> requests;
        for (std::size_t i = 0; i < names.size(); ++i) {
            m_records[i].name = m_text.store(std::string_view(names[i]));
            const bool read =
                m_plan.first_account_only ? i == 0 : !m_plan.reads_record || m_plan.reads_record(m_records[i].name);
            if (read) {
                wanted.push_back(i);
                requests.push_back(Request{RequestKind::account, 0, 0, names[i]});
            }
        }
        const std::vector<Answer> answers =
            m_pool.run(requests, [](const Answer& answer) { return answer.status != k_status_success; });
        for (std::size_t k = 0; k < answers.size(); ++k) {
            write_error(answers[k].printed);
            if (answers[k].status != k_status_success || !answers[k].record) {
                return answers[k].status != k_status_success ? answers[k].status : k_status_accounts_database;
            }
            m_records[wanted[k]] = store_record(*answers[k].record);
        }
        return k_status_success;
    }

    // The groups of the next accounts the driver will write, from record `from` on, fetched ahead
    // in steps of a few requests for each connection: enough to keep every connection busy, few
    // enough that the records reach the output while the page is still being read, so that an
    // interrupt loses no more than one step.
    void fetch_groups(std::size_t from)
    {
        const std::size_t step = std::size_t{k_group_requests_per_connection} * m_pool.limit();
        const std::size_t read =
            m_plan.first_account_only ? std::min<std::size_t>(1, m_records.size()) : m_records.size();
        std::vector<std::size_t> wanted;
        std::vector<Request> requests;
        std::size_t i = from;
        for (; i < read && wanted.size() < step; ++i) {
            if (m_plan.writes && m_plan.writes(m_records[i]) && m_records[i].name != nullptr) {
                wanted.push_back(i);
                requests.push_back(Request{RequestKind::groups, 0, 0, name_bytes(m_records[i].name)});
            }
        }
        m_groups_fetched_to = std::max(i, from + 1);
        const std::vector<Answer> answers =
            m_pool.run(requests, [](const Answer& answer) { return is_connection_failure(answer.status); });
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

    std::u16string m_server;
    WorkerPool m_pool;
    bool m_automatic;
    std::string m_problem;
    ListingPlan m_plan;
    std::unique_ptr<AccountSource> m_direct; // the one-connection source, when the server answers fast

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

std::unique_ptr<AccountSource> open_parallel_server_source(std::u16string_view server, ServerConnections connections,
                                                           std::string problem)
{
    return std::make_unique<ParallelServerSource>(server, connections, std::move(problem));
}

} // namespace tavrick
