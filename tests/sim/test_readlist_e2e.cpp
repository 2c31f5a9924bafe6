// Read lists, zones and credential reports end to end: a real session with Work on, its owner
// channel served by the test's thread, against analog units on a pty (in-process, and once
// the program with its run-time commands).

#include "sim/analog_unit.h"

#include "session_on_sim.h"
#include "sim_process.h"
#include "tests/platform/temp_dir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <map>
#include <random>
#include <set>
#include <tuple>

using namespace std::chrono_literals;

namespace {

constexpr int kCom = 47;
// Units answer this long after a request has passed the line: the session drops the line's
// echo then, and on a busy machine a quicker answer could go with it.
constexpr uint32_t kTurnaroundMs = 10;

using simtest::Scratch;
using simtest::SetBusValue;
[[maybe_unused]] const platform::test::TempDir& kScratchReady = Scratch();

struct Channel
{
    uint8_t address;
    uint8_t channel;
    uint8_t value;
    std::optional<uint8_t> kind = std::nullopt;
    std::optional<uint8_t> arm = std::nullopt;
};

// One OnNewADC.
struct Adc
{
    uint8_t address;
    uint8_t channel;
    int32_t state;
    int value; // byte 4 of the answer, -1 without one
    std::vector<uint8_t> data;
};

// One OnNewTypeEventADC.
using Typed = std::tuple<int, int, int, int>; // address, channel, unit type, state

class ReadListOnSim : public simtest::SessionOnSim
{
protected:
    void Open(std::map<uint8_t, uint8_t> units, const std::vector<Channel>& channels)
    {
        bus_ = std::make_unique<sim::Bus>(
            sim::BusTiming{.baud = 115200, .turnaround_us = kTurnaroundMs * 1000}, 7);
        SetBusValue("SpeedRSS", 115200);
        SetBusValue("CmdTimeoutConstant", 200);
        // An empty address's probe waits this out; the units answer within a turnaround and
        // the answer's line time.
        SetBusValue("TimeoutConstant", 40);
        SetBusValue("DeviceTimeout", 1);
        SetBusValue("SecLostDevice", 0);
        for (const auto& [address, type] : units)
            ASSERT_TRUE(bus_->AddUnit(address, type, 223));
        for (const Channel& c : channels) {
            ASSERT_TRUE(sim::EnsureAnalogPeer(*bus_, c.address));
            ASSERT_TRUE(
                sim::ApplyChannelSpec(*bus_, {c.address, c.channel, c.value, c.kind, c.arm}));
        }
        StartLine(kCom);
        S().SetCodeSession(false); // the frames in the history stay readable
        S().OnNewADC = [this](const std::vector<uint8_t>& text, uint8_t ch, uint8_t address,
                              int32_t state, const std::vector<uint8_t>& data, int32_t) {
            adc_.push_back({address, ch, state, text.size() > 4 ? text[4] : -1, data});
        };
        S().OnNewTypeEventADC = [this](uint8_t address, uint8_t ch, int32_t type, int32_t state) {
            typed_.emplace_back(address, ch, type, state);
            armingsAtType_[{address, ch}] = Counts(address, ch).armings;
        };
        S().OnNewEvent = [this](const std::vector<uint8_t>& e) { events_.push_back(e); };
    }
    sim::AnalogPeer::Counts Counts(uint8_t address, uint8_t channel)
    {
        sim::AnalogPeer::Counts c;
        bus_->WithPeer(address, [&](sim::UnitPeer& p, sim::UnitAccess&) {
            c = dynamic_cast<sim::AnalogPeer&>(p).CountsOf(channel);
        });
        return c;
    }
    // Returns the channel's reads so far, counted with the change under the bus lock.
    int SetValue(uint8_t address, uint8_t channel, uint8_t value)
    {
        int reads = -1;
        bus_->WithPeer(address, [&](sim::UnitPeer& p, sim::UnitAccess&) {
            auto& analog = dynamic_cast<sim::AnalogPeer&>(p);
            analog.SetValue(channel, value);
            reads = analog.CountsOf(channel).reads;
        });
        EXPECT_GE(reads, 0);
        return reads;
    }
    // Switches Work on, waits until every unit is found, then lists the channels.
    void Start(const std::vector<std::pair<uint8_t, uint8_t>>& listed, size_t units,
               uint32_t readIntervalMs, const std::vector<uint8_t>& data = {})
    {
        S().SetWork(true);
        ASSERT_TRUE(S().Work());
        ASSERT_TRUE(Await([&] { return log_.size() >= units; })) << log_.size();
        // Every unit is known: no more probes of empty addresses, each of which waits out its
        // whole time-out.
        S().SetSearchEnabled(false);
        for (const auto& [address, channel] : listed)
            ASSERT_TRUE(S().AddReadChannel(address, channel, data));
        S().SetReadInterval(readIntervalMs);
    }
    size_t TypedCount(uint8_t address, uint8_t channel) const
    {
        return static_cast<size_t>(std::count_if(typed_.begin(), typed_.end(), [&](const Typed& t) {
            return std::get<0>(t) == address && std::get<1>(t) == channel;
        }));
    }
    std::vector<Adc> AdcOf(uint8_t address, uint8_t channel) const
    {
        std::vector<Adc> r;
        for (const Adc& a : adc_)
            if (a.address == address && a.channel == channel)
                r.push_back(a);
        return r;
    }

