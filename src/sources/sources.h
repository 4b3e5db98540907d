// The account sources behind the AccountSource interface: this machine's accounts through NSS, and
// a server's through Samba's libnetapi.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <ctime>
#include <memory>
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

// This machine's accounts, through NSS.
std::unique_ptr<AccountSource> open_local_source(const LocalSourceOptions& options = {});

// True when every source that nsswitch.conf text names for initgroups (or group, when initgroups
// has no line) is files or systemd, so that one pass over the group database answers every lookup.
bool groups_come_from_files(std::string_view nsswitch_text);

// The login time recorded for `uid` in a lastlog file, 0 when there is none.
class LastlogReader {
  public:
    explicit LastlogReader(std::string path);
    ~LastlogReader();
    LastlogReader(const LastlogReader&) = delete;
    LastlogReader& operator=(const LastlogReader&) = delete;

    std::uint32_t last_login(uid_t uid);

  private:
    std::string m_path;
    int m_fd = -1;
    bool m_opened = false;
    off_t m_size = 0;
};

// A server's accounts through libnetapi; `server` is the name without leading backslashes. A build
// without libnetapi answers every request with status 50.
std::unique_ptr<AccountSource> open_samba_source(std::u16string_view server);

} // namespace tavrick
