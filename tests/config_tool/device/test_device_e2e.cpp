// The device operations through the real session against t4700-sim: on a pseudo-terminal, and
// the main ones again through the simulator's Ethernet-to-RS-485 converter on UDP and through
// its bus-driver service in both of the link's modes.

#include "CoreComp/ethernet_zemra.h"
#include "CoreComp/rssess/rs_session.h"
#include "config_tool/device/bus_search.h"
#include "config_tool/device/key_reader.h"
#include "config_tool/device/session_channel.h"
#include "config_tool/device/transfer.h"
#include "config_tool/model/codecs.h"
#include "config_tool/model/config_file.h"
#include "platform/last_error.h"
#include "platform/registry.h"

#include "sim_process.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

namespace device {
namespace {

namespace fs = std::filesystem;
using testing::SimProcess;

constexpr int kCom = 7;

// The process registry is opened once, at its first use: point it at a file of our own first
// (the fixture's first base does, before the session is built).
const fs::path& Scratch()
{
    static const fs::path dir = [] {
        std::string tmpl = (fs::temp_directory_path() / "vendaxo-device-e2e-XXXXXX").string();
        const char* made = mkdtemp(tmpl.data());
        fs::path p = made ? fs::path(made) : fs::temp_directory_path();
        setenv("VENDAXO_REGISTRY", (p / "registry.reg").c_str(), 1);
        // Named mutexes are machine-wide: another process's "DRAVON" would put our sessions
        // into service mode, where nothing is sent.
        setenv("XDG_RUNTIME_DIR", p.c_str(), 1);
        return p;
    }();
    return dir;
}
struct ScratchCleanup : ::testing::Environment
{
    void TearDown() override
    {
        if (used)
            fs::remove_all(Scratch());
    }
    static inline bool used = false;
};
[[maybe_unused]] ::testing::Environment* const kCleanup =
    ::testing::AddGlobalTestEnvironment(new ScratchCleanup);

platform::RegistryFile& Registry() { return platform::ProcessRegistry(); }

void SetBusValue(const char* name, int value)
{
    ASSERT_TRUE(Registry().WriteDword(platform::Hive::LocalMachine, kBusKey, name, value));
}

// Passes requests on and freezes the simulator before the exchange with the given index, so
// the unit goes silent in the middle of an operation.
class SilencingChannel : public CommandChannel
{
public:
    SilencingChannel(CommandChannel& inner, SimProcess& sim, int silentFrom)
        : inner_(inner), sim_(sim), silentFrom_(silentFrom)
    {
    }
    void SetComPort(int port) override { inner_.SetComPort(port); }
    void ReadRegistrySettings() override { inner_.ReadRegistrySettings(); }
    void SetRetryCount(int n) override { inner_.SetRetryCount(n); }
    Frame Exchange(const Frame& request) override
    {
        if (exchanges_++ == silentFrom_)
            sim_.Pause();
        return inner_.Exchange(request);
    }

private:
    CommandChannel& inner_;
    SimProcess& sim_;
    int silentFrom_;
    int exchanges_ = 0;
};

// Passes requests on and kills the simulator before the exchange with the given index.
class KillingChannel : public CommandChannel
{
public:
    KillingChannel(CommandChannel& inner, SimProcess& sim, int killAt)
        : inner_(inner), sim_(sim), killAt_(killAt)
    {
    }
    void SetComPort(int port) override { inner_.SetComPort(port); }
    void ReadRegistrySettings() override { inner_.ReadRegistrySettings(); }
    void SetRetryCount(int n) override { inner_.SetRetryCount(n); }
    Frame Exchange(const Frame& request) override
    {
        if (exchanges_++ == killAt_)
            sim_.Kill();
        return inner_.Exchange(request);
    }

private:
    CommandChannel& inner_;
    SimProcess& sim_;
    int killAt_;
    int exchanges_ = 0;
};

struct ScratchFirst
{
    ScratchFirst()
    {
        Scratch();
        ScratchCleanup::used = true;
    }
};

// The roads to the line: the serial port, or a converter on loopback that the simulator
// registers as the port's only converter, or the bus-driver service in MAC mode or in COM-line
// mode (the simulator writes the link's values).
enum class Road { Serial, Udp, Service, ServiceComLine };

bool IsService(Road road) { return road == Road::Service || road == Road::ServiceComLine; }

struct E2eFixture : ScratchFirst, ::testing::Test
{
    void SetUp() override
    {
        const auto path = testing::SimulatorPath();
#ifdef VENDAXO_SIM_PATH
        ASSERT_TRUE(path) << "t4700-sim missing: " << VENDAXO_SIM_PATH;
#else
        if (!path)
            GTEST_SKIP() << "t4700-sim is not part of this build";
#endif
        simPath = *path;
        dir = Scratch() / ::testing::UnitTest::GetInstance()->current_test_info()->name();
        fs::remove_all(dir);
        fs::create_directories(dir / "dump");
        for (const char* name : {"CmdTimeoutConstant", "TimeoutConstant", "SpeedRSS",
                                 "PauseFromSession", "IsOneWriteFile"})
            Registry().DeleteValue(platform::Hive::LocalMachine, kBusKey, name);
    }

