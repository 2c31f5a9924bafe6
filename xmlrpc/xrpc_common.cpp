#include "xmlrpc/xrpc_common.h"

#include "platform/text1251.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <istream>
#include <iterator>
#include <ostream>
#include <system_error>

namespace xrpc {

namespace {

// Conversion errors quote the offending text, cut so that a hostile megabyte stays out of the
// message.
std::string Quote(std::string_view text)
{
    constexpr size_t kMax = 40;
    std::string q = "'";
    q.append(text.substr(0, kMax));
    if (text.size() > kMax)
        q += "...";
    q += "'";
    return q;
}

bool IsDigit(char c)
{
    return c >= '0' && c <= '9';
}

char LowerAscii(char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 0x20) : c;
}

// Windows-1251 lower case, built once from the platform's Unicode case folding.
const std::array<unsigned char, 256>& FoldTable()
{
    static const std::array<unsigned char, 256> table = [] {
        std::array<unsigned char, 256> t{};
        for (int b = 0; b < 256; ++b) {
            const std::string byte(1, static_cast<char>(b));
            const std::string folded =
                platform::Utf8ToCp1251(platform::FoldCaseUtf8(platform::Cp1251ToUtf8(byte)));
            t[static_cast<size_t>(b)] = b != 0x98 && folded.size() == 1
                                            ? static_cast<unsigned char>(folded[0])
                                            : static_cast<unsigned char>(b);
        }
        return t;
    }();
    return table;
}

// Proleptic Gregorian calendar, day 0 = 1 Jan 1970.
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d)
{
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const auto yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void CivilFromDays(int64_t z, int64_t& y, unsigned& m, unsigned& d)
{
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const auto doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    d = doy - (153 * mp + 2) / 5 + 1;
    m = mp < 10 ? mp + 3 : mp - 9;
    y = static_cast<int64_t>(yoe) + era * 400 + (m <= 2);
}

constexpr int64_t kDayZeroToUnixEpoch = 25569; // 30 Dec 1899 is 25,569 days before 1 Jan 1970
constexpr int64_t kMsPerDay = 86400000;

struct DateFields
{
    int64_t year;
    unsigned month, day;
    int64_t ms; // of the day
};

DateFields DecodeDateTime(TDateTime value)
{
    // Bounds first, so the integer conversions below stay defined.
    if (!std::isfinite(value) || value < -693594.0 || value >= 2958466.0)
        throw EXrpcError("Invalid date and time value");
    auto day = static_cast<int64_t>(std::trunc(value));
    int64_t ms = std::llround(std::fabs(value - static_cast<double>(day)) * kMsPerDay);
    if (ms >= kMsPerDay) {
        ms -= kMsPerDay;
        ++day;
    }
    DateFields f{};
    CivilFromDays(day - kDayZeroToUnixEpoch, f.year, f.month, f.day);
    f.ms = ms;
    if (f.year < 1 || f.year > 9999)
        throw EXrpcError("Invalid date and time value");
    return f;
}

void Append2(std::string& out, int64_t v)
{
    out += static_cast<char>('0' + v / 10 % 10);
    out += static_cast<char>('0' + v % 10);
}

// Mantissa digits and decimal exponent of a finite, non-zero |value| from to_chars' scientific
// form ("d.ddde+XX"), trailing zeros removed.
void ScientificDigits(double value, int precision, std::string& digits, int& exponent)
{
    char buf[64];
    const auto r =
        precision < 0
            ? std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific)
            : std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific, precision);
    const std::string_view s(buf, static_cast<size_t>(r.ptr - buf));
    const size_t e = s.find('e');
    digits.clear();
    for (char c : s.substr(0, e))
        if (IsDigit(c))
            digits += c;
    while (digits.size() > 1 && digits.back() == '0')
        digits.pop_back();
    std::from_chars(s.data() + e + (s[e + 1] == '+' ? 2 : 1), s.data() + s.size(), exponent);
}

