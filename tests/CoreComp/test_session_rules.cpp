// Rules of the own line's polling and queue: the poll weight by device type, the key that a
// foreign answer costs, the general commands' answer kind and clock, the end of a record that
// carries a search-progress block, and the key renewal giving the lock back between its
// exchanges.

#include "session_fixture.h"

#include "CoreComp/rssess/session_log.h"

#include <chrono>
#include <condition_variable>
#include <future>
#include <map>
#include <mutex>

namespace {

using namespace std::chrono_literals;

void PutLe32(Bytes& p, size_t at, uint32_t v)
{
    for (size_t i = 0; i < 4; ++i)
        p.at(at + i) = static_cast<uint8_t>(v >> (8 * i));
}

} // namespace

class RulesTest : public SessionTest
{
protected:
    bool Await(const std::function<bool()>& done) { return owner_.WaitServing(done, 60s); }
    // Address a present with weight 1, the search off.
    void Present(TRSSession& s, uint8_t a)
    {
        s.SetSearchEnabled(false);
        s.SetPollWeight(a, 1);
        s.SetAbsent(a, false);
        s.BuildPollSchedule();
    }
};

TEST_F(RulesTest, TheTypeAnswerGivesThePollWeightOfItsType)
{
    const std::map<uint8_t, uint8_t> weightOfType = {
        {0, 1}, {1, 4},  {2, 4},  {3, 1},  {4, 8},  {5, 8},  {6, 0},  {7, 8},   {8, 1},
        {9, 4}, {10, 1}, {11, 4}, {12, 2}, {13, 1}, {14, 4}, {44, 4}, {255, 4},
    };
    TRSSession& s = MakeSession();
    std::map<uint8_t, uint8_t> typeAt; // address -> the type it answers
    uint8_t a = 1;
    for (const auto& [type, weight] : weightOfType)
        typeAt[a++] = type;
    line_->responder = [&](const Bytes& f) {
        return f[3] == 13 ? MakeAnswer({f[0], 0, typeAt.at(f[0]), 223, 0}) : Bytes{};
    };
    s.SetWork(true);
    ASSERT_TRUE(s.Work());
    for (const auto& [address, type] : typeAt) {
        ASSERT_TRUE(s.RequestDeviceType(address)) << int(type);
        EXPECT_EQ(s.PollWeight(address), weightOfType.at(type)) << "type " << int(type);
    }
    s.SetWork(false);
}

