#include "platform/profile_ini.h"

#include "platform/file_util.h"
#include "platform/text1251.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <mutex>
#include <optional>
#include <vector>

namespace platform {

namespace {

// Writers in this process take turns, so a read-change-save never drops another's change.
std::mutex& IniMutex()
{
    static std::mutex m;
    return m;
}

std::string_view Trim(std::string_view s)
{
    const auto first = s.find_first_not_of(" \t");
    if (first == std::string_view::npos)
        return {};
    const auto last = s.find_last_not_of(" \t");
    return s.substr(first, last - first + 1);
}

struct Line
{
    std::string text;                   // UTF-8, without the line end
    std::optional<std::string> section; // folded section name, for a [Section] line
    std::optional<std::string> name;    // folded name, for a Name=Value line
    std::string value;
    std::string shown; // the section or name as written
};

std::vector<Line> ParseIni(const std::string& cp1251)
{
    std::vector<Line> lines;
    const std::string text = Cp1251ToUtf8(cp1251);
    size_t pos = 0;
    while (pos < text.size()) {
        auto end = text.find('\n', pos);
        if (end == std::string::npos)
            end = text.size();
        std::string_view raw(text.data() + pos, end - pos);
        pos = end + 1;
        if (!raw.empty() && raw.back() == '\r')
            raw.remove_suffix(1);
        Line line{std::string(raw), std::nullopt, std::nullopt, {}, {}};
        const auto t = Trim(raw);
        if (t.size() >= 2 && t.front() == '[') {
            const auto close = t.find(']');
            if (close != std::string_view::npos) {
                line.shown = std::string(Trim(t.substr(1, close - 1)));
                line.section = FoldCaseUtf8(line.shown);
            }
        } else if (!t.empty() && t.front() != ';' && t.front() != '#') {
            const auto eq = t.find('=');
            if (eq != std::string_view::npos) {
                line.shown = std::string(Trim(t.substr(0, eq)));
                line.name = FoldCaseUtf8(line.shown);
                auto v = Trim(t.substr(eq + 1));
                if (v.size() >= 2 && ((v.front() == '"' && v.back() == '"') ||
                                      (v.front() == '\'' && v.back() == '\'')))
                    v = v.substr(1, v.size() - 2);
                line.value = std::string(v);
            }
        }
        lines.push_back(std::move(line));
    }
    return lines;
}

// Index of the name's line in the section, or the section's end (the line after its last
// entry) in *insert_at; *section_found tells whether the section exists.
std::optional<size_t> Find(const std::vector<Line>& lines, const std::string& section,
                           const std::string& name, bool* section_found = nullptr,
                           size_t* insert_at = nullptr)
{
    const std::string s = FoldCaseUtf8(Trim(section));
    const std::string n = FoldCaseUtf8(Trim(name));
    bool in = false;
    bool found = false;
    size_t last = 0;
    for (size_t i = 0; i < lines.size(); ++i) {
        const Line& line = lines[i];
        if (line.section) {
            if (in)
                break;
            in = *line.section == s;
            if (in && !found) {
                found = true;
                last = i + 1;
            }
            continue;
        }
        if (!in)
            continue;
        if (line.name && *line.name == n)
            return i;
        if (!Trim(line.text).empty())
            last = i + 1;
    }
    if (section_found)
        *section_found = found;
    if (insert_at)
        *insert_at = last;
    return std::nullopt;
}

} // namespace

std::string ReadProfileString(const std::string& file, const std::string& section,
                              const std::string& name, const std::string& def)
{
    std::lock_guard lock(IniMutex());
    const auto contents = detail::ReadWholeFile(file);
    if (!contents)
        return def;
    const auto lines = ParseIni(*contents);
    const auto i = Find(lines, section, name);
    return i ? lines[*i].value : def;
}

int ReadProfileInt(const std::string& file, const std::string& section, const std::string& name,
                   int def)
{
    const std::string text = ReadProfileString(file, section, name, {});
    std::string_view v = text;
    if (!v.empty() && v.front() == '+')
        v.remove_prefix(1);
    int value = 0;
    const auto [end, ec] = std::from_chars(v.data(), v.data() + v.size(), value);
    if (v.empty() || ec != std::errc() || end != v.data() + v.size())
        return def;
    return value;
}

bool ProfileEntryAllowed(const std::string& section, const std::string& name,
                         const std::string& value)
{
    // A line end inside a part would add lines of its own to the file.
    for (const std::string* part : {&section, &name, &value})
        if (part->find_first_of("\r\n") != std::string::npos)
            return false;
    return !Trim(name).empty() && name.find('=') == std::string::npos &&
           section.find(']') == std::string::npos;
}

namespace {

// Loads the file's lines for a change; nullopt when it exists but cannot be read, so that it
// is never replaced by a file holding only the change.
std::optional<std::vector<Line>> LoadForChange(const std::string& file)
{
    const auto contents = detail::ReadWholeFile(file);
    if (!contents && errno != ENOENT)
        return std::nullopt;
    return contents ? ParseIni(*contents) : std::vector<Line>{};
}

bool Save(const std::string& file, const std::vector<Line>& lines)
{
    std::string out;
    for (const Line& line : lines) {
        out += line.text;
        out += "\r\n";
    }
    return ReplaceFile(file, Utf8ToCp1251(out), true);
}

void Apply(std::vector<Line>& lines, const ProfileEntry& e)
{
    const std::string entry = std::string(Trim(e.name)) + "=" + e.value;
    bool section_found = false;
    size_t insert_at = 0;
    if (const auto i = Find(lines, e.section, e.name, &section_found, &insert_at)) {
        lines[*i].text = entry;
        lines[*i].value = e.value;
        return;
    }
    Line added{entry, std::nullopt, FoldCaseUtf8(Trim(e.name)), e.value, std::string(Trim(e.name))};
    if (section_found) {
        lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(insert_at), std::move(added));
        return;
    }
    if (!lines.empty() && !Trim(lines.back().text).empty())
        lines.push_back(Line{});
    std::string header = "[";
    header += Trim(e.section);
    header += ']';
    lines.push_back(Line{std::move(header),
                         FoldCaseUtf8(Trim(e.section)),
                         std::nullopt,
                         {},
                         std::string(Trim(e.section))});
    lines.push_back(std::move(added));
}

} // namespace

