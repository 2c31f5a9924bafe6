// The session reaching the units through the simulated bus-driver service: WORKTYPE
// "ObmenXMLRPC", the XML-RPC transport, the link and its callback server, over loopback.

#include "sim/service.h"

#include "CoreComp/rssess/rs_session.h"
#include "CoreComp/xr_zemra.h"
#include "config_tool/device/bus_search.h"
#include "config_tool/device/session_channel.h"
#include "config_tool/device/transfer.h"
#include "config_tool/model/config_file.h"
#include "platform/registry.h"
#include "raw_line.h"
#include "sim_process.h"
#include "tests/platform/temp_dir.h"
#include "xmlrpc/fr_rpc.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <random>
#include <thread>

using simtest::Hex;
using simtest::ToHex;

namespace {

namespace fs = std::filesystem;

// The process registry is opened at its first use: point it at a file of our own first.
const platform::test::TempDir& Scratch()
{
    static const platform::test::TempDir dir;
    static const bool set = setenv("VENDAXO_REGISTRY", dir.File("registry.reg").c_str(), 1) == 0 &&
                            // Another process's "DRAVON" would put the session into service
                            // mode, where nothing is sent.
                            setenv("XDG_RUNTIME_DIR", dir.File("").c_str(), 1) == 0;
    (void)set;
    return dir;
}
[[maybe_unused]] const platform::test::TempDir& kScratchReady = Scratch();

struct NullObserver : device::ScanObserver
{
    void AddressStarted(int) override {}
    void UnitListed(const device::FoundUnit&) override {}
    void SelectFirstLine() override {}
    void Serve() override {}
};

TEST(ServiceE2e, SessionFindsReadsAndWritesTheUnitThroughTheService)
{
    // The link logs "logzemra21.txt" into the working folder.
    fs::current_path(Scratch().Path());
    const std::string dir = Scratch().File("rw");
    fs::create_directories(dir + "/dump");
    std::mt19937 random(7);
    model::Image image{};
    for (auto& b : image)
        b = static_cast<uint8_t>(random());
    model::KeyCodes codes{};
    codes[2] = {0x01, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77};
    const std::string unitFile = dir + "/unit.kconf";
    ASSERT_TRUE(model::SaveConfigFile(unitFile, "КЛВ", image, codes));

    simtest::SimProcess sim({"--service", "127.0.0.1:0", "--baud", "115200", "--turnaround", "0",
                             "--unit", "5:44:223:" + unitFile, "--registry",
                             platform::ProcessRegistry().Path(), "--dump", dir + "/dump",
                             "--max-seconds", "120"});
    const std::string ready = sim.WaitReady();
    ASSERT_TRUE(ready.starts_with("127.0.0.1:")) << sim.Stderr();

    model::KeyCodes written{};
    // The session waits out each frame's line time: the simulated line runs at 115200 too.
    ASSERT_TRUE(platform::ProcessRegistry().WriteDword(platform::Hive::LocalMachine, kBusKey,
                                                       "SpeedRSS", 115200));
    {
        TRSSession session;
        ASSERT_FALSE(session.Transport().CarriesDatagrams());
        ASSERT_NE(dynamic_cast<TXRZemra*>(&session.Transport()), nullptr)
            << "WORKTYPE ObmenXMLRPC chooses the XML-RPC transport";
        device::SessionChannel channel(session);
        device::NoOperationUi ui;

        device::BusScan scan(channel);
        NullObserver observer;
        scan.Run(1, observer);
        ASSERT_EQ(scan.Units().size(), 1u);
        EXPECT_EQ(scan.Units()[0].address, 5);

        device::Transfer transfer(channel, ui);
        model::Image read{};
        model::KeyCodes readCodes{};
        ASSERT_TRUE(transfer.ReadImage(5, 1, read));
        ASSERT_TRUE(transfer.ReadKeyCodes(5, 1, readCodes));
        const model::Image& mask = model::ReadMask();
        for (size_t i = 0; i < image.size(); ++i) {
            if (mask[i]) {
                ASSERT_EQ(read[i], image[i]) << "byte " << i;
            }
        }
        EXPECT_EQ(readCodes, codes);

        model::Image copy = read;
        model::KeyCodes codesCopy = readCodes;
        for (size_t i : {0, 1, 700, 7675})
            read[i] ^= 0x5A;
        readCodes[6] = {0x01, 0x0F, 0x1E, 0x2D, 0x3C, 0x4B, 0x5A, 0x69};
        ASSERT_EQ(transfer.WriteImage(5, 1, 1, read, copy), device::WriteOutcome::Written);
        ASSERT_TRUE(transfer.WriteKeyCodes(5, 1, readCodes, codesCopy));
        written = readCodes;

        // Coded frames: the session codes with the unit's key, the transport takes the coding
        // off for the service and puts it back on the answer.
        session.SetKeyWord(5, 0x3C96);
        for (int i = 0; i < 3; ++i) {
            ASSERT_TRUE(session.SendCommand({5, 8, 0, 0x43, 0x00, 0x00, 0, 8}, true, false, 0, 0));
            const std::vector<uint8_t>& a = session.Answer();
            ASSERT_GE(a.size(), 12u);
            EXPECT_EQ(std::vector<uint8_t>(a.begin() + 4, a.begin() + 12),
                      std::vector<uint8_t>(read.begin(), read.begin() + 8));
        }
    }

    sim.Signal(SIGTERM);
    ASSERT_EQ(sim.Wait(), 0) << sim.Stderr();
    const model::LoadedConfig dumped =
        model::LoadConfigFile(dir + "/dump/unit-5.kconf", std::nullopt);
    ASSERT_EQ(dumped.status, model::LoadStatus::Ok);
    std::vector<size_t> differ;
    for (size_t i = 0; i < image.size(); ++i)
        if (dumped.image[i] != image[i])
            differ.push_back(i);
    EXPECT_EQ(differ, (std::vector<size_t>{0, 1, 700, 7675}));
    EXPECT_EQ(dumped.codes, written);
}

// Late callbacks, callbacks before the "SendData" response, foreign counters, bad digests and
// lost callbacks, on a fixed seed: every accepted answer is the unit's answer to that request.
TEST(ServiceE2e, SpoiledCallbacksCostRetriesNeverAWrongAnswer)
{
    sim::Bus bus{{.baud = 115200, .turnaround_us = 1000}};
    ASSERT_TRUE(bus.AddUnit(9, 44, 223));
    model::Image image{};
    std::mt19937 random(3);
    for (auto& b : image)
        b = static_cast<uint8_t>(random());
    ASSERT_TRUE(bus.SetImage(9, image));

    sim::ServiceOptions options;
    options.late_ms = 300;
    options.seed = 11;
    using F = sim::ServiceFault;
    options.faults[static_cast<size_t>(F::Late)].probability = 0.05;
    options.faults[static_cast<size_t>(F::Early)].probability = 0.15;
    options.faults[static_cast<size_t>(F::Foreign)].probability = 0.15;
    options.faults[static_cast<size_t>(F::BadDigest)].probability = 0.03;
    options.faults[static_cast<size_t>(F::NoCallback)].probability = 0.03;
    sim::ServiceServer service(bus, options);
    std::string error;
    ASSERT_TRUE(service.Start(&error)) << error;
    const std::string registryPath = Scratch().File("faults.reg");
    ASSERT_TRUE(service.WriteRegistry(registryPath));
    platform::RegistryFile registry(registryPath);

    xrpc::TLinkTimeouts timeouts;
    timeouts.reply = std::chrono::milliseconds(200);
    TRSSession::Collaborators c;
    c.registry = &registry;
    c.transportFactory = [&](TRSSession& s, TRSSession::TransportKind kind) {
        EXPECT_EQ(kind, TRSSession::TransportKind::XmlRpc);
        return std::make_unique<TXRZemra>(
            &s, std::make_unique<xrpc::TfrRPC>(registry, timeouts, Scratch().File("link.log")));
    };
    TRSSession session(c);
    session.ReadRegistrySettings();
    session.SetRetryCount(8);

    for (int step = 0; step < 150; ++step) {
        const uint16_t offset = static_cast<uint16_t>(step * 48);
        ASSERT_TRUE(session.SendCommand({9, 8, 0, 0x43, static_cast<uint8_t>(offset & 0xFF),
                                         static_cast<uint8_t>(offset >> 8), 0, 8},
                                        true, false, 0, 0))
            << "step " << step;
        const std::vector<uint8_t>& a = session.Answer();
        ASSERT_EQ(a.size(), 13u);
        ASSERT_EQ(std::vector<uint8_t>(a.begin() + 4, a.begin() + 12),
                  std::vector<uint8_t>(image.begin() + offset, image.begin() + offset + 8))
            << "step " << step << ": an answer to another request was taken";
    }
    EXPECT_GT(session.ExchangeCounters().failedTries, 0u);
    EXPECT_GE(service.SendDataCount(), 150);
}

} // namespace

