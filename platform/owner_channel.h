#pragma once
// The owner channel: how a session delivers its reports (message number, wParam, lParam with
// an optional byte payload) to its owner object in the owner's thread.
//
// From the owner's thread Send() is a direct call of the handler.  From any other thread it
// blocks until the owner has served it, or until it is cancelled.  The owner serves pending
// deliveries through ServePending(): the wake-up callback (set by a UI owner to post a
// ServePending into its event loop) is called for each new delivery, and every wait on the
// owner's side (waiting for a worker to go idle, destruction) must use WaitServing(), which
// serves while it waits, so no deadlock is possible.  After Close() every Send() returns
// nullopt at once without running the handler.
//
// A handler that throws counts as served with no result (nullopt for a blocked sender); the
// exception does not leave the channel.  Without a handler a delivery is served with 0.
// The destructor waits until every blocked sender has left Send().
//
// Threads: construct, SetHandler, SetWakeup, ServePending, WaitServing and Close from the owner's
// thread (ServePending from another thread serves nothing); Send and Post from any thread.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace platform {

struct OwnerMessage
{
    uint32_t msg = 0;
    uintptr_t wparam = 0;
    intptr_t lparam = 0;
    std::vector<uint8_t> payload; // the frame or record the message carries, if any
};

class OwnerChannel
{
public:
    using Handler = std::function<intptr_t(const OwnerMessage&)>;

    OwnerChannel();
    ~OwnerChannel(); // Close()
    OwnerChannel(const OwnerChannel&) = delete;
    OwnerChannel& operator=(const OwnerChannel&) = delete;

    void SetHandler(Handler handler);
    void SetWakeup(std::function<void()> wakeup);

    std::optional<intptr_t> Send(OwnerMessage message);
    // Queues the message for the owner and returns at once; the handler's result is dropped.
    // Served in order with the Send()s by ServePending(), even from the owner's own thread.
    // False after Close().
    bool Post(OwnerMessage message);

    void ServePending();
    // Serves deliveries until done() is true or the timeout passes; returns done().
    bool WaitServing(const std::function<bool()>& done, std::chrono::milliseconds timeout);
    void Close();
    bool IsOwnerThread() const { return std::this_thread::get_id() == owner_; }

private:
    struct Pending;
    std::thread::id owner_;
    std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<Pending*> queue_;
    Handler handler_;
    std::function<void()> wakeup_;
    bool closed_ = false;
    int waiting_senders_ = 0;
};

} // namespace platform
