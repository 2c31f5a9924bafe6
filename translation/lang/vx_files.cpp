// The component's stored lists, its string cache, the translators' text files and its own
// stored form.

#include "translation/lang/vx_comp.h"

#include "platform/text1251.h"
#include "translation/lang/text_files.h"
#include "translation/settings/mem_ini_file.h"

#include <QMetaProperty>

#include <algorithm>
#include <unordered_map>
#include <unordered_set>

namespace translation {

std::string TvxCustomLang::TranslationData() const
{
    return EncodeTranslationData(lists_, has_);
}

void TvxCustomLang::SetTranslationData(std::string_view data)
{
    DecodeTranslationData(data, lists_, has_, OwnerClassName(), delim_);
}

void TvxCustomLang::RefreshStrings()
{
    if (designing_)
        return;
    stringCache_.Rebuild(lists_[stStrings], delim_, numLanguages_, 0);
    if (handleResourceStrings_ && parent() != nullptr)
        resourceCache_.Rebuild(lists_[stStrings], delim_, numLanguages_, resourceLanguageIndex_);
}

void TvxCustomLang::PostProcess(int kind)
{
    // Lists read through look-ups end every text with the delimiter.
    if (kind == stStrings || kind == stDlgsCaptions || kind == stLocales)
        PadLines(lists_[static_cast<size_t>(kind)]);
}

int TvxCustomLang::ExportList(int kind, std::string& stream, const std::string& delimiter) const
{
    const std::string ownerClass = OwnerClassName();
    const std::string ownerName = OwnerName();
    const ExportSource source{lists_, has_,       langNames_, numLanguages_,
                              delim_, ownerClass, ownerName,  extended_};
    std::optional<std::string> text = ExportListText(stream, source, kind, delimiter);
    if (!text)
        return -1;
    stream = std::move(*text);
    return static_cast<int>(lists_[static_cast<size_t>(kind)].size());
}

bool TvxCustomLang::ExportExtended(std::string& stream, const std::string& delimiter) const
{
    const std::string ownerClass = OwnerClassName();
    const std::string ownerName = OwnerName();
    const ExportSource source{lists_, has_,       langNames_, numLanguages_,
                              delim_, ownerClass, ownerName,  extended_};
    std::optional<std::string> text = ExportExtendedText(stream, source, delimiter);
    if (text)
        stream = std::move(*text);
    return text.has_value();
}

bool TvxCustomLang::ExportAll(std::string& stream, const std::string& delimiter) const
{
    const std::string ownerClass = OwnerClassName();
    const std::string ownerName = OwnerName();
    const ExportSource source{lists_, has_,       langNames_, numLanguages_,
                              delim_, ownerClass, ownerName,  extended_};
    std::optional<std::string> text = ExportAllText(stream, source, delimiter);
    if (text)
        stream = std::move(*text);
    return text.has_value();
}

int TvxCustomLang::ImportList(int kind, std::string_view stream, bool clearFirst)
{
    StringList* list = GetStringsByIndex(kind);
    if (list == nullptr)
        return -1;
    try {
        const std::string ownerClass = OwnerClassName();
        const std::string ownerName = OwnerName();
        const ImportTarget target{has_, delim_, ownerClass, ownerName, doNotTranslate_};
        std::optional<ImportedList> imported =
            ImportListText(stream, target, kind, clearFirst ? StringList() : *list);
        if (!imported)
            return -1;
        // Everything is built; from here on nothing fails.
        if (imported->names) {
            SetNumOfLanguages(static_cast<int>(imported->names->langNames.size()));
            langNames_ = std::move(imported->names->langNames);
            fixedLanguages_ = std::move(imported->names->fixedLanguages);
            if (activeLanguage_ > numLanguages_)
                activeLanguage_ = 1;
            language_ = langNames_[static_cast<std::size_t>(activeLanguage_) - 1];
        }
        *list = std::move(imported->lines);
        if (!hold_) {
            PostProcess(kind);
            if (kind == stStrings)
                RefreshStrings();
            ChangeLanguage();
        }
        return imported->keys;
    } catch (const std::exception&) {
        return -1;
    }
}

bool TvxCustomLang::ImportExtended(std::string_view stream, bool clearFirst)
{
    const std::string ownerClass = OwnerClassName();
    const std::string ownerName = OwnerName();
    const ImportTarget target{has_, delim_, ownerClass, ownerName, doNotTranslate_};
    std::optional<std::vector<TvxExtendedItem>> items =
        ImportExtendedText(stream, target, clearFirst ? std::vector<TvxExtendedItem>() : extended_);
    if (!items)
        return false;
    extended_ = std::move(*items);
    return true;
}

namespace {

// What an import of everything may change, kept to put back when a part fails.
struct Snapshot
{
    ListSet lists;
    StringList langNames, fixed;
    int numLanguages, activeLanguage;
    std::string language;
    std::vector<TvxExtendedItem> extended;
};

} // namespace

bool TvxCustomLang::ImportAll(std::string_view stream, bool clearFirst)
{
    const Snapshot before{lists_,          langNames_, fixedLanguages_, numLanguages_,
                          activeLanguage_, language_,  extended_};
    const bool held = hold_;
    hold_ = true;
    bool ok = true;
    for (int kind = 0; kind < kListKinds && ok; ++kind) {
        if (!has_[static_cast<size_t>(kind)])
            continue;
        ok = ImportList(kind, stream, clearFirst) >= 0;
        if (ok)
            PostProcess(kind);
    }
    ok = ok && ImportExtended(stream, clearFirst);
    hold_ = held;
    if (!ok) {
        lists_ = before.lists;
        langNames_ = before.langNames;
        fixedLanguages_ = before.fixed;
        numLanguages_ = before.numLanguages;
        activeLanguage_ = before.activeLanguage;
        language_ = before.language;
        extended_ = before.extended;
        return false;
    }
    RefreshStrings();
    if (!hold_)
        ChangeLanguage();
    return true;
}

bool TvxCustomLang::MergeList(int kind, std::string_view stream)
{
    StringList* list = GetStringsByIndex(kind);
    if (list == nullptr)
        return false;
    const StringList old = *list;
    const bool held = hold_;
    hold_ = true;
    const int result = ImportList(kind, stream, true);
    hold_ = held;
    if (result < 0) {
        *list = old;
        return false;
    }
    // Keys compare without regard to case, through a table so that the merge stays linear.
    const auto keyOf = [this](const std::string& line) {
        return UpperText(std::string_view(line).substr(0, line.find(delim_)));
    };
    std::unordered_set<std::string> keys;
    for (const std::string& line : *list)
        keys.insert(keyOf(line));
    for (const std::string& line : old)
        if (keys.count(keyOf(line)) == 0)
            list->push_back(line);
    if (!hold_) {
        PostProcess(kind);
        if (kind == stStrings)
            RefreshStrings();
        ChangeLanguage();
    }
    return true;
}

bool TvxCustomLang::MergeAll(std::string_view stream)
{
    const bool held = hold_;
    hold_ = true;
    merging_ = true;
    bool ok = true;
    for (int kind = 0; kind < kListKinds && ok; ++kind) {
        if (!has_[static_cast<size_t>(kind)])
            continue;
        ok = MergeList(kind, stream);
        if (ok)
            PostProcess(kind);
    }
    merging_ = false;
    hold_ = held;
    RefreshStrings();
    return ok;
}

bool TvxCustomLang::MergeAllAndApply(std::string_view stream)
{
    const bool ok = MergeAll(stream);
    ChangeLanguage();
    return ok;
}

namespace {

// The file's text, nullopt when it is missing; a file that cannot be read, or one beyond the
// cap of the text files, raises when the component raises, else reads as none.
std::optional<std::string> ReadFileText(const std::string& fileName, bool raise)
{
    try {
        return ReadTextFile(fileName);
    } catch (const ELanguageError&) {
        if (raise)
            throw;
        return std::nullopt;
    }
}

// The language's position in a file, 0 when the file does not name it.
int FilePosition(const TMemIniFile& ini, const std::string& language)
{
    for (int n = 1; n <= kMostFileLanguages; ++n) {
        const std::string name =
            ini.ReadValue(kLanguageNamesSection, "Language_" + std::to_string(n), "");
        if (name.empty())
            return 0;
        if (name == language)
            return n;
    }
    return 0;
}

std::string PartAt(const std::string& value, const std::string& d, int p)
{
    const StringList parts = SplitBy(value, d);
    return p >= 1 && static_cast<std::size_t>(p) <= parts.size()
               ? parts[static_cast<std::size_t>(p) - 1]
               : std::string();
}

} // namespace

struct TvxCustomLang::LanguageFile
{
    TMemIniFile ini;
    std::string d;
    int p = 0; // the language's place in the file
    int t = 0; // and in this component
};

std::unique_ptr<TvxCustomLang::LanguageFile>
TvxCustomLang::OpenLanguageFile(const std::string& fileName, const std::string& language)
{
    if (language.empty())
        return nullptr;
    const std::optional<std::string> text = ReadFileText(fileName, doRaiseExceptions_);
    if (!text)
        return nullptr;
    auto file = std::make_unique<LanguageFile>();
    file->ini.SetText(*text);
    file->d = file->ini.ReadValue("OPTIONS", "DELIMITER", kDefaultFileDelimiter);
    if (file->d.empty())
        file->d = kDefaultFileDelimiter;
    file->p = FilePosition(file->ini, language);
    if (file->p == 0) {
        if (doRaiseExceptions_)
            throw ELanguageError(language + " not found in " + fileName);
        return nullptr;
    }
    auto known = std::find_if(langNames_.begin(), langNames_.end(),
                              [&language](const std::string& s) { return SameText(s, language); });
    file->t = static_cast<int>(known - langNames_.begin()) + 1;
    if (known == langNames_.end()) {
        if (numLanguages_ >= kMostLanguages)
            return nullptr;
        SetNumOfLanguages(numLanguages_ + 1);
        langNames_.back() = language;
        file->t = numLanguages_;
    }
    return file;
}

void TvxCustomLang::ImportLanguageList(int kind, const std::string& fileName,
                                       const std::string& language)
{
    StringList* list = GetStringsByIndex(kind);
    if (list == nullptr)
        return;
    const std::unique_ptr<LanguageFile> file = OpenLanguageFile(fileName, language);
    if (!file)
        return;
    const std::string section = SectionName(kind);
    const std::string ownerClass = OwnerClassName();
    StringList keys;
    file->ini.ReadKeyNames(section, keys);
    // The list's lines by key (the first of equal ones, without regard to case), so that each
    // key of the file is found at once.
    std::unordered_map<std::string, std::size_t> lineOf;
    for (std::size_t i = 0; i < list->size(); ++i) {
        const std::string& line = (*list)[i];
        const std::size_t at = line.find(delim_);
        if (at != std::string::npos)
            lineOf.emplace(UpperText(std::string_view(line).substr(0, at)), i);
    }
    for (const std::string& fileKey : keys) {
        if (!StartsWithText(fileKey, ownerClass + "."))
            continue;
        std::string key = fileKey.substr(ownerClass.size() + 1);
        if (kind == stCollections || kind == stListView_TreeView_Items)
            key = RestoreBrackets(std::move(key));
        const std::string value =
            FromFileChars(PartAt(file->ini.ReadValue(section, fileKey, ""), file->d, file->p));
        const auto [at, added] = lineOf.emplace(UpperText(key), list->size());
        if (added)
            list->push_back(key + delim_ + MakeValues(value, file->t));
        else
            ReplaceLanguage((*list)[at->second], delim_, file->t, value);
    }
    // The string look-ups follow the new texts.
    if (kind == stStrings)
        RefreshStrings();
    if (!hold_) {
        PostProcess(kind);
        ChangeLanguage();
    }
}

void TvxCustomLang::ImportLanguageExtended(const std::string& fileName, const std::string& language)
{
    const std::unique_ptr<LanguageFile> file = OpenLanguageFile(fileName, language);
    if (!file)
        return;
    const std::string ownerClass = OwnerClassName();
    StringList keys;
    file->ini.ReadKeyNames("Extended", keys);
    std::unordered_map<std::string, std::size_t> itemOf;
    for (std::size_t i = 0; i < extended_.size(); ++i)
        itemOf.emplace(UpperText(extended_[i].Identifier), i);
    for (const std::string& key : keys) {
        if (!StartsWithText(key, ownerClass + ".") ||
            (key.size() >= 9 &&
             SameText(std::string_view(key).substr(key.size() - 9), "_TypeKind")))
            continue;
        const std::string identifier = key.substr(ownerClass.size() + 1);
        const std::string value =
            FromFileChars(PartAt(file->ini.ReadValue("Extended", key, ""), file->d, file->p));
        const auto [it, added] = itemOf.emplace(UpperText(identifier), extended_.size());
        if (!added) {
            TvxExtendedItem& item = extended_[it->second];
            item.Values = ReplaceValuesText(item.Values, file->t, value);
        } else {
            std::string kindName = file->ini.ReadValue("Extended", key + "_TypeKind", "tkUnknown");
            kindName = kindName.substr(0, kindName.find(file->d));
            extended_.push_back(TvxExtendedItem{identifier, TypeKindFromName(kindName),
                                                MakeValues(value, file->t)});
        }
    }
    if (!hold_)
        ChangeLanguage();
}

void TvxCustomLang::ImportLanguage(const std::string& fileName, const std::string& language)
{
    const bool held = hold_;
    hold_ = true;
    struct Release
    {
        bool& flag;
        bool saved;
        ~Release() { flag = saved; }
    } release{hold_, held};
    for (int kind = 0; kind < kListKinds; ++kind) {
        if (!has_[static_cast<size_t>(kind)])
            continue;
        ImportLanguageList(kind, fileName, language);
        PostProcess(kind);
    }
    ImportLanguageExtended(fileName, language);
    RefreshStrings();
    hold_ = held;
    if (!hold_)
        ChangeLanguage();
}

} // namespace translation
