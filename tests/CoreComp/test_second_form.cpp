#include "CoreComp/rssess/second_form.h"

#include "platform/crc8.h"

#include <gtest/gtest.h>

#include <string>

using namespace corecomp;
using Bytes = std::vector<uint8_t>;

namespace {

// The line of one exchange: the bytes the console sent, handed out in reads of up to `chunk`;
// then silence, or (chatty) the same byte for ever.  Each read takes 10 ms of the clock.
struct ScriptedLine : SecondFormLine
{
    Bytes data;
    size_t at = 0, chunk = 7;
    bool chatty = false, broken = false;
    uint64_t now = 0;
    int reads = 0;
    int Read(std::span<uint8_t> buffer, bool) override
    {
        ++reads;
        now += 10;
        if (broken)
            return -1;
        if (at == data.size()) {
            if (!chatty)
                return 0;
            std::fill(buffer.begin(), buffer.end(), 0x55);
            return static_cast<int>(buffer.size());
        }
        const size_t n = std::min({chunk, buffer.size(), data.size() - at});
        std::copy_n(data.begin() + static_cast<long>(at), n, buffer.begin());
        at += n;
        return static_cast<int>(n);
    }
    uint64_t Millis() override { return now; }
};

Bytes Ascii(const std::string& s)
{
    return {s.begin(), s.end()};
}

// The console's side of a coded answer: the running key continues from where the request's
// coding left it, from position 2 on, the length byte plain.
Bytes CodeAnswer(Bytes frame, uint8_t k)
{
    RunKey(frame, 2, k);
    return frame;
}

} // namespace

TEST(SecondFormCrc, PublishedCheckValuesAndEmptyBuffers)
{
    const Bytes check = Ascii("123456789");
    EXPECT_EQ(SecondFormCrc8(check), 0xA1);
    EXPECT_EQ(SecondFormCrc16(check), 0xBB3D);
    EXPECT_EQ(SecondFormCrc8({}), -1);
    EXPECT_EQ(SecondFormCrc16({}), -1);
    // The published table, entry 249 included (the first form's table differs there).
    const Bytes through249 = {0x01, 0x05, 0x02, 0x00, 0x2E};
    EXPECT_EQ(SecondFormCrc8(through249), 0x3F);
    EXPECT_EQ(SecondFormCrc8(Bytes{0x00}), 0x00);
}

