#pragma once
// The read list: per unit, the analog channels whose values and types the owner wants to see,
// with each channel's type, state and last value; and the rules that turn the units' answers
// into channel states and reports.  No locking and no bus here: the session holds its lock
// around every call and does the exchanges.
//
// Channel states: 0 not yet typed; 1 and 2 typed (1: a change below the threshold is repeated
// only every 20 minutes, 2: always reported); 3 and 4 unit-specific types; negative values come
// from events (-1 .. -13, -99) and from presence (-2 lost, -3 unexpected).

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace corecomp {

struct TReadChannel
{
    uint8_t channel = 0;
    uint8_t command = 27; // the read command: 27 (value) or 57 (state)
    int32_t state = 0;
    int32_t lastValue = -1;
    std::vector<uint8_t> data; // the owner's own bytes, handed back with every value report
    bool reported = false;
    uint32_t reportTick = 0; // monotonic ms of the last value report
};

struct TReadItem
{
    uint16_t key = 0; // the unit's address in the low byte
    int32_t type = -1;
    size_t cursor = 0;
    bool requestPending = false; // a type request (671) is on its way
    uint32_t requestTick = 0;    // monotonic ms when it was posted
    bool gone = false; // its channels were reported lost or unexpected; cleared by the type
    std::vector<TReadChannel> channels;
};

// Where the pass stands: an item and one of its channels.
struct ReadTarget
{
    size_t item = 0;
    size_t channel = 0;
};

class TReadList
{
public:
    const std::vector<TReadItem>& Items() const { return items_; }
    TReadItem* Item(int index);
    TReadChannel* Channel(int item, int channel);
    bool Empty() const { return items_.empty(); }
    size_t ReadCursor() const { return cursor_; }

    void AddReadChannel(uint16_t key, uint8_t channel, std::span<const uint8_t> data);
    void ClearReadList();
    bool RemoveReadItem(uint16_t key);
    bool RemoveReadChannel(uint16_t key, uint8_t channel);
    int FindReadItem(uint16_t key) const; // compared on the low byte
    int FindReadChannel(int item, uint8_t channel) const;
    // The item of value shr 8 and its channel of the low byte; nullopt when either is absent.
    std::optional<ReadTarget> FindReadKey(uint32_t value) const;

    // The channel the pass reads now, and the cursors moved on to the next one.  Items without
    // channels are passed over and a cursor past its end starts again, so the walk stays within
    // the list whatever was removed.  nullopt when no item has a channel.
    std::optional<ReadTarget> NextChannel();

private:
    std::vector<TReadItem> items_;
    size_t cursor_ = 0;
};

// The value an answer carries: command 28, or command 58 unless it is the "no value" form
// (byte 3 = 0 and byte 4 = 2); the value is byte 4.  nullopt for anything else.
std::optional<int32_t> ChannelValueOf(std::span<const uint8_t> answer);

// A new value for a channel: keeps the last value and says whether the owner hears of it.
// A change of at least threshold is always reported, a smaller one only every 20 minutes for
// state 1; other states report every value.
bool ApplyChannelValue(TReadChannel& channel, int32_t value, int32_t threshold, uint32_t nowTick);
inline constexpr uint32_t kRepeatReportMs = 20 * 60 * 1000;

// A channel's type from the unit's type and the state byte s (1..254) of its command-58 answer:
// the state and the read command.  nullopt: nothing changes (type 9, s = 1).
struct ChannelTyping
{
    int32_t state;
    uint8_t command;
};
std::optional<ChannelTyping> TypeFromAnswer(int32_t deviceType, uint8_t s);
// The same when the pass types a channel itself: state byte 255 means "no answer".  For type 9,
// state 1 means the unit refuses the channel (nullopt: the channel goes).
std::optional<ChannelTyping> TypeFromCheck(int32_t deviceType, uint8_t s);

// The channel state an event sets.  arming: the event answers a channel-arming command.
int32_t EventChannelState(uint8_t code, uint8_t answerCommand, bool arming);
// The event and channel of an event answer of command 4 (code byte 3, channel byte 4) or 26
// (channel byte 3, code byte 4); nullopt for another command or fewer than 6 bytes.
struct ChannelEvent
{
    uint8_t code;
    uint8_t channel;
};
std::optional<ChannelEvent> ChannelEventOf(std::span<const uint8_t> answer);

// Report records for the owner.
// 1035/15: 272 bytes (the answer as a length-prefixed text of 256, channel, address, pad,
// state, data length, data length) followed by the data itself.
std::vector<uint8_t> AnalogValueRecord(std::span<const uint8_t> answer, uint8_t channel,
                                       uint8_t address, int32_t state,
                                       std::span<const uint8_t> data);
// 1035/16: three 32-bit words: address | channel << 8, the unit's type, the state.
std::vector<uint8_t> AnalogTypeRecord(uint8_t address, uint8_t channel, int32_t deviceType,
                                      int32_t state);

} // namespace corecomp
