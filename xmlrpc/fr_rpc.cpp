#include "xmlrpc/fr_rpc.h"

#include "xmlrpc/http_head.h"
#include "xmlrpc/http_serve.h"
#include "xmlrpc/xrpc_parser.h"

#include "platform/log_file.h"
#include "platform/registry.h"
#include "platform/tcp.h"

#include <cctype>
#include <charconv>
#include <ctime>
#include <thread>

namespace xrpc {

namespace {

using Clock = std::chrono::steady_clock;
constexpr const char* kServerName = "KavexXMLRPC/0.1.0-WinNT";

struct Address
{
    std::string host;
    std::optional<uint16_t> port; // missing or no number
};

// ip[:port]; a port that is missing or no number in 0..65535 is left out.
Address SplitAddress(const std::string& text)
{
    Address a;
    const size_t colon = text.find(':');
    a.host = text.substr(0, colon);
    if (colon != std::string::npos) {
        const int64_t n = detail::ParseLength(text.substr(colon + 1));
        if (n >= 0 && n <= 65535)
            a.port = static_cast<uint16_t>(n);
    }
    return a;
}

std::string ReadText(platform::RegistryFile& registry, const char* name)
{
    return registry.ReadString(platform::Hive::LocalMachine, kLinkKey, name).value_or("");
}

std::string Stamp(std::chrono::system_clock::time_point when)
{
    const std::time_t t = std::chrono::system_clock::to_time_t(when);
    std::tm local{};
    localtime_r(&t, &local);
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(when.time_since_epoch()).count() %
        1000;
    char text[64];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d  S, mS:%d:%d", local.tm_hour, local.tm_min,
                  local.tm_sec, local.tm_sec, static_cast<int>(ms));
    return text;
}

} // namespace

// --- settings and payloads

TLinkSettings ReadLinkSettings(platform::RegistryFile& registry)
{
    TLinkSettings s;
    if (!registry.KeyExists(platform::Hive::LocalMachine, kLinkKey))
        return s;
    if (const std::string v = ReadText(registry, "ClientIP"); !v.empty()) {
        const Address a = SplitAddress(v);
        s.clientIp = a.host.empty() ? s.clientIp : a.host;
        s.clientPort = a.port.value_or(kDefaultClientPort);
    }
    if (const std::string v = ReadText(registry, "DriverIP"); !v.empty()) {
        const Address a = SplitAddress(v);
        s.driverIp = a.host.empty() ? s.driverIp : a.host;
        // Port 0 names no service.
        s.driverPort = a.port.value_or(0) != 0 ? *a.port : kDefaultDriverPort;
    }
    if (const std::string v = ReadText(registry, "EthernetIP"); !v.empty()) {
        const Address a = SplitAddress(v);
        s.ethernetIp = a.host;
        s.ethernetPort = a.port.value_or(2048);
    }
    if (const std::string v = ReadText(registry, "LinePort"); !v.empty()) {
        const Address a = SplitAddress(v.find(':') == std::string::npos ? ":" + v : v);
        s.linePort = a.port.value_or(2048);
    }
    if (const auto v = registry.ReadString(platform::Hive::LocalMachine, kLinkKey, "MAC"))
        s.mac = NormalizeMac(*v);
    s.comPort = ParseComPort(ReadText(registry, "DriverCOMPort"));
    if (const auto v = registry.ReadDword(platform::Hive::LocalMachine, kLinkKey, "ProtoType"))
        s.protoType = *v;
    return s;
}

std::string NormalizeMac(std::string_view text)
{
    std::string mac;
    for (char c : text)
        if (std::isxdigit(static_cast<unsigned char>(c)))
            mac += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    while (mac.size() < 12)
        mac += '0';
    return mac;
}

int ParseComPort(std::string_view text)
{
    if (text.size() < 3 || UpperAscii(text.substr(0, 3)) != "COM")
        return 0;
    const int64_t n = detail::ParseLength(text.substr(3));
    return n > 0 && n <= 255 ? static_cast<int>(n) : 0;
}

