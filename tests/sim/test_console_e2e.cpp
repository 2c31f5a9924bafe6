// The session in frame mode 2 against the simulated console line on a pty: consoles found by
// probe and by search, sub-devices through the maps and type answers, loss after the grace
// period and return, sub-device events, duplicates, repeated long answers and the coding.

#include "sim/console_bus.h"
#include "sim/pty_server.h"

#include "CoreComp/rssess/rs_session.h"
#include "CoreComp/rssess/second_form.h"
#include "platform/owner_channel.h"
#include "scratch_registry.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <map>

using namespace std::chrono_literals;

namespace {

constexpr int kCom = 43;
using simtest::Scratch;
using simtest::SetBusValue;
[[maybe_unused]] const platform::test::TempDir& kScratchReady = Scratch();

// One report as the owner got it: "26 1.0" is report 26 for console 1, sub-device 0.
struct Seen
{
    uintptr_t wparam;
    uint8_t console, sub, code;
    std::chrono::steady_clock::time_point at;
};

class ConsolesOnSim : public ::testing::Test
{
protected:
    // The answer time-out leaves room for a loaded machine by default: a late answer is a lost
    // one, and with it the message it carried or the one fault the line was to make.
    void Open(int secLost = 0, int answerTimeoutMs = 1000)
    {
        SetBusValue("CmdTimeoutConstant", answerTimeoutMs);
        SetBusValue("SpeedRSS", 115200);
        SetBusValue("SecLostDevice", secLost);
        server_ = std::make_unique<sim::PtyServer>(
            line_, sim::PtyServerOptions{"", Scratch().File("registry.reg"), kCom, ""});
        std::string error;
        ASSERT_TRUE(server_->Start(&error)) << error;
        TRSSession::Collaborators c;
        c.owner = &owner_;
        session_ = std::make_unique<TRSSession>(std::move(c));
        owner_.SetHandler([this](const platform::OwnerMessage& m) -> intptr_t {
            Note(m);
            // A report the thread had in flight is served while the session is destroyed,
            // when session_ reads null already.
            TRSSession* s = session_.get();
            return s ? s->SessionWindowProc(m) : 0;
        });
        S().SetComPort(kCom);
        S().SetFrameMode(2);
    }
    void Note(const platform::OwnerMessage& m)
    {
        if (m.msg != kMsgSessionReport)
            return;
        const auto& p = m.payload;
        const auto now = std::chrono::steady_clock::now();
        if ((m.wparam == kReportDeviceFoundWithType || m.wparam == kReportDeviceLostRecord) &&
            p.size() > corecomp::kConsoleRecordSize)
            seen_.push_back({m.wparam, p[1], p[0], 0, now});
        else if (m.wparam == kReportDeviceList && p.size() > corecomp::kConsoleRecordSize)
            seen_.push_back({m.wparam, p[0], p[corecomp::kConsoleRecordSize], 0, now});
        else if (m.wparam == kReportZoneMark && p.size() >= 4)
            seen_.push_back({m.wparam, p[0], p[2], p[3], now});
    }
    void TearDown() override
    {
        if (HasFailure()) {
            // What the line heard, to see where the exchange went wrong.
            const auto h = line_.History();
            std::string text;
            for (size_t i = 0; i < h.size() && i < 12; ++i) {
                text += "\n wire";
                for (uint8_t b : h[i].wire)
                    text += " " + std::to_string(b);
                text += " / answer";
                for (uint8_t b : h[i].answerWire)
                    text += " " + std::to_string(b);
            }
            for (const auto& s : From(0))
                text += "\n seen " + s;
            // Failed exchanges by console and result code (a late answer counts as short).
            for (uint8_t console : {1, 2}) {
                if (!session_)
                    break;
                const corecomp::ConsoleStatistics st = S().ConsoleStats(console);
                text += "\n console " + std::to_string(console) + ": " +
                        std::to_string(st.polls) + " polls, " + std::to_string(st.failedPolls) +
                        " failed;";
                for (size_t code = 0; code < st.codes.size(); ++code)
                    if (st.codes[code])
                        text += " " + std::to_string(code) + "x" + std::to_string(st.codes[code]);
            }
            ADD_FAILURE() << h.size() << " requests heard" << text;
        }
        session_.reset();
        if (server_)
            server_->Stop();
    }
    TRSSession& S() { return *session_; }
    bool Await(const std::function<bool()>& done, std::chrono::milliseconds limit = 60s)
    {
        return owner_.WaitServing(done, limit);
    }
    size_t Count(uintptr_t wparam, uint8_t console, uint8_t sub) const
    {
        return static_cast<size_t>(std::count_if(seen_.begin(), seen_.end(), [&](const Seen& s) {
            return s.wparam == wparam && s.console == console && s.sub == sub;
        }));
    }
    std::vector<std::string> From(size_t at) const
    {
        std::vector<std::string> out;
        for (size_t i = at; i < seen_.size(); ++i)
            out.push_back(std::to_string(seen_[i].wparam) + " " + std::to_string(seen_[i].console) +
                          "." + std::to_string(seen_[i].sub) +
                          (seen_[i].code ? "/" + std::to_string(seen_[i].code) : ""));
        return out;
    }

