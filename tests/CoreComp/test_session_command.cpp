// SendCommand and the thread's command exchanges: tries, counters, events, refusals.

#include "session_fixture.h"

#include "CoreComp/rssess/bus_crc.h"

namespace {

const Bytes kTypeRequest = {1, 6, 0, 13, 0, 0};
const Bytes kEventRequest = {1, 6, 0, 1, 0, 1};
const Bytes kAck = {1, 6, 0, 3, 0, 1};

Bytes WithCrc(Bytes frame)
{
    frame.push_back(corecomp::BusCrc8(frame));
    return frame;
}

} // namespace

class CommandTest : public SessionTest
{
protected:
    void SetUp() override
    {
        SessionTest::SetUp();
        MakeSession();
    }
    TRSSession& S() { return *session_; }
};

TEST_F(CommandTest, RetryCountGivesOneTryMoreThanItSays)
{
    for (uint16_t retries : {0, 1, 6}) {
        line_->ClearCalls();
        const auto before = S().ExchangeCounters();
        const uint32_t missing = S().NoAnswerCount(0, 1);
        S().SetRetryCount(retries);
        EXPECT_FALSE(S().SendCommand(kTypeRequest, true, false, 0, 0));
        EXPECT_EQ(line_->frames.size(), retries + 1u) << retries;
        const auto after = S().ExchangeCounters();
        EXPECT_EQ(after.commands - before.commands, 1u);
        EXPECT_EQ(after.frames - before.frames, retries + 1u);
        EXPECT_EQ(after.failedTries - before.failedTries, retries + 1u);
        EXPECT_EQ(after.failedCommands - before.failedCommands, 1u);
        EXPECT_EQ(S().NoAnswerCount(0, 1) - missing, retries)
            << "no-answer counters grow by the repetitions";
        EXPECT_EQ(S().NoAnswerCount(1, 1) - missing, retries);
        EXPECT_TRUE(S().Answer().empty());
    }
}

TEST_F(CommandTest, DroppedAnswerIsRetriedAndSuccessClearsTheCounters)
{
    S().SetRetryCount(0);
    S().SendCommand(kTypeRequest, true, false, 0, 0);
    ASSERT_EQ(S().NoAnswerCount(0, 1), 0u);
    S().SetRetryCount(6);
    S().SendCommand(kTypeRequest, true, false, 0, 0);
    ASSERT_EQ(S().NoAnswerCount(0, 1), 6u);

    int seen = 0;
    line_->responder = [&](const Bytes&) {
        // The first answer is lost, the second has a bad checksum, the third is good.
        ++seen;
        Bytes a = MakeAnswer({1, 0, 44, 0x17, 0x02});
        if (seen == 1)
            return Bytes{};
        if (seen == 2)
            a.back() ^= 0x55;
        return a;
    };
    line_->ClearCalls();
    EXPECT_TRUE(S().SendCommand(kTypeRequest, true, false, 0, 0));
    EXPECT_EQ(line_->frames.size(), 3u);
    EXPECT_EQ(Hex(S().Answer()), Hex(MakeAnswer({1, 0, 44, 0x17, 0x02})));
    EXPECT_EQ(S().NoAnswerCount(0, 1), 0u);
    EXPECT_EQ(S().NoAnswerCount(1, 1), 0u);
    EXPECT_GT(S().LastAnswerTime(1), 0.0);
}

TEST_F(CommandTest, EventAnswerIsAcknowledgedAndReportedBeforeTheCallReturns)
{
    const Bytes event = MakeAnswer({1, 4, 7, 3, 0, 0x21});
    line_->responder = [&](const Bytes& f) { return f[3] == 1 ? event : Bytes{}; };
    std::vector<Bytes> reported;
    size_t framesWhenReported = 0;
    S().OnNewEvent = [&](const Bytes& e) {
        reported.push_back(e);
        framesWhenReported = line_->frames.size();
    };
    ASSERT_TRUE(S().SendCommand(kEventRequest, true, false, 0, 0));
    ASSERT_EQ(line_->frames.size(), 2u);
    EXPECT_EQ(Hex(line_->frames[1]), Hex(WithCrc(kAck)));
    ASSERT_EQ(reported.size(), 1u);
    EXPECT_EQ(Hex(reported[0]), Hex(event));
    EXPECT_EQ(framesWhenReported, 2u) << "acknowledged before it is reported";
    EXPECT_EQ(Hex(S().Answer()), Hex(event)) << "the acknowledgement keeps the event answer";
    EXPECT_EQ(S().ExchangeCounters().events, 1u);

    line_->ClearCalls();
    ASSERT_TRUE(S().SendCommand(kEventRequest, true, true, 0, 0));
    EXPECT_EQ(line_->frames.size(), 1u) << "no acknowledgement asked for";
}

