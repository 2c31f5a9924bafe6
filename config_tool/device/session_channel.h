#pragma once
// The command channel over the real bus session: every exchange is SendCommand(request,
// waitAnswer 1, noAcknowledge 0, 0, 0) followed by a look at Answer.
//
// Threads: the session's owner thread only.

#include "config_tool/device/command_channel.h"

class TRSSession;

namespace device {

class SessionChannel : public CommandChannel
{
public:
    explicit SessionChannel(TRSSession& session) : session_(session) {}

    void SetComPort(int port) override;
    void ReadRegistrySettings() override;
    void SetRetryCount(int n) override;
    Frame Exchange(const Frame& request) override;

private:
    TRSSession& session_;
};

} // namespace device