    // A unit file with random memory and a few credentials.
    std::string MakeUnitFile(uint32_t seed)
    {
        std::mt19937 random(seed);
        for (auto& b : image)
            b = static_cast<uint8_t>(random());
        codes = {};
        codes[0] = {0x01, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77};
        codes[5] = {0x01, 0xA0, 0xB0, 0xC0, 0xD0, 0xE0, 0xF0, 0x99};
        const std::string path = (dir / "unit.kconf").string();
        EXPECT_TRUE(model::SaveConfigFile(path, "КЛВ", image, codes));
        return path;
    }

    bool StartSim(std::vector<std::string> args)
    {
        for (const char* a : {"--registry", Registry().Path().c_str()})
            args.push_back(a);
        if (IsService(road)) {
            // The service serves no pty: it takes the place of the port.
            args.insert(args.begin(), {"--service", "127.0.0.1:0"});
            // The link logs "logzemra21.txt" into the working folder.
            fs::current_path(dir);
            if (road == Road::ServiceComLine)
                args.insert(args.begin(), {"--svc-com", "4"});
        } else {
            args.push_back("--com");
            args.push_back(std::to_string(kCom));
        }
        args.push_back("--dump");
        args.push_back((dir / "dump").string());
        args.push_back("--max-seconds");
        args.push_back("300");
        if (road == Road::Udp) {
            // A free port of its own, so parallel tests keep apart; no extra answer wait, so
            // the silent addresses of a scan cost what they cost on the serial line.
            for (const char* a : {"--udp", "127.0.0.2:0", "--eth-wait", "0"})
                args.push_back(a);
        }
        simStarted = sim.Start(simPath, args);
        return simStarted;
    }

    // Over the service, a call that the simulated service refused fails the run.
    void TearDown() override
    {
        if (IsService(road) && simStarted) {
            EXPECT_EQ(sim.Stop(), 0) << "the service refused calls (see its standard error)";
        }
    }

    // Masked bytes of two images are equal.
    static ::testing::AssertionResult SameTransferredBytes(const model::Image& a, const model::Image& b)
    {
        const model::Image& mask = model::ReadMask();
        for (std::size_t i = 0; i < a.size(); ++i)
            if (mask[i] && a[i] != b[i])
                return ::testing::AssertionFailure() << "byte " << i << ": " << int(a[i]) << " vs " << int(b[i]);
        return ::testing::AssertionSuccess();
    }

