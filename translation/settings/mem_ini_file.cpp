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

// Where folded belongs in a list sorted by folded names: before any equal ones.
template <typename Vec> auto LowerBound(Vec& v, const std::string& folded)
{
    return std::lower_bound(v.begin(), v.end(), folded,
                            [](const auto& item, const std::string& f) { return item.folded < f; });
}

} // namespace

// ---- TMemIniEntry ------------------------------------------------------------------------

const TMemIniEntry::KeyLine& TMemIniEntry::At(int index) const
{
    if (index < 0 || index >= Count())
        throw std::out_of_range("ini key index " + std::to_string(index) + " out of range");
    return lines_[static_cast<size_t>(index)];
}

const std::string& TMemIniEntry::Key(int index) const
{
    return At(index).key;
}

const std::string& TMemIniEntry::Value(int index) const
{
    return At(index).value;
}

std::string TMemIniEntry::Line(int index) const
{
    const KeyLine& l = At(index);
    return l.key + "=" + l.value;
}

void TMemIniEntry::Add(std::string key, std::string value)
{
    std::string folded = Fold(key);
    // Before the equal keys already there: the newest line answers first.
    const auto at = LowerBound(lines_, folded);
    lines_.insert(at, KeyLine{std::move(folded), std::move(key), std::move(value)});
}

namespace {

std::pair<std::string, std::string> SplitKeyLine(std::string_view line)
{
    const auto eq = line.find('=');
    if (eq == std::string_view::npos)
        return {std::string(line), {}};
    return {std::string(line.substr(0, eq)), std::string(line.substr(eq + 1))};
}

} // namespace

void TMemIniEntry::AddLine(std::string_view line)
{
    auto [key, value] = SplitKeyLine(line);
    Add(std::move(key), std::move(value));
}

void TMemIniEntry::AppendLine(std::string_view line)
{
    auto [key, value] = SplitKeyLine(line);
    std::string folded = Fold(key);
    lines_.push_back(KeyLine{std::move(folded), std::move(key), std::move(value)});
}

void TMemIniEntry::Settle()
{
    // Reversed, then sorted stably: equal keys end up newest first, as Add places them.
    std::reverse(lines_.begin(), lines_.end());
    std::stable_sort(lines_.begin(), lines_.end(),
                     [](const KeyLine& a, const KeyLine& b) { return a.folded < b.folded; });
}

void TMemIniEntry::Delete(int index)
{
    At(index);
    lines_.erase(lines_.begin() + index);
}

int TMemIniEntry::FindKey(std::string_view key) const
{
    const std::string folded = Fold(key);
    const auto it = LowerBound(lines_, folded);
    if (it == lines_.end() || it->folded != folded)
        return -1;
    return static_cast<int>(it - lines_.begin());
}

void TMemIniEntry::CopyFrom(const std::vector<std::string>& lines)
{
    lines_.clear();
    for (const std::string& line : lines)
        AppendLine(line);
    Settle();
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

TMemIniFile::Named* TMemIniFile::Find(std::string_view section)
{
    const std::string folded = Fold(section);
    const auto it = LowerBound(sections_, folded);
    return it != sections_.end() && it->folded == folded ? &*it : nullptr;
}

const TMemIniFile::Named* TMemIniFile::Find(std::string_view section) const
{
    return const_cast<TMemIniFile*>(this)->Find(section);
}

TMemIniEntry& TMemIniFile::AddSection(std::string name)
{
    std::string folded = Fold(name);
    const auto at = LowerBound(sections_, folded);
    const auto it = sections_.insert(
        at, Named{std::move(folded), std::move(name), std::make_unique<TMemIniEntry>()});
    return *it->entry;
}

const TMemIniEntry* TMemIniFile::Section(const std::string& section) const
{
    const Named* s = Find(section);
    return s ? s->entry.get() : nullptr;
}

std::string TMemIniFile::ReadValue(const std::string& section, const std::string& key,
                                   const std::string& def) const
{
    const TMemIniEntry* entry = Section(section);
    if (!entry)
        return def;
    const int i = entry->FindKey(key);
    return i < 0 ? def : entry->Value(i);
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
    Named* s = Find(section);
    TMemIniEntry& entry = s ? *s->entry : AddSection(section);
    if (const int i = entry.FindKey(key); i >= 0)
        entry.Delete(i);
    entry.Add(key, value);
    modified_ = true;
}

void TMemIniFile::ReadKeyNames(const std::string& section, std::vector<std::string>& list) const
{
    list.clear();
    if (const TMemIniEntry* entry = Section(section))
        for (const auto& l : entry->lines_)
            list.push_back(l.key);
}

void TMemIniFile::ReadSectionNames(std::vector<std::string>& list) const
{
    list.clear();
    for (const Named& s : sections_)
        list.push_back(s.name);
}

void TMemIniFile::ReadValueList(const std::string& section, std::vector<std::string>& list) const
{
    list.clear();
    if (const TMemIniEntry* entry = Section(section))
        for (const auto& l : entry->lines_)
            list.push_back(l.value);
}

void TMemIniFile::RemoveSection(const std::string& section)
{
    const std::string folded = Fold(section);
    const auto it = LowerBound(sections_, folded);
    if (it == sections_.end() || it->folded != folded)
        return;
    sections_.erase(it);
    modified_ = true;
}

void TMemIniFile::RemoveKey(const std::string& section, const std::string& key)
{
    Named* s = Find(section);
    if (!s)
        return;
    if (const int i = s->entry->FindKey(key); i >= 0)
        s->entry->Delete(i);
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

void TMemIniFile::SetStrings(const std::vector<std::string>& lines)
{
    sections_.clear();
    TMemIniEntry* current = nullptr;
    for (const std::string& line : lines) {
        if (line.empty() || line.front() == ';')
            continue;
        if (line.size() >= 2 && line.front() == '[' && line.back() == ']') {
            std::string name = line.substr(1, line.size() - 2);
            // A repeated header does not reopen its section: its lines are dropped.
            current = Find(name) ? nullptr : &AddSection(std::move(name));
            continue;
        }
        if (current)
            current->AppendLine(line);
    }
    // Sorted once at the end rather than line by line, so a large file loads in n log n.
    for (Named& section : sections_)
        section.entry->Settle();
    modified_ = true;
}

void TMemIniFile::SetText(std::string_view text)
{
    SetStrings(SplitLines(text));
}

std::vector<std::string> TMemIniFile::GetStrings() const
{
    std::vector<std::string> out;
    for (const Named& s : sections_) {
        out.push_back("[" + s.name + "]");
        // Equal keys are held newest first; written oldest first, so that the file read back
        // holds them in the same order and the same line answers.
        const auto& lines = s.entry->lines_;
        for (size_t run = 0; run < lines.size();) {
            size_t next = run + 1;
            while (next < lines.size() && lines[next].folded == lines[run].folded)
                ++next;
            for (size_t i = next; i-- > run;)
                out.push_back(lines[i].key + "=" + lines[i].value);
            run = next;
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
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find_first_of("\r\n", pos);
        if (end == std::string_view::npos) {
            lines.emplace_back(text.substr(pos));
            break;
        }
        lines.emplace_back(text.substr(pos, end - pos));
        pos = end + (text[end] == '\r' && end + 1 < text.size() && text[end + 1] == '\n' ? 2 : 1);
    }
    return lines;
}

} // namespace translation
