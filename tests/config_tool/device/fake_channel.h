#pragma once
// A scripted command channel: a responder function answers each request, and every request
// and set-up call is recorded for the test to inspect.

#include "config_tool/device/command_channel.h"

#include <functional>
#include <stdexcept>
#include <vector>

namespace device::testing {

class FakeChannel : public CommandChannel
{
public:
    using Responder = std::function<Frame(const Frame& request)>;

    explicit FakeChannel(Responder responder = {}) : responder_(std::move(responder)) {}
    void SetResponder(Responder responder) { responder_ = std::move(responder); }

    void SetComPort(int port) override
    {
        if (throw_on_setup)
            throw std::runtime_error("port cannot be set");
        ports.push_back(port);
    }
    void ReadRegistrySettings() override { ++registry_reads; }
    void SetRetryCount(int n) override { retry_counts.push_back(n); }
    Frame Exchange(const Frame& request) override
    {
        requests.push_back(request);
        if (throw_at >= 0 && static_cast<int>(requests.size()) == throw_at + 1)
            throw std::runtime_error("line failure");
        return responder_ ? responder_(request) : Frame{};
    }

    std::vector<Frame> requests;
    std::vector<int> ports;
    std::vector<int> retry_counts;
    int registry_reads = 0;
    int throw_at = -1; // index of the request that throws, -1 = none
    bool throw_on_setup = false;

private:
    Responder responder_;
};

// An answer with its checksum byte appended (the fake does not check it; the session would).
inline Frame WithCrc(Frame f)
{
    f.push_back(0xCC);
    return f;
}

} // namespace device::testing
