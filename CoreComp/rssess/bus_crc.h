#pragma once
// The bus CRC-8: the published 1-Wire table in every entry but 249, which holds 0xFC (not
// 0xE8), as every unit on the bus computes it.  Initial value 0.

#include "platform/crc8.h"

#include <array>
#include <cstdint>
#include <span>

namespace corecomp {

constexpr std::array<uint8_t, 256> MakeBusCrcTable()
{
    std::array<uint8_t, 256> t = platform::kCrc8OneWireTable;
    t[249] = 0xFC;
    return t;
}

inline constexpr std::array<uint8_t, 256> kBusCrcTable = MakeBusCrcTable();

constexpr uint8_t BusCrc8(std::span<const uint8_t> data)
{
    return platform::Crc8WithTable(kBusCrcTable, data);
}

} // namespace corecomp