std::string FloatText(double value, int precision)
{
    std::string digits;
    int exp = 0;
    ScientificDigits(std::fabs(value), precision, digits, exp);
    std::string out = value < 0 ? "-" : "";
    const auto n = static_cast<int>(digits.size());
    if (exp >= -5 && exp < 15) {
        if (exp < 0) {
            out += "0.";
            out.append(static_cast<size_t>(-exp - 1), '0');
            out += digits;
        } else {
            const auto whole = static_cast<size_t>(exp + 1);
            out.append(digits, 0, whole);
            if (static_cast<size_t>(n) < whole) {
                out.append(whole - static_cast<size_t>(n), '0');
            } else if (static_cast<size_t>(n) > whole) {
                out += '.';
                out.append(digits, whole, std::string::npos);
            }
        }
    } else {
        out += digits[0];
        if (n > 1) {
            out += '.';
            out.append(digits, 1, std::string::npos);
        }
        out += 'E';
        out += std::to_string(exp);
    }
    return out;
}

// Escapes one Windows-1251 byte; shared by EscapeXml and the readers' UTF-8 path.
void AppendEscaped(std::string& out, unsigned char c)
{
    switch (c) {
    case '&':
        out += "&amp;";
        break;
    case '<':
        out += "&lt;";
        break;
    case '>':
        out += "&gt;";
        break;
    case '"':
        out += "&quot;";
        break;
    case '\'':
        out += "&apos;";
        break;
    case '\t':
    case '\n':
    case '\r':
        out += static_cast<char>(c);
        break;
    default:
        if (c >= 0x20 && c != 0x98)
            out += static_cast<char>(c);
    }
}

} // namespace

std::string EscapeXml(std::string_view text)
{
    std::string out;
    out.reserve(text.size() + text.size() / 8);
    for (char c : text)
        AppendEscaped(out, static_cast<unsigned char>(c));
    return out;
}

namespace detail {

std::string EscapeUtf8(std::string_view utf8)
{
    std::string out;
    out.reserve(utf8.size() + utf8.size() / 8);
    for (size_t pos = 0; pos < utf8.size();) {
        const auto c = static_cast<unsigned char>(utf8[pos]);
        if (c < 0x80) {
            AppendEscaped(out, c);
            ++pos;
            continue;
        }
        const auto cp = platform::DecodeUtf8(utf8, pos);
        if (!cp)
            continue;
        const int b = platform::CodePointToCp1251(*cp);
        if (b >= 0)
            out += static_cast<char>(b);
        else
            out += "&#" + std::to_string(static_cast<uint32_t>(*cp)) + ";";
    }
    return out;
}

} // namespace detail

std::string UnescapeXml(std::string_view text)
{
    static constexpr std::pair<std::string_view, char> kEntities[] = {
        {"&lt;", '<'}, {"&gt;", '>'}, {"&quot;", '"'}, {"&apos;", '\''}, {"&amp;", '&'}};
    std::string out;
    out.reserve(text.size());
    size_t i = 0;
    while (i < text.size()) {
        const size_t amp = text.find('&', i);
        if (amp == std::string_view::npos) {
            out.append(text.substr(i));
            break;
        }
        out.append(text.substr(i, amp - i));
        i = amp;
        bool replaced = false;
        for (const auto& [entity, ch] : kEntities) {
            if (text.substr(i, entity.size()) == entity) {
                out += ch;
                i += entity.size();
                replaced = true;
                break;
            }
        }
        if (!replaced)
            out += text[i++];
    }
    return out;
}

TDateTime EncodeDateTime(int year, int month, int day, int hour, int minute, int second,
                         int millisecond)
{
    static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1 ||
        day > kDays[month - 1] + (month == 2 && leap) || hour < 0 || hour > 23 || minute < 0 ||
        minute > 59 || second < 0 || second > 59 || millisecond < 0 || millisecond > 999)
        throw EXrpcError("Invalid date and time value");
    const int64_t days =
        DaysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) +
        kDayZeroToUnixEpoch;
    const double time =
        static_cast<double>(((hour * 60 + minute) * 60 + second) * 1000 + millisecond) /
        static_cast<double>(kMsPerDay);
    return days >= 0 ? static_cast<double>(days) + time : static_cast<double>(days) - time;
}

void CheckDateTime(TDateTime value)
{
    DecodeDateTime(value);
}

