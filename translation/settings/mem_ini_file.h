#pragma once
// An ini file held wholly in memory (unit MemIni): read from a text file at construction,
// answered from sorted in-memory lists and written back as a whole by Flush.  The translation
// component's text import and export use it, and its two text helpers, ExtractField and
// FindPattern, serve every translation unit.
//
// The text is taken exactly as it stands: no blanks are trimmed, no quotes are stripped, and
// several lines with one key are all kept.  Section and key names compare without regard to
// case (the Latin and Cyrillic letters of Windows-1251, byte by byte); sections are unique and
// kept sorted, keys are kept sorted and a key added later stands before the equal keys already
// there, so ReadValue answers with the line read or written last.
//
// Threads: an object belongs to one thread at a time; the free functions are pure.

#include "translation/settings/ini_file_base.h"

#include <cstddef>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace translation {

// The largest ini text that a file load accepts; larger files raise IniFileError before a
// byte of them is parsed.  Every reader of the translators' text files keeps the same cap.
inline constexpr std::size_t kMaxIniFileBytes = 16u << 20;

// One section: its key lines, sorted by key without regard to case, equal keys newest first.
// Adding, finding and removing a key take log n, so a section of n keys is built in n log n;
// the index operations walk from the first key, for a caller that looks at a few.
class TMemIniEntry
{
public:
    int Count() const { return static_cast<int>(lines_.size()); }
    // Index checked: an index outside 0 .. Count()-1 throws std::out_of_range.
    const std::string& Key(int index) const;
    const std::string& Value(int index) const;
    std::string Line(int index) const; // key "=" value
    // Split at the first "=": key before, value after; a line without "=" is a key with an
    // empty value.
    void AddLine(std::string_view line);
    void Delete(int index);
    void Clear() { lines_.clear(); }
    // Index of the first key equal to key, -1 when there is none.
    int FindKey(std::string_view key) const;
    void CopyFrom(const std::vector<std::string>& lines);

private:
    struct KeyLine
    {
        std::string key;
        std::string value;
    };
    // By folded key; a line added goes before the equal keys already there.
    using Lines = std::multimap<std::string, KeyLine>;
    Lines::const_iterator At(int index) const;
    void Add(std::string key, std::string value);
    // The first (newest) line of the key, end() when there is none.
    Lines::iterator Find(std::string_view key);
    Lines::const_iterator Find(std::string_view key) const;
    friend class TMemIniFile;

    Lines lines_;
};

class TMemIniFile : public IniFileBase
{
public:
    // No file: an empty ini that Flush cannot write.
    TMemIniFile();
    // Loads the file when the name is not empty and the file exists; a file that exists but
    // cannot be read raises IniFileError.
    explicit TMemIniFile(const std::string& fileName);
    ~TMemIniFile() override;

    using IniFileBase::ReadValue;
    std::string ReadValue(const std::string& section, const std::string& key,
                          const std::string& def) const override;
    // Replaces the first equal key of the section (one only) by the line key "=" value, adding
    // the section when it is missing; log n in the keys and sections held.  A key that holds "=" or
    // begins with ";", a line that begins with "[" and ends with "]", and a section, key or value
    // that holds CR or LF would read back as other lines: refused with IniValueError, nothing
    // changed.
    void WriteValue(const std::string& section, const std::string& key,
                    const std::string& value) override;
    void ReadKeyNames(const std::string& section, std::vector<std::string>& list) const override;
    void ReadSectionNames(std::vector<std::string>& list) const override;
    void ReadValueList(const std::string& section, std::vector<std::string>& list) const override;
    void RemoveSection(const std::string& section) override;
    void RemoveKey(const std::string& section, const std::string& key) override;
    // Writes the whole text (GetText) under the file name through one atomic replace; raises
    // IniFileError when the file cannot be written, keeping the old file.
    void Flush() override;

    // Parses lines as a file load does (replacing everything held), and the text in the same
    // way after splitting it at CR LF, LF or CR.
    void SetStrings(const std::vector<std::string>& lines);
    void SetText(std::string_view text);
    // The lines that Flush writes, and those lines each ended by CR LF: sections and keys in
    // sort order, equal keys in the order they were read or written.
    std::vector<std::string> GetStrings() const;
    std::string GetText() const;
    void Clear();

    // The section of that name, nullptr when there is none.
    const TMemIniEntry* Section(const std::string& section) const;
    bool Modified() const { return modified_; }

private:
    struct Named
    {
        std::string name;
        TMemIniEntry entry;
    };
    TMemIniEntry* Find(std::string_view section);
    const TMemIniEntry* Find(std::string_view section) const;
    TMemIniEntry& AddSection(std::string name);
    // One line of a text being parsed; *current is the section its key lines go to.
    void ParseLine(std::string_view line, TMemIniEntry*& current);

    std::string writeName_;
    std::map<std::string, Named> sections_; // by folded name, unique
    bool modified_ = false;
};

// Field n of text: field 0 runs from the first character (which always belongs to it) up to
// the next delimiter; field n >= 1 runs from the character after the n-th delimiter up to the
// next one or the end.  A missing field, a negative n or an empty text gives "".
std::string ExtractField(std::string_view text, char delimiter, int n);

// The 1-based position of the first occurrence of pattern in text (bytes, case-sensitive), 0
// when there is none, 1 for an empty pattern.
std::size_t FindPattern(std::string_view pattern, std::string_view text);

// Lines of a text split at CR LF, LF or CR, as a file is read; a last line without its end
// still counts.
std::vector<std::string> SplitLines(std::string_view text);

// Calls fn with each line of the text, split as SplitLines splits it.
template <typename Fn> void ForEachLine(std::string_view text, Fn&& fn)
{
    std::size_t pos = 0;
    while (pos < text.size()) {
        const std::size_t end = text.find_first_of("\r\n", pos);
        if (end == std::string_view::npos) {
            fn(text.substr(pos));
            return;
        }
        fn(text.substr(pos, end - pos));
        pos = end + (text[end] == '\r' && end + 1 < text.size() && text[end + 1] == '\n' ? 2 : 1);
    }
}

} // namespace translation
