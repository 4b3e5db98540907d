// SPDX-License-Identifier: GPL-3.0-or-later
// A server's accounts through Samba's libnetapi: NetUserEnum at level 3 and NetUserGetGroups at
// level 1, with the library's answers widened into the tool's records and its failures reported as
// Windows reports them.
#include <dlfcn.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <utility>

#include "sources/library_streams.h"
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

class SambaSource final : public AccountSource, public ServerConnection {
  public:
    // What the library prints goes to standard error as it comes, or is kept for take_printed;
    // kept, a problem with the password file is left for the caller to report.
    enum class Printed { to_standard_error, kept };

    SambaSource(std::u16string_view server, const NetApi* api, Printed printed = Printed::to_standard_error)
        // Read first: initialising the library wipes the password out of USER.
        : m_server(encode_units(server)),
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
        clear_records();
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
        clear_records();
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
        const std::uint32_t status =
            m_init_status != k_status_success
                ? m_init_status
                : get_groups(name, k_groups_bytes, [&](std::string_view group) { names.emplace_back(group); });
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
        const std::uint32_t status =
            get_groups(encode_units(user_name != nullptr ? std::u16string_view(user_name) : u""), preferred_max_bytes,
                       [&](std::string_view group) { m_group_names.push_back(m_group_text.store(group)); });
        names = m_group_names.data();
        entries_read = static_cast<std::uint32_t>(m_group_names.size());
        return status;
    }

  private:
    // The records of the last answer, and their text and hours, are no longer needed.
    void clear_records()
    {
        m_text.clear();
        m_records.clear();
        m_hours.clear();
    }

    // NetUserGetGroups at level 1 for the account `name` (the library's bytes): `take` gets each
    // group name the call reported, whatever the status.
    std::uint32_t get_groups(const std::string& name, std::uint32_t preferred_max_bytes,
                             const std::function<void(std::string_view group)>& take)
    {
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
                take(bytes_of(entries[i].grui1_name));
            }
            m_api->buffer_free(buffer);
        }
        return status;
    }

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

} // namespace

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
