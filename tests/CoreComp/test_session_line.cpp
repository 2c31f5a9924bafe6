// The exchange on a line that keeps time: late answers, refused requests.

#include "session_fixture.h"

#include "CoreComp/rssess/bus_crc.h"

#include <algorithm>
#include <random>

namespace {

constexpr uint8_t kUnit = 5;
constexpr int kSteps = 960; // 8 bytes each

Bytes MemoryReadRequest(uint16_t offset)
{
    const uint8_t lo = static_cast<uint8_t>(offset & 0xFF);
    const uint8_t hi = static_cast<uint8_t>(offset >> 8);
    return {kUnit, 8, 0, 0x43, lo, hi, 0, 8};
}

} // namespace

class LineTest : public SessionTest
{
protected:
    void SetUp() override
    {
        SessionTest::SetUp();
        SetUpUnit();
    }
    void SetUpUnit()
    {
        memory_.resize(kSteps * 8);
        std::mt19937 random(3);
        for (uint8_t& b : memory_)
            b = static_cast<uint8_t>(random());
        // A unit that answers memory reads (the answer names no offset, only the count).
        line_->responder = [this](const Bytes& frame) -> Bytes {
            if (frame[3] != 0x43)
                return {};
            const size_t offset = frame[4] | size_t{frame[5]} << 8;
            Bytes body{kUnit, 0x44, 8};
            body.insert(body.end(), memory_.begin() + static_cast<std::ptrdiff_t>(offset),
                        memory_.begin() + static_cast<std::ptrdiff_t>(offset + 8));
            return MakeAnswer(body);
        };
    }

    std::vector<uint8_t> memory_;
};

TEST_F(LineTest, AnswersLaterThanTheTimeOutNeverLandInAnotherStep)
{
    // 9600 bit/s and the default 600 ms time-out: the request, the unit's turnaround and the
    // answer take 25 ms on the wire.  Every 23rd request is answered late, at points that walk
    // through the exchanges that follow the time-out.
    line_->clock = &clock_;
    line_->answerDelayUs = 25000;
    const int64_t pastTimeoutMs[] = {10, 35, 45, 50, 60, 80, 120, 200, 15, 40};
    int requests = 0;
    int late = 0;
    line_->lateUs = [&](const Bytes&) -> int64_t {
        if (++requests % 23 != 0)
            return 0;
        const int64_t ms = pastTimeoutMs[static_cast<size_t>(late++) % std::size(pastTimeoutMs)];
        return (600 - 25 + ms) * 1000;
    };
    TRSSession& s = MakeSession();
    s.SetRetryCount(6);

    int wrong = 0;
    int done = 0;
    for (; done < kSteps; ++done) {
        const uint16_t offset = static_cast<uint16_t>(done * 8);
        if (!s.SendCommand(MemoryReadRequest(offset), true, false, 0, 0))
            break; // a failed read is allowed; wrong bytes are not
        const Bytes& a = s.Answer();
        ASSERT_EQ(a.size(), 13u);
        if (!std::equal(a.begin() + 4, a.begin() + 12, memory_.begin() + offset))
            ++wrong;
    }
    EXPECT_EQ(wrong, 0) << "steps answered with another step's bytes";
    EXPECT_EQ(done, kSteps) << "each late answer costs one try only";
    EXPECT_GE(late, 40) << "the late answers were there";
}

