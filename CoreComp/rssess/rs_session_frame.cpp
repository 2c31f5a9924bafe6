// The frame layer: preparing (coding) a request, the single frame exchange with its line
// direction, line-time wait and event acknowledgement, the driver and service-mode exchanges.

#include "CoreComp/rssess/rs_session.h"

#include "CoreComp/rssess/bus_frame.h"
#include "CoreComp/rssess/session_log.h"

#include "platform/last_error.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace {

constexpr uint32_t kPurgeAll = platform::kPurgeTxAbort | platform::kPurgeRxAbort |
                               platform::kPurgeTxClear | platform::kPurgeRxClear;
constexpr uint32_t kPurgeInput = platform::kPurgeRxAbort | platform::kPurgeRxClear;

// After a try that timed out, the line must stay quiet this much longer than the longest
// answer's wire time and the turnaround before the next try: converters hand bytes over in
// bursts (a USB adapter holds them up to its latency timer, 16 ms by default) and a busy
// machine reads them late, so a shorter gap is no proof that nothing is still coming.
constexpr uint32_t kDeliveryLatencyMs = 50;
// A unit, or the converter in front of it, may answer this long after the answer was due; an
// answer that late must still never be taken for another request's.
constexpr uint32_t kLateAnswerMs = 1000;
// However busy the line, the wait for quiet ends this long (or three quiet gaps) after the
// late answer's horizon.
constexpr uint32_t kQuietBoundMs = 1000;

// Marks an exchange under way for its whole length; the acknowledgement sent inside it is
// part of it.
class ExchangeMark
{
public:
    explicit ExchangeMark(bool& mark) : mark_(mark), outer_(!mark) { mark_ = true; }
    ~ExchangeMark()
    {
        if (outer_)
            mark_ = false;
    }
    ExchangeMark(const ExchangeMark&) = delete;
    ExchangeMark& operator=(const ExchangeMark&) = delete;

private:
    bool& mark_;
    bool outer_;
};

// The time one byte takes on the line: start bit, eight data bits and the stop bits.
double ByteSeconds(const TBusSettings& s)
{
    const double stopBits = s.StopBits == 1 ? 1.5 : s.StopBits == 2 ? 2.0 : 1.0;
    return (9.0 + stopBits) / s.SpeedRSS;
}

// Makes one transport call; true when it failed with a hang-up just now.  An error left over
// from an earlier call does not count (a transport may fail without setting one), and a call
// that succeeds leaves the last error as it was.
template <typename Call>
bool HangsUp(Call call)
{
    const uint32_t before = platform::LastError();
    platform::SetLastError(platform::kErrorSuccess);
    if (call()) {
        platform::SetLastError(before);
        return false;
    }
    return platform::LastError() == platform::kErrorDeviceNotConnected;
}

// Driver control codes of the exchange.
enum : uint32_t {
    kDriverSendAndAnswer = 3,
    kDriverRead = 4,
    kDriverSendOnly = 5,
    kDriverBeforeSend = 6,
    kDriverAfterRead = 7,
};

// The gap without a byte that shows that no answer is on its way: the longest answer's wire
// time, the turnaround and the delivery latency.
uint32_t QuietGapMs(const TBusSettings& s)
{
    return static_cast<uint32_t>(std::ceil(1000.0 * ByteSeconds(s) * corecomp::kMaxAnswer)) +
           static_cast<uint32_t>(s.StartTimeout) + kDeliveryLatencyMs;
}

bool Later(uint32_t tick, uint32_t than)
{
    return static_cast<int32_t>(tick - than) > 0;
}

} // namespace

bool TRSSession::CheckAnswerCommand(int requestCommand, int answerCommand)
{
    return corecomp::CheckAnswerCommand(requestCommand, answerCommand);
}

std::vector<uint8_t> TRSSession::LastFrameAnswer() const
{
    std::lock_guard guard(lock_);
    return lastFrameAnswer_;
}

