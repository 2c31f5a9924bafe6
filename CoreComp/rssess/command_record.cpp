// The command record's block as it travels with message 1037.

#include "CoreComp/rssess/command_record.h"

#include <cstring>

namespace {

class Writer
{
public:
    explicit Writer(std::vector<uint8_t>& out) : out_(out) {}
    void Put(uint64_t v, int bytes)
    {
        for (int i = 0; i < bytes; ++i)
            out_.push_back(static_cast<uint8_t>(v >> (8 * i)));
    }

private:
    std::vector<uint8_t>& out_;
};

uint64_t Get(const std::vector<uint8_t>& p, size_t at, int bytes)
{
    uint64_t v = 0;
    for (int i = 0; i < bytes; ++i)
        v |= static_cast<uint64_t>(p[at + static_cast<size_t>(i)]) << (8 * i);
    return v;
}

} // namespace

std::vector<uint8_t> TCommandRecord::ToPayload() const
{
    std::vector<uint8_t> out;
    out.reserve(kSize + frame.size());
    Writer w(out);
    w.Put(used ? 1 : 0, 1);
    w.Put(postHandle, 4);
    w.Put(extraLength, 1);
    w.Put(static_cast<uint64_t>(fullAddress), 8);
    w.Put(deviceWord, 4);
    w.Put(state, 1);
    w.Put(routing[0], 1);
    w.Put(routing[1], 1);
    w.Put(frame.size(), 4);
    w.Put(reserved1, 1);
    w.Put(message, 4);
    w.Put(sequence, 4);
    w.Put(0, 4); // frame pointer
    w.Put(reserved2, 4);
    w.Put(static_cast<uint32_t>(guid), 4);
    w.Put(0, 4); // request copy pointer
    w.Put(fast, 1);
    w.Put(0, 4); // extra pointer
    w.Put(flag1, 1);
    w.Put(static_cast<uint16_t>(word), 2);
    uint64_t timeBits = 0;
    std::memcpy(&timeBits, &time, sizeof timeBits);
    w.Put(timeBits, 8);
    w.Put(flag2, 1);
    out.insert(out.end(), frame.begin(), frame.end());
    return out;
}

std::optional<TCommandRecord> TCommandRecord::FromPayload(const std::vector<uint8_t>& p)
{
    if (p.size() < kSize)
        return std::nullopt;
    const uint64_t frameLength = Get(p, 21, 4);
    if (frameLength != p.size() - kSize)
        return std::nullopt;
    TCommandRecord r;
    r.used = p[0] != 0;
    r.postHandle = static_cast<uint32_t>(Get(p, 1, 4));
    r.extraLength = p[5];
    r.fullAddress = static_cast<int64_t>(Get(p, 6, 8));
    r.deviceWord = static_cast<uint32_t>(Get(p, 14, 4));
    r.state = p[18];
    r.routing = {p[19], p[20]};
    r.reserved1 = p[25];
    r.message = static_cast<uint32_t>(Get(p, 26, 4));
    r.sequence = static_cast<uint32_t>(Get(p, 30, 4));
    r.reserved2 = static_cast<uint32_t>(Get(p, 38, 4));
    r.guid = static_cast<int32_t>(Get(p, 42, 4));
    r.fast = p[50];
    r.flag1 = p[55];
    r.word = static_cast<int16_t>(Get(p, 56, 2));
    const uint64_t timeBits = Get(p, 58, 8);
    std::memcpy(&r.time, &timeBits, sizeof r.time);
    r.flag2 = p[66];
    r.frame.assign(p.begin() + kSize, p.end());
    return r;
}

bool TCommandRecord::HasProgressRecord() const
{
    if (extra.size() < 4)
        return false;
    const uint32_t first = static_cast<uint32_t>(Get(extra, 0, 4));
    return first >= 1 && first <= 20;
}