TEST_F(RulesTest, AnAddressThatAnswersWithAForeignCommandLosesItsKey)
{
    TRSSession& s = MakeSession();
    uint8_t answerCommand = 0;
    line_->responder = [&](const Bytes& f) {
        if (f[3] != 1)
            return Bytes{};
        return answerCommand == 4 ? MakeAnswer({f[0], 4, 22, 7, 0})
                                  : MakeAnswer({f[0], answerCommand, 0, 0});
    };
    std::vector<uint8_t> unexpected;
    s.OnFalseDevice = [&](uint8_t address) { unexpected.push_back(address); };
    s.SetCodeSession(false); // the poll goes plain; the key stays until a rule drops it
    struct Case
    {
        uint8_t command;
        bool keepsKey;
    };
    // Of the other commands only 10 gets past the frame layer's check of a poll's answer.
    const Case cases[] = {{2, true}, {4, true}, {10, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(int(c.command));
        Present(s, 3);
        s.SetKeyWord(3, 0x42);
        unexpected.clear();
        answerCommand = c.command;
        s.PollDeviceEvents(3);
        EXPECT_EQ(s.KeyWord(3), c.keepsKey ? 0x42 : 0);
        EXPECT_EQ(unexpected.size(), c.keepsKey ? 0u : 1u);
    }
}

TEST_F(RulesTest, GeneralCommandsComeBackWithTheirAnswerKind)
{
    runPasses_ = true;
    TRSSession& s = MakeSession();
    line_->responder = [](const Bytes& f) {
        return f[3] == 1 ? MakeAnswer({f[0], 2, 0, 0}) : Bytes{};
    };
    std::map<uint32_t, int32_t> fastOf; // sequence -> the answer's kind
    s.OnAsynchAnswer = [&](uint32_t, int32_t fast, int32_t sequence, int64_t,
                           const platform::OwnerMessage&) {
        fastOf[static_cast<uint32_t>(sequence)] = fast;
    };
    Present(s, 2);
    const std::map<uint8_t, int32_t> kindOf = {{1, 1}, {3, 1}, {4, 1}, {6, 8}, {9, 1}};
    std::map<uint32_t, uint8_t> commandOf;
    for (const auto& [command, kind] : kindOf) {
        s.GeneralCommand(2, command, {});
        const size_t index = commandOf.size();
        ASSERT_EQ(s.QueuedCommandCount(), index + 1);
        commandOf[s.PendingCommand(index).sequence] = command;
    }
    s.SetWork(true);
    ASSERT_TRUE(Await([&] { return fastOf.size() == kindOf.size(); }));
    s.SetWork(false);
    for (const auto& [sequence, command] : commandOf)
        EXPECT_EQ(fastOf.at(sequence), kindOf.at(command)) << "command " << int(command);
}

TEST_F(RulesTest, TheClockCommandSetsTheClocksOneSecondAheadOfTheComputer)
{
    TRSSession& s = MakeSession();
    Present(s, 2);
    const corecomp::CivilTime day = corecomp::SplitDate(clock_.Now());
    ASSERT_EQ(day.hour * 3600 + day.minute * 60 + day.second, 0) << "the fake clock's start";
    struct Case
    {
        int64_t atUs;             // the computer's time of day
        int hour, minute, second; // the clock the units get
    };
    const Case cases[] = {
        {(10 * 3600 + 20 * 60 + 30) * 1000000LL, 10, 20, 31},
        {(10 * 3600 + 20 * 60 + 59) * 1000000LL + 500000, 10, 21, 0},
    };
    int64_t now = 0;
    for (size_t i = 0; i < std::size(cases); ++i) {
        const Case& c = cases[i];
        clock_.AdvanceMicroseconds(c.atUs - now);
        now = c.atUs;
        s.GeneralCommand(2, 4, {});
        ASSERT_EQ(s.QueuedCommandCount(), i + 1);
        const TCommandRecord r = s.PendingCommand(i);
        EXPECT_EQ(r.message, 544u);
        EXPECT_EQ(r.frame,
                  (Bytes{4, static_cast<uint8_t>(c.hour), static_cast<uint8_t>(c.minute),
                         static_cast<uint8_t>(c.second), static_cast<uint8_t>(day.day),
                         static_cast<uint8_t>(day.month), static_cast<uint8_t>(day.year - 2000)}))
            << c.hour << ":" << c.minute << ":" << c.second;
    }
}

TEST_F(RulesTest, ARecordWithASearchProgressBlockEndsWithTheProgressAlone)
{
    runPasses_ = true;
    TRSSession& s = MakeSession();
    line_->responder = [](const Bytes& f) {
        return f[3] == 1 ? MakeAnswer({f[0], 2, 0, 0}) : Bytes{};
    };
    Present(s, 1);
    std::vector<int64_t> progress; // the address of each progress report
    std::vector<uint32_t> answered;
    int statistics = 0;
    s.OnProgressSearchDevice = [&](int64_t address, int32_t, int32_t, int32_t, int32_t) {
        progress.push_back(address);
    };
    s.OnAsynchAnswer = [&](uint32_t, int32_t, int32_t sequence, int64_t,
                           const platform::OwnerMessage&) {
        answered.push_back(static_cast<uint32_t>(sequence));
    };
    s.OnStatisticAnswer = [&](const std::vector<int32_t>&, int32_t) { ++statistics; };
    struct Case
    {
        uint32_t firstWord;
        bool progress; // 1 to 20: a search-progress record
    };
    const Case cases[] = {{1, true}, {20, true}, {0, false}, {21, false}};
    std::vector<uint32_t> ownersAnswers;
    std::vector<int64_t> progressAddresses;
    for (const Case& c : cases) {
        Bytes block(33, 0);
        PutLe32(block, 0, c.firstWord);
        PutLe32(block, 4, 0); // with the first word, the unit's 64-bit address
        TRSSession::PostOptions o;
        o.extra = block;
        o.extraLength = static_cast<uint8_t>(block.size());
        const int32_t sequence = s.PostCommand(0, 0, {1, 6, 0, 19, 0, 0}, o);
        ASSERT_GE(sequence, 0);
        if (c.progress)
            progressAddresses.push_back(c.firstWord);
        else
            ownersAnswers.push_back(static_cast<uint32_t>(sequence));
    }
    s.SetWork(true);
    ASSERT_TRUE(Await([&] {
        return progress.size() == progressAddresses.size() &&
               answered.size() == ownersAnswers.size();
    }));
    // One pass more: whatever else was to come for them has come now.
    const uint32_t polls = s.PollCounters().polls;
    ASSERT_TRUE(Await([&] { return s.PollCounters().polls > polls + 2; }));
    s.SetWork(false);
    EXPECT_EQ(progress, progressAddresses);
    EXPECT_EQ(answered, ownersAnswers) << "no answer for a progress record";
    EXPECT_EQ(statistics, static_cast<int>(ownersAnswers.size())) << "nor statistics";
    for (const Bytes& f : line_->frames)
        EXPECT_NE(f[3], 19) << "a record with a block is never sent";
}

TEST_F(RulesTest, TheKeyRenewalLetsGettersAndPostsInBetweenItsExchanges)
{
    runPasses_ = true;
    TRSSession& s = MakeSession();
    const SessionEnd end = EndSessionFirst(); // its thread uses the hook's locals
    line_->responder = [](const Bytes& f) {
        if (f[3] == 1)
            return MakeAnswer({f[0], 2, 0, 0});
        if (f[3] == 17)
            return MakeAnswer({f[0], 18, f[4], 0});
        return Bytes{};
    };
    s.SetSearchEnabled(false);
    for (uint8_t a : {1, 2}) {
        s.SetPollWeight(a, 1);
        s.SetAbsent(a, false);
    }
    s.BuildPollSchedule();
    s.SetWork(true);
    ASSERT_TRUE(Await([&] { return s.PollCounters().polls > 5; }));
    s.SetWork(false);
    ASSERT_TRUE(s.ThreadIdle());
    line_->ClearCalls();

    // The renewal stops before its exchange with unit 2, after the one with unit 1, until the
    // test lets it go on.
    std::mutex m;
    std::condition_variable cv;
    bool stopped = false, released = false;
    s.RenewKeysStepHook = [&](uint8_t address) {
        if (address != 2)
            return;
        std::unique_lock lk(m);
        stopped = true;
        cv.notify_all();
        cv.wait(lk, [&] { return released; });
    };
    const auto release = [&] {
        std::lock_guard g(m);
        released = true;
        cv.notify_all();
    };
    clock_.AdvanceMilliseconds(6000); // longer than the key silence
    s.SetWork(true);
    ASSERT_TRUE(Await([&] {
        std::lock_guard g(m);
        return stopped;
    }));
    auto other = std::async(std::launch::async, [&] {
        const uint8_t weight = session_->PollWeight(1);
        const int32_t sequence = session_->PostCommand(0, 0, {1, 6, 0, 19, 0, 0}, {});
        return weight == 1 && sequence >= 0;
    });
    // Only a guard against a hang: the getter and the post must not wait for the renewal.
    const bool returned = other.wait_for(20s) == std::future_status::ready;
    release();
    EXPECT_TRUE(returned) << "a getter waited for the whole renewal";
    EXPECT_TRUE(other.get());
    ASSERT_TRUE(Await([&] { return s.AsyncOutstanding() == 0; }));
    s.SetWork(false);
    std::map<uint8_t, int> renewals;
    for (const Bytes& f : line_->frames)
        if (f[3] == 17)
            ++renewals[f[0]];
    EXPECT_EQ(renewals, (std::map<uint8_t, int>{{1, 1}, {2, 1}}));
}
