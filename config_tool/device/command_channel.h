#pragma once
// The narrow channel through which the device operations talk to one unit: the few session
// operations that the configuration tool uses, nothing more.  The real one is SessionChannel
// (session_channel.h); the tests use a scripted fake.
//
// Threads: the user-interface thread only, like every device operation.

#include <cstdint>
#include <exception>
#include <vector>

namespace device {

using Frame = std::vector<uint8_t>;

class CommandChannel
{
public:
    virtual ~CommandChannel() = default;

    virtual void SetComPort(int port) = 0;
    virtual void ReadRegistrySettings() = 0;
    // Repetitions after the first try: n + 1 tries in all.
    virtual void SetRetryCount(int n) = 0;
    // Sends the request (address, L, key byte, command, data; no checksum) and waits for the
    // answer.  Returns the accepted answer with its checksum as the last byte, or an empty
    // frame when none was accepted.  May throw; the operations treat that as a failed step.
    virtual Frame Exchange(const Frame& request) = 0;
};

// Port set, registry settings read, retry count set: the set-up every operation starts with.
// False when the channel threw; the operation then fails like one whose unit did not answer.
inline bool PrepareChannel(CommandChannel& channel, int port, int retries)
{
    try {
        channel.SetComPort(port);
        channel.ReadRegistrySettings();
        channel.SetRetryCount(retries);
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

} // namespace device
