#pragma once
// TfrRPC: the link to the bus-driver service.  It subscribes to the service, sends each bus
// request frame to a device with "SendData", and takes the device's answer from the service's
// "OnMethodData" call to the link's own HTTP server (IdServer).
//
// Payloads (hex, two upper-case digits a byte):
//   MAC mode:      L+7, 07, counter lo, counter hi, address, 00 x5, command, data
//   COM-line mode: L+1, 03, counter lo, counter hi, command, data
// The packet counter advances with every request.  An answer is taken only while a request
// is in flight and only with that request's counter; anything else is dropped and logged
// without ending the wait, so a late answer can never stand for the next request's.  An
// answer's length byte L says how much of it counts: bytes after L are ignored, an answer
// shorter than L is refused.
//
// A service that does not answer costs one call time-out, not one for every exchange: once a
// call finds it unreachable (no connection, no answer in time), every further call fails at
// once until a try is due, and so does Connect after a failed Connect.  Tries are spaced
// (retryFirst, doubling up to retryMost); the first call or Connect that succeeds ends the
// spacing, so a service that comes back is used again at the next try.
//
// COM-line mode gives the service's line time to settle (settle, 2000 ms) after "Lines"
// before the link counts as subscribed.
//
// Threads: Connect, Disconnect, IsConnected, SendFrame and the reply accessors belong to one
// thread (the session's).  The callbacks run on IdServer's connection threads; they share
// the busy flag, the expected counter and the pending reply with SendFrame under one mutex,
// and a condition variable wakes the waiting SendFrame at once.  SendFrame blocks: it takes
// no user input while it waits.

#include "xmlrpc/xrpc_client.h"
#include "xmlrpc/xrpc_server.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {
class RegistryFile;
class TcpConnection;
class TcpServer;
} // namespace platform

namespace xrpc {

// What the session's XML-RPC transport needs of a link: bus frames out, replies in.
class TBusLink
{
public:
    virtual ~TBusLink() = default;
    virtual bool Connect() = 0;
    virtual void Disconnect() = 0;
    virtual bool IsConnected() = 0;
    virtual bool IsBusy() = 0;
    // frame: address (bit 7 clear), L, key byte, command, data; exactly L bytes, no CRC.
    virtual bool SendFrame(const std::vector<uint8_t>& frame) = 0;
    virtual bool HasReply() = 0;
    // address, length byte, answer command, data; no CRC.  It stays until ClearReply or the
    // next SendFrame.
    virtual std::vector<uint8_t> GetReply() = 0;
    virtual void ClearReply() = 0;
};

inline constexpr const char* kLinkKey = "\\SOFTWARE\\KAVEX\\Vendax";
inline constexpr uint16_t kDefaultClientPort = 8080;
inline constexpr uint16_t kDefaultDriverPort = 8081;
inline constexpr size_t kMinMacPayload = 10;
inline constexpr size_t kMinComLinePayload = 4;
inline constexpr int32_t kFaultHandler = 1001;

struct TLinkSettings
{
    std::string clientIp = "127.0.0.1";
    uint16_t clientPort = kDefaultClientPort; // 0: an ephemeral port
    std::string driverIp = "127.0.0.1";
    uint16_t driverPort = kDefaultDriverPort;
    std::string mac = "000000000000";
    int comPort = 0; // not 0: COM-line mode
    // Kept, not used by the link.
    std::string ethernetIp = "192.168.0.1";
    uint16_t ethernetPort = 2048;
    int linePort = 2048;
    int protoType = 1;
};

TLinkSettings ReadLinkSettings(platform::RegistryFile& registry);
// Only 0-9, A-F, a-f, in upper case, padded with "0" to 12 characters.
std::string NormalizeMac(std::string_view text);
// "COM3" (any case) -> 3; anything else -> 0.
int ParseComPort(std::string_view text);
// Pairs of hexadecimal digits, up to the first pair that is not one.
std::vector<uint8_t> DecodeHex(std::string_view text);
std::string EncodeHex(const std::vector<uint8_t>& bytes);
// The "SendData" payload of a request frame; nullopt when the frame's L is below 4, beyond the
// frame, or too large for the payload's length byte.
std::optional<std::vector<uint8_t>> BuildPayload(const std::vector<uint8_t>& frame, bool comLine,
                                                 uint16_t counter);

struct TLinkTimeouts
{
    std::chrono::milliseconds reply{2000};      // SendFrame's wait for the answer
    std::chrono::milliseconds connect{2000};    // Connect's wait for "Connected"
    std::chrono::milliseconds disconnect{1000}; // Disconnect's wait for "Connected" to end
    std::chrono::milliseconds step{10};
    std::chrono::milliseconds call{5000};     // one service call, connect and answer
    std::chrono::milliseconds request{10000}; // IdServer: to finish a request once begun
    std::chrono::milliseconds idle{30000};    // IdServer: idle keep-alive
    std::chrono::milliseconds settle{2000};   // COM-line mode: after "Lines", before use
    std::chrono::milliseconds retryFirst{1000}; // an unreachable service: the first new try
    std::chrono::milliseconds retryMost{30000}; // ... and the longest spacing of tries
};

// Tries spaced after failures: the first failure makes the next try due after `first`, each
// further failure doubles the wait up to `most`; a success ends the spacing.
class TRetrySpacing
{
public:
    using Clock = std::chrono::steady_clock;
    TRetrySpacing(std::chrono::milliseconds first, std::chrono::milliseconds most)
        : first_(first), most_(most)
    {
    }
    bool Due(Clock::time_point now) const { return !failing_ || now >= next_; }
    void Failed(Clock::time_point now)
    {
        delay_ = failing_ ? std::min(delay_ * 2, most_) : first_;
        failing_ = true;
        next_ = now + delay_;
    }
    void Succeeded() { failing_ = false; }
    bool Failing() const { return failing_; }
    // When the next try is due (meaningful while failing).
    Clock::time_point Next() const { return next_; }
    std::chrono::milliseconds Delay() const { return delay_; }

private:
    const std::chrono::milliseconds first_, most_;
    std::chrono::milliseconds delay_{0};
    bool failing_ = false;
    Clock::time_point next_{};
};

// One line of the service's "Lines" answer.
struct TLineRecord
{
    uint8_t kind = 0; // 0 "RS232", 1 otherwise
    int32_t id = 0;
    int32_t port = 0;
    int32_t comSpeed = 0;
    bool autoLine = false;
};

class TfrRPC : public TBusLink
{
public:
    explicit TfrRPC(platform::RegistryFile& registry, TLinkTimeouts timeouts = {},
                    std::string logPath = "logzemra21.txt");
    ~TfrRPC() override;
    TfrRPC(const TfrRPC&) = delete;
    TfrRPC& operator=(const TfrRPC&) = delete;

