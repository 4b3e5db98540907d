// SPDX-License-Identifier: GPL-3.0-or-later
// Who the samba source logs on as: the credentials from the environment, read by the tool alone.
#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "sources/samba_library.h"
#include "sources/sources.h"

namespace tavrick {

namespace {

// The first line of the file at `path` (all of it when it has no line feed, empty when it is empty)
// as the password; what is wrong with a file that cannot be read, in `problem`.
void read_password_file(const char* path, ServerCredentials& credentials)
{
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY);
    std::string line;
    int error = fd < 0 ? errno : 0;
    for (std::array<char, 256> chunk{}; error == 0;) {
        const ssize_t got = ::read(fd, chunk.data(), chunk.size());
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            error = got < 0 ? errno : 0;
            break;
        }
        const std::string_view text(chunk.data(), static_cast<std::size_t>(got));
        const std::size_t end = text.find('\n');
        line.append(text.substr(0, end));
        if (end != std::string_view::npos) {
            break;
        }
    }
    if (fd >= 0) {
        ::close(fd);
    }
    if (error != 0) {
        credentials.problem =
            std::string("ERR: cannot read the password file ") + path + ": " + std::strerror(error) + "\n";
    } else {
        credentials.password = std::move(line);
    }
}

} // namespace

ServerCredentials server_credentials(const std::function<const char*(const char*)>& variable)
{
    ServerCredentials credentials;
    const char* user = variable("USER");
    if (user == nullptr) {
        user = variable("LOGNAME");
    }
    if (user != nullptr) {
        const std::string_view typed = user;
        const std::size_t percent = typed.find('%');
        credentials.user = typed.substr(0, percent);
        if (percent != std::string_view::npos) {
            credentials.password = typed.substr(percent + 1);
        }
    }
    if (const char* password = variable("PASSWD")) {
        credentials.password = password;
    }
    if (const char* path = variable("PASSWD_FILE"); path != nullptr && *path != '\0') {
        read_password_file(path, credentials);
    }
    const char* cache = variable("KRB5CCNAME");
    credentials.use_kerberos = cache != nullptr && *cache != '\0';
    return credentials;
}

void forget_credential_variables()
{
    for (const char* name : {"USER", "LOGNAME", "PASSWD", "PASSWD_FILE", "PASSWD_FD"}) {
        ::unsetenv(name);
    }
}

} // namespace tavrick
