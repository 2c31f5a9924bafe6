// The polling thread on the fake line: schedule, search, presence and loss, events, the
// bad-line report, the port-failure sweep, key renewal and destruction while it polls.

#include "session_fixture.h"

#include "CoreComp/rssess/bus_crc.h"
#include "CoreComp/rssess/session_log.h"

#include <atomic>
#include <chrono>
#include <deque>
#include <map>
#include <mutex>
#include <random>
#include <thread>

namespace {

using namespace std::chrono_literals;

// Units behind the fake line: type answers, numbered events acknowledged by command 3, and a
// few switches a test flips while the thread polls.
class Units
{
public:
    struct Unit
    {
        uint8_t type = 44;
        bool silent = false;
        int foreign = 0; // non-zero: answers the poll with this command
        std::deque<uint8_t> events;
        std::deque<Bytes> bodies; // whole event answers (without L and CRC), before events
        Bytes version = {223, 0}; // the type answer's bytes after the type
    };

    void Add(uint8_t a, uint8_t type)
    {
        std::lock_guard g(m_);
        units_[a].type = type;
    }
    template <typename F> void Change(uint8_t a, F f)
    {
        std::lock_guard g(m_);
        f(units_.at(a));
    }
    void SetLoss(double drop, double badCrc)
    {
        std::lock_guard g(m_);
        drop_ = drop;
        badCrc_ = badCrc;
    }

    Bytes Answer(const Bytes& f)
    {
        std::lock_guard g(m_);
        const uint8_t a = f[0] & 0x7F;
        auto it = units_.find(a);
        if (it == units_.end() || it->second.silent)
            return {};
        Unit& u = it->second;
        const uint8_t command = f[3];
        Bytes answer;
        switch (command) {
        case 1:
            if (u.foreign)
                answer = MakeAnswer({a, static_cast<uint8_t>(u.foreign), 0, 0});
            else if (!u.bodies.empty())
                answer = MakeAnswer(u.bodies.front());
            else if (u.events.empty())
                answer = MakeAnswer({a, 2, 0, 0});
            else
                answer = MakeAnswer({a, 4, 22, u.events.front(), 0});
            break;
        case 3:
            if (!u.bodies.empty())
                u.bodies.pop_front();
            else if (!u.events.empty())
                u.events.pop_front();
            return {};
        case 13: {
            Bytes body = {a, 0, u.type};
            body.insert(body.end(), u.version.begin(), u.version.end());
            answer = MakeAnswer(body);
            break;
        }
        case 17:
            answer = MakeAnswer({a, 18, f[4], 0});
            break;
        case 19:
            answer = MakeAnswer({a, 20, 0, 0});
            break;
        case 43: // a credential read's confirmation
            answer = MakeAnswer({a, 10, 0, 0});
            break;
        default:
            return {};
        }
        const double draw = std::uniform_real_distribution<double>(0, 1)(random_);
        if (draw < drop_)
            return {};
        if (draw < drop_ + badCrc_)
            answer.back() ^= 0x5A;
        return answer;
    }

private:
    std::mutex m_;
    std::map<uint8_t, Unit> units_;
    std::mt19937 random_{7};
    double drop_ = 0, badCrc_ = 0;
};

} // namespace

class PollTest : public SessionTest
{
protected:
    void SetUp() override
    {
        SessionTest::SetUp();
        runPasses_ = true;
        // Short read waits keep the search of empty addresses quick on the fake line.
        SetDword("CmdTimeoutConstant", 50);
    }

    TRSSession& Start()
    {
        TRSSession& s = MakeSession();
        line_->responder = [this](const Bytes& f) { return units_.Answer(f); };
        s.OnNewDevice = [this](uint8_t a) { Log("new", a); };
        s.OnLostDevice = [this](uint8_t a) { Log("lost", a); };
        s.OnFalseDevice = [this](uint8_t a) {
            Log("false", a);
            falseWeight_ = session_->PollWeight(a);
        };
        s.OnNewEvent = [this](const Bytes& e) { events_.push_back(e.at(4)); };
        return s;
    }
    void Log(const char* what, uint8_t a)
    {
        log_.push_back(std::string(what) + " " + std::to_string(a));
        ticks_[log_.back()].push_back(clock_.TickCount());
    }
    size_t Count(const std::string& entry) const
    {
        return static_cast<size_t>(std::count(log_.begin(), log_.end(), entry));
    }
    // Serves the owner channel until done() or the time-out.
    bool Await(const std::function<bool()>& done, std::chrono::milliseconds timeout = 60s)
    {
        return owner_.WaitServing(done, timeout);
    }
    void StopPolling()
    {
        session_->SetWork(false);
        ASSERT_TRUE(session_->ThreadIdle());
    }

