#pragma once
// The scan of a line for units: addresses 127, then 1 to 125 (126 is never asked), one try
// per request, the type query and then the version query.  A unit is listed only when both
// answers allow a line for it, so listed units and dialog lines always pair one to one.
//
// Threads: the user-interface thread only.  The observer's Serve() runs the event queue between
// addresses; Stop() may be called from inside it.

#include "config_tool/device/command_channel.h"

#include <cstdint>
#include <string>
#include <vector>

namespace device {

struct FoundUnit
{
    uint8_t address = 0;
    uint8_t type = 0;
    uint16_t version_word = 0;  // carried by the type answer; shown in the line
    uint8_t version_byte = 0;   // low byte of an accepted version answer, 0 without one
    bool klv_line = false;      // listed with the keypad-model line (type 10, 2.20 to 2.22)
};

class ScanObserver
{
public:
    virtual ~ScanObserver() = default;
    virtual void AddressStarted(int address) = 0;
    virtual void UnitListed(const FoundUnit& unit) = 0;
    // After each address while exactly one unit is listed.
    virtual void SelectFirstLine() = 0;
    virtual void Serve() = 0;
};

struct AcceptedUnit
{
    bool accepted = false;
    uint8_t address = 0;
    std::string model; // "КЛВ" or "ВД"
};

class BusScan
{
public:
    explicit BusScan(CommandChannel& channel) : channel_(channel) {}

    // Runs the whole scan unless stopped; the list starts empty.
    void Run(int port, ScanObserver& observer);
    void Stop() { scanning_ = false; }
    bool Scanning() const { return scanning_; }
    void Clear() { units_.clear(); }
    const std::vector<FoundUnit>& Units() const { return units_; }

    // The unit of a selected line (-1 = none), if the tool supports it.
    AcceptedUnit Accept(int line) const;

    // Addresses in scan order.
    static std::vector<int> ScanOrder();

private:
    void Visit(uint8_t address, ScanObserver& observer);

    CommandChannel& channel_;
    std::vector<FoundUnit> units_;
    bool scanning_ = false;
};

// 222 -> "2.22", 203 -> "2.03".
std::string VersionText(uint16_t version);

} // namespace device
