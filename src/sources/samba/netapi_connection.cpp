// SPDX-License-Identifier: GPL-3.0-or-later
// One connection to a server through Samba's libnetapi: NetUserEnum at level 0, NetUserGetInfo at
// level 3 and NetUserGetGroups at level 1, with the library's answers copied into the tool's records
// and its failures reported as Windows reports them.
#include <dlfcn.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <utility>

#include "sources/samba/connection.h"
#include "sources/samba/credentials.h"
#include "sources/samba/library.h"
#include "sources/samba/library_streams.h"
#include "sources/samba/samba.h"
#include "sources/samba/status.h"
#include "sources/text_store.h"
#include "text/text.h"

namespace tavrick {

namespace {

constexpr std::uint32_t k_level_names = 0;
constexpr std::uint32_t k_level_record = 3;
constexpr std::uint32_t k_filter_normal_account = 2;
constexpr std::uint32_t k_level_groups = 1;
// The preferred size of one answer of groups, as the driver asks for it.
constexpr std::uint32_t k_groups_bytes = 10240;

// Loadparm's setting of a parameter as if from the command line (libsmbconf, which libnetapi loads;
// no public prototype): it wins over smb.conf, and stays through every reload of it.
using SetCmdline = bool (*)(const char* name, const char* value);

// Loads libnetapi once; null, with the reason on standard error, when it cannot be loaded. Every
// connection it makes requires signing, as current Windows clients require it: a session that the
// server maps to guest (for a wrong password or an unknown user) has no key to sign with, so it is
// refused at logon rather than listing the accounts as the guest's. The library's IPC$ connection
// reads "client signing" (not "client ipc signing"); set before any context exists, it holds for
// every context of this process and of the workers forked from it.
const NetApi* load_netapi()
{
    static NetApi api;
    static const bool loaded = [] {
        void* library = ::dlopen(TAVRICK_NETAPI_SONAME, RTLD_NOW | RTLD_LOCAL);
        SetCmdline set_cmdline = nullptr;
        const bool all = library != nullptr && resolve(library, "libnetapi_init", api.init) &&
                         resolve(library, "libnetapi_free", api.free) &&
                         resolve(library, "libnetapi_set_username", api.set_username) &&
                         resolve(library, "libnetapi_set_password", api.set_password) &&
                         resolve(library, "libnetapi_set_use_kerberos", api.set_use_kerberos) &&
                         resolve(library, "libnetapi_get_error_string", api.get_error_string) &&
                         resolve(library, "NetUserEnum", api.user_enum) &&
                         resolve(library, "NetUserGetGroups", api.user_get_groups) &&
                         resolve(library, "NetUserGetInfo", api.user_get_info) &&
                         resolve(library, "NetApiBufferFree", api.buffer_free) &&
                         resolve(library, "lp_set_cmdline", set_cmdline);
        const bool signing = all && set_cmdline("client signing", "required");
        if (!signing) {
            const char* reason = all ? "it cannot require signing" : ::dlerror();
            write_error(std::string("ERR: cannot load Samba's library: ") +
                        (reason != nullptr ? reason : TAVRICK_NETAPI_SONAME) + "\n");
        }
        return signing;
    }();
    return loaded ? &api : nullptr;
}

std::string_view bytes_of(const char* text)
{
    return text != nullptr ? text : "";
}

class SambaConnection final : public ServerConnection {
  public:
    SambaConnection(std::u16string_view server, const NetApi* api)
        // Read first: initialising the library wipes the password out of USER.
        : m_server(encode_units(server)),
          m_credentials(server_credentials([](const char* name) { return std::getenv(name); })), m_api(api)
    {
        m_streams.keep_printed();
        forget_credential_variables();
        m_init_status = m_api != nullptr ? open_context() : k_status_not_supported;
    }

    ~SambaConnection() override { close_context(); }
    SambaConnection(const SambaConnection&) = delete;
    SambaConnection& operator=(const SambaConnection&) = delete;

