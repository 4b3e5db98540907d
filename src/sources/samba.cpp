// SPDX-License-Identifier: GPL-3.0-or-later
// A server's accounts through Samba's libnetapi: NetUserEnum at level 3 and NetUserGetGroups at
// level 1, with the library's answers widened into the tool's records and its failures reported as
// Windows reports them.
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "sources/samba_library.h"
#include "sources/sources.h"
#include "text/text.h"

namespace tavrick {

namespace {

constexpr std::uint32_t k_level_accounts = 3;
constexpr std::uint32_t k_level_names = 0;
constexpr std::uint32_t k_filter_normal_account = 2;
constexpr std::uint32_t k_level_groups = 1;
// The preferred size of one answer of groups, as the driver asks for it.
constexpr std::uint32_t k_groups_bytes = 10240;
// libnetapi keeps what it fetched for every enumerated account (about 55 allocations) on its
// context until the context is freed; a fresh context after this many accounts bounds that memory.
constexpr std::uint32_t k_accounts_per_context = 1000;
// What libnetapi returns for every connection it could not open, whatever the cause.
constexpr std::uint32_t k_status_cannot_complete = 1003;
constexpr std::uint32_t k_status_network_access_denied = 65;
constexpr std::uint32_t k_status_bad_net_name = 67;
constexpr std::uint32_t k_status_account_restriction = 1327;
constexpr std::uint32_t k_status_logon_hours = 1328;
constexpr std::uint32_t k_status_workstation = 1329;
constexpr std::uint32_t k_status_logon_type = 1385;
constexpr std::uint32_t k_status_account_expired = 1793;
constexpr std::uint32_t k_status_password_must_change = 1907;
constexpr std::uint32_t k_status_account_locked_out = 1909;

// The lines the library prints when a session or the connection to IPC$ is refused.
constexpr std::string_view k_session_failed = "session setup failed: ";
constexpr std::string_view k_tree_failed = "tree connect failed: ";
constexpr std::string_view k_connect_failed = "Failed to connect to IPC$ share";
// The start of the line the library prints when it will not even try a Kerberos logon (no user
// principal, or a server named by its address); it then reports the session refused with access
// denied, although no server refused anything.
constexpr std::string_view k_kerberos_impossible = "Kerberos auth with ";

// Account times: "never" as Windows reports it, and the largest NT time (100-ns units since 1601,
// a domain controller's "never expires") in seconds since 1970 as libnetapi computes it, of which
// it keeps the low 32 bits.
constexpr std::uint32_t k_time_forever = 0xFFFFFFFF;
constexpr std::uint64_t k_nt_time_never_in_unix_seconds = 0x7FFFFFFFFFFFFFFFULL / 10000000 - 11644473600ULL;

// NT status names as the library prints them, and the error Windows reports for each.
constexpr std::array<std::pair<std::string_view, std::uint32_t>, 19> k_nt_statuses = {{
    {"NT_STATUS_LOGON_FAILURE", k_status_logon_failure},
    {"NT_STATUS_WRONG_PASSWORD", k_status_logon_failure},
    {"NT_STATUS_NO_SUCH_USER", k_status_logon_failure},
    {"NT_STATUS_ACCOUNT_DISABLED", k_status_account_disabled},
    {"NT_STATUS_PASSWORD_EXPIRED", k_status_password_expired},
    {"NT_STATUS_PASSWORD_MUST_CHANGE", k_status_password_must_change},
    {"NT_STATUS_ACCOUNT_RESTRICTION", k_status_account_restriction},
    {"NT_STATUS_INVALID_LOGON_HOURS", k_status_logon_hours},
    {"NT_STATUS_INVALID_WORKSTATION", k_status_workstation},
    {"NT_STATUS_ACCOUNT_EXPIRED", k_status_account_expired},
    {"NT_STATUS_ACCOUNT_LOCKED_OUT", k_status_account_locked_out},
    {"NT_STATUS_LOGON_TYPE_NOT_GRANTED", k_status_logon_type},
    {"NT_STATUS_ACCESS_DENIED", k_status_access_denied},
    {"NT_STATUS_NETWORK_ACCESS_DENIED", k_status_network_access_denied},
    {"NT_STATUS_BAD_NETWORK_NAME", k_status_bad_net_name},
    {"NT_STATUS_IO_TIMEOUT", k_status_bad_netpath},
    {"NT_STATUS_CONNECTION_RESET", k_status_bad_netpath},
    {"NT_STATUS_CONNECTION_DISCONNECTED", k_status_bad_netpath},
    {"NT_STATUS_CONNECTION_REFUSED", k_status_bad_netpath},
}};

// The NT status name after the last `prefix` in `printed`, empty when there is none: when the
// library tried more than once, its last attempt says why it gave up.
std::string_view status_after(std::string_view printed, std::string_view prefix)
{
    const std::size_t at = printed.rfind(prefix);
    if (at == std::string_view::npos) {
        return {};
    }
    std::string_view rest = printed.substr(at + prefix.size());
    return rest.substr(0, rest.find_first_of("\r\n \t"));
}

std::uint32_t windows_status_of(std::string_view nt_status, std::uint32_t otherwise)
{
    for (const auto& [name, status] : k_nt_statuses) {
        if (name == nt_status) {
            return status;
        }
    }
    return otherwise;
}

template <typename Function> bool resolve(void* library, const char* name, Function& function)
{
    function = reinterpret_cast<Function>(::dlsym(library, name));
    return function != nullptr;
}

// NetUserGetInfo, which only the parallel source's workers call; resolved with the rest.
decltype(&::NetUserGetInfo) g_user_get_info = nullptr;

// Loads libnetapi once; null, with the reason on standard error, when it cannot be loaded.
const NetApi* load_netapi()
{
    static NetApi api;
    static const bool loaded = [] {
        void* library = ::dlopen(TAVRICK_NETAPI_SONAME, RTLD_NOW | RTLD_LOCAL);
        const bool all = library != nullptr && resolve(library, "libnetapi_init", api.init) &&
                         resolve(library, "libnetapi_free", api.free) &&
                         resolve(library, "libnetapi_set_username", api.set_username) &&
                         resolve(library, "libnetapi_set_password", api.set_password) &&
                         resolve(library, "libnetapi_set_use_kerberos", api.set_use_kerberos) &&
                         resolve(library, "libnetapi_get_error_string", api.get_error_string) &&
                         resolve(library, "NetUserEnum", api.user_enum) &&
                         resolve(library, "NetUserGetGroups", api.user_get_groups) &&
                         resolve(library, "NetUserGetInfo", g_user_get_info) &&
                         resolve(library, "NetApiBufferFree", api.buffer_free);
        if (!all) {
            const char* reason = ::dlerror();
            write_error(std::string("ERR: cannot load Samba's library: ") +
                        (reason != nullptr ? reason : TAVRICK_NETAPI_SONAME) + "\n");
        }
        return all;
    }();
    return loaded ? &api : nullptr;
}

// The bytes back from code units widened one to one; a unit that no byte stands for becomes '?'.
std::string narrow(std::u16string_view units)
{
    std::string bytes(units.size(), '\0');
    std::transform(units.begin(), units.end(), bytes.begin(),
                   [](char16_t unit) { return unit <= 0xFF ? static_cast<char>(unit) : '?'; });
    return bytes;
}

// Moves `fd` to a number above the standard streams, so that it cannot stand in for one of them.
int above_standard_streams(int fd)
{
    if (fd < 0 || fd > STDERR_FILENO) {
        return fd;
    }
    const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    ::close(fd);
    return moved;
}

// While the library runs, its standard output is a private memory file and its standard input is
// /dev/null; during each call its standard error goes to the same file. The tool's records go to a
// duplicate of the real standard output, so nothing the library prints can end up among them, and
// nothing it does can wait for a typed answer. What it prints is handed on to standard error after
// each call, in the order printed, where a user looks for diagnostics, and kept for the caller: it
// is the only place where the library names why a connection failed.
class LibraryStreams {
  public:
    LibraryStreams()
    {
        (void)std::fflush(stdout);
        m_saved_output = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
        // With standard output closed the duplicate fails, and so do the writes, as they would have.
        const int writer_fd = set_output_fd(m_saved_output);
        if (writer_fd == STDOUT_FILENO) {
            m_moved_writer = true;
        } else {
            set_output_fd(writer_fd); // already pointed elsewhere by its owner
        }
        m_capture = above_standard_streams(::memfd_create("tavrick-library-output", MFD_CLOEXEC));
        if (m_capture >= 0) {
            ::dup2(m_capture, STDOUT_FILENO);
        } else {
            ::dup2(STDERR_FILENO, STDOUT_FILENO);
        }

        m_saved_input = ::fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
        const int nothing = above_standard_streams(::open("/dev/null", O_RDONLY | O_CLOEXEC));
        if (nothing >= 0) {
            ::dup2(nothing, STDIN_FILENO);
            ::close(nothing);
        }
    }

