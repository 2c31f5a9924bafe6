// The real program, started as a child process offscreen with `--start-check`, in a scratch home
// whose registry names zemra.ini through the ZEMRA_PRO key: the language data module takes the
// active language and fills the product texts; a bad language or translation file still starts
// the program with one report; the program ends by itself with status 0, and in the sanitizer
// build the leak checker finds nothing at its exit.

#include "platform/registry.h"
#include "tests/app/translation_file.h"
#include "tests/platform/temp_dir.h"
#include "translation/lang/vxb_file.h"
#include "translation/settings/zemra_file_path.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace {

using namespace translation;
using app::test::TranslationFile;
namespace fs = std::filesystem;
using platform::test::ReadBytes;
using platform::test::WriteBytes;

struct ChildRun
{
    int status = -1; // the exit status; 128 + signal when killed, -1 when it did not end
    std::string out, err;
};

// Runs `program` with `args` in `env` (NAME=value entries), its output collected in `dir`.
// A machine loaded by parallel builds may take long to start Qt: the limit is generous, and a
// program that outlives it is killed and reported as not ended.
ChildRun RunProgram(const std::string& program, const std::vector<std::string>& args,
                    const std::vector<std::string>& env, const std::string& dir)
{
    const std::string outFile = dir + "/stdout.txt", errFile = dir + "/stderr.txt";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
    posix_spawn_file_actions_addopen(&actions, 2, errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (const std::string& e : env)
        envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
    pid_t pid = -1;
    const int spawned =
        posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ChildRun run;
    if (spawned != 0)
        return run;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(90);
    int wstatus = 0;
    for (;;) {
        if (::waitpid(pid, &wstatus, WNOHANG) == pid) {
            run.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
            break;
        }
        if (std::chrono::steady_clock::now() >= end) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &wstatus, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    run.out = ReadBytes(outFile);
    run.err = ReadBytes(errFile);
    return run;
}

// The environment the program is started with: this one's (the sanitizers' options included),
// with the home, the configuration folder and the registry of the scratch folder, offscreen.
std::vector<std::string> ChildEnvironment(const std::string& home)
{
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry = *e;
        const std::string name = entry.substr(0, entry.find('='));
        if (name != "HOME" && name != "XDG_CONFIG_HOME" && name != "VENDAXO_REGISTRY" &&
            name != "QT_QPA_PLATFORM" && name != "LSAN_OPTIONS")
            env.push_back(entry);
    }
    env.push_back("HOME=" + home);
    env.push_back("QT_QPA_PLATFORM=offscreen");
    // Fontconfig keeps its caches until the process exits; nothing else may be left.
    const char* lsan = std::getenv("LSAN_OPTIONS");
    env.push_back(std::string("LSAN_OPTIONS=") + (lsan != nullptr && *lsan != '\0'
                                                      ? lsan
                                                      : "suppressions=" VENDAXO_SOURCE_DIR
                                                        "/tests/lsan.supp"));
    return env;
}

// The 17 product texts as the program prints them, each ended by '|': `filled` gives the
// non-empty ones by their 1-based slot.
std::string Texts(std::initializer_list<std::pair<int, std::string>> filled)
{
    std::vector<std::string> all(17);
    for (const auto& [slot, text] : filled)
        all.at(static_cast<std::size_t>(slot) - 1) = text;
    std::string line;
    for (const std::string& text : all)
        line += text + '|';
    return line;
}

// How often `part` occurs in `text`.
int CountLines(const std::string& text, const std::string& part)
{
    int count = 0;
    for (std::size_t at = 0; (at = text.find(part, at)) != std::string::npos; at += part.size())
        ++count;
    return count;
}

TEST(ProgramRun, StartsInTheActiveLanguageReportsOnceAndEndsCleanly)
{
    const std::string shipped =
        ReadBytes(fs::path(VENDAXO_PROGRAM).parent_path() / "Lang/trans1.vxb");
    ASSERT_FALSE(shipped.empty()) << "the translation file is made with the program";
    // UCF_1 is slot 1, UCF_10 slots 10 and 16.
    const std::string english = Texts({{1, "Product"}, {10, "Yes"}, {16, "Yes"}});
    const std::string russian = Texts({{1, "Изделие"}, {10, "Да"}, {16, "Да"}});
    const struct
    {
        const char* what;
        const char* activeLanguage;
        std::string file;    // empty: none
        const char* windows; // the windows' language in Settings.ini
        int language;
        std::string texts; // the product texts as printed (the start of them for the shipped file)
        bool report;
    } cases[] = {
        {"shipped file, language 2", "2", shipped, "Rus", 2, "T4700 configurator|File|Unit|",
         false},
        {"language 2", "2", TranslationFile(), "Eng", 2, english + "\n", false},
        {"language 3 of 2", "3", TranslationFile(), "Eng", 1, russian + "\n", true},
        {"damaged file", "2", TranslationFile().substr(0, 100), "Rus", 1, Texts({}) + "\n", true},
        // A missing file is no error: no report, and the language is applied all the same.
        {"no file", "2", "", "Eng", 2, Texts({}) + "\n", false},
    };
    // One copy of the program for every case: it looks for Lang/trans1.vxb beside itself.
    platform::test::TempDir dir;
    const std::string bin = dir.Path() + "/bin/";
    fs::create_directories(bin + "Lang");
    std::error_code ec;
    fs::create_hard_link(VENDAXO_PROGRAM, bin + "vendaxo", ec);
    if (ec)
        fs::copy_file(VENDAXO_PROGRAM, bin + "vendaxo", fs::copy_options::overwrite_existing);
    int n = 0;
    for (const auto& c : cases) {
        const std::string home = dir.Path() + "/home" + std::to_string(++n);
        // The registry names zemra.ini in the user's folder of the configuration home.
        fs::create_directories(home + "/.config/vendaxo");
        platform::RegistryFile registry(home + "/.config/vendaxo/registry.reg");
        ASSERT_TRUE(registry.WriteString(platform::Hive::LocalMachine, kZemraProKey, "LocationType",
                                         "user"));
        ASSERT_TRUE(registry.WriteString(platform::Hive::LocalMachine, kZemraProKey, "BasePath",
                                         "Zemra\\"));
        fs::create_directories(home + "/.config/Kavex/Zemra");
        WriteBytes(home + "/.config/Kavex/Zemra/zemra.ini",
                   std::string("[Language]\r\nActiveLanguage=") + c.activeLanguage + "\r\n");
        fs::remove(bin + "Lang/trans1.vxb", ec);
        if (!c.file.empty())
            WriteBytes(bin + "Lang/trans1.vxb", c.file);
        // The windows read their own language from Settings.ini beside the program.
        WriteBytes(bin + "Settings.ini",
                   std::string("[Language]\r\nLanguage=") + c.windows + "\r\n");

        const ChildRun run =
            RunProgram(bin + "vendaxo", {"--start-check"}, ChildEnvironment(home), home);
        EXPECT_EQ(run.status, 0) << c.what << "\n" << run.err;
        const std::string started =
            "vendaxo started: shown=1 language=" + std::to_string(c.language) +
            " windows=" + (c.windows == std::string("Eng") ? "1" : "0") +
            " reports=" + (c.report ? "1" : "0") + " texts=" + c.texts;
        EXPECT_EQ(CountLines(run.out, started), 1) << c.what << "\n" << run.out;
        EXPECT_EQ(CountLines(run.out, "vendaxo ended: status=0 threads=1\n"), 1) << c.what << "\n"
                                                                                 << run.out;
        EXPECT_EQ(CountLines(run.err, "the language module goes on in language 1"), c.report)
            << c.what << "\n"
            << run.err;
        for (const char* finding : {"LeakSanitizer", "AddressSanitizer", "runtime error"})
            EXPECT_EQ(CountLines(run.err, finding), 0) << c.what << "\n" << run.err;
    }
}

// The program copied alone into a folder: no Lang/ folder, no translation file, no settings.  A
// missing translation file is no error, so nothing but the main window opens.
TEST(ProgramRun, AloneInAFolderStartsWithoutAReport)
{
    platform::test::TempDir dir;
    const std::string bin = dir.Path() + "/alone/";
    fs::create_directories(bin);
    std::error_code ec;
    fs::create_hard_link(VENDAXO_PROGRAM, bin + "vendaxo", ec);
    if (ec)
        fs::copy_file(VENDAXO_PROGRAM, bin + "vendaxo", fs::copy_options::overwrite_existing);
    const std::string home = dir.Path() + "/home";
    fs::create_directories(home);
    const ChildRun run =
        RunProgram(bin + "vendaxo", {"--start-check"}, ChildEnvironment(home), home);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(CountLines(run.out, "vendaxo started: shown=1 language=1 windows=0 reports=0 "
                                  "texts=" +
                                      Texts({}) + "\n"),
              1)
        << run.out;
    EXPECT_EQ(CountLines(run.err, "the language module goes on"), 0) << run.err;
}

} // namespace