TEST_F(CommandTest, AcknowledgementKeepsTheCodedExchangeIntact)
{
    // A coded exchange: the acknowledgement goes plain, and must not disturb the mask with which
    // the event answer is decoded.
    S().SetKeyWord(1, 0x5A);
    line_->responder = [](const Bytes& f) {
        if ((f[0] & 0x80) == 0)
            return Bytes{};
        const uint8_t mask = 0x5A ^ f[2];
        Bytes a = {0x81, 7, 12, 9, 1, 2, 3};
        for (size_t i = 2; i < a.size(); ++i)
            a[i] ^= mask;
        a.push_back(corecomp::BusCrc8(a));
        return a;
    };
    ASSERT_TRUE(S().SendCommand(kEventRequest, true, false, 0, 0));
    ASSERT_EQ(line_->frames.size(), 2u);
    EXPECT_EQ(Hex(line_->frames[1]), Hex(WithCrc(kAck)));
    const Bytes a = S().Answer();
    ASSERT_EQ(a.size(), 8u);
    EXPECT_EQ(Hex(Bytes(a.begin(), a.end() - 1)), "01 07 0C 09 01 02 03");
}

TEST_F(CommandTest, HandlerThatUsesTheSessionDoesNotChangeTheCallersAnswer)
{
    const Bytes event = MakeAnswer({1, 14, 1, 2, 3});
    line_->responder = [&](const Bytes& f) {
        return f[3] == 1 ? event : MakeAnswer({f[0], 0, 44, 0x17, 0x02});
    };
    S().OnNewEvent = [&](const Bytes&) { S().SendCommand(kTypeRequest, true, false, 0, 0); };
    ASSERT_TRUE(S().SendCommand(kEventRequest, true, false, 0, 0));
    EXPECT_EQ(Hex(S().Answer()), Hex(event));
}

TEST_F(CommandTest, RefusedRequestsTouchNothing)
{
    const Bytes refused[] = {
        {128, 6, 0, 13, 0, 0}, {255, 6, 0, 13, 0, 0}, {1, 4, 0, 13}, {}, {1},
    };
    for (const Bytes& r : refused) {
        line_->ClearCalls();
        EXPECT_FALSE(S().SendCommand(r, true, false, 0, 0)) << Hex(r);
        EXPECT_TRUE(line_->calls.empty()) << Hex(r);
        EXPECT_TRUE(S().Answer().empty());
    }
    // A length byte beyond the request is refused before anything is written.
    line_->ClearCalls();
    EXPECT_FALSE(S().SendCommand({1, 9, 0, 13, 0, 0}, true, false, 0, 0));
    EXPECT_TRUE(line_->frames.empty());
}

TEST_F(CommandTest, WithoutAnAwaitedAnswerAUnitIsTriedAgainAndABroadcastOnce)
{
    SetDword("LogCommand", 1);
    S().ReadRegistrySettings();
    S().SetRetryCount(2);
    EXPECT_FALSE(S().SendCommand(kTypeRequest, false, false, 0, 0));
    EXPECT_EQ(line_->frames.size(), 3u);

    line_->ClearCalls();
    EXPECT_TRUE(S().SendCommand({0, 6, 0, 13, 0, 0}, false, false, 0, 0));
    EXPECT_EQ(line_->frames.size(), 1u);
    EXPECT_TRUE(S().Answer().empty());
}

TEST_F(CommandTest, FiveByteAnswerIsNeverAccepted)
{
    line_->responder = [](const Bytes&) { return MakeAnswer({1, 0, 44}); };
    S().SetRetryCount(1);
    EXPECT_FALSE(S().SendCommand(kTypeRequest, true, false, 0, 0));
    EXPECT_EQ(line_->frames.size(), 2u);
}

TEST_F(CommandTest, LongestAnswerIsKeptWhole)
{
    Bytes body(254, 0x20);
    body[0] = 1;
    body[1] = 66;
    const Bytes longest = MakeAnswer(body);
    ASSERT_EQ(longest.size(), 256u);
    line_->responder = [&](const Bytes&) { return longest; };
    ASSERT_TRUE(S().SendCommand({1, 6, 0, 65, 0, 0}, true, false, 0, 0));
    EXPECT_EQ(S().Answer(), longest);
}

TEST_F(CommandTest, NewKeyCommandLearnsOnlyAnEchoedKey)
{
    S().SetSecondRetryCount(3);
    line_->responder = [](const Bytes& f) {
        return MakeAnswer({f[0], 18, static_cast<uint8_t>(f[4] + 1), 0});
    };
    EXPECT_FALSE(S().SendCommand({1, 6, 0, 17, 0x42, 0x42}, true, false, 0, 0));
    EXPECT_EQ(line_->frames.size(), 4u) << "second retry count + 1 tries";
    EXPECT_EQ(S().KeyWord(1), 0);

    line_->responder = [](const Bytes& f) { return MakeAnswer({f[0], 18, f[4], 0}); };
    EXPECT_TRUE(S().SendCommand({1, 6, 0, 17, 0x42, 0x42}, true, false, 0, 0));
    EXPECT_EQ(S().KeyWord(1), 0x42);
}

