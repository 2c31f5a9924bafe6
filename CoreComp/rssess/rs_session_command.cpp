// The command exchanges: the synchronous SendCommand of the owner, the polling thread's two
// variants, and the pending frames.

#include "CoreComp/rssess/rs_session.h"

#include "CoreComp/rssess/bus_frame.h"

#include <algorithm>

namespace {

constexpr uint32_t kSequenceWrap = 20000000;
std::atomic<uint32_t> g_sequence{0};

// Restores Work on every way out of a command.
class WorkRestorer
{
public:
    WorkRestorer(TRSSession& session) : session_(session), was_(session.Work())
    {
        if (was_)
            session_.SetWork(false);
    }
    ~WorkRestorer() { session_.SetWork(was_); }
    WorkRestorer(const WorkRestorer&) = delete;
    WorkRestorer& operator=(const WorkRestorer&) = delete;

private:
    TRSSession& session_;
    bool was_;
};

} // namespace

uint32_t TRSSession::NextSequenceNumber()
{
    uint32_t current = g_sequence.load();
    uint32_t next;
    do {
        next = current >= kSequenceWrap ? 0 : current + 1;
    } while (!g_sequence.compare_exchange_weak(current, next));
    return next;
}

uint32_t TRSSession::SetSequenceNumber(uint32_t number)
{
    g_sequence = number;
    return number;
}

TRSSession::Counters TRSSession::ExchangeCounters() const
{
    return {cmdCount_, frameCount_, failedTries_, failedCommands_, eventCount_};
}

// Steps shared by the three command exchanges: the tries with their counting, the key of
// command 17 and the per-address counters.  The lock is taken per try: the owner's
// SendCommand holds it across all of them, the polling thread lets it go between two tries,
// so a post or a getter from another thread waits for one try at most, not the whole run.
// answer, when given, gets the accepted answer.
bool TRSSession::RunTries(const std::vector<uint8_t>& request, bool waitAnswer, bool noAcknowledge,
                          TryMode mode, int keepTimeout, std::vector<uint8_t>* answer)
{
    const bool synchronous = mode == TryMode::Synchronous;
    const bool log = mode != TryMode::ThreadExchange;
    const size_t address = request[0];
    const int command = request[3];
    const int repetitions =
        (command == 17 || command == 41) ? secondRetryCount_.load() : retryCount_.load();
    // The thread command makes as many tries as the count (at least one), the others one more.
    const int maxTries =
        mode == TryMode::ThreadCommand ? std::max(repetitions, 1) : repetitions + 1;
    const uint8_t newKey = command == 17 && request.size() > 4 ? request[4] : 0;
    const bool broadcast = address == 0;
    ++cmdCount_;
    if (answer)
        answer->clear();

    bool ok = false;
    std::unique_lock guard(lock_);
    // An answer owed by the last try of the command before is still owed: the wait for it
    // carries over.
    lineLost_ = false;
    for (int tries = 0; tries < maxTries;) {
        if (tries > 0 && !synchronous) {
            guard.unlock();
            if (BetweenTriesHook)
                BetweenTriesHook();
            guard.lock();
        }
        if (!synchronous && !work_)
            return false;
        // The answer of a try that timed out may still come: it must not be taken for the
        // next try's, nor the next try's for a later command's.
        WaitForQuietLine(broadcast ? -1 : command == 15 ? 0 : static_cast<int>(address & 0x7F));
        if (lineLost_) {
            ++failedCommands_;
            break;
        }
        if (log && settings_.LogCommand)
            LogFrame(request);
        const std::vector<uint8_t> frame = PrepareFrame(request);
        const bool exchanged = ExchangeFrame(frame, waitAnswer, keepTimeout, 0, noAcknowledge);
        ++frameCount_;
        ++tries;
        if (broadcast && (exchanged || (synchronous && serviceMode_)))
            return exchanged;
        bool good = false;
        if (exchanged) {
            const std::vector<uint8_t>& a = lastFrameAnswer_;
            if (log && settings_.LogCommand) {
                if (a.size() < 4)
                    LogNoAnswer();
                else
                    LogFrame(a);
            }
            // The thread takes any true exchange of command 10 as done, answer or not.
            good = a.size() >= 5 || (mode == TryMode::ThreadExchange && command == 10);
            if (good && command == 17 && a.size() >= 5 && a[2] == 18) {
                if (a[3] != newKey)
                    good = false;
                else
                    keyWord_.at(a[0]) = newKey;
            }
        }
        if (good) {
            ok = true;
            if (answer)
                *answer = lastFrameAnswer_;
            break;
        }
        ++failedTries_;
        if (lineLost_) {
            // The adapter is gone: no further try can reach the unit.  The next command
            // opens the port again.
            ++failedCommands_;
            break;
        }
        if (tries >= maxTries)
            ++failedCommands_;
    }
    if (ok) {
        noAnswer_[0].at(address) = 0;
        noAnswer_[1].at(address) = 0;
        lastAnswer_.at(address) = clock_.Now();
        lastAnswerTick_.at(address) = clock_.TickCount();
    } else {
        noAnswer_[0].at(address) += static_cast<uint32_t>(repetitions);
        noAnswer_[1].at(address) += static_cast<uint32_t>(repetitions);
    }
    return ok;
}

