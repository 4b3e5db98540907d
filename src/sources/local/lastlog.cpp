// SPDX-License-Identifier: GPL-3.0-or-later
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utmp.h>

#include "sources/local/local_parts.h"

namespace tavrick {

LastlogReader::LastlogReader(std::string path) : m_path(std::move(path)) {}

LastlogReader::~LastlogReader()
{
    if (m_fd >= 0) {
        ::close(m_fd);
    }
}

std::uint32_t LastlogReader::last_login(uid_t uid)
{
    if (!m_opened) {
        m_opened = true;
        m_fd = ::open(m_path.c_str(), O_RDONLY | O_CLOEXEC);
        struct stat status {};
        if (m_fd >= 0 && ::fstat(m_fd, &status) == 0) {
            m_size = status.st_size;
        }
    }
    // The file is indexed by uid and sparse: most uids lie past its end and have no record.
    const off_t offset = static_cast<off_t>(uid) * static_cast<off_t>(sizeof(struct lastlog));
    if (m_fd < 0 || offset + static_cast<off_t>(sizeof(struct lastlog)) > m_size) {
        return 0;
    }
    struct lastlog entry {};
    if (::pread(m_fd, &entry, sizeof entry, offset) != static_cast<ssize_t>(sizeof entry)) {
        return 0;
    }
    return static_cast<std::uint32_t>(entry.ll_time);
}

} // namespace tavrick
