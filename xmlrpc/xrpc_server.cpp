#include "xmlrpc/xrpc_server.h"

#include "xmlrpc/http_head.h"
#include "xmlrpc/http_serve.h"
#include "xmlrpc/rpc_log.h"
#include "xmlrpc/xrpc_parser.h"

#include "platform/tcp.h"

#include <algorithm>

namespace xrpc {

namespace {

constexpr const char* kListMethods = "system.listMethods";
constexpr const char* kMethodHelp = "system.methodHelp";
constexpr const char* kMethodSignature = "system.methodSignature";

std::string Fault(int32_t code, const std::string& text)
{
    TXrpcFunction f;
    f.SetError(code, text);
    return f.GetResponseXML();
}

// The text of the exception being handled; a fixed one for an object that is no exception.
std::string CurrentExceptionText()
{
    try {
        throw;
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "An object that is no exception was raised while handling the call";
    }
}

// Fault 1001 for the exception being handled, or an empty text when even that cannot be made.
std::string CurrentFault() noexcept
{
    try {
        return Fault(kFaultHandling, CurrentExceptionText());
    } catch (...) {
        return {};
    }
}

// A call the owner did not finish within the owner wait.  Whether it ran matters to the
// caller: a call that was taken may have done its work, and must not simply be repeated.
std::string OwnerWaitText(bool taken, std::chrono::milliseconds wait)
{
    const std::string within = " within " + std::to_string(wait.count()) + " ms";
    return taken ? "The server's owner took the call but did not finish it" + within +
                       "; it may have run, and its answer is lost"
                 : "The server's owner did not take the call" + within + "; it did not run";
}

std::string FirstParamName(const TXrpcParams& params)
{
    if (params.empty() || !params[0]->IsString())
        return {};
    return std::string(Trim(params[0]->AsString()));
}

} // namespace

// One call waiting for the owner's thread.  Guarded by the server's mutex.
//
// The owner writes the answer to the connection itself, as far as the socket takes it without
// waiting, so the client need not wait for the connection's thread to wake as well.  done:
// nobody else may answer (the owner took the call, the connection gave up on it, or the server
// is going down); ready: the answer is complete and the connection is its thread's again.
struct TXrpcServer::Call
{
    std::string body;
    std::string host;
    int port = 0;
    platform::TcpConnection* connection = nullptr;
    CallAnswer answer;
    bool done = false;
    bool ready = false;
};

std::string TXRMethod::DisplayName(int index) const
{
    return MethodName.empty() ? "MethodName" + std::to_string(index) : MethodName;
}

TXrpcServer::TXrpcServer(TXrpcServerLimits limits) : limits_(limits)
{
    channel_.SetHandler([this](const platform::OwnerMessage& m) -> intptr_t {
        if (m.msg == kMsgServerCall)
            RunQueuedCall();
        else if (m.msg == kMsgServerCreated)
            created_ = true;
        return 0;
    });
    channel_.Send({kMsgServerCreated, 0, 0, {}});
}

size_t TXrpcServer::HeldCalls() const
{
    std::lock_guard lock(mutex_);
    return queue_.size() + running_.size();
}

TXrpcServer::~TXrpcServer()
{
    StopServing();
    channel_.Close();
}

void TXrpcServer::StopServing()
{
    {
        std::unique_lock lock(mutex_);
        stopping_ = true;
        const auto refuse = [](Call& call) {
            call.answer = Fault(kFaultHandling, "The server is shutting down");
            call.done = true;
            call.ready = true;
        };
        for (const auto& call : queue_)
            refuse(*call);
        queue_.clear();
        // Taken by a handler that is stopping the server itself: its connection goes too.
        for (const auto& call : running_)
            if (!call->done)
                refuse(*call);
        cv_.notify_all();
        // Let the answers just given reach their clients before the connections go.
        cv_.wait_for(lock, std::chrono::seconds(2), [this] { return inCall_ == 0; });
    }
    // Nothing is left for the owner now, so joining the connection threads cannot wait on it.
    if (server_)
        server_->Stop();
    server_.reset();
    std::lock_guard lock(mutex_);
    stopping_ = false;
}

void TXrpcServer::SetListenPort(int port)
{
    const bool was = Active();
    SetActive(false);
    listenPort_ = port;
    if (was)
        SetActive(true);
}

void TXrpcServer::SetBindAddress(const std::string& address)
{
    const bool was = Active();
    SetActive(false);
    bindAddress_ = address;
    if (was)
        SetActive(true);
}

bool TXrpcServer::Active() const
{
    return server_ && server_->Running();
}

uint16_t TXrpcServer::BoundPort() const
{
    return Active() ? server_->Port() : 0;
}

bool TXrpcServer::SetActive(bool on)
{
    lastError_.clear();
    if (!on) {
        StopServing();
        return true;
    }
    if (Active())
        return true;
    if (SSLEnable) {
        lastError_ = "TLS is not supported";
        return false;
    }
    if (listenPort_ < 0 || listenPort_ > 65535) {
        lastError_ = "Invalid port " + std::to_string(listenPort_);
        return false;
    }
    auto server = std::make_unique<platform::TcpServer>(limits_.maxConnections);
    if (!server->Listen(bindAddress_, static_cast<uint16_t>(listenPort_), &lastError_))
        return false;
    if (EnableIntrospect)
        AddIntrospection();
    if (!server->Start([this](platform::TcpConnection& c) { ServeConnection(c); },
                       [](const std::string& what) { AppendRpcLog("rpc_err.txt", what); },
                       &lastError_))
        return false;
    server_ = std::move(server);
    return true;
}

void TXrpcServer::AddIntrospection()
{
    handlers_.clear();
    handlers_.push_back(
        {kListMethods,
         [this](const std::string&, const TXrpcParams&, TXrpcFunction& ret, TXrpcStruct&) {
             auto names = std::make_shared<TXrpcArray>();
             for (const auto& h : handlers_)
                 names->AddItem(h.name);
             for (const auto& m : Methods)
                 if (!m.MethodName.empty())
                     names->AddItem(m.MethodName);
             ret.AddItemArray(names);
         },
         "Returns a list  of all methods registered with the server", "array (no params)"});
    handlers_.push_back(
        {kMethodHelp,
         [this](const std::string&, const TXrpcParams& params, TXrpcFunction& ret, TXrpcStruct&) {
             const std::string name = FirstParamName(params);
             for (const auto& h : handlers_)
                 if (h.name == name)
                     return ret.AddItem(h.help);
             for (const auto& m : Methods)
                 if (m.MethodName == name)
                     return ret.AddItem(m.HelpString);
             ret.AddItem(name);
         },
         "Returns any help text supplied for this method", "string (string method_name)"});
    handlers_.push_back(
        {kMethodSignature,
         [this](const std::string&, const TXrpcParams& params, TXrpcFunction& ret, TXrpcStruct&) {
             const std::string name = FirstParamName(params);
             auto signatures = std::make_shared<TXrpcArray>();
             for (const auto& h : handlers_)
                 if (h.name == name)
                     signatures->AddItem(h.signature);
             for (const auto& m : Methods)
                 if (m.MethodName == name)
                     signatures->AddItem(m.Signature);
             auto outer = std::make_shared<TXrpcArray>();
             outer->AddItemArray(signatures);
             ret.AddItemArray(outer);
         },
         "Returns a array of know signatures for this method",
         "array of arrays (string method_name)"});
}

HttpServeOptions TXrpcServer::RequestOptions(const TXrpcServerLimits& limits)
{
    HttpServeOptions options;
    options.limits = {limits.request, limits.idle, limits.answer};
    options.serverName = kXrpcServerName;
    options.help = [](const std::string& headText, const std::optional<std::string>& url) {
        // Without a GET the connection just closes.
        return url ? WriteTextResponse(HelpText(headText, *url), kXrpcServerName + 1)
                   : std::string();
    };
    options.refuse = [](const std::string& why) { return Fault(kFaultHandling, why); };
    return options;
}

std::optional<std::string> TXrpcServer::RefuseCall(std::string_view body,
                                                   const std::optional<std::string>& digest)
{
    if (digest && !body.empty()) {
        const std::string computed = ContentMd5(body);
        if (UpperAscii(*digest) != UpperAscii(computed))
            return Fault(kFaultDigest, RequestDigestFaultText(*digest, computed));
    }
    if (body.find('\0') != std::string_view::npos)
        return Fault(kFaultHandling, "Request body holds a NUL character");
    return std::nullopt;
}

void TXrpcServer::ServeConnection(platform::TcpConnection& c)
{
    HttpServeOptions options = RequestOptions(limits_);
    options.answered = [this] {
        std::lock_guard lock(mutex_);
        --inCall_;
        cv_.notify_all();
    };
    const std::string host = c.PeerHost();
    const int port = c.PeerPort();
    ServeHttpCalls(
        c, options,
        [&](std::string_view body, const std::optional<std::string>& digest) -> CallAnswer {
            {
                std::lock_guard lock(mutex_);
                ++inCall_;
            }
            try {
                if (std::optional<std::string> refused = RefuseCall(body, digest))
                    return CallAnswer(std::move(*refused));
                return WaitForOwner(body, host, port, c);
            } catch (...) {
                return CallAnswer(CurrentFault());
            }
        },
        [](const std::string& what) { AppendRpcLog("rpc_err.txt", what); });
}

CallAnswer TXrpcServer::WaitForOwner(std::string_view body, const std::string& host, int port,
                                     platform::TcpConnection& connection)
{
    auto call = std::make_shared<Call>();
    call->body = body;
    call->host = host;
    call->port = port;
    call->connection = &connection;
    // Whatever way this leaves before the owner has it, the call leaves the queue with it, so
    // the owner never runs it later.  Made before the lock, so it runs after the lock is gone.
    struct Forget
    {
        TXrpcServer& server;
        const std::shared_ptr<Call>& call;
        ~Forget()
        {
            std::lock_guard lock(server.mutex_);
            std::erase(server.queue_, call);
            call->done = true;
        }
    } forget{*this, call};
    std::unique_lock lock(mutex_);
    if (stopping_)
        return Fault(kFaultHandling, "The server is shutting down");
    queue_.push_back(call);
    lock.unlock();
    if (!channel_.Post({kMsgServerCall, 0, 0, {}}))
        return Fault(kFaultHandling, "The server is shutting down");
    lock.lock();
    const auto ready = [&] { return call->ready; };
    if (!cv_.wait_for(lock, limits_.ownerWait, ready)) {
        if (!call->done) {
            // Still queued: it will never run.  Taken already: its answer is dropped.  Marked
            // here, under the lock that decided it, so the owner cannot answer it as well.
            const bool taken = std::find(running_.begin(), running_.end(), call) != running_.end();
            std::erase(queue_, call);
            call->done = true;
            lock.unlock();
            if (testHooks_.ownerWaitExpired)
                testHooks_.ownerWaitExpired();
            return Fault(kFaultHandling, OwnerWaitText(taken, limits_.ownerWait));
        }
        // Taken and being written by the owner, which never waits on the socket.
        lock.unlock();
        if (testHooks_.ownerWaitExpired)
            testHooks_.ownerWaitExpired();
        lock.lock();
        cv_.wait(lock, ready);
    }
    CallAnswer answer = std::move(call->answer);
    if (!answer.written && answer.xml.empty())
        answer.xml = Fault(kFaultHandling, "The call failed and its answer could not be made");
    return answer;
}

void TXrpcServer::RunQueuedCall()
{
    std::shared_ptr<Call> call;
    {
        std::lock_guard lock(mutex_);
        if (queue_.empty())
            return; // given up by its connection, or answered by a stop
        call = queue_.front();
        queue_.pop_front();
        running_.push_back(call);
    }
    // Every way out of the call, a throw included, leaves running_ and answers it below.
    CallAnswer answer;
    try {
        answer.response =
            WriteResponse(HandleCall(call->body, call->host, call->port), kXrpcServerName);
    } catch (...) {
        answer.response.clear();
        answer.xml = CurrentFault(); // written by the connection's thread
    }
    {
        std::lock_guard lock(mutex_);
        std::erase(running_, call);
        if (call->done)
            return; // its connection gave up waiting, or the server stopped, and answered it
        call->done = true;
    }
    // The connection's thread now waits for ready and leaves the socket alone until then.
    if (testHooks_.answerTaken)
        testHooks_.answerTaken();
    if (!answer.response.empty()) {
        answer.sent = call->connection->TrySend(answer.response);
        answer.written = true;
    }
    {
        std::lock_guard lock(mutex_);
        call->answer = std::move(answer);
        call->ready = true;
    }
    cv_.notify_all(); // outside the lock: the connection wakes to a free mutex
}

std::string TXrpcServer::HandleCall(std::string_view body, const std::string& peerHost,
                                    int peerPort)
{
    TXrpcStruct info;
    info.AddItemString("IP", peerHost.substr(0, 40));
    info.AddItemInteger("Port", peerPort);
    if (OnReceiveXML)
        OnReceiveXML(std::string(body), info);
    AppendRpcLog("xmlrpcdata.txt", body);

    TXrpcFunction ret;
    std::string method;
    try {
        TXrpcServerParser parser;
        parser.Parse(body);
        method = parser.MethodName();
        const TXrpcParams params = parser.TakeParams();
        Execute(method, params, ret, info, body);
    } catch (...) {
        ret.SetError(kFaultHandling, CurrentExceptionText());
    }
    std::string answer = ret.GetResponseXML();
    if (OnSendXML)
        OnSendXML(answer, info);
    return answer;
}

void TXrpcServer::Execute(const std::string& method, const TXrpcParams& params, TXrpcFunction& ret,
                          TXrpcStruct& info, std::string_view body)
{
    bool handled = false;
    if (method == "AsyncResult") {
        if (params.empty())
            return ret.SetError(kFaultAsyncTooFew, "Too few parameters in AsyncResult");
        if (!params[0]->IsString())
            return ret.SetError(kFaultAsyncName, "First parameter should be async method name");
        handled = true;
        if (OnAsyncResult)
            OnAsyncResult(params[0]->AsString(), params, ret, info);
    }
    if (OnBeforeExecute)
        OnBeforeExecute(method, params, ret, info, std::string(body));
    // A handler may change the lists it is called from: each list's matching handlers are
    // copied when its turn comes, and run from the copy.
    std::vector<TXrpcMethodEvent> run;
    for (const auto& h : handlers_)
        if (h.name == method)
            run.push_back(h.handler);
    for (const auto& handler : run) {
        if (handler)
            handler(method, params, ret, info);
        handled = handled || static_cast<bool>(handler);
        if (OnAfterExecute)
            OnAfterExecute(method, params, ret, info);
    }
    run.clear();
    for (const auto& m : Methods)
        if (SameText(m.MethodName, method))
            run.push_back(m.OnExecute);
    for (const auto& execute : run) {
        if (execute) {
            execute(method, params, ret, info);
            handled = true; // an item without a handler implements nothing
        }
        if (OnAfterExecute)
            OnAfterExecute(method, params, ret, info);
    }
    if (!handled)
        ret.SetError(kFaultUnknownMethod,
                     "Requested method was not registered on the server: " + method);
}

} // namespace xrpc
