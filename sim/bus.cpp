#include "sim/bus.h"

#include "CoreComp/rssess/bus_crc.h"

#include <algorithm>
#include <initializer_list>
#include <utility>

namespace sim {

namespace {

// The n-th made event (n from 1): the answer commands 04, 0C and 0E in turn, event code 22,
// n in two bytes, two zero bytes, and for 0C and 0E a six-byte stamp of zeros.
Bytes NumberedEvent(std::size_t n)
{
    static constexpr uint8_t kCommands[] = {0x04, 0x0C, 0x0E};
    const uint8_t command = kCommands[(n - 1) % 3];
    Bytes body(command == 0x04 ? 6 : 12, 0);
    body[0] = command;
    body[1] = 22;
    body[2] = static_cast<uint8_t>(n & 0xFF);
    body[3] = static_cast<uint8_t>((n >> 8) & 0xFF);
    return body;
}

constexpr std::size_t kMinFrame = 5;   // L of the shortest frame
constexpr std::size_t kMaxRead = 251;  // largest read that fits an answer (L = 4 + n <= 255)
constexpr uint32_t kBitsPerByte = 10;  // start, eight data bits, stop
constexpr uint32_t kMinGapUs = 20000;
constexpr std::size_t kMaxHistory = 200000; // the oldest frame goes when the history is full

enum : uint8_t {
    kCmdEventRead = 0x01,
    kCmdEventAck = 0x03,
    kCmdProbe = 0x13,
    kCmdClock = 0x29,
    kCmdType = 0x0D,
    kCmdNewKey = 0x11,
    kCmdClose = 0x17,
    kCmdKeyRead = 0x1D,
    kCmdKeyWrite = 0x25,
    kCmdConfirm = 0x2B,
    kCmdVersion = 0x3F,
    kCmdMemWrite = 0x41,
    kCmdMemRead = 0x43,
    kKeySub = 0x0E,
    kVersionSub = 0x29,
};

// Address, L and the body; the CRC-8 is added by the caller.
Bytes Frame(uint8_t address, std::initializer_list<uint8_t> body)
{
    Bytes f;
    f.reserve(body.size() + 3);
    f.push_back(address);
    f.push_back(static_cast<uint8_t>(body.size() + 2));
    f.insert(f.end(), body.begin(), body.end());
    return f;
}

void Seal(Bytes& frame)
{
    frame.push_back(corecomp::BusCrc8(frame));
}

// The 24-bit memory address of a read or write request: lo, hi, then the top byte.
std::size_t Offset(const Bytes& request)
{
    return std::size_t{request[4]} | std::size_t{request[5]} << 8 | std::size_t{request[6]} << 16;
}

bool Fires(const FaultRule& rule, std::mt19937& random)
{
    if (rule.count > 0)
        return true;
    if (rule.probability <= 0.0)
        return false;
    return std::uniform_real_distribution<double>(0.0, 1.0)(random) < rule.probability;
}

BusTiming Sane(BusTiming timing)
{
    if (timing.baud == 0)
        timing.baud = 9600;
    return timing;
}

} // namespace

Bytes WithCrc(Bytes frame)
{
    Seal(frame);
    return frame;
}

class Bus::Access final : public UnitAccess
{
public:
    explicit Access(Unit& unit) : unit_(unit) {}
    uint8_t Address() const override { return unit_.address; }
    uint8_t Type() const override { return unit_.type; }
    uint16_t Version() const override { return unit_.version; }
    bool QueueEvent(Bytes body) override
    {
        if (body.size() < 3 || body.size() > 253)
            return false;
        return Enqueue(unit_, std::move(body));
    }
    uint8_t TakeEventNumber() override
    {
        const uint8_t n = unit_.next_event;
        unit_.next_event = n == 255 ? 1 : static_cast<uint8_t>(n + 1);
        return n;
    }

private:
    Unit& unit_;
};

Bus::Bus(BusTiming timing, uint32_t seed) : timing_(Sane(timing)), random_(seed) {}

uint32_t Bus::ByteTimeUs() const
{
    return static_cast<uint32_t>((uint64_t{kBitsPerByte} * 1000000 + timing_.baud - 1) / timing_.baud);
}

uint32_t Bus::GapUs() const
{
    if (timing_.gap_us != 0)
        return timing_.gap_us;
    return std::max(4 * ByteTimeUs(), kMinGapUs);
}

Bus::Unit* Bus::Find(uint8_t address)
{
    auto it = std::find_if(units_.begin(), units_.end(), [&](const Unit& u) { return u.address == address; });
    return it == units_.end() ? nullptr : &*it;
}

const Bus::Unit* Bus::Find(uint8_t address) const
{
    return const_cast<Bus*>(this)->Find(address);
}

bool Bus::AddUnit(uint8_t address, uint8_t type, uint16_t version)
{
    std::lock_guard lock(mutex_);
    if (address < 1 || address > 127 || Find(address))
        return false;
    Unit unit;
    unit.address = address;
    unit.type = type;
    unit.version = version;
    unit.memory.fill(0xFF);
    const model::Image& factory = model::FactoryImage();
    std::copy(factory.begin(), factory.end(), unit.memory.begin());
    auto at = std::lower_bound(units_.begin(), units_.end(), address,
                               [](const Unit& u, uint8_t a) { return u.address < a; });
    units_.insert(at, std::move(unit));
    return true;
}

bool Bus::HasUnit(uint8_t address) const
{
    return Inspect(address, [](const Unit&) { return true; }).has_value();
}

std::vector<uint8_t> Bus::Addresses() const
{
    std::lock_guard lock(mutex_);
    std::vector<uint8_t> out;
    for (const Unit& u : units_)
        out.push_back(u.address);
    return out;
}

template <typename F>
auto Bus::Inspect(uint8_t address, F f) const -> std::optional<decltype(f(std::declval<const Unit&>()))>
{
    std::lock_guard lock(mutex_);
    const Unit* u = Find(address);
    if (!u)
        return std::nullopt;
    return f(*u);
}

template <typename F>
bool Bus::Change(uint8_t address, F f)
{
    std::lock_guard lock(mutex_);
    Unit* u = Find(address);
    if (!u)
        return false;
    f(*u);
    return true;
}

std::optional<model::Image> Bus::Image(uint8_t address) const
{
    return Inspect(address, [](const Unit& u) {
        model::Image image;
        std::copy_n(u.memory.begin(), image.size(), image.begin());
        return image;
    });
}

bool Bus::SetImage(uint8_t address, const model::Image& image)
{
    return Change(address, [&](Unit& u) { std::copy(image.begin(), image.end(), u.memory.begin()); });
}

std::optional<Bytes> Bus::ReadMemory(uint8_t address, std::size_t offset, std::size_t count) const
{
    if (offset > kMemorySize || count > kMemorySize - offset)
        return std::nullopt;
    return Inspect(address, [&](const Unit& u) {
        return Bytes(u.memory.begin() + static_cast<std::ptrdiff_t>(offset),
                     u.memory.begin() + static_cast<std::ptrdiff_t>(offset + count));
    });
}

std::optional<model::KeyCodes> Bus::KeyCodes(uint8_t address) const
{
    return Inspect(address, [](const Unit& u) { return u.codes; });
}

bool Bus::SetKeyCodes(uint8_t address, const model::KeyCodes& codes)
{
    return Change(address, [&](Unit& u) { u.codes = codes; });
}

std::optional<uint16_t> Bus::CodingKey(uint8_t address) const
{
    return Inspect(address, [](const Unit& u) { return u.key; });
}

bool Bus::SetCodingKey(uint8_t address, uint16_t key)
{
    return Change(address, [&](Unit& u) { u.key = key; });
}

std::optional<uint8_t> Bus::Type(uint8_t address) const
{
    return Inspect(address, [](const Unit& u) { return u.type; });
}

std::optional<uint16_t> Bus::Version(uint8_t address) const
{
    return Inspect(address, [](const Unit& u) { return u.version; });
}

bool Bus::SetShortTypeAnswer(uint8_t address, bool on)
{
    return Change(address, [&](Unit& u) { u.short_type = on; });
}

bool Bus::QueueEvent(uint8_t address, Bytes body)
{
    bool queued = false;
    return Change(address, [&](Unit& u) { queued = Enqueue(u, std::move(body)); }) && queued;
}

bool Bus::Enqueue(Unit& unit, Bytes body)
{
    if (body.size() < kMinFrame - 2 || body.size() > 253)
        return false;
    if (unit.events.size() >= kMaxEvents)
        unit.events.pop_front();
    unit.events.push_back(std::move(body));
    return true;
}

bool Bus::PresentKey(uint8_t address, const model::KeyCode& code)
{
    return Change(address, [&](Unit& u) {
        Bytes body{0x04, 22, u.next_event};
        body.insert(body.end(), code.begin(), code.end());
        u.next_event = u.next_event == 255 ? 1 : static_cast<uint8_t>(u.next_event + 1);
        Enqueue(u, std::move(body));
    });
}

std::size_t Bus::EventCount(uint8_t address) const
{
    return Inspect(address, [](const Unit& u) { return u.events.size(); }).value_or(0);
}

std::optional<Bytes> Bus::HeadEvent(uint8_t address) const
{
    return Inspect(address, [](const Unit& u) {
        return u.events.empty() ? std::nullopt : std::optional<Bytes>(u.events.front());
    }).value_or(std::nullopt);
}

void Bus::SetFault(Fault fault, FaultRule rule)
{
    std::lock_guard lock(mutex_);
    faults_.at(static_cast<std::size_t>(fault)) = rule;
}

void Bus::ClearFaults()
{
    std::lock_guard lock(mutex_);
    faults_.fill(FaultRule{});
}

void Bus::DropHead(std::size_t count, Bytes& run)
{
    count = std::min(count, pending_.size());
    run.insert(run.end(), pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(count));
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(count));
}

