#pragma once
// The bus-driver device and the driver service's automation objects.  Neither exists on
// Linux: opening the device and creating an object report "not installed", so the session
// always works through its transport.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace platform {

class BusDriverDevice
{
public:
    virtual ~BusDriverDevice() = default;
    // Device I/O control: code, input bytes, output buffer size; returns false on failure.
    virtual bool Control(uint32_t code, const std::vector<uint8_t>& in, std::vector<uint8_t>& out) = 0;
};

// Always nullptr here (last error kErrorFileNotFound).
std::unique_ptr<BusDriverDevice> OpenBusDriver(const std::string& device_name);

class AutomationObject
{
public:
    virtual ~AutomationObject() = default;
    virtual bool Call(const std::string& method, const std::string& argument, std::string& result) = 0;
};

// Always nullptr here.
std::unique_ptr<AutomationObject> CreateAutomationObject(const std::string& prog_id);

} // namespace platform
