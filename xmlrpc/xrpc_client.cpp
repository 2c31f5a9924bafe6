#include "xmlrpc/xrpc_client.h"

#include "xmlrpc/http_head.h"
#include "xmlrpc/xrpc_parser.h"

#include "xmlrpc/rpc_log.h"

#include "platform/guid.h"
#include "platform/last_error.h"
#include "platform/tcp.h"
#include "platform/text1251.h"

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

int AsyncErrorId(const platform::SocketError& e, bool inConnect)
{
    if (inConnect)
        return e.Code() == platform::kWsaTimedOut ? kErrIdConnectTimeout : kErrIdConnect;
    return e.Graceful() ? kErrIdConnect : e.Code();
}

int AsyncErrorId(bool inConnect)
{
    if (inConnect)
        return kErrIdConnect;
    const uint32_t last = platform::LastError();
    return last != platform::kErrorSuccess ? static_cast<int>(last) : kErrorEmptyResponse;
}

TXrpcClient::TXrpcClient() : maxAnswerBody_(kMaxClientAnswerBody)
{
    channel_.SetHandler([this](const platform::OwnerMessage& m) { return OnOwnerMessage(m); });
    storage_.SetDelivery([this](const std::string& guid, const std::string& host, int port,
                                const std::string& text) {
        if (OnGetStorASYNCHResult)
            OnGetStorASYNCHResult(guid, host, port, text);
    });
}

TXrpcClient::~TXrpcClient()
{
    {
        std::lock_guard guard(queueMutex_);
        terminate_ = true;
        queue_.clear(); // calls not begun are dropped; the one in flight ends within its bounds
    }
    queueCv_.notify_all();
    if (worker_.joinable())
        worker_.join();
    channel_.Close();
}

bool TXrpcClient::AsyncBusy() const
{
    std::lock_guard guard(queueMutex_);
    return workerBusy_ || !queue_.empty();
}

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

std::string TXrpcClient::Host() const
{
    std::lock_guard address(addressMutex_);
    return host_;
}

int TXrpcClient::Port() const
{
    std::lock_guard address(addressMutex_);
    return port_;
}

void TXrpcClient::SetHost(const std::string& host)
{
    std::lock_guard guard(lock_);
    if (host != host_)
        connection_.reset();
    std::lock_guard address(addressMutex_);
    host_ = host;
}