LineActivity Bus::Receive(std::span<const uint8_t> bytes, int64_t now_us)
{
    std::lock_guard lock(mutex_);
    LineActivity activity;
    if (bytes.empty())
        return activity;
    // Bytes dropped one by one during a scan form one run, so a log shows garbage as one line.
    Bytes run;
    auto end_run = [&] {
        if (!run.empty()) {
            ++dropped_runs_;
            activity.dropped.push_back(std::move(run));
        }
        run.clear();
    };
    if (!pending_.empty() && now_us - last_byte_us_ > static_cast<int64_t>(GapUs()))
        DropHead(pending_.size(), run);
    last_byte_us_ = now_us;
    pending_.insert(pending_.end(), bytes.begin(), bytes.end());
    while (pending_.size() >= 2) {
        const std::size_t length = pending_[1];
        if (length < kMinFrame) {
            DropHead(1, run);
            continue;
        }
        if (pending_.size() < length + 1)
            break;
        const std::span<const uint8_t> body(pending_.data(), length);
        if (corecomp::BusCrc8(body) != pending_[length]) {
            DropHead(1, run);
            continue;
        }
        end_run();
        Bytes frame(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(length + 1));
        pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(length + 1));
        activity.frames.push_back(frame);
        HandleFrame(frame, now_us, activity);
    }
    end_run();
    return activity;
}

