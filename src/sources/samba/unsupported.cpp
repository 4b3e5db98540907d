// SPDX-License-Identifier: GPL-3.0-or-later
// The samba source of a build without libnetapi.
#include "sources/samba/samba.h"

namespace tavrick {

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

} // namespace tavrick
