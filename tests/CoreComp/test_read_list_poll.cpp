// The read list on the polling thread, on the fake line: values with their threshold and
// repeat, channel typing and arming, event states, lost and unexpected units, and a list that
// the owner changes while the pass runs.

#include "session_fixture.h"

#include <chrono>
#include <deque>
#include <map>
#include <mutex>

namespace {

using namespace std::chrono_literals;

// Analog units behind the fake line.
class AnalogUnits
{
public:
    struct Unit
    {
        uint8_t type = 1;
        bool silent = false;
        int foreign = 0;
        std::map<uint8_t, uint8_t> values; // channel -> value
        std::map<uint8_t, uint8_t> states; // channel -> state byte of the type request
        std::deque<Bytes> events;          // answer bodies after address and command 4
        uint8_t armingCode = 0;
    };
    template <typename F> void Change(uint8_t a, F f)
    {
        std::lock_guard g(m_);
        f(units_[a]);
    }
    std::vector<Bytes> Requests()
    {
        std::lock_guard g(m_);
        return requests_;
    }
    Bytes Answer(const Bytes& f)
    {
        std::lock_guard g(m_);
        requests_.push_back(f);
        const uint8_t a = f[0] & 0x7F;
        auto it = units_.find(a);
        if (it == units_.end() || it->second.silent)
            return {};
        Unit& u = it->second;
        const uint8_t ch = f.size() > 4 ? f[4] : 0;
        switch (f[3]) {
        case 1:
            if (u.foreign)
                return MakeAnswer({a, static_cast<uint8_t>(u.foreign), 0, 0});
            if (u.events.empty())
                return MakeAnswer({a, 2, 0, 0});
            {
                Bytes body = {a, 4};
                body.insert(body.end(), u.events.front().begin(), u.events.front().end());
                return MakeAnswer(body);
            }
        case 3:
            if (!u.events.empty())
                u.events.pop_front();
            return {};
        case 13:
            return MakeAnswer({a, 0, u.type, 104, 0});
        case 27:
            return MakeAnswer({a, 28, ch, u.values[ch]});
        case 57:
            if (f[5] == 1)
                return MakeAnswer({a, 58, 1, u.states.count(ch) ? u.states[ch] : uint8_t{2}});
            return MakeAnswer({a, 58, 1, u.values[ch]});
        case 25:
            return MakeAnswer({a, 26, ch, u.armingCode});
        default:
            return {};
        }
    }

private:
    std::mutex m_;
    std::map<uint8_t, Unit> units_;
    std::vector<Bytes> requests_;
};

struct Adc
{
    uint8_t channel, address;
    int32_t state;
    Bytes data;
    uint32_t tick;
};

class ReadListPollTest : public SessionTest
{
protected:
    void SetUp() override
    {
        SessionTest::SetUp();
        runPasses_ = true;
        SetDword("CmdTimeoutConstant", 50);
    }
    TRSSession& Start(uint32_t interval = 100, int32_t threshold = 5)
    {
        TRSSession& s = MakeSession();
        line_->responder = [this](const Bytes& f) { return units_.Answer(f); };
        s.SetReadInterval(interval);
        s.SetChangeThreshold(threshold);
        s.OnNewDevice = [this](uint8_t a) { found_.push_back(a); };
        s.OnNewADC = [this](const Bytes&, uint8_t ch, uint8_t a, int32_t state, const Bytes& data,
                            int32_t) {
            adc_.push_back({ch, a, state, data, clock_.TickCount()});
        };
        s.OnNewTypeEventADC = [this](uint8_t a, uint8_t ch, int32_t type, int32_t state) {
            types_.push_back({a, ch, type, state});
        };
        return s;
    }
    bool Await(const std::function<bool()>& done, std::chrono::milliseconds timeout = 60s)
    {
        return owner_.WaitServing(done, timeout);
    }
    size_t Count(uint8_t address, uint8_t channel, int32_t state) const
    {
        return static_cast<size_t>(std::count_if(adc_.begin(), adc_.end(), [&](const Adc& r) {
            return r.address == address && r.channel == channel && r.state == state;
        }));
    }
    // "channel:state" of every report about a unit, in order: what a failed wait shows.
    std::string Reports(uint8_t address) const
    {
        std::string out;
        size_t n = 0;
        for (const Adc& r : adc_)
            if (r.address == address && r.state != 2 && n++ < 40)
                out += std::to_string(r.channel) + ":" + std::to_string(r.state) + " ";
        return out;
    }
    void Stop()
    {
        session_->SetWork(false);
        ASSERT_TRUE(session_->ThreadIdle());
    }

