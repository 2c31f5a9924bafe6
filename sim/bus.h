#pragma once
// Simulated Т4700 units on one RS-485 line, as the bus sees them.
//
// A Bus holds up to 127 units (address, type code, 16-bit version, 8 KiB of configuration
// memory, eight credential codes, a coding key and an event log) and the receiver of its line.
// Bytes from the line go into Receive(); whole frames with a good bus CRC-8 are answered, and
// each answer comes back as a Transmission with the time at which it is due on the line.  The
// Bus itself never sleeps or touches a descriptor: PtyServer (pty_server.h) puts it on a
// pseudo-terminal, and tests may drive it directly with their own time stamps.
//
// Frames (hex, CRC-8 omitted; a = address, T = type, V = version):
//   0D ..               -> a 06 00 T Vlo Vhi, or a 05 00 T Vlo from a unit set to the short
//                          form (SetShortTypeAnswer) that some units use
//   3F 29 ..            -> a 08 3E 29 Vlo Vhi 00 00
//   43 lo hi xx n       -> a (04+n) 44 n d0..d(n-1)       read n bytes at xx:hi:lo
//   41 lo hi xx d0..    -> a 05 42 00 00                  store L-7 bytes at xx:hi:lo
//   1D 0E n ..          -> a 0C 1E 0E k0..k7, or a 05 1E 00 00 for an empty slot (n 1..8)
//   25 0E n 00 k0..k7   -> a 06 26 01 n 00
//   17 ..               -> a 05 18 00 00                  closing command
//   11 k ..             -> a 05 12 k 00, then the unit's key is k
//   01 ..               -> the head of the event log, or a 05 02 00 00 when it is empty
//   03 ..               -> no answer; drops the head of the event log
//   2B ..               -> a 05 2C 00 00                  confirmation
//   1D 00 e1 e2         -> a (05+n) 1E e1 e2 d0..         details of a short event (SetEventDetails)
//   13 ..               -> a 05 14 00 00
//   29 ..               -> a 05 2A 00 00                  the clock
// A unit may carry a peer (unit_peer.h) that sees its requests before these answers and every
// broadcast on the line.
// A table of answers per address and command (SetAnswer) takes precedence over all of these,
// so a unit can answer the event read with a foreign command.  A silent unit (SetSilent,
// AddSilence) hears every frame and answers none.  An event generator (SetEventRate) queues
// numbered events at a steady rate, cycling through the answer commands 04, 0C and 0E:
// {cmd, 22, n_lo, n_hi, 00, 00} for 04 and the same followed by a six-byte stamp of zeros for
// the others, n counting from 1.  A unit with endless events (SetEndlessEvents) never runs
// dry: an event read that finds its log empty first queues the next such event.  Every frame the bus takes is kept with its time in History().
// A unit ignores (does not answer) any other command, a memory access outside its memory, a
// read of 0 or more than 251 bytes, a slot outside 1..8 and a frame shorter than its command
// needs.  Broadcasts (address 0) get no answer; they reach the units' peers.  Memory bytes
// past the 7,676-byte image read as FF until written.
//
// Coding: a frame whose address has bit 7 set and whose key byte is non-zero is decoded from
// byte 3 on with mask = (unit key & 0xFF) XOR key byte; its answer carries bit 7 and is coded
// from byte 2 on with the same mask, the CRC-8 taken over the coded bytes.  Plain frames are
// always accepted, also by a unit that has a key.
//
// Receiver: a frame is address, L (5..255), bytes up to L and the CRC-8 at L.  A byte that
// cannot start a frame (L below 5, or a CRC-8 that does not match) is dropped and the rest is
// scanned again; bytes that wait longer than the gap time for the rest of their frame are
// dropped when the next byte comes or at Expire().  A frame may arrive in any number of pieces.
//
// Timing: an answer is due after the request's own wire time, the turnaround and the answer's
// wire time (10 bits a byte at the line speed), counted from the arrival of the request's
// last byte.  The session purges its input after its line-time wait, so an answer must never
// be on the line before that.
//
// Threads: every member function may be called from any thread; one lock guards the units,
// the receiver and the fault state.  Receive() and Expire() are meant for one line thread.

#include "sim/line_handler.h"
#include "sim/unit_peer.h"

#include "config_tool/model/config_image.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace sim {


