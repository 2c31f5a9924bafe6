// Opening a file through the desktop's opener, with a stand-in opener that records its
// arguments: the path arrives as one untouched argument, a missing file starts nothing, and
// the opener is reaped once it ends.

#include "platform/last_error.h"
#include "platform/shell_open.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

class ShellOpen : public ::testing::Test
{
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/vendaxo-shell-open-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        opener_ = dir_ + "/opener";
        record_ = dir_ + "/record";
        std::ofstream(opener_) << "#!/bin/sh\n"
                               << "{ echo \"$#\"; for a in \"$@\"; do echo \"[$a]\"; done; } > '"
                               << record_ << ".tmp' && mv '" << record_ << ".tmp' '" << record_
                               << "'\n";
        ASSERT_EQ(chmod(opener_.c_str(), 0755), 0);
    }
    void TearDown() override
    {
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }

    std::string Touch(const std::string& name) const
    {
        const std::string path = dir_ + "/" + name;
        std::ofstream(path) << "help";
        return path;
    }
    // What the opener was given, once it has run; empty when it did not run within 10 s.
    std::string WaitForRecord() const
    {
        for (int i = 0; i < 1000; ++i) {
            std::ifstream in(record_);
            if (in) {
                std::stringstream s;
                s << in.rdbuf();
                return s.str();
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return {};
    }
    bool Recorded() const { return access(record_.c_str(), F_OK) == 0; }

    std::string dir_, opener_, record_;
};

// Children of this process that have ended and not been reaped.
int Zombies()
{
    int zombies = 0;
    DIR* proc = opendir("/proc");
    if (!proc)
        return 0;
    const std::string self = std::to_string(getpid());
    while (dirent* e = readdir(proc)) {
        std::ifstream in(std::string("/proc/") + e->d_name + "/stat");
        std::string line;
        if (!std::getline(in, line))
            continue;
        // pid (comm) state ppid ...; comm may hold spaces, so read after the last ')'.
        const size_t close = line.rfind(')');
        if (close == std::string::npos)
            continue;
        std::istringstream rest(line.substr(close + 1));
        std::string state, ppid;
        rest >> state >> ppid;
        if (state == "Z" && ppid == self)
            ++zombies;
    }
    closedir(proc);
    return zombies;
}

TEST_F(ShellOpen, ThePathReachesTheOpenerAsOneUntouchedArgument)
{
    const char* names[] = {"Vendaxo.chm", "with space.chm", "quote'\"$(touch x);`id`.chm",
                           "Справка.chm"};
    for (const char* name : names) {
        SCOPED_TRACE(name);
        std::remove(record_.c_str());
        const std::string path = Touch(name);
        ASSERT_TRUE(platform::ShellOpenWith(opener_, path));
        EXPECT_EQ(platform::LastError(), platform::kErrorSuccess);
        EXPECT_EQ(WaitForRecord(), "1\n[" + path + "]\n");
    }
}

TEST_F(ShellOpen, ARelativeNameThatLooksLikeAnOptionIsPassedAsAPath)
{
    const std::filesystem::path cwd = std::filesystem::current_path();
    ASSERT_EQ(chdir(dir_.c_str()), 0);
    Touch("--help");
    const bool started = platform::ShellOpenWith(opener_, "--help");
    const std::string record = WaitForRecord();
    ASSERT_EQ(chdir(cwd.c_str()), 0);
    ASSERT_TRUE(started);
    EXPECT_EQ(record, "1\n[./--help]\n");
}

TEST_F(ShellOpen, FailuresStartNothingAndSetTheLastError)
{
    const struct
    {
        const char* what;
        std::string opener;
        std::string path;
        uint32_t error;
    } cases[] = {
        {"missing file", opener_, dir_ + "/Vendaxo.chm", platform::kErrorFileNotFound},
        {"empty name", opener_, "", platform::kErrorFileNotFound},
        {"opener not installed", "vendaxo-no-such-opener", Touch("a.chm"),
         platform::kErrorFileNotFound},
        {"opener by a missing path", dir_ + "/none", Touch("b.chm"), platform::kErrorFileNotFound},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        platform::SetLastError(platform::kErrorSuccess);
        EXPECT_FALSE(platform::ShellOpenWith(c.opener, c.path));
        EXPECT_EQ(platform::LastError(), c.error);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_FALSE(Recorded());
}

TEST_F(ShellOpen, TheOpenerIsReapedWhenItEnds)
{
    const int before = Zombies();
    for (int i = 0; i < 3; ++i) {
        std::remove(record_.c_str());
        ASSERT_TRUE(platform::ShellOpenWith(opener_, Touch("Vendaxo.chm")));
        ASSERT_FALSE(WaitForRecord().empty());
    }
    int zombies = Zombies();
    for (int i = 0; i < 500 && zombies > before; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        zombies = Zombies();
    }
    EXPECT_EQ(zombies, before);
}

} // namespace