namespace {

// A unit behind the in-process service, and a session whose link is the real TfrRPC with the
// given time-outs.  The channel and transfer are the device operations' own.
struct ServiceRig
{
    ServiceRig(sim::ServiceOptions options, xrpc::TLinkTimeouts timeouts, uint32_t seed,
               const std::string& name)
    {
        EXPECT_TRUE(bus.AddUnit(9, 44, 223));
        std::mt19937 random(seed);
        for (auto& b : image)
            b = static_cast<uint8_t>(random());
        EXPECT_TRUE(bus.SetImage(9, image));
        service = std::make_unique<sim::ServiceServer>(bus, std::move(options));
        std::string error;
        EXPECT_TRUE(service->Start(&error)) << error;
        const std::string path = Scratch().File(name + ".reg");
        EXPECT_TRUE(service->WriteRegistry(path));
        registry = std::make_unique<platform::RegistryFile>(path);
        // The session waits out each frame's line time: the simulated line runs at 115200.
        EXPECT_TRUE(registry->WriteDword(platform::Hive::LocalMachine, kBusKey, "SpeedRSS", 115200));
        TRSSession::Collaborators c;
        c.registry = registry.get();
        c.transportFactory = [this, timeouts, name](TRSSession& s, TRSSession::TransportKind) {
            auto made = std::make_unique<xrpc::TfrRPC>(*registry, timeouts,
                                                       Scratch().File(name + ".log"));
            link = made.get();
            return std::make_unique<TXRZemra>(&s, std::move(made));
        };
        session = std::make_unique<TRSSession>(c);
        channel = std::make_unique<device::SessionChannel>(*session);
    }
    ~ServiceRig()
    {
        channel.reset();
        session.reset();
        EXPECT_EQ(service->ProtocolFaults(), std::vector<std::string>{})
            << "the service refused calls of the link";
        service->Stop();
    }

