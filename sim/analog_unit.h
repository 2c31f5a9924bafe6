#pragma once
// Analog units: units of the types 1, 2, 4, 9, 11 and 12 that carry measuring channels, each
// with a value byte, a kind byte (what the unit says about the channel when asked for its
// state) and the event code it answers an arming command with.
//
// Requests and answers (decimal command numbers; a = address, CRC-8 omitted):
//   [a 6 0 27 ch 0]   value read     -> a 05 28 ch value
//   [a 6 0 57 ch 1]   kind query     -> a 05 58 01 kind
//   [a 6 0 57 ch m]   value read     -> a 05 58 m value          (any other mode m)
//   [a 6 0 25 ch 0]   arming         -> a 05 26 ch code           (an event answer)
// A channel the unit does not have answers nothing.  Every other request goes to the unit's
// common answers (type, version, event log, ...).
//
// Channel events and credential reports are ordinary event answers in the unit's event log:
//   channel event      04 code ch e          (e: the unit's next event number)
//   credential report  04 code reader k0..k7 (the code in stored order, family code first)

#include "sim/unit_peer.h"

#include "config_tool/model/config_image.h"

#include <cstdint>
#include <map>
#include <optional>
#include <string>

namespace sim {

// Whether units of this type carry channels.
bool IsAnalogType(uint8_t type);

// The kind byte a new channel of a unit of this type answers with: 31 for type 12, 3 for the
// others (both make a channel that repeats a small change only now and then).
uint8_t DefaultChannelKind(uint8_t type);

struct AnalogChannel
{
    uint8_t value = 0;
    uint8_t kind = 0;
    uint8_t arm_code = 0;
};

class AnalogPeer final : public UnitPeer
{
public:
    explicit AnalogPeer(uint8_t type) : type_(type) {}

    // Adds the channel or changes its value; a new channel takes the type's default kind.
    void SetValue(uint8_t channel, uint8_t value);
    bool SetKind(uint8_t channel, uint8_t kind);    // false: no such channel
    bool SetArmCode(uint8_t channel, uint8_t code); // false: no such channel
    std::optional<AnalogChannel> Channel(uint8_t channel) const;
    // How often each request reached a channel (reads by 27 and 57, arming commands).
    struct Counts
    {
        int reads = 0;
        int kind_queries = 0;
        int armings = 0;
    };
    Counts CountsOf(uint8_t channel) const;

    std::optional<Bytes> Answer(UnitAccess& unit, const Bytes& request, int64_t now_us) override;

private:
    struct Entry
    {
        AnalogChannel channel;
        Counts counts;
    };
    uint8_t type_;
    std::map<uint8_t, Entry> channels_;
};

// The event-log bodies (from the answer command on).
Bytes ChannelEventBody(uint8_t code, uint8_t channel, uint8_t number);
Bytes CardReportBody(uint8_t code, uint8_t reader, const model::KeyCode& key);

// --channel ADDR:CH:VALUE[:KIND[:ARM]] (all decimal; KIND 1..254, ARM 0..255).
struct ChannelSpec
{
    uint8_t address = 0;
    uint8_t channel = 0;
    uint8_t value = 0;
    std::optional<uint8_t> kind;
    std::optional<uint8_t> arm_code;
};
std::optional<ChannelSpec> ParseChannelSpec(const std::string& text);

// --channel-event ADDR:CODE:CH (decimal).
struct ChannelEventSpec
{
    uint8_t address = 0;
    uint8_t code = 0;
    uint8_t channel = 0;
};
std::optional<ChannelEventSpec> ParseChannelEventSpec(const std::string& text);

// --card-report ADDR:CODE:READER:KEY16[:DELAY_MS]; KEY16 as the tool shows a code (check
// byte first).
struct CardReportSpec
{
    uint8_t address = 0;
    uint8_t code = 0;
    uint8_t reader = 0;
    model::KeyCode key{};
    uint32_t delay_ms = 0;
};
std::optional<CardReportSpec> ParseCardReportSpec(const std::string& text);

// Applies a channel spec to a bus whose unit at spec.address already carries an AnalogPeer.
// False when it does not.
class Bus;
bool ApplyChannelSpec(Bus& bus, const ChannelSpec& spec);
// Attaches an AnalogPeer to the unit unless it has one.  False for an unknown address or a
// unit that is not of an analog type.
bool EnsureAnalogPeer(Bus& bus, uint8_t address);
// Queues a channel event with the unit's next event number.  False without an AnalogPeer.
bool QueueChannelEvent(Bus& bus, const ChannelEventSpec& spec);

} // namespace sim
