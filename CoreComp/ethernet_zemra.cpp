#include "CoreComp/ethernet_zemra.h"

#include "CoreComp/rssess/rs_session.h"

#include "platform/clock.h"
#include "platform/registry.h"
#include "platform/udp_socket.h"

#include <algorithm>
#include <charconv>
#include <cstring>

namespace {

constexpr uint8_t kRequestMark = 0x10;
constexpr uint8_t kNoticeType = 2;
constexpr std::size_t kHead = 5;
constexpr std::size_t kScratch = 8192;

class UdpNet : public TDatagramNet
{
public:
    int OpenSocket() override { return platform::UdpOpen(); }
    bool Bind(int socket, uint16_t port) override { return platform::UdpBind(socket, "", port); }
    void CloseSocket(int socket) override { platform::UdpClose(socket); }
    bool SendTo(int socket, const std::string& address, uint16_t port,
                std::span<const uint8_t> datagram) override
    {
        return platform::UdpSendTo(socket, address, port, datagram);
    }
    int WaitReadable(std::span<const int> sockets, uint32_t timeoutMs) override
    {
        return platform::UdpWaitReadable(sockets, timeoutMs);
    }
    std::optional<Received> Receive(int socket, std::span<uint8_t> buffer) override
    {
        auto d = platform::UdpReceive(socket, buffer);
        if (!d)
            return std::nullopt;
        return Received{d->size, d->truncated, std::move(d->address)};
    }
};

} // namespace

std::unique_ptr<TDatagramNet> MakeUdpNet()
{
    return std::make_unique<UdpNet>();
}

std::optional<std::vector<uint8_t>> AnswerPayload(std::span<const uint8_t> datagram, bool truncated)
{
    if (truncated || datagram.size() < kHead)
        return std::nullopt;
    if ((datagram[0] >> 4) != 1 || (datagram[4] & 0x0F) == kNoticeType)
        return std::nullopt;
    const std::size_t n = std::min<std::size_t>(datagram[1], datagram.size() - kHead);
    return std::vector<uint8_t>(datagram.begin() + kHead, datagram.begin() + kHead + n);
}

// --- the link

TEthernet_COM_Simulator::TEthernet_COM_Simulator(platform::Clock& clock,
                                                 std::unique_ptr<TDatagramNet> net)
    : clock_(clock), net_(net ? std::move(net) : MakeUdpNet())
{
}

TEthernet_COM_Simulator::~TEthernet_COM_Simulator()
{
    CloseSockets();
    ClearTargets();
}

void TEthernet_COM_Simulator::ClearTargets()
{
    // The sockets are not closed here; a socket still open is closed first, so that none is
    // lost when the lists are rebuilt.
    CloseSockets();
    targets_.clear();
    sockets_.clear();
    locals_.clear();
}

bool TEthernet_COM_Simulator::AddTargetText(const std::string& text)
{
    const std::size_t colon = text.find(':');
    if (colon == std::string::npos)
        return false;
    const std::string digits = text.substr(colon + 1);
    unsigned long port = 0;
    const char* end = digits.data() + digits.size();
    const auto [ptr, ec] = std::from_chars(digits.data(), end, port);
    // A port outside 1..65535 is a conversion error like any other: 70000 must not become 4464.
    if (digits.empty() || ec != std::errc() || ptr != end || port < 1 || port > 65535)
        return false;
    AddTarget(text.substr(0, colon), static_cast<uint16_t>(port));
    return true;
}

void TEthernet_COM_Simulator::AddTarget(const std::string& address, uint16_t port)
{
    const auto same = std::find_if(locals_.begin(), locals_.end(),
                                   [port](const Local& l) { return l.port == port; });
    std::size_t index;
    if (same != locals_.end()) {
        index = static_cast<std::size_t>(same - locals_.begin());
    } else {
        index = locals_.size();
        sockets_.push_back(-1);
        locals_.push_back(Local{port, false, false});
    }
    Target t;
    t.address = address;
    t.port = port;
    t.socket = index;
    t.canonical = platform::UdpCanonicalAddress(address);
    targets_.push_back(std::move(t));
}

void TEthernet_COM_Simulator::OpenSockets()
{
    for (std::size_t i = 0; i < sockets_.size(); ++i) {
        if (locals_[i].open)
            continue;
        // The open flag means "tried and not yet closed"; a socket that could not be made
        // keeps -1 and is never closed.
        sockets_[i] = net_->OpenSocket();
        locals_[i].open = true;
        locals_[i].bound = sockets_[i] >= 0 && net_->Bind(sockets_[i], locals_[i].port);
    }
}

