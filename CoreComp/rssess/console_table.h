#pragma once
// The consoles of a console line and their sub-devices, as the session keeps them, and the
// records that travel with the reports 25, 26, 27 and 40.  Record layouts (little-endian):
//   console record, kConsoleRecordSize bytes: address, type, version, state, active, request
//     number, sequence, key; 127 sub-device entries of 8 bytes (flags, address, type, version
//     32-bit, changed); pending-events mark, awaiting-type mark, found flag;
//   26 and 27: [sub-device index] [console record] [time, 8-byte double, days];
//   40: [console record] [sub-device index] [1];
//   25: [console] [2] [sub-device index] [code] [time, 8-byte double] [1 shl 16 + console, 32-bit].

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace corecomp {

struct SubDevice
{
    uint8_t flags = 0; // bit 0, bit 1: the two maps; bit 4: type and version known
    uint8_t address = 0;
    uint8_t type = 0;
    uint32_t version = 0;
    uint8_t changed = 0;
};

struct ConsoleRecord
{
    uint8_t address = 0; // 0 until found
    uint8_t type = 0;
    uint8_t version = 0;
    uint8_t state = 0; // 0 away, 1 present, 2 present with status bit 7
    uint8_t active = 0;
    uint8_t requestNumber = 1;
    uint8_t sequence = 0;
    uint8_t key = 0;
    std::array<SubDevice, 128> subs{}; // 1..127
    uint8_t pendingEvents = 0;
    uint8_t awaitingType = 0;
    uint8_t found = 0;
};

inline constexpr size_t kConsoleRecordSize = 8 + 127 * 8 + 3;

// Counted result codes: 1..7, 101..104, 110..112.
inline constexpr bool IsCountedCode(int code)
{
    return (code >= 1 && code <= 7) || (code >= 101 && code <= 104) || (code >= 110 && code <= 112);
}

struct ConsoleStatistics
{
    uint32_t probe = 0; // bit 0 asks for a probe
    uint32_t consecutiveFailures = 0;
    uint32_t polls = 0;
    uint32_t failedPolls = 0;
    std::array<uint32_t, 113> codes{}; // by code; only the counted ones move
    double lastGood = 0;               // days; 0 until the first good answer
    uint64_t lastGoodTick = 0;         // monotonic ms of it
    void Count(int code)
    {
        if (IsCountedCode(code))
            ++codes.at(static_cast<size_t>(code));
    }
};

std::vector<uint8_t> ConsoleRecordBytes(const ConsoleRecord& c);
std::optional<ConsoleRecord> ConsoleRecordFromBytes(std::span<const uint8_t> bytes);

std::vector<uint8_t> ConsoleReport(uint8_t subIndex, const ConsoleRecord& c, double time);
std::vector<uint8_t> ConsoleListReport(const ConsoleRecord& c, uint8_t subIndex);
std::vector<uint8_t> ZoneMarkReport(uint8_t console, uint8_t subIndex, uint8_t code, double time);

} // namespace corecomp