std::vector<uint8_t> DecodeHex(std::string_view text)
{
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i + 1 < text.size(); i += 2) {
        const char* pair = text.data() + i;
        if (!std::isxdigit(static_cast<unsigned char>(pair[0])) ||
            !std::isxdigit(static_cast<unsigned char>(pair[1])))
            break;
        unsigned value = 0;
        std::from_chars(pair, pair + 2, value, 16);
        bytes.push_back(static_cast<uint8_t>(value));
    }
    return bytes;
}

std::string EncodeHex(const std::vector<uint8_t>& bytes)
{
    static const char* const digits = "0123456789ABCDEF";
    std::string hex;
    hex.reserve(bytes.size() * 2);
    for (uint8_t b : bytes) {
        hex += digits[b >> 4];
        hex += digits[b & 15];
    }
    return hex;
}

std::optional<std::vector<uint8_t>> BuildPayload(const std::vector<uint8_t>& frame, bool comLine,
                                                 uint16_t counter)
{
    if (frame.size() < 4)
        return std::nullopt;
    const size_t L = frame[1];
    const size_t total = comLine ? L + 1 : L + 7;
    if (L < 4 || L > frame.size() || total > 255)
        return std::nullopt;
    std::vector<uint8_t> p;
    p.reserve(total);
    p.push_back(static_cast<uint8_t>(total));
    p.push_back(comLine ? 0x03 : 0x07);
    p.push_back(static_cast<uint8_t>(counter & 0xFF));
    p.push_back(static_cast<uint8_t>(counter >> 8));
    if (!comLine) {
        p.push_back(frame[0] & 0x7F);
        p.insert(p.end(), 5, 0);
    }
    p.insert(p.end(), frame.begin() + 3, frame.begin() + static_cast<std::ptrdiff_t>(L));
    return p;
}

// --- the link

TfrRPC::TfrRPC(platform::RegistryFile& registry, TLinkTimeouts timeouts, std::string logPath)
    : registry_(registry), timeouts_(timeouts), logPath_(platform::LogFilePath(logPath)),
      reach_(timeouts_.retryFirst, timeouts_.retryMost),
      connect_(timeouts_.retryFirst, timeouts_.retryMost)
{
    client_.EndPoint = "/xml-rpc";
    client_.SetConnectTimeout(timeouts_.call);
    client_.SetReadTimeout(timeouts_.call);
    client_.SetMaxAnswerBody(kMaxLinkAnswerBody);
}

TfrRPC::~TfrRPC()
{
    StopServer();
}

void TfrRPC::Log(const std::string& text)
{
    if (!logPath_.empty())
        platform::AppendLogLine(logPath_, Stamp(std::chrono::system_clock::now()) + "  " + text);
}

uint16_t TfrRPC::ServerPort() const
{
    return server_ ? server_->Port() : 0;
}

uint16_t TfrRPC::PacketCounter() const
{
    std::lock_guard guard(mutex_);
    return counter_;
}

Clock::time_point TfrRPC::NextTry() const
{
    Clock::time_point due = Clock::now();
    for (const TRetrySpacing* s : {&reach_, &connect_})
        if (s->Failing())
            due = std::max(due, s->Next());
    return due;
}

