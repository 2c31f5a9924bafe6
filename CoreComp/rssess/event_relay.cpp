// Event relay rules; see event_relay.h.  Positions in the comments are the answer's bytes from
// 0: 0 source, 1 L, 2 answer command, 3 event code, 4.. data, the CRC-8 last.

#include "CoreComp/rssess/event_relay.h"

namespace corecomp {

namespace {

constexpr uint8_t kAskTime = 203;
constexpr size_t kMaxAnswerLength = 256;
constexpr uint8_t kWalkPassed = 32;
constexpr uint8_t kWalkPassedExtended = 28;
constexpr uint8_t kForwardEvent = 18;
constexpr uint32_t kExtendedWalkVersion = 104;

uint8_t Byte(int v)
{
    return static_cast<uint8_t>(v);
}

// Events 28 and 32 of a type-16 unit: one broadcast to every unit, or nothing.
void BuildWalkBroadcast(std::span<const uint8_t> a, uint16_t type, const RelayContext& c,
                        RelayResult& out)
{
    const uint8_t code = a[3];
    const size_t len = a.size();
    if (len < 9)
        return;
    uint8_t kind = 19;
    if (code == kWalkPassedExtended) {
        if (type != 16 || !c.versionOf || c.versionOf(a[0]) < kExtendedWalkVersion)
            return;
        kind = 20;
    }
    const uint8_t sequence = c.nextSequence ? c.nextSequence() : 0;
    if (a[6] == 0)
        return; // the number is spent all the same
    const size_t markerAt = a[2] == 4 ? len - 3 : len - 9;
    const unsigned marker = a[markerAt] | static_cast<unsigned>(a[markerAt + 1]) << 8;
    if (marker == 0xFFFF)
        return;
    std::vector<uint8_t> f = {0, 0, sequence, kRelayBroadcastCommand, kind, a[0], a[4], a[5]};
    f.insert(f.end(), a.begin() + 6, a.end() - 1);
    if (a[2] == 4) {
        const CivilTime& t = c.now;
        for (int v : {t.hour, t.minute, t.second, t.day, t.month, t.year - 2000})
            f.push_back(Byte(v));
    }
    // The length byte says what was built; a frame that cannot be sent is not built.
    if (f.size() > kMaxRelayFrame)
        return;
    f[1] = Byte(static_cast<int>(f.size()));
    out.frames.push_back(std::move(f));
}

} // namespace

RelayResult BuildRelayFrames(std::span<const uint8_t> a, const RelayContext& c)
{
    RelayResult out;
    // An answer frame holds at most 256 bytes; anything longer is no answer of a unit.
    if (a.size() < 5 || a.size() > kMaxAnswerLength || a[0] == 0 || a[0] > 127 ||
        a[3] == kAskTime || !c.typeOf)
        return out;
    const uint8_t source = a[0];
    const uint8_t code = a[3];
    const uint16_t type = c.typeOf(source);
    if (type != 4 && type != 14 && type != 15 && type != 16)
        return out;

    if (type == 15) {
        uint8_t counter = 0;
        if (c.relayCounter)
            counter = ++*c.relayCounter;
        const CivilTime& t = c.now;
        for (int i = 1; i <= 127; ++i) {
            if (c.typeOf(i) != 14)
                continue;
            out.frames.push_back({Byte(i), 15, 0, kRelayCommand14, counter, code, a[4], source, 0,
                                  0, 0, 0, Byte(t.hour), Byte(t.minute), Byte(t.second)});
        }
        return out;
    }
    if (type == 4 || type == 16) {
        if (c.noTranslateWalk || type == 4)
            return out;
        if (code == kWalkPassed || code == kWalkPassedExtended) {
            BuildWalkBroadcast(a, type, c, out);
            return out;
        }
    }

    // A request for another unit travels inside event 18; only a unit address is taken, so
    // it can neither become a broadcast nor reach past the per-address tables.
    if (a.size() >= 8 && a[2] == 14 && code == kForwardEvent && a[5] >= 1 && a[5] <= 127) {
        std::vector<uint8_t> f = {a[5], 0, 0};
        f.insert(f.end(), a.begin() + 6, a.end() - 1);
        f[1] = Byte(static_cast<int>(f.size()));
        out.frames.push_back(std::move(f));
        out.forwarded = true;
    }
    return out;
}

} // namespace corecomp
