#include "translation/lang/dm_lang.h"

#include "translation/lang/vxb_file.h"
#include "translation/settings/config_file.h"

#include <filesystem>

namespace translation {

namespace {

int g_activeLanguage = 1;
std::string g_languageCode = "RUS";
std::unique_ptr<TDMLang> g_module;

} // namespace

int TActiveZemraLanguage::GetActiveLanguage()
{
    return g_activeLanguage;
}

std::string TActiveZemraLanguage::LanguageCode()
{
    return g_languageCode;
}

void TActiveZemraLanguage::Read(const std::string& configFile)
{
    Clear();
    std::error_code ec;
    if (configFile.empty() || !std::filesystem::is_regular_file(configFile, ec))
        return;
    // Through the product configuration object, as the product family reads the file: blanks
    // around names and values and one pair of quotes are no part of them.  An unreadable file
    // reads as no file.
    const CZemraConfig config(configFile, true);
    g_activeLanguage = config.ReadIntValue("Language", "ActiveLanguage", 1);
    if (g_activeLanguage == 2)
        g_languageCode = "ENG";
}

void TActiveZemraLanguage::Clear()
{
    g_activeLanguage = 1;
    g_languageCode = "RUS";
}

TDMLang::TDMLang(std::string exeFolder) : exeFolder_(std::move(exeFolder))
{
    setObjectName(QStringLiteral("DMLang"));
    vxLngLnk = new TvxLangLinked(this);
    vxLngLnk->setObjectName(QStringLiteral("vxLngLnk"));
    vxLngLnk->BeginLoading();
    vxLngLnk->SetNumOfLanguages(2);
    vxLngLnk->SetLangDelim(1);
    vxLngLnk->SetLangNames({"Russian", "English"});
    vxLngLnk->SetLanguage("Russian");
    vxLngLnk->EndLoading();
}

TDMLang::~TDMLang() = default;

void TDMLang::DataModuleCreate()
{
    loaded_ = false;
    LoadTranslation();
}

void TDMLang::LoadTranslation()
{
    fileName_ = exeFolder_ + "Lang/trans1.vxb";
    std::error_code ec;
    if (!std::filesystem::exists(fileName_, ec))
        return;
    if (!loaded_) {
        loaded_ = true;
        vxLngLnk->LoadFromVXB(fileName_);
    }
}

TDMLang* GetLanguageDataModule(const std::string& exeFolder, std::string* loadError)
{
    if (g_module)
        return g_module.get();
    RegisterTranslationClasses();
    g_module = std::make_unique<TDMLang>(exeFolder);
    try {
        g_module->DataModuleCreate();
    } catch (const std::exception& e) {
        if (loadError != nullptr)
            *loadError = e.what();
    }
    return g_module.get();
}

TDMLang* LanguageDataModule()
{
    return g_module.get();
}

void FreeLanguageDataModule()
{
    g_module.reset();
}

ProductTexts ProductTextIds()
{
    return {"UCF_1",  "UCF_2", "UCF_3", "UCF_4",  "UCF_5",  "UCF_6",  "UCF_7",  "UCF_8", "UCF_9",
            "UCF_10", "",      "",      "UCF_11", "UCF_12", "UCF_13", "UCF_10", "UCF_11"};
}

LanguageStartResult StartLanguageModule(const std::string& exeFolder, int activeLanguage)
{
    LanguageStartResult result;
    TDMLang* module = GetLanguageDataModule(exeFolder, &result.report);
    TvxLangLinked& lang = *module->vxLngLnk;
    // A missing file is no error: the language is applied to the empty lists.  A file that
    // failed leaves the module in language 1, as its report says.
    const bool fileFailed = !result.report.empty();
    try {
        lang.SetActiveLanguage(fileFailed ? 1 : activeLanguage);
    } catch (const std::exception& e) {
        if (result.report.empty())
            result.report = "Language " + std::to_string(activeLanguage) +
                            " of the product settings cannot be used: " + e.what();
        lang.SetActiveLanguage(1);
    }
    result.texts = ProductTextIds();
    for (std::string& slot : result.texts)
        if (!slot.empty())
            slot = lang.GetTextOrDefault(slot).value_or(std::string());
    return result;
}

} // namespace translation