uint8_t TRSSession::RandomKey()
{
    std::lock_guard guard(randomMutex_);
    return static_cast<uint8_t>(std::uniform_int_distribution<int>(1, 254)(random_));
}

std::vector<uint8_t> TRSSession::PrepareFrame(const std::vector<uint8_t>& request)
{
    std::lock_guard guard(lock_);
    std::vector<uint8_t> frame = request;
    if (frame.size() < 6 || frame[1] < 6 || !codeSession_ || KeysExpired())
        return frame;
    const uint8_t address = frame[0];
    if (address == 0 || address > 127 || keyWord_.at(address) == 0)
        return frame;
    frame[0] |= 0x80;
    if (frame[2] == 0)
        frame[2] = RandomKey();
    return frame;
}

bool TRSSession::KeysExpired()
{
    std::lock_guard guard(lock_);
    if (!exchanged_)
        return false;
    bool expired = false;
    const uint32_t silentMs = clock_.TickCount() - lastExchangeTick_;
    if (silentMs > static_cast<uint32_t>(keySilence_) * 1000u) {
        renewalCountdown_ = 1;
        keyWord_.fill(0);
        expired = true;
    }
    if (!pollingPass_ || renewalCountdown_ <= 0)
        return expired;
    ++renewalCountdown_;
    if (scheduleLength_ != 0 && renewalCountdown_ > scheduleLength_) {
        // Zeroed first: a frame prepared during the renewal must not start it again.  The
        // renewal itself runs when the polling thread next holds no lock (RunDueRenewal).
        renewalCountdown_ = 0;
        renewalDue_ = true;
    }
    return expired;
}

void TRSSession::RunDueRenewal()
{
    {
        std::lock_guard guard(lock_);
        if (!renewalDue_)
            return;
        renewalDue_ = false;
    }
    RenewKeys();
}

// Up to 127 exchanges: the lock is taken for each one alone, so the owner's getters and posts
// go on between them.
void TRSSession::RenewKeys()
{
    for (int a = 1; a <= 127; ++a) {
        const size_t i = static_cast<size_t>(a);
        uint8_t k;
        {
            std::lock_guard guard(lock_);
            if (!codeSession_)
                return;
            if (pollWeight_.at(i) == 128 || absent_.at(i) || keyWord_.at(i) != 0)
                continue;
            k = RandomKey();
        }
        if (RenewKeysStepHook)
            RenewKeysStepHook(static_cast<uint8_t>(a));
        if (!work_)
            return;
        ExchangeFrame({static_cast<uint8_t>(a), 6, 0, 17, k, k}, true, 1, 0, false);
    }
}

void TRSSession::ApplyTimeouts(int command, int address, int keepTimeout, uint32_t readTimeout)
{
    const TBusSettings& s = settings_;
    platform::CommTimeouts t{};
    transport_->GetCommTimeouts(t);
    if (command == 1 || command == 3) {
        t.ReadIntervalTimeout = static_cast<uint32_t>(s.IntervalTimeout);
        t.ReadTotalTimeoutMultiplier = static_cast<uint32_t>(s.TimeoutMultiplier);
        t.ReadTotalTimeoutConstant = static_cast<uint32_t>(s.TimeoutConstant);
        t.WriteTotalTimeoutConstant = static_cast<uint32_t>(s.TotalWriteConstant);
    } else {
        t.ReadIntervalTimeout = static_cast<uint32_t>(s.CmdIntervalTimeout);
        t.ReadTotalTimeoutMultiplier = static_cast<uint32_t>(s.CmdTimeoutMultiplier);
        if (absent_.at(static_cast<size_t>(address)) && keepTimeout == 0)
            t.ReadTotalTimeoutConstant = 1; // a device known to be away gets no full wait
        else if (readTimeout != 0)
            t.ReadTotalTimeoutConstant = readTimeout;
        else
            t.ReadTotalTimeoutConstant = static_cast<uint32_t>(s.CmdTimeoutConstant);
        t.WriteTotalTimeoutConstant = static_cast<uint32_t>(s.CmdTotalWriteConstant);
    }
    t.WriteTotalTimeoutMultiplier = 0;
    transport_->SetCommTimeouts(t);
    frameTimeouts_ = t;
    // The read waits this long for the answer's head: a unit may turn round this slowly and
    // still answer in time.  No try waits more than a minute for its answer.
    answerWaitMs_ = static_cast<uint32_t>(
        std::min<uint64_t>(uint64_t{t.ReadTotalTimeoutMultiplier} * 6 + t.ReadTotalTimeoutConstant,
                           kMaxRegistryMs));
}

