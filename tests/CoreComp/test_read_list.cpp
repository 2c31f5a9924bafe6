// The read list without the bus: the walk over a list that changes under it, the value rule
// with its threshold and 20-minute repeat, the channel types and the event states.

#include "CoreComp/rssess/read_list.h"

#include <gtest/gtest.h>

#include <random>

namespace {

using namespace corecomp;

TEST(ReadList, WalkVisitsEveryChannelInTurn)
{
    TReadList list;
    list.AddReadChannel(5, 1, {});
    list.AddReadChannel(5, 2, {});
    list.AddReadChannel(9, 7, {});
    std::vector<std::pair<size_t, size_t>> seen;
    for (int i = 0; i < 6; ++i) {
        const auto t = list.NextChannel();
        ASSERT_TRUE(t);
        seen.emplace_back(t->item, t->channel);
    }
    const std::vector<std::pair<size_t, size_t>> expected = {{0, 0}, {0, 1}, {1, 0},
                                                             {0, 0}, {0, 1}, {1, 0}};
    EXPECT_EQ(seen, expected);
    EXPECT_FALSE(TReadList{}.NextChannel());
}

// Channels and items removed at any point of the walk: it stays on the list and skips an item
// left without channels.
TEST(ReadList, WalkStaysInBoundsWhateverIsRemoved)
{
    std::mt19937 random(11);
    for (int round = 0; round < 300; ++round) {
        TReadList list;
        for (int i = 0; i < 30; ++i)
            list.AddReadChannel(static_cast<uint16_t>(random() % 4 + 1),
                                static_cast<uint8_t>(random() % 5), {});
        for (int step = 0; step < 60; ++step) {
            const auto key = static_cast<uint16_t>(random() % 4 + 1);
            const auto channel = static_cast<uint8_t>(random() % 5);
            switch (random() % 4) {
            case 0:
                list.RemoveReadChannel(key, channel);
                break;
            case 1:
                if (random() % 4 == 0)
                    list.RemoveReadItem(key);
                break;
            case 2:
                list.AddReadChannel(key, channel, {});
                break;
            default:
                break;
            }
            const auto t = list.NextChannel();
            size_t channels = 0;
            for (const TReadItem& it : list.Items())
                channels += it.channels.size();
            if (channels == 0) {
                EXPECT_FALSE(t);
                continue;
            }
            ASSERT_TRUE(t);
            ASSERT_LT(t->item, list.Items().size());
            ASSERT_LT(t->channel, list.Items()[t->item].channels.size());
        }
    }
}

TEST(ReadList, RemovingTheLastChannelOfTheCurrentItemRestartsAtTheFirst)
{
    TReadList list;
    list.AddReadChannel(1, 1, {});
    list.AddReadChannel(2, 1, {});
    list.AddReadChannel(2, 2, {});
    list.NextChannel();                        // 1/1
    EXPECT_EQ(list.NextChannel()->item, 1u);   // 2/1, the item's cursor now on channel 2
    EXPECT_TRUE(list.RemoveReadChannel(2, 2)); // the item's cursor is past its end
    EXPECT_EQ(list.ReadCursor(), 0u);
    EXPECT_EQ(list.NextChannel()->item, 0u);
    const auto t = list.NextChannel();
    EXPECT_EQ(t->item, 1u);
    EXPECT_EQ(t->channel, 0u);
    EXPECT_FALSE(list.RemoveReadChannel(7, 1));
    EXPECT_FALSE(list.RemoveReadItem(7));
}

TEST(ReadList, KeysAndAdding)
{
    TReadList list;
    const std::vector<uint8_t> data = {1, 2, 3};
    list.AddReadChannel(0x0305, 4, data);
    EXPECT_EQ(list.FindReadItem(0x0105), 0) << "frame form 1 compares the low byte";
    EXPECT_EQ(list.FindReadItem(6), -1);
    const auto t = list.FindReadKey(0x0504);
    ASSERT_TRUE(t);
    EXPECT_EQ(t->channel, 0u);
    EXPECT_FALSE(list.FindReadKey(0x0505));
    EXPECT_EQ(list.Items()[0].channels[0].data, data);

    // Adding again resets the channel and the unit's type, keeping one record.
    list.Channel(0, 0)->state = 2;
    list.Item(0)->type = 9;
    list.AddReadChannel(5, 4, {});
    EXPECT_EQ(list.Items()[0].channels.size(), 1u);
    EXPECT_EQ(list.Items()[0].channels[0].state, 0);
    EXPECT_EQ(list.Items()[0].type, -1);
    EXPECT_EQ(list.Channel(0, 1), nullptr);
    EXPECT_EQ(list.Channel(-1, 0), nullptr);
    list.ClearReadList();
    EXPECT_TRUE(list.Empty());
}

TEST(ReadList, ValueRuleThresholdAndRepeat)
{
    struct Case
    {
        const char* what;
        int32_t state, last, value;
        uint32_t sinceReportMs;
        bool reported;
        int32_t lastAfter;
    };
    constexpr uint32_t kMinute = 60000;
    const Case cases[] = {
        {"exactly the threshold", 1, 50, 55, kMinute, true, 55},
        {"below the threshold", 1, 50, 54, kMinute, false, 54},
        {"below, after 20 minutes", 1, 50, 54, 20 * kMinute, true, 54},
        {"below, state 2", 2, 50, 54, kMinute, true, 54},
        {"a step of one keeps the last value", 1, 50, 51, kMinute, false, 50},
        {"no last value yet counts as a step of 2", 1, -1, 54, kMinute, false, 54},
        {"untyped channel", 0, 50, 50, kMinute, true, 50},
        {"event state", -5, 50, 50, kMinute, true, 50},
        {"downwards", 1, 60, 55, kMinute, true, 55},
    };
    for (const Case& c : cases) {
        TReadChannel ch;
        ch.state = c.state;
        ch.lastValue = c.last;
        ch.reported = true;
        ch.reportTick = 1000;
        EXPECT_EQ(ApplyChannelValue(ch, c.value, 5, 1000 + c.sinceReportMs), c.reported) << c.what;
        EXPECT_EQ(ch.lastValue, c.lastAfter) << c.what;
    }
    // The tick wraps.
    TReadChannel ch;
    ch.state = 1;
    ch.lastValue = 50;
    ch.reported = true;
    ch.reportTick = 0xFFFFFF00u;
    EXPECT_FALSE(ApplyChannelValue(ch, 52, 5, 0x100));
}

TEST(ReadList, ValueAnswers)
{
    EXPECT_EQ(ChannelValueOf(std::vector<uint8_t>{5, 5, 28, 1, 77, 0}), 77);
    EXPECT_EQ(ChannelValueOf(std::vector<uint8_t>{5, 5, 58, 1, 2, 0}), 2);
    EXPECT_EQ(ChannelValueOf(std::vector<uint8_t>{5, 5, 58, 0, 3, 0}), 3);
    EXPECT_FALSE(ChannelValueOf(std::vector<uint8_t>{5, 5, 58, 0, 2, 0}));
    EXPECT_FALSE(ChannelValueOf(std::vector<uint8_t>{5, 5, 26, 1, 2, 0}));
    EXPECT_FALSE(ChannelValueOf(std::vector<uint8_t>{5, 3, 28, 1}));
    EXPECT_FALSE(ChannelValueOf(std::vector<uint8_t>{0, 5, 28, 1, 2, 0}));
}

TEST(ReadList, ChannelTypesByUnitType)
{
    struct Case
    {
        int32_t type;
        uint8_t s;
        int32_t answerState; // -100: nothing changes
        int32_t checkState;  // -100: the channel is refused
        uint8_t command;
    };
    const Case cases[] = {
        {1, 200, 2, 2, 27}, {4, 1, 2, 2, 27},  {11, 0, 2, 2, 27},     {9, 1, -100, -100, 57},
        {9, 2, 2, 2, 57},   {9, 3, 1, 1, 57},  {9, 8, 0, 0, 57},      {9, 35, 0, 0, 57},
        {9, 45, 3, 3, 57},  {9, 65, 4, 3, 57}, {9, 85, 1, 1, 57},     {9, 139, 2, 2, 57},
        {9, 140, 0, 0, 57}, {9, 30, 0, 0, 57}, {9, 255, 0, 0, 57},    {12, 31, 1, 1, 57},
        {12, 30, 0, 0, 57}, {44, 7, 7, 7, 27}, {44, 255, 255, 0, 27},
    };
    for (const Case& c : cases) {
        const auto a = TypeFromAnswer(c.type, c.s);
        const auto k = TypeFromCheck(c.type, c.s);
        SCOPED_TRACE(std::to_string(c.type) + "/" + std::to_string(c.s));
        EXPECT_EQ(a ? a->state : -100, c.answerState);
        EXPECT_EQ(k ? k->state : -100, c.checkState);
        if (k) {
            EXPECT_EQ(k->command, c.command);
        }
    }
}

TEST(ReadList, EventStates)
{
    struct Case
    {
        uint8_t code, command;
        bool arming;
        int32_t state;
    };
    const Case cases[] = {
        {3, 4, false, -1},    {216, 4, false, -1},  {44, 26, false, -7},  {58, 26, true, -7},
        {3, 4, true, -1},     {149, 4, true, -1},   {214, 26, true, -7},  {36, 26, false, -7},
        {17, 4, false, -5},   {17, 26, true, -11},  {24, 4, false, -4},   {35, 26, true, -10},
        {109, 4, false, -6},  {109, 26, true, -12}, {117, 4, false, -8},  {119, 26, true, -9},
        {187, 4, false, -13}, {0, 4, false, -99},   {255, 26, true, -99},
    };
    for (const Case& c : cases)
        EXPECT_EQ(EventChannelState(c.code, c.command, c.arming), c.state) << int(c.code);

    EXPECT_EQ(ChannelEventOf(std::vector<uint8_t>{5, 5, 4, 17, 3, 0})->channel, 3);
    EXPECT_EQ(ChannelEventOf(std::vector<uint8_t>{5, 5, 26, 3, 17, 0})->code, 17);
    EXPECT_FALSE(ChannelEventOf(std::vector<uint8_t>{5, 5, 12, 3, 17, 0}));
    EXPECT_FALSE(ChannelEventOf(std::vector<uint8_t>{5, 4, 4, 3, 17}));
}

TEST(ReadList, ReportRecordsCarryTheDataInFull)
{
    std::vector<uint8_t> data(300);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<uint8_t>(i);
    const std::vector<uint8_t> answer = {5, 5, 28, 1, 77, 9};
    const auto r = AnalogValueRecord(answer, 3, 5, -2, data);
    ASSERT_EQ(r.size(), 272u + 300u);
    EXPECT_EQ(r[0], 6);
    EXPECT_EQ(r[5], 77);
    EXPECT_EQ(r[256], 3);
    EXPECT_EQ(r[257], 5);
    EXPECT_EQ(r[260], 0xFE);
    EXPECT_EQ(r[268], 300 & 0xFF);
    EXPECT_EQ(r[269], 1);
    EXPECT_TRUE(std::equal(data.begin(), data.end(), r.begin() + 272));
    const auto t = AnalogTypeRecord(5, 3, 9, 2);
    EXPECT_EQ(t, (std::vector<uint8_t>{5, 3, 0, 0, 9, 0, 0, 0, 2, 0, 0, 0}));
}

} // namespace

TEST(ReadList, TypeNineAnswerRangesAtTheirEdges)
{
    struct Case
    {
        uint8_t s;
        int32_t state;
    };
    const Case cases[] = {
        {2, 2},  {3, 1},  {4, 2},  {7, 2},  {8, 0},  {9, 2},   {29, 2},  {30, 0},
        {39, 0}, {40, 3}, {49, 3}, {50, 2}, {59, 2}, {60, 4},  {69, 4},  {70, 2},
        {79, 2}, {80, 1}, {89, 1}, {90, 2}, {91, 2}, {139, 2}, {140, 0}, {254, 0},
    };
    for (const Case& c : cases) {
        const auto t = TypeFromAnswer(9, c.s);
        ASSERT_TRUE(t) << int(c.s);
        EXPECT_EQ(t->state, c.state) << int(c.s);
        EXPECT_EQ(t->command, 57) << int(c.s);
    }
}
