// Analog units on the simulated bus: their answers to the channel requests, the run-time
// command lines, and the switches that set them up.

#include "sim/analog_unit.h"
#include "sim/bus.h"
#include "sim/options.h"
#include "sim/run_commands.h"

#include "raw_line.h"

#include <gtest/gtest.h>

using simtest::Hex;
using simtest::ToHex;

namespace {

constexpr int64_t kStart = 1000000;

// The answer to one request, CRC-8 dropped; empty when the unit stays silent.
class AnalogBus
{
public:
    AnalogBus()
    {
        EXPECT_TRUE(bus.AddUnit(5, 9, 223));
        EXPECT_TRUE(bus.AddUnit(6, 12, 223));
        EXPECT_TRUE(bus.AddUnit(7, 44, 223));
        EXPECT_TRUE(sim::EnsureAnalogPeer(bus, 5));
        EXPECT_TRUE(sim::EnsureAnalogPeer(bus, 6));
    }
    std::string Ask(const std::string& request)
    {
        const sim::LineActivity a = bus.Receive(sim::WithCrc(Hex(request)), now += 100000);
        if (a.answers.empty())
            return "";
        sim::Bytes answer = a.answers.at(0).bytes;
        answer.pop_back();
        return ToHex(answer);
    }
    sim::AnalogPeer::Counts Counts(uint8_t address, uint8_t channel)
    {
        sim::AnalogPeer::Counts c;
        bus.WithPeer(address, [&](sim::UnitPeer& p, sim::UnitAccess&) {
            c = dynamic_cast<sim::AnalogPeer&>(p).CountsOf(channel);
        });
        return c;
    }

