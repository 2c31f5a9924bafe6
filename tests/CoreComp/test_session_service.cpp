// Driver-service mode: the poll through the service's "Obmen" method, its statistics, the
// bad-line report and the loss rule of that mode.

#include "session_fixture.h"

#include "platform/bus_driver.h"
#include "platform/named_mutex.h"
#include "platform/text1251.h"

#include <algorithm>
#include <chrono>
#include <fstream>
#include <mutex>
#include <set>
#include <sstream>

namespace {

using namespace std::chrono_literals;

// The service's exchange object: it answers the poll of a unit that is listed as answering
// with "nothing new" (command 2), and records the address of every poll it is asked for.
struct ServiceLine
{
    std::mutex m;
    std::set<uint8_t> answering;
    std::vector<int> polled; // the address byte of each poll through "Obmen"
    size_t Polls()
    {
        std::lock_guard g(m);
        return polled.size();
    }
};

class FakeService : public platform::AutomationObject
{
public:
    explicit FakeService(std::shared_ptr<ServiceLine> line) : line_(std::move(line)) {}
    bool Call(const std::string& method, const std::string& argument, std::string& result) override
    {
        result.clear();
        std::istringstream in(argument);
        std::vector<int> frame;
        for (int b = 0; in >> b;)
            frame.push_back(b);
        if (method != "Obmen" || frame.size() < 4 || frame[3] != 1)
            return true;
        std::lock_guard g(line_->m);
        line_->polled.push_back(frame[0]);
        const auto a = static_cast<uint8_t>(frame[0] & 0x7F);
        if (line_->answering.count(a) != 0) {
            for (uint8_t b : MakeAnswer({a, 2, 0, 0}))
                result += (result.empty() ? "" : " ") + std::to_string(b);
        }
        return true;
    }

private:
    std::shared_ptr<ServiceLine> line_;
};

} // namespace

class ServiceTest : public SessionTest
{
protected:
    // A session in service mode whose unit 5 is polled with weight 1.
    TRSSession& Start(uint8_t searchPriority = 0)
    {
        bool existed = false;
        if (!dravon_)
            dravon_ = platform::NamedMutex::Create("DRAVON", existed);
        TRSSession::Collaborators c = Collaborators(&owner_);
        c.automation = [line = service_](const std::string&) {
            return std::make_unique<FakeService>(line);
        };
        session_ = std::make_unique<TRSSession>(std::move(c));
        TRSSession& s = *session_;
        EXPECT_TRUE(s.ServiceMode());
        s.SetSearchEnabled(false);
        s.SetSearchPriority(searchPriority);
        s.SetPollWeight(5, 1);
        s.SetAbsent(5, false);
        s.BuildPollSchedule();
        s.OnLostDevice = [this](uint8_t a) { lost_.push_back(a); };
        s.OnRSDeviceBadLoopProc = [this](uint8_t a, uint8_t form, const Bytes&) {
            badLine_.push_back({a, form, session_->Statistics(5).requests});
        };
        return s;
    }
    // One slot of the service pass, as the polling thread makes it.
    void Step(bool answers)
    {
        {
            std::lock_guard g(service_->m);
            if (answers)
                service_->answering.insert(5);
            else
                service_->answering.erase(5);
        }
        TRSSession& s = *session_;
        const uint8_t a = s.NextScheduledAddress();
        s.ServiceExchange({a, 6, 0, 1, 0, 1}, true);
        s.HandleServiceEventAnswer();
    }

    std::shared_ptr<ServiceLine> service_ = std::make_shared<ServiceLine>();
    std::unique_ptr<platform::NamedMutex> dravon_;
    std::vector<uint8_t> lost_;
    struct BadLine
    {
        uint8_t address, form;
        uint32_t requests;
        bool operator==(const BadLine&) const = default;
    };
    std::vector<BadLine> badLine_;
};

