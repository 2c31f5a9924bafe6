// The poll: the weighted schedule, the event poll with its presence and loss rules, the
// device-type request, the search, the short-event expansion and the driver-service variant.
//
// Every duration here (a device's silence, the spacing of bad-line reports) is measured on the
// monotonic tick; the local date is kept only as the time stamp of the last answer.

#include "CoreComp/rssess/rs_session.h"

#include "CoreComp/rssess/bus_crc.h"
#include "CoreComp/rssess/bus_frame.h"
#include "CoreComp/rssess/session_log.h"

#include <algorithm>

namespace {

constexpr uint8_t kNotFound = 128;
constexpr uint8_t kLost = 255;
constexpr uint8_t kMaxWeight = 16;
constexpr uint32_t kBadLineSpacingMs = 30000;
constexpr size_t kBadLineRecordSize = 261;
constexpr size_t kMaxEventText = 255;
constexpr uint32_t kServiceLostMs = 5184; // 0.00006 of a day

// Schedule weight by device type; a type of 6 is never polled.
uint8_t WeightOfType(int type)
{
    static constexpr std::array<uint8_t, 14> kWeights = {1, 4, 4, 1, 8, 8, 0, 8, 1, 4, 1, 4, 2, 1};
    return type >= 0 && type < static_cast<int>(kWeights.size())
               ? kWeights.at(static_cast<size_t>(type))
               : 4;
}

std::vector<uint8_t> PollRequest(uint8_t address)
{
    return {address, 6, 0, 1, 0, 1};
}

} // namespace

// --- small shared pieces (the lock is held by the caller where it says so)

void TRSSession::ZeroStatistics(size_t address)
{
    pollStats_.at(address) = PollStatistics{};
}

void TRSSession::NoteAnswer(size_t address)
{
    std::lock_guard guard(lock_);
    noAnswer_[0].at(address) = 0;
    noAnswer_[1].at(address) = 0;
    lastAnswer_.at(address) = clock_.Now();
    lastAnswerTick_.at(address) = clock_.TickCount();
}

TRSSession::PollStatistics TRSSession::Statistics(int address) const
{
    std::lock_guard guard(lock_);
    return address >= 1 && address <= 127 ? pollStats_.at(static_cast<size_t>(address))
                                          : PollStatistics{};
}

void TRSSession::SetPollWeight(int slot, uint8_t weight)
{
    std::lock_guard guard(lock_);
    if (slot >= 1 && slot <= 127)
        pollWeight_.at(static_cast<size_t>(slot)) = weight;
    else if (slot == 128)
        SetSearchPriority(weight);
}

std::vector<uint8_t> TRSSession::PollSchedule() const
{
    std::lock_guard guard(lock_);
    return {schedule_.begin() + 1, schedule_.begin() + 1 + scheduleLength_};
}

bool TRSSession::AnyDevicePresent() const
{
    std::lock_guard guard(lock_);
    for (size_t a = 1; a <= 127; ++a)
        if (pollWeight_.at(a) != kNotFound && !absent_.at(a))
            return true;
    return false;
}

void TRSSession::SetKeySilence(int32_t seconds)
{
    std::lock_guard guard(lock_);
    keySilence_ = seconds;
}

// --- the schedule

