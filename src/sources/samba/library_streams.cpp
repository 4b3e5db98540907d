// SPDX-License-Identifier: GPL-3.0-or-later
// Where the standard streams point while Samba's library runs, and SIGPIPE blocked meanwhile.
#include "sources/samba/library_streams.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "sources/samba/status.h"
#include "text/text.h"

namespace tavrick {

namespace {

// Moves `fd` to a number above the standard streams, so that it cannot stand in for one of them.
int above_standard_streams(int fd)
{
    if (fd < 0 || fd > STDERR_FILENO) {
        return fd;
    }
    const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    ::close(fd);
    return moved;
}

} // namespace

LibraryStreams::LibraryStreams()
{
    (void)std::fflush(stdout);
    m_saved_output = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    // With standard output closed the duplicate fails, and so do the writes, as they would have.
    const int writer_fd = set_output_fd(m_saved_output);
    if (writer_fd == STDOUT_FILENO) {
        m_moved_writer = true;
    } else {
        set_output_fd(writer_fd); // already pointed elsewhere by its owner
    }
    m_capture = above_standard_streams(::memfd_create("tavrick-library-output", MFD_CLOEXEC));
    if (m_capture >= 0) {
        ::dup2(m_capture, STDOUT_FILENO);
    } else {
        ::dup2(STDERR_FILENO, STDOUT_FILENO);
    }

    m_saved_input = ::fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    const int nothing = above_standard_streams(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    if (nothing >= 0) {
        ::dup2(nothing, STDIN_FILENO);
        ::close(nothing);
    }
}

LibraryStreams::~LibraryStreams()
{
    take_printed();
    if (m_saved_output >= 0) {
        ::dup2(m_saved_output, STDOUT_FILENO);
    } else {
        ::close(STDOUT_FILENO);
    }
    if (m_moved_writer) {
        set_output_fd(STDOUT_FILENO);
    }
    if (m_saved_output >= 0) {
        ::close(m_saved_output);
    }
    if (m_saved_input >= 0) {
        ::dup2(m_saved_input, STDIN_FILENO);
        ::close(m_saved_input);
    } else {
        ::close(STDIN_FILENO);
    }
    if (m_capture >= 0) {
        ::close(m_capture);
    }
}

void LibraryStreams::capture_errors()
{
    if (m_capture < 0 || m_saved_error >= 0) {
        return;
    }
    (void)std::fflush(stderr);
    m_saved_error = ::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    if (m_saved_error >= 0) {
        ::dup2(m_capture, STDERR_FILENO);
    }
}

// NOLINTNEXTLINE(readability-make-member-function-const): it empties the capture file
std::string LibraryStreams::take_printed()
{
    (void)std::fflush(stdout);
    if (m_saved_error >= 0) {
        (void)std::fflush(stderr);
        ::dup2(m_saved_error, STDERR_FILENO);
        ::close(m_saved_error);
        m_saved_error = -1;
    }
    struct stat status {};
    if (m_capture < 0 || ::fstat(m_capture, &status) != 0 || status.st_size <= 0) {
        return {};
    }
    std::string printed(static_cast<std::size_t>(status.st_size), '\0');
    std::size_t got = 0;
    while (got < printed.size()) {
        const ssize_t read = ::pread(m_capture, printed.data() + got, printed.size() - got, static_cast<off_t>(got));
        if (read <= 0) {
            break;
        }
        got += static_cast<std::size_t>(read);
    }
    printed.resize(got);
    // Standard output shares the file offset with the capture: start both afresh.
    if (::ftruncate(m_capture, 0) == 0) {
        ::lseek(m_capture, 0, SEEK_SET);
    }
    if (m_echo) {
        write_error(printed_for_user(printed));
    }
    return printed;
}

SigpipeBlocked::SigpipeBlocked()
{
    sigemptyset(&m_pipe);
    sigaddset(&m_pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &m_pipe, &m_previous);
}

SigpipeBlocked::~SigpipeBlocked()
{
    sigset_t pending;
    sigemptyset(&pending);
    if (sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1) {
        const timespec no_wait{};
        sigtimedwait(&m_pipe, nullptr, &no_wait);
    }
    pthread_sigmask(SIG_SETMASK, &m_previous, nullptr);
}

} // namespace tavrick
