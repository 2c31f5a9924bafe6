// Owner messages: dispatch into the events, the owner's own messages, threads and destruction.

#include "session_fixture.h"

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>

namespace {

platform::OwnerMessage Message(uint32_t msg, uintptr_t wparam, Bytes payload = {})
{
    platform::OwnerMessage m;
    m.msg = msg;
    m.wparam = wparam;
    m.payload = std::move(payload);
    return m;
}

void PutLe32(Bytes& p, size_t at, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        p.at(at + static_cast<size_t>(i)) = static_cast<uint8_t>(v >> (8 * i));
}

} // namespace

class MessagesTest : public SessionTest
{
protected:
    void SetUp() override
    {
        SessionTest::SetUp();
        MakeSession();
        S().OnLostDevice = [this](uint8_t a) { log_.push_back("lost " + std::to_string(a)); };
        S().OnNewDevice = [this](uint8_t a) { log_.push_back("new " + std::to_string(a)); };
        S().OnFalseDevice = [this](uint8_t a) { log_.push_back("false " + std::to_string(a)); };
        S().OnNewEvent = [this](const Bytes& e) { log_.push_back("event " + Hex(e)); };
    }
    TRSSession& S() { return *session_; }
    std::vector<std::string> log_;
};

TEST_F(MessagesTest, ReportsBecomeEvents)
{
    struct Case
    {
        uintptr_t code;
        Bytes payload;
        const char* expected; // nullptr: no event
    };
    const Case cases[] = {
        {kReportDeviceLost, {5, 6, 0}, "lost 5"},
        {kReportDeviceFound, {6}, "new 6"},
        {kReportFalseDevice, {7, 1}, "false 7"},
        {kReportEventAnswer, {1, 6, 4, 0, 0, 9}, "event 01 06 04 00 00 09"},
        {kReportEventAnswer, {1, 5, 4, 0, 9}, nullptr},
        {kReportDeviceLost, {}, nullptr},
        {kReportZoneMark, {1, 2, 3, 4, 5, 6}, nullptr},
    };
    for (const Case& c : cases) {
        log_.clear();
        EXPECT_EQ(owner_.Send(Message(kMsgSessionReport, c.code, c.payload)), 0);
        if (c.expected) {
            EXPECT_EQ(log_, std::vector<std::string>{c.expected}) << c.code;
        } else {
            EXPECT_TRUE(log_.empty()) << c.code;
        }
    }
}

TEST_F(MessagesTest, RecordsAreReadOnlyWhenWhole)
{
    std::vector<int32_t> seen;
    S().OnNewTypeEventADC = [&](uint8_t dev, uint8_t shl, int32_t type, int32_t typeShl) {
        seen = {dev, shl, type, typeShl};
    };
    Bytes record(12);
    PutLe32(record, 0, 0x00000A05);
    PutLe32(record, 4, 44);
    PutLe32(record, 8, -3);
    owner_.Send(Message(kMsgSessionReport, kReportAnalogEventType, record));
    EXPECT_EQ(seen, (std::vector<int32_t>{5, 10, 44, -3}));

    seen.clear();
    record.pop_back();
    owner_.Send(Message(kMsgSessionReport, kReportAnalogEventType, record));
    EXPECT_TRUE(seen.empty()) << "a short record is dropped";

    std::vector<int64_t> progress;
    S().OnProgressSearchDevice = [&](int64_t a, int32_t type, int32_t version, int32_t state,
                                     int32_t pos) {
        progress = {a, type, version, state, pos};
    };
    Bytes p(24);
    PutLe32(p, 0, 17);
    PutLe32(p, 8, 2);
    PutLe32(p, 12, 10);
    PutLe32(p, 16, 0x217);
    PutLe32(p, 20, 40);
    owner_.Send(Message(kMsgSearchProgress, 0, p));
    EXPECT_EQ(progress, (std::vector<int64_t>{17, 10, 0x217, 2, 40}));

    Bytes adc(272, 0);
    adc[0] = 3;
    adc[1] = 'a';
    adc[2] = 'b';
    adc[3] = 'c';
    adc[256] = 4;
    adc[257] = 5;
    PutLe32(adc, 260, 6);
    PutLe32(adc, 268, 7);
    std::string text;
    int numEvent = 0, lData = 0;
    S().OnNewADC = [&](const Bytes& e, uint8_t n, uint8_t, int32_t, const Bytes&, int32_t l) {
        text.assign(e.begin(), e.end());
        numEvent = n;
        lData = l;
    };
    owner_.Send(Message(kMsgSessionReport, kReportAnalogValue, adc));
    EXPECT_EQ(text, "abc");
    EXPECT_EQ(numEvent, 4);
    EXPECT_EQ(lData, 7);
}