LineActivity Bus::Expire(int64_t now_us)
{
    std::lock_guard lock(mutex_);
    LineActivity activity;
    if (!pending_.empty() && now_us - last_byte_us_ > static_cast<int64_t>(GapUs())) {
        ++dropped_runs_;
        activity.dropped.emplace_back();
        DropHead(pending_.size(), activity.dropped.back());
    }
    return activity;
}

std::optional<int64_t> Bus::ExpiryDue() const
{
    std::lock_guard lock(mutex_);
    if (pending_.empty())
        return std::nullopt;
    return last_byte_us_ + GapUs() + 1;
}

void Bus::HandleFrame(const Bytes& frame, int64_t now_us, LineActivity& activity)
{
    if (history_.size() >= kMaxHistory)
        history_.pop_front();
    history_.push_back({now_us, frame});
    const std::size_t length = frame[1];
    const uint8_t address = frame[0] & 0x7F;
    if (address == 0) {
        const Bytes broadcast(frame.begin(), frame.begin() + static_cast<std::ptrdiff_t>(length));
        for (Unit& u : units_) {
            if (u.peer) {
                Access access(u);
                u.peer->Broadcast(access, broadcast, now_us);
            }
        }
        return;
    }
    Unit* unit = Find(address);
    if (!unit)
        return;
    Generate(*unit, now_us);
    if (Silent(*unit, now_us))
        return;
    const bool coded = (frame[0] & 0x80) != 0 && frame[2] != 0;
    const uint8_t mask = coded ? static_cast<uint8_t>((unit->key & 0xFF) ^ frame[2]) : 0;
    Bytes request(frame.begin(), frame.begin() + static_cast<std::ptrdiff_t>(length));
    for (std::size_t i = 3; i < length; ++i)
        request[i] ^= mask;
    std::optional<Bytes> answer = Answer(*unit, request, now_us);
    if (!answer)
        return;
    if (coded) {
        (*answer)[0] |= 0x80;
        for (std::size_t i = 2; i < answer->size(); ++i)
            (*answer)[i] ^= mask;
    }
    Transmit(frame, std::move(*answer), now_us, activity);
    // The new key applies from the next frame on; its own answer still goes with the old one.
    if (request[3] == kCmdNewKey)
        unit->key = request[4];
}

