// SPDX-License-Identifier: GPL-3.0-or-later
// The account-database reads that a listing with groups and account state cannot do without: one
// pass each over shadow, passwd and group through NSS, reading every field such a listing uses,
// and nothing else. The benchmark times it to show how much of the tool's time is the database's.
#include <grp.h>
#include <pwd.h>
#include <shadow.h>

#include <cstdio>
#include <cstring>

namespace {

unsigned long length(const char* text)
{
    return text != nullptr ? std::strlen(text) : 0;
}

} // namespace

int main()
{
    unsigned long sum = 0; // printed, so that no read can be left out
    setspent();
    while (const spwd* entry = getspent()) {
        sum += length(entry->sp_namp) + length(entry->sp_pwdp);
        sum += static_cast<unsigned long>(entry->sp_lstchg + entry->sp_max + entry->sp_expire);
    }
    endspent();
    setpwent();
    while (const passwd* entry = getpwent()) {
        sum += length(entry->pw_name) + length(entry->pw_gecos) + length(entry->pw_dir) + length(entry->pw_shell);
        sum += entry->pw_uid + entry->pw_gid;
    }
    endpwent();
    setgrent();
    while (const group* entry = getgrent()) {
        sum += length(entry->gr_name) + entry->gr_gid;
        for (char** member = entry->gr_mem; member != nullptr && *member != nullptr; ++member) {
            sum += length(*member);
        }
    }
    endgrent();
    std::printf("%lu\n", sum);
    return 0;
}
