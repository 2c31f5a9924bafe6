#pragma once
// The published 1-Wire CRC-8 (reflected polynomial 0x8C), table driven with initial value 0.
// Credential codes and the PIN check use it as it is; the bus frame table of the session is
// derived from it (one entry differs) and lives with the session.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace platform {

constexpr std::array<uint8_t, 256> MakeCrc8OneWireTable()
{
    std::array<uint8_t, 256> t{};
    for (int i = 0; i < 256; ++i) {
        uint8_t crc = static_cast<uint8_t>(i);
        for (int b = 0; b < 8; ++b)
            crc = (crc & 1) ? static_cast<uint8_t>((crc >> 1) ^ 0x8C) : static_cast<uint8_t>(crc >> 1);
        t[static_cast<size_t>(i)] = crc;
    }
    return t;
}

inline constexpr std::array<uint8_t, 256> kCrc8OneWireTable = MakeCrc8OneWireTable();
static_assert(kCrc8OneWireTable[249] == 0xE8);

constexpr uint8_t Crc8WithTable(const std::array<uint8_t, 256>& table, std::span<const uint8_t> data)
{
    uint8_t crc = 0;
    for (uint8_t b : data)
        crc = table[crc ^ b];
    return crc;
}

constexpr uint8_t Crc8OneWire(std::span<const uint8_t> data)
{
    return Crc8WithTable(kCrc8OneWireTable, data);
}

} // namespace platform
