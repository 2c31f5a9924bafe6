#include "CoreComp/rssess/second_form.h"

#include "platform/crc8.h"

#include <chrono>
#include <cmath>
#include <optional>

namespace corecomp {

int SecondFormCrc8(std::span<const uint8_t> bytes)
{
    if (bytes.empty())
        return -1;
    return platform::Crc8OneWire(bytes);
}

int SecondFormCrc16(std::span<const uint8_t> bytes)
{
    if (bytes.empty())
        return -1;
    uint16_t crc = 0;
    for (uint8_t b : bytes) {
        crc ^= b;
        for (int i = 0; i < 8; ++i)
            crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0xA001)
                            : static_cast<uint16_t>(crc >> 1);
    }
    return crc;
}

std::vector<uint8_t> StuffFrame(std::span<const uint8_t> frame)
{
    std::vector<uint8_t> out;
    out.reserve(frame.size() + 8);
    out.push_back(kSecondFormMarker);
    for (uint8_t b : frame) {
        if (b == kSecondFormMarker) {
            out.push_back(kSecondFormEscape);
            out.push_back(1);
        } else if (b == kSecondFormEscape) {
            out.push_back(kSecondFormEscape);
            out.push_back(2);
        } else {
            out.push_back(b);
        }
    }
    return out;
}

uint8_t RunKey(std::span<uint8_t> bytes, size_t from, uint8_t k)
{
    for (size_t i = from; i < bytes.size(); ++i) {
        if (i == kLengthPosition)
            continue;
        bytes[i] ^= k;
        k = platform::kCrc8OneWireTable[k];
    }
    return k;
}

uint8_t CodeSecondForm(std::span<uint8_t> frame, bool coding, uint8_t key, uint8_t consoleKey)
{
    if (!coding || frame.size() < kSecondFormHead || !(frame[0] & 0x80))
        return 0;
    if (key == 0)
        key = consoleKey;
    return RunKey(frame, 2, static_cast<uint8_t>(frame[1] ^ key));
}

void DecodeSecondForm(std::span<uint8_t> bytes, int kind, DecodeState& state, uint8_t consoleKey)
{
    if (kind == 0) {
        if (bytes.empty() || !(bytes[0] & 0x80)) {
            state.key = 0;
            state.keyByte = 0;
            return;
        }
        uint8_t k = state.key;
        if (state.key == 0)
            state.key = consoleKey;
        if (bytes.size() > 1)
            state.keyByte = bytes[1];
        for (size_t i = 2; i < bytes.size(); ++i) {
            bytes[i] ^= k;
            k = platform::kCrc8OneWireTable[k];
            state.key = k;
        }
    } else if (kind == 3) {
        // The long part after the head: its first byte is the frame's position 4, plain.
        uint8_t k = state.key;
        for (size_t i = 1; i < bytes.size(); ++i) {
            bytes[i] ^= k;
            k = platform::kCrc8OneWireTable[k];
        }
        state.key = k;
    }
}

std::array<uint8_t, 4> MakeSecondFormHead(uint8_t address, uint8_t keyByte, uint8_t status)
{
    std::array<uint8_t, 4> h{address, keyByte, status, 0};
    h[3] = static_cast<uint8_t>(SecondFormCrc8(std::span(h).first(3)));
    return h;
}

std::vector<uint8_t> MakeSecondFormFrame(std::array<uint8_t, 3> head, std::span<const uint8_t> body)
{
    if (body.size() > 255)
        return {};
    auto h = MakeSecondFormHead(head[0], head[1], head[2]);
    std::vector<uint8_t> f(h.begin(), h.end());
    f.push_back(static_cast<uint8_t>(body.size()));
    f.insert(f.end(), body.begin(), body.end());
    const int crc = SecondFormCrc16(f);
    f.push_back(static_cast<uint8_t>(crc & 0xFF));
    f.push_back(static_cast<uint8_t>(crc >> 8));
    return f;
}

std::vector<uint8_t> MakeSecondFormLong(uint8_t address, uint8_t status, uint8_t tag,
                                        uint8_t number, std::span<const uint8_t> data)
{
    if (data.size() > 253)
        return {};
    std::vector<uint8_t> body{tag, number};
    body.insert(body.end(), data.begin(), data.end());
    return MakeSecondFormFrame({address, number, status}, body);
}

int SecondFormReader::NextRaw()
{
    if (at_ == have_) {
        const int n = line_.Read(buffer_, false);
        if (n < 0)
            return -2;
        if (n == 0)
            return -1;
        have_ = std::min(static_cast<size_t>(n), buffer_.size());
        at_ = 0;
    }
    return buffer_[at_++];
}