    ~LibraryStreams()
    {
        take_printed();
        if (m_saved_output >= 0) {
            ::dup2(m_saved_output, STDOUT_FILENO);
        } else {
            ::close(STDOUT_FILENO);
        }
        if (m_moved_writer) {
            set_output_fd(STDOUT_FILENO);
        }
        if (m_saved_output >= 0) {
            ::close(m_saved_output);
        }
        if (m_saved_input >= 0) {
            ::dup2(m_saved_input, STDIN_FILENO);
            ::close(m_saved_input);
        } else {
            ::close(STDIN_FILENO);
        }
        if (m_capture >= 0) {
            ::close(m_capture);
        }
    }
    LibraryStreams(const LibraryStreams&) = delete;
    LibraryStreams& operator=(const LibraryStreams&) = delete;

    // Sends standard error to the capture file as well, until the next take_printed: the library
    // logs some causes of failure there, and nowhere else.
    void capture_errors()
    {
        if (m_capture < 0 || m_saved_error >= 0) {
            return;
        }
        (void)std::fflush(stderr);
        m_saved_error = ::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
        if (m_saved_error >= 0) {
            ::dup2(m_capture, STDERR_FILENO);
        }
    }

    // What the library has printed since the last call, now also written to standard error.
    // NOLINTNEXTLINE(readability-make-member-function-const): it empties the capture file
    std::string take_printed()
    {
        (void)std::fflush(stdout);
        if (m_saved_error >= 0) {
            (void)std::fflush(stderr);
            ::dup2(m_saved_error, STDERR_FILENO);
            ::close(m_saved_error);
            m_saved_error = -1;
        }
        struct stat status {};
        if (m_capture < 0 || ::fstat(m_capture, &status) != 0 || status.st_size <= 0) {
            return {};
        }
        std::string printed(static_cast<std::size_t>(status.st_size), '\0');
        std::size_t got = 0;
        while (got < printed.size()) {
            const ssize_t read =
                ::pread(m_capture, printed.data() + got, printed.size() - got, static_cast<off_t>(got));
            if (read <= 0) {
                break;
            }
            got += static_cast<std::size_t>(read);
        }
        printed.resize(got);
        // Standard output shares the file offset with the capture: start both afresh.
        if (::ftruncate(m_capture, 0) == 0) {
            ::lseek(m_capture, 0, SEEK_SET);
        }
        if (m_echo) {
            write_error(printed);
        }
        return printed;
    }

