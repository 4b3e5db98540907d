// SPDX-License-Identifier: GPL-3.0-or-later
// The worker processes of the parallel server source. libnetapi is not thread-safe and keeps one
// context per process, so each connection lives in a worker process of its own, forked on demand
// (after the library is loaded, before this process has a context) and fed one request at a time
// over a socket pair. Workers die with the tool and are reaped when the pool ends.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sources/sources.h"

namespace tavrick {

class WorkerPool {
  public:
    // Workers for `server`, at most `limit` at once.
    WorkerPool(std::u16string_view server, unsigned limit);
    // Idle workers log off when their socket closes; one that has not ended within a second (a busy
    // one, the listing having ended early, or a logoff waiting on a server that stopped answering)
    // is killed: nothing it does is wanted any more. All are reaped.
    ~WorkerPool();
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    [[nodiscard]] unsigned limit() const { return m_limit; }

    // Starts the first worker unless it runs; false when no process can be started.
    bool start();

    // Answers the requests in their order, each on the first idle worker; page requests, which
    // come alone, always on the first worker. A worker is started only when all are busy and
    // fewer than the limit run, so a listing that needs one connection opens one. Once an answer
    // `stops` the listing at its request, no later request is sent (the reader never gets past
    // it); the answers returned are those of the requests sent. A request that no worker can take
    // gets the answer of a lost connection.
    std::vector<Answer> run(const std::vector<Request>& requests, bool (*stops)(const Answer&) = nullptr);

    // Closes the workers' sockets: an idle worker logs off and ends while the listing goes on.
    void retire();

  private:
    struct Worker {
        pid_t pid = -1;
        int fd = -1;
        std::optional<std::size_t> job; // the request it is answering
    };

    Worker* first_worker();
    Worker* idle_worker();
    Worker* start_worker();
    // Waits for at least one busy worker to answer; stores the answers; returns the requests they
    // answer.
    std::vector<std::size_t> collect(std::vector<Answer>& answers);
    // A worker that died or answered nonsense: the connection counts as lost.
    static Answer lost_worker_answer();

    std::u16string m_server;
    unsigned m_limit;
    std::vector<Worker> m_workers;
};

} // namespace tavrick
