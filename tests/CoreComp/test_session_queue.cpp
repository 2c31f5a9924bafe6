// Queued and general commands: posting from any thread, the bound, the batch of 16, one
// answer for every record, and the record block that travels with the answer.

#include "session_fixture.h"

#include "CoreComp/rssess/command_record.h"

#include "platform/guid.h"
#include "platform/text1251.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <set>
#include <thread>

namespace {

using namespace std::chrono_literals;

Bytes Answer(const Bytes& f)
{
    switch (f[3]) {
    case 1:
        return MakeAnswer({f[0], 2, 0, 0});
    case 13:
        return MakeAnswer({f[0], 0, 1, 223, 0});
    case 19:
        return MakeAnswer({f[0], 20, f[4], 0});
    default:
        return {};
    }
}

} // namespace

class QueueTest : public SessionTest
{
protected:
    void SetUp() override
    {
        SessionTest::SetUp();
        runPasses_ = true;
        SetDword("CmdTimeoutConstant", 50);
        MakeSession();
        line_->responder = Answer;
        S().OnAsynchAnswer = [this](uint32_t handle, int32_t fast, int32_t sequence, int64_t full,
                                    const platform::OwnerMessage& m) {
            callers_[static_cast<uint32_t>(sequence)] = {handle, fast, full};
            EXPECT_EQ(m.wparam, static_cast<uint32_t>(sequence));
            messages_[static_cast<uint32_t>(sequence)] = m.msg;
            answers_[static_cast<uint32_t>(sequence)].push_back(m.payload);
        };
    }
    TRSSession& S() { return *session_; }
    // Address 1 present with weight 1, the search off.
    void OneUnit()
    {
        S().SetSearchEnabled(false);
        S().SetPollWeight(1, 1);
        S().BuildPollSchedule();
    }
    bool Await(const std::function<bool()>& done) { return owner_.WaitServing(done, 20s); }
    std::map<uint32_t, std::vector<Bytes>> answers_;
    std::map<uint32_t, uint32_t> messages_; // the message of each answered record
    struct Caller
    {
        uint32_t handle;
        int32_t fast;
        int64_t fullAddress;
        bool operator==(const Caller&) const = default;
    };
    std::map<uint32_t, Caller> callers_; // what came back of the caller's values
};

TEST_F(QueueTest, RecordBlockKeepsEveryField)
{
    TCommandRecord r;
    r.used = true;
    r.postHandle = 0xA1B2C3D4;
    r.extraLength = 9;
    r.fullAddress = -5;
    r.deviceWord = 77;
    r.routing = {3, 7};
    r.message = kRecordGeneralCommand;
    r.sequence = 19999999;
    r.guid = -2;
    r.fast = 8;
    r.word = -1;
    r.time = 46000.5;
    r.frame = {1, 5, 20, 0, 0, 0x55};
    const Bytes p = r.ToPayload();
    ASSERT_EQ(p.size(), TCommandRecord::kSize + 6);
    EXPECT_EQ(p[30], 0xFF) << "the sequence number at its offset";
    EXPECT_EQ(p[33], 0x01);
    const auto back = TCommandRecord::FromPayload(p);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->ToPayload(), p);
    EXPECT_EQ(back->fullAddress, -5);
    EXPECT_EQ(back->frame, r.frame);
    Bytes cut = p;
    cut.pop_back();
    EXPECT_FALSE(TCommandRecord::FromPayload(cut)) << "frame length and payload disagree";
    EXPECT_FALSE(TCommandRecord::FromPayload(Bytes(66)));
}

TEST_F(QueueTest, PostsFromManyThreadsGetUniqueNumbersAndAFullQueueRefuses)
{
    TRSSession::PostOptions fixed;
    fixed.sequenceOverride = 555;
    EXPECT_EQ(S().PostCommand(1, 0, {1, 6, 0, 19, 0, 0}, fixed), 555);
    EXPECT_EQ(S().PostCommand(1, 0, {1, 6, 0, 19, 0, 0}, {}), 556) << "the counter follows it";

    std::vector<std::vector<int32_t>> got(4);
    std::vector<std::thread> threads;
    for (size_t t = 0; t < got.size(); ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 200; ++i)
                got[t].push_back(S().PostCommand(1, 0, {1, 6, 0, 19, 0, 0}, {}));
        });
    for (auto& t : threads)
        t.join();
    std::set<int32_t> unique;
    for (const auto& g : got)
        unique.insert(g.begin(), g.end());
    EXPECT_EQ(unique.size(), 800u);
    EXPECT_FALSE(unique.count(-1));
    EXPECT_EQ(S().AsyncOutstanding(), 802);

    while (S().QueuedCommandCount() < TRSSession::kMaxPendingCommands)
        ASSERT_GE(S().PostCommand(1, 0, {1, 6, 0, 19, 0, 0}, {}), 0);
    EXPECT_EQ(S().PostCommand(1, 0, {1, 6, 0, 19, 0, 0}, {}), -1);
    EXPECT_EQ(S().QueuedCommandCount(), TRSSession::kMaxPendingCommands);

    TRSSession::PostOptions noLine;
    noLine.routing = std::array<uint8_t, 2>{0, 9};
    EXPECT_EQ(S().PostCommand(1, 0, {1, 6, 0, 19, 0, 0}, noLine), -1) << "routed to line 0";
}

