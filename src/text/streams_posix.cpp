// SPDX-License-Identifier: GPL-3.0-or-later
// The standard streams on POSIX systems: plain descriptors, and SIGPIPE for a reader that has gone.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

#include "text/text.h"

namespace tavrick {

std::ptrdiff_t write_to_descriptor(int fd, const char* data, std::size_t size)
{
    return ::write(fd, data, size);
}

void end_for_closed_pipe()
{
    (void)std::signal(SIGPIPE, SIG_DFL);
    (void)std::raise(SIGPIPE);
    // cppcheck-suppress unreachableCode ; raise returns when SIGPIPE is blocked
    _exit(1);
}

void keep_line_ends(int /*fd*/)
{
    // POSIX descriptors never translate line ends.
}

bool utf8_files_need_byte_order_mark()
{
    return false; // UTF-8 is what text files hold here
}

void guard_standard_descriptors()
{
    const int modes[] = {O_RDONLY, O_RDONLY, O_WRONLY};
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (::fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
            // The lowest free descriptor is this one, since the ones below it are open.
            (void)::open("/dev/null", modes[fd]);
        }
    }
}

} // namespace tavrick
