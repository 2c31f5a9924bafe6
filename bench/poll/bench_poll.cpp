// The polling thread in its steady state: three simulated units on a pty, a 32-slot schedule
// (weights 16, 8 and 8), the search off, a few numbered events a second.  Prints, at 9600 and
// 115200 bit/s, the polls per second against the line model (each poll's mandated pauses, its
// line-time wait, the unit's turnaround and both frames' wire time), and at 9600 bit/s the 99th
// percentile of an event's way from its creation in the simulator to the owner beyond one
// pass, and the polling thread's CPU time as a share of one core.

#include "sim/bus.h"
#include "sim/pty_server.h"

#include "CoreComp/rssess/rs_session.h"
#include "platform/owner_channel.h"
#include "platform/registry.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <unistd.h>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;

constexpr int kCom = 9;
constexpr double kTurnaroundMs = 2;
constexpr int kPollBytes = 7;     // request: L = 6 and the checksum
constexpr int kIdleAnswer = 6;    // a 05 02 00 00 and the checksum
constexpr int kEventAnswer = 7;   // a 06 04 16 n_lo n_hi 00 ... (command 04)
constexpr double kEventsPerSecond = 2; // per unit
constexpr int kSlots = 32;

double ThreadCpuSeconds()
{
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

struct Settings
{
    double byteMs, pauseMs, tailMs, startMs, confirmMs;
};

// One poll on the line: pause, request and its line-time wait, turnaround, answer, pause.
double PollMs(const Settings& s, int answerBytes)
{
    return s.pauseMs + s.tailMs + s.byteMs * kPollBytes + kTurnaroundMs + s.byteMs * answerBytes;
}

struct Result
{
    double ratio = 0, excessP99Ms = 0, cpuShare = 0;
};

Result Run(int baud, double seconds)
{
    platform::RegistryFile& reg = platform::ProcessRegistry();
    reg.WriteDword(platform::Hive::LocalMachine, kBusKey, "SpeedRSS", baud);
    sim::Bus bus({.baud = static_cast<uint32_t>(baud),
                  .turnaround_us = static_cast<uint32_t>(kTurnaroundMs * 1000)});
    for (uint8_t a : {1, 2, 3})
        bus.AddUnit(a, 1, 223);
    sim::PtyServer server(bus, {"", reg.Path(), kCom, ""});
    std::string error;
    if (!server.Start(&error)) {
        std::fprintf(stderr, "bench_poll: %s\n", error.c_str());
        std::exit(1);
    }
    platform::OwnerChannel owner;
    TRSSession::Collaborators c;
    c.owner = &owner;
    Result result;
    {
        TRSSession session(std::move(c));
        session.SetComPort(kCom);
        const TBusSettings& b = session.Settings();
        const Settings s{10.0 * 1000.0 / baud, static_cast<double>(b.PauseFromSession),
                         (b.TailInUS + 200) / 1000.0, static_cast<double>(b.StartTimeout),
                         static_cast<double>(b.ConfirmationTimeOut)};
        session.SetSearchEnabled(false);
        session.SetPollWeight(1, 16);
        session.SetPollWeight(2, 8);
        session.SetPollWeight(3, 8);
        session.BuildPollSchedule();

        std::vector<double> latencyMs;
        double cpuFirst = -1, cpuLast = 0;
        int64_t wallFirst = 0, wallLast = 0;
        size_t events = 0;
        std::atomic<bool> measuring{false};
        // Runs on the polling thread with every event it takes: its own CPU clock.
        session.RelayEventAnswerHook = [&](const std::vector<uint8_t>&) {
            const double cpu = ThreadCpuSeconds();
            const int64_t now = server.NowUs();
            if (cpuFirst < 0 && measuring) {
                cpuFirst = cpu;
                wallFirst = now;
            }
            cpuLast = cpu;
            wallLast = now;
        };
        session.OnNewEvent = [&](const std::vector<uint8_t>& e) {
            const int64_t now = server.NowUs();
            const size_t n = static_cast<size_t>(e.at(4) | e.at(5) << 8);
            if (const auto created = bus.EventCreatedUs(e.at(0), n); created && measuring) {
                latencyMs.push_back(static_cast<double>(now - *created) / 1000.0);
                ++events;
            }
        };
        session.SetWork(true);
        if (!session.Work()) {
            std::fprintf(stderr, "bench_poll: the line did not open\n");
            std::exit(1);
        }
        owner.WaitServing([] { return false; }, 1500ms); // past the first full rounds
        const int64_t start = server.NowUs();
        for (uint8_t a : {1, 2, 3})
            bus.SetEventRate(a, kEventsPerSecond, start);
        measuring = true;
        const uint32_t pollsBefore = session.PollCounters().polls;
        owner.WaitServing([] { return false; },
                          std::chrono::milliseconds(static_cast<int>(seconds * 1000)));
        const uint32_t polls = session.PollCounters().polls - pollsBefore;
        const double elapsed = static_cast<double>(server.NowUs() - start) / 1e6;
        measuring = false;
        session.SetWork(false);

        // The model: every poll, the extra of each event (a longer answer, the confirmation
        // pause and the acknowledgement with its line-time wait), the pause after a pass.
        const double eventsPerSecond = 3 * kEventsPerSecond;
        const double idleMs = PollMs(s, kIdleAnswer) + s.startMs;
        const double eventExtraMs = s.byteMs * (kEventAnswer - kIdleAnswer) + s.confirmMs +
                                    s.tailMs + s.byteMs * kPollBytes + s.startMs;
        const double passMs = kSlots * idleMs + 20;
        // Polls a second with the line busy for events' extras for part of every second.
        const double modelPollsPerSecond =
            kSlots * (1000.0 - eventsPerSecond * eventExtraMs) / passMs;
        result.ratio = (polls / elapsed) / modelPollsPerSecond;

        const double measuredPassMs = elapsed * 1000.0 * kSlots / std::max<uint32_t>(polls, 1);
        if (!latencyMs.empty()) {
            std::sort(latencyMs.begin(), latencyMs.end());
            const size_t at = std::min(latencyMs.size() - 1, latencyMs.size() * 99 / 100);
            result.excessP99Ms = latencyMs[at] - measuredPassMs;
        }
        if (cpuFirst >= 0 && wallLast > wallFirst)
            result.cpuShare =
                100.0 * (cpuLast - cpuFirst) / (static_cast<double>(wallLast - wallFirst) / 1e6);
        (void)events;
    }
    server.Stop();
    return result;
}

} // namespace

int main()
{
    namespace fs = std::filesystem;
    const fs::path scratch = fs::temp_directory_path() / ("vendaxo-bench-poll-" + std::to_string(getpid()));
    fs::create_directories(scratch);
    setenv("VENDAXO_REGISTRY", (scratch / "registry.reg").c_str(), 1);
    setenv("XDG_RUNTIME_DIR", scratch.c_str(), 1);

    const Result slow = Run(9600, 8.0);
    const Result fast = Run(115200, 4.0);
    std::printf("poll.9600.ratio: %.3f\n", slow.ratio);
    std::printf("poll.9600.ratio.target: 0.95\n");
    std::printf("poll.115200.ratio: %.3f\n", fast.ratio);
    std::printf("poll.115200.ratio.target: 0.95\n");
    std::printf("poll.9600.latency_excess_p99: %.1f ms\n", slow.excessP99Ms);
    std::printf("poll.9600.latency_excess_p99.target: 50 ms\n");
    std::printf("poll.9600.cpu_share: %.2f %%\n", slow.cpuShare);
    std::printf("poll.9600.cpu_share.target: 5 %%\n");
    std::error_code ec;
    fs::remove_all(scratch, ec);
    return 0;
}
