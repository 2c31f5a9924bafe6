#pragma once
// TXrpcServer: an XML-RPC server for any standard client.  Requests are read on the TCP
// server's connection threads; each call is then run, one at a time, in the owner's thread
// through the server's owner channel (message 3729), so method handlers need no locks.  The
// owner serves the channel (Channel().ServePending() from its event loop, or WaitServing).
//
// Faults: 1000 method not registered (an item without OnExecute handles nothing), 1001 a
// failure while handling, with the exception's text where it has one (whatever raised it: a
// handler, an event, or writing the answer; also: a body with a NUL, a body shorter than
// announced or larger than 1 MiB, an owner that did not take the call, or did not finish it,
// within the owner wait (the text says which), a server going down), 1002 a request whose
// Content-MD5 is wrong, 1003 and 1004 a malformed "AsyncResult".
//
// Bounds: a head line of 8 KiB, a head of 64 KiB, a body of 1 MiB, 10 s to finish a request,
// 10 s more to write its answer once it is ready, 30 s of idle keep-alive, a cap on
// connections.  The server listens on 127.0.0.1 unless the
// caller binds another address.  TLS is refused: SetActive(true) with SSLEnable fails.
//
// Threads: everything but the connection threads belongs to the owner's thread (the thread
// that constructed the server); the events and handlers run there.  Deactivation (also from a
// handler) and destruction answer every call still waiting for the owner with 1001 and join
// every connection thread, without waiting for the owner; the server may be activated again.

#include "xmlrpc/http_serve.h"
#include "xmlrpc/xrpc_types.h"

#include "platform/owner_channel.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {
class TcpServer;
class TcpConnection;
} // namespace platform

namespace xrpc {

inline constexpr uint32_t kMsgServerCreated = 3728; // sent to itself as construction ends
inline constexpr uint32_t kMsgServerCall = 3729;
inline constexpr int32_t kFaultUnknownMethod = 1000;
inline constexpr int32_t kFaultHandling = 1001;
inline constexpr int32_t kFaultDigest = 1002;
inline constexpr int32_t kFaultAsyncTooFew = 1003;
inline constexpr int32_t kFaultAsyncName = 1004;
inline constexpr const char* kXrpcServerName = " KavexXMLRPC/1.10 (Windows NT) ZEMRA-KAVEX v1.10";

// A call's parameters, one per param element in document order.
using TXrpcParams = std::vector<std::unique_ptr<TXrpcResult>>;
// MethodName, ParametersList, Return, CallerInfoStruct.
using TXrpcMethodEvent =
    std::function<void(const std::string& methodName, const TXrpcParams& params, TXrpcFunction& ret,
                       TXrpcStruct& callerInfo)>;

class TXRMethod
{
public:
    std::string MethodName;
    std::string Name;
    std::string HelpString;
    std::string Signature;
    TXrpcMethodEvent OnExecute;

    // MethodName, or "MethodName" and the index when it is empty.
    std::string DisplayName(int index) const;
    // Copies only MethodName.
    void Assign(const TXRMethod& source) { MethodName = source.MethodName; }
};

struct TXrpcMethodHandler
{
    std::string name;
    TXrpcMethodEvent handler;
    std::string help;
    std::string signature;
};

struct TXrpcServerLimits
{
    std::chrono::milliseconds request{10000};   // to finish a request once begun
    std::chrono::milliseconds idle{30000};      // idle keep-alive
    std::chrono::milliseconds ownerWait{10000}; // for the owner's thread to run a call
    std::chrono::milliseconds answer{10000};    // to write an answer once it is ready
    int maxConnections = 16;
};

// Test hooks; each runs outside the server's lock, in the thread named.
struct TXrpcServerTestHooks
{
    // A connection's thread, once the owner wait for its call has run out.
    std::function<void()> ownerWaitExpired;
    // The owner's thread, when it has taken a finished call's answer to write it.
    std::function<void()> answerTaken;
};

class TXrpcServer
{
public:
    explicit TXrpcServer(TXrpcServerLimits limits = {});
    ~TXrpcServer();
    TXrpcServer(const TXrpcServer&) = delete;
    TXrpcServer& operator=(const TXrpcServer&) = delete;

