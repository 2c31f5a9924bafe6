// Queued and general commands: the pending queue that any thread posts to, the polling
// thread's batch, and the answers that go back to the owner.
//
// Every posted record ends exactly once: with message 1037 (its answer, or an empty one when
// it was not or could not be sent), or with message 1064 for a search-progress record.  An
// answered entry leaves the batch at once, so a batch that Work interrupted resumes with the
// entries that are still unsent.

#include "CoreComp/rssess/rs_session.h"
#include "CoreComp/rssess/rs_session_console_line.h"

#include "CoreComp/rssess/bus_frame.h"
#include "CoreComp/rssess/session_log.h"

#include <algorithm>
#include <iterator>

namespace {

constexpr size_t kBatchPerCall = 16;

// Message 1724 with 123123: two texts, the answer and its request, each a length byte and its
// bytes (a frame is at most 255 bytes).
std::vector<uint8_t> StatisticsPayload(const std::vector<uint8_t>& answer,
                                       const std::vector<uint8_t>& request)
{
    std::vector<uint8_t> p;
    for (const std::vector<uint8_t>* text : {&answer, &request}) {
        const size_t n = std::min<size_t>(text->size(), 255);
        p.push_back(static_cast<uint8_t>(n));
        p.insert(p.end(), text->begin(), text->begin() + static_cast<std::ptrdiff_t>(n));
    }
    return p;
}
constexpr uint32_t kPollEveryCommands = 25;

// A read-list operation carries its code (666..669) as its number, a read-list request its code
// (670..673) as its GUID; only the session's own flag tells them from an owner's records.
bool IsReadListOperation(const TCommandRecord& r)
{
    return r.sessionOwn && r.message == kRecordReadListOperation;
}

// The session's own read-list requests: their answers are the session's, not the owner's.
bool IsReadListRequest(const TCommandRecord& r)
{
    return r.sessionOwn && r.message == kRecordReadListRequest;
}

} // namespace

// --- posting (any thread)

size_t TRSSession::QueuedCommandCount() const
{
    std::lock_guard guard(lock_);
    return pendingQueue_.size();
}

TCommandRecord TRSSession::PendingCommand(size_t index) const
{
    std::lock_guard guard(lock_);
    return pendingQueue_.at(index);
}

// The lock is held.  The bound covers what waits in the pending queue and in the batch, and
// the session's own commands waiting to join them: a steady poster cannot outgrow a slow
// line, nor keep those out of it.
bool TRSSession::QueueFull() const
{
    return pendingQueue_.size() + batchCount_ + deferred_.size() >= kMaxPendingCommands;
}

bool TRSSession::EnqueueRecord(TCommandRecord record, size_t* queued)
{
    if (QueueFull())
        return false;
    AppendPending(std::move(record));
    if (queued)
        *queued = pendingQueue_.size();
    return true;
}

int32_t TRSSession::PostCommand(uint32_t postHandle, uint32_t message,
                                const std::vector<uint8_t>& frame, const PostOptions& o)
{
    if (o.routing && (*o.routing)[0] == 0)
        return -1;
    uint32_t sequence;
    int count = 0;
    {
        std::lock_guard guard(lock_);
        // While Work is off nothing drains the queue; it stops growing at its bound.
        if (QueueFull())
            return -1;
        sequence =
            o.sequenceOverride != 0 ? SetSequenceNumber(o.sequenceOverride) : NextSequenceNumber();
        TCommandRecord r;
        r.used = true;
        r.postHandle = postHandle;
        r.extraLength = o.extraLength;
        r.fullAddress = o.fullAddress;
        r.deviceWord = o.deviceWord;
        r.routing = o.routing.value_or(std::array<uint8_t, 2>{0, 0});
        r.message = message;
        r.sequence = sequence;
        r.guid = o.guid;
        r.fast = o.fast;
        r.extra = o.extra;
        r.word = -1;
        r.frame = frame;
        EnqueueRecord(std::move(r), nullptr);
        // Counted before the thread can take it, so its answer never counts down first.
        count = ++asyncOutstanding_;
    }
    if (logCommand_)
        TLogFileLine("logCmd.txt", "Команда " + std::to_string(sequence) +
                                       "  помещена в буфер Всего:" + std::to_string(count));
    return static_cast<int32_t>(sequence);
}

