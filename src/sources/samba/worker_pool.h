// SPDX-License-Identifier: GPL-3.0-or-later
// The connections of a server listing. libnetapi is not thread-safe and keeps one context per
// process, so each connection lives in a worker process of its own, forked on demand (after the
// library is loaded, before this process has a context) and fed one request at a time over a socket
// pair; only when no process can be started does one connection run in this process. WorkerPool is
// the mechanism, ServerLanes the policy: which request goes where, and when a connection logs on.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "sources/samba/connection.h"
#include "sources/samba/wire.h"

namespace tavrick {

class WorkerPool {
  public:
    // Lanes whose connections `open` makes, in the process that uses them.
    WorkerPool(ConnectionOpener open, ConnectionProcesses processes);
    // Idle workers log off when their socket closes; one that has not ended within a second (a busy
    // one, the listing having ended early, or a logoff waiting on a server that stopped answering)
    // is killed: nothing it does is wanted any more. All are reaped.
    ~WorkerPool();
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    // Starts another lane and returns its number (lanes count from 0 in the order started); none
    // when no process can be started. The first lane then runs in this process, and no other lane
    // can start after it.
    std::optional<std::size_t> start();
    // Sends `request` to the lane, which must be idle; a worker that has died answers as a lost
    // connection.
    void send(std::size_t lane, const Request& request);
    // Waits until at least one busy lane has answered; returns the answers with their lanes, none
    // when no lane is busy. A worker that dies or answers nonsense answers as a lost connection.
    std::vector<std::pair<std::size_t, Answer>> wait();
    // Closes the lane's socket: an idle worker logs off and ends while the listing goes on.
    void retire(std::size_t lane);

  private:
    struct Worker {
        pid_t pid = -1;
        int fd = -1;
        bool busy = false;
    };

    std::optional<std::size_t> start_worker();

    ConnectionOpener m_open;
    ConnectionProcesses m_processes;
    std::vector<Worker> m_workers;
    std::unique_ptr<ServerConnection> m_here;            // the connection in this process, when there is one
    std::vector<std::pair<std::size_t, Answer>> m_ready; // answered without a wait
};

// One page of names as the server gave it.
struct NamePage {
    std::uint32_t status = 0;
    std::uint32_t resume_handle = 0; // after the page
    std::string printed;             // by the library while it answered
    std::vector<std::string> names;
};

// The requests of one server listing over its connections. The first connection reads the pages of
// names from the first to the last, back to back, and nothing else until they are all in: the
// enumeration stays on one library context, whose resume handle a domain controller ties to it, and
// the server's account list has the least time to change under the paging. Records and groups go
// to the other connections, and to the first once the names are in.
//
// Logons: a connection logs on with its first request, and again with the first request after
// every k_requests_per_logon of its own (a fresh context frees what the library kept). At most one
// logon is in flight at any time, and after a logon the server refused, none is made again: a
// listing costs at most one failed logon, whatever the number of connections. A connection the
// server refuses while another is logged on (a server that limits sessions) is given up, its
// request goes to the others, and the listing goes on over the connections it has.
//
// Automatic: the listing works over one connection until it has timed eight record requests; when
// the fastest of them took k_slow_record or more, it opens more, one logon at a time, as requests
// wait for them.
class ServerLanes {
  public:
    ServerLanes(ConnectionOpener open, ServerConnections connections, ConnectionProcesses processes);

    // Page `index` of names (0 first), waited for as needed; null past the last. Paging starts at
    // the first call, with `preferred_max_bytes`.
    const NamePage* page(std::size_t index, std::uint32_t preferred_max_bytes);

    // Answers record and group requests in their order. Once an answer `stops` the listing at its
    // request, no later request is sent: the answers end with the first one that stops.
    std::vector<Answer> fetch(const std::vector<Request>& requests, bool (*stops)(const Answer&));

    // The connections that may work at once now.
    [[nodiscard]] unsigned width() const { return m_allowed; }

  private:
    struct Lane {
        bool logged_on = false;  // its last logon succeeded
        bool logging_on = false; // the request in flight makes its logon
        bool busy = false;
        bool retired = false;
        unsigned requests = 0;          // record and group requests since its logon
        std::optional<std::size_t> job; // the fetch request in flight; none for a page
    };

    void send_what_can_go();
    bool send_page();
    bool send_fetch(std::size_t job);
    void send(std::size_t lane, const Request& request, std::optional<std::size_t> job);
    [[nodiscard]] bool may_log_on() const;
    [[nodiscard]] bool paging() const { return m_paging_started && !m_paged; }
    [[nodiscard]] bool anything_in_flight() const;
    void wait();
    void file(std::size_t lane, Answer answer);
    void file_page(Answer answer);
    void file_fetch(std::size_t job, bool logon, Answer answer);
    [[nodiscard]] unsigned logged_on_lanes() const;
    void time_record(const Answer& answer);
    void end_stuck_work();

    WorkerPool m_pool;
    std::vector<Lane> m_lanes;
    unsigned m_cap;     // connections at most: the limit, lowered when the server refuses more
    unsigned m_allowed; // connections that may run now
    bool m_automatic;
    std::vector<std::uint32_t> m_record_times; // of the first record requests, microseconds
    bool m_no_more_logons = false;
    std::uint32_t m_last_refusal = k_status_bad_netpath;

    std::deque<NamePage> m_pages; // stays where it is while more pages come
    bool m_paging_started = false;
    bool m_paged = false;
    std::uint32_t m_preferred_max_bytes = 0;

    const std::vector<Request>* m_requests = nullptr;
    std::vector<std::optional<Answer>> m_answers;
    std::deque<std::size_t> m_queue; // requests to send, in order
    std::size_t m_stop_at = 0;       // no request after this one is sent
    bool (*m_stops)(const Answer&) = nullptr;
};

} // namespace tavrick
