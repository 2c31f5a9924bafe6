// The simulated relay units: their events and answers on the bus, and that they fit the
// session's relay rules frame for frame (the session's side built in-process, the units' side
// the simulated bus); the program's switches that make their events.

#include "sim/analog_unit.h"
#include "sim/bus.h"
#include "sim/options.h"
#include "sim/relay_peer.h"
#include "sim/run_commands.h"

#include "CoreComp/rssess/event_relay.h"
#include "raw_line.h"
#include "sim_process.h"
#include "tests/platform/temp_dir.h"

#include <gtest/gtest.h>

#include <csignal>
#include <map>
#include <thread>

using namespace std::chrono_literals;

using simtest::Hex;
using simtest::ToHex;

namespace {

constexpr int64_t kStart = 1000000;

// A line of relay units: 2 and 3 receivers, 5 a report unit, 8 and 9 walk units at versions 103
// and 104, 10 a plain unit.
class RelayLine : public ::testing::Test
{
protected:
    void SetUp() override
    {
        for (const auto& [address, type, version] : {std::tuple{2, 14, 223},
                                                     {3, 14, 223},
                                                     {5, 15, 223},
                                                     {8, 16, 103},
                                                     {9, 16, 104},
                                                     {10, 44, 223}})
            ASSERT_TRUE(bus_.AddUnit(static_cast<uint8_t>(address), static_cast<uint8_t>(type),
                                     static_cast<uint16_t>(version)));
        sim::AttachRelayPeers(bus_);
    }

    // The frame with its CRC-8 on the line; the answers' frames without their CRC-8.
    std::vector<sim::Bytes> Send(const sim::Bytes& frame)
    {
        now_ += 100000;
        std::vector<sim::Bytes> out;
        for (const sim::Transmission& t : bus_.Receive(sim::WithCrc(frame), now_).answers)
            out.emplace_back(t.bytes.begin(), t.bytes.end() - 1);
        return out;
    }
    // The event the unit gives to the event read, CRC-8 included, as the session stores it.
    sim::Bytes ReadEvent(uint8_t address)
    {
        now_ += 100000;
        const auto answers = bus_.Receive(sim::WithCrc({address, 6, 0, 0x01, 0, 1}), now_).answers;
        EXPECT_EQ(answers.size(), 1u);
        bus_.Receive(sim::WithCrc({address, 6, 0, 0x03, 0, 1}), now_ + 50000);
        return answers.empty() ? sim::Bytes{} : answers[0].bytes;
    }
    // The session's relay of one event answer, with this line's types and versions.
    corecomp::RelayResult Relay(const sim::Bytes& answer, bool noWalk = false)
    {
        corecomp::RelayContext c;
        c.typeOf = [this](int a) { return bus_.Type(static_cast<uint8_t>(a)).value_or(0); };
        c.versionOf = [this](int a) { return bus_.Version(static_cast<uint8_t>(a)).value_or(0); };
        c.noTranslateWalk = noWalk;
        c.now = {2026, 12, 10, 14, 35, 7, 0};
        c.nextSequence = [this] { return sequence_++; };
        c.relayCounter = &counter_;
        return corecomp::BuildRelayFrames(answer, c);
    }
    bool Queue(sim::TimedEventSpec spec) { return sim::QueueTimedEvent(bus_, spec); }
    std::vector<sim::Bytes> Kept(uint8_t address, bool reports)
    {
        std::vector<sim::Bytes> out;
        bus_.WithPeer(address, [&](sim::UnitPeer& p, sim::UnitAccess&) {
            auto& peer = dynamic_cast<sim::RelayPeer&>(p);
            out = reports ? peer.Reports() : peer.Broadcasts();
        });
        return out;
    }