uint32_t TRSSession::AnswerDueTick(uint32_t sentTick) const
{
    // The longest answer on the wire after the session's turnaround, or the unit's own
    // turnaround, up to the time the read gives up on it: whichever ends later.
    const uint32_t wire = QuietGapMs(settings_) - kDeliveryLatencyMs;
    return sentTick + std::max(wire, answerWaitMs_);
}

void TRSSession::LineToSending()
{
    transport_->EscapeCommFunction(platform::kClrDtr);
    transport_->EscapeCommFunction(platform::kSetRts);
}

void TRSSession::LineToReceiving()
{
    transport_->EscapeCommFunction(platform::kClrRts);
    transport_->EscapeCommFunction(platform::kSetDtr);
}

void TRSSession::WaitLineTime(int64_t start, uint32_t bytes)
{
    const int64_t frequency = clock_.CounterFrequency();
    const double byteTime = ByteSeconds(settings_);
    const double ticks = static_cast<double>(frequency) * (settings_.TailInUS + 200) / 1e6 +
                         static_cast<double>(frequency) * byteTime * bytes;
    clock_.WaitUntilCounter(start + static_cast<int64_t>(std::ceil(ticks)));
}

bool TRSSession::LineLost()
{
    LogPort("ошибка порта:" + std::to_string(platform::kErrorDeviceNotConnected));
    transport_->Close();
    lineLost_ = true;
    platform::SetLastError(platform::kErrorDeviceNotConnected);
    return false;
}

bool TRSSession::WriteToLine(const std::vector<uint8_t>& frame, bool broadcast, int command)
{
    const TBusSettings& s = settings_;
    const uint32_t length = static_cast<uint32_t>(frame.size() - 1); // L: the CRC is last
    // Whatever came in since the last exchange (a late answer, an echo, noise) answers no part
    // of this frame.
    transport_->PurgeComm(kPurgeInput);
    if (!s.SmartPI) {
        LineToSending();
        if (platform::LastError() != platform::kErrorSuccess)
            transport_->PurgeComm(kPurgeAll);
    }
    // A write that fails for another reason leaves the try to its time-out, as before; a
    // hang-up means the adapter is gone.
    auto write = [&](const uint8_t* bytes, uint32_t count) {
        uint32_t written = 0;
        return !HangsUp([&] { return transport_->Write(bytes, count, written, nullptr); });
    };
    if (clock_.CounterFrequency() == 0) {
        std::vector<uint8_t> out = frame;
        if (!s.SmartPI)
            out.push_back(0xFF);
        if (!write(out.data(), static_cast<uint32_t>(out.size())))
            return LineLost();
        const uint8_t tail = 0xFF;
        if (!s.SmartPI && !write(&tail, 1))
            return LineLost();
    } else {
        const int64_t start = clock_.Counter();
        if (s.IsOneWriteFile != 0) {
            if (!write(frame.data(), length + 1))
                return LineLost();
        } else {
            if (!write(frame.data(), length) || !write(&frame[length], 1))
                return LineLost();
        }
        if (!s.SmartPI)
            WaitLineTime(start, length + 1);
        if (command == 3 && s.SmartPI)
            clock_.Sleep(length + static_cast<uint32_t>(s.StartTimeout));
    }
    if (!broadcast && !s.SmartPI) {
        // The driver lowers request-to-send at once, and on a USB converter bytes may still
        // wait in the adapter: they go out before the line turns round.
        const uint32_t before = platform::LastError();
        platform::SetLastError(platform::kErrorSuccess);
        if (!transport_->DrainOutput()) {
            if (platform::LastError() == platform::kErrorDeviceNotConnected)
                return LineLost();
            // The adapter took the bytes but will not send them: like a write that failed,
            // this try is over.  What is stuck is dropped; the unit may still have heard the
            // frame, so its answer is owed.
            transport_->PurgeComm(platform::kPurgeTxAbort | platform::kPurgeTxClear);
            OweAnswer(command == 15 ? 0 : frame[0] & 0x7F,
                      AnswerDueTick(clock_.TickCount()) + kLateAnswerMs + kDeliveryLatencyMs);
            return false;
        }
        platform::SetLastError(before);
        // Whatever echo the converter left is dropped before the unit's answer arrives.
        transport_->PurgeComm(kPurgeInput);
        LineToReceiving();
    }
    return true;
}