    // Keeps what the library prints from standard error: the caller hands it on itself.
    void keep_printed() { m_echo = false; }

  private:
    int m_saved_output = -1;
    int m_saved_input = -1;
    int m_saved_error = -1;
    int m_capture = -1;
    bool m_moved_writer = false;
    bool m_echo = true;
};

// Samba writes to its sockets without MSG_NOSIGNAL and counts on SIGPIPE being blocked, which
// libnetapi_init arranges for the whole process. The tool's own output must still end the tool on a
// closed pipe, as any filter ends. So SIGPIPE is blocked only while the library runs, and one that
// the library's writes left pending is discarded before the previous mask comes back.
class SigpipeBlocked {
  public:
    SigpipeBlocked()
    {
        sigemptyset(&m_pipe);
        sigaddset(&m_pipe, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &m_pipe, &m_previous);
    }
    ~SigpipeBlocked()
    {
        sigset_t pending;
        sigemptyset(&pending);
        if (sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1) {
            const timespec no_wait{};
            sigtimedwait(&m_pipe, nullptr, &no_wait);
        }
        pthread_sigmask(SIG_SETMASK, &m_previous, nullptr);
    }
    SigpipeBlocked(const SigpipeBlocked&) = delete;
    SigpipeBlocked& operator=(const SigpipeBlocked&) = delete;

