#pragma once
// Companions of the translation component that a window may place: a dispatcher that switches
// many components together and feeds them from one translation file, a form storage that keeps
// a window's state and bounds in the registry, and the test-mode settings.

#include "translation/lang/vx_comp.h"

#include <QObject>
#include <QPointer>
#include <QRect>

#include <functional>
#include <memory>
#include <string>
#include <vector>

class QWidget;

namespace platform {
class RegistryFile;
}

namespace translation {

class TVXBFileManager;

enum TTestModeKind : int { tmkExpandWidth, tmkFlipCase, tmkExpandChars };

struct TTestModeInfo
{
    bool Active = false;
    char PaddingChar = '*';
    int ExpandCharsPercent = 100;
    int ExpandWidthPercent = 100;
    TTestModeKind Kind = tmkExpandWidth;
    // The text altered by Kind; widths measured in Tahoma 8 on the screen unless `width` is
    // given.
    std::string Transform(std::string_view text,
                          const std::function<int(std::string_view)>& width = {}) const;
};

class TvxLangDispatcher : public QObject
{
    Q_OBJECT

public:
    explicit TvxLangDispatcher(QObject* owner = nullptr);
    ~TvxLangDispatcher() override;

    // Called when a component's LangDispatcher is set; a second link is ignored.
    void Link(TvxCustomLang* component);
    void Unlink(TvxCustomLang* component);
    int Count() const { return static_cast<int>(links_.size()); }
    TvxCustomLang* Component(int index) const { return links_.at(static_cast<size_t>(index)); }

    int ActiveLanguage() const { return activeLanguage_; }
    void SetActiveLanguage(int n);
    int NumOfLanguages() const { return numLanguages_; }
    void SetNumOfLanguages(int n);
    const StringList& LangNames() const { return langNames_; }
    void SetLangNames(const StringList& names);
    const std::string& Language() const { return language_; }
    void SetLanguage(const std::string& name);
    const std::string& FileName() const { return fileName_; }
    void SetFileName(const std::string& fileName) { fileName_ = fileName; }
    bool UseDefaultLanguage() const { return useDefaultLanguage_; }
    void SetUseDefaultLanguage(bool on);
    int DefaultLanguage() const { return defaultLanguage_; }
    void SetDefaultLanguage(int n);
    TTestModeInfo& TestMode() { return testMode_; }
    // Made on first need; one for every component the dispatcher feeds.
    TVXBFileManager& VxbManager();
    TVXBFileManager* VxbManagerIfAny() const { return vxb_.get(); }
    void SetDesigning(bool on) { designing_ = on; }
    bool IsDesigning() const { return designing_; }

    std::function<void(TvxLangDispatcher*, TvxCustomLang*)> OnLinkToDispatcher;

private:
    void ForEachLinked(const std::function<void(TvxCustomLang*)>& action);

    std::vector<TvxCustomLang*> links_;
    StringList langNames_{"Language N1"};
    int activeLanguage_ = 1;
    int numLanguages_ = 1;
    std::string language_ = "Language N1";
    std::string fileName_;
    std::unique_ptr<TVXBFileManager> vxb_;
    TTestModeInfo testMode_;
    bool useDefaultLanguage_ = false;
    int defaultLanguage_ = 1;
    bool designing_ = false;
};

enum TMyHKeyType : int {
    vxHKEY_CURRENT_USER,
    vxHKEY_CLASSES_ROOT,
    vxHKEY_LOCAL_MACHINE,
    vxHKEY_USERS,
    vxHKEY_CURRENT_CONFIG,
    vxHKEY_DYN_DATA
};

// Keeps its window's state and bounds under SubKey: restored when Restore runs (after the
// window is built), saved when the storage goes.  The registry file keeps two roots, the
// current user's and the local machine's; the other roots are refused when set.
class TvxFormStorage : public QObject
{
    Q_OBJECT

public:
    TvxFormStorage(QWidget* form, platform::RegistryFile* registry);
    ~TvxFormStorage() override;

    bool Active = true;
    std::string SubKey;
    TMyHKeyType RegRootKey() const { return root_; }
    // ELanguageError for a root the registry file does not keep; the root is then unchanged.
    void SetRegRootKey(TMyHKeyType root);

    void Restore();
    void Save();

private:
    QPointer<QWidget> form_;
    platform::RegistryFile* registry_;
    TMyHKeyType root_ = vxHKEY_CURRENT_USER;
};

} // namespace translation
