// SPDX-License-Identifier: GPL-3.0-or-later
// The standard streams on Windows: the C runtime's descriptors, left in text mode, so that every
// line feed written to either stream reaches the file as CR LF, also one that follows a CR; only the
// formats that write their own line ends (CSV, JSON) take standard output out of it.
#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <climits>
#include <cstdlib>

#include "text/text.h"

namespace tavrick {

std::ptrdiff_t write_to_descriptor(int fd, const char* data, std::size_t size)
{
    // _write counts the bytes taken from `data`, before the CRs it adds.
    return _write(fd, data, static_cast<unsigned>(std::min<std::size_t>(size, INT_MAX / 2)));
}

void end_for_closed_pipe()
{
    // Windows has no SIGPIPE: end quietly.
    std::_Exit(1);
}

void keep_line_ends(int fd)
{
    (void)_setmode(fd, _O_BINARY);
}

bool utf8_files_need_byte_order_mark()
{
    return true; // spreadsheet programs read a CSV file without one in the ANSI code page
}

void guard_standard_descriptors()
{
    const int modes[] = {_O_RDONLY, _O_RDONLY, _O_WRONLY};
    for (int fd = 0; fd <= 2; ++fd) {
        if (_get_osfhandle(fd) == -1) {
            // The runtime hands out the lowest free descriptor, which is this one.
            (void)_open("NUL", modes[fd] | _O_TEXT);
        }
    }
}

} // namespace tavrick
