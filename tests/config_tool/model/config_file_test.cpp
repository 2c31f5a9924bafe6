#include "config_tool/model/config_file.h"

#include "tests/platform/temp_dir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fcntl.h>
#include <filesystem>
#include <future>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace model {
namespace {

using platform::test::ReadBytes;
using platform::test::WriteBytes;

class ConfigFile : public testing::Test
{
protected:
    ConfigFile()
    {
        for (std::size_t k = 0; k < kImageSize; ++k)
            image[k] = static_cast<uint8_t>(k * 7 + k / 256);
        for (std::size_t n = 0; n < 8; ++n)
            for (std::size_t b = 0; b < 8; ++b)
                codes[n][b] = static_cast<uint8_t>(0x10 * n + b + 1);
    }
    std::string Saved(const std::string& model)
    {
        const std::string path = dir.File("saved.kconf");
        EXPECT_TRUE(SaveConfigFile(path, model, image, codes));
        return ReadBytes(path);
    }
    std::string Load(const std::string& bytes, std::optional<std::string_view> unit)
    {
        const std::string path = dir.File("load.kconf");
        WriteBytes(path, bytes);
        loaded = LoadConfigFile(path, unit);
        return loaded.modelName;
    }
    void ExpectNothingTaken() const
    {
        EXPECT_TRUE(loaded.modelName.empty());
        EXPECT_EQ(loaded.image, Image{});
        EXPECT_EQ(loaded.codes, KeyCodes{});
    }

