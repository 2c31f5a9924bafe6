#include "app/program_start.h"

#include "platform/text1251.h"
#include "xmlrpc/rpc_log.h"

#include <cstdio>
#include <filesystem>

namespace app {

ProgramStart::ProgramStart(translation::ResolverInputs inputs, const std::string& exeFolder)
    : settings_(inputs)
{
    // The XML-RPC logs' switch: the key is made when missing, "CreateWriteFile" turns them on.
    if (inputs.registry)
        xrpc::InitRpcLogs(*inputs.registry);
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

std::string ProgramStart::StartSummary(int windowLanguage, int reportsShown) const
{
    const translation::TDMLang* module = translation::LanguageDataModule();
    std::string line =
        "language=" + std::to_string(module ? module->vxLngLnk->ActiveLanguage() : 0) +
        " windows=" + std::to_string(windowLanguage) + " reports=" + std::to_string(reportsShown) +
        " texts=";
    for (const std::string& text : language_.texts)
        line += platform::Cp1251ToUtf8(text) + '|';
    return line;
}

int ThreadCount()
{
    std::error_code ec;
    int count = 0;
    for (std::filesystem::directory_iterator it("/proc/self/task", ec), end; !ec && it != end;
         it.increment(ec))
        ++count;
    return ec || count == 0 ? -1 : count;
}

} // namespace app
