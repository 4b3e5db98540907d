// SPDX-License-Identifier: GPL-3.0-or-later
// Which request of a server listing goes to which connection, and when a connection logs on.
#include <algorithm>
#include <chrono>

#include "sources/samba/worker_pool.h"

namespace tavrick {

namespace {

// Record and group requests a connection makes before it logs on afresh: the library keeps about
// 4 KB of every answer on its context (measured: 7.8 KB an account, record and groups, on a domain
// controller), so about 8 MB at most, for one logon every 1,000 accounts.
constexpr unsigned k_requests_per_logon = 2000;

// A record request takes about eight round trips: 3 to 6 ms on the loopback, 80 ms over a 10 ms
// round trip. Requests side by side win from a round trip of about 0.3 ms, where it takes about
// 6 ms; below 8 ms either way costs about the same. The fastest of the first eight counts, which
// the load of the machine does not push up as it pushes up one.
constexpr std::chrono::microseconds k_slow_record{8000};
constexpr std::size_t k_timed_records = 8;

// A logon request answered with this status has logged on: the call reached the account list.
bool logged_on_by(std::uint32_t status)
{
    return status == k_status_success || status == k_status_more_data || is_account_gone(status);
}

} // namespace

ServerLanes::ServerLanes(ConnectionOpener open, ServerConnections connections, ConnectionProcesses processes)
    : m_pool(std::move(open), processes), m_cap(std::max(1U, connections.limit)),
      m_allowed(connections.automatic ? 1 : m_cap), m_automatic(connections.automatic)
{
}

const NamePage* ServerLanes::page(std::size_t index, std::uint32_t preferred_max_bytes)
{
    if (!m_paging_started) {
        m_paging_started = true;
        m_preferred_max_bytes = preferred_max_bytes;
    }
    while (index >= m_pages.size() && !m_paged) {
        send_what_can_go();
        if (!anything_in_flight()) {
            end_stuck_work();
        }
        wait();
    }
    return index < m_pages.size() ? &m_pages[index] : nullptr;
}

std::vector<Answer> ServerLanes::fetch(const std::vector<Request>& requests, bool (*stops)(const Answer&))
{
    m_requests = &requests;
    m_answers.assign(requests.size(), std::nullopt);
    m_queue.clear();
    for (std::size_t job = 0; job < requests.size(); ++job) {
        m_queue.push_back(job);
    }
    m_stop_at = requests.size();
    m_stops = stops;
    for (;;) {
        send_what_can_go();
        const bool fetching = std::any_of(m_lanes.begin(), m_lanes.end(), [](const Lane& lane) { return lane.job; });
        const bool waiting = !m_queue.empty() && m_queue.front() < m_stop_at;
        if (!fetching && !waiting) {
            break;
        }
        if (!anything_in_flight()) {
            end_stuck_work();
        }
        wait();
    }
    std::vector<Answer> answers;
    for (std::size_t job = 0; job < requests.size() && job <= m_stop_at; ++job) {
        if (!m_answers[job]) {
            // Never: every request is sent until one stops the listing. Should one be left
            // unanswered all the same, it is not taken for an answer: the listing ends at it.
            answers.emplace_back().status = k_status_bad_netpath;
            break;
        }
        answers.push_back(std::move(*m_answers[job]));
    }
    m_requests = nullptr;
    m_queue.clear();
    return answers;
}

void ServerLanes::send_what_can_go()
{
    if (paging() && !send_page()) {
        return; // the first connection is not there yet
    }
    while (m_requests != nullptr && !m_queue.empty() && m_queue.front() < m_stop_at && send_fetch(m_queue.front())) {
        m_queue.pop_front();
    }
}

// The next page on the first connection, unless one is in flight; false while there is no first
// connection and none can log on.
bool ServerLanes::send_page()
{
    if (m_lanes.empty()) {
        if (!may_log_on() || !m_pool.start()) {
            return false;
        }
        m_lanes.emplace_back();
    }
    const Lane& first = m_lanes.front();
    if (!first.busy && (first.logged_on || may_log_on())) {
        const std::uint32_t resume_handle = m_pages.empty() ? 0 : m_pages.back().resume_handle;
        send(0, Request{RequestKind::page_names, m_preferred_max_bytes, resume_handle, {}, false}, std::nullopt);
    }
    return true;
}

// Sends request `job` to an idle connection that is logged on, renewing its context when due and
// allowed, or to a new connection; false when none can take it now.
bool ServerLanes::send_fetch(std::size_t job)
{
    for (std::size_t i = 0; i < m_lanes.size(); ++i) {
        const Lane& lane = m_lanes[i];
        if (lane.busy || lane.retired || !lane.logged_on || (i == 0 && paging())) {
            continue;
        }
        Request request = (*m_requests)[job];
        request.renew = lane.requests >= k_requests_per_logon && may_log_on();
        send(i, request, job);
        return true;
    }
    const auto running = static_cast<unsigned>(
        std::count_if(m_lanes.begin(), m_lanes.end(), [](const Lane& lane) { return !lane.retired; }));
    if (running >= m_allowed || !may_log_on()) {
        return false;
    }
    const std::optional<std::size_t> started = m_pool.start();
    if (!started) {
        m_cap = std::max(1U, running); // no process can be started: the listing keeps what it has
        m_allowed = std::min(m_allowed, m_cap);
        return false;
    }
    m_lanes.emplace_back();
    send(*started, (*m_requests)[job], job);
    return true;
}

void ServerLanes::send(std::size_t lane, const Request& request, std::optional<std::size_t> job)
{
    Lane& state = m_lanes[lane];
    state.busy = true;
    state.job = job;
    state.logging_on = !state.logged_on || request.renew;
    if (request.renew) {
        state.logged_on = false;
    }
    m_pool.send(lane, request);
}

bool ServerLanes::may_log_on() const
{
    return !m_no_more_logons &&
           std::none_of(m_lanes.begin(), m_lanes.end(), [](const Lane& lane) { return lane.logging_on; });
}

bool ServerLanes::anything_in_flight() const
{
    return std::any_of(m_lanes.begin(), m_lanes.end(), [](const Lane& lane) { return lane.busy; });
}

void ServerLanes::wait()
{
    for (auto& [lane, answer] : m_pool.wait()) {
        file(lane, std::move(answer));
    }
}

void ServerLanes::file(std::size_t lane, Answer answer)
{
    Lane& state = m_lanes[lane];
    state.busy = false;
    const std::optional<std::size_t> job = std::exchange(state.job, std::nullopt);
    const bool logon = std::exchange(state.logging_on, false);
    if (logon && logged_on_by(answer.status)) {
        state.logged_on = true;
        state.requests = 0;
    } else if (logon && job && !is_logon_refusal(answer.status) && logged_on_lanes() > 0) {
        // The server took no more connections (or would not give this one what the others have):
        // the listing goes on over those it has, and this request goes to one of them.
        state.retired = true;
        m_pool.retire(lane);
        m_cap = logged_on_lanes();
        m_allowed = std::min(m_allowed, m_cap);
        m_queue.push_front(*job);
        std::sort(m_queue.begin(), m_queue.end());
        return;
    } else if (logon) {
        // A refused logon is never tried again, on any connection.
        m_no_more_logons = true;
        m_last_refusal = answer.status;
    }
    if (job) {
        ++state.requests;
        file_fetch(*job, logon, std::move(answer));
    } else {
        file_page(std::move(answer));
    }
}

void ServerLanes::file_page(Answer answer)
{
    const bool last = answer.status != k_status_more_data || answer.names.empty();
    m_pages.push_back(
        NamePage{answer.status, answer.resume_handle, std::move(answer.printed), std::move(answer.names)});
    m_paged = last;
}

void ServerLanes::file_fetch(std::size_t job, bool logon, Answer answer)
{
    if (!logon && (*m_requests)[job].kind == RequestKind::account) {
        time_record(answer);
    }
    if (m_stops != nullptr && m_stops(answer)) {
        m_stop_at = std::min(m_stop_at, job);
    }
    m_answers[job] = std::move(answer);
}

unsigned ServerLanes::logged_on_lanes() const
{
    return static_cast<unsigned>(std::count_if(m_lanes.begin(), m_lanes.end(),
                                               [](const Lane& lane) { return lane.logged_on && !lane.retired; }));
}

// Automatic: once eight records have come, more connections when even the fastest was slow.
void ServerLanes::time_record(const Answer& answer)
{
    if (!m_automatic || answer.status != k_status_success) {
        return;
    }
    m_record_times.push_back(answer.took_microseconds);
    if (m_record_times.size() == k_timed_records) {
        m_automatic = false;
        const auto fastest = *std::min_element(m_record_times.begin(), m_record_times.end());
        if (std::chrono::microseconds(fastest) >= k_slow_record) {
            m_allowed = m_cap;
        }
    }
}

// Nothing is in flight and nothing can be sent (no connection may log on any more): what is still
// asked for gets the status of the refusal that stopped the logons.
void ServerLanes::end_stuck_work()
{
    Answer refused;
    refused.status = m_last_refusal;
    if (paging()) {
        file_page(refused);
    }
    while (m_requests != nullptr && !m_queue.empty() && m_queue.front() < m_stop_at) {
        const std::size_t job = m_queue.front();
        m_queue.pop_front();
        file_fetch(job, true, refused);
    }
}

} // namespace tavrick
