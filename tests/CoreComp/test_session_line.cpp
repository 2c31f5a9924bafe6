// The exchange on a line that keeps time: late answers, refused requests.

#include "session_fixture.h"

#include "CoreComp/rssess/bus_crc.h"

#include <algorithm>
#include <array>
#include <random>
#include <utility>

namespace {

constexpr uint8_t kUnit = 5;
constexpr int kSteps = 960; // 8 bytes each

Bytes ReadRequest(uint8_t unit, uint16_t offset)
{
    const uint8_t lo = static_cast<uint8_t>(offset & 0xFF);
    const uint8_t hi = static_cast<uint8_t>(offset >> 8);
    return {unit, 8, 0, 0x43, lo, hi, 0, 8};
}

Bytes MemoryReadRequest(uint16_t offset)
{
    return ReadRequest(kUnit, offset);
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
            if (unit == Silent) {
                // The answer the silent unit owes is waited for within the same minute, not for
                // as long as the values would have the head come.
                const int64_t again = clock_.NowMicroseconds();
                EXPECT_FALSE(s.SendCommand(c.request, true, false, 0, 0));
                EXPECT_LE((clock_.NowMicroseconds() - again) / 1000, tookMs + 2000);
            }
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

// --- two units on one line

namespace {

constexpr uint8_t kUnitA = 5;
constexpr uint8_t kUnitB = 6;

} // namespace

// Two units that answer memory reads, each from a memory of its own; the next answer of a unit
// can be made late, with or without a bad checksum.
class TwoUnitLineTest : public SessionTest
{
protected:
    void SetUp() override
    {
        SessionTest::SetUp();
        SetUpLine();
    }
    void SetUpLine()
    {
        line_ = std::make_shared<FakeLine>();
        line_->clock = &clock_;
        line_->answerDelayUs = 40000; // the request, a unit that takes its time, the answer
        for (int u = 0; u < 2; ++u) {
            memory_[u].resize(kSteps * 8);
            std::mt19937 random(11 + u);
            for (uint8_t& b : memory_[u])
                b = static_cast<uint8_t>(random());
        }
        late_ = {};
        line_->responder = [this](const Bytes& frame) -> Bytes {
            const uint8_t unit = frame[0] & 0x7F;
            if (frame[3] != 0x43 || (unit != kUnitA && unit != kUnitB))
                return {};
            const Bytes& memory = memory_[unit == kUnitA ? 0 : 1];
            const size_t offset = frame[4] | size_t{frame[5]} << 8;
            Bytes body{unit, 0x44, 8};
            body.insert(body.end(), memory.begin() + static_cast<std::ptrdiff_t>(offset),
                        memory.begin() + static_cast<std::ptrdiff_t>(offset + 8));
            Bytes answer = MakeAnswer(body);
            pendingLateUs_ = 0;
            if (late_.unit == unit) {
                pendingLateUs_ = late_.us;
                if (late_.badCrc)
                    answer.back() ^= 0x5A;
                late_ = {};
            }
            return answer;
        };
        line_->lateUs = [this](const Bytes&) { return std::exchange(pendingLateUs_, 0); };
    }
    void AnswerNextLate(uint8_t unit, int64_t us, bool badCrc) { late_ = {unit, us, badCrc}; }
    // Reads one step of the unit and checks its bytes; false when the read failed.
    ::testing::AssertionResult ReadsExactly(TRSSession& s, uint8_t unit, uint16_t offset)
    {
        if (!s.SendCommand(ReadRequest(unit, offset), true, false, 0, 0))
            return ::testing::AssertionFailure() << "unit " << int(unit) << " failed at " << offset;
        const Bytes& a = s.Answer();
        const Bytes& memory = memory_[unit == kUnitA ? 0 : 1];
        if (a.size() != 13 || a[0] != unit ||
            !std::equal(a.begin() + 4, a.begin() + 12, memory.begin() + offset))
            return ::testing::AssertionFailure()
                   << "unit " << int(unit) << " at " << offset << " answered " << Hex(a);
        return ::testing::AssertionSuccess();
    }

    struct Late
    {
        uint8_t unit = 0;
        int64_t us = 0;
        bool badCrc = false;
    };
    Late late_;
    int64_t pendingLateUs_ = 0;
    std::array<std::vector<uint8_t>, 2> memory_;
};

// A unit's one-try request (a search's) is answered late, so that the answer comes during
// whatever the session asks next: the same unit or the other one, at points that walk through
// that request.  Good checksum or bad, the late answer is never taken for another step's, and
// each read gets its own bytes with the tries it has.
TEST_F(TwoUnitLineTest, LateAnswersFromEitherUnitAtEitherTurnNeverShiftARead)
{
    struct Case
    {
        uint8_t late;
        uint8_t next; // whose read follows the late answer's request
        bool badCrc;
    };
    const Case cases[] = {
        {kUnitB, kUnitA, true},  {kUnitB, kUnitA, false}, {kUnitA, kUnitB, true},
        {kUnitA, kUnitB, false}, {kUnitA, kUnitA, true},  {kUnitA, kUnitA, false},
        {kUnitB, kUnitB, true},  {kUnitB, kUnitB, false},
    };
    constexpr int kTimeoutMs = 100;
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << "late " << int(c.late) << ", then " << int(c.next)
                                          << (c.badCrc ? ", bad checksum" : ", good checksum"));
        SetUpLine();
        SetDword("CmdTimeoutConstant", kTimeoutMs);
        TRSSession& s = MakeSession();
        uint16_t offset = 0;
        // Past the try's end by 3 to 150 ms, and then out to a second.
        std::vector<int64_t> pastEndMs;
        for (int64_t ms = 3; ms <= 150; ms += 3)
            pastEndMs.push_back(ms);
        for (int64_t ms : {300, 600, 950})
            pastEndMs.push_back(ms);
        for (const int64_t ms : pastEndMs) {
            SCOPED_TRACE(::testing::Message() << ms << " ms past the try's end");
            s.SetRetryCount(0);
            AnswerNextLate(c.late, (kTimeoutMs + ms) * 1000 - line_->answerDelayUs, c.badCrc);
            const uint16_t lateOffset = static_cast<uint16_t>((offset + 800) % (kSteps * 8));
            EXPECT_FALSE(s.SendCommand(ReadRequest(c.late, lateOffset), true, false, 0, 0));
            s.SetRetryCount(6);
            for (int step = 0; step < 3; ++step, offset = static_cast<uint16_t>(offset + 8))
                ASSERT_TRUE(ReadsExactly(s, c.next, offset));
        }
    }
}

