#include "sim/udp_converter.h"

#include "sim/line_log.h"

#include "platform/clock.h"
#include "platform/registry.h"
#include "platform/udp_socket.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace sim {

namespace {

constexpr const char* kPortKeyPrefix = "SOFTWARE\\KAVEX\\ZEMRA\\RS\\PORT";
constexpr const char* kConverterValue = "IPETHERNET";
constexpr std::size_t kHead = 5;
constexpr std::size_t kOversized = 300;

std::string PortKey(int com)
{
    return kPortKeyPrefix + std::to_string(com);
}

std::string Text(const ConverterAddress& c)
{
    return c.address + ":" + std::to_string(c.port);
}

Bytes Datagram(uint8_t first, uint16_t sequence, uint8_t type, const Bytes& payload,
               std::size_t declared)
{
    Bytes d;
    d.reserve(kHead + payload.size());
    for (uint8_t b : {first, static_cast<uint8_t>(declared), static_cast<uint8_t>(sequence >> 8),
                      static_cast<uint8_t>(sequence), type})
        d.push_back(b);
    for (uint8_t b : payload)
        d.push_back(b);
    return d;
}

// A well-formed answer from the same unit with other data: taken for the answer, it would put
// wrong bytes into the operation.
Bytes Decoy(const Bytes& answer)
{
    if (answer.size() < 2)
        return answer;
    Bytes frame(answer.begin(), answer.end() - 1);
    for (std::size_t i = 3; i < frame.size(); ++i)
        frame[i] ^= 0x5A;
    if (frame.size() <= 3 && frame.size() > 2)
        frame[2] ^= 0x5A;
    return WithCrc(frame);
}

} // namespace

UdpConverter::UdpConverter(Bus& bus, UdpConverterOptions options, platform::Clock* clock)
    : bus_(bus), options_(std::move(options)), clock_(clock ? *clock : platform::SystemClock()),
      faults_(options_.faults), random_(options_.seed)
{
}

UdpConverter::~UdpConverter()
{
    Stop();
}

std::vector<uint16_t> UdpConverter::Sequences() const
{
    std::lock_guard guard(sequences_mutex_);
    return sequences_;
}

int64_t UdpConverter::NowUs()
{
    return ClockMicroseconds(clock_);
}

bool UdpConverter::Start(std::string* error)
{
    auto fail = [&](const std::string& why) {
        if (error)
            *error = why;
        Undo();
        return false;
    };
    if (thread_.joinable())
        return fail("already running");
    if (options_.converters.empty())
        return fail("no converter address");
    if (!options_.registry_path.empty() && (options_.com_number < 1 || options_.com_number > 255))
        return fail("COM number must be 1..255");
    for (const ConverterAddress& c : options_.converters) {
        const int socket = platform::UdpOpen();
        if (socket < 0)
            return fail(std::string("cannot make a UDP socket: ") + std::strerror(errno));
        sockets_.push_back(socket);
        if (!platform::UdpBind(socket, c.address, c.port))
            return fail("cannot bind UDP " + Text(c) + ": " + std::strerror(errno));
        bound_.push_back({c.address, platform::UdpLocalPort(socket)});
    }
    if (!wake_.Open())
        return fail(std::string("cannot make a pipe: ") + std::strerror(errno));

    if (!options_.registry_path.empty()) {
        using platform::Hive;
        platform::RegistryFile registry(options_.registry_path);
        const std::string key = PortKey(options_.com_number);
        const std::string ips = key + "\\ETHERNETIP";
        // The port's list is this converter's while it runs: a list left by a killed one
        // would send every request to converters that are gone.
        for (const std::string& name : registry.ValueNames(Hive::LocalMachine, ips))
            if (name.find(kConverterValue) != std::string::npos)
                registry.DeleteValue(Hive::LocalMachine, ips, name);
        bool ok = registry.WriteString(Hive::LocalMachine, key, "WORKTYPE", "ObmenEthernet") &&
                  registry.WriteDword(Hive::LocalMachine, key, "ETHWAITTIME", options_.eth_wait_ms);
        for (std::size_t i = 0; ok && i < bound_.size(); ++i)
            ok = registry.WriteString(Hive::LocalMachine, ips,
                                      kConverterValue + std::to_string(i + 1), Text(bound_[i]));
        registry_made_ = true;
        if (!ok)
            return fail("cannot write the registry file " + options_.registry_path);
    }
    stop_ = false;
    thread_ = std::thread([this] { Run(); });
    return true;
}

void UdpConverter::Stop()
{
    if (thread_.joinable()) {
        stop_ = true;
        wake_.Wake();
        thread_.join();
    }
    Undo();
}

void UdpConverter::Undo()
{
    if (registry_made_) {
        using platform::Hive;
        platform::RegistryFile registry(options_.registry_path);
        const std::string key = PortKey(options_.com_number);
        const std::string ips = key + "\\ETHERNETIP";
        if (registry.ReadString(Hive::LocalMachine, key, "WORKTYPE") == "ObmenEthernet")
            registry.DeleteValue(Hive::LocalMachine, key, "WORKTYPE");
        if (registry.ReadDword(Hive::LocalMachine, key, "ETHWAITTIME") == options_.eth_wait_ms)
            registry.DeleteValue(Hive::LocalMachine, key, "ETHWAITTIME");
        for (std::size_t i = 0; i < bound_.size(); ++i) {
            const std::string name = kConverterValue + std::to_string(i + 1);
            if (registry.ReadString(Hive::LocalMachine, ips, name) == Text(bound_[i]))
                registry.DeleteValue(Hive::LocalMachine, ips, name);
        }
        registry_made_ = false;
    }
    for (int socket : sockets_)
        platform::UdpClose(socket);
    sockets_.clear();
    bound_.clear();
    wake_.Close();
}