IXrpcResult TfrRPC::Call(const std::string& method, const std::function<void(TXrpcFunction&)>& fill)
{
    IXrpcResult result;
    if (!reach_.Due(Clock::now())) {
        // The service did not answer the last try: no call until the next is due.
        result = std::make_shared<TXrpcResult>();
        result->SetError(kErrorEmptyResponse, "The service is not reachable");
        return result;
    }
    auto f = std::make_shared<TXrpcFunction>();
    f->SetObjectMethod(method);
    fill(*f);
    // No endpoint: the service is called with an empty request path.
    client_.Execute(f, false, result, "", settings_.driverPort, settings_.driverIp);
    if (!result) {
        result = std::make_shared<TXrpcResult>();
        result->SetError(kErrorEmptyResponse, "The xml-rpc server returned a empty response");
    }
    // Any answer, a fault too, shows the service is there; none at all means it is not.
    if (result->IsError() && result->ErrorCode() == kErrorEmptyResponse) {
        reach_.Failed(Clock::now());
        Log("ServiceUnreachable= " + method + ": " + result->ErrorMsg() + "; next try in " +
            std::to_string(reach_.Delay().count()) + " ms");
    } else {
        reach_.Succeeded();
    }
    return result;
}

void TfrRPC::Reset()
{
    subscribed_ = false;
    serviceSubscription_ = false;
    lineCreated_ = false;
    std::lock_guard guard(mutex_);
    counter_ = 0;
    expected_ = 0;
    pending_.clear();
    busy_ = false;
}

bool TfrRPC::StartServer()
{
    StopServer();
    server_ = std::make_unique<platform::TcpServer>(16);
    std::string error;
    if (!server_->Listen(settings_.clientIp, settings_.clientPort, &error) ||
        !server_->Start([this](platform::TcpConnection& c) { ServeConnection(c); },
                        [this](const std::string& what) { Log("OnMessage= " + what); }, &error)) {
        errorFlag_ = true;
        errorText_ = error + "\r\n";
        server_.reset();
        return false;
    }
    return true;
}

void TfrRPC::StopServer()
{
    if (server_) {
        server_->Stop();
        server_.reset();
    }
}

bool TfrRPC::Connect()
{
    if (subscribed_)
        return true;
    // A Connect that failed is tried again only when the spacing allows.
    if (!connect_.Due(Clock::now()))
        return false;
    const bool up = ConnectNow();
    if (up)
        connect_.Succeeded();
    else
        connect_.Failed(Clock::now());
    return up;
}

bool TfrRPC::ConnectNow()
{
    settings_ = ReadLinkSettings(registry_);
    Reset();
    {
        std::lock_guard guard(mutex_);
        comLine_ = settings_.comPort != 0;
    }
    errorFlag_ = false;
    errorText_.clear();

    // Listen first: the service may call back as soon as it knows us, and a port that cannot
    // be bound fails the link here rather than losing every answer.
    if (!StartServer()) {
        Log("AddMessageSubscriberError= " + errorText_);
        return false;
    }
    const int32_t port = ServerPort();
    announcedPort_ = static_cast<uint16_t>(port);
    IXrpcResult r = Call("AddMessageSubscriber", [&](TXrpcFunction& f) {
        f.AddItem(std::string_view(settings_.clientIp));
        f.AddItem(port);
        f.AddItem("Vendax");
        f.AddItem("OnMethodData");
        f.AddItem("OnDeviceState");
    });
    try {
        if (r->IsError()) {
            errorFlag_ = true;
            errorText_ = r->ErrorMsg() + "\r\n";
        } else {
            subscriberId_ = r->AsString();
            serviceSubscription_ = true;
        }
    } catch (const std::exception& e) {
        errorFlag_ = true;
        errorText_ = std::string(e.what()) + "\r\n";
    }
    if (errorFlag_) {
        Log("AddMessageSubscriberError= " + errorText_);
        StopServer();
        return false;
    }

    r = Call("Lines", [&](TXrpcFunction& f) { f.AddItem(std::string_view(subscriberId_)); });
    try {
        if (r->IsError()) {
            errorFlag_ = true;
            errorText_ = r->ErrorMsg();
        } else if (r->IsArray()) {
            const IXrpcArray lines = r->AsArray();
            for (int i = 0; i < lines->Count(); ++i) {
                const IXrpcStruct s = lines->GetItem(i).AsStruct();
                TLineRecord line;
                const bool rs232 = s->GetKey("Type").AsString() == "RS232";
                line.kind = rs232 ? 0 : 1;
                line.id = s->GetKey("ID").AsInteger();
                line.port = s->GetKey("Port").AsInteger();
                line.autoLine = s->GetKey("Auto").AsBoolean();
                if (rs232)
                    line.comSpeed = s->GetKey("ComSpeed").AsInteger();
                if (line.port == settings_.comPort)
                    lineId_ = line.id;
                if (OnLine)
                    OnLine(line);
            }
        }
    } catch (const std::exception& e) {
        errorFlag_ = true;
        errorText_ = e.what();
    }
    if (errorFlag_) {
        Log("ErrorCreateLine= " + errorText_);
        return false;
    }

    if (settings_.comPort != 0) {
        ReadDevices(lineId_);
        // The service opens its line: give it time before the first request.
        const auto settled = Clock::now() + timeouts_.settle;
        while (Clock::now() < settled)
            std::this_thread::sleep_for(
                std::min<Clock::duration>(timeouts_.step, settled - Clock::now()));
        subscribed_ = true;
        return true;
    }
    const auto deadline = Clock::now() + timeouts_.connect;
    for (;;) {
        if (IsConnectedMac()) {
            subscribed_ = true;
            return true;
        }
        // A service that stopped answering will not say true before the deadline.
        if (Clock::now() >= deadline || reach_.Failing()) {
            StopServer();
            return false;
        }
        std::this_thread::sleep_for(timeouts_.step);
    }
}