void TRSSession::BuildPollSchedule()
{
    std::lock_guard guard(lock_);
    uint32_t total = searchPriority_;
    std::array<uint8_t, 129> weight{};
    for (size_t a = 1; a <= 127; ++a) {
        const uint8_t w = pollWeight_.at(a);
        weight.at(a) = w == kLost ? 1 : w;
        if (w <= kMaxWeight)
            total += w;
        else if (w == kLost)
            total += 1;
    }
    // The search slot is placed like a device; a priority above the largest weight takes
    // the largest weight's share of slots, so it is never left out.
    weight.at(128) = std::min<uint8_t>(searchPriority_, kMaxWeight);
    total = std::min<uint32_t>(total, static_cast<uint32_t>(schedule_.size() - 1));

    std::fill(schedule_.begin() + 1, schedule_.begin() + 1 + total, uint8_t{0});
    std::array<bool, 129> placed{};
    for (int round = 0; round < 128; ++round) {
        size_t best = 0;
        for (size_t a = 1; a <= 128; ++a) {
            if (placed.at(a) || weight.at(a) > kMaxWeight)
                continue;
            if (best == 0 || weight.at(a) > weight.at(best))
                best = a;
        }
        if (best == 0)
            break;
        placed.at(best) = true;
        const uint32_t w = weight.at(best);
        if (w == 0)
            continue;
        const uint32_t step = total / w + 1;
        for (uint32_t slot = 1; slot <= total;) {
            if (schedule_.at(slot) != 0) {
                ++slot;
            } else {
                schedule_.at(slot) = static_cast<uint8_t>(best);
                slot += step;
            }
        }
    }
    scheduleLength_ = static_cast<uint16_t>(total);
    if (scheduleCursor_ > total)
        scheduleCursor_ = 0;
}

uint8_t TRSSession::AdvanceScheduleCursor()
{
    std::lock_guard guard(lock_);
    const uint32_t size = scheduleLength_;
    // At most one turn: a schedule without a filled slot polls nothing.
    for (uint32_t i = 0; i < size; ++i) {
        scheduleCursor_ = scheduleCursor_ >= size ? 1 : scheduleCursor_ + 1;
        if (const uint8_t a = schedule_.at(scheduleCursor_); a != 0)
            return a;
    }
    return 0;
}

// --- the event poll

void TRSSession::PollDeviceEvents(uint8_t address)
{
    ++pollCount_;
    {
        std::lock_guard guard(lock_);
        if (scheduleLength_ == 0)
            return;
    }
    const uint8_t a = address == 0 ? AdvanceScheduleCursor() : address;
    if (a == 0 || a >= 128)
        return; // nothing to poll, or the search slot
    std::vector<uint8_t> answer;
    {
        std::lock_guard guard(lock_);
        CountPollRequest(a);
        // A lost device gets the full wait, or its return would never be heard.
        const int keep = absent_.at(a) ? 1 : 0;
        ExchangeFrame(PrepareFrame(PollRequest(a)), true, keep, 0, false);
        answer = lastFrameAnswer_;
    }
    if (answer.size() < 6)
        answer.clear();
    if (!answer.empty() && eventExpansion_)
        answer = ExpandShortEvent(answer);
    if (answer.size() > 3 && (answer[2] == 4 || answer[2] == 12) && logCommand_)
        LogPort(LogStamp() + "событие " + corecomp::FrameText(answer, '-'));
    if (answer.empty())
        PollMissed(a);
    else
        PollAnswered(a, answer);
}

// An answer to the event poll: a device back, an event, or something foreign at the address.
void TRSSession::PollAnswered(uint8_t a, const std::vector<uint8_t>& answer)
{
    NoteAnswer(a);
    if (IsAbsent(a) && RequestDeviceType(a)) {
        {
            std::lock_guard guard(lock_);
            absent_.at(a) = false;
            ZeroStatistics(a);
        }
        Deliver(kMsgSessionReport, kReportDeviceFound, {a});
    }
    const int command = answer[2];
    if (command == 2)
        return;
    if (corecomp::IsEventAnswer(command)) {
        HandleEventAnswer(answer);
        return;
    }
    // Something else lives at this address.
    {
        std::lock_guard guard(lock_);
        keyWord_.at(a) = 0;
        pollWeight_.at(a) = kLost;
        BuildPollSchedule();
    }
    if (Deliver(kMsgSessionReport, kReportFalseDevice, {a})) {
        SetAbsent(a, true);
        ReadListDeviceGone(a, -3);
    }
}

void TRSSession::HandleEventAnswer(const std::vector<uint8_t>& answer)
{
    RelayEventAnswer(answer);
    if (RelayEventAnswerHook)
        RelayEventAnswerHook(answer);
    ++eventCount_;
    // A credential read goes to the owner as such, never also as an event.
    if (ReportCodeCardEvent(answer))
        return;
    if (Deliver(kMsgSessionReport, kReportEventAnswer, answer))
        ReadListEvent(answer, false);
}

