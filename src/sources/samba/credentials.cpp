// SPDX-License-Identifier: GPL-3.0-or-later
// Who the samba source logs on as: the credentials from the environment, read by the tool alone.
#include <fcntl.h>
#include <pwd.h>
#include <unistd.h>
#ifdef TAVRICK_KRB5_SONAME
#include <dlfcn.h>
#include <krb5.h>
#endif

#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "sources/samba/credentials.h"
#include "sources/samba/library.h"

namespace tavrick {

namespace {

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

#ifdef TAVRICK_KRB5_SONAME
// The MIT Kerberos calls that read a credential cache's principal.
struct Kerberos {
    decltype(&::krb5_init_context) init_context = nullptr;
    decltype(&::krb5_free_context) free_context = nullptr;
    decltype(&::krb5_cc_resolve) cc_resolve = nullptr;
    decltype(&::krb5_cc_get_principal) cc_get_principal = nullptr;
    decltype(&::krb5_cc_close) cc_close = nullptr;
    decltype(&::krb5_unparse_name_flags) unparse_name_flags = nullptr;
    decltype(&::krb5_free_unparsed_name) free_unparsed_name = nullptr;
    decltype(&::krb5_free_principal) free_principal = nullptr;
};

// Loaded on first use, as libnetapi is: linked, it would load with every local listing too. Null
// when it is not installed.
const Kerberos* load_kerberos()
{
    static Kerberos api;
    static const bool loaded = [] {
        void* library = ::dlopen(TAVRICK_KRB5_SONAME, RTLD_NOW | RTLD_LOCAL);
        return library != nullptr && resolve(library, "krb5_init_context", api.init_context) &&
               resolve(library, "krb5_free_context", api.free_context) &&
               resolve(library, "krb5_cc_resolve", api.cc_resolve) &&
               resolve(library, "krb5_cc_get_principal", api.cc_get_principal) &&
               resolve(library, "krb5_cc_close", api.cc_close) &&
               resolve(library, "krb5_unparse_name_flags", api.unparse_name_flags) &&
               resolve(library, "krb5_free_unparsed_name", api.free_unparsed_name) &&
               resolve(library, "krb5_free_principal", api.free_principal);
    }();
    return loaded ? &api : nullptr;
}
#endif

// The principal of the cache: NAME in the default realm, as Samba's clients then name the user, else
// NAME@REALM; empty when the cache holds none or cannot be read.
std::string read_cache_principal([[maybe_unused]] const char* cache)
{
    std::string name;
#ifdef TAVRICK_KRB5_SONAME
    const Kerberos* krb5 = load_kerberos();
    krb5_context context = nullptr;
    if (krb5 == nullptr || krb5->init_context(&context) != 0) {
        return name;
    }
    krb5_ccache ccache = nullptr;
    if (krb5->cc_resolve(context, cache, &ccache) == 0) {
        krb5_principal principal = nullptr;
        if (krb5->cc_get_principal(context, ccache, &principal) == 0) {
            char* text = nullptr;
            if (krb5->unparse_name_flags(context, principal, KRB5_PRINCIPAL_UNPARSE_SHORT, &text) == 0 ||
                krb5->unparse_name_flags(context, principal, 0, &text) == 0) {
                name = text;
                krb5->free_unparsed_name(context, text);
            }
            krb5->free_principal(context, principal);
        }
        krb5->cc_close(context, ccache);
    }
    krb5->free_context(context);
#endif
    return name;
}

// The login name of the user the process runs as, from the account database, not the environment.
std::string read_login_name()
{
    const passwd* entry = ::getpwuid(::geteuid());
    return entry != nullptr && entry->pw_name != nullptr ? entry->pw_name : "";
}

} // namespace

LogonIdentity system_identity()
{
    return {read_cache_principal, read_login_name};
}

ServerCredentials server_credentials(const std::function<const char*(const char*)>& variable,
                                     const LogonIdentity& identity)
{
    ServerCredentials credentials;
    const char* user = variable("USER");
    if (user == nullptr) {
        user = variable("LOGNAME");
    }
    const char* cache = variable("KRB5CCNAME");
    credentials.use_kerberos = cache != nullptr && *cache != '\0';
    if (user != nullptr) {
        const std::string_view typed = user;
        const std::size_t percent = typed.find('%');
        credentials.user = typed.substr(0, percent);
        if (percent != std::string_view::npos) {
            credentials.password = typed.substr(percent + 1);
        }
    } else {
        // As Samba's clients do: the ticket's principal, else the user the process runs as (under
        // cron or a service manager USER and LOGNAME may be unset).
        credentials.user = credentials.use_kerberos ? identity.cache_principal(cache) : "";
        if (credentials.user.empty()) {
            credentials.user = identity.login_name();
        }
    }
    if (const char* password = variable("PASSWD")) {
        credentials.password = password;
    }
    if (const char* path = variable("PASSWD_FILE"); path != nullptr && *path != '\0') {
        read_password_file(path, credentials);
    }
    return credentials;
}

void forget_credential_variables()
{
    for (const char* name : {"USER", "LOGNAME", "PASSWD", "PASSWD_FILE", "PASSWD_FD"}) {
        ::unsetenv(name);
    }
}

} // namespace tavrick