TEST_F(ServiceTest, TheSearchSlotIsNeverPolledThroughTheService)
{
    runPasses_ = true;
    TRSSession& s = Start(1); // the schedule: unit 5 and the search slot
    const SessionEnd end = EndSessionFirst();
    {
        std::lock_guard g(service_->m);
        service_->answering.insert(5);
    }
    const std::vector<uint8_t> slots = s.PollSchedule();
    ASSERT_EQ(slots.size(), 2u);
    ASSERT_EQ(std::count(slots.begin(), slots.end(), 128), 1);
    s.SetWork(true);
    ASSERT_TRUE(owner_.WaitServing([&] { return service_->Polls() >= 6; }, 60s));
    s.SetWork(false);
    std::lock_guard g(service_->m);
    EXPECT_EQ(std::set<int>(service_->polled.begin(), service_->polled.end()), std::set<int>{5});
}

TEST_F(ServiceTest, MissedPollsAreLoggedCountedAndReportedAsABadLine)
{
    SetDword("LogCommand", 1);
    TRSSession& s = Start();
    s.SetBadLineThreshold(11);
    s.SetWork(true);
    ASSERT_TRUE(s.Work());
    // Two answers, two misses, over and over: half the polls missed, the ratio rising at every
    // second miss.
    int misses = 0;
    for (int i = 0; i < 200; ++i) {
        const bool answers = i % 4 < 2;
        misses += answers ? 0 : 1;
        Step(answers);
    }
    EXPECT_EQ(s.Statistics(5).requests, 200u);
    EXPECT_EQ(s.Statistics(5).noAnswers, 100u);
    EXPECT_EQ(s.PollCounters().missingAnswers, 100u);
    // The first rising miss after the 100th request; then none within 30 seconds.
    EXPECT_EQ(badLine_, (std::vector<BadLine>{{5, 1, 104}}));
    clock_.AdvanceMilliseconds(30001);
    for (int i = 200; i < 208; ++i)
        Step(i % 4 < 2);
    EXPECT_EQ(badLine_.size(), 2u) << "again after 30 seconds";
    EXPECT_TRUE(lost_.empty());
    s.SetWork(false);

    std::ifstream in(LogFile("LogCommand1.txt"), std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    const std::string log = platform::Cp1251ToUtf8(text.str());
    const std::string line = "нет ответа на запрос н.событий 5";
    size_t logged = 0;
    for (size_t at = log.find(line); at != std::string::npos; at = log.find(line, at + 1))
        ++logged;
    EXPECT_EQ(logged, static_cast<size_t>(misses) + 4);
}

TEST_F(ServiceTest, AUnitIsLostAfterItsShareOfMissesAndMoreThanFiveSecondsOfSilence)
{
    struct Case
    {
        int quickMisses;  // missed polls soon after the last answer, and one more
        int64_t silentMs; // the silence at the next missed poll
        bool lost;
    };
    // Weight 1 in a schedule of 1 slot: more than 132 misses are its share.
    const Case cases[] = {
        {200, 5184, false}, // misses enough, silent exactly 0.00006 of a day
        {200, 5185, true},
        {130, 10000, false}, // silent long enough, but the 132nd miss is not beyond its share
        {131, 10000, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.quickMisses << "/" << c.silentMs);
        TRSSession& s = Start();
        lost_.clear();
        s.SetWork(true);
        ASSERT_TRUE(s.Work());
        Step(true);
        const uint32_t answered = clock_.TickCount();
        for (int i = 0; i < c.quickMisses; ++i)
            Step(false);
        ASSERT_LT(clock_.TickCount() - answered, 5000u);
        ASSERT_TRUE(lost_.empty());
        // The silence is measured when the poll's answer is judged, after its own pause.
        const uint32_t before = clock_.TickCount();
        Step(false);
        const uint32_t stepMs = clock_.TickCount() - before;
        clock_.AdvanceMilliseconds(c.silentMs - (clock_.TickCount() - answered) - stepMs);
        Step(false);
        ASSERT_EQ(clock_.TickCount() - answered, static_cast<uint32_t>(c.silentMs));
        EXPECT_EQ(lost_, c.lost ? std::vector<uint8_t>{5} : std::vector<uint8_t>{});
        EXPECT_EQ(s.PollWeight(5), c.lost ? 255 : 1);
        s.SetWork(false);
        session_.reset();
    }
}
