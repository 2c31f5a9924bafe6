// The console line (frame mode 2) with its polling thread, against simulated consoles on the
// fake line: the greeting, the owner's commands and their answers, the pending requests, the
// sub-device maps, and the commands that end when a console is found anew.

#include "session_fixture.h"

#include "CoreComp/rssess/console_table.h"
#include "CoreComp/rssess/second_form.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>

namespace {

using namespace std::chrono_literals;

// A posted frame [console, 6, 0, command, data...] goes to the console as that command.
Bytes Frame(uint8_t command, uint8_t data = 0)
{
    return {1, 6, 0, command, data, 0};
}

class ConsoleLineTest : public SessionTest
{
protected:
    void SetUp() override
    {
        SessionTest::SetUp();
        runPasses_ = true;
        SetDword("SecLostDevice", 0);
        Consoles().AddConsole(1, 31, 2);
    }
    // A session in frame mode 2 whose owner notes the reports and answers; with probe, console
    // 1 is probed in the first pass.
    TRSSession& Start(bool probe = true, bool search = false)
    {
        TRSSession& s = Make(probe, search);
        s.SetWork(true);
        return s;
    }
    TRSSession& Make(bool probe, bool search)
    {
        TRSSession& s = MakeSession();
        s.SetFrameMode(2);
        s.SetSearchEnabled(search);
        s.OnConsoleFound = [this](uint8_t sub, const corecomp::ConsoleRecord& c, double) {
            found_.emplace_back(c.address, sub);
            if (onFound_)
                onFound_();
        };
        s.OnConsoleList = [this](const corecomp::ConsoleRecord& c, uint8_t sub) {
            if (onList_)
                onList_(c, sub);
        };
        s.OnAsynchAnswer = [this](uint32_t, int32_t, int32_t sequence, int64_t,
                                  const platform::OwnerMessage& m) {
            answers_[sequence].push_back(m.payload);
            order_.push_back(sequence);
            if (auto it = onAnswer_.find(sequence); it != onAnswer_.end())
                it->second();
        };
        if (probe)
            s.MarkConsoleForProbe(1);
        return s;
    }
    TRSSession& S() { return *session_; }
    uint32_t Polls() const { return session_->ConsoleStats(1).polls; }
    // Serves the owner until done, or until the thread has polled console 1 `polls` more times.
    bool Await(const std::function<bool()>& done, uint32_t polls = 400)
    {
        const uint32_t limit = Polls() + polls;
        owner_.WaitServing([&] { return done() || Polls() > limit; }, 30s);
        return done();
    }
    // The greeting of a probed console is through once its new key is in force.
    bool Greeted()
    {
        return Await([this] { return Consoles().Key(1).value_or(0) != 0 && S().Console(1).key; });
    }
    int32_t Post(const Bytes& frame) { return S().PostCommand(7, 1, frame, {}); }
    size_t CountOf(const std::vector<uint8_t>& v, uint8_t x) const
    {
        return static_cast<size_t>(std::count(v.begin(), v.end(), x));
    }

    std::vector<std::pair<uint8_t, uint8_t>> found_; // console, sub-device of each report 26
    std::function<void()> onFound_;
    std::function<void(const corecomp::ConsoleRecord&, uint8_t)> onList_;
    std::map<int32_t, std::vector<Bytes>> answers_; // by sequence number
    std::vector<int32_t> order_;
    std::map<int32_t, std::function<void()>> onAnswer_;
};

// The console's own answer to command c: a long answer with tag c, kind 8 and c again.
void ExpectOwnAnswer(const std::vector<Bytes>& got, uint8_t command)
{
    SCOPED_TRACE("command " + std::to_string(command));
    ASSERT_EQ(got.size(), 1u) << "one answer for the command";
    const Bytes& a = got[0];
    ASSERT_GE(a.size(), 11u) << Hex(a);
    EXPECT_EQ(a[corecomp::kAnswerTagPosition], command);
    EXPECT_EQ(a[corecomp::kAnswerKindPosition], corecomp::kMessageList);
    EXPECT_EQ(a[corecomp::kAnswerPayloadPosition], command);
}

} // namespace