std::optional<Bytes> Bus::Answer(Unit& unit, const Bytes& request, int64_t now_us)
{
    const std::size_t length = request.size();
    const uint8_t a = unit.address;
    const uint8_t command = request[3];
    auto data = [&](std::size_t i) { return i < length ? request[i] : uint8_t{0}; };
    const uint8_t vlo = static_cast<uint8_t>(unit.version & 0xFF);
    const uint8_t vhi = static_cast<uint8_t>(unit.version >> 8);

    for (const auto& [cmd, body] : unit.answers) {
        if (cmd == command) {
            Bytes answer{a, static_cast<uint8_t>(body.size() + 2)};
            answer.insert(answer.end(), body.begin(), body.end());
            return answer;
        }
    }
    if (unit.peer) {
        Access access(unit);
        std::optional<Bytes> own = unit.peer->Answer(access, request, now_us);
        if (own) {
            if (own->empty())
                return std::nullopt;
            return own;
        }
    }
    switch (command) {
    case kCmdType:
        if (unit.short_type)
            return Frame(a, {0x00, unit.type, vlo});
        return Frame(a, {0x00, unit.type, vlo, vhi});
    case kCmdVersion:
        if (data(4) != kVersionSub)
            return std::nullopt;
        return Frame(a, {0x3E, kVersionSub, vlo, vhi, 0x00, 0x00});
    case kCmdMemRead: {
        if (length < 8)
            return std::nullopt;
        const std::size_t offset = Offset(request);
        const std::size_t count = request[7];
        if (count == 0 || count > kMaxRead || offset + count > kMemorySize)
            return std::nullopt;
        Bytes answer{a, static_cast<uint8_t>(4 + count), 0x44, static_cast<uint8_t>(count)};
        answer.insert(answer.end(), unit.memory.begin() + static_cast<std::ptrdiff_t>(offset),
                      unit.memory.begin() + static_cast<std::ptrdiff_t>(offset + count));
        return answer;
    }
    case kCmdMemWrite: {
        if (length < 8)
            return std::nullopt;
        const std::size_t offset = Offset(request);
        const std::size_t count = length - 7;
        if (offset + count > kMemorySize)
            return std::nullopt;
        std::copy(request.begin() + 7, request.end(), unit.memory.begin() + static_cast<std::ptrdiff_t>(offset));
        return Frame(a, {0x42, 0x00, 0x00});
    }
    case kCmdKeyRead: {
        if (length >= 7 && data(4) == 0) {
            // The details of a short event: the event's two bytes echoed, then its data.
            Bytes answer{a, static_cast<uint8_t>(5 + unit.details.size()), 0x1E, data(5), data(6)};
            answer.insert(answer.end(), unit.details.begin(), unit.details.end());
            return answer;
        }
        const uint8_t slot = data(5);
        if (length < 6 || data(4) != kKeySub || slot < 1 || slot > 8)
            return std::nullopt;
        const model::KeyCode& code = unit.codes.at(slot - 1u);
        if (std::all_of(code.begin(), code.end(), [](uint8_t b) { return b == 0; }))
            return Frame(a, {0x1E, 0x00, 0x00});
        Bytes answer{a, 0x0C, 0x1E, kKeySub};
        answer.insert(answer.end(), code.begin(), code.end());
        return answer;
    }
    case kCmdKeyWrite: {
        const uint8_t slot = data(5);
        if (length != 15 || data(4) != kKeySub || slot < 1 || slot > 8)
            return std::nullopt;
        std::copy(request.begin() + 7, request.end(), unit.codes.at(slot - 1u).begin());
        return Frame(a, {0x26, 0x01, slot, 0x00});
    }
    case kCmdClose:
        return Frame(a, {0x18, 0x00, 0x00});
    case kCmdNewKey:
        return Frame(a, {0x12, data(4), 0x00});
    case kCmdEventRead: {
        if (unit.events.empty() && unit.endless_events)
            Enqueue(unit, NumberedEvent(++unit.endless_made));
        if (unit.events.empty())
            return Frame(a, {0x02, 0x00, 0x00});
        const Bytes& event = unit.events.front();
        Bytes answer{a, static_cast<uint8_t>(event.size() + 2)};
        answer.insert(answer.end(), event.begin(), event.end());
        return answer;
    }
    case kCmdEventAck:
        // The unit drops the event on this acknowledgement and says nothing.
        if (!unit.events.empty())
            unit.events.pop_front();
        return std::nullopt;
    case kCmdConfirm:
        return Frame(a, {0x2C, 0x00, 0x00});
    case kCmdProbe:
        return Frame(a, {0x14, 0x00, 0x00});
    case kCmdClock:
        return Frame(a, {0x2A, 0x00, 0x00});
    default:
        return std::nullopt;
    }
}