TEST_F(QueueTest, TwentyCommandsAreSentSixteenThenFourAndEachIsAnsweredOnce)
{
    OneUnit();
    std::vector<uint32_t> posted;
    for (int i = 0; i < 20; ++i) {
        TRSSession::PostOptions o;
        o.fullAddress = 1000 + i;
        o.fast = 1;
        posted.push_back(static_cast<uint32_t>(S().PostCommand(
            static_cast<uint32_t>(i), 0, {1, 6, 0, 19, static_cast<uint8_t>(i), 0}, o)));
    }
    // One that cannot be sent: its answer is empty, but it is answered.
    TRSSession::PostOptions general;
    general.routing = std::array<uint8_t, 2>{1, 7};
    const auto unsent = static_cast<uint32_t>(S().PostCommand(99, 544, {3}, general));
    S().SetWork(true);
    ASSERT_TRUE(Await([&] { return answers_.size() == 21; }));
    const uint32_t polls = S().PollCounters().polls;
    ASSERT_TRUE(Await([&] { return S().PollCounters().polls > polls + 20; }));
    S().SetWork(false);
    for (size_t i = 0; i < posted.size(); ++i) {
        ASSERT_EQ(answers_[posted[i]].size(), 1u) << i;
        EXPECT_EQ(Hex(answers_[posted[i]][0]).substr(0, 11),
                  "01 05 14 " + Hex({static_cast<uint8_t>(i)}));
        EXPECT_EQ(callers_[posted[i]],
                  (Caller{static_cast<uint32_t>(i), 1, 1000 + static_cast<int64_t>(i)}));
        EXPECT_EQ(messages_[posted[i]], 0u);
    }
    EXPECT_EQ(callers_[unsent], (Caller{99, 0, 0}));
    EXPECT_EQ(messages_[unsent], 544u);
    ASSERT_EQ(answers_[unsent].size(), 1u);
    EXPECT_TRUE(answers_[unsent][0].empty());
    EXPECT_EQ(S().AsyncOutstanding(), 0);

    // On the wire: a run of 16, something else, then the other 4.
    std::vector<size_t> runs;
    bool inRun = false;
    for (const Bytes& f : line_->frames) {
        if (f[3] == 19) {
            if (!inRun)
                runs.push_back(0);
            ++runs.back();
        }
        inRun = f[3] == 19;
    }
    EXPECT_EQ(runs, (std::vector<size_t>{16, 4}));
}

TEST_F(QueueTest, WorkOffKeepsTheRestOfABatchForTheNextStart)
{
    OneUnit();
    for (int i = 0; i < 10; ++i)
        S().PostCommand(0, 0, {1, 6, 0, 19, static_cast<uint8_t>(i), 0}, {});
    bool stopped = false;
    S().OnAsynchAnswer = [&](uint32_t, int32_t, int32_t sequence, int64_t,
                             const platform::OwnerMessage& m) {
        answers_[static_cast<uint32_t>(sequence)].push_back(m.payload);
        if (answers_.size() == 3 && !stopped) {
            stopped = true;
            session_->SetWork(false);
        }
    };
    S().SetWork(true);
    ASSERT_TRUE(Await([&] { return stopped && S().ThreadIdle(); }));
    EXPECT_EQ(answers_.size(), 3u);
    S().SetWork(true);
    ASSERT_TRUE(Await([&] { return answers_.size() == 10; }));
    S().SetWork(false);
    for (const auto& [sequence, list] : answers_)
        EXPECT_EQ(list.size(), 1u) << sequence;
    size_t sent = 0;
    for (const Bytes& f : line_->frames)
        sent += f[3] == 19;
    EXPECT_EQ(sent, 10u) << "no entry sent twice, none left out";
}

