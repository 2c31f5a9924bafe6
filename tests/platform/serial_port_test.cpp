#include "platform/serial_port.h"

#include "platform/last_error.h"
#include "platform/pty.h"
#include "platform/registry.h"
#include "stuck_drain.h"
#include "temp_dir.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <poll.h>
#include <thread>
#include <unistd.h>

namespace platform {
namespace {

using std::chrono::milliseconds;
using Bytes = std::vector<uint8_t>;

// The process registry is made on first use from $VENDAXO_REGISTRY, so the test file must be
// in place before any test runs.
class TestRegistry : public ::testing::Environment
{
public:
    void SetUp() override
    {
        dir_ = std::make_unique<test::TempDir>();
        setenv("VENDAXO_REGISTRY", dir_->File("registry.reg").c_str(), 1);
        setenv("VENDAXO_NO_DEVICE_SCAN", "1", 1);
    }
    void TearDown() override { dir_.reset(); }

private:
    std::unique_ptr<test::TempDir> dir_;
};
[[maybe_unused]] ::testing::Environment* const kRegistryEnv = ::testing::AddGlobalTestEnvironment(new TestRegistry);

void MasterWrite(const PseudoTerminal& pty, const Bytes& bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(pty.MasterFd(), bytes.data() + done, bytes.size() - done);
        if (n > 0)
            done += static_cast<size_t>(n);
        else
            std::this_thread::sleep_for(milliseconds(1));
    }
}

// Everything the unit side receives until nothing more comes for quiet_ms.
Bytes MasterReadAll(const PseudoTerminal& pty, size_t expected, int quiet_ms = 200)
{
    Bytes out;
    uint8_t buf[512];
    while (out.size() < expected) {
        pollfd p{pty.MasterFd(), POLLIN, 0};
        if (::poll(&p, 1, quiet_ms) <= 0)
            break;
        const ssize_t n = ::read(pty.MasterFd(), buf, sizeof buf);
        if (n <= 0)
            break;
        out.insert(out.end(), buf, buf + n);
    }
    return out;
}

class SerialPortTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(pty_.Open());
        ASSERT_TRUE(port_.Open(pty_.SlavePath())) << LastError();
    }

    bool SetTimeouts(uint32_t interval, uint32_t multiplier, uint32_t constant)
    {
        CommTimeouts t;
        t.ReadIntervalTimeout = interval;
        t.ReadTotalTimeoutMultiplier = multiplier;
        t.ReadTotalTimeoutConstant = constant;
        t.WriteTotalTimeoutConstant = 1000;
        return port_.SetCommTimeouts(t);
    }

    PseudoTerminal pty_;
    SerialPort port_;
};

TEST_F(SerialPortTest, EveryByteValuePassesUnchangedBothWays)
{
    // The control characters a cooked line would eat or turn: CR, XON, XOFF, FF, NUL, LF, ^C, ^D,
    // ^Z, DEL, and then every other value.
    Bytes bytes = {0x0D, 0x11, 0x13, 0xFF, 0x00, 0x0A, 0x03, 0x04, 0x1A, 0x7F, 0x0D, 0x0A};
    for (int b = 0; b < 256; ++b)
        bytes.push_back(static_cast<uint8_t>(b));
    ASSERT_TRUE(SetTimeouts(0, 0, 2000));

    uint32_t written = 0;
    ASSERT_TRUE(port_.Write(bytes.data(), static_cast<uint32_t>(bytes.size()), written));
    EXPECT_EQ(written, bytes.size());
    EXPECT_EQ(MasterReadAll(pty_, bytes.size()), bytes);

    MasterWrite(pty_, bytes);
    Bytes got(bytes.size());
    uint32_t read = 0;
    ASSERT_TRUE(port_.Read(got.data(), static_cast<uint32_t>(got.size()), read));
    EXPECT_EQ(read, bytes.size());
    EXPECT_EQ(got, bytes);
}