    std::vector<Adc> adc_;
    std::vector<Typed> typed_;
    std::map<std::pair<int, int>, int> armingsAtType_;
    std::vector<std::vector<uint8_t>> events_;
};

TEST_F(ReadListOnSim, ChangeOfAtLeastTheThresholdIsReportedOnceAtTheNextRead)
{
    // Type 9, kind 3: a channel whose small changes are held back.
    Open({{5, 9}}, {{5, 1, 100}});
    S().SetChangeThreshold(5);
    Start({{5, 1}}, 1, 30, {0xAA, 0xBB});
    // Typed, armed, and the value read once after the arming answer.
    ASSERT_TRUE(Await([&] { return !AdcOf(5, 1).empty() && Counts(5, 1).reads >= 5; }));
    ASSERT_EQ(typed_, (std::vector<Typed>{{5, 1, 9, 1}}));
    ASSERT_EQ(AdcOf(5, 1).size(), 1u);
    EXPECT_EQ(AdcOf(5, 1)[0].value, 100);
    EXPECT_EQ(AdcOf(5, 1)[0].data, (std::vector<uint8_t>{0xAA, 0xBB})) << "the channel's own data";

    const struct
    {
        uint8_t value;
        bool reported;
    } steps[] = {{104, false}, {109, true}, {105, false}, {104, false}, {99, true}, {199, true}};
    for (const auto& step : steps) {
        const size_t before = adc_.size();
        int readsAtReport = -1;
        S().OnNewADC = [&](const std::vector<uint8_t>& text, uint8_t ch, uint8_t address,
                           int32_t state, const std::vector<uint8_t>& data, int32_t) {
            adc_.push_back({address, ch, state, text.at(4), data});
            readsAtReport = Counts(5, 1).reads;
        };
        const int readsBefore = SetValue(5, 1, step.value);
        // Several reads later there is one report or none.
        ASSERT_TRUE(Await([&] { return Counts(5, 1).reads >= readsBefore + 6; }));
        ASSERT_EQ(adc_.size() - before, step.reported ? 1u : 0u) << int(step.value);
        if (step.reported) {
            EXPECT_EQ(readsAtReport, readsBefore + 1) << "the first read after the change";
            EXPECT_EQ(adc_.back().value, step.value);
            EXPECT_EQ(adc_.back().state, 1);
            EXPECT_EQ(adc_.back().data, (std::vector<uint8_t>{0xAA, 0xBB}));
        }
    }
    S().SetWork(false);
}

TEST_F(ReadListOnSim, ChannelTypesFollowTheUnitTypeAndTheArmingCommandFollows)
{
    Open({{1, 1}, {2, 2}, {3, 4}, {4, 11}, {5, 9}, {6, 12}}, {{1, 1, 10},
                                                              {2, 1, 20},
                                                              {3, 1, 30},
                                                              {4, 1, 40},
                                                              {5, 1, 51, 2},
                                                              {5, 2, 52, 3},
                                                              {5, 3, 53, 45},
                                                              {5, 4, 54, 62},
                                                              {5, 5, 55, 85},
                                                              {5, 6, 56, 1},
                                                              {5, 7, 57, 35},
                                                              {6, 1, 61, 31},
                                                              {6, 2, 62, 30}});
    Start({{1, 1},
           {2, 1},
           {3, 1},
           {4, 1},
           {5, 1},
           {5, 2},
           {5, 3},
           {5, 4},
           {5, 5},
           {5, 6},
           {5, 7},
           {6, 1},
           {6, 2}},
          6, 10);
    const std::set<Typed> expected{{1, 1, 1, 2}, {2, 1, 2, 2}, {3, 1, 4, 2}, {4, 1, 11, 2},
                                   {5, 1, 9, 2}, {5, 2, 9, 1}, {5, 3, 9, 3}, {5, 4, 9, 3},
                                   {5, 5, 9, 1}, {6, 1, 12, 1}};
    // The untyped channels are asked again and again; the refused one leaves the list.
    ASSERT_TRUE(Await([&] {
        return typed_.size() >= expected.size() && Counts(5, 7).kind_queries >= 3 &&
               Counts(6, 2).kind_queries >= 3;
    })) << typed_.size();
    S().SetWork(false);
    EXPECT_EQ(std::set<Typed>(typed_.begin(), typed_.end()), expected);
    EXPECT_EQ(typed_.size(), expected.size()) << "each channel typed once";

    for (const Typed& t : expected) {
        const auto a = static_cast<uint8_t>(std::get<0>(t));
        const auto ch = static_cast<uint8_t>(std::get<1>(t));
        SCOPED_TRACE(std::to_string(a) + "/" + std::to_string(ch));
        EXPECT_EQ((armingsAtType_[{a, ch}]), 0) << "the type is reported before the arming";
        EXPECT_EQ(Counts(a, ch).armings, 1);
        EXPECT_GE(Counts(a, ch).reads, 1);
        // The arming answer reaches the owner as an event.
        EXPECT_TRUE(std::any_of(events_.begin(), events_.end(), [&](const auto& e) {
            return e.size() >= 6 && e[0] == a && e[2] == 26 && e[3] == ch;
        }));
        // The types 1, 2, 4 and 11 are read by command 27, the others by 57.
        const uint8_t command = a <= 4 ? 27 : 57;
        bool readWithIt = false, readOtherwise = false;
        for (const auto& h : bus_->History())
            if (h.frame[0] == a && h.frame[4] == ch &&
                (h.frame[3] == 27 || (h.frame[3] == 57 && h.frame[5] == 4)))
                (h.frame[3] == command ? readWithIt : readOtherwise) = true;
        EXPECT_TRUE(readWithIt);
        EXPECT_FALSE(readOtherwise);
    }
    for (auto [a, ch] : {std::pair<uint8_t, uint8_t>{5, 6}, {5, 7}, {6, 2}})
        EXPECT_EQ(Counts(a, ch).armings, 0) << int(a) << "/" << int(ch);
    const corecomp::TReadList list = S().ReadList();
    const int item = list.FindReadItem(5);
    ASSERT_GE(item, 0);
    EXPECT_EQ(list.FindReadChannel(item, 6), -1) << "the refused channel is gone";
    EXPECT_GE(list.FindReadChannel(item, 7), 0) << "the untyped one stays";
    EXPECT_EQ(list.Items()[static_cast<size_t>(item)].channels.size(), 6u);
}

TEST_F(ReadListOnSim, EventsSetTheChannelStates)
{
    // Kind 3: no reports but those the events cause.  The arming answers carry events too.
    Open({{5, 9}}, {{5, 1, 11},
                    {5, 2, 12, {}, 17},
                    {5, 3, 13, {}, 24},
                    {5, 4, 14, {}, 109},
                    {5, 5, 15, {}, 3},
                    {5, 9, 19}});
    Start({{5, 1}, {5, 2}, {5, 3}, {5, 4}, {5, 5}}, 1, 10, {7});
    ASSERT_TRUE(Await([&] { return adc_.size() >= 5; }));
    // The first report of each channel comes with the state of its arming answer.
    const std::map<int, int32_t> armed{{1, -99}, {2, -11}, {3, -10}, {4, -12}, {5, -7}};
    for (const auto& [ch, state] : armed) {
        const std::vector<Adc> reports = AdcOf(5, static_cast<uint8_t>(ch));
        ASSERT_EQ(reports.size(), 1u) << ch;
        EXPECT_EQ(reports[0].state, state) << ch;
        EXPECT_EQ(reports[0].value, 10 + ch);
    }

    // From here on channel 1 is read at every step of the pass.
    for (uint8_t ch = 2; ch <= 5; ++ch)
        ASSERT_TRUE(S().RemoveReadChannel(5, ch));

    const struct
    {
        uint8_t code;
        int32_t state;
    } codes[] = {{3, -1},   {36, -1},  {216, -1}, {17, -5},   {24, -4},   {35, -4},
                 {109, -6}, {117, -8}, {119, -9}, {187, -13}, {200, -99}, {0, -99}};
    for (uint8_t ch : {1, 9}) { // listed, and a channel the list does not hold
        for (const auto& c : codes) {
            SCOPED_TRACE("channel " + std::to_string(ch) + " code " + std::to_string(c.code));
            adc_.clear();
            const size_t eventsBefore = events_.size();
            ASSERT_TRUE(sim::QueueChannelEvent(*bus_, {5, c.code, ch}));
            ASSERT_TRUE(
                Await([&] { return events_.size() > eventsBefore && bus_->EventCount(5) == 0; }));
            const bool silent = ch == 9 && (c.state == -8 || c.state == -9);
            // A few more passes: no second report.
            const int reads = Counts(5, 1).reads;
            ASSERT_TRUE(Await([&] { return Counts(5, 1).reads >= reads + 3; }));
            if (silent) {
                EXPECT_TRUE(adc_.empty());
                continue;
            }
            ASSERT_EQ(adc_.size(), 1u);
            EXPECT_EQ(adc_[0].channel, ch);
            EXPECT_EQ(adc_[0].state, c.state);
            EXPECT_EQ(adc_[0].value, ch == 1 ? 11 : 19);
            // An unlisted channel has no record: no data goes with it.
            EXPECT_EQ(adc_[0].data, ch == 1 ? std::vector<uint8_t>{7} : std::vector<uint8_t>{});
        }
    }
    // The listed channel's own state came back after each event.
    const corecomp::TReadList list = S().ReadList();
    S().SetWork(false);
    EXPECT_EQ(list.Items().at(0).channels.at(0).state, 1);
}

TEST_F(ReadListOnSim, LostUnitReportsMinusTwoAndUnexpectedMinusThreeOnEveryChannel)
{
    Open({{1, 1}, {2, 11}, {3, 9}}, {{1, 1, 10}, {1, 2, 11}, {2, 3, 20}, {2, 4, 21}, {3, 1, 30}});
    Start({{1, 1}, {1, 2}, {2, 3}, {2, 4}, {3, 1}}, 3, 10);
    ASSERT_TRUE(Await([&] { return typed_.size() >= 5; }));
    auto gone = [&](int32_t state) {
        std::multiset<std::pair<int, int>> r;
        for (const Adc& a : adc_)
            if (a.state == state)
                r.emplace(a.address, a.channel);
        return r;
    };
    bus_->SetSilent(1, true);
    ASSERT_TRUE(Await([&] { return Count("lost 1") == 1; }));
    bus_->SetAnswer(2, 1, {0x0A, 0x00, 0x00}); // something foreign answers the event poll
    ASSERT_TRUE(Await([&] { return Count("false 2") >= 1; }));
    bus_->SetAnswer(2, 1, {});
    ASSERT_TRUE(Await([&] { return gone(-3).size() >= 2; }));
    bus_->SetSilent(1, false);
    ASSERT_TRUE(Await(
        [&] { return Count("new 1") == 2 && TypedCount(1, 1) == 2 && TypedCount(1, 2) == 2; }));
    S().SetWork(false);
    EXPECT_EQ(gone(-2), (std::multiset<std::pair<int, int>>{{1, 1}, {1, 2}}));
    // A unit that answers foreign again before it is typed again is not reported again, but
    // one typed in between may be: each of its channels at least once, and no other.
    const std::multiset<std::pair<int, int>> unexpected = gone(-3);
    const std::set<std::pair<int, int>> unexpectedChannels(unexpected.begin(), unexpected.end());
    EXPECT_EQ(unexpectedChannels, (std::set<std::pair<int, int>>{{2, 3}, {2, 4}}));
    EXPECT_EQ(TypedCount(1, 1), 2u) << "typed again once back";
    EXPECT_EQ(TypedCount(1, 2), 2u);
    EXPECT_EQ(TypedCount(3, 1), 1u) << "the other unit is left alone";
}

TEST_F(ReadListOnSim, RemovingChannelsAndItemsWhileThePassRunsNeverFaults)
{
    std::vector<Channel> channels;
    std::vector<std::pair<uint8_t, uint8_t>> listed;
    for (uint8_t a = 1; a <= 3; ++a)
        for (uint8_t ch = 1; ch <= 6; ++ch) {
            channels.push_back({a, ch, static_cast<uint8_t>(a * 10 + ch)});
            listed.emplace_back(a, ch);
        }
    Open({{1, 1}, {2, 4}, {3, 11}}, channels);
    Start(listed, 3, 1);
    std::mt19937 random(3);
    for (int round = 0; round < 150; ++round) {
        Await([] { return false; }, 3ms);
        const auto a = static_cast<uint8_t>(1 + random() % 3);
        const auto ch = static_cast<uint8_t>(1 + random() % 6);
        switch (random() % 8) {
        case 0:
            ASSERT_TRUE(S().RemoveReadItem(a));
            break;
        case 1:
            if (round % 40 == 0) {
                ASSERT_TRUE(S().ClearReadList());
            }
            break;
        case 2:
        case 3:
        case 4:
            ASSERT_TRUE(S().RemoveReadChannel(a, ch));
            break;
        default:
            ASSERT_TRUE(S().AddReadChannel(a, ch, {a, ch}));
            break;
        }
    }
    // The pass goes on: every channel put back is read again.
    for (const auto& [a, ch] : listed)
        ASSERT_TRUE(S().AddReadChannel(a, ch, {}));
    std::map<std::pair<uint8_t, uint8_t>, int> reads;
    for (const auto& [a, ch] : listed)
        reads[{a, ch}] = Counts(a, ch).reads;
    ASSERT_TRUE(Await([&] {
        return std::all_of(listed.begin(), listed.end(), [&](const auto& l) {
            return Counts(l.first, l.second).reads > reads[l];
        });
    }));
    EXPECT_TRUE(S().Work());
    S().SetWork(false);
    const corecomp::TReadList list = S().ReadList();
    size_t count = 0;
    for (const corecomp::TReadItem& it : list.Items())
        count += it.channels.size();
    EXPECT_EQ(count, listed.size());
}

TEST_F(ReadListOnSim, ZoneValuesReachTheOwnerAndFollowTheirUnit)
{
    Open({{5, 9}, {6, 1}}, {{5, 2, 77}, {5, 3, 200}, {6, 1, 5}});
    S().AddZone(0, 5, 2, 1, 0);
    S().AddZone(0, 5, 3, 1, 7); // kind 7: the raw byte is signed
    std::vector<int32_t> reported;
    S().OnStatisticAnswer = [&](const std::vector<int32_t>& indexes, int32_t size) {
        EXPECT_EQ(static_cast<size_t>(size), indexes.size());
        reported.insert(reported.end(), indexes.begin(), indexes.end());
    };
    S().SetZoneInterval(20);
    Start({}, 2, 0);
    auto zone = [&](int index) { return S().Zones().at(static_cast<size_t>(index)); };
    ASSERT_TRUE(Await([&] {
        return std::count(reported.begin(), reported.end(), 0) >= 1 &&
               std::count(reported.begin(), reported.end(), 1) >= 1;
    }));
    EXPECT_EQ(zone(0).raw, 77);
    EXPECT_EQ(zone(1).raw, -56);
    EXPECT_EQ(zone(0).lastReported, 77);

    SetValue(5, 2, 90);
    ASSERT_TRUE(Await([&] { return zone(0).raw == 90; }));
    EXPECT_EQ(zone(0).lastReported, 90);

    bus_->SetSilent(5, true);
    ASSERT_TRUE(Await([&] { return Count("lost 5") == 1; }));
    EXPECT_EQ(zone(0).deviceState, corecomp::kZoneLost);
    EXPECT_EQ(zone(1).deviceState, corecomp::kZoneLost);
    SetValue(5, 2, 120);
    Await([] { return false; }, 300ms);
    EXPECT_EQ(zone(0).raw, 90) << "a lost unit's zones are not read";

    bus_->SetSilent(5, false);
    ASSERT_TRUE(Await([&] { return Count("new 5") == 2; }));
    EXPECT_NE(zone(0).deviceState, corecomp::kZoneLost);
    ASSERT_TRUE(Await([&] { return zone(0).raw == 120; }));
    // An event of the unit that names a zone asks for its value at once, without the poll.
    S().SetZoneInterval(0);
    Await([] { return false; }, 100ms);
    SetValue(5, 3, 10);
    ASSERT_TRUE(sim::QueueChannelEvent(*bus_, {5, 44, 3}));
    ASSERT_TRUE(Await([&] { return zone(1).raw == 10; }));
    S().SetWork(false);
}

TEST_F(ReadListOnSim, CredentialReportsReachTheOwnerWithTheirReaderAndAreConfirmed)
{
    Open({{7, 44}, {8, 44}}, {});
    struct Read
    {
        int32_t address;
        std::array<uint8_t, 8> codes;
        int64_t id;
    };
    std::vector<Read> reads;
    S().OnReadCodeCards = [&](int32_t address, const std::array<uint8_t, 8>& codes, int64_t id) {
        reads.push_back({address, codes, id});
    };
    S().AddCodeCardReader(7, 2, 16, 4242); // reports carry the reader: only reader 2 counts
    S().AddCodeCardReader(8, 0, 0, 99);
    Start({}, 2, 0);
    const model::KeyCode key{0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF};
    const struct
    {
        uint8_t address, code, reader;
        bool delivered;
    } reports[] = {{7, 26, 2, true}, {7, 28, 2, true},  {7, 29, 3, false}, {7, 29, 2, true},
                   {7, 32, 2, true}, {7, 34, 1, false}, {7, 34, 2, true},  {8, 32, 5, true}};
    for (const auto& r : reports) {
        SCOPED_TRACE(std::to_string(r.address) + " code " + std::to_string(r.code) + " reader " +
                     std::to_string(r.reader));
        reads.clear();
        bus_->ClearHistory();
        const size_t eventsBefore = events_.size();
        ASSERT_TRUE(bus_->QueueEvent(r.address, sim::CardReportBody(r.code, r.reader, key)));
        // A read reaches the owner as a read, anything else as an event: never as both.
        ASSERT_TRUE(Await([&] { return events_.size() > eventsBefore || !reads.empty(); }));
        // The confirmation, when there is one, goes through the queue.
        const sim::Bytes confirmation = sim::WithCrc({r.address, 6, 0, 43, 5, r.reader});
        auto confirmed = [&] {
            const auto h = bus_->History();
            return std::count_if(h.begin(), h.end(),
                                 [&](const auto& f) { return f.frame == confirmation; });
        };
        const uint32_t polls = S().PollCounters().polls;
        ASSERT_TRUE(Await([&] {
            return confirmed() >= 1 || (!r.delivered && S().PollCounters().polls > polls + 20);
        }));
        if (!r.delivered) {
            EXPECT_TRUE(reads.empty());
            EXPECT_EQ(confirmed(), 0);
            continue;
        }
        EXPECT_EQ(events_.size(), eventsBefore) << "a read is not also an event";
        ASSERT_EQ(reads.size(), 1u);
        EXPECT_EQ(reads[0].address, kCom << 24 | r.address << 8 | (r.address == 7 ? 2 : 0));
        EXPECT_EQ(reads[0].codes, key);
        EXPECT_EQ(reads[0].id, r.address == 7 ? 4242 : 99);
        EXPECT_EQ(confirmed(), 1);
    }
    S().SetWork(false);
}

TEST(ReadListOnSimProgram, RunTimeChangesReachTheOwner)
{
    platform::test::TempDir dir;
    SetBusValue("SpeedRSS", 115200);
    SetBusValue("CmdTimeoutConstant", 200);
    SetBusValue("TimeoutConstant", 100);
    simtest::SimProcess sim({"--link",        dir.File("tty"),
                             "--registry",    Scratch().File("registry.reg"),
                             "--com",         std::to_string(kCom + 1),
                             "--baud",        "115200",
                             "--turnaround",  std::to_string(kTurnaroundMs),
                             "--unit",        "5:9:223",
                             "--unit",        "7:44:223",
                             "--channel",     "5:1:100",
                             "--channel",     "5:2:50:85:17",
                             "--card-report", "7:32:1:0123456789ABCDEF:500",
                             "--max-seconds", "300"});
    ASSERT_EQ(sim.WaitReady(), dir.File("tty")) << sim.Stderr();
    platform::OwnerChannel owner;
    std::vector<Adc> adc;
    std::vector<Typed> typed;
    std::vector<std::array<uint8_t, 8>> cards;
    {
        TRSSession::Collaborators c;
        c.owner = &owner;
        TRSSession session(std::move(c));
        session.SetComPort(kCom + 1);
        session.OnNewADC = [&](const std::vector<uint8_t>& text, uint8_t ch, uint8_t address,
                               int32_t state, const std::vector<uint8_t>& data, int32_t) {
            adc.push_back({address, ch, state, text.size() > 4 ? text[4] : -1, data});
        };
        session.OnNewTypeEventADC = [&](uint8_t a, uint8_t ch, int32_t type, int32_t state) {
            typed.emplace_back(a, ch, type, state);
        };
        session.OnReadCodeCards = [&](int32_t, const std::array<uint8_t, 8>& codes, int64_t) {
            cards.push_back(codes);
        };
        session.AddCodeCardReader(7, 1, 16, 1);
        session.SetReadInterval(20);
        session.SetChangeThreshold(5);
        ASSERT_TRUE(session.AddReadChannel(5, 1, {}));
        ASSERT_TRUE(session.AddReadChannel(5, 2, {}));
        session.SetWork(true);
        ASSERT_TRUE(session.Work());
        ASSERT_TRUE(owner.WaitServing([&] { return adc.size() >= 2 && !cards.empty(); }, 60s));
        EXPECT_EQ(std::set<Typed>(typed.begin(), typed.end()),
                  (std::set<Typed>{{5, 1, 9, 1}, {5, 2, 9, 1}}));
        EXPECT_EQ(cards[0],
                  (std::array<uint8_t, 8>{0xEF, 0xCD, 0xAB, 0x89, 0x67, 0x45, 0x23, 0x01}));
        adc.clear();
        ASSERT_TRUE(sim.Input("channel 5:1:150\nchannel-event 5:17:2\nbogus line\n"));
        auto seen = [&](int ch, int32_t state, int value) {
            return std::any_of(adc.begin(), adc.end(), [&](const Adc& a) {
                return a.channel == ch && a.state == state && a.value == value;
            });
        };
        EXPECT_TRUE(owner.WaitServing([&] { return seen(1, 1, 150) && seen(2, -5, 50); }, 60s))
            << "the new value and the event's state; reports:" << [&] {
                   std::string text;
                   for (const Adc& a : adc)
                       text += " " + std::to_string(a.channel) + "/" + std::to_string(a.state) +
                               "/" + std::to_string(a.value);
                   return text;
               }();
        session.SetWork(false);
    }
    sim.Signal(SIGINT);
    EXPECT_EQ(sim.Wait(), 0);
    EXPECT_NE(sim.Stderr().find("t4700-sim: unknown command \"bogus\""), std::string::npos)
        << sim.Stderr();
}

} // namespace
