// The polling thread's body: one pass after another while Work is on, the reopen loop with its
// port-failure sweep, and the rules by which the thread gives up the line.
//
// The thread never holds the session lock while it delivers to the owner (Deliver), so the
// owner's handlers may use SendCommand.  Its idle flag is true while it does not use the line
// (parked, sleeping, delivering); after every idle stretch it clears the flag and checks Work
// before it touches the line again, so a SendCommand that saw the flag set never overlaps it.

#include "CoreComp/rssess/rs_session.h"

#include "platform/last_error.h"

#include <chrono>

namespace {

// Restores the polling-pass mark on every way out of the schedule walk.
class PassMark
{
public:
    PassMark(std::recursive_mutex& lock, bool& mark) : lock_(lock), mark_(mark)
    {
        std::lock_guard guard(lock_);
        mark_ = true;
    }
    ~PassMark()
    {
        std::lock_guard guard(lock_);
        mark_ = false;
    }
    PassMark(const PassMark&) = delete;
    PassMark& operator=(const PassMark&) = delete;

private:
    std::recursive_mutex& lock_;
    bool& mark_;
};

constexpr int kReopenFailuresBeforeSweep = 20;

} // namespace

bool TRSSession::Terminating()
{
    std::lock_guard guard(threadMutex_);
    return threadTerminate_;
}

void TRSSession::Checkpoint() const
{
    if (!work_)
        throw StopPass{};
}

void TRSSession::ThreadSleep(uint32_t ms)
{
    threadIdle_ = true;
    clock_.Sleep(ms);
    threadIdle_ = false;
}

void TRSSession::ParkUntilWorkOrEnd()
{
    threadIdle_ = true;
    std::unique_lock lk(threadMutex_);
    // Real time on purpose: a parked thread must not spin, whatever clock the session has.
    while (!threadTerminate_ && !work_)
        threadCv_.wait_for(lk, std::chrono::milliseconds(5));
}

bool TRSSession::Deliver(uint32_t msg, uintptr_t wparam, std::vector<uint8_t> payload)
{
    // The flag is the polling thread's own: a pass driven from another thread leaves it alone.
    const bool mine = std::this_thread::get_id() == thread_.get_id();
    if (mine)
        threadIdle_ = true;
    SendToOwner(msg, wparam, std::move(payload));
    if (mine)
        threadIdle_ = false;
    return work_;
}

void TRSSession::Execute()
{
    {
        std::lock_guard guard(lock_);
        if (serviceMode_ && !exchangeObject_)
            exchangeObject_ = automation_("Dravon.Dravon2");
    }
    for (;;) {
        {
            // Parked: created so, or suspended after the port-failure sweep.
            std::unique_lock lk(threadMutex_);
            threadCv_.wait(lk, [this] { return threadResumed_ || threadTerminate_; });
            if (threadTerminate_)
                break;
            if (!runPasses_) {
                threadRunning_ = true;
                threadCv_.wait(lk, [this] { return threadTerminate_; });
                break;
            }
        }
        threadRunning_ = true;
        try {
            RunPass();
        } catch (const StopPass&) {
            ParkUntilWorkOrEnd();
        } catch (...) {
            ThreadSleep(10);
            threadIdle_ = true;
        }
    }
    threadIdle_ = true;
    work_ = false;
    {
        std::lock_guard guard(lock_);
        exchangeObject_.reset();
        // Nobody is left to take the answers of what was never sent; a type request among
        // them will not be answered, so the units' types may be asked again.
        batch_.clear();
        batchCount_ = 0;
        for (const corecomp::TReadItem& it : readList_.Items())
            if (corecomp::TReadItem* item = readList_.Item(readList_.FindReadItem(it.key)))
                item->requestPending = false;
    }
    std::lock_guard guard(threadMutex_);
    threadRunning_ = false;
    threadFinished_ = true;
    threadCv_.notify_all();
}