  private:
    sigset_t m_pipe{};
    sigset_t m_previous{};
};

// Removes the variables from which the library would take credentials by itself when a context is
// initialised: it parses them with no regard for odd values (USER='%' crashes it) and complains
// about password files on its own. The tool has read them already and hands the result over.
void forget_credential_variables()
{
    for (const char* name : {"USER", "LOGNAME", "PASSWD", "PASSWD_FILE", "PASSWD_FD"}) {
        ::unsetenv(name);
    }
}

class SambaSource final : public AccountSource, public ServerConnection {
  public:
    // What the library prints goes to standard error as it comes, or is kept for take_printed;
    // kept, a problem with the password file is left for the caller to report.
    enum class Printed { to_standard_error, kept };

    SambaSource(std::u16string_view server, const NetApi* api, Printed printed = Printed::to_standard_error)
        // Read first: initialising the library wipes the password out of USER.
        : m_server(narrow(server)),
          m_credentials(server_credentials([](const char* name) { return std::getenv(name); })), m_api(api)
    {
        if (printed == Printed::kept) {
            m_streams.keep_printed();
        } else if (!m_credentials.problem.empty()) {
            write_error(m_credentials.problem);
        }
        forget_credential_variables();
        m_init_status = m_api != nullptr ? open_context() : k_status_not_supported;
    }

    ~SambaSource() override { close_context(); }
    SambaSource(const SambaSource&) = delete;
    SambaSource& operator=(const SambaSource&) = delete;

    std::uint32_t enumerate_page(std::uint32_t preferred_max_bytes, std::uint32_t& resume_handle,
                                 const USER_INFO_3*& records, std::uint32_t& entries_read) override
    {
        m_text.clear();
        m_records.clear();
        m_hours.clear();
        records = nullptr;
        entries_read = 0;
        return enumerate_at(k_level_accounts, preferred_max_bytes, resume_handle,
                            [&](const std::uint8_t* buffer, std::uint32_t read) {
                                const auto* page = reinterpret_cast<const ::USER_INFO_3*>(buffer);
                                m_hours.reserve(static_cast<std::size_t>(read) * k_logon_hours_bytes);
                                for (std::uint32_t i = 0; i < read; ++i) {
                                    m_records.push_back(make_record(page[i]));
                                }
                                records = m_records.data();
                                entries_read = static_cast<std::uint32_t>(m_records.size());
                            });
    }

    std::uint32_t page_names(std::uint32_t preferred_max_bytes, std::uint32_t& resume_handle,
                             std::vector<std::string>& names) override
    {
        names.clear();
        return enumerate_at(k_level_names, preferred_max_bytes, resume_handle,
                            [&](const std::uint8_t* buffer, std::uint32_t read) {
                                const auto* page = reinterpret_cast<const ::USER_INFO_0*>(buffer);
                                for (std::uint32_t i = 0; i < read; ++i) {
                                    names.emplace_back(bytes_of(page[i].usri0_name));
                                }
                            });
    }

    // One page of the enumeration at `level`: `take` reads the library's page of `read` records
    // when the call returned one (status 0 or 234); the buffer is freed at once, everything being
    // copied, so memory stays one page deep.
    std::uint32_t enumerate_at(std::uint32_t level, std::uint32_t preferred_max_bytes, std::uint32_t& resume_handle,
                               const std::function<void(const std::uint8_t* buffer, std::uint32_t read)>& take)
    {
        renew_context_when_due();
        if (m_init_status != k_status_success) {
            return m_init_status;
        }
        std::uint8_t* buffer = nullptr;
        std::uint32_t read = 0;
        std::uint32_t total = 0;
        const std::uint32_t status = call_library([&]() -> std::uint32_t {
            return m_api->user_enum(m_server.c_str(), level, k_filter_normal_account, &buffer, preferred_max_bytes,
                                    &read, &total, &resume_handle);
        });
        // cppcheck-suppress knownConditionTrueFalse ; the library call above fills the buffer
        if (buffer != nullptr && (status == k_status_success || status == k_status_more_data)) {
            take(buffer, read);
            m_accounts_in_context += read;
        }
        // cppcheck-suppress knownConditionTrueFalse ; the library call above fills the buffer
        if (buffer != nullptr) {
            m_api->buffer_free(buffer);
        }
        return status;
    }

