// The frame exchange: time-outs, line direction and writes, line time, answers.

#include "session_fixture.h"

#include "CoreComp/rssess/bus_crc.h"

#include "platform/last_error.h"

#include <fstream>
#include <iterator>
#include <numeric>

namespace {

const Bytes kTypeRequest = {1, 6, 0, 13, 0, 0};

Bytes TypeAnswer(uint8_t address)
{
    return MakeAnswer({address, 0, 44, 0x17, 0x02});
}

Bytes AnswerTypeRequests(const Bytes& frame)
{
    return frame[3] == 13 ? TypeAnswer(frame[0] & 0x7F) : Bytes{};
}

std::string CrcHex(const Bytes& frame)
{
    return Hex({corecomp::BusCrc8(frame)});
}

} // namespace

class ExchangeTest : public SessionTest
{
protected:
    TRSSession& OpenSession()
    {
        TRSSession& s = MakeSession();
        EXPECT_TRUE(s.ReopenPort());
        line_->ClearCalls();
        platform::SetLastError(platform::kErrorSuccess);
        return s;
    }
    int64_t BusyMicroseconds() const
    {
        const auto sleeps = clock_.Sleeps();
        const int64_t slept = std::accumulate(sleeps.begin(), sleeps.end(), int64_t{0});
        return clock_.NowMicroseconds() - slept * 1000;
    }
    std::string LastTimeouts() const
    {
        for (auto it = line_->calls.rbegin(); it != line_->calls.rend(); ++it)
            if (it->rfind("SetCommTimeouts ", 0) == 0)
                return it->substr(16);
        return {};
    }
};

TEST_F(ExchangeTest, TimeoutsFollowTheCommandAndTheAbsentMark)
{
    const char* names[] = {"IntervalTimeout",    "TimeoutMultiplier",    "TimeoutConstant",
                           "TotalWriteConstant", "CmdIntervalTimeout",   "CmdTimeoutMultiplier",
                           "CmdTimeoutConstant", "CmdTotalWriteConstant"};
    for (int i = 0; i < 8; ++i)
        SetDword(names[i], i + 1);
    TRSSession& s = OpenSession();
    struct Case
    {
        uint8_t command;
        bool absent;
        int keepTimeout;
        uint32_t readTimeout;
        const char* expected;
    };
    const Case cases[] = {
        {1, false, 0, 0, "1 2 3 0 4"},  {3, true, 0, 0, "1 2 3 0 4"},
        {13, false, 0, 0, "5 6 7 0 8"}, {13, true, 0, 0, "5 6 1 0 8"},
        {13, true, 1, 0, "5 6 7 0 8"},  {13, false, 0, 99, "5 6 99 0 8"},
        {13, true, 0, 99, "5 6 1 0 8"}, {17, true, 0, 0, "5 6 7 0 8"},
        {41, true, 0, 0, "5 6 7 0 8"},
    };
    for (const Case& c : cases) {
        s.SetAbsent(1, c.absent);
        s.ExchangeFrame({1, 6, 0, c.command, 0, 0}, true, c.keepTimeout, c.readTimeout, true);
        EXPECT_EQ(LastTimeouts(), c.expected)
            << int(c.command) << " absent " << c.absent << " keep " << c.keepTimeout << " read "
            << c.readTimeout;
    }
}