TEST_F(CommandTest, PendingFramesAreSentWhileWorkIsOnAndHandedOnOtherwise)
{
    std::vector<uint8_t> polled;
    S().PollDeviceEventsHook = [&](uint8_t a) { polled.push_back(a); };
    line_->responder = [](const Bytes& f) { return MakeAnswer({f[0], 20, 0, 0}); };
    for (int i = 0; i < 3; ++i)
        S().AddPendingFrame({2, 6, 0, 19, 0, 0});
    S().SetWork(true);
    ASSERT_TRUE(S().Work());
    line_->ClearCalls();
    S().DrainCommandQueue();
    EXPECT_EQ(line_->frames.size(), 3u);
    EXPECT_EQ(polled, std::vector<uint8_t>{2}) << "after more than two frames since the last poll";
    EXPECT_EQ(S().PendingCount(), 0u);

    S().SetWork(false);
    S().AddPendingFrame({3, 6, 0, 13, 0, 0});
    S().AddPendingFrame({4, 6, 0, 13, 0, 0});
    line_->ClearCalls();
    S().DrainCommandQueue();
    EXPECT_TRUE(line_->frames.empty());
    const auto handed = S().DeferredCommands();
    ASSERT_EQ(handed.size(), 2u);
    EXPECT_EQ(handed[0].frame[0], 3);
    EXPECT_EQ(handed[1].frame[0], 4);
    EXPECT_EQ(handed[1].sequence, handed[0].sequence + 1);
}

TEST_F(CommandTest, ThreadExchangesStopWhenWorkIsOff)
{
    EXPECT_FALSE(S().ThreadExchange(kTypeRequest, true));
    EXPECT_FALSE(S().ThreadCommand(kTypeRequest, true, 0));
    EXPECT_TRUE(line_->frames.empty());

    S().SetWork(true);
    S().SetRetryCount(3);
    line_->ClearCalls();
    EXPECT_FALSE(S().ThreadCommand(kTypeRequest, true, 0));
    EXPECT_EQ(line_->frames.size(), 3u) << "as many tries as the retry count";
    line_->ClearCalls();
    S().SetAbsent(1, true);
    EXPECT_FALSE(S().ThreadExchange(kTypeRequest, true));
    EXPECT_TRUE(line_->frames.empty()) << "an absent address is not sent to";
    S().SetAbsent(1, false);
    line_->responder = [](const Bytes& f) { return MakeAnswer({f[0], 10, 0, 0}); };
    EXPECT_TRUE(S().ThreadExchange(kTypeRequest, true)) << "answer 10 always fits";
    line_->responder = nullptr;
    line_->ClearCalls();
    EXPECT_TRUE(S().ThreadExchange({1, 6, 0, 10, 0, 0}, false)) << "command 10 needs no answer";
    EXPECT_EQ(line_->frames.size(), 1u);
    S().SetWork(false);
}

TEST_F(CommandTest, WorkStaysOffWhenThePortCannotBeOpened)
{
    line_->openSucceeds = false;
    S().SetWork(true);
    EXPECT_FALSE(S().Work());
    EXPECT_FALSE(S().ThreadStarted());
    line_->openSucceeds = true;
    S().SetWork(true);
    EXPECT_TRUE(S().Work());
}

TEST_F(CommandTest, UnitAskingForTheTimeGetsTheClockCommandQueued)
{
    // Event code 203: the unit asks for the time; the clock command waits for the queue.
    line_->responder = [](const Bytes& f) {
        return f[3] == 1 ? MakeAnswer({1, 4, 203, 0, 0}) : Bytes{};
    };
    ASSERT_TRUE(S().SendCommand(kEventRequest, true, false, 0, 0));
    auto queued = S().DeferredCommands();
    ASSERT_EQ(queued.size(), 1u);
    EXPECT_EQ(Hex(queued[0].frame), "01 0A 00 29 00 00 00 00 00 00");
    for (size_t i = 0; i < TRSSession::kMaxDeferredCommands + 5; ++i)
        S().SendCommand(kEventRequest, true, true, 0, 0);
    EXPECT_EQ(S().DeferredCommands().size(), TRSSession::kMaxDeferredCommands);

    std::vector<TRSSession::QueuedCommand> handed;
    S().QueueCommandHook = [&](TRSSession::QueuedCommand c) { handed.push_back(std::move(c)); };
    S().SendCommand(kEventRequest, true, true, 0, 0);
    EXPECT_EQ(handed.size(), 1u);
}
