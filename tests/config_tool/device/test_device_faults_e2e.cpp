// Whole image reads and a write with its read-back at 9600 bit/s through the real session
// against t4700-sim, on lines that lose, spoil and delay answers: through the simulator's
// converter, whose late answers come after the whole answer wait, and on the serial line, with
// answers up to a second past their due time.  A memory-read answer names no offset, so an
// answer taken for another request's would put its bytes in the wrong place without an error:
// each read must return the unit's exact bytes, or fail with its message.
//
// Each case is one seed, and a ctest case of its own, so that they run side by side.

#include "CoreComp/rssess/rs_session.h"
#include "config_tool/device/session_channel.h"
#include "config_tool/device/transfer.h"
#include "config_tool/model/config_file.h"
#include "platform/registry.h"

#include "recording_ui.h"
#include "sim_process.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <ostream>
#include <random>

namespace device {
namespace {

namespace fs = std::filesystem;
using testing::SimProcess;

constexpr int kCom = 8;

// The process registry is opened at its first use: it is pointed at a file of this test's own
// before any session exists.
const fs::path& Scratch()
{
    static const fs::path dir = [] {
        std::string tmpl = (fs::temp_directory_path() / "vendaxo-faults-e2e-XXXXXX").string();
        const char* made = mkdtemp(tmpl.data());
        fs::path p = made ? fs::path(made) : fs::temp_directory_path();
        setenv("VENDAXO_REGISTRY", (p / "registry.reg").c_str(), 1);
        setenv("VENDAXO_LOG_DIR", p.c_str(), 1);
        // Named mutexes are machine-wide: another process's "DRAVON" would put the session
        // into service mode, where nothing is sent.
        setenv("XDG_RUNTIME_DIR", p.c_str(), 1);
        return p;
    }();
    return dir;
}
struct ScratchCleanup : ::testing::Environment
{
    void TearDown() override { fs::remove_all(Scratch()); }
};
[[maybe_unused]] ::testing::Environment* const kCleanup =
    ::testing::AddGlobalTestEnvironment(new ScratchCleanup);

platform::RegistryFile& Registry()
{
    Scratch();
    platform::RegistryFile& registry = platform::ProcessRegistry();
    // Never the user's own registry.
    if (registry.Path() != (Scratch() / "registry.reg").string())
        std::abort();
    return registry;
}

enum class Road { Converter, ConverterWithoutEcho, Serial };

struct FaultCase
{
    Road road;
    uint32_t seed;
    bool write; // a write of changed bytes, then the read-back
};

std::string Name(const FaultCase& c)
{
    const char* road = c.road == Road::Serial                 ? "Serial"
                       : c.road == Road::ConverterWithoutEcho ? "ConverterWithoutEcho"
                                                              : "Converter";
    return std::string(road) + (c.write ? "WriteAndReadBack" : "Read") + "Seed" +
           std::to_string(c.seed);
}
void PrintTo(const FaultCase& c, std::ostream* out)
{
    *out << Name(c);
}

// The scratch folder and its registry come before the session, which reads the registry as
// it is made.
struct ScratchFirst
{
    ScratchFirst() { Scratch(); }
};

class FaultyLineTest : public ScratchFirst, public ::testing::TestWithParam<FaultCase>
{
protected:
    void SetUp() override
    {
        const auto path = testing::SimulatorPath();
#ifdef VENDAXO_SIM_PATH
        ASSERT_TRUE(path) << "t4700-sim missing: " << VENDAXO_SIM_PATH;
#else
        if (!path)
            GTEST_SKIP() << "t4700-sim is not part of this build";
#endif
        dir_ = Scratch() / Name(GetParam());
        fs::remove_all(dir_);
        fs::create_directories(dir_ / "dump");
        const FaultCase& c = GetParam();
        using platform::Hive;
        // The units answer at once.  The time-outs leave a loaded machine room, and the late
        // answers come well after them.
        Registry().WriteDword(Hive::LocalMachine, kBusKey, "CmdTimeoutConstant",
                              c.road == Road::Serial ? 250 : 600);

        std::mt19937 random(c.seed);
        for (auto& b : image_)
            b = static_cast<uint8_t>(random());
        codes_ = {};
        codes_[2] = {0x01, 0x10, 0x20, 0x30, 0x40, 0x50, 0x60, 0x70};
        const std::string unit = (dir_ / "unit.kconf").string();
        ASSERT_TRUE(model::SaveConfigFile(unit, "КЛВ", image_, codes_));

        std::vector<std::string> args{"--registry",    Registry().Path(),
                                      "--com",         std::to_string(kCom),
                                      "--dump",        (dir_ / "dump").string(),
                                      "--max-seconds", "900",
                                      "--seed",        std::to_string(c.seed),
                                      "--unit",        "5:44:223:" + unit,
                                      "--bad-crc",     "5%"};
        if (c.road == Road::Serial) {
            for (const char* a :
                 {"--late-answer", "3%", "--late-ms", "100", "--late-spread-ms", "900"})
                args.emplace_back(a);
        } else {
            // Without the echo each lost answer costs a second more: fewer are dropped.
            const bool echo = c.road == Road::Converter;
            for (const char* a : {"--udp", "127.0.0.2:0", "--eth-wait", "100", "--udp-drop",
                                  echo ? "5%" : "2%", "--udp-late", "3%", "--udp-late-ms", "1200"})
                args.emplace_back(a);
            if (!echo)
                for (const char* a : {"--udp-fixed-seq", "0"})
                    args.emplace_back(a);
        }
        ASSERT_TRUE(sim_.Start(*path, args));
    }