    Road road = Road::Serial;
    bool simStarted = false;
    std::string simPath;
    fs::path dir;
    SimProcess sim;
    model::Image image{};
    model::KeyCodes codes{};
    TRSSession session;
    SessionChannel channel{session};
    NoOperationUi ui;
};

std::string LineRoadName(const ::testing::TestParamInfo<Road>& info)
{
    return info.param == Road::Udp ? "Udp" : "Serial";
}

// The tests that run on every road.
struct E2eTest : E2eFixture, ::testing::WithParamInterface<Road>
{
    E2eTest() { road = GetParam(); }
};
INSTANTIATE_TEST_SUITE_P(Roads, E2eTest, ::testing::Values(Road::Serial, Road::Udp), LineRoadName);
INSTANTIATE_TEST_SUITE_P(ServiceRoads, E2eTest,
                         ::testing::Values(Road::Service, Road::ServiceComLine),
                         [](const auto& info) {
                             return info.param == Road::Service ? "MacMode" : "ComLineMode";
                         });

// The tests that read the units' events on the line: over the service, the service polls the
// events itself, so they are not made for its roads.
struct E2eLineTest : E2eTest
{
};
INSTANTIATE_TEST_SUITE_P(Roads, E2eLineTest, ::testing::Values(Road::Serial, Road::Udp),
                         LineRoadName);

// The serial line's fault tests.
struct E2eSerialTest : E2eFixture
{
};

// Through the simulator's converter.
struct E2eUdpTest : E2eFixture
{
    E2eUdpTest() { road = Road::Udp; }
};

struct NullObserver : ScanObserver
{
    void AddressStarted(int) override {}
    void UnitListed(const FoundUnit&) override {}
    void SelectFirstLine() override {}
    void Serve() override {}
};

TEST_P(E2eTest, SearchFindsTheUnitsOfATwoUnitLine)
{
    // One try per address, so an answer missed once is a unit not found.  The session drops
    // what came in before its line-time wait ended, and a busy machine can end that wait late:
    // the units answer 20 ms after a request, and a time-out of 120 ms leaves them room to be
    // late in turn (124 silent addresses wait it out in full).
    SetBusValue("CmdTimeoutConstant", 120);
    ASSERT_TRUE(StartSim({"--turnaround", "20", "--unit", "3:44:223", "--unit", "77:10:223"}));
    BusScan scan(channel);
    NullObserver observer;
    scan.Run(kCom, observer);
    ASSERT_EQ(scan.Units().size(), 2u);
    EXPECT_EQ(scan.Units()[0].address, 3);
    EXPECT_EQ(scan.Units()[1].address, 77);
    EXPECT_EQ(scan.Accept(0).model, "КЛВ");
    EXPECT_EQ(scan.Accept(1).model, "ВД");
}

// Through a converter that writes a constant number where the request's belongs, a silent
// address owes its answer and no other address waits for it: the search holds no send for an
// owed answer, and so takes what it takes through one that echoes.
TEST_F(E2eUdpTest, ASearchWithoutTheEchoWaitsForNoOwedAnswer)
{
    SetBusValue("CmdTimeoutConstant", 120); // as in the search above
    ASSERT_TRUE(StartSim({"--udp-fixed-seq", "0", "--turnaround", "20", "--unit", "3:44:223",
                          "--unit", "77:10:223"}));
    BusScan scan(channel);
    NullObserver observer;
    scan.Run(kCom, observer);
    ASSERT_EQ(scan.Units().size(), 2u);
    auto* converter = dynamic_cast<TEthernetZemra*>(&session.Transport());
    ASSERT_NE(converter, nullptr);
    EXPECT_FALSE(converter->Link().EchoTrusted());
    EXPECT_EQ(converter->Link().HeldSends(), 0);
}

TEST_P(E2eTest, ReadChangeAndWriteBackExactlyTheChangedBytes)
{
    SetBusValue("SpeedRSS", 115200);
    // An answer later than the time-out is taken for the retry's, and the retry's own answer
    // then for the next step's: an image read answer names no offset, so those bytes land 8
    // further on.  A loaded machine can hold the simulator back beyond the default 600 ms;
    // this test is about which bytes travel, so no answer may come late.
    SetBusValue("CmdTimeoutConstant", 2000);
    ASSERT_TRUE(StartSim({"--baud", "115200", "--unit", "5:44:223:" + MakeUnitFile(1)}));
    Transfer transfer(channel, ui);

    model::Image read{};
    model::KeyCodes readCodes{};
    ASSERT_TRUE(transfer.ReadImage(5, kCom, read));
    ASSERT_TRUE(transfer.ReadKeyCodes(5, kCom, readCodes));
    EXPECT_TRUE(SameTransferredBytes(read, image))
        << "failed tries: " << session.ExchangeCounters().failedTries;
    EXPECT_EQ(readCodes, codes);

    model::Image copy = read;
    model::KeyCodes codesCopy = readCodes;
    const std::size_t changed[] = {0, 1, 2, 130, 700, 701, 709, 7552, 7675};
    for (std::size_t i : changed)
        read[i] ^= 0xA5;
    readCodes[3] = {0x01, 0x0F, 0x1E, 0x2D, 0x3C, 0x4B, 0x5A, 0x69};
    ASSERT_EQ(transfer.WriteImage(5, kCom, kCom, read, copy), WriteOutcome::Written);
    ASSERT_TRUE(transfer.WriteKeyCodes(5, kCom, readCodes, codesCopy));
    EXPECT_EQ(copy, read);
    EXPECT_EQ(codesCopy, readCodes);

    ASSERT_EQ(sim.Stop(), 0);
    const model::LoadedConfig dumped =
        model::LoadConfigFile((dir / "dump" / "unit-5.kconf").string(), std::nullopt);
    ASSERT_EQ(dumped.status, model::LoadStatus::Ok);
    std::vector<std::size_t> differ;
    for (std::size_t i = 0; i < image.size(); ++i)
        if (dumped.image[i] != image[i])
            differ.push_back(i);
    EXPECT_EQ(differ, std::vector<std::size_t>(std::begin(changed), std::end(changed)));
    for (std::size_t i : changed)
        EXPECT_EQ(dumped.image[i], read[i]);
    EXPECT_EQ(dumped.codes, readCodes);
}

TEST_P(E2eLineTest, PresentedCredentialIsRead)
{
    const std::string shown = "5A000001B2C3D401"; // as the tool shows it, check byte first
    ASSERT_TRUE(StartSim({"--unit", "9:44:223", "--present-key", "9:" + shown + ":1500"}));
    KeyCodeReader reader(channel);
    ASSERT_EQ(reader.Start(9, kCom), KeyStartResult::Polling);
    KeyPollResult result = KeyPollResult::KeepPolling;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    while (result == KeyPollResult::KeepPolling && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100)); // the main window's tick
        result = reader.PollStep();
    }
    ASSERT_EQ(result, KeyPollResult::CodeFound);
    EXPECT_EQ(model::KeyBytesToText(reader.Code()), shown);
    EXPECT_FALSE(reader.Active());
}

