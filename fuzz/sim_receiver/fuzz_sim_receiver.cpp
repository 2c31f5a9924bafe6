// Bytes on the simulated line, in pieces with pauses between them.  Input: byte 0 sets unit 1's
// coding key; then pieces of [length][pause in ms][bytes].  Whatever comes, the receiver
// accounts for every byte exactly once (as part of a frame or of a dropped run), takes only
// frames whose CRC-8 is right, and answers with frames whose length byte and CRC-8 are right.

#include "sim/bus.h"

#include "CoreComp/rssess/bus_crc.h"

#include <cstdint>
#include <cstdlib>
#include <span>

namespace {

bool GoodFrame(const sim::Bytes& f)
{
    return f.size() >= 6 && f.size() == std::size_t{f[1]} + 1u &&
           corecomp::BusCrc8(std::span(f).first(f.size() - 1)) == f.back();
}

std::size_t Account(const sim::LineActivity& a)
{
    std::size_t n = 0;
    for (const sim::Bytes& f : a.frames) {
        if (!GoodFrame(f))
            std::abort();
        n += f.size();
    }
    for (const sim::Bytes& d : a.dropped) {
        if (d.empty())
            std::abort();
        n += d.size();
    }
    if (!a.answers.empty() && a.frames.empty())
        std::abort();
    for (const sim::Transmission& t : a.answers)
        if (!GoodFrame(t.bytes))
            std::abort();
    return n;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    sim::Bus bus;
    bus.AddUnit(1, 44, 223);
    bus.AddUnit(40, 10, 222);
    bus.AddUnit(127, 1, 0xFFFF);
    bus.SetCodingKey(1, data[0]);
    bus.PresentKey(40, {1, 2, 3, 4, 5, 6, 7, 8});

    int64_t now = 0;
    std::size_t fed = 0;
    std::size_t accounted = 0;
    for (std::size_t pos = 1; pos + 2 <= size;) {
        const std::size_t length = data[pos];
        now += int64_t{data[pos + 1]} * 1000;
        pos += 2;
        const std::size_t n = std::min(length, size - pos);
        accounted += Account(bus.Expire(now));
        accounted += Account(bus.Receive(std::span(data + pos, n), now));
        fed += n;
        pos += n;
    }
    now += int64_t{bus.GapUs()} + 1;
    accounted += Account(bus.Expire(now));
    if (bus.ExpiryDue() || accounted != fed)
        std::abort();
    return 0;
}
