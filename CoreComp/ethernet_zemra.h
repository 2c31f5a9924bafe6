#pragma once
// The Ethernet-to-RS-485 converter transport.  What the session writes is buffered and goes out
// at FlushOut as one datagram to every converter of the port; FetchIn waits for one answer
// datagram from any of them.  The converters are listed in the registry under the port's key
// (ETHWAITTIME and the \ETHERNETIP values whose names contain "IPETHERNET").
//
// Datagrams: a request is 10 n seq_hi seq_lo 10 and n payload bytes (the bus frame with its
// checksum); an answer is 1x n .. .. yt and the payload, where a high nibble other than 1 in
// the first byte or the type t = 2 (a notice) marks a datagram that carries no bus answer.
//
// Late answers.  A memory-read answer names no offset, so an answer that comes after its wait
// must never be taken for a later request's.  Only datagrams from the IPv4 addresses of the
// configured converters are heard (from any port).  A converter that has echoed the current
// sequence number in two answers running is trusted to echo it: its answers with another
// number are stale and ignored.  For a converter not (yet) trusted, every wait that ended
// without an answer from the unit asked leaves that unit's answer owed, as on the serial line:
// before the next send that could meet it (a request to that unit, or one that takes an answer
// from any unit) the link waits for the owed answers until one second past that wait's end,
// then drains.  A request to another unit goes out at once: an answer from a unit it was not
// sent to fails its address check.
//
// Threads: no lock; one thread at a time drives a session's transport (the session's lock).

#include "CoreComp/comm_zemra.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace platform {
class Clock;
class RegistryFile;
} // namespace platform

// The datagram seam under the converter link: the real one is platform/udp_socket, tests put
// a scripted network on the fake clock in its place.
class TDatagramNet
{
public:
    struct Received
    {
        std::size_t size = 0;
        bool truncated = false;
        std::string address; // the sender's, dotted-decimal
    };
    virtual ~TDatagramNet() = default;
    virtual int OpenSocket() = 0; // -1 when it cannot be made
    virtual bool Bind(int socket, uint16_t port) = 0;
    virtual void CloseSocket(int socket) = 0;
    virtual bool SendTo(int socket, const std::string& address, uint16_t port,
                        std::span<const uint8_t> datagram) = 0;
    // Index of a socket with a datagram to read, -1 after timeoutMs without one, -2 on failure.
    virtual int WaitReadable(std::span<const int> sockets, uint32_t timeoutMs) = 0;
    virtual std::optional<Received> Receive(int socket, std::span<uint8_t> buffer) = 0;
};

std::unique_ptr<TDatagramNet> MakeUdpNet();

// The payload of an answer datagram, or nullopt when the datagram is not an answer: shorter
// than its 5-byte head, cut short by the receive buffer, from something else than a converter
// (high nibble of byte 0 not 1), or a notice (type 2).  The payload is at most the bytes that
// arrived, whatever the length byte claims.
std::optional<std::vector<uint8_t>> AnswerPayload(std::span<const uint8_t> datagram,
                                                  bool truncated);

// The converter link: targets, one socket per distinct port, the sequence number.
class TEthernet_COM_Simulator
{
public:
    static constexpr std::size_t kReceiveBuffer = 261; // 5 head bytes and up to 256 payload
    static constexpr std::size_t kMaxPayload = 255;    // what the length byte can say
    static constexpr uint32_t kRoundMs = 15;
    static constexpr int kMaxDrained = 256; // datagrams dropped before a send, at most
    // How long past a wait's end an answer may still come and must not be taken for another.
    static constexpr int32_t kLateAnswerMs = 1000;
    static constexpr int32_t kDeliveryLatencyMs = 50;
    // Answers in a row that echo the current sequence number before a converter is trusted.
    static constexpr int kEchoesToTrust = 2;

    TEthernet_COM_Simulator(platform::Clock& clock, std::unique_ptr<TDatagramNet> net);
    ~TEthernet_COM_Simulator();
    TEthernet_COM_Simulator(const TEthernet_COM_Simulator&) = delete;
    TEthernet_COM_Simulator& operator=(const TEthernet_COM_Simulator&) = delete;

    void ClearTargets();
    void SetTimeout(int32_t ms) { wait_ = ms; }
    int32_t Timeout() const { return wait_; }
    // "address:port", the port 1..65535 in decimal; false (and nothing added) otherwise.
    bool AddTargetText(const std::string& text);
    void AddTarget(const std::string& address, uint16_t port);
    void OpenSockets();
    void CloseSockets();
    bool IsOpen() const;
    // False (nothing sent) for a payload the length byte cannot hold.
    bool Send(std::span<const uint8_t> payload);
    void DrainInput();
    // The first answer within the wait (which starts after the first round's sleep); empty for
    // none.
    std::vector<uint8_t> Receive();
    // Notes for the port log: datagrams that were not taken, and why.
    void SetLog(std::function<void(const std::string&)> log) { log_ = std::move(log); }

