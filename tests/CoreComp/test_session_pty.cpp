// The real session over the serial transport on a pseudo-terminal: COM<n> is mapped to the
// slave in a test registry, and a small responder plays the unit on the master side.

#include "fake_transport.h"
#include "session_fixture.h"

#include "CoreComp/rssess/bus_crc.h"
#include "CoreComp/rssess/rs_session.h"

#include "platform/pty.h"
#include "platform/registry.h"

#include "tests/platform/stuck_drain.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <mutex>
#include <poll.h>
#include <thread>
#include <unistd.h>

namespace {

// Answers the device-type request of unit 5; drops the first `drop` requests.
class Responder
{
public:
    Responder(int fd, int drop) : fd_(fd), drop_(drop), thread_([this] { Run(); }) {}
    ~Responder()
    {
        stop_ = true;
        thread_.join();
    }
    int Requests() const { return requests_; }
    Bytes LastRequest()
    {
        std::lock_guard g(mutex_);
        return last_;
    }

private:
    void Run()
    {
        Bytes in;
        while (!stop_) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, 10) <= 0 || !(p.revents & POLLIN))
                continue;
            uint8_t buf[256];
            const ssize_t n = read(fd_, buf, sizeof buf);
            if (n <= 0)
                continue;
            in.insert(in.end(), buf, buf + n);
            // The 0xFF tail after a frame is line filler.
            while (!in.empty() && in[0] == 0xFF)
                in.erase(in.begin());
            if (in.size() < 2 || in.size() < static_cast<size_t>(in[1]) + 1)
                continue;
            Bytes frame(in.begin(), in.begin() + in[1] + 1);
            in.erase(in.begin(), in.begin() + in[1] + 1);
            if (corecomp::BusCrc8(Bytes(frame.begin(), frame.end() - 1)) != frame.back())
                continue;
            {
                std::lock_guard g(mutex_);
                last_ = frame;
            }
            if (++requests_ <= drop_ || frame[0] != 5 || frame[3] != 13)
                continue;
            // The session purges its input after the line time (about 8 ms for this frame at
            // 9600 bit/s, though the pty itself is instant): answer well after it.
            std::this_thread::sleep_for(std::chrono::milliseconds(40));
            const Bytes answer = MakeAnswer({5, 0, 44, 0x17, 0x02});
            (void)!write(fd_, answer.data(), answer.size());
        }
    }

    int fd_;
    int drop_;
    std::atomic<bool> stop_{false};
    std::atomic<int> requests_{0};
    std::mutex mutex_;
    Bytes last_;
    std::thread thread_;
};

class PtySessionTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        setenv("VENDAXO_REGISTRY", (dir_.Path() + "/registry.reg").c_str(), 1);
        setenv("VENDAXO_LOG_DIR", dir_.Path().c_str(), 1);
        setenv("XDG_RUNTIME_DIR", dir_.Path().c_str(), 1); // the named mutexes stay ours
        ASSERT_TRUE(pty_.Open());
        platform::RegistryFile& reg = platform::ProcessRegistry();
        reg.WriteString(platform::Hive::LocalMachine, platform::kSerialCommKey, pty_.SlavePath(),
                        "COM23");
        reg.WriteDword(platform::Hive::LocalMachine, kBusKey, "CmdTimeoutConstant", 300);
    }

    TempDir dir_;
    platform::PseudoTerminal pty_;
};

} // namespace

