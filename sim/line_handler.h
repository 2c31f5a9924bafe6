#pragma once
// What the pty server serves: bytes from the line go in, answers come out when they are due.
// The unit bus and the console bus are the two kinds of line.

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace sim {

using Bytes = std::vector<uint8_t>;

struct Transmission
{
    int64_t due_us = 0; // same time base as the now_us given to Receive()
    Bytes bytes;
};

// What one call of Receive() or Expire() did on the line.
struct LineActivity
{
    std::vector<Bytes> frames;         // whole frames taken, as received
    std::vector<Bytes> dropped;        // runs of bytes discarded by the receiver
    std::vector<Transmission> answers; // in the order they are due
};

class LineHandler
{
public:
    virtual ~LineHandler() = default;
    virtual LineActivity Receive(std::span<const uint8_t> bytes, int64_t now_us) = 0;
    virtual LineActivity Expire(int64_t now_us) = 0;
    // When Expire() would next drop something; nullopt when nothing waits.
    virtual std::optional<int64_t> ExpiryDue() const = 0;
};

} // namespace sim
