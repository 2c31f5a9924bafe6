#include "sim/service.h"

#include "xmlrpc/fr_rpc.h"
#include "xmlrpc/http_head.h"
#include "xmlrpc/http_serve.h"
#include "xmlrpc/xrpc_parser.h"

#include "platform/registry.h"
#include "platform/tcp.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace sim {

namespace {

using Clock = std::chrono::steady_clock;
using xrpc::TXrpcFunction;

int64_t NowUs()
{
    return std::chrono::duration_cast<std::chrono::microseconds>(Clock::now().time_since_epoch())
        .count();
}

std::string EncodeUpper(std::string text)
{
    for (char& c : text)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

bool IsLoopback(const std::string& host)
{
    return host == "localhost" || host.starts_with("127.");
}

std::string FaultAnswer(int code, const std::string& text)
{
    TXrpcFunction f;
    f.SetError(code, text);
    return f.GetResponseXML();
}

} // namespace

std::string DeviceMac(uint8_t address)
{
    char text[16];
    std::snprintf(text, sizeof text, "0000000000%02X", address);
    return text;
}

ServiceServer::ServiceServer(Bus& bus, ServiceOptions options)
    : bus_(bus), options_(std::move(options)), faults_(options_.faults), random_(options_.seed)
{
}

ServiceServer::~ServiceServer()
{
    Stop();
}

uint16_t ServiceServer::Port() const
{
    return server_ ? server_->Port() : 0;
}

std::string ServiceServer::Address() const
{
    return options_.host + ":" + std::to_string(Port());
}

bool ServiceServer::Start(std::string* error)
{
    if (!IsLoopback(options_.host)) {
        if (error)
            *error = "the service binds to loopback only, not " + options_.host;
        return false;
    }
    if (server_) {
        if (error)
            *error = "the service is running";
        return false;
    }
    server_ = std::make_unique<platform::TcpServer>(16);
    if (!server_->Listen(options_.host, boundPort_ != 0 ? boundPort_ : options_.port, error)) {
        server_.reset();
        return false;
    }
    boundPort_ = server_->Port();
    {
        std::lock_guard guard(mutex_);
        stop_ = false;
    }
    dispatcher_ = std::thread([this] { DispatchLoop(); });
    server_->Start([this](platform::TcpConnection& c) {
        xrpc::ServeHttpCalls(
            c, {}, "t4700-sim service",
            [this](std::string_view body, const std::optional<std::string>& digest) {
                return HandleRequest(body, digest);
            },
            nullptr);
    });
    return true;
}

bool ServiceServer::Restart(std::string* error)
{
    Stop();
    {
        std::lock_guard guard(mutex_);
        subscribers_.clear();
    }
    return Start(error);
}

void ServiceServer::SetOffline(std::chrono::milliseconds duration)
{
    std::lock_guard guard(mutex_);
    offlineUntil_ = Clock::now() + duration;
}

void ServiceServer::Stop()
{
    if (server_)
        server_->Stop();
    {
        std::lock_guard guard(mutex_);
        stop_ = true;
    }
    wake_.notify_all();
    if (dispatcher_.joinable())
        dispatcher_.join();
    server_.reset();
    // A stopped service calls nobody back.
    std::lock_guard guard(mutex_);
    queue_.clear();
}

bool ServiceServer::WriteRegistry(const std::string& path) const
{
    platform::RegistryFile registry(path);
    using platform::Hive;
    return registry.WriteString(Hive::LocalMachine, "SOFTWARE\\KAVEX\\ZEMRA\\RS", "WORKTYPE",
                                "ObmenXMLRPC") &&
           registry.WriteString(Hive::LocalMachine, xrpc::kLinkKey, "DriverIP", Address()) &&
           registry.WriteString(Hive::LocalMachine, xrpc::kLinkKey, "ClientIP", "127.0.0.1:0") &&
           registry.WriteString(Hive::LocalMachine, xrpc::kLinkKey, "MAC", options_.mac) &&
           (options_.comPort == 0
                ? (registry.DeleteValue(Hive::LocalMachine, xrpc::kLinkKey, "DriverCOMPort"),
                   true)
                : registry.WriteString(Hive::LocalMachine, xrpc::kLinkKey, "DriverCOMPort",
                                       "COM" + std::to_string(options_.comPort)));
}

int ServiceServer::SendDataCount() const
{
    std::lock_guard guard(mutex_);
    return sendData_;
}

int ServiceServer::CallbackCount() const
{
    std::lock_guard guard(mutex_);
    return callbacks_;
}

int ServiceServer::SubscribeCount() const
{
    std::lock_guard guard(mutex_);
    return subscribes_;
}

std::vector<std::string> ServiceServer::ProtocolFaults() const
{
    std::lock_guard guard(mutex_);
    return protocolFaults_;
}

std::string ServiceServer::Record(const std::string& why)
{
    std::lock_guard guard(mutex_);
    protocolFaults_.push_back(why);
    return why;
}

std::string ServiceServer::Refuse(const std::string& why)
{
    return FaultAnswer(1001, Record(why));
}

std::string ServiceServer::HandleRequest(std::string_view body,
                                         const std::optional<std::string>& digest)
{
    const std::string computed = xrpc::ContentMd5(body);
    if (!digest || *digest != computed) {
        const std::string why = digest ? "Content-MD5 " + *digest + " is not the body's " + computed
                                       : "no Content-MD5";
        {
            std::lock_guard guard(mutex_);
            protocolFaults_.push_back(why);
        }
        return FaultAnswer(1002, why);
    }
    return HandleCall(std::string(body));
}

namespace {

// The kinds of a call's parameters, one letter each: s string, i int, b boolean.
std::string KindsOf(const std::vector<std::unique_ptr<xrpc::TXrpcResult>>& p)
{
    std::string kinds;
    for (const auto& v : p)
        kinds += v->IsString() ? 's' : v->IsInteger() ? 'i' : v->IsBoolean() ? 'b' : '?';
    return kinds;
}

bool IsDottedQuad(const std::string& text)
{
    int parts = 0;
    size_t i = 0;
    while (i <= text.size()) {
        size_t j = i;
        while (j < text.size() && std::isdigit(static_cast<unsigned char>(text[j])))
            ++j;
        if (j == i || j - i > 3 || std::stoi(text.substr(i, j - i)) > 255)
            return false;
        ++parts;
        if (j == text.size())
            break;
        if (text[j] != '.')
            return false;
        i = j + 1;
    }
    return parts == 4;
}

} // namespace

std::string ServiceServer::HandleCall(const std::string& body)
{
    TXrpcFunction answer;
    try {
        xrpc::TXrpcServerParser parser;
        parser.Parse(body);
        const std::string method = parser.MethodName();
        const auto p = parser.TakeParams();
        const std::string kinds = KindsOf(p);
        auto text = [&](size_t i) { return i < p.size() ? p[i]->AsString() : std::string(); };
        // The parameters each method takes, in order.
        static const std::map<std::string, std::vector<std::string>> signatures{
            {"AddMessageSubscriber", {"sisss"}},
            {"Lines", {"s"}},
            {"Connected", {"s", "ss"}},
            {"SendData", {"ss", "sss"}},
            {"Devices", {"si"}},
            {"DeviceLock", {"ssbb"}},
            {"DeleteLine", {"si"}},
            {"DeleteMessageSubscriber", {"ssi"}},
        };
        const auto signature = signatures.find(method);
        if (signature == signatures.end())
            return FaultAnswer(1000, Record("Unknown method " + method));
        if (std::find(signature->second.begin(), signature->second.end(), kinds) ==
            signature->second.end())
            return Refuse(method + " takes (" + signature->second.front() + "), not (" + kinds +
                          ")");
        std::unique_lock lock(mutex_);
        const bool offline = Clock::now() < offlineUntil_;
        auto known = [&](const std::string& id) { return subscribers_.contains(id); };
        if (method == "AddMessageSubscriber") {
            const int64_t port = p[1]->AsInteger();
            if (!IsDottedQuad(text(0)) || port < 1 || port > 65535 || text(2) != "Vendax" ||
                text(3) != "OnMethodData" || text(4) != "OnDeviceState") {
                lock.unlock();
                return Refuse("AddMessageSubscriber(" + text(0) + ", " + std::to_string(port) +
                              ", " + text(2) + ", " + text(3) + ", " + text(4) + ")");
            }
            const std::string id = "SUB" + std::to_string(nextSubscriber_++);
            subscribers_[id] = {text(0), static_cast<uint16_t>(port), text(3), Clock::now()};
            ++subscribes_;
            answer.AddItem(std::string_view(id));
        } else if (method == "Lines") {
            // An id the service does not know (it may have restarted) is an ordinary fault.
            if (!known(text(0)))
                return FaultAnswer(1001, "no subscriber " + text(0));
            auto lines = std::make_shared<xrpc::TXrpcArray>();
            auto line = std::make_shared<xrpc::TXrpcStruct>();
            line->AddItemInteger("ID", 1);
            line->AddItemInteger("Port", options_.comPort != 0 ? options_.comPort : 1);
            line->AddItemBoolean("Auto", true);
            line->AddItemString("Type", "RS232");
            line->AddItemInteger("ComSpeed", static_cast<int32_t>(bus_.Timing().baud));
            lines->AddItemStruct(line);
            answer.AddItemArray(lines);
        } else if (method == "Connected") {
            const std::string mac = text(p.size() - 1);
            if (p.size() == 2 && !known(text(0)))
                return FaultAnswer(1001, "no subscriber " + text(0));
            bool connected = !offline && !subscribers_.empty();
            if (options_.comPort == 0) {
                connected = connected && mac == xrpc::NormalizeMac(options_.mac);
            } else {
                bool listed = false;
                for (uint8_t a = 1; a <= 127 && !listed; ++a)
                    listed = DeviceMac(a) == mac && bus_.HasUnit(a);
                connected = connected && listed;
            }
            answer.AddItem(connected);
        } else if (method == "SendData") {
            ++sendData_;
            if (p.size() == 3) {
                lock.unlock();
                return Refuse("SendData(id, mac, hex): the version request is not sent here");
            }
            if (offline)
                return FaultAnswer(1001, "device not connected");
            const std::string mac = text(0), hex = text(1);
            lock.unlock();
            const std::string error = SendData(mac, hex);
            if (!error.empty())
                return FaultAnswer(1001, error);
        } else if (method == "Devices") {
            if (!known(text(0)))
                return FaultAnswer(1001, "no subscriber " + text(0));
            if (p[1]->AsInteger() != 1) {
                lock.unlock();
                return Refuse("Devices: no line " + std::to_string(p[1]->AsInteger()));
            }
            auto list = std::make_shared<xrpc::TXrpcArray>();
            const std::vector<uint8_t> addresses = bus_.Addresses();
            const uint8_t last = addresses.empty() ? 0 : addresses.back();
            for (uint8_t a = 1; a <= last; ++a) {
                auto d = std::make_shared<xrpc::TXrpcStruct>();
                d->AddItemString("MAC", DeviceMac(a));
                d->AddItemString("Subscriber", bus_.HasUnit(a) ? text(0) : "");
                list->AddItemStruct(d);
            }
            answer.AddItemArray(list);
        } else if (method == "DeleteMessageSubscriber") {
            const auto s = subscribers_.find(text(0));
            if (s != subscribers_.end()) {
                if (s->second.host != text(1) || s->second.port != p[2]->AsInteger()) {
                    const std::string why = "DeleteMessageSubscriber(" + text(0) + ", " + text(1) +
                                            ", " + std::to_string(p[2]->AsInteger()) +
                                            "): subscribed as " + s->second.host + ":" +
                                            std::to_string(s->second.port);
                    lock.unlock();
                    return Refuse(why);
                }
                subscribers_.erase(s);
            }
        } else {
            // DeviceLock, DeleteLine: nothing to do for a simulated line.
        }
    } catch (const std::exception& e) {
        return FaultAnswer(1001, e.what());
    }
    return answer.GetResponseXML();
}

std::optional<ServiceFault> ServiceServer::DrawFault()
{
    std::lock_guard guard(mutex_);
    for (int i = 0; i < kServiceFaultKinds; ++i) {
        FaultRule& rule = faults_[static_cast<size_t>(i)];
        if (rule.count > 0) {
            --rule.count;
            return static_cast<ServiceFault>(i);
        }
        if (rule.probability > 0 &&
            std::uniform_real_distribution<double>(0.0, 1.0)(random_) < rule.probability)
            return static_cast<ServiceFault>(i);
    }
    return std::nullopt;
}

// Returns the error text for a refused payload, else empty.
std::string ServiceServer::SendData(const std::string& mac, const std::string& hex)
{
    const std::vector<uint8_t> p = xrpc::DecodeHex(hex);
    const bool comLine = options_.comPort != 0;
    // The payload's form is the link's business: a wrong one is a protocol fault.
    if (p.size() < 4 || p[0] != p.size() || hex.size() != 2 * p.size() ||
        EncodeUpper(hex) != hex)
        return Record("SendData: payload " + hex + " does not match its length byte");
    if (p[1] != (comLine ? 3 : 7))
        return Record("SendData: payload type " + std::to_string(p[1]) + " in " +
                      (comLine ? "COM-line" : "MAC") + " mode");
    uint8_t address = 0;
    size_t bodyAt = 4;
    if (comLine) {
        for (uint8_t a = 1; a <= 127 && address == 0; ++a)
            if (DeviceMac(a) == xrpc::NormalizeMac(mac))
                address = a;
    } else {
        if (p.size() < 11 || xrpc::NormalizeMac(mac) != xrpc::NormalizeMac(options_.mac))
            return "no such device " + mac;
        address = p[4];
        bodyAt = 10;
    }
    // The service knows the units on its line: a request to nobody is refused at once.
    if (address == 0 || p.size() <= bodyAt || !bus_.HasUnit(address))
        return "no device at address " + std::to_string(address);
    Subscriber to;
    {
        std::lock_guard guard(mutex_);
        if (subscribers_.empty())
            return "no subscriber";
        // The newest subscription is the one that listens.
        for (const auto& [id, subscriber] : subscribers_)
            if (to.port == 0 || subscriber.since > to.since)
                to = subscriber;
    }
    if (comLine && Clock::now() < to.since + std::chrono::milliseconds(options_.lineReadyMs))
        return Record("SendData: the line is not open yet");
    // The service frames the request on the line itself: plain, key byte 0.
    Bytes frame{address, static_cast<uint8_t>(p.size() - bodyAt + 3), 0};
    frame.insert(frame.end(), p.begin() + static_cast<std::ptrdiff_t>(bodyAt), p.end());
    const LineActivity activity = bus_.Receive(WithCrc(frame), NowUs());
    for (const Transmission& t : activity.answers) {
        if (t.bytes.size() < 4)
            continue;
        const Bytes& a = t.bytes;
        const size_t La = a.size() - 1; // without the CRC
        std::vector<uint8_t> out;
        if (comLine) {
            out = {static_cast<uint8_t>(La + 2), 3, p[2], p[3]};
        } else {
            out = {static_cast<uint8_t>(La + 8), 7, p[2], p[3], a[0], 0, 0, 0, 0, 0};
        }
        out.insert(out.end(), a.begin() + 2, a.begin() + static_cast<std::ptrdiff_t>(La));
        const auto due =
            Clock::now() + std::chrono::microseconds(std::max<int64_t>(0, t.due_us - NowUs()));
        Callback cb{due, to, mac, xrpc::EncodeHex(out), false};
        switch (DrawFault().value_or(ServiceFault(-1))) {
        case ServiceFault::NoCallback:
            continue;
        case ServiceFault::BadDigest:
            cb.badDigest = true;
            break;
        case ServiceFault::Late:
            cb.due += std::chrono::milliseconds(options_.late_ms);
            break;
        case ServiceFault::Early:
            // Before "SendData" answers: straight from this thread.
            Deliver(cb);
            continue;
        case ServiceFault::Foreign: {
            Callback foreign = cb;
            std::vector<uint8_t> bad = out;
            bad[2] = static_cast<uint8_t>(bad[2] + 0x55);
            bad[3] = static_cast<uint8_t>(bad[3] ^ 0xA5);
            for (size_t i = comLine ? 5 : 11; i < bad.size(); ++i)
                bad[i] = static_cast<uint8_t>(~bad[i]);
            foreign.hex = xrpc::EncodeHex(bad);
            Queue(foreign);
            cb.due += std::chrono::milliseconds(5);
            break;
        }
        }
        Queue(cb);
    }
    return {};
}

void ServiceServer::Queue(Callback callback)
{
    {
        std::lock_guard guard(mutex_);
        queue_.emplace(callback.due, std::move(callback));
    }
    wake_.notify_all();
}

void ServiceServer::DispatchLoop()
{
    std::unique_lock lock(mutex_);
    while (!stop_) {
        if (queue_.empty()) {
            wake_.wait(lock);
            continue;
        }
        const auto due = queue_.begin()->first;
        if (Clock::now() < due) {
            wake_.wait_until(lock, due);
            continue;
        }
        Callback cb = std::move(queue_.begin()->second);
        queue_.erase(queue_.begin());
        lock.unlock();
        Deliver(cb);
        lock.lock();
    }
    lock.unlock();
    out_.reset();
}

// One "OnMethodData" call; false when the subscriber could not be reached.  Calls from the
// dispatcher reuse one connection; an early call from a SendData thread uses one of its own.
bool ServiceServer::Deliver(const Callback& cb)
{
    TXrpcFunction call;
    call.SetObjectMethod(cb.to.dataMethod);
    call.AddItem(std::string_view(cb.mac));
    call.AddItem(std::string_view(cb.hex));
    const std::string body = call.GetRequestXML();
    std::string request = xrpc::WriteRequest("/", cb.to.host, body);
    if (cb.badDigest) {
        const std::string good = xrpc::ContentMd5(body);
        request.replace(request.find(good), good.size(), xrpc::ContentMd5(body + " "));
    }
    const bool dispatcher = std::this_thread::get_id() == dispatcher_.get_id();
    std::unique_ptr<platform::TcpConnection> own;
    for (int attempt = 0; attempt < 2; ++attempt) {
        try {
            std::unique_ptr<platform::TcpConnection>& c = dispatcher ? out_ : own;
            if (c && (outHost_ != cb.to.host || outPort_ != cb.to.port || c->Stale()))
                c.reset();
            if (!c) {
                c = platform::TcpConnection::Connect(cb.to.host, cb.to.port,
                                                     std::chrono::milliseconds(2000));
                if (dispatcher) {
                    outHost_ = cb.to.host;
                    outPort_ = cb.to.port;
                }
            }
            c->SetDeadline(Clock::now() + std::chrono::seconds(5));
            c->SendAll(request);
            xrpc::ResponseHeadReader head;
            while (head.State() == xrpc::HeadState::NeedMore)
                c->Consume(head.Feed(c->Peek()));
            if (head.State() == xrpc::HeadState::Failed || head.ContentLength() < 0) {
                c.reset();
                return false;
            }
            c->ReadExact(static_cast<size_t>(head.ContentLength()));
            std::lock_guard guard(mutex_);
            ++callbacks_;
            return true;
        } catch (const std::exception&) {
            (dispatcher ? out_ : own).reset();
        }
    }
    return false;
}

} // namespace sim
