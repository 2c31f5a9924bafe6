#include "translation/settings/zemra_file_path.h"

#include "platform/registry.h"
#include "tests/platform/temp_dir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>

namespace translation {
namespace {

using platform::test::ReadBytes;
using platform::test::TempDir;
using platform::test::WriteBytes;
namespace fs = std::filesystem;

// A temporary executable folder, its registry file, its environment and a fixed host.
class ResolverTest : public ::testing::Test
{
protected:
    ResolverTest() : exe_(dir_.Path() + "/bin/"), registry_(dir_.File("registry.reg"))
    {
        fs::create_directories(exe_);
        env_["APPDATA"] = dir_.Path() + "/appdata";
    }

    void SetKey(const std::string& type, const std::string& base)
    {
        ASSERT_TRUE(registry_.WriteString(platform::Hive::LocalMachine, kZemraProKey,
                                          "LocationType", type));
        ASSERT_TRUE(
            registry_.WriteString(platform::Hive::LocalMachine, kZemraProKey, "BasePath", base));
    }

    ResolverInputs Inputs()
    {
        ResolverInputs inputs;
        inputs.exeFolder = exe_;
        inputs.registry = &registry_;
        inputs.environment = [this](const std::string& name) -> std::optional<std::string> {
            const auto it = env_.find(name);
            return it == env_.end() ? std::nullopt : std::optional<std::string>(it->second);
        };
        inputs.hostIdentity = [] { return platform::HostIdentity{"testhost", "10.1.2.3"}; };
        return inputs;
    }

    std::unique_ptr<ZemraLocations> Resolve()
    {
        auto locations = std::make_unique<ZemraLocations>(Inputs());
        locations->ResolveLocations();
        return locations;
    }