TEST_F(SerialPortTest, ReadTimeoutRules)
{
    constexpr uint32_t M = kMaxDword;
    struct Case
    {
        const char* rule;
        uint32_t interval, multiplier, constant;
        Bytes before;    // queued before the read
        Bytes later;     // sent 150 ms into the read
        uint32_t count;  // asked for
        uint32_t expect; // bytes returned
        int min_ms;      // the read may not end sooner
        int max_ms;      // nor much later (loose, for loaded machines)
    } cases[] = {
        {"constant, nothing comes", 0, 0, 300, {}, {}, 6, 0, 290, 2500},
        {"multiplier x count", 0, 50, 0, {}, {}, 6, 0, 290, 2500},
        {"multiplier x count + constant", 0, 30, 120, {}, {}, 6, 0, 290, 2500},
        {"total keeps the partial answer", 0, 0, 300, {1, 2}, {}, 6, 2, 290, 2500},
        {"total ends early when all came", 0, 0, 3000, {1, 2, 3, 4, 5, 6}, {}, 6, 6, 0, 1500},
        {"bytes late within the total", 0, 0, 3000, {1}, {2, 3}, 3, 3, 140, 2000},
        {"interval ends the read after the last byte", 100, 0, 0, {1, 2, 3}, {}, 6, 3, 90, 2000},
        {"interval does not start before a byte", 100, 0, 0, {}, {7, 8}, 6, 2, 240, 2500},
        {"interval within a total", 100, 0, 5000, {1}, {}, 6, 1, 90, 2000},
        {"zero: waits for every byte", 0, 0, 0, {1}, {2, 3}, 3, 3, 140, 2500},
        {"MAXDWORD,0,0: what is there", M, 0, 0, {1, 2}, {}, 6, 2, 0, 500},
        {"MAXDWORD,0,0: nothing", M, 0, 0, {}, {}, 6, 0, 0, 500},
        {"MAXDWORD,MAXDWORD,c: waits for the first byte", M, M, 2000, {}, {5, 6}, 6, 2, 140, 1500},
        {"MAXDWORD,MAXDWORD,c: bytes there", M, M, 2000, {5}, {}, 6, 1, 0, 500},
        {"MAXDWORD,MAXDWORD,c: nothing", M, M, 300, {}, {}, 6, 0, 290, 2500},
        {"a total beyond the clock's range waits on", 0, M - 1, 0, Bytes(2000, 0x31), Bytes(1000, 0x32), 3000, 3000,
         140, 2500},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.rule);
        ASSERT_TRUE(port_.PurgeComm(kPurgeRxAbort | kPurgeRxClear));
        ASSERT_TRUE(SetTimeouts(c.interval, c.multiplier, c.constant));
        MasterWrite(pty_, c.before);
        std::thread late([&] {
            if (c.later.empty())
                return;
            std::this_thread::sleep_for(milliseconds(150));
            MasterWrite(pty_, c.later);
        });
        Bytes got(c.count, 0xEE);
        uint32_t read = 99;
        const auto start = std::chrono::steady_clock::now();
        const bool ok = port_.Read(got.data(), c.count, read);
        const auto ms =
            std::chrono::duration_cast<milliseconds>(std::chrono::steady_clock::now() - start).count();
        late.join();
        EXPECT_TRUE(ok) << LastError();
        EXPECT_EQ(read, c.expect);
        Bytes expected = c.before;
        expected.insert(expected.end(), c.later.begin(), c.later.end());
        expected.resize(c.expect);
        got.resize(read);
        EXPECT_EQ(got, expected);
        EXPECT_GE(ms, c.min_ms);
        EXPECT_LE(ms, c.max_ms);
    }
}

TEST_F(SerialPortTest, WriteTimeoutReturnsSuccessWithThePartialCount)
{
    // Nobody reads the unit side, so the pty's buffer fills and the write must give up.
    CommTimeouts t;
    t.WriteTotalTimeoutConstant = 200;
    ASSERT_TRUE(port_.SetCommTimeouts(t));
    const Bytes big(1 << 20, 0x55);
    uint32_t written = 0;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(port_.Write(big.data(), static_cast<uint32_t>(big.size()), written)) << LastError();
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GT(written, 0u);
    EXPECT_LT(written, big.size());
    EXPECT_GE(took, milliseconds(190));
    EXPECT_LT(took, milliseconds(3000));
    EXPECT_TRUE(port_.PurgeComm(kPurgeTxClear | kPurgeTxAbort));
}