void UdpConverter::Log(const std::string& what)
{
    if (!options_.log_path.empty())
        AppendLineLog(options_.log_path, clock_, what);
}

void UdpConverter::LogBytes(const char* direction, const Bytes& bytes)
{
    if (!options_.log_path.empty())
        Log(direction + HexBytes(bytes));
}

int UdpConverter::FireFault()
{
    const auto fired = DrawFaultRule(faults_, random_);
    return fired ? static_cast<int>(*fired) : -1;
}

void UdpConverter::Queue(Outgoing out)
{
    const auto at = std::upper_bound(queue_.begin(), queue_.end(), out.due_us,
                                     [](int64_t due, const Outgoing& x) { return due < x.due_us; });
    queue_.insert(at, std::move(out));
}

void UdpConverter::Handle(std::size_t socket, const Bytes& datagram, const std::string& from,
                          uint16_t port)
{
    if (datagram.size() < kHead || datagram[0] != 0x10 || datagram[4] != 0x10 ||
        datagram[1] != datagram.size() - kHead) {
        LogBytes("udp-drop", datagram);
        return;
    }
    const uint16_t received = static_cast<uint16_t>(datagram[2] << 8 | datagram[3]);
    {
        std::lock_guard guard(sequences_mutex_);
        sequences_.push_back(received);
    }
    Log("seq " + std::to_string(received));
    const uint16_t sequence =
        options_.fixed_sequence >= 0 ? static_cast<uint16_t>(options_.fixed_sequence) : received;
    const int64_t now = NowUs();
    LineActivity activity = bus_.Receive(std::span(datagram).subspan(kHead), now);
    for (const Bytes& d : activity.dropped)
        LogBytes("drop", d);
    for (const Bytes& f : activity.frames)
        LogBytes("in", f);
    if (activity.answers.empty())
        return;

    const int fault = FireFault();
    auto is = [fault](ConverterFault f) { return fault == static_cast<int>(f); };
    if (is(ConverterFault::NoAnswer))
        return;
    const Transmission& first = activity.answers.front();
    // A datagram that is no answer comes before the answer, half-way to it.
    const int64_t before = now + (first.due_us - now) / 2;
    const Bytes decoy = Decoy(first.bytes);
    if (is(ConverterFault::Notice))
        Queue({before, socket, from, port, Datagram(0x10, sequence, 0x12, decoy, decoy.size())});
    if (is(ConverterFault::Foreign))
        Queue({before, socket, from, port, Datagram(0x20, sequence, 0x11, decoy, decoy.size())});
    if (is(ConverterFault::Oversized)) {
        Bytes big = Datagram(0x10, sequence, 0x11, decoy, 0xFF);
        big.resize(kOversized, 0x55);
        Queue({before, socket, from, port, std::move(big)});
    }
    for (Transmission& t : activity.answers) {
        Bytes payload = t.bytes;
        const std::size_t declared = payload.size();
        if (is(ConverterFault::Short))
            payload.resize(payload.size() / 2);
        const int64_t due = t.due_us + (is(ConverterFault::Late) ? options_.late_us : 0);
        Queue({due, socket, from, port, Datagram(0x10, sequence, 0x11, payload, declared)});
    }
}

void UdpConverter::Run()
{
    std::vector<int> waits{wake_.ReadFd()};
    waits.insert(waits.end(), sockets_.begin(), sockets_.end());
    std::vector<uint8_t> buffer(65536);
    while (!stop_) {
        uint32_t timeout = 1000;
        if (!queue_.empty())
            timeout = static_cast<uint32_t>(
                std::clamp<int64_t>((queue_.front().due_us - NowUs() + 999) / 1000, 0, 1000));
        const int ready = platform::UdpWaitReadable(waits, timeout);
        if (ready == 0)
            continue; // woken to stop
        if (ready > 0) {
            const std::size_t socket = static_cast<std::size_t>(ready - 1);
            while (const auto d = platform::UdpReceive(sockets_[socket], buffer)) {
                const Bytes datagram(buffer.begin(),
                                     buffer.begin() + static_cast<std::ptrdiff_t>(d->size));
                Handle(socket, datagram, d->address, d->port);
            }
        }
        const int64_t now = NowUs();
        while (!queue_.empty() && queue_.front().due_us <= now) {
            const Outgoing& out = queue_.front();
            const bool sent =
                platform::UdpSendTo(sockets_[out.socket], out.address, out.port, out.bytes);
            LogBytes(sent ? "udp-out" : "udp-lost", out.bytes);
            queue_.erase(queue_.begin());
        }
        const LineActivity expired = bus_.Expire(now);
        for (const Bytes& d : expired.dropped)
            LogBytes("drop", d);
    }
}

} // namespace sim