TEST(SecondFormWire, StuffingAndReadingBack)
{
    struct Case
    {
        Bytes frame, wire;
    };
    const Case cases[] = {
        {{0x01, 0x02}, {0xFF, 0x01, 0x02}},
        {{0xFF}, {0xFF, 0xFE, 0x01}},
        {{0xFE}, {0xFF, 0xFE, 0x02}},
        {{0x10, 0xFF, 0xFE, 0xFF, 0x20}, {0xFF, 0x10, 0xFE, 0x01, 0xFE, 0x02, 0xFE, 0x01, 0x20}},
        {{0xFE, 0x01, 0x02}, {0xFF, 0xFE, 0x02, 0x01, 0x02}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(StuffFrame(c.frame), c.wire);
        for (size_t chunk : {size_t{1}, size_t{3}, size_t{64}}) {
            ScriptedLine line;
            // Noise before the marker is not part of the frame.
            line.data = c.wire;
            line.data.insert(line.data.begin(), {0x33, 0xFE, 0x44});
            line.chunk = chunk;
            SecondFormReader reader(line);
            Bytes out;
            EXPECT_EQ(reader.Take(c.frame.size(), out), kSecondFormOk);
            EXPECT_EQ(out, c.frame);
        }
    }
}

TEST(SecondFormWire, ReaderRefusals)
{
    struct Case
    {
        const char* what;
        Bytes wire;
        size_t want;
        uint8_t code;
        Bytes got;
    };
    const Case cases[] = {
        {"bad escape", {0xFF, 0x01, 0xFE, 0x03}, 2, kSecondFormBadEscape, {}},
        {"escape at the end", {0xFF, 0x01, 0xFE}, 2, kSecondFormShort, {}},
        {"silence", {0xFF, 0x01}, 2, kSecondFormShort, {}},
        {"no marker", {0x01, 0x02, 0x03}, 2, kSecondFormShort, {}},
        {"marker cuts", {0xFF, 0x01, 0xFF, 0x07, 0x08}, 2, kSecondFormShort, {}},
        {"marker only", {0xFF, 0xFF, 0x07, 0x08}, 2, kSecondFormOk, {0x07, 0x08}},
    };
    for (const auto& c : cases) {
        ScriptedLine line;
        line.data = c.wire;
        SecondFormReader reader(line);
        Bytes out;
        EXPECT_EQ(reader.Take(c.want, out), c.code) << c.what;
        if (c.code == kSecondFormOk) {
            EXPECT_EQ(out, c.got) << c.what;
        }
    }
    // Never more than 600 bytes after a marker, escapes counted as sent.
    for (uint8_t fill : {uint8_t{0x00}, uint8_t{0xFE}}) {
        ScriptedLine line;
        line.data = StuffFrame(Bytes(700, fill));
        SecondFormReader reader(line);
        Bytes out;
        EXPECT_EQ(reader.Take(700, out), kSecondFormShort);
        EXPECT_LE(reader.StuffedCount(), kMaxStuffedFrame);
        EXPECT_LE(line.at, kMaxStuffedFrame + 1 + 64);
    }
    ScriptedLine broken;
    broken.broken = true;
    SecondFormReader reader(broken);
    Bytes out;
    EXPECT_EQ(reader.Take(4, out), kSecondFormNoPort);
}

TEST(SecondFormCoding, RoundTripWithTheRunningKey)
{
    struct Case
    {
        Bytes frame;
        bool coding;
        uint8_t key, consoleKey;
        bool coded;
    };
    const Bytes data = {1, 2, 3, 0xFF, 0xFE, 0, 9};
    const Bytes longFrame = MakeSecondFormLong(0x85, 1, 0x11, 42, data);
    const auto head = MakeSecondFormHead(0x85, 0x5A, 1);
    const Case cases[] = {
        {longFrame, true, 0, 0x3C, true},
        {longFrame, true, 0x77, 0x3C, true},
        {Bytes(head.begin(), head.end()), true, 0, 0x3C, true},
        {longFrame, false, 0, 0x3C, false},                                  // coding off
        {MakeSecondFormLong(0x05, 1, 0x11, 42, data), true, 0, 0x3C, false}, // bit 7 clear
        {Bytes{0x85, 1, 2}, true, 0, 0x3C, false},                           // shorter than a head
    };
    for (const auto& c : cases) {
        Bytes sent = c.frame;
        const uint8_t left = CodeSecondForm(sent, c.coding, c.key, c.consoleKey);
        if (!c.coded) {
            EXPECT_EQ(sent, c.frame);
            EXPECT_EQ(left, 0);
            continue;
        }
        EXPECT_NE(sent, c.frame);
        EXPECT_EQ(sent[0], c.frame[0]);
        EXPECT_EQ(sent[1], c.frame[1]);
        if (c.frame.size() > kLengthPosition) {
            EXPECT_EQ(sent[kLengthPosition], c.frame[kLengthPosition]) << "the length stays plain";
        }
        // The receiver runs the same key: byte 1 XOR the key, then the table.
        Bytes back = sent;
        const uint8_t k0 = static_cast<uint8_t>(sent[1] ^ (c.key ? c.key : c.consoleKey));
        EXPECT_EQ(RunKey(back, 2, k0), left);
        EXPECT_EQ(back, c.frame);
    }
}

TEST(SecondFormCoding, DecodingAnswersByKind)
{
    const uint8_t consoleKey = 0x3C;
    Bytes request = MakeSecondFormLong(0x85, 1, 0x11, 7, Bytes{4, 5});
    const uint8_t left = CodeSecondForm(request, true, 0, consoleKey);
    ASSERT_NE(left, 0);

    const Bytes answer =
        MakeSecondFormFrame({0x85, 0x21, 0x84}, Bytes{0x20, 0x07, 0xFF, 0x00, 0x10});
    Bytes wire = CodeAnswer(answer, left);
    ASSERT_NE(wire, answer);

    DecodeState s{left, 0};
    Bytes headPart(wire.begin(), wire.begin() + 4);
    DecodeSecondForm(headPart, 0, s, consoleKey);
    EXPECT_EQ(headPart, Bytes(answer.begin(), answer.begin() + 4));
    EXPECT_EQ(s.keyByte, 0x21);
    Bytes rest(wire.begin() + 4, wire.end());
    DecodeSecondForm(rest, 3, s, consoleKey);
    EXPECT_EQ(rest, Bytes(answer.begin() + 4, answer.end()));

    // A plain answer head: nothing decoded, key and key byte cleared.
    const auto plain = MakeSecondFormHead(0x05, 0x00, 0x02);
    Bytes p(plain.begin(), plain.end());
    DecodeState ps{left, 9};
    DecodeSecondForm(p, 0, ps, consoleKey);
    EXPECT_EQ(p, Bytes(plain.begin(), plain.end()));
    EXPECT_EQ(ps.key, 0);
    EXPECT_EQ(ps.keyByte, 0);
    // Kinds 1, 2 and 4 leave the bytes alone.
    for (int kind : {1, 2, 4}) {
        Bytes b = wire;
        DecodeState k{left, 0};
        DecodeSecondForm(b, kind, k, consoleKey);
        EXPECT_EQ(b, wire) << kind;
    }
}

TEST(SecondFormExchange, EachResultCodeAndNoneForAGoodFrame)
{
    const auto goodHead = MakeSecondFormHead(0x05, 0, 0x82);
    const Bytes goodLong = MakeSecondFormFrame({0x05, 0, 0x04}, Bytes{0x20, 0x09, 1, 2, 3});
    Bytes badCrc8 = StuffFrame(goodHead);
    badCrc8[4] ^= 1;
    Bytes badCrc16 = goodLong;
    badCrc16.back() ^= 0x40;
    Bytes shortLong = goodLong;
    shortLong.resize(goodLong.size() - 1);
    struct Case
    {
        const char* what;
        Bytes wire;
        bool broken;
        uint8_t code;
        size_t answerSize;
    };
    const Case cases[] = {
        {"head", StuffFrame(goodHead), false, kSecondFormOk, 4},
        {"long", StuffFrame(goodLong), false, kSecondFormOk, goodLong.size()},
        {"other address", StuffFrame(MakeSecondFormHead(0x06, 0, 0x02)), false,
         kSecondFormForeignAddress, 0},
        {"three bytes", Bytes{0xFF, 0x05, 0x00, 0x02}, false, kSecondFormShort, 0},
        {"no length", StuffFrame(MakeSecondFormHead(0x05, 0, 0x04)), false, kSecondFormShort, 0},
        {"long part cut", StuffFrame(shortLong), false, kSecondFormShort, 0},
        {"head crc", badCrc8, false, kSecondFormBadCrc, 0},
        {"long crc", StuffFrame(badCrc16), false, kSecondFormBadCrc, 0},
        {"escape", Bytes{0xFF, 0x05, 0xFE, 0x07, 0x02, 0x00}, false, kSecondFormBadEscape, 0},
        {"port", {}, true, kSecondFormNoPort, 0},
    };
    for (const auto& c : cases) {
        ScriptedLine line;
        line.data = c.wire;
        line.broken = c.broken;
        SecondFormReader reader(line);
        const auto a = ReadSecondFormAnswer(reader, 0x05, 0, 0, nullptr);
        EXPECT_EQ(a.code, c.code) << c.what;
        EXPECT_EQ(a.frame.size(), c.answerSize) << c.what;
    }
}

TEST(SecondFormExchange, CodedLongAnswerAndRepeatedNumber)
{
    const uint8_t consoleKey = 0x9D;
    Bytes request = MakeSecondFormLong(0x83, 1, 0x11, 7, Bytes{4});
    const uint8_t left = CodeSecondForm(request, true, 0, consoleKey);
    const Bytes answer = MakeSecondFormFrame({0x83, 0x44, 0x84}, Bytes{0x20, 0x31, 0xFE, 0xFF});

    uint8_t last = 0;
    const auto repeated = [&last](uint8_t n) {
        const bool same = n == last;
        last = n;
        return same;
    };
    for (bool expectRepeat : {false, true}) {
        ScriptedLine line;
        line.data = StuffFrame(CodeAnswer(answer, left));
        SecondFormReader reader(line);
        const auto a = ReadSecondFormAnswer(reader, 0x03, left, consoleKey, repeated);
        EXPECT_EQ(a.code, kSecondFormOk);
        EXPECT_EQ(a.frame, answer);
        EXPECT_EQ(a.keyByte, 0x44);
        EXPECT_EQ(a.repeated, expectRepeat);
    }
}

TEST(SecondFormExchange, DrainAfterABadChecksumEndsOnAChattyLine)
{
    Bytes wire = StuffFrame(MakeSecondFormHead(0x05, 0, 0x02));
    wire[4] ^= 1;
    ScriptedLine line;
    line.data = wire;
    line.chatty = true;
    SecondFormReader reader(line);
    const auto a = ReadSecondFormAnswer(reader, 0x05, 0, 0, nullptr);
    EXPECT_EQ(a.code, kSecondFormBadCrc);
    EXPECT_LE(line.now, kDrainLimitMs + 100);
}

TEST(SecondFormRequest, ShapeNumbersAndStamps)
{
    EXPECT_EQ(SecondFormShape(Bytes{5, 6, 0, 13, 0, 0}), (Bytes{5, 13, 0, 0}));
    EXPECT_EQ(SecondFormShape(Bytes{5, 6, 0, 13}), (Bytes{5, 6, 0, 13}));
    EXPECT_EQ(NextRequestNumber(1), 2);
    EXPECT_EQ(NextRequestNumber(254), 255);
    EXPECT_EQ(NextRequestNumber(255), 1);

    const Bytes r = MakeSecondFormLong(5, 1, 0x11, 9, Bytes{7, 8});
    ASSERT_EQ(r.size(), 4u + 7u);
    EXPECT_EQ(r[1], 9);
    EXPECT_EQ(r[4], 4);
    EXPECT_EQ((Bytes{r[5], r[6], r[7], r[8]}), (Bytes{0x11, 9, 7, 8}));
    EXPECT_EQ(SecondFormCrc16(r), 0) << "a frame with its CRC-16 appended checks to zero";

    const int64_t now = 1'781'049'600; // 2026-06-10 00:00:00
    struct Case
    {
        std::array<uint8_t, 6> stamp;
        bool usable;
    };
    const Case cases[] = {
        {{26, 6, 9, 23, 59, 59}, true}, {{26, 6, 10, 0, 10, 0}, true},
        {{26, 6, 10, 0, 10, 1}, false}, {{0, 6, 9, 1, 1, 1}, false},
        {{26, 0, 9, 1, 1, 1}, false},   {{26, 13, 9, 1, 1, 1}, false},
        {{26, 4, 31, 1, 1, 1}, false},  {{26, 4, 0, 1, 1, 1}, false},
        {{24, 2, 29, 1, 1, 1}, true},   {{25, 2, 29, 1, 1, 1}, false},
        {{26, 1, 1, 24, 0, 0}, false},  {{26, 1, 1, 0, 60, 0}, false},
        {{26, 1, 1, 0, 0, 60}, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(StampUsable(c.stamp, now), c.usable)
            << int(c.stamp[0]) << "-" << int(c.stamp[1]) << "-" << int(c.stamp[2]) << " "
            << int(c.stamp[3]) << ":" << int(c.stamp[4]) << ":" << int(c.stamp[5]);
    }
}

// Known answers of the running-key coding, worked out by hand from the published 1-Wire table:
// k starts as byte 1 XOR the key (the console's key when the key given is 0), each coded byte
// is XORed with k and k becomes T[k]; byte 4 stays plain and leaves k alone.  For the first
// frame: k = 0x3C ^ 0x5A = 0x66; byte 2 = 0x01 ^ 0x66 = 0x67, k = T[0x66] = 0xB8; byte 3 =
// 0x00 ^ 0xB8 = 0xB8, k = T[0xB8] = 0xF0, which the answer's decoding starts from.
TEST(SecondFormCoding, KnownAnswers)
{
    struct Case
    {
        std::vector<uint8_t> plain;
        uint8_t key, consoleKey;
        std::vector<uint8_t> coded;
        uint8_t left;
    };
    const Case cases[] = {
        {{0x85, 0x3C, 0x01, 0x00}, 0, 0x5A, {0x85, 0x3C, 0x67, 0xB8}, 0xF0},
        {{0x85, 0x3C, 0x03, 0x00, 0x04, 0x07, 0x09, 0x11, 0x22, 0x33, 0x44},
         0,
         0x5A,
         {0x85, 0x3C, 0x65, 0xB8, 0x04, 0xF7, 0x7D, 0x88, 0xAF, 0x42, 0xE2},
         0x72},
        {{0x81, 0x10, 0x01, 0x00}, 0x77, 0x5A, {0x81, 0x10, 0x66, 0xE6}, 0x34},
        {{0x05, 0x3C, 0x01, 0x00}, 0, 0x5A, {0x05, 0x3C, 0x01, 0x00}, 0}, // bit 7 clear: plain
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> f = c.plain;
        EXPECT_EQ(corecomp::CodeSecondForm(f, true, c.key, c.consoleKey), c.left);
        EXPECT_EQ(f, c.coded);
    }
}
