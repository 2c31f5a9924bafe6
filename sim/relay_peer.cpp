#include "sim/relay_peer.h"

#include "sim/analog_unit.h"

#include <algorithm>
#include <memory>
#include <utility>

namespace sim {

namespace {

constexpr std::size_t kMaxKept = 1024;   // the oldest goes first in a long run
constexpr std::size_t kMaxCarried = 249; // 0E 12 n d, then the request: 253 bytes at most
constexpr std::size_t kReportMin = 8;    // up to the report's source

void Keep(std::vector<Bytes>& list, Bytes frame)
{
    if (list.size() >= kMaxKept)
        list.erase(list.begin());
    list.push_back(std::move(frame));
}

} // namespace

bool IsRelayType(uint8_t type)
{
    return type == 4 || type == 14 || type == 15 || type == 16;
}

Bytes WalkEventBody(uint8_t address, uint8_t event, uint8_t number)
{
    return {0x04, event, number, 0x01, 0x01, address, number, 0, 0, 0, 0, 0, 0x00, 0x00};
}

Bytes ReportEventBody(uint8_t event, uint8_t number)
{
    return {0x04, event, number, 0x00};
}

Bytes CarriedRequestBody(uint8_t number, uint8_t destination, const Bytes& request)
{
    // Sized once and filled in place: the whole body is one allocation of its final length.
    Bytes body(4 + request.size());
    body[0] = 0x0E;
    body[1] = kCarriedRequest;
    body[2] = number;
    body[3] = destination;
    std::copy(request.begin(), request.end(), body.begin() + 4);
    return body;
}

bool QueueWalkEvent(UnitAccess& unit, uint8_t event)
{
    return unit.QueueEvent(WalkEventBody(unit.Address(), event, unit.TakeEventNumber()));
}

bool QueueReportEvent(UnitAccess& unit, uint8_t event)
{
    return unit.QueueEvent(ReportEventBody(event, unit.TakeEventNumber()));
}

bool QueueCarriedRequest(UnitAccess& unit, uint8_t destination, const Bytes& request)
{
    if (request.empty() || request.size() > kMaxCarried || destination < 1 || destination > 127)
        return false;
    return unit.QueueEvent(CarriedRequestBody(unit.TakeEventNumber(), destination, request));
}

std::optional<Bytes> RelayPeer::Answer(UnitAccess& unit, const Bytes& request, int64_t now_us)
{
    (void)now_us;
    if (unit.Type() != 14 || request[3] != kRelayReport)
        return std::nullopt;
    if (request.size() < kReportMin)
        return Bytes{}; // a report cut short is not confirmed
    Keep(reports_, request);
    return AnswerFrame(unit.Address(), {kRelayConfirm, request[4], request[5], request[7]});
}

void RelayPeer::Broadcast(UnitAccess& unit, const Bytes& frame, int64_t now_us)
{
    (void)unit;
    (void)now_us;
    Keep(broadcasts_, frame);
}

void AttachRelayPeers(Bus& bus)
{
    for (const uint8_t address : bus.Addresses()) {
        const std::optional<uint8_t> type = bus.Type(address);
        if (!type || !IsRelayType(*type) || bus.WithPeer(address, [](UnitPeer&, UnitAccess&) {}))
            continue;
        // A type-4 unit carries channels as well; its analog peer serves its walk events.
        if (IsAnalogType(*type))
            EnsureAnalogPeer(bus, address);
        else
            bus.SetPeer(address, std::make_unique<RelayPeer>());
    }
}

bool QueueTimedEvent(Bus& bus, const TimedEventSpec& spec)
{
    if (spec.kind == TimedEventSpec::Kind::Body)
        return bus.QueueEvent(spec.address, spec.bytes);
    bool queued = false;
    const bool found = bus.WithPeer(spec.address, [&](UnitPeer&, UnitAccess& unit) {
        queued = spec.kind == TimedEventSpec::Kind::Walk
                     ? QueueWalkEvent(unit, spec.event)
                     : QueueCarriedRequest(unit, spec.destination, spec.bytes);
    });
    return found && queued;
}

} // namespace sim