bool TRSSession::ReadAnswer(std::vector<uint8_t>& raw)
{
    std::array<uint8_t, corecomp::kMaxAnswer> buffer{};
    transport_->FetchIn();
    // One try waits a minute at most for its answer, however the per-byte part and the constant
    // add up over its two reads: a read that could run past the minute gets what is left of it.
    const uint32_t start = clock_.TickCount();
    platform::CommTimeouts held = frameTimeouts_;
    auto withinTheMinute = [&](uint32_t count) {
        if (ethernet_)
            return; // the converter's own wait governs its answer
        const uint32_t spent = clock_.TickCount() - start;
        const uint32_t most = static_cast<uint32_t>(kMaxRegistryMs);
        const uint32_t left = spent < most ? most - spent : 1;
        platform::CommTimeouts t = frameTimeouts_;
        const uint64_t total =
            uint64_t{t.ReadTotalTimeoutMultiplier} * count + t.ReadTotalTimeoutConstant;
        if (total == 0 || total > left) { // a total of 0 would have no end at all
            t.ReadTotalTimeoutMultiplier = 0;
            t.ReadTotalTimeoutConstant = left;
        }
        if (t.ReadTotalTimeoutMultiplier != held.ReadTotalTimeoutMultiplier ||
            t.ReadTotalTimeoutConstant != held.ReadTotalTimeoutConstant) {
            transport_->SetCommTimeouts(t);
            held = t;
        }
    };
    uint32_t got = 0;
    withinTheMinute(6);
    if (HangsUp([&] { return transport_->Read(buffer.data(), 6, got, nullptr); }))
        return LineLost();
    got = std::min<uint32_t>(got, 6);
    if (got == 6 && buffer[1] > 5) {
        const uint32_t more = buffer[1] - 5u; // at most 250: the whole answer fits 256 bytes
        uint32_t rest = 0;
        withinTheMinute(more);
        if (HangsUp([&] { return transport_->Read(buffer.data() + 6, more, rest, nullptr); }))
            return LineLost();
        got += std::min(rest, more);
    }
    raw.assign(buffer.begin(), buffer.begin() + got);
    return true;
}

void TRSSession::OweAnswer(int from, uint32_t until)
{
    const size_t i = static_cast<size_t>(from);
    if (!answerOwed_.at(i) || Later(until, answerOwedUntil_.at(i)))
        answerOwedUntil_.at(i) = until;
    answerOwed_.at(i) = true;
}