    // Once armed, the next poll answer that carries an event is held on the line until Work
    // reads off (the owner switches it off while the answer is on its way); with goneAfter the
    // adapter goes with it.  Every acknowledgement is counted.
    struct EventHold
    {
        std::atomic<bool> armed{false}, held{false}, goneAfter{false};
        std::atomic<int> acknowledgements{0};
    };
    void HoldEventAnswer(EventHold& h)
    {
        line_->responder = [this, &h](const Bytes& f) {
            if (f[3] == 3)
                ++h.acknowledgements;
            const Bytes answer = units_.Answer(f);
            if (h.armed && f[3] == 1 && answer.size() > 2 && answer[2] == 4 &&
                !h.held.exchange(true)) {
                while (session_->Work())
                    std::this_thread::yield();
                if (h.goneAfter)
                    line_->gone = true;
            }
            return answer;
        };
    }

    // Unit 1 gets the event, and the owner switches Work off while its answer is on the line.
    void WorkOffDuringAnEvent(EventHold& h, uint8_t event)
    {
        h.armed = true;
        units_.Change(1, [event](Units::Unit& u) { u.events = {event}; });
        ASSERT_TRUE(Await([&] { return h.held.load(); }));
        session_->SetWork(false);
    }

    Units units_;
    std::vector<std::string> log_;
    std::map<std::string, std::vector<uint32_t>> ticks_;
    std::vector<uint8_t> events_;
    uint8_t falseWeight_ = 0;
};

TEST_F(PollTest, ScheduleFollowsTheWeights)
{
    TRSSession& s = MakeSession();
    struct Case
    {
        std::map<int, uint8_t> weights; // others stay 128 (not found)
        uint8_t searchPriority;
        std::vector<uint8_t> slots;
    };
    const std::vector<uint8_t> searchOnly(16, 128);
    const Case cases[] = {
        {{{1, 8}, {2, 1}, {3, 1}}, 0, {1, 2, 1, 3, 1, 0, 1, 0, 1, 0}},
        {{}, 0, {}},
        {{{5, 0}, {6, 2}}, 0, {6, 0}}, // weight 0 (type 6) gets no slot
        {{{4, 255}, {9, 1}}, 1, {4, 9, 128}},
    };
    for (const Case& c : cases) {
        for (int a = 1; a <= 127; ++a)
            s.SetPollWeight(a, c.weights.count(a) ? c.weights.at(a) : 128);
        s.SetSearchPriority(c.searchPriority);
        s.BuildPollSchedule();
        EXPECT_EQ(s.PollSchedule(), c.slots) << c.slots.size();
    }

    // A search priority above 16 still gets its slots, and a walk that finds no device to
    // poll ends instead of going round for ever.
    for (int a = 1; a <= 127; ++a)
        s.SetPollWeight(a, 128);
    s.SetSearchPriority(200);
    s.BuildPollSchedule();
    const auto slots = s.PollSchedule();
    ASSERT_EQ(slots.size(), 200u);
    EXPECT_EQ(std::count(slots.begin(), slots.end(), 128), 16);
    line_->ClearCalls();
    s.PollDeviceEvents(0);
    EXPECT_TRUE(line_->frames.empty());
}

TEST_F(PollTest, UnitsAreFoundOnceAndPolledByTheirWeights)
{
    units_.Add(1, 4); // weight 8
    units_.Add(2, 0); // weight 1
    units_.Add(3, 3); // weight 1
    units_.Add(4, 6); // weight 0: found, never polled
    TRSSession& s = Start();
    s.SetWork(true);
    ASSERT_TRUE(Await([&] { return log_.size() >= 4; }));
    ASSERT_TRUE(Await([&] { return s.PollCounters().polls > 400; }));
    StopPolling();
    EXPECT_EQ(log_, (std::vector<std::string>{"new 1", "new 2", "new 3", "new 4"}));
    EXPECT_EQ(s.PollWeight(1), 8);
    EXPECT_EQ(s.PollWeight(4), 0);
    EXPECT_EQ(s.GetDeviceType(1), 4);
    EXPECT_EQ(s.FirmwareVersion(1), 223u);

    // The polls of the units after the last one was found.
    std::vector<uint8_t> polled;
    for (const Bytes& f : line_->frames) {
        if (f[3] == 13 && f[0] == 4)
            polled.clear();
        else if (f[3] == 1 && f[0] >= 1 && f[0] <= 4)
            polled.push_back(f[0]);
    }
    ASSERT_GE(polled.size(), 70u);
    EXPECT_EQ(std::count(polled.begin(), polled.end(), 4), 0) << "a type-6 unit is never polled";
    // Steady state: address 1 takes 5 of every 7 polls.
    for (size_t i = polled.size() - 70; i + 7 <= polled.size(); i += 7)
        EXPECT_EQ(std::count(polled.begin() + static_cast<long>(i),
                             polled.begin() + static_cast<long>(i + 7), 1),
                  5);
}

