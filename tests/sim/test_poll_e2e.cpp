// The polling thread against simulated units on a pty, with Work on and the owner channel
// served by the test's thread: schedule, presence, events, queued and synchronous commands,
// key renewal, a vanished port; once in-process and once with the program.

#include "sim/pty_server.h"

#include "CoreComp/rssess/rs_session.h"
#include "platform/owner_channel.h"
#include "platform/registry.h"
#include "scratch_registry.h"
#include "session_on_sim.h"
#include "sim_process.h"
#include "tests/platform/temp_dir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <map>
#include <set>
#include <thread>

using namespace std::chrono_literals;

namespace {

constexpr int kCom = 41;

using simtest::Scratch;
using simtest::SetBusValue;
[[maybe_unused]] const platform::test::TempDir& kScratchReady = Scratch();

// Polls of the units among the frames heard: the addresses in order.
std::vector<uint8_t> PollsOf(const std::vector<sim::Bus::Heard>& heard, uint8_t last)
{
    std::vector<uint8_t> polled;
    for (const auto& h : heard)
        if (h.frame[3] == 1 && (h.frame[0] & 0x7F) >= 1 && (h.frame[0] & 0x7F) <= last)
            polled.push_back(h.frame[0] & 0x7F);
    return polled;
}

class PollOnSim : public simtest::SessionOnSim
{
protected:
    void Open(uint32_t baud, std::map<uint8_t, uint8_t> units, uint32_t turnaroundUs = 4000)
    {
        bus_ = std::make_unique<sim::Bus>(
            sim::BusTiming{.baud = baud, .turnaround_us = turnaroundUs}, 5);
        SetBusValue("SpeedRSS", static_cast<int>(baud));
        SetBusValue("CmdTimeoutConstant", 200);
        SetBusValue("TimeoutConstant", 100);
        for (const auto& [address, type] : units)
            ASSERT_TRUE(bus_->AddUnit(address, type, 223));
        StartLine(kCom);
        S().OnLostDevice = [this](uint8_t a) {
            log_.push_back("lost " + std::to_string(a));
            lostAt_[a] = std::chrono::steady_clock::now();
        };
    }
    void FindAll(size_t units)
    {
        ASSERT_TRUE(S().Work() || (S().SetWork(true), S().Work()));
        ASSERT_TRUE(Await([&] { return log_.size() >= units; }));
    }

    std::map<uint8_t, std::chrono::steady_clock::time_point> lostAt_;
};

} // namespace

TEST_F(PollOnSim, ScheduleAndPresence)
{
    SetBusValue("DeviceTimeout", 1);
    SetBusValue("SecLostDevice", 2);
    Open(115200, {{1, 4}, {2, 0}, {3, 3}}); // weights 8, 1 and 1
    FindAll(3);
    EXPECT_EQ(log_, (std::vector<std::string>{"new 1", "new 2", "new 3"}));
    S().SetSearchEnabled(false);
    bus_->ClearHistory();
    const uint32_t polls = S().PollCounters().polls;
    ASSERT_TRUE(Await([&] { return S().PollCounters().polls > polls + 80; }));
    const std::vector<uint8_t> polled = PollsOf(bus_->History(), 3);
    ASSERT_GE(polled.size(), 70u);
    for (size_t i = 0; i + 7 <= polled.size(); i += 7)
        EXPECT_EQ(std::count(polled.begin() + static_cast<long>(i),
                             polled.begin() + static_cast<long>(i + 7), 1),
                  5)
            << "address 1 takes 5 of every 7 polls";

    const auto silentFrom = std::chrono::steady_clock::now();
    bus_->SetSilent(2, true);
    ASSERT_TRUE(Await([&] { return Count("lost 2") == 1; }));
    const auto took = lostAt_[2] - silentFrom;
    EXPECT_GE(took, 2s - 200ms) << "not before SecLostDevice";
    EXPECT_LE(took, 2s + 1500ms) << "within the time-out and one pass";
    bus_->SetSilent(2, false);
    ASSERT_TRUE(Await([&] { return Count("new 2") == 2; }));

    bus_->SetAnswer(3, 0x01, {0x0A, 0x00, 0x00}); // a foreign command
    ASSERT_TRUE(Await([&] { return Count("false 3") >= 1; }));
    bus_->SetAnswer(3, 0x01, {});
    S().SetWork(false);
    EXPECT_EQ(Count("lost 2"), 1u);
    EXPECT_EQ(Count("new 2"), 2u);
    EXPECT_EQ(Count("lost 1"), 0u);
    EXPECT_EQ(bus_->DroppedRuns(), 0u);
}

