#include "platform/owner_channel.h"

#include <algorithm>

namespace platform {

struct OwnerChannel::Pending
{
    OwnerMessage message;
    std::optional<intptr_t> result;
    bool finished = false; // served, failed or cancelled
    bool posted = false;   // nobody waits: whoever takes it off the queue frees it
};

namespace {

std::optional<intptr_t> Run(const OwnerChannel::Handler& handler, const OwnerMessage& message)
{
    if (!handler)
        return 0;
    try {
        return handler(message);
    } catch (...) {
        return std::nullopt;
    }
}

} // namespace

OwnerChannel::OwnerChannel() : owner_(std::this_thread::get_id()) {}

OwnerChannel::~OwnerChannel()
{
    Close();
    // A cancelled sender still has to leave cv_ and mutex_ before they go.
    std::unique_lock lock(mutex_);
    cv_.wait(lock, [this] { return waiting_senders_ == 0; });
}

void OwnerChannel::SetHandler(Handler handler)
{
    std::lock_guard lock(mutex_);
    handler_ = std::move(handler);
}

void OwnerChannel::SetWakeup(std::function<void()> wakeup)
{
    std::lock_guard lock(mutex_);
    wakeup_ = std::move(wakeup);
}

std::optional<intptr_t> OwnerChannel::Send(OwnerMessage message)
{
    std::unique_lock lock(mutex_);
    if (closed_)
        return std::nullopt;
    if (IsOwnerThread()) {
        const Handler handler = handler_; // the handler may replace itself
        lock.unlock();
        return Run(handler, message);
    }
    Pending pending{std::move(message), std::nullopt, false};
    queue_.push_back(&pending);
    ++waiting_senders_;
    const std::function<void()> wakeup = wakeup_;
    lock.unlock();
    if (wakeup)
        wakeup();
    lock.lock();
    cv_.wait(lock, [&] { return pending.finished; });
    --waiting_senders_;
    cv_.notify_all(); // under the lock: the destructor may be waiting for the last sender
    return pending.result;
}

bool OwnerChannel::Post(OwnerMessage message)
{
    std::unique_lock lock(mutex_);
    if (closed_)
        return false;
    queue_.push_back(new Pending{std::move(message), std::nullopt, false, true});
    const std::function<void()> wakeup = wakeup_;
    lock.unlock();
    if (wakeup)
        wakeup();
    cv_.notify_all();
    return true;
}

void OwnerChannel::ServePending()
{
    if (!IsOwnerThread())
        return;
    for (;;) {
        std::unique_lock lock(mutex_);
        if (queue_.empty())
            return;
        Pending* pending = queue_.front();
        queue_.pop_front();
        const Handler handler = handler_;
        lock.unlock();
        // The sender stays blocked, and its Pending alive, until finished is set.
        std::optional<intptr_t> result = Run(handler, pending->message);
        if (pending->posted) {
            delete pending;
            continue;
        }
        lock.lock();
        pending->result = result;
        pending->finished = true;
        lock.unlock();
        // Outside the lock: the sender wakes to a free mutex instead of blocking on it again.
        cv_.notify_all();
    }
}

bool OwnerChannel::WaitServing(const std::function<bool()>& done, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + std::max(timeout, std::chrono::milliseconds(0));
    for (;;) {
        ServePending();
        if (done())
            return true;
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline)
            return false;
        // A new delivery wakes the wait at once; done() is looked at again every millisecond.
        std::unique_lock lock(mutex_);
        cv_.wait_for(lock, std::min<std::chrono::steady_clock::duration>(deadline - now, std::chrono::milliseconds(1)),
                     [this] { return !queue_.empty(); });
    }
}

void OwnerChannel::Close()
{
    std::lock_guard lock(mutex_);
    closed_ = true;
    for (Pending* pending : queue_) {
        if (pending->posted)
            delete pending;
        else
            pending->finished = true; // result stays nullopt: cancelled
    }
    queue_.clear();
    cv_.notify_all();
}

} // namespace platform