    // The session drops what came in while it sent (the converter's echo) once the request
    // has passed the line: a console that answered sooner than the session got there, on a
    // busy machine, would be heard by nobody.  Real consoles take their time.
    sim::ConsoleBus line_{115200, 20000};
    std::unique_ptr<sim::PtyServer> server_;
    platform::OwnerChannel owner_;
    std::unique_ptr<TRSSession> session_;
    std::vector<Seen> seen_;
};

} // namespace

TEST_F(ConsolesOnSim, FoundByProbeAndSearchWithSubDevicesAndCodedFrames)
{
    ASSERT_TRUE(line_.AddConsole(1, 31, 7));
    ASSERT_TRUE(line_.AddConsole(2, 32, 8));
    ASSERT_TRUE(line_.AddSubDevice(2, 3, 120, 0x0102, 1));
    ASSERT_TRUE(line_.AddSubDevice(2, 9, 121, 0x0203, 2));
    Open();
    S().MarkConsoleForProbe(1);
    S().SetWork(true);
    ASSERT_TRUE(Await([&] { return Count(kReportDeviceFoundWithType, 1, 0) == 1; }));
    // The search reaches console 2 on its 100th call; the maps and type answers follow.
    ASSERT_TRUE(Await([&] {
        return Count(kReportDeviceFoundWithType, 2, 0) == 1 && Count(kReportDeviceList, 2, 3) &&
               Count(kReportDeviceList, 2, 9);
    }));
    ASSERT_TRUE(Await([&] { return line_.Key(2).value_or(0) != 0 && S().Console(2).key != 0; }));
    ASSERT_TRUE(Await([&] { return line_.Requests(2, 1) > 5; }));
    S().SetWork(false);

    const auto c2 = S().Console(2);
    EXPECT_EQ(c2.type, 32);
    EXPECT_EQ(c2.version, 8);
    EXPECT_EQ(c2.subs[3].flags, 1 | 16);
    EXPECT_EQ(c2.subs[9].flags, 2 | 16);
    EXPECT_EQ(c2.subs[3].type, 120);
    EXPECT_EQ(c2.subs[9].version, 0x0203u);
    EXPECT_EQ(c2.key, *line_.Key(2));
    EXPECT_EQ(S().Console(1).type, 31);
    const auto found = S().FindSubDevice(9);
    ASSERT_TRUE(found);
    EXPECT_EQ(found->address, 2);
    EXPECT_FALSE(S().FindSubDevice(4));
    EXPECT_EQ(line_.Commands(1), (std::vector<uint8_t>{3, 4, 1}));
    const auto cmds2 = line_.Commands(2);
    ASSERT_GE(cmds2.size(), 6u);
    EXPECT_EQ(std::vector<uint8_t>(cmds2.begin(), cmds2.begin() + 4),
              (std::vector<uint8_t>{3, 4, 1, 6}));

    // Every coded request on the wire is the session's coding of the plain request, byte for
    // byte, and its answer went back coded.
    size_t coded = 0;
    for (const auto& h : line_.History()) {
        if (h.plain.empty() || !(h.plain[0] & 0x80))
            continue;
        ++coded;
        auto again = h.plain;
        corecomp::CodeSecondForm(again, true, 0, *line_.Key(h.plain[0] & 0x7F));
        EXPECT_EQ(corecomp::StuffFrame(again), h.wire);
        ASSERT_GE(h.answerWire.size(), 5u);
        EXPECT_TRUE(h.answerWire[1] & 0x80);
    }
    EXPECT_GT(coded, 5u);
    EXPECT_EQ(S().ConsoleStats(1).codes[corecomp::kSecondFormBadCrc], 0u);
}