    void TearDown() override
    {
        sim_.Stop();
    }

    // The masked bytes that differ, with the first few named.
    static ::testing::AssertionResult SameTransferredBytes(const model::Image& got,
                                                           const model::Image& want)
    {
        const model::Image& mask = model::ReadMask();
        int wrong = 0;
        std::string first;
        for (std::size_t i = 0; i < got.size(); ++i) {
            if (!mask[i] || got[i] == want[i])
                continue;
            if (++wrong <= 5)
                first += " " + std::to_string(i);
        }
        if (wrong == 0)
            return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << wrong << " bytes wrong, first at" << first;
    }

    // The read, exact or failed with message 4.
    void ReadExactlyOrFail(Transfer& transfer, const model::Image& want)
    {
        model::Image read{};
        const auto started = std::chrono::steady_clock::now();
        const bool ok = transfer.ReadImage(5, kCom, read);
        const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(
                                 std::chrono::steady_clock::now() - started)
                                 .count();
        RecordProperty("read_seconds", static_cast<int>(seconds));
        if (!ok) {
            std::string shown;
            for (const std::string& line : ui_.log)
                shown += line + "; ";
            EXPECT_NE(shown.find("error 4"), std::string::npos) << shown;
            failed_ = true;
            return;
        }
        EXPECT_TRUE(SameTransferredBytes(read, want))
            << "failed tries: " << session_.ExchangeCounters().failedTries;
    }

    fs::path dir_;
    SimProcess sim_;
    model::Image image_{};
    model::KeyCodes codes_{};
    TRSSession session_;
    SessionChannel channel_{session_};
    testing::RecordingUi ui_;
    bool failed_ = false;
};

TEST_P(FaultyLineTest, TheImageIsExactOrTheOperationFails)
{
    Transfer transfer(channel_, ui_);
    if (!GetParam().write) {
        ReadExactlyOrFail(transfer, image_);
        if (!failed_) {
            EXPECT_GT(session_.ExchangeCounters().failedTries, 20u) << "the faults were there";
        }
        return;
    }
    // Bytes spread over the image, changed and written; the unit's memory must then hold
    // exactly them, and a read gives them back.
    model::Image edited = image_;
    model::Image copy = image_;
    const std::size_t changed[] = {0, 1, 130, 700, 709, 2000, 4095, 6001, 7552, 7675};
    for (std::size_t i : changed)
        edited[i] ^= 0x5A;
    const WriteOutcome outcome = transfer.WriteImage(5, kCom, kCom, edited, copy);
    ASSERT_TRUE(outcome == WriteOutcome::Written || outcome == WriteOutcome::Failed)
        << static_cast<int>(outcome);
    if (outcome == WriteOutcome::Written) {
        EXPECT_EQ(copy, edited);
        ReadExactlyOrFail(transfer, edited);
    }
    ASSERT_EQ(sim_.Stop(), 0);
    const model::LoadedConfig dumped =
        model::LoadConfigFile((dir_ / "dump" / "unit-5.kconf").string(), std::nullopt);
    ASSERT_EQ(dumped.status, model::LoadStatus::Ok);
    // Each byte the unit holds is the old one or, after a write that went through, exactly
    // the new one; never another.
    for (std::size_t i = 0; i < image_.size(); ++i) {
        if (outcome == WriteOutcome::Written || dumped.image[i] != image_[i]) {
            EXPECT_EQ(dumped.image[i], edited[i]) << "byte " << i;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Seeds, FaultyLineTest,
                         ::testing::Values(FaultCase{Road::Converter, 1, false},
                                           FaultCase{Road::Converter, 2, false},
                                           FaultCase{Road::Converter, 3, false},
                                           FaultCase{Road::ConverterWithoutEcho, 4, false},
                                           FaultCase{Road::Converter, 5, true},
                                           FaultCase{Road::Serial, 6, false},
                                           FaultCase{Road::Serial, 7, false}),
                         [](const auto& info) { return Name(info.param); });

} // namespace
} // namespace device
