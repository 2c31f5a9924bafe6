// File operations on the translators' text files and translation files, and merging one list
// with its language columns placed by name.

#include "translation/lang/vx_comp.h"

#include "platform/file_util.h"
#include "translation/lang/text_files.h"
#include "translation/lang/vx_detail.h"
#include "translation/lang/vx_dispatch.h"
#include "translation/lang/vxb_file.h"

#include <algorithm>
#include <filesystem>
#include <unordered_map>
#include <unordered_set>

namespace translation {

namespace {

bool FileExists(const std::string& fileName)
{
    std::error_code ec;
    return std::filesystem::is_regular_file(fileName, ec);
}

bool IsVxbName(const std::string& fileName)
{
    return UpperText(std::filesystem::path(fileName).extension().string()) == ".VXB";
}

} // namespace

int TvxCustomLang::LoadListFromFile(int kind, const std::string& fileName, bool clearFirst)
{
    if (!FileExists(fileName))
        return -1;
    try {
        return ImportList(kind, ReadPresentTextFile(fileName), clearFirst);
    } catch (const ELanguageError&) {
        return -1;
    }
}

int TvxCustomLang::SaveListToFile(int kind, const std::string& fileName,
                                  const std::string& delimiter)
{
    std::string stream = FileExists(fileName) ? ReadPresentTextFile(fileName) : std::string();
    const int result = ExportList(kind, stream, delimiter);
    if (result >= 0 && !platform::ReplaceFile(fileName, stream, true))
        throw ELanguageError("Cannot write file \"" + fileName + "\".");
    return result;
}

void TvxCustomLang::LoadAllFromFile(const std::string& fileName, bool clearFirst)
{
    if (FileExists(fileName) && !ImportAll(ReadPresentTextFile(fileName), clearFirst))
        throw ELanguageError("Cannot import file \"" + fileName +
                             "\": the component is as it was.");
}

void TvxCustomLang::SaveAllToFile(const std::string& fileName, const std::string& delimiter)
{
    std::string stream = FileExists(fileName) ? ReadPresentTextFile(fileName) : std::string();
    if (!ExportAll(stream, delimiter))
        throw ELanguageError("Cannot write file \"" + fileName +
                             "\": a text holds the delimiter \"" + delimiter +
                             "\" or cannot be told from it.");
    if (!platform::ReplaceFile(fileName, stream, true))
        throw ELanguageError("Cannot write file \"" + fileName + "\".");
}

int TvxCustomLang::LoadStringsFromFile(const std::string& fileName, bool clearFirst)
{
    return LoadListFromFile(stStrings, fileName, clearFirst);
}

int TvxCustomLang::SaveStringsToFile(const std::string& fileName, const std::string& delimiter)
{
    return SaveListToFile(stStrings, fileName, delimiter);
}

bool TvxCustomLang::MergeListFromFile(int kind, const std::string& fileName)
{
    if (!FileExists(fileName))
        return false;
    StringList* list = GetStringsByIndex(kind);
    if (list == nullptr)
        return true;
    StringList fileNames;
    StringList lines;
    try {
        const bool vxb = IsVxbName(fileName);
        const std::string bytes = vxb ? ReadVxbBytes(fileName) : ReadPresentTextFile(fileName);
        if (vxb) {
            const VxbDirectory dir = ReadVxbDirectory(bytes);
            const VxbEntry* entry = FindVxbEntry(dir, OwnerClassName());
            if (entry == nullptr)
                return true; // nothing for this owner: the list stays
            const std::unique_ptr<TvxCustomLang> twin = ReadTwin(*this, bytes, entry->offset);
            fileNames = twin->langNames_;
            const StringList* theirs = twin->GetStringsByIndex(kind);
            if (theirs == nullptr)
                return true;
            for (const std::string& line : *theirs)
                lines.push_back(ReplaceChar(line, twin->delim_, delim_));
        } else {
            const std::string ownerClass = OwnerClassName();
            const std::string ownerName = OwnerName();
            const ImportTarget target{has_, delim_, ownerClass, ownerName, doNotTranslate_};
            std::optional<ImportedList> imported = ImportListText(bytes, target, kind, {});
            if (!imported)
                return false;
            lines = std::move(imported->lines);
            fileNames = imported->names ? imported->names->langNames : FileLanguageNames(bytes);
        }
    } catch (const ELanguageError&) {
        return false;
    }
    // A line's key is the text before its first delimiter; keys compare without regard to case,
    // through a table so that the merge is linear.
    const auto keyOf = [this](const std::string& line) {
        return UpperText(std::string_view(line).substr(0, line.find(delim_)));
    };
    std::unordered_map<std::string, std::size_t> oldByKey;
    for (std::size_t i = 0; i < list->size(); ++i)
        oldByKey.emplace(keyOf((*list)[i]), i);
    // Placed once by name: moving columns one after another would move lines that an earlier
    // move has already changed.
    if (!fileNames.empty() &&
        !SameText(JoinList(fileNames, "", false), JoinList(langNames_, "", false))) {
        lines = PlaceColumns(lines, delim_, fileNames, langNames_);
        // The languages the file lacks keep the texts the list had for them.
        std::vector<int> lacking;
        for (std::size_t n = 0; n < langNames_.size(); ++n)
            if (std::none_of(fileNames.begin(), fileNames.end(),
                             [&](const std::string& f) { return SameText(f, langNames_[n]); }))
                lacking.push_back(static_cast<int>(n) + 1);
        if (!lacking.empty())
            for (std::string& line : lines) {
                const auto old = oldByKey.find(keyOf(line));
                if (old == oldByKey.end())
                    continue;
                const std::string& had = (*list)[old->second];
                std::string kept = line.substr(0, line.find(delim_)) + delim_;
                for (int n = 1; n <= static_cast<int>(langNames_.size()); ++n)
                    kept += (std::find(lacking.begin(), lacking.end(), n) != lacking.end()
                                 ? Field(had, delim_, n)
                                 : Field(line, delim_, n)) +
                            delim_;
                line = std::move(kept);
            }
    }
    std::unordered_set<std::string> newKeys;
    for (const std::string& line : lines)
        newKeys.insert(keyOf(line));
    for (const std::string& line : *list)
        if (newKeys.count(keyOf(line)) == 0)
            lines.push_back(line);
    *list = std::move(lines);
    if (!merging_) {
        CleanList(*list, kind);
        if (kind == stStrings)
            RefreshStrings();
        ChangeLanguage();
    }
    return true;
}

bool TvxCustomLang::MergeAllFromFile(const std::string& fileName)
{
    if (!FileExists(fileName))
        return false;
    const bool was = merging_;
    merging_ = true;
    bool ok = true;
    for (int kind = 0; kind < kListKinds && ok; ++kind) {
        StringList* list = GetStringsByIndex(kind);
        if (list == nullptr)
            continue;
        ok = MergeListFromFile(kind, fileName);
        if (ok)
            CleanList(*list, kind);
    }
    merging_ = was;
    RefreshStrings();
    return ok;
}

bool TvxCustomLang::MergeAllFromFileAndApply(const std::string& fileName)
{
    const bool ok = MergeAllFromFile(fileName);
    ChangeLanguage();
    return ok;
}

void TvxCustomLang::ReloadAllFromFile(const std::string& fileName, bool clearFirst)
{
    if (!FileExists(fileName))
        return; // every list load finds no file, and nothing changes
    // Read once, before any flag is set: a file that cannot be read raises with its name.
    const std::string text = ReadPresentTextFile(fileName);
    bool failed = false;
    {
        // The flags get their values back on every way out.
        struct Restore
        {
            bool& flag;
            bool saved;
            ~Restore() { flag = saved; }
        } merging{merging_, merging_}, held{hold_, hold_};
        merging_ = true;
        hold_ = true; // each list is post-processed here, and the language applied once below
        for (int kind = 0; kind < kListKinds; ++kind) {
            if (StringList* list = GetStringsByIndex(kind)) {
                if (ImportList(kind, text, clearFirst) < 0)
                    failed = true;
                else
                    PostProcess(kind);
                CleanList(*list, kind);
            }
        }
        if (!ImportExtended(text, clearFirst))
            failed = true;
        RefreshStrings();
    }
    if (!merging_ && !hold_)
        ChangeLanguage();
    if (failed)
        throw ELanguageError("Cannot import all of file \"" + fileName +
                             "\": the lists that failed are as they were.");
}

} // namespace translation