TEST_F(ConsolesOnSim, LostAfterTheGracePeriodThenFoundAgain)
{
    ASSERT_TRUE(line_.AddConsole(1, 31, 7));
    ASSERT_TRUE(line_.AddConsole(5, 35, 7));
    ASSERT_TRUE(line_.AddSubDevice(1, 4, 120, 0x0101));
    Open(2, 150); // failures must come faster than the grace period runs out
    S().MarkConsoleForProbe(1);
    S().MarkConsoleForProbe(5);
    S().SetWork(true);
    ASSERT_TRUE(Await([&] { return Count(kReportDeviceFoundWithType, 5, 0) == 1; }));
    // A sub-device reports itself found, and is asked for its type twice.
    ASSERT_TRUE(line_.QueueEvent(1, 251, 4));
    ASSERT_TRUE(Await([&] { return Count(kReportDeviceList, 1, 4) >= 1; }));
    ASSERT_TRUE(Await([&] { return S().Console(1).key != 0; }));

    const size_t before = seen_.size();
    const auto silentFrom = std::chrono::steady_clock::now();
    line_.SetSilent(1, true);
    // Past five failures but inside its grace period, console 1 holds up nobody: console 5 is
    // still polled.
    ASSERT_TRUE(Await([&] { return S().ConsoleStats(1).consecutiveFailures > 5; }));
    const auto polled = line_.Requests(5, 1);
    ASSERT_TRUE(Await([&] { return Count(kReportDeviceLostRecord, 1, 0) == 1; }));
    EXPECT_GE(line_.Requests(5, 1), polled + 2);
    // The grace runs from the last good answer, which may precede the silence by a pass.
    EXPECT_GE(seen_[before].at - silentFrom, 2s - 400ms) << "not before SecLostDevice";
    EXPECT_GT(S().ConsoleStats(1).failedPolls, 5u);
    ASSERT_TRUE(Await([&] { return From(before).size() >= 5; }));
    EXPECT_EQ(From(before),
              (std::vector<std::string>{"27 1.0", "27 1.4", "25 1.4/250", "40 1.4", "40 1.0"}));
    EXPECT_EQ(S().Console(1).state, 0);
    EXPECT_EQ(S().Console(1).key, 0);
    EXPECT_EQ(Count(kReportDeviceLostRecord, 5, 0), 0u);

    line_.SetSilent(1, false);
    ASSERT_TRUE(Await([&] { return Count(kReportDeviceFoundWithType, 1, 0) == 2; }));
    S().SetWork(false);
    EXPECT_EQ(Count(kReportDeviceLostRecord, 1, 0), 1u);
}

