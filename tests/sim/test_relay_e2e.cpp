// The event relay end to end: a polling session (Work on) against t4700-sim's relay units on a
// pty.  The units' events are queued from the command line; what went over the line is read
// back from the program's traffic log, and what the session got from its owner channel.

#include "CoreComp/rssess/rs_session.h"
#include "platform/owner_channel.h"
#include "raw_line.h"
#include "scratch_registry.h"
#include "sim_process.h"
#include "tests/platform/temp_dir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>

using namespace std::chrono_literals;

namespace {

constexpr int kCom = 47;

using simtest::Scratch;
using simtest::SetBusValue;
[[maybe_unused]] const platform::test::TempDir& kScratchReady = Scratch();

struct Line
{
    std::vector<sim::Bytes> in;  // frames the units took, CRC-8 included
    std::vector<sim::Bytes> out; // their answers

    std::vector<sim::Bytes> In(uint8_t address, uint8_t command) const
    {
        std::vector<sim::Bytes> found;
        for (const sim::Bytes& f : in)
            if (f.size() > 3 && (f[0] & 0x7F) == address && f[3] == command)
                found.push_back(f);
        return found;
    }
};

// One run of the program with the session polling it until `done`, then a few more polls so
// that whatever the session posted has gone out.
class RelayOnSim : public ::testing::Test
{
protected:
    // whileRunning: what the test does to the program once the session polls (e.g. give it a
    // run-time command).
    void Run(const std::vector<std::string>& units, const std::function<bool()>& done,
             int noTranslateWalk = 0,
             const std::function<void(simtest::SimProcess&)>& whileRunning = {})
    {
        SetBusValue("SpeedRSS", 115200);
        SetBusValue("CmdTimeoutConstant", 200);
        SetBusValue("TimeoutConstant", 100);
        SetBusValue("NoTranslateWalk", noTranslateWalk);
        std::vector<std::string> args = {"--link",        dir_.File("tty"),
                                         "--registry",    Scratch().File("registry.reg"),
                                         "--com",         std::to_string(kCom),
                                         "--baud",        "115200",
                                         "--turnaround",  "4",
                                         "--log",         dir_.File("log.txt"),
                                         "--max-seconds", "300"};
        args.insert(args.end(), units.begin(), units.end());
        simtest::SimProcess sim(args);
        ASSERT_EQ(sim.WaitReady(), dir_.File("tty")) << sim.Stderr();
        {
            TRSSession::Collaborators c;
            c.owner = &owner_;
            TRSSession session(std::move(c));
            session.SetComPort(kCom);
            session.OnNewDevice = [&](uint8_t a) { found_.push_back(a); };
            session.OnNewEvent = [&](const sim::Bytes& e) { events_[e.at(0)].push_back(e); };
            session.OnAsynchAnswer = [&](uint32_t, int32_t, int32_t, int64_t,
                                         const platform::OwnerMessage& m) {
                answers_.push_back(m.payload);
            };
            session.SetWork(true);
            ASSERT_TRUE(session.Work());
            if (whileRunning)
                whileRunning(sim);
            if (HasFatalFailure())
                return;
            const bool finished = owner_.WaitServing(done, 60s);
            const uint32_t polls = session.PollCounters().polls;
            owner_.WaitServing([&] { return session.PollCounters().polls > polls + 20; }, 30s);
            session.SetWork(false);
            ASSERT_TRUE(finished) << Found();
        }
        sim.Signal(SIGINT);
        ASSERT_EQ(sim.Wait(), 0) << sim.Stderr();
        std::ifstream log(dir_.File("log.txt"));
        for (std::string l; std::getline(log, l);) {
            std::istringstream words(l);
            std::string stamp, direction;
            words >> stamp >> direction;
            sim::Bytes frame;
            for (unsigned byte = 0; words >> std::hex >> byte;)
                frame.push_back(static_cast<uint8_t>(byte));
            if (direction == "in")
                line_.in.push_back(std::move(frame));
            else if (direction == "out")
                line_.out.push_back(std::move(frame));
        }
    }
    std::string Found() const
    {
        std::string s = "units found:";
        for (uint8_t a : found_)
            s += " " + std::to_string(a);
        return s;
    }
    size_t Events(uint8_t address) const
    {
        return events_.contains(address) ? events_.at(address).size() : 0;
    }
    std::vector<sim::Bytes> AnswersWith(uint8_t command) const
    {
        std::vector<sim::Bytes> found;
        for (const sim::Bytes& a : answers_)
            if (a.size() > 2 && a[2] == command)
                found.push_back(a);
        return found;
    }