bool TfrRPC::IsConnectedMac()
{
    IXrpcResult r =
        Call("Connected", [&](TXrpcFunction& f) { f.AddItem(std::string_view(settings_.mac)); });
    try {
        return !r->IsError() && r->AsBoolean();
    } catch (const std::exception&) {
        return false;
    }
}

// COM-line mode: bus address n is the n-th device the service lists on the line.
void TfrRPC::ReadDevices(int32_t lineId)
{
    {
        std::lock_guard guard(mutex_);
        devices_.clear();
    }
    IXrpcResult r = Call("Devices", [&](TXrpcFunction& f) {
        f.AddItem(std::string_view(subscriberId_));
        f.AddItem(lineId);
    });
    try {
        if (r->IsError()) {
            errorFlag_ = true;
            errorText_ = r->ErrorMsg();
            return;
        }
        if (!r->IsArray())
            return;
        const IXrpcArray list = r->AsArray();
        std::vector<std::string> macs;
        for (int i = 0; i < list->Count() && i < 127; ++i)
            macs.push_back(list->GetItem(i).AsStruct()->GetKey("MAC").AsString());
        std::lock_guard guard(mutex_);
        devices_ = std::move(macs);
    } catch (const std::exception& e) {
        errorFlag_ = true;
        errorText_ = e.what();
    }
}

std::optional<std::string> TfrRPC::MacOf(uint8_t address) const
{
    std::lock_guard guard(mutex_);
    if (address < 1 || address > devices_.size())
        return std::nullopt;
    return devices_[address - 1u];
}

void TfrRPC::Disconnect()
{
    if (!serviceSubscription_) {
        // Nothing was subscribed: no service call is due.
        StopServer();
        Reset();
        return;
    }
    if (settings_.comPort != 0 && lineCreated_) {
        IXrpcResult r = Call("DeleteLine", [&](TXrpcFunction& f) {
            f.AddItem(std::string_view(subscriberId_));
            f.AddItem(lineId_);
        });
        if (r->IsError()) {
            errorFlag_ = true;
            errorText_ = "\r\n" + r->ErrorMsg();
            Log("DeleteLineError= " + std::to_string(r->ErrorCode()));
        }
    }
    StopServer();
    IXrpcResult r = Call("DeleteMessageSubscriber", [&](TXrpcFunction& f) {
        f.AddItem(std::string_view(subscriberId_));
        f.AddItem(std::string_view(settings_.clientIp));
        f.AddItem(static_cast<int32_t>(announcedPort_));
    });
    if (r->IsError())
        errorText_ = "\r\n" + r->ErrorMsg();
    if (settings_.comPort == 0) {
        const auto deadline = Clock::now() + timeouts_.disconnect;
        while (Clock::now() < deadline && IsConnectedMac())
            std::this_thread::sleep_for(timeouts_.step);
    }
    Reset();
    std::lock_guard guard(mutex_);
    devices_.clear();
}

