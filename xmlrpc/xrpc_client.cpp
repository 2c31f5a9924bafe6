#include "xmlrpc/xrpc_client.h"

#include "xmlrpc/http_head.h"
#include "xmlrpc/xrpc_parser.h"

#include "platform/tcp.h"

namespace xrpc {

namespace {

constexpr const char* kZeroGuid = "{00000000-0000-0000-0000-000000000000}";

std::string TrimRight(std::string text)
{
    while (!text.empty() && static_cast<unsigned char>(text.back()) <= ' ')
        text.pop_back();
    return text;
}

} // namespace

TXrpcClient::TXrpcClient() : maxAnswerBody_(kMaxClientAnswerBody) {}

TXrpcClient::~TXrpcClient() = default;

bool TXrpcClient::Connected() const
{
    std::lock_guard guard(lock_);
    return connection_ != nullptr;
}

void TXrpcClient::Disconnect()
{
    std::lock_guard guard(lock_);
    connection_.reset();
}

void TXrpcClient::SetHost(const std::string& host)
{
    std::lock_guard guard(lock_);
    if (host != host_)
        connection_.reset();
    host_ = host;
}

void TXrpcClient::SetPort(int port)
{
    std::lock_guard guard(lock_);
    if (port != port_)
        connection_.reset();
    port_ = port;
}

void TXrpcClient::Execute(const IXrpcFunction& function, bool async, IXrpcResult& result,
                          const std::string& endpoint, int port, const std::string& host)
{
    if (!function)
        return;
    struct Clear
    {
        const IXrpcFunction& f;
        ~Clear() { f->Clear(); }
    } clear{function};
    if (OnBeforeExecute)
        OnBeforeExecute(function, async, host, port);
    ExecuteXML(function->GetRequestXML(), async, result, endpoint, function->ObjectMethod(), port,
               host);
}

void TXrpcClient::Report(const std::string& error, const std::string& method)
{
    if (OnError)
        OnError(error, kZeroGuid, method, host_, port_, 0);
}

void TXrpcClient::ExecuteXML(const std::string& xml, bool async, IXrpcResult& result,
                             const std::string& endpoint, const std::string& methodName, int port,
                             const std::string& host)
{
    result.reset();
    if (OnSendXML)
        OnSendXML(xml);
    auto fail = [&](int32_t code, const std::string& text) {
        Report(text, methodName);
        result = std::make_shared<TXrpcResult>();
        result->SetError(code, text);
    };
    if (async) {
        fail(kErrorEmptyResponse, "Asynchronous calls are not served by this client");
        return;
    }
    if (SSLEnable) {
        // Never a plain-text fallback for a caller that asked for TLS.
        fail(kErrorEmptyResponse, "TLS is not supported");
        return;
    }
    std::string answer;
    try {
        std::lock_guard guard(lock_);
        if (port != 0 && !host.empty()) {
            SetHost(host);
            SetPort(port);
            EndPoint = endpoint;
        }
        answer = Exchange(xml);
    } catch (const EXrpcDigestError& e) {
        fail(kErrorBadDigest, e.what());
        if (propagate_)
            throw;
        return;
    } catch (const std::exception& e) {
        Report(e.what(), methodName);
        if (propagate_)
            throw;
        answer.clear();
    }
    if (!answer.empty() && OnReceiveXML)
        OnReceiveXML(answer);
    TXrpcClientParser parser; // one per call: nothing is shared between calls or threads
    parser.SetNormalizeEmptyValues(true);
    try {
        parser.Parse(answer);
        result = parser.Result();
    } catch (const std::exception& e) {
        fail(kErrorInvalidPayload,
             std::string("Invalid payload received from xml-rpc server: ") + e.what());
    }
}

std::string TXrpcClient::Exchange(const std::string& body)
{
    std::lock_guard guard(lock_);
    for (int attempt = 0;; ++attempt) {
        if (connection_ &&
            (connectedHost_ != host_ || connectedPort_ != port_ || connection_->Stale()))
            connection_.reset(); // the peer closed it while idle: a fresh one, not a retry
        const bool reused = connection_ != nullptr;
        if (!connection_) {
            if (port_ < 1 || port_ > 65535)
                throw platform::SocketError(platform::kWsaAddrNotAvail,
                                            "Invalid port " + std::to_string(port_));
            connection_ = platform::TcpConnection::Connect(host_, static_cast<uint16_t>(port_),
                                                           connectTimeout_);
            connectedHost_ = host_;
            connectedPort_ = port_;
        }
        bool answerStarted = false;
        bool sent = false;
        try {
            return ExchangeOnce(body, answerStarted, sent);
        } catch (const platform::SocketError& e) {
            connection_.reset();
            const int code = e.Code();
            const bool repeatable =
                !sent ? (code == platform::kWsaConnReset || code == platform::kWsaConnAborted)
                      : (repeatAfterSend_ && !answerStarted &&
                         (e.Graceful() || code == platform::kWsaConnAborted ||
                          code == platform::kWsaConnReset));
            // Once, and only where a kept-alive connection went away under us: a peer that
            // accepts and closes cannot keep the caller in a loop.
            if (attempt == 0 && reused && repeatable)
                continue;
            throw;
        } catch (...) {
            connection_.reset();
            throw;
        }
    }
}

std::string TXrpcClient::ExchangeOnce(const std::string& body, bool& answerStarted, bool& sent)
{
    platform::TcpConnection& c = *connection_;
    c.SetDeadline(std::chrono::steady_clock::now() + readTimeout_);
    c.SendAll(WriteRequest(EndPoint, host_, body));
    sent = true;

    ResponseHeadReader head;
    while (head.State() == HeadState::NeedMore) {
        const std::string_view bytes = c.Peek();
        answerStarted = true;
        c.Consume(head.Feed(bytes));
    }
    if (head.State() == HeadState::Failed)
        throw EXrpcError(head.Error());

    const int64_t length = head.ContentLength();
    if (length < 0) {
        // Without a length the rest of the connection cannot be told from the next answer.
        connection_.reset();
        return {};
    }
    if (length == 0)
        return {};
    if (static_cast<uint64_t>(length) > maxAnswerBody_)
        throw EXrpcError("Answer body of " + std::to_string(length) +
                         " bytes exceeds the limit of " + std::to_string(maxAnswerBody_));
    std::string text = c.ReadExact(static_cast<size_t>(length) + (readTwoMore_ ? 2 : 0));
    c.ClearDeadline();
    // The digest covers the counted body, not the two bytes some peers add after it.
    const std::string computed =
        ContentMd5(std::string_view(text).substr(0, static_cast<size_t>(length)));
    if (!head.Digest()) {
        // A peer that sends no digest is accepted; the note follows the root element, which
        // is where the reader stops.
        text += "Checksum Error from Server response: " + computed + ", ";
    } else if (UpperAscii(*head.Digest()) != UpperAscii(computed)) {
        connection_.reset();
        throw EXrpcDigestError("Checksum MD5 error of server response: computed " + computed +
                               ", received " + *head.Digest());
    }
    return TrimRight(std::move(text));
}

} // namespace xrpc