bool Bus::Silent(const Unit& unit, int64_t now_us)
{
    if (unit.silent)
        return true;
    return std::any_of(unit.silences.begin(), unit.silences.end(), [&](const auto& w) {
        return now_us >= w.first && (w.second < 0 || now_us < w.second);
    });
}

void Bus::Generate(Unit& unit, int64_t now_us)
{
    if (unit.event_rate <= 0 || now_us < unit.rate_from_us)
        return;
    const auto due = static_cast<std::size_t>(static_cast<double>(now_us - unit.rate_from_us) *
                                              unit.event_rate / 1e6);
    while (unit.generated.size() < due) {
        const std::size_t n = unit.generated.size() + 1;
        const int64_t created =
            unit.rate_from_us + static_cast<int64_t>(static_cast<double>(n) * 1e6 / unit.event_rate);
        unit.generated.push_back(created);
        Enqueue(unit, NumberedEvent(n));
    }
}

bool Bus::SetSilent(uint8_t address, bool silent)
{
    return Change(address, [&](Unit& u) { u.silent = silent; });
}

bool Bus::AddSilence(uint8_t address, int64_t from_us, int64_t to_us)
{
    return Change(address, [&](Unit& u) { u.silences.emplace_back(from_us, to_us); });
}

bool Bus::SetAnswer(uint8_t address, uint8_t command, Bytes body)
{
    if (!body.empty() && (body.size() < 3 || body.size() > 253))
        return false;
    return Change(address, [&](Unit& u) {
        std::erase_if(u.answers, [&](const auto& e) { return e.first == command; });
        if (!body.empty())
            u.answers.emplace_back(command, std::move(body));
    });
}

bool Bus::SetPeer(uint8_t address, std::unique_ptr<UnitPeer> peer)
{
    return Change(address, [&](Unit& u) { u.peer = std::move(peer); });
}

bool Bus::WithPeer(uint8_t address, const std::function<void(UnitPeer&, UnitAccess&)>& f)
{
    std::lock_guard lock(mutex_);
    Unit* u = Find(address);
    if (!u || !u->peer)
        return false;
    Access access(*u);
    f(*u->peer, access);
    return true;
}

bool Bus::SetEventDetails(uint8_t address, Bytes details)
{
    if (details.size() > 250)
        return false;
    return Change(address, [&](Unit& u) { u.details = std::move(details); });
}

