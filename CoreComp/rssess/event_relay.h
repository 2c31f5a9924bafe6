#pragma once
// Which event answers other units must hear, and the frames that carry them.  Pure: the caller
// gives the source's type and version, the switches and the clock, and posts what comes back.
//
// Sources: type 15 reports to every type-14 unit (command 49, one frame each); a type-16 walk
// unit's events 28 (from version 104) and 32 go to every unit as one command-43 broadcast;
// a type-14 or type-16 unit's event 18 carries a request for another unit, which is forwarded.
// Every frame built here fits a request: L equals its length and it holds at most 255 bytes.

#include "CoreComp/rssess/session_log.h"

#include <array>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

namespace corecomp {

inline constexpr uint8_t kRelayCommand14 = 49; // to a type-14 unit
inline constexpr uint8_t kRelayBroadcastCommand = 43;
inline constexpr size_t kMaxRelayFrame = 255;

struct RelayContext
{
    // Type code and firmware version of an address 1..127.
    std::function<uint16_t(int address)> typeOf;
    std::function<uint32_t(int address)> versionOf;
    bool noTranslateWalk = false;
    CivilTime now{};
    // The walk broadcast's sequence number, taken once per broadcast that gets built.
    std::function<uint8_t()> nextSequence;
    uint8_t* relayCounter = nullptr; // grows by 1 for every type-15 event
};

struct RelayResult
{
    std::vector<std::vector<uint8_t>> frames; // requests without their CRC-8, in order
    bool forwarded = false;                   // the last frame is a forwarded request
};

RelayResult BuildRelayFrames(std::span<const uint8_t> answer, const RelayContext& context);

} // namespace corecomp
