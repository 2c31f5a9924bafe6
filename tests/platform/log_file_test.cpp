#include "platform/log_file.h"

#include "temp_dir.h"

#include <gtest/gtest.h>

namespace platform {
namespace {

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

} // namespace
} // namespace platform