bool Bus::SetEventRate(uint8_t address, double per_second, int64_t now_us)
{
    // A new rate starts a new run of numbers; the events already queued stay.
    return Change(address, [&](Unit& u) {
        u.event_rate = per_second;
        u.rate_from_us = now_us;
        u.generated.clear();
    });
}

bool Bus::SetEndlessEvents(uint8_t address, bool on)
{
    return Change(address, [&](Unit& u) {
        u.endless_events = on;
        u.endless_made = 0;
    });
}

std::size_t Bus::EndlessEventsMade(uint8_t address) const
{
    return Inspect(address, [](const Unit& u) { return u.endless_made; }).value_or(0);
}

std::size_t Bus::GeneratedEvents(uint8_t address) const
{
    return Inspect(address, [](const Unit& u) { return u.generated.size(); }).value_or(0);
}

std::optional<int64_t> Bus::EventCreatedUs(uint8_t address, std::size_t number) const
{
    return Inspect(address, [&](const Unit& u) {
               return number >= 1 && number <= u.generated.size()
                          ? std::optional<int64_t>(u.generated[number - 1])
                          : std::nullopt;
           })
        .value_or(std::nullopt);
}

std::vector<Bus::Heard> Bus::History() const
{
    std::lock_guard lock(mutex_);
    return {history_.begin(), history_.end()};
}

void Bus::ClearHistory()
{
    std::lock_guard lock(mutex_);
    history_.clear();
}

std::size_t Bus::DroppedRuns() const
{
    std::lock_guard lock(mutex_);
    return dropped_runs_;
}

std::optional<Fault> Bus::DrawFault()
{
    const auto fired = DrawFaultRule(faults_, random_);
    if (!fired)
        return std::nullopt;
    return static_cast<Fault>(*fired);
}

std::optional<std::size_t> DrawFaultRule(std::span<FaultRule> rules, std::mt19937& random)
{
    for (std::size_t i = 0; i < rules.size(); ++i) {
        FaultRule& rule = rules[i];
        if (Fires(rule, random)) {
            if (rule.count > 0)
                --rule.count;
            return i;
        }
    }
    return std::nullopt;
}

void Bus::Transmit(const Bytes& request, Bytes answer, int64_t now_us, LineActivity& activity)
{
    const int64_t byte_us = ByteTimeUs();
    auto wire = [&](std::size_t n) { return static_cast<int64_t>(n) * byte_us; };
    const int64_t start = now_us + wire(request.size()) + timing_.turnaround_us;
    const std::optional<Fault> fault = DrawFault();

    // Faults that change the bytes are applied to the finished frame, so its CRC-8 covers
    // exactly what the unit "meant" to send.
    if (fault == Fault::WrongAddress)
        answer[0] = static_cast<uint8_t>((answer[0] & 0x80) | ((answer[0] & 0x7F) % 127 + 1));
    if (fault == Fault::WrongCommand)
        answer[2] ^= 0x80;
    if (fault == Fault::WrongLength)
        ++answer[1];
    Seal(answer);
    if (fault == Fault::BadCrc)
        answer.back() ^= 0xFF;
    if (fault == Fault::ShortAnswer)
        answer.resize(answer.size() - 2);

    if (fault == Fault::NoAnswer)
        return;
    if (fault == Fault::SplitAnswer) {
        const std::size_t half = answer.size() / 2;
        Bytes rest(answer.begin() + static_cast<std::ptrdiff_t>(half), answer.end());
        answer.resize(half);
        const int64_t first_due = start + wire(half);
        activity.answers.push_back({first_due, std::move(answer)});
        activity.answers.push_back({first_due + timing_.split_gap_us + wire(rest.size()), std::move(rest)});
        return;
    }
    int64_t due = start;
    if (fault == Fault::Echo) {
        due += wire(request.size());
        activity.answers.push_back({due, request});
    }
    due += wire(answer.size());
    if (fault == Fault::LateAnswer) {
        due += timing_.late_us;
        if (timing_.late_spread_us > 0)
            due += std::uniform_int_distribution<int64_t>(0, timing_.late_spread_us)(random_);
    }
    activity.answers.push_back({due, std::move(answer)});
}

} // namespace sim
