#pragma once
// Zones: analog values of units that the polling thread reads round-robin, each keyed by the
// text ".line.address.channel.", and the list of units whose credential reports go to the owner
// raw.  No locking here: the session holds its lock around every call.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace corecomp {

inline constexpr int32_t kZoneUnconfirmed = -1;
inline constexpr int32_t kZoneConfirmed = 0;
inline constexpr int32_t kZoneLost = -250;

struct TADCZone
{
    int32_t lastReported = -1;
    int32_t index = 0;
    std::string key;
    int32_t deviceState = kZoneUnconfirmed;
    int32_t secondState = 0;
    int32_t raw = 0;
    double value = 0; // the date and time of the raw value
    int32_t threshold = 1;
    bool changed = false;
    int32_t kind = 0;                       // 7: the raw byte is signed
    int32_t complete1 = -1, complete2 = -1; // both set: the zone's value is complete

    void Update(int32_t raw, double value);
    bool Complete() const;
};

std::string ZoneKey(int line, int address, int channel);
// The integer between the n-th dot and the next (n = 1..3); nullopt when the key has no such
// part or it is not a number.
std::optional<int> KeyPart(const std::string& key, int n);

class TCollectZone
{
public:
    // Adds a zone (or returns the one with that key).
    TADCZone& AddZone(int line, int address, int channel);
    TADCZone* FindZone(const std::string& key);
    TADCZone* Zone(int index);
    const std::vector<TADCZone>& Zones() const { return zones_; }
    // The zone the poll reads next, passing over lost and complete zones; nullptr when there is
    // none to read.  A zone whose state is still unconfirmed afterwards is its unit's check.
    TADCZone* NextZone();
    void MarkLost(int line, int address);
    void MarkPresent(int line, int address);

private:
    void Mark(int line, int address, int32_t state);
    static bool SameDevice(const TADCZone& a, const TADCZone& b);
    std::vector<TADCZone> zones_;
    int cursor_ = -1;
};

// A unit whose credential reports are handed to the owner raw, with the reader it is read by.
struct TReadingEntry
{
    int32_t index = 0;
    uint32_t key = 0; // port << 24 | address << 8 | reader
    int32_t kind = 0; // 16: reports carry a reader byte
    int64_t id = 0;   // the owner's identifier of the read
    int32_t done = 0;
};

class TDeviceListForReading
{
public:
    void SetCount(size_t n);
    size_t Count() const { return entries_.size(); }
    std::optional<TReadingEntry> Get(int index) const;
    bool Set(int index, const TReadingEntry& entry);
    // By device: the keys compared without their low byte (the reader).
    int Find(uint32_t key, bool byDevice) const;
    void Remove(uint32_t key);

private:
    std::vector<TReadingEntry> entries_;
};

} // namespace corecomp
