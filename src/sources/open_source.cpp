// SPDX-License-Identifier: GPL-3.0-or-later
// The one place where the build's account sources are chosen from.
#include "sources/sources.h"

#include <cstdlib>

#ifdef _WIN32
#include "sources/windows/windows.h"
#else
#include "sources/local/local.h"
#include "sources/samba/samba.h"
#endif

namespace tavrick {

std::unique_ptr<AccountSource> open_account_source(std::u16string_view server)
{
#ifdef _WIN32
    return open_windows_source(server);
#else
    const std::size_t name_start = server.find_first_not_of(u'\\');
    if (name_start == std::u16string_view::npos) {
        LocalSourceOptions options;
        // Another lastlog file in place of the system's: the tests' own, or one copied from another system.
        if (const char* lastlog = std::getenv("TAVRICK_LASTLOG"); lastlog != nullptr && *lastlog != '\0') {
            options.lastlog_path = lastlog;
        }
        return open_local_source(options);
    }
    return open_samba_source(server.substr(name_start));
#endif
}

} // namespace tavrick