TEST_P(E2eLineTest, DrainReadsEachEventOnceAndTheSessionAcknowledgesIt)
{
    // Event reads wait only 50 ms by default: a late answer would be taken for the next read's.
    SetBusValue("TimeoutConstant", 2000);
    const std::string log = (dir / "line.log").string();
    std::vector<std::string> args{"--unit", "9:44:223", "--log", log};
    for (const char* code : {"5A000001B2C3D401", "5A000001B2C3D402", "5A000001B2C3D403"})
        for (const std::string& a : {std::string("--present-key"), "9:" + std::string(code) + ":0"})
            args.push_back(a);
    ASSERT_TRUE(StartSim(args));
    // The simulator queues the events from its main loop after it has reported ready: wait for
    // them with reads that acknowledge nothing, so that none is dropped before the drain.
    channel.SetComPort(kCom);
    channel.ReadRegistrySettings();
    int probes = 0;
    for (bool queued = false; !queued; ++probes) {
        ASSERT_LT(probes, 100) << "the presented events never came";
        ASSERT_TRUE(session.SendCommand(EventReadRequest(9), true, true, 0, 0));
        queued = session.Answer().at(2) != 0x02;
    }
    KeyCodeReader reader(channel);
    ASSERT_EQ(reader.Start(9, kCom), KeyStartResult::Polling);
    EXPECT_EQ(reader.DrainReads(), 4);
    ASSERT_EQ(sim.Stop(), 0);

    // "HH:MM:SS.mmm in XX XX ..." per request the unit got; byte 3 is the command.
    std::ifstream in(log);
    int reads = 0, acknowledgements = 0;
    for (std::string line; std::getline(in, line);) {
        std::istringstream words(line);
        std::string time, direction;
        words >> time >> direction;
        std::vector<int> bytes;
        for (std::string hex; words >> hex;)
            bytes.push_back(std::stoi(hex, nullptr, 16));
        if (direction != "in" || bytes.size() < 4)
            continue;
        reads += bytes[3] == 0x01 ? 1 : 0;
        acknowledgements += bytes[3] == 0x03 ? 1 : 0;
    }
    // Each event is read once and acknowledged once.  A try whose answer the session missed (a
    // busy machine can wake it after the answer came, and the purge then drops it) is sent
    // again, and the unit sees that read twice.
    const uint32_t retries = session.ExchangeCounters().failedTries;
    EXPECT_GE(reads, probes + 4);
    EXPECT_LE(reads, probes + 4 + static_cast<int>(retries));
    EXPECT_EQ(acknowledgements, 3);
}