bool TRSSession::SendCommand(const std::vector<uint8_t>& request, bool waitAnswer,
                             bool noAcknowledge, int extra1, int extra2)
{
    answer_.clear();
    if (frameMode_ == 2 && extra2 != 0)
        return SendSecondFormCommand(request, extra1, extra2);
    // A request that cannot be sent is refused before the line is touched or anything counted.
    if (!corecomp::LengthFits(request) || request[0] > 127)
        return false;
    WorkRestorer restore(*this);
    std::vector<uint8_t> result;
    {
        std::lock_guard guard(lock_);
        if (!LineOpen() && !ReopenPort())
            return false;
        if (!RunTries(request, waitAnswer, noAcknowledge, TryMode::Synchronous, 1))
            return false;
        if (request[0] == 0)
            return true; // a broadcast has no answer
        result = lastFrameAnswer_;
    }
    if (result.size() < 6)
        return false;
    answer_ = result;
    if (corecomp::IsEventAnswer(answer_[2])) {
        ++eventCount_;
        SendToOwner(kMsgSessionReport, kReportEventAnswer, answer_);
        // A handler may have used the session meanwhile; the caller still gets this answer.
        answer_ = result;
    }
    return true;
}

bool TRSSession::ThreadExchange(const std::vector<uint8_t>& request, bool waitAnswer,
                                std::vector<uint8_t>* answer)
{
    if (answer)
        answer->clear();
    if (!work_ || !corecomp::LengthFits(request) || request[0] > 127)
        return false;
    {
        std::lock_guard guard(lock_);
        if (absent_.at(request[0]))
            return false;
    }
    return RunTries(request, waitAnswer, false, TryMode::ThreadExchange, 0, answer);
}

bool TRSSession::ThreadCommand(const std::vector<uint8_t>& request, bool waitAnswer,
                               int keepTimeout)
{
    if (!work_ || !corecomp::LengthFits(request) || request[0] > 127)
        return false;
    return RunTries(request, waitAnswer, false, TryMode::ThreadCommand, keepTimeout);
}

void TRSSession::AddPendingFrame(std::vector<uint8_t> frame)
{
    std::lock_guard guard(lock_);
    pending_.push_back(std::move(frame));
}

size_t TRSSession::PendingCount() const
{
    std::lock_guard guard(lock_);
    return pending_.size();
}

void TRSSession::QueueCommand(std::vector<uint8_t> frame)
{
    QueuedCommand command{NextSequenceNumber(), std::move(frame)};
    if (QueueCommandHook) {
        QueueCommandHook(std::move(command));
        return;
    }
    std::lock_guard guard(lock_);
    // Without a queue to take them, a unit that keeps asking for the time must not grow this
    // without end: as many as the queue has slots are kept.
    if (deferred_.size() < kMaxDeferredCommands)
        deferred_.push_back(std::move(command));
}

std::vector<TRSSession::QueuedCommand> TRSSession::DeferredCommands() const
{
    std::lock_guard guard(lock_);
    return deferred_;
}

void TRSSession::DrainCommandQueue()
{
    std::vector<std::vector<uint8_t>> frames;
    {
        std::lock_guard guard(lock_);
        frames.swap(pending_);
    }
    int sinceEventPoll = 0;
    for (size_t i = 0; i < frames.size(); ++i) {
        if (!work_) {
            // Nothing is lost: what was not sent goes to the command queue.
            for (size_t j = i; j < frames.size(); ++j)
                QueueCommand(std::move(frames[j]));
            return;
        }
        const std::vector<uint8_t>& f = frames[i];
        ThreadExchange(f, true);
        ++sinceEventPoll;
        if (f.size() > 3 && f[3] == 19 && sinceEventPoll > 2) {
            if (PollDeviceEventsHook)
                PollDeviceEventsHook(static_cast<uint8_t>(f[0] & 0x7F));
            sinceEventPoll = 0;
        }
    }
}