TEST_F(PtySessionTest, DeviceTypeRequestIsAnsweredAndADroppedAnswerRetried)
{
    TRSSession session; // the process's registry and clock, the serial transport
    session.SetComPort(23);
    session.ReadRegistrySettings();
    session.SetRetryCount(3);
    {
        Responder unit(pty_.MasterFd(), 0);
        ASSERT_TRUE(session.SendCommand({5, 6, 0, 13, 0, 0}, true, false, 0, 0));
        EXPECT_EQ(Hex(session.Answer()), Hex(MakeAnswer({5, 0, 44, 0x17, 0x02})));
        EXPECT_EQ(Hex(unit.LastRequest()), "05 06 00 0D 00 00 67");
        // A busy machine may let the purge after the line time catch an answer; the retry
        // then gets the next one.
        EXPECT_GE(unit.Requests(), 1);
    }
    {
        Responder unit(pty_.MasterFd(), 1);
        ASSERT_TRUE(session.SendCommand({5, 6, 0, 13, 0, 0}, true, false, 0, 0));
        EXPECT_GE(unit.Requests(), 2) << "the first answer was dropped, a later try got one";
        EXPECT_EQ(session.Answer().size(), 7u);
    }
    {
        // Nobody at address 6: every try times out, then no answer.
        Responder unit(pty_.MasterFd(), 0);
        session.SetRetryCount(1);
        EXPECT_FALSE(session.SendCommand({6, 6, 0, 13, 0, 0}, true, false, 0, 0));
        EXPECT_EQ(unit.Requests(), 2);
        EXPECT_TRUE(session.Answer().empty());
    }
}

TEST_F(PtySessionTest, ZeroReadTimeOutsFromTheRegistryStillEndASilentCommand)
{
    // Zero totals would wait on a silent unit for ever; they count as missing.
    platform::RegistryFile& reg = platform::ProcessRegistry();
    for (const char* name : {"IntervalTimeout", "TimeoutMultiplier", "TimeoutConstant",
                             "CmdIntervalTimeout", "CmdTimeoutMultiplier", "CmdTimeoutConstant"})
        reg.WriteDword(platform::Hive::LocalMachine, kBusKey, name, 0);
    TRSSession session;
    session.SetComPort(23);
    session.ReadRegistrySettings();
    session.SetRetryCount(0);
    // Nobody answers on the master side.  Should the command hang, closing the master ends it
    // with a hang-up, and the test fails instead of hanging.
    auto silent = std::async(std::launch::async, [&] {
        return session.SendCommand({6, 6, 0, 13, 0, 0}, true, false, 0, 0);
    });
    const bool returned = silent.wait_for(std::chrono::seconds(20)) == std::future_status::ready;
    if (!returned)
        pty_.Close();
    EXPECT_TRUE(returned) << "SendCommand waited on after the default time-out";
    EXPECT_FALSE(silent.get());
    EXPECT_EQ(session.Settings().CmdTimeoutConstant, 600);
    EXPECT_EQ(session.Settings().TimeoutConstant, 50);
}

TEST_F(PtySessionTest, ADrainPastTheWriteDeadlineEndsTheTryAndKeepsThePort)
{
    platform::ProcessRegistry().WriteDword(platform::Hive::LocalMachine, kBusKey,
                                           "CmdTotalWriteConstant", 100);
    TRSSession session;
    session.SetComPort(23);
    session.ReadRegistrySettings();
    session.SetRetryCount(1);
    Responder unit(pty_.MasterFd(), 0);
    // An adapter whose last bytes never leave, and whose driver does not tell.
    platform::test::DrainDriverGuard guard;
    platform::detail::DrainDriverCalls() = {platform::test::TransmitterNotTold,
                                            platform::test::DrainNeverReturns};
    platform::test::stuckDrainGivesUp = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    const auto start = std::chrono::steady_clock::now();
    const bool answered = session.SendCommand({5, 6, 0, 13, 0, 0}, true, false, 0, 0);
    const auto took = std::chrono::steady_clock::now() - start;
    platform::detail::DrainDriverCalls() = guard.Saved();
    EXPECT_FALSE(answered) << "no try got past its drain";
    // Two tries of a 100 ms drain, the second after the wait for the answer that the unit may
    // still send to the first (about 1.4 s).
    EXPECT_LT(took, std::chrono::milliseconds(4500)) << "a drain outlived its deadline";
    EXPECT_FALSE(session.Transport().IsClosed()) << "no hang-up: the port stays open";
    // The adapter sends again: the next command goes out on the same port and is answered.
    ASSERT_TRUE(session.SendCommand({5, 6, 0, 13, 0, 0}, true, false, 0, 0));
    EXPECT_EQ(Hex(session.Answer()), Hex(MakeAnswer({5, 0, 44, 0x17, 0x02})));
}