bool TRSSession::WaitForQuietLine(int address)
{
    // The latest horizon among the answers this request could meet: its own unit's and one
    // from any address; a broadcast, or a request that takes any answer, meets them all.
    bool owed = false;
    uint32_t horizon = 0;
    for (size_t i = 0; i < answerOwed_.size(); ++i) {
        const bool meets = address <= 0 || i == 0 || i == static_cast<size_t>(address);
        if (!meets || !answerOwed_[i])
            continue;
        if (!owed || Later(answerOwedUntil_[i], horizon))
            horizon = answerOwedUntil_[i];
        owed = true;
        answerOwed_[i] = false;
    }
    if (!owed)
        return true;
    if (UseDriver() || ethernet_ || serviceMode_ || transport_->IsClosed())
        return true;
    const uint32_t gapMs = QuietGapMs(settings_);
    const uint32_t start = clock_.TickCount();
    if (!Later(horizon, start))
        return true; // whatever came meanwhile is purged before the next write
    const uint32_t boundMs = (horizon - start) + std::max(kQuietBoundMs, 3 * gapMs);
    // Each read waits for a first byte up to the horizon (or the quiet gap after the last byte
    // seen) and returns with what has come; all of it is dropped.
    platform::CommTimeouts t{};
    transport_->GetCommTimeouts(t);
    t.ReadIntervalTimeout = platform::kMaxDword;
    t.ReadTotalTimeoutMultiplier = platform::kMaxDword;
    std::array<uint8_t, corecomp::kMaxAnswer> discarded{};
    bool heard = false;
    uint32_t lastByte = start;
    for (;;) {
        const uint32_t now = clock_.TickCount();
        const uint32_t elapsed = now - start;
        if (elapsed >= boundMs)
            return true;
        uint32_t until = horizon;
        if (heard && Later(lastByte + gapMs, until))
            until = lastByte + gapMs;
        if (!Later(until, now))
            return true;
        t.ReadTotalTimeoutConstant = std::min(until - now, boundMs - elapsed);
        transport_->SetCommTimeouts(t);
        uint32_t got = 0;
        const uint32_t size = static_cast<uint32_t>(discarded.size());
        if (HangsUp([&] { return transport_->Read(discarded.data(), size, got, nullptr); })) {
            return LineLost();
        }
        if (got > 0) {
            heard = true;
            lastByte = clock_.TickCount();
        } else if (clock_.TickCount() == now) {
            return true; // a transport that does not wait for bytes has none to give
        }
    }
}

bool TRSSession::ExchangeThroughDriver(const std::vector<uint8_t>& frame, bool waitAnswer,
                                       int command, std::vector<uint8_t>& raw)
{
    std::vector<uint8_t> out;
    if (!waitAnswer) {
        busDriver_->Control(kDriverSendOnly, frame, out);
        return true;
    }
    busDriver_->Control(kDriverBeforeSend, {}, out);
    busDriver_->Control(kDriverSendAndAnswer, frame, out);
    const uint32_t sent = clock_.TickCount();
    clock_.Sleep(static_cast<uint32_t>(frame.size() - 1) + 7);
    int budget = (command == 1 || command == 3) ? 2 : 150;
    while (budget-- > 0 && clock_.TickCount() - sent <= 351) {
        std::vector<uint8_t> head(2);
        busDriver_->Control(kDriverRead, {}, head);
        if (head.size() == 2) {
            clock_.Sleep(head[1]);
            std::vector<uint8_t> whole(static_cast<size_t>(head[1]) + 1);
            busDriver_->Control(kDriverRead, {}, whole);
            if (whole.size() == static_cast<size_t>(head[1]) + 1) {
                raw = std::move(whole);
                break;
            }
        } else {
            clock_.Sleep(2);
        }
    }
    busDriver_->Control(kDriverAfterRead, {}, out);
    return true;
}

