// The account-database reads that a listing with groups and account state cannot do without: one
// pass each over passwd, group and shadow through NSS, and nothing else. The benchmark times it to
// show how much of the tool's time is the database's own.
#include <grp.h>
#include <pwd.h>
#include <shadow.h>

#include <cstdio>

int main()
{
    unsigned long entries = 0;
    setspent();
    while (getspent() != nullptr) {
        ++entries;
    }
    endspent();
    setpwent();
    while (getpwent() != nullptr) {
        ++entries;
    }
    endpwent();
    setgrent();
    while (getgrent() != nullptr) {
        ++entries;
    }
    endgrent();
    std::printf("%lu\n", entries);
    return 0;
}