inline constexpr std::size_t kMemorySize = 8192;
inline constexpr std::size_t kMaxEvents = 1024; // the oldest event goes when the log is full

// Ways to spoil an answer.  When several rules would fire for one answer, the first in this
// order wins and the others are not consumed.
enum class Fault
{
    NoAnswer,     // the answer is not sent
    BadCrc,       // the CRC-8 byte is wrong
    WrongAddress, // the answer comes from the next address (127 -> 1)
    WrongCommand, // bit 7 of the answer command is flipped
    ShortAnswer,  // the last two bytes are missing
    WrongLength,  // L is one too large (the CRC-8 matches the bytes sent)
    LateAnswer,   // the answer comes BusTiming::late_us (plus up to late_spread_us) later
    SplitAnswer,  // the first half, a pause of BusTiming::split_gap_us, then the rest
    Echo,         // the request's bytes come back first, then the answer
};
inline constexpr int kFaultKinds = 9;

// count: the next `count` answers get the fault; probability: each further answer gets it with
// this probability (drawn from the bus's seeded generator).
struct FaultRule
{
    int count = 0;
    double probability = 0.0;
};

// The first rule of the list that fires (a count is used up; a probability is drawn from the
// generator), or nullopt.
std::optional<std::size_t> DrawFaultRule(std::span<FaultRule> rules, std::mt19937& random);

struct BusTiming
{
    uint32_t baud = 9600;
    uint32_t turnaround_us = 2000;
    uint32_t late_us = 700000; // past the session's 600 ms read time-out
    // A late answer comes late_us plus a share of this later, drawn evenly from 0 to it with
    // the bus's seeded generator, so late answers fall at many points of the exchanges after.
    uint32_t late_spread_us = 0;
    uint32_t split_gap_us = 20000;
    uint32_t gap_us = 0; // 0: four character times, but at least 20 ms
};

class Bus : public LineHandler
{
public:
    explicit Bus(BusTiming timing = {}, uint32_t seed = 1);
    Bus(const Bus&) = delete;
    Bus& operator=(const Bus&) = delete;

    // A unit with the factory image and empty credential slots.  False when the address is
    // outside 1..127 or taken.
    bool AddUnit(uint8_t address, uint8_t type, uint16_t version);
    bool HasUnit(uint8_t address) const;
    std::vector<uint8_t> Addresses() const; // ascending

    // The first 7,676 bytes of the unit's memory.  nullopt for an unknown address.
    std::optional<model::Image> Image(uint8_t address) const;
    bool SetImage(uint8_t address, const model::Image& image);
    std::optional<Bytes> ReadMemory(uint8_t address, std::size_t offset, std::size_t count) const;
    std::optional<model::KeyCodes> KeyCodes(uint8_t address) const;
    bool SetKeyCodes(uint8_t address, const model::KeyCodes& codes);
    std::optional<uint16_t> CodingKey(uint8_t address) const;
    bool SetCodingKey(uint8_t address, uint16_t key);
    std::optional<uint8_t> Type(uint8_t address) const;
    std::optional<uint16_t> Version(uint8_t address) const;
    // The type answer without the version's high byte (L = 5).
    bool SetShortTypeAnswer(uint8_t address, bool on);

    // body: the answer from its command on, without address, L and CRC-8 (at least 3 bytes,
    // at most 253), e.g. {04, 16, e, k0..k7}.  False for an unknown address or a bad size.
    bool QueueEvent(uint8_t address, Bytes body);
    // Queues the credential-presentation event a 0D 04 16 e k0..k7 (event code 22), with e the
    // unit's next event number (1..255); code in stored order, byte 0 the family code.
    bool PresentKey(uint8_t address, const model::KeyCode& code);
    std::size_t EventCount(uint8_t address) const;
    std::optional<Bytes> HeadEvent(uint8_t address) const;

