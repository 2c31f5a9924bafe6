#include "translation/lang/vxb_file.h"

#include "platform/file_util.h"
#include "translation/lang/vx_detail.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>

namespace translation {

namespace {

std::map<std::string, LangFactory>& Classes()
{
    static std::map<std::string, LangFactory> classes;
    return classes;
}

bool OwnerLineKind(int kind)
{
    return kind == stCaptions || kind == stHints || kind == stFonts || kind == stCharSets;
}

} // namespace

void RegisterLangClass(const std::string& className, LangFactory factory)
{
    Classes().emplace(className, std::move(factory));
}

bool IsLangClassRegistered(const std::string& className)
{
    return Classes().count(className) != 0;
}

std::unique_ptr<TvxCustomLang> CreateLangClass(const std::string& className, QObject* owner)
{
    const auto it = Classes().find(className);
    if (it == Classes().end())
        throw ELanguageError("Unable to obtain " + className +
                             " class reference! Please be sure the class is registered.");
    return it->second(owner);
}

void RegisterTranslationClasses()
{
    RegisterLangClass("TvxLang", [](QObject* o) { return std::make_unique<TvxLang>(o); });
    RegisterLangClass("TvxLangLinked",
                      [](QObject* o) { return std::make_unique<TvxLangLinked>(o); });
}

std::unique_ptr<TvxCustomLang> ReadTwin(const TvxCustomLang& component, std::string_view bytes,
                                        std::size_t offset)
{
    const StreamComponent stream = ReadStreamComponent(bytes, offset);
    std::unique_ptr<TvxCustomLang> twin =
        CreateLangClass(detail::Narrow1251(rtti::ClassName(&component)), nullptr);
    twin->SetTwin(true);
    StreamToComponent(*twin, stream);
    return twin;
}

std::string ReadVxbBytes(const std::string& fileName)
{
    errno = 0;
    std::optional<std::string> bytes = platform::detail::ReadWholeFile(fileName, kMostVxbBytes + 1);
    if (!bytes)
        throw ELanguageError("Cannot open file \"" + fileName + "\". " + std::strerror(errno));
    if (bytes->size() > kMostVxbBytes)
        throw ELanguageError("The translation file is larger than " +
                             std::to_string(kMostVxbBytes >> 20) + " MiB.");
    return std::move(*bytes);
}

TVXBFileManager::TVXBFileManager() : signature_(kVxbSignature) {}

TVXBFileManager::~TVXBFileManager() = default;

void TVXBFileManager::SetFixedLanguages(const StringList& languages)
{
    StringList sorted;
    for (const std::string& l : languages)
        if (std::find(sorted.begin(), sorted.end(), l) == sorted.end())
            sorted.push_back(l);
    std::sort(sorted.begin(), sorted.end());
    fixedLanguages_ = std::move(sorted);
}

void TVXBFileManager::ReadVXBFile(TvxCustomLang& component, const std::string& ownerClassName,
                                  const std::string& fileName)
{
    ReadVXB(component, ownerClassName, ReadVxbBytes(fileName));
}

void TVXBFileManager::ReadVXB(TvxCustomLang& component, const std::string& ownerClassName,
                              std::string_view file)
{
    Read(component, ownerClassName, file, -1);
}

void TVXBFileManager::Read(TvxCustomLang& component, const std::string& ownerClassName,
                           std::string_view file, int onlyKind)
{
    const VxbDirectory dir = ReadVxbDirectory(file);
    std::unique_ptr<TvxCustomLang> twin;
    if (const VxbEntry* entry = FindVxbEntry(dir, ownerClassName))
        twin = ReadTwin(component, file, entry->offset);
    // Checked; from here nothing fails.
    SetFixedLanguages(dir.fixedLanguages.empty() ? StringList{}
                                                 : SplitBy(dir.fixedLanguages, "\r\n"));
    if (twin)
        component.AdoptTwin(*twin, onlyKind);
}

void TVXBFileManager::ReadVXBList(int listIndex, const std::string& fileName,
                                  const std::string& ownerClassName, TvxCustomLang& component)
{
    if (listIndex < 0 || listIndex >= kListKinds)
        return;
    Read(component, ownerClassName, ReadVxbBytes(fileName), listIndex);
}

void TVXBFileManager::Hold(const std::string& ownerClassName, const TvxCustomLang& component)
{
    std::unique_ptr<TvxCustomLang> copy = ReadTwin(component, SaveComponentData(component), 0);
    // The copy keeps the lists exactly as the original holds them.
    copy->AdoptTwin(component);
    ownerNames_.push_back(ownerClassName);
    components_.push_back(std::move(copy));
}

void TVXBFileManager::CopyTo(TVXBFileManager& destination) const
{
    if (&destination == this)
        return;
    std::vector<std::unique_ptr<TvxCustomLang>> copies;
    for (const auto& c : components_) {
        std::unique_ptr<TvxCustomLang> copy = ReadTwin(*c, SaveComponentData(*c), 0);
        copy->AdoptTwin(*c);
        copies.push_back(std::move(copy));
    }
    destination.signature_ = signature_;
    destination.fixedLanguages_ = fixedLanguages_;
    destination.ownerNames_ = ownerNames_;
    destination.components_ = std::move(copies);
}

std::string TVXBFileManager::WriteVXB() const
{
    std::vector<VxbStreamOut> entries;
    for (std::size_t i = 0; i < components_.size(); ++i)
        entries.push_back({ownerNames_[i], SaveComponentData(*components_[i])});
    return WriteVxb(JoinList(fixedLanguages_, "\r\n", false), entries);
}

void TVXBFileManager::WriteVXBFile(const std::string& fileName) const
{
    const std::string bytes = WriteVXB();
    if (!platform::ReplaceFile(fileName, bytes, true))
        throw ELanguageError("Cannot write file \"" + fileName + "\". " + std::strerror(errno));
}

// ---- the component's side


void TvxCustomLang::AdoptTwin(const TvxCustomLang& twin, int onlyKind)
{
    const char from = twin.delim_;
    const std::string ownerClass = OwnerClassName();
    for (int kind = 0; kind < kListKinds; ++kind) {
        const auto k = static_cast<std::size_t>(kind);
        if ((onlyKind >= 0 && kind != onlyKind) || !has_[k] || !twin.has_[k])
            continue;
        StringList list = twin.lists_[k];
        if (from != delim_)
            for (std::string& line : list)
                line = ReplaceChar(line, from, delim_);
        if (OwnerLineKind(kind) && !ownerClass.empty()) {
            const std::string head = ownerClass + delim_;
            const auto it = std::find_if(list.begin() + (list.empty() ? 0 : 1), list.end(),
                                         [&head](const std::string& line) {
                                             return line.compare(0, head.size(), head) == 0;
                                         });
            if (it != list.end())
                std::rotate(list.begin(), it, it + 1);
        }
        lists_[k] = std::move(list);
    }
    if (onlyKind >= 0)
        return;
    langNames_ = twin.langNames_;
    numLanguages_ = twin.numLanguages_;
    if (langNames_.size() >= static_cast<std::size_t>(activeLanguage_))
        language_ = langNames_[static_cast<std::size_t>(activeLanguage_) - 1];
    extended_ = twin.extended_;
    if (from != delim_)
        for (TvxExtendedItem& item : extended_)
            item.Values = ReplaceChar(item.Values, from, delim_);
}

void TvxCustomLang::LoadFromVXB(const std::string& fileName)
{
    if (parent() == nullptr)
        return;
    TVXBFileManager* shared = SharedVxbManager(fileName);
    std::unique_ptr<TVXBFileManager> own;
    if (shared == nullptr) {
        own = std::make_unique<TVXBFileManager>();
        shared = own.get();
    }
    shared->ReadVXBFile(*this, OwnerClassName(), fileName);
    RefreshStrings();
    ChangeLanguage();
}

void TvxCustomLang::LoadListFromVXB(int listIndex, const std::string& fileName)
{
    if (parent() == nullptr)
        return;
    TVXBFileManager manager;
    manager.ReadVXBList(listIndex, fileName, OwnerClassName(), *this);
    if (listIndex == stStrings)
        RefreshStrings();
}

} // namespace translation