    sim::Bus bus_;
    int64_t now_ = kStart;
    uint8_t sequence_ = 0;
    uint8_t counter_ = 0;
};

using Kind = sim::TimedEventSpec::Kind;

sim::TimedEventSpec Walk(uint8_t address, uint8_t event)
{
    sim::TimedEventSpec s;
    s.kind = Kind::Walk;
    s.address = address;
    s.event = event;
    return s;
}

sim::TimedEventSpec Forward(uint8_t address, uint8_t destination, sim::Bytes request)
{
    sim::TimedEventSpec s;
    s.kind = Kind::Forward;
    s.address = address;
    s.destination = destination;
    s.bytes = std::move(request);
    return s;
}

sim::TimedEventSpec Body(uint8_t address, sim::Bytes body)
{
    sim::TimedEventSpec s;
    s.address = address;
    s.bytes = std::move(body);
    return s;
}

TEST_F(RelayLine, PeersGoToRelayTypesOnlyAndAnExistingPeerStays)
{
    for (uint8_t a : {2, 3, 5, 8, 9})
        EXPECT_TRUE(bus_.WithPeer(a, [](sim::UnitPeer&, sim::UnitAccess&) {})) << int(a);
    EXPECT_FALSE(bus_.WithPeer(10, [](sim::UnitPeer&, sim::UnitAccess&) {}));

    sim::Bus other;
    ASSERT_TRUE(other.AddUnit(4, 4, 223));
    struct Own : sim::UnitPeer
    {
        std::optional<sim::Bytes> Answer(sim::UnitAccess&, const sim::Bytes&, int64_t) override
        {
            return std::nullopt;
        }
    };
    ASSERT_TRUE(other.SetPeer(4, std::make_unique<Own>()));
    ASSERT_TRUE(other.AddUnit(7, 4, 223)); // a walk unit with channels
    sim::AttachRelayPeers(other);
    other.WithPeer(7, [](sim::UnitPeer& p, sim::UnitAccess&) {
        EXPECT_NE(dynamic_cast<sim::AnalogPeer*>(&p), nullptr);
    });
    EXPECT_TRUE(sim::QueueTimedEvent(other, Walk(7, 28)));
    EXPECT_EQ(other.HeadEvent(7), sim::WalkEventBody(7, 28, 1));
    other.WithPeer(4, [](sim::UnitPeer& p, sim::UnitAccess&) {
        EXPECT_EQ(dynamic_cast<sim::RelayPeer*>(&p), nullptr);
    });
    // A walk event needs only a peer of any kind: the event number is the unit's.
    EXPECT_TRUE(sim::QueueTimedEvent(other, Walk(4, 32)));
    EXPECT_EQ(other.HeadEvent(4), sim::WalkEventBody(4, 32, 1));
}

TEST_F(RelayLine, EventsHaveTheirFormsAndTheUnitsNumbers)
{
    ASSERT_TRUE(Queue(Walk(9, 32)));
    ASSERT_TRUE(Queue(Walk(9, 28)));
    ASSERT_TRUE(Queue(Forward(2, 3, {0x31, 1})));
    ASSERT_TRUE(Queue(Body(5, {0x04, 0x0F, 7, 0})));
    EXPECT_EQ(ToHex(ReadEvent(9)),
              ToHex(sim::WithCrc(Hex("09 10 04 20 01 01 01 09 01 00 00 00 00 00 00 00"))));
    EXPECT_EQ(ToHex(ReadEvent(9)),
              ToHex(sim::WithCrc(Hex("09 10 04 1C 02 01 01 09 02 00 00 00 00 00 00 00"))));
    EXPECT_EQ(ToHex(ReadEvent(2)), ToHex(sim::WithCrc(Hex("02 08 0E 12 01 03 31 01"))));
    EXPECT_EQ(ToHex(ReadEvent(5)), ToHex(sim::WithCrc(Hex("05 06 04 0F 07 00"))));

    // What cannot be made is refused and queues nothing.
    const sim::Bytes tooLong(250, 0x13);
    for (const sim::TimedEventSpec& bad :
         {Walk(10, 32), // no peer: no number to take
          Walk(77, 32), Forward(2, 0, {0x13}), Forward(2, 128, {0x13}), Forward(2, 3, {}),
          Forward(2, 3, tooLong), Body(5, {0x04, 0x0F})})
        EXPECT_FALSE(Queue(bad)) << int(bad.address) << " " << int(bad.destination);
    for (uint8_t a : {2, 5, 9, 10})
        EXPECT_EQ(bus_.EventCount(a), 0u) << int(a);
    // The longest request that fits makes a full 255-byte answer.
    ASSERT_TRUE(Queue(Forward(2, 3, sim::Bytes(249, 0x13))));
    EXPECT_EQ(ReadEvent(2).size(), 256u);
}

// The session's relay of the units' own events, put back on the bus: the walk broadcast reaches
// every relay unit, a report reaches both receivers and each confirms it, a carried request
// reaches its destination.
TEST_F(RelayLine, WhatTheSessionRelaysReachesTheUnits)
{
    ASSERT_TRUE(Queue(Walk(9, 32)));
    const sim::Bytes walk = ReadEvent(9);
    const corecomp::RelayResult broadcast = Relay(walk);
    ASSERT_EQ(broadcast.frames.size(), 1u);
    const sim::Bytes& b = broadcast.frames[0];
    ASSERT_EQ(b.size(), 24u);
    EXPECT_EQ(b[1], 24);
    EXPECT_EQ(b[3], sim::kWalkBroadcast);
    EXPECT_TRUE(Send(b).empty()) << "a broadcast gets no answer";
    for (uint8_t a : {2, 3, 5, 8, 9})
        EXPECT_EQ(Kept(a, false), std::vector<sim::Bytes>{b}) << int(a);
    EXPECT_EQ(bus_.History().back().frame, sim::WithCrc(b));

    ASSERT_TRUE(Queue(Body(5, sim::ReportEventBody(15, 7))));
    const corecomp::RelayResult reports = Relay(ReadEvent(5));
    ASSERT_EQ(reports.frames.size(), 2u);
    for (size_t i = 0; i < 2; ++i) {
        const uint8_t to = static_cast<uint8_t>(2 + i);
        ASSERT_EQ(reports.frames[i][0], to);
        EXPECT_EQ(Send(reports.frames[i]),
                  (std::vector<sim::Bytes>{sim::Bytes{to, 6, sim::kRelayConfirm, 1, 15, 5}}));
        EXPECT_EQ(Kept(to, true), std::vector<sim::Bytes>{reports.frames[i]});
    }

    ASSERT_TRUE(Queue(Forward(2, 3, {sim::kRelayReport, 9, 15, 0, 5})));
    const corecomp::RelayResult forwarded = Relay(ReadEvent(2));
    ASSERT_TRUE(forwarded.forwarded);
    ASSERT_EQ(forwarded.frames.size(), 1u);
    EXPECT_EQ(forwarded.frames[0], (sim::Bytes{3, 8, 0, sim::kRelayReport, 9, 15, 0, 5}));
    EXPECT_EQ(Send(forwarded.frames[0]),
              (std::vector<sim::Bytes>{sim::Bytes{3, 6, sim::kRelayConfirm, 9, 15, 5}}));
}

TEST_F(RelayLine, OnlyReceiversConfirmAndOnlyAWholeReport)
{
    const sim::Bytes report{0, 15, 0, 0x31, 4, 15, 7, 5, 0, 0, 0, 0, 14, 35, 7};
    auto to = [&](uint8_t a, size_t length) {
        sim::Bytes r(report.begin(), report.begin() + static_cast<long>(length));
        r[0] = a;
        r[1] = static_cast<uint8_t>(length);
        return Send(r);
    };
    EXPECT_EQ(to(2, 15).size(), 1u);
    EXPECT_EQ(to(2, 8).size(), 1u) << "the report's source is all a confirmation needs";
    EXPECT_TRUE(to(2, 7).empty());
    for (uint8_t other : {5, 8, 10})
        EXPECT_TRUE(to(other, 15).empty()) << int(other);
    EXPECT_EQ(Kept(2, true).size(), 2u);
    // A receiver still gives the common answers.
    EXPECT_EQ(Send({2, 6, 0, 0x0D, 0, 0}),
              (std::vector<sim::Bytes>{sim::Bytes{2, 6, 0, 14, 223, 0}}));
}

TEST(SimCommandLine, RelayEventSwitches)
{
    const auto parsed = sim::ParseCommandLine(
        {"--unit", "2:14:223", "--unit", "9:16:104", "--unit", "10:44:223", "--walk", "9:32",
         "--walk", "9:28:1500", "--forward", "2:3:3101:20", "--event", "10:040F0100:5"});
    ASSERT_TRUE(parsed.options) << parsed.error;
    const auto& e = parsed.options->timed_events;
    ASSERT_EQ(e.size(), 4u);
    EXPECT_EQ(e[0].kind, Kind::Walk);
    EXPECT_EQ(e[0].event, 32);
    EXPECT_EQ(e[0].delay_ms, 0u);
    EXPECT_EQ(e[1].event, 28);
    EXPECT_EQ(e[1].delay_ms, 1500u);
    EXPECT_EQ(e[2].kind, Kind::Forward);
    EXPECT_EQ(e[2].address, 2);
    EXPECT_EQ(e[2].destination, 3);
    EXPECT_EQ(e[2].bytes, (sim::Bytes{0x31, 0x01}));
    EXPECT_EQ(e[2].delay_ms, 20u);
    EXPECT_EQ(e[3].kind, Kind::Body);
    EXPECT_EQ(e[3].bytes, (sim::Bytes{0x04, 0x0F, 0x01, 0x00}));

    const struct
    {
        std::vector<std::string> args;
        const char* says;
    } bad[] = {
        {{"--walk", "9:32"}, "--walk names no unit at address 9"},
        {{"--unit", "10:44:223", "--walk", "10:32"}, "needs a unit of type 4, 14, 15 or 16"},
        {{"--unit", "10:44:223", "--forward", "10:3:13"}, "needs a unit of type 4, 14, 15 or 16"},
        {{"--walk", "1:256"}, "--walk"},
        {{"--walk", "1:32:soon"}, "--walk"},
        {{"--walk", "1"}, "--walk"},
        {{"--forward", "1:0:13"}, "--forward"},
        {{"--forward", "1:128:13"}, "--forward"},
        {{"--forward", "1:3:"}, "--forward"},
        {{"--forward", "1:3:1"}, "--forward"},
        {{"--forward", "1:3:" + std::string(500, 'A')}, "--forward"},
        {{"--event", "1:0401"}, "--event"},
        {{"--event", "1:04010G"}, "--event"},
        {{"--event", "0:040100"}, "--event"},
        {{"--event", "1:040100:1:2"}, "--event"},
    };
    for (const auto& c : bad) {
        const auto p = sim::ParseCommandLine(c.args);
        EXPECT_FALSE(p.options) << c.args.back();
        EXPECT_NE(p.error.find(c.says), std::string::npos) << p.error;
    }
}

TEST_F(RelayLine, RunTimeCommandsQueueTheEventsAtOnce)
{
    const struct
    {
        const char* line;
        const char* error; // empty: applied
        uint8_t unit;
        sim::Bytes head;
    } cases[] = {
        {"walk 9:32", "", 9, sim::WalkEventBody(9, 32, 1)},
        {"forward 2:3:1301", "", 2, {0x0E, 0x12, 1, 3, 0x13, 0x01}},
        {"event 5:040F0700", "", 5, {0x04, 0x0F, 7, 0}},
        {"walk 10:32", "walk names no unit at address 10 that makes it", 10, {}},
        {"walk 77:32", "walk names no unit at address 77", 77, {}},
        {"walk 9:32:100", "bad value for walk", 9, {}},
        {"forward 2:0:13", "bad value for forward", 2, {}},
        {"event 5:0401", "bad value for event", 5, {}},
    };
    for (const auto& c : cases) {
        bus_.Receive(sim::WithCrc({c.unit, 6, 0, 0x03, 0, 1}), now_ += 100000); // empty the log
        EXPECT_EQ(sim::ApplyRunCommand(bus_, c.line).rfind(c.error, 0), 0u) << c.line;
        if (c.head.empty())
            EXPECT_EQ(bus_.EventCount(c.unit), 0u) << c.line;
        else
            EXPECT_EQ(bus_.HeadEvent(c.unit), c.head) << c.line;
    }
}

// The program queues each event when its delay has passed, in the order of the delays.
TEST(SimProgram, RelayEventsComeAfterTheirDelays)
{
    platform::test::TempDir dir;
    simtest::SimProcess sim({"--link", dir.File("tty"), "--baud", "115200", "--unit", "9:16:104",
                             "--walk", "9:32:300", "--event", "9:040F0100"});
    ASSERT_EQ(sim.WaitReady(), dir.File("tty")) << sim.Stderr();
    simtest::RawLine line(dir.File("tty"));
    const sim::Bytes read{9, 6, 0, 0x01, 0, 1};
    const sim::Bytes acknowledge{9, 6, 0, 0x03, 0, 1};
    EXPECT_EQ(ToHex(line.Exchange(read)), ToHex(sim::WithCrc(Hex("09 06 04 0F 01 00"))));
    line.Exchange(acknowledge);
    std::this_thread::sleep_for(400ms);
    sim::Bytes walk{9, 16};
    const sim::Bytes body = sim::WalkEventBody(9, 32, 1);
    walk.insert(walk.end(), body.begin(), body.end());
    EXPECT_EQ(ToHex(line.Exchange(read)), ToHex(sim::WithCrc(walk)));
    sim.Signal(SIGTERM);
    EXPECT_EQ(sim.Wait(), 0) << sim.Stderr();
}

} // namespace
