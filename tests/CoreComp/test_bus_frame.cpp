#include "fake_transport.h"

#include "CoreComp/rssess/bus_crc.h"
#include "CoreComp/rssess/bus_frame.h"

#include "platform/crc8.h"

#include <gtest/gtest.h>

using namespace corecomp;

TEST(BusCrc, KnownVectorsWithBothTables)
{
    const Bytes typeRequest = {0x05, 0x06, 0x00, 0x0D, 0x00, 0x00};
    EXPECT_EQ(BusCrc8(typeRequest), 0x67);
    EXPECT_EQ(platform::Crc8OneWire(typeRequest), 0x67);

    // This one runs through entry 249, the only place where the two tables differ.
    const Bytes answer = {0x01, 0x05, 0x02, 0x00, 0x2E};
    EXPECT_EQ(BusCrc8(answer), 0xFC);
    EXPECT_EQ(platform::Crc8OneWire(answer), 0x3F);

    for (size_t i = 0; i < 256; ++i) {
        if (i != 249) {
            EXPECT_EQ(kBusCrcTable[i], platform::kCrc8OneWireTable[i]) << i;
        }
    }
}

TEST(CommandPairs, AnswerCommandsThatFitARequest)
{
    struct Case
    {
        int request, answer;
        bool fits;
    };
    const Case cases[] = {
        {1, 2, true},    {1, 4, true},   {1, 12, true},   {1, 14, true},   {1, 3, false},
        {1, 10, true},   {13, 0, true},  {13, 14, false}, {13, 10, true},  {15, 16, true},
        {15, 0, false},  {17, 18, true}, {17, 77, true},  {55, 54, true},  {63, 62, true},
        {63, 64, false}, {4, 3, true},   {4, 4, false},   {0, 200, true},  {64, 1, true},
        {69, 5, true},   {255, 9, true}, {67, 68, true},  {67, 66, false}, {9, 6, true},
    };
    for (const Case& c : cases)
        EXPECT_EQ(CheckAnswerCommand(c.request, c.answer), c.fits)
            << c.request << " -> " << c.answer;
    EXPECT_EQ(kCommandPairs.size(), 72u);
}

// Every request command against every answer command, checked against the pair table as the
// protocol gives it, written out here on its own: changing any pair, making a pair accept any
// answer, or dropping one, fails this.
TEST(CommandPairs, TheWholeTableAndNothingElse)
{
    constexpr int kAny = -1;
    const std::pair<int, int> pairs[] = {
        {0, kAny},  {1, 2},     {1, 4},     {1, 12},    {1, 14},    {2, kAny},  {3, kAny},
        {4, 3},     {5, 6},     {6, kAny},  {7, 8},     {8, kAny},  {9, 6},     {10, kAny},
        {11, 8},    {12, 3},    {13, 0},    {14, 3},    {15, 16},   {16, kAny}, {17, 18},
        {17, kAny}, {18, kAny}, {19, 20},   {20, kAny}, {21, 22},   {22, kAny}, {23, 24},
        {24, kAny}, {25, 26},   {26, kAny}, {27, 28},   {28, kAny}, {29, 30},   {30, kAny},
        {31, 32},   {32, kAny}, {33, 34},   {34, kAny}, {35, 36},   {36, kAny}, {37, 38},
        {38, kAny}, {39, 40},   {40, kAny}, {41, 42},   {42, kAny}, {43, 44},   {44, kAny},
        {45, 46},   {46, kAny}, {47, 48},   {48, kAny}, {49, 50},   {50, kAny}, {51, 52},
        {52, kAny}, {53, 54},   {54, kAny}, {55, 54},   {56, kAny}, {57, 58},   {58, kAny},
        {59, kAny}, {60, kAny}, {61, 62},   {62, kAny}, {63, 62},   {65, 66},   {66, kAny},
        {67, 68},   {68, kAny},
    };
    ASSERT_EQ(std::size(pairs), 72u);
    auto expected = [&](int request, int answer) {
        if (answer == 10)
            return true; // always taken
        bool listed = false;
        for (const auto& [r, a] : pairs) {
            if (r != request)
                continue;
            listed = true;
            if (a == kAny || a == answer)
                return true;
        }
        return !listed; // a request in no pair takes any answer
    };
    int checked = 0;
    int refused = 0;
    for (int request = 0; request < 256; ++request) {
        for (int answer = 0; answer < 256; ++answer) {
            const bool fits = expected(request, answer);
            refused += fits ? 0 : 1;
            ++checked;
            EXPECT_EQ(CheckAnswerCommand(request, answer), fits)
                << "request " << request << ", answer " << answer;
        }
    }
    EXPECT_EQ(checked, 65536);
    // 34 requests take specific answers only (1 takes four); each refuses all the others.
    EXPECT_EQ(refused, 8633);
}