    std::uint32_t account(const std::string& name, const USER_INFO_3*& record) override
    {
        m_text.clear();
        m_records.clear();
        m_hours.clear();
        record = nullptr;
        renew_context_when_due();
        if (m_init_status != k_status_success) {
            return m_init_status;
        }
        std::uint8_t* buffer = nullptr;
        const std::uint32_t status = call_library([&]() -> std::uint32_t {
            // cppcheck-suppress knownConditionTrueFalse ; set when the library is loaded
            if (g_user_get_info == nullptr) {
                return k_status_not_supported;
            }
            return static_cast<std::uint32_t>(
                g_user_get_info(m_server.c_str(), name.c_str(), k_level_accounts, &buffer));
        });
        // cppcheck-suppress knownConditionTrueFalse ; the library call above fills the buffer
        if (buffer != nullptr) {
            if (status == k_status_success) {
                m_hours.reserve(k_logon_hours_bytes);
                m_records.push_back(make_record(*reinterpret_cast<const ::USER_INFO_3*>(buffer)));
                record = m_records.data();
            }
            m_api->buffer_free(buffer);
        }
        ++m_accounts_in_context;
        return status;
    }

    std::uint32_t groups(const std::string& name, std::vector<std::string>& names) override
    {
        names.clear();
        renew_context_when_due();
        const char16_t* const* units = nullptr;
        std::uint32_t read = 0;
        const std::uint32_t status = user_groups(widen(name).c_str(), k_groups_bytes, units, read);
        for (std::uint32_t i = 0; i < read; ++i) {
            names.push_back(narrow(units[i]));
        }
        ++m_accounts_in_context;
        return status;
    }

    std::string take_printed() override { return std::exchange(m_printed, {}); }

    std::uint32_t user_groups(const char16_t* user_name, std::uint32_t preferred_max_bytes,
                              const char16_t* const*& names, std::uint32_t& entries_read) override
    {
        m_group_text.clear();
        m_group_names.clear();
        names = nullptr;
        entries_read = 0;
        if (m_init_status != k_status_success) {
            return m_init_status;
        }
        const std::string name = narrow(user_name != nullptr ? std::u16string_view(user_name) : u"");
        std::uint8_t* buffer = nullptr;
        std::uint32_t read = 0;
        std::uint32_t total = 0;
        const std::uint32_t status = call_library([&]() -> std::uint32_t {
            return m_api->user_get_groups(m_server.c_str(), name.c_str(), k_level_groups, &buffer, preferred_max_bytes,
                                          &read, &total);
        });
        // cppcheck-suppress knownConditionTrueFalse ; the library call above fills the buffer
        if (buffer != nullptr) {
            const auto* entries = reinterpret_cast<const GROUP_USERS_INFO_1*>(buffer);
            for (std::uint32_t i = 0; i < read; ++i) {
                m_group_names.push_back(m_group_text.store(bytes_of(entries[i].grui1_name)));
            }
            m_api->buffer_free(buffer);
        }
        names = m_group_names.data();
        entries_read = static_cast<std::uint32_t>(m_group_names.size());
        return status;
    }

  private:
    void renew_context_when_due()
    {
        if (m_init_status == k_status_success && m_accounts_in_context >= k_accounts_per_context) {
            // The resume handle is the server's place in its account list, not the connection's,
            // so a fresh context goes on where the last one stopped.
            close_context();
            m_init_status = open_context();
        }
    }

    // Set explicitly every time: left to its own guesses the library prompts for a password and may
    // turn a refused logon into an anonymous session.
    std::uint32_t open_context()
    {
        m_accounts_in_context = 0;
        return call_library([&]() -> std::uint32_t {
            std::uint32_t status = m_api->init(&m_context);
            if (status == k_status_success) {
                status = m_api->set_username(m_context, m_credentials.user.c_str());
            }
            if (status == k_status_success) {
                status = m_api->set_password(m_context, m_credentials.password.c_str());
            }
            if (status == k_status_success && m_credentials.use_kerberos) {
                status = m_api->set_use_kerberos(m_context);
            }
            return status;
        });
    }

