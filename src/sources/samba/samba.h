// SPDX-License-Identifier: GPL-3.0-or-later
// The samba source: a server's accounts, through Samba's libnetapi.
#pragma once

#include <memory>
#include <string_view>

#include "account/account.h"

namespace tavrick {

// A server's accounts through libnetapi; `server` is the name without leading backslashes. A build
// without libnetapi answers every request with status 50. See open_server_listing.
std::unique_ptr<AccountSource> open_samba_source(std::u16string_view server);

} // namespace tavrick