TEST_F(ConsoleLineTest, TheGreetingSetsTheClockUnlessNoTime)
{
    for (const bool noTime : {false, true}) {
        SCOPED_TRACE(noTime ? "NoTime" : "clock");
        if (noTime) {
            session_.reset();
            SetDword("NoTime", 1);
            consoles_ = std::make_shared<sim::ConsoleBus>();
            line_->consoleLine = consoles_;
            Consoles().AddConsole(1, 31, 2);
            found_.clear();
        }
        Start();
        ASSERT_TRUE(Greeted());
        ASSERT_EQ(found_, (std::vector<std::pair<uint8_t, uint8_t>>{{1, 0}}));
        EXPECT_EQ(S().Console(1).type, 31);
        S().SetWork(false);
        EXPECT_EQ(Consoles().Commands(1),
                  noTime ? (std::vector<uint8_t>{3, 1}) : (std::vector<uint8_t>{3, 4, 1}));
    }
}

// The console puts another message before a command's answer: the last one again (already
// taken, with the same tag), a sub-device event, or the late answer to the command before.
TEST_F(ConsoleLineTest, AnOwnersCommandGetsOnlyItsOwnAnswer)
{
    // The polling thread's: set by the owner's handlers while the thread waits for them.
    enum { kPass, kHoldNext, kReleaseHeld } late = kPass;
    std::vector<FakeLine::Due> held;
    auto end = EndSessionFirst();
    // Plain frames: a late answer to a coded request decodes under the next request's key
    // into a head of no use, which says nothing of its tag.
    Make(true, false).SetCodeSession(false);
    S().SetWork(true);
    ASSERT_TRUE(Greeted());
    S().SetWork(false);
    const int32_t a = Post(Frame(13));
    const int32_t b = Post(Frame(13));
    const int32_t c = Post(Frame(21, 5));
    const int32_t d = Post(Frame(23));
    const int32_t e = Post(Frame(25));
    line_->onConsoleHeard = [&](FakeLine& line) {
        if (line.scheduled.empty())
            return;
        if (late == kHoldNext) {
            held = std::move(line.scheduled);
            line.scheduled.clear();
            late = kReleaseHeld;
        } else if (late == kReleaseHeld) {
            line.scheduled.insert(line.scheduled.begin(), held.begin(), held.end());
            late = kPass;
        }
    };
    onAnswer_[a] = [this] { Consoles().SetFault(sim::ConsoleFault::Repeat, 1); };
    onAnswer_[b] = [this] {
        Consoles().QueueEvent(1, 251, 5);
        Consoles().SetFault(sim::ConsoleFault::EventFirst, 1);
    };
    onAnswer_[c] = [&late] { late = kHoldNext; };
    S().SetWork(true);
    // The sub-device the event announced is asked for its type in the next pass.
    ASSERT_TRUE(
        Await([&] { return answers_.count(e) > 0 && CountOf(Consoles().Commands(1), 7) == 2; }));
    S().SetWork(false);
    line_->onConsoleHeard = nullptr;

    ExpectOwnAnswer(answers_[a], 13);
    ExpectOwnAnswer(answers_[b], 13);
    EXPECT_NE(answers_[a][0].at(corecomp::kAnswerNumberPosition),
              answers_[b][0].at(corecomp::kAnswerNumberPosition))
        << "b's answer is not a's again";
    ExpectOwnAnswer(answers_[c], 21);
    ASSERT_EQ(answers_[d].size(), 1u);
    EXPECT_EQ(answers_[d][0], (Bytes{1, 0, 0, 6, corecomp::kSecondFormShort}))
        << "no answer of its own in time: it ends with its error code";
    ExpectOwnAnswer(answers_[e], 25);
    EXPECT_EQ(order_, (std::vector<int32_t>{a, b, c, d, e}));
    // The event that came before c's answer was still taken.
    EXPECT_EQ(S().Console(1).subs[5].flags & 16, 16);
}

