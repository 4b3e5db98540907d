// This machine's accounts through NSS: passwd for the accounts, shadow for their state, group for
// their memberships.
#include <grp.h>
#include <pwd.h>
#include <shadow.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <fstream>
#include <limits>
#include <optional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "sources/sources.h"

namespace tavrick {

namespace {

constexpr std::uint32_t k_records_per_page = 512;
constexpr long k_seconds_per_day = 86400;
// A maximum password age from this many days on means the password never expires.
constexpr long k_never_expiring_days = 99999;
constexpr std::uint32_t k_never = 0xFFFFFFFF;
constexpr std::uint32_t k_priv_user = 1;
constexpr std::uint32_t k_priv_admin = 2;

constexpr unsigned char k_all_hours[k_logon_hours_bytes] = {
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
};
constexpr const char16_t* k_empty = u"";
constexpr const char16_t* k_any_logon_server = u"\\\\*";

// What the shadow database says of one account, worked out once when it is loaded.
struct ShadowState {
    std::uint32_t password_age = 0;
    std::uint32_t acct_expires = k_never;
    std::uint32_t flags = 0; // password-not-required and never-expires bits
    bool known = false;      // the database has an entry for the name
    bool disabled = false;   // locked, or expired
    bool password_expired = false;
};

// Account names, each kept once and numbered in the order first seen. The shadow states and the
// member index are arrays indexed by these numbers, so that 100,000 accounts cost a few
// allocations rather than one or more each.
class NameTable {
  public:
    static constexpr std::uint32_t k_none = 0xFFFFFFFF;

    // Where a walk through the names, in the order they were added, stands.
    struct Cursor {
        std::size_t next = k_first_entry;
    };

    // The number of `name`, which is added when new. With a cursor, the name it stands at is tried
    // first, and a name that was there already moves it to the name after: the account databases
    // usually list the same accounts in the same order.
    std::uint32_t intern(std::string_view name, Cursor* cursor = nullptr)
    {
        if (cursor != nullptr && cursor->next < m_pool.size() && entry_name(cursor->next) == name) {
            const std::size_t start = cursor->next;
            cursor->next = entry_end(start);
            return entry_id(start);
        }
        if (5 * (std::size_t{m_count} + 1) > 4 * m_slots.size()) { // at most four fifths full
            grow();
        }
        const std::size_t hash = std::hash<std::string_view>{}(name);
        const std::size_t slot = probe(name, hash);
        if (m_slots[slot] != 0) {
            const std::size_t start = m_slots[slot] & k_start_mask;
            if (cursor != nullptr) {
                cursor->next = entry_end(start);
            }
            return entry_id(start);
        }
        const std::uint32_t id = m_count++;
        const auto length = static_cast<std::uint32_t>(name.size());
        m_slots[slot] = (hash & ~k_start_mask) | m_pool.size();
        m_pool.append(reinterpret_cast<const char*>(&id), sizeof id);
        m_pool.append(reinterpret_cast<const char*>(&length), sizeof length);
        m_pool.append(name);
        return id;
    }

    // The number of `name`, or k_none when it has none.
    [[nodiscard]] std::uint32_t find(std::string_view name) const
    {
        if (m_slots.empty()) {
            return k_none;
        }
        const std::uint64_t entry = m_slots[probe(name, std::hash<std::string_view>{}(name))];
        return entry == 0 ? k_none : entry_id(entry & k_start_mask);
    }

    [[nodiscard]] std::size_t size() const { return m_count; }

  private:
    // The pool holds the entries back to back after one unused byte, so that no entry starts at 0.
    // An entry is the name's number, its length and its bytes, so that a lookup reads one place.
    static constexpr std::size_t k_first_entry = 1;
    static constexpr std::size_t k_header = 2 * sizeof(std::uint32_t);
    // A slot holds the top bits of the name's hash and where its entry starts in the pool (below
    // 1 TiB); 0 is an empty slot.
    static constexpr std::uint64_t k_start_mask = (std::uint64_t{1} << 40) - 1;