    void close_context()
    {
        if (m_context != nullptr) {
            call_library([&]() -> std::uint32_t {
                const std::uint32_t status = m_api->free(m_context);
                m_context = nullptr;
                return status;
            });
        }
    }

    static std::string_view bytes_of(const char* text) { return text != nullptr ? text : ""; }

    const char16_t* store(const char* text) { return text != nullptr ? m_text.store(std::string_view(text)) : nullptr; }

    USER_INFO_3 make_record(const ::USER_INFO_3& from)
    {
        USER_INFO_3 record;
        record.name = store(from.usri3_name);
        record.password = nullptr; // level 3 never carries it
        record.password_age = from.usri3_password_age;
        record.priv = from.usri3_priv;
        record.home_dir = store(from.usri3_home_dir);
        record.comment = store(from.usri3_comment);
        record.flags = from.usri3_flags;
        record.script_path = store(from.usri3_script_path);
        record.auth_flags = from.usri3_auth_flags;
        record.full_name = store(from.usri3_full_name);
        record.usr_comment = store(from.usri3_usr_comment);
        record.parms = store(from.usri3_parms);
        record.workstations = store(from.usri3_workstations);
        record.last_logon = from.usri3_last_logon;
        record.last_logoff = from.usri3_last_logoff;
        record.acct_expires = windows_account_expiry(from.usri3_acct_expires);
        record.max_storage = from.usri3_max_storage;
        record.units_per_week = from.usri3_units_per_week;
        if (from.usri3_logon_hours != nullptr) {
            // The library sizes the bits by units_per_week; never read past them.
            const std::size_t present = std::min<std::size_t>(k_logon_hours_bytes, (from.usri3_units_per_week + 7) / 8);
            const std::size_t start = m_hours.size();
            m_hours.insert(m_hours.end(), from.usri3_logon_hours, from.usri3_logon_hours + present);
            m_hours.resize(start + k_logon_hours_bytes, 0);
            record.logon_hours = m_hours.data() + start;
        }
        record.bad_pw_count = from.usri3_bad_pw_count;
        record.num_logons = from.usri3_num_logons;
        record.logon_server = store(from.usri3_logon_server);
        record.country_code = from.usri3_country_code;
        record.code_page = from.usri3_code_page;
        record.user_id = from.usri3_user_id;
        record.primary_group_id = from.usri3_primary_group_id;
        record.profile = store(from.usri3_profile);
        record.home_dir_drive = store(from.usri3_home_dir_drive);
        record.password_expired = from.usri3_password_expired;
        return record;
    }

    // Makes one call into the library and returns the status to report for it. What has been
    // written so far goes out first: the call may wait on the network for long, and a reader sees
    // the listing grow, and keeps it when the wait is interrupted.
    template <typename Call> std::uint32_t call_library(Call call)
    {
        flush_output();
        std::uint32_t status = 0;
        std::string printed;
        std::string error_text;
        {
            const SigpipeBlocked blocked;
            m_streams.capture_errors();
            status = call();
            printed = m_streams.take_printed();
            m_printed += printed;
            if (status == k_status_cannot_complete && m_context != nullptr) {
                if (char* text = m_api->get_error_string(m_context, static_cast<NET_API_STATUS>(status))) {
                    error_text = text;
                    m_api->buffer_free(text);
                }
            }
        }
        if (printed.empty() && error_text.empty()) {
            return status;
        }
        return windows_status(status, error_text, printed);
    }

    LibraryStreams m_streams; // first in, last out: it outlives the library's context
    std::string m_server;
    ServerCredentials m_credentials;
    const NetApi* m_api;
    libnetapi_ctx* m_context = nullptr;
    std::uint32_t m_init_status = k_status_success;
    std::uint32_t m_accounts_in_context = 0;
    std::string m_printed; // kept since the last take_printed

