#include "config_tool/device/key_reader.h"

#include "fake_channel.h"

#ifdef VENDAXO_TEST_WITH_SIM
#include "sim/bus.h"
#endif

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <deque>

namespace device {
namespace {

using testing::FakeChannel;
using testing::WithCrc;

constexpr uint8_t N = 9;

const Frame kEmptyLog = WithCrc({N, 0x05, 0x02, 0x00, 0x00});
const Frame kPlainEvent = WithCrc({N, 0x07, 0x04, 0x01, 0x11, 0x00, 0x00});

// Answers event reads from a queue; once it runs dry the log stays empty.
struct EventLog
{
    std::deque<Frame> answers;
    Frame Answer(const Frame& r)
    {
        if (r.at(3) != 0x01)
            return WithCrc({N, 0x05, 0x2C, 0x00, 0x00});
        if (answers.empty())
            return kEmptyLog;
        Frame f = answers.front();
        answers.pop_front();
        return f;
    }
};

struct KeyReaderTest : ::testing::Test
{
    KeyReaderTest() : channel([this](const Frame& r) { return log.Answer(r); }) {}

    int Count(uint8_t command) const
    {
        return static_cast<int>(std::count_if(channel.requests.begin(), channel.requests.end(),
                                              [&](const Frame& r) { return r.at(3) == command; }));
    }

