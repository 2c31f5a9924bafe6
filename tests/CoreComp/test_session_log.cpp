// The port log, byte for byte, and the log writer's file rules.

#include "session_fixture.h"

#include "CoreComp/rssess/bus_crc.h"
#include "CoreComp/rssess/session_log.h"

#include <chrono>
#include <fcntl.h>
#include <fstream>
#include <future>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// Windows-1251 texts, spelled out so that the test does not rely on the converter.
const std::string kReopen =
    "\xCF\xE5\xF0\xE5\xEE\xF2\xEA\xF0\xFB\xF2\xE8\xE5\x20\xEF\xEE\xF0\xF2\xE0";
const std::string kOpened = "\xCF\xEE\xF0\xF2\x20\xEE\xF2\xEA\xF0\xFB\xF2";
const std::string kNoAnswer = "\xED\xE5\xF2\x20\xEE\xF2\xE2\xE5\xF2\xE0";
const std::string kOpenFailed = "\xCE\xF8\xE8\xE1\xEA\xE0\x20\xEE\xF2\xEA\xF0\xFB\xF2\xE8\xFF\x3A";

// The fake clock starts at 9 December 2025, midnight.
const std::string kStamp = "09.12.2025:00:00:00:";

} // namespace

TEST_F(SessionTest, WithoutLogCommandNoPortLogIsWritten)
{
    TRSSession& s = MakeSession();
    s.SendCommand({1, 6, 0, 13, 0, 0}, true, false, 0, 0);
    EXPECT_FALSE(std::filesystem::exists(LogFile("LogCommand1.txt")));
}

TEST_F(SessionTest, PortLogLinesByteForByte)
{
    SetDword("LogCommand", 1);
    TRSSession& s = MakeSession();
    s.SetRetryCount(0);
    s.SetComPort(7);
    const Bytes answer = MakeAnswer({1, 0, 44, 23, 2});
    line_->responder = [&](const Bytes&) { return answer; };
    ASSERT_TRUE(s.SendCommand({1, 6, 0, 13, 0, 0}, true, false, 0, 0));
    line_->responder = nullptr;
    EXPECT_FALSE(s.SendCommand({1, 6, 0, 13, 0, 0}, false, false, 0, 0));

    const std::string expected = kReopen + "\r\n" + kOpened + "\r\n" + //
                                 kStamp + "-1-6-0-13-0-0\r\n" +        //
                                 kStamp + "-1-6-0-44-23-2-" + std::to_string(answer.back()) +
                                 "\r\n" + kStamp + "-1-6-0-13-0-0\r\n" + //
                                 kStamp + kNoAnswer + "\r\n";
    EXPECT_EQ(ReadFile(LogFile("LogCommand7.txt")), expected);
}

TEST_F(SessionTest, FailedOpenIsLoggedWithTheSystemError)
{
    SetDword("LogCommand", 1);
    line_->openSucceeds = false;
    TRSSession& s = MakeSession();
    EXPECT_FALSE(s.ReopenPort());
    EXPECT_EQ(ReadFile(LogFile("LogCommand1.txt")), kReopen + "\r\n" + kOpenFailed + "2\r\n");
}

TEST_F(SessionTest, LogWriterFileRules)
{
    using corecomp::TLogFile;
    const std::string events = LogFile("events_log.txt");
    {
        std::ofstream big(events, std::ios::binary);
        big.seekp(static_cast<std::streamoff>(corecomp::kEventsLogLimit));
        big.put('x'); // 20 MiB and one byte
    }
    TLogFile::AppendLogLine(events, "fresh", clock_);
    EXPECT_EQ(ReadFile(events), "fresh\r\n");
    TLogFile::AppendLogLine(events, "", clock_);
    EXPECT_EQ(ReadFile(events), "fresh\r\n") << "an empty line writes nothing";

    clock_.AdvanceMilliseconds(3723045); // 01:02:03.045
    const std::string port = LogFile("comm_read_write_port1.txt");
    TLogFile::AppendLogLine(port, "line", clock_);
    EXPECT_EQ(ReadFile(port), "09.12.2025 01:02:03:45line\r\n");
}

TEST_F(SessionTest, CodeCardReportsAreCopiedOnlyWhileTheMarkerFileExists)
{
    const Bytes report = {14, 1, 0x28, 0xFF};
    corecomp::CopyCodeCardReport(report, clock_);
    EXPECT_FALSE(std::filesystem::exists(LogFile("debug_rdr_out.txt")));
    std::ofstream(LogFile("debug_rdr_in.txt")).put('\n');
    corecomp::CopyCodeCardReport(report, clock_);
    corecomp::CopyCodeCardReport({7}, clock_);
    EXPECT_EQ(ReadFile(LogFile("debug_rdr_out.txt")),
              "09.12.2025 00:00:00   14 1 40 255\r\n09.12.2025 00:00:00   7\r\n");
    corecomp::AppendDebugLine(LogFile("debug_rdr_out.txt"), "anew", true, clock_);
    EXPECT_EQ(ReadFile(LogFile("debug_rdr_out.txt")), "09.12.2025 00:00:00  anew\r\n");
}

TEST_F(SessionTest, AFifoOrALinkAtThePortLogBlocksNothingAndIsNotWrittenThrough)
{
    SetDword("LogCommand", 1);
    const std::string fifo = LogFile("LogCommand1.txt");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
    const std::string target = LogFile("target.txt");
    std::ofstream(target) << "kept";
    std::filesystem::create_symlink(target, LogFile("LogCommand2.txt"));
    TRSSession& s = MakeSession();
    s.SetRetryCount(0);
    const Bytes answer = MakeAnswer({1, 0, 44, 23, 2});
    line_->responder = [&](const Bytes&) { return answer; };
    // A watchdog lets a log writer that blocks go after a while (by opening the FIFO for
    // reading), so that the test fails instead of hanging.
    std::promise<void> done;
    auto watchdog = std::async(std::launch::async, [&, finished = done.get_future()] {
        if (finished.wait_for(std::chrono::seconds(20)) == std::future_status::ready)
            return false;
        const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        finished.wait();
        if (reader >= 0)
            ::close(reader);
        return true;
    });
    EXPECT_TRUE(s.SendCommand({1, 6, 0, 13, 0, 0}, true, false, 0, 0));
    s.SetComPort(2);
    EXPECT_TRUE(s.SendCommand({1, 6, 0, 13, 0, 0}, true, false, 0, 0));
    done.set_value();
    EXPECT_FALSE(watchdog.get()) << "the port log blocked the exchange";
    EXPECT_TRUE(std::filesystem::is_fifo(fifo));
    EXPECT_TRUE(std::filesystem::is_symlink(LogFile("LogCommand2.txt")));
    EXPECT_EQ(ReadFile(target), "kept");
}