TEST_F(PollOnSim, ThousandEventsArriveOnceAndInOrderThroughLostAndSpoiledAnswers)
{
    SetBusValue("PauseFromSession", 0);
    Open(115200, {{1, 1}, {2, 1}, {3, 1}}, 2000); // weight 4 each
    // A lost answer costs the poll's whole read wait, so it is kept short; but an answer that
    // comes after it may be taken for a later poll of the same unit, so a busy (or sanitized)
    // machine needs room: the answer is due about 6 ms after the request.
    SetBusValue("TimeoutConstant", 80);
    S().ReadRegistrySettings();
    FindAll(3);
    S().SetWork(false);
    S().SetSearchEnabled(false);
    for (int n = 1; n <= 1000; ++n) {
        const uint8_t a = static_cast<uint8_t>(n % 3 + 1);
        ASSERT_TRUE(bus_->QueueEvent(
            a, {0x04, 22, static_cast<uint8_t>(n), static_cast<uint8_t>(n >> 8), 0}));
    }
    std::map<uint8_t, std::vector<int>> seen;
    S().OnNewEvent = [&](const sim::Bytes& e) { seen[e.at(0)].push_back(e.at(4) | e.at(5) << 8); };
    // Each lost answer holds its unit's next poll until a late answer could no longer come
    // (a second), so the share of lost answers is kept small enough for a thousand events.
    bus_->SetFault(sim::Fault::NoAnswer, {0, 0.03});
    bus_->SetFault(sim::Fault::BadCrc, {0, 0.05});
    S().SetWork(true);
    ASSERT_TRUE(S().Work());
    ASSERT_TRUE(Await(
        [&] { return bus_->EventCount(1) + bus_->EventCount(2) + bus_->EventCount(3) == 0; }, 180s))
        << seen[1].size() << " " << seen[2].size() << " " << seen[3].size() << " polls "
        << S().PollCounters().polls << " missing " << S().PollCounters().missingAnswers << " "
        << log_.size();
    ASSERT_TRUE(
        Await([&] { return seen[1].size() + seen[2].size() + seen[3].size() >= 1000; }, 5s));
    S().SetWork(false);
    for (uint8_t a : {1, 2, 3}) {
        std::vector<int> expected;
        for (int n = 1; n <= 1000; ++n)
            if (n % 3 + 1 == a)
                expected.push_back(n);
        EXPECT_EQ(seen[a], expected) << int(a);
    }
}

TEST_F(PollOnSim, QueuedAndSynchronousCommandsShareTheLine)
{
    Open(9600, {{1, 1}});
    FindAll(1);
    S().SetSearchEnabled(false);
    S().SetWork(false);
    std::map<int32_t, sim::Bytes> answers;
    S().OnAsynchAnswer = [&](uint32_t, int32_t, int32_t sequence, int64_t,
                             const platform::OwnerMessage& m) { answers[sequence] = m.payload; };
    std::vector<bool> fromHandler;
    S().OnNewEvent = [&](const sim::Bytes&) {
        fromHandler.push_back(session_->SendCommand({1, 6, 0, 19, 0x55, 0}, true, false, 0, 0));
    };
    for (int i = 0; i < 20; ++i)
        ASSERT_GE(S().PostCommand(0, 0, {1, 6, 0, 19, static_cast<uint8_t>(i), 0}, {}), 0);
    bus_->QueueEvent(1, {0x04, 22, 1, 0, 0});
    bus_->QueueEvent(1, {0x04, 22, 2, 0, 0});
    bus_->ClearHistory();
    S().SetWork(true);
    ASSERT_TRUE(Await([&] { return answers.size() == 20 && fromHandler.size() == 2; }));
    for (int i = 0; i < 3; ++i)
        EXPECT_TRUE(S().SendCommand({1, 6, 0, 19, 0x55, 0}, true, false, 0, 0));
    S().SetWork(false);
    for (const auto& [sequence, answer] : answers)
        EXPECT_EQ(answer.at(2), 0x14) << sequence;
    EXPECT_EQ(fromHandler, (std::vector<bool>{true, true}));

    // The queued ones (data byte 4 from 0 to 19) went out as 16, then 4.  A busy machine may
    // make the session repeat a frame, so a run counts distinct commands.
    std::vector<std::set<uint8_t>> runs;
    bool inRun = false;
    for (const auto& h : bus_->History()) {
        const bool queued = h.frame[3] == 19 && h.frame[4] < 20;
        if (queued && !inRun)
            runs.emplace_back();
        if (queued)
            runs.back().insert(h.frame[4]);
        inRun = queued;
    }
    ASSERT_GE(runs.size(), 2u);
    EXPECT_EQ(runs[0].size(), 16u);
    EXPECT_EQ(runs[1].size(), 4u);
    EXPECT_EQ(bus_->DroppedRuns(), 0u) << "no two exchanges overlapped on the line";
}

