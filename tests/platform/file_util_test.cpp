#include "platform/file_util.h"

#include "platform/last_error.h"
#include "temp_dir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <vector>

namespace platform {
namespace {

namespace fs = std::filesystem;

size_t EntriesIn(const std::string& folder)
{
    size_t n = 0;
    for ([[maybe_unused]] const auto& e : fs::directory_iterator(folder))
        ++n;
    return n;
}

TEST(SafeReplace, ReplacesWholeAndLeavesNoTemporaryBehind)
{
    test::TempDir dir;
    const std::string file = dir.File("a.kconf");
    ASSERT_TRUE(ReplaceFile(file, "first"));
    ::chmod(file.c_str(), 0640);
    ASSERT_TRUE(ReplaceFile(file, std::string("second\0x", 8)));
    EXPECT_EQ(test::ReadBytes(file), std::string("second\0x", 8));
    EXPECT_EQ(fs::status(file).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    EXPECT_EQ(EntriesIn(dir.Path()), 1u);

    // A missing folder is made only when asked for.
    EXPECT_FALSE(ReplaceFile(dir.File("sub/b.ini"), "x"));
    EXPECT_TRUE(ReplaceFile(dir.File("sub/b.ini"), "x", true));
    EXPECT_FALSE(ReplaceFile(dir.File("sub/"), "x"));
    EXPECT_FALSE(ReplaceFile("", "x"));
}

TEST(SafeReplace, ReadOnlyTargetIsRefusedEvenForRoot)
{
    test::TempDir dir;
    const std::string file = dir.File("ro.kconf");
    test::WriteBytes(file, "keep");
    ::chmod(file.c_str(), 0444);
    EXPECT_TRUE(IsReadOnlyFile(file));
    EXPECT_FALSE(ReplaceFile(file, "lost"));
    EXPECT_EQ(LastError(), kErrorAccessDenied);
    EXPECT_EQ(test::ReadBytes(file), "keep");
    EXPECT_EQ(EntriesIn(dir.Path()), 1u);
    EXPECT_FALSE(IsReadOnlyFile(dir.File("missing")));

    // A folder under the name is not a file to replace either.
    fs::create_directory(dir.File("folder"));
    EXPECT_FALSE(ReplaceFile(dir.File("folder"), "x"));
}

TEST(SafeReplace, SymbolicLinkStaysAndItsTargetIsReplaced)
{
    test::TempDir dir;
    fs::create_directory(dir.File("real"));
    const std::string real = dir.File("real/settings.ini");
    test::WriteBytes(real, "old");
    fs::create_symlink("real/settings.ini", dir.File("link.ini"));
    ASSERT_TRUE(ReplaceFile(dir.File("link.ini"), "new"));
    EXPECT_TRUE(fs::is_symlink(dir.File("link.ini")));
    EXPECT_EQ(test::ReadBytes(real), "new");
}

TEST(SafeReplace, SimultaneousSavesOfOneFileNeverMix)
{
    test::TempDir dir;
    const std::string file = dir.File("same.kconf");
    std::vector<std::thread> writers;
    for (char c : std::string("abcdefgh"))
        writers.emplace_back([&file, c] {
            for (int i = 0; i < 50; ++i)
                EXPECT_TRUE(ReplaceFile(file, std::string(20000, c)));
        });
    for (auto& t : writers)
        t.join();
    const std::string got = test::ReadBytes(file);
    ASSERT_EQ(got.size(), 20000u);
    EXPECT_EQ(got.find_first_not_of(got[0]), std::string::npos);
    EXPECT_EQ(EntriesIn(dir.Path()), 1u);
}

TEST(WholeFileRead, FifoAndFolderFailAtOnce)
{
    test::TempDir dir;
    const std::string fifo = dir.File("pipe");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_FALSE(detail::ReadWholeFile(fifo).has_value()); // would block without a writer
    EXPECT_FALSE(detail::ReadWholeFile(dir.Path()).has_value());
    EXPECT_FALSE(detail::ReadWholeFile(dir.File("missing")).has_value());
    test::WriteBytes(dir.File("f"), "abc");
    EXPECT_EQ(detail::ReadWholeFile(dir.File("f")), "abc");
}

} // namespace
} // namespace platform
