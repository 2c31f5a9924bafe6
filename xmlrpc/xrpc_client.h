#pragma once
// TXrpcClient: one XML-RPC call at a time over one kept-alive TCP connection, with a
// hand-built HTTP/1.1 request, the answer's Content-MD5 checked and the answer parsed into a
// result.  Failures are error results, never exceptions (unless SetPropagate(true)):
//   600  no answer (connection failed, no length, length 0, time-out, oversized body, ...)
//   601  an answer that is no XML-RPC document
//   1002 an answer whose Content-MD5 is present and wrong (the connection is closed)
// A missing Content-MD5 is accepted.  SSLEnable makes every call fail with an error result:
// this system carries no TLS, and never falls back to plain text.
//
// Bounds: every answer must be complete within ReadTimeout of the request, its body no larger
// than MaxAnswerBody; a violation closes the connection.  A request is repeated at most once,
// and only on a kept-alive connection that failed before any answer byte came; with
// SetRepeatAfterSend(false) it is repeated only when it could not be written at all.
//
// Asynchronous calls (ASYNC on) get a new GUID (LastGuid) and are queued for the client's
// worker thread, which runs them one after another holding the client's lock across setting
// Host and Port and the exchange, so a synchronous call never shares the connection with it.
// Results reach the owner through the client's owner channel, in call order: message 3730
// (OnGetASYNCHResult, OnGetASYNCHResultPlus, and the result store when in use), failures first
// as 3732 (OnError).  The result of an asynchronous call is left empty.
//
// Threads: the owner is the thread that constructed the client; it serves Channel() (from its
// event loop, or WaitServing), and the events of asynchronous calls run there.  Synchronous
// calls may come from any thread, one at a time; their events run in the caller's thread.

#include "xmlrpc/xml_storage.h"
#include "xmlrpc/xrpc_types.h"

#include "platform/owner_channel.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace platform {
class TcpConnection;
class SocketError;
} // namespace platform

namespace xrpc {

inline constexpr int32_t kErrorEmptyResponse = 600;
inline constexpr int32_t kErrorInvalidPayload = 601;
inline constexpr int32_t kErrorBadDigest = 1002;
inline constexpr uint32_t kMsgAsyncResult = 3730;
inline constexpr uint32_t kMsgOwnerExchange = 3731;
inline constexpr uint32_t kMsgAsyncError = 3732;
inline constexpr int kErrIdConnect = 20001; // connect failed, or the peer closed
inline constexpr int kErrIdConnectTimeout = 2003;
inline constexpr size_t kMaxAsyncPending = 1000;

// The code of a failed asynchronous call (OnError's errId, the result's error code): 2003 for
// a connect that timed out, 20001 for any other failed connect or a peer that closed, the
// socket's code for any other socket failure, and for a failure that is no socket's the
// thread's last system error; where the failure left none (a malformed or oversized answer,
// which no system call reported), 600, so that a failure never carries the code 0.
int AsyncErrorId(const platform::SocketError& error, bool inConnect);
int AsyncErrorId(bool inConnect);

class TXrpcClient
{
public:
    TXrpcClient();
    ~TXrpcClient();
    TXrpcClient(const TXrpcClient&) = delete;
    TXrpcClient& operator=(const TXrpcClient&) = delete;

    // --- published properties
    std::string EndPoint = "/xml-rpc";
    bool SSLEnable = false;
    std::string SSLRootCertFile, SSLCertFile, SSLKeyFile;
    const std::string& LastGuid() const { return lastGuid_; }

    std::function<void(const std::string& xml)> OnSendXML;
    std::function<void(const std::string& xml)> OnReceiveXML;
    std::function<void(const IXrpcFunction& value, bool async, const std::string& host, int port)>
        OnBeforeExecute;
    // error: the failure's text (the report carries no exception object); guid all zero for a
    // synchronous call; errId 0.
    std::function<void(const std::string& error, const std::string& guid,
                       const std::string& methodName, const std::string& host, int port, int errId)>
        OnError;

    // Asynchronous results: guid, MethodName, HostName, AResult (tagged with the port).
    std::function<void(const std::string& guid, const std::string& methodName,
                       const std::string& host, const IXrpcResult& result)>
        OnGetASYNCHResult;
    std::function<void(TXrpcClient& owner, const std::string& guid, const std::string& methodName,
                       const std::string& host, const IXrpcResult& result, int port)>
        OnGetASYNCHResultPlus;
    // A result delivered by the store: its GUID (acknowledge it with Storage().Acknowledge),
    // the client it came from and the answer's text.
    std::function<void(const std::string& guid, const std::string& host, int port,
                       const std::string& text)>
        OnGetStorASYNCHResult;