bool TfrRPC::IsConnected()
{
    if (!subscribed_)
        return false;
    if (settings_.comPort != 0)
        return true;
    return IsConnectedMac();
}

bool TfrRPC::IsBusy()
{
    std::lock_guard guard(mutex_);
    return busy_;
}

bool TfrRPC::HasReply()
{
    std::lock_guard guard(mutex_);
    return !pending_.empty();
}

std::vector<uint8_t> TfrRPC::GetReply()
{
    std::lock_guard guard(mutex_);
    return pending_;
}

void TfrRPC::ClearReply()
{
    std::lock_guard guard(mutex_);
    pending_.clear();
}

bool TfrRPC::SendFrame(const std::vector<uint8_t>& frame)
{
    if (!subscribed_)
        return false;
    const bool comLine = settings_.comPort != 0;
    uint16_t counter = 0;
    {
        std::lock_guard guard(mutex_);
        if (busy_)
            return false;
        counter = counter_;
    }
    const std::optional<std::vector<uint8_t>> payload = BuildPayload(frame, comLine, counter);
    if (!payload) {
        Log("SendDataError: the frame does not fit a payload");
        return false;
    }
    const uint8_t address = frame[0] & 0x7F;
    if (frame[3] == 1) {
        // The service polls the units' events itself: the event read is answered here.
        std::lock_guard guard(mutex_);
        lastSend_ = Clock::now();
        auto& stored = storedAnswers_[address];
        if (!stored.empty()) {
            pending_ = stored.front();
            stored.erase(stored.begin());
        } else {
            pending_ = {address, 0x05, 0x02, 0x00, 0x00};
        }
        return false;
    }
    std::string mac = settings_.mac;
    if (comLine) {
        const std::optional<std::string> m = MacOf(address);
        if (!m) {
            Log("SendDataError: no device at address " + std::to_string(address));
            return false;
        }
        mac = *m;
    }
    const std::string hex = EncodeHex(*payload);
    if (comLine)
        Log("SendData: " + hex);
    {
        // Before the call: the answer may come back before "SendData" itself returns.
        std::lock_guard guard(mutex_);
        pending_.clear();
        expected_ = counter;
        counter_ = static_cast<uint16_t>(counter + 1);
        busy_ = true;
        lastSend_ = Clock::now();
    }
    client_.SetRepeatAfterSend(false); // never the same request twice to a unit
    IXrpcResult r = Call("SendData", [&](TXrpcFunction& f) {
        f.AddItem(std::string_view(mac));
        f.AddItem(std::string_view(hex));
    });
    client_.SetRepeatAfterSend(true);
    if (r->IsError()) {
        {
            std::lock_guard guard(mutex_);
            busy_ = false;
        }
        Log("SendDataError: " + r->ErrorMsg());
        return false;
    }
    std::unique_lock lock(mutex_);
    const bool answered = replied_.wait_for(lock, timeouts_.reply, [this] { return !busy_; });
    busy_ = false;
    return answered;
}

// --- IdServer

void TfrRPC::ServeConnection(platform::TcpConnection& c)
{
    ServeHttpCalls(
        c, {timeouts_.request, timeouts_.idle}, kServerName,
        [this](std::string_view body, const std::optional<std::string>& digest) {
            return HandleCall(body, digest);
        },
        [this](const std::string& what) { Log("OnMessage= " + what); });
}