    TextStore m_text;
    std::vector<USER_INFO_3> m_records;
    std::vector<unsigned char> m_hours;
    TextStore m_group_text;
    std::vector<const char16_t*> m_group_names;
};

// The first line of the file at `path` (all of it when it has no line feed, empty when it is empty)
// as the password; what is wrong with a file that cannot be read, in `problem`.
void read_password_file(const char* path, ServerCredentials& credentials)
{
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY);
    std::string line;
    int error = fd < 0 ? errno : 0;
    for (std::array<char, 256> chunk{}; error == 0;) {
        const ssize_t got = ::read(fd, chunk.data(), chunk.size());
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            error = got < 0 ? errno : 0;
            break;
        }
        const std::string_view text(chunk.data(), static_cast<std::size_t>(got));
        const std::size_t end = text.find('\n');
        line.append(text.substr(0, end));
        if (end != std::string_view::npos) {
            break;
        }
    }
    if (fd >= 0) {
        ::close(fd);
    }
    if (error != 0) {
        credentials.problem =
            std::string("ERR: cannot read the password file ") + path + ": " + std::strerror(error) + "\n";
    } else {
        credentials.password = std::move(line);
    }
}

} // namespace

std::uint32_t windows_status(std::uint32_t status, std::string_view error_text, std::string_view printed)
{
    // A refused session counts even when the call went on and succeeded: that success would be an
    // anonymous session's, not the requested user's.
    const std::string_view session = status_after(printed, k_session_failed);
    if (!session.empty()) {
        if (printed.find(k_kerberos_impossible) != std::string_view::npos) {
            return k_status_logon_failure; // no logon was even attempted
        }
        return windows_status_of(session, k_status_logon_failure);
    }
    const std::string_view tree = status_after(printed, k_tree_failed);
    if (!tree.empty()) {
        return windows_status_of(tree, k_status_access_denied);
    }
    if (status == k_status_cannot_complete && error_text.starts_with(k_connect_failed)) {
        // No session was attempted: the name did not resolve or nothing answered.
        return k_status_bad_netpath;
    }
    return status;
}

std::uint32_t windows_account_expiry(std::uint32_t expires)
{
    return expires == static_cast<std::uint32_t>(k_nt_time_never_in_unix_seconds) ? k_time_forever : expires;
}

ServerCredentials server_credentials(const std::function<const char*(const char*)>& variable)
{
    ServerCredentials credentials;
    const char* user = variable("USER");
    if (user == nullptr) {
        user = variable("LOGNAME");
    }
    if (user != nullptr) {
        const std::string_view typed = user;
        const std::size_t percent = typed.find('%');
        credentials.user = typed.substr(0, percent);
        if (percent != std::string_view::npos) {
            credentials.password = typed.substr(percent + 1);
        }
    }
    if (const char* password = variable("PASSWD")) {
        credentials.password = password;
    }
    if (const char* path = variable("PASSWD_FILE"); path != nullptr && *path != '\0') {
        read_password_file(path, credentials);
    }
    const char* cache = variable("KRB5CCNAME");
    credentials.use_kerberos = cache != nullptr && *cache != '\0';
    return credentials;
}

std::unique_ptr<ServerConnection> open_server_connection(std::u16string_view server)
{
    return std::make_unique<SambaSource>(server, load_netapi(), SambaSource::Printed::kept);
}

std::unique_ptr<AccountSource> open_samba_source(std::u16string_view server, const NetApi* api)
{
    return std::make_unique<SambaSource>(server, api);
}

std::unique_ptr<AccountSource> open_samba_source(std::u16string_view server)
{
    const ServerConnections connections = server_connections(std::getenv("TAVRICK_SERVER_CONNECTIONS"));
    // The workers inherit the loaded library; without it the one-connection source says why.
    if ((connections.automatic || connections.limit > 1) && load_netapi() != nullptr) {
        // Each worker reads the credentials again, after the fork; a problem is reported once.
        ServerCredentials credentials = server_credentials([](const char* name) { return std::getenv(name); });
        return open_parallel_server_source(server, connections, std::move(credentials.problem));
    }
    return open_one_connection_source(server);
}

std::unique_ptr<AccountSource> open_one_connection_source(std::u16string_view server)
{
    return open_samba_source(server, load_netapi());
}

} // namespace tavrick
