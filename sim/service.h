#pragma once
// The bus-driver service, simulated: an XML-RPC server on loopback that serves the service's
// methods with a Bus behind them.  "SendData" decodes the payload, hands the frame to the
// units, and calls the subscriber's "OnMethodData" back when the answer is due, over a
// kept-alive connection of its own with a correct Content-MD5.
//
// Methods: AddMessageSubscriber(ip, port, name, dataMethod, stateMethod) -> id;
// Lines(id) -> one RS232 line; Connected(mac) or Connected(id, mac) -> whether the unit's MAC
// has a subscriber; SendData(mac, hex); Devices(id, line) -> one entry per bus address up to
// the highest unit ({"MAC", "Subscriber"}); DeviceLock, DeleteLine -> nothing;
// DeleteMessageSubscriber(id, ip, port).  The request path may be empty or "/".
//
// MAC mode (payload type 7) addresses the unit by the payload's address byte; COM-line mode
// (type 3) by the MAC's place in the Devices list (DeviceMac).
//
// Threads: Start and Stop from the owner; calls are served on one thread per connection and
// callbacks are made from one dispatcher thread.

#include "sim/bus.h"

#include <array>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace platform {
class TcpServer;
class TcpConnection;
} // namespace platform

namespace sim {

// Ways to spoil a callback.  The first that fires wins.
enum class ServiceFault {
    NoCallback, // the answer is never called back
    BadDigest,  // the callback carries a wrong Content-MD5
    Late,       // the callback comes late_ms after it was due
    Early,      // the callback comes before the "SendData" response
    Foreign,    // a callback with a foreign packet counter (and other bytes) comes first
};
inline constexpr int kServiceFaultKinds = 5;

struct ServiceOptions
{
    std::string host = "127.0.0.1";
    uint16_t port = 0; // 0: an ephemeral port
    std::string mac = "001A2B3C4D5E";
    uint32_t late_ms = 2500;
    uint32_t seed = 1;
    std::array<FaultRule, kServiceFaultKinds> faults{};
};

// The MAC the service lists for bus address n in COM-line mode.
std::string DeviceMac(uint8_t address);

class ServiceServer
{
public:
    ServiceServer(Bus& bus, ServiceOptions options);
    ~ServiceServer();
    ServiceServer(const ServiceServer&) = delete;
    ServiceServer& operator=(const ServiceServer&) = delete;

    // Binds loopback only; false with error set otherwise.
    bool Start(std::string* error = nullptr);
    void Stop();
    uint16_t Port() const;
    std::string Address() const; // HOST:PORT

    // Writes WORKTYPE and the link's values into the registry file, for the tool to find us.
    bool WriteRegistry(const std::string& path) const;

    // The answer document to one call (exposed for tests).
    std::string HandleCall(const std::string& body);

    // Counters, for tests.
    int SendDataCount() const;
    int CallbackCount() const;

private:
    struct Subscriber
    {
        std::string host;
        uint16_t port = 0;
    };
    struct Callback
    {
        std::chrono::steady_clock::time_point due;
        Subscriber to;
        std::string mac;
        std::string hex;
        bool badDigest = false;
    };
    std::string SendData(const std::string& mac, const std::string& hex);
    std::optional<ServiceFault> DrawFault();
    void Queue(Callback callback);
    bool Deliver(const Callback& callback);
    void DispatchLoop();

    Bus& bus_;
    const ServiceOptions options_;
    std::unique_ptr<platform::TcpServer> server_;

    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::map<std::string, Subscriber> subscribers_;
    int nextSubscriber_ = 1;
    std::array<FaultRule, kServiceFaultKinds> faults_;
    std::mt19937 random_;
    std::multimap<std::chrono::steady_clock::time_point, Callback> queue_;
    bool stop_ = false;
    int sendData_ = 0;
    int callbacks_ = 0;
    std::thread dispatcher_;
    // The dispatcher's own kept-alive connection (dispatcher thread only).
    std::unique_ptr<platform::TcpConnection> out_;
    std::string outHost_;
    uint16_t outPort_ = 0;
};

} // namespace sim