// A unit that holds as many events as it can keep: the drain reads them all and polling
// starts on the empty log.
TEST_F(E2eSerialTest, FullEventLogIsDrainedToItsEnd)
{
    SetBusValue("TimeoutConstant", 2000); // see above: no late answer taken for the next read's
    constexpr int kLogEvents = 1024;      // what the simulated unit keeps
    std::vector<std::string> args{"--unit", "9:44:223"};
    for (int n = 1; n <= kLogEvents; ++n) {
        char body[16];
        std::snprintf(body, sizeof body, "0410%02X%02X0000", n & 0xFF, n >> 8);
        args.push_back("--event");
        args.push_back(std::string("9:") + body);
    }
    ASSERT_TRUE(StartSim(args));
    KeyCodeReader reader(channel);
    ASSERT_EQ(reader.Start(9, kCom), KeyStartResult::Polling);
    // Every event is read; on a busy machine a read the session has to repeat can bring one
    // event twice, never many.
    EXPECT_GE(reader.DrainReads(), kLogEvents + 1);
    EXPECT_LE(reader.DrainReads(), kLogEvents + 1 + 32);
    EXPECT_EQ(reader.PollStep(), KeyPollResult::KeepPolling);
    EXPECT_TRUE(reader.Active());
}

TEST_F(E2eSerialTest, ReadIsExactThroughTenPercentFaultyAnswers)
{
    SetBusValue("SpeedRSS", 115200);
    // Short enough for the dropped answers, long enough that a busy machine does not make a
    // delivered answer late (see above).
    SetBusValue("CmdTimeoutConstant", 250);
    ASSERT_TRUE(StartSim({"--baud", "115200", "--seed", "7", "--no-answer", "5%", "--bad-crc", "5%",
                          "--unit", "5:10:223:" + MakeUnitFile(2)}));
    Transfer transfer(channel, ui);
    model::Image read{};
    ASSERT_TRUE(transfer.ReadImage(5, kCom, read));
    EXPECT_TRUE(SameTransferredBytes(read, image))
        << "failed tries: " << session.ExchangeCounters().failedTries;
    EXPECT_GT(session.ExchangeCounters().failedTries, 0u) << "the faults were there";
}

TEST_F(E2eSerialTest, UnitFallingSilentFailsTheReadAndTheWrite)
{
    SetBusValue("SpeedRSS", 115200);
    SetBusValue("CmdTimeoutConstant", 100);
    ASSERT_TRUE(StartSim({"--baud", "115200", "--unit", "5:44:223:" + MakeUnitFile(3)}));
    {
        SilencingChannel silencing(channel, sim, 480);
        Transfer transfer(silencing, ui);
        model::Image read{};
        EXPECT_FALSE(transfer.ReadImage(5, kCom, read));
    }
    sim.Resume();
    {
        // Identity check, then one write per changed byte; silent from the third write on.
        SilencingChannel silencing(channel, sim, 4);
        Transfer transfer(silencing, ui);
        model::Image edited = image, copy = image;
        for (std::size_t i : {10, 20, 30, 40, 50})
            edited[i] ^= 1;
        EXPECT_EQ(transfer.WriteImage(5, kCom, kCom, edited, copy), WriteOutcome::Failed);
        EXPECT_EQ(copy, image);
    }
}