    // Silence: the unit answers nothing while it is set, or while now_us lies in one of its
    // windows [from_us, to_us) (to_us < 0: for ever).
    bool SetSilent(uint8_t address, bool silent);
    bool AddSilence(uint8_t address, int64_t from_us, int64_t to_us);
    // body from the answer command on (without address, L and CRC-8); empty body: remove.
    bool SetAnswer(uint8_t address, uint8_t command, Bytes body);
    // The data after the echoed event bytes in a details answer (command 1D 00).
    bool SetEventDetails(uint8_t address, Bytes details);
    // per_second events from now_us on, numbered from 1 again; 0 stops the generator.
    bool SetEventRate(uint8_t address, double per_second, int64_t now_us);
    // An event log that never empties: every event read that finds it empty makes the next
    // numbered event (numbered from 1 again on each call).  An acknowledgement still drops the
    // head, so a lost one brings the same event again.
    bool SetEndlessEvents(uint8_t address, bool on);
    std::size_t EndlessEventsMade(uint8_t address) const;
    // The number of events the generator has made so far, and when the n-th (from 1) was made.
    std::size_t GeneratedEvents(uint8_t address) const;
    std::optional<int64_t> EventCreatedUs(uint8_t address, std::size_t number) const;

    // Attaches a peer to the unit (nullptr: detaches it).  False for an unknown address.
    bool SetPeer(uint8_t address, std::unique_ptr<UnitPeer> peer);
    // Runs f on the unit's peer under the bus lock (e.g. to change an analog channel at run
    // time).  False for an unknown address or a unit without a peer.
    bool WithPeer(uint8_t address, const std::function<void(UnitPeer&, UnitAccess&)>& f);

    struct Heard
    {
        int64_t at_us = 0;
        Bytes frame; // as received, CRC-8 included
    };
    std::vector<Heard> History() const;
    void ClearHistory();
    // Runs of bytes the receiver dropped so far (garbled or cut frames).
    std::size_t DroppedRuns() const;

    void SetFault(Fault fault, FaultRule rule);
    void ClearFaults();

    const BusTiming& Timing() const { return timing_; }
    uint32_t ByteTimeUs() const;
    uint32_t GapUs() const;

    // The line side.  now_us is any monotonic microsecond count.
    LineActivity Receive(std::span<const uint8_t> bytes, int64_t now_us) override;
    // Drops bytes that have waited longer than the gap time.
    LineActivity Expire(int64_t now_us) override;
    // When Expire() would next drop something; nullopt when the receiver is empty.
    std::optional<int64_t> ExpiryDue() const override;

private:
    struct Unit
    {
        uint8_t address = 0;
        uint8_t type = 0;
        uint16_t version = 0;
        uint16_t key = 0;
        bool short_type = false;
        uint8_t next_event = 1;
        std::array<uint8_t, kMemorySize> memory{};
        model::KeyCodes codes{};
        std::deque<Bytes> events;
        bool silent = false;
        std::vector<std::pair<int64_t, int64_t>> silences;
        std::vector<std::pair<uint8_t, Bytes>> answers;
        Bytes details;
        double event_rate = 0;
        int64_t rate_from_us = 0;
        std::vector<int64_t> generated; // creation time of each generated event
        bool endless_events = false;
        std::size_t endless_made = 0;
        std::unique_ptr<UnitPeer> peer;
    };
    class Access;

    template <typename F>
    auto Inspect(uint8_t address, F f) const -> std::optional<decltype(f(std::declval<const Unit&>()))>;
    template <typename F>
    bool Change(uint8_t address, F f);
    Unit* Find(uint8_t address);
    const Unit* Find(uint8_t address) const;
    static bool Enqueue(Unit& unit, Bytes body);
    void DropHead(std::size_t count, Bytes& run);
    void HandleFrame(const Bytes& frame, int64_t now_us, LineActivity& activity);
    static void Generate(Unit& unit, int64_t now_us);
    static bool Silent(const Unit& unit, int64_t now_us);
    std::optional<Bytes> Answer(Unit& unit, const Bytes& request, int64_t now_us);
    std::optional<Fault> DrawFault();
    void Transmit(const Bytes& request, Bytes answer, int64_t now_us, LineActivity& activity);

    const BusTiming timing_;
    mutable std::mutex mutex_;
    std::vector<Unit> units_; // sorted by address
    std::array<FaultRule, kFaultKinds> faults_{};
    std::mt19937 random_;
    Bytes pending_;
    int64_t last_byte_us_ = 0;
    std::deque<Heard> history_;
    std::size_t dropped_runs_ = 0;
};

// The frame with its bus CRC-8 appended.
Bytes WithCrc(Bytes frame);

} // namespace sim