TEST_F(ExchangeTest, WriteSequencesWithAndWithoutTheLineDriver)
{
    const std::string frame = Hex(kTypeRequest);
    const std::string crc = CrcHex(kTypeRequest);
    struct Case
    {
        const char* what;
        bool smartPI;
        bool oneWrite;
        bool counter;
        std::vector<std::string> expected;
    };
    // Input waiting before the write is no answer to it: it goes first.
    const std::vector<std::string> clearInput = {"Purge 10"};
    const std::vector<std::string> toSend = {"Escape ClrDtr", "Escape SetRts"};
    // Every byte leaves the adapter before request-to-send falls.
    const std::vector<std::string> toReceive = {"DrainOutput", "Purge 10", "Escape ClrRts",
                                                "Escape SetDtr"};
    auto join = [](std::initializer_list<std::vector<std::string>> parts) {
        std::vector<std::string> all;
        for (const auto& p : parts)
            all.insert(all.end(), p.begin(), p.end());
        return all;
    };
    const Case cases[] = {
        {"frame, then checksum", false, false, true,
         join({clearInput,
               toSend,
               {"Write " + frame, "Write " + crc},
               toReceive,
               {"FlushOut"},
               toSend})},
        {"one write", false, true, true,
         join({clearInput,
               toSend,
               {"Write " + frame + " " + crc},
               toReceive,
               {"FlushOut"},
               toSend})},
        {"line driver turns the bus", true, false, true,
         join({clearInput, {"Write " + frame, "Write " + crc, "FlushOut"}})},
        {"line driver, one write", true, true, true,
         join({clearInput, {"Write " + frame + " " + crc, "FlushOut"}})},
        {"no counter: 0xFF tails", false, false, false,
         join({clearInput,
               toSend,
               {"Write " + frame + " " + crc + " FF", "Write FF"},
               toReceive,
               {"FlushOut"},
               toSend})},
        {"no counter, line driver", true, true, false,
         join({clearInput, {"Write " + frame + " " + crc, "FlushOut"}})},
    };
    for (const Case& c : cases) {
        registry_->DeleteValue(platform::Hive::LocalMachine, kBusKey, "SmartPI");
        if (c.smartPI)
            SetDword("SmartPI", 1);
        SetDword("IsOneWriteFile", c.oneWrite ? 1 : 0);
        clock_.SetCounterFrequency(c.counter ? 1000000 : 0);
        TRSSession& s = OpenSession();
        line_->responder = AnswerTypeRequests;
        ASSERT_TRUE(s.SendCommand(kTypeRequest, true, false, 0, 0)) << c.what;
        EXPECT_EQ(line_->WritesAndLine(), c.expected) << c.what;
        EXPECT_EQ(Hex(s.Answer()), Hex(TypeAnswer(1))) << c.what;
    }
}

TEST_F(ExchangeTest, AfterASystemErrorEverythingIsPurgedFirst)
{
    TRSSession& s = OpenSession();
    platform::SetLastError(platform::kErrorIoDevice);
    s.ExchangeFrame(kTypeRequest, false, 0, 0, false);
    const auto w = line_->WritesAndLine();
    ASSERT_GE(w.size(), 4u);
    EXPECT_EQ(w[3], "Purge 15"); // after the input purge and the switch to sending
}

TEST_F(ExchangeTest, RejectedAnswerLeavesTheLineReceiving)
{
    TRSSession& s = OpenSession();
    line_->responder = [](const Bytes&) { return TypeAnswer(2); }; // another unit answers
    EXPECT_FALSE(s.ExchangeFrame(kTypeRequest, true, 0, 0, false));
    const auto w = line_->WritesAndLine();
    EXPECT_EQ(w.back(), "FlushOut");
    EXPECT_TRUE(s.LastFrameAnswer().empty());

    // No answer at all (nothing well formed) turns it back to sending.
    line_->responder = nullptr;
    line_->ClearCalls();
    EXPECT_FALSE(s.ExchangeFrame(kTypeRequest, true, 0, 0, false));
    EXPECT_EQ(line_->WritesAndLine().back(), "Escape SetRts");
}

TEST_F(ExchangeTest, LineTimeCoversTheFrameAndTheTail)
{
    struct Case
    {
        int32_t speed, stopBits, tail;
        int64_t microseconds; // (9 + stop bits) / speed per byte, 7 bytes, plus tail + 200 us
    };
    const Case cases[] = {{9600, 0, 400, 7892}, {19200, 2, 400, 4611}, {9600, 1, 0, 7857}};
    for (const Case& c : cases) {
        SetDword("SpeedRSS", c.speed);
        SetDword("StopBits", c.stopBits);
        SetDword("TailInUS", c.tail);
        TRSSession& s = OpenSession();
        clock_.ClearSleeps();
        const int64_t before = BusyMicroseconds();
        s.ExchangeFrame(kTypeRequest, false, 0, 0, false);
        EXPECT_EQ(BusyMicroseconds() - before, c.microseconds) << c.speed << " " << c.stopBits;
    }
    SetDword("SmartPI", 1);
    TRSSession& s = OpenSession();
    const int64_t before = BusyMicroseconds();
    s.ExchangeFrame(kTypeRequest, false, 0, 0, false);
    EXPECT_EQ(BusyMicroseconds() - before, 0) << "the line driver needs no wait";
}