void TEthernet_COM_Simulator::CloseSockets()
{
    for (std::size_t i = 0; i < sockets_.size(); ++i) {
        if (!locals_[i].open)
            continue;
        if (sockets_[i] >= 0)
            net_->CloseSocket(sockets_[i]);
        sockets_[i] = -1;
        locals_[i].open = false;
        locals_[i].bound = false;
    }
}

bool TEthernet_COM_Simulator::IsOpen() const
{
    return !targets_.empty() &&
           std::all_of(targets_.begin(), targets_.end(),
                       [this](const Target& t) { return locals_[t.socket].open; });
}

void TEthernet_COM_Simulator::DrainInput()
{
    // Bounded: a converter that keeps sending cannot hold the exchange here.
    std::vector<uint8_t> scratch(kScratch);
    for (int i = 0; i < kMaxDrained; ++i) {
        const int ready = net_->WaitReadable(sockets_, 0);
        if (ready < 0)
            return;
        if (!net_->Receive(sockets_[static_cast<std::size_t>(ready)], scratch))
            return;
    }
}

bool TEthernet_COM_Simulator::EchoTrusted() const
{
    return !targets_.empty() &&
           std::all_of(targets_.begin(), targets_.end(), [](const Target& t) { return t.trusted; });
}

void TEthernet_COM_Simulator::Log(const std::string& line)
{
    if (log_)
        log_(line);
}

bool TEthernet_COM_Simulator::Send(std::span<const uint8_t> payload)
{
    // The thread's priority stays as it is: raising it needs privileges here, and would stay
    // raised for the window's thread.
    if (payload.size() > kMaxPayload)
        return false; // its length byte would wrap
    asked_ = OwedEntry(payload);
    AbsorbOwedAnswers(asked_);
    DrainInput();
    std::vector<uint8_t> datagram(kHead + payload.size());
    datagram[0] = kRequestMark;
    datagram[1] = static_cast<uint8_t>(payload.size());
    datagram[4] = kRequestMark;
    std::copy(payload.begin(), payload.end(), datagram.begin() + kHead);
    for (Target& t : targets_) {
        datagram[2] = static_cast<uint8_t>(sequence_ >> 8);
        datagram[3] = static_cast<uint8_t>(sequence_);
        t.lastSequence = sequence_;
        ++sequence_; // used up even when nothing goes out
        const Local& local = locals_[t.socket];
        t.sent = local.open && local.bound;
        if (t.sent)
            net_->SendTo(sockets_[t.socket], t.address, t.port, datagram);
    }
    return true;
}

int64_t TEthernet_COM_Simulator::NowUs() const
{
    const int64_t frequency = clock_.CounterFrequency();
    if (frequency <= 0)
        return int64_t{clock_.TickCount()} * 1000;
    return static_cast<int64_t>(static_cast<long double>(clock_.Counter()) * 1e6L / frequency);
}

TEthernet_COM_Simulator::Heard TEthernet_COM_Simulator::Classify(const TDatagramNet::Received& got,
                                                                 std::vector<uint8_t>& payload)
{
    const std::size_t size = std::min(got.size, buffer_.size());
    const std::span<const uint8_t> datagram = std::span(buffer_).first(size);
    // Any host that reaches the port could send an answer: only the converters are heard.
    bool known = false;
    for (const Target& t : targets_)
        known = known || (!t.canonical.empty() && t.canonical == got.address);
    if (!known) {
        Log("датаграмма не от преобразователя: " + got.address);
        return Heard::Stranger;
    }
    auto answer = AnswerPayload(datagram, got.truncated);
    if (!answer)
        return Heard::NotAnswer;
    const uint16_t number = static_cast<uint16_t>(datagram[2] << 8 | datagram[3]);
    bool current = false;
    bool trusted = false;
    for (const Target& t : targets_) {
        if (t.canonical != got.address)
            continue;
        current = current || (t.sent && t.lastSequence == number);
        trusted = trusted || t.trusted;
    }
    if (trusted && !current) {
        Log("запоздалый ответ " + got.address + ", номер " + std::to_string(number));
        return Heard::Stale;
    }
    for (Target& t : targets_) {
        if (t.canonical != got.address)
            continue;
        t.echoes = current ? t.echoes + 1 : 0;
        if (t.echoes >= kEchoesToTrust)
            t.trusted = true;
    }
    payload = std::move(*answer);
    return Heard::Answer;
}

