// The component's stored lists, its string cache, the translators' text files and its own
// stored form.

#include "translation/lang/vx_comp.h"

#include "platform/file_util.h"
#include "platform/text1251.h"
#include "translation/lang/text_files.h"
#include "translation/settings/mem_ini_file.h"

#include <QMetaProperty>

#include <algorithm>

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
    for (const std::string& line : old)
        if (KeyIndex(*list, line, std::string(1, delim_)) < 0)
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

std::optional<std::string> ReadFileText(const std::string& fileName)
{
    return platform::detail::ReadWholeFile(fileName);
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
    const std::optional<std::string> text = ReadFileText(fileName);
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
    for (const std::string& fileKey : keys) {
        if (!StartsWithText(fileKey, ownerClass + "."))
            continue;
        std::string key = fileKey.substr(ownerClass.size() + 1);
        if (kind == stCollections || kind == stListView_TreeView_Items)
            key = RestoreBrackets(std::move(key));
        const std::string value =
            FromFileChars(PartAt(file->ini.ReadValue(section, fileKey, ""), file->d, file->p));
        const std::string prefix = key + delim_;
        const bool exists =
            std::any_of(list->begin(), list->end(),
                        [&prefix](const std::string& l) { return StartsWithText(l, prefix); });
        if (exists)
            ReplaceTranslation(*list, value, file->t, key);
        else
            list->push_back(key + delim_ + MakeValues(value, file->t));
    }
    if (!hold_) {
        PostProcess(kind);
        if (kind == stStrings)
            RefreshStrings();
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
    for (const std::string& key : keys) {
        if (!StartsWithText(key, ownerClass + ".") ||
            (key.size() >= 9 &&
             SameText(std::string_view(key).substr(key.size() - 9), "_TypeKind")))
            continue;
        const std::string identifier = key.substr(ownerClass.size() + 1);
        const std::string value =
            FromFileChars(PartAt(file->ini.ReadValue("Extended", key, ""), file->d, file->p));
        auto it = std::find_if(
            extended_.begin(), extended_.end(),
            [&identifier](const TvxExtendedItem& i) { return SameText(i.Identifier, identifier); });
        if (it != extended_.end()) {
            it->Values = ReplaceValuesText(it->Values, file->t, value);
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

// ---- the component's own stored form

namespace {

constexpr std::string_view kMagic = "VXC1";
// Largest record a stored form may hold; a longer length is damage, not data.
constexpr std::uint32_t kMostRecordBytes = 64u << 20;

void PutU32(std::string& out, std::uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        out += static_cast<char>((v >> (8 * i)) & 0xFF);
}

void PutBytes(std::string& out, std::string_view bytes)
{
    PutU32(out, static_cast<std::uint32_t>(bytes.size()));
    out += bytes;
}

std::string PutList(const StringList& list)
{
    std::string out;
    PutU32(out, static_cast<std::uint32_t>(list.size()));
    for (const std::string& s : list)
        PutBytes(out, s);
    return out;
}

class Reader
{
public:
    explicit Reader(std::string_view data) : data_(data) {}
    bool AtEnd() const { return pos_ == data_.size(); }
    std::uint32_t U32()
    {
        if (data_.size() - pos_ < 4)
            throw ELanguageError("The stored translation component is cut short.");
        std::uint32_t v = 0;
        for (int i = 0; i < 4; ++i)
            v |= static_cast<std::uint32_t>(static_cast<unsigned char>(data_[pos_ + i])) << (8 * i);
        pos_ += 4;
        return v;
    }
    std::string Bytes()
    {
        const std::uint32_t n = U32();
        if (n > kMostRecordBytes || data_.size() - pos_ < n)
            throw ELanguageError("The stored translation component is cut short.");
        std::string s(data_.substr(pos_, n));
        pos_ += n;
        return s;
    }

private:
    std::string_view data_;
    std::size_t pos_ = 0;
};

StringList GetList(std::string_view bytes)
{
    Reader r(bytes);
    const std::uint32_t n = r.U32();
    StringList list;
    for (std::uint32_t i = 0; i < n; ++i)
        list.push_back(r.Bytes());
    if (!r.AtEnd())
        throw ELanguageError("The stored translation component holds a damaged list.");
    return list;
}

bool IsListProperty(std::string_view name)
{
    for (int kind = 0; kind < kListKinds; ++kind)
        if (name == std::string_view(StringsTypeName(kind)).substr(2))
            return true;
    return false;
}

} // namespace

std::string SaveComponentData(const TvxCustomLang& component)
{
    std::string out(kMagic);
    const QMetaObject* mo = component.metaObject();
    for (int i = QObject::staticMetaObject.propertyCount(); i < mo->propertyCount(); ++i) {
        const QMetaProperty p = mo->property(i);
        if (IsListProperty(p.name()))
            continue; // the lists travel in TranslationData
        const QVariant v = p.read(&component);
        std::string value;
        switch (p.metaType().id()) {
        case QMetaType::Int:
            value = std::to_string(v.toInt());
            break;
        case QMetaType::Bool:
            value.assign(1, v.toBool() ? '1' : '0');
            break;
        case QMetaType::QString:
            value = v.toString().toStdString();
            break;
        default:
            if (p.metaType() == QMetaType::fromType<StringList>())
                value = PutList(v.value<StringList>());
            else
                continue; // references to other components are not stored here
        }
        PutBytes(out, p.name());
        PutBytes(out, value);
    }
    PutBytes(out, "TranslationData");
    PutBytes(out, component.TranslationData());
    std::string items;
    PutU32(items, static_cast<std::uint32_t>(component.ExtendedTranslations().size()));
    for (const TvxExtendedItem& item : component.ExtendedTranslations()) {
        PutBytes(items, item.Identifier);
        PutBytes(items, TypeKindName(item.PropertyType));
        PutBytes(items, item.Values);
    }
    PutBytes(out, "ExtendedTranslations");
    PutBytes(out, items);
    return out;
}

void LoadComponentData(TvxCustomLang& component, std::string_view data)
{
    if (data.substr(0, kMagic.size()) != kMagic)
        throw ELanguageError("This is not a stored translation component.");
    Reader r(data.substr(kMagic.size()));
    component.BeginLoading();
    struct End
    {
        TvxCustomLang& c;
        ~End()
        {
            if (c.IsLoading())
                c.EndLoading();
        }
    } end{component};
    const QMetaObject* mo = component.metaObject();
    while (!r.AtEnd()) {
        const std::string name = r.Bytes();
        const std::string value = r.Bytes();
        if (name == "TranslationData") {
            component.SetTranslationData(value);
            continue;
        }
        if (name == "ExtendedTranslations") {
            Reader items(value);
            std::vector<TvxExtendedItem> list;
            const std::uint32_t n = items.U32();
            for (std::uint32_t i = 0; i < n; ++i) {
                TvxExtendedItem item;
                item.Identifier = items.Bytes();
                item.PropertyType = TypeKindFromName(items.Bytes());
                item.Values = items.Bytes();
                list.push_back(std::move(item));
            }
            component.SetExtendedTranslations(list);
            continue;
        }
        const int index = mo->indexOfProperty(name.c_str());
        if (index < QObject::staticMetaObject.propertyCount())
            continue; // a property this class does not publish
        const QMetaProperty p = mo->property(index);
        QVariant v;
        switch (p.metaType().id()) {
        case QMetaType::Int: {
            bool ok = false;
            v = QString::fromStdString(value).toInt(&ok);
            if (!ok)
                throw ELanguageError("The stored value of " + name + " is not a number.");
            break;
        }
        case QMetaType::Bool:
            v = value == "1";
            break;
        case QMetaType::QString:
            v = QString::fromStdString(value);
            break;
        default:
            if (p.metaType() != QMetaType::fromType<StringList>())
                continue;
            v = QVariant::fromValue(GetList(value));
        }
        p.write(&component, v);
    }
}

} // namespace translation