TEST_F(ExchangeTest, PausesAroundAnExchange)
{
    SetDword("PauseFromSession", 9);
    SetDword("ConfirmationTimeOut", 3);
    TRSSession& s = OpenSession();
    line_->responder = AnswerTypeRequests;
    clock_.ClearSleeps();
    ASSERT_TRUE(s.ExchangeFrame(kTypeRequest, true, 0, 0, false));
    EXPECT_EQ(clock_.Sleeps(), (std::vector<uint32_t>{9, 4})) << "pause, then the start time-out";

    clock_.ClearSleeps();
    s.ExchangeFrame(kTypeRequest, false, 0, 0, false);
    EXPECT_EQ(clock_.Sleeps(), (std::vector<uint32_t>{4})) << "no pause without an awaited answer";

    clock_.ClearSleeps();
    EXPECT_TRUE(s.ExchangeFrame({0, 6, 0, 13, 0, 0}, true, 0, 0, false));
    EXPECT_EQ(clock_.Sleeps(), (std::vector<uint32_t>{9, 6 + 4}))
        << "broadcast: L + start time-out";
    EXPECT_TRUE(s.LastFrameAnswer().empty());
}

TEST_F(ExchangeTest, CodedRequestGoesOutCodedAndItsAnswerComesBackPlain)
{
    TRSSession& s = OpenSession();
    s.SetKeyWord(1, 0x5A);
    const Bytes prepared = s.PrepareFrame({1, 6, 0x33, 13, 0, 0});
    EXPECT_EQ(Hex(prepared), "81 06 33 0D 00 00");
    line_->responder = [](const Bytes& f) {
        const uint8_t mask = 0x5A ^ f[2];
        Bytes a = {0x81, 6, 0, 44, 0x17, 0x02};
        for (size_t i = 2; i < a.size(); ++i)
            a[i] ^= mask;
        a.push_back(corecomp::BusCrc8(a));
        return a;
    };
    ASSERT_TRUE(s.ExchangeFrame(prepared, true, 0, 0, false));
    EXPECT_EQ(Hex(line_->frames.at(0)), "81 06 33 64 69 69 AB");
    const Bytes answer = s.LastFrameAnswer();
    EXPECT_EQ(Hex(Bytes(answer.begin(), answer.end() - 1)), "01 06 00 2C 17 02");

    // A fresh key for every preparation; a 5-byte request and address 0 are never coded.
    s.SetKeyWord(2, 0x11);
    EXPECT_EQ(s.PrepareFrame({2, 6, 0, 13, 0, 0})[0], 0x82);
    EXPECT_NE(s.PrepareFrame({2, 6, 0, 13, 0, 0})[2], 0);
    EXPECT_EQ(Hex(s.PrepareFrame({2, 5, 0, 13, 0})), "02 05 00 0D 00");
    s.SetCodeSession(false);
    EXPECT_EQ(Hex(s.PrepareFrame({2, 6, 0, 13, 0, 0})), "02 06 00 0D 00 00");
    EXPECT_EQ(s.KeyWord(2), 0x11) << "switching coding off keeps the keys";
}

TEST_F(ExchangeTest, KeysAreForgottenAfterMoreThanFiveSilentSeconds)
{
    TRSSession& s = OpenSession();
    s.SetKeyWord(1, 0x5A);
    EXPECT_FALSE(s.KeysExpired()) << "no exchange yet";
    const int64_t start = clock_.NowMicroseconds(); // the time of an exchange is taken as it starts
    s.ExchangeFrame(kTypeRequest, false, 0, 0, false);
    clock_.AdvanceMicroseconds(start + 5000000 - clock_.NowMicroseconds());
    EXPECT_EQ(s.PrepareFrame(kTypeRequest)[0], 0x81) << "exactly five seconds keeps them";
    clock_.AdvanceMilliseconds(100);
    EXPECT_EQ(s.PrepareFrame(kTypeRequest)[0], 0x01);
    EXPECT_EQ(s.KeyWord(1), 0);
}