// The lock is held.  On an address's first request its other statistics start from zero.
void TRSSession::CountPollRequest(size_t address)
{
    PollStatistics& st = pollStats_.at(address);
    if (st.requests == 0)
        st = PollStatistics{};
    ++st.requests;
}

// A poll without an answer, on the own line or through the service: the missing-answer
// counters, the log line, the no-answer ratio and the bad-line report.
void TRSSession::CountMissedPoll(size_t a)
{
    ++missingAnswers_;
    LogPort(LogStamp() + "нет ответа на запрос н.событий " + std::to_string(a));
    bool report = false;
    double ratio = 0;
    {
        std::lock_guard guard(lock_);
        noAnswer_[0].at(a) += 1;
        noAnswer_[1].at(a) += 1;
        PollStatistics& st = pollStats_.at(a);
        if (!absent_.at(a) && st.requests > 0) {
            ++st.noAnswers;
            ratio = static_cast<double>(st.noAnswers) / st.requests;
            const uint32_t now = clock_.TickCount();
            report = ratio > st.ratio && ratio * 100.0 > badLineThreshold_ && st.requests > 100 &&
                     (!st.reported || now - st.reportTick > kBadLineSpacingMs);
            if (report) {
                st.reported = true;
                st.reportTick = now;
            } else {
                st.ratio = ratio;
            }
        }
    }
    if (report) {
        std::vector<uint8_t> record(kBadLineRecordSize);
        record[0] = static_cast<uint8_t>(a);
        record[1] = static_cast<uint8_t>(frameMode_);
        if (Deliver(kMsgSessionReport, kReportBadLoop, std::move(record))) {
            std::lock_guard guard(lock_);
            pollStats_.at(a).ratio = ratio;
        }
    }
}

// The no-answer side of a poll on the own line: statistics, the bad-line report, the loss rule.
void TRSSession::PollMissed(size_t a)
{
    CountMissedPoll(a);

    bool lost = false;
    {
        std::lock_guard guard(lock_);
        if (lastAnswer_.at(a) == 0)
            return; // never heard: nothing to lose
        const uint32_t silentMs = clock_.TickCount() - lastAnswerTick_.at(a);
        const uint32_t timeoutMs =
            static_cast<uint32_t>(std::max(settings_.DeviceTimeout, 0)) * 1000u;
        const uint32_t lostAfterMs =
            static_cast<uint32_t>(std::max(settings_.SecLostDevice, 0)) * 1000u;
        if (silentMs <= timeoutMs || (lostAfterMs != 0 && silentMs < lostAfterMs))
            return;
        LogPort("Время ожидания:" + std::to_string(silentMs / 1000) + " с");
        if (firmware_.at(a) == 255) {
            pollWeight_.at(a) = kNotFound;
            firmware_.at(a) = kNotFound;
        }
        if (!absent_.at(a)) {
            pollWeight_.at(a) = kLost;
            absent_.at(a) = true;
            BuildPollSchedule();
            ZeroStatistics(a);
            lost = true;
        }
    }
    if (lost && Deliver(kMsgSessionReport, kReportDeviceLost, {static_cast<uint8_t>(a)}))
        ReadListDeviceGone(static_cast<uint8_t>(a), -2);
}

bool TRSSession::RequestDeviceType(uint8_t address)
{
    if (address == 0 || address > 127 || GetDeviceType(address) >= 256)
        return false;
    bool ok = false;
    for (int tries = 0; tries < 5 && work_; ++tries) {
        std::lock_guard guard(lock_);
        if (!ExchangeFrame(PrepareFrame({address, 6, 0, 13, 0, 0}), true, 1, 0, false))
            continue;
        const std::vector<uint8_t>& a = lastFrameAnswer_;
        if (a.size() < 6)
            break;
        if (a[2] != 0)
            continue;
        deviceType_.at(address) = a[3];
        firmware_.at(address) = a.size() == 6 ? a[4] : a[4] + 256u * a[5];
        pollWeight_.at(address) = WeightOfType(a[3]);
        ok = true;
        break;
    }
    BuildPollSchedule();
    if (ok)
        NoteAnswer(address);
    return ok;
}

