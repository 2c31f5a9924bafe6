#include "platform/bus_driver.h"

#include "platform/last_error.h"

namespace platform {

std::unique_ptr<BusDriverDevice> OpenBusDriver(const std::string&)
{
    SetLastError(kErrorFileNotFound);
    return nullptr;
}

std::unique_ptr<AutomationObject> CreateAutomationObject(const std::string&)
{
    SetLastError(kErrorFileNotFound);
    return nullptr;
}

} // namespace platform