TEST_F(PollOnSim, KeysAreRenewedOnTheWireOnlyWhileCodingIsOn)
{
    Open(115200, {{1, 1}, {2, 1}});
    FindAll(2);
    S().SetSearchEnabled(false);
    for (bool coding : {true, false}) {
        S().SetWork(false);
        S().SetCodeSession(coding);
        S().SetKeySilence(1);
        std::this_thread::sleep_for(1200ms); // a silence longer than the key's
        bus_->ClearHistory();
        S().SetWork(true);
        const uint32_t polls = S().PollCounters().polls;
        ASSERT_TRUE(Await([&] { return S().PollCounters().polls > polls + 30; }));
        S().SetWork(false);
        size_t renewals = 0;
        for (const auto& h : bus_->History())
            renewals += h.frame[3] == 0x11;
        EXPECT_EQ(renewals, coding ? 2u : 0u) << coding;
    }
}

TEST_F(PollOnSim, VanishedPortSweepsTheUnitsAndLeavesWorkOff)
{
    Open(115200, {{1, 1}, {2, 1}});
    FindAll(2);
    server_->Stop(); // the pty and its registry entry go
    ASSERT_TRUE(Await([&] { return !S().Work() && Count("lost 1") + Count("lost 2") >= 2; }));
    Await([] { return false; }, 100ms);
    EXPECT_EQ(Count("lost 1"), 1u);
    EXPECT_EQ(Count("lost 2"), 1u);
    EXPECT_GE(S().PollCounters().reopenFailures, 20u);
    const uint32_t failures = S().PollCounters().reopenFailures;
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(S().PollCounters().reopenFailures, failures) << "parked";
}

TEST(PollOnSimProgram, SilenceForeignAnswersAndNumberedEvents)
{
    platform::test::TempDir dir;
    SetBusValue("SpeedRSS", 115200);
    SetBusValue("CmdTimeoutConstant", 200);
    SetBusValue("TimeoutConstant", 100);
    SetBusValue("DeviceTimeout", 1);
    SetBusValue("SecLostDevice", 0);
    simtest::SimProcess sim({"--link",        dir.File("tty"),
                             "--registry",    Scratch().File("registry.reg"),
                             "--com",         std::to_string(kCom + 1),
                             "--baud",        "115200",
                             "--turnaround",  "4",
                             "--unit",        "1:1:223",
                             "--unit",        "2:1:223",
                             "--unit",        "3:1:223",
                             "--event-rate",  "1:40",
                             "--silent",      "2:2000:3500",
                             "--answer",      "3:1:0A0000",
                             "--max-seconds", "60"});
    ASSERT_EQ(sim.WaitReady(), dir.File("tty")) << sim.Stderr();
    platform::OwnerChannel owner;
    std::vector<std::string> log;
    std::vector<int> numbers;
    std::vector<int> commands;
    {
        TRSSession::Collaborators c;
        c.owner = &owner;
        TRSSession session(std::move(c));
        session.SetComPort(kCom + 1);
        session.OnNewDevice = [&](uint8_t a) { log.push_back("new " + std::to_string(a)); };
        session.OnLostDevice = [&](uint8_t a) { log.push_back("lost " + std::to_string(a)); };
        session.OnFalseDevice = [&](uint8_t a) { log.push_back("false " + std::to_string(a)); };
        session.OnNewEvent = [&](const sim::Bytes& e) {
            numbers.push_back(e.at(4) | e.at(5) << 8);
            commands.push_back(e.at(2));
        };
        session.SetWork(true);
        ASSERT_TRUE(session.Work());
        auto count = [&](const std::string& e) { return std::count(log.begin(), log.end(), e); };
        ASSERT_TRUE(owner.WaitServing(
            [&] { return count("lost 2") == 1 && count("new 2") == 2 && numbers.size() >= 100; },
            30s));
        session.SetWork(false);
        EXPECT_GE(count("false 3"), 1);
        EXPECT_EQ(count("lost 2"), 1);
    }
    for (size_t i = 0; i < numbers.size(); ++i)
        ASSERT_EQ(numbers[i], static_cast<int>(i + 1)) << "numbered events in order, none twice";
    EXPECT_EQ(std::set<int>(commands.begin(), commands.end()), (std::set<int>{4, 12, 14}));
    sim.Signal(SIGINT);
    EXPECT_EQ(sim.Wait(), 0) << sim.Stderr();
}
