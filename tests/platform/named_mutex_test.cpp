#include "platform/named_mutex.h"

#include "platform/last_error.h"
#include "temp_dir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace platform {
namespace {

class NamedMutexTest : public ::testing::Test
{
protected:
    void SetUp() override { setenv("XDG_RUNTIME_DIR", dir_.Path().c_str(), 1); }
    test::TempDir dir_;
};

TEST_F(NamedMutexTest, CreateTellsWhetherItExistedWithinOneProcess)
{
    EXPECT_FALSE(NamedMutex::Exists("ZEMRA"));
    bool existed = true;
    auto first = NamedMutex::Create("ZEMRA", existed);
    ASSERT_TRUE(first);
    EXPECT_FALSE(existed);
    EXPECT_TRUE(NamedMutex::Exists("ZEMRA"));
    EXPECT_FALSE(NamedMutex::Exists("zemra")); // names are exact
    EXPECT_FALSE(NamedMutex::Exists("DRAVON"));

    auto second = NamedMutex::Create("ZEMRA", existed);
    ASSERT_TRUE(second);
    EXPECT_TRUE(existed);
    EXPECT_EQ(LastError(), kErrorAlreadyExists);
    first.reset();
    EXPECT_TRUE(NamedMutex::Exists("ZEMRA")); // the second holder keeps it
    second.reset();
    EXPECT_FALSE(NamedMutex::Exists("ZEMRA"));

    auto odd = NamedMutex::Create("Global\\a/b", existed);
    ASSERT_TRUE(odd);
    EXPECT_FALSE(existed);
    EXPECT_TRUE(NamedMutex::Exists("Global\\a/b"));
}

TEST_F(NamedMutexTest, TwoProcessesSeeEachOther)
{
    int to_parent[2];
    int to_child[2];
    ASSERT_EQ(pipe(to_parent), 0);
    ASSERT_EQ(pipe(to_child), 0);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        bool existed = true;
        auto m = NamedMutex::Create("MutexZEMRA485", existed);
        const char ready = m && !existed ? 'y' : 'n';
        (void)!write(to_parent[1], &ready, 1);
        char go;
        (void)!read(to_child[0], &go, 1); // hold until the parent has looked
        _exit(0);
    }
    char ready = 0;
    ASSERT_EQ(read(to_parent[0], &ready, 1), 1);
    EXPECT_EQ(ready, 'y');
    EXPECT_TRUE(NamedMutex::Exists("MutexZEMRA485"));
    bool existed = false;
    {
        auto mine = NamedMutex::Create("MutexZEMRA485", existed);
        ASSERT_TRUE(mine);
        EXPECT_TRUE(existed);
    }
    const char go = 'g';
    ASSERT_EQ(write(to_child[1], &go, 1), 1);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_FALSE(NamedMutex::Exists("MutexZEMRA485")); // gone with its holder's exit
    for (int fd : {to_parent[0], to_parent[1], to_child[0], to_child[1]})
        close(fd);
}

TEST_F(NamedMutexTest, FilesLiveInAFolderThatOnlyTheUserMayWrite)
{
    const std::string own = "/tmp/vendaxo-" + std::to_string(geteuid());
    const std::string open_dir = dir_.Path() + "/open";
    ASSERT_EQ(mkdir(open_dir.c_str(), 0777), 0);
    ASSERT_EQ(chmod(open_dir.c_str(), 0777), 0);
    const std::string name = "probe-" + std::to_string(getpid());
    struct Case
    {
        const char* what;
        const char* runtime_dir; // nullptr: unset
        std::string folder;
    };
    const Case cases[] = {
        {"the runtime folder", dir_.Path().c_str(), dir_.Path()},
        {"no runtime folder", nullptr, own},
        {"a relative one", "run", own},
        {"one that others may write to", open_dir.c_str(), own},
    };
    for (const Case& c : cases) {
        if (c.runtime_dir)
            setenv("XDG_RUNTIME_DIR", c.runtime_dir, 1);
        else
            unsetenv("XDG_RUNTIME_DIR");
        bool existed = true;
        auto m = NamedMutex::Create(name, existed);
        ASSERT_TRUE(m) << c.what;
        EXPECT_FALSE(existed) << c.what;
        const std::string file = c.folder + "/vendaxo-mutex-" + name;
        struct stat st{};
        EXPECT_EQ(lstat(file.c_str(), &st), 0) << c.what;
        EXPECT_EQ(st.st_mode & 077, 0u) << c.what << ": only the user may open it";
        m.reset();
        unlink(file.c_str());
        unlink((file + ".guard").c_str());
    }
    struct stat st{};
    ASSERT_EQ(lstat(own.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_uid, geteuid());
    EXPECT_EQ(st.st_mode & 077, 0u);
}

TEST_F(NamedMutexTest, PlantedLinkIsNeverFollowed)
{
    // A link at the mutex's name, to a file that some holder keeps locked, and to one that
    // does not exist yet.
    const std::string held = dir_.Path() + "/held";
    const int held_fd = open(held.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(held_fd, 0);
    ASSERT_EQ(flock(held_fd, LOCK_SH), 0);
    const std::string absent = dir_.Path() + "/absent";
    for (const std::string& target : {held, absent}) {
        const std::string link = dir_.Path() + "/vendaxo-mutex-DRAVON";
        unlink(link.c_str());
        ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
        EXPECT_FALSE(NamedMutex::Exists("DRAVON")) << target;
        bool existed = false;
        EXPECT_FALSE(NamedMutex::Create("DRAVON", existed)) << target;
        struct stat st{};
        if (target == absent) {
            EXPECT_NE(lstat(absent.c_str(), &st), 0) << "nothing is made through the link";
        }
    }
    close(held_fd);
}

} // namespace
} // namespace platform