    ::testing::AssertionResult SameImage(const model::Image& read) const
    {
        const model::Image& mask = model::ReadMask();
        int wrong = 0;
        size_t first = 0;
        for (size_t i = 0; i < image.size(); ++i)
            if (mask[i] && read[i] != image[i] && wrong++ == 0)
                first = i;
        if (wrong == 0)
            return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << wrong << " bytes wrong, the first at " << first;
    }

    sim::Bus bus{{.baud = 115200, .turnaround_us = 1000}};
    model::Image image{};
    std::unique_ptr<sim::ServiceServer> service;
    std::unique_ptr<platform::RegistryFile> registry;
    xrpc::TfrRPC* link = nullptr;
    std::unique_ptr<TRSSession> session;
    std::unique_ptr<device::SessionChannel> channel;
};

// Passes requests on and runs an action before the exchange with a given index.
class ActingChannel : public device::CommandChannel
{
public:
    ActingChannel(device::CommandChannel& inner, std::map<int, std::function<void()>> actions)
        : inner_(inner), actions_(std::move(actions))
    {
    }
    void SetComPort(int port) override { inner_.SetComPort(port); }
    void ReadRegistrySettings() override { inner_.ReadRegistrySettings(); }
    void SetRetryCount(int n) override { inner_.SetRetryCount(n); }
    device::Frame Exchange(const device::Frame& request) override
    {
        if (const auto a = actions_.find(exchanges_++); a != actions_.end())
            a->second();
        return inner_.Exchange(request);
    }
    int Exchanges() const { return exchanges_; }

private:
    device::CommandChannel& inner_;
    std::map<int, std::function<void()>> actions_;
    int exchanges_ = 0;
};

sim::ServiceOptions SpoiledCallbacks(uint32_t seed, int comPort, uint32_t lateMs)
{
    sim::ServiceOptions options;
    options.seed = seed;
    options.comPort = comPort;
    options.late_ms = lateMs;
    using F = sim::ServiceFault;
    options.faults[static_cast<size_t>(F::NoCallback)].probability = 0.05;
    options.faults[static_cast<size_t>(F::Late)].probability = 0.05;
    return options;
}

// 5 % of callbacks withheld and 5 % later than the link waits: the whole image, read as the
// tool reads it, is the unit's or the read fails with message 4.  The link's wait is shortened
// (and the late callbacks with it) to keep the run short; the next test keeps the real one.
void ReadThroughSpoiledCallbacks(uint32_t seed, int comPort)
{
    xrpc::TLinkTimeouts timeouts;
    timeouts.reply = std::chrono::milliseconds(200);
    ServiceRig rig(SpoiledCallbacks(seed, comPort, 300), timeouts, seed,
                   "spoiled" + std::to_string(seed));
    device::NoOperationUi ui;
    device::Transfer transfer(*rig.channel, ui);
    model::Image read{};
    // A read that fails is reported (message 4); one that succeeds holds the unit's bytes.
    if (transfer.ReadImage(9, 1, read)) {
        EXPECT_TRUE(rig.SameImage(read));
    }
    EXPECT_GT(rig.session->ExchangeCounters().failedTries, 20u) << "the faults were there";
}

TEST(ServiceFaults, WithheldAndLateCallbacksNeverShiftAnImageReadMacMode)
{
    ReadThroughSpoiledCallbacks(21, 0);
}

TEST(ServiceFaults, WithheldAndLateCallbacksNeverShiftAnImageReadComLineMode)
{
    ReadThroughSpoiledCallbacks(22, 3);
}

// The same with the link's real 2000 ms wait and callbacks 2500 ms late, over the first 120
// steps of the image (each fault costs the whole wait).
TEST(ServiceFaults, CallbacksLaterThanTheRealWaitAreNeverTaken)
{
    ServiceRig rig(SpoiledCallbacks(23, 0, 2500), {}, 23, "realwait");
    rig.channel->SetComPort(1);
    rig.channel->ReadRegistrySettings();
    rig.channel->SetRetryCount(device::kTransferRetries);
    const model::Image& mask = model::ReadMask();
    int wrong = 0;
    for (int step = 0; step < 120; ++step) {
        const size_t o = static_cast<size_t>(step) * 8;
        const device::Frame answer =
            rig.channel->Exchange(device::ImageReadRequest(9, static_cast<uint16_t>(o)));
        if (answer.empty())
            break; // the read fails (message 4)
        ASSERT_EQ(answer.size(), 13u);
        for (size_t i = o; i < o + 8; ++i)
            if (mask[i] && answer[4 + i - o] != rig.image[i])
                ++wrong;
    }
    EXPECT_EQ(wrong, 0);
    EXPECT_GT(rig.session->ExchangeCounters().failedTries, 0u) << "the faults were there";
}

// The service stops and comes back while an image is read: the read fails with its message
// without waiting out a call time-out per step, and once the link's next try is due the next
// read is whole.
TEST(ServiceFaults, StoppedAndRestartedInTheMiddleOfARead)
{
    ServiceRig rig({}, {}, 24, "restart");
    std::chrono::steady_clock::time_point stopped;
    ActingChannel acting(*rig.channel, {{300, [&] {
                                             rig.service->Stop();
                                             stopped = std::chrono::steady_clock::now();
                                         }}});
    device::NoOperationUi ui;
    model::Image read{};
    {
        device::Transfer transfer(acting, ui);
        EXPECT_FALSE(transfer.ReadImage(9, 1, read)) << "the read fails (message 4)";
    }
    ASSERT_GT(acting.Exchanges(), 300) << "the read failed before the service stopped";
    EXPECT_LT(std::chrono::steady_clock::now() - stopped, std::chrono::seconds(5));
    ASSERT_NE(rig.link, nullptr);
    EXPECT_TRUE(rig.link->ServiceUnreachable());
    std::string error;
    ASSERT_TRUE(rig.service->Start(&error)) << error;
    std::this_thread::sleep_until(rig.link->NextTry());
    device::Transfer transfer(*rig.channel, ui);
    ASSERT_TRUE(transfer.ReadImage(9, 1, read));
    EXPECT_TRUE(rig.SameImage(read));
    EXPECT_FALSE(rig.link->ServiceUnreachable());
}

// The service's own faults in the middle of a read: a restart that forgets its subscribers
// (the link subscribes again), and the device reported disconnected for less than the link's
// connect wait.  The read rides both out.
TEST(ServiceFaults, ARestartThatForgetsTheSubscriberAndABriefDisconnection)
{
    ServiceRig rig({}, {}, 25, "forget");
    ActingChannel acting(*rig.channel,
                         {{200, [&] { ASSERT_TRUE(rig.service->Restart()); }},
                          {500, [&] { rig.service->SetOffline(std::chrono::milliseconds(700)); }}});
    device::NoOperationUi ui;
    device::Transfer transfer(acting, ui);
    model::Image read{};
    ASSERT_TRUE(transfer.ReadImage(9, 1, read));
    EXPECT_TRUE(rig.SameImage(read));
    EXPECT_EQ(rig.service->SubscribeCount(), 3) << "subscribed at the start, after the "
                                                   "restart and after the disconnection";
}

// A service whose host stops answering in the middle of a scan: one call runs to its
// time-out, the link then fails every exchange at once between spaced tries, and the scan ends
// well within half a minute with no unit found.
TEST(ServiceFaults, ScanOverAServiceThatStopsAnswering)
{
    fs::current_path(Scratch().Path());
    simtest::SimProcess sim({"--service", "127.0.0.1:0", "--baud", "115200", "--unit", "77:44:223",
                             "--registry", Scratch().File("scan.reg"), "--max-seconds", "120"});
    ASSERT_TRUE(sim.WaitReady().starts_with("127.0.0.1:")) << sim.Stderr();
    platform::RegistryFile registry(Scratch().File("scan.reg"));
    ASSERT_TRUE(registry.WriteDword(platform::Hive::LocalMachine, kBusKey, "SpeedRSS", 115200));
    TRSSession::Collaborators c;
    c.registry = &registry;
    TRSSession session(c);
    device::SessionChannel channel(session);
    ActingChannel acting(channel, {{10, [&] { sim.Signal(SIGSTOP); }}});
    device::BusScan scan(acting);
    NullObserver observer;
    const auto start = std::chrono::steady_clock::now();
    scan.Run(1, observer);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(acting.Exchanges(), 126);
    EXPECT_TRUE(scan.Units().empty());
    EXPECT_LT(took, std::chrono::seconds(30));
    sim.Signal(SIGCONT);
    sim.Signal(SIGTERM);
    EXPECT_EQ(sim.Wait(), 0) << sim.Stderr();
}

} // namespace
