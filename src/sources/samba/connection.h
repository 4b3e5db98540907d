// SPDX-License-Identifier: GPL-3.0-or-later
// The connections of a server listing: one library context each, and the listing over them.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "account/account.h"

namespace tavrick {

// One libnetapi context, as each connection of a server listing holds one. Every call returns the
// status Windows would report; what the library printed is kept for the caller rather than written
// to standard error. The context logs on at its first call, and again at the first call after
// renew().
class ServerConnection {
  public:
    virtual ~ServerConnection() = default;

    // NetUserEnum at level 0: the names of one page. The server pages by the same resume handle
    // and preferred size whatever the level, so these are the accounts of the level-3 page.
    virtual std::uint32_t page_names(std::uint32_t preferred_max_bytes, std::uint32_t& resume_handle,
                                     std::vector<std::string>& names) = 0;
    // NetUserGetInfo at level 3: the record of one account, valid until the next call; null on an
    // error. The library builds it exactly as the level-3 enumeration builds each of its records.
    virtual std::uint32_t account(const std::string& name, const USER_INFO_3*& record) = 0;
    // NetUserGetGroups at level 1: the names the call reported, whatever the status.
    virtual std::uint32_t groups(const std::string& name, std::vector<std::string>& names) = 0;
    // Frees the context and starts a fresh one. The library keeps what it fetched for every call
    // (about 4 KB a record or group request) until its context is freed; nothing else frees it.
    virtual void renew() = 0;
    // What the library printed since the connection opened or since the last call of this.
    virtual std::string take_printed() = 0;
};

// Makes one connection; called in the process that will use it.
using ConnectionOpener = std::function<std::unique_ptr<ServerConnection>()>;

// How a server listing uses its connections: at most `limit` at once. `automatic`: the listing
// starts on one connection and opens more, up to the limit, only when the server answers slowly.
struct ServerConnections {
    unsigned limit = 0;
    bool automatic = false;
};

// Where a listing's connections live: each in a worker process of its own (libnetapi is not
// thread-safe and keeps one context per process), or the only one in this process.
enum class ConnectionProcesses { workers, this_process };

// A server's accounts over connections that `open` makes. All names are read first, page after
// page on one connection from the first page to the last; the records and groups of the accounts
// the driver reads are spread over the connections. The records, their order, the messages and the
// statuses are those of one connection reading one request after the other. An account that the
// server no longer knows when its record or groups are read is left out, with a line on standard
// error. `problem` is what reading the credentials had to report, written once before anything the
// library prints.
std::unique_ptr<AccountSource> open_server_listing(ConnectionOpener open, ServerConnections connections,
                                                   std::string problem,
                                                   ConnectionProcesses processes = ConnectionProcesses::workers);

// How a server listing uses connections: TAVRICK_SERVER_CONNECTIONS=N, a number from 1 to
// k_max_server_connections, sets N and nothing automatic (1: one connection, one request after the
// other); unset or out of range (`value` null: unset), automatic up to k_default_server_connections.
inline constexpr unsigned k_default_server_connections = 16;
inline constexpr unsigned k_max_server_connections = 32;
ServerConnections server_connections(const char* value);

} // namespace tavrick