// A memory-read answer names no offset: an answer that comes after its try's time-out must
// never be taken for a later try's or a later step's.  The simulator answers some requests
// late, at points spread over the exchanges that follow the time-out.
TEST_F(E2eSerialTest, LateAnswersNeverShiftAnImageReadAt115200)
{
    SetBusValue("SpeedRSS", 115200);
    SetBusValue("CmdTimeoutConstant", 200);
    SetBusValue("PauseFromSession", 0);
    ASSERT_TRUE(
        StartSim({"--baud", "115200", "--seed", "11", "--late-answer", "2%", "--late-ms", "195",
                  "--late-spread-ms", "45", "--unit", "5:44:223:" + MakeUnitFile(4)}));
    Transfer transfer(channel, ui);
    model::Image read{};
    // A read that fails is reported (message 4); one that succeeds holds exactly the unit's bytes.
    if (transfer.ReadImage(5, kCom, read)) {
        EXPECT_TRUE(SameTransferredBytes(read, image))
            << "failed tries: " << session.ExchangeCounters().failedTries;
    }
    EXPECT_GT(session.ExchangeCounters().failedTries, 0u) << "the late answers were there";
}

TEST_F(E2eSerialTest, LateAnswersNeverShiftAnImageReadAt9600)
{
    SetBusValue("CmdTimeoutConstant", 150);
    SetBusValue("PauseFromSession", 0);
    ASSERT_TRUE(StartSim({"--seed", "5", "--late-answer", "2%", "--late-ms", "140",
                          "--late-spread-ms", "120", "--unit", "5:44:223:" + MakeUnitFile(5)}));
    // The whole image takes half a minute at this speed: the first 400 of its steps, each
    // checked as the read checks it.
    channel.SetComPort(kCom);
    channel.ReadRegistrySettings();
    channel.SetRetryCount(kTransferRetries);
    const model::Image& mask = model::ReadMask();
    int wrong = 0;
    for (int step = 0; step < 400; ++step) {
        const std::size_t o = static_cast<std::size_t>(step) * 8;
        const Frame answer = channel.Exchange(ImageReadRequest(5, static_cast<uint16_t>(o)));
        if (answer.empty())
            break; // the read fails (message 4)
        ASSERT_EQ(answer.size(), 13u);
        for (std::size_t i = o; i < o + 8; ++i)
            if (mask[i] && answer[4 + i - o] != image[i])
                ++wrong;
    }
    EXPECT_EQ(wrong, 0) << "failed tries: " << session.ExchangeCounters().failedTries;
    EXPECT_GT(session.ExchangeCounters().failedTries, 0u) << "the late answers were there";
}

TEST_F(E2eSerialTest, AdapterLostInTheMiddleOfAReadFailsItAndANewPortWorks)
{
    SetBusValue("SpeedRSS", 115200);
    const std::string unit = "5:44:223:" + MakeUnitFile(6);
    for (int oneWrite : {0, 1}) {
        SetBusValue("IsOneWriteFile", oneWrite);
        ASSERT_TRUE(StartSim({"--baud", "115200", "--unit", unit}));
        {
            KillingChannel killing(channel, sim, 150);
            Transfer transfer(killing, ui);
            model::Image read{};
            EXPECT_FALSE(transfer.ReadImage(5, kCom, read)) << oneWrite;
            EXPECT_EQ(platform::LastError(), platform::kErrorDeviceNotConnected) << oneWrite;
            EXPECT_TRUE(session.Transport().IsClosed()) << oneWrite << ": the port is let go";
        }
        sim.Stop();
        // A new adapter (a new pty under the same COM number): the next command opens it.
        ASSERT_TRUE(StartSim({"--baud", "115200", "--unit", unit}));
        Transfer transfer(channel, ui);
        model::KeyCodes readCodes{};
        ASSERT_TRUE(transfer.ReadKeyCodes(5, kCom, readCodes)) << oneWrite;
        EXPECT_EQ(readCodes, codes);
        if (oneWrite == 1) {
            model::Image read{};
            ASSERT_TRUE(transfer.ReadImage(5, kCom, read));
            EXPECT_TRUE(SameTransferredBytes(read, image));
        }
        sim.Stop();
    }
}

} // namespace
} // namespace device