TEST_F(PollTest, SilenceIsLossOnceAndReturnIsFoundOnce)
{
    struct Case
    {
        int deviceTimeout, secLost;
        uint32_t notBeforeMs;
    };
    for (const Case c : {Case{2, 0, 2000}, Case{1, 4, 4000}}) {
        SCOPED_TRACE(c.secLost);
        log_.clear();
        ticks_.clear();
        SetDword("DeviceTimeout", c.deviceTimeout);
        SetDword("SecLostDevice", c.secLost);
        units_.Add(1, 1);
        units_.Add(2, 1);
        units_.Change(2, [](Units::Unit& u) { u.silent = false; });
        TRSSession& s = Start();
        s.SetWork(true);
        ASSERT_TRUE(Await([&] { return Count("new 2") == 1 && Count("new 1") == 1; }));
        // The last answer of 2 is at most a pass before its silence starts.
        const uint32_t silentFrom = clock_.TickCount();
        units_.Change(2, [](Units::Unit& u) { u.silent = true; });
        ASSERT_TRUE(Await([&] { return Count("lost 2") == 1; }));
        const uint32_t lostAt = ticks_["lost 2"].at(0);
        EXPECT_GE(lostAt - silentFrom + 1000, c.notBeforeMs) << "not before the rule allows";
        EXPECT_LE(lostAt - silentFrom, c.notBeforeMs + 1500u) << "within one pass after it";
        ASSERT_TRUE(Await([&] { return s.PollCounters().polls > 200; }));
        units_.Change(2, [](Units::Unit& u) { u.silent = false; });
        ASSERT_TRUE(Await([&] { return Count("new 2") == 2; }));
        const uint32_t polls = s.PollCounters().polls;
        ASSERT_TRUE(Await([&] { return s.PollCounters().polls > polls + 200; }));
        StopPolling();
        EXPECT_EQ(Count("lost 2"), 1u);
        EXPECT_EQ(Count("new 2"), 2u);
        EXPECT_EQ(Count("lost 1"), 0u);
        EXPECT_FALSE(s.IsAbsent(2));
    }
}

TEST_F(PollTest, ForeignAnswerIsAnUnexpectedDeviceWithWeightOne)
{
    units_.Add(3, 1);
    TRSSession& s = Start();
    s.SetWork(true);
    ASSERT_TRUE(Await([&] { return Count("new 3") == 1; }));
    units_.Change(3, [](Units::Unit& u) { u.foreign = 10; });
    ASSERT_TRUE(Await([&] { return Count("false 3") >= 2; }));
    StopPolling();
    EXPECT_EQ(falseWeight_, 255) << "polled with weight 1 from then on";
}

TEST_F(PollTest, EveryEventReachesTheOwnerOnceAndInOrder)
{
    for (uint8_t a : {1, 2, 3})
        units_.Add(a, 1);
    units_.SetLoss(0.10, 0.05);
    for (int n = 1; n <= 60; ++n)
        for (uint8_t a : {1, 2, 3})
            units_.Change(a, [&](Units::Unit& u) { u.events.push_back(static_cast<uint8_t>(n)); });
    std::map<uint8_t, std::vector<uint8_t>> byUnit;
    TRSSession& s = Start();
    s.OnNewEvent = [&](const Bytes& e) { byUnit[e.at(0)].push_back(e.at(4)); };
    s.SetWork(true);
    ASSERT_TRUE(Await([&] {
        return byUnit[1].size() >= 60 && byUnit[2].size() >= 60 && byUnit[3].size() >= 60;
    }));
    const uint32_t polls = s.PollCounters().polls;
    ASSERT_TRUE(Await([&] { return s.PollCounters().polls > polls + 50; }));
    StopPolling();
    std::vector<uint8_t> expected;
    for (int n = 1; n <= 60; ++n)
        expected.push_back(static_cast<uint8_t>(n));
    for (uint8_t a : {1, 2, 3})
        EXPECT_EQ(byUnit[a], expected) << int(a);
}

TEST_F(PollTest, BadLineIsReportedAfterAHundredPollsAndThenEveryThirtySeconds)
{
    units_.Add(1, 1);
    TRSSession& s = Start();
    std::vector<uint32_t> reports;
    std::vector<uint32_t> requestsAtReport;
    s.OnRSDeviceBadLoopProc = [&](uint8_t a, uint8_t form, const Bytes&) {
        EXPECT_EQ(a, 1);
        EXPECT_EQ(form, 1);
        reports.push_back(clock_.TickCount());
        requestsAtReport.push_back(session_->Statistics(1).requests);
    };
    s.SetBadLineThreshold(11);
    s.SetWork(true);
    ASSERT_TRUE(Await([&] { return Count("new 1") == 1; }));
    units_.SetLoss(0.5, 0); // half the answers lost: a bad line, but the unit stays present
    ASSERT_TRUE(Await([&] { return reports.size() >= 3; }, 60s));
    StopPolling();
    EXPECT_GT(requestsAtReport.at(0), 100u);
    for (size_t i = 1; i < reports.size(); ++i)
        EXPECT_GT(reports[i] - reports[i - 1], 30000u);
    EXPECT_EQ(Count("lost 1"), 0u);
}

