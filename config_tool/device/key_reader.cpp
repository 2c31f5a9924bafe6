#include "config_tool/device/key_reader.h"

#include "CoreComp/rssess/bus_frame.h"

#include <algorithm>
#include <exception>
#include <span>
#include <utility>

namespace device {

namespace {

constexpr uint8_t kCmdEventRead = 0x01;
constexpr uint8_t kCmdEventConfirm = 0x2B;
constexpr uint8_t kAnsEmptyLog = 0x02;
constexpr uint8_t kAnsEvent = 0x04;
constexpr uint8_t kAnsEventEx = 0x0E;
constexpr uint8_t kAnsPollEnd = 0x0A;
constexpr std::size_t kStampBytes = 6;

// What the session acknowledges is what leaves the log on a read.
bool IsEvent(const Frame& a)
{
    return corecomp::IsEventAnswer(a[2]);
}

// The six-byte time stamp before the checksum of the answers 12 and 14; empty for the others
// and for an answer too short to hold one after its code and number.
std::span<const uint8_t> Stamp(const Frame& a)
{
    if (a.size() < 3 || a[2] == kAnsEvent || a.size() < 5 + kStampBytes + 1)
        return {};
    return std::span<const uint8_t>(a).subspan(a.size() - 1 - kStampBytes, kStampBytes);
}

bool OneOf(uint8_t v, std::initializer_list<uint8_t> set)
{
    return std::find(set.begin(), set.end(), v) != set.end();
}

bool TakeCode(const Frame& a, std::size_t first, KeyCode& code)
{
    if (a.size() < first + code.size())
        return false;
    std::copy(a.begin() + static_cast<std::ptrdiff_t>(first),
              a.begin() + static_cast<std::ptrdiff_t>(first + code.size()), code.begin());
    return true;
}

Frame SafeExchange(CommandChannel& channel, const Frame& request)
{
    try {
        return channel.Exchange(request);
    } catch (const std::exception&) {
        return {};
    }
}

} // namespace

Frame EventReadRequest(uint8_t a) { return {a, 0x06, 0x00, kCmdEventRead, 0x00, 0x01}; }

Frame EventConfirmRequest(uint8_t a, uint8_t e) { return {a, 0x06, 0x00, kCmdEventConfirm, 0x03, e}; }

bool CodeFromEvent(const Frame& a, KeyCode& code)
{
    if (a.size() < 5)
        return false;
    const uint8_t l = a[1];
    const uint8_t event = a[3];
    if (a[2] == kAnsEvent) {
        if (OneOf(event, {17, 22, 23, 24, 109}) && l == 13 && a.size() >= 13)
            return TakeCode(a, 5, code);
        if (OneOf(event, {25, 26, 28, 29, 30, 32, 34, 84, 219}) && (l == 16 || l == 22) &&
            a.size() >= 16)
            return TakeCode(a, 6, code);
    } else if (a[2] == kAnsEventEx) {
        if (OneOf(event, {11, 12, 13}) && (l == 15 || l == 16) && a.size() >= 15)
            return TakeCode(a, 7, code);
        if (event == 14 && a.size() >= 14)
            return TakeCode(a, 6, code);
    }
    return false;
}

bool SameEvent(const Frame& a, const Frame& b)
{
    auto byte = [](const Frame& f, std::size_t i) { return i < f.size() ? int{f[i]} : -1; };
    const std::span<const uint8_t> sa = Stamp(a), sb = Stamp(b);
    return byte(a, 3) == byte(b, 3) && byte(a, 4) == byte(b, 4) &&
           std::equal(sa.begin(), sa.end(), sb.begin(), sb.end());
}

KeyStartResult KeyCodeReader::Start(uint8_t address, int port, DrainObserver* observer)
{
    address_ = address;
    active_ = false;
    drain_reads_ = 0;
    if (!PrepareChannel(channel_, port, kKeyReadRetries))
        return KeyStartResult::NoAnswer;
    const KeyStartResult result = Drain(observer);
    active_ = result == KeyStartResult::Polling;
    return result;
}

KeyStartResult KeyCodeReader::Drain(DrainObserver* observer)
{
    Frame previous;
    int same = 0;
    for (drain_reads_ = 1; drain_reads_ <= kMaxDrainReads; ++drain_reads_) {
        Frame a = SafeExchange(channel_, EventReadRequest(address_));
        if (a.size() < 3)
            return KeyStartResult::NoAnswer;
        if (a[0] == address_ && a[1] == 5 && a[2] == kAnsEmptyLog)
            return KeyStartResult::Polling;
        if (!IsEvent(a))
            return KeyStartResult::Polling; // nothing the unit drops on a read; polling deals with
                                            // it
        same = !previous.empty() && SameEvent(a, previous) ? same + 1 : 1;
        if (same >= kDrainSameAnswers)
            return KeyStartResult::LogNotEmptied;
        previous = std::move(a);
        if (observer && !observer->EventRead(drain_reads_))
            return KeyStartResult::Stopped;
    }
    drain_reads_ = kMaxDrainReads;
    return KeyStartResult::LogNotEmptied;
}

KeyPollResult KeyCodeReader::PollStep()
{
    if (!active_)
        return KeyPollResult::Stopped;
    const Frame a = SafeExchange(channel_, EventReadRequest(address_));
    if (a.size() < 3) {
        active_ = false;
        return KeyPollResult::NoAnswer;
    }
    if (CodeFromEvent(a, code_)) {
        active_ = false;
        SafeExchange(channel_, EventConfirmRequest(address_, a.at(4))); // answer not looked at
        return KeyPollResult::CodeFound;
    }
    if (a[2] == kAnsPollEnd) {
        active_ = false;
        return KeyPollResult::EndNoCode;
    }
    return KeyPollResult::KeepPolling;
}

} // namespace device