    // Asynchronous results are kept in the store, and delivered from it, while this is on.
    void SetUseStorage(bool on) { useStorage_ = on; }
    TXMLStorage& Storage() { return storage_; }
    platform::OwnerChannel& Channel() { return channel_; }
    // True while an asynchronous call is queued or running.
    bool AsyncBusy() const;
    // Message 3731: Exchange run in the owner's thread; from the owner a direct call.  The
    // answer, or empty when it failed or the owner is gone.
    std::string ExchangeInOwner(const std::string& body);

    // Copies, read under the lock that guards them: the worker rewrites them for every
    // asynchronous call.
    std::string Host() const;
    int Port() const;
    // A new value while connected closes the connection first.
    void SetHost(const std::string& host);
    void SetPort(int port);

    // --- switches
    void SetPropagate(bool on) { propagate_ = on; }
    void SetReadTwoMore(bool on) { readTwoMore_ = on; }
    void SetRepeatAfterSend(bool on) { repeatAfterSend_ = on; }
    void SetConnectTimeout(std::chrono::milliseconds t) { connectTimeout_ = t; }
    void SetReadTimeout(std::chrono::milliseconds t) { readTimeout_ = t; }
    void SetMaxAnswerBody(size_t bytes) { maxAnswerBody_ = bytes; }
    // Asynchronous calls queued, running or with a result not yet delivered to the owner; a
    // call past it is refused with error 600 and OnError, and nothing is queued.
    void SetMaxAsyncPending(size_t calls) { maxAsyncPending_ = calls; }
    bool Connected() const;

    // Runs one call; takes the function over and clears it afterwards.  With host and port
    // given (port not 0, host not empty), Host, Port and EndPoint become them, EndPoint even
    // when endpoint is empty (the request path is then empty).  An ASYNC call is queued for
    // the given host, port and endpoint (those not given: the client's own) and returns at
    // once with result empty.
    void Execute(const IXrpcFunction& function, bool async, IXrpcResult& result,
                 const std::string& endpoint = "", int port = 0, const std::string& host = "");
    void ExecuteXML(const std::string& xml, bool async, IXrpcResult& result,
                    const std::string& endpoint = "", const std::string& methodName = "",
                    int port = 0, const std::string& host = "");

    // The HTTP exchange: the answer body, empty when the answer had no length or length 0.
    // Raises platform::SocketError and EXrpcError (bad digest, oversized body, long line).
    std::string Exchange(const std::string& body);

    void Disconnect();

private:
    struct AsyncCall
    {
        std::string host;
        int port = 0;
        std::string endpoint;
        std::string request;
        std::string methodName;
        std::string guid;
        bool store = false;
    };
    struct AsyncOutcome
    {
        AsyncCall call;
        std::string answer;
        std::string error; // empty on success
        int errId = 0;
    };
    void Report(const std::string& error, const std::string& method, const std::string& host,
                int port);
    // connectFailed: set when the failure that leaves it came from the connect.
    std::string ExchangeWith(const std::string& body, const std::string& endpoint,
                             bool& connectFailed);
    std::string ExchangeOnce(const std::string& body, const std::string& endpoint,
                             bool& answerStarted, bool& sent);
    void Worker();
    void RunAsync(const AsyncCall& call);
    intptr_t OnOwnerMessage(const platform::OwnerMessage& message);
    void DeliverAsync(AsyncOutcome outcome);

    std::string host_ = "127.0.0.1";
    int port_ = 8080;
    std::string lastGuid_;
    std::unique_ptr<platform::TcpConnection> connection_;
    std::string connectedHost_;
    int connectedPort_ = 0;
    mutable std::recursive_mutex lock_;
    // host_, port_ and EndPoint are written under both locks (EndPoint by the client itself;
    // the owner sets it only while no call is made), so either lock suffices to read them.
    mutable std::mutex addressMutex_;
    bool propagate_ = false;
    bool readTwoMore_ = false;
    bool repeatAfterSend_ = true;
    std::chrono::milliseconds connectTimeout_{5000};
    std::chrono::milliseconds readTimeout_{10000};
    size_t maxAnswerBody_;
    size_t maxAsyncPending_ = kMaxAsyncPending;

    // The owner's side.
    platform::OwnerChannel channel_;
    TXMLStorage storage_;
    bool useStorage_ = false;

    // Shared with the worker thread, under queueMutex_ (its own, so that queuing a call never
    // waits for an exchange in flight).
    mutable std::mutex queueMutex_;
    std::condition_variable queueCv_;
    std::deque<AsyncCall> queue_;
    std::deque<AsyncOutcome> outcomes_;
    bool workerBusy_ = false;
    bool terminate_ = false;
    std::thread worker_; // started by the first asynchronous call
};

// The error carried by a wrong Content-MD5 in an answer.
class EXrpcDigestError : public EXrpcError
{
public:
    using EXrpcError::EXrpcError;
};

} // namespace xrpc
