#include "CoreComp/rssess/console_table.h"

#include <cstring>

namespace corecomp {

namespace {

void Put32(std::vector<uint8_t>& out, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

void PutTime(std::vector<uint8_t>& out, double time)
{
    uint8_t b[8];
    std::memcpy(b, &time, 8);
    for (uint8_t x : b)
        out.push_back(x);
}

} // namespace

std::vector<uint8_t> ConsoleRecordBytes(const ConsoleRecord& c)
{
    std::vector<uint8_t> out{c.address, c.type,          c.version,  c.state,
                             c.active,  c.requestNumber, c.sequence, c.key};
    out.reserve(kConsoleRecordSize);
    for (size_t j = 1; j <= 127; ++j) {
        const SubDevice& s = c.subs.at(j);
        out.push_back(s.flags);
        out.push_back(s.address);
        out.push_back(s.type);
        Put32(out, s.version);
        out.push_back(s.changed);
    }
    out.push_back(c.pendingEvents);
    out.push_back(c.awaitingType);
    out.push_back(c.found);
    return out;
}

std::optional<ConsoleRecord> ConsoleRecordFromBytes(std::span<const uint8_t> b)
{
    if (b.size() < kConsoleRecordSize)
        return std::nullopt;
    ConsoleRecord c;
    c.address = b[0];
    c.type = b[1];
    c.version = b[2];
    c.state = b[3];
    c.active = b[4];
    c.requestNumber = b[5];
    c.sequence = b[6];
    c.key = b[7];
    for (size_t j = 1; j <= 127; ++j) {
        const size_t at = 8 + (j - 1) * 8;
        SubDevice& s = c.subs.at(j);
        s.flags = b[at];
        s.address = b[at + 1];
        s.type = b[at + 2];
        s.version = static_cast<uint32_t>(b[at + 3]) | static_cast<uint32_t>(b[at + 4]) << 8 |
                    static_cast<uint32_t>(b[at + 5]) << 16 | static_cast<uint32_t>(b[at + 6]) << 24;
        s.changed = b[at + 7];
    }
    c.pendingEvents = b[kConsoleRecordSize - 3];
    c.awaitingType = b[kConsoleRecordSize - 2];
    c.found = b[kConsoleRecordSize - 1];
    return c;
}

std::vector<uint8_t> ConsoleReport(uint8_t subIndex, const ConsoleRecord& c, double time)
{
    std::vector<uint8_t> out{subIndex};
    const auto r = ConsoleRecordBytes(c);
    out.insert(out.end(), r.begin(), r.end());
    PutTime(out, time);
    return out;
}

std::vector<uint8_t> ConsoleListReport(const ConsoleRecord& c, uint8_t subIndex)
{
    std::vector<uint8_t> out = ConsoleRecordBytes(c);
    out.push_back(subIndex);
    out.push_back(1);
    return out;
}

std::vector<uint8_t> ZoneMarkReport(uint8_t console, uint8_t subIndex, uint8_t code, double time)
{
    std::vector<uint8_t> out{console, 2, subIndex, code};
    PutTime(out, time);
    Put32(out, (1u << 16) + console);
    return out;
}

} // namespace corecomp
