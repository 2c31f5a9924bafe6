// The relay of event answers: which sources are heard, the frames built for them, the walk
// broadcast's sequence, and the frames that must never be built.

#include "session_fixture.h"

#include "CoreComp/rssess/event_relay.h"

#include <map>

namespace {

using corecomp::BuildRelayFrames;
using corecomp::RelayContext;
using Frames = std::vector<std::vector<uint8_t>>;

struct Line
{
    std::map<int, uint16_t> types;
    std::map<int, uint32_t> versions;
    bool noWalk = false;
    uint8_t sequence = 0;
    uint8_t counter = 0;
    int sequencesTaken = 0;

    RelayContext Context()
    {
        RelayContext c;
        c.typeOf = [this](int a) { return types.contains(a) ? types.at(a) : uint16_t{0}; };
        c.versionOf = [this](int a) { return versions.contains(a) ? versions.at(a) : 0u; };
        c.noTranslateWalk = noWalk;
        c.now = {2026, 12, 10, 14, 35, 7, 0};
        c.nextSequence = [this] {
            ++sequencesTaken;
            return sequence++;
        };
        c.relayCounter = &counter;
        return c;
    }
};

// A walk event from a type-16 unit at 9: answer command 4, 17 bytes, the CRC left as 0.
std::vector<uint8_t> Walk(uint8_t code, uint8_t byte7 = 5, uint8_t markLo = 1, uint8_t markHi = 2)
{
    return {9, 16, 4, code, 0x41, 0x42, byte7, 10, 11, 12, 13, 14, 15, 16, markLo, markHi, 0};
}

TEST(EventRelay, WalkBroadcastCarriesHeaderDataAndStamp)
{
    Line line;
    line.types[9] = 16;
    line.sequence = 7;
    const Frames f = BuildRelayFrames(Walk(32), line.Context()).frames;
    ASSERT_EQ(f.size(), 1u);
    const std::vector<uint8_t> expected = {0,  24, 7,  43, 19, 9, 0x41, 0x42, 5, 10, 11, 12,
                                           13, 14, 15, 16, 1,  2, 14,   35,   7, 10, 12, 26};
    EXPECT_EQ(f[0], expected);
}

// Every rule that keeps an answer from being relayed, and the ones that let it through.
TEST(EventRelay, WhatIsRelayedAndWhatIsNot)
{
    struct Case
    {
        const char* what;
        uint16_t type;
        uint32_t version;
        bool noWalk;
        std::vector<uint8_t> answer;
        size_t frames;
        int sequencesTaken;
    };
    const std::vector<uint8_t> walk28 = Walk(28);
    std::vector<uint8_t> shortWalk = {9, 7, 4, 32, 1, 2, 3, 4}; // 8 bytes
    std::vector<uint8_t> ask = Walk(203);
    std::vector<uint8_t> sourceZero = Walk(32);
    sourceZero[0] = 0;
    std::vector<uint8_t> longEvent12(20, 1); // command 12, marker before the stamp
    longEvent12[0] = 9;
    longEvent12[2] = 12;
    longEvent12[3] = 32;
    std::vector<uint8_t> marked12 = longEvent12;
    marked12[11] = 0xFF;
    marked12[12] = 0xFF;
    const Case cases[] = {
        {"event 32 of type 16", 16, 0, false, Walk(32), 1, 1},
        {"event 28 at version 103", 16, 103, false, walk28, 0, 0},
        {"event 28 at version 104", 16, 104, false, walk28, 1, 1},
        {"walk relays switched off", 16, 104, true, Walk(32), 0, 0},
        {"type 4 walk unit", 4, 0, false, Walk(32), 0, 0},
        {"unit of another type", 44, 0, false, Walk(32), 0, 0},
        {"answer of 8 bytes", 16, 0, false, shortWalk, 0, 0},
        {"byte 7 zero spends a number", 16, 0, false, Walk(32, 0), 0, 1},
        {"marker FFFF spends a number", 16, 0, false, Walk(32, 5, 0xFF, 0xFF), 0, 1},
        {"event 203 asks the time", 16, 0, false, ask, 0, 0},
        {"source address 0", 16, 0, false, sourceZero, 0, 0},
        {"command 12 with its own stamp", 16, 0, false, longEvent12, 1, 1},
        {"command 12 marker FFFF", 16, 0, false, marked12, 0, 1},
        {"other walk events build nothing", 16, 104, false, Walk(29), 0, 0},
    };
    for (const Case& c : cases) {
        Line line;
        line.types[c.answer.empty() ? 0 : (c.answer[0] == 0 ? 9 : c.answer[0])] = c.type;
        line.versions[9] = c.version;
        line.noWalk = c.noWalk;
        const Frames f = BuildRelayFrames(c.answer, line.Context()).frames;
        EXPECT_EQ(f.size(), c.frames) << c.what;
        EXPECT_EQ(line.sequencesTaken, c.sequencesTaken) << c.what;
        if (c.frames == 1) {
            EXPECT_EQ(f[0][1], f[0].size()) << c.what;
            EXPECT_EQ(f[0][4], c.answer[3] == 28 ? 20 : 19) << c.what;
        }
    }
}

TEST(EventRelay, LengthByteFollowsTheBuiltFrameAndLongFramesAreRefused)
{
    for (size_t len : {size_t{9}, size_t{17}, size_t{40}, size_t{230}, size_t{231}, size_t{255}}) {
        Line line;
        line.types[9] = 16;
        std::vector<uint8_t> a(len, 3);
        a[0] = 9;
        a[1] = static_cast<uint8_t>(len - 1);
        a[2] = 4;
        a[3] = 32;
        const Frames f = BuildRelayFrames(a, line.Context()).frames;
        // 8 header bytes, len - 7 answer bytes, 6 stamp bytes.
        const size_t built = 8 + (len - 7) + 6;
        if (built > 255) {
            EXPECT_TRUE(f.empty()) << len;
        } else {
            ASSERT_EQ(f.size(), 1u) << len;
            EXPECT_EQ(f[0].size(), built) << len;
            EXPECT_EQ(f[0][1], built) << len;
        }
    }
}

TEST(EventRelay, TypeFifteenReachesEveryTypeFourteenUnit)
{
    Line line;
    line.types[20] = 15;
    line.types[3] = 14;
    line.types[64] = 14;
    line.types[5] = 16;
    const std::vector<uint8_t> a = {20, 6, 4, 77, 8, 0, 0};
    const Frames f = BuildRelayFrames(a, line.Context()).frames;
    ASSERT_EQ(f.size(), 2u);
    const std::vector<uint8_t> to3 = {3, 15, 0, 49, 1, 77, 8, 20, 0, 0, 0, 0, 14, 35, 7};
    EXPECT_EQ(f[0], to3);
    EXPECT_EQ(f[1][0], 64);
    EXPECT_EQ(f[1][4], 1);
    EXPECT_EQ(line.counter, 1);

    // No receiver on the line: nothing is sent, the counter moves all the same.
    Line alone;
    alone.types[20] = 15;
    EXPECT_TRUE(BuildRelayFrames(a, alone.Context()).frames.empty());
    EXPECT_EQ(alone.counter, 1);
    alone.counter = 255;
    alone.types[3] = 14;
    EXPECT_EQ(BuildRelayFrames(a, alone.Context()).frames.at(0)[4], 0);
}

TEST(EventRelay, EventEighteenForwardsToARealAddressOnly)
{
    struct Case
    {
        uint16_t type;
        bool noWalk;
        uint8_t destination;
        bool forwarded;
    };
    const Case cases[] = {
        {14, false, 33, true},   {16, false, 33, true},   {14, true, 33, true},
        {16, true, 33, false},   {4, false, 33, false},   {14, false, 0, false},
        {14, false, 128, false}, {14, false, 255, false}, {14, false, 127, true},
    };
    for (const Case& c : cases) {
        Line line;
        line.types[9] = c.type;
        line.noWalk = c.noWalk;
        const std::vector<uint8_t> a = {9, 10, 14, 18, 1, c.destination, 13, 0, 0, 0, 0};
        const corecomp::RelayResult r = BuildRelayFrames(a, line.Context());
        EXPECT_EQ(r.forwarded, c.forwarded) << c.type << " " << int(c.destination);
        if (c.forwarded) {
            ASSERT_EQ(r.frames.size(), 1u);
            const std::vector<uint8_t> expected = {c.destination, 7, 0, 13, 0, 0, 0};
            EXPECT_EQ(r.frames[0], expected);
            EXPECT_EQ(r.frames[0].size(), a.size() - 4);
        } else {
            EXPECT_TRUE(r.frames.empty());
        }
    }
    // Nothing longer than an answer frame is taken: the forwarded frame could not be sent.
    Line big;
    big.types[9] = 14;
    std::vector<uint8_t> tooLong(300, 0);
    tooLong[0] = 9;
    tooLong[2] = 14;
    tooLong[3] = 18;
    tooLong[5] = 33;
    EXPECT_FALSE(BuildRelayFrames(tooLong, big.Context()).forwarded);
    tooLong.resize(256);
    const corecomp::RelayResult longest = BuildRelayFrames(tooLong, big.Context());
    ASSERT_TRUE(longest.forwarded);
    EXPECT_EQ(longest.frames[0].size(), 252u);
    EXPECT_EQ(longest.frames[0][1], 252);

    // Answer command 4 with event 18 is an ordinary event.
    Line line;
    line.types[9] = 14;
    EXPECT_FALSE(
        BuildRelayFrames(std::vector<uint8_t>{9, 8, 4, 18, 1, 33, 13, 0, 0}, line.Context())
            .forwarded);
}

class RelaySessionTest : public SessionTest
{
};

TEST_F(RelaySessionTest, SequenceStartsAtZeroThenCyclesOneTo255)
{
    TRSSession& s = MakeSession();
    EXPECT_EQ(s.NextRelaySequence(), 0);
    for (int i = 1; i <= 255; ++i)
        ASSERT_EQ(s.NextRelaySequence(), i);
    EXPECT_EQ(s.NextRelaySequence(), 1);
}

TEST_F(RelaySessionTest, RelayFramesGoToTheQueueUnlessTheDestinationIsAbsent)
{
    TRSSession& s = MakeSession();
    s.SetDeviceType(9, 14);
    const std::vector<uint8_t> to33 = {9, 10, 14, 18, 1, 33, 13, 0, 0, 0, 0};
    EXPECT_TRUE(s.RelayEventAnswer(to33));
    EXPECT_EQ(s.QueuedCommandCount(), 1u);
    s.SetAbsent(33, true);
    s.RelayEventAnswer(to33);
    EXPECT_EQ(s.QueuedCommandCount(), 1u);

    s.SetDeviceType(20, 15);
    s.SetDeviceType(3, 14);
    s.RelayEventAnswer({20, 6, 4, 77, 8, 0, 0}); // to 3 and to 9, both receivers
    EXPECT_EQ(s.QueuedCommandCount(), 3u);
    EXPECT_EQ(s.RelayCounter(), 1);
}

} // namespace