    platform::test::TempDir dir_;
    platform::OwnerChannel owner_;
    std::vector<uint8_t> found_;
    std::map<uint8_t, std::vector<sim::Bytes>> events_;
    std::vector<sim::Bytes> answers_;
    Line line_;
};

// The walk broadcast as it must be: 24 bytes and the CRC-8, the sequence number in the key
// byte's place, command 43, the kind, the source and the event's bytes from its number on.
void ExpectBroadcastOf(const sim::Bytes& b, const sim::Bytes& event, uint8_t sequence, uint8_t kind)
{
    ASSERT_EQ(b.size(), 25u);
    EXPECT_EQ(b[1], 24);
    EXPECT_EQ(b[2], sequence);
    EXPECT_EQ(b[3], 43);
    EXPECT_EQ(b[4], kind);
    EXPECT_EQ(b[5], event[0]);
    // Event bytes from the number to the marker (the CRC-8 left out), then a six-byte stamp.
    EXPECT_EQ(sim::Bytes(b.begin() + 6, b.begin() + 18),
              sim::Bytes(event.begin() + 4, event.end() - 1));
}

} // namespace

TEST_F(RelayOnSim, WalkPassageGivesOneBroadcastEachNumberedFromZero)
{
    ASSERT_NO_FATAL_FAILURE(
        Run({"--unit", "1:16:104", "--unit", "2:14:223", "--walk", "1:32", "--walk", "1:32"},
            [&] { return Events(1) == 2 && answers_.size() >= 2; }));
    const std::vector<sim::Bytes> broadcasts = line_.In(0, 43);
    ASSERT_EQ(broadcasts.size(), 2u);
    ASSERT_EQ(Events(1), 2u);
    for (uint8_t i = 0; i < 2; ++i) {
        ASSERT_EQ(events_[1][i].size(), 17u);
        ExpectBroadcastOf(broadcasts[i], events_[1][i], i, 19);
    }
    EXPECT_TRUE(line_.In(2, 43).empty()) << "to every unit at once, not to each";
}

TEST_F(RelayOnSim, ExtendedPassageIsRelayedFromVersion104Only)
{
    ASSERT_NO_FATAL_FAILURE(
        Run({"--unit", "1:16:103", "--unit", "2:16:104", "--walk", "1:28", "--walk", "2:28",
             "--walk", "1:32"},
            [&] { return Events(1) == 2 && Events(2) == 1 && answers_.size() >= 2; }));
    const std::vector<sim::Bytes> broadcasts = line_.In(0, 43);
    ASSERT_EQ(broadcasts.size(), 2u);
    std::map<uint8_t, sim::Bytes> bySource = {{broadcasts[0][5], broadcasts[0]},
                                              {broadcasts[1][5], broadcasts[1]}};
    ASSERT_EQ(bySource.size(), 2u);
    const uint8_t first = broadcasts[0][5];
    ExpectBroadcastOf(bySource[2], events_[2][0], first == 2 ? 0 : 1, 20);
    ExpectBroadcastOf(bySource[1], events_[1][1], first == 1 ? 0 : 1, 19);
    EXPECT_EQ(events_[1][0][3], 28) << "the version-103 unit's passage 28 stays unrelayed";
}