TEST_F(ConsolesOnSim, EventsDuplicatesRepeatsAndFaults)
{
    ASSERT_TRUE(line_.AddConsole(1, 31, 7));
    ASSERT_TRUE(line_.AddConsole(2, 32, 7));
    ASSERT_TRUE(line_.AddSubDevice(1, 6, 120, 0x0101));
    Open();
    S().MarkConsoleForProbe(1);
    S().MarkConsoleForProbe(2);
    S().SetWork(true);
    ASSERT_TRUE(Await([&] { return Count(kReportDeviceFoundWithType, 2, 0) == 1; }));
    ASSERT_TRUE(
        Await([&] { return line_.Commands(1).size() >= 3 && line_.Commands(2).size() >= 3; }));

    // 250 reports the sub-device lost once, even though its message came twice.
    ASSERT_TRUE(line_.QueueEvent(1, 251, 6));
    ASSERT_TRUE(Await([&] { return Count(kReportDeviceList, 1, 6) >= 1; }));
    line_.SetFault(sim::ConsoleFault::Duplicate, 1);
    ASSERT_TRUE(line_.QueueEvent(1, 250, 6));
    ASSERT_TRUE(Await([&] { return Count(kReportDeviceLostRecord, 1, 6) == 1; }));
    const auto pollsNow = line_.Requests(1, 1);
    ASSERT_TRUE(Await([&] { return line_.Requests(1, 1) > pollsNow + 3; }));
    EXPECT_EQ(Count(kReportDeviceLostRecord, 1, 6), 1u);

    // 203 asks for the time: a time command follows.
    ASSERT_TRUE(line_.QueueEvent(2, 203, 0));
    ASSERT_TRUE(Await([&] { return line_.TimeCommands(2) == 1; }));

    // Fifteen long answers in a row: console 1 is polled again at most 10 times, then the
    // walk moves on to console 2 before it comes back.
    S().SetWork(false);
    ASSERT_TRUE(Await([&] { return S().ThreadIdle(); }));
    for (uint8_t sub = 10; sub < 25; ++sub)
        ASSERT_TRUE(line_.QueueEvent(1, 251, sub));
    const size_t heard = line_.History().size();
    S().SetWork(true);
    ASSERT_TRUE(Await([&] { return line_.QueuedMessages(1) == 0; }));
    ASSERT_TRUE(Await([&] { return line_.History().size() > heard + 20; }));
    int run = 0, longest = 0;
    const auto h = line_.History();
    for (size_t i = heard; i < h.size(); ++i) {
        if (h[i].plain.size() == 4 && h[i].plain[2] == 1 && (h[i].plain[0] & 0x7F) == 1)
            longest = std::max(longest, ++run);
        else if (h[i].plain.size() == 4 && h[i].plain[2] == 1)
            run = 0;
    }
    EXPECT_EQ(longest, 11) << "the first poll and 10 repeats";

    // Each fault on the line is counted under its code, and the console is not lost for it.
    struct Case
    {
        sim::ConsoleFault fault;
        uint8_t code;
    };
    for (const Case c : {Case{sim::ConsoleFault::BadCrc8, corecomp::kSecondFormBadCrc},
                         Case{sim::ConsoleFault::BadEscape, corecomp::kSecondFormBadEscape},
                         Case{sim::ConsoleFault::WrongAddress, corecomp::kSecondFormForeignAddress},
                         Case{sim::ConsoleFault::Silence, corecomp::kSecondFormShort}}) {
        const auto was = S().ConsoleStats(1).codes[c.code] + S().ConsoleStats(2).codes[c.code];
        line_.SetFault(c.fault, 1);
        ASSERT_TRUE(Await([&] {
            return S().ConsoleStats(1).codes[c.code] + S().ConsoleStats(2).codes[c.code] > was;
        })) << int(c.code);
    }
    ASSERT_TRUE(line_.QueueEvent(1, 251, 7));
    line_.SetFault(sim::ConsoleFault::BadCrc16, 1);
    ASSERT_TRUE(Await([&] { return S().ConsoleStats(1).codes[corecomp::kSecondFormBadCrc] >= 2; }));
    S().SetWork(false);
    EXPECT_EQ(Count(kReportDeviceLostRecord, 1, 0) + Count(kReportDeviceLostRecord, 2, 0), 0u);
}