    [[nodiscard]] std::uint32_t entry_id(std::size_t start) const
    {
        std::uint32_t id = 0;
        std::memcpy(&id, m_pool.data() + start, sizeof id);
        return id;
    }
    [[nodiscard]] std::string_view entry_name(std::size_t start) const
    {
        std::uint32_t length = 0;
        std::memcpy(&length, m_pool.data() + start + sizeof(std::uint32_t), sizeof length);
        return {m_pool.data() + start + k_header, length};
    }
    [[nodiscard]] std::size_t entry_end(std::size_t start) const { return start + k_header + entry_name(start).size(); }

    // The slot that holds `name`, or the empty slot where it would go: open addressing, linear probes.
    [[nodiscard]] std::size_t probe(std::string_view name, std::size_t hash) const
    {
        const std::size_t mask = m_slots.size() - 1;
        for (std::size_t slot = hash & mask;; slot = (slot + 1) & mask) {
            const std::uint64_t entry = m_slots[slot];
            if (entry == 0 ||
                ((entry & ~k_start_mask) == (hash & ~k_start_mask) && entry_name(entry & k_start_mask) == name)) {
                return slot;
            }
        }
    }

    void grow()
    {
        if (m_pool.empty()) {
            m_pool.resize(k_first_entry);
        }
        m_slots.assign(std::max<std::size_t>(1024, 2 * m_slots.size()), 0);
        const std::size_t mask = m_slots.size() - 1;
        for (std::size_t start = k_first_entry; start < m_pool.size(); start = entry_end(start)) {
            const std::size_t hash = std::hash<std::string_view>{}(entry_name(start));
            std::size_t slot = hash & mask;
            while (m_slots[slot] != 0) {
                slot = (slot + 1) & mask;
            }
            m_slots[slot] = (hash & ~k_start_mask) | start;
        }
    }

    std::string m_pool;
    std::uint32_t m_count = 0;
    std::vector<std::uint64_t> m_slots;
};

// Group ids and their group slots, in one array probed in place: a lookup for each account reads
// one or two neighbouring entries rather than a chain of separate nodes.
class GidTable {
  public:
    // The slot of `gid`, or NameTable::k_none when it has none.
    [[nodiscard]] std::uint32_t find(gid_t gid) const
    {
        if (m_entries.empty()) {
            return NameTable::k_none;
        }
        const Entry& entry = m_entries[probe(gid)];
        return entry.slot == 0 ? NameTable::k_none : entry.slot - 1;
    }

    // Records the slot of a group id that has none yet.
    void insert(gid_t gid, std::uint32_t slot)
    {
        if (2 * (m_count + 1) > m_entries.size()) {
            grow();
        }
        m_entries[probe(gid)] = {gid, slot + 1};
        ++m_count;
    }

  private:
    struct Entry {
        gid_t gid = 0;
        std::uint32_t slot = 0; // slot plus one; 0 is an empty entry
    };

    [[nodiscard]] std::size_t probe(gid_t gid) const
    {
        const std::size_t mask = m_entries.size() - 1;
        // Fibonacci hashing spreads neighbouring ids over the table.
        std::size_t index = static_cast<std::size_t>((std::uint64_t{gid} * 0x9E3779B97F4A7C15U) >> 32) & mask;
        while (m_entries[index].slot != 0 && m_entries[index].gid != gid) {
            index = (index + 1) & mask;
        }
        return index;
    }

    void grow()
    {
        std::vector<Entry> old(std::max<std::size_t>(64, 2 * m_entries.size()));
        old.swap(m_entries);
        for (const Entry& entry : old) {
            if (entry.slot != 0) {
                m_entries[probe(entry.gid)] = entry;
            }
        }
    }

