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

#include <cstdlib>
#include <filesystem>
#include <random>

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