// The lock is held.
void TRSSession::AppendPending(TCommandRecord record)
{
    if (pendingQueue_.capacity() == pendingQueue_.size())
        pendingQueue_.reserve(pendingQueue_.size() + 350);
    pendingQueue_.push_back(std::move(record));
}

bool TRSSession::PostFrame(const std::vector<uint8_t>& request)
{
    if (frameMode_ == 2)
        return PostSecondFormFrame(request);
    if (frameMode_ != 1 || request.size() < 4 || request[0] > 127)
        return false;
    const uint8_t a = request[0];
    if (IsAbsent(a))
        return false;
    if (a != 0 && request[3] == 41) {
        std::lock_guard guard(lock_);
        const uint16_t type = deviceType_.at(a);
        if (settings_.NoTime || type == 1 || (type == 2 && firmware_.at(a) < 159))
            return false;
    }
    return PostCommand(0, 0, request, {}) >= 0;
}

void TRSSession::GeneralCommand(uint8_t address, uint8_t command, const std::vector<uint8_t>& data)
{
    if (address >= 128)
        return;
    // One moment for every record: the computer's clock one second ahead.
    const double now = clock_.Now();
    bool noTime;
    bool log;
    std::vector<uint8_t> targets;
    {
        std::lock_guard guard(lock_);
        noTime = settings_.NoTime;
        log = settings_.LogCommand;
        for (size_t a = 1; a <= 127; ++a) {
            if (address != 0 && a != address)
                continue;
            if (pollWeight_.at(a) != 128 && !absent_.at(a))
                targets.push_back(static_cast<uint8_t>(a));
        }
    }
    if (command == 4 && noTime)
        return;
    if (frameMode_ == 2) {
        // On the console line a general command goes to the consoles that are present.
        std::lock_guard guard(lock_);
        targets.clear();
        for (size_t a = 1; a <= 127; ++a) {
            if (address != 0 && a != address)
                continue;
            const corecomp::ConsoleRecord& c = consoles_->consoles.at(a);
            if (c.address == a && c.state != 0)
                targets.push_back(static_cast<uint8_t>(a));
        }
    }
    for (uint8_t a : targets) {
        std::vector<uint8_t> body;
        body.reserve(8 + data.size());
        body.push_back(command);
        uint8_t fast = 1;
        std::string line;
        switch (command) {
        case 1: {
            std::lock_guard guard(lock_);
            body.push_back(RandomKey());
            line = "ключ";
            break;
        }
        case 3:
            line = "запрос типа и версии";
            break;
        case 4:
            body = ClockCommand(now + 1.0 / 86400.0);
            line = "время";
            break;
        case 6:
            fast = 8;
            line = "подключенные устройства";
            break;
        default:
            for (uint8_t b : data)
                body.push_back(b);
            if (command == 7)
                TLogFileLine("buf.log", "Время:" + corecomp::FormatLogTime(now) + " " +
                                            "запрос типа ус-ва и версии " +
                                            std::to_string(command) + " у устройства пульт " +
                                            std::to_string(a) + " " + std::to_string(comPort_));
            break;
        }
        PostOptions o;
        o.routing = std::array<uint8_t, 2>{a, 7};
        o.fast = fast;
        o.deviceWord = a;
        PostCommand(0, kRecordGeneralCommand, body, o);
        if (log && !line.empty())
            TLogFileLine("logCmd.txt", line);
    }
}

std::vector<uint8_t> TRSSession::ClockCommand(double date)
{
    const corecomp::CivilTime t = corecomp::SplitDate(date);
    std::vector<uint8_t> body{4};
    for (int v : {t.hour, t.minute, t.second, t.day, t.month, t.year - 2000})
        body.push_back(static_cast<uint8_t>(v));
    return body;
}

// --- the polling thread's side

int TRSSession::FindBatchRecord(uint32_t sequence) const
{
    for (size_t i = 0; i < batch_.size(); ++i)
        if (!batch_[i].sessionOwn && batch_[i].sequence == sequence)
            return static_cast<int>(i);
    return -1;
}

void TRSSession::TakeFromBatchFront()
{
    batch_.pop_front();
    batchCount_ = batch_.size();
}

