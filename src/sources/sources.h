// SPDX-License-Identifier: GPL-3.0-or-later
// The account sources behind the AccountSource interface: this machine's accounts through NSS, and
// a server's through Samba's libnetapi.
#pragma once

#include <sys/types.h>

#include <array>
#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "enumerate/enumerate.h"

namespace tavrick {

// Stable storage for the wide strings of one answer: pointers stay valid until clear(), which keeps
// the memory for the next answer.
class TextStore {
  public:
    // Stores the bytes widened one to one, with a terminating zero.
    const char16_t* store(std::string_view bytes);
    const char16_t* store(std::u16string_view units);
    void clear();

  private:
    char16_t* reserve(std::size_t units);

    struct Block {
        std::unique_ptr<char16_t[]> units;
        std::size_t size = 0;
    };
    std::vector<Block> m_blocks;
    std::size_t m_block = 0; // the block being filled
    std::size_t m_used = 0;  // units used in it
};

// How the local source finds the groups of an account.
enum class GroupLookup {
    from_nsswitch, // the member index when nsswitch.conf names only files or systemd, else getgrouplist
    member_index,  // one pass over the group database, then answers from memory
    getgrouplist,  // the C library's getgrouplist for each account
};

struct LocalSourceOptions {
    GroupLookup group_lookup = GroupLookup::from_nsswitch;
    std::string nsswitch_path = "/etc/nsswitch.conf";
    std::string lastlog_path = "/var/log/lastlog";
    std::time_t now = 0; // the clock for account ages and expiry; 0 reads the real clock
};

// This machine's accounts, through NSS. Its parts are declared in local_seams.h.
std::unique_ptr<AccountSource> open_local_source(const LocalSourceOptions& options = {});

// A server's accounts through libnetapi; `server` is the name without leading backslashes. A build
// without libnetapi answers every request with status 50. See open_server_listing.
std::unique_ptr<AccountSource> open_samba_source(std::u16string_view server);

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

// A ServerConnection to `server` (the name without leading backslashes) on the real library, with
// the credentials of the environment.
std::unique_ptr<ServerConnection> open_server_connection(std::u16string_view server);

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

// --- between a server listing and its worker processes -------------------------------------------
// Each request and each answer travels as one frame: a 32-bit length, then the bytes. Text is the
// library's bytes; a record's absent text stays absent.

enum class RequestKind : std::uint8_t { page_names = 1, account = 2, groups = 3 };

struct Request {
    RequestKind kind = RequestKind::page_names;
    std::uint32_t preferred_max_bytes = 0; // of a page
    std::uint32_t resume_handle = 0;       // before a page
    std::string name;                      // of the account asked about
    bool renew = false;                    // a fresh context first: this request logs on again
};

// A USER_INFO_3 in transit: the numbers in place, the text and the hours beside them.
struct WireRecord {
    USER_INFO_3 numbers;
    std::vector<std::optional<std::string>> texts; // in the order of k_text_members
    std::optional<std::vector<unsigned char>> hours;
};

struct Answer {
    std::uint32_t status = 0;
    std::uint32_t resume_handle = 0; // after a page
    std::string printed;             // by the library while it answered
    std::vector<std::string> names;  // of a page's accounts, or of an account's groups
    std::optional<WireRecord> record;
    std::uint32_t took_microseconds = 0; // the library call's own time
};

// The text members of USER_INFO_3, in the order they travel.
inline constexpr std::array k_text_members = {
    &USER_INFO_3::name,         &USER_INFO_3::password,     &USER_INFO_3::home_dir,    &USER_INFO_3::comment,
    &USER_INFO_3::script_path,  &USER_INFO_3::full_name,    &USER_INFO_3::usr_comment, &USER_INFO_3::parms,
    &USER_INFO_3::workstations, &USER_INFO_3::logon_server, &USER_INFO_3::profile,     &USER_INFO_3::home_dir_drive,
};

std::string encode_request(const Request& request);
// What a worker does with one request frame: makes the call on `connection`, timed, and encodes the
// answer.
std::string answer_request(ServerConnection& connection, std::string_view request);
// Empty when the frame is not a whole answer.
std::optional<Answer> decode_answer(std::string_view frame);
// False at the end of the stream or on an error.
bool read_frame(int fd, std::string& frame);
bool write_frame(int fd, std::string_view frame);

// How a server listing uses connections: TAVRICK_SERVER_CONNECTIONS=N, a number from 1 to
// k_max_server_connections, sets N and nothing automatic (1: one connection, one request after the
// other); unset or out of range (`value` null: unset), automatic up to k_default_server_connections.
inline constexpr unsigned k_default_server_connections = 16;
inline constexpr unsigned k_max_server_connections = 32;
ServerConnections server_connections(const char* value);

// Who the samba source logs on as.
struct ServerCredentials {
    std::string user;     // NAME, DOMAIN\NAME or NAME@REALM; empty for an anonymous session
    std::string password; // empty when none is given
    bool use_kerberos = false;
    std::string problem; // what is wrong with the password file, as a line for standard error
};

// Who runs the tool, for a logon that the environment names nobody for: the principal of a
// Kerberos credential cache (empty when it holds none), and the login name of the process's user.
struct LogonIdentity {
    std::function<std::string(const char* cache)> cache_principal;
    std::function<std::string()> login_name;
};
// This system's: the cache read through MIT Kerberos (loaded when first asked), the user from the
// account database by the effective user id.
LogonIdentity system_identity();

// The credentials as Samba's clients take them from the environment: the user from USER (LOGNAME
// when USER is unset) up to its first '%'; the password after that '%', replaced by PASSWD when set,
// and by the first line of the file PASSWD_FILE names (empty for an empty file); Kerberos when
// KRB5CCNAME is set and not empty. With both USER and LOGNAME unset, the user is the principal of
// the cache that KRB5CCNAME names, else the process's login name. A PASSWD_FILE that cannot be read
// leaves the password as it was and says why in `problem`. `variable` returns a variable's value,
// or null when it is unset.
ServerCredentials server_credentials(const std::function<const char*(const char*)>& variable,
                                     const LogonIdentity& identity = system_identity());

// The status Windows would report for a libnetapi call that returned `status`, given the library's
// error string for it and what the library printed during it. The library returns 1003 for every
// connection it could not open and names the cause only in what it prints; a printed session
// failure wins even over a success, which would then be an anonymous session's; a session refused
// after a bad signature is a logon failure, the server having offered a guest session.
std::uint32_t windows_status(std::uint32_t status, std::string_view error_text, std::string_view printed);

// What the user reads on standard error for what the library printed during its calls: the same,
// except that its complaint about a bad signature (a line, and a hex dump after the SMB2 one) is
// left out, and the refused session that follows it ("session setup failed:
// NT_STATUS_ACCESS_DENIED") becomes one line saying that the server offered a guest session (over
// SMB1: or cannot sign). Whole calls' text at a time: a logon's lines come within one call.
std::string printed_for_user(std::string_view printed);

// The account expiry time Windows would report for the one libnetapi returned. The library keeps
// only the low 32 bits of the seconds since 1970 that it computes from the server's NT time, so a
// domain controller's "never expires" (the largest NT time) arrives as a date in 1975; Windows
// reports 0xFFFFFFFF for it. Every other time passes unchanged.
std::uint32_t windows_account_expiry(std::uint32_t expires);

} // namespace tavrick
