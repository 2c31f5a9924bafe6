#include "sim/console_bus.h"

#include "CoreComp/rssess/second_form.h"

#include <algorithm>

namespace sim {

using namespace corecomp;

namespace {

constexpr int64_t kPartialFrameUs = 100000;
constexpr uint8_t kEventMessage = 2;
constexpr uint8_t kListMessage = 8;
constexpr uint8_t kAnswerBusy = 10;

bool ValidIndex(int n)
{
    return n >= 1 && n <= 127;
}

// The console's running key, worked bit by bit so that it does not lean on the session's table:
// from position `from` on, every byte but the length byte (position 4) is XORed with k, and k
// then becomes the 1-Wire CRC-8 of a zero byte taken with register k.  Returns the last k.
uint8_t ConsoleRunningKey(Bytes& bytes, size_t from, uint8_t k)
{
    constexpr size_t kPlainPosition = 4;
    for (size_t i = from; i < bytes.size(); ++i) {
        if (i == kPlainPosition)
            continue;
        bytes[i] ^= k;
        for (int bit = 0; bit < 8; ++bit)
            k = (k & 1) ? static_cast<uint8_t>((k >> 1) ^ 0x8C) : static_cast<uint8_t>(k >> 1);
    }
    return k;
}

} // namespace

bool ConsoleBus::AddConsole(uint8_t address, uint8_t type, uint8_t version)
{
    std::lock_guard guard(mutex_);
    if (!ValidIndex(address) || consoles_.count(address))
        return false;
    Console& c = consoles_[address];
    c.type = type;
    c.version = version;
    return true;
}

bool ConsoleBus::AddSubDevice(uint8_t console, uint8_t sub, uint8_t type, uint16_t version, int map)
{
    std::lock_guard guard(mutex_);
    auto it = consoles_.find(console);
    if (it == consoles_.end() || !ValidIndex(sub) || map < 0 || map > 2)
        return false;
    it->second.subs.at(sub) = {type, version, map};
    return true;
}

bool ConsoleBus::QueueEvent(uint8_t console, uint8_t code, uint8_t sub)
{
    std::lock_guard guard(mutex_);
    auto it = consoles_.find(console);
    if (it == consoles_.end())
        return false;
    Console& c = it->second;
    if (code == 251 && ValidIndex(sub) && c.subs.at(sub).map == 0)
        c.subs.at(sub).map = 1;
    if (code == 250 && ValidIndex(sub))
        c.subs.at(sub).map = 0;
    c.messages.push_back({kEventMessage, code, sub, 26, 6, 10, 12, 0, 0});
    return true;
}

size_t ConsoleBus::QueuedMessages(uint8_t console) const
{
    std::lock_guard guard(mutex_);
    auto it = consoles_.find(console);
    return it == consoles_.end() ? 0 : it->second.messages.size();
}

bool ConsoleBus::SetSilent(uint8_t console, bool silent)
{
    std::lock_guard guard(mutex_);
    auto it = consoles_.find(console);
    if (it == consoles_.end())
        return false;
    it->second.silent = silent;
    return true;
}

bool ConsoleBus::SetFlag(uint8_t console, bool on)
{
    std::lock_guard guard(mutex_);
    auto it = consoles_.find(console);
    if (it == consoles_.end())
        return false;
    it->second.flag = on;
    return true;
}

void ConsoleBus::SetFault(ConsoleFault fault, int count)
{
    std::lock_guard guard(mutex_);
    faults_[fault] = count;
}

bool ConsoleBus::Take(ConsoleFault f)
{
    auto it = faults_.find(f);
    if (it == faults_.end() || it->second <= 0)
        return false;
    --it->second;
    return true;
}

std::optional<uint8_t> ConsoleBus::Key(uint8_t console) const
{
    std::lock_guard guard(mutex_);
    auto it = consoles_.find(console);
    if (it == consoles_.end())
        return std::nullopt;
    return it->second.key;
}

size_t ConsoleBus::Requests(uint8_t console, uint8_t kind) const
{
    std::lock_guard guard(mutex_);
    auto it = consoles_.find(console);
    if (it == consoles_.end())
        return 0;
    auto r = it->second.requests.find(kind);
    return r == it->second.requests.end() ? 0 : r->second;
}

std::vector<uint8_t> ConsoleBus::Commands(uint8_t console) const
{
    std::lock_guard guard(mutex_);
    auto it = consoles_.find(console);
    return it == consoles_.end() ? std::vector<uint8_t>{} : it->second.commands;
}

size_t ConsoleBus::TimeCommands(uint8_t console) const
{
    std::lock_guard guard(mutex_);
    auto it = consoles_.find(console);
    return it == consoles_.end() ? 0 : it->second.timeCommands;
}

std::vector<ConsoleBus::Heard> ConsoleBus::History() const
{
    std::lock_guard guard(mutex_);
    return history_;
}

LineActivity ConsoleBus::Receive(std::span<const uint8_t> bytes, int64_t now_us)
{
    std::lock_guard guard(mutex_);
    LineActivity activity;
    for (uint8_t b : bytes) {
        lastByteUs_ = now_us;
        if (b == kSecondFormMarker) {
            if (inFrame_ && wire_.size() > 1)
                activity.dropped.push_back(wire_);
            inFrame_ = true;
            escape_ = false;
            wire_ = {b};
            plain_.clear();
            continue;
        }
        if (!inFrame_) {
            activity.dropped.push_back({b});
            continue;
        }
        wire_.push_back(b);
        if (wire_.size() > kMaxStuffedFrame + 1) {
            activity.dropped.push_back(wire_);
            inFrame_ = false;
            continue;
        }
        if (escape_) {
            escape_ = false;
            if (b != 1 && b != 2) {
                activity.dropped.push_back(wire_);
                inFrame_ = false;
                continue;
            }
            plain_.push_back(b == 1 ? kSecondFormMarker : kSecondFormEscape);
        } else if (b == kSecondFormEscape) {
            escape_ = true;
            continue;
        } else {
            plain_.push_back(b);
        }
        Frame(now_us, activity);
    }
    return activity;
}

// Takes plain_ as a whole request once it is complete.
void ConsoleBus::Frame(int64_t now_us, LineActivity& activity)
{
    if (plain_.size() < kSecondFormHead)
        return;
    const uint8_t address = plain_[0] & 0x7F;
    auto it = consoles_.find(address);
    const uint8_t key = it == consoles_.end() ? 0 : it->second.key;
    const bool coded = (plain_[0] & 0x80) != 0;
    const uint8_t k0 = coded ? static_cast<uint8_t>(plain_[1] ^ key) : 0;
    Bytes head(plain_.begin(), plain_.begin() + 4);
    if (coded)
        ConsoleRunningKey(head, 2, k0);
    const bool isLong = head[2] != 1;
    if (isLong && (plain_.size() < 5 || plain_.size() < plain_[kLengthPosition] + 7u))
        return;
    Bytes request = plain_;
    const uint8_t left = coded ? ConsoleRunningKey(request, 2, k0) : 0;
    Heard heard{wire_, request, {}};
    inFrame_ = false;
    const bool good = SecondFormCrc8(std::span(request).first(3)) == request[3] &&
                      (!isLong || SecondFormCrc16(request) == 0);
    if (!good) {
        activity.dropped.push_back(wire_);
        history_.push_back(std::move(heard));
        return;
    }
    activity.frames.push_back(wire_);
    if (it == consoles_.end() || it->second.silent || Take(ConsoleFault::Silence)) {
        history_.push_back(std::move(heard));
        return;
    }
    Console& c = it->second;
    const std::vector<Bytes> answers =
        Answers(c, static_cast<uint8_t>(address | (coded ? 0x80 : 0)), request);
    // The first answer starts a turnaround after the request's last byte has passed on the line
    // (the pty delivers at once, the session waits out the line time); each further one follows
    // the one before it.
    int64_t due =
        now_us + static_cast<int64_t>(heard.wire.size() + 2) * 10'000'000 / baud_ + turnaroundUs_;
    for (Bytes answer : answers) {
        if (coded)
            answer[1] = request[1];
        if (Take(ConsoleFault::WrongAddress))
            answer[0] = static_cast<uint8_t>((answer[0] & 0x80) | (address % 127 + 1));
        // Checksums over the plain answer, then the key continues where the request left it.
        answer[3] = static_cast<uint8_t>(SecondFormCrc8(std::span(answer).first(3)));
        if (answer.size() > kSecondFormHead) {
            answer.resize(answer.size() - 2);
            const int crc = SecondFormCrc16(answer);
            answer.push_back(static_cast<uint8_t>(crc & 0xFF));
            answer.push_back(static_cast<uint8_t>(crc >> 8));
        }
        if (coded)
            ConsoleRunningKey(answer, 2, left);
        if (Take(ConsoleFault::BadCrc8))
            answer[3] ^= 0x01;
        if (answer.size() > kSecondFormHead && Take(ConsoleFault::BadCrc16))
            answer.back() ^= 0x01;
        Bytes wire = StuffFrame(answer);
        if (Take(ConsoleFault::BadEscape))
            wire.insert(wire.begin() + 2, {kSecondFormEscape, 0x07});
        heard.answerWire.insert(heard.answerWire.end(), wire.begin(), wire.end());
        const int64_t at = due;
        due += static_cast<int64_t>(wire.size()) * 10'000'000 / baud_;
        activity.answers.push_back({at, std::move(wire)});
    }
    history_.push_back(std::move(heard));
}

Bytes ConsoleBus::LongAnswer(Console& c, uint8_t address, uint8_t tag, Bytes message)
{
    c.number = NextRequestNumber(c.number);
    Bytes body{tag, c.number};
    body.insert(body.end(), message.begin(), message.end());
    const uint8_t status = static_cast<uint8_t>(kAnswerLong | (c.flag ? 0x80 : 0));
    Bytes frame = MakeSecondFormFrame({address, 0, status}, body);
    c.lastLong = frame;
    return frame;
}

std::vector<Bytes> ConsoleBus::Answers(Console& c, uint8_t address, const Bytes& r)
{
    std::vector<Bytes> out;
    const uint8_t kind = r[2];
    if (kind != 1 && Take(ConsoleFault::Busy)) {
        ++c.requests[kind];
        const uint8_t status = static_cast<uint8_t>(kAnswerBusy | (c.flag ? 0x80 : 0));
        const auto head = MakeSecondFormHead(address, 0, status);
        out.emplace_back(head.begin(), head.end());
        return out;
    }
    if (kind == 3) {
        if (!c.lastLong.empty() && Take(ConsoleFault::Repeat)) {
            Bytes again = c.lastLong;
            again[0] = address;
            out.push_back(std::move(again));
        } else if (!c.messages.empty() && Take(ConsoleFault::EventFirst)) {
            Bytes m = std::move(c.messages.front());
            c.messages.pop_front();
            out.push_back(LongAnswer(c, address, 0, std::move(m)));
        }
    }
    out.push_back(Answer(c, address, r));
    // A new key confirmed takes effect after its own answer.
    if (kind == 3 && r.size() > 8 && r[5] == 1)
        c.key = r[7];
    return out;
}

Bytes ConsoleBus::Answer(Console& c, uint8_t address, const Bytes& r)
{
    const uint8_t kind = r[2];
    ++c.requests[kind];
    const uint8_t status = static_cast<uint8_t>(kAnswerHeadOnly | (c.flag ? 0x80 : 0));
    const auto head = MakeSecondFormHead(address, 0, status);
    if (kind == 1) {
        if (!c.lastLong.empty() && Take(ConsoleFault::Duplicate)) {
            Bytes again = c.lastLong;
            again[0] = address;
            return again;
        }
        if (c.messages.empty())
            return Bytes(head.begin(), head.end());
        Bytes m = std::move(c.messages.front());
        c.messages.pop_front();
        return LongAnswer(c, address, 0, std::move(m));
    }
    if (kind == 9) {
        ++c.timeCommands;
        return Bytes(head.begin(), head.end());
    }
    // General command: [tag = command] [number] [data].
    if (r.size() < 9)
        return Bytes(head.begin(), head.end());
    const uint8_t command = r[5];
    const Bytes data(r.begin() + 7, r.end() - 2);
    c.commands.push_back(command);
    Bytes m{kListMessage, command};
    switch (command) {
    case 1:
        m.push_back(data.empty() ? 0 : data[0]);
        break;
    case 3:
        m.push_back(c.type);
        m.push_back(c.version);
        break;
    case 6: {
        Bytes maps(32, 0);
        for (int n = 1; n <= 127; ++n) {
            const int map = c.subs.at(static_cast<size_t>(n)).map;
            if (map)
                maps[static_cast<size_t>((map - 1) * 16 + n / 8)] |=
                    static_cast<uint8_t>(1u << (n % 8));
        }
        m.insert(m.end(), maps.begin(), maps.end());
        break;
    }
    case 7: {
        const uint8_t sub = data.empty() ? 0 : data[0];
        const Sub& s = ValidIndex(sub) ? c.subs.at(sub) : Sub{};
        m.insert(m.end(), {sub, s.type, static_cast<uint8_t>(s.version & 0xFF),
                           static_cast<uint8_t>(s.version >> 8)});
        break;
    }
    default:
        break;
    }
    return LongAnswer(c, address, command, std::move(m));
}

LineActivity ConsoleBus::Expire(int64_t now_us)
{
    std::lock_guard guard(mutex_);
    LineActivity activity;
    if (inFrame_ && wire_.size() > 1 && now_us - lastByteUs_ >= kPartialFrameUs) {
        activity.dropped.push_back(wire_);
        inFrame_ = false;
        wire_.clear();
        plain_.clear();
    }
    return activity;
}

std::optional<int64_t> ConsoleBus::ExpiryDue() const
{
    std::lock_guard guard(mutex_);
    if (inFrame_ && wire_.size() > 1)
        return lastByteUs_ + kPartialFrameUs;
    return std::nullopt;
}

} // namespace sim
