// This machine's accounts through NSS: passwd for the accounts, shadow for their state, group for
// their memberships.
#include <grp.h>
#include <pwd.h>
#include <shadow.h>

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <limits>
#include <optional>
#include <sstream>
#include <string>
#include <unordered_map>

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

// What the shadow database says of one account.
struct ShadowEntry {
    bool locked = false;         // the password begins with ! or *
    bool empty_password = false; // no password at all
    long last_change = -1;       // days since 1970-01-01, or -1
    long max_age = -1;           // days, or -1
    long expire = -1;            // days since 1970-01-01, or -1
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
        std::string name;
        gid_t primary = 0;
        if (!find_account(user_name, name, primary)) {
            return k_status_none_mapped;
        }
        if (use_member_index()) {
            answer_from_index(name, primary);
        } else {
            answer_from_getgrouplist(name, primary);
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
        const auto shadow = m_shadow.find(entry.pw_name);
        if (shadow != m_shadow.end()) {
            apply_shadow(shadow->second, record, disabled);
        }
        if (disabled) {
            record.flags |= k_flag_disabled;
        }
        return record;
    }

    void apply_shadow(const ShadowEntry& shadow, USER_INFO_3& record, bool& disabled) const
    {
        const long long now = m_now;
        if (shadow.empty_password) {
            record.flags |= k_flag_password_not_required;
        }
        const bool never_expires = shadow.max_age < 0 || shadow.max_age >= k_never_expiring_days;
        if (never_expires) {
            record.flags |= k_flag_dont_expire_password;
        }
        if (shadow.last_change > 0) {
            record.password_age = clamp_seconds(now - static_cast<long long>(shadow.last_change) * k_seconds_per_day);
        }
        if (shadow.expire >= 0) {
            const long long expiry = static_cast<long long>(shadow.expire) * k_seconds_per_day;
            record.acct_expires = clamp_seconds(expiry);
            disabled = disabled || now > expiry;
        }
        disabled = disabled || shadow.locked;
        const bool must_change =
            shadow.last_change == 0 ||
            (shadow.last_change > 0 && !never_expires &&
             now > (static_cast<long long>(shadow.last_change) + shadow.max_age) * k_seconds_per_day);
        record.password_expired = must_change ? 1 : 0;
    }

    void load_shadow()
    {
        m_shadow_loaded = true;
        setspent();
        while (const spwd* entry = getspent()) {
            ShadowEntry shadow;
            const std::string_view password = entry->sp_pwdp != nullptr ? entry->sp_pwdp : "";
            shadow.locked = !password.empty() && (password[0] == '!' || password[0] == '*');
            shadow.empty_password = password.empty();
            shadow.last_change = clamp_days(entry->sp_lstchg);
            shadow.max_age = clamp_days(entry->sp_max);
            shadow.expire = clamp_days(entry->sp_expire);
            m_shadow.emplace(entry->sp_namp, shadow); // the first entry of a name wins, as getspnam's
        }
        endspent();
    }

    // The byte name and primary group of an account of the current page, or of the database.
    bool find_account(const char16_t* user_name, std::string& name, gid_t& primary)
    {
        // Groups are asked for in page order, so the record after the last one asked is the likely one.
        for (std::size_t tried = 0; tried < m_records.size(); ++tried) {
            const std::size_t index = (m_last_found + tried) % m_records.size();
            if (std::u16string_view(m_records[index].name) == std::u16string_view(user_name)) {
                m_last_found = index + 1;
                narrow(user_name, name);
                primary = m_records[index].primary_group_id;
                return true;
            }
        }
        if (!narrow(user_name, name)) {
            return false;
        }
        const passwd* entry = getpwnam(name.c_str());
        if (entry == nullptr) {
            return false;
        }
        primary = entry->pw_gid;
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

    // The name of a group id: the first group of that id, or its decimal number when none.
    const char16_t* group_name(gid_t gid)
    {
        const auto known = m_group_names.find(gid);
        if (known != m_group_names.end()) {
            return known->second;
        }
        const group* entry = m_index_built ? nullptr : getgrgid(gid);
        const char16_t* name =
            entry != nullptr ? m_group_text.store(entry->gr_name) : m_group_text.store(std::to_string(gid));
        m_group_names.emplace(gid, name);
        return name;
    }

    void build_member_index()
    {
        m_index_built = true;
        setgrent();
        while (const group* entry = getgrent()) {
            m_group_names.try_emplace(entry->gr_gid, m_group_text.store(entry->gr_name));
            for (char** member = entry->gr_mem; member != nullptr && *member != nullptr; ++member) {
                m_memberships[*member].push_back(entry->gr_gid);
            }
        }
        endgrent();
    }

    void add_group(gid_t gid, std::vector<gid_t>& seen)
    {
        if (std::find(seen.begin(), seen.end(), gid) != seen.end()) {
            return;
        }
        seen.push_back(gid);
        m_group_answer.push_back(group_name(gid));
    }

    void answer_from_index(const std::string& name, gid_t primary)
    {
        if (!m_index_built) {
            build_member_index();
        }
        m_seen.clear();
        add_group(primary, m_seen);
        const auto memberships = m_memberships.find(name);
        if (memberships != m_memberships.end()) {
            for (const gid_t gid : memberships->second) {
                add_group(gid, m_seen);
            }
        }
    }

    void answer_from_getgrouplist(const std::string& name, gid_t primary)
    {
        int count = static_cast<int>(std::max<std::size_t>(m_gids.size(), 64));
        for (;;) {
            m_gids.resize(static_cast<std::size_t>(count));
            const int wanted = count;
            if (getgrouplist(name.c_str(), primary, m_gids.data(), &count) >= 0) {
                break;
            }
            count = std::max(count, wanted * 2); // the library says how many it needs
        }
        m_gids.resize(static_cast<std::size_t>(count));
        m_seen.clear();
        add_group(primary, m_seen);
        for (const gid_t gid : m_gids) {
            add_group(gid, m_seen);
        }
    }

    LocalSourceOptions m_options;
    LastlogReader m_lastlog;
    std::time_t m_now;

    bool m_enumerating = false;
    std::uint32_t m_position = 0;
    TextStore m_text;
    std::vector<USER_INFO_3> m_records;
    std::size_t m_last_found = 0;

    bool m_shadow_loaded = false;
    std::unordered_map<std::string, ShadowEntry> m_shadow;

    bool m_lookup_chosen = false;
    bool m_member_index = false;
    bool m_index_built = false;
    TextStore m_group_text; // group names, kept for the whole run
    std::unordered_map<gid_t, const char16_t*> m_group_names;
    std::unordered_map<std::string, std::vector<gid_t>> m_memberships;
    std::vector<gid_t> m_gids;
    std::vector<gid_t> m_seen;
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
