#include "platform/log_file.h"

#include "temp_dir.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <functional>
#include <future>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {
namespace {

namespace fs = std::filesystem;

TEST(LogFile, AppendsEachLineWithCrLf)
{
    test::TempDir dir;
    const std::string path = dir.File("LogCommand1.txt");
    test::WriteBytes(path, "old\r\n");
    AppendLogLine(path, "\xD2\xE5\xF1\xF2 01 02");
    AppendLogLine(path, "");
    AppendLogLine(path, std::string_view("a\0b", 3));
    const char expected[] = "old\r\n\xD2\xE5\xF1\xF2 01 02\r\n\r\na\0b\r\n";
    EXPECT_EQ(test::ReadBytes(path), std::string(expected, sizeof expected - 1));
}

TEST(LogFile, FailureIsSilent)
{
    test::TempDir dir;
    AppendLogLine(dir.File("missing/dir/log.txt"), "line");
    AppendLogLine(dir.Path(), "a directory");
    EXPECT_FALSE(std::filesystem::exists(dir.File("missing")));
}

TEST(LogFile, ANewFileIsARegularFileWithMode0644)
{
    test::TempDir dir;
    const std::string path = dir.File("logCmd.txt");
    const mode_t old = ::umask(022);
    const int fd = OpenLogFile(path);
    ::umask(old);
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(::fcntl(fd, F_GETFD) & FD_CLOEXEC);
    EXPECT_TRUE(::fcntl(fd, F_GETFL) & O_APPEND);
    ::close(fd);
    struct stat st{};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0644u);
}

TEST(LogFile, RestartEmptiesOnlyAFileAboveTheLimit)
{
    test::TempDir dir;
    const std::string path = dir.File("events_log.txt");
    test::WriteBytes(path, "12345");
    AppendLogLine(path, "kept", 5);
    EXPECT_EQ(test::ReadBytes(path), "12345kept\r\n");
    AppendLogLine(path, "fresh", 5);
    EXPECT_EQ(test::ReadBytes(path), "fresh\r\n");
    AppendLogLine(path, "anew", 0);
    EXPECT_EQ(test::ReadBytes(path), "anew\r\n");
}

// What can be planted at a log's path instead of a log file.  Each is refused at once: nothing
// is written into it or through it, and it is left as it was.
TEST(LogFile, AnythingButARegularFileIsRefusedWithoutBlocking)
{
    test::TempDir dir;
    const std::string path = dir.File("LogCommand1.txt");
    const std::string target = dir.File("target.txt");
    int reader = -1; // the FIFO's reader, in the case that has one
    const struct
    {
        const char* what;
        std::function<void()> plant;
        std::function<void()> check;
    } cases[] = {
        {"a FIFO nobody reads", [&] { ASSERT_EQ(::mkfifo(path.c_str(), 0644), 0); },
         [&] { EXPECT_TRUE(fs::is_fifo(path)); }},
        {"a FIFO with a reader",
         [&] {
             ASSERT_EQ(::mkfifo(path.c_str(), 0644), 0);
             reader = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
             ASSERT_GE(reader, 0);
         },
         [&] {
             char c;
             // Nothing to read: no writer (0) or an empty FIFO (-1, EAGAIN).
             EXPECT_LE(::read(reader, &c, 1), 0) << "a line went into the FIFO";
         }},
        {"a link to a file",
         [&] {
             test::WriteBytes(target, "target\r\n");
             fs::create_symlink(target, path);
         },
         [&] {
             EXPECT_TRUE(fs::is_symlink(path));
             EXPECT_EQ(test::ReadBytes(target), "target\r\n");
         }},
        {"a link to a missing file", [&] { fs::create_symlink(target, path); },
         [&] {
             EXPECT_TRUE(fs::is_symlink(path));
             EXPECT_FALSE(fs::exists(target)) << "the link's target was created";
         }},
        {"a folder", [&] { fs::create_directory(path); },
         [&] {
             EXPECT_TRUE(fs::is_directory(path));
             EXPECT_TRUE(fs::is_empty(path));
         }},
        {"a read-only file",
         [&] {
             test::WriteBytes(path, "old\r\n");
             ::chmod(path.c_str(), 0444);
         },
         [&] { EXPECT_EQ(test::ReadBytes(path), "old\r\n"); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        c.plant();
        // Opened and written from another thread, so that a writer that blocks fails the test
        // instead of hanging it; the FIFO is then opened for reading to let the writer go.
        auto written = std::async(std::launch::async, [&] {
            errno = 0;
            const int fd = OpenLogFile(path);
            const int error = errno;
            if (fd >= 0)
                ::close(fd);
            AppendLogLine(path, "line");
            AppendLogLine(path, "anew", 0);
            return fd < 0 && error != 0;
        });
        const bool returned = written.wait_for(std::chrono::seconds(20)) == std::future_status::ready;
        EXPECT_TRUE(returned) << "the log writer blocked";
        if (!returned) {
            const int unblock = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
            written.wait();
            if (unblock >= 0)
                ::close(unblock);
        }
        EXPECT_TRUE(written.get()) << "the open was not refused";
        c.check();
        if (reader >= 0) {
            ::close(reader);
            reader = -1;
        }
        ::chmod(path.c_str(), 0644);
        fs::remove_all(path);
        fs::remove(target);
    }
}

TEST(LogFile, PathsGoUnderTheLogFolderWhenOneIsSet)
{
    const char* saved = std::getenv("VENDAXO_LOG_DIR");
    const std::string keep = saved ? saved : "";
    ::setenv("VENDAXO_LOG_DIR", "/var/log/x", 1);
    EXPECT_EQ(LogFilePath("logzemra21.txt"), "/var/log/x/logzemra21.txt");
    EXPECT_EQ(LogFilePath("/abs/rpc.log"), "/abs/rpc.log");
    EXPECT_EQ(LogFilePath(""), "") << "no name stays no log";
    ::setenv("VENDAXO_LOG_DIR", "/var/log/x/", 1);
    EXPECT_EQ(LogFilePath("buf.log"), "/var/log/x/buf.log");
    ::unsetenv("VENDAXO_LOG_DIR");
    EXPECT_EQ(LogFilePath("buf.log"), "buf.log");
    if (saved)
        ::setenv("VENDAXO_LOG_DIR", keep.c_str(), 1);
}

} // namespace
} // namespace platform