    uint16_t SequenceNumber() const { return sequence_; }
    // The answers still owed by converters that are not trusted to echo the sequence number.
    int OwedAnswers() const;
    // The sends so far that waited for an owed answer first.
    int HeldSends() const { return heldSends_; }
    // True once every converter has shown that it echoes the sequence number.
    bool EchoTrusted() const;
    std::size_t TargetCount() const { return targets_.size(); }
    std::size_t SocketCount() const { return sockets_.size(); }

private:
    struct Target
    {
        std::string address;
        uint16_t port = 0;
        std::size_t socket = 0;
        std::string canonical; // the address as a sender's address reads, empty if not IPv4
        bool sent = false;     // the last Send went to it, numbered lastSequence
        uint16_t lastSequence = 0;
        int echoes = 0; // answers in a row with the current number
        bool trusted = false;
    };
    enum class Heard { Answer, Stale, Stranger, NotAnswer, Nothing };
    // Sorts one datagram in buffer_; an answer's payload goes to payload.
    Heard Classify(const TDatagramNet::Received& got, std::vector<uint8_t>& payload);
    // Waits up to leftUs for the next datagram and sorts it; Nothing when none came in time.
    Heard Next(int64_t leftUs, std::vector<uint8_t>& payload);
    // Entry of the owed table for a request or an answer: its unit's address, or 0 when it
    // meets answers from any unit (command 15 or no bus frame); -1 for a broadcast.
    static int OwedEntry(std::span<const uint8_t> frame);
    void AbsorbOwedAnswers(int entry);
    void PayOwedAnswer(std::span<const uint8_t> answer);
    void OweAnswer(); // the unit asked last owes its answer, up to a second from now
    void Log(const std::string& line);
    struct Local
    {
        uint16_t port = 0;
        bool bound = false;
        bool open = false;
    };
    int64_t NowUs() const;

    platform::Clock& clock_;
    std::unique_ptr<TDatagramNet> net_;
    std::vector<Target> targets_;
    std::vector<int> sockets_; // -1: not made
    std::vector<Local> locals_;
    std::array<uint8_t, kReceiveBuffer> buffer_{};
    uint16_t sequence_ = 0xFFFF;
    int32_t wait_ = 500;
    // Per unit (entry 0: any unit) the answers owed and until when they may still come.
    std::array<int, 128> owed_{};
    std::array<int64_t, 128> owedUntilUs_{};
    int asked_ = 0; // the owed entry of the last request sent
    int heldSends_ = 0;
    std::function<void(const std::string&)> log_;
};

class TEthernetZemra : public TCommZemraAbstract
{
public:
    static constexpr int32_t kDefaultAnswerWait = 500;

    // net: the datagram seam; nullptr takes real UDP sockets.  The clock and the registry are
    // the owning session's.
    explicit TEthernetZemra(TRSSession* owner, std::unique_ptr<TDatagramNet> net = nullptr);
    ~TEthernetZemra() override;

    void FlushOut() override;
    void FetchIn() override;
    void Close() override;
    bool IsClosed() override;
    intptr_t Open(const std::string& fileName, uint32_t desiredAccess, uint32_t shareMode,
                  void* securityAttributes, uint32_t creationDisposition,
                  uint32_t flagsAndAttributes, intptr_t templateFile) override;
    int32_t GetCommState(platform::Dcb&) override { return -1; }
    int32_t SetCommState(const platform::Dcb&) override { return -1; }
    int32_t GetCommTimeouts(platform::CommTimeouts&) override { return -1; }
    int32_t SetCommTimeouts(const platform::CommTimeouts& timeouts) override;
    int32_t SetupComm(uint32_t, uint32_t) override { return -1; }
    int32_t EscapeCommFunction(uint32_t) override { return -1; }
    int32_t PurgeComm(uint32_t) override { return -1; }
    bool Write(const void* buffer, uint32_t count, uint32_t& written, void* overlapped) override;
    bool Read(void* buffer, uint32_t count, uint32_t& read, void* overlapped) override;
    int32_t ClearCommError(uint32_t& errors, platform::ComStat* stat) override;
    bool CarriesDatagrams() const override { return true; }

    int32_t AnswerWait() const { return answerWait_; }
    TEthernet_COM_Simulator& Link() { return *link_; }

private:
    int32_t answerWait_ = kDefaultAnswerWait;
    std::unique_ptr<TEthernet_COM_Simulator> link_;
    std::vector<uint8_t> output_;
    std::vector<uint8_t> input_;
    std::size_t inputPos_ = 0;
    bool sendRefused_ = false;
    bool waitCutLogged_ = false;
};
