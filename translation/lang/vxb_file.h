#pragma once
// Translation files of many owners (see vxb.h for the layout) read into live translation
// components, and the registry of translation classes from which a file's twins are made.

#include "translation/lang/vx_comp.h"
#include "translation/lang/vxb.h"

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace translation {

// A component as its stream, and a stream's properties set on a component as form data sets
// them (ELanguageError when a value is refused; the component's loading mark is cleared).
StreamComponent ComponentToStream(const TvxCustomLang& component);
void StreamToComponent(TvxCustomLang& component, const StreamComponent& stream);

// ---- translation classes by name

using LangFactory = std::function<std::unique_ptr<TvxCustomLang>(QObject* owner)>;
// A name that is registered already keeps its first factory.
void RegisterLangClass(const std::string& className, LangFactory factory);
bool IsLangClassRegistered(const std::string& className);
// ELanguageError when no class of that name is registered.
std::unique_ptr<TvxCustomLang> CreateLangClass(const std::string& className, QObject* owner);
// TvxLang and TvxLangLinked.
void RegisterTranslationClasses();

// A twin of the component's class, without an owner, filled from a component stream.
// ELanguageError when the stream is damaged or holds a value the class refuses; nothing of the
// component is touched.
std::unique_ptr<TvxCustomLang> ReadTwin(const TvxCustomLang& component, std::string_view bytes,
                                        std::size_t offset);

class TVXBFileManager
{
public:
    TVXBFileManager();
    ~TVXBFileManager();
    TVXBFileManager(const TVXBFileManager&) = delete;
    TVXBFileManager& operator=(const TVXBFileManager&) = delete;

    // The file's entry for the owner class (exact letter case; the first of several) replaces
    // the component's lists, LangNames and extended translations.  Any failure raises
    // ELanguageError and changes nothing, neither the component nor this manager.  Without
    // an entry for the owner only the fixed languages change.
    void ReadVXBFile(TvxCustomLang& component, const std::string& ownerClassName,
                     const std::string& fileName);
    void ReadVXB(TvxCustomLang& component, const std::string& ownerClassName,
                 std::string_view file);
    // Only the list `listIndex` (TStringsType) is replaced.
    void ReadVXBList(int listIndex, const std::string& fileName, const std::string& ownerClassName,
                     TvxCustomLang& component);

    // Copies of the held components, the owner names, the fixed languages and the signature.
    void CopyTo(TVXBFileManager& destination) const;

    // Components to write: a copy of `component` under the owner class name.
    void Hold(const std::string& ownerClassName, const TvxCustomLang& component);
    // The held components as a file, in the order they were held.
    std::string WriteVXB() const;
    void WriteVXBFile(const std::string& fileName) const;

    const StringList& OwnerNames() const { return ownerNames_; }
    int ComponentCount() const { return static_cast<int>(components_.size()); }
    const TvxCustomLang& Component(int index) const
    {
        return *components_.at(static_cast<size_t>(index));
    }
    // Sorted, each language once.
    const StringList& FixedLanguages() const { return fixedLanguages_; }
    void SetFixedLanguages(const StringList& languages);
    const std::string& Signature() const { return signature_; }

private:
    void Read(TvxCustomLang& component, const std::string& ownerClassName, std::string_view file,
              int onlyKind);
    StringList ownerNames_;
    std::vector<std::unique_ptr<TvxCustomLang>> components_;
    StringList fixedLanguages_;
    std::string signature_;
};

// The whole file, at most kMostVxbBytes; ELanguageError when it cannot be read or is larger.
std::string ReadVxbBytes(const std::string& fileName);

} // namespace translation