    platform::test::TempDir dir;
    Image image{};
    KeyCodes codes{};
    LoadedConfig loaded;
};

TEST_F(ConfigFile, SavedLayout)
{
    const std::string file = Saved("КЛВ");
    ASSERT_EQ(file.size(), 7828u);
    EXPECT_EQ(file.substr(0, 5), std::string("\0\0\0\2\0", 5));
    EXPECT_EQ(file.substr(5, 71), std::string(71, '\0'));
    EXPECT_EQ(file.substr(76, kImageSize), std::string(image.begin(), image.end()));
    EXPECT_EQ(static_cast<uint8_t>(file[7752]), codes[0][0]);
    EXPECT_EQ(static_cast<uint8_t>(file[7752 + 8 * 7 + 7]), codes[7][7]);
    EXPECT_EQ(file.substr(7816), std::string(image.end() - 12, image.end()));
    EXPECT_EQ(Saved("ВД")[4], '\1');
    EXPECT_EQ(Saved("")[4], '\1');
    EXPECT_EQ(Saved("клв")[4], '\1');
}

TEST_F(ConfigFile, RoundTripAndModel)
{
    struct Case
    {
        std::string saved;
        std::optional<std::string_view> unit;
        std::string model;
    };
    const Case cases[] = {
        {"КЛВ", std::nullopt, "КЛВ"},
        {"ВД", std::nullopt, "ВД"},
        {"КЛВ", "КЛВ", "КЛВ"},
        {"ВД", "ВД", "ВД"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Load(Saved(c.saved), c.unit), c.model) << c.saved;
        EXPECT_EQ(loaded.status, LoadStatus::Ok);
        EXPECT_EQ(loaded.image, image);
        EXPECT_EQ(loaded.codes, codes);
        EXPECT_TRUE(LoadMessages(loaded.status).empty());
    }
    // Any non-zero model byte names the indicator model when no unit was read.
    std::string file = Saved("КЛВ");
    file[4] = 7;
    EXPECT_EQ(Load(file, std::nullopt), "ВД");
}

TEST_F(ConfigFile, RecordsPastTheLastAreIgnored)
{
    const std::string file = Saved("ВД");
    Load(file + std::string(76 * 3 + 5, '\x55'), std::nullopt);
    EXPECT_EQ(loaded.status, LoadStatus::Ok);
    EXPECT_EQ(loaded.image, image);
    EXPECT_EQ(loaded.codes, codes);
}

// A failed load hands back nothing, the model included: a short file of the other model must
// not relabel the configuration on screen.
TEST_F(ConfigFile, IncompleteFilesAreUnreadable)
{
    const std::string file = Saved("ВД");
    const std::size_t sizes[] = {0, 1, 75, 76, 76 * 102, 7827};
    for (std::size_t size : sizes) {
        Load(file.substr(0, size), std::nullopt);
        EXPECT_EQ(loaded.status, LoadStatus::Unreadable) << size;
        ExpectNothingTaken();
        EXPECT_EQ(LoadMessages(loaded.status), std::vector<int>{9});
    }
    loaded = LoadConfigFile(dir.File("missing.kconf"), std::nullopt);
    EXPECT_EQ(loaded.status, LoadStatus::Unreadable);
    loaded = LoadConfigFile(dir.Path(), std::nullopt);
    EXPECT_EQ(loaded.status, LoadStatus::Unreadable);
}

// Refused whether or not a unit was read, also when the model byte would fit the unit.
TEST_F(ConfigFile, ForeignHeaderIsRefused)
{
    const std::optional<std::string_view> units[] = {std::nullopt, "КЛВ", "ВД"};
    for (const char* saved : {"КЛВ", "ВД"}) {
        const std::string file = Saved(saved);
        for (const auto& unit : units) {
            for (std::size_t at : {0u, 1u, 2u, 3u}) {
                SCOPED_TRACE(::testing::Message() << saved << " file, unit " << unit.value_or("none")
                                                  << ", header byte " << at);
                std::string foreign = file;
                foreign[at] = at == 3 ? '\1' : '\2';
                Load(foreign, unit);
                EXPECT_EQ(loaded.status, LoadStatus::ForeignHeader);
                ExpectNothingTaken();
                EXPECT_EQ(LoadMessages(loaded.status), (std::vector<int>{31, 9}));
            }
        }
    }
}

TEST_F(ConfigFile, ModelOfTheUnitReadMustMatch)
{
    struct Case
    {
        std::string saved;
        std::string_view unit;
        uint8_t modelByte;
    };
    const Case cases[] = {{"КЛВ", "ВД", 0}, {"ВД", "КЛВ", 1}, {"ВД", "ВД", 2}};
    for (const Case& c : cases) {
        std::string file = Saved(c.saved);
        file[4] = static_cast<char>(c.modelByte);
        Load(file, c.unit);
        EXPECT_EQ(loaded.status, LoadStatus::ModelMismatch) << c.saved << " " << c.unit;
        ExpectNothingTaken();
        EXPECT_EQ(LoadMessages(loaded.status), (std::vector<int>{32, 9}));
    }
    // The model is checked before the length, as the messages come in that order.
    Load(Saved("КЛВ").substr(0, 500), "ВД");
    EXPECT_EQ(loaded.status, LoadStatus::ModelMismatch);
}

// Choosing a FIFO, a device or a folder in the open dialog must not hold the window: each is
// refused at once as an unreadable file (message 9), without waiting for data.
TEST_F(ConfigFile, NonRegularFilesFailAtOnce)
{
    const std::string fifo = dir.File("pipe.kconf");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    for (const std::string& path :
         {fifo, std::string("/dev/zero"), std::string("/dev/null"), dir.Path()}) {
        auto load = std::async(std::launch::async, [&] { return LoadConfigFile(path, "КЛВ"); });
        if (load.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
            // Give a blocked reader its writer and an end of file, so the test can end.
            const int w = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
            if (w >= 0)
                ::close(w);
            ADD_FAILURE() << path << " blocked the load";
        }
        const LoadedConfig result = load.get();
        EXPECT_EQ(result.status, LoadStatus::Unreadable) << path;
        EXPECT_EQ(LoadMessages(result.status), std::vector<int>{9}) << path;
    }
}

TEST_F(ConfigFile, FailedSaveKeepsTheOldFile)
{
    const std::string path = dir.File("keep.kconf");
    ASSERT_TRUE(SaveConfigFile(path, "КЛВ", image, codes));
    const std::string old = ReadBytes(path);
    image.fill(0);

    // A read-only file is refused, even for root, and stays as it was.
    namespace fs = std::filesystem;
    fs::permissions(path, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    EXPECT_FALSE(SaveConfigFile(path, "ВД", image, codes));
    EXPECT_EQ(ReadBytes(path), old);
    fs::permissions(path, fs::perms::owner_write, fs::perm_options::add);

    // No folder to write into.
    EXPECT_FALSE(SaveConfigFile(path + "/inside.kconf", "ВД", image, codes));
    EXPECT_FALSE(SaveConfigFile(dir.File("none/x.kconf"), "ВД", image, codes));
    EXPECT_FALSE(SaveConfigFile("", "ВД", image, codes));
    EXPECT_EQ(ReadBytes(path), old);

    // A successful save leaves only the file itself in the folder.
    ASSERT_TRUE(SaveConfigFile(path, "ВД", image, codes));
    EXPECT_NE(ReadBytes(path), old);
    int entries = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(dir.Path()))
        ++entries;
    EXPECT_EQ(entries, 1);
}

TEST_F(ConfigFile, SaveIntoAReadOnlyFolderFails)
{
    namespace fs = std::filesystem;
    const std::string path = dir.File("ro.kconf");
    ASSERT_TRUE(SaveConfigFile(path, "КЛВ", image, codes));
    const std::string old = ReadBytes(path);
    if (::geteuid() != 0) {
        fs::permissions(dir.Path(), fs::perms::owner_read | fs::perms::owner_exec);
        EXPECT_FALSE(SaveConfigFile(path, "ВД", FactoryImage(), codes));
        fs::permissions(dir.Path(), fs::perms::owner_all);
        EXPECT_EQ(ReadBytes(path), old);
        return;
    }
    // Root may write any folder: the save runs in a child that has become an unprivileged user,
    // who owns the folder and may read it but not write it.
    constexpr uid_t kNobody = 65534;
    ASSERT_EQ(::chown(dir.Path().c_str(), kNobody, kNobody), 0);
    ASSERT_EQ(::chown(path.c_str(), kNobody, kNobody), 0);
    fs::permissions(dir.Path(), fs::perms::owner_read | fs::perms::owner_exec);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (::setgid(kNobody) != 0 || ::setuid(kNobody) != 0)
            ::_exit(2);
        ::_exit(SaveConfigFile(path, "ВД", FactoryImage(), codes) ? 1 : 0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    fs::permissions(dir.Path(), fs::perms::owner_all);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 2)
        GTEST_SKIP() << "this machine lets root take no other user's identity";
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the save into the read-only folder succeeded";
    EXPECT_EQ(ReadBytes(path), old);
}

TEST_F(ConfigFile, SaveThroughALinkReplacesItsTarget)
{
    const std::string target = dir.File("target.kconf");
    const std::string link = dir.File("link.kconf");
    ASSERT_TRUE(SaveConfigFile(target, "КЛВ", image, codes));
    std::filesystem::create_symlink(target, link);
    ASSERT_TRUE(SaveConfigFile(link, "ВД", image, codes));
    EXPECT_TRUE(std::filesystem::is_symlink(link));
    EXPECT_EQ(ReadBytes(target)[4], '\1');
}

} // namespace
} // namespace model
