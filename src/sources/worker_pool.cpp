// SPDX-License-Identifier: GPL-3.0-or-later
// The worker processes of the parallel server source: how they are started, fed, heard and ended.
#include "sources/worker_pool.h"

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
[[noreturn]] void serve(int fd, std::u16string_view server)
{
    std::unique_ptr<ServerConnection> connection = open_server_connection(server);
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

} // namespace

WorkerPool::WorkerPool(std::u16string_view server, unsigned limit) : m_server(server), m_limit(limit)
{
    m_workers.reserve(m_limit); // a worker's address stays valid while requests run
}

bool WorkerPool::start()
{
    return first_worker() != nullptr;
}

std::vector<Answer> WorkerPool::run(const std::vector<Request>& requests, bool (*stops)(const Answer&))
{
    std::vector<Answer> answers(requests.size());
    std::size_t next = 0;
    std::size_t done = 0;
    bool stopped = false;
    while (done < next || (!stopped && next < requests.size())) {
        while (!stopped && next < requests.size()) {
            Worker* idle = requests[next].kind == RequestKind::page_names ? first_worker() : idle_worker();
            if ((idle == nullptr || idle->job) && done == next) {
                // Nothing runs and nothing can be started: no answer would ever come.
                answers[next++] = lost_worker_answer();
                ++done;
                continue;
            }
            if (idle == nullptr || idle->job) {
                break;
            }
            idle->job = next;
            if (!write_frame(idle->fd, encode_request(requests[next]))) {
                answers[next] = lost_worker_answer();
                idle->job.reset();
                ++done;
                stopped = stops != nullptr && stops(answers[next]);
            }
            ++next;
        }
        const std::vector<std::size_t> came = collect(answers);
        done += came.size();
        stopped = stopped || (stops != nullptr && std::any_of(came.begin(), came.end(),
                                                              [&](std::size_t job) { return stops(answers[job]); }));
    }
    answers.resize(next);
    return answers;
}

WorkerPool::Worker* WorkerPool::first_worker()
{
    return m_workers.empty() ? start_worker() : &m_workers.front();
}

WorkerPool::Worker* WorkerPool::idle_worker()
{
    const auto idle =
        std::find_if(m_workers.begin(), m_workers.end(), [](const Worker& worker) { return !worker.job; });
    if (idle != m_workers.end()) {
        return &*idle;
    }
    return m_workers.size() < m_limit ? start_worker() : nullptr;
}

WorkerPool::Worker* WorkerPool::start_worker()
{
    std::array<int, 2> ends{};
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends.data()) != 0) {
        return nullptr;
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
        serve(ends[1], m_server);
    }
    ::close(ends[1]);
    if (pid < 0) {
        ::close(ends[0]);
        return nullptr;
    }
    m_workers.push_back(Worker{pid, ends[0], std::nullopt});
    return &m_workers.back();
}

std::vector<std::size_t> WorkerPool::collect(std::vector<Answer>& answers)
{
    flush_output(); // what has been read is out before the wait on the network
    std::vector<pollfd> busy;
    for (const Worker& worker : m_workers) {
        if (worker.job) {
            busy.push_back(pollfd{worker.fd, POLLIN, 0});
        }
    }
    std::vector<std::size_t> came;
    if (busy.empty()) {
        return came;
    }
    while (::poll(busy.data(), busy.size(), -1) < 0 && errno == EINTR) {
    }
    for (Worker& worker : m_workers) {
        const auto ready = std::find_if(busy.begin(), busy.end(), [&](const pollfd& p) { return p.fd == worker.fd; });
        if (!worker.job || ready == busy.end() || ready->revents == 0) {
            continue;
        }
        std::string frame;
        std::optional<Answer> answer;
        if (read_frame(worker.fd, frame)) {
            answer = decode_answer(frame);
        }
        answers[*worker.job] = answer ? std::move(*answer) : lost_worker_answer();
        came.push_back(*worker.job);
        worker.job.reset();
    }
    return came;
}

Answer WorkerPool::lost_worker_answer()
{
    Answer answer;
    answer.status = k_status_bad_netpath;
    return answer;
}

void WorkerPool::retire()
{
    for (Worker& worker : m_workers) {
        ::close(worker.fd);
        worker.fd = -1;
    }
}

WorkerPool::~WorkerPool()
{
    for (const Worker& worker : m_workers) {
        if (worker.fd >= 0) {
            ::close(worker.fd);
        }
        if (worker.job) {
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
    m_workers.clear();
}

} // namespace tavrick