    TempDir dir_;
    std::string exe_;
    platform::RegistryFile registry_;
    std::map<std::string, std::string> env_;
};

TEST(LocationType, FromItsExactWord)
{
    struct Case
    {
        const char* word;
        LocationType kind;
    } cases[] = {
        {"static", LocationType::Static},
        {"pcname", LocationType::PcName},
        {"pcip", LocationType::PcIp},
        {"enviroment", LocationType::Environment},
        {"user", LocationType::User},
        {"default", LocationType::Default},
        {"", LocationType::Default},
        {"Static", LocationType::Default},
        {"environment", LocationType::Default},
        {" static", LocationType::Default},
    };
    for (const auto& c : cases)
        EXPECT_EQ(LocationTypeFromText(c.word), c.kind) << c.word;
}

TEST_F(ResolverTest, WithoutTheKeyEverythingIsBesideTheExecutable)
{
    const auto loc = Resolve();
    EXPECT_EQ(loc->ConfigFileName(), exe_ + "zemra.ini");
    EXPECT_EQ(loc->ConfigFolder(), exe_);
    EXPECT_EQ(loc->DataFolder(), exe_ + "Data/");
    EXPECT_EQ(loc->TempFolder(), exe_ + "temp/");
    EXPECT_EQ(loc->LogFolder(), exe_);
    EXPECT_EQ(loc->LangFolder(), exe_ + "Lang/");
    EXPECT_EQ(loc->XmlFolder(), exe_);
    for (const char* folder : {"Data", "temp", "Lang"})
        EXPECT_TRUE(fs::is_directory(exe_ + folder)) << folder;
    EXPECT_FALSE(fs::exists(exe_ + "zemra.ini")); // nothing was written to it
    ASSERT_NE(loc->Config(), nullptr);
    EXPECT_EQ(loc->Config()->FileName(), exe_ + "zemra.ini");
}

TEST_F(ResolverTest, TheFoldersFollowTheirStoredKinds)
{
    struct Case
    {
        const char* what;
        const char* ini;
        const char* temp;
        const char* lang;
    } cases[] = {
        {"BufDir when the temporary kind is the default",
         "[Path]\r\nTMPLocationType=default\r\nTMPLocation=.\\ignored\\\r\n[BufPth]\r\nBufDir="
         "buf\\\r\n",
         "buf/", "Lang/"},
        {"the stored temporary folder when its kind is not",
         "[Path]\r\nTMPLocationType=static\r\n[BufPth]\r\nBufDir=buf\\\r\n", "TMP/", "Lang/"},
        {"paths relative to the executable",
         "[Path]\r\nTMPLocationType=static\r\nTMPLocation=..\\var\\tmp\\\r\n"
         "LangLocationType=static\r\nLangLocation=..\\share\\Lang\\\r\n",
         "../var/tmp/", "../share/Lang/"},
        {"a kind word in other case is the default",
         "[Path]\r\nLangLocationType=Static\r\nLangLocation=elsewhere\\\r\n", "temp/", "Lang/"},
    };
    for (const auto& c : cases) {
        WriteBytes(exe_ + "zemra.ini", c.ini);
        const auto loc = Resolve();
        const std::string top = dir_.Path() + "/";
        const auto place = [&](const std::string& rel) {
            return rel.rfind("../", 0) == 0 ? top + rel.substr(3) : exe_ + rel;
        };
        EXPECT_EQ(loc->TempFolder(), place(c.temp)) << c.what;
        EXPECT_EQ(loc->LangFolder(), place(c.lang)) << c.what;
        EXPECT_TRUE(fs::is_directory(loc->TempFolder())) << c.what;
        EXPECT_TRUE(fs::is_directory(loc->LangFolder())) << c.what;
    }
}

TEST_F(ResolverTest, FirstRunCopiesTheDefaultFileWhole)
{
    const std::string defaults = "[Path]\r\nDataLocationType=static\r\nDataLocation=..\\data\\\r\n"
                                 "LogLocationType=static\r\nLogLocation=logs\\\r\n"
                                 "XMLLocationType=static\r\nXMLLocation=.\\xml\\\r\n"
                                 "[Language]\r\nLanguage=Eng\r\n";
    WriteBytes(exe_ + "zemra.ini", defaults);
    SetKey("static", "cfg/");
    const auto loc = Resolve();

    EXPECT_EQ(loc->ConfigFileName(), exe_ + "cfg/zemra.ini");
    // Every key of the default file, and the default file untouched.
    EXPECT_EQ(ReadBytes(exe_ + "cfg/zemra.ini"),
              "[Path]\r\nDataLocationType=static\r\nDataLocation=..\\data\\\r\n"
              "LogLocationType=static\r\nLogLocation=logs\\\r\n"
              "XMLLocationType=static\r\nXMLLocation=.\\xml\\\r\n\r\n"
              "[Language]\r\nLanguage=Eng\r\n");
    EXPECT_EQ(ReadBytes(exe_ + "zemra.ini"), defaults);
    EXPECT_EQ(loc->Config()->ReadValue("Language", "Language", ""), "Eng");
    EXPECT_TRUE(loc->Config()->Existed());
    EXPECT_EQ(loc->DataFolder(), dir_.Path() + "/data/");
    EXPECT_EQ(loc->LogFolder(), exe_ + "logs/");
    EXPECT_EQ(loc->XmlFolder(), exe_ + "xml/");
    for (const std::string& folder : {loc->DataFolder(), loc->LogFolder(), loc->XmlFolder()})
        EXPECT_TRUE(fs::is_directory(folder)) << folder;

    // The next start finds the copy and changes nothing.
    WriteBytes(exe_ + "zemra.ini", "[Language]\r\nLanguage=Rus\r\n");
    const auto again = Resolve();
    EXPECT_EQ(again->Config()->ReadValue("Language", "Language", ""), "Eng");
}

TEST_F(ResolverTest, TheKindsPlaceTheConfigurationFile)
{
    env_["VXROOT"] = dir_.Path() + "/root";
    env_["VXSUB"] = "sub";
    struct Case
    {
        const char* type;
        std::string base;
        std::string expected;
    } cases[] = {
        {"static", "cfg", exe_ + "cfg/zemra.ini"},
        {"static", "cfg\\..\\..\\etc\\", dir_.Path() + "/etc/zemra.ini"},
        {"pcname", "cfg\\", exe_ + "cfg/testhost/zemra.ini"},
        {"pcip", "cfg\\", exe_ + "cfg/10.1.2.3/zemra.ini"},
        {"pcname", "", exe_ + "testhost/zemra.ini"},
        {"enviroment", "%VXROOT%\\conf\\", dir_.Path() + "/root/conf/zemra.ini"},
        {"enviroment", "%UNSET%\\conf\\", exe_ + "%UNSET%/conf/zemra.ini"},
        {"user", "%VXSUB%\\", dir_.Path() + "/appdata/Kavex/sub/zemra.ini"},
        {"user", "", dir_.Path() + "/appdata/Kavex/zemra.ini"},
        {"static", "C:\\Kavex\\", exe_ + "zemra.ini"},      // drive form: the executable's
        {"static", "\\\\srv\\share\\", exe_ + "zemra.ini"}, // network form: the same
        {"static", dir_.Path() + "/abs\\", dir_.Path() + "/abs/zemra.ini"},
        {"Static", "cfg\\", exe_ + "zemra.ini"},
    };
    for (const auto& c : cases) {
        SetKey(c.type, c.base);
        const auto loc = Resolve();
        EXPECT_EQ(loc->ConfigFileName(), c.expected) << c.type << " " << c.base;
        EXPECT_TRUE(fs::is_directory(fs::path(c.expected).parent_path())) << c.expected;
    }
}

TEST_F(ResolverTest, AReadOnlyFileStaysAsItIs)
{
    fs::create_directories(exe_ + "cfg");
    const std::string text = "[Path]\r\nLangLocationType=static\r\nLangLocation=L\\\r\n";
    WriteBytes(exe_ + "cfg/zemra.ini", text);
    fs::permissions(exe_ + "cfg/zemra.ini", fs::perms::owner_read);
    WriteBytes(exe_ + "zemra.ini", "[Language]\r\nLanguage=Eng\r\n");
    SetKey("static", "cfg\\");
    const auto loc = Resolve();
    CZemraConfig& config = *loc->Config();
    EXPECT_TRUE(config.ReadOnly());
    EXPECT_EQ(loc->LangFolder(), exe_ + "L/");
    const CZemraConfig defaults(exe_ + "zemra.ini", true);
    EXPECT_FALSE(config.CopyFrom(defaults));
    config.WriteValue("Language", "Language", "Rus");
    config.EraseAll();
    EXPECT_EQ(ReadBytes(exe_ + "cfg/zemra.ini"), text);
}

TEST_F(ResolverTest, FoldersThatCannotBeCreatedFallBackToTheExecutablesFolder)
{
    WriteBytes(exe_ + "blocker", "a file where a folder would go");
    WriteBytes(exe_ + "zemra.ini",
               "[Path]\r\nConfLocationType=static\r\nConfLocation=blocker\\conf\\\r\n"
               "DataLocationType=static\r\nDataLocation=blocker\\data\\\r\n");
    SetKey("static", "blocker\\cfg\\");
    const auto loc = Resolve();
    EXPECT_EQ(loc->ConfigFileName(), exe_ + "zemra.ini");
    EXPECT_EQ(loc->ConfigFolder(), exe_);
    EXPECT_EQ(loc->DataFolder(), exe_ + "blocker/data/"); // resolved, not created, not replaced
    EXPECT_TRUE(fs::is_regular_file(exe_ + "blocker"));
}

TEST_F(ResolverTest, AnExecutableFolderThatCannotBeWrittenCreatesNothing)
{
    WriteBytes(dir_.File("file"), "");
    ResolverInputs inputs = Inputs();
    inputs.exeFolder = dir_.File("file") + "/bin"; // the delimiter is added
    ZemraLocations loc(inputs);
    loc.ResolveLocations();
    EXPECT_EQ(loc.ConfigFileName(), dir_.File("file") + "/bin/zemra.ini");
    EXPECT_EQ(loc.DataFolder(), dir_.File("file") + "/bin/Data/");
    ASSERT_NE(loc.Config(), nullptr);
    EXPECT_EQ(loc.Config()->ReadValue("Path", "DataLocation", "?"), "?");
    std::vector<std::string> left;
    for (const auto& entry : fs::directory_iterator(dir_.Path()))
        left.push_back(entry.path().filename().string());
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::string>{"bin", "file"}));
}

TEST_F(ResolverTest, TheProcessResolverLivesWithItsHolder)
{
    EXPECT_EQ(GetConfigFileName(), "");
    EXPECT_EQ(ZemraConfig(), nullptr);
    {
        ZemraFilePath holder(Inputs());
        EXPECT_EQ(GetConfigFileName(), exe_ + "zemra.ini");
        ASSERT_NE(ZemraConfig(), nullptr);
        {
            ResolverInputs other = Inputs();
            other.exeFolder = dir_.Path() + "/other/";
            ZemraFilePath nested(other); // the first holder stays the process's
            EXPECT_EQ(GetConfigFileName(), exe_ + "zemra.ini");
        }
        EXPECT_EQ(GetConfigFileName(), exe_ + "zemra.ini");
        EXPECT_FALSE(fs::exists(dir_.Path() + "/other"));
    }
    EXPECT_EQ(GetConfigFileName(), "");
    EXPECT_EQ(ProcessLocations(), nullptr);
}

} // namespace
} // namespace translation
