// SPDX-License-Identifier: GPL-3.0-or-later
// The libnetapi entry points the samba source calls, as one table: the real library's, loaded on
// first use, or a stand-in's, so that the source's handling of the library's answers can be
// exercised without a server.
#pragma once

#include <dlfcn.h>

#include <cstdint> // before netapi.h, which uses the fixed-width types without including them

#include <netapi.h>

#include <memory>
#include <string_view>

#include "sources/samba/connection.h"

namespace tavrick {

// Points `function` at the library's symbol `name`; false when the library has none.
template <typename Function> bool resolve(void* library, const char* name, Function& function)
{
    function = reinterpret_cast<Function>(::dlsym(library, name));
    return function != nullptr;
}

struct NetApi {
    decltype(&::libnetapi_init) init = nullptr;
    decltype(&::libnetapi_free) free = nullptr;
    decltype(&::libnetapi_set_username) set_username = nullptr;
    decltype(&::libnetapi_set_password) set_password = nullptr;
    decltype(&::libnetapi_set_use_kerberos) set_use_kerberos = nullptr;
    decltype(&::libnetapi_get_error_string) get_error_string = nullptr;
    decltype(&::NetUserEnum) user_enum = nullptr;
    decltype(&::NetUserGetGroups) user_get_groups = nullptr;
    decltype(&::NetUserGetInfo) user_get_info = nullptr;
    decltype(&::NetApiBufferFree) buffer_free = nullptr;
};

// What libnetapi returns for every connection it could not open, whatever the cause.
inline constexpr std::uint32_t k_status_cannot_complete = 1003;

// Removes the variables from which the library would take credentials by itself when a context is
// initialised: it parses them with no regard for odd values (USER='%' crashes it) and complains
// about password files on its own. The tool has read them already and hands the result over.
void forget_credential_variables();

// A connection to `server` on the entry points of `api`, which must outlive it; null stands for a
// library that could not be loaded, and every call then answers 50. It takes the credentials from
// the environment, then removes them from there (see forget_credential_variables).
std::unique_ptr<ServerConnection> open_samba_connection(std::u16string_view server, const NetApi* api);

} // namespace tavrick