TEthernet_COM_Simulator::Heard TEthernet_COM_Simulator::Next(int64_t leftUs,
                                                             std::vector<uint8_t>& payload)
{
    const int ready = net_->WaitReadable(sockets_, static_cast<uint32_t>((leftUs + 999) / 1000));
    if (ready < 0)
        return Heard::Nothing;
    buffer_.fill(0);
    const auto got = net_->Receive(sockets_[static_cast<std::size_t>(ready)], buffer_);
    if (!got)
        return Heard::NotAnswer;
    return Classify(*got, payload);
}

int TEthernet_COM_Simulator::OwedEntry(std::span<const uint8_t> frame)
{
    // A coded frame hides its command, but only the unit that holds its key answers it.
    if (frame.size() < 4)
        return 0;
    const int address = frame[0] & 0x7F;
    if (address == 0)
        return -1;
    return (frame[0] & 0x80) == 0 && frame[3] == 15 ? 0 : address;
}

int TEthernet_COM_Simulator::OwedAnswers() const
{
    int owed = 0;
    for (const int n : owed_)
        owed += n;
    return owed;
}

void TEthernet_COM_Simulator::PayOwedAnswer(std::span<const uint8_t> answer)
{
    const int from = answer.empty() ? 0 : answer[0] & 0x7F;
    if (owed_.at(static_cast<std::size_t>(from)) > 0)
        --owed_.at(static_cast<std::size_t>(from));
    else if (owed_[0] > 0)
        --owed_[0];
}

void TEthernet_COM_Simulator::AbsorbOwedAnswers(int entry)
{
    // Each wait that ended without an answer may still get one, and a converter that does not
    // echo the number gives no way to tell it from the next request's: the answers this
    // request could meet (its unit's, and those from any unit) are taken here.
    if (EchoTrusted())
        owed_.fill(0);
    const auto meets = [entry](std::size_t i) {
        return entry <= 0 || i == 0 || i == static_cast<std::size_t>(entry);
    };
    const auto owedHere = [&] {
        int n = 0;
        for (std::size_t i = 0; i < owed_.size(); ++i)
            n += meets(i) ? owed_[i] : 0;
        return n;
    };
    int64_t untilUs = 0;
    for (std::size_t i = 0; i < owed_.size(); ++i) {
        if (meets(i) && owed_[i] > 0)
            untilUs = std::max(untilUs, owedUntilUs_[i]);
    }
    if (owedHere() > 0 && untilUs > NowUs())
        ++heldSends_;
    while (owedHere() > 0) {
        const int64_t leftUs = untilUs - NowUs();
        if (leftUs <= 0)
            break;
        std::vector<uint8_t> payload;
        const Heard heard = Next(leftUs, payload);
        if (heard == Heard::Nothing)
            break;
        if (heard == Heard::Answer)
            PayOwedAnswer(payload);
    }
    for (std::size_t i = 0; i < owed_.size(); ++i) {
        if (meets(i))
            owed_[i] = 0;
    }
}

std::vector<uint8_t> TEthernet_COM_Simulator::Receive()
{
    // The first round sleeps, and then the whole wait is the budget: one deadline, which an
    // ignored datagram does not shorten.
    clock_.Sleep(kRoundMs);
    if (wait_ <= 0)
        return {};
    const int64_t deadline = NowUs() + int64_t{wait_} * 1000;
    for (bool first = true;; first = false) {
        if (!first) {
            const int64_t leftUs = deadline - NowUs();
            if (leftUs <= 0)
                break;
            clock_.Sleep(static_cast<uint32_t>(std::min<int64_t>(kRoundMs, (leftUs + 999) / 1000)));
        }
        std::vector<uint8_t> payload;
        const Heard heard = Next(std::max<int64_t>(deadline - NowUs(), 0), payload);
        if (heard == Heard::Nothing)
            break;
        if (heard != Heard::Answer)
            continue;
        // Without the echo, an answer from another unit is a late one of its own: it pays
        // that unit's debt, and the unit asked still owes its answer.
        const bool fromAsked = asked_ <= 0 || (!payload.empty() && (payload[0] & 0x7F) == asked_);
        if (EchoTrusted() || fromAsked)
            return payload;
        PayOwedAnswer(payload);
        OweAnswer();
        return payload;
    }
    // Nothing came in time; whatever comes later must not answer the next request.
    OweAnswer();
    return {};
}

void TEthernet_COM_Simulator::OweAnswer()
{
    if (EchoTrusted() || asked_ < 0)
        return;
    const std::size_t i = static_cast<std::size_t>(asked_);
    ++owed_[i];
    owedUntilUs_[i] =
        std::max(owedUntilUs_[i], NowUs() + int64_t{kLateAnswerMs + kDeliveryLatencyMs} * 1000);
}

