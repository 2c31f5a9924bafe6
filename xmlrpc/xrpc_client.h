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
// Threads: one caller thread at a time; the lock only keeps two threads from sharing the
// connection.  The events run in the caller's thread.

#include "xmlrpc/xrpc_types.h"

#include <chrono>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace platform {
class TcpConnection;
}

namespace xrpc {

inline constexpr int32_t kErrorEmptyResponse = 600;
inline constexpr int32_t kErrorInvalidPayload = 601;
inline constexpr int32_t kErrorBadDigest = 1002;

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

    const std::string& Host() const { return host_; }
    int Port() const { return port_; }
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
    bool Connected() const;

    // Runs one call; takes the function over and clears it afterwards.  With host and port
    // given (port not 0, host not empty), Host, Port and EndPoint become them, EndPoint even
    // when endpoint is empty (the request path is then empty).  ASYNC calls are not served by
    // this client: they give an error result.
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
    void Report(const std::string& error, const std::string& method);
    std::string ExchangeOnce(const std::string& body, bool& answerStarted, bool& sent);

    std::string host_ = "127.0.0.1";
    int port_ = 8080;
    std::string lastGuid_;
    std::unique_ptr<platform::TcpConnection> connection_;
    std::string connectedHost_;
    int connectedPort_ = 0;
    mutable std::recursive_mutex lock_;
    bool propagate_ = false;
    bool readTwoMore_ = false;
    bool repeatAfterSend_ = true;
    std::chrono::milliseconds connectTimeout_{5000};
    std::chrono::milliseconds readTimeout_{10000};
    size_t maxAnswerBody_;
};

// The error carried by a wrong Content-MD5 in an answer.
class EXrpcDigestError : public EXrpcError
{
public:
    using EXrpcError::EXrpcError;
};

} // namespace xrpc
