// SPDX-License-Identifier: GPL-3.0-or-later
// Runs a command with standard output to /dev/null and prints, on one line of standard output, its
// wall time in seconds, its peak resident memory in KiB, its exit status and its CPU time (user plus
// system) in seconds.
//
// The peak must come from a small parent: Linux counts the memory of the process that forked (or
// vforked) the command into the command's own peak, so a benchmark driver that holds the tool's
// output would otherwise read its own size.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s COMMAND [ARGUMENT...]\n", argv[0]);
        return 2;
    }
    const int sink = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    timespec start{};
    timespec end{};
    ::clock_gettime(CLOCK_MONOTONIC, &start);
    const pid_t child = ::fork();
    if (child == 0) {
        ::dup2(sink, STDOUT_FILENO);
        ::execvp(argv[1], argv + 1);
        std::perror(argv[1]);
        ::_exit(127);
    }
    int status = 0;
    rusage usage{};
    if (child < 0 || ::wait4(child, &status, 0, &usage) != child) {
        std::perror("measure");
        return 2;
    }
    ::clock_gettime(CLOCK_MONOTONIC, &end);
    const double seconds =
        static_cast<double>(end.tv_sec - start.tv_sec) + static_cast<double>(end.tv_nsec - start.tv_nsec) / 1e9;
    const int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    const double cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                       static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    std::printf("%.6f %ld %d %.6f\n", seconds, usage.ru_maxrss, code, cpu);
    return 0;
}
