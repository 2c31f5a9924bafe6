#include "config_tool/model/config_image.h"

#include "config_tool/model/codecs.h"
#include "config_tool/model/editor.h"
#include "tests/config_tool/model/recording_editor.h"

#include <gtest/gtest.h>

#include <numeric>

namespace model {
namespace {

TEST(ConfigImage, RecordAndSoundAddresses)
{
    EXPECT_EQ(RecordOffset(0, 1), 640u);
    EXPECT_EQ(RecordOffset(1, 1), 928u);
    EXPECT_EQ(RecordOffset(0, 2), 658u);
    EXPECT_EQ(RecordOffset(23, 16), 7534u);
    EXPECT_EQ(SoundOffset(1), 7556u);
    EXPECT_EQ(SoundOffset(30), 7672u);
    EXPECT_THROW(RecordOffset(24, 1), std::out_of_range);
    EXPECT_THROW(RecordOffset(0, 0), std::out_of_range);
    EXPECT_THROW(RecordOffset(0, 17), std::out_of_range);
    EXPECT_THROW(SoundOffset(31), std::out_of_range);
    EXPECT_THROW(PartitionNumberOffset(61), std::out_of_range);
    EXPECT_THROW(SystemTypeOffset(0), std::out_of_range);
}

TEST(ReadMask, MarksTheTransferredRanges)
{
    const Image& mask = ReadMask();
    EXPECT_EQ(std::accumulate(mask.begin(), mask.end(), 0), 7293);
    struct Edge
    {
        std::size_t offset;
        int bit;
    };
    const Edge edges[] = {
        {0, 1},   {119, 1}, {120, 0}, {122, 0}, {123, 1}, {132, 1}, {133, 0}, {255, 0},  {256, 1},
        {322, 1}, {323, 0}, {324, 1}, {383, 1}, {384, 0}, {639, 0}, {640, 1}, {7675, 1},
    };
    for (const Edge& e : edges)
        EXPECT_EQ(mask[e.offset], e.bit) << e.offset;
    for (uint8_t b : mask)
        ASSERT_LE(b, 1);
}

TEST(FactoryImage, FixedBytes)
{
    const Image& f = FactoryImage();
    for (int p = 1; p <= 60; ++p) {
        EXPECT_EQ(f[PartitionNumberOffset(p)], p);
        EXPECT_EQ(f[PartitionNumberOffset(p) + 1], 0);
        EXPECT_EQ(f[PartitionTypeOffset(p)], 0);
        EXPECT_EQ(f[ButtonModeOffset(p)], 11);
    }
    for (std::size_t k = 120; k <= 132; ++k)
        EXPECT_EQ(f[k], k == 123 ? 255 : 0) << k;
    for (int s = 1; s <= 7; ++s)
        EXPECT_EQ(f[SystemTypeOffset(s)], 11 + s);
    EXPECT_EQ(f[323], 0x20);
    struct Byte
    {
        std::size_t offset;
        uint8_t value;
    };
    const Byte reserved[] = {
        {384, 0x19}, {386, 0x04}, {398, 0x1A}, {399, 0x1B}, {402, 0x05}, {415, 0x14},
        {416, 0x0B}, {431, 0x0B}, {435, 0x0C}, {447, 0x17}, {448, 0x09}, {449, 0x08},
        {450, 0x0A}, {464, 0x03}, {466, 0x00}, {467, 0x01}, {469, 0x07}, {479, 0x02},
        {480, 0xFF}, {496, 0x0D}, {497, 0x1C}, {498, 0xFF}, {512, 0xFF}, {639, 0xFF},
    };
    for (const Byte& b : reserved)
        EXPECT_EQ(f[b.offset], b.value) << b.offset;
    const uint32_t sounds[] = {0,          0xFF0FFF0F, 0x0F0F0000, 0x0F0F0F0F,
                               0x0F0F0F0F, 0x33333333, 0x0F000000, 0};
    for (int s = 0; s <= 30; ++s) {
        const std::size_t at = SoundOffset(s);
        const uint32_t pattern =
            uint32_t(f[at]) << 24 | f[at + 1] << 16 | f[at + 2] << 8 | f[at + 3];
        EXPECT_EQ(pattern, sounds[std::min(s, 7)]) << s;
    }
}

// A record as the indication page shows it.
struct Shown
{
    std::array<int, 8> colours;
    int priorityItem;
    int soundItem;
    std::vector<std::string> events;
};

Shown ShowRecord(int type, int indicator)
{
    Image image = FactoryImage();
    test::RecordingEditor editor;
    ShowIndicationType(image, ConstantTables(Language::English), editor, type);
    Shown shown{};
    const std::string ind = ControlName("Ind", indicator, "Param");
    for (int k = 1; k <= 8; ++k)
        shown.colours[k - 1] = editor.ItemIndex(ind + "ColorPos" + std::to_string(k));
    shown.priorityItem = editor.ItemIndex(ind + "SoundPrioritet");
    shown.soundItem = editor.ItemIndex(ind + "SoundType");
    shown.events = editor.lists[ind + "ListEvent"].lines;
    return shown;
}

TEST(FactoryImage, RecordsDecodeAsListed)
{
    constexpr int O = kColourOff, G = kColourGreen, R = kColourRed, Y = kColourYellow,
                  B = kColourGreenBlink;
    struct Case
    {
        int type, indicator;
        Shown expected;
    };
    const std::string zoneOpen =
        "Zone Open Failure, Zone Short Failure, Fire Equipment Failed, Zone "
        "Parameter Error, Service Required";
    const std::string zoneOff =
        "Zone Disconnected, Output Disconnected, PL Short Circuit Failure, PL "
        "Fault, Communication Loss";
    const Case cases[] = {
        {0,
         1,
         {{B, B, B, B, B, B, B, B}, 15, 0, {"Waiting for a response from the controller..."}}},
        {0,
         2,
         {{O, R, O, R, O, R, O, R},
          0,
          1,
          {"Extinguishing", "Pre-discharge Delay", "Fire Alarm, Discharge Cancelled"}}},
        {1, 3, {{O, R, O, O, O, R, O, O}, 2, 2, {"Fire Pre-alarm"}}},
        {0, 4, {{R, R, O, O, R, R, O, O}, 2, 3, {"Panic Alarm (Attack)"}}},
        {2, 4, {{R, R, O, O, R, R, O, O}, 3, 3, {"Panic Alarm (Attack)"}}},
        {0, 6, {{Y, Y, O, O, Y, Y, O, O}, 4, 5, {zoneOff}}},
        {1, 8, {{G, G, O, O, G, G, O, O}, 8, 7, {"Arming Failed"}}},
        {0,
         10,
         {{G, G, G, G, G, G, G, G},
          15,
          0,
          {"Zone Disarmed, Disarmed Zone Restored", "Disarmed Zone Alarm"}}},
        {2,
         10,
         {{O, Y, O, O, O, O, O, O},
          15,
          0,
          {"Zone Disarmed, Disarmed Zone Restored", "Disarmed Zone Alarm"}}},
        {0, 11, {{B, B, B, B, B, B, B, B}, 15, 0, {"Arming Delay"}}},
        {4, 4, {{Y, Y, Y, Y, Y, Y, Y, Y}, 15, 0, {"Auxiliary Zone Alarm", zoneOpen}}},
        {3, 2, {{Y, Y, O, O, Y, Y, O, O}, 15, 5, {zoneOff}}},
        {11, 6, {{G, G, G, G, G, G, G, G}, 15, 0, {"Normal Temperature", "Normal Level"}}},
        {18,
         1,
         {{O, R, O, O, O, O, O, O},
          15,
          0,
          {"Tamper Alarm", zoneOpen, "Output Open Circuit Failure, Output Short Circuit Failure"}}},
        {5, 1, {{O, O, O, O, O, O, O, O}, 15, 0, {}}},
        {23, 16, {{O, O, O, O, O, O, O, O}, 15, 0, {}}},
    };
    for (const Case& c : cases) {
        const Shown got = ShowRecord(c.type, c.indicator);
        EXPECT_EQ(got.colours, c.expected.colours) << c.type << "/" << c.indicator;
        EXPECT_EQ(got.priorityItem, c.expected.priorityItem) << c.type << "/" << c.indicator;
        EXPECT_EQ(got.soundItem, c.expected.soundItem) << c.type << "/" << c.indicator;
        EXPECT_EQ(got.events, c.expected.events) << c.type << "/" << c.indicator;
    }
}

TEST(FactoryImage, RawRecordBytes)
{
    const Image& f = FactoryImage();
    const std::size_t r = RecordOffset(3, 2);
    EXPECT_EQ(f[r + 16], 0x05);
    EXPECT_EQ(f[r + 17], 0x00);
    EXPECT_EQ(f[RecordOffset(4, 3) + 16], 0x06);
    const std::size_t t2 = RecordOffset(2, 12);
    const uint8_t mask[] = {0x00, 0x00, 0x00, 0x60, 0x00, 0x08};
    for (std::size_t k = 0; k < 6; ++k)
        EXPECT_EQ(f[t2 + k], mask[k]);
    // Empty records: no event, planes off, priority 16, silence.
    for (int t : {5, 10, 12, 19, 23}) {
        const std::size_t e = RecordOffset(t, 16);
        for (std::size_t k = 0; k < 6; ++k)
            EXPECT_EQ(f[e + k], 0xFF);
        for (std::size_t k = 6; k < 14; ++k)
            EXPECT_EQ(f[e + k], 0x00);
        EXPECT_EQ(f[e + kRecPriority], 16);
        EXPECT_EQ(f[e + kRecSound], 0);
    }
}

} // namespace
} // namespace model