void TRSSession::SearchNextDevice()
{
    uint8_t a = 0;
    {
        std::lock_guard guard(lock_);
        for (size_t c = std::max<uint8_t>(searchCursor_, 1); c <= 127; ++c) {
            if (pollWeight_.at(c) == kNotFound) {
                a = static_cast<uint8_t>(c);
                break;
            }
        }
        if (a == 0) {
            searchCursor_ = 1;
            return;
        }
    }
    std::vector<uint8_t> answer;
    {
        std::lock_guard guard(lock_);
        ExchangeFrame(PrepareFrame(PollRequest(a)), true, 0, 0, false);
        answer = lastFrameAnswer_;
    }
    if (answer.size() >= 6) {
        NoteAnswer(a);
        if (RequestDeviceType(a)) {
            {
                std::lock_guard guard(lock_);
                absent_.at(a) = false;
                ZeroStatistics(a);
            }
            Deliver(kMsgSessionReport, kReportDeviceFound, {a});
        }
    }
    {
        std::lock_guard guard(lock_);
        searchCursor_ = a >= 127 ? 1 : static_cast<uint8_t>(a + 1);
    }
    if (answer.size() >= 6 && corecomp::IsEventAnswer(answer[2]))
        HandleEventAnswer(answer);
}

// --- the short-event expansion

std::vector<uint8_t> TRSSession::ExpandShortEvent(const std::vector<uint8_t>& answer)
{
    if (answer.size() < 6 || answer.size() >= 10 || (answer[2] != 4 && answer[2] != 12))
        return answer;
    const uint8_t code = answer[3];
    const bool detailed = code == 28 || code == 29 || code == 34;
    std::vector<uint8_t> details;
    if (detailed && answer.size() > 6) {
        if (answer[4] != 0) {
            std::lock_guard guard(lock_);
            const std::vector<uint8_t> request = {answer[0], 7, 0, 29, 0, answer[4], answer[5]};
            if (!ExchangeFrame(PrepareFrame(request), true, 0, 0, false) ||
                lastFrameAnswer_.size() < 6 || lastFrameAnswer_[2] != 30)
                return answer;
            details.assign(lastFrameAnswer_.begin() + 3, lastFrameAnswer_.end() - 1);
        }
    } else if (code != 26 && code != 84) {
        return answer;
    }

    std::vector<uint8_t> body(answer.begin(), answer.end() - 1); // without the CRC
    body.insert(body.end(), details.begin(), details.end());
    body.push_back(0xFF);
    body.push_back(0xFF);
    std::array<uint8_t, 6> stamp{};
    if (answer[2] == 4) {
        const corecomp::CivilTime t = corecomp::SplitDate(clock_.Now());
        stamp = {static_cast<uint8_t>(t.hour),   static_cast<uint8_t>(t.minute),
                 static_cast<uint8_t>(t.second), static_cast<uint8_t>(t.day),
                 static_cast<uint8_t>(t.month),  static_cast<uint8_t>(t.year - 2000)};
    } else {
        // The unit's own stamp: the last bytes of its answer, as many as it carries.
        int n = static_cast<int>(answer.size()) - (detailed ? 7 : 6);
        n = n > 5 ? 6 : n >= 3 ? 3 : 0;
        const size_t dataEnd = answer.size() - 1;
        const size_t take = std::min<size_t>(static_cast<size_t>(n), dataEnd - 3);
        std::copy(answer.begin() + static_cast<std::ptrdiff_t>(dataEnd - take),
                  answer.begin() + static_cast<std::ptrdiff_t>(dataEnd), stamp.begin());
    }
    body.insert(body.end(), stamp.begin(), stamp.end());
    body.push_back(0);
    // A long form that does not fit an event text is not delivered half: the short one is.
    if (body.size() + 1 > kMaxEventText)
        return answer;
    body[1] = static_cast<uint8_t>(body.size());
    body.push_back(corecomp::BusCrc8(body));
    return body;
}

