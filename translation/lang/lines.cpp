#include "translation/lang/lines.h"

#include <algorithm>
#include <cstdint>

namespace translation {
namespace {

constexpr std::array<const char*, kListKinds> kTypeNames = {
    "stCaptions",   "stHints",        "stDisplayLabels", "stFonts",
    "stMultiLines", "stDlgsCaptions", "stStrings",       "stOtherStrings",
    "stLocales",    "stCollections",  "stCharSets",      "stListView_TreeView_Items"};
constexpr std::array<const char*, kListKinds> kSections = {
    "Captions", "Hints", "DisplayLabels", "Fonts",       "Multilines", "Dialogs",
    "Strings",  "Other", "Locales",       "Collections", "CharSets",   "ListView_TreeView_Items"};

constexpr std::array<const char*, 18> kKindNames = {
    "tkUnknown", "tkInteger", "tkChar",   "tkEnumeration", "tkFloat",   "tkString",
    "tkSet",     "tkClass",   "tkMethod", "tkWChar",       "tkLString", "tkWString",
    "tkVariant", "tkArray",   "tkRecord", "tkInterface",   "tkInt64",   "tkDynArray"};

// Upper and lower case of the letters of Windows-1251 beyond ASCII.
struct CaseTable
{
    std::array<unsigned char, 256> upper{};
    std::array<unsigned char, 256> lower{};
    std::array<bool, 256> isUpper{};
    CaseTable()
    {
        for (int i = 0; i < 256; ++i)
            upper[i] = lower[i] = static_cast<unsigned char>(i);
        auto pair = [this](int up, int low) {
            lower[up] = static_cast<unsigned char>(low);
            upper[low] = static_cast<unsigned char>(up);
            isUpper[up] = true;
        };
        for (int c = 'A'; c <= 'Z'; ++c)
            pair(c, c + 32);
        for (int c = 0xC0; c <= 0xDF; ++c)
            pair(c, c + 32);
        const int pairs[][2] = {{0x80, 0x90}, {0x81, 0x83}, {0x8A, 0x9A}, {0x8C, 0x9C},
                                {0x8D, 0x9D}, {0x8E, 0x9E}, {0x8F, 0x9F}, {0xA1, 0xA2},
                                {0xA3, 0xBC}, {0xA5, 0xB4}, {0xA8, 0xB8}, {0xAA, 0xBA},
                                {0xAF, 0xBF}, {0xB2, 0xB3}, {0xBD, 0xBE}};
        for (const auto& p : pairs)
            pair(p[0], p[1]);
    }
};

const CaseTable& Cases()
{
    static const CaseTable table;
    return table;
}

unsigned char U(char c)
{
    return static_cast<unsigned char>(c);
}

} // namespace

const char* TypeKindName(TypeKind kind)
{
    return kKindNames[static_cast<size_t>(kind)];
}

TypeKind TypeKindFromName(std::string_view name)
{
    for (size_t i = 0; i < kKindNames.size(); ++i)
        if (name == kKindNames[i])
            return static_cast<TypeKind>(i);
    return TypeKind::Unknown;
}

const char* StringsTypeName(int kind)
{
    return kind >= 0 && kind < kListKinds ? kTypeNames[static_cast<size_t>(kind)] : "";
}

const char* SectionName(int kind)
{
    return kind >= 0 && kind < kListKinds ? kSections[static_cast<size_t>(kind)] : "";
}

std::size_t CountOf(std::string_view text, char c)
{
    return static_cast<std::size_t>(std::count(text.begin(), text.end(), c));
}

char UpperChar(char c)
{
    return static_cast<char>(Cases().upper[U(c)]);
}

char LowerChar(char c)
{
    return static_cast<char>(Cases().lower[U(c)]);
}

bool IsUpperLetter(char c)
{
    return Cases().isUpper[U(c)];
}

bool SameText(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (UpperChar(a[i]) != UpperChar(b[i]))
            return false;
    return true;
}

bool StartsWithText(std::string_view text, std::string_view prefix)
{
    return text.size() >= prefix.size() && SameText(text.substr(0, prefix.size()), prefix);
}

std::string UpperText(std::string_view text)
{
    std::string out(text);
    for (char& c : out)
        c = UpperChar(c);
    return out;
}

std::size_t FindText(std::string_view text, std::string_view needle)
{
    if (needle.size() > text.size())
        return std::string_view::npos;
    for (std::size_t i = 0; i + needle.size() <= text.size(); ++i)
        if (SameText(text.substr(i, needle.size()), needle))
            return i;
    return std::string_view::npos;
}

bool ReplaceLanguage(std::string& line, char delim, int language, std::string_view text)
{
    if (language < 1)
        return false;
    std::vector<std::size_t> at;
    for (std::size_t i = 0; i < line.size(); ++i)
        if (line[i] == delim)
            at.push_back(i);
    const auto lang = static_cast<std::size_t>(language);
    if (at.size() + 1 < lang)
        return false;
    const std::size_t cut = at.size() >= lang ? at[lang - 1] : line.size();
    const std::size_t resume = at.size() >= lang + 1 ? at[lang] : line.size();
    std::string out = line.substr(0, cut);
    out += delim;
    out += text;
    out += line.substr(resume);
    line = std::move(out);
    return true;
}

std::string CutLanguages(const std::string& line, char delim, int n)
{
    if (n < 0)
        return line;
    std::size_t seen = 0;
    for (std::size_t i = 0; i < line.size(); ++i) {
        if (line[i] == delim && ++seen == static_cast<std::size_t>(n) + 1)
            return line.substr(0, i + 1);
    }
    return line;
}

void PadLines(StringList& list, char delim, int numLanguages)
{
    const auto n = static_cast<std::size_t>(std::max(numLanguages, 0));
    for (std::string& line : list) {
        const std::size_t k = CountOf(line, delim);
        if (k <= n)
            line.append(n - k + 1, delim);
    }
}

std::string MakeValues(std::string_view text, int t, int numLanguages, char delim)
{
    std::string out;
    for (int n = 1; n <= numLanguages; ++n) {
        if (n == t)
            out += text;
        out += delim;
    }
    return out;
}

bool AllTextsEmpty(std::string_view line, int numLanguages)
{
    std::size_t b = 0;
    std::size_t e = line.size();
    while (b < e && U(line[b]) <= ' ')
        ++b;
    while (e > b && U(line[e - 1]) <= ' ')
        --e;
    const auto trimmed = static_cast<std::int64_t>(e - b);
    return static_cast<std::int64_t>(line.size()) - (static_cast<std::int64_t>(numLanguages) + 1) >=
           trimmed;
}

StringList SplitBy(std::string_view text, std::string_view separator)
{
    StringList out;
    if (separator.empty()) {
        if (!text.empty())
            out.emplace_back(text);
        return out;
    }
    std::size_t from = 0;
    for (;;) {
        const std::size_t at = text.find(separator, from);
        if (at == std::string_view::npos) {
            if (from < text.size())
                out.emplace_back(text.substr(from));
            return out;
        }
        out.emplace_back(text.substr(from, at - from));
        from = at + separator.size();
    }
}

std::string JoinList(const StringList& list, std::string_view separator, bool skipEmpty)
{
    std::string out;
    bool first = true;
    for (const std::string& s : list) {
        if (skipEmpty && s.empty())
            continue;
        if (!first)
            out += separator;
        out += s;
        first = false;
    }
    return out;
}

int KeyIndex(const StringList& list, std::string_view line, std::string_view separator)
{
    auto keyOf = [separator](std::string_view s) {
        const std::size_t at = separator.empty() ? std::string_view::npos : s.find(separator);
        return at == std::string_view::npos ? s : s.substr(0, at);
    };
    const std::string_view key = keyOf(line);
    for (std::size_t i = 0; i < list.size(); ++i)
        if (SameText(keyOf(list[i]), key))
            return static_cast<int>(i);
    return -1;
}

std::string MergeLines(std::string_view oldLine, std::string_view newLine,
                       std::string_view separator)
{
    const StringList oldParts = SplitBy(oldLine, separator);
    const StringList newParts = SplitBy(newLine, separator);
    StringList parts;
    parts.push_back(oldParts.empty() ? std::string() : oldParts[0]);
    for (std::size_t i = 1; i < std::max(oldParts.size(), newParts.size()); ++i) {
        if (i < newParts.size() && !newParts[i].empty())
            parts.push_back(newParts[i]);
        else
            parts.push_back(i < oldParts.size() ? oldParts[i] : std::string());
    }
    std::string out;
    for (const std::string& p : parts) {
        out += p;
        out += '\x01';
    }
    return out;
}

std::string ReplaceAll(std::string_view text, std::string_view from, std::string_view to)
{
    if (from.empty())
        return std::string(text);
    std::string out;
    std::size_t pos = 0;
    for (;;) {
        const std::size_t at = text.find(from, pos);
        if (at == std::string_view::npos)
            break;
        out.append(text.substr(pos, at - pos));
        out.append(to);
        pos = at + from.size();
    }
    out.append(text.substr(pos));
    return out;
}

std::string ReplaceChar(std::string_view text, char from, char to)
{
    std::string out(text);
    std::replace(out.begin(), out.end(), from, to);
    return out;
}

std::string CommaText(const StringList& list)
{
    if (list.size() == 1 && list[0].empty())
        return "\"\"";
    std::string out;
    for (std::size_t i = 0; i < list.size(); ++i) {
        if (i > 0)
            out += ',';
        const std::string& s = list[i];
        const bool quote = std::any_of(s.begin(), s.end(),
                                       [](char c) { return U(c) <= ' ' || c == '"' || c == ','; });
        if (!quote) {
            out += s;
            continue;
        }
        out += '"';
        for (char c : s) {
            if (c == '"')
                out += '"';
            out += c;
        }
        out += '"';
    }
    return out;
}

StringList ParseCommaText(std::string_view text)
{
    StringList out;
    std::size_t p = 0;
    const std::size_t n = text.size();
    auto blank = [&](std::size_t i) { return i < n && U(text[i]) >= 1 && U(text[i]) <= ' '; };
    while (blank(p))
        ++p;
    while (p < n && text[p] != '\0') {
        std::string item;
        if (text[p] == '"') {
            ++p;
            while (p < n) {
                if (text[p] == '"') {
                    if (p + 1 < n && text[p + 1] == '"') {
                        item += '"';
                        p += 2;
                        continue;
                    }
                    ++p;
                    break;
                }
                item += text[p++];
            }
        } else {
            const std::size_t from = p;
            while (p < n && U(text[p]) > ' ' && text[p] != ',')
                ++p;
            item.assign(text.substr(from, p - from));
        }
        out.push_back(std::move(item));
        while (blank(p))
            ++p;
        if (p < n && text[p] == ',') {
            if (p + 1 >= n || text[p + 1] == '\0')
                out.emplace_back();
            do
                ++p;
            while (blank(p));
        }
    }
    return out;
}

std::string JoinLines(const StringList& list)
{
    std::string out;
    for (const std::string& s : list) {
        out += s;
        out += "\r\n";
    }
    return out;
}

std::string FlipCase(std::string_view text)
{
    std::string out(text);
    for (char& c : out)
        c = IsUpperLetter(c) ? LowerChar(c) : UpperChar(c);
    return out;
}

std::string ExpandChars(std::string_view text, char padding, int percent)
{
    // The test mode stretches texts to see where a longer language would be cut; beyond ten
    // times the length nothing more is learnt, and the text stays of a sane size.
    constexpr int kMostPercent = 1000;
    percent = std::clamp(percent, 0, kMostPercent);
    const std::size_t length = text.size();
    std::size_t total = length * static_cast<std::size_t>(percent) / 100;
    std::string out;
    out.reserve(length + total);
    for (std::size_t p = 1; p <= length; ++p) {
        const std::size_t n = total / (length - p + 1);
        out += text[p - 1];
        out.append(n, padding);
        total -= n;
    }
    return out;
}

std::string EncodeTranslationData(const ListSet& lists, const KindMask& has)
{
    std::string out;
    for (int kind = 0; kind < kListKinds; ++kind) {
        if (!has[static_cast<size_t>(kind)])
            continue;
        out += kTypeNames[static_cast<size_t>(kind)];
        out += "\r\n";
        for (const std::string& line : lists[static_cast<size_t>(kind)]) {
            for (char c : line)
                out += c == '\r' ? '\x19' : c == '\n' ? '\x1A' : c;
            out += "\r\n";
        }
    }
    return out;
}

void DecodeTranslationData(std::string_view data, ListSet& lists, const KindMask& has,
                           std::string_view ownerClass, char delim)
{
    std::string ownerKey(ownerClass);
    ownerKey += delim;
    StringList* current = nullptr;
    for (std::string& line : SplitLines(data)) {
        const auto* name = std::find_if(kTypeNames.begin(), kTypeNames.end(),
                                        [&line](const char* n) { return line == n; });
        if (name != kTypeNames.end()) {
            const auto kind = static_cast<size_t>(name - kTypeNames.begin());
            current = has[kind] ? &lists[kind] : nullptr;
            if (current != nullptr)
                current->clear();
            continue;
        }
        if (current == nullptr)
            continue;
        for (char& c : line)
            c = c == '\x19' ? '\r' : c == '\x1A' ? '\n' : c;
        if (!ownerClass.empty() && line.compare(0, ownerKey.size(), ownerKey) == 0)
            current->insert(current->begin(), std::move(line));
        else
            current->push_back(std::move(line));
    }
}

} // namespace translation
