// The program's start before its windows: zemra.ini found through the registry, its active
// language put on the language data module with the product texts, and a bad language or file
// reported once while the program starts all the same; the windows keep following Settings.ini.

#include "app/program_start.h"
#include "config_tool/ui/main_program.h"
#include "platform/registry.h"
#include "tests/app/translation_file.h"
#include "tests/platform/temp_dir.h"
#include "translation/lang/vxb_file.h"
#include "xmlrpc/rpc_log.h"

#include <QApplication>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace {

using namespace translation;
using app::test::TranslationFile;
namespace fs = std::filesystem;

QApplication& App()
{
    static int argc = 1;
    static char name[] = "app_start_test";
    static char* argv[] = {name, nullptr};
    static QApplication app(argc, argv);
    return app;
}

void Write(const std::string& path, const std::string& bytes)
{
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << bytes;
}

// zemra.ini is read as the product family reads it: blanks around the header, the name and the
// value, and one pair of quotes, are no part of them.
TEST(ProgramStart, ActiveLanguageSpellings)
{
    const struct
    {
        const char* text;
        int language;
    } cases[] = {
        {"[Language]\r\nActiveLanguage=2\r\n", 2},   {"[Language]\r\nActiveLanguage = 2\r\n", 2},
        {"[Language]\r\nActiveLanguage=2 \r\n", 2},  {"[Language]\r\nActiveLanguage=\"2\"\r\n", 2},
        {"[Language] \r\nActiveLanguage=2\r\n", 2},  {"[language]\nactivelanguage=0x2\n", 2},
        {"[Language]\rActiveLanguage=2\r", 2},       {"[Language]\r\nActiveLanguage=3\r\n", 3},
        {"[Language]\r\nActiveLanguage=two\r\n", 1}, {"[Language]\r\nActiveLanguage=\r\n", 1},
        {"[Other]\r\nActiveLanguage=2\r\n", 1},
    };
    for (const auto& c : cases) {
        platform::test::TempDir dir;
        Write(dir.File("zemra.ini"), c.text);
        TActiveZemraLanguage::Read(dir.File("zemra.ini"));
        EXPECT_EQ(TActiveZemraLanguage::GetActiveLanguage(), c.language) << c.text;
        EXPECT_EQ(TActiveZemraLanguage::LanguageCode(), c.language == 2 ? "ENG" : "RUS") << c.text;
    }
    TActiveZemraLanguage::Clear();
}

// A start of the executable in exe with registry, and a fixed environment and host.
ResolverInputs StartInputs(const std::string& exe, platform::RegistryFile& registry)
{
    ResolverInputs inputs;
    inputs.exeFolder = exe;
    inputs.registry = &registry;
    inputs.environment = [](const std::string&) { return std::nullopt; };
    inputs.hostIdentity = [] { return platform::HostIdentity{"host", "10.0.0.1"}; };
    return inputs;
}

