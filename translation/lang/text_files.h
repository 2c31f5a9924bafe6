#pragma once
// The translators' text files: ini-form text with one section per list, the delimiter under
// OPTIONS/DELIMITER and the language names in their own section.  Pure functions over the text;
// an import builds its result aside and the caller commits it only on success.
//
// Texts keep their line breaks as the characters 25 (CR) and 26 (LF), both ways, in the lists
// and in the extended translations.

#include "translation/lang/lines.h"
#include "translation/settings/mem_ini_file.h"

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace translation {

constexpr const char* kDefaultFileDelimiter = "~!@#";
constexpr const char* kLanguageNamesSection = "Language names - for internal use only!";

// The largest translators' text file that is read: the in-memory ini file's cap, as the whole
// file is parsed into one.
inline constexpr std::size_t kMaxTextFileBytes = kMaxIniFileBytes;

// The whole text of a translators' file, nullopt when there is no such file.  A file that
// cannot be read, or one larger than kMaxTextFileBytes, raises ELanguageError saying which,
// before a byte of it is parsed.
std::optional<std::string> ReadTextFile(const std::string& fileName);
// The same for a file that must be there: a missing one raises as well.
std::string ReadPresentTextFile(const std::string& fileName);

// What an export reads of the component.
struct ExportSource
{
    const ListSet& lists;
    const KindMask& has;
    const StringList& langNames;
    int numLanguages;
    char delim;
    const std::string& ownerClass;
    const std::string& ownerName;
    const std::vector<TvxExtendedItem>& extended;
};

// The stream's text with one list written into it; nullopt when the component lacks the list,
// a key cannot be stored as an ini key, or a text holds the file's delimiter (nothing is
// written then).
std::optional<std::string> ExportListText(std::string_view stream, const ExportSource& source,
                                          int kind, const std::string& delimiter);
std::optional<std::string> ExportExtendedText(std::string_view stream, const ExportSource& source,
                                              const std::string& delimiter);
// Every list the component has, then the extended translations.
std::optional<std::string> ExportAllText(std::string_view stream, const ExportSource& source,
                                         const std::string& delimiter);

// What an import reads of the component.
struct ImportTarget
{
    const KindMask& has;
    char delim;
    const std::string& ownerClass;
    const std::string& ownerName;
    const StringList& doNotTranslate;
};

struct ImportedNames
{
    StringList langNames;
    StringList fixedLanguages;
};

struct ImportedList
{
    StringList lines;                   // `base` with the file's lines added
    std::optional<ImportedNames> names; // when the file names its languages
    int keys = 0;                       // keys in the list's section
};

// nullopt when the component lacks the list or the file names more languages than a component
// holds.
std::optional<ImportedList> ImportListText(std::string_view stream, const ImportTarget& target,
                                           int kind, StringList base);
std::optional<std::vector<TvxExtendedItem>> ImportExtendedText(std::string_view stream,
                                                               const ImportTarget& target,
                                                               std::vector<TvxExtendedItem> base);
// The characters 25 and 26 back to CR and LF.
std::string FromFileChars(std::string text);
// The first "-" and "+" of a collection key back to "[" and "]".
std::string RestoreBrackets(std::string key);

// The names a file gives its languages, in order (Language_1, Language_2, ... up to the first
// missing or empty one).
StringList FileLanguageNames(std::string_view stream);

} // namespace translation