TEST_F(ExchangeTest, LostAdapterClosesThePortAndTheNextCommandReopensIt)
{
    SetDword("LogCommand", 1);
    struct Case
    {
        const char* what;
        int oneWrite;
        bool failRead;
    };
    const Case cases[] = {
        {"frame write", 0, false},
        {"frame and checksum in one write", 1, false},
        {"read", 0, true},
        {"read after one write", 1, true},
    };
    for (const Case& c : cases) {
        SetDword("IsOneWriteFile", c.oneWrite);
        TRSSession& s = OpenSession();
        s.SetRetryCount(6);
        line_->responder = AnswerTypeRequests;
        if (c.failRead)
            line_->hangUpOnRead = true;
        else
            line_->failNextFrameWrite = platform::kErrorDeviceNotConnected;
        const auto before = s.ExchangeCounters();
        EXPECT_FALSE(s.SendCommand(kTypeRequest, true, false, 0, 0)) << c.what;
        EXPECT_EQ(platform::LastError(), platform::kErrorDeviceNotConnected) << c.what;
        EXPECT_TRUE(s.Transport().IsClosed()) << c.what;
        EXPECT_EQ(std::count(line_->calls.begin(), line_->calls.end(), "Open COM1"), 0)
            << c.what << ": no try after the adapter is gone";
        EXPECT_EQ(s.ExchangeCounters().frames - before.frames, 1u) << c.what;
        EXPECT_EQ(s.ExchangeCounters().failedCommands - before.failedCommands, 1u) << c.what;

        ASSERT_TRUE(s.SendCommand(kTypeRequest, true, false, 0, 0)) << c.what;
        EXPECT_EQ(std::count(line_->calls.begin(), line_->calls.end(), "Open COM1"), 1) << c.what;
        EXPECT_EQ(Hex(s.Answer()), Hex(TypeAnswer(1))) << c.what;
    }
    std::ifstream log(LogFile("LogCommand1.txt"), std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
    // "ошибка порта:1167" in Windows-1251
    EXPECT_NE(text.find("\xEE\xF8\xE8\xE1\xEA\xE0\x20\xEF\xEE\xF0\xF2\xE0:1167\r\n"),
              std::string::npos);
}

TEST_F(ExchangeTest, DatagramTransportGetsEachFrameAtOnceAndStaysOpen)
{
    line_->datagrams = true;
    TRSSession& s = MakeSession();
    line_->responder = AnswerTypeRequests;
    ASSERT_TRUE(s.SendCommand(kTypeRequest, true, false, 0, 0));
    EXPECT_EQ(line_->WritesAndLine(),
              (std::vector<std::string>{"Write " + Hex(kTypeRequest) + " " + CrcHex(kTypeRequest),
                                        "FlushOut"}));
    // Open stays open: the next command does not reopen it.
    ASSERT_TRUE(s.SendCommand(kTypeRequest, true, false, 0, 0));
    EXPECT_EQ(std::count(line_->calls.begin(), line_->calls.end(), "Open COM1"), 1);
}

TEST_F(ExchangeTest, ClockCommandCarriesTheComputersTime)
{
    TRSSession& s = OpenSession();
    clock_.AdvanceMilliseconds(((13 * 60 + 14) * 60 + 15) * 1000LL);
    s.ExchangeFrame({1, 10, 0, 41, 0, 0, 0, 0, 0, 0}, false, 0, 0, false);
    ASSERT_EQ(line_->frames.size(), 1u);
    const Bytes sent = {1, 10, 10, 41, 13, 14, 15, 9, 12, 25};
    EXPECT_EQ(Hex(line_->frames[0]), Hex(sent) + " " + CrcHex(sent));
}
