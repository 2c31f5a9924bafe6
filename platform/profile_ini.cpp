#include "platform/profile_ini.h"

#include "platform/file_util.h"
#include "platform/text1251.h"

#include "platform/last_error.h"

#include <cerrno>
#include <charconv>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <unordered_map>
#include <unordered_set>
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

// One line of the file exactly as it stands: its Windows-1251 bytes and its own line end, so a
// line the program does not set is written back byte for byte.  Names and values are kept in
// Windows-1251 as well; the UTF-8 interface converts at its edge.
struct Line
{
    std::string text;                   // Windows-1251, without the line end
    std::string end = "\r\n";           // "\r\n", "\n", "\r", or "" for a last line without one
    std::optional<std::string> section; // folded section name, for a [Section] line
    std::optional<std::string> name;    // folded name, for a Name=Value line
    std::string value;
    std::string shown; // the section or name as written
};

std::string Fold(std::string_view cp1251)
{
    return FoldCaseCp1251(cp1251);
}

// Lines end at CR LF, LF or a lone CR, so no name or value ever holds a line end and every
// entry read can be written again.
std::vector<Line> ParseIni(const std::string& text)
{
    std::vector<Line> lines;
    size_t pos = 0;
    while (pos < text.size()) {
        auto stop = text.find_first_of("\r\n", pos);
        if (stop == std::string::npos)
            stop = text.size();
        std::string_view raw(text.data() + pos, stop - pos);
        size_t next = stop;
        std::string end;
        if (stop < text.size()) {
            const bool crlf =
                text[stop] == '\r' && stop + 1 < text.size() && text[stop + 1] == '\n';
            next = stop + (crlf ? 2 : 1);
            end = text.substr(stop, next - stop);
        }
        pos = next;
        Line line{std::string(raw), std::move(end), std::nullopt, std::nullopt, {}, {}};
        const auto t = Trim(raw);
        if (t.size() >= 2 && t.front() == '[') {
            const auto close = t.find(']');
            if (close != std::string_view::npos) {
                line.shown = std::string(Trim(t.substr(1, close - 1)));
                line.section = Fold(line.shown);
            }
        } else if (!t.empty() && t.front() != ';' && t.front() != '#') {
            const auto eq = t.find('=');
            if (eq != std::string_view::npos) {
                line.shown = std::string(Trim(t.substr(0, eq)));
                line.name = Fold(line.shown);
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

// Index of the name's line in the first block of the section.  Section and name in
// Windows-1251.
std::optional<size_t> Find(const std::vector<Line>& lines, const std::string& section,
                           const std::string& name)
{
    const std::string s = Fold(Trim(section));
    const std::string n = Fold(Trim(name));
    bool in = false;
    for (size_t i = 0; i < lines.size(); ++i) {
        const Line& line = lines[i];
        if (line.section) {
            if (in)
                break;
            in = *line.section == s;
            continue;
        }
        if (in && line.name && *line.name == n)
            return i;
    }
    return std::nullopt;
}

// The file's text; nullopt when it cannot be read, or is larger than kMaxProfileIniBytes
// (errno EFBIG, the last error kErrorFileTooLarge), before a byte of it is parsed.
std::optional<std::string> ReadIniText(const std::string& file)
{
    auto contents = detail::ReadWholeFile(file, kMaxProfileIniBytes + 1);
    if (contents && contents->size() > kMaxProfileIniBytes) {
        contents.reset();
        errno = EFBIG;
    }
    if (!contents)
        SetLastErrorFromErrno(errno);
    return contents;
}

std::optional<std::vector<Line>> ReadLines(const std::string& file)
{
    const auto contents = ReadIniText(file);
    if (!contents)
        return std::nullopt;
    return ParseIni(*contents);
}

// The names of the first block of each section, each once, as ReadProfileKeyNames gives them,
// with the line of each name that reads answer from.
std::vector<std::pair<std::string, std::vector<const Line*>>>
FirstBlocks(const std::vector<Line>& lines)
{
    std::vector<std::pair<std::string, std::vector<const Line*>>> blocks;
    std::unordered_set<std::string> folded;
    std::unordered_set<std::string> names;
    bool in = false;
    for (const Line& line : lines) {
        if (line.section) {
            in = folded.insert(*line.section).second;
            if (in) {
                blocks.push_back({line.shown, {}});
                names.clear();
            }
            continue;
        }
        if (in && line.name && !line.name->empty() && names.insert(*line.name).second)
            blocks.back().second.push_back(&line);
    }
    return blocks;
}

std::string ToCp1251(const std::string& utf8)
{
    return Utf8ToCp1251(utf8);
}

bool EntryAllowed1251(const std::string& section, const std::string& name, const std::string& value)
{
    // A line end inside a part would add lines of its own to the file.
    for (const std::string* part : {&section, &name, &value})
        if (part->find_first_of("\r\n") != std::string::npos)
            return false;
    return !Trim(name).empty() && name.find('=') == std::string::npos &&
           section.find(']') == std::string::npos;
}

} // namespace

std::string ReadProfileString(const std::string& file, const std::string& section,
                              const std::string& name, const std::string& def)
{
    std::lock_guard lock(IniMutex());
    const auto lines = ReadLines(file);
    if (!lines)
        return def;
    const auto i = Find(*lines, ToCp1251(section), ToCp1251(name));
    return i ? Cp1251ToUtf8((*lines)[*i].value) : def;
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
    return EntryAllowed1251(ToCp1251(section), ToCp1251(name), ToCp1251(value));
}

namespace {

// Loads the file's lines for a change; nullopt when it exists but cannot be read, so that it
// is never replaced by a file holding only the change.
std::optional<std::vector<Line>> LoadForChange(const std::string& file)
{
    const auto contents = ReadIniText(file);
    if (!contents && errno != ENOENT)
        return std::nullopt;
    return contents ? ParseIni(*contents) : std::vector<Line>{};
}

bool Save(const std::string& file, const std::vector<Line>& lines)
{
    std::string out;
    for (size_t i = 0; i < lines.size(); ++i) {
        out += lines[i].text;
        // Only a last line may go without its end; one that lines now follow gets CR LF.
        out += lines[i].end.empty() && i + 1 < lines.size() ? std::string("\r\n") : lines[i].end;
    }
    return ReplaceFile(file, out, true);
}

// The entries (in Windows-1251) applied in order to the lines, in one pass over them, as one
// entry after another would be: a name already in the first block of its section gets its new
// value in place; a new name goes after the last non-blank line of that block; a new section
// goes at the end, after a blank line.
std::vector<Line> Apply(std::vector<Line> lines, const std::vector<ProfileEntry>& entries)
{
    struct Block
    {
        std::optional<size_t> insert_at; // none for a section that the entries add
        const Line* header = nullptr;    // of an added section
        std::vector<Line*> added;
        std::unordered_map<std::string, Line*> names; // the first line of each name
    };
    std::unordered_map<std::string, Block> blocks; // the first block of each section
    Block* current = nullptr;
    for (size_t i = 0; i < lines.size(); ++i) {
        Line& line = lines[i];
        if (line.section) {
            const auto [it, first] = blocks.try_emplace(*line.section);
            current = first ? &it->second : nullptr;
            if (current)
                current->insert_at = i + 1;
            continue;
        }
        if (!current)
            continue;
        if (line.name)
            current->names.try_emplace(*line.name, &line);
        if (!Trim(line.text).empty())
            current->insert_at = i + 1;
    }

    std::deque<Line> made; // stays in place as it grows
    std::vector<Block*> added_sections;
    for (const ProfileEntry& e : entries) {
        const std::string section(Trim(e.section));
        const std::string name(Trim(e.name));
        auto [it, is_new] = blocks.try_emplace(Fold(section));
        Block& block = it->second;
        if (is_new) {
            block.header = &made.emplace_back(
                Line{"[" + section + "]", "\r\n", it->first, std::nullopt, {}, section});
            added_sections.push_back(&block);
        }
        const std::string folded_name = Fold(name);
        const std::string text = name + "=" + e.value;
        if (const auto found = block.names.find(folded_name); found != block.names.end()) {
            found->second->text = text;
            found->second->value = e.value;
            continue;
        }
        Line& line =
            made.emplace_back(Line{text, "\r\n", std::nullopt, folded_name, e.value, name});
        block.added.push_back(&line);
        block.names.emplace(folded_name, &line);
    }

    std::map<size_t, const Block*> inserts;
    for (const auto& [folded, block] : blocks)
        if (block.insert_at && !block.added.empty())
            inserts.emplace(*block.insert_at, &block);
    std::vector<Line> out;
    out.reserve(lines.size() + made.size() + added_sections.size());
    const auto put_added = [&](size_t at) {
        if (const auto it = inserts.find(at); it != inserts.end())
            for (Line* line : it->second->added)
                out.push_back(std::move(*line));
    };
    for (size_t i = 0; i < lines.size(); ++i) {
        put_added(i);
        out.push_back(std::move(lines[i]));
    }
    put_added(lines.size());
    for (const Block* block : added_sections) {
        if (!out.empty() && !Trim(out.back().text).empty())
            out.push_back(Line{});
        out.push_back(*block->header);
        for (Line* line : block->added)
            out.push_back(std::move(*line));
    }
    return out;
}

} // namespace

bool WriteProfileString(const std::string& file, const std::string& section,
                        const std::string& name, const std::string& value)
{
    return WriteProfileStrings(file, {ProfileEntry{section, name, value}});
}

bool WriteProfileStrings(const std::string& file, const std::vector<ProfileEntry>& entries)
{
    std::vector<ProfileEntry> bytes;
    bytes.reserve(entries.size());
    for (const ProfileEntry& e : entries)
        bytes.push_back({ToCp1251(e.section), ToCp1251(e.name), ToCp1251(e.value)});
    return WriteProfileStrings1251(file, bytes);
}

bool WriteProfileStrings1251(const std::string& file, const std::vector<ProfileEntry>& entries)
{
    for (const ProfileEntry& e : entries)
        if (!EntryAllowed1251(e.section, e.name, e.value))
            return false;
    std::lock_guard lock(IniMutex());
    auto lines = LoadForChange(file);
    if (!lines)
        return false;
    return Save(file, Apply(std::move(*lines), entries));
}

std::vector<ProfileEntry> ReadProfileEntries1251(const std::string& file)
{
    std::lock_guard lock(IniMutex());
    std::vector<ProfileEntry> entries;
    const auto lines = ReadLines(file);
    if (!lines)
        return entries;
    for (const auto& [section, names] : FirstBlocks(*lines))
        for (const Line* line : names)
            entries.push_back({section, line->shown, line->value});
    return entries;
}

std::vector<std::string> ReadProfileSectionNames(const std::string& file)
{
    std::lock_guard lock(IniMutex());
    std::vector<std::string> names;
    const auto lines = ReadLines(file);
    if (!lines)
        return names;
    for (const auto& block : FirstBlocks(*lines))
        names.push_back(Cp1251ToUtf8(block.first));
    return names;
}

std::vector<std::string> ReadProfileKeyNames(const std::string& file, const std::string& section)
{
    std::lock_guard lock(IniMutex());
    std::vector<std::string> names;
    const auto lines = ReadLines(file);
    if (!lines)
        return names;
    // Reads answer from the section's first block, so its names are that block's.
    const std::string s = Fold(Trim(ToCp1251(section)));
    for (const auto& [shown, block] : FirstBlocks(*lines))
        if (Fold(shown) == s)
            for (const Line* line : block)
                names.push_back(Cp1251ToUtf8(line->shown));
    return names;
}

bool RemoveProfileSection(const std::string& file, const std::string& section)
{
    std::lock_guard lock(IniMutex());
    auto lines = LoadForChange(file);
    if (!lines)
        return false;
    const std::string s = Fold(Trim(ToCp1251(section)));
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
    const std::string s = Fold(Trim(ToCp1251(section)));
    const std::string n = Fold(Trim(ToCp1251(name)));
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
