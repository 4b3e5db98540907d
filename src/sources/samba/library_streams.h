// SPDX-License-Identifier: GPL-3.0-or-later
// The standard streams and the SIGPIPE mask as the samba source sets them while Samba's library
// runs, and gives back afterwards.
#pragma once

#include <csignal>
#include <string>

namespace tavrick {

// While the library runs, its standard output is a private memory file and its standard input is
// /dev/null; during each call its standard error goes to the same file. The tool's records go to a
// duplicate of the real standard output, so nothing the library prints can end up among them, and
// nothing it does can wait for a typed answer. What it prints is handed on to standard error after
// each call, in the order printed and as printed_for_user shows it, where a user looks for
// diagnostics, and kept whole for the caller: it is the only place where the library names why a
// connection failed.
class LibraryStreams {
  public:
    LibraryStreams();
    ~LibraryStreams();
    LibraryStreams(const LibraryStreams&) = delete;
    LibraryStreams& operator=(const LibraryStreams&) = delete;

    // Sends standard error to the capture file as well, until the next take_printed: the library
    // logs some causes of failure there, and nowhere else.
    void capture_errors();

    // What the library has printed since the last call, now also written to standard error (as
    // printed_for_user shows it).
    // NOLINTNEXTLINE(readability-make-member-function-const): it empties the capture file
    std::string take_printed();

    // Keeps what the library prints from standard error: the caller hands it on itself.
    void keep_printed() { m_echo = false; }

  private:
    int m_saved_output = -1;
    int m_saved_input = -1;
    int m_saved_error = -1;
    int m_capture = -1;
    bool m_moved_writer = false;
    bool m_echo = true;
};

// Samba writes to its sockets without MSG_NOSIGNAL and counts on SIGPIPE being blocked, which
// libnetapi_init arranges for the whole process. The tool's own output must still end the tool on a
// closed pipe, as any filter ends. So SIGPIPE is blocked only while the library runs, and one that
// the library's writes left pending is discarded before the previous mask comes back.
class SigpipeBlocked {
  public:
    SigpipeBlocked();
    ~SigpipeBlocked();
    SigpipeBlocked(const SigpipeBlocked&) = delete;
    SigpipeBlocked& operator=(const SigpipeBlocked&) = delete;

  private:
    sigset_t m_pipe{};
    sigset_t m_previous{};
};

} // namespace tavrick
