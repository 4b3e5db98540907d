// SPDX-License-Identifier: GPL-3.0-or-later
// The Windows source: the accounts of this machine or of a server, through the platform's netapi32.
#pragma once

#include <memory>
#include <string_view>

#include "account/account.h"

namespace tavrick {

// The source for a server name in two-backslash form, empty for this machine, as the platform's
// calls take it.
std::unique_ptr<AccountSource> open_windows_source(std::u16string_view server);

} // namespace tavrick