// Answers up to a second past their due time, with a time-out much shorter than that: none
// may be taken by another try, another step, or (with no retries, so that a command's last
// try is the one that timed out) the next command.
TEST_F(LineTest, AnswersUpToASecondLateAreNeverTakenByAnotherRequest)
{
    struct Case
    {
        int retries;
        int timeoutMs;
    };
    for (const Case c : {Case{6, 100}, Case{0, 100}, Case{6, 600}, Case{0, 30}}) {
        SCOPED_TRACE(::testing::Message() << c.retries << " retries, " << c.timeoutMs << " ms");
        line_ = std::make_shared<FakeLine>();
        SetUpUnit();
        SetDword("CmdTimeoutConstant", c.timeoutMs);
        line_->clock = &clock_;
        line_->answerDelayUs = 25000;
        // Every 31st request is answered late, by amounts that walk up to a whole second.
        const int64_t pastDueMs[] = {1000, 150, 999, 400, 700, 60, 850, 990, 300, 1000};
        int requests = 0;
        int late = 0;
        line_->lateUs = [&](const Bytes&) -> int64_t {
            if (++requests % 31 != 0)
                return 0;
            return pastDueMs[static_cast<size_t>(late++) % std::size(pastDueMs)] * 1000;
        };
        TRSSession& s = MakeSession();
        s.SetRetryCount(static_cast<uint16_t>(c.retries));
        int wrong = 0;
        int failed = 0;
        for (int step = 0; step < kSteps / 2; ++step) {
            const uint16_t offset = static_cast<uint16_t>(step * 8);
            if (!s.SendCommand(MemoryReadRequest(offset), true, false, 0, 0)) {
                ++failed; // allowed; wrong bytes are not
                continue;
            }
            const Bytes& a = s.Answer();
            ASSERT_EQ(a.size(), 13u);
            if (!std::equal(a.begin() + 4, a.begin() + 12, memory_.begin() + offset))
                ++wrong;
        }
        EXPECT_EQ(wrong, 0) << "steps answered with another step's bytes";
        EXPECT_GE(late, 10) << "the late answers were there";
        if (c.retries > 0)
            EXPECT_EQ(failed, 0) << "each late answer costs one try only";
        else
            EXPECT_LE(failed, late) << "each late answer costs its command only";
    }
}

// However the registry's per-byte part and constant add up, one try waits a minute at most for
// its answer: at a silent unit, at one whose long answer stops after its head, and at one whose
// head comes just before the minute is out.
TEST_F(LineTest, NoTryWaitsMoreThanAMinuteForItsAnswer)
{
    constexpr int32_t kHuge = 0x7FFFFFFF;
    struct Case
    {
        const char* multiplierName;
        const char* constantName;
        int32_t multiplier, constant;
        Bytes request;
    };
    const Bytes poll = {kUnit, 6, 0, 1, 0, 1}; // commands 1 and 3 have values of their own
    const Case cases[] = {
        {"CmdTimeoutMultiplier", "CmdTimeoutConstant", kHuge, 600, MemoryReadRequest(0)},
        {"CmdTimeoutMultiplier", "CmdTimeoutConstant", 0, kHuge, MemoryReadRequest(0)},
        {"CmdTimeoutMultiplier", "CmdTimeoutConstant", kHuge, kHuge, MemoryReadRequest(0)},
        {"CmdTimeoutMultiplier", "CmdTimeoutConstant", 1000, 50, MemoryReadRequest(0)},
        {"TimeoutMultiplier", "TimeoutConstant", kHuge, kHuge, poll},
        {"TimeoutMultiplier", "TimeoutConstant", 300, 59000, poll},
    };
    enum Unit { Silent, HeadOnly, LateHead };
    for (const Case& c : cases) {
        for (const Unit unit : {Silent, HeadOnly, LateHead}) {
            SCOPED_TRACE(::testing::Message()
                         << c.multiplierName << "=" << c.multiplier << " " << c.constantName << "="
                         << c.constant << ", unit " << unit);
            line_ = std::make_shared<FakeLine>();
            line_->clock = &clock_;
            line_->answerDelayUs = 25000;
            // A head that announces the longest answer; its rest never comes.
            line_->responder = [unit](const Bytes&) -> Bytes {
                return unit == Silent ? Bytes{} : Bytes{kUnit, 255, 0x44, 8, 0, 0};
            };
            if (unit == LateHead)
                line_->lateUs = [](const Bytes&) -> int64_t { return 59500000 - 25000; };
            for (const char* name : {"TimeoutMultiplier", "TimeoutConstant", "CmdTimeoutMultiplier",
                                     "CmdTimeoutConstant"})
                registry_->DeleteValue(platform::Hive::LocalMachine, kBusKey, name);
            SetDword(c.multiplierName, c.multiplier);
            SetDword(c.constantName, c.constant);
            TRSSession& s = MakeSession();
            s.SetRetryCount(0);
            const int64_t before = clock_.NowMicroseconds();
            EXPECT_FALSE(s.SendCommand(c.request, true, false, 0, 0));
            const int64_t tookMs = (clock_.NowMicroseconds() - before) / 1000;
            // The reads wait what the values ask (each is a minute at most), up to a minute in
            // all; the try's own pauses (before the exchange, the line time, the turnaround)
            // come on top.
            const int64_t m = std::min(c.multiplier, kMaxRegistryMs);
            const int64_t k = std::min(c.constant, kMaxRegistryMs);
            const int64_t first = std::min<int64_t>(6 * m + k, kMaxRegistryMs);
            const int64_t headMs = unit == HeadOnly ? 25 : 59500;
            const int64_t wait = unit == Silent || first < headMs
                                     ? first
                                     : std::min<int64_t>(headMs + 250 * m + k, kMaxRegistryMs);
            EXPECT_GE(tookMs, wait);
            EXPECT_LE(tookMs, wait + 100);
        }
    }
}