std::string TfrRPC::HandleCall(std::string_view body, const std::optional<std::string>& digest)
{
    TXrpcFunction answer;
    if (!body.empty() && digest) {
        const std::string computed = ContentMd5(body);
        if (*digest != computed) {
            answer.SetError(kErrorBadDigest, RequestDigestFaultText(*digest, computed));
            return answer.GetResponseXML();
        }
    }
    try {
        TXrpcServerParser parser; // one per call
        parser.Parse(body);
        const std::string method = parser.MethodName();
        auto params = parser.TakeParams();
        if (method == "OnMethodData") {
            if (params.size() >= 2 && params[0]->IsString() && params[1]->IsString())
                OnMethodData(params[0]->AsString(), params[1]->AsString());
        } else if (method == "OnDeviceState") {
            if (params.size() >= 3 && params[0]->IsInteger() && params[1]->IsInteger() &&
                params[2]->IsString())
                OnDeviceState(params[0]->AsInteger(), params[1]->AsInteger(),
                              params[2]->AsString());
        }
    } catch (const std::exception& e) {
        answer.SetError(kFaultHandler, e.what());
    }
    return answer.GetResponseXML();
}

void TfrRPC::OnMethodData(const std::string& mac, const std::string& hex)
{
    std::vector<uint8_t> p = DecodeHex(hex);
    const auto now = Clock::now();
    {
        const auto since = std::chrono::duration_cast<std::chrono::milliseconds>(now - [&] {
            std::lock_guard guard(mutex_);
            return lastSend_;
        }());
        Log("RecvData:  S, mS:" + std::to_string(since.count() / 1000 % 60) + ":" +
            std::to_string(since.count() % 1000) + " " + hex);
    }
    std::unique_lock lock(mutex_);
    const size_t minimum = comLine_ ? kMinComLinePayload : kMinMacPayload;
    // Byte 0 is the payload's length: what follows it is not part of the payload, and a
    // payload shorter than it, or than its form's head, carries no answer.
    if (p.empty() || p[0] < minimum || p.size() < p[0]) {
        lock.unlock();
        Log("OnMessage= payload shorter than its length byte or its head: " + hex);
        return;
    }
    p.resize(p[0]);
    const uint8_t type = p[1];
    if (type != 3 && type != 4 && type != 7 && type != 8)
        return;
    lastReceive_ = now;
    if (!busy_ && type == 4 && p.size() > 4 && p[4] == 0)
        lastDeviceMac_ = NormalizeMac(mac).substr(0, 12);
    const uint16_t counter = static_cast<uint16_t>(p[2] | p[3] << 8);
    if (!busy_ || counter != expected_) {
        lock.unlock();
        Log("OnMessage= answer dropped, counter " + std::to_string(counter) + ": " + hex);
        return;
    }
    std::vector<uint8_t> reply;
    if (comLine_) {
        uint8_t address = 0;
        for (size_t i = 0; i < devices_.size(); ++i)
            if (devices_[i] == mac)
                address = static_cast<uint8_t>(i + 1);
        reply.push_back(address);
        reply.push_back(static_cast<uint8_t>(p.size() - 2));
        reply.insert(reply.end(), p.begin() + 4, p.end());
    } else {
        reply.push_back(p[4]);
        reply.push_back(static_cast<uint8_t>(p.size() - 8));
        reply.insert(reply.end(), p.begin() + 10, p.end());
    }
    pending_ = std::move(reply);
    busy_ = false;
    lock.unlock();
    replied_.notify_all();
}

void TfrRPC::OnDeviceState(int32_t state, int32_t value, const std::string& mac)
{
    (void)value;
    Log("OnDeviceState=" + std::to_string(state) + " - " + mac);
    std::lock_guard guard(mutex_);
    lastDeviceMac_ = mac;
}

} // namespace xrpc
