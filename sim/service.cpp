#include "sim/service.h"

#include "xmlrpc/fr_rpc.h"
#include "xmlrpc/http_head.h"
#include "xmlrpc/http_serve.h"
#include "xmlrpc/xrpc_parser.h"

#include "platform/registry.h"
#include "platform/tcp.h"

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
    server_ = std::make_unique<platform::TcpServer>(16);
    if (!server_->Listen(options_.host, options_.port, error)) {
        server_.reset();
        return false;
    }
    {
        std::lock_guard guard(mutex_);
        stop_ = false;
    }
    dispatcher_ = std::thread([this] { DispatchLoop(); });
    server_->Start([this](platform::TcpConnection& c) {
        xrpc::ServeHttpCalls(
            c, {}, "t4700-sim service",
            [this](std::string_view body, const std::optional<std::string>&) {
                return HandleCall(std::string(body));
            },
            nullptr);
    });
    return true;
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
}

bool ServiceServer::WriteRegistry(const std::string& path) const
{
    platform::RegistryFile registry(path);
    using platform::Hive;
    return registry.WriteString(Hive::LocalMachine, "SOFTWARE\\KAVEX\\ZEMRA\\RS", "WORKTYPE",
                                "ObmenXMLRPC") &&
           registry.WriteString(Hive::LocalMachine, xrpc::kLinkKey, "DriverIP", Address()) &&
           registry.WriteString(Hive::LocalMachine, xrpc::kLinkKey, "ClientIP", "127.0.0.1:0") &&
           registry.WriteString(Hive::LocalMachine, xrpc::kLinkKey, "MAC", options_.mac);
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

std::string ServiceServer::HandleCall(const std::string& body)
{
    TXrpcFunction answer;
    try {
        xrpc::TXrpcServerParser parser;
        parser.Parse(body);
        const std::string method = parser.MethodName();
        const auto p = parser.TakeParams();
        auto text = [&](size_t i) { return i < p.size() ? p[i]->AsString() : std::string(); };
        std::lock_guard guard(mutex_);
        if (method == "AddMessageSubscriber") {
            if (p.size() < 2)
                return FaultAnswer(1001, "AddMessageSubscriber needs an address and a port");
            const std::string id = "SUB" + std::to_string(nextSubscriber_++);
            subscribers_[id] = {text(0), static_cast<uint16_t>(p[1]->AsInteger())};
            answer.AddItem(std::string_view(id));
        } else if (method == "Lines") {
            auto lines = std::make_shared<xrpc::TXrpcArray>();
            auto line = std::make_shared<xrpc::TXrpcStruct>();
            line->AddItemInteger("ID", 1);
            line->AddItemInteger("Port", 1);
            line->AddItemBoolean("Auto", true);
            line->AddItemString("Type", "RS232");
            line->AddItemInteger("ComSpeed", static_cast<int32_t>(bus_.Timing().baud));
            lines->AddItemStruct(line);
            answer.AddItemArray(lines);
        } else if (method == "Connected") {
            const std::string mac = xrpc::NormalizeMac(text(p.size() >= 2 ? 1 : 0));
            answer.AddItem(!subscribers_.empty() && mac == xrpc::NormalizeMac(options_.mac));
        } else if (method == "SendData") {
            ++sendData_;
            const std::string mac = text(0), hex = text(1);
            mutex_.unlock();
            struct Relock
            {
                std::mutex& m;
                ~Relock() { m.lock(); }
            } relock{mutex_};
            const std::string error = SendData(mac, hex);
            if (!error.empty())
                return FaultAnswer(1001, error);
        } else if (method == "Devices") {
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
            subscribers_.erase(text(0));
        } else if (method == "DeviceLock" || method == "DeleteLine") {
            // Nothing to do for a simulated line.
        } else {
            return FaultAnswer(1000, "Unknown method " + method);
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
    if (p.size() < 4 || p[0] != p.size())
        return "payload length does not match";
    const bool comLine = p[1] == 3;
    if (!comLine && p[1] != 7)
        return "unknown payload type " + std::to_string(p[1]);
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
        to = subscribers_.begin()->second;
    }
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
    call.SetObjectMethod("OnMethodData");
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