    // --- published properties
    bool EnableIntrospect = true;
    bool SSLEnable = false;
    std::string SSLRootCertFile, SSLCertFile, SSLKeyFile, SSLKeyFilePassword;
    std::vector<TXRMethod> Methods;

    int ListenPort() const { return listenPort_; }
    // Deactivates, stores, and restores the previous Active state.  0: an ephemeral port.
    void SetListenPort(int port);
    // The address the server binds; "127.0.0.1" unless the caller chooses another.
    const std::string& BindAddress() const { return bindAddress_; }
    void SetBindAddress(const std::string& address);
    bool Active() const;
    // False, with LastError() set, when the server cannot listen (or TLS was asked for).
    bool SetActive(bool on);
    const std::string& LastError() const { return lastError_; }
    // The port really bound (ListenPort 0 gives an ephemeral one); 0 while inactive.
    uint16_t BoundPort() const;

    std::vector<TXrpcMethodHandler>& Handlers() { return handlers_; }
    // Calls the server holds: waiting for the owner, or taken by it and not yet answered.
    size_t HeldCalls() const;
    // True once the server's own channel has served its construction message.
    bool CreationAnnounced() const { return created_; }
    platform::OwnerChannel& Channel() { return channel_; }
    // Set before the server is activated.
    void SetTestHooks(TXrpcServerTestHooks hooks) { testHooks_ = std::move(hooks); }

    // --- events (owner's thread)
    std::function<void(const std::string& methodName, const TXrpcParams& params, TXrpcFunction& ret,
                       TXrpcStruct& callerInfo, const std::string& request)>
        OnBeforeExecute;
    TXrpcMethodEvent OnAfterExecute;
    // AsyncMethodName, ParametersList, Return, CallerInfoStruct.
    TXrpcMethodEvent OnAsyncResult;
    std::function<void(const std::string& xml, TXrpcStruct& callerInfo)> OnReceiveXML;
    std::function<void(const std::string& xml, TXrpcStruct& callerInfo)> OnSendXML;

    // One call in the owner's thread: the request body and the peer -> the answer document.
    std::string HandleCall(std::string_view body, const std::string& peerHost, int peerPort);

    // How the connection threads read requests: the bounds, the answer head, the GET help and
    // the refusals (fault 1001).
    static HttpServeOptions RequestOptions(const TXrpcServerLimits& limits);
    // The answer to a body that is not handed to the owner at all: fault 1002 for a wrong
    // Content-MD5 (compared in upper case), 1001 for a body holding a NUL.
    static std::optional<std::string> RefuseCall(std::string_view body,
                                                 const std::optional<std::string>& digest);

private:
    struct Call;
    void AddIntrospection();
    void StopServing();
    void ServeConnection(platform::TcpConnection& connection);
    CallAnswer WaitForOwner(std::string_view body, const std::string& host, int port,
                            platform::TcpConnection& connection);
    void RunQueuedCall();
    void Execute(const std::string& method, const TXrpcParams& params, TXrpcFunction& ret,
                 TXrpcStruct& info, std::string_view body);

    const TXrpcServerLimits limits_;
    platform::OwnerChannel channel_;
    int listenPort_ = 8080;
    std::string bindAddress_ = "127.0.0.1";
    std::string lastError_;
    bool created_ = false;
    std::vector<TXrpcMethodHandler> handlers_;
    std::unique_ptr<platform::TcpServer> server_;
    TXrpcServerTestHooks testHooks_;

    // Shared with the connection threads.
    mutable std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<std::shared_ptr<Call>> queue_;
    std::vector<std::shared_ptr<Call>> running_; // taken by the owner, handler still running
    int inCall_ = 0; // connection threads between taking a body and writing its answer
    bool stopping_ = false;
};

} // namespace xrpc
