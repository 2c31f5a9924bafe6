// Zones and the reading list; see zones.h.

#include "CoreComp/rssess/zones.h"

#include <algorithm>
#include <cstdlib>

namespace corecomp {

void TADCZone::Update(int32_t newRaw, double newValue)
{
    raw = newRaw;
    value = newValue;
    if (lastReported == -1 ||
        std::llabs(static_cast<int64_t>(newRaw) - lastReported) >= threshold) {
        lastReported = newRaw;
        changed = true;
    } else {
        changed = false;
    }
}

std::string ZoneKey(int line, int address, int channel)
{
    // Appended piece by piece: one expression of temporaries trips GCC's bounds warnings at -O3.
    std::string key = ".";
    for (int part : {line, address, channel}) {
        key += std::to_string(part);
        key += '.';
    }
    return key;
}

std::optional<int> KeyPart(const std::string& key, int n)
{
    size_t at = 0;
    for (int i = 0; i < n; ++i) {
        at = key.find('.', at);
        if (at == std::string::npos)
            return std::nullopt;
        ++at;
    }
    const size_t end = key.find('.', at);
    if (end == std::string::npos || end == at || end - at > 9)
        return std::nullopt;
    int v = 0;
    for (size_t i = at; i < end; ++i) {
        if (key[i] < '0' || key[i] > '9')
            return std::nullopt;
        v = v * 10 + (key[i] - '0');
    }
    return v;
}

TADCZone& TCollectZone::AddZone(int line, int address, int channel)
{
    const std::string key = ZoneKey(line, address, channel);
    if (TADCZone* z = FindZone(key))
        return *z;
    TADCZone z;
    z.key = key;
    z.index = static_cast<int32_t>(zones_.size());
    zones_.push_back(z);
    return zones_.back();
}

TADCZone* TCollectZone::FindZone(const std::string& key)
{
    for (TADCZone& z : zones_)
        if (z.key == key)
            return &z;
    return nullptr;
}

TADCZone* TCollectZone::Zone(int index)
{
    return index >= 0 && static_cast<size_t>(index) < zones_.size()
               ? &zones_[static_cast<size_t>(index)]
               : nullptr;
}

bool TCollectZone::SameDevice(const TADCZone& a, const TADCZone& b)
{
    return KeyPart(a.key, 1) == KeyPart(b.key, 1) && KeyPart(a.key, 2) == KeyPart(b.key, 2);
}

bool TADCZone::Complete() const
{
    return complete1 != -1 && complete2 != -1;
}

TADCZone* TCollectZone::NextZone()
{
    const int n = static_cast<int>(zones_.size());
    if (n == 0)
        return nullptr;
    // The next zone after the cursor that is neither lost nor complete.
    int tried = 0;
    for (;;) {
        cursor_ = cursor_ + 1 >= n ? 0 : cursor_ + 1;
        const TADCZone& z = zones_[static_cast<size_t>(cursor_)];
        if (z.deviceState != kZoneLost && !z.Complete())
            break;
        if (++tried == n)
            return nullptr;
    }
    // The zones of one unit stand together: from the cursor on, each takes the state of the
    // zone before it while they belong to the same unit.
    for (int i = std::max(cursor_, 1); i < n; ++i) {
        TADCZone& z = zones_[static_cast<size_t>(i)];
        const TADCZone& before = zones_[static_cast<size_t>(i - 1)];
        if (!SameDevice(before, z))
            break;
        z.deviceState = before.deviceState;
        z.secondState = before.secondState;
    }
    TADCZone& z = zones_[static_cast<size_t>(cursor_)];
    if (z.deviceState == kZoneUnconfirmed) {
        // A unit already confirmed through an earlier zone needs no second check; else the
        // zone goes as it is, and its unit is checked.
        for (int i = 0; i < cursor_; ++i) {
            const TADCZone& other = zones_[static_cast<size_t>(i)];
            if (SameDevice(other, z) && other.deviceState != kZoneUnconfirmed &&
                other.deviceState != kZoneLost) {
                z.deviceState = other.deviceState;
                z.secondState = other.secondState;
                break;
            }
        }
    }
    return &z;
}

void TCollectZone::Mark(int line, int address, int32_t state)
{
    for (TADCZone& z : zones_)
        if (KeyPart(z.key, 1) == line && KeyPart(z.key, 2) == address)
            z.deviceState = state;
}

void TCollectZone::MarkLost(int line, int address)
{
    Mark(line, address, kZoneLost);
}

void TCollectZone::MarkPresent(int line, int address)
{
    Mark(line, address, kZoneUnconfirmed);
}

void TDeviceListForReading::SetCount(size_t n)
{
    entries_.resize(n);
}

std::optional<TReadingEntry> TDeviceListForReading::Get(int index) const
{
    if (index < 0 || static_cast<size_t>(index) >= entries_.size())
        return std::nullopt;
    return entries_[static_cast<size_t>(index)];
}

bool TDeviceListForReading::Set(int index, const TReadingEntry& entry)
{
    if (index < 0 || static_cast<size_t>(index) >= entries_.size())
        return false;
    entries_[static_cast<size_t>(index)] = entry;
    return true;
}

int TDeviceListForReading::Find(uint32_t key, bool byDevice) const
{
    const uint32_t mask = byDevice ? 0xFFFFFF00u : 0xFFFFFFFFu;
    for (size_t i = 0; i < entries_.size(); ++i)
        if ((entries_[i].key & mask) == (key & mask))
            return static_cast<int>(i);
    return -1;
}

void TDeviceListForReading::Remove(uint32_t key)
{
    std::erase_if(entries_, [key](const TReadingEntry& e) { return e.key == key; });
}

} // namespace corecomp
