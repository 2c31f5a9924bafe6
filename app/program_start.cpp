#include "app/program_start.h"

#include <cstdio>

namespace app {

ProgramStart::ProgramStart(translation::ResolverInputs inputs, const std::string& exeFolder)
    : settings_(std::move(inputs))
{
    translation::TActiveZemraLanguage::Read(translation::GetConfigFileName());
    language_ = translation::StartLanguageModule(
        exeFolder, translation::TActiveZemraLanguage::GetActiveLanguage());
    if (!language_.report.empty())
        std::fprintf(stderr, "vendaxo: the language module goes on in language 1: %s\n",
                     language_.report.c_str());
}

ProgramStart::~ProgramStart()
{
    translation::FreeLanguageDataModule();
    translation::TActiveZemraLanguage::Clear();
}

QString ProgramStart::ReportMessage(bool english) const
{
    const QString detail = QString::fromStdString(language_.report);
    return english ? QStringLiteral("The product texts are shown in language 1: ") + detail
                   : QString::fromUtf8("Тексты изделия показаны на языке 1: ") + detail;
}

} // namespace app
