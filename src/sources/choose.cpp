// SPDX-License-Identifier: GPL-3.0-or-later
#include <cstdlib>

#include "sources/sources.h"

namespace tavrick {

std::unique_ptr<AccountSource> open_account_source(std::u16string_view server)
{
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
}

#ifndef TAVRICK_HAVE_NETAPI
namespace {

// Stands in for the server source in a build without libnetapi: every request is unsupported.
class UnsupportedSource final : public AccountSource {
  public:
    std::uint32_t enumerate_page(std::uint32_t, std::uint32_t&, const USER_INFO_3*& records,
                                 std::uint32_t& entries_read) override
    {
        records = nullptr;
        entries_read = 0;
        return k_status_not_supported;
    }
    std::uint32_t user_groups(const char16_t*, std::uint32_t, const char16_t* const*& names,
                              std::uint32_t& entries_read) override
    {
        names = nullptr;
        entries_read = 0;
        return k_status_not_supported;
    }
};

} // namespace

std::unique_ptr<AccountSource> open_samba_source(std::u16string_view /*server*/)
{
    return std::make_unique<UnsupportedSource>();
}
#endif

} // namespace tavrick