    AnalogUnits units_;
    std::vector<uint8_t> found_;
    std::vector<Adc> adc_;
    std::vector<std::array<int32_t, 4>> types_;
};

TEST_F(ReadListPollTest, ValuesAreReportedByTheThresholdAndRepeatedEveryTwentyMinutes)
{
    units_.Change(5, [](auto& u) {
        u.type = 12;
        u.states[1] = 31; // state 1: small changes wait for the repeat
        u.values[1] = 100;
        u.armingCode = 0;
    });
    TRSSession& s = Start();
    const Bytes data = {0xAA, 0xBB, 0xCC};
    s.AddReadChannel(5, 1, data);
    s.SetWork(true);
    ASSERT_TRUE(Await([&] { return Count(5, 1, 1) >= 1; }));
    EXPECT_EQ(types_.at(0), (std::array<int32_t, 4>{5, 1, 12, 1}));
    EXPECT_EQ(adc_.back().data, data);

    // A change of the threshold: one report within a read interval or so.
    units_.Change(5, [](auto& u) { u.values[1] = 105; });
    const size_t before = Count(5, 1, 1);
    ASSERT_TRUE(Await([&] { return Count(5, 1, 1) == before + 1; }));
    const uint32_t changedAt = adc_.back().tick;

    // A smaller one: nothing until twenty minutes after the last report.
    units_.Change(5, [](auto& u) { u.values[1] = 108; });
    ASSERT_TRUE(Await([&] { return Count(5, 1, 1) == before + 2; }, 120s));
    EXPECT_GE(adc_.back().tick - changedAt, 20u * 60 * 1000);
    Stop();
    EXPECT_EQ(Count(5, 1, 1), before + 2);
}

TEST_F(ReadListPollTest, ChannelsAreTypedByTheUnitTypeAndThenArmed)
{
    units_.Change(3, [](auto& u) { u.type = 1; });
    units_.Change(9, [](auto& u) {
        u.type = 9;
        u.states[2] = 45; // type 3
        u.states[4] = 1;  // refused: leaves the list
        u.states[6] = 85; // type 1
    });
    TRSSession& s = Start();
    s.AddReadChannel(3, 7, {});
    s.AddReadChannel(9, 2, {});
    s.AddReadChannel(9, 4, {});
    s.AddReadChannel(9, 6, {});
    s.SetWork(true);
    ASSERT_TRUE(Await([&] { return types_.size() >= 3; }));
    ASSERT_TRUE(Await([&] {
        return s.ReadList().Items().size() == 2 && s.ReadList().Items()[1].channels.size() == 2;
    }));
    Stop();
    std::sort(types_.begin(), types_.end());
    EXPECT_EQ(types_[0], (std::array<int32_t, 4>{3, 7, 1, 2}));
    EXPECT_EQ(types_[1], (std::array<int32_t, 4>{9, 2, 9, 3}));
    EXPECT_EQ(types_[2], (std::array<int32_t, 4>{9, 6, 9, 1}));
    // Each type request is followed by the arming of that channel.
    const std::vector<Bytes> requests = units_.Requests();
    for (size_t i = 0; i + 1 < requests.size(); ++i) {
        if (requests[i][0] == 9 && requests[i][3] == 57 && requests[i][5] == 1 &&
            requests[i][4] != 4) {
            EXPECT_EQ(requests[i + 1][3], 25);
            EXPECT_EQ(requests[i + 1][4], requests[i][4]);
        }
    }
    // Type-9 channels are read with command 57.
    EXPECT_TRUE(std::any_of(requests.begin(), requests.end(),
                            [](const Bytes& r) { return r[0] == 9 && r[3] == 57 && r[5] == 4; }));
}

TEST_F(ReadListPollTest, EventsSetTheChannelStatesAndLostOrForeignUnitsReportEveryChannel)
{
    SetDword("DeviceTimeout", 1);
    units_.Change(4, [](auto& u) {
        u.type = 2;
        u.values[1] = 10;
        u.values[2] = 20;
        u.armingCode = 109; // the arming answer is an event too: -12, apart from the rest
    });
    units_.Change(6, [](auto& u) { u.type = 2; });
    TRSSession& s = Start();
    s.AddReadChannel(4, 1, {});
    s.AddReadChannel(4, 2, {});
    s.AddReadChannel(6, 1, {});
    s.SetWork(true);
    ASSERT_TRUE(Await([&] {
        return Count(4, 1, -12) == 1 && Count(4, 2, -12) == 1 && Count(4, 2, 2) >= 1 &&
               Count(6, 1, 2) >= 1;
    })) << Reports(4);

    // Listed channels take the event's state for one read; an unlisted channel is read and
    // reported with the event's state and no data; 117 sends nothing for an unlisted one.
    units_.Change(4, [](auto& u) {
        u.events.push_back({17, 1});  // -5
        u.events.push_back({24, 2});  // -4
        u.events.push_back({187, 9}); // -13, unlisted
        u.events.push_back({117, 9}); // -8, unlisted
        u.events.push_back({77, 1});  // -99
    });
    ASSERT_TRUE(Await([&] {
        return Count(4, 1, -5) == 1 && Count(4, 2, -4) == 1 && Count(4, 9, -13) == 1 &&
               Count(4, 1, -99) == 1;
    })) << Reports(4);
    ASSERT_TRUE(Await([&] { return Count(4, 1, 2) >= 2; })) << "the state returns";
    EXPECT_EQ(Count(4, 9, -8), 0u);

    units_.Change(4, [](auto& u) { u.silent = true; });
    units_.Change(6, [](auto& u) { u.foreign = 10; }); // answer 10 fits every request
    ASSERT_TRUE(Await([&] {
        return Count(4, 1, -2) == 1 && Count(4, 2, -2) == 1 && Count(6, 1, -3) == 1;
    })) << Count(4, 1, -2)
        << Count(4, 2, -2) << Count(6, 1, -3);
    Stop();
    EXPECT_EQ(s.ReadList().Items()[0].type, -1);
    EXPECT_EQ(s.ReadList().Items()[0].channels[0].state, 0);
}

TEST_F(ReadListPollTest, PostedTypingAsksTheTypeOnceTypesByTheAnswerTableAndArms)
{
    units_.Change(12, [](auto& u) {
        u.type = 12;
        u.states[1] = 31;
        u.armingCode = 17;
    });
    units_.Change(9, [](auto& u) {
        u.type = 9;
        u.states[2] = 65; // 4 by the answer's table (the pass's own check makes it 3)
        u.states[4] = 1;  // nothing changes
        u.values[2] = 40;
    });
    TRSSession& s = Start(0); // no pass: only the posted requests type the channels
    std::vector<Bytes> events;
    s.OnNewEvent = [&](const Bytes& e) { events.push_back(e); };
    int asyncAnswers = 0;
    s.OnAsynchAnswer = [&](uint32_t, int32_t, int32_t, int64_t, const platform::OwnerMessage&) {
        ++asyncAnswers;
    };
    s.AddReadChannel(12, 1, {});
    s.AddReadChannel(9, 2, {5});
    s.AddReadChannel(9, 4, {});
    s.ApplyQueuedReadListOperations();
    EXPECT_FALSE(s.PostChannelTyping(9, 3)) << "not in the list";
    EXPECT_FALSE(s.PostChannelRead(7, 1));
    for (auto [a, ch] : {std::pair<uint16_t, uint8_t>{12, 1}, {9, 2}, {9, 4}})
        ASSERT_TRUE(s.PostChannelTyping(a, ch));
    s.SetWork(true);
    ASSERT_TRUE(Await([&] { return types_.size() >= 2 && events.size() >= 2; }));
    ASSERT_TRUE(Await([&] { return s.AsyncOutstanding() == 0; }));
    ASSERT_TRUE(s.PostChannelRead(9, 2));
    ASSERT_TRUE(Await([&] { return !adc_.empty(); }));
    Stop();

    std::sort(types_.begin(), types_.end());
    EXPECT_EQ(types_, (std::vector<std::array<int32_t, 4>>{{9, 2, 9, 4}, {12, 1, 12, 1}}));
    // The arming follows a typed channel's type answer and is answered with an event; the
    // posted read comes last.
    std::vector<std::string> line;
    for (const Bytes& r : units_.Requests())
        if (r[3] == 57 || r[3] == 25)
            line.push_back(std::to_string(r[0]) + ":" + std::to_string(r[3]) + ":" +
                           std::to_string(r[4]) + ":" + std::to_string(r[5]));
    EXPECT_EQ(line, (std::vector<std::string>{"12:57:1:1", "9:57:2:1", "9:57:4:1", "12:25:1:0",
                                              "9:25:2:0", "9:57:2:4"}));
    EXPECT_TRUE(std::any_of(events.begin(), events.end(), [](const Bytes& e) {
        return e[0] == 12 && e[2] == 26 && e[3] == 1 && e[4] == 17;
    }));
    const corecomp::TReadList list = s.ReadList();
    for (const corecomp::TReadItem& it : list.Items()) {
        EXPECT_FALSE(it.requestPending);
        EXPECT_EQ(it.type, it.key) << "from the one type request of each unit";
    }
    EXPECT_EQ(list.Items()[1].channels[1].state, 0) << "the refused type leaves the channel";
    ASSERT_EQ(adc_.size(), 1u);
    EXPECT_EQ(adc_[0].state, 4);
    EXPECT_EQ(adc_[0].data, Bytes{5});
    EXPECT_EQ(asyncAnswers, 0) << "the session's own requests are not the owner's";
}

TEST_F(ReadListPollTest, ChangingTheListWhileThePassRunsNeverFaults)
{
    for (uint8_t a = 1; a <= 3; ++a)
        units_.Change(a, [](auto& u) { u.type = 1; });
    TRSSession& s = Start(1);
    s.SetWork(true);
    std::mt19937 random(5);
    for (int i = 0; i < 400; ++i) {
        const auto a = static_cast<uint16_t>(random() % 3 + 1);
        const auto ch = static_cast<uint8_t>(random() % 4);
        switch (random() % 5) {
        case 0:
            s.RemoveReadChannel(a, ch);
            break;
        case 1:
            s.RemoveReadItem(a);
            break;
        case 2:
            s.ClearReadList();
            break;
        default:
            s.AddReadChannel(a, ch, {1});
            break;
        }
        owner_.WaitServing([] { return false; }, 1ms);
    }
    const uint32_t polls = s.PollCounters().polls;
    ASSERT_TRUE(Await([&] { return s.PollCounters().polls > polls + 20; }));
    Stop();
}

} // namespace

