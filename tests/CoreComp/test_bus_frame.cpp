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