TEST_F(SerialPortTest, PurgeDropsQueuedInputAndClearCommErrorCountsIt)
{
    MasterWrite(pty_, {1, 2, 3, 4, 5});
    ComStat stat;
    uint32_t errors = 7;
    for (int i = 0; i < 100 && stat.cbInQue < 5; ++i) {
        ASSERT_TRUE(port_.ClearCommError(errors, &stat));
        std::this_thread::sleep_for(milliseconds(5));
    }
    EXPECT_EQ(errors, 0u);
    EXPECT_EQ(stat.cbInQue, 5u);
    ASSERT_TRUE(port_.PurgeComm(kPurgeTxAbort | kPurgeRxAbort | kPurgeTxClear | kPurgeRxClear));
    ASSERT_TRUE(port_.ClearCommError(errors, &stat));
    EXPECT_EQ(stat.cbInQue, 0u);
    ASSERT_TRUE(SetTimeouts(kMaxDword, 0, 0));
    uint8_t b;
    uint32_t read = 1;
    ASSERT_TRUE(port_.Read(&b, 1, read));
    EXPECT_EQ(read, 0u);
    EXPECT_TRUE(port_.PurgeComm(0));
    EXPECT_FALSE(port_.PurgeComm(0x10));
    EXPECT_EQ(LastError(), kErrorInvalidParameter);
}

// A transmitter that a real driver reports (TIOCSERGETLSR), as a pseudo-terminal cannot.
int transmitterPolls = 0;
int TransmitterEmptiesAfterThreePolls(int)
{
    return ++transmitterPolls > 3 ? 1 : 0;
}
int TransmitterNeverEmpties(int)
{
    std::this_thread::sleep_for(milliseconds(1));
    return ++transmitterPolls > 5000 ? 1 : 0; // about 5 s
}

class SerialDrainTest : public SerialPortTest
{
protected:
    test::DrainDriverGuard driver_;
};

// The drain, the last bytes in the adapter included, ends by the write deadline; past it the
// write fails and the port stays open for the next one.
TEST_F(SerialDrainTest, DrainEndsByTheWriteDeadlineAndThePortStaysOpen)
{
    struct Case
    {
        const char* adapter;
        int (*transmitterEmpty)(int);
        int (*drain)(int);
        bool drained;
    };
    const Case cases[] = {
        {"the pseudo-terminal itself", nullptr, nullptr, true},
        {"a transmitter that empties", TransmitterEmptiesAfterThreePolls, nullptr, true},
        {"a transmitter that never empties", TransmitterNeverEmpties, nullptr, false},
        {"a driver that does not say, and a tcdrain that never returns", test::TransmitterNotTold,
         test::DrainNeverReturns, false},
    };
    CommTimeouts t;
    t.WriteTotalTimeoutConstant = 100;
    ASSERT_TRUE(port_.SetCommTimeouts(t));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.adapter);
        detail::DrainDriverCalls() = driver_.Saved();
        if (c.transmitterEmpty)
            detail::DrainDriverCalls().transmitterEmpty = c.transmitterEmpty;
        if (c.drain)
            detail::DrainDriverCalls().drain = c.drain;
        transmitterPolls = 0;
        test::stuckDrainGivesUp = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        const Bytes frame = {5, 6, 0, 13, 0, 0, 0x3C};
        uint32_t written = 0;
        ASSERT_TRUE(port_.Write(frame.data(), static_cast<uint32_t>(frame.size()), written));
        const auto start = std::chrono::steady_clock::now();
        const bool drained = port_.Drain();
        const auto took = std::chrono::steady_clock::now() - start;
        EXPECT_EQ(drained, c.drained);
        EXPECT_LT(took, milliseconds(2000)) << "the deadline is 100 ms";
        if (!c.drained) {
            EXPECT_EQ(LastError(), kErrorSemTimeout);
            EXPECT_GE(took, milliseconds(90));
        }
        EXPECT_TRUE(port_.IsOpen());
        EXPECT_EQ(MasterReadAll(pty_, frame.size()), frame) << "the bytes went out";
    }
    // With no write time-out at all the drain has no end either, and a port that sends
    // finishes it.
    detail::DrainDriverCalls() = driver_.Saved();
    ASSERT_TRUE(port_.SetCommTimeouts(CommTimeouts{}));
    EXPECT_TRUE(port_.Drain()) << LastError();
}