// The polling thread closes and reopens the same port: an answer owed before is still owed
// after, and the same unit's next step must not take it.  Another port owes nothing.
TEST_F(TwoUnitLineTest, AReopenOfTheSamePortKeepsTheOwedAnswers)
{
    SetDword("CmdTimeoutConstant", 100);
    TRSSession& s = MakeSession();
    for (const int64_t pastEndMs : {20, 200, 900}) {
        SCOPED_TRACE(pastEndMs);
        s.SetRetryCount(0);
        AnswerNextLate(kUnitA, (100 + pastEndMs) * 1000 - line_->answerDelayUs, false);
        EXPECT_FALSE(s.SendCommand(ReadRequest(kUnitA, 800), true, false, 0, 0));
        ASSERT_TRUE(s.ReopenPort());
        s.SetRetryCount(6);
        for (uint16_t offset = 0; offset < 24; offset += 8)
            ASSERT_TRUE(ReadsExactly(s, kUnitA, offset));
    }

    s.SetRetryCount(0);
    AnswerNextLate(kUnitA, 5000000, false); // it never comes in this test
    EXPECT_FALSE(s.SendCommand(ReadRequest(kUnitA, 800), true, false, 0, 0));
    s.SetComPort(2);
    const int64_t before = clock_.NowMicroseconds();
    line_->ClearCalls();
    ASSERT_TRUE(ReadsExactly(s, kUnitA, 0));
    EXPECT_LT(clock_.NowMicroseconds() - before, 100000) << "nothing is owed on another port";
}

// A unit that turns round slowly but within the read's wait, at 115200 bit/s where the longest
// answer takes 22 ms on the wire: its answer up to a second past the wait's end is still owed,
// and the next step does not take it.
TEST_F(TwoUnitLineTest, ASlowUnitsAnswerUpToASecondLateIsOwedAt115200)
{
    SetDword("SpeedRSS", 115200);
    SetDword("CmdTimeoutConstant", 600);
    line_->answerDelayUs = 450000; // on time
    TRSSession& s = MakeSession();
    uint16_t offset = 0;
    for (const int64_t pastEndMs : {100, 400, 700, 1000}) {
        SCOPED_TRACE(pastEndMs);
        s.SetRetryCount(0);
        AnswerNextLate(kUnitA, (600 + pastEndMs) * 1000 - line_->answerDelayUs, false);
        EXPECT_FALSE(s.SendCommand(ReadRequest(kUnitA, 800), true, false, 0, 0));
        s.SetRetryCount(6);
        for (int step = 0; step < 2; ++step, offset = static_cast<uint16_t>(offset + 8))
            ASSERT_TRUE(ReadsExactly(s, kUnitA, offset));
    }
}
