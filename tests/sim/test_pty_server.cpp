// The simulator on a real pseudo-terminal, driven by raw bytes from the port's side.

#include "sim/pty_server.h"

#include "sim/options.h"

#include "CoreComp/rssess/bus_crc.h"
#include "platform/registry.h"
#include "raw_line.h"
#include "tests/platform/temp_dir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <thread>
#include <unistd.h>

using namespace std::chrono_literals;
using simtest::Hex;
using simtest::RawLine;
using platform::test::TempDir;
using simtest::ToHex;

namespace {

namespace fs = std::filesystem;

// The expected answer: [a, L] + body + CRC-8, coded with mask when mask is given.
sim::Bytes AnswerFrame(uint8_t address, const sim::Bytes& body, std::optional<uint8_t> mask = {})
{
    sim::Bytes f{address, static_cast<uint8_t>(body.size() + 2)};
    f.insert(f.end(), body.begin(), body.end());
    if (mask) {
        f[0] |= 0x80;
        for (std::size_t i = 2; i < f.size(); ++i)
            f[i] ^= *mask;
    }
    return sim::WithCrc(f);
}

// The request [a, L, key] + body, coded the way the session codes it.
sim::Bytes RequestFrame(uint8_t address, const sim::Bytes& body, uint8_t key_byte = 0, uint8_t mask = 0)
{
    sim::Bytes f{static_cast<uint8_t>(address | (key_byte ? 0x80 : 0)), static_cast<uint8_t>(body.size() + 3),
                 key_byte};
    for (uint8_t b : body)
        f.push_back(b ^ mask);
    return f;
}

class SimOnPty : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(bus.AddUnit(1, 44, 223));
        ASSERT_TRUE(bus.AddUnit(5, 10, 223));
        ASSERT_TRUE(bus.AddUnit(40, 10, 222));
        bus.SetShortTypeAnswer(40, true);
        std::string error;
        ASSERT_TRUE(server.Start(&error)) << error;
        line = std::make_unique<RawLine>(server.SlavePath());
        ASSERT_TRUE(line->IsOpen());
    }

    sim::Bus bus{{.baud = 115200, .turnaround_us = 2000, .late_us = 150000, .split_gap_us = 150000}};
    sim::PtyServer server{bus};
    std::unique_ptr<RawLine> line;
};

struct Step
{
    const char* name;
    const char* request; // after address, L and key byte
    const char* answer;  // after address and L; empty: no answer
};

// One unit's whole repertoire, in an order where later steps see what earlier ones stored.
const Step kRepertoire[] = {
    {"type", "0D 00 00", "00 0A DF 00"},
    {"version", "3F 29 00", "3E 29 DF 00 00 00"},
    {"read first step", "43 00 00 00 08", "44 08 01 00 02 00 03 00 04 00"},
    {"read past the image end", "43 F8 1D 00 08", "44 08 00 00 00 00 FF FF FF FF"},
    {"write", "41 08 00 00 AA BB CC", "42 00 00"},
    {"read back", "43 08 00 00 08", "44 08 AA BB CC 00 07 00 08 00"},
    {"empty slot", "1D 0E 03 00", "1E 00 00"},
    {"slot write", "25 0E 03 00 01 02 03 04 05 06 07 08", "26 01 03 00"},
    {"slot read", "1D 0E 03 00", "1E 0E 01 02 03 04 05 06 07 08"},
    {"closing command", "17 00 00", "18 00 00"},
    {"empty event log", "01 00 01", "02 00 00"},
    {"confirmation", "2B 03 09", "2C 00 00"},
    {"acknowledgement", "03 00 01", ""},
    {"unknown command", "50 00 00", ""},
    {"version, other sub-byte", "3F 28 00", ""},
    {"slot 9", "1D 0E 09 00", ""},
    {"slot write, short", "25 0E 03 00 01 02 03", ""},
    {"read outside the memory", "43 FC 1F 00 08", ""},
    {"read of 0 bytes", "43 00 00 00 00", ""},
    {"write outside the memory", "41 FF 1F 00 01 02", ""},
};

class SimRepertoire : public SimOnPty, public ::testing::WithParamInterface<bool>
{
};

