#pragma once
// Units that take part in the event relay of a polling session: walk units (types 4 and 16)
// whose passages other units must hear, report units (type 15) whose events go to every
// receiver (type 14), and receivers, which take those reports and may carry a request for
// another unit inside event 18.
//
// Frames (hex, CRC-8 omitted; a = address, n = the unit's event number, 1..255):
//   walk event      a 10 04 e n 01 01 a n 00 00 00 00 00 00 00
//                   e the event (20 a passage, 1C an extended passage on type 16 from
//                   version 104); the point (01), a passage flag (01), the unit and the number
//                   again, five bytes of passage data and a marker 00 00 (FF FF would mean
//                   "not for the others").  17 bytes with the CRC-8.
//   report event    a 06 04 e n 00                        (type 15, or any unit)
//   event 18        a L 0E 12 n d c x..                   carries the request "c x.." for
//                                                         unit d; nothing follows the request
//   31 k e b s ..   -> a 06 32 k e s                      a receiver takes a relayed report
//                                                         (k the relay counter, e the event,
//                                                         s its source) and confirms it
// A walk broadcast (address 0, command 2B) and every other broadcast is kept by every peer
// that hears it; a receiver also keeps every report it took.  Requests the peer does not know
// go to the unit's common answers.
//
// A peer lives under the bus lock (unit_peer.h); read what it kept through Bus::WithPeer().

#include "sim/bus.h"
#include "sim/unit_peer.h"

#include <cstdint>
#include <vector>

namespace sim {

inline constexpr uint8_t kRelayReport = 0x31;    // to a receiver: a report of a type-15 unit
inline constexpr uint8_t kRelayConfirm = 0x32;   // the receiver's answer
inline constexpr uint8_t kWalkBroadcast = 0x2B;  // to every unit: a passage
inline constexpr uint8_t kWalkPassage = 0x20;    // event 32
inline constexpr uint8_t kWalkPassageExt = 0x1C; // event 28
inline constexpr uint8_t kCarriedRequest = 0x12; // event 18 on answer command 0E

// Relay peers exist for these unit types.
bool IsRelayType(uint8_t type);

// The bodies as queued (from the answer command on, without address, L and CRC-8).
Bytes WalkEventBody(uint8_t address, uint8_t event, uint8_t number);
Bytes ReportEventBody(uint8_t event, uint8_t number);
// request: command and data for the destination (1 to 249 bytes).
Bytes CarriedRequestBody(uint8_t number, uint8_t destination, const Bytes& request);

// Queue one event of that form with the unit's next event number.  False when it does not fit
// (a carried request of 0 or more than 249 bytes, or a destination outside 1..127).
bool QueueWalkEvent(UnitAccess& unit, uint8_t event);
bool QueueReportEvent(UnitAccess& unit, uint8_t event);
bool QueueCarriedRequest(UnitAccess& unit, uint8_t destination, const Bytes& request);

class RelayPeer final : public UnitPeer
{
public:
    std::optional<Bytes> Answer(UnitAccess& unit, const Bytes& request, int64_t now_us) override;
    void Broadcast(UnitAccess& unit, const Bytes& frame, int64_t now_us) override;

    // Reports a receiver took (the requests without CRC-8), in order.
    const std::vector<Bytes>& Reports() const { return reports_; }
    // Broadcasts heard (without CRC-8), in order.
    const std::vector<Bytes>& Broadcasts() const { return broadcasts_; }

private:
    std::vector<Bytes> reports_;
    std::vector<Bytes> broadcasts_;
};

// Gives every unit of a relay type that carries no peer yet a RelayPeer; a type-4 unit, which
// also carries channels, gets its analog peer (analog_unit.h), which serves its walk events.
void AttachRelayPeers(Bus& bus);

// An event a unit makes some time after the start (t4700-sim's --walk, --forward, --event).
struct TimedEventSpec
{
    enum class Kind {
        Walk,    // a walk event with code `event`
        Forward, // event 18 carrying `bytes` (command and data) for `destination`
        Body,    // `bytes` queued as they stand (from the answer command on)
    };
    Kind kind = Kind::Body;
    uint8_t address = 0;
    uint8_t event = 0;
    uint8_t destination = 0;
    Bytes bytes;
    uint32_t delay_ms = 0;
};

// Queues the event at its unit now.  A walk event or a carried request needs a unit with a
// peer (the event number is the unit's); false when there is none or the event does not fit.
bool QueueTimedEvent(Bus& bus, const TimedEventSpec& spec);

} // namespace sim
