#include "translation/settings/ini_file_base.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string_view>

namespace translation {

namespace {

// Decimal with an optional sign, or hexadecimal after "$" (up to 32 bits, taken as signed).
std::optional<int> ParseInt(std::string_view s)
{
    bool negative = false;
    if (!s.empty() && (s.front() == '-' || s.front() == '+')) {
        negative = s.front() == '-';
        s.remove_prefix(1);
    }
    if (s.empty())
        return std::nullopt;
    int64_t value = 0;
    if (s.front() == '$') {
        s.remove_prefix(1);
        uint32_t bits = 0;
        if (s.empty() || s.size() > 8)
            return std::nullopt;
        const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), bits, 16);
        if (ec != std::errc() || end != s.data() + s.size())
            return std::nullopt;
        value = static_cast<int32_t>(bits);
    } else {
        uint32_t digits = 0;
        const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), digits, 10);
        if (ec != std::errc() || end != s.data() + s.size())
            return std::nullopt;
        value = digits;
        if (value > int64_t{INT32_MAX} + (negative ? 1 : 0))
            return std::nullopt;
    }
    return static_cast<int>(negative ? -value : value);
}

// Fixed-width unsigned decimal field, all digits.
std::optional<int> Digits(std::string_view s, size_t pos, size_t width)
{
    if (pos + width > s.size())
        return std::nullopt;
    int value = 0;
    for (size_t i = pos; i < pos + width; ++i) {
        if (s[i] < '0' || s[i] > '9')
            return std::nullopt;
        value = value * 10 + (s[i] - '0');
    }
    return value;
}

std::optional<IniDate> ParseDate(std::string_view s)
{
    if (s.size() != 10 || s[4] != '-' || s[7] != '-')
        return std::nullopt;
    const auto y = Digits(s, 0, 4), m = Digits(s, 5, 2), d = Digits(s, 8, 2);
    if (!y || !m || !d)
        return std::nullopt;
    const std::chrono::year_month_day ymd{std::chrono::year{*y},
                                          std::chrono::month{static_cast<unsigned>(*m)},
                                          std::chrono::day{static_cast<unsigned>(*d)}};
    if (!ymd.ok())
        return std::nullopt;
    return IniDate{ymd};
}

// "HH:MM:SS" or "HH:MM".
std::optional<IniTime> ParseTime(std::string_view s)
{
    if ((s.size() != 5 && s.size() != 8) || s[2] != ':' || (s.size() == 8 && s[5] != ':'))
        return std::nullopt;
    const auto h = Digits(s, 0, 2), m = Digits(s, 3, 2);
    const auto sec = s.size() == 8 ? Digits(s, 6, 2) : std::optional<int>(0);
    if (!h || !m || !sec || *h > 23 || *m > 59 || *sec > 59)
        return std::nullopt;
    return std::chrono::hours{*h} + std::chrono::minutes{*m} + std::chrono::seconds{*sec};
}

std::optional<IniDateTime> ParseDateTime(std::string_view s)
{
    if (s.size() == 10) {
        if (const auto d = ParseDate(s))
            return IniDateTime{*d};
        return std::nullopt;
    }
    if (s.size() < 11 || s[10] != ' ')
        return std::nullopt;
    const auto d = ParseDate(s.substr(0, 10));
    const auto t = ParseTime(s.substr(11));
    if (!d || !t)
        return std::nullopt;
    return IniDateTime{*d} + *t;
}

std::optional<double> ParseFloat(std::string_view s)
{
    if (!s.empty() && s.front() == '+')
        s.remove_prefix(1);
    double value = 0;
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
    if (s.empty() || ec != std::errc() || end != s.data() + s.size() || !std::isfinite(value))
        return std::nullopt;
    return value;
}

std::string DateText(IniDate date)
{
    const std::chrono::year_month_day ymd{date};
    char buf[32];
    std::snprintf(buf, sizeof buf, "%04d-%02u-%02u", static_cast<int>(ymd.year()),
                  static_cast<unsigned>(ymd.month()), static_cast<unsigned>(ymd.day()));
    return buf;
}

std::string TimeText(IniTime time)
{
    const long long total = time.count();
    const long long day = 24 * 3600;
    const long long s = ((total % day) + day) % day;
    char buf[32];
    std::snprintf(buf, sizeof buf, "%02lld:%02lld:%02lld", s / 3600, s / 60 % 60, s % 60);
    return buf;
}

} // namespace

int IniFileBase::ReadIntValue(const std::string& section, const std::string& key, int def) const
{
    std::string text = ReadValue(section, key, "");
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X'))
        text.replace(0, 2, "$");
    return ParseInt(text).value_or(def);
}

void IniFileBase::WriteIntValue(const std::string& section, const std::string& key, int value)
{
    WriteValue(section, key, std::to_string(value));
}

bool IniFileBase::ReadBoolValue(const std::string& section, const std::string& key, bool def) const
{
    return ReadIntValue(section, key, def ? 1 : 0) != 0;
}

void IniFileBase::WriteBoolValue(const std::string& section, const std::string& key, bool value)
{
    WriteValue(section, key, value ? "1" : "0");
}

IniDate IniFileBase::ReadDateValue(const std::string& section, const std::string& key,
                                   IniDate def) const
{
    return ParseDate(ReadValue(section, key, "")).value_or(def);
}

IniDateTime IniFileBase::ReadDateTimeValue(const std::string& section, const std::string& key,
                                           IniDateTime def) const
{
    return ParseDateTime(ReadValue(section, key, "")).value_or(def);
}

double IniFileBase::ReadFloatValue(const std::string& section, const std::string& key,
                                   double def) const
{
    return ParseFloat(ReadValue(section, key, "")).value_or(def);
}

IniTime IniFileBase::ReadTimeValue(const std::string& section, const std::string& key,
                                   IniTime def) const
{
    return ParseTime(ReadValue(section, key, "")).value_or(def);
}

void IniFileBase::WriteDateValue(const std::string& section, const std::string& key, IniDate value)
{
    WriteValue(section, key, DateText(value));
}

void IniFileBase::WriteDateTimeValue(const std::string& section, const std::string& key,
                                     IniDateTime value)
{
    const auto day = std::chrono::floor<std::chrono::days>(value);
    WriteValue(section, key, DateText(day) + " " + TimeText(value - day));
}

void IniFileBase::WriteFloatValue(const std::string& section, const std::string& key, double value)
{
    char buf[64];
    const auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value);
    WriteValue(section, key, ec == std::errc() ? std::string(buf, end) : std::string());
}

void IniFileBase::WriteTimeValue(const std::string& section, const std::string& key, IniTime value)
{
    WriteValue(section, key, TimeText(value));
}

bool IniFileBase::HasSection(const std::string& section) const
{
    std::vector<std::string> keys;
    ReadKeyNames(section, keys);
    return !keys.empty();
}

} // namespace translation
