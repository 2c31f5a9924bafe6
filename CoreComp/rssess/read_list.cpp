// The read list and its rules; see read_list.h.

#include "CoreComp/rssess/read_list.h"

#include <algorithm>
#include <cstdlib>

namespace corecomp {

TReadItem* TReadList::Item(int index)
{
    return index >= 0 && static_cast<size_t>(index) < items_.size()
               ? &items_[static_cast<size_t>(index)]
               : nullptr;
}

TReadChannel* TReadList::Channel(int item, int channel)
{
    TReadItem* it = Item(item);
    if (!it || channel < 0 || static_cast<size_t>(channel) >= it->channels.size())
        return nullptr;
    return &it->channels[static_cast<size_t>(channel)];
}

int TReadList::FindReadItem(uint16_t key) const
{
    for (size_t i = 0; i < items_.size(); ++i)
        if ((items_[i].key & 0xFF) == (key & 0xFF))
            return static_cast<int>(i);
    return -1;
}

int TReadList::FindReadChannel(int item, uint8_t channel) const
{
    if (item < 0 || static_cast<size_t>(item) >= items_.size())
        return -1;
    const auto& chs = items_[static_cast<size_t>(item)].channels;
    for (size_t i = 0; i < chs.size(); ++i)
        if (chs[i].channel == channel)
            return static_cast<int>(i);
    return -1;
}

std::optional<ReadTarget> TReadList::FindReadKey(uint32_t value) const
{
    const int item = FindReadItem(static_cast<uint16_t>(value >> 8));
    const int channel = FindReadChannel(item, static_cast<uint8_t>(value));
    if (channel < 0)
        return std::nullopt;
    return ReadTarget{static_cast<size_t>(item), static_cast<size_t>(channel)};
}

void TReadList::AddReadChannel(uint16_t key, uint8_t channel, std::span<const uint8_t> data)
{
    int item = FindReadItem(key);
    if (item < 0) {
        items_.push_back(TReadItem{});
        items_.back().key = key;
        item = static_cast<int>(items_.size() - 1);
    }
    TReadItem& it = items_[static_cast<size_t>(item)];
    it.type = -1;
    int c = FindReadChannel(item, channel);
    if (c < 0) {
        it.channels.push_back(TReadChannel{});
        c = static_cast<int>(it.channels.size() - 1);
    }
    TReadChannel& ch = it.channels[static_cast<size_t>(c)];
    ch = TReadChannel{};
    ch.channel = channel;
    ch.data.assign(data.begin(), data.end());
}

void TReadList::ClearReadList()
{
    while (!items_.empty())
        items_.pop_back();
    cursor_ = 0;
}

bool TReadList::RemoveReadItem(uint16_t key)
{
    const int item = FindReadItem(key);
    if (item < 0)
        return false;
    items_.erase(items_.begin() + item);
    if (cursor_ >= items_.size())
        cursor_ = 0;
    return true;
}

bool TReadList::RemoveReadChannel(uint16_t key, uint8_t channel)
{
    const int item = FindReadItem(key);
    const int c = FindReadChannel(item, channel);
    if (c < 0)
        return false;
    TReadItem& it = items_[static_cast<size_t>(item)];
    it.channels.erase(it.channels.begin() + c);
    if (it.cursor >= it.channels.size())
        it.cursor = 0;
    cursor_ = 0;
    return true;
}

std::optional<ReadTarget> TReadList::NextChannel()
{
    for (size_t tried = 0; tried < items_.size(); ++tried) {
        if (cursor_ >= items_.size())
            cursor_ = 0;
        TReadItem& it = items_[cursor_];
        if (it.channels.empty()) {
            ++cursor_;
            continue;
        }
        if (it.cursor >= it.channels.size())
            it.cursor = 0;
        const ReadTarget target{cursor_, it.cursor};
        if (++it.cursor >= it.channels.size()) {
            it.cursor = 0;
            cursor_ = cursor_ + 1 >= items_.size() ? 0 : cursor_ + 1;
        }
        return target;
    }
    return std::nullopt;
}

std::optional<int32_t> ChannelValueOf(std::span<const uint8_t> a)
{
    if (a.size() <= 4 || a[0] == 0)
        return std::nullopt;
    if (a[2] == 28 || (a[2] == 58 && (a[3] != 0 || a[4] != 2)))
        return a[4];
    return std::nullopt;
}

bool ApplyChannelValue(TReadChannel& ch, int32_t value, int32_t threshold, uint32_t nowTick)
{
    int64_t delta = 2;
    if ((ch.state == 1 || ch.state == 2) && ch.lastValue != -1)
        delta = static_cast<int64_t>(ch.lastValue) - value;
    if (delta > 1 || delta < -1)
        ch.lastValue = value;
    const bool young = ch.reported && nowTick - ch.reportTick < kRepeatReportMs;
    if (std::llabs(delta) < threshold && ch.state == 1 && young)
        return false;
    ch.reported = true;
    ch.reportTick = nowTick;
    return true;
}

namespace {

// Type 9's state byte, as its answer to a posted type request reads.
int32_t Type9StateFromAnswer(uint8_t s)
{
    if (s == 2 || (s >= 4 && s <= 7) || (s >= 9 && s <= 29) || (s >= 50 && s <= 59) ||
        (s >= 70 && s <= 79) || (s >= 90 && s <= 139))
        return 2;
    if (s == 3 || (s >= 80 && s <= 89))
        return 1;
    if (s >= 40 && s <= 49)
        return 3;
    return s >= 60 && s <= 69 ? 4 : 0;
}

// The same byte when the pass types the channel itself (255: no answer).
int32_t Type9StateFromCheck(uint8_t s)
{
    if (s == 0 || s == 8 || (s >= 30 && s <= 39) || s >= 140)
        return 0;
    if (s == 3 || (s >= 80 && s <= 89))
        return 1;
    return (s >= 40 && s <= 49) || (s >= 60 && s <= 69) ? 3 : 2;
}

std::optional<ChannelTyping> TypeChannel(int32_t type, uint8_t s, bool check)
{
    switch (type) {
    case 1:
    case 2:
    case 4:
    case 11:
        return ChannelTyping{2, 27};
    case 9:
        if (s == 1)
            return std::nullopt;
        return ChannelTyping{check ? Type9StateFromCheck(s) : Type9StateFromAnswer(s), 57};
    case 12:
        return ChannelTyping{s == 31 ? 1 : 0, 57};
    default:
        return ChannelTyping{check && s == 255 ? 0 : s, 27};
    }
}

} // namespace

std::optional<ChannelTyping> TypeFromAnswer(int32_t type, uint8_t s)
{
    return TypeChannel(type, s, false);
}

std::optional<ChannelTyping> TypeFromCheck(int32_t type, uint8_t s)
{
    return TypeChannel(type, s, true);
}

int32_t EventChannelState(uint8_t code, uint8_t answerCommand, bool arming)
{
    switch (code) {
    case 3:
    case 36:
    case 37:
    case 44:
    case 58:
    case 149:
    case 214:
    case 216:
        // By the answer's command alone: these states have no arming variant.
        return answerCommand == 26 ? -7 : -1;
    case 17:
        return arming ? -11 : -5;
    case 24:
    case 35:
        return arming ? -10 : -4;
    case 109:
        return arming ? -12 : -6;
    case 117:
        return -8;
    case 119:
        return -9;
    case 187:
        return -13;
    default:
        return -99;
    }
}

std::optional<ChannelEvent> ChannelEventOf(std::span<const uint8_t> a)
{
    if (a.size() < 6)
        return std::nullopt;
    if (a[2] == 4)
        return ChannelEvent{a[3], a[4]};
    if (a[2] == 26)
        return ChannelEvent{a[4], a[3]};
    return std::nullopt;
}

namespace {

void PutLe32(std::vector<uint8_t>& p, size_t at, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        p[at + static_cast<size_t>(i)] = static_cast<uint8_t>(v >> (8 * i));
}

} // namespace

std::vector<uint8_t> AnalogValueRecord(std::span<const uint8_t> answer, uint8_t channel,
                                       uint8_t address, int32_t state,
                                       std::span<const uint8_t> data)
{
    std::vector<uint8_t> r(272 + data.size(), 0);
    const size_t n = std::min<size_t>(answer.size(), 255);
    r[0] = static_cast<uint8_t>(n);
    std::copy_n(answer.begin(), n, r.begin() + 1);
    r[256] = channel;
    r[257] = address;
    PutLe32(r, 260, static_cast<uint32_t>(state));
    PutLe32(r, 264, static_cast<uint32_t>(data.size()));
    PutLe32(r, 268, static_cast<uint32_t>(data.size()));
    std::copy(data.begin(), data.end(), r.begin() + 272);
    return r;
}

std::vector<uint8_t> AnalogTypeRecord(uint8_t address, uint8_t channel, int32_t deviceType,
                                      int32_t state)
{
    std::vector<uint8_t> r(12, 0);
    PutLe32(r, 0, static_cast<uint32_t>(address) | static_cast<uint32_t>(channel) << 8);
    PutLe32(r, 4, static_cast<uint32_t>(deviceType));
    PutLe32(r, 8, static_cast<uint32_t>(state));
    return r;
}

} // namespace corecomp