std::string FormatIsoDate(TDateTime value)
{
    const DateFields f = DecodeDateTime(value);
    std::string out;
    out.reserve(17);
    Append2(out, f.year / 100);
    Append2(out, f.year % 100);
    Append2(out, f.month);
    Append2(out, f.day);
    out += 'T';
    Append2(out, f.ms / 3600000);
    out += ':';
    Append2(out, f.ms / 60000 % 60);
    out += ':';
    Append2(out, f.ms / 1000 % 60);
    return out;
}

TDateTime ParseIsoDate(std::string_view text)
{
    auto field = [text](size_t pos, size_t len) {
        const std::string_view part = pos < text.size() ? text.substr(pos, len) : "";
        int v = 0;
        if (part.size() != len || !std::all_of(part.begin(), part.end(), IsDigit))
            throw EXrpcError(Quote(text) + " is not a valid date and time");
        std::from_chars(part.data(), part.data() + part.size(), v);
        return v;
    };
    const int year = field(0, 4), month = field(4, 2), day = field(6, 2);
    const int hour = field(9, 2), minute = field(12, 2), second = field(15, 2);
    try {
        return EncodeDateTime(year, month, day, hour, minute, second);
    } catch (const EXrpcError&) {
        throw EXrpcError(Quote(text) + " is not a valid date and time");
    }
}

std::string FormatFloat(double value)
{
    if (!std::isfinite(value))
        throw EXrpcError("Invalid floating point value: XML-RPC has no infinity or NaN");
    if (value == 0)
        return "0";
    std::string text = FloatText(value, 14);
    // Fifteen digits can round the largest doubles past the range; those keep every digit.
    if (std::fabs(value) > 1e308) {
        double back = 0;
        const auto r = std::from_chars(text.data(), text.data() + text.size(), back);
        if (r.ec != std::errc())
            text = FloatText(value, -1);
    }
    return text;
}

int32_t ParseInteger(std::string_view text)
{
    std::string_view digits = text;
    if (!digits.empty() && digits[0] == '+')
        digits.remove_prefix(1);
    int32_t v = 0;
    const auto r = std::from_chars(digits.data(), digits.data() + digits.size(), v);
    const bool doubleSign = digits.size() < text.size() && !digits.empty() && digits[0] == '-';
    if (digits.empty() || digits[0] == '+' || doubleSign || r.ec != std::errc() ||
        r.ptr != digits.data() + digits.size())
        throw EXrpcError(Quote(text) + " is not a valid integer value");
    return v;
}

double ParseFloat(std::string_view text)
{
    // The grammar is checked here: from_chars alone would also take "inf", "nan" and hex forms.
    size_t i = 0;
    const size_t n = text.size();
    if (i < n && (text[i] == '+' || text[i] == '-'))
        ++i;
    size_t mantissa = 0;
    while (i < n && IsDigit(text[i]))
        ++i, ++mantissa;
    if (i < n && text[i] == '.') {
        ++i;
        while (i < n && IsDigit(text[i]))
            ++i, ++mantissa;
    }
    bool ok = mantissa > 0;
    if (ok && i < n && (text[i] == 'e' || text[i] == 'E')) {
        ++i;
        if (i < n && (text[i] == '+' || text[i] == '-'))
            ++i;
        size_t expDigits = 0;
        while (i < n && IsDigit(text[i]))
            ++i, ++expDigits;
        ok = expDigits > 0;
    }
    double v = 0;
    if (ok && i == n) {
        const char* first = text.data() + (text[0] == '+' ? 1 : 0);
        const auto r = std::from_chars(first, text.data() + n, v);
        ok = r.ptr == text.data() + n && r.ec == std::errc();
    } else {
        ok = false;
    }
    if (!ok)
        throw EXrpcError(Quote(text) + " is not a valid floating point value");
    return v;
}

bool ParseBoolean(std::string_view text)
{
    if (SameText(text, "true"))
        return true;
    if (SameText(text, "false"))
        return false;
    try {
        return ParseInteger(text) != 0;
    } catch (const EXrpcError&) {
        throw EXrpcError(Quote(text) + " is not a valid boolean value");
    }
}

std::string_view Trim(std::string_view text)
{
    size_t b = 0, e = text.size();
    while (b < e && static_cast<unsigned char>(text[b]) <= ' ')
        ++b;
    while (e > b && static_cast<unsigned char>(text[e - 1]) <= ' ')
        --e;
    return text.substr(b, e - b);
}

