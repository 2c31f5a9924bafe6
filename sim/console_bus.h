#pragma once
// Simulated consoles on a console line: stuffed frames behind the 0xFF marker, CRC-8 heads,
// CRC-16 long frames and the running key, as sim/README.md ("Console line") describes them.
// Each console has sub-devices, a coding key, request and message numbers and a queue of
// messages (sub-device events); it answers polls, general commands and the time command.
//
// Threads: like Bus, every call takes the bus's own lock, so a test may change consoles while
// a PtyServer serves the line.

#include "sim/line_handler.h"

#include <array>
#include <deque>
#include <map>
#include <mutex>

namespace sim {

// Repeat and EventFirst put a message before a general command's own answer: the last long
// answer again (number and all), or the console's next queued message.  Busy answers a request
// other than a poll with a head of kind 10 and leaves the request undone.
enum class ConsoleFault {
    BadCrc8,
    BadCrc16,
    BadEscape,
    WrongAddress,
    Silence,
    Duplicate,
    Repeat,
    EventFirst,
    Busy,
};

class ConsoleBus : public LineHandler
{
public:
    // turnaroundUs: how long a console takes to answer once the request has passed the line.
    explicit ConsoleBus(uint32_t baud = 9600, uint32_t turnaroundUs = 4000)
        : baud_(baud ? baud : 9600), turnaroundUs_(turnaroundUs)
    {
    }
    bool AddConsole(uint8_t address, uint8_t type, uint8_t version);
    // A sub-device (1..127) in the first (map 1) or second (map 2) connected-device map, or in
    // neither (map 0: not connected).
    bool AddSubDevice(uint8_t console, uint8_t sub, uint8_t type, uint16_t version, int map = 1);
    // Queues a sub-device event: 251 (found; the sub-device joins the maps), 250 (lost; it
    // leaves them) or 203 (time request).
    bool QueueEvent(uint8_t console, uint8_t code, uint8_t sub);
    size_t QueuedMessages(uint8_t console) const;
    bool SetSilent(uint8_t console, bool silent);
    // Bit 7 of every answer's status byte.
    bool SetFlag(uint8_t console, bool on);
    // The next `count` answers of any console carry the fault.
    void SetFault(ConsoleFault fault, int count);
    std::optional<uint8_t> Key(uint8_t console) const;
    // Requests a console heard, by kind (1 poll, 3 general command, 9 time), busy or not.
    size_t Requests(uint8_t console, uint8_t kind) const;
    // General commands a console took, in order (the tag of each).
    std::vector<uint8_t> Commands(uint8_t console) const;
    size_t TimeCommands(uint8_t console) const;

    struct Heard
    {
        Bytes wire;       // as it came, marker and escapes included
        Bytes plain;      // unstuffed and decoded
        Bytes answerWire; // what went back (empty: nothing)
    };
    std::vector<Heard> History() const;

    LineActivity Receive(std::span<const uint8_t> bytes, int64_t now_us) override;
    LineActivity Expire(int64_t now_us) override;
    std::optional<int64_t> ExpiryDue() const override;

private:
    struct Sub
    {
        uint8_t type = 0;
        uint16_t version = 0;
        int map = 0; // 0: not connected
    };
    struct Console
    {
        uint8_t type = 0, version = 0, key = 0, number = 0;
        bool silent = false, flag = false;
        std::array<Sub, 128> subs{};
        std::deque<Bytes> messages; // [kind] [payload]
        Bytes lastLong;             // for the duplicate fault
        std::map<uint8_t, size_t> requests;
        std::vector<uint8_t> commands;
        size_t timeCommands = 0;
    };
    void Frame(int64_t now_us, LineActivity& activity);
    Bytes Answer(Console& c, uint8_t address, const Bytes& plain);
    // The answers to a whole request, in the order they go out.
    std::vector<Bytes> Answers(Console& c, uint8_t address, const Bytes& plain);
    Bytes LongAnswer(Console& c, uint8_t address, uint8_t tag, Bytes message);
    bool Take(ConsoleFault f);

    const uint32_t baud_;
    const uint32_t turnaroundUs_;
    mutable std::mutex mutex_;
    std::map<uint8_t, Console> consoles_;
    std::map<ConsoleFault, int> faults_;
    Bytes wire_, plain_;
    bool escape_ = false, inFrame_ = false;
    int64_t lastByteUs_ = 0;
    std::vector<Heard> history_;
};

} // namespace sim