    sim::Bus bus{{.baud = 115200}};
    int64_t now = kStart;
};

TEST(AnalogUnit, AnswersTheChannelRequestsAndLeavesTheRestToTheUnit)
{
    AnalogBus b;
    ASSERT_TRUE(sim::ApplyChannelSpec(b.bus, {5, 3, 0x28, 45, 17}));
    ASSERT_TRUE(sim::ApplyChannelSpec(b.bus, {6, 1, 0x90, {}, {}}));
    const struct
    {
        const char* request;
        const char* answer;
    } cases[] = {
        {"05 06 00 1B 03 00", "05 05 1C 03 28"}, // 27 -> 28 ch value
        {"05 06 00 39 03 01", "05 05 3A 01 2D"}, // 57 kind query -> 58 01 kind
        {"05 06 00 39 03 04", "05 05 3A 04 28"}, // 57 value read -> 58 mode value
        {"05 06 00 19 03 00", "05 05 1A 03 11"}, // 25 arming -> 26 ch code
        {"06 06 00 39 01 01", "06 05 3A 01 1F"}, // a type-12 channel's default kind is 31
        {"06 06 00 19 01 00", "06 05 1A 01 00"}, // default arming code 0
        {"05 06 00 1B 04 00", ""},               // no such channel: silence
        {"05 06 00 19 09 00", ""},
        {"05 06 00 0D 00 00", "05 06 00 09 DF 00"}, // the unit's own type answer
        {"07 06 00 1B 03 00", ""},                  // a unit without channels
    };
    for (const auto& c : cases)
        EXPECT_EQ(b.Ask(c.request), ToHex(Hex(c.answer))) << c.request;
    const sim::AnalogPeer::Counts counts = b.Counts(5, 3);
    EXPECT_EQ(counts.reads, 2);
    EXPECT_EQ(counts.kind_queries, 1);
    EXPECT_EQ(counts.armings, 1);
}

TEST(AnalogUnit, OnlyUnitsOfTheAnalogTypesCarryChannels)
{
    sim::Bus bus;
    int address = 1;
    for (int type = 0; type < 256; ++type) {
        if (type % 16 != 0 && !sim::IsAnalogType(static_cast<uint8_t>(type)))
            continue;
        ASSERT_TRUE(bus.AddUnit(static_cast<uint8_t>(address), static_cast<uint8_t>(type), 1));
        const bool analog =
            type == 1 || type == 2 || type == 4 || type == 9 || type == 11 || type == 12;
        EXPECT_EQ(sim::EnsureAnalogPeer(bus, static_cast<uint8_t>(address)), analog) << type;
        EXPECT_EQ(sim::ApplyChannelSpec(bus, {static_cast<uint8_t>(address), 1, 2, {}, {}}), analog)
            << type;
        ++address;
    }
    EXPECT_FALSE(sim::EnsureAnalogPeer(bus, 127)) << "no unit there";
}

TEST(AnalogUnit, RunCommandsChangeTheUnitsAndBadLinesChangeNothing)
{
    AnalogBus b;
    ASSERT_TRUE(sim::ApplyChannelSpec(b.bus, {5, 3, 10, {}, {}}));
    const struct
    {
        const char* line;
        const char* error; // "" for none, else a part of the message
    } lines[] = {
        {"channel 5:3:200", ""},
        {"  channel 5:4:7:44:24  ", ""},
        {"", ""},
        {"# a remark", ""},
        {"channel-event 5:17:3", ""},
        {"card-report 7:28:2:0123456789ABCDEF", ""},
        {"channel 5:3:256", "bad value for channel"},
        {"channel 5:3:1:255", "bad value for channel"},
        {"channel 7:1:1", "no analog unit at address 7"},
        {"channel 9:1:1", "no analog unit at address 9"},
        {"channel-event 7:17:3", "no analog unit at address 7"},
        {"channel-event 5:17", "bad value"},
        {"card-report 9:28:2:0123456789ABCDEF", "no unit at address 9"},
        {"card-report 7:28:2:0123456789ABCDEF:100", "bad value"},
        {"silent 5:maybe", "bad value for silent"},
        {"silent 0:on", "bad value for silent"},
        {"answer 7:1:0A", "bad value for answer"},
        {"reboot 5", "unknown command \"reboot\""},
    };
    for (const auto& l : lines) {
        const std::string error = sim::ApplyRunCommand(b.bus, l.line);
        if (*l.error == 0)
            EXPECT_EQ(error, "") << l.line;
        else
            EXPECT_NE(error.find(l.error), std::string::npos) << l.line << ": " << error;
    }
    EXPECT_EQ(b.Ask("05 06 00 1B 03 00"), "05 05 1C 03 C8");
    EXPECT_EQ(b.Ask("05 06 00 39 04 01"), "05 05 3A 01 2C");
    EXPECT_EQ(b.Ask("05 06 00 19 04 00"), "05 05 1A 04 18");
    // The channel event carries the unit's next event number; the report the reader and the
    // code in stored order.
    EXPECT_EQ(ToHex(b.bus.HeadEvent(5).value()), "04 11 03 01");
    EXPECT_EQ(ToHex(b.bus.HeadEvent(7).value()), "04 1C 02 EF CD AB 89 67 45 23 01");

    ASSERT_EQ(sim::ApplyRunCommand(b.bus, "silent 5:on"), "");
    EXPECT_EQ(b.Ask("05 06 00 1B 03 00"), "");
    ASSERT_EQ(sim::ApplyRunCommand(b.bus, "silent 5:off"), "");
    EXPECT_EQ(b.Ask("05 06 00 1B 03 00"), "05 05 1C 03 C8");

    ASSERT_EQ(sim::ApplyRunCommand(b.bus, "answer 7:1:0A0000"), "");
    EXPECT_EQ(b.Ask("07 06 00 01 00 00"), "07 05 0A 00 00");
    ASSERT_EQ(sim::ApplyRunCommand(b.bus, "answer 7:1:"), "");
    EXPECT_EQ(b.Ask("07 06 00 01 00 00").substr(0, 8), "07 0D 04") << "the event log again";
}

TEST(AnalogUnit, SwitchesSetChannelsAndTimedCredentialReports)
{
    const sim::ParsedCommandLine ok = sim::ParseCommandLine(
        {"--unit", "5:9:223", "--unit", "6:44:223", "--channel", "5:3:40", "--channel",
         "5:4:41:80:17", "--card-report", "6:32:3:0123456789ABCDEF:1500"});
    ASSERT_TRUE(ok.options) << ok.error;
    ASSERT_EQ(ok.options->channels.size(), 2u);
    EXPECT_EQ(ok.options->channels[0].value, 40);
    EXPECT_FALSE(ok.options->channels[0].kind);
    EXPECT_EQ(ok.options->channels[1].kind, 80);
    EXPECT_EQ(ok.options->channels[1].arm_code, 17);
    ASSERT_EQ(ok.options->card_reports.size(), 1u);
    EXPECT_EQ(ok.options->card_reports[0].code, 32);
    EXPECT_EQ(ok.options->card_reports[0].reader, 3);
    EXPECT_EQ(ok.options->card_reports[0].delay_ms, 1500u);
    EXPECT_EQ(ok.options->card_reports[0].key[0], 0xEF);

    const struct
    {
        std::vector<std::string> args;
        const char* says;
    } bad[] = {
        {{"--unit", "6:44:223", "--channel", "6:1:1"}, "--channel names no unit of type"},
        {{"--channel", "2:1:1"}, "--channel names no unit of type"},
        {{"--unit", "5:9:223", "--channel", "5:1"}, "bad value for --channel"},
        {{"--unit", "5:9:223", "--channel", "5:1:1:0"}, "bad value for --channel"},
        {{"--card-report", "9:32:1:0123456789ABCDEF"}, "--card-report names no unit"},
        {{"--card-report", "1:32:1:0123456789ABCDE"}, "bad value for --card-report"},
        {{"--card-report", "1:32:256:0123456789ABCDEF"}, "bad value for --card-report"},
    };
    for (const auto& c : bad) {
        const sim::ParsedCommandLine parsed = sim::ParseCommandLine(c.args);
        EXPECT_FALSE(parsed.options) << c.args.back();
        EXPECT_NE(parsed.error.find(c.says), std::string::npos) << parsed.error;
    }
    for (const char* s :
         {"--channel ADDR:CH:VALUE[:KIND[:ARM]]", "--card-report ADDR:CODE:READER:KEY16[:DELAY_MS]",
          "channel-event ADDR:CODE:CH", "silent ADDR:on|off"})
        EXPECT_NE(sim::HelpText().find(s), std::string::npos) << s;
}

} // namespace
