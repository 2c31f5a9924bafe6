#pragma once
// The tool's end of a simulated line for tests that speak raw bytes: opens the pty slave and
// reads with a deadline.

#include "sim/bus.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace simtest {

class RawLine
{
public:
    explicit RawLine(const std::string& path);
    ~RawLine();
    RawLine(const RawLine&) = delete;
    RawLine& operator=(const RawLine&) = delete;

    bool IsOpen() const { return fd_ >= 0; }
    void Write(const sim::Bytes& bytes);
    // Reads until `count` bytes came or `limit` passed.
    sim::Bytes Read(std::size_t count, std::chrono::milliseconds limit);
    // Reads whatever comes until the line has been quiet for `quiet` (`first` before the first
    // byte, `quiet` when not given).
    sim::Bytes ReadUntilQuiet(std::chrono::milliseconds quiet,
                              std::optional<std::chrono::milliseconds> first = std::nullopt);
    // Sends frame + CRC-8 and collects the answer: up to 200 ms for it to start, then until the
    // line is quiet for 40 ms.
    sim::Bytes Exchange(const sim::Bytes& frame);

private:
    int fd_ = -1;
};

// "28 06 00 0D" -> bytes
sim::Bytes Hex(const std::string& text);
std::string ToHex(const sim::Bytes& bytes);

} // namespace simtest