TEST_F(RelayOnSim, ReportReachesEveryReceiverAndEachConfirms)
{
    // The report comes once the session knows the receivers.
    auto report = [&](simtest::SimProcess& sim) {
        auto known = [&](uint8_t a) { return std::count(found_.begin(), found_.end(), a) > 0; };
        ASSERT_TRUE(owner_.WaitServing([&] { return known(2) && known(3); }, 60s)) << Found();
        ASSERT_TRUE(sim.Input("event 5:040F0700\n"));
    };
    ASSERT_NO_FATAL_FAILURE(Run(
        {"--unit", "2:14:223", "--unit", "3:14:223", "--unit", "4:44:223", "--unit", "5:15:223"},
        [&] { return Events(5) == 1 && AnswersWith(50).size() >= 2; }, 0, report));
    for (uint8_t to : {2, 3}) {
        const std::vector<sim::Bytes> reports = line_.In(to, 49);
        ASSERT_EQ(reports.size(), 1u) << int(to);
        const sim::Bytes& r = reports[0];
        ASSERT_EQ(r.size(), 16u);
        EXPECT_EQ(sim::Bytes(r.begin(), r.begin() + 12),
                  (sim::Bytes{to, 15, 0, 49, 1, 15, 7, 5, 0, 0, 0, 0}))
            << "relay counter 1, the event, its number, its source";
    }
    EXPECT_TRUE(line_.In(4, 49).empty());
    EXPECT_TRUE(line_.In(5, 49).empty());
    std::vector<uint8_t> confirmedBy;
    for (const sim::Bytes& a : AnswersWith(50)) {
        EXPECT_EQ(sim::Bytes(a.begin() + 3, a.end() - 1), (sim::Bytes{1, 15, 5}));
        confirmedBy.push_back(a[0]);
    }
    std::sort(confirmedBy.begin(), confirmedBy.end());
    EXPECT_EQ(confirmedBy, (std::vector<uint8_t>{2, 3}));
}

TEST_F(RelayOnSim, CarriedRequestReachesItsDestination)
{
    // From a receiver and from a walk unit the request is forwarded; from a unit of no relay
    // type it is an ordinary event.
    ASSERT_NO_FATAL_FAILURE(Run({"--unit", "2:14:223", "--unit", "3:44:223", "--unit", "4:16:104",
                                 "--unit", "6:44:223", "--forward", "2:3:130102", "--forward",
                                 "4:3:130304", "--event", "6:0E1201031305060000"},
                                [&] {
                                    return Events(2) == 1 && Events(4) == 1 && Events(6) == 1 &&
                                           AnswersWith(0x14).size() >= 2;
                                }));
    const std::vector<sim::Bytes> probes = line_.In(3, 0x13);
    std::vector<sim::Bytes> bodies;
    for (const sim::Bytes& p : probes)
        bodies.emplace_back(p.begin(), p.end() - 1);
    std::sort(bodies.begin(), bodies.end());
    EXPECT_EQ(bodies, (std::vector<sim::Bytes>{{3, 6, 0, 0x13, 1, 2}, {3, 6, 0, 0x13, 3, 4}}));
    const std::vector<sim::Bytes> answered = AnswersWith(0x14);
    ASSERT_EQ(answered.size(), 2u);
    for (const sim::Bytes& a : answered)
        EXPECT_EQ(a[0], 3);
}

TEST_F(RelayOnSim, NoTranslateWalkStopsWalkRelaysOnly)
{
    ASSERT_NO_FATAL_FAILURE(Run(
        {"--unit", "1:16:104", "--unit", "2:14:223", "--unit", "3:44:223", "--walk", "1:32",
         "--forward", "1:3:130505", "--forward", "2:3:130606"},
        [&] { return Events(1) == 2 && Events(2) == 1 && !AnswersWith(0x14).empty(); }, 1));
    EXPECT_TRUE(line_.In(0, 43).empty()) << "no walk broadcast";
    const std::vector<sim::Bytes> probes = line_.In(3, 0x13);
    ASSERT_EQ(probes.size(), 1u) << "the walk unit's request stays, the receiver's goes";
    EXPECT_EQ(sim::Bytes(probes[0].begin(), probes[0].end() - 1),
              (sim::Bytes{3, 6, 0, 0x13, 6, 6}));
}