TEST_F(PollTest, PortFailureSweepsThePresentUnitsOnceAndLeavesWorkOff)
{
    for (uint8_t a : {1, 2, 3})
        units_.Add(a, 1);
    TRSSession& s = Start();
    s.SetWork(true);
    ASSERT_TRUE(Await([&] { return log_.size() == 3; }));
    line_->gone = true;
    auto lost = [&] { return Count("lost 1") + Count("lost 2") + Count("lost 3"); };
    ASSERT_TRUE(Await([&] { return !s.Work() && lost() >= 3; }));
    Await([] { return false; }, 50ms); // nothing more comes
    EXPECT_EQ(lost(), 3u);
    for (uint8_t a : {1, 2, 3})
        EXPECT_EQ(Count("lost " + std::to_string(a)), 1u);
    EXPECT_GE(s.PollCounters().reopenFailures, 20u);
    const uint32_t failures = s.PollCounters().reopenFailures;
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(s.PollCounters().reopenFailures, failures) << "the thread is parked";

    s.SetWork(true);
    EXPECT_FALSE(s.Work()) << "the port still cannot be opened";
    line_->gone = false;
    s.SetWork(true);
    ASSERT_TRUE(s.Work());
    ASSERT_TRUE(
        Await([&] { return Count("new 1") == 2 && Count("new 2") == 2 && Count("new 3") == 2; }));
    StopPolling();
}

TEST_F(PollTest, SynchronousCommandsWorkDuringPolling)
{
    units_.Add(1, 1);
    units_.Change(1, [](Units::Unit& u) { u.events = {1, 2, 3}; });
    TRSSession& s = Start();
    std::vector<bool> fromHandler;
    s.OnNewEvent = [&](const Bytes& e) {
        events_.push_back(e.at(4));
        fromHandler.push_back(session_->SendCommand({1, 6, 0, 19, 0, 0}, true, false, 0, 0));
    };
    s.SetWork(true);
    ASSERT_TRUE(Await([&] { return events_.size() == 3; }));
    EXPECT_EQ(fromHandler, (std::vector<bool>{true, true, true}));
    for (int i = 0; i < 5; ++i) {
        EXPECT_TRUE(s.SendCommand({1, 6, 0, 19, 0, 0}, true, false, 0, 0));
        EXPECT_EQ(s.Answer().at(2), 20);
        EXPECT_TRUE(s.Work()) << "polling goes on after the command";
    }
    StopPolling();
    EXPECT_EQ(events_, (std::vector<uint8_t>{1, 2, 3}));
}

TEST_F(PollTest, KeysAreRenewedAfterASilenceWhileCodingIsOn)
{
    for (uint8_t a : {1, 2})
        units_.Add(a, 1);
    TRSSession& s = Start();
    s.SetSearchEnabled(false);
    for (bool coding : {true, false}) {
        SCOPED_TRACE(coding);
        s.SetCodeSession(coding);
        for (uint8_t a : {1, 2}) {
            s.SetPollWeight(a, 1);
            s.SetAbsent(a, false);
        }
        s.BuildPollSchedule();
        s.SetWork(true);
        ASSERT_TRUE(Await([&] { return s.PollCounters().polls > 20; }));
        StopPolling();
        clock_.AdvanceMilliseconds(6000); // longer than the key silence
        line_->ClearCalls();
        const uint32_t polls = s.PollCounters().polls;
        s.SetWork(true);
        ASSERT_TRUE(Await([&] { return s.PollCounters().polls > polls + 40; }));
        StopPolling();
        std::map<uint8_t, int> renewals;
        for (const Bytes& f : line_->frames)
            if (f[3] == 17)
                ++renewals[f[0]];
        if (coding)
            EXPECT_EQ(renewals, (std::map<uint8_t, int>{{1, 1}, {2, 1}}));
        else
            EXPECT_TRUE(renewals.empty());
    }
}

TEST_F(PollTest, DestroyingWhilePollingOrDeliveringIsQuick)
{
    for (bool midDelivery : {false, true}) {
        units_.Add(1, 1);
        TRSSession& s = Start();
        s.SetWork(true);
        if (midDelivery) {
            units_.Change(1, [](Units::Unit& u) { u.events = {9}; });
            // The thread now waits in a delivery that nobody has served yet.
            std::this_thread::sleep_for(100ms);
        } else {
            ASSERT_TRUE(Await([&] { return s.PollCounters().polls > 10; }));
        }
        const auto start = std::chrono::steady_clock::now();
        session_.reset();
        EXPECT_LT(std::chrono::steady_clock::now() - start, 1s) << midDelivery;
    }
}

// Driver-service mode: the poll goes through the service's automation object.
namespace {

class FakeService : public platform::AutomationObject
{
public:
    explicit FakeService(std::vector<std::string>& calls) : calls_(calls) {}
    bool Call(const std::string& method, const std::string& argument, std::string& result) override
    {
        calls_.push_back(method + " " + argument);
        result.clear();
        if (method == "Obmen" && argument.rfind("5 6 0 1 0 1", 0) == 0) {
            const Bytes a = MakeAnswer({5, 4, 22, 7, 0});
            for (uint8_t b : a)
                result += (result.empty() ? "" : " ") + std::to_string(b);
        }
        return true;
    }

private:
    std::vector<std::string>& calls_;
};

} // namespace