void TRSSession::RunPass()
{
    threadIdle_ = false;
    Checkpoint();
    if (!serviceMode_ && closeRequest_) {
        LogPort("1))))))");
        {
            std::lock_guard guard(lock_);
            if (UseDriver())
                DriverRelease();
            else
                transport_->Close();
        }
        ThreadSleep(10);
        Checkpoint();
    }

    int failed = 0;
    while (!serviceMode_ && !Terminating() && !LineOpen()) {
        ThreadSleep(10);
        LogPort("ошибка порта:" + std::to_string(platform::LastError()));
        bool opened;
        {
            // Work is checked under the lock, as ExchangeFrame does: once it is off the owner
            // may close the port, and the thread never opens it behind the owner's back.
            std::lock_guard guard(lock_);
            Checkpoint();
            opened = ReopenPort();
        }
        if (opened) {
            failed = 0;
        } else {
            ++reopenFailures_;
            if (++failed >= kReopenFailuresBeforeSweep) {
                // The line is gone: every device on it is reported lost, and polling stops
                // with Work left off, so the owner sees it and may switch it on again.  Work
                // goes off and the thread parks in one step under the thread mutex, as SetWork
                // decides under it: an owner's SetWork(true) comes either before (and this
                // turns it off) or after (and finds the thread parked, and resumes it).
                threadIdle_ = true;
                {
                    std::lock_guard guard(threadMutex_);
                    work_ = false;
                    closeRequest_ = true;
                    threadResumed_ = false;
                }
                MarkAllAbsent();
                threadIdle_ = true;
                return;
            }
        }
        Checkpoint();
    }

    if (frameMode_ == 2 && !serviceMode_) {
        RunSecondFormPass();
        return;
    }
    if (serviceMode_) {
        uint32_t slots;
        {
            std::lock_guard guard(lock_);
            slots = scheduleLength_;
        }
        for (uint32_t i = 0; i < slots; ++i) {
            Checkpoint();
            QueueStep();
            NextScheduledAddress();
            ServiceExchange({serviceAddress_, 6, 0, 1, 0, 1}, true);
            HandleServiceEventAnswer();
        }
        SendBatch();
    } else {
        threadIdle_ = false;
        const int rounds = fullRound_ ? 11 : 1;
        uint32_t slots;
        {
            std::lock_guard guard(lock_);
            slots = scheduleLength_;
        }
        {
            PassMark mark(lock_, pollingPass_);
            uint32_t polls = 0;
            for (int round = 0; round < rounds; ++round) {
                for (uint32_t i = 0; i < slots; ++i) {
                    // Every step may have delivered to the owner, who may have switched Work
                    // off and closed the port meanwhile: each is checked before the line.
                    Checkpoint();
                    PollDeviceEvents(0);
                    RunDueRenewal();
                    Checkpoint();
                    QueueStep();
                    if (IsReadDue(readStart_))
                        ReadListStep();
                    Checkpoint();
                    ZonePollStep();
                    Checkpoint();
                    if (slots < 10 || ++polls % 10 == 0)
                        SendBatch();
                    RunDueRenewal();
                }
            }
        }
        fullRound_ = false;
    }
    Checkpoint();
    if (searchEnabled_)
        SearchNextDevice();
    Checkpoint();
    SendBatch();
    threadIdle_ = true;
    std::this_thread::yield();
    ThreadSleep(20);
    Checkpoint();
    QueueStep();
    if (IsReadDue(readStart_))
        ReadListStep();
    Checkpoint();
    ZonePollStep();
    Checkpoint();
    SendBatch();
    Checkpoint();
}

// --- the port-failure sweep

void TRSSession::MarkAllAbsent()
{
    std::vector<uint8_t> lost;
    {
        std::lock_guard guard(lock_);
        for (size_t a = 1; a <= 127; ++a) {
            const uint8_t w = pollWeight_.at(a);
            if (w > 16 && w != 255)
                continue; // never found
            if (!absent_.at(a))
                lost.push_back(static_cast<uint8_t>(a));
            pollWeight_.at(a) = 255;
            absent_.at(a) = true;
            ZeroStatistics(a);
        }
        BuildPollSchedule();
    }
    for (uint8_t a : lost)
        if (Deliver(kMsgSessionReport, kReportDeviceLost, {a}))
            ReadListDeviceGone(a, -2);
}