    bool Connect() override;
    void Disconnect() override;
    bool IsConnected() override;
    bool IsBusy() override;
    bool SendFrame(const std::vector<uint8_t>& frame) override;
    bool HasReply() override;
    std::vector<uint8_t> GetReply() override;
    void ClearReply() override;

    bool Subscribed() const { return subscribed_; }
    bool ErrorFlag() const { return errorFlag_; }
    const std::string& ErrorText() const { return errorText_; }
    const TLinkSettings& Settings() const { return settings_; }
    // The port IdServer listens on (the one announced to the service); 0 while down.
    uint16_t ServerPort() const;
    uint16_t PacketCounter() const;
    // While the service is unreachable or Connect has failed: when the next try is due
    // (else now).
    std::chrono::steady_clock::time_point NextTry() const;
    bool ServiceUnreachable() const { return reach_.Failing(); }
    TXrpcClient& Client() { return client_; }
    // The frame's XML-RPC server: port 8080, introspection on, never activated by the link.
    TXrpcServer& Server() { return xrpcServer_; }
    std::function<void(const TLineRecord&)> OnLine;

    // IdServer's answer to one call body; digest is the request's Content-MD5 when it had
    // one.  Runs on a connection thread.
    std::string HandleCall(std::string_view body, const std::optional<std::string>& digest);

private:
    IXrpcResult Call(const std::string& method, const std::function<void(TXrpcFunction&)>& fill);
    void Reset();
    bool ConnectNow();
    bool StartServer();
    void StopServer();
    void ServeConnection(platform::TcpConnection& connection);
    void OnMethodData(const std::string& mac, const std::string& hex);
    void OnDeviceState(int32_t state, int32_t value, const std::string& mac);
    void Log(const std::string& text);
    std::optional<std::string> MacOf(uint8_t address) const;
    void ReadDevices(int32_t lineId);
    bool IsConnectedMac();

    platform::RegistryFile& registry_;
    const TLinkTimeouts timeouts_;
    const std::string logPath_;
    TXrpcClient client_;
    TXrpcServer xrpcServer_;
    std::unique_ptr<platform::TcpServer> server_;
    TLinkSettings settings_;

    // The session's thread only.
    bool subscribed_ = false;
    bool serviceSubscription_ = false;
    bool errorFlag_ = false;
    std::string errorText_;
    std::string subscriberId_;
    uint16_t announcedPort_ = 0; // the port the service was told to call back
    int32_t lineId_ = 0;
    bool lineCreated_ = false;
    std::map<uint8_t, std::vector<std::vector<uint8_t>>> storedAnswers_;
    TRetrySpacing reach_;    // service calls
    TRetrySpacing connect_;  // Connect

    // Shared with the connection threads.
    mutable std::mutex mutex_;
    std::condition_variable replied_;
    bool comLine_ = false;
    bool busy_ = false;
    uint16_t counter_ = 0;
    uint16_t expected_ = 0;
    std::vector<uint8_t> pending_;
    std::chrono::steady_clock::time_point lastSend_{}, lastReceive_{};
    std::string lastDeviceMac_;
    std::vector<std::string> devices_; // COM-line mode: index n-1 is bus address n
};

} // namespace xrpc