uint8_t SecondFormReader::Take(size_t n, std::vector<uint8_t>& out)
{
    size_t got = 0;
    while (got < n) {
        int b = NextRaw();
        if (b == -2)
            return kSecondFormNoPort;
        if (b < 0)
            return kSecondFormShort;
        if (b == kSecondFormMarker) {
            // A marker inside a frame means the frame was cut short; the new one is kept for
            // the next read.
            const bool cut = inFrame_ && stuffed_ > 0;
            inFrame_ = true;
            stuffed_ = 0;
            if (cut)
                return kSecondFormShort;
            continue;
        }
        if (!inFrame_)
            continue;
        if (stuffed_ == kMaxStuffedFrame)
            return kSecondFormShort;
        ++stuffed_;
        if (b == kSecondFormEscape) {
            if (stuffed_ == kMaxStuffedFrame)
                return kSecondFormShort;
            const int e = NextRaw();
            if (e == -2)
                return kSecondFormNoPort;
            if (e < 0)
                return kSecondFormShort;
            if (e != 1 && e != 2)
                return kSecondFormBadEscape;
            ++stuffed_;
            b = e == 1 ? kSecondFormMarker : kSecondFormEscape;
        }
        out.push_back(static_cast<uint8_t>(b));
        ++got;
    }
    return kSecondFormOk;
}

void SecondFormReader::Drain(uint64_t maxMs)
{
    have_ = at_ = 0;
    inFrame_ = false;
    const uint64_t start = line_.Millis();
    std::array<uint8_t, 301> sink{};
    while (line_.Read(sink, true) > 0) {
        if (line_.Millis() - start >= maxMs)
            break;
    }
}

SecondFormAnswer ReadSecondFormAnswer(SecondFormReader& reader, uint8_t requestAddress,
                                      uint8_t startKey, uint8_t consoleKey,
                                      const std::function<bool(uint8_t number)>& isRepeated)
{
    SecondFormAnswer a;
    reader.NextFrame(); // an answer starts at its own marker
    a.code = reader.Take(kSecondFormHead, a.frame);
    if (a.code != kSecondFormOk) {
        a.frame.clear();
        return a;
    }
    DecodeState state{startKey, 0};
    DecodeSecondForm(a.frame, 0, state, consoleKey);
    a.keyByte = state.keyByte;
    const auto fail = [&a](uint8_t code) {
        a.code = code;
        a.frame.clear();
        return a;
    };
    if (SecondFormCrc8(std::span(a.frame).first(3)) != a.frame[3]) {
        reader.Drain(kDrainLimitMs);
        return fail(kSecondFormBadCrc);
    }
    if ((a.frame[0] & 0x7F) != (requestAddress & 0x7F))
        return fail(kSecondFormForeignAddress);
    if ((a.frame[2] & 0x0F) != kAnswerLong)
        return a;
    // The length byte stands plain; the rest of the long part continues the head's key.
    if (uint8_t c = reader.Take(1, a.frame); c != kSecondFormOk)
        return fail(c);
    const size_t n = a.frame[kLengthPosition];
    if (uint8_t c = reader.Take(n + 2, a.frame); c != kSecondFormOk)
        return fail(c);
    DecodeSecondForm(std::span(a.frame).subspan(kLengthPosition), 3, state, consoleKey);
    const size_t end = a.frame.size() - 2;
    const int crc = SecondFormCrc16(std::span(a.frame).first(end));
    if (crc != (a.frame[end] | (a.frame[end + 1] << 8))) {
        reader.Drain(kDrainLimitMs);
        return fail(kSecondFormBadCrc);
    }
    if (isRepeated && a.frame.size() > kAnswerNumberPosition + 2)
        a.repeated = isRepeated(a.frame[kAnswerNumberPosition]);
    return a;
}

bool AnswersCommand(std::span<const uint8_t> answer, uint8_t command)
{
    return answer.size() >= kAnswerPayloadPosition + 2 && (answer[2] & 0x0F) == kAnswerLong &&
           answer[kAnswerTagPosition] == command && answer[kAnswerKindPosition] != kMessageEvent;
}

std::vector<uint8_t> SecondFormShape(std::span<const uint8_t> request)
{
    if (request.size() < 5)
        return {request.begin(), request.end()};
    std::vector<uint8_t> out{request[0]};
    out.insert(out.end(), request.begin() + 3, request.end());
    return out;
}

namespace {

// Seconds since the epoch of a real date and time, or nothing.
std::optional<int64_t> StampSeconds(std::span<const uint8_t, 6> s)
{
    using namespace std::chrono;
    if (s[0] == 0 || s[1] < 1 || s[1] > 12 || s[2] == 0 || s[3] >= 24 || s[4] >= 60 || s[5] >= 60)
        return std::nullopt;
    const year_month_day ymd{std::chrono::year{2000 + s[0]}, month{s[1]}, day{s[2]}};
    if (!ymd.ok())
        return std::nullopt;
    return static_cast<int64_t>(sys_days{ymd}.time_since_epoch().count()) * 86400 + s[3] * 3600 +
           s[4] * 60 + s[5];
}

} // namespace

bool StampUsable(std::span<const uint8_t, 6> s, int64_t nowEpochSeconds)
{
    const auto at = StampSeconds(s);
    return at && *at <= nowEpochSeconds + 600;
}

double EventTime(std::span<const uint8_t> stamp, double now)
{
    constexpr double kEpochDate = 25569.0; // 1 January 1970 as a date value
    if (stamp.size() < 6 || !std::isfinite(now))
        return now;
    const auto nowSeconds = static_cast<int64_t>(std::floor((now - kEpochDate) * 86400.0));
    const auto at = StampSeconds(stamp.first<6>());
    if (!at || *at > nowSeconds + 600)
        return now;
    return kEpochDate + static_cast<double>(*at) / 86400.0;
}

} // namespace corecomp