TEST(ProgramStart, ActiveLanguageFromTheRegistrysZemraIniAndOneReportOnFailure)
{
    App();
    const struct
    {
        const char* what;
        const char* activeLanguage;
        std::string file; // empty: none
        int language;
        const char* product; // UCF_1
        const char* yes;     // UCF_10, slots 10 and 16
        bool report;
    } cases[] = {
        {"language 2", "2", TranslationFile(), 2, "Product", "Yes", false},
        {"language 1", "1", TranslationFile(), 1, "\xC8\xE7\xE4\xE5\xEB\xE8\xE5", "\xC4\xE0",
         false},
        {"language 3 of 2", "3", TranslationFile(), 1, "\xC8\xE7\xE4\xE5\xEB\xE8\xE5", "\xC4\xE0",
         true},
        {"not a number", "x", TranslationFile(), 1, "\xC8\xE7\xE4\xE5\xEB\xE8\xE5", "\xC4\xE0",
         false},
        {"damaged file", "2", TranslationFile().substr(0, 100), 1, "", "", true},
        // A missing file is no error: the language is still applied, to empty lists.
        {"no file", "2", "", 2, "", "", false},
        {"no file, language 1", "1", "", 1, "", "", false},
    };
    for (const auto& c : cases) {
        platform::test::TempDir dir;
        const std::string exe = dir.Path() + "/bin/";
        fs::create_directories(exe);
        platform::RegistryFile registry(dir.File("registry.reg"));
        ASSERT_TRUE(registry.WriteString(platform::Hive::LocalMachine, kZemraProKey, "LocationType",
                                         "static"));
        ASSERT_TRUE(
            registry.WriteString(platform::Hive::LocalMachine, kZemraProKey, "BasePath", "cfg/"));
        Write(exe + "cfg/zemra.ini",
              std::string("[Language]\r\nActiveLanguage=") + c.activeLanguage + "\r\n");
        if (!c.file.empty())
            Write(exe + "Lang/trans1.vxb", c.file);
        // The windows read their own language from Settings.ini.
        Write(exe + "Settings.ini", "[Language]\r\nLanguage=Eng\r\n");

        const ResolverInputs inputs = StartInputs(exe, registry);
        {
            app::ProgramStart units(inputs, exe);
            EXPECT_EQ(GetConfigFileName(), exe + "cfg/zemra.ini") << c.what;
            ASSERT_NE(LanguageDataModule(), nullptr) << c.what;
            EXPECT_EQ(LanguageDataModule(), GetLanguageDataModule(exe)) << "one module";
            EXPECT_EQ(LanguageDataModule()->vxLngLnk->ActiveLanguage(), c.language) << c.what;
            EXPECT_EQ(TActiveZemraLanguage::LanguageCode(),
                      std::string(c.activeLanguage) == "2" ? "ENG" : "RUS")
                << c.what;
            EXPECT_EQ(units.ProductTexts()[0], c.product) << c.what;
            EXPECT_EQ(units.ProductTexts()[9], c.yes) << c.what;
            EXPECT_EQ(units.ProductTexts()[15], c.yes) << c.what;
            EXPECT_EQ(units.ProductTexts()[10], "") << c.what;
            EXPECT_EQ(!units.Report().empty(), c.report) << c.what << ": " << units.Report();

            ui::MainWindowSetup setup;
            setup.exeFolder = QString::fromStdString(exe);
            setup.registry = &registry;
            ui::MainProgram program(setup);
            program.FormMain().show();
            EXPECT_EQ(program.FormMain().LanguageFlag(), 1) << c.what;
            EXPECT_TRUE(units.ReportMessage(true).startsWith("The product texts")) << c.what;
        }
        EXPECT_EQ(LanguageDataModule(), nullptr) << "freed at the end";
        EXPECT_EQ(GetConfigFileName(), "");
        EXPECT_EQ(TActiveZemraLanguage::GetActiveLanguage(), 1);
    }
}

// The start makes the XML-RPC logs' key and switches the optional logs on only when the value
// "CreateWriteFile" is under it.
TEST(ProgramStart, SwitchesTheRpcLogsFromTheRegistry)
{
    App();
    for (const bool value : {true, false, true}) {
        SCOPED_TRACE(value);
        platform::test::TempDir dir;
        const std::string exe = dir.Path() + "/bin/";
        fs::create_directories(exe);
        platform::RegistryFile registry(dir.File("registry.reg"));
        if (value) {
            ASSERT_TRUE(registry.WriteString(platform::Hive::LocalMachine, xrpc::kRpcLogKey,
                                             "CreateWriteFile", ""));
        }
        const ResolverInputs inputs = StartInputs(exe, registry);
        {
            app::ProgramStart units(inputs, exe);
            EXPECT_EQ(xrpc::RpcLogsEnabled(), value);
        }
        EXPECT_TRUE(registry.KeyExists(platform::Hive::LocalMachine, xrpc::kRpcLogKey));
    }
    xrpc::SetRpcLogsEnabled(false);
}

} // namespace
