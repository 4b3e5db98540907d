// SPDX-License-Identifier: GPL-3.0-or-later
// The record of one local account: passwd for who it is, shadow for its state.
#include <algorithm>
#include <limits>

#include "sources/local/local_parts.h"

namespace tavrick {

namespace {

constexpr long k_seconds_per_day = 86400;
// A maximum password age from this many days on means the password never expires.
constexpr long k_never_expiring_days = 99999;
constexpr std::uint32_t k_unlimited = 0xFFFFFFFF;
constexpr std::uint32_t k_priv_user = 1;
constexpr std::uint32_t k_priv_admin = 2;
constexpr std::uint32_t k_hours_per_week = 168;

constexpr unsigned char k_all_hours[k_logon_hours_bytes] = {
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
};

std::uint32_t clamp_seconds(long long seconds)
{
    return static_cast<std::uint32_t>(std::clamp<long long>(seconds, 0, std::numeric_limits<std::uint32_t>::max()));
}

// A shadow day count held to +-2^31 days, so that turning one into seconds, or adding two before
// that, cannot overflow whatever the database holds.
long long clamp_days(long days)
{
    constexpr long k_limit = std::numeric_limits<std::int32_t>::max();
    return std::clamp(days, -k_limit, k_limit);
}

bool shell_refuses_login(std::string_view shell)
{
    const std::size_t slash = shell.rfind('/');
    const std::string_view last = slash == std::string_view::npos ? shell : shell.substr(slash + 1);
    return last == "nologin" || last == "false";
}

} // namespace

ShadowState shadow_state(const spwd& entry, std::time_t now)
{
    const std::string_view password = entry.sp_pwdp != nullptr ? entry.sp_pwdp : "";
    const long long last_change = clamp_days(entry.sp_lstchg);
    const long long max_age = clamp_days(entry.sp_max);
    const long long expire = clamp_days(entry.sp_expire);
    ShadowState state;
    if (password.empty()) {
        state.flags |= k_flag_password_not_required;
    } else if (password[0] == '!' || password == "*") {
        // No password logon, but the account itself stays usable (passwd(1): locking the password
        // "does not disable the account"; a key still logs on), so this is a lockout, not a disabling.
        state.flags |= k_flag_lockout;
    }
    const bool never_expires = max_age < 0 || max_age >= k_never_expiring_days;
    if (never_expires) {
        state.flags |= k_flag_dont_expire_password;
    }
    if (last_change > 0) {
        state.password_age = clamp_seconds(now - last_change * k_seconds_per_day);
    }
    if (expire >= 0) {
        state.acct_expires = clamp_seconds(expire * k_seconds_per_day);
        state.disabled = now > expire * k_seconds_per_day;
    }
    state.password_expired =
        last_change == 0 || (last_change > 0 && !never_expires && now > (last_change + max_age) * k_seconds_per_day);
    return state;
}

USER_INFO_3 account_record(const passwd& entry, const ShadowState* shadow, std::uint32_t last_logon, TextStore& text)
{
    USER_INFO_3 record;
    record.name = text.store(entry.pw_name);
    record.password = nullptr; // never revealed
    record.priv = entry.pw_uid == 0 ? k_priv_admin : k_priv_user;
    record.home_dir = text.store(entry.pw_dir != nullptr ? entry.pw_dir : "");

    const std::string_view gecos = entry.pw_gecos != nullptr ? entry.pw_gecos : "";
    const std::size_t comma = gecos.find(',');
    record.full_name = text.store(gecos.substr(0, comma));
    record.comment = comma == std::string_view::npos ? u"" : text.store(gecos.substr(comma + 1));

    const std::string_view shell = entry.pw_shell != nullptr ? entry.pw_shell : "";
    record.script_path = text.store(shell);
    record.usr_comment = u"";
    record.parms = u"";
    record.workstations = u"";
    record.profile = u"";
    record.home_dir_drive = u"";
    record.logon_server = u"\\\\*";
    record.last_logon = last_logon;
    record.max_storage = k_unlimited;
    record.units_per_week = k_hours_per_week;
    record.logon_hours = k_all_hours;
    record.user_id = entry.pw_uid;
    record.primary_group_id = entry.pw_gid;

    record.flags = k_flag_script | k_flag_normal_account;
    record.acct_expires = ShadowState{}.acct_expires;
    bool disabled = shell_refuses_login(shell);
    if (shadow != nullptr) {
        record.flags |= shadow->flags;
        record.password_age = shadow->password_age;
        record.acct_expires = shadow->acct_expires;
        record.password_expired = shadow->password_expired ? 1 : 0;
        disabled = disabled || shadow->disabled;
    }
    if (disabled) {
        record.flags |= k_flag_disabled;
    }
    return record;
}

} // namespace tavrick