// --- driver-service mode

platform::AutomationObject* TRSSession::ExchangeObject()
{
    std::lock_guard guard(lock_);
    if (!exchangeObject_)
        exchangeObject_ = automation_("Dravon.Dravon2");
    return exchangeObject_.get();
}

uint8_t TRSSession::NextScheduledAddress()
{
    if (!work_)
        return serviceAddress_;
    ++pollCount_;
    serviceAddress_ = AdvanceScheduleCursor();
    return serviceAddress_;
}

bool TRSSession::ServiceExchange(const std::vector<uint8_t>& request, bool waitAnswer)
{
    std::lock_guard guard(lock_);
    lastFrameAnswer_.clear();
    // Neither address 0 nor the search slot (128) is a unit to poll.
    if (request.size() < 5 || (request[0] & 0x7F) == 0)
        return false;
    return ServiceRoundTrip(ExchangeObject(), "Obmen", 5, request, waitAnswer);
}

// One exchange through a service object: the coded frame as text, the answer checked and
// decoded like a line's, an event acknowledged through the same method.  The lock is held.
bool TRSSession::ServiceRoundTrip(platform::AutomationObject* object, const char* method,
                                  uint32_t pauseMs, const std::vector<uint8_t>& request,
                                  bool waitAnswer)
{
    const int address = request[0] & 0x7F;
    const uint8_t mask =
        corecomp::FrameMask(request[0], request[2], keyWord_.at(static_cast<size_t>(address)));
    const std::vector<uint8_t> send = corecomp::EncodeRequest(request, mask);
    if (send.empty())
        return false;
    clock_.Sleep(pauseMs);
    std::string reply;
    if (object)
        object->Call(method, corecomp::FrameText(send), reply);
    if (!waitAnswer)
        return true;
    const std::vector<uint8_t> raw = corecomp::ParseFrameText(reply);
    if (!corecomp::IsWellFormedAnswer(raw))
        return false;
    lastFrameAnswer_ = corecomp::DecodeAnswer(raw, mask);
    if (corecomp::IsEventAnswer(lastFrameAnswer_[2])) {
        clock_.Sleep(2);
        const std::vector<uint8_t> ack =
            corecomp::EncodeRequest(std::vector<uint8_t>{lastFrameAnswer_[0], 6, 0, 3, 0, 1}, 0);
        std::string ignored;
        if (object)
            object->Call(method, corecomp::FrameText(ack), ignored);
    }
    return true;
}

// As the own line's poll, but a device is lost by the count of its missing answers, against
// its share of the schedule, and only after 0.00006 of a day (5.184 s) of silence.
void TRSSession::HandleServiceEventAnswer()
{
    const uint8_t a = serviceAddress_;
    if (a == 0 || a >= 128)
        return;
    std::vector<uint8_t> answer = LastFrameAnswer();
    if (answer.size() < 6)
        answer.clear();
    {
        std::lock_guard guard(lock_);
        CountPollRequest(a);
    }
    if (!answer.empty()) {
        PollAnswered(a, answer);
        return;
    }
    CountMissedPoll(a);
    bool lost = false;
    {
        std::lock_guard guard(lock_);
        const uint32_t total = scheduleLength_ == 0 ? 15 : scheduleLength_;
        const uint32_t w = pollWeight_.at(a) == kLost ? 1 : pollWeight_.at(a);
        const bool old =
            lastAnswer_.at(a) != 0 && clock_.TickCount() - lastAnswerTick_.at(a) > kServiceLostMs;
        if (pollStats_.at(a).noAnswers > w * 132 / total && old && !absent_.at(a)) {
            pollWeight_.at(a) = kLost;
            absent_.at(a) = true;
            BuildPollSchedule();
            lost = true;
        }
    }
    if (lost && Deliver(kMsgSessionReport, kReportDeviceLost, {a}))
        ReadListDeviceGone(a, -2);
}