TEST_F(PollTest, ServiceModePollsThroughTheAutomationObject)
{
    bool existed = false;
    auto dravon = platform::NamedMutex::Create("DRAVON", existed);
    std::vector<std::string> created, calls;
    TRSSession::Collaborators c = Collaborators(&owner_);
    c.automation = [&](const std::string& id) -> std::unique_ptr<platform::AutomationObject> {
        created.push_back(id);
        return std::make_unique<FakeService>(calls);
    };
    session_ = std::make_unique<TRSSession>(std::move(c));
    const SessionEnd end = EndSessionFirst(); // the thread calls the service with `calls`
    TRSSession& s = *session_;
    ASSERT_TRUE(s.ServiceMode());
    std::vector<Bytes> events;
    s.OnNewEvent = [&](const Bytes& e) { events.push_back(e); };
    s.SetSearchEnabled(false);
    s.SetPollWeight(5, 1);
    s.BuildPollSchedule();
    s.SetWork(true);
    ASSERT_TRUE(Await([&] { return !events.empty(); }));
    s.SetWork(false);
    // The session probed the service object when it chose service mode; the poll makes its own.
    EXPECT_EQ(created.back(), "Dravon.Dravon2");
    EXPECT_EQ(Hex(events.at(0)).substr(0, 14), "05 06 04 16 07");
    EXPECT_EQ(calls.at(0).rfind("Obmen 5 6 0 1 0 1", 0), 0u);
    EXPECT_EQ(calls.at(1).rfind("Obmen 5 6 0 3 0 1", 0), 0u) << "acknowledged through it";
}

TEST_F(PollTest, SecondConstructorReportsRawToTheWindowControlAndShutsDown)
{
    units_.Add(1, 1);
    platform::OwnerChannel control;
    std::vector<std::string> raw;
    int ownHandlerCalls = 0;
    control.SetHandler([&](const platform::OwnerMessage& m) {
        ++ownHandlerCalls;
        raw.push_back(std::to_string(m.msg) + "/" + std::to_string(m.wparam));
        return intptr_t{7};
    });
    session_ = std::make_unique<TRSSession>(Collaborators(&owner_), &control);
    const SessionEnd end = EndSessionFirst(); // it reports to `control`
    TRSSession& s = *session_;
    line_->responder = [this](const Bytes& f) { return units_.Answer(f); };
    bool eventRaised = false;
    s.OnNewDevice = [&](uint8_t) { eventRaised = true; };
    s.SetWork(true);
    ASSERT_TRUE(control.WaitServing([&] { return !raw.empty(); }, 20s));
    EXPECT_EQ(raw.at(0), "1035/11") << "the control's own handler gets the message as it is";
    EXPECT_FALSE(eventRaised);

    s.Shutdown();
    EXPECT_FALSE(s.Work());
    EXPECT_FALSE(s.ThreadStarted());
    const int calls = ownHandlerCalls;
    EXPECT_EQ(control.Send({9999, 0, 0, {}}), 7) << "its handler is the control's own still";
    EXPECT_EQ(ownHandlerCalls, calls + 1);
    session_.reset(); // after Shutdown the destructor has nothing left to do
}

TEST_F(PollTest, ShortEventsAreExpandedWithTheirStampOrKeptWhenTheyWouldNotFit)
{
    TRSSession& s = MakeSession();
    Bytes details; // the data of the details answer (command 30)
    line_->responder = [&](const Bytes& f) {
        if (f[3] != 29)
            return Bytes{};
        Bytes body = {f[0], 30};
        body.insert(body.end(), details.begin(), details.end());
        return MakeAnswer(body);
    };
    const corecomp::CivilTime t = corecomp::SplitDate(clock_.Now());
    const Bytes pollStamp = {static_cast<uint8_t>(t.hour),   static_cast<uint8_t>(t.minute),
                             static_cast<uint8_t>(t.second), static_cast<uint8_t>(t.day),
                             static_cast<uint8_t>(t.month),  static_cast<uint8_t>(t.year - 2000)};
    struct Case
    {
        Bytes body;    // the answer without L and CRC
        Bytes details; // the details answer's data (the event bytes echoed first)
        Bytes stamp;   // the long form's stamp; empty: the answer comes back unchanged
    };
    const Case cases[] = {
        {{1, 4, 26, 5, 0}, {}, pollStamp}, // from the answer alone
        {{1, 12, 26, 9, 0xA1, 0xA2, 0xA3}, {}, {0xA1, 0xA2, 0xA3, 0, 0, 0}}, // the unit's stamp
        {{1, 4, 28, 3, 4, 0}, {3, 4, 0x77, 0x78}, pollStamp},                // details asked for
        {{1, 4, 29, 0, 4, 0}, {}, pollStamp},        // byte 4 is 0: not asked
        {{1, 4, 28, 3, 4, 0}, Bytes(240, 0x55), {}}, // too long: short form
        {{1, 4, 50, 5, 0}, {}, {}},                  // not a short kind
        {{1, 2, 26, 5, 0}, {}, {}},                  // not an event answer
    };
    for (const Case& c : cases) {
        details = c.details;
        const Bytes answer = MakeAnswer(c.body);
        const Bytes got = s.ExpandShortEvent(answer);
        if (c.stamp.empty()) {
            EXPECT_EQ(got, answer) << Hex(c.body);
            continue;
        }
        ASSERT_EQ(got.size(), answer.size() + c.details.size() + 9) << Hex(c.body);
        EXPECT_EQ(got[1] + 1u, got.size()) << "its length byte";
        EXPECT_EQ(got.back(), corecomp::BusCrc8(Bytes(got.begin(), got.end() - 1)));
        const auto shortEnd = got.begin() + static_cast<long>(answer.size() - 1);
        EXPECT_EQ(Bytes(got.begin() + 2, shortEnd), Bytes(answer.begin() + 2, answer.end() - 1));
        EXPECT_EQ(Bytes(shortEnd, shortEnd + static_cast<long>(c.details.size())), c.details);
        Bytes tail = {0xFF, 0xFF};
        tail.insert(tail.end(), c.stamp.begin(), c.stamp.end());
        tail.push_back(0);
        EXPECT_EQ(Bytes(got.end() - 10, got.end() - 1), tail) << Hex(c.body);
    }
}

