#pragma once
// The program's units in their start-up order, before any window: the path helpers and the
// resolver of zemra.ini (with the working folders), the XML-RPC logs' switch from the registry, the active language read from it, the
// translation classes registered, the language data module loading Lang/trans1.vxb.  They end
// in the reverse order when the object goes; each is owned in one place.

#include "translation/lang/dm_lang.h"
#include "translation/settings/zemra_file_path.h"

#include <QString>

#include <optional>
#include <string>

namespace app {

class ProgramStart
{
public:
    // `exeFolder` ending in '/': where Lang/trans1.vxb is looked for.  A QCoreApplication must
    // exist.
    ProgramStart(translation::ResolverInputs inputs, const std::string& exeFolder);
    ~ProgramStart();
    ProgramStart(const ProgramStart&) = delete;
    ProgramStart& operator=(const ProgramStart&) = delete;

    const translation::ProductTexts& ProductTexts() const { return language_.texts; }
    // The one failure of the language start-up (empty when none), already written to the log.
    const std::string& Report() const { return language_.report; }
    // The report as the operator reads it: English when `english`, else Russian.
    QString ReportMessage(bool english) const;
    // The start-check line (see main.cpp): the language data module's language, the windows'
    // language flag, how many reports are on screen, and the 17 product texts in UTF-8, each
    // ended by '|'.
    std::string StartSummary(int windowLanguage, int reportsShown) const;

private:
    translation::ZemraFilePath settings_; // first made, last freed
    translation::LanguageStartResult language_;
};

// Threads of this process (-1 when the system does not say).
int ThreadCount();

} // namespace app
