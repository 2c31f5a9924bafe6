// The bus logic without a pty: receiver, timing and faults with exact time stamps.

#include "sim/bus.h"

#include "CoreComp/rssess/bus_crc.h"
#include "config_tool/model/config_image.h"
#include "raw_line.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

using simtest::Hex;
using simtest::ToHex;

namespace {

constexpr int64_t kStart = 1000000;

sim::Bytes TypeQuery(uint8_t address)
{
    return sim::WithCrc({address, 6, 0, 0x0D, 0, 0});
}

// Every accepted frame carries a good CRC-8 and no answer exists without one.
void ExpectOnlyGoodFrames(const sim::LineActivity& activity)
{
    for (const sim::Bytes& f : activity.frames) {
        ASSERT_GE(f.size(), 6u);
        ASSERT_EQ(f.size(), f[1] + 1u);
        EXPECT_EQ(corecomp::BusCrc8(std::span(f.data(), f.size() - 1)), f.back()) << ToHex(f);
    }
    if (activity.frames.empty()) {
        EXPECT_TRUE(activity.answers.empty());
    }
}

TEST(SimBus, AnswerIsDueAfterRequestTurnaroundAndAnswerWireTime)
{
    struct Case
    {
        uint32_t baud;
        uint32_t turnaround_us;
        int64_t byte_us;
    };
    for (const Case& c : {Case{9600, 2000, 1042}, Case{115200, 2000, 87}, Case{19200, 0, 521}}) {
        sim::Bus bus({.baud = c.baud, .turnaround_us = c.turnaround_us});
        ASSERT_TRUE(bus.AddUnit(1, 44, 223));
        EXPECT_EQ(bus.ByteTimeUs(), c.byte_us);
        // 9-byte memory read, 13-byte answer.
        const sim::LineActivity a = bus.Receive(sim::WithCrc({1, 8, 0, 0x43, 0, 0, 0, 8}), kStart);
        ASSERT_EQ(a.answers.size(), 1u);
        EXPECT_EQ(a.answers[0].due_us, kStart + 9 * c.byte_us + c.turnaround_us + 13 * c.byte_us) << c.baud;
    }
}

TEST(SimBus, FrameInPiecesIsAnsweredOnceComplete)
{
    sim::Bus bus({.baud = 9600});
    ASSERT_TRUE(bus.AddUnit(1, 44, 223));
    const sim::Bytes frame = TypeQuery(1);
    // The session writes the frame and then its CRC-8 alone; byte by byte must work as well.
    for (std::size_t piece : {frame.size() - 1, std::size_t{1}}) {
        sim::LineActivity last;
        int64_t t = kStart;
        for (std::size_t at = 0; at < frame.size(); at += piece) {
            const std::size_t n = std::min(piece, frame.size() - at);
            EXPECT_TRUE(last.answers.empty());
            last = bus.Receive(std::span(frame.data() + at, n), t += 100);
        }
        ASSERT_EQ(last.answers.size(), 1u) << piece;
        EXPECT_EQ(ToHex(last.answers[0].bytes), ToHex(sim::WithCrc(Hex("01 06 00 2C DF 00"))));
        EXPECT_TRUE(last.dropped.empty());
    }
}

TEST(SimBus, ReceiverDropsGarbageAndResynchronises)
{
    struct Case
    {
        const char* name;
        sim::Bytes before; // sent first
        int64_t pause_us;  // then the type query to unit 1 after this pause
        bool answered;
    };
    const sim::Bytes bad_crc = [] {
        sim::Bytes f = TypeQuery(1);
        f.back() ^= 1;
        return f;
    }();
    const sim::Bytes truncated = Hex("01 08 00 43 00 00");
    const Case cases[] = {
        {"short length bytes", Hex("00 01 02 03 04"), 0, true},
        {"frame with a bad CRC in the way", Hex("05 05"), 0, true},
        {"bad CRC, gap", bad_crc, 50000, true},
        {"truncated frame, gap", truncated, 50000, true},
        {"long length claimed, gap", Hex("01 C8 00 0D"), 50000, true},
        // Without a gap the good frame is taken as the rest of the long one.
        {"long length claimed, no gap", Hex("01 C8 00 0D"), 100, false},
    };
    for (const Case& c : cases) {
        sim::Bus bus({.baud = 9600});
        ASSERT_TRUE(bus.AddUnit(1, 44, 223));
        const sim::LineActivity first = bus.Receive(c.before, kStart);
        EXPECT_TRUE(first.answers.empty()) << c.name;
        const sim::LineActivity second = bus.Receive(TypeQuery(1), kStart + c.pause_us);
        EXPECT_EQ(second.answers.size(), c.answered ? 1u : 0u) << c.name;
        ExpectOnlyGoodFrames(first);
        ExpectOnlyGoodFrames(second);
    }
}

TEST(SimBus, DroppedBytesAreReportedAsRunsAroundFrames)
{
    sim::Bus bus({.baud = 9600});
    ASSERT_TRUE(bus.AddUnit(1, 44, 223));
    sim::Bytes line = Hex("00 01 02");
    const sim::Bytes frame = TypeQuery(1);
    line.insert(line.end(), frame.begin(), frame.end());
    line.push_back(0x03);
    line.push_back(0x04);
    const sim::LineActivity a = bus.Receive(line, kStart);
    ASSERT_EQ(a.dropped.size(), 2u);
    EXPECT_EQ(ToHex(a.dropped[0]), "00 01 02");
    EXPECT_EQ(ToHex(a.dropped[1]), "03");
    ASSERT_EQ(a.frames.size(), 1u);
    EXPECT_EQ(a.frames[0], frame);
    EXPECT_EQ(a.answers.size(), 1u);
    // The last byte waits for more until the gap has passed.
    const auto expired = bus.Expire(kStart + 100000).dropped;
    ASSERT_EQ(expired.size(), 1u);
    EXPECT_EQ(ToHex(expired[0]), "04");
}

TEST(SimBus, StalePartialFrameExpiresAfterTheGap)
{
    sim::Bus bus({.baud = 9600});
    ASSERT_TRUE(bus.AddUnit(1, 44, 223));
    EXPECT_EQ(bus.GapUs(), 20000u); // four character times are less than the floor at 9600
    EXPECT_FALSE(bus.ExpiryDue());
    bus.Receive(Hex("01 08 00"), kStart);
    ASSERT_TRUE(bus.ExpiryDue());
    EXPECT_TRUE(bus.Expire(kStart + 20000).dropped.empty());
    const sim::LineActivity expired = bus.Expire(*bus.ExpiryDue());
    ASSERT_EQ(expired.dropped.size(), 1u);
    EXPECT_EQ(ToHex(expired.dropped[0]), "01 08 00");
    EXPECT_FALSE(bus.ExpiryDue());
}

TEST(SimBus, RandomBytesNeverCrashAndOnlyGoodFramesAreAnswered)
{
    std::mt19937 random(12345);
    sim::Bus bus({.baud = 115200});
    for (uint8_t a : {1, 2, 5, 40, 127})
        ASSERT_TRUE(bus.AddUnit(a, 44, 223));
    int64_t t = kStart;
    std::size_t frames = 0;
    for (int round = 0; round < 4000; ++round) {
        sim::Bytes chunk(std::uniform_int_distribution<std::size_t>(1, 300)(random));
        for (uint8_t& b : chunk)
            b = static_cast<uint8_t>(random());
        // Small length bytes and unit addresses make chance frames likelier.
        if (round % 3 == 0 && chunk.size() > 1) {
            chunk[0] = 1;
            chunk[1] = static_cast<uint8_t>(5 + random() % 4);
        }
        t += std::uniform_int_distribution<int64_t>(0, 40000)(random);
        const sim::LineActivity a = bus.Receive(chunk, t);
        ExpectOnlyGoodFrames(a);
        frames += a.frames.size();
        for (const sim::Transmission& x : a.answers)
            EXPECT_EQ(corecomp::BusCrc8(std::span(x.bytes.data(), x.bytes.size() - 1)), x.bytes.back());
    }
    // 255 bytes of garbage, then a pause, and the line still works.
    bus.Receive(sim::Bytes(255, 0xFF), t += 1000);
    bus.Receive(sim::Bytes(255, 0x07), t += 1000);
    const sim::LineActivity after = bus.Receive(TypeQuery(2), t += 100000);
    ASSERT_EQ(after.answers.size(), 1u);
    EXPECT_EQ(after.answers[0].bytes[0], 2);
    RecordProperty("chance_frames", static_cast<int>(frames));
}

TEST(SimBus, FaultCountsApplyInOrderOfPrecedence)
{
    sim::Bus bus({.baud = 9600});
    ASSERT_TRUE(bus.AddUnit(1, 44, 223));
    bus.SetFault(sim::Fault::BadCrc, {.count = 1});
    bus.SetFault(sim::Fault::NoAnswer, {.count = 2});
    const sim::Bytes good = sim::WithCrc(Hex("01 06 00 2C DF 00"));
    sim::Bytes bad = good;
    bad.back() ^= 0xFF;
    const std::vector<std::string> expected = {"", "", ToHex(bad), ToHex(good), ToHex(good)};
    int64_t t = kStart;
    for (const std::string& want : expected) {
        const sim::LineActivity a = bus.Receive(TypeQuery(1), t += 100000);
        EXPECT_EQ(a.answers.empty() ? "" : ToHex(a.answers.at(0).bytes), want);
    }
}

TEST(SimBus, FaultProbabilityFollowsTheSeed)
{
    auto pattern = [](uint32_t seed, double p) {
        sim::Bus bus({.baud = 115200}, seed);
        bus.AddUnit(1, 44, 223);
        bus.SetFault(sim::Fault::NoAnswer, {.probability = p});
        std::string out;
        int64_t t = kStart;
        for (int i = 0; i < 200; ++i)
            out += bus.Receive(TypeQuery(1), t += 100000).answers.empty() ? 'x' : '.';
        return out;
    };
    const std::string a = pattern(7, 0.3);
    EXPECT_EQ(a, pattern(7, 0.3));
    EXPECT_NE(a, pattern(8, 0.3));
    const auto dropped = std::count(a.begin(), a.end(), 'x');
    EXPECT_GT(dropped, 30);
    EXPECT_LT(dropped, 90);
    EXPECT_EQ(pattern(7, 0.0), std::string(200, '.'));
    EXPECT_EQ(pattern(7, 1.0), std::string(200, 'x'));
}

TEST(SimBus, TimedFaultsShiftTheirBytes)
{
    const sim::BusTiming timing{.baud = 9600, .turnaround_us = 2000, .late_us = 300000, .split_gap_us = 50000};
    const sim::Bytes request = TypeQuery(1);
    const int64_t byte_us = 1042;
    const int64_t start = kStart + 7 * byte_us + 2000;
    struct Case
    {
        sim::Fault fault;
        std::vector<std::pair<int64_t, std::string>> sent; // due time, bytes
    };
    const std::string answer = ToHex(sim::WithCrc(Hex("01 06 00 2C DF 00")));
    const Case cases[] = {
        {sim::Fault::LateAnswer, {{start + 7 * byte_us + 300000, answer}}},
        {sim::Fault::SplitAnswer,
         {{start + 3 * byte_us, answer.substr(0, 8)}, {start + 3 * byte_us + 50000 + 4 * byte_us, answer.substr(9)}}},
        {sim::Fault::Echo, {{start + 7 * byte_us, ToHex(request)}, {start + 14 * byte_us, answer}}},
    };
    for (const Case& c : cases) {
        sim::Bus bus(timing);
        bus.AddUnit(1, 44, 223);
        bus.SetFault(c.fault, {.count = 1});
        const sim::LineActivity a = bus.Receive(request, kStart);
        ASSERT_EQ(a.answers.size(), c.sent.size());
        for (std::size_t i = 0; i < c.sent.size(); ++i) {
            EXPECT_EQ(a.answers[i].due_us, c.sent[i].first) << i;
            EXPECT_EQ(ToHex(a.answers[i].bytes), c.sent[i].second) << i;
        }
    }
}

TEST(SimBus, LateAnswersSpreadOverTheirRangeAndRepeatWithTheSeed)
{
    const sim::Bytes request = TypeQuery(1);
    const int64_t byte_us = 1042;
    const int64_t due = kStart + 7 * byte_us + 2000 + 7 * byte_us; // on time
    auto lateness = [&](uint32_t seed) {
        sim::Bus bus({.baud = 9600, .late_us = 100000, .late_spread_us = 40000}, seed);
        bus.AddUnit(1, 44, 223);
        bus.SetFault(sim::Fault::LateAnswer, {.probability = 1.0});
        std::vector<int64_t> out;
        for (int i = 0; i < 200; ++i) {
            const int64_t now = kStart + i * 1000000LL;
            const sim::LineActivity a = bus.Receive(request, now);
            EXPECT_EQ(a.answers.size(), 1u);
            if (!a.answers.empty())
                out.push_back(a.answers[0].due_us - (due + (now - kStart)));
        }
        return out;
    };
    const std::vector<int64_t> first = lateness(5);
    EXPECT_EQ(first, lateness(5));
    EXPECT_NE(first, lateness(6));
    const auto [low, high] = std::minmax_element(first.begin(), first.end());
    EXPECT_GE(*low, 100000);
    EXPECT_LE(*high, 140000);
    EXPECT_LT(*low, 105000) << "the whole range is used";
    EXPECT_GT(*high, 135000);
}

TEST(SimBus, UnitsStartFromTheFactoryImageAndRejectBadAddresses)
{
    sim::Bus bus;
    EXPECT_FALSE(bus.AddUnit(0, 44, 223));
    EXPECT_FALSE(bus.AddUnit(128, 44, 223));
    ASSERT_TRUE(bus.AddUnit(9, 44, 223));
    ASSERT_TRUE(bus.AddUnit(3, 10, 222));
    EXPECT_FALSE(bus.AddUnit(9, 10, 223));
    EXPECT_EQ(bus.Addresses(), (std::vector<uint8_t>{3, 9}));
    EXPECT_EQ(bus.Image(9), model::FactoryImage());
    EXPECT_EQ(bus.KeyCodes(9), model::KeyCodes{});
    EXPECT_EQ(bus.ReadMemory(9, model::kImageSize, 4), sim::Bytes(4, 0xFF));
    EXPECT_FALSE(bus.ReadMemory(9, sim::kMemorySize - 2, 4));
    EXPECT_FALSE(bus.Image(4));
    EXPECT_FALSE(bus.QueueEvent(4, {0x04, 1, 2}));
    EXPECT_FALSE(bus.QueueEvent(9, {0x04, 1}));
}

// A peer that answers command 0x1B itself, stays silent on 0x39, leaves the rest to the unit's
// common answers, and turns each broadcast it hears into an event.
class EchoPeer final : public sim::UnitPeer
{
public:
    std::optional<sim::Bytes> Answer(sim::UnitAccess& unit, const sim::Bytes& request,
                                     int64_t) override
    {
        if (request[3] == 0x1B)
            return sim::AnswerFrame(unit.Address(), {0x1C, value, unit.Type()});
        if (request[3] == 0x39)
            return sim::Bytes{};
        return std::nullopt;
    }
    void Broadcast(sim::UnitAccess& unit, const sim::Bytes& frame, int64_t) override
    {
        unit.QueueEvent({0x04, frame[3], unit.TakeEventNumber()});
    }
    uint8_t value = 7;
};

TEST(SimBus, PeerAnswersFirstAndHearsBroadcasts)
{
    sim::Bus bus;
    ASSERT_TRUE(bus.AddUnit(5, 9, 223));
    ASSERT_TRUE(bus.AddUnit(6, 44, 223));
    EXPECT_FALSE(bus.SetPeer(7, std::make_unique<EchoPeer>()));
    ASSERT_TRUE(bus.SetPeer(5, std::make_unique<EchoPeer>()));
    auto answers = [&](const sim::Bytes& request) {
        std::vector<std::string> out;
        for (const auto& t : bus.Receive(sim::WithCrc(request), kStart).answers)
            out.push_back(ToHex(t.bytes));
        return out;
    };
    const std::string value_answer = ToHex(sim::WithCrc({5, 5, 0x1C, 7, 9}));
    EXPECT_EQ(answers({5, 6, 0, 0x1B, 1, 0}), std::vector<std::string>{value_answer});
    EXPECT_TRUE(answers({5, 6, 0, 0x39, 1, 0}).empty());
    // Not the peer's: the common type answer.
    EXPECT_EQ(answers({5, 6, 0, 0x0D, 0, 0}),
              std::vector<std::string>{ToHex(sim::WithCrc({5, 6, 0, 9, 223, 0}))});
    // A unit without a peer ignores the peer's command.
    EXPECT_TRUE(answers({6, 6, 0, 0x1B, 1, 0}).empty());

    ASSERT_TRUE(bus.WithPeer(
        5, [](sim::UnitPeer& peer, sim::UnitAccess&) { static_cast<EchoPeer&>(peer).value = 42; }));
    EXPECT_FALSE(bus.WithPeer(6, [](sim::UnitPeer&, sim::UnitAccess&) {}));
    EXPECT_EQ(answers({5, 6, 0, 0x1B, 1, 0}),
              std::vector<std::string>{ToHex(sim::WithCrc({5, 5, 0x1C, 42, 9}))});

    // A broadcast gets no answer, is kept in the history and reaches the peer only.
    bus.ClearHistory();
    EXPECT_TRUE(answers({0, 6, 0, 0x31, 2, 3}).empty());
    ASSERT_EQ(bus.History().size(), 1u);
    EXPECT_EQ(bus.History()[0].frame, sim::WithCrc({0, 6, 0, 0x31, 2, 3}));
    EXPECT_EQ(bus.HeadEvent(5), (sim::Bytes{0x04, 0x31, 1}));
    EXPECT_EQ(bus.EventCount(6), 0u);

    EXPECT_TRUE(bus.SetPeer(5, nullptr));
    EXPECT_TRUE(answers({5, 6, 0, 0x1B, 1, 0}).empty());
}

} // namespace
