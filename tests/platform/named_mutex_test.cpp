#include "platform/named_mutex.h"

#include "platform/last_error.h"
#include "temp_dir.h"

#include <gtest/gtest.h>

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

} // namespace
} // namespace platform
