// SPDX-License-Identifier: GPL-3.0-or-later
// The account sources behind the AccountSource interface, chosen here and nowhere else: on Windows
// the platform's own calls; elsewhere this machine's accounts through NSS, and a server's through
// Samba's libnetapi.
#pragma once

#include <memory>
#include <string_view>

#include "account/account.h"

namespace tavrick {

// Opens the source for a server name in two-backslash form: the local machine when the name after
// the backslashes is empty, the server of that name otherwise.
std::unique_ptr<AccountSource> open_account_source(std::u16string_view server);

} // namespace tavrick
