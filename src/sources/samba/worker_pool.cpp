// SPDX-License-Identifier: GPL-3.0-or-later
// The worker processes of a server listing: how they are started, fed, heard and ended.
#include "sources/samba/worker_pool.h"

#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <ctime>

#include "text/text.h"

namespace tavrick {

namespace {

// A worker's life: serve requests until the parent closes its end, then log off and leave. It dies
// with the parent, and never runs the parent's exit handlers or flushes its output buffer.
[[noreturn]] void serve(int fd, const ConnectionOpener& open)
{
    std::unique_ptr<ServerConnection> connection = open();
    std::string request;
    while (read_frame(fd, request)) {
        const std::string answer = answer_request(*connection, request);
        if (!write_frame(fd, answer)) {
            break;
        }
    }
    connection.reset();
    ::_exit(0);
}

// A worker that died or answered nonsense: the connection counts as lost.
Answer lost_connection()
{
    Answer answer;
    answer.status = k_status_bad_netpath;
    return answer;
}

} // namespace

WorkerPool::WorkerPool(ConnectionOpener open, ConnectionProcesses processes)
    : m_open(std::move(open)), m_processes(processes)
{
}

std::optional<std::size_t> WorkerPool::start()
{
    if (m_here) {
        return std::nullopt;
    }
    if (m_processes == ConnectionProcesses::workers) {
        if (const std::optional<std::size_t> lane = start_worker()) {
            return lane;
        }
    }
    if (!m_workers.empty()) {
        return std::nullopt;
    }
    m_here = m_open();
    m_workers.push_back(Worker{});
    return 0;
}

std::optional<std::size_t> WorkerPool::start_worker()
{
    std::array<int, 2> ends{};
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends.data()) != 0) {
        return std::nullopt;
    }
    flush_output(); // the child must not inherit records still to be written
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent) {
            ::_exit(0);
        }
        for (const Worker& other : m_workers) {
            ::close(other.fd);
        }
        ::close(ends[0]);
        serve(ends[1], m_open);
    }
    ::close(ends[1]);
    if (pid < 0) {
        ::close(ends[0]);
        return std::nullopt;
    }
    m_workers.push_back(Worker{pid, ends[0], false});
    return m_workers.size() - 1;
}

void WorkerPool::send(std::size_t lane, const Request& request)
{
    Worker& worker = m_workers.at(lane);
    worker.busy = true;
    if (m_here) {
        const std::optional<Answer> answer = decode_answer(answer_request(*m_here, encode_request(request)));
        m_ready.emplace_back(lane, answer ? *answer : lost_connection());
    } else if (!write_frame(worker.fd, encode_request(request))) {
        m_ready.emplace_back(lane, lost_connection());
    }
}

std::vector<std::pair<std::size_t, Answer>> WorkerPool::wait()
{
    std::vector<std::pair<std::size_t, Answer>> came = std::exchange(m_ready, {});
    if (came.empty()) {
        std::vector<pollfd> busy;
        for (const Worker& worker : m_workers) {
            if (worker.busy && worker.fd >= 0) {
                busy.push_back(pollfd{worker.fd, POLLIN, 0});
            }
        }
        if (busy.empty()) {
            return came;
        }
        flush_output(); // what has been read is out before the wait on the network
        while (::poll(busy.data(), busy.size(), -1) < 0 && errno == EINTR) {
        }
        for (std::size_t lane = 0; lane < m_workers.size(); ++lane) {
            const auto ready =
                std::find_if(busy.begin(), busy.end(), [&](const pollfd& p) { return p.fd == m_workers[lane].fd; });
            if (ready == busy.end() || ready->revents == 0) {
                continue;
            }
            std::string frame;
            std::optional<Answer> answer;
            if (read_frame(m_workers[lane].fd, frame)) {
                answer = decode_answer(frame);
            }
            came.emplace_back(lane, answer ? std::move(*answer) : lost_connection());
        }
    }
    for (const auto& answer : came) {
        m_workers[answer.first].busy = false;
    }
    return came;
}

void WorkerPool::retire(std::size_t lane)
{
    Worker& worker = m_workers.at(lane);
    if (worker.fd >= 0) {
        ::close(worker.fd);
        worker.fd = -1;
    }
}

WorkerPool::~WorkerPool()
{
    m_here.reset();
    for (const Worker& worker : m_workers) {
        if (worker.fd >= 0) {
            ::close(worker.fd);
        }
        if (worker.busy && worker.pid > 0) {
            ::kill(worker.pid, SIGKILL);
        }
    }
    constexpr int k_polls = 100;
    constexpr long k_poll_nanoseconds = 10'000'000; // 10 ms, so a second in all
    for (int poll = 0; poll < k_polls; ++poll) {
        bool all_ended = true;
        for (Worker& worker : m_workers) {
            if (worker.pid > 0 && ::waitpid(worker.pid, nullptr, WNOHANG) == worker.pid) {
                worker.pid = -1;
            }
            all_ended = all_ended && worker.pid <= 0;
        }
        if (all_ended) {
            break;
        }
        const timespec interval{0, k_poll_nanoseconds};
        ::nanosleep(&interval, nullptr);
    }
    for (const Worker& worker : m_workers) {
        if (worker.pid > 0) {
            ::kill(worker.pid, SIGKILL);
            while (::waitpid(worker.pid, nullptr, 0) < 0 && errno == EINTR) {
            }
        }
    }
}

} // namespace tavrick
