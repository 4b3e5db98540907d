// SPDX-License-Identifier: GPL-3.0-or-later
// The parts of the local source that tests reach without the account databases: the record of one
// passwd entry with its shadow state, the numbering of account names, the group tables, the choice
// of group lookup and the lastlog reader.
#pragma once

#include <grp.h>
#include <pwd.h>
#include <shadow.h>

#include <absl/container/flat_hash_map.h>

#include <cstdint>
#include <ctime>
#include <deque>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "sources/local/local.h"
#include "sources/text_store.h"

namespace tavrick {

inline constexpr std::uint32_t k_no_number = 0xFFFFFFFF;

// What the shadow database says of one account at a given time.
struct ShadowState {
    std::uint32_t password_age = 0;
    std::uint32_t acct_expires = 0xFFFFFFFF; // never
    std::uint32_t flags = 0;                 // the lockout, password-not-required and never-expires bits
    bool disabled = false;                   // expired
    bool password_expired = false;
};

// The state `entry` gives its account at `now`. Day counts of any size are held far beyond what
// a record can show, so no arithmetic overflows.
ShadowState shadow_state(const spwd& entry, std::time_t now);

// The level-3 record of a passwd entry, with the shadow state of its name (null when the shadow
// database has none) and the login time lastlog holds for it; its texts are stored in `text`.
USER_INFO_3 account_record(const passwd& entry, const ShadowState* shadow, std::uint32_t last_logon, TextStore& text);

// Account names numbered from 0 in the order first seen, so that what is known of each account
// (shadow state, memberships) is kept in arrays rather than in one allocation per account.
//
// A table of its own rather than a library map: at 100,000 accounts on the C library path the tool
// took 0.14 s of user time with abseil's flat_hash_map<std::string, std::uint32_t> (0.17 s with
// string views into names kept apart) and 0.10 s with this one (bench/README.md). Its names lie
// back to back in one pool, each slot holds 24 bits of hash and where the name starts, and a cursor
// lets a database listed in the same order as the one before skip the hashing altogether.
class AccountNumbers {
  public:
    // The number of `name`, which is given the next number when new. With a cursor, the name it
    // stands at is tried first and the cursor moves to the name after the one found.
    std::uint32_t number_of(std::string_view name, std::size_t* cursor = nullptr);
    // The number of `name`, or k_no_number.
    [[nodiscard]] std::uint32_t find(std::string_view name) const;
    [[nodiscard]] std::size_t size() const { return m_count; }

  private:
    [[nodiscard]] std::uint32_t entry_number(std::size_t start) const;
    [[nodiscard]] std::string_view entry_name(std::size_t start) const;
    [[nodiscard]] std::size_t entry_end(std::size_t start) const { return start + 8 + entry_name(start).size(); }
    [[nodiscard]] std::size_t probe(std::string_view name, std::size_t hash) const;
    void grow();

    std::string m_pool; // after one unused byte: each name's number, length and bytes
    std::uint32_t m_count = 0;
    std::vector<std::uint64_t> m_slots; // top hash bits | where the entry starts; 0 is empty
};

// Group names by group id, each kept once for the whole run and known by a slot number. The first
// name given for an id names it.
class GroupTable {
  public:
    // The slot of `gid`, added with `name` (bytes) when the id has none yet.
    std::uint32_t slot_of(gid_t gid, std::string_view name);
    // The slot of `gid`, or k_no_number.
    [[nodiscard]] std::uint32_t find(gid_t gid) const;
    [[nodiscard]] const char16_t* name(std::uint32_t slot) const { return m_names[slot]; }

  private:
    TextStore m_text;
    std::vector<const char16_t*> m_names;
    absl::flat_hash_map<gid_t, std::uint32_t> m_slots;
};

// The memberships of every account from one pass over the group database (setgrent, getgrent).
class MemberIndex {
  public:
    // Reads the group database: every group into `groups`, every member name into `numbers`.
    void build(AccountNumbers& numbers, GroupTable& groups);
    // The group slots that list the account numbered `number`, in database order, repeats included.
    [[nodiscard]] std::span<const std::uint32_t> groups_of(std::uint32_t number) const;

  private:
    std::vector<std::size_t> m_ends;    // by account number: where its slots end in m_slots
    std::vector<std::uint32_t> m_slots; // the memberships, sorted by account number
};

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

} // namespace tavrick