bool TRSSession::ExchangeFrame(const std::vector<uint8_t>& request, bool waitAnswer,
                               int keepTimeout, uint32_t readTimeout, bool noAcknowledge)
{
    std::lock_guard guard(lock_);
    // The polling thread starts no exchange once Work is off: the owner may have closed the
    // line.  One already under way (the lock held since) ends as it began: an event answer
    // still gets its acknowledgement, or the unit would give the event again.
    if (!work_ && !exchangeUnderWay_ && std::this_thread::get_id() == thread_.get_id())
        return false;
    const ExchangeMark mark(exchangeUnderWay_);
    const TBusSettings& s = settings_;
    if (((s.PauseFromSession > 0 && waitAnswer) || s.AllPause) && s.PauseFromSession > 0)
        clock_.Sleep(static_cast<uint32_t>(s.PauseFromSession));

    std::vector<uint8_t> frame = request;
    if (frame.size() > 5 && frame[3] == 41) {
        const corecomp::CivilTime t = corecomp::SplitDate(clock_.Now());
        frame.resize(2);
        for (int v : {10, 41, t.hour, t.minute, t.second, t.day, t.month, t.year - 2000})
            frame.push_back(static_cast<uint8_t>(v));
    }
    if (frame.size() > 5 && (frame[3] == 17 || frame[3] == 41))
        keepTimeout = 1;
    exchanged_ = true;
    lastExchangeTick_ = clock_.TickCount();
    lastFrameAnswer_.clear();

    if (serviceMode_)
        return ServiceTransceive(frame, waitAnswer);
    if (frame.size() <= 4)
        return false;
    if (!LineOpen() && !ReopenPort())
        return false;
    // An answer still owed to an earlier try, of this command or an earlier one, must not
    // meet this frame on the line, nor be read as its answer.
    if (!WaitForQuietLine(frame[0] == 0 ? -1 : frame[3] == 15 ? 0 : frame[0] & 0x7F))
        return false;

    // The send buffer, mask and expected address belong to this exchange alone, so the
    // acknowledgement below cannot disturb them.
    const int address = frame[0] & 0x7F;
    const int command = frame[3];
    const int expected = command == 15 ? corecomp::kAnyAddress : address;
    const uint8_t mask =
        corecomp::FrameMask(frame[0], frame[2], keyWord_.at(static_cast<size_t>(address)));
    const std::vector<uint8_t> send = corecomp::EncodeRequest(frame, mask);
    if (send.empty())
        return false; // its length byte does not fit the request
    const uint32_t length = static_cast<uint32_t>(send.size() - 1);
    const bool broadcast = address == 0;
    const bool driver = UseDriver();

    std::vector<uint8_t> raw;
    if (!driver)
        ApplyTimeouts(command, address, keepTimeout, readTimeout);
    if (driver) {
        ExchangeThroughDriver(send, waitAnswer && !broadcast, command, raw);
    } else if (ethernet_) {
        if (transport_->IsClosed()) {
            LogPort("ошибка порта:" + std::to_string(platform::LastError()) + " is invalid");
            ReopenPort();
            return false;
        }
        uint32_t written = 0;
        transport_->Write(send.data(), length + 1, written, nullptr);
        if (command == 3)
            clock_.Sleep(length + static_cast<uint32_t>(s.StartTimeout));
    } else if (!WriteToLine(send, broadcast, command)) {
        return false;
    }
    transport_->FlushOut();
    const uint32_t sentTick = clock_.TickCount();

    if (broadcast) {
        clock_.Sleep(length + static_cast<uint32_t>(s.StartTimeout));
        if (s.PauseTotalCommand > 0)
            clock_.Sleep(static_cast<uint32_t>(s.PauseTotalCommand));
    }
    // A datagram transport has no direction lines to switch.
    const bool switchLine = !driver && !ethernet_ && !s.SmartPI;
    if (!waitAnswer) {
        if (switchLine)
            LineToSending();
        clock_.Sleep(static_cast<uint32_t>(s.StartTimeout));
        return true;
    }
    if (broadcast)
        return true;

    if (!driver && !ReadAnswer(raw))
        return false;
    const bool wellFormed = corecomp::IsWellFormedAnswer(raw);
    // A read that ended before a whole frame came leaves its answer owed: it, or its rest, may
    // still come, up to a second past the time the answer was due at the latest.  A whole
    // frame with the asked unit's address that fails its checks was this request's answer,
    // and owes nothing; a whole frame from another unit (a late answer of its own, whether
    // its checksum holds or not) was not, and the unit asked still owes its answer.
    // A unit known to be away gets a probe without a wait (the polling thread's): its answer
    // is owed only the quiet gap, not the late second.
    const bool whole = raw.size() >= 6 && raw.size() == size_t{raw[1]} + 1;
    const bool fromAsked =
        whole && (expected == corecomp::kAnyAddress || (raw[0] & 0x7F) == expected);
    if (!driver && !ethernet_ && !fromAsked) {
        const bool probe = command != 1 && command != 3 &&
                           absent_.at(static_cast<size_t>(address)) && keepTimeout == 0;
        uint32_t until =
            probe ? sentTick : AnswerDueTick(sentTick) + kLateAnswerMs + kDeliveryLatencyMs;
        const uint32_t afterRead = clock_.TickCount() + QuietGapMs(s);
        if (Later(afterRead, until))
            until = afterRead;
        OweAnswer(command == 15 ? 0 : address, until);
    }
    std::vector<uint8_t> answer;
    if (wellFormed) {
        answer = corecomp::DecodeAnswer(raw, mask);
        if (!corecomp::AnswerFitsRequest(answer, expected, command))
            answer.clear();
    }
    if ((!wellFormed || !answer.empty()) && switchLine)
        LineToSending();

    if (!answer.empty() && corecomp::IsEventAnswer(answer[2])) {
        clock_.Sleep(static_cast<uint32_t>(s.ConfirmationTimeOut));
        // The unit drops the event on this acknowledgement.
        if (!noAcknowledge)
            ExchangeFrame({answer[0], 6, 0, 3, 0, 1}, false, 0, 0, true);
    } else {
        clock_.Sleep(static_cast<uint32_t>(s.StartTimeout));
    }
    lastFrameAnswer_ = answer;

    if (lastFrameAnswer_.size() > 3 && frame.size() >= 6 && lastFrameAnswer_[2] == 26 &&
        deviceType_.at(static_cast<size_t>(address)) == 14 &&
        firmware_.at(static_cast<size_t>(address)) <= 102)
        lastFrameAnswer_[3] = frame[4]; // these units answer with the wrong channel byte
    if (lastFrameAnswer_.size() > 3 && (lastFrameAnswer_[2] == 4 || lastFrameAnswer_[2] == 12) &&
        lastFrameAnswer_[3] == 203)
        QueueCommand(
            {static_cast<uint8_t>(address), 10, 0, 41, 0, 0, 0, 0, 0, 0}); // it asks for the time
    return !lastFrameAnswer_.empty();
}

bool TRSSession::ServiceTransceive(const std::vector<uint8_t>& request, bool waitAnswer)
{
    lastFrameAnswer_.clear();
    if (request.size() < 5)
        return false;
    auto object = automation_("Dravon.Dravonstrator");
    return ServiceRoundTrip(object.get(), "Transceiving", 10, request, waitAnswer);
}

int TRSSession::ReadDeviceType(uint8_t address)
{
    std::lock_guard guard(lock_);
    if (!ExchangeFrame(PrepareFrame({address, 6, 0, 13, 0, 0}), true, 0, 0, false))
        return -1;
    const auto& a = lastFrameAnswer_;
    return a.size() >= 6 && a[2] == 0 ? a[3] : -1;
}

uint8_t TRSSession::ReadState57(const std::vector<uint8_t>& frame)
{
    std::lock_guard guard(lock_);
    if (!ExchangeFrame(PrepareFrame(frame), true, 0, 0, false))
        return 255;
    const auto& a = lastFrameAnswer_;
    if (a.size() >= 6 && a[2] == 58 && a[3] == 1 && a[4] != 0 && a[4] != 255)
        return a[4];
    return 255;
}
