#include "platform/owner_channel.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>

namespace platform {
namespace {

using std::chrono::milliseconds;

OwnerMessage Report(uint32_t msg, uintptr_t wparam, std::vector<uint8_t> payload = {})
{
    OwnerMessage m;
    m.msg = msg;
    m.wparam = wparam;
    m.lparam = -1;
    m.payload = std::move(payload);
    return m;
}

// Records what the handler saw, and on which thread; touched only by the owner's thread.
struct Recorder
{
    std::vector<std::pair<uint32_t, uintptr_t>> seen;
    std::vector<std::thread::id> threads;
    OwnerChannel::Handler Handler()
    {
        return [this](const OwnerMessage& m) {
            seen.emplace_back(m.msg, m.wparam);
            threads.push_back(std::this_thread::get_id());
            return static_cast<intptr_t>(m.wparam * 2 + m.payload.size());
        };
    }
};

// Posts return at once, from any thread and from the owner's own; they are served in the order
// they were queued, interleaved with blocking sends, and the ones never served are freed on
// Close (the leak checker watches that).
TEST(OwnerChannel, PostsAreQueuedAndServedInOrder)
{
    OwnerChannel channel;
    Recorder recorder;
    channel.SetHandler(recorder.Handler());
    EXPECT_TRUE(channel.Post(Report(1, 1)));
    EXPECT_TRUE(recorder.seen.empty()); // even the owner's post waits for ServePending
    std::thread worker([&] {
        for (uintptr_t i = 2; i <= 4; ++i)
            EXPECT_TRUE(channel.Post(Report(1, i, {1, 2})));
        EXPECT_EQ(channel.Send(Report(2, 5)), 10);
    });
    ASSERT_TRUE(channel.WaitServing([&] { return recorder.seen.size() == 5; }, milliseconds(10000)));
    worker.join();
    const std::vector<std::pair<uint32_t, uintptr_t>> expected{{1, 1}, {1, 2}, {1, 3}, {1, 4}, {2, 5}};
    EXPECT_EQ(recorder.seen, expected);
    EXPECT_TRUE(channel.Post(Report(1, 6, std::vector<uint8_t>(100))));
    channel.Close();
    EXPECT_FALSE(channel.Post(Report(1, 7)));
    channel.ServePending();
    EXPECT_EQ(recorder.seen.size(), 5u);
}

TEST(OwnerChannel, FromTheOwnerThreadSendIsADirectCall)
{
    OwnerChannel channel;
    Recorder rec;
    channel.SetHandler(rec.Handler());
    int wakeups = 0;
    channel.SetWakeup([&] { ++wakeups; });
    EXPECT_TRUE(channel.IsOwnerThread());
    EXPECT_EQ(channel.Send(Report(1035, 14, {1, 2, 3, 4, 5, 6})), 34);
    ASSERT_EQ(rec.seen.size(), 1u); // ran before Send returned, without serving
    EXPECT_EQ(rec.threads[0], std::this_thread::get_id());
    EXPECT_EQ(wakeups, 0);
}

TEST(OwnerChannel, OtherThreadsAreServedInTheOwnerThread)
{
    OwnerChannel channel;
    Recorder rec;
    channel.SetHandler(rec.Handler());
    std::atomic<int> wakeups{0};
    channel.SetWakeup([&] { ++wakeups; });

    constexpr int kThreads = 3;
    constexpr int kEach = 40;
    std::atomic<int> finished{0};
    std::vector<std::vector<intptr_t>> results(kThreads);
    std::vector<std::thread> workers;
    for (int t = 0; t < kThreads; ++t)
        workers.emplace_back([&, t] {
            EXPECT_FALSE(channel.IsOwnerThread());
            for (int i = 0; i < kEach; ++i)
                results[t].push_back(channel.Send(Report(1035 + t, static_cast<uintptr_t>(i))).value_or(-1));
            ++finished;
        });
    EXPECT_TRUE(channel.WaitServing([&] { return finished == kThreads; }, milliseconds(20000)));
    for (auto& w : workers)
        w.join();

    EXPECT_EQ(rec.seen.size(), static_cast<size_t>(kThreads * kEach));
    EXPECT_EQ(wakeups, kThreads * kEach);
    for (std::thread::id id : rec.threads)
        EXPECT_EQ(id, std::this_thread::get_id());
    for (int t = 0; t < kThreads; ++t) {
        std::vector<uintptr_t> order; // each sender's reports arrive in its order
        for (const auto& [msg, wparam] : rec.seen)
            if (msg == static_cast<uint32_t>(1035 + t))
                order.push_back(wparam);
        ASSERT_EQ(order.size(), static_cast<size_t>(kEach));
        for (int i = 0; i < kEach; ++i) {
            EXPECT_EQ(order[i], static_cast<uintptr_t>(i));
            EXPECT_EQ(results[t][i], 2 * i);
        }
    }
}

TEST(OwnerChannel, ServePendingFromAWakeupLoop)
{
    // The way a UI owner works: the wake-up posts to its loop, which calls ServePending.
    OwnerChannel channel;
    Recorder rec;
    channel.SetHandler(rec.Handler());
    std::atomic<int> posted{0};
    channel.SetWakeup([&] { ++posted; });
    std::optional<intptr_t> result;
    std::thread worker([&] { result = channel.Send(Report(1037, 5)); });
    while (posted == 0)
        std::this_thread::yield();
    channel.ServePending();
    worker.join();
    EXPECT_EQ(result, 10);
    EXPECT_EQ(rec.seen.size(), 1u);
}

TEST(OwnerChannel, OwnerWaitingForABusyWorkerServesItsDelivery)
{
    OwnerChannel channel;
    Recorder rec;
    channel.SetHandler(rec.Handler());
    std::atomic<bool> idle{false};
    std::thread worker([&] {
        channel.Send(Report(1064, 1)); // a report in the middle of the worker's step
        idle = true;
    });
    EXPECT_TRUE(channel.WaitServing([&] { return idle.load(); }, milliseconds(20000)));
    worker.join();
    EXPECT_EQ(rec.seen.size(), 1u);
}

TEST(OwnerChannel, WaitServingGivesUpAtTheTimeout)
{
    OwnerChannel channel;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(channel.WaitServing([] { return false; }, milliseconds(50)));
    EXPECT_GE(std::chrono::steady_clock::now() - start, milliseconds(50));
    EXPECT_TRUE(channel.WaitServing([] { return true; }, milliseconds(-5)));
}

TEST(OwnerChannel, CloseCancelsBlockedSendersAndLaterSends)
{
    OwnerChannel channel;
    Recorder rec;
    channel.SetHandler(rec.Handler());
    std::atomic<int> queued{0};
    channel.SetWakeup([&] { ++queued; });
    std::vector<std::optional<intptr_t>> results(2, 123);
    std::vector<std::thread> workers;
    for (int t = 0; t < 2; ++t)
        workers.emplace_back([&, t] { results[t] = channel.Send(Report(1035, 10)); });
    while (queued < 2)
        std::this_thread::yield();
    channel.Close();
    for (auto& w : workers)
        w.join();
    EXPECT_EQ(results, (std::vector<std::optional<intptr_t>>{std::nullopt, std::nullopt}));

    std::optional<intptr_t> late = 1;
    std::thread after([&] { late = channel.Send(Report(1035, 11)); });
    after.join();
    EXPECT_EQ(late, std::nullopt);
    EXPECT_EQ(channel.Send(Report(1035, 12)), std::nullopt); // the owner's own too
    channel.ServePending();
    EXPECT_TRUE(rec.seen.empty());
}

TEST(OwnerChannel, DestructionReleasesABlockedSender)
{
    auto channel = std::make_unique<OwnerChannel>();
    std::atomic<bool> queued{false};
    channel->SetHandler([](const OwnerMessage&) -> intptr_t { ADD_FAILURE() << "ran after destruction began"; return 0; });
    channel->SetWakeup([&] { queued = true; });
    std::optional<intptr_t> result = 5;
    std::thread worker([&] { result = channel->Send(Report(1035, 14)); });
    while (!queued)
        std::this_thread::yield();
    channel.reset();
    worker.join();
    EXPECT_EQ(result, std::nullopt);
}

TEST(OwnerChannel, AThrowingHandlerDoesNotEscape)
{
    OwnerChannel channel;
    channel.SetHandler([](const OwnerMessage& m) -> intptr_t {
        if (m.wparam == 20)
            throw std::runtime_error("handler failed");
        return 1;
    });
    EXPECT_EQ(channel.Send(Report(1035, 20)), std::nullopt);
    std::optional<intptr_t> a = 9, b = 9;
    std::atomic<bool> done{false};
    std::thread worker([&] {
        a = channel.Send(Report(1035, 20));
        b = channel.Send(Report(1035, 21));
        done = true;
    });
    EXPECT_TRUE(channel.WaitServing([&] { return done.load(); }, milliseconds(20000)));
    worker.join();
    EXPECT_EQ(a, std::nullopt);
    EXPECT_EQ(b, 1);
}

TEST(OwnerChannel, WithoutAHandlerDeliveriesAreServedWithZero)
{
    OwnerChannel channel;
    std::optional<intptr_t> r;
    std::atomic<bool> done{false};
    std::thread worker([&] {
        r = channel.Send(Report(1, 1));
        done = true;
    });
    EXPECT_TRUE(channel.WaitServing([&] { return done.load(); }, milliseconds(20000)));
    worker.join();
    EXPECT_EQ(r, 0);
}

} // namespace
} // namespace platform
