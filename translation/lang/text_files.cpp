#include "translation/lang/text_files.h"

#include "platform/file_util.h"
#include "translation/lang/string_collection.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iterator>
#include <unordered_map>

namespace translation {
namespace {

constexpr const char* kMisspelledNamesSection = "Language names - for intenal use only!";
constexpr const char* kExtendedSection = "Extended";
constexpr const char* kTypeKindSuffix = "_TypeKind";

bool BracketKind(int kind)
{
    return kind == stCollections || kind == stListView_TreeView_Items;
}

// The file form of a line's texts: the component's delimiter becomes the file's, CR and LF the
// characters 25 and 26.  nullopt when the import would not split the result back into the same
// texts: a text holding the file's delimiter, or ending in the start of a delimiter that overlaps
// itself ("a~" before "~~" reads as "a" and a text beginning with "~").
std::optional<std::string> FileText(std::string_view text, char delim, const std::string& d);

std::string ToFileText(std::string_view text, char delim, const std::string& d)
{
    std::string out;
    for (char c : text) {
        if (c == delim)
            out += d;
        else if (c == '\r')
            out += '\x19';
        else if (c == '\n')
            out += '\x1A';
        else
            out += c;
    }
    return out;
}

std::optional<std::string> FileText(std::string_view text, char delim, const std::string& d)
{
    std::string out = ToFileText(text, delim, d);
    // What the import makes of it, the line breaks aside, must be the texts as they were.
    if (ReplaceAll(out, d, std::string(1, delim)) != ToFileText(text, delim, std::string(1, delim)))
        return std::nullopt;
    return out;
}

void WriteHeader(TMemIniFile& ini, const ExportSource& source, const std::string& d)
{
    ini.WriteValue("OPTIONS", "DELIMITER", d);
    ini.RemoveSection(kLanguageNamesSection);
    for (int n = 1; n <= source.numLanguages; ++n) {
        const auto i = static_cast<std::size_t>(n - 1);
        std::string name = i < source.langNames.size() ? source.langNames[i] : std::string();
        if (name.empty())
            name = "Language N" + std::to_string(n);
        ini.WriteValue(kLanguageNamesSection, "Language_" + std::to_string(n), name);
    }
    ini.RemoveSection(kMisspelledNamesSection);
}

std::string Delimiter(const TMemIniFile& ini)
{
    std::string d = ini.ReadValue("OPTIONS", "DELIMITER", kDefaultFileDelimiter);
    // An empty delimiter would split nothing and join everything.
    return d.empty() ? std::string(kDefaultFileDelimiter) : d;
}

StringList NamesOf(const TMemIniFile& ini)
{
    StringList names;
    for (int n = 1; n <= kMostFileLanguages + 1; ++n) {
        std::string name =
            ini.ReadValue(kLanguageNamesSection, "Language_" + std::to_string(n), "");
        if (name.empty())
            break;
        names.push_back(std::move(name));
    }
    return names;
}

bool StartsWithAny(const std::string& key, const std::string& a, const std::string& b)
{
    return (!a.empty() && StartsWithText(key, a + ".")) ||
           (!b.empty() && StartsWithText(key, b + "."));
}

std::string WithoutPrefix(const std::string& key, const ImportTarget& target)
{
    if (!target.ownerName.empty() && StartsWithText(key, target.ownerName + "."))
        return key.substr(target.ownerName.size() + 1);
    return key.substr(target.ownerClass.size() + 1);
}

bool IsExcludedComponent(const std::string& rest, const StringList& doNotTranslate)
{
    const std::string component = rest.substr(0, rest.find('.'));
    return std::any_of(doNotTranslate.begin(), doNotTranslate.end(),
                       [&component](const std::string& s) { return SameText(s, component); });
}

} // namespace

std::string FromFileChars(std::string text)
{
    for (char& c : text)
        c = c == '\x19' ? '\r' : c == '\x1A' ? '\n' : c;
    return text;
}

std::string RestoreBrackets(std::string key)
{
    const std::size_t minus = key.find('-');
    if (minus != std::string::npos)
        key[minus] = '[';
    const std::size_t plus = key.find('+');
    if (plus != std::string::npos)
        key[plus] = ']';
    return key;
}

std::optional<std::string> ExportListText(std::string_view stream, const ExportSource& source,
                                          int kind, const std::string& delimiter)
{
    if (kind < 0 || kind >= kListKinds || !source.has[static_cast<std::size_t>(kind)])
        return std::nullopt;
    try {
        TMemIniFile ini;
        ini.SetText(stream);
        WriteHeader(ini, source, delimiter);
        const std::string section = SectionName(kind);
        for (const std::string& line : source.lists[static_cast<std::size_t>(kind)]) {
            const std::size_t at = line.find(source.delim);
            std::string key = line.substr(0, at);
            if (BracketKind(kind)) {
                std::replace(key.begin(), key.end(), '[', '-');
                std::replace(key.begin(), key.end(), ']', '+');
            }
            const std::string rest = at == std::string::npos ? std::string() : line.substr(at + 1);
            // A text that the import would split otherwise refuses the whole export.
            const std::optional<std::string> value = FileText(rest, source.delim, delimiter);
            if (!value)
                return std::nullopt;
            ini.WriteValue(section, source.ownerClass + "." + key, *value);
        }
        StringList lines = ini.GetStrings();
        if (!source.ownerName.empty() && !SameText(source.ownerName, source.ownerClass)) {
            // Lines of an older layout keyed by the owner's name, not its class.
            const std::string header = "[" + section + "]";
            const std::string old = source.ownerName + ".";
            bool inSection = false;
            StringList kept;
            for (std::string& l : lines) {
                if (!l.empty() && l.front() == '[' && l.back() == ']')
                    inSection = SameText(l, header);
                else if (inSection && l.compare(0, old.size(), old) == 0)
                    continue;
                kept.push_back(std::move(l));
            }
            lines = std::move(kept);
        }
        return JoinLines(lines);
    } catch (const IniValueError&) {
        return std::nullopt;
    }
}

std::optional<std::string> ExportExtendedText(std::string_view stream, const ExportSource& source,
                                              const std::string& delimiter)
{
    try {
        TMemIniFile ini;
        ini.SetText(stream);
        WriteHeader(ini, source, delimiter);
        for (const TvxExtendedItem& item : source.extended) {
            const std::optional<std::string> value = FileText(item.Values, source.delim, delimiter);
            if (!value)
                return std::nullopt;
            const std::string key = source.ownerClass + "." + item.Identifier;
            ini.WriteValue(kExtendedSection, key, *value);
            ini.WriteValue(kExtendedSection, key + kTypeKindSuffix,
                           TypeKindName(item.PropertyType));
        }
        return ini.GetText();
    } catch (const IniValueError&) {
        return std::nullopt;
    }
}

std::optional<std::string> ExportAllText(std::string_view stream, const ExportSource& source,
                                         const std::string& delimiter)
{
    std::string text(stream);
    for (int kind = 0; kind < kListKinds; ++kind) {
        if (!source.has[static_cast<std::size_t>(kind)])
            continue;
        std::optional<std::string> next = ExportListText(text, source, kind, delimiter);
        if (!next)
            return std::nullopt;
        text = std::move(*next);
    }
    return ExportExtendedText(text, source, delimiter);
}

StringList FileLanguageNames(std::string_view stream)
{
    TMemIniFile ini;
    ini.SetText(stream);
    return NamesOf(ini);
}

std::optional<ImportedList> ImportListText(std::string_view stream, const ImportTarget& target,
                                           int kind, StringList base)
{
    if (kind < 0 || kind >= kListKinds || !target.has[static_cast<std::size_t>(kind)])
        return std::nullopt;
    TMemIniFile ini;
    ini.SetText(stream);
    const std::string d = Delimiter(ini);
    ImportedList result;
    if (ini.HasSection(kLanguageNamesSection)) {
        ImportedNames names;
        names.langNames = NamesOf(ini);
        if (names.langNames.size() > static_cast<std::size_t>(kMostFileLanguages))
            return std::nullopt;
        for (std::size_t n = 1; n <= names.langNames.size(); ++n)
            if (ini.ReadBoolValue("OPTIONS", "Language_Fixed" + std::to_string(n), false))
                names.fixedLanguages.push_back(names.langNames[n - 1]);
        if (!names.langNames.empty())
            result.names = std::move(names);
    }
    const std::string section = SectionName(kind);
    StringList keys;
    ini.ReadKeyNames(section, keys);
    result.keys = static_cast<int>(keys.size());
    // The owner's lines go to the top, each before the ones read earlier; they are gathered
    // aside so that the import stays linear.
    StringList ownerLines;
    const std::string ownerLine = target.ownerClass + target.delim;
    const std::string ownerNameLine = target.ownerName + target.delim;
    for (const std::string& fileKey : keys) {
        if (!StartsWithAny(fileKey, target.ownerName, target.ownerClass))
            continue;
        std::string rest = WithoutPrefix(fileKey, target);
        if (BracketKind(kind))
            rest = RestoreBrackets(std::move(rest));
        if (IsExcludedComponent(rest, target.doNotTranslate))
            continue;
        const std::string value = ini.ReadValue(section, fileKey, "");
        std::string line = rest + target.delim;
        if (value.find(d) == std::string::npos) {
            // One text stands for the first two languages.
            line += value;
            line += target.delim;
        }
        line += ReplaceAll(value, d, std::string(1, target.delim));
        line = FromFileChars(std::move(line));
        if (line.empty() || line.back() != target.delim)
            line += target.delim;
        const bool ownerKey =
            (!target.ownerClass.empty() && line.compare(0, ownerLine.size(), ownerLine) == 0) ||
            (!target.ownerName.empty() &&
             line.compare(0, ownerNameLine.size(), ownerNameLine) == 0);
        if (ownerKey)
            ownerLines.push_back(std::move(line));
        else
            base.push_back(std::move(line));
    }
    std::reverse(ownerLines.begin(), ownerLines.end());
    ownerLines.insert(ownerLines.end(), std::make_move_iterator(base.begin()),
                      std::make_move_iterator(base.end()));
    result.lines = std::move(ownerLines);
    return result;
}

std::optional<std::vector<TvxExtendedItem>> ImportExtendedText(std::string_view stream,
                                                               const ImportTarget& target,
                                                               std::vector<TvxExtendedItem> items)
{
    TMemIniFile ini;
    ini.SetText(stream);
    const std::string d = Delimiter(ini);
    StringList keys;
    ini.ReadKeyNames(kExtendedSection, keys);
    const std::string suffix = kTypeKindSuffix;
    // The items by identifier, without regard to case (the first of equal ones).
    std::unordered_map<std::string, std::size_t> byIdentifier;
    for (std::size_t i = 0; i < items.size(); ++i)
        byIdentifier.emplace(UpperText(items[i].Identifier), i);
    for (const std::string& key : keys) {
        if (key.size() >= suffix.size() &&
            SameText(std::string_view(key).substr(key.size() - suffix.size()), suffix))
            continue;
        if (target.ownerClass.empty() || !StartsWithText(key, target.ownerClass + "."))
            continue;
        const std::string identifier = key.substr(target.ownerClass.size() + 1);
        const std::string values = FromFileChars(
            ReplaceAll(ini.ReadValue(kExtendedSection, key, ""), d, std::string(1, target.delim)));
        std::string kindName = ini.ReadValue(kExtendedSection, key + suffix, "tkUnknown");
        kindName = kindName.substr(0, kindName.find(d));
        const auto [it, added] = byIdentifier.emplace(UpperText(identifier), items.size());
        if (added) {
            items.push_back(TvxExtendedItem{identifier, TypeKindFromName(kindName), values});
        } else {
            items[it->second].Values = values;
            items[it->second].PropertyType = TypeKindFromName(kindName);
        }
    }
    return items;
}

std::optional<std::string> ReadTextFile(const std::string& fileName)
{
    errno = 0;
    std::optional<std::string> text =
        platform::detail::ReadWholeFile(fileName, kMaxTextFileBytes + 1);
    if (!text && errno == ENOENT)
        return std::nullopt;
    if (!text)
        throw ELanguageError("Cannot read file \"" + fileName + "\": " + std::strerror(errno) +
                             ".");
    if (text->size() > kMaxTextFileBytes)
        throw ELanguageError("Cannot read file \"" + fileName + "\": it is larger than " +
                             std::to_string(kMaxTextFileBytes >> 20) + " MiB.");
    return text;
}

std::string ReadPresentTextFile(const std::string& fileName)
{
    std::optional<std::string> text = ReadTextFile(fileName);
    if (!text)
        throw ELanguageError("Cannot read file \"" + fileName + "\": there is no such file.");
    return std::move(*text);
}

} // namespace translation