TEST_F(PollTest, OnlyCredentialCodesOfAListedReaderAreCredentialReads)
{
    for (uint8_t a : {5, 6, 7})
        units_.Add(a, 1);
    TRSSession& s = Start();
    // Unit 5 has two readers of its own (kind 16), unit 6 one entry for all its readers.
    s.AddCodeCardReader(5, 1, 16, 501);
    s.AddCodeCardReader(5, 2, 16, 502);
    s.AddCodeCardReader(6, 0, 0, 600);
    std::vector<std::pair<int64_t, uint8_t>> reads; // id, first code byte
    std::vector<Bytes> newEvents;
    s.OnReadCodeCards = [&](int32_t, const std::array<uint8_t, 8>& c, int64_t id) {
        reads.emplace_back(id, c[0]);
    };
    s.OnNewEvent = [&](const Bytes& e) { newEvents.push_back(e); };
    s.SetWork(true);
    ASSERT_TRUE(Await([&] { return Count("new 5") + Count("new 6") + Count("new 7") == 3; }));

    struct Case
    {
        uint8_t unit, code, reader;
        int64_t id; // the entry that reads it; 0: an ordinary event
    };
    const Case cases[] = {
        {5, 26, 1, 501}, {5, 28, 2, 502}, {5, 29, 2, 502}, {5, 32, 1, 501}, {5, 34, 2, 502},
        {5, 26, 3, 0},   // a reader the unit's list does not hold
        {5, 4, 1, 0},    // an ordinary event of a listed reader
        {5, 27, 2, 0},   // next to a credential code
        {5, 14, 1, 0},   // carries a reader, but reports no credential
        {6, 32, 0, 600}, {6, 34, 9, 600}, // an entry that takes every reader
        {6, 22, 0, 0},   // not a credential code
        {7, 26, 1, 0},   // a unit without an entry
    };
    size_t expectedReads = 0;
    for (size_t i = 0; i < std::size(cases); ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE(testing::Message() << int(c.unit) << "/" << int(c.code) << "/" << int(c.reader));
        const auto mark = static_cast<uint8_t>(0xC0 + i);
        const size_t before = reads.size() + newEvents.size();
        units_.Change(c.unit, [&](Units::Unit& u) {
            u.bodies.push_back({c.unit, 4, c.code, c.reader, mark, 2, 3, 4, 5, 6, 7, 8});
        });
        ASSERT_TRUE(Await([&] { return reads.size() + newEvents.size() > before; }));
        if (c.id != 0) {
            ++expectedReads;
            ASSERT_EQ(reads.size(), expectedReads);
            EXPECT_EQ(reads.back(), std::make_pair(c.id, mark));
        } else {
            ASSERT_EQ(reads.size(), expectedReads);
            EXPECT_EQ(newEvents.back().at(3), c.code);
            EXPECT_EQ(newEvents.back().at(5), mark);
        }
    }
    // Each read's confirmation reaches the line once; no other event is confirmed.
    ASSERT_TRUE(Await([&] { return s.AsyncOutstanding() == 0; }));
    StopPolling();
    std::vector<std::string> confirmed;
    for (const Bytes& f : line_->frames)
        if (f[3] == 43)
            confirmed.push_back(Hex(Bytes(f.begin(), f.end() - 1)));
    std::vector<std::string> expected;
    for (const Case& c : cases)
        if (c.id != 0)
            expected.push_back(Hex({c.unit, 6, 0, 43, 5, c.reader}));
    EXPECT_EQ(confirmed, expected);
    EXPECT_EQ(newEvents.size() + reads.size(), std::size(cases)) << "50 or 14, never both";
}