    EventLog log;
    FakeChannel channel;
    KeyCodeReader reader{channel};
};

TEST_F(KeyReaderTest, EmptyLogStartsPollingAtOnce)
{
    ASSERT_EQ(reader.Start(N, 2), KeyStartResult::Polling);
    EXPECT_TRUE(reader.Active());
    EXPECT_EQ(reader.DrainReads(), 1);
    EXPECT_EQ(channel.requests.at(0), (Frame{N, 0x06, 0x00, 0x01, 0x00, 0x01}));
    EXPECT_EQ(channel.ports, std::vector<int>{2});
    EXPECT_EQ(channel.retry_counts, std::vector<int>{6});
    EXPECT_EQ(reader.PollStep(), KeyPollResult::KeepPolling);
    EXPECT_TRUE(reader.Active());
}

TEST_F(KeyReaderTest, DrainReadsUntilTheLogIsEmpty)
{
    // The session acknowledges each event answer itself; the reader only reads again.
    for (int i = 0; i < 4; ++i)
        log.answers.push_back(kPlainEvent);
    log.answers.push_back(WithCrc({N, 0x0D, 0x0E, 14, 0x05, 1, 2, 3, 4, 5, 6, 7, 8}));
    ASSERT_EQ(reader.Start(N, 1), KeyStartResult::Polling);
    EXPECT_EQ(reader.DrainReads(), 6);
    EXPECT_EQ(Count(0x01), 6);
    EXPECT_EQ(Count(0x2B), 0) << "drained events carry no confirmation of their code";
}

// Event number n, as a unit numbers its events.
Frame NumberedEvent(int n)
{
    return WithCrc({N, 0x08, 0x04, 16, uint8_t(n & 0xFF), uint8_t(n >> 8), 0x00, 0x00});
}

TEST_F(KeyReaderTest, DrainEndsOnlyOnTheEmptyLogOrWhenTheUnitMakesNoProgress)
{
    struct Case
    {
        const char* name;
        std::function<Frame(int read)> answer; // read counts from 1
        KeyStartResult result;
        int reads;
    };
    auto same_then_empty = [](int same) {
        return [same](int read) { return read <= same ? kPlainEvent : kEmptyLog; };
    };
    const Case cases[] = {
        {"like events one short of the limit", same_then_empty(kDrainSameAnswers - 1),
         KeyStartResult::Polling, kDrainSameAnswers},
        {"a run of like events broken by another one",
         [](int read) {
             if (read == kDrainSameAnswers)
                 return NumberedEvent(1);
             return read < 2 * kDrainSameAnswers ? kPlainEvent : kEmptyLog;
         },
         KeyStartResult::Polling, 2 * kDrainSameAnswers},
        {"the same event whatever the acknowledgement", [](int) { return kPlainEvent; },
         KeyStartResult::LogNotEmptied, kDrainSameAnswers},
        {"new events without end", [](int read) { return NumberedEvent(read); },
         KeyStartResult::LogNotEmptied, kMaxDrainReads},
        {"a full log, every event of it twice",
         [](int read) {
             return read <= 2 * kUnitLogEvents ? NumberedEvent((read + 1) / 2) : kEmptyLog;
         },
         KeyStartResult::Polling, kMaxDrainReads},
        {"one event more than a full log and its repeats",
         [](int read) { return read <= 2 * kUnitLogEvents + 1 ? NumberedEvent(read) : kEmptyLog; },
         KeyStartResult::LogNotEmptied, kMaxDrainReads},
        {"a stuck event whose other bytes change",
         [](int read) {
             return WithCrc({N, 0x08, 0x04, 16, 0x07, uint8_t(read), 0x00, 0x00});
         },
         KeyStartResult::LogNotEmptied, kDrainSameAnswers},
        {"a stuck answer-12 event whose other bytes change",
         [](int read) {
             return WithCrc({N, 0x0E, 0x0C, 16, 0x07, uint8_t(read), 0, 1, 2, 3, 4, 5, 6, 7});
         },
         KeyStartResult::LogNotEmptied, kDrainSameAnswers},
        {"like answer-12 events told apart by their time",
         [](int read) {
             return read <= 2 * kDrainSameAnswers
                        ? WithCrc({N, 0x0E, 0x0C, 16, 0x07, 0, 0, 1, 2, 3, 4, uint8_t(read), 6, 7})
                        : kEmptyLog;
         },
         KeyStartResult::Polling, 2 * kDrainSameAnswers + 1},
        {"no answer after some events",
         [](int read) { return read < 40 ? NumberedEvent(read) : Frame{}; },
         KeyStartResult::NoAnswer, 40},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeChannel ch([&c, read = 0](const Frame&) mutable { return c.answer(++read); });
        KeyCodeReader r(ch);
        EXPECT_EQ(r.Start(N, 1), c.result);
        EXPECT_EQ(r.Active(), c.result == KeyStartResult::Polling);
        EXPECT_EQ(static_cast<int>(ch.requests.size()), c.reads);
        EXPECT_EQ(r.DrainReads(), c.reads);
    }
}

#ifdef VENDAXO_TEST_WITH_SIM
// A simulated unit behind the channel, acknowledged the way the session does it: every event
// answer is followed by the acknowledgement, on which the unit drops the event.
class AcknowledgedUnit : public CommandChannel
{
public:
    explicit AcknowledgedUnit(sim::Bus& bus) : bus_(bus) {}
    void SetComPort(int) override {}
    void ReadRegistrySettings() override {}
    void SetRetryCount(int) override {}
    Frame Exchange(const Frame& request) override
    {
        ++reads;
        Frame answer = Send(request);
        if (answer.size() > 3 && (answer[2] == 0x04 || answer[2] == 0x0C || answer[2] == 0x0E) &&
            !(loseEvery > 0 && ++acks % loseEvery == 0))
            Send({answer[0], 0x06, 0x00, 0x03, 0x00, 0x01});
        return answer;
    }
    int reads = 0;
    int loseEvery = 0; // every n-th acknowledgement is lost on the line (0: none)
    int acks = 0;

private:
    Frame Send(const Frame& request)
    {
        now_us_ += 1'000'000; // well after the last answer: nothing stale waits
        const sim::LineActivity activity = bus_.Receive(sim::WithCrc(request), now_us_);
        return activity.answers.empty() ? Frame{} : activity.answers.front().bytes;
    }
    sim::Bus& bus_;
    int64_t now_us_ = 0;
};

TEST(KeyReaderOnASimulatedUnit, FullEventLogIsDrainedToItsEnd)
{
    sim::Bus bus;
    ASSERT_TRUE(bus.AddUnit(N, 44, 223));
    for (std::size_t n = 1; n <= sim::kMaxEvents + 1; ++n)
        ASSERT_TRUE(bus.QueueEvent(N, {0x04, 16, uint8_t(n & 0xFF), uint8_t(n >> 8), 0x00, 0x00}));
    ASSERT_EQ(bus.EventCount(N), sim::kMaxEvents) << "the log is full";

    AcknowledgedUnit unit(bus);
    KeyCodeReader reader(unit);
    EXPECT_EQ(reader.Start(N, 1), KeyStartResult::Polling);
    EXPECT_EQ(reader.DrainReads(), static_cast<int>(sim::kMaxEvents) + 1);
    EXPECT_EQ(unit.reads, static_cast<int>(sim::kMaxEvents) + 1);
    EXPECT_EQ(bus.EventCount(N), 0u);
    EXPECT_TRUE(reader.Active());
}

// Lost acknowledgements bring their events again; a full log still fits the drain's bound.
TEST(KeyReaderOnASimulatedUnit, FullLogWithLostAcknowledgementsIsDrained)
{
    sim::Bus bus;
    ASSERT_TRUE(bus.AddUnit(N, 44, 223));
    for (std::size_t n = 1; n <= sim::kMaxEvents; ++n)
        ASSERT_TRUE(bus.QueueEvent(N, {0x04, 16, uint8_t(n & 0xFF), uint8_t(n >> 8), 0x00, 0x00}));
    AcknowledgedUnit unit(bus);
    unit.loseEvery = 3;
    KeyCodeReader reader(unit);
    EXPECT_EQ(reader.Start(N, 1), KeyStartResult::Polling);
    EXPECT_GT(reader.DrainReads(), static_cast<int>(sim::kMaxEvents) + 1);
    EXPECT_EQ(bus.EventCount(N), 0u);
    static_assert(kUnitLogEvents == static_cast<int>(sim::kMaxEvents));
}

// A unit whose log never empties ends the drain at its bound, every read acknowledged.
TEST(KeyReaderOnASimulatedUnit, EndlessEventsEndAtTheBound)
{
    sim::Bus bus;
    ASSERT_TRUE(bus.AddUnit(N, 44, 223));
    ASSERT_TRUE(bus.SetEndlessEvents(N, true));
    AcknowledgedUnit unit(bus);
    KeyCodeReader reader(unit);
    EXPECT_EQ(reader.Start(N, 1), KeyStartResult::LogNotEmptied);
    EXPECT_EQ(reader.DrainReads(), kMaxDrainReads);
    EXPECT_EQ(unit.reads, kMaxDrainReads);
    EXPECT_EQ(bus.EndlessEventsMade(N), static_cast<std::size_t>(kMaxDrainReads));
    EXPECT_FALSE(reader.Active());
}
#endif

// The drain reads past exactly the answers the session acknowledges (4, 12, 14): those leave
// the log on a read.  Any other answer is left to polling.
TEST_F(KeyReaderTest, DrainReadsPastTheAcknowledgedAnswersOnly)
{
    struct Case
    {
        uint8_t command;
        int reads;
    };
    for (const Case c :
         {Case{0x04, 3}, Case{0x0C, 3}, Case{0x0E, 3}, Case{0x06, 1}, Case{0x0A, 1}}) {
        SCOPED_TRACE(int{c.command});
        EventLog events;
        events.answers = {WithCrc({N, 0x0E, c.command, 16, 0x01, 0, 0, 1, 2, 3, 4, 5, 6, 7}),
                          WithCrc({N, 0x0E, c.command, 16, 0x02, 0, 0, 1, 2, 3, 4, 5, 6, 7})};
        FakeChannel ch([&events](const Frame& r) { return events.Answer(r); });
        KeyCodeReader r(ch);
        EXPECT_EQ(r.Start(N, 1), KeyStartResult::Polling);
        EXPECT_EQ(r.DrainReads(), c.reads);
    }
}

// The observer runs after every read that did not end the drain, and can stop it.
TEST_F(KeyReaderTest, DrainObserverSeesEveryReadAndMayStopIt)
{
    struct Observer : DrainObserver
    {
        std::vector<int> seen;
        int stopAt = 0;
        bool EventRead(int reads) override
        {
            seen.push_back(reads);
            return reads != stopAt;
        }
    };
    for (int i = 0; i < 3; ++i)
        log.answers.push_back(NumberedEvent(i + 1));
    Observer all;
    ASSERT_EQ(reader.Start(N, 1, &all), KeyStartResult::Polling);
    EXPECT_EQ(all.seen, (std::vector<int>{1, 2, 3})) << "not after the empty-log read";

    for (int i = 0; i < 5; ++i)
        log.answers.push_back(NumberedEvent(i + 1));
    Observer stopping;
    stopping.stopAt = 2;
    EXPECT_EQ(reader.Start(N, 1, &stopping), KeyStartResult::Stopped);
    EXPECT_FALSE(reader.Active());
    EXPECT_EQ(stopping.seen, (std::vector<int>{1, 2}));
    EXPECT_EQ(reader.PollStep(), KeyPollResult::Stopped);
}

TEST_F(KeyReaderTest, DrainEndsOnAnAnswerThatIsNoEvent)
{
    log.answers = {kPlainEvent, WithCrc({N, 0x05, 0x0A, 0x00, 0x00}), WithCrc({N, 0x05, 0x0A, 0x00, 0x00})};
    ASSERT_EQ(reader.Start(N, 1), KeyStartResult::Polling);
    EXPECT_EQ(reader.DrainReads(), 2);
    EXPECT_EQ(reader.PollStep(), KeyPollResult::EndNoCode);
    EXPECT_FALSE(reader.Active());
}

TEST_F(KeyReaderTest, NoAnswerEndsTheDrainOrThePoll)
{
    log.answers = {kPlainEvent, {}};
    EXPECT_EQ(reader.Start(N, 1), KeyStartResult::NoAnswer);
    EXPECT_FALSE(reader.Active());

    log.answers = {kEmptyLog, {}};
    ASSERT_EQ(reader.Start(N, 1), KeyStartResult::Polling);
    EXPECT_EQ(reader.PollStep(), KeyPollResult::NoAnswer);
    EXPECT_FALSE(reader.Active()) << "cleared before the message is shown";
    EXPECT_EQ(reader.PollStep(), KeyPollResult::Stopped);
}

TEST_F(KeyReaderTest, ExceptionCountsAsNoAnswer)
{
    ASSERT_EQ(reader.Start(N, 1), KeyStartResult::Polling);
    channel.throw_at = static_cast<int>(channel.requests.size());
    EXPECT_EQ(reader.PollStep(), KeyPollResult::NoAnswer);
}

TEST_F(KeyReaderTest, ChannelThatCannotBeSetUpCountsAsNoAnswer)
{
    channel.throw_on_setup = true;
    EXPECT_EQ(reader.Start(N, 1), KeyStartResult::NoAnswer);
    EXPECT_FALSE(reader.Active());
    EXPECT_TRUE(channel.requests.empty());
}

TEST_F(KeyReaderTest, StopEndsPolling)
{
    ASSERT_EQ(reader.Start(N, 1), KeyStartResult::Polling);
    reader.Stop();
    const auto sent = channel.requests.size();
    EXPECT_EQ(reader.PollStep(), KeyPollResult::Stopped);
    EXPECT_EQ(channel.requests.size(), sent);
}

Frame Event(uint8_t command, uint8_t event, uint8_t l, std::size_t length)
{
    Frame f{N, l, command, event};
    for (std::size_t i = 4; i + 1 < length; ++i)
        f.push_back(static_cast<uint8_t>(0x30 + i));
    return WithCrc(f);
}

TEST(KeyCodeFromEvent, EventForms)
{
    struct Case
    {
        const char* name;
        Frame answer;
        int first; // first code byte, -1 = no code
    };
    const Case cases[] = {
        {"04/22 L13", Event(0x04, 22, 13, 14), 5},
        {"04/17 L13", Event(0x04, 17, 13, 14), 5},
        {"04/109 L13", Event(0x04, 109, 13, 14), 5},
        {"04/22 L16 is ignored", Event(0x04, 22, 16, 17), -1},
        {"04/25 L16", Event(0x04, 25, 16, 17), 6},
        {"04/219 L22", Event(0x04, 219, 22, 23), 6},
        {"04/84 L13 is ignored", Event(0x04, 84, 13, 14), -1},
        {"0E/11 L15", Event(0x0E, 11, 15, 16), 7},
        {"0E/13 L16", Event(0x0E, 13, 16, 17), 7},
        {"0E/12 L14 is ignored", Event(0x0E, 12, 14, 15), -1},
        {"0E/14 any L", Event(0x0E, 14, 13, 14), 6},
        {"0E/14 too short", Event(0x0E, 14, 12, 13), -1},
        {"04/18 no code", Event(0x04, 18, 13, 14), -1},
        {"0C/22 no code", Event(0x0C, 22, 13, 14), -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        KeyCode code{};
        ASSERT_EQ(CodeFromEvent(c.answer, code), c.first >= 0);
        if (c.first >= 0) {
            EXPECT_TRUE(std::equal(code.begin(), code.end(), c.answer.begin() + c.first));
        }
    }
}

TEST_F(KeyReaderTest, CodeFoundIsConfirmedWithByteFour)
{
    ASSERT_EQ(reader.Start(N, 1), KeyStartResult::Polling);
    log.answers = {kPlainEvent, WithCrc({N, 0x0D, 0x04, 22, 0x6B, 0x01, 2, 3, 4, 5, 6, 7, 0x88})};
    EXPECT_EQ(reader.PollStep(), KeyPollResult::KeepPolling);
    EXPECT_EQ(reader.PollStep(), KeyPollResult::CodeFound);
    EXPECT_EQ(reader.Code(), (KeyCode{0x01, 2, 3, 4, 5, 6, 7, 0x88}));
    EXPECT_EQ(channel.requests.back(), (Frame{N, 0x06, 0x00, 0x2B, 0x03, 0x6B}));
    EXPECT_FALSE(reader.Active());
}

} // namespace
} // namespace device