std::string UpperAscii(std::string_view text)
{
    std::string out(text);
    for (char& c : out)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 0x20);
    return out;
}

bool SameText(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    const auto& fold = FoldTable();
    for (size_t i = 0; i < a.size(); ++i)
        if (fold[static_cast<unsigned char>(a[i])] != fold[static_cast<unsigned char>(b[i])])
            return false;
    return true;
}

std::string NormalizeEmptyValues(std::string_view document)
{
    static constexpr std::string_view kStringNull = "<string>[NULL]</string>";
    static constexpr std::string_view kValueNull = "<value>[NULL]</value>";
    static constexpr std::pair<std::string_view, std::string_view> kForms[] = {
        {"<string></string>", kStringNull},        {"<string></nil></string>", kStringNull},
        {"<string></null></string>", kStringNull}, {"<string> </string>", kStringNull},
        {"<value></value>", kValueNull},           {"<value></nil></value>", kValueNull},
        {"<value></null></value>", kValueNull},    {"<value> </value>", kValueNull},
    };
    auto matches = [document](size_t at, std::string_view form) {
        if (document.size() - at < form.size())
            return false;
        for (size_t k = 0; k < form.size(); ++k)
            if (LowerAscii(document[at + k]) != form[k])
                return false;
        return true;
    };
    // One pass finds what the eight replacements in turn would: no replacement text can start
    // or complete another form.
    std::string out;
    out.reserve(document.size());
    size_t i = 0;
    while (i < document.size()) {
        const size_t lt = document.find('<', i);
        if (lt == std::string_view::npos) {
            out.append(document.substr(i));
            break;
        }
        out.append(document.substr(i, lt - i));
        i = lt;
        bool replaced = false;
        // Every form begins "<s" or "<v": most tags are passed at once.
        const char next = i + 1 < document.size() ? LowerAscii(document[i + 1]) : '\0';
        for (const auto& [form, with] : kForms) {
            if (next != form[1])
                continue;
            if (matches(i, form)) {
                out.append(with);
                i += form.size();
                replaced = true;
                break;
            }
        }
        if (!replaced)
            out += document[i++];
    }
    return out;
}

std::string EncodeBase64(std::string_view bytes)
{
    static constexpr char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4 + bytes.size() / 57 * 2);
    size_t line = 0;
    auto put = [&](char c) {
        if (line == 76) {
            out += "\r\n";
            line = 0;
        }
        out += c;
        ++line;
    };
    for (size_t i = 0; i < bytes.size(); i += 3) {
        const size_t left = bytes.size() - i;
        uint32_t v = static_cast<uint32_t>(static_cast<unsigned char>(bytes[i])) << 16;
        if (left > 1)
            v |= static_cast<uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8;
        if (left > 2)
            v |= static_cast<unsigned char>(bytes[i + 2]);
        put(kAlphabet[v >> 18 & 63]);
        put(kAlphabet[v >> 12 & 63]);
        put(left > 1 ? kAlphabet[v >> 6 & 63] : '=');
        put(left > 2 ? kAlphabet[v & 63] : '=');
    }
    return out;
}

std::string DecodeBase64(std::string_view text)
{
    static const std::array<int8_t, 256> kValue = [] {
        std::array<int8_t, 256> t{};
        t.fill(-1);
        const std::string_view a =
            "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
        for (size_t i = 0; i < a.size(); ++i)
            t[static_cast<unsigned char>(a[i])] = static_cast<int8_t>(i);
        return t;
    }();
    std::string out;
    out.reserve(text.size() / 4 * 3);
    uint32_t acc = 0;
    int bits = 0;
    size_t sextets = 0;
    for (char c : text) {
        if (c == '=')
            break;
        const int v = kValue[static_cast<unsigned char>(c)];
        if (v < 0)
            continue;
        acc = (acc << 6) | static_cast<uint32_t>(v);
        bits += 6;
        ++sextets;
        if (bits >= 8) {
            bits -= 8;
            out += static_cast<char>(acc >> bits & 0xFF);
        }
    }
    if (sextets % 4 == 1)
        throw EXrpcError("Invalid Base64 text: its length cannot be decoded");
    return out;
}

std::string StreamToString(std::istream& in)
{
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void StringToStream(std::string_view text, std::ostream& out)
{
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
}

} // namespace xrpc
