#pragma once
// A simulated unit's memory and credentials as a .kconf file, the tool's own file format, so a
// unit can start from a saved configuration and a write by the tool can be checked from
// outside.

#include "sim/bus.h"

#include <string>

namespace sim {

// The model a unit of this type and version shows as: "ВД" for type 10 from version 223 on,
// "КЛВ" otherwise (as the search dialog names them).
std::string ModelName(uint8_t type, uint16_t version);

// Puts the file's image and credentials into the unit.  False (with the reason in error) when
// the unit is unknown or the file is missing, short or of a foreign format; the unit then
// keeps what it held.
bool LoadUnitFile(Bus& bus, uint8_t address, const std::string& path, std::string* error = nullptr);

// Writes the unit to path.  False when the unit is unknown or the file cannot be written.
bool SaveUnitFile(const Bus& bus, uint8_t address, const std::string& path);

// dir/unit-ADDR.kconf
std::string UnitFilePath(const std::string& dir, uint8_t address);

// Every unit into dir; false (with the failed paths in error) when any file failed.
bool DumpUnits(const Bus& bus, const std::string& dir, std::string* error = nullptr);

} // namespace sim