// --- the transport

TEthernetZemra::TEthernetZemra(TRSSession* owner, std::unique_ptr<TDatagramNet> net)
    : TCommZemraAbstract(owner),
      link_(std::make_unique<TEthernet_COM_Simulator>(
          owner ? owner->SessionClock() : platform::SystemClock(), std::move(net)))
{
    if (owner)
        link_->SetLog([owner](const std::string& line) { owner->LogTransportNote(line); });
}

TEthernetZemra::~TEthernetZemra() = default;

void TEthernetZemra::FlushOut()
{
    sendRefused_ = !link_->Send(output_);
    output_.clear();
}

void TEthernetZemra::FetchIn()
{
    input_.clear();
    inputPos_ = 0;
    if (sendRefused_) {
        sendRefused_ = false;
        return; // nothing went out, so nothing can come back
    }
    input_ = link_->Receive();
}

void TEthernetZemra::Close()
{
    link_->CloseSockets();
}

bool TEthernetZemra::IsClosed()
{
    if (owner_ && owner_->ServiceMode())
        return false;
    return !link_->IsOpen();
}

intptr_t TEthernetZemra::Open(const std::string&, uint32_t, uint32_t, void*, uint32_t, uint32_t,
                              intptr_t)
{
    using platform::Hive;
    link_->CloseSockets();
    link_->ClearTargets();
    platform::RegistryFile& registry =
        owner_ ? owner_->SessionRegistry() : platform::ProcessRegistry();
    const std::string key =
        std::string(kBusKey) + "\\PORT" + std::to_string(owner_ ? owner_->ComPort() : 1);
    answerWait_ = kDefaultAnswerWait;
    try {
        if (!registry.KeyExists(Hive::LocalMachine, key))
            registry.CreateKey(Hive::LocalMachine, key);
        const auto wait = registry.ReadDword(Hive::LocalMachine, key, "ETHWAITTIME");
        if (wait && *wait >= 0)
            answerWait_ = *wait;
        if (answerWait_ > kMaxRegistryMs) {
            // Like the bus layer's times: a minute at most, and the cut logged once.
            if (!waitCutLogged_ && owner_ && owner_->Settings().LogCommand) {
                waitCutLogged_ = true;
                owner_->LogTransportNote("Значение ETHWAITTIME=" + std::to_string(answerWait_) +
                                         " слишком велико, взято " +
                                         std::to_string(kMaxRegistryMs));
            }
            answerWait_ = kMaxRegistryMs;
        }
        link_->SetTimeout(answerWait_);

        const std::string ips = key + "\\ETHERNETIP";
        if (!registry.KeyExists(Hive::LocalMachine, ips))
            registry.CreateKey(Hive::LocalMachine, ips);
        for (const std::string& name : registry.ValueNames(Hive::LocalMachine, ips)) {
            if (name.find("IPETHERNET") == std::string::npos)
                continue;
            const auto text = registry.ReadString(Hive::LocalMachine, ips, name);
            if (!text || !link_->AddTargetText(*text))
                break; // the first bad value ends the scan; those before it stay
        }
    } catch (...) {
        link_->SetTimeout(answerWait_);
    }
    link_->OpenSockets();
    return handle_;
}

int32_t TEthernetZemra::SetCommTimeouts(const platform::CommTimeouts& timeouts)
{
    const int64_t budget = int64_t{timeouts.ReadTotalTimeoutConstant} + answerWait_;
    link_->SetTimeout(static_cast<int32_t>(std::min<int64_t>(budget, INT32_MAX)));
    return -1;
}

bool TEthernetZemra::Write(const void* buffer, uint32_t count, uint32_t& written, void*)
{
    const auto* bytes = static_cast<const uint8_t*>(buffer);
    output_.insert(output_.end(), bytes, bytes + count);
    written = count;
    return count > 0;
}

bool TEthernetZemra::Read(void* buffer, uint32_t count, uint32_t& read, void*)
{
    const std::size_t take = std::min<std::size_t>(count, input_.size() - inputPos_);
    if (take > 0)
        std::memcpy(buffer, input_.data() + inputPos_, take);
    inputPos_ += take;
    read = static_cast<uint32_t>(take);
    return take > 0;
}

int32_t TEthernetZemra::ClearCommError(uint32_t& errors, platform::ComStat*)
{
    errors = 0;
    return -1;
}