TEST_F(SerialPortTest, SecondOpenerIsDeniedUntilTheFirstCloses)
{
    SerialPort second;
    EXPECT_FALSE(second.Open(pty_.SlavePath()));
    EXPECT_EQ(LastError(), kErrorAccessDenied);
    EXPECT_FALSE(second.IsOpen());
    port_.Close();
    EXPECT_TRUE(second.Open(pty_.SlavePath())) << LastError();
}

TEST_F(SerialPortTest, HangUpIsDeviceNotConnected)
{
    ASSERT_TRUE(SetTimeouts(0, 0, 2000));
    std::thread unplug([&] {
        std::this_thread::sleep_for(milliseconds(100));
        pty_.Close();
    });
    uint8_t buf[6];
    uint32_t read = 0;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(port_.Read(buf, sizeof buf, read));
    unplug.join();
    EXPECT_EQ(LastError(), kErrorDeviceNotConnected);
    EXPECT_LT(std::chrono::steady_clock::now() - start, milliseconds(1500)); // not the time-out
    uint32_t written = 0;
    EXPECT_FALSE(port_.Write(buf, sizeof buf, written));
    EXPECT_EQ(LastError(), kErrorDeviceNotConnected);
}

TEST_F(SerialPortTest, LineStateAndEscapeFunctions)
{
    Dcb dcb;
    ASSERT_TRUE(port_.GetCommState(dcb));
    EXPECT_EQ(dcb.BaudRate, 9600u);
    for (uint32_t speed : {9600u, 115200u, 250000u, 31250u}) {
        dcb.BaudRate = speed;
        dcb.StopBits = 2;
        ASSERT_TRUE(port_.SetCommState(dcb)) << speed;
        Dcb back;
        ASSERT_TRUE(port_.GetCommState(back));
        EXPECT_EQ(back.BaudRate, speed);
        EXPECT_EQ(back.StopBits, 2);
    }
    Dcb bad = dcb;
    bad.ByteSize = 9;
    EXPECT_FALSE(port_.SetCommState(bad));
    EXPECT_EQ(LastError(), kErrorInvalidParameter);
    bad = dcb;
    bad.BaudRate = 0;
    EXPECT_FALSE(port_.SetCommState(bad));

    // A pty has no modem lines: switching them is accepted and changes nothing.
    for (uint32_t f : {kSetRts, kClrRts, kSetDtr, kClrDtr, kSetBreak, kClrBreak, kSetXoff, kSetXon})
        EXPECT_TRUE(port_.EscapeCommFunction(f)) << f << " " << LastError();
    EXPECT_FALSE(port_.EscapeCommFunction(7));
    EXPECT_EQ(LastError(), kErrorInvalidParameter);
    EXPECT_TRUE(port_.SetupComm(300, 0));

    CommTimeouts t;
    t.ReadIntervalTimeout = t.ReadTotalTimeoutMultiplier = t.ReadTotalTimeoutConstant = kMaxDword;
    EXPECT_FALSE(port_.SetCommTimeouts(t));
    t.ReadTotalTimeoutConstant = 600;
    t.WriteTotalTimeoutConstant = 1000;
    ASSERT_TRUE(port_.SetCommTimeouts(t));
    CommTimeouts back;
    ASSERT_TRUE(port_.GetCommTimeouts(back));
    EXPECT_EQ(back.ReadTotalTimeoutConstant, 600u);
    EXPECT_EQ(back.WriteTotalTimeoutConstant, 1000u);
}