TEST_F(QueueTest, GeneralCommandsGoToPresentAddressesOnly)
{
    for (int a : {2, 3, 4})
        S().SetPollWeight(a, 4);
    S().SetAbsent(4, true);
    struct Case
    {
        uint8_t address, command;
        bool noTime;
        size_t queued;
    };
    const Case cases[] = {
        {0, 3, false, 2}, // 2 and 3; 4 is absent, the rest not found
        {3, 6, false, 1}, // one present address
        {5, 3, false, 0}, // not found
        {4, 1, false, 0}, // absent
        {200, 3, false, 0}, {0, 4, false, 2}, {0, 4, true, 0}, // the clock is not set with NoTime
    };
    for (const Case& c : cases) {
        if (c.noTime)
            SetDword("NoTime", 1);
        S().ReadRegistrySettings();
        const size_t before = S().QueuedCommandCount();
        S().GeneralCommand(c.address, c.command, {});
        EXPECT_EQ(S().QueuedCommandCount() - before, c.queued)
            << int(c.address) << "/" << int(c.command);
    }
}

TEST(Guid, VersionFourAndUnique)
{
    std::set<std::string> seen;
    for (int i = 0; i < 1000; ++i) {
        const platform::Guid g = platform::NewGuid();
        EXPECT_EQ(g.bytes[6] >> 4, 4);
        EXPECT_EQ(g.bytes[8] & 0xC0, 0x80);
        const std::string text = platform::GuidText(g);
        ASSERT_EQ(text.size(), 38u);
        EXPECT_EQ(text.front(), '{');
        EXPECT_EQ(text[9], '-');
        seen.insert(text);
    }
    EXPECT_EQ(seen.size(), 1000u);
}

TEST_F(QueueTest, ReadListRecordsTakeNoOwnersNumberAndOwnersNumbersAreNotReadListCodes)
{
    // Four posters and one thread that changes the read list: every owner's number is new and
    // each poster's run goes up.
    std::vector<std::vector<int32_t>> got(4);
    ASSERT_TRUE(S().AddReadChannel(5, 1, {}));
    S().ApplyQueuedReadListOperations();
    std::thread lists([&] {
        for (int i = 0; i < 150; ++i) {
            S().AddReadChannel(5, static_cast<uint8_t>(i % 7 + 2), {});
            S().RemoveReadChannel(5, static_cast<uint8_t>(i % 7 + 2));
            EXPECT_TRUE(S().PostChannelTyping(5, 1)); // requests 671 and 672
        }
    });
    std::vector<std::thread> threads;
    for (size_t t = 0; t < got.size(); ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 60; ++i)
                got[t].push_back(S().PostCommand(1, 0, {1, 6, 0, 19, 0, 0}, {}));
        });
    for (auto& t : threads)
        t.join();
    lists.join();
    std::set<int32_t> unique;
    for (const auto& g : got) {
        EXPECT_TRUE(std::is_sorted(g.begin(), g.end()));
        unique.insert(g.begin(), g.end());
    }
    EXPECT_EQ(unique.size(), 240u);
    EXPECT_FALSE(unique.count(-1));
    EXPECT_EQ(S().AsyncOutstanding(), 240) << "read-list records owe the owner nothing";
    const int32_t next = S().PostCommand(1, 0, {1, 6, 0, 19, 0, 0}, {});
    EXPECT_GT(next, *unique.rbegin()) << "the read list set the counter back";
}

TEST_F(QueueTest, OwnersRecordsWithReadListNumbersAndMessagesAreAnswered)
{
    OneUnit();
    struct Case
    {
        uint32_t message, sequence;
    };
    const Case cases[] = {
        {kRecordReadListOperation, 666}, {kRecordReadListOperation, 669},
        {kRecordReadListRequest, 670},   {kRecordReadListRequest, 673},
        {0, 671},
    };
    for (const Case& c : cases) {
        TRSSession::PostOptions o;
        o.sequenceOverride = c.sequence;
        o.guid = static_cast<int32_t>(c.sequence);
        ASSERT_EQ(S().PostCommand(7, c.message, {1, 6, 0, 19, 3, 0}, o),
                  static_cast<int32_t>(c.sequence));
    }
    S().SetWork(true);
    ASSERT_TRUE(Await([&] { return answers_.size() == std::size(cases); }));
    S().SetWork(false);
    for (const Case& c : cases) {
        ASSERT_EQ(answers_[c.sequence].size(), 1u) << c.message << "/" << c.sequence;
        EXPECT_EQ(Hex(answers_[c.sequence][0]).substr(0, 8), "01 05 14");
        EXPECT_EQ(messages_[c.sequence], c.message) << "the answer carries the record's message";
    }
    EXPECT_EQ(S().AsyncOutstanding(), 0);
    EXPECT_TRUE(S().ReadList().Empty()) << "no owner's record is applied to the read list";
}