TEST_F(PollTest, NoFrameAfterWorkOffAndAPortClosedByTheOwnerStaysClosed)
{
    units_.Add(1, 1);
    TRSSession& s = Start();
    // A read-list channel and a zone: both steps follow the poll in a pass.
    s.AddReadChannel(1, 3, {});
    s.ApplyQueuedReadListOperations();
    s.SetReadInterval(1);
    s.AddZone(0, 1, 4, 1, 0);
    s.SetZoneInterval(1);
    size_t mark = 0;
    bool closed = false;
    s.OnNewEvent = [&](const Bytes&) {
        if (closed)
            return;
        // The owner stops polling and closes the port from its handler, while the thread
        // waits in this delivery.
        session_->SetWork(false);
        session_->ClosePort();
        mark = line_->calls.size();
        closed = true;
    };
    s.SetWork(true);
    ASSERT_TRUE(Await([&] { return Count("new 1") == 1; }));
    units_.Change(1, [](Units::Unit& u) { u.events = {5}; });
    ASSERT_TRUE(Await([&] { return closed; }));
    Await([] { return false; }, 300ms); // whatever the thread does next, it has done now
    ASSERT_TRUE(s.ThreadIdle());
    std::vector<std::string> after(line_->calls.begin() + static_cast<long>(mark),
                                   line_->calls.end());
    for (const std::string& call : after) {
        EXPECT_NE(call.rfind("Open", 0), 0u) << "reopened after the owner closed it";
        EXPECT_NE(call.rfind("Write", 0), 0u) << call;
    }
    EXPECT_TRUE(s.Transport().IsClosed());
}

TEST_F(PollTest, WorkSwitchedOnDuringThePortFailureSweepIsNeverLost)
{
    units_.Add(1, 1);
    TRSSession& s = Start();
    s.SetWork(true);
    ASSERT_TRUE(Await([&] { return Count("new 1") == 1; }));
    // Again and again the port goes while the owner keeps switching Work on: the thread fails,
    // sweeps and parks.  Whenever the owner's call meets the sweep, Work must end off (the
    // sweep came last) or the thread must run (the owner came last); never Work on with the
    // thread parked.
    for (int cycle = 0; cycle < 60; ++cycle) {
        SCOPED_TRACE(cycle);
        line_->gone = false;
        s.SetWork(true);
        ASSERT_TRUE(s.Work());
        line_->gone = true;
        for (int i = 0; i < 2000 && s.Work(); ++i) {
            s.SetWork(true);
            owner_.WaitServing([] { return false; }, 0ms);
        }
        ASSERT_TRUE(Await([&] { return !s.Work(); }, 10s)) << "Work reads on, the thread parked";
    }
    line_->gone = false;
    s.SetWork(true);
    const uint32_t polls = s.PollCounters().polls;
    EXPECT_TRUE(Await([&] { return s.PollCounters().polls > polls + 5; }, 20s));
    StopPolling();
}

TEST_F(PollTest, SettingsPostsAndPollingRunTogether)
{
    for (uint8_t a : {1, 2})
        units_.Add(a, 1);
    TRSSession& s = Start();
    s.SetWork(true);
    ASSERT_TRUE(Await([&] { return Count("new 1") + Count("new 2") == 2; }));
    std::atomic<int> posted{0};
    std::thread poster([&] {
        for (int i = 0; i < 300; ++i) {
            if (session_->PostCommand(0, 0, {1, 6, 0, 19, 0, 0}, {}) >= 0)
                ++posted;
            session_->GeneralCommand(0, 1, {}); // a fresh key drawn on this thread
        }
    });
    // The owner changes the settings meanwhile: the log switch and the search priority.
    int round = 0;
    const bool changed = Await([&] {
        if (round < 300) {
            if (round % 2 == 0)
                SetDword("LogCommand", 1);
            else
                registry_->DeleteValue(platform::Hive::LocalMachine, kBusKey, "LogCommand");
            session_->ReadRegistrySettings();
            session_->SetSearchPriority(static_cast<uint8_t>(round % 3));
            ++round;
        }
        return round == 300;
    });
    poster.join();
    ASSERT_TRUE(changed);
    EXPECT_GT(posted, 0);
    ASSERT_TRUE(Await([&] { return session_->AsyncOutstanding() == 0; }));
    StopPolling();
}

TEST_F(PollTest, TheVersionIsOneByteInASixByteTypeAnswerAndTwoInALongerOne)
{
    struct Case
    {
        uint8_t address;
        Bytes version; // after the type byte
        uint32_t expected;
    };
    const Case cases[] = {
        {1, {7}, 7},             // 6 bytes: one version byte
        {2, {2, 1}, 2 + 256},    // 7 bytes: two
        {3, {5, 9, 4}, 5 + 2304}, // longer: still the two after the type
        {4, {223, 0}, 223},
    };
    for (const Case& c : cases) {
        units_.Add(c.address, 1);
        units_.Change(c.address, [&](Units::Unit& u) { u.version = c.version; });
    }
    TRSSession& s = Start();
    s.SetWork(true);
    ASSERT_TRUE(Await([&] { return log_.size() == std::size(cases); }));
    StopPolling();
    for (const Case& c : cases)
        EXPECT_EQ(s.FirmwareVersion(c.address), c.expected) << int(c.address);
}