TEST(PseudoTerminal, TheKeeperHidesThePortClosingFromTheUnitSide)
{
    PseudoTerminal pty;
    ASSERT_TRUE(pty.Open());
    auto hung_up = [&] {
        pollfd p{pty.MasterFd(), POLLIN, 0};
        return ::poll(&p, 1, 50) > 0 && (p.revents & POLLHUP);
    };
    {
        SerialPort port;
        ASSERT_TRUE(port.Open(pty.SlavePath()));
    }
    EXPECT_FALSE(hung_up());
    pty.CloseKeeper();
    EXPECT_TRUE(hung_up()); // no slave descriptor left
    {
        SerialPort port; // a port opened after the keeper went is the only slave
        ASSERT_TRUE(port.Open(pty.SlavePath())) << LastError();
        EXPECT_FALSE(hung_up());
    }
    EXPECT_TRUE(hung_up());
    const std::string path = pty.SlavePath();
    pty.Close();
    EXPECT_EQ(pty.MasterFd(), -1);
    SerialPort port;
    EXPECT_FALSE(port.Open(path));
}

TEST(SerialPortClosed, EveryOperationFailsWithInvalidHandle)
{
    SerialPort port;
    Dcb dcb;
    CommTimeouts t;
    uint32_t n = 5;
    uint8_t b = 0;
    ComStat stat;
    const std::vector<std::pair<const char*, bool>> results = {
        {"GetCommState", port.GetCommState(dcb)},      {"SetCommState", port.SetCommState(dcb)},
        {"GetCommTimeouts", port.GetCommTimeouts(t)},  {"SetCommTimeouts", port.SetCommTimeouts(t)},
        {"SetupComm", port.SetupComm(300, 0)},         {"Escape", port.EscapeCommFunction(kSetRts)},
        {"Purge", port.PurgeComm(kPurgeRxClear)},      {"Write", port.Write(&b, 1, n)},
        {"Read", port.Read(&b, 1, n)},                 {"ClearCommError", port.ClearCommError(n, &stat)},
    };
    for (const auto& [name, ok] : results)
        EXPECT_FALSE(ok) << name;
    EXPECT_EQ(LastError(), kErrorInvalidHandle);
    port.Close(); // closing a closed port does nothing
    EXPECT_EQ(port.Handle(), -1);
}

TEST(SerialPortNames, ComNamesResolveThroughTheRegistry)
{
    PseudoTerminal pty;
    ASSERT_TRUE(pty.Open());
    ASSERT_TRUE(ProcessRegistry().WriteString(Hive::LocalMachine, kSerialCommKey, pty.SlavePath(), "COM7"));

    struct Case
    {
        std::string name;
        bool opens;
        uint32_t error;
    } cases[] = {
        {"COM7", true, 0},
        {"\\\\.\\COM7", true, 0},
        {"COM8", false, kErrorFileNotFound},
        {"\\\\.\\COM10", false, kErrorFileNotFound},
        {"/dev/no-such-port", false, kErrorFileNotFound},
    };
    for (const auto& c : cases) {
        SerialPort port;
        SetLastError(0);
        EXPECT_EQ(port.Open(c.name), c.opens) << c.name;
        if (!c.opens) {
            EXPECT_EQ(LastError(), c.error) << c.name;
        }
    }

    // The port really is the pty: bytes reach the unit side.
    SerialPort port;
    ASSERT_TRUE(port.Open("COM7"));
    const uint8_t frame[] = {0x7F, 0x06, 0x00, 0x0D, 0x00, 0x00};
    uint32_t written = 0;
    ASSERT_TRUE(port.Write(frame, sizeof frame, written));
    EXPECT_EQ(MasterReadAll(pty, sizeof frame), Bytes(frame, frame + sizeof frame));
}

} // namespace
} // namespace platform