// An adapter that takes the bytes but never sends them: the drain runs out, the try ends at
// once and the next command still goes out.
TEST_F(LineTest, ADrainThatRunsOutEndsTheTryAndNotTheLine)
{
    TRSSession& s = MakeSession();
    s.SetRetryCount(2);
    line_->failDrains = 3;
    EXPECT_FALSE(s.SendCommand(MemoryReadRequest(0), true, false, 0, 0));
    const auto calls = line_->WritesAndLine();
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "DrainOutput"), 3) << "three tries";
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "FlushOut"), 0) << "no try went on";
    EXPECT_FALSE(s.Transport().IsClosed()) << "no hang-up: the port stays";
    ASSERT_TRUE(s.SendCommand(MemoryReadRequest(8), true, false, 0, 0));
    EXPECT_TRUE(std::equal(s.Answer().begin() + 4, s.Answer().begin() + 12, memory_.begin() + 8));
}

TEST_F(LineTest, UnsendableRequestIsRefusedBeforeThePortAndCountsNothing)
{
    const Bytes cases[] = {
        {kUnit, 4, 0, 0x43, 0},          // length byte below 5
        {kUnit, 9, 0, 0x43, 0, 0, 0, 8}, // length byte beyond the request
        {kUnit, 255, 0, 13, 0, 0},       // far beyond it
        {kUnit, 6, 0, 13},               // shorter than any frame
        {128, 6, 0, 13, 0, 0},           // no such address
    };
    TRSSession& s = MakeSession();
    s.SetRetryCount(6);
    for (const Bytes& request : cases) {
        line_->ClearCalls();
        const auto before = s.ExchangeCounters();
        EXPECT_FALSE(s.SendCommand(request, true, false, 0, 0)) << Hex(request);
        EXPECT_TRUE(s.Answer().empty());
        EXPECT_TRUE(line_->CallsWithout({"IsClosed"}).empty())
            << Hex(request) << ": the port is not even opened";
        const auto after = s.ExchangeCounters();
        EXPECT_EQ(after.commands, before.commands) << Hex(request);
        EXPECT_EQ(after.frames, before.frames) << Hex(request);
        EXPECT_EQ(after.failedTries, before.failedTries) << Hex(request);
        EXPECT_EQ(after.failedCommands, before.failedCommands) << Hex(request);
        EXPECT_EQ(s.NoAnswerCount(0, kUnit), 0u) << Hex(request);
        EXPECT_EQ(s.NoAnswerCount(1, kUnit), 0u) << Hex(request);
    }
    // A request that fits goes out as before.
    ASSERT_TRUE(s.SendCommand(MemoryReadRequest(16), true, false, 0, 0));
    EXPECT_EQ(s.ExchangeCounters().frames, 1u);
}
