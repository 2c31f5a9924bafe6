#include "raw_line.h"

#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <sstream>
#include <unistd.h>

namespace simtest {

RawLine::RawLine(const std::string& path)
{
    fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
}

RawLine::~RawLine()
{
    if (fd_ >= 0)
        ::close(fd_);
}

void RawLine::Write(const sim::Bytes& bytes)
{
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
        if (n > 0)
            done += static_cast<std::size_t>(n);
        else
            ::poll(nullptr, 0, 1);
    }
}

sim::Bytes RawLine::Read(std::size_t count, std::chrono::milliseconds limit)
{
    using Clock = std::chrono::steady_clock;
    const auto end = Clock::now() + limit;
    sim::Bytes out;
    while (out.size() < count) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
        if (left <= 0)
            break;
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left)) <= 0)
            continue;
        uint8_t buf[256];
        const ssize_t n = ::read(fd_, buf, std::min(sizeof buf, count - out.size()));
        if (n > 0)
            out.insert(out.end(), buf, buf + n);
    }
    return out;
}

sim::Bytes RawLine::ReadUntilQuiet(std::chrono::milliseconds quiet, std::optional<std::chrono::milliseconds> first)
{
    sim::Bytes out;
    for (;;) {
        pollfd p{fd_, POLLIN, 0};
        const auto wait = out.empty() && first ? *first : quiet;
        if (::poll(&p, 1, static_cast<int>(wait.count())) <= 0)
            return out;
        uint8_t buf[256];
        const ssize_t n = ::read(fd_, buf, sizeof buf);
        if (n > 0)
            out.insert(out.end(), buf, buf + n);
    }
}

sim::Bytes RawLine::Exchange(const sim::Bytes& frame)
{
    Write(sim::WithCrc(frame));
    return ReadUntilQuiet(std::chrono::milliseconds(40), std::chrono::milliseconds(200));
}

sim::Bytes Hex(const std::string& text)
{
    sim::Bytes out;
    std::istringstream in(text);
    unsigned value = 0;
    while (in >> std::hex >> value)
        out.push_back(static_cast<uint8_t>(value));
    return out;
}

std::string ToHex(const sim::Bytes& bytes)
{
    std::string out;
    char hex[4];
    for (uint8_t b : bytes) {
        std::snprintf(hex, sizeof hex, out.empty() ? "%02X" : " %02X", b);
        out += hex;
    }
    return out;
}

} // namespace simtest
