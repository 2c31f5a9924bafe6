// The real session against the simulator on a pty: the serial transport finds the simulated
// line as COM n through the registry file, as the tool does.

#include "sim/pty_server.h"

#include "CoreComp/rssess/rs_session.h"
#include "config_tool/model/config_file.h"
#include "platform/registry.h"
#include "raw_line.h"
#include "scratch_registry.h"
#include "sim_process.h"
#include "tests/platform/temp_dir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <thread>

using namespace std::chrono_literals;
using simtest::Hex;
using simtest::ToHex;

namespace {

constexpr int kCom = 31;

using simtest::Scratch;
using simtest::SetBusValue;
[[maybe_unused]] const platform::test::TempDir& kScratchReady = Scratch();

class SessionOnSim : public ::testing::Test
{
protected:
    void SetUp() override
    {
        SetBusValue("SpeedRSS", 115200);
        SetBusValue("CmdTimeoutConstant", 200);
        ASSERT_TRUE(bus.AddUnit(1, 44, 223));
        ASSERT_TRUE(bus.AddUnit(40, 10, 222));
        std::string error;
        ASSERT_TRUE(server.Start(&error)) << error;
        session.SetComPort(kCom);
        session.ReadRegistrySettings();
        session.SetRetryCount(3);
    }

    sim::Bytes Send(const sim::Bytes& request, bool noAcknowledge = false)
    {
        if (!session.SendCommand(request, true, noAcknowledge, 0, 0))
            return {};
        return session.Answer();
    }

    // The acknowledgement is sent without waiting for the line, so the unit may take a moment.
    bool EventCountBecomes(uint8_t address, std::size_t count)
    {
        for (int i = 0; i < 100 && bus.EventCount(address) != count; ++i)
            std::this_thread::sleep_for(10ms);
        return bus.EventCount(address) == count;
    }