TEST_F(PollTest, KeysAreRenewedOneFullScheduleAfterTheSilence)
{
    for (uint8_t a : {1, 2})
        units_.Add(a, 1);
    TRSSession& s = Start();
    s.SetSearchEnabled(false);
    for (uint8_t a : {1, 2}) {
        s.SetPollWeight(a, 1);
        s.SetAbsent(a, false);
    }
    s.BuildPollSchedule();
    ASSERT_EQ(s.PollSchedule().size(), 2u);
    s.SetWork(true);
    ASSERT_TRUE(Await([&] { return s.PollCounters().polls > 5; }));
    StopPolling();
    clock_.AdvanceMilliseconds(6000);
    line_->ClearCalls();
    const uint32_t polls = s.PollCounters().polls;
    s.SetWork(true);
    ASSERT_TRUE(Await([&] { return s.PollCounters().polls > polls + 20; }));
    StopPolling();
    // The first poll after the silence arms the countdown and counts it to 2; the second
    // takes it past the schedule's 2 slots, and the keys go out after it.
    std::vector<int> commands;
    for (const Bytes& f : line_->frames)
        if (commands.size() < 4)
            commands.push_back(f[3]);
    EXPECT_EQ(commands, (std::vector<int>{1, 1, 17, 17}));
}

TEST_F(PollTest, WorkOffWhileAnEventIsReadStillAcknowledgesItSoItComesOnce)
{
    units_.Add(1, 1);
    TRSSession& s = Start();
    EventHold hold;
    HoldEventAnswer(hold);
    s.SetWork(true);
    ASSERT_TRUE(Await([&] { return Count("new 1") == 1; }));
    WorkOffDuringAnEvent(hold, 9);
    EXPECT_EQ(hold.acknowledgements, 1) << "the exchange under way ends with its acknowledgement";
    ASSERT_TRUE(Await([&] { return !events_.empty(); }));

    // Polling resumes: the unit has dropped the event, and gives no other.
    s.SetWork(true);
    const uint32_t polls = s.PollCounters().polls;
    ASSERT_TRUE(Await([&] { return s.PollCounters().polls > polls + 10; }));
    StopPolling();
    EXPECT_EQ(events_, (std::vector<uint8_t>{9}));
    EXPECT_EQ(hold.acknowledgements, 1);
}

namespace {

// A fake clock that lets a test hold a thread in one of its sleeps.
class SleepHookClock : public platform::FakeClock
{
public:
    std::function<void(uint32_t ms)> onSleep; // set before the session exists
    void Sleep(uint32_t ms) override
    {
        if (onSleep)
            onSleep(ms);
        FakeClock::Sleep(ms);
    }
};

} // namespace

TEST_F(PollTest, APortTheOwnerClosedWhileTheThreadWaitedToReopenItStaysClosed)
{
    SleepHookClock clock;
    const auto end = EndSessionFirst();
    units_.Add(1, 1);
    const std::thread::id owner = std::this_thread::get_id();
    std::atomic<bool> armed{false}, waiting{false}, released{false};
    // The thread's pause before its next try to open the lost port: it waits there, with
    // the line given up, until the test lets it go on.
    clock.onSleep = [&](uint32_t ms) {
        if (ms != 10 || !armed || std::this_thread::get_id() == owner || waiting.exchange(true))
            return;
        while (!released)
            std::this_thread::yield();
    };
    TRSSession::Collaborators c = Collaborators(&owner_);
    c.clock = &clock;
    session_ = std::make_unique<TRSSession>(std::move(c));
    TRSSession& s = *session_;
    line_->responder = [this](const Bytes& f) { return units_.Answer(f); };
    s.OnNewDevice = [this](uint8_t a) { Log("new", a); };
    s.SetWork(true);
    ASSERT_TRUE(Await([&] { return Count("new 1") == 1; }));

    armed = true;
    line_->gone = true; // the adapter is pulled: the thread loops to reopen the port
    ASSERT_TRUE(Await([&] { return waiting.load(); }));
    s.SetWork(false);
    s.ClosePort();
    line_->gone = false; // the adapter is back
    const size_t mark = line_->calls.size();
    released = true;
    session_.reset(); // the thread is gone, whatever it did next
    const std::vector<std::string> after(line_->calls.begin() + static_cast<long>(mark),
                                         line_->calls.end());
    for (const std::string& call : after)
        EXPECT_NE(call.rfind("Open", 0), 0u) << "the thread opened the port the owner closed";
}

TEST_F(PollTest, WorkOffWaitsForTheThreadEvenWhenThePortCannotBeOpened)
{
    units_.Add(1, 1);
    TRSSession& s = Start();
    EventHold hold;
    hold.goneAfter = true;
    HoldEventAnswer(hold);
    std::atomic<bool> returned{false}, returnedEarly{false}, relayed{false};
    // The thread still works on the event after its exchange: SetWork(false) has not returned.
    // With the rule broken it returns at once, and this sees it within the second.
    s.RelayEventAnswerHook = [&](const Bytes&) {
        for (int i = 0; i < 100 && !returned; ++i)
            std::this_thread::sleep_for(10ms);
        returnedEarly = returned.load();
        relayed = true;
    };
    s.SetWork(true);
    ASSERT_TRUE(Await([&] { return Count("new 1") == 1; }));
    WorkOffDuringAnEvent(hold, 9);
    returned = true;
    ASSERT_TRUE(Await([&] { return relayed.load(); }));
    EXPECT_FALSE(returnedEarly) << "SetWork(false) returned while the thread still ran";
    EXPECT_FALSE(s.Work());
}
