// SPDX-License-Identifier: GPL-3.0-or-later
// The one place where the build's account sources are chosen from.
#include "sources/sources.h"

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
        return open_local_source();
    }
    return open_samba_source(server.substr(name_start));
#endif
}

} // namespace tavrick