bool WriteProfileString(const std::string& file, const std::string& section,
                        const std::string& name, const std::string& value)
{
    return WriteProfileStrings(file, {ProfileEntry{section, name, value}});
}

bool WriteProfileStrings(const std::string& file, const std::vector<ProfileEntry>& entries)
{
    for (const ProfileEntry& e : entries)
        if (!ProfileEntryAllowed(e.section, e.name, e.value))
            return false;
    std::lock_guard lock(IniMutex());
    auto lines = LoadForChange(file);
    if (!lines)
        return false;
    for (const ProfileEntry& e : entries)
        Apply(*lines, e);
    return Save(file, *lines);
}

std::vector<std::string> ReadProfileSectionNames(const std::string& file)
{
    std::lock_guard lock(IniMutex());
    const auto contents = detail::ReadWholeFile(file);
    std::vector<std::string> names, folded;
    if (!contents)
        return names;
    for (const Line& line : ParseIni(*contents))
        if (line.section &&
            std::find(folded.begin(), folded.end(), *line.section) == folded.end()) {
            folded.push_back(*line.section);
            names.push_back(line.shown);
        }
    return names;
}

std::vector<std::string> ReadProfileKeyNames(const std::string& file, const std::string& section)
{
    std::lock_guard lock(IniMutex());
    const auto contents = detail::ReadWholeFile(file);
    std::vector<std::string> names, folded;
    if (!contents)
        return names;
    // Reads answer from the section's first block, so its names are that block's.
    const std::string s = FoldCaseUtf8(Trim(section));
    bool in = false, seen = false;
    for (const Line& line : ParseIni(*contents)) {
        if (line.section) {
            if (in)
                break;
            in = *line.section == s && !seen;
            seen = seen || in;
            continue;
        }
        if (in && line.name && !line.name->empty() &&
            std::find(folded.begin(), folded.end(), *line.name) == folded.end()) {
            folded.push_back(*line.name);
            names.push_back(line.shown);
        }
    }
    return names;
}

bool RemoveProfileSection(const std::string& file, const std::string& section)
{
    std::lock_guard lock(IniMutex());
    auto lines = LoadForChange(file);
    if (!lines)
        return false;
    const std::string s = FoldCaseUtf8(Trim(section));
    std::vector<Line> kept;
    bool in = false, removed = false;
    for (Line& line : *lines) {
        if (line.section)
            in = *line.section == s;
        if (in)
            removed = true;
        else
            kept.push_back(std::move(line));
    }
    return !removed || Save(file, kept);
}

bool RemoveProfileKey(const std::string& file, const std::string& section, const std::string& name)
{
    std::lock_guard lock(IniMutex());
    auto lines = LoadForChange(file);
    if (!lines)
        return false;
    const std::string s = FoldCaseUtf8(Trim(section));
    const std::string n = FoldCaseUtf8(Trim(name));
    bool in = false, removed = false;
    std::vector<Line> kept;
    for (Line& line : *lines) {
        if (line.section)
            in = *line.section == s;
        if (in && line.name && *line.name == n)
            removed = true;
        else
            kept.push_back(std::move(line));
    }
    return !removed || Save(file, kept);
}

} // namespace platform