TEST_P(SimRepertoire, EveryRequestGetsTheUnitsAnswer)
{
    const bool coded = GetParam();
    const uint8_t key_byte = coded ? 0x5C : 0;
    const uint8_t mask = coded ? 0x34 ^ 0x5C : 0;
    if (coded) {
        ASSERT_TRUE(bus.SetCodingKey(5, 0x1234)); // only the low byte counts
    }
    for (const Step& step : kRepertoire) {
        const sim::Bytes got = line->Exchange(RequestFrame(5, Hex(step.request), key_byte, mask));
        const std::string want =
            *step.answer ? ToHex(AnswerFrame(5, Hex(step.answer), coded ? std::optional(mask) : std::nullopt)) : "";
        EXPECT_EQ(ToHex(got), want) << step.name;
    }
    EXPECT_EQ(bus.ReadMemory(5, 8, 3), Hex("AA BB CC"));
    EXPECT_EQ(bus.KeyCodes(5)->at(2), (model::KeyCode{1, 2, 3, 4, 5, 6, 7, 8}));
}

INSTANTIATE_TEST_SUITE_P(PlainAndCoded, SimRepertoire, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Coded" : "Plain"; });

TEST_F(SimOnPty, TypeAnswerWhoseChecksumHitsTableEntry249)
{
    const sim::Bytes got = line->Exchange({40, 6, 0, 0x0D, 0, 0});
    EXPECT_EQ(ToHex(got), "28 05 00 0A DE FC");
}

TEST_F(SimOnPty, EachUnitAnswersItsOwnAddressAndBroadcastsGetNone)
{
    const struct
    {
        uint8_t address_byte;
        const char* answer;
    } cases[] = {
        {1, "01 06 00 2C DF 00"}, {5, "05 06 00 0A DF 00"}, {40, "28 05 00 0A DE"},
        {7, ""},                  {0, ""},                  {0x80, ""},
    };
    for (const auto& c : cases) {
        const sim::Bytes got = line->Exchange({c.address_byte, 6, 0, 0x0D, 0, 0});
        EXPECT_EQ(ToHex(got), *c.answer ? ToHex(sim::WithCrc(Hex(c.answer))) : "") << int(c.address_byte);
    }
    // Two requests in one write: both answered, in order.
    sim::Bytes both = sim::WithCrc({1, 6, 0, 0x0D, 0, 0});
    const sim::Bytes second = sim::WithCrc({5, 6, 0, 0x0D, 0, 0});
    both.insert(both.end(), second.begin(), second.end());
    line->Write(both);
    EXPECT_EQ(ToHex(line->ReadUntilQuiet(60ms)),
              ToHex(sim::WithCrc(Hex("01 06 00 2C DF 00"))) + " " + ToHex(sim::WithCrc(Hex("05 06 00 0A DF 00"))));
}

TEST_F(SimOnPty, EventLogIsReadHeadFirstAndShrinksOnlyOnAcknowledgement)
{
    ASSERT_TRUE(bus.QueueEvent(1, Hex("04 16 07 10 20 30 40 50 60 70 80")));
    ASSERT_TRUE(bus.QueueEvent(1, Hex("0E 0E 01 02 03 04 05 06 07 08 09 0A")));
    const sim::Bytes read{1, 6, 0, 0x01, 0x00, 0x01};
    const sim::Bytes ack{1, 6, 0, 0x03, 0x00, 0x01};
    const std::string first = ToHex(AnswerFrame(1, Hex("04 16 07 10 20 30 40 50 60 70 80")));
    EXPECT_EQ(ToHex(line->Exchange(read)), first);
    EXPECT_EQ(ToHex(line->Exchange(read)), first);
    EXPECT_EQ(bus.EventCount(1), 2u);
    EXPECT_EQ(ToHex(line->Exchange(ack)), "");
    EXPECT_EQ(ToHex(line->Exchange(read)), ToHex(AnswerFrame(1, Hex("0E 0E 01 02 03 04 05 06 07 08 09 0A"))));
    EXPECT_EQ(ToHex(line->Exchange(ack)), "");
    EXPECT_EQ(ToHex(line->Exchange(read)), ToHex(AnswerFrame(1, Hex("02 00 00"))));
    EXPECT_EQ(bus.EventCount(1), 0u);
    // Presenting a credential queues event 22 with the code in stored order.
    ASSERT_TRUE(bus.PresentKey(1, {0x01, 0xA1, 0xB2, 0xC3, 0xD4, 0xE5, 0xF6, 0x77}));
    EXPECT_EQ(ToHex(line->Exchange(read)), ToHex(AnswerFrame(1, Hex("04 16 01 01 A1 B2 C3 D4 E5 F6 77"))));
}

TEST_F(SimOnPty, NewKeyCommandAnswersWithTheOldKeyAndCodesFromThenOn)
{
    EXPECT_EQ(ToHex(line->Exchange({1, 6, 0, 0x11, 0x77, 0x77})), ToHex(AnswerFrame(1, Hex("12 77 00"))));
    EXPECT_EQ(bus.CodingKey(1), 0x77);
    const uint8_t key_byte = 0xA5;
    const uint8_t mask = 0x77 ^ key_byte;
    EXPECT_EQ(ToHex(line->Exchange(RequestFrame(1, Hex("0D 00 00"), key_byte, mask))),
              ToHex(AnswerFrame(1, Hex("00 2C DF 00"), mask)));
    // Plain frames still work for a unit with a key.
    EXPECT_EQ(ToHex(line->Exchange({1, 6, 0, 0x0D, 0, 0})), ToHex(AnswerFrame(1, Hex("00 2C DF 00"))));
    // Bit 7 with a zero key byte is a plain frame.
    EXPECT_EQ(ToHex(line->Exchange({0x81, 6, 0, 0x0D, 0, 0})), ToHex(AnswerFrame(1, Hex("00 2C DF 00"))));
}

TEST_F(SimOnPty, EachFaultSpoilsOneAnswerThenTheLineIsSound)
{
    const sim::Bytes request = sim::WithCrc({1, 6, 0, 0x0D, 0, 0});
    const std::string good = ToHex(AnswerFrame(1, Hex("00 2C DF 00")));
    const uint8_t crc = AnswerFrame(1, Hex("00 2C DF 00")).back();
    const struct
    {
        sim::Fault fault;
        std::vector<std::string> pieces; // what arrives, each piece after a quiet gap
    } cases[] = {
        {sim::Fault::NoAnswer, {""}},
        {sim::Fault::BadCrc, {ToHex(Hex("01 06 00 2C DF 00")) + " " + ToHex({static_cast<uint8_t>(crc ^ 0xFF)})}},
        {sim::Fault::WrongAddress, {ToHex(sim::WithCrc(Hex("02 06 00 2C DF 00")))}},
        {sim::Fault::WrongCommand, {ToHex(sim::WithCrc(Hex("01 06 80 2C DF 00")))}},
        {sim::Fault::ShortAnswer, {"01 06 00 2C DF"}},
        {sim::Fault::WrongLength, {ToHex(sim::WithCrc(Hex("01 07 00 2C DF 00")))}},
        {sim::Fault::LateAnswer, {"", good}},
        {sim::Fault::SplitAnswer, {"01 06 00", good.substr(9)}},
        {sim::Fault::Echo, {ToHex(request) + " " + good}},
    };
    for (const auto& c : cases) {
        bus.SetFault(c.fault, {.count = 1});
        line->Write(request);
        for (std::size_t i = 0; i < c.pieces.size(); ++i)
            EXPECT_EQ(ToHex(line->ReadUntilQuiet(100ms)), c.pieces[i]) << sim::FaultSwitch(c.fault) << " piece " << i;
        line->ReadUntilQuiet(400ms); // whatever a late fault still sends
        EXPECT_EQ(ToHex(line->Exchange({1, 6, 0, 0x0D, 0, 0})), good) << sim::FaultSwitch(c.fault);
    }
}

TEST_F(SimOnPty, AnswerNeverComesBeforeTheRequestsLineTime)
{
    // 9600 bit/s: request and answer of 7 bytes each take 14.6 ms on the wire, plus 2 ms.
    sim::Bus slow({.baud = 9600});
    ASSERT_TRUE(slow.AddUnit(1, 44, 223));
    sim::PtyServer slow_server(slow);
    ASSERT_TRUE(slow_server.Start());
    RawLine slow_line(slow_server.SlavePath());
    for (int i = 0; i < 5; ++i) {
        const auto sent = std::chrono::steady_clock::now();
        slow_line.Write(sim::WithCrc({1, 6, 0, 0x0D, 0, 0}));
        const sim::Bytes got = slow_line.Read(7, 1s);
        const auto took = std::chrono::steady_clock::now() - sent;
        ASSERT_EQ(got.size(), 7u);
        EXPECT_GE(took, 16500us);
    }
}

TEST_F(SimOnPty, GarbageOnTheLineIsNeverAnsweredAndLeavesItWorking)
{
    std::srand(99);
    for (int round = 0; round < 30; ++round) {
        sim::Bytes junk(static_cast<std::size_t>(1 + std::rand() % 255));
        for (uint8_t& b : junk)
            b = static_cast<uint8_t>(std::rand());
        // Every other round the junk starts like a request to unit 1 with a broken CRC-8.
        if (round % 2 == 0 && junk.size() > 8) {
            const sim::Bytes head = sim::WithCrc({1, 6, 0, 0x0D, 0, 0});
            std::copy(head.begin(), head.end(), junk.begin());
            junk[6] ^= 0x01;
        }
        line->Write(junk);
        const sim::Bytes got = line->ReadUntilQuiet(30ms);
        // A chance frame with a good CRC-8 may be answered; nothing else.
        if (!got.empty()) {
            ASSERT_GE(got.size(), 6u);
            EXPECT_EQ(corecomp::BusCrc8(std::span(got.data(), got.size() - 1)), got.back()) << ToHex(got);
        }
    }
    line->Write(sim::Bytes(255, 0xFF));
    line->ReadUntilQuiet(50ms);
    EXPECT_EQ(ToHex(line->Exchange({1, 6, 0, 0x0D, 0, 0})), ToHex(AnswerFrame(1, Hex("00 2C DF 00"))));
}

TEST(SimPtyServer, LinkRegistryEntryAndLogLiveAsLongAsTheServer)
{
    TempDir dir;
    const std::string link = dir.File("ttySIM");
    const std::string reg = dir.File("registry.reg");
    const std::string log = dir.File("sim.log");
    sim::Bus bus({.baud = 115200});
    ASSERT_TRUE(bus.AddUnit(1, 44, 223));
    // What a killed server left behind: an entry for COM7 whose link is gone goes, the others
    // stay.
    const std::string gone = dir.File("gone");
    const std::string other = dir.File("other");
    {
        std::ofstream(other) << "";
        platform::RegistryFile before(reg);
        ASSERT_TRUE(before.WriteString(platform::Hive::LocalMachine, platform::kSerialCommKey, gone, "COM7"));
        ASSERT_TRUE(before.WriteString(platform::Hive::LocalMachine, platform::kSerialCommKey, other, "COM7"));
        ASSERT_TRUE(before.WriteString(platform::Hive::LocalMachine, platform::kSerialCommKey, gone + "2", "COM8"));
    }
    {
        sim::PtyServer server(bus, {link, reg, 7, log});
        std::string error;
        ASSERT_TRUE(server.Start(&error)) << error;
        EXPECT_EQ(server.PortPath(), link);
        EXPECT_EQ(fs::read_symlink(link), server.SlavePath());
        platform::RegistryFile registry(reg);
        EXPECT_EQ(registry.ReadString(platform::Hive::LocalMachine, platform::kSerialCommKey, link), "COM7");
        EXPECT_FALSE(registry.ValueExists(platform::Hive::LocalMachine, platform::kSerialCommKey, gone));
        EXPECT_TRUE(registry.ValueExists(platform::Hive::LocalMachine, platform::kSerialCommKey, other));
        EXPECT_TRUE(registry.ValueExists(platform::Hive::LocalMachine, platform::kSerialCommKey, gone + "2"));
        RawLine line(link);
        EXPECT_EQ(line.Exchange({1, 6, 0, 0x0D, 0, 0}).size(), 7u);
        line.Write({0x01, 0x08, 0x00}); // dropped after the gap
        line.ReadUntilQuiet(80ms);
        server.Stop();
        EXPECT_FALSE(fs::exists(fs::symlink_status(link)));
        EXPECT_FALSE(registry.ReadString(platform::Hive::LocalMachine, platform::kSerialCommKey, link));
    }
    std::ifstream in(log);
    std::vector<std::string> lines;
    for (std::string l; std::getline(in, l);)
        lines.push_back(l);
    ASSERT_EQ(lines.size(), 3u);
    const std::string stamp = R"(\d\d:\d\d:\d\d\.\d\d\d )";
    EXPECT_TRUE(std::regex_match(lines[0], std::regex(stamp + "in 01 06 00 0D 00 00 [0-9A-F]{2}\r")));
    EXPECT_TRUE(std::regex_match(lines[1], std::regex(stamp + "out 01 06 00 2C DF 00 [0-9A-F]{2}\r")));
    EXPECT_TRUE(std::regex_match(lines[2], std::regex(stamp + "drop 01 08 00\r")));
}

TEST(SimPtyServer, StartRefusesToReplaceAFileThatIsNoLink)
{
    TempDir dir;
    const fs::path file = fs::path(dir.File("port"));
    std::ofstream(file) << "keep";
    sim::Bus bus;
    sim::PtyServerOptions options;
    options.link_path = file.string();
    sim::PtyServer server(bus, options);
    std::string error;
    EXPECT_FALSE(server.Start(&error));
    EXPECT_NE(error.find("not a symbolic link"), std::string::npos) << error;
    EXPECT_FALSE(server.Running());
    EXPECT_EQ(fs::file_size(file), 4u);
    // A stale link from an earlier run is replaced.
    const fs::path stale = fs::path(dir.File("stale"));
    fs::create_symlink("/nonexistent", stale);
    options.link_path = stale.string();
    sim::PtyServer second(bus, options);
    ASSERT_TRUE(second.Start(&error)) << error;
    EXPECT_EQ(fs::read_symlink(stale), second.SlavePath());
}

} // namespace
