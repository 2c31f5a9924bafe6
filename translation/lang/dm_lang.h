#pragma once
// The product family's active language (zemra.ini) and the language data module: one
// translation component that loads Lang/trans1.vxb beside the executable at start-up, takes the
// active language and fills the product texts.  Nothing here runs after start-up; the windows
// keep their own language switch.

#include "translation/lang/vx_comp.h"

#include <QObject>

#include <array>
#include <memory>
#include <string>

namespace translation {

class TActiveZemraLanguage
{
public:
    // 1-based; 1 until read.
    static int GetActiveLanguage();
    // "ENG" when the active language is 2, else "RUS".
    static std::string LanguageCode();
    // From section "Language", key "ActiveLanguage" of the file (1 when the file, the key or a
    // number is missing).
    static void Read(const std::string& configFile);
    // Back to language 1 and "RUS".
    static void Clear();
};

class TDMLang : public QObject
{
    Q_OBJECT

public:
    // `exeFolder` ending in '/'; the translation file is exeFolder + "Lang/trans1.vxb".
    explicit TDMLang(std::string exeFolder);
    ~TDMLang() override;

    TvxLangLinked* vxLngLnk;
    // Loaded flag cleared, then LoadTranslation.
    void DataModuleCreate();
    // A missing file is no error: the component keeps its empty lists.  ELanguageError when the
    // file exists and cannot be read; the component is then as it was.
    void LoadTranslation();
    const std::string& FileName() const { return fileName_; }
    bool IsLoaded() const { return loaded_; }

private:
    std::string exeFolder_;
    std::string fileName_;
    bool loaded_ = false;
};

// The process's module, made on the first request (the translation classes registered first)
// and owned by this unit alone; FreeLanguageDataModule frees it once.  The translation file's
// failure does not keep the module from being made: it is the returned text (empty when none).
TDMLang* GetLanguageDataModule(const std::string& exeFolder, std::string* loadError = nullptr);
TDMLang* LanguageDataModule();
void FreeLanguageDataModule();

// The product texts: 17 slots, each an identifier replaced by its text.
constexpr int kProductTexts = 17;
using ProductTexts = std::array<std::string, kProductTexts>;
// The identifiers before they are filled (two slots stay empty).
ProductTexts ProductTextIds();

// Start-up of the language module: the module, the active language applied, the product texts
// filled.  A language the file does not hold, or a file that cannot be read, does not stop the
// program: the module goes on with language 1 and the one failure is `report`.
struct LanguageStartResult
{
    ProductTexts texts{};
    std::string report; // empty when all went well
};
LanguageStartResult StartLanguageModule(const std::string& exeFolder, int activeLanguage);

} // namespace translation