TEST_F(ReadListPollTest, ATypeRequestThatIsNeverAnsweredDoesNotBlockLaterTyping)
{
    TRSSession& s = Start(0);
    s.AddReadChannel(9, 2, {});
    s.ApplyQueuedReadListOperations();
    // Nothing sends the queue: the first type request (671) waits unanswered.
    ASSERT_TRUE(s.PostChannelTyping(9, 2));
    EXPECT_EQ(s.QueuedCommandCount(), 2u) << "the unit's type and the channel's";
    ASSERT_TRUE(s.PostChannelTyping(9, 2));
    EXPECT_EQ(s.QueuedCommandCount(), 3u) << "the type is on its way: asked once";
    clock_.AdvanceMilliseconds(61000);
    ASSERT_TRUE(s.PostChannelTyping(9, 2));
    EXPECT_EQ(s.QueuedCommandCount(), 5u) << "a request a minute old is lost: asked again";
}

TEST_F(ReadListPollTest, AnOwnersArmingTypesItsListedChannelAndItsEventAnswerSetsTheState)
{
    units_.Change(5, [](auto& u) {
        u.type = 12;
        u.states[1] = 31;
        u.armingCode = 17;
        u.values[2] = 40;
    });
    // The list is on, but its own pass never comes due: only the owner's commands act.
    TRSSession& s = Start(100000000);
    s.AddReadChannel(5, 1, {});
    s.ApplyQueuedReadListOperations();
    int answers = 0;
    s.OnAsynchAnswer = [&](uint32_t, int32_t, int32_t, int64_t, const platform::OwnerMessage&) {
        ++answers;
    };
    ASSERT_GE(s.PostCommand(0, 0, {5, 6, 0, 25, 1, 0}, {}), 0); // listed, not yet typed
    ASSERT_GE(s.PostCommand(0, 0, {5, 6, 0, 25, 2, 0}, {}), 0); // not listed
    s.SetWork(true);
    ASSERT_TRUE(Await([&] { return answers == 2; }));
    Stop();

    // The listed channel was typed before the owner's arming went out.
    ASSERT_EQ(types_.size(), 1u);
    EXPECT_EQ(types_[0], (std::array<int32_t, 4>{5, 1, 12, 1}));
    std::vector<int> commands;
    for (const Bytes& f : units_.Requests())
        if (f[3] != 1)
            commands.push_back(f[3] * 1000 + f[4]);
    // Unit type, channel state, arming and the read its event asks for; then the owner's arming
    // and the read its event asks for; then the unlisted channel's arming and its value read.
    const std::vector<int> expected{13000, 57001, 25001, 57001, 25001, 57001, 25002, 27002};
    EXPECT_EQ(commands, expected);
    const auto list = s.ReadList();
    ASSERT_EQ(list.Items().size(), 1u);
    EXPECT_EQ(list.Items()[0].channels.at(0).state, 1) << "the event's state is given back";

    // The unlisted channel's arming answer is an event: its value goes out with its state.
    ASSERT_FALSE(adc_.empty());
    EXPECT_EQ(adc_.back().channel, 2);
    EXPECT_EQ(adc_.back().state, -11);
}

TEST_F(ReadListPollTest, AnOwnersValueReadOfAListedChannelReportsItsValue)
{
    units_.Change(5, [](auto& u) {
        u.type = 1;
        u.values[1] = 60;
        u.values[2] = 70;
    });
    TRSSession& s = Start(0); // no pass: only the owner reads
    s.AddReadChannel(5, 1, {0x11});
    s.ApplyQueuedReadListOperations();
    int answers = 0;
    s.OnAsynchAnswer = [&](uint32_t, int32_t, int32_t, int64_t, const platform::OwnerMessage&) {
        ++answers;
    };
    ASSERT_GE(s.PostCommand(0, 0, {5, 6, 0, 27, 1, 0}, {}), 0);
    ASSERT_GE(s.PostCommand(0, 0, {5, 6, 0, 27, 2, 0}, {}), 0); // not listed
    s.SetWork(true);
    ASSERT_TRUE(Await([&] { return answers == 2; }));
    Stop();
    ASSERT_EQ(adc_.size(), 1u);
    EXPECT_EQ(adc_[0].channel, 1);
    EXPECT_EQ(adc_[0].data, Bytes{0x11});
}
