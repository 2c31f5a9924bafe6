#include "platform/text1251.h"

#include <array>

namespace platform {

namespace {

// Code points of the bytes 0x80-0xBF; 0xC0-0xFF are U+0410-U+044F in order.
constexpr std::array<char32_t, 64> kHigh = {
    0x0402, 0x0403, 0x201A, 0x0453, 0x201E, 0x2026, 0x2020, 0x2021, // 80
    0x20AC, 0x2030, 0x0409, 0x2039, 0x040A, 0x040C, 0x040B, 0x040F, // 88
    0x0452, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014, // 90
    0x0000, 0x2122, 0x0459, 0x203A, 0x045A, 0x045C, 0x045B, 0x045F, // 98
    0x00A0, 0x040E, 0x045E, 0x0408, 0x00A4, 0x0490, 0x00A6, 0x00A7, // A0
    0x0401, 0x00A9, 0x0404, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x0407, // A8
    0x00B0, 0x00B1, 0x0406, 0x0456, 0x0491, 0x00B5, 0x00B6, 0x00B7, // B0
    0x0451, 0x2116, 0x0454, 0x00BB, 0x0458, 0x0405, 0x0455, 0x0457, // B8
};

void AppendUtf8(std::string& out, char32_t cp)
{
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

} // namespace

char32_t Cp1251ToCodePoint(unsigned char byte)
{
    if (byte < 0x80)
        return byte;
    if (byte >= 0xC0)
        return static_cast<char32_t>(0x0410 + (byte - 0xC0));
    return kHigh[byte - 0x80];
}

int CodePointToCp1251(char32_t cp)
{
    if (cp < 0x80)
        return static_cast<int>(cp);
    if (cp >= 0x0410 && cp <= 0x044F)
        return static_cast<int>(0xC0 + (cp - 0x0410));
    for (size_t i = 0; i < kHigh.size(); ++i)
        if (kHigh[i] == cp)
            return static_cast<int>(0x80 + i);
    return -1;
}

std::optional<char32_t> DecodeUtf8(std::string_view s, size_t& pos)
{
    const auto b0 = static_cast<unsigned char>(s[pos]);
    if (b0 < 0x80) {
        ++pos;
        return b0;
    }
    int len;
    char32_t cp;
    if ((b0 & 0xE0) == 0xC0) {
        len = 2;
        cp = b0 & 0x1F;
    } else if ((b0 & 0xF0) == 0xE0) {
        len = 3;
        cp = b0 & 0x0F;
    } else if ((b0 & 0xF8) == 0xF0) {
        len = 4;
        cp = b0 & 0x07;
    } else {
        ++pos;
        return std::nullopt;
    }
    if (pos + static_cast<size_t>(len) > s.size()) {
        ++pos;
        return std::nullopt;
    }
    for (int i = 1; i < len; ++i) {
        const auto b = static_cast<unsigned char>(s[pos + static_cast<size_t>(i)]);
        if ((b & 0xC0) != 0x80) {
            ++pos;
            return std::nullopt;
        }
        cp = (cp << 6) | (b & 0x3F);
    }
    static constexpr char32_t kMin[5] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < kMin[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
        ++pos;
        return std::nullopt;
    }
    pos += static_cast<size_t>(len);
    return cp;
}

std::string Utf8ToCp1251(std::string_view utf8, bool* lossless)
{
    std::string out;
    out.reserve(utf8.size());
    bool all = true;
    for (size_t pos = 0; pos < utf8.size();) {
        const auto cp = DecodeUtf8(utf8, pos);
        const int b = cp ? CodePointToCp1251(*cp) : -1;
        if (b < 0) {
            out += '?';
            all = false;
        } else {
            out += static_cast<char>(b);
        }
    }
    if (lossless)
        *lossless = all;
    return out;
}

std::string Cp1251ToUtf8(std::string_view cp1251)
{
    std::string out;
    out.reserve(cp1251.size() * 2);
    for (char c : cp1251) {
        const char32_t cp = Cp1251ToCodePoint(static_cast<unsigned char>(c));
        // The unassigned byte keeps a visible place rather than vanishing.
        AppendUtf8(out, cp == 0 && c != 0 ? U'\uFFFD' : cp);
    }
    return out;
}

char32_t FoldCase(char32_t cp)
{
    if (cp >= 'A' && cp <= 'Z')
        return cp + 0x20;
    if (cp >= 0x0410 && cp <= 0x042F)
        return cp + 0x20;
    if (cp >= 0x0400 && cp <= 0x040F)
        return cp + 0x50;
    if (cp == 0x0490)
        return 0x0491;
    return cp;
}

std::string FoldCaseUtf8(std::string_view utf8)
{
    std::string out;
    out.reserve(utf8.size());
    for (size_t pos = 0; pos < utf8.size();) {
        const size_t start = pos;
        const auto cp = DecodeUtf8(utf8, pos);
        if (cp)
            AppendUtf8(out, FoldCase(*cp));
        else
            out.append(utf8.substr(start, pos - start));
    }
    return out;
}

std::string FoldCaseCp1251(std::string_view cp1251)
{
    static const auto table = [] {
        std::array<char, 256> t{};
        for (int b = 0; b < 256; ++b) {
            const char32_t cp = Cp1251ToCodePoint(static_cast<unsigned char>(b));
            const int folded = cp == 0 ? -1 : CodePointToCp1251(FoldCase(cp));
            t[static_cast<size_t>(b)] = static_cast<char>(folded < 0 ? b : folded);
        }
        return t;
    }();
    std::string out(cp1251);
    for (char& c : out)
        c = table[static_cast<unsigned char>(c)];
    return out;
}

} // namespace platform
