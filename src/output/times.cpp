// SPDX-License-Identifier: GPL-3.0-or-later
// The account times as text: local time with a two- or four-digit year, and UTC in ISO 8601.
#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>

#include "output/output.h"

namespace tavrick {

namespace {

// The last time one formatter wrote, with the TZ it was written under. Most records repeat a few
// values (never logged off, never expires), so a formatter whose last answer still holds keeps it:
// the C library, too, reloads the zone only when TZ changes.
class LastTime {
  public:
    // True when `when` is the last time asked for under the same TZ; otherwise remembers both.
    bool repeats(std::time_t when)
    {
        const char* const zone = std::getenv("TZ");
        if (when == m_when && m_zone.has_value() == (zone != nullptr) && (zone == nullptr || *m_zone == zone)) {
            return true;
        }
        m_when = when;
        m_zone = zone != nullptr ? std::optional<std::string>(zone) : std::nullopt;
        return false;
    }

  private:
    std::time_t m_when = -1;
    std::optional<std::string> m_zone;
};

// Writes `parts` as two-digit numbers with `separators` between them, and the terminator.
template <std::size_t n> void put_two_digit_parts(char* out, const int (&parts)[n], const char* separators)
{
    for (std::size_t i = 0; i < n; ++i) {
        if (i != 0) {
            *out++ = separators[i - 1];
        }
        *out++ = static_cast<char>('0' + parts[i] / 10 % 10);
        *out++ = static_cast<char>('0' + parts[i] % 10);
    }
    *out = '\0';
}

// "YYYY-MM-DD HH:MM:SS", or with iso "YYYY-MM-DDTHH:MM:SSZ", and the terminator; no locale.
void put_full_time(char* out, int year, const int (&parts)[5], bool iso)
{
    for (int i = 3, rest = year; i >= 0; --i, rest /= 10) {
        out[i] = static_cast<char>('0' + rest % 10);
    }
    out[4] = '-';
    put_two_digit_parts(out + 5, parts, iso ? "-T::" : "- ::");
    if (iso) {
        out[19] = 'Z';
        out[20] = '\0';
    }
}

} // namespace

const char* format_account_time(std::uint32_t seconds)
{
    static char result[32];
    static LastTime last;
    const auto signed_seconds = static_cast<std::int32_t>(seconds);
    const std::time_t when = signed_seconds < 0 ? 0 : signed_seconds;
    if (last.repeats(when)) {
        return result;
    }
    const std::tm* local = std::localtime(&when);
    if (local == nullptr) {
        result[0] = '\0';
        return result;
    }
    // "%y-%m-%d %H:%M:%S", without the locale machinery of strftime.
    const int parts[] = {(local->tm_year % 100 + 100) % 100,
                         local->tm_mon + 1,
                         local->tm_mday,
                         local->tm_hour,
                         local->tm_min,
                         local->tm_sec};
    put_two_digit_parts(result, parts, "-- ::");
    return result;
}

const char* format_local_time(std::uint32_t seconds)
{
    static char result[32];
    static LastTime last;
    const auto when = static_cast<std::time_t>(seconds);
    if (last.repeats(when)) {
        return result;
    }
    const std::tm* local = std::localtime(&when);
    if (local == nullptr) {
        result[0] = '\0';
        return result;
    }
    put_full_time(result, local->tm_year + 1900,
                  {local->tm_mon + 1, local->tm_mday, local->tm_hour, local->tm_min, local->tm_sec}, false);
    return result;
}

const char* format_utc_time(std::uint32_t seconds)
{
    static char result[32];
    // The civil date of a day count since 1970-01-01 (H. Hinnant's days_from_civil inverted), so
    // that UTC needs neither the C library's gmtime nor its zone.
    const std::uint32_t days = seconds / 86400;
    const std::uint32_t in_day = seconds % 86400;
    const std::uint32_t z = days + 719468;
    const std::uint32_t era = z / 146097;
    const std::uint32_t day_of_era = z - era * 146097;
    const std::uint32_t year_of_era = (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
    const std::uint32_t day_of_year = day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
    const std::uint32_t shifted_month = (5 * day_of_year + 2) / 153; // March is 0
    const auto day = static_cast<int>(day_of_year - (153 * shifted_month + 2) / 5 + 1);
    const auto month = static_cast<int>(shifted_month < 10 ? shifted_month + 3 : shifted_month - 9);
    const auto year = static_cast<int>(year_of_era + era * 400 + (month <= 2 ? 1 : 0));
    put_full_time(result, year,
                  {month, day, static_cast<int>(in_day / 3600), static_cast<int>(in_day / 60 % 60),
                   static_cast<int>(in_day % 60)},
                  true);
    return result;
}

} // namespace tavrick