TEST_F(QueueTest, TheBoundCoversTheBatchAndEveryAcceptedRecordIsAnsweredOnce)
{
    OneUnit();
    // A slow line: every command takes a while, far longer than a post.
    line_->responder = [](const Bytes& f) {
        if (f[3] == 19)
            std::this_thread::sleep_for(200us);
        return Answer(f);
    };
    S().SetWork(true);
    std::atomic<bool> done{false};
    std::atomic<int> accepted{0}, refused{0}, worst{0};
    std::thread poster([&] {
        for (int i = 0; i < 100000; ++i) {
            if (S().PostCommand(1, 0, {1, 6, 0, 19, 0, 0}, {}) >= 0)
                ++accepted;
            else
                ++refused;
            worst = std::max(worst.load(), S().AsyncOutstanding());
        }
        done = true;
    });
    const bool posted = Await([&] { return done.load(); });
    poster.join();
    ASSERT_TRUE(posted);
    ASSERT_TRUE(Await([&] { return answers_.size() == static_cast<size_t>(accepted); }));
    S().SetWork(false);
    EXPECT_GT(refused, 0);
    // What waits, in the queue or the batch, plus the one being answered.
    EXPECT_LE(worst, static_cast<int>(TRSSession::kMaxPendingCommands) + 1);
    for (const auto& [sequence, list] : answers_)
        ASSERT_EQ(list.size(), 1u) << sequence;
    EXPECT_EQ(S().AsyncOutstanding(), 0);
}

TEST_F(QueueTest, AScheduledAddressIsPolledAfterEveryTwentyFiveCommands)
{
    // Address 1 alone in the schedule: the pass polls it before every batch of 16, and the
    // count of 25 runs on across batches.
    OneUnit();
    for (int i = 0; i < 50; ++i)
        S().PostCommand(0, 0, {1, 6, 0, 19, static_cast<uint8_t>(i), 0}, {});
    S().SetWork(true);
    ASSERT_TRUE(Await([&] { return answers_.size() == 50; }));
    S().SetWork(false);
    // In the run of commands, a poll follows the 25th and the 50th.
    std::vector<int> pollsAfter;
    int commands = 0;
    for (const Bytes& f : line_->frames) {
        if (f[3] == 19)
            ++commands;
        else if (f[3] == 1 && commands > 0 && commands < 50 &&
                 (pollsAfter.empty() || pollsAfter.back() != commands))
            pollsAfter.push_back(commands);
    }
    EXPECT_NE(std::find(pollsAfter.begin(), pollsAfter.end(), 25), pollsAfter.end())
        << "polls after commands: " << testing::PrintToString(pollsAfter);
}

TEST_F(QueueTest, TheClockCommandIsPostedOnlyToUnitsThatTakeIt)
{
    struct Case
    {
        uint16_t type;
        uint32_t firmware;
        bool noTime;
        uint8_t command;
        bool queued;
    };
    const Case cases[] = {
        {2, 158, false, 41, false}, {2, 159, false, 41, true},  {2, 300, false, 41, true},
        {1, 300, false, 41, false}, {3, 0, false, 41, true},    {44, 0, false, 41, true},
        {3, 0, true, 41, false},    {2, 200, true, 41, false},  {1, 0, true, 19, true},
    };
    for (const Case& c : cases) {
        registry_->DeleteValue(platform::Hive::LocalMachine, kBusKey, "NoTime");
        if (c.noTime)
            SetDword("NoTime", 1);
        S().ReadRegistrySettings();
        S().SetDeviceType(3, c.type);
        S().SetFirmwareVersion(3, c.firmware);
        const size_t before = S().QueuedCommandCount();
        EXPECT_EQ(S().PostFrame({3, 6, 0, c.command, 0, 0}), c.queued)
            << c.type << "/" << c.firmware << "/" << c.noTime;
        EXPECT_EQ(S().QueuedCommandCount() - before, c.queued ? 1u : 0u);
    }
}

