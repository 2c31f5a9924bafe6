#include "config_tool/device/key_reader.h"

#include "fake_channel.h"

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
    ASSERT_TRUE(reader.Start(N, 2));
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
    ASSERT_TRUE(reader.Start(N, 1));
    EXPECT_EQ(reader.DrainReads(), 6);
    EXPECT_EQ(Count(0x01), 6);
    EXPECT_EQ(Count(0x2B), 0) << "drained events carry no confirmation of their code";
}

TEST_F(KeyReaderTest, DrainIsBounded)
{
    channel.SetResponder([](const Frame&) { return kPlainEvent; });
    EXPECT_FALSE(reader.Start(N, 1));
    EXPECT_FALSE(reader.Active());
    EXPECT_EQ(Count(0x01), kMaxDrainReads);
}

TEST_F(KeyReaderTest, DrainEndsOnAnAnswerThatIsNoEvent)
{
    log.answers = {kPlainEvent, WithCrc({N, 0x05, 0x0A, 0x00, 0x00}), WithCrc({N, 0x05, 0x0A, 0x00, 0x00})};
    ASSERT_TRUE(reader.Start(N, 1));
    EXPECT_EQ(reader.DrainReads(), 2);
    EXPECT_EQ(reader.PollStep(), KeyPollResult::EndNoCode);
    EXPECT_FALSE(reader.Active());
}

TEST_F(KeyReaderTest, NoAnswerEndsTheDrainOrThePoll)
{
    log.answers = {kPlainEvent, {}};
    EXPECT_FALSE(reader.Start(N, 1));
    EXPECT_FALSE(reader.Active());

    log.answers = {kEmptyLog, {}};
    ASSERT_TRUE(reader.Start(N, 1));
    EXPECT_EQ(reader.PollStep(), KeyPollResult::NoAnswer);
    EXPECT_FALSE(reader.Active()) << "cleared before the message is shown";
    EXPECT_EQ(reader.PollStep(), KeyPollResult::Stopped);
}

TEST_F(KeyReaderTest, ExceptionCountsAsNoAnswer)
{
    ASSERT_TRUE(reader.Start(N, 1));
    channel.throw_at = static_cast<int>(channel.requests.size());
    EXPECT_EQ(reader.PollStep(), KeyPollResult::NoAnswer);
}

TEST_F(KeyReaderTest, ChannelThatCannotBeSetUpCountsAsNoAnswer)
{
    channel.throw_on_setup = true;
    EXPECT_FALSE(reader.Start(N, 1));
    EXPECT_FALSE(reader.Active());
    EXPECT_TRUE(channel.requests.empty());
}

TEST_F(KeyReaderTest, StopEndsPolling)
{
    ASSERT_TRUE(reader.Start(N, 1));
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
    ASSERT_TRUE(reader.Start(N, 1));
    log.answers = {kPlainEvent, WithCrc({N, 0x0D, 0x04, 22, 0x6B, 0x01, 2, 3, 4, 5, 6, 7, 0x88})};
    EXPECT_EQ(reader.PollStep(), KeyPollResult::KeepPolling);
    EXPECT_EQ(reader.PollStep(), KeyPollResult::CodeFound);
    EXPECT_EQ(reader.Code(), (KeyCode{0x01, 2, 3, 4, 5, 6, 7, 0x88}));
    EXPECT_EQ(channel.requests.back(), (Frame{N, 0x06, 0x00, 0x2B, 0x03, 0x6B}));
    EXPECT_FALSE(reader.Active());
}

} // namespace
} // namespace device