TEST_F(ConsolesOnSim, LostOnTheSixthFailedPollInARowAndNotBefore)
{
    ASSERT_TRUE(line_.AddConsole(1, 31, 7));
    Open(0, 300);
    S().MarkConsoleForProbe(1);
    S().SetWork(true);
    ASSERT_TRUE(Await([&] { return Count(kReportDeviceFoundWithType, 1, 0) == 1; }));
    ASSERT_TRUE(Await([&] { return line_.Commands(1).size() >= 3; }));
    // Only the polls are left on the line: each silent answer is one failed poll.
    const auto polls = line_.Requests(1, 1);
    ASSERT_TRUE(Await([&] { return line_.Requests(1, 1) > polls + 3; }));
    for (int silent : {5, 6}) {
        SCOPED_TRACE(silent);
        const uint32_t failed = S().ConsoleStats(1).failedPolls;
        line_.SetFault(sim::ConsoleFault::Silence, silent);
        ASSERT_TRUE(Await([&] { return S().ConsoleStats(1).failedPolls >= failed + silent; }));
        if (silent == 5) {
            ASSERT_TRUE(Await([&] { return S().ConsoleStats(1).consecutiveFailures == 0; }));
            EXPECT_EQ(Count(kReportDeviceLostRecord, 1, 0), 0u) << "lost after five failures";
        } else {
            ASSERT_TRUE(Await([&] { return Count(kReportDeviceLostRecord, 1, 0) == 1; }));
        }
    }
    S().SetWork(false);
}

TEST_F(ConsolesOnSim, OwnersCommandsGoToTheConsolesAndEachIsAnsweredOnce)
{
    ASSERT_TRUE(line_.AddConsole(1, 31, 7));
    Open();
    std::map<int32_t, std::vector<uint8_t>> answers;
    size_t answered = 0;
    S().OnAsynchAnswer = [&](uint32_t, int32_t, int32_t sequence, int64_t,
                             const platform::OwnerMessage& m) {
        answers[sequence] = m.payload;
        ++answered;
    };
    S().MarkConsoleForProbe(1);
    S().SetWork(true);
    ASSERT_TRUE(Await([&] { return Count(kReportDeviceFoundWithType, 1, 0) == 1; }));
    ASSERT_TRUE(Await([&] { return line_.Commands(1).size() >= 3; }));

    // A first-form frame to console 1 (its type request), one to a console that is not there,
    // a general command and a posted frame through the ring.
    const int32_t toConsole = S().PostCommand(5, 0, {1, 6, 0, 3, 0, 0}, {});
    const int32_t toNobody = S().PostCommand(5, 0, {9, 6, 0, 3, 0, 0}, {});
    ASSERT_GE(toConsole, 0);
    ASSERT_GE(toNobody, 0);
    S().GeneralCommand(1, 4, {});
    ASSERT_TRUE(S().PostFrame({1, 8, 0, 7, 5, 6, 0, 0}));
    ASSERT_TRUE(Await([&] { return answered == 3; }));
    ASSERT_TRUE(Await([&] { return line_.Commands(1).size() >= 6; }));
    const auto type = answers.at(toConsole);
    ASSERT_GE(type.size(), 11u);
    EXPECT_EQ(std::vector<uint8_t>(type.begin() + 7, type.begin() + 11),
              (std::vector<uint8_t>{8, 3, 31, 7}))
        << "the console's answer to the type request";
    EXPECT_EQ(answers.at(toNobody), (std::vector<uint8_t>{9, 0, 0, 6, 12}));

    // Long requests on the wire: [command] [number] [data], the clock with every command 4.
    size_t clocks = 0, posted = 0;
    for (const auto& h : line_.History()) {
        const auto& p = h.plain;
        if (p.size() < 8 || p[2] != 3)
            continue;
        if (p[5] == 4) {
            ++clocks;
            EXPECT_EQ(p[4], 8) << "command 4 carries six clock bytes";
        }
        if (p[5] == 7) {
            ++posted;
            EXPECT_EQ(std::vector<uint8_t>(p.begin() + 7, p.end() - 2),
                      (std::vector<uint8_t>{5, 6, 0, 0}))
                << "the command is not repeated in the data";
        }
    }
    EXPECT_EQ(clocks, 2u) << "the greeting's and the owner's";
    EXPECT_EQ(posted, 1u);

    // A reset ends the console's waiting commands with code 150.
    S().SetWork(false);
    const int32_t waiting = S().PostCommand(5, 0, {1, 6, 0, 3, 0, 0}, {});
    S().ResetConsole(1);
    ASSERT_TRUE(Await([&] { return answers.count(waiting) == 1; }));
    EXPECT_EQ(answers.at(waiting), (std::vector<uint8_t>{1, 0, 0, 6, 150}));
    EXPECT_EQ(S().AsyncOutstanding(), 0);
}
