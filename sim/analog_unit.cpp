#include "sim/analog_unit.h"

#include "sim/bus.h"
#include "sim/options.h"

#include <charconv>
#include <vector>

namespace sim {

namespace {

constexpr uint8_t kValueRead = 27, kValueAnswer = 28;
constexpr uint8_t kStateRead = 57, kStateAnswer = 58, kKindQuery = 1;
constexpr uint8_t kArm = 25, kArmAnswer = 26;
constexpr uint8_t kEventAnswer = 4;

std::vector<std::string> Fields(const std::string& text)
{
    std::vector<std::string> parts;
    std::size_t start = 0;
    for (;;) {
        const std::size_t at = text.find(':', start);
        parts.push_back(text.substr(start, at - start));
        if (at == std::string::npos)
            return parts;
        start = at + 1;
    }
}

template <typename T> bool Decimal(const std::string& text, long long low, long long high, T& out)
{
    long long value = 0;
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (text.empty() || ec != std::errc() || ptr != end || value < low || value > high)
        return false;
    out = static_cast<T>(value);
    return true;
}

} // namespace

bool IsAnalogType(uint8_t type)
{
    return type == 1 || type == 2 || type == 4 || type == 9 || type == 11 || type == 12;
}

uint8_t DefaultChannelKind(uint8_t type)
{
    return type == 12 ? 31 : 3;
}

void AnalogPeer::SetValue(uint8_t channel, uint8_t value)
{
    auto [it, added] = channels_.try_emplace(channel);
    if (added)
        it->second.channel.kind = DefaultChannelKind(type_);
    it->second.channel.value = value;
}

bool AnalogPeer::SetKind(uint8_t channel, uint8_t kind)
{
    const auto it = channels_.find(channel);
    if (it == channels_.end())
        return false;
    it->second.channel.kind = kind;
    return true;
}

bool AnalogPeer::SetArmCode(uint8_t channel, uint8_t code)
{
    const auto it = channels_.find(channel);
    if (it == channels_.end())
        return false;
    it->second.channel.arm_code = code;
    return true;
}

std::optional<AnalogChannel> AnalogPeer::Channel(uint8_t channel) const
{
    const auto it = channels_.find(channel);
    if (it == channels_.end())
        return std::nullopt;
    return it->second.channel;
}

AnalogPeer::Counts AnalogPeer::CountsOf(uint8_t channel) const
{
    const auto it = channels_.find(channel);
    return it == channels_.end() ? Counts{} : it->second.counts;
}

std::optional<Bytes> AnalogPeer::Answer(UnitAccess& unit, const Bytes& request, int64_t now_us)
{
    (void)now_us;
    // address, L, key, command, channel, mode
    if (request.size() < 6)
        return std::nullopt;
    const uint8_t command = request[3];
    if (command != kValueRead && command != kStateRead && command != kArm)
        return std::nullopt;
    const auto it = channels_.find(request[4]);
    if (it == channels_.end())
        return Bytes{};
    Entry& e = it->second;
    const uint8_t ch = request[4];
    Bytes body;
    switch (command) {
    case kValueRead:
        ++e.counts.reads;
        body = {kValueAnswer, ch, e.channel.value};
        break;
    case kStateRead:
        if (request[5] == kKindQuery) {
            ++e.counts.kind_queries;
            body = {kStateAnswer, kKindQuery, e.channel.kind};
        } else {
            ++e.counts.reads;
            body = {kStateAnswer, request[5], e.channel.value};
        }
        break;
    default:
        ++e.counts.armings;
        body = {kArmAnswer, ch, e.channel.arm_code};
        break;
    }
    return AnswerFrame(unit.Address(), body);
}

Bytes ChannelEventBody(uint8_t code, uint8_t channel, uint8_t number)
{
    return {kEventAnswer, code, channel, number};
}

Bytes CardReportBody(uint8_t code, uint8_t reader, const model::KeyCode& key)
{
    // Byte by byte: an insert after a braced start trips GCC 12's bounds warning.
    Bytes body;
    body.reserve(3 + key.size());
    for (uint8_t b : {kEventAnswer, code, reader})
        body.push_back(b);
    for (uint8_t b : key)
        body.push_back(b);
    return body;
}

std::optional<ChannelSpec> ParseChannelSpec(const std::string& text)
{
    const std::vector<std::string> f = Fields(text);
    ChannelSpec spec;
    if (f.size() < 3 || f.size() > 5 || !Decimal(f[0], 1, 127, spec.address) ||
        !Decimal(f[1], 0, 255, spec.channel) || !Decimal(f[2], 0, 255, spec.value))
        return std::nullopt;
    uint8_t b = 0;
    if (f.size() > 3) {
        if (!Decimal(f[3], 1, 254, b))
            return std::nullopt;
        spec.kind = b;
    }
    if (f.size() > 4) {
        if (!Decimal(f[4], 0, 255, b))
            return std::nullopt;
        spec.arm_code = b;
    }
    return spec;
}

std::optional<ChannelEventSpec> ParseChannelEventSpec(const std::string& text)
{
    const std::vector<std::string> f = Fields(text);
    ChannelEventSpec spec;
    if (f.size() != 3 || !Decimal(f[0], 1, 127, spec.address) ||
        !Decimal(f[1], 0, 255, spec.code) || !Decimal(f[2], 0, 255, spec.channel))
        return std::nullopt;
    return spec;
}

std::optional<CardReportSpec> ParseCardReportSpec(const std::string& text)
{
    const std::vector<std::string> f = Fields(text);
    CardReportSpec spec;
    if (f.size() < 4 || f.size() > 5 || !Decimal(f[0], 1, 127, spec.address) ||
        !Decimal(f[1], 0, 255, spec.code) || !Decimal(f[2], 0, 255, spec.reader))
        return std::nullopt;
    const std::optional<model::KeyCode> key = KeyCodeFromText(f[3]);
    if (!key)
        return std::nullopt;
    spec.key = *key;
    if (f.size() == 5 && !Decimal(f[4], 0, 86400000, spec.delay_ms))
        return std::nullopt;
    return spec;
}

bool EnsureAnalogPeer(Bus& bus, uint8_t address)
{
    const std::optional<uint8_t> type = bus.Type(address);
    if (!type || !IsAnalogType(*type))
        return false;
    bool analog = false;
    if (bus.WithPeer(address, [&](UnitPeer& peer, UnitAccess&) {
            analog = dynamic_cast<AnalogPeer*>(&peer) != nullptr;
        }))
        return analog;
    return bus.SetPeer(address, std::make_unique<AnalogPeer>(*type));
}

bool ApplyChannelSpec(Bus& bus, const ChannelSpec& spec)
{
    bool applied = false;
    bus.WithPeer(spec.address, [&](UnitPeer& peer, UnitAccess&) {
        auto* analog = dynamic_cast<AnalogPeer*>(&peer);
        if (!analog)
            return;
        analog->SetValue(spec.channel, spec.value);
        if (spec.kind)
            analog->SetKind(spec.channel, *spec.kind);
        if (spec.arm_code)
            analog->SetArmCode(spec.channel, *spec.arm_code);
        applied = true;
    });
    return applied;
}

bool QueueChannelEvent(Bus& bus, const ChannelEventSpec& spec)
{
    bool queued = false;
    bus.WithPeer(spec.address, [&](UnitPeer& peer, UnitAccess& unit) {
        if (dynamic_cast<AnalogPeer*>(&peer))
            queued =
                unit.QueueEvent(ChannelEventBody(spec.code, spec.channel, unit.TakeEventNumber()));
    });
    return queued;
}

} // namespace sim