TEST_F(MessagesTest, FailingHandlerDoesNotReachTheSender)
{
    S().OnNewDevice = [](uint8_t) { throw std::runtime_error("handler failed"); };
    EXPECT_EQ(owner_.Send(Message(kMsgSessionReport, kReportDeviceFound, {3})), 0);
    bool statistics = false;
    S().OnStatisticAnswer = [&](const std::vector<int32_t>&, int32_t) { statistics = true; };
    owner_.Send(Message(kMsgStatistics, kStatisticsAnswer));
    EXPECT_TRUE(statistics);
}

TEST_F(SessionTest, OtherMessagesReachTheOwnersHandlerBeforeAndAfterTheSession)
{
    std::vector<uint32_t> own;
    platform::OwnerChannel::Handler ownHandler = [&](const platform::OwnerMessage& m) -> intptr_t {
        own.push_back(m.msg);
        return 77;
    };
    owner_.SetHandler(ownHandler);
    TRSSession::Collaborators c = Collaborators(&owner_);
    c.ownerHandler = ownHandler;
    {
        TRSSession s(std::move(c));
        EXPECT_EQ(owner_.Send(Message(5000, 1)), 77);
        EXPECT_EQ(owner_.Send(Message(kMsgSessionReport, kReportDeviceFound, {1})), 0);
        EXPECT_EQ(own, std::vector<uint32_t>{5000});
    }
    // The session handed the channel back to the owner's own handler.
    EXPECT_EQ(owner_.Send(Message(kMsgSessionReport, kReportDeviceFound, {1})), 77);
}

TEST_F(SessionTest, EachSessionDispatchesItsOwnMessages)
{
    platform::OwnerChannel second;
    TRSSession& first = MakeSession();
    TRSSession other(Collaborators(&second)); // constructed last
    int firstSeen = 0, otherSeen = 0;
    first.OnNewDevice = [&](uint8_t) { ++firstSeen; };
    other.OnNewDevice = [&](uint8_t) { ++otherSeen; };
    owner_.Send(Message(kMsgSessionReport, kReportDeviceFound, {1}));
    EXPECT_EQ(firstSeen, 1);
    EXPECT_EQ(otherSeen, 0);
    second.Send(Message(kMsgSessionReport, kReportDeviceFound, {1}));
    EXPECT_EQ(otherSeen, 1);
}

TEST_F(MessagesTest, DeliveryFromAnotherThreadRunsInTheOwnersThread)
{
    std::thread::id handlerThread;
    S().OnNewDevice = [&](uint8_t) { handlerThread = std::this_thread::get_id(); };
    std::atomic<bool> delivered{false};
    std::thread worker([&] {
        owner_.Send(Message(kMsgSessionReport, kReportDeviceFound, {9}));
        delivered = true;
    });
    EXPECT_TRUE(owner_.WaitServing([&] { return delivered.load(); }, std::chrono::seconds(10)));
    worker.join();
    EXPECT_EQ(handlerThread, std::this_thread::get_id());
}

TEST_F(MessagesTest, DestructionWithADeliveryInFlightDoesNotHang)
{
    std::atomic<bool> started{false};
    std::optional<intptr_t> result;
    std::thread worker([&] {
        started = true;
        result = owner_.Send(Message(kMsgSessionReport, kReportDeviceFound, {9}));
    });
    while (!started)
        std::this_thread::yield();
    S().SetWork(true); // the polling thread runs too
    session_.reset();
    owner_.Close(); // nobody serves the owner any more
    worker.join();
    SUCCEED();
}

TEST_F(MessagesTest, WorkOnAndOffAroundCommandsThenDestruction)
{
    S().SetWork(true);
    EXPECT_TRUE(S().Work());
    line_->responder = [](const Bytes& f) { return MakeAnswer({f[0], 0, 44, 1, 2}); };
    EXPECT_TRUE(S().SendCommand({1, 6, 0, 13, 0, 0}, true, false, 0, 0));
    EXPECT_TRUE(S().Work()) << "restored after the command";
    S().SetWork(false);
    S().SetWork(true);
    session_.reset();
}
