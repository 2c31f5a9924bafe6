#pragma once
// The bus-driver service, simulated: an XML-RPC server on loopback that serves the service's
// methods with a Bus behind them.  "SendData" decodes the payload, hands the frame to the
// units, and calls the subscriber's data method ("OnMethodData") back when the answer is due,
// over a kept-alive connection of its own with a correct Content-MD5.
//
// Methods: AddMessageSubscriber(ip, port, "Vendax", "OnMethodData", "OnDeviceState") -> id;
// Lines(id) -> one RS232 line; Connected(mac) or Connected(id, mac) -> whether the unit's MAC
// has a subscriber; SendData(mac, hex); Devices(id, line) -> one entry per bus address up to
// the highest unit ({"MAC", "Subscriber"}); DeviceLock, DeleteLine -> nothing;
// DeleteMessageSubscriber(id, ip, port).  The request path may be empty or "/".
//
// It checks what a real service would: every request's Content-MD5, and each call's
// parameters (their number, order and kinds, the subscriber's fixed names, the payload's form
// for the mode).  A call that breaks them gets a fault answer and is counted in
// ProtocolFaults(), so a test can tell a refused call from a unit that did not answer.
//
// MAC mode (payload type 7) addresses the unit by the payload's address byte; COM-line mode
// (comPort not 0, payload type 3) by the MAC's place in the Devices list (DeviceMac).  In
// COM-line mode the line takes lineReadyMs after a subscription to open; "SendData" before
// then is refused.
//
// Its own faults: the device may be reported disconnected for a time ("Connected" false,
// "SendData" refused: SetOffline), and Restart stops the service and starts it again on the
// same port, having forgotten its subscribers and whatever callbacks were still due.
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
#include <optional>
#include <random>
#include <string>
#include <string_view>
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
    int comPort = 0;             // not 0: COM-line mode on this service COM port
    uint32_t lineReadyMs = 1500; // COM-line mode: from a subscription to an open line
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

    // Binds loopback only; false with error set otherwise.  A second Start binds the port of
    // the first.
    bool Start(std::string* error = nullptr);
    void Stop();
    // Stop, forget every subscriber, Start on the same port.
    bool Restart(std::string* error = nullptr);
    // "Connected" answers false, and "SendData" is refused, for the given time from now.
    void SetOffline(std::chrono::milliseconds duration);
    uint16_t Port() const;
    std::string Address() const; // HOST:PORT

    // Writes WORKTYPE and the link's values into the registry file, for the tool to find us.
    bool WriteRegistry(const std::string& path) const;

    // The answer document to one call (exposed for tests).
    std::string HandleCall(const std::string& body);

    // Counters, for tests.
    int SendDataCount() const;
    int CallbackCount() const;
    int SubscribeCount() const;
    // The refused calls (bad digest, parameters of the wrong number, order or kind), one text
    // each.
    std::vector<std::string> ProtocolFaults() const;
    // The answer document to one request as it came, with its Content-MD5 when it had one.
    std::string HandleRequest(std::string_view body, const std::optional<std::string>& digest);

private:
    struct Subscriber
    {
        std::string host;
        uint16_t port = 0;
        std::string dataMethod;
        std::chrono::steady_clock::time_point since;
    };
    struct Callback
    {
        std::chrono::steady_clock::time_point due;
        Subscriber to;
        std::string mac;
        std::string hex;
        bool badDigest = false;
    };
    std::string Record(const std::string& why); // a protocol fault: counted, returned
    std::string Refuse(const std::string& why); // ... as a fault answer
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
    int subscribes_ = 0;
    uint16_t boundPort_ = 0;
    std::chrono::steady_clock::time_point offlineUntil_{};
    std::vector<std::string> protocolFaults_;
    std::thread dispatcher_;
    // The dispatcher's own kept-alive connection (dispatcher thread only).
    std::unique_ptr<platform::TcpConnection> out_;
    std::string outHost_;
    uint16_t outPort_ = 0;
};

} // namespace sim