void TXrpcClient::SetPort(int port)
{
    std::lock_guard guard(lock_);
    if (port != port_)
        connection_.reset();
    std::lock_guard address(addressMutex_);
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

void TXrpcClient::Report(const std::string& error, const std::string& method,
                         const std::string& host, int port)
{
    if (OnError)
        OnError(error, kZeroGuid, method, host, port, 0);
}

void TXrpcClient::ExecuteXML(const std::string& xml, bool async, IXrpcResult& result,
                             const std::string& endpoint, const std::string& methodName, int port,
                             const std::string& host)
{
    result.reset();
    if (OnSendXML)
        OnSendXML(xml);
    std::string reportHost;
    int reportPort = 0;
    std::string asyncEndpoint;
    {
        // Not the client's lock: an asynchronous call from the owner must not wait for an
        // exchange in flight.
        std::lock_guard guard(addressMutex_);
        reportHost = host_;
        reportPort = port_;
        if (async)
            asyncEndpoint = !endpoint.empty() ? endpoint : EndPoint;
    }
    auto fail = [&](int32_t code, const std::string& text) {
        Report(text, methodName, reportHost, reportPort);
        result = std::make_shared<TXrpcResult>();
        result->SetError(code, text);
    };
    if (SSLEnable) {
        // Never a plain-text fallback for a caller that asked for TLS.
        fail(kErrorEmptyResponse, "TLS is not supported");
        return;
    }
    if (async) {
        AsyncCall call;
        call.host = !host.empty() ? host : reportHost;
        call.port = port != 0 ? port : reportPort;
        call.endpoint = std::move(asyncEndpoint);
        call.request = xml;
        call.methodName = methodName;
        call.guid = platform::GuidText(platform::NewGuid());
        call.store = useStorage_;
        bool full = false;
        {
            std::lock_guard guard(queueMutex_);
            // The results not yet delivered count too: an owner that does not serve its
            // channel cannot make the client keep results without end.
            full = queue_.size() + outcomes_.size() >= maxAsyncPending_;
            if (!full) {
                lastGuid_ = call.guid;
                queue_.push_back(std::move(call));
            }
            if (!full && !worker_.joinable())
                worker_ = std::thread([this] { Worker(); });
        }
        if (full) {
            fail(kErrorEmptyResponse, "The queue of asynchronous calls is full (" +
                                          std::to_string(maxAsyncPending_) +
                                          " calls): the call was not made");
            return;
        }
        queueCv_.notify_all();
        return;
    }
    if (channel_.IsOwnerThread()) {
        // Let a call in flight finish first, serving its results meanwhile.
        channel_.WaitServing(
            [this] {
                std::lock_guard guard(queueMutex_);
                return !workerBusy_;
            },
            connectTimeout_ + readTimeout_);
    }
    std::string answer;
    try {
        std::lock_guard guard(lock_);
        if (port != 0 && !host.empty()) {
            SetHost(host);
            SetPort(port);
            std::lock_guard address(addressMutex_);
            EndPoint = endpoint;
        }
        reportHost = host_;
        reportPort = port_;
        answer = Exchange(xml);
    } catch (const EXrpcDigestError& e) {
        fail(kErrorBadDigest, e.what());
        if (propagate_)
            throw;
        return;
    } catch (const std::exception& e) {
        Report(e.what(), methodName, reportHost, reportPort);
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
    bool connectFailed = false;
    return ExchangeWith(body, EndPoint, connectFailed);
}

std::string TXrpcClient::ExchangeWith(const std::string& body, const std::string& endpoint,
                                      bool& connectFailed)
{
    std::lock_guard guard(lock_);
    connectFailed = false;
    for (int attempt = 0;; ++attempt) {
        if (connection_ &&
            (connectedHost_ != host_ || connectedPort_ != port_ || connection_->Stale()))
            connection_.reset(); // the peer closed it while idle: a fresh one, not a retry
        const bool reused = connection_ != nullptr;
        if (!connection_) {
            if (port_ < 1 || port_ > 65535)
                throw platform::SocketError(platform::kWsaAddrNotAvail,
                                            "Invalid port " + std::to_string(port_));
            try {
                connection_ = platform::TcpConnection::Connect(host_, static_cast<uint16_t>(port_),
                                                               connectTimeout_);
            } catch (...) {
                connectFailed = true;
                throw;
            }
            connectedHost_ = host_;
            connectedPort_ = port_;
        }
        bool answerStarted = false;
        bool sent = false;
        try {
            return ExchangeOnce(body, endpoint, answerStarted, sent);
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

std::string TXrpcClient::ExchangeOnce(const std::string& body, const std::string& endpoint,
                                      bool& answerStarted, bool& sent)
{
    platform::TcpConnection& c = *connection_;
    c.SetDeadline(std::chrono::steady_clock::now() + readTimeout_);
    c.SendAll(WriteRequest(endpoint, host_, body));
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

void TXrpcClient::Worker()
{
    for (;;) {
        AsyncCall call;
        {
            std::unique_lock guard(queueMutex_);
            queueCv_.wait(guard, [this] { return terminate_ || !queue_.empty(); });
            if (terminate_)
                return;
            call = queue_.front();
            workerBusy_ = true;
        }
        RunAsync(call);
        {
            std::lock_guard guard(queueMutex_);
            if (!queue_.empty())
                queue_.pop_front();
            workerBusy_ = false;
        }
        queueCv_.notify_all();
    }
}

void TXrpcClient::RunAsync(const AsyncCall& call)
{
    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    AsyncOutcome outcome{call, {}, {}, 0};
    bool connectFailed = false;
    AppendRpcLog("rpc.log", "Buffer: " + std::to_string(call.request.size()));
    AppendRpcLog("rpc.log", call.request);
    platform::SetLastError(platform::kErrorSuccess); // what a failure reports is its own
    try {
        // One lock across Host, Port and the exchange: a synchronous call in another thread
        // can neither redirect this exchange nor share its connection.
        std::lock_guard guard(lock_);
        SetHost(call.host);
        SetPort(call.port);
        outcome.answer = ExchangeWith(call.request, call.endpoint, connectFailed);
        AppendRpcLog("rpc.log", "Data: " + std::to_string(outcome.answer.size()));
        AppendRpcLog("rpc.log", platform::Utf8ToCp1251("Выслано!"));
    } catch (const platform::SocketError& e) {
        outcome.error = e.what();
        outcome.errId = AsyncErrorId(e, connectFailed);
    } catch (const std::exception& e) {
        outcome.error = e.what();
        outcome.errId = AsyncErrorId(connectFailed);
    }
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    AppendRpcLog("rpc.log", platform::Utf8ToCp1251("Выполнялось:") + std::to_string(ms / 1000) +
                                ":" + std::to_string(ms % 1000) + " ");
    if (!outcome.error.empty()) {
        const std::string line = platform::Utf8ToCp1251("Ошибка:") + outcome.error;
        AppendRpcLog("rpc.log", line);
        AppendRpcLog("rpc_err.txt",
                     call.guid + " " + call.host + ":" + std::to_string(call.port) + " " + line);
    }
    const bool failed = !outcome.error.empty();
    {
        std::lock_guard guard(queueMutex_);
        outcomes_.push_back(std::move(outcome));
    }
    if (failed)
        channel_.Post({kMsgAsyncError, 0, 0, {}});
    channel_.Post({kMsgAsyncResult, 0, 0, {}});
}

intptr_t TXrpcClient::OnOwnerMessage(const platform::OwnerMessage& m)
{
    if (m.msg == kMsgOwnerExchange) {
        auto* io = reinterpret_cast<std::pair<const std::string*, std::string*>*>(m.lparam);
        *io->second = Exchange(*io->first);
        return 1;
    }
    if (m.msg != kMsgAsyncResult && m.msg != kMsgAsyncError)
        return 0;
    AsyncOutcome outcome;
    {
        std::lock_guard guard(queueMutex_);
        if (outcomes_.empty())
            return 0;
        // A failure's 3732 comes just before its 3730: both see it at the front.
        outcome = outcomes_.front();
        if (m.msg == kMsgAsyncResult)
            outcomes_.pop_front();
    }
    if (m.msg == kMsgAsyncError) {
        if (OnError)
            OnError(outcome.error, outcome.call.guid, outcome.call.methodName, outcome.call.host,
                    outcome.call.port, outcome.errId);
        return 0;
    }
    DeliverAsync(std::move(outcome));
    return 0;
}

void TXrpcClient::DeliverAsync(AsyncOutcome outcome)
{
    const AsyncCall& call = outcome.call;
    if (!outcome.answer.empty() && OnReceiveXML)
        OnReceiveXML(outcome.answer);
    TXrpcClientParser parser;
    parser.SetNormalizeEmptyValues(true);
    IXrpcResult result;
    try {
        parser.Parse(outcome.answer);
        result = parser.Result();
    } catch (const std::exception& e) {
        result = std::make_shared<TXrpcResult>();
        result->SetError(kErrorInvalidPayload,
                         std::string("Invalid payload received from xml-rpc server: ") + e.what());
    }
    if (!outcome.error.empty())
        result->SetError(outcome.errId, outcome.error);
    result->SetTag(call.port);
    StoreRefusal refusal = StoreRefusal::Full;
    if (call.store && outcome.error.empty() &&
        !storage_.Store(call.host, call.port, outcome.answer, &refusal))
        Report(StoreRefusalText(refusal) + ": the result of " + call.guid + " was not kept",
               call.methodName, call.host, call.port);
    if (OnGetASYNCHResult)
        OnGetASYNCHResult(call.guid, call.methodName, call.host, result);
    if (OnGetASYNCHResultPlus)
        OnGetASYNCHResultPlus(*this, call.guid, call.methodName, call.host, result, call.port);
}

std::string TXrpcClient::ExchangeInOwner(const std::string& body)
{
    std::string answer;
    std::pair<const std::string*, std::string*> io{&body, &answer};
    platform::OwnerMessage m{kMsgOwnerExchange, 0, reinterpret_cast<intptr_t>(&io), {}};
    if (!channel_.Send(std::move(m)))
        answer.clear();
    return answer;
}

} // namespace xrpc