TEST_F(ConsoleLineTest, AConsoleWhoseTypeAnswerWasLostIsAskedAgainAndReportedFound)
{
    // Found by the search, or by the probe (which reports it at once); the first long answer
    // on the line is the one to the type request.
    for (const bool probe : {false, true}) {
        SCOPED_TRACE(probe ? "probe" : "search");
        session_.reset();
        consoles_ = std::make_shared<sim::ConsoleBus>();
        line_->consoleLine = consoles_;
        Consoles().AddConsole(1, 31, 2);
        Consoles().SetFault(sim::ConsoleFault::BadCrc16, 1);
        found_.clear();
        std::vector<uint8_t> types; // of the console, at each report 26
        onFound_ = [&] { types.push_back(S().Console(1).type); };
        Start(probe, !probe);
        ASSERT_TRUE(Await([this] { return CountOf(Consoles().Commands(1), 6) > 0; }, 600));
        S().SetWork(false);
        onFound_ = nullptr;
        EXPECT_EQ(types, probe ? (std::vector<uint8_t>{0, 31}) : (std::vector<uint8_t>{31}));
        const std::vector<uint8_t> commands = Consoles().Commands(1);
        EXPECT_EQ(CountOf(commands, 3), 2u);
        EXPECT_EQ(commands.back(), 6);
        EXPECT_EQ(S().ConsoleStats(1).codes[corecomp::kSecondFormBadCrc], 1u);
    }
}

TEST_F(ConsoleLineTest, APendingRequestThatFailedOrFoundTheConsoleBusyStaysPending)
{
    for (const auto fault : {sim::ConsoleFault::BadCrc16, sim::ConsoleFault::Busy}) {
        SCOPED_TRACE(fault == sim::ConsoleFault::Busy ? "busy" : "bad CRC-16");
        session_.reset();
        consoles_ = std::make_shared<sim::ConsoleBus>();
        line_->consoleLine = consoles_;
        Consoles().AddConsole(1, 31, 2);
        // Found by the probe: the request is the next long request of the pass.
        onFound_ = [this, fault] {
            ASSERT_TRUE(S().AddPendingRequest(1, 5, {7, 7}));
            Consoles().SetFault(fault, 1);
        };
        Start();
        ASSERT_TRUE(Await([this] { return !found_.empty() && S().PendingRequestCount() == 0; }));
        S().SetWork(false);
        EXPECT_EQ(Consoles().Requests(1, 5), 2u) << "sent again after the first try";
        onFound_ = nullptr;
        found_.clear();
    }
}

TEST_F(ConsoleLineTest, APendingRequestGoesOnlyToAConsolePresentWithState1)
{
    Consoles().AddConsole(2, 31, 2); // on the line, but the session does not know it
    Start();
    ASSERT_TRUE(Greeted());
    Consoles().SetFlag(1, true);
    ASSERT_TRUE(Await([this] { return S().Console(1).state == 2; }));
    ASSERT_TRUE(S().AddPendingRequest(1, 5, {1}));
    ASSERT_TRUE(S().AddPendingRequest(2, 5, {2}));
    const uint32_t polls = Polls();
    ASSERT_TRUE(Await([&] { return Polls() > polls + 20; }));
    EXPECT_EQ(Consoles().Requests(1, 5), 0u) << "state 2";
    EXPECT_EQ(S().PendingRequestCount(), 2u);
    Consoles().SetFlag(1, false);
    ASSERT_TRUE(Await([this] { return S().PendingRequestCount() == 1; }));
    S().SetWork(false);
    EXPECT_EQ(Consoles().Requests(1, 5), 1u);
    EXPECT_EQ(Consoles().Requests(2, 5), 0u) << "a console the session never found";
}

TEST_F(ConsoleLineTest, ASubDeviceInNeitherMapIsAskedForItsTypeWhenItComesBack)
{
    Consoles().AddSubDevice(1, 5, 120, 0x0102, 1);
    Start();
    ASSERT_TRUE(Greeted());
    const auto flags = [this] { return S().Console(1).subs[5].flags; };
    S().GeneralCommand(1, 6, {});
    ASSERT_TRUE(Await([&] { return flags() == (16 | 1); }));
    EXPECT_EQ(CountOf(Consoles().Commands(1), 7), 1u);

    Consoles().AddSubDevice(1, 5, 120, 0x0102, 0);
    S().GeneralCommand(1, 6, {});
    ASSERT_TRUE(Await([&] { return flags() == 0; })) << "its type is no longer known";

    Consoles().AddSubDevice(1, 5, 121, 0x0103, 2);
    S().GeneralCommand(1, 6, {});
    ASSERT_TRUE(Await([&] { return flags() == (16 | 2); }));
    S().SetWork(false);
    EXPECT_EQ(CountOf(Consoles().Commands(1), 7), 2u);
    EXPECT_EQ(S().Console(1).subs[5].type, 121);
}