    std::uint32_t page_names(std::uint32_t preferred_max_bytes, std::uint32_t& resume_handle,
                             std::vector<std::string>& names) override
    {
        names.clear();
        if (m_init_status != k_status_success) {
            return m_init_status;
        }
        std::uint8_t* buffer = nullptr;
        std::uint32_t read = 0;
        std::uint32_t total = 0;
        const std::uint32_t status = call_library([&]() -> std::uint32_t {
            return m_api->user_enum(m_server.c_str(), k_level_names, k_filter_normal_account, &buffer,
                                    preferred_max_bytes, &read, &total, &resume_handle);
        });
        // cppcheck-suppress knownConditionTrueFalse ; the library call above fills the buffer
        if (buffer != nullptr) {
            if (status == k_status_success || status == k_status_more_data) {
                const auto* page = reinterpret_cast<const ::USER_INFO_0*>(buffer);
                for (std::uint32_t i = 0; i < read; ++i) {
                    names.emplace_back(bytes_of(page[i].usri0_name));
                }
            }
            m_api->buffer_free(buffer);
        }
        return status;
    }

    std::uint32_t account(const std::string& name, const USER_INFO_3*& record) override
    {
        m_text.clear();
        m_hours.fill(0);
        record = nullptr;
        if (m_init_status != k_status_success) {
            return m_init_status;
        }
        std::uint8_t* buffer = nullptr;
        const std::uint32_t status = call_library([&]() -> std::uint32_t {
            return m_api->user_get_info(m_server.c_str(), name.c_str(), k_level_record, &buffer);
        });
        // cppcheck-suppress knownConditionTrueFalse ; the library call above fills the buffer
        if (buffer != nullptr) {
            if (status == k_status_success) {
                m_record = make_record(*reinterpret_cast<const ::USER_INFO_3*>(buffer));
                record = &m_record;
            }
            m_api->buffer_free(buffer);
        }
        return status;
    }

    std::uint32_t groups(const std::string& name, std::vector<std::string>& names) override
    {
        names.clear();
        if (m_init_status != k_status_success) {
            return m_init_status;
        }
        std::uint8_t* buffer = nullptr;
        std::uint32_t read = 0;
        std::uint32_t total = 0;
        const std::uint32_t status = call_library([&]() -> std::uint32_t {
            return m_api->user_get_groups(m_server.c_str(), name.c_str(), k_level_groups, &buffer, k_groups_bytes,
                                          &read, &total);
        });
        // cppcheck-suppress knownConditionTrueFalse ; the library call above fills the buffer
        if (buffer != nullptr) {
            const auto* entries = reinterpret_cast<const GROUP_USERS_INFO_1*>(buffer);
            for (std::uint32_t i = 0; i < read; ++i) {
                names.emplace_back(bytes_of(entries[i].grui1_name));
            }
            m_api->buffer_free(buffer);
        }
        return status;
    }

    void renew() override
    {
        if (m_init_status == k_status_success) {
            close_context();
            m_init_status = open_context();
        }
    }

    std::string take_printed() override { return std::exchange(m_printed, {}); }

  private:
    // Set explicitly every time: left to its own guesses the library prompts for a password and may
    // turn a refused logon into an anonymous session.
    std::uint32_t open_context()
    {
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
            std::copy_n(from.usri3_logon_hours, present, m_hours.begin());
            record.logon_hours = m_hours.data();
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

    // Makes one call into the library and returns the status to report for it; what the library
    // printed meanwhile is kept.
    template <typename Call> std::uint32_t call_library(Call call)
    {
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
    std::string m_printed; // kept since the last take_printed

    TextStore m_text;
    USER_INFO_3 m_record;
    std::array<unsigned char, k_logon_hours_bytes> m_hours{};
};

} // namespace

std::unique_ptr<ServerConnection> open_samba_connection(std::u16string_view server, const NetApi* api)
{
    return std::make_unique<SambaConnection>(server, api);
}

std::unique_ptr<AccountSource> open_samba_source(std::u16string_view server)
{
    // Loaded before the first worker is forked, which inherits it; without it the connection in
    // this process answers 50 to everything.
    const bool loaded = load_netapi() != nullptr;
    // Each connection reads the credentials again where it opens; a problem is reported once.
    ServerCredentials credentials = server_credentials([](const char* name) { return std::getenv(name); });
    return open_server_listing(
        [server = std::u16string(server)] { return open_samba_connection(server, load_netapi()); },
        server_connections(std::getenv("TAVRICK_SERVER_CONNECTIONS")), std::move(credentials.problem),
        loaded ? ConnectionProcesses::workers : ConnectionProcesses::this_process);
}

} // namespace tavrick
