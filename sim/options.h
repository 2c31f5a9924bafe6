#pragma once
// The command line of t4700-sim.  Other programs and scripts start it, so the switches and
// the help text are an interface: extend them, never change what a switch means.

#include "sim/analog_unit.h"
#include "sim/bus.h"
#include "sim/relay_peer.h"
#include "sim/udp_converter.h"
#include "sim/service.h"

#include "config_tool/model/config_image.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace sim {

struct UnitSpec
{
    uint8_t address = 1;
    uint8_t type = 44;
    uint16_t version = 223;
    std::string file; // .kconf to load, empty: factory image, no credentials
};

struct PresentKeySpec
{
    uint8_t address = 0;
    model::KeyCode code{}; // stored order: byte 0 the family code
    uint32_t delay_ms = 0;
};

struct SilenceSpec
{
    uint8_t address = 0;
    uint32_t from_ms = 0;
    int64_t to_ms = -1; // -1: for ever
};

struct AnswerSpec
{
    uint8_t address = 0;
    uint8_t command = 0;
    Bytes body; // from the answer command on
};

struct EventRateSpec
{
    uint8_t address = 0;
    double per_second = 0;
};

struct SimOptions
{
    std::string link;
    std::string registry;
    int com = 0;
    std::vector<UnitSpec> units; // never empty after parsing
    BusTiming timing;
    std::array<FaultRule, kFaultKinds> faults{};
    uint32_t seed = 1;
    std::vector<PresentKeySpec> present_keys;
    std::vector<SilenceSpec> silences;
    std::vector<AnswerSpec> answers;
    std::vector<EventRateSpec> event_rates;
    std::vector<uint8_t> endless_events;      // --endless-events: units whose log never empties
    std::vector<TimedEventSpec> timed_events; // --walk, --forward, --event
    // Analog channels (--channel) and timed credential reports (--card-report).
    std::vector<ChannelSpec> channels;
    std::vector<CardReportSpec> card_reports;
    std::string log;
    std::string dump;
    uint32_t max_seconds = 3600;
    // The converters on UDP (--udp), their ETHWAITTIME and their faults.
    std::vector<ConverterAddress> udp;
    int32_t eth_wait_ms = 100;
    std::array<FaultRule, kConverterFaultKinds> udp_faults{};
    uint32_t udp_late_ms = 1000;
    int32_t udp_fixed_sequence = -1; // --udp-fixed-seq; -1: the request's number
    // --service HOST:PORT: the units behind a simulated bus-driver service instead of a pty.
    std::string service_host;
    uint16_t service_port = 0;
    bool service = false;
    std::string mac = "001A2B3C4D5E";
    uint32_t service_late_ms = 2500;
    int service_com = 0; // --svc-com N: COM-line mode on the service's COM port N
    std::array<FaultRule, kServiceFaultKinds> service_faults{};
};

struct ParsedCommandLine
{
    bool help = false;            // --help: print HelpText() and exit 0
    std::optional<SimOptions> options; // empty with help or error
    std::string error;            // one line, for "t4700-sim: <error>"
};

ParsedCommandLine ParseCommandLine(const std::vector<std::string>& args); // without argv[0]
const std::string& HelpText();

// The switch that sets a fault ("--no-answer" for Fault::NoAnswer, ...).
const char* FaultSwitch(Fault fault);

// ADDR:CMD:HEX as --answer takes it.
bool ParseAnswerSpec(const std::string& text, AnswerSpec& spec);
// An event as --walk, --forward or --event (by kind) takes it.
bool ParseTimedEventSpec(const std::string& text, TimedEventSpec::Kind kind, TimedEventSpec& spec);

// 16 hexadecimal digits as shown on screen (byte 7 first) to the stored code.
std::optional<model::KeyCode> KeyCodeFromText(const std::string& text);

} // namespace sim