TEST_F(ConsoleLineTest, ACommandThatFailedBecauseWorkWentOffWaitsForTheNextStart)
{
    std::atomic<bool> armed{false}, stopAsked{false};
    TRSSession* session = nullptr;
    auto end = EndSessionFirst();
    line_->onConsoleHeard = [&](FakeLine& line) {
        const std::vector<uint8_t> heard = Consoles().Commands(1);
        if (!armed || heard.empty() || heard.back() != 13)
            return;
        armed = false;
        line.scheduled.clear(); // the answer is lost, and meanwhile the owner stops polling
        stopAsked = true;
        while (session->Work())
            std::this_thread::yield();
    };
    session = &Start();
    ASSERT_TRUE(Greeted());
    armed = true;
    const int32_t sequence = Post(Frame(13));
    ASSERT_TRUE(Await([&] { return stopAsked.load(); }));
    S().SetWork(false);
    EXPECT_EQ(answers_.count(sequence), 0u) << "not ended while Work is off";

    S().SetWork(true);
    ASSERT_TRUE(Await([&] { return answers_.count(sequence) > 0; }));
    S().SetWork(false);
    line_->onConsoleHeard = nullptr;
    ExpectOwnAnswer(answers_[sequence], 13);
    EXPECT_EQ(CountOf(Consoles().Commands(1), 13), 2u);
}

namespace {

// The code of each error answer [console, 0, line, 6, code] among the answers.
std::map<uint8_t, size_t> ErrorCodes(const std::map<int32_t, std::vector<Bytes>>& answers)
{
    std::map<uint8_t, size_t> codes;
    for (const auto& [sequence, got] : answers)
        for (const Bytes& a : got)
            if (a.size() == 5 && a[3] == 6)
                ++codes[a[4]];
    return codes;
}

} // namespace

TEST_F(ConsoleLineTest, CommandsOfAConsoleThatAnswersAgainEndWith150)
{
    std::vector<int32_t> posted;
    auto end = EndSessionFirst();
    Start();
    ASSERT_TRUE(Greeted());
    // Lost, and back at once: the commands posted meanwhile are more than one pass ends.
    onList_ = [&](const corecomp::ConsoleRecord& c, uint8_t sub) {
        if (sub != 0 || c.state != 0 || !posted.empty())
            return;
        for (int i = 0; i < 20; ++i)
            posted.push_back(Post(Frame(13)));
        Consoles().SetSilent(1, false);
    };
    Consoles().SetSilent(1, true);
    ASSERT_TRUE(Await([&] {
        return posted.size() == 20 && std::all_of(posted.begin(), posted.end(),
                                                  [&](int32_t s) { return answers_.count(s) > 0; });
    }));
    S().SetWork(false);
    const auto codes = ErrorCodes(answers_);
    EXPECT_GT(codes.count(150) ? codes.at(150) : 0, 0u) << "the console's first answer ends them";
    EXPECT_EQ(answers_.size(), 20u);
}

TEST_F(ConsoleLineTest, CommandsOfAConsoleFoundByTheSearchEndWith150)
{
    // The search tries one address in 100 passes; meanwhile the batch ends 8 commands a pass.
    Make(false, true);
    std::vector<int32_t> posted;
    for (int i = 0; i < 1000; ++i)
        posted.push_back(Post(Frame(13)));
    ASSERT_GT(posted.back(), 0);
    S().SetWork(true);
    ASSERT_TRUE(Await(
        [&] {
            return S().Console(1).type == 31 &&
                   std::all_of(posted.begin(), posted.end(),
                               [&](int32_t s) { return answers_.count(s) > 0; });
        },
        1000));
    S().SetWork(false);
    const auto codes = ErrorCodes(answers_);
    EXPECT_GT(codes.count(150) ? codes.at(150) : 0, 0u) << "found by the search";
}
