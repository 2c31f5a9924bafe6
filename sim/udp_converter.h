#pragma once
// Serves a Bus through simulated Ethernet-to-RS-485 converters on UDP, one socket per
// converter address.  A request datagram (10 n seq_hi seq_lo 10 and n bytes of bus frame) puts
// the frame on the line; each answer the units give goes back to the sender at its due time as
// 10 n seq_hi seq_lo 11 and the answer bytes, with the request's sequence number (or a fixed
// one, as a converter that does not echo it).  Datagrams of
// any other form are dropped.  Several converters serve the same line, so the units hear a
// request sent to all of them once per converter.
//
// The session binds the converter's port number on every local address and sends from there,
// so a converter on this machine takes an address of its own (127.0.0.2, ...).
//
// Optional:
// - registry values for the session's port N under SOFTWARE\KAVEX\ZEMRA\RS\PORT<N>: WORKTYPE
//   "ObmenEthernet", ETHWAITTIME and, under \ETHERNETIP, "IPETHERNET<i>" = "address:port" for
//   each converter (an earlier list of that port is replaced); Stop() removes the values that
//   still hold what it wrote;
// - a log in the pty server's form ("in" and "drop" for the bus frames), plus "seq N" for every
//   request datagram and "udp-out", "udp-lost", "udp-drop" for the datagrams sent or refused;
// - converter faults, drawn per answered request in the order of ConverterFault.
//
// Threads: Start(), Stop() and the destructor belong to the owning thread; Sequences() may be
// called from any thread.  The Bus has its own lock.

#include "sim/bus.h"
#include "sim/line_log.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace platform {
class Clock;
}

namespace sim {

struct ConverterAddress
{
    std::string address; // dotted-decimal IPv4
    uint16_t port = 0;   // 0: a free port, chosen at Start()
};

// Ways a converter spoils an exchange.  The first three send a datagram before the answer that
// must not be taken for it (its payload is a well-formed answer with other data).
enum class ConverterFault {
    Notice,    // a type-2 notice
    Foreign,   // a datagram whose first byte's high nibble is 2
    Oversized, // a 300-byte datagram
    Short,     // the answer declares more payload than it carries
    Late,      // the answer comes late_us later
    NoAnswer,  // the answer is not sent
};
inline constexpr int kConverterFaultKinds = 6;

struct UdpConverterOptions
{
    std::vector<ConverterAddress> converters;
    std::string registry_path; // empty: no registry values
    int com_number = 0;        // with registry_path: 1..255
    int32_t eth_wait_ms = 100; // written as ETHWAITTIME
    std::string log_path;
    std::array<FaultRule, kConverterFaultKinds> faults{};
    uint32_t late_us = 1000000;
    uint32_t seed = 1;
    // 0..65535: every answer datagram carries this number, as a converter that does not echo
    // the request's; -1: the request's number.
    int32_t fixed_sequence = -1;
};

class UdpConverter
{
public:
    explicit UdpConverter(Bus& bus, UdpConverterOptions options, platform::Clock* clock = nullptr);
    ~UdpConverter();
    UdpConverter(const UdpConverter&) = delete;
    UdpConverter& operator=(const UdpConverter&) = delete;

    // Binds the sockets, writes the registry values and starts the thread; on failure undoes
    // what it made and error says why.
    bool Start(std::string* error = nullptr);
    void Stop(); // idempotent
    // The converters with their bound ports, once started.
    const std::vector<ConverterAddress>& Converters() const { return bound_; }
    // The sequence numbers of the request datagrams received, in order.
    std::vector<uint16_t> Sequences() const;

private:
    struct Outgoing
    {
        int64_t due_us = 0;
        std::size_t socket = 0;
        std::string address;
        uint16_t port = 0;
        Bytes bytes;
    };
    void Run();
    void Undo();
    void Handle(std::size_t socket, const Bytes& datagram, const std::string& from, uint16_t port);
    void Queue(Outgoing out);
    int FireFault();
    int64_t NowUs();
    void Log(const std::string& what);
    void LogBytes(const char* direction, const Bytes& bytes);

    Bus& bus_;
    const UdpConverterOptions options_;
    platform::Clock& clock_;
    std::vector<int> sockets_;
    std::vector<ConverterAddress> bound_;
    std::vector<Outgoing> queue_; // by due time
    std::array<FaultRule, kConverterFaultKinds> faults_;
    std::mt19937 random_;
    WakePipe wake_;
    bool registry_made_ = false;
    mutable std::mutex sequences_mutex_;
    std::vector<uint16_t> sequences_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

} // namespace sim