TEST_F(QueueTest, AnyDevicePresentNeedsAFoundAddressThatIsNotAbsent)
{
    struct Case
    {
        uint8_t weight;
        bool absent;
        bool present;
    };
    const Case cases[] = {
        {128, false, false}, {128, true, false}, {4, true, false},
        {4, false, true},    {0, false, true},   {255, false, true},
    };
    for (const Case& c : cases) {
        for (int a = 1; a <= 127; ++a) {
            S().SetPollWeight(a, 128);
            S().SetAbsent(a, false);
        }
        S().SetPollWeight(77, c.weight);
        S().SetAbsent(77, c.absent);
        EXPECT_EQ(S().AnyDevicePresent(), c.present) << int(c.weight) << "/" << c.absent;
    }
}

TEST_F(QueueTest, EveryAnswerIsLoggedWithTheCommandsLeft)
{
    SetDword("LogCommand", 1);
    S().ReadRegistrySettings();
    OneUnit();
    const int32_t first = S().PostCommand(0, 0, {1, 6, 0, 19, 0, 0}, {});
    const int32_t second = S().PostCommand(0, 0, {1, 6, 0, 19, 1, 0}, {});
    S().SetWork(true);
    ASSERT_TRUE(Await([&] { return answers_.size() == 2; }));
    S().SetWork(false);
    std::ifstream in(LogFile("logCmd.txt"), std::ios::binary);
    const std::string log((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // "Ответ на N команду Осталось:M" in Windows-1251, after each line's time stamp.
    const std::string answer = "\xCE\xF2\xE2\xE5\xF2\x20\xED\xE0\x20";
    const std::string left = "\x20\xEA\xEE\xEC\xE0\xED\xE4\xF3\x20\xCE\xF1\xF2\xE0\xEB\xEE\xF1\xFC\x3A";
    EXPECT_NE(log.find(answer + std::to_string(first) + left + "1\r\n"), std::string::npos) << log;
    EXPECT_NE(log.find(answer + std::to_string(second) + left + "0\r\n"), std::string::npos);
}

TEST_F(QueueTest, ThePostLogCountsEveryCommandNotYetAnswered)
{
    SetDword("LogCommand", 1);
    S().ReadRegistrySettings();
    OneUnit();
    // A search-progress record ends with 1064, not with an answer; then two commands.
    TRSSession::PostOptions progress;
    progress.extra = Bytes(24);
    progress.extra[0] = 1;
    const int32_t p = S().PostCommand(0, 0, {1, 6, 0, 19, 9, 0}, progress);
    const int32_t a = S().PostCommand(0, 0, {1, 6, 0, 19, 0, 0}, {});
    const int32_t b = S().PostCommand(0, 0, {1, 6, 0, 19, 1, 0}, {});
    // Posted when the first command's answer comes, while the second waits in the batch.
    int32_t c = -1;
    auto answered = S().OnAsynchAnswer;
    S().OnAsynchAnswer = [&](uint32_t handle, int32_t fast, int32_t sequence, int64_t full,
                             const platform::OwnerMessage& m) {
        answered(handle, fast, sequence, full, m);
        if (sequence == a)
            c = session_->PostCommand(0, 0, {1, 6, 0, 19, 2, 0}, {});
    };
    S().SetWork(true);
    ASSERT_TRUE(Await([&] { return answers_.size() == 3; }));
    S().SetWork(false);
    EXPECT_EQ(S().AsyncOutstanding(), 0);
    std::ifstream in(LogFile("logCmd.txt"), std::ios::binary);
    const std::string log = platform::Cp1251ToUtf8(
        std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>()));
    auto posted = [](int32_t n, int count) {
        return "Команда " + std::to_string(n) +
               "  помещена в буфер Всего:" + std::to_string(count) + "\r\n";
    };
    auto answer = [](int32_t n, int left) {
        return "Ответ на " + std::to_string(n) + " команду Осталось:" + std::to_string(left) +
               "\r\n";
    };
    size_t at = 0;
    for (const std::string& line : {posted(p, 1), posted(a, 2), posted(b, 3), answer(a, 1),
                                    posted(c, 2), answer(b, 1), answer(c, 0)}) {
        const size_t found = log.find(line, at);
        ASSERT_NE(found, std::string::npos) << line << " in order in\n" << log;
        at = found + line.size();
    }
}

TEST_F(QueueTest, TheSessionsOwnCommandsJoinTheBatchOnlyWithinTheBound)
{
    OneUnit();
    // Frames left over by a drain while Work is off wait as the session's own commands.
    auto drain = [&](uint8_t tag) {
        for (uint8_t i = 0; i < 5; ++i)
            S().AddPendingFrame({1, 6, 0, 19, i, tag});
        S().DrainCommandQueue();
    };
    drain(1);
    ASSERT_EQ(S().DeferredCommands().size(), 5u);
    size_t accepted = 0;
    while (S().PostCommand(0, 0, {1, 6, 0, 19, static_cast<uint8_t>(accepted), 0}, {}) >= 0)
        ++accepted;
    EXPECT_EQ(accepted, TRSSession::kMaxPendingCommands - 5) << "they count to the bound";
    // Five more beyond it: they must wait until the batch has room.
    drain(2);
    ASSERT_EQ(S().DeferredCommands().size(), 10u);
    size_t worst = 0;
    auto answered = S().OnAsynchAnswer;
    S().OnAsynchAnswer = [&](uint32_t handle, int32_t fast, int32_t sequence, int64_t full,
                             const platform::OwnerMessage& m) {
        answered(handle, fast, sequence, full, m);
        worst = std::max(worst, session_->BatchCount());
    };
    S().SetWork(true);
    ASSERT_TRUE(Await([&] { return answers_.size() == accepted + 10; }));
    S().SetWork(false);
    EXPECT_LT(worst, TRSSession::kMaxPendingCommands) << "beside the one being answered";
    EXPECT_TRUE(S().DeferredCommands().empty());
    for (const auto& [sequence, list] : answers_)
        ASSERT_EQ(list.size(), 1u) << sequence;
}

TEST_F(QueueTest, PostsAndGettersDoNotWaitOutAQueuedCommandsTries)
{
    SetDword("CmdTimeoutConstant", 300);
    S().ReadRegistrySettings();
    OneUnit();
    S().SetRetryCount(5);
    std::mutex m;
    std::condition_variable cv;
    bool between = false, posted = false, postedBetween = false;
    int gaps = 0;
    // The thread stops after the silent command's first try until another thread has posted
    // and read the queue, or gives up after a while (then the post waited for the tries).
    S().BetweenTriesHook = [&] {
        std::unique_lock lk(m);
        if (++gaps != 1)
            return;
        between = true;
        cv.notify_all();
        cv.wait_for(lk, 10s, [&] { return posted; });
        postedBetween = posted;
    };
    int32_t second = -1;
    size_t queued = 0;
    std::thread poster([&] {
        {
            std::unique_lock lk(m);
            if (!cv.wait_for(lk, 20s, [&] { return between; }))
                return;
        }
        second = S().PostCommand(0, 0, {1, 6, 0, 19, 0, 0}, {});
        queued = S().QueuedCommandCount();
        std::lock_guard lk(m);
        posted = true;
        cv.notify_all();
    });
    const auto silent = static_cast<uint32_t>(S().PostCommand(0, 0, {1, 6, 0, 21, 0, 0}, {}));
    S().SetWork(true);
    const bool done = Await([&] {
        std::lock_guard lk(m);
        return posted && answers_.count(silent) == 1 &&
               answers_.count(static_cast<uint32_t>(second)) == 1;
    });
    poster.join();
    S().SetWork(false);
    ASSERT_TRUE(done);
    EXPECT_TRUE(postedBetween) << "the post waited for the silent command's tries";
    EXPECT_EQ(queued, 1u);
    EXPECT_TRUE(answers_[silent].at(0).empty());
    size_t tries = 0;
    for (const Bytes& f : line_->frames)
        tries += f[3] == 21;
    EXPECT_EQ(tries, 6u) << "the tries go on after the post";
}

TEST_F(QueueTest, RetryCountsMayBeSetWhileTheThreadSendsCommands)
{
    OneUnit();
    S().SetWork(true);
    for (int i = 0; i < 30; ++i) {
        const auto n = static_cast<uint32_t>(
            S().PostCommand(0, 0, {1, 6, 0, 19, static_cast<uint8_t>(i), 0}, {}));
        S().SetRetryCount(static_cast<uint16_t>(i % 3));
        S().SetSecondRetryCount(static_cast<uint16_t>(i % 4));
        ASSERT_TRUE(Await([&] { return answers_.count(n) == 1; }));
    }
    S().SetWork(false);
    EXPECT_EQ(answers_.size(), 30u);
}
