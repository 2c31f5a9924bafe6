#include "translation/settings/mem_ini_file.h"

#include "platform/file_util.h"
#include "platform/last_error.h"
#include "platform/text1251.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <utility>

namespace translation {

namespace {

// Every caller's text is Windows-1251, so letters fold by that code page, byte by byte.
std::string Fold(std::string_view s)
{
    return platform::FoldCaseCp1251(s);
}

} // namespace

// ---- TMemIniEntry ------------------------------------------------------------------------

TMemIniEntry::Lines::const_iterator TMemIniEntry::At(int index) const
{
    if (index < 0 || index >= Count())
        throw std::out_of_range("ini key index " + std::to_string(index) + " out of range");
    return std::next(lines_.begin(), index);
}

const std::string& TMemIniEntry::Key(int index) const
{
    return At(index)->second.key;
}

const std::string& TMemIniEntry::Value(int index) const
{
    return At(index)->second.value;
}

std::string TMemIniEntry::Line(int index) const
{
    const KeyLine& l = At(index)->second;
    return l.key + "=" + l.value;
}

void TMemIniEntry::Add(std::string key, std::string value)
{
    std::string folded = Fold(key);
    // Just before the equal keys already there: the newest line answers first.
    const auto at = lines_.lower_bound(folded);
    lines_.emplace_hint(at, std::move(folded), KeyLine{std::move(key), std::move(value)});
}

TMemIniEntry::Lines::iterator TMemIniEntry::Find(std::string_view key)
{
    const std::string folded = Fold(key);
    const auto it = lines_.lower_bound(folded);
    return it != lines_.end() && it->first == folded ? it : lines_.end();
}

TMemIniEntry::Lines::const_iterator TMemIniEntry::Find(std::string_view key) const
{
    return const_cast<TMemIniEntry*>(this)->Find(key);
}

void TMemIniEntry::AddLine(std::string_view line)
{
    const auto eq = line.find('=');
    if (eq == std::string_view::npos)
        Add(std::string(line), {});
    else
        Add(std::string(line.substr(0, eq)), std::string(line.substr(eq + 1)));
}

void TMemIniEntry::Delete(int index)
{
    lines_.erase(At(index));
}

int TMemIniEntry::FindKey(std::string_view key) const
{
    const auto it = Find(key);
    return it == lines_.end() ? -1 : static_cast<int>(std::distance(lines_.begin(), it));
}

void TMemIniEntry::CopyFrom(const std::vector<std::string>& lines)
{
    lines_.clear();
    for (const std::string& line : lines)
        AddLine(line);
}

// ---- TMemIniFile -------------------------------------------------------------------------

TMemIniFile::TMemIniFile() : TMemIniFile(std::string()) {}

TMemIniFile::TMemIniFile(const std::string& fileName) : IniFileBase(fileName), writeName_(fileName)
{
    struct stat st = {};
    if (fileName.empty() || ::stat(fileName.c_str(), &st) != 0) {
        Clear();
        return;
    }
    // Too large is refused before a byte is read, and again should the file grow meanwhile.
    if (st.st_size > static_cast<off_t>(kMaxIniFileBytes))
        throw IniFileError("cannot read " + fileName + ": larger than " +
                           std::to_string(kMaxIniFileBytes) + " bytes");
    const auto text = platform::detail::ReadWholeFile(fileName, kMaxIniFileBytes + 1);
    if (!text)
        throw IniFileError("cannot read " + fileName + ": " + std::strerror(errno));
    if (text->size() > kMaxIniFileBytes)
        throw IniFileError("cannot read " + fileName + ": larger than " +
                           std::to_string(kMaxIniFileBytes) + " bytes");
    SetText(*text);
}

TMemIniFile::~TMemIniFile() = default;

TMemIniEntry* TMemIniFile::Find(std::string_view section)
{
    const auto it = sections_.find(Fold(section));
    return it != sections_.end() ? &it->second.entry : nullptr;
}

const TMemIniEntry* TMemIniFile::Find(std::string_view section) const
{
    return const_cast<TMemIniFile*>(this)->Find(section);
}

TMemIniEntry& TMemIniFile::AddSection(std::string name)
{
    std::string folded = Fold(name);
    return sections_.try_emplace(std::move(folded), Named{std::move(name), {}}).first->second.entry;
}

const TMemIniEntry* TMemIniFile::Section(const std::string& section) const
{
    return Find(section);
}

std::string TMemIniFile::ReadValue(const std::string& section, const std::string& key,
                                   const std::string& def) const
{
    const TMemIniEntry* entry = Section(section);
    if (!entry)
        return def;
    const auto it = entry->Find(key);
    return it == entry->lines_.end() ? def : it->second.value;
}

void TMemIniFile::WriteValue(const std::string& section, const std::string& key,
                             const std::string& value)
{
    for (const std::string* part : {&section, &key, &value})
        if (part->find_first_of("\r\n") != std::string::npos)
            throw IniValueError("an ini name or value cannot hold a line end");
    if (key.find('=') != std::string::npos)
        throw IniValueError("an ini key cannot hold \"=\": " + key);
    if (!key.empty() && key.front() == ';')
        throw IniValueError("an ini key cannot begin with \";\": " + key);
    if (!key.empty() && key.front() == '[' && !value.empty() && value.back() == ']')
        throw IniValueError("an ini line cannot read as a section header: " + key);
    TMemIniEntry* s = Find(section);
    TMemIniEntry& entry = s ? *s : AddSection(section);
    if (const auto it = entry.Find(key); it != entry.lines_.end())
        entry.lines_.erase(it);
    entry.Add(key, value);
    modified_ = true;
}

void TMemIniFile::ReadKeyNames(const std::string& section, std::vector<std::string>& list) const
{
    list.clear();
    if (const TMemIniEntry* entry = Section(section))
        for (const auto& l : entry->lines_)
            list.push_back(l.second.key);
}

void TMemIniFile::ReadSectionNames(std::vector<std::string>& list) const
{
    list.clear();
    for (const auto& s : sections_)
        list.push_back(s.second.name);
}

void TMemIniFile::ReadValueList(const std::string& section, std::vector<std::string>& list) const
{
    list.clear();
    if (const TMemIniEntry* entry = Section(section))
        for (const auto& l : entry->lines_)
            list.push_back(l.second.value);
}

void TMemIniFile::RemoveSection(const std::string& section)
{
    if (sections_.erase(Fold(section)) != 0)
        modified_ = true;
}

void TMemIniFile::RemoveKey(const std::string& section, const std::string& key)
{
    TMemIniEntry* s = Find(section);
    if (!s)
        return;
    if (const auto it = s->Find(key); it != s->lines_.end())
        s->lines_.erase(it);
    modified_ = true;
}

void TMemIniFile::Flush()
{
    if (writeName_.empty())
        throw IniFileError("the ini file has no name to be written under");
    if (!platform::ReplaceFile(writeName_, GetText()))
        throw IniFileError("cannot write " + writeName_ + " (error " +
                           std::to_string(platform::LastError()) + ")");
    modified_ = false;
}

void TMemIniFile::ParseLine(std::string_view line, TMemIniEntry*& current)
{
    if (line.empty() || line.front() == ';')
        return;
    if (line.size() >= 2 && line.front() == '[' && line.back() == ']') {
        std::string name(line.substr(1, line.size() - 2));
        // A repeated header does not reopen its section: its lines are dropped.
        current = Find(name) ? nullptr : &AddSection(std::move(name));
        return;
    }
    if (current)
        current->AddLine(line);
}

void TMemIniFile::SetStrings(const std::vector<std::string>& lines)
{
    sections_.clear();
    TMemIniEntry* current = nullptr;
    for (const std::string& line : lines)
        ParseLine(line, current);
    modified_ = true;
}

void TMemIniFile::SetText(std::string_view text)
{
    // Line by line from the text itself, without a copy of its lines beside it.
    sections_.clear();
    TMemIniEntry* current = nullptr;
    ForEachLine(text, [&](std::string_view line) { ParseLine(line, current); });
    modified_ = true;
}

std::vector<std::string> TMemIniFile::GetStrings() const
{
    std::vector<std::string> out;
    for (const auto& [folded, s] : sections_) {
        out.push_back("[" + s.name + "]");
        // Equal keys are held newest first; written oldest first, so that the file read back
        // holds them in the same order and the same line answers.
        const auto& lines = s.entry.lines_;
        std::vector<const TMemIniEntry::KeyLine*> run;
        for (auto it = lines.begin(); it != lines.end();) {
            const auto next = lines.upper_bound(it->first);
            run.clear();
            for (; it != next; ++it)
                run.push_back(&it->second);
            for (auto r = run.rbegin(); r != run.rend(); ++r)
                out.push_back((*r)->key + "=" + (*r)->value);
        }
        out.emplace_back();
    }
    return out;
}

std::string TMemIniFile::GetText() const
{
    std::string text;
    for (const std::string& line : GetStrings()) {
        text += line;
        text += "\r\n";
    }
    return text;
}

void TMemIniFile::Clear()
{
    sections_.clear();
    modified_ = true;
}

// ---- text helpers ------------------------------------------------------------------------

std::string ExtractField(std::string_view text, char delimiter, int n)
{
    if (text.empty() || n < 0)
        return {};
    size_t start = 0;
    if (n > 0) {
        // Every delimiter counts here, the first character's too; only field 0 keeps it.
        size_t pos = 0;
        for (int seen = 0; seen < n; ++seen) {
            pos = text.find(delimiter, pos);
            if (pos == std::string_view::npos)
                return {};
            ++pos;
        }
        start = pos;
    }
    size_t end = text.find(delimiter, n == 0 ? 1 : start);
    if (end == std::string_view::npos)
        end = text.size();
    return std::string(text.substr(start, end - start));
}

std::size_t FindPattern(std::string_view pattern, std::string_view text)
{
    const size_t m = pattern.size();
    if (m == 0)
        return 1;
    if (m > text.size())
        return 0;
    // Indexed by the unsigned byte: bytes from 0x80 on are ordinary text (UTF-8, Windows-1251).
    std::array<size_t, 256> skip;
    skip.fill(m);
    for (size_t i = 0; i + 1 < m; ++i)
        skip[static_cast<unsigned char>(pattern[i])] = m - 1 - i;
    size_t end = m; // one past the window's last byte
    while (end <= text.size()) {
        size_t k = 0;
        while (k < m && text[end - 1 - k] == pattern[m - 1 - k])
            ++k;
        if (k == m)
            return end - m + 1;
        end += skip[static_cast<unsigned char>(text[end - 1])];
    }
    return 0;
}

std::vector<std::string> SplitLines(std::string_view text)
{
    std::vector<std::string> lines;
    ForEachLine(text, [&](std::string_view line) { lines.emplace_back(line); });
    return lines;
}

} // namespace translation