    std::vector<Entry> m_entries;
    std::size_t m_count = 0;
};

std::uint32_t clamp_seconds(long long seconds)
{
    if (seconds < 0) {
        return 0;
    }
    return seconds > std::numeric_limits<std::uint32_t>::max() ? std::numeric_limits<std::uint32_t>::max()
                                                               : static_cast<std::uint32_t>(seconds);
}

// A shadow day count held to +-2^31 days, far beyond any date the record can show, so that turning
// one into seconds, or adding two before that, cannot overflow whatever the database holds.
long clamp_days(long days)
{
    constexpr long k_limit = std::numeric_limits<std::int32_t>::max();
    return std::clamp(days, -k_limit, k_limit);
}

// An error of an enumeration call, as opposed to its normal end, which may leave any errno.
bool is_lookup_error(int error)
{
    return error == EIO || error == ENOMEM || error == EMFILE || error == ENFILE || error == EAGAIN;
}

bool shell_refuses_login(std::string_view shell)
{
    const std::size_t slash = shell.rfind('/');
    const std::string_view last = slash == std::string_view::npos ? shell : shell.substr(slash + 1);
    return last == "nologin" || last == "false";
}

std::string read_file(const std::string& path, bool& readable)
{
    std::ifstream file(path);
    readable = static_cast<bool>(file);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

class LocalSource final : public AccountSource {
  public:
    explicit LocalSource(const LocalSourceOptions& options)
        : m_options(options), m_lastlog(options.lastlog_path),
          m_now(options.now != 0 ? options.now : std::time(nullptr))
    {
    }

    ~LocalSource() override
    {
        if (m_enumerating) {
            endpwent();
        }
    }
    LocalSource(const LocalSource&) = delete;
    LocalSource& operator=(const LocalSource&) = delete;

    std::uint32_t enumerate_page(std::uint32_t /*preferred_max_bytes*/, std::uint32_t& resume_handle,
                                 const USER_INFO_3*& records, std::uint32_t& entries_read) override
    {
        if (!m_shadow_loaded) {
            load_shadow();
        }
        m_text.clear();
        m_records.clear();
        m_record_ids.clear();
        records = nullptr;
        entries_read = 0;
        if (!m_enumerating || resume_handle != m_position) {
            // A new run, or a resume point that is not where the enumeration stands: start over
            // and skip to it, so that every account is returned once.
            setpwent();
            m_enumerating = true;
            m_position = 0;
            while (m_position < resume_handle && getpwent() != nullptr) {
                ++m_position;
            }
        }
        bool at_end = false;
        while (m_records.size() < k_records_per_page) {
            errno = 0;
            const passwd* entry = getpwent();
            if (entry == nullptr) {
                const int error = errno;
                endpwent();
                m_enumerating = false;
                if (is_lookup_error(error)) {
                    return k_status_accounts_database;
                }
                at_end = true;
                break;
            }
            m_records.push_back(make_record(*entry));
            ++m_position;
        }
        resume_handle = m_position;
        records = m_records.data();
        entries_read = static_cast<std::uint32_t>(m_records.size());
        return at_end ? k_status_success : k_status_more_data;
    }

    std::uint32_t user_groups(const char16_t* user_name, std::uint32_t /*preferred_max_bytes*/,
                              const char16_t* const*& names, std::uint32_t& entries_read) override
    {
        names = nullptr;
        entries_read = 0;
        m_group_answer.clear();
        if (user_name == nullptr) {
            return k_status_none_mapped;
        }
        gid_t primary = 0;
        std::uint32_t id = NameTable::k_none;
        if (!find_account(user_name, primary, id)) {
            return k_status_none_mapped;
        }
        if (use_member_index()) {
            answer_from_index(id, primary);
        } else {
            narrow(user_name, m_name); // the account was found, so every unit has its byte
            answer_from_getgrouplist(primary);
        }
        names = m_group_answer.data();
        entries_read = static_cast<std::uint32_t>(m_group_answer.size());
        return k_status_success;
    }

  private:
    USER_INFO_3 make_record(const passwd& entry)
    {
        USER_INFO_3 record;
        record.name = m_text.store(entry.pw_name);
        record.password = nullptr; // never revealed
        record.priv = entry.pw_uid == 0 ? k_priv_admin : k_priv_user;
        record.home_dir = m_text.store(entry.pw_dir != nullptr ? entry.pw_dir : "");

        const std::string_view gecos = entry.pw_gecos != nullptr ? entry.pw_gecos : "";
        const std::size_t comma = gecos.find(',');
        record.full_name = m_text.store(gecos.substr(0, comma));
        record.comment = comma == std::string_view::npos ? k_empty : m_text.store(gecos.substr(comma + 1));

        const std::string_view shell = entry.pw_shell != nullptr ? entry.pw_shell : "";
        record.script_path = m_text.store(shell);
        record.usr_comment = k_empty;
        record.parms = k_empty;
        record.workstations = k_empty;
        record.profile = k_empty;
        record.home_dir_drive = k_empty;
        record.logon_server = k_any_logon_server;
        record.last_logon = m_lastlog.last_login(entry.pw_uid);
        record.max_storage = k_never;
        record.units_per_week = 168;
        record.logon_hours = k_all_hours;
        record.user_id = entry.pw_uid;
        record.primary_group_id = entry.pw_gid;

        record.flags = k_flag_script | k_flag_normal_account;
        record.acct_expires = k_never;
        bool disabled = shell_refuses_login(shell);
        // Every account gets a number, so that its groups are found without looking the name up again.
        const std::uint32_t id = m_names.intern(entry.pw_name, &m_passwd_cursor);
        m_record_ids.push_back(id);
        if (id < m_shadow.size() && m_shadow[id].known) {
            const ShadowState& shadow = m_shadow[id];
            record.flags |= shadow.flags;
            record.password_age = shadow.password_age;
            record.acct_expires = shadow.acct_expires;
            record.password_expired = shadow.password_expired ? 1 : 0;
            disabled = disabled || shadow.disabled;
        }
        if (disabled) {
            record.flags |= k_flag_disabled;
        }
        return record;
    }

    [[nodiscard]] ShadowState shadow_state(const spwd& entry) const
    {
        const long long now = m_now;
        const std::string_view password = entry.sp_pwdp != nullptr ? entry.sp_pwdp : "";
        const long last_change = clamp_days(entry.sp_lstchg);
        const long max_age = clamp_days(entry.sp_max);
        const long expire = clamp_days(entry.sp_expire);
        ShadowState state;
        state.known = true;
        if (password.empty()) {
            state.flags |= k_flag_password_not_required;
        }
        const bool never_expires = max_age < 0 || max_age >= k_never_expiring_days;
        if (never_expires) {
            state.flags |= k_flag_dont_expire_password;
        }
        if (last_change > 0) {
            state.password_age = clamp_seconds(now - static_cast<long long>(last_change) * k_seconds_per_day);
        }
        if (expire >= 0) {
            const long long expiry = static_cast<long long>(expire) * k_seconds_per_day;
            state.acct_expires = clamp_seconds(expiry);
            state.disabled = now > expiry;
        }
        state.disabled = state.disabled || (!password.empty() && (password[0] == '!' || password[0] == '*'));
        state.password_expired =
            last_change == 0 || (last_change > 0 && !never_expires &&
                                 now > (static_cast<long long>(last_change) + max_age) * k_seconds_per_day);
        return state;
    }

    void load_shadow()
    {
        m_shadow_loaded = true;
        setspent();
        while (const spwd* entry = getspent()) {
            const std::uint32_t id = m_names.intern(entry->sp_namp);
            if (id >= m_shadow.size()) {
                m_shadow.resize(id + 1);
            }
            if (!m_shadow[id].known) { // the first entry of a name wins, as getspnam's does
                m_shadow[id] = shadow_state(*entry);
            }
        }
        endspent();
    }

    // The primary group and name number of an account of the current page, or of the database.
    // `m_name` holds the name's bytes when the account is not on the page.
    bool find_account(const char16_t* user_name, gid_t& primary, std::uint32_t& id)
    {
        // Groups are asked for in page order, with the page's own name, so the record after the last
        // one asked is the likely one, and comparing pointers finds it.
        for (int pass = 0; pass < 2; ++pass) {
            for (std::size_t tried = 0; tried < m_records.size(); ++tried) {
                const std::size_t index = (m_last_found + tried) % m_records.size();
                const char16_t* const name = m_records[index].name;
                if (pass == 0 ? name == user_name : std::u16string_view(name) == std::u16string_view(user_name)) {
                    m_last_found = index + 1;
                    primary = m_records[index].primary_group_id;
                    id = m_record_ids[index];
                    return true;
                }
            }
        }
        if (!narrow(user_name, m_name)) {
            return false;
        }
        const passwd* entry = getpwnam(m_name.c_str());
        if (entry == nullptr) {
            return false;
        }
        primary = entry->pw_gid;
        id = m_names.find(m_name);
        return true;
    }

    // The bytes of a name that came from the system; false when a unit has no byte.
    static bool narrow(const char16_t* units, std::string& bytes)
    {
        bytes.clear();
        for (; *units != u'\0'; ++units) {
            if (*units > 0xFF) {
                return false;
            }
            bytes.push_back(static_cast<char>(*units));
        }
        return true;
    }

    bool use_member_index()
    {
        if (!m_lookup_chosen) {
            m_lookup_chosen = true;
            if (m_options.group_lookup == GroupLookup::from_nsswitch) {
                bool readable = false;
                const std::string text = read_file(m_options.nsswitch_path, readable);
                m_member_index = readable && groups_come_from_files(text);
            } else {
                m_member_index = m_options.group_lookup == GroupLookup::member_index;
            }
        }
        return m_member_index;
    }

    // The slot of a group id, whose name is the first group of that id, or its decimal number when none.
    std::uint32_t group_slot(gid_t gid)
    {
        if (m_last_slot != NameTable::k_none && gid == m_last_gid) {
            return m_last_slot; // most accounts share a few primary groups
        }
        m_last_gid = gid;
        const std::uint32_t known = m_group_slots.find(gid);
        if (known != NameTable::k_none) {
            m_last_slot = known;
            return m_last_slot;
        }
        const group* entry = m_index_built ? nullptr : getgrgid(gid);
        m_last_slot = add_group_slot(gid, entry != nullptr ? m_group_text.store(entry->gr_name)
                                                           : m_group_text.store(std::to_string(gid)));
        return m_last_slot;
    }

    std::uint32_t add_group_slot(gid_t gid, const char16_t* name)
    {
        const auto slot = static_cast<std::uint32_t>(m_group_names.size());
        m_group_names.push_back(name);
        m_group_slots.insert(gid, slot);
        return slot;
    }

    // One pass over the group database. The memberships are then sorted by account number, keeping
    // database order within an account, into one array of group slots: account `id` owns the slots
    // from m_member_ends[id - 1] (0 for the first) up to m_member_ends[id].
    void build_member_index()
    {
        m_index_built = true;
        std::deque<std::uint32_t> members; // account numbers, in database order; grows without copying
        std::vector<std::pair<std::uint32_t, std::size_t>> groups; // group slot, end of its members
        setgrent();
        while (const group* entry = getgrent()) {
            const std::uint32_t known = m_group_slots.find(entry->gr_gid);
            const std::uint32_t slot =
                known != NameTable::k_none ? known : add_group_slot(entry->gr_gid, m_group_text.store(entry->gr_name));
            for (char** member = entry->gr_mem; member != nullptr && *member != nullptr; ++member) {
                members.push_back(m_names.intern(*member));
            }
            groups.emplace_back(slot, members.size());
        }
        endgrent();

        m_member_ends.assign(m_names.size(), 0);
        for (const std::uint32_t id : members) {
            ++m_member_ends[id];
        }
        std::size_t start = 0;
        for (std::size_t& end : m_member_ends) {
            start += std::exchange(end, start); // each account's start, advanced below to its end
        }
        m_member_slots.resize(members.size());
        std::size_t next = 0;
        for (const auto& [slot, end] : groups) {
            for (; next < end; ++next) {
                m_member_slots[m_member_ends[members[next]]++] = slot;
            }
        }
    }

    void add_group(std::uint32_t slot)
    {
        if (std::find(m_seen.begin(), m_seen.end(), slot) != m_seen.end()) {
            return;
        }
        m_seen.push_back(slot);
        m_group_answer.push_back(m_group_names[slot]);
    }

    void answer_from_index(std::uint32_t id, gid_t primary)
    {
        if (!m_index_built) {
            build_member_index();
        }
        if (id == NameTable::k_none) {
            id = m_names.find(m_name); // an account off the page may have been met in the group pass
        }
        m_seen.clear();
        add_group(group_slot(primary));
        if (id < m_member_ends.size()) {
            for (std::size_t i = id == 0 ? 0 : m_member_ends[id - 1]; i < m_member_ends[id]; ++i) {
                add_group(m_member_slots[i]);
            }
        }
    }

    void answer_from_getgrouplist(gid_t primary)
    {
        int count = static_cast<int>(std::max<std::size_t>(m_gids.size(), 64));
        for (;;) {
            m_gids.resize(static_cast<std::size_t>(count));
            const int wanted = count;
            if (getgrouplist(m_name.c_str(), primary, m_gids.data(), &count) >= 0) {
                break;
            }
            count = std::max(count, wanted * 2); // the library says how many it needs
        }
        m_gids.resize(static_cast<std::size_t>(count));
        m_seen.clear();
        add_group(group_slot(primary));
        for (const gid_t gid : m_gids) {
            add_group(group_slot(gid));
        }
    }

    LocalSourceOptions m_options;
    LastlogReader m_lastlog;
    std::time_t m_now;

    bool m_enumerating = false;
    std::uint32_t m_position = 0;
    TextStore m_text;
    std::vector<USER_INFO_3> m_records;
    std::vector<std::uint32_t> m_record_ids; // the name number of each record of the page
    std::size_t m_last_found = 0;
    std::string m_name; // the bytes of the name whose groups are asked for, when needed

    NameTable m_names;
    NameTable::Cursor m_passwd_cursor; // the name the next passwd entry likely has
    bool m_shadow_loaded = false;
    std::deque<ShadowState> m_shadow; // by name number; grows without copying

    bool m_lookup_chosen = false;
    bool m_member_index = false;
    bool m_index_built = false;
    TextStore m_group_text;                     // group names, kept for the whole run
    std::vector<const char16_t*> m_group_names; // by group slot
    GidTable m_group_slots;
    gid_t m_last_gid = 0;
    std::uint32_t m_last_slot = NameTable::k_none; // the slot of m_last_gid
    std::vector<std::size_t> m_member_ends;        // by name number
    std::vector<std::uint32_t> m_member_slots;
    std::vector<gid_t> m_gids;
    std::vector<std::uint32_t> m_seen; // group slots of the answer so far
    std::vector<const char16_t*> m_group_answer;
};

} // namespace

bool groups_come_from_files(std::string_view nsswitch_text)
{
    std::optional<std::string> initgroups_sources;
    std::optional<std::string> group_sources;
    std::istringstream lines{std::string(nsswitch_text)};
    std::string line;
    while (std::getline(lines, line)) {
        line.resize(std::min(line.size(), line.find('#')));
        const std::size_t colon = line.find(':');
        if (colon == std::string::npos) {
            continue;
        }
        std::string database;
        std::istringstream(line.substr(0, colon)) >> database;
        std::optional<std::string>& sources = database == "initgroups" ? initgroups_sources : group_sources;
        if ((database == "initgroups" || database == "group") && !sources) {
            sources = line.substr(colon + 1);
        }
    }
    if (!initgroups_sources && !group_sources) {
        return true; // the C library reads groups from files when nothing is configured
    }
    std::istringstream words(initgroups_sources ? *initgroups_sources : *group_sources);
    std::string word;
    bool any = false;
    bool in_action = false;
    while (words >> word) {
        // Bracketed actions such as [NOTFOUND=return] are not sources.
        if (in_action || word.front() == '[') {
            in_action = word.back() != ']';
            continue;
        }
        if (word != "files" && word != "systemd") {
            return false;
        }
        any = true;
    }
    return any;
}

std::unique_ptr<AccountSource> open_local_source(const LocalSourceOptions& options)
{
    return std::make_unique<LocalSource>(options);
}

} // namespace tavrick