    // A turnaround above the default keeps answers clear of the session's input purge when a
    // loaded machine holds the session back between its line-time wait and the purge.
    sim::Bus bus{{.baud = 115200, .turnaround_us = 10000, .late_us = 300000, .split_gap_us = 20000}};
    sim::PtyServer server{bus, {"", Scratch().File("registry.reg"), kCom, ""}};
    TRSSession session;
};

TEST_F(SessionOnSim, RequestsOfTheToolGetTheUnitsAnswers)
{
    const struct
    {
        sim::Bytes request;
        const char* answer; // without the CRC-8
    } cases[] = {
        {{1, 6, 0, 0x0D, 0, 0}, "01 06 00 2C DF 00"},
        {{1, 6, 0, 0x3F, 0x29, 0}, "01 08 3E 29 DF 00 00 00"},
        {{40, 6, 0, 0x0D, 0, 0}, "28 06 00 0A DE 00"},
        {{1, 8, 0, 0x43, 0, 0, 0, 8}, "01 0C 44 08 01 00 02 00 03 00 04 00"},
        {{1, 7, 0, 0x1D, 0x0E, 1, 0}, "01 05 1E 00 00"},
        {{1, 6, 0, 0x17, 0, 0}, "01 05 18 00 00"},
        {{1, 6, 0, 0x01, 0, 1}, "01 05 02 00 00"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ToHex(Send(c.request)), ToHex(sim::WithCrc(Hex(c.answer)))) << ToHex(c.request);
    EXPECT_EQ(ToHex(Send({7, 6, 0, 0x0D, 0, 0})), "") << "nobody at address 7";
}

TEST_F(SessionOnSim, EventAnswerIsAcknowledgedAndLeavesTheLog)
{
    const model::KeyCode code{0x01, 0xA1, 0xB2, 0xC3, 0xD4, 0xE5, 0xF6, 0x77};
    ASSERT_TRUE(bus.PresentKey(1, code));
    ASSERT_TRUE(bus.PresentKey(1, code));
    const sim::Bytes read{1, 6, 0, 0x01, 0, 1};

    // Without the acknowledgement the event stays.
    EXPECT_EQ(ToHex(Send(read, true)), ToHex(sim::WithCrc(Hex("01 0D 04 16 01 01 A1 B2 C3 D4 E5 F6 77"))));
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(bus.EventCount(1), 2u);

    EXPECT_EQ(ToHex(Send(read)), ToHex(sim::WithCrc(Hex("01 0D 04 16 01 01 A1 B2 C3 D4 E5 F6 77"))));
    EXPECT_TRUE(EventCountBecomes(1, 1));
    EXPECT_EQ(ToHex(Send(read)), ToHex(sim::WithCrc(Hex("01 0D 04 16 02 01 A1 B2 C3 D4 E5 F6 77"))));
    EXPECT_TRUE(EventCountBecomes(1, 0));
    EXPECT_EQ(ToHex(Send(read)), ToHex(sim::WithCrc(Hex("01 05 02 00 00"))));
    // The confirmation that the credential reader sends.
    EXPECT_EQ(ToHex(Send({1, 6, 0, 0x2B, 0x03, 0x02})), ToHex(sim::WithCrc(Hex("01 05 2C 00 00"))));
}

TEST_F(SessionOnSim, SpoiledAnswerIsRecoveredByARetry)
{
    const sim::Bytes request{1, 8, 0, 0x43, 0x00, 0x1E, 0, 8}; // past the image: FF
    const std::string good = ToHex(sim::WithCrc(Hex("01 0C 44 08 FF FF FF FF FF FF FF FF")));
    const struct
    {
        sim::Fault fault;
        uint32_t failed_tries;
    } cases[] = {
        {sim::Fault::NoAnswer, 1},     {sim::Fault::BadCrc, 1},      {sim::Fault::WrongAddress, 1},
        {sim::Fault::WrongCommand, 1}, {sim::Fault::ShortAnswer, 1}, {sim::Fault::WrongLength, 1},
        {sim::Fault::LateAnswer, 1},   {sim::Fault::Echo, 1},
        // A pause inside the answer is shorter than the read time-out: the first try takes it.
        {sim::Fault::SplitAnswer, 0},
    };
    for (const auto& c : cases) {
        bus.SetFault(c.fault, {.count = 1});
        const uint32_t before = session.ExchangeCounters().failedTries;
        EXPECT_EQ(ToHex(Send(request)), good) << static_cast<int>(c.fault);
        EXPECT_EQ(session.ExchangeCounters().failedTries - before, c.failed_tries) << static_cast<int>(c.fault);
        std::this_thread::sleep_for(350ms); // let a late answer pass before the next case
    }
}

TEST_F(SessionOnSim, CodedExchangeAfterTheNewKeyCommand)
{
    // The session learns the key from the answer to command 17 and codes from then on.
    EXPECT_EQ(ToHex(Send({1, 6, 0, 0x11, 0x5B, 0x5B})), ToHex(sim::WithCrc(Hex("01 05 12 5B 00"))));
    EXPECT_EQ(session.KeyWord(1), 0x5B);
    EXPECT_EQ(bus.CodingKey(1), 0x5B);
    EXPECT_EQ(ToHex(Send({1, 6, 0, 0x0D, 0, 0})).substr(0, 17), "01 06 00 2C DF 00");
}

TEST(SessionOnSimProgram, DumpHoldsExactlyWhatTheSessionWrote)
{
    platform::test::TempDir dir;
    SetBusValue("SpeedRSS", 115200);
    SetBusValue("CmdTimeoutConstant", 200);
    simtest::SimProcess sim({"--link", dir.File("tty"), "--registry", Scratch().File("registry.reg"), "--com",
                             std::to_string(kCom + 1), "--baud", "115200", "--dump", dir.Path()});
    ASSERT_EQ(sim.WaitReady(), dir.File("tty")) << sim.Stderr();
    {
        TRSSession session;
        session.SetComPort(kCom + 1);
        session.ReadRegistrySettings();
        session.SetRetryCount(6);
        const std::vector<sim::Bytes> writes = {
            {1, 15, 0, 0x41, 0x00, 0x00, 0, 9, 8, 7, 6, 5, 4, 3, 2},     // bytes 0..7
            {1, 8, 0, 0x41, 0x7B, 0x00, 0, 0x1E},                        // byte 123
            {1, 10, 0, 0x41, 0xF9, 0x1D, 0, 0xA1, 0xA2, 0xA3},           // bytes 7673..7675
            {1, 15, 0, 0x25, 0x0E, 5, 0, 0x33, 1, 2, 3, 4, 5, 6, 0xC7}, // credential slot 5
        };
        for (const sim::Bytes& w : writes)
            ASSERT_TRUE(session.SendCommand(w, true, false, 0, 0)) << ToHex(w);
    }
    sim.Signal(SIGINT);
    ASSERT_EQ(sim.Wait(), 0) << sim.Stderr();

    const auto dumped = model::LoadConfigFile(dir.File("unit-1.kconf"), std::nullopt);
    ASSERT_EQ(dumped.status, model::LoadStatus::Ok);
    model::Image expected = model::FactoryImage();
    const uint8_t first[] = {9, 8, 7, 6, 5, 4, 3, 2};
    std::copy(std::begin(first), std::end(first), expected.begin());
    expected[123] = 0x1E;
    expected[7673] = 0xA1;
    expected[7674] = 0xA2;
    expected[7675] = 0xA3;
    EXPECT_EQ(dumped.image, expected);
    model::KeyCodes codes{};
    codes[4] = {0x33, 1, 2, 3, 4, 5, 6, 0xC7};
    EXPECT_EQ(dumped.codes, codes);
}

} // namespace