TEST(FrameCoding, CodedRequestAndItsAnswerRoundTrip)
{
    // Key word 0x5A, key byte 0x33: the mask is 0x69; bytes 0-2 stay plain.
    const uint8_t mask = FrameMask(0x81, 0x33, 0x005A);
    EXPECT_EQ(mask, 0x69);
    EXPECT_EQ(Hex(EncodeRequest(Bytes{0x81, 0x06, 0x33, 0x0D, 0x00, 0x00}, mask)),
              "81 06 33 64 69 69 AB");

    EXPECT_EQ(FrameMask(0x01, 0x33, 0x005A), 0) << "address bit 7 clear: plain";
    EXPECT_EQ(FrameMask(0x81, 0x00, 0x005A), 0) << "key byte 0: plain";

    // The unit codes its answer from byte 2 on, CRC over the coded bytes.
    Bytes plain = {0x01, 0x06, 0x00, 0x2C, 0x17, 0x02};
    Bytes coded = plain;
    coded[0] |= 0x80;
    for (size_t i = 2; i < coded.size(); ++i)
        coded[i] ^= mask;
    coded.push_back(BusCrc8(coded));
    const Bytes decoded = AcceptAnswer(coded, mask, 1, 13);
    ASSERT_EQ(decoded.size(), 7u);
    EXPECT_EQ(Bytes(decoded.begin(), decoded.end() - 1), plain);
    EXPECT_EQ(decoded.back(), coded.back() ^ mask) << "the checksum byte is decoded too";
}

TEST(FrameCoding, RequestWhoseLengthByteDoesNotFitIsNotEncoded)
{
    EXPECT_TRUE(EncodeRequest(Bytes{1, 9, 0, 13, 0, 0}, 0).empty());
    EXPECT_TRUE(EncodeRequest(Bytes{1, 4, 0, 13, 0, 0}, 0).empty());
    EXPECT_TRUE(EncodeRequest(Bytes{1, 5, 0, 13}, 0).empty());
    // Bytes after L are not part of the frame.
    EXPECT_EQ(Hex(EncodeRequest(Bytes{5, 6, 0, 13, 0, 0, 0xEE}, 0)), "05 06 00 0D 00 00 67");
}

TEST(AnswerCheck, RefusedAnswers)
{
    const Bytes good = MakeAnswer({1, 0, 44, 0x17, 0x02}); // type answer of unit 1
    Bytes wrongCrc = good;
    wrongCrc.back() ^= 1;
    Bytes wrongLength = good;
    wrongLength[1] = 7;
    Bytes body(254, 0x5A);
    body[0] = 1;
    const Bytes longest = MakeAnswer(body);
    Bytes tooLong = longest;
    tooLong.push_back(0);

    struct Case
    {
        const char* what;
        Bytes raw;
        int expectedAddress;
        int requestCommand;
        bool accepted;
    };
    const Case cases[] = {
        {"good", good, 1, 13, true},
        {"empty", {}, 1, 13, false},
        {"five bytes with a valid CRC", MakeAnswer({1, 0, 44}), 1, 13, false},
        {"wrong CRC", wrongCrc, 1, 13, false},
        {"length byte disagrees", wrongLength, 1, 13, false},
        {"truncated", Bytes(good.begin(), good.end() - 1), 1, 13, false},
        {"wrong address", good, 2, 13, false},
        {"command 15 takes any address", MakeAnswer({9, 16, 0, 0}), kAnyAddress, 15, true},
        {"command does not fit", good, 1, 1, false},
        {"256 bytes", longest, 1, 64, true},
        {"257 bytes", tooLong, 1, 64, false},
        {"entry 249 with the bus table", {1, 5, 2, 0, 0x2E, 0xFC}, 1, 1, true},
        {"entry 249 with the published table", {1, 5, 2, 0, 0x2E, 0x3F}, 1, 1, false},
    };
    for (const Case& c : cases) {
        const Bytes accepted = AcceptAnswer(c.raw, 0, c.expectedAddress, c.requestCommand);
        EXPECT_EQ(!accepted.empty(), c.accepted) << c.what;
        if (c.accepted) {
            EXPECT_EQ(accepted, c.raw) << c.what << ": kept whole";
        }
    }
}
