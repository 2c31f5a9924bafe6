#pragma once
// A unit of a special kind on the simulated bus: analog units with channels, relay peers,
// receivers.  The bus keeps each unit's common answers (type, version, memory, credentials,
// event log, ...); a peer attached to a unit sees every request for that unit first and every
// broadcast on the line, and may answer in its own way or leave the request to the common
// answers.
//
// The bus calls a peer with its lock held, from the line thread, and a peer changed from
// elsewhere is changed through Bus::WithPeer() under the same lock, so a peer needs no lock of
// its own.  A peer must not call back into the Bus.

#include "sim/line_handler.h"

#include <cstdint>
#include <optional>

namespace sim {

// The peer's own unit, as far as a peer may see or change it.
class UnitAccess
{
public:
    virtual uint8_t Address() const = 0;
    virtual uint8_t Type() const = 0;
    virtual uint16_t Version() const = 0;
    // Queues an answer body for the event read (from its command on, without address, L and
    // CRC-8; 3 to 253 bytes).  False when the body's size is out of range.
    virtual bool QueueEvent(Bytes body) = 0;
    // The unit's event number for the next event it makes: 1..255, then 1 again.
    virtual uint8_t TakeEventNumber() = 0;

protected:
    ~UnitAccess() = default;
};

class UnitPeer
{
public:
    virtual ~UnitPeer() = default;

    // request: a frame for this unit, decoded, without its CRC-8 (address, L, command, data).
    // Returns nullopt to leave it to the unit's common answers, an empty frame to stay silent,
    // or the answer frame without CRC-8 (address, L, then the body; AnswerFrame() builds one).
    virtual std::optional<Bytes> Answer(UnitAccess& unit, const Bytes& request, int64_t now_us) = 0;

    // A frame for address 0 heard on the line, without its CRC-8.  Broadcasts get no answer.
    virtual void Broadcast(UnitAccess& unit, const Bytes& frame, int64_t now_us)
    {
        (void)unit;
        (void)frame;
        (void)now_us;
    }
};

// Address, L and body: the answer frame without its CRC-8.  body holds 3 to 253 bytes.
inline Bytes AnswerFrame(uint8_t address, const Bytes& body)
{
    Bytes frame{address, static_cast<uint8_t>(body.size() + 2)};
    frame.insert(frame.end(), body.begin(), body.end());
    return frame;
}

} // namespace sim