void TRSSession::QueueStep()
{
    std::vector<TCommandRecord> moved;
    std::vector<QueuedCommand> deferred;
    {
        std::lock_guard guard(lock_);
        moved.swap(pendingQueue_);
        // The session's own commands join as far as the bound leaves room; the rest wait for
        // a later step.
        const size_t held = batch_.size() + moved.size();
        const size_t room = held < kMaxPendingCommands ? kMaxPendingCommands - held : 0;
        const auto take = static_cast<std::ptrdiff_t>(std::min(room, deferred_.size()));
        deferred.assign(std::make_move_iterator(deferred_.begin()),
                        std::make_move_iterator(deferred_.begin() + take));
        deferred_.erase(deferred_.begin(), deferred_.begin() + take);
        // Counted as the batch's at once, so the bound holds while they move.
        batchCount_ = held + deferred.size();
    }
    // Commands the session queued for itself (a unit asking for the time) travel the same way.
    for (QueuedCommand& d : deferred) {
        TCommandRecord r;
        r.used = true;
        r.sequence = d.sequence;
        r.frame = std::move(d.frame);
        ++asyncOutstanding_;
        moved.push_back(std::move(r));
    }
    for (TCommandRecord& r : moved) {
        if (IsReadListOperation(r)) {
            // Not a command: it ends here, and no answer is owed for it.
            ApplyReadListOperation(r.sequence, r.frame);
            if (ReadListOperationHook)
                ReadListOperationHook(r.sequence, r.frame);
            continue;
        }
        r.time = clock_.Now();
        batch_.push_back(std::move(r));
    }
    batchCount_ = batch_.size();
}

void TRSSession::PollOneScheduled()
{
    // After a delivery: the line is touched only while Work is still on.
    if (work_)
        PollDeviceEvents(0);
}

// After every 25 commands, counted across calls of SendBatch, one scheduled address is polled.
void TRSSession::CountSentCommand()
{
    if (++commandsSincePoll_ >= kPollEveryCommands) {
        commandsSincePoll_ = 0;
        PollOneScheduled();
    }
}

// Ends an entry without sending it.
void TRSSession::CloseRecord(TCommandRecord& record, bool withStatistics)
{
    if (record.HasProgressRecord()) {
        Deliver(kMsgSearchProgress, 0, record.extra);
        return;
    }
    const std::vector<uint8_t> request = std::move(record.frame);
    record.frame.clear();
    if (withStatistics)
        Deliver(kMsgStatistics, kStatisticsAnswer, StatisticsPayload({}, request));
    Deliver(kMsgAsyncAnswer, 0, record.ToPayload());
}

void TRSSession::SendBatch()
{
    if (frameMode_ != 1)
        return;
    for (size_t handled = 0; handled < kBatchPerCall && !batch_.empty() && work_; ++handled) {
        // Out of the batch before anything is delivered: it ends exactly once, here.
        TCommandRecord r = std::move(batch_.front());
        TakeFromBatchFront();
        if (r.frame.empty() || !r.extra.empty() || r.routing[0] != 0) {
            // General commands and routed ones take effect on the other frame form only;
            // an entry with nothing to send is answered empty all the same.
            CloseRecord(r, true);
            continue;
        }
        std::vector<uint8_t> answer;
        const bool own = IsReadListRequest(r);
        const std::vector<uint8_t> request = r.frame;
        if (!own)
            ReadListBeforeOwnersCommand(request);
        // The lock is taken per try, not across the command's tries.
        if (!ThreadExchange(r.frame, true, &answer) && !work_) {
            // Polling stopped before the tries were done: the entry waits for the next start.
            std::lock_guard guard(lock_);
            batch_.push_front(std::move(r));
            batchCount_ = batch_.size();
            return;
        }
        if (answer.size() < 6)
            answer.clear();
        if (!answer.empty() && eventExpansion_)
            answer = ExpandShortEvent(answer);
        if (own) {
            // Not the owner's command: it ends here, and no answer is owed for it.
            HandleReadListAnswer(static_cast<uint32_t>(r.guid), request, answer);
            if (answer.empty())
                PollOneScheduled();
            CountSentCommand();
            continue;
        }
        // A zone's value goes to its zone as well as to the poster.
        if (r.message == kRecordZoneRequest && !answer.empty() && r.frame.size() > 4)
            Deliver(kMsgStatistics, r.frame[0] & 0x7Fu, ZonePayload(r.frame[4], answer));
        ReadListAfterOwnersCommand(request, answer);
        r.frame = answer;
        if (answer.empty()) {
            Deliver(kMsgStatistics, kStatisticsAnswer, StatisticsPayload(answer, request));
            PollOneScheduled();
        }
        Deliver(kMsgAsyncAnswer, 0, r.ToPayload());
        CountSentCommand();
    }
}
