#include "config_tool/device/session_channel.h"

#include "CoreComp/rssess/rs_session.h"

namespace device {

void SessionChannel::SetComPort(int port) { session_.SetComPort(port); }

void SessionChannel::ReadRegistrySettings() { session_.ReadRegistrySettings(); }

void SessionChannel::SetRetryCount(int n) { session_.SetRetryCount(static_cast<uint16_t>(n)); }

Frame SessionChannel::Exchange(const Frame& request)
{
    if (!session_.SendCommand(request, true, false, 0, 0))
        return {};
    return session_.Answer();
}

} // namespace device
