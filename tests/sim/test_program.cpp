// t4700-sim: its command line in-process, and the program itself as a child process.

#include "sim/options.h"
#include "sim/unit_file.h"

#include "config_tool/model/config_file.h"
#include "platform/registry.h"
#include "raw_line.h"
#include "sim_process.h"
#include "tests/platform/temp_dir.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

using namespace std::chrono_literals;
using platform::test::TempDir;
using simtest::Hex;
using simtest::RawLine;
using simtest::SimProcess;
using simtest::ToHex;

namespace {

namespace fs = std::filesystem;

sim::ParsedCommandLine Parse(std::vector<std::string> args)
{
    return sim::ParseCommandLine(args);
}

TEST(SimCommandLine, DefaultsAreOneFactoryUnitAt9600)
{
    const auto parsed = Parse({});
    ASSERT_TRUE(parsed.options) << parsed.error;
    const sim::SimOptions& o = *parsed.options;
    ASSERT_EQ(o.units.size(), 1u);
    EXPECT_EQ(o.units[0].address, 1);
    EXPECT_EQ(o.units[0].type, 44);
    EXPECT_EQ(o.units[0].version, 223);
    EXPECT_TRUE(o.units[0].file.empty());
    EXPECT_EQ(o.timing.baud, 9600u);
    EXPECT_EQ(o.timing.turnaround_us, 2000u);
    EXPECT_EQ(o.max_seconds, 3600u);
    EXPECT_EQ(o.seed, 1u);
    for (const sim::FaultRule& f : o.faults) {
        EXPECT_EQ(f.count, 0);
        EXPECT_EQ(f.probability, 0.0);
    }
}

TEST(SimCommandLine, EverySwitchIsTaken)
{
    const auto parsed = Parse({"--link", "/tmp/x", "--registry=/tmp/r.reg", "--com", "12", "--unit",
                               "40:10:222", "--unit", "7:44:223:/tmp/a:b.kconf", "--baud", "115200",
                               "--turnaround", "0", "--seed", "42", "--present-key", "7:0123456789ABCDEF:250",
                               "--present-key", "40:FFEEDDCCBBAA9988", "--log", "/tmp/l", "--dump", "/tmp/d",
                               "--max-seconds", "5", "--late-ms", "900", "--late-spread-ms", "40", "--split-gap-ms", "35",
                               "--no-answer", "3", "--bad-crc", "0.25", "--echo", "50%", "--late-answer", "1.0"});
    ASSERT_TRUE(parsed.options) << parsed.error;
    const sim::SimOptions& o = *parsed.options;
    EXPECT_EQ(o.link, "/tmp/x");
    EXPECT_EQ(o.registry, "/tmp/r.reg");
    EXPECT_EQ(o.com, 12);
    ASSERT_EQ(o.units.size(), 2u);
    EXPECT_EQ(o.units[0].address, 40);
    EXPECT_EQ(o.units[0].version, 222);
    EXPECT_EQ(o.units[1].file, "/tmp/a:b.kconf");
    EXPECT_EQ(o.timing.baud, 115200u);
    EXPECT_EQ(o.timing.turnaround_us, 0u);
    EXPECT_EQ(o.timing.late_us, 900000u);
    EXPECT_EQ(o.timing.late_spread_us, 40000u);
    EXPECT_EQ(o.timing.split_gap_us, 35000u);
    EXPECT_EQ(o.seed, 42u);
    ASSERT_EQ(o.present_keys.size(), 2u);
    EXPECT_EQ(o.present_keys[0].address, 7);
    EXPECT_EQ(o.present_keys[0].code, (model::KeyCode{0xEF, 0xCD, 0xAB, 0x89, 0x67, 0x45, 0x23, 0x01}));
    EXPECT_EQ(o.present_keys[0].delay_ms, 250u);
    EXPECT_EQ(o.present_keys[1].delay_ms, 0u);
    EXPECT_EQ(o.log, "/tmp/l");
    EXPECT_EQ(o.dump, "/tmp/d");
    EXPECT_EQ(o.max_seconds, 5u);
    EXPECT_EQ(o.faults.at(size_t(sim::Fault::NoAnswer)).count, 3);
    EXPECT_DOUBLE_EQ(o.faults.at(size_t(sim::Fault::BadCrc)).probability, 0.25);
    EXPECT_DOUBLE_EQ(o.faults.at(size_t(sim::Fault::Echo)).probability, 0.5);
    EXPECT_DOUBLE_EQ(o.faults.at(size_t(sim::Fault::LateAnswer)).probability, 1.0);
}

TEST(SimCommandLine, BadInputIsRefusedWithAReason)
{
    const struct
    {
        std::vector<std::string> args;
        const char* says;
    } cases[] = {
        {{"--bogus"}, "unknown option --bogus"},
        {{"--link"}, "--link needs a value"},
        {{"--unit", "0:44:223"}, "--unit"},
        {{"--unit", "128:44:223"}, "--unit"},
        {{"--unit", "1:44"}, "--unit"},
        {{"--unit", "1:256:223"}, "--unit"},
        {{"--unit", "1:44:65536"}, "--unit"},
        {{"--unit", "1:44:223:"}, "--unit"},
        {{"--unit", "1:44:223", "--unit", "1:10:222"}, "two units at address 1"},
        {{"--baud", "fast"}, "--baud"},
        {{"--baud", "0"}, "--baud"},
        {{"--registry", "/tmp/r"}, "--registry and --com go together"},
        {{"--com", "3"}, "--registry and --com go together"},
        {{"--registry", "/tmp/r", "--com", "0"}, "--com"},
        {{"--present-key", "9:0123456789ABCDEF"}, "names no unit at address 9"},
        {{"--present-key", "1:0123456789ABCDE"}, "--present-key"},
        {{"--present-key", "1:0123456789ABCDEG"}, "--present-key"},
        {{"--present-key", "1:0123456789ABCDEF:soon"}, "--present-key"},
        {{"--no-answer", "1.5"}, "--no-answer"},
        {{"--bad-crc", "-1"}, "--bad-crc"},
        {{"--echo", "150%"}, "--echo"},
        {{"--echo", "."}, "--echo"},
        {{"--max-seconds", "0"}, "--max-seconds"},
        {{"--endless-events", "9"}, "--endless-events names no unit at address 9"},
        {{"--endless-events", "0"}, "--endless-events"},
    };
    for (const auto& c : cases) {
        const auto parsed = Parse(c.args);
        EXPECT_FALSE(parsed.options) << c.args.at(0);
        EXPECT_NE(parsed.error.find(c.says), std::string::npos) << parsed.error;
    }
}

TEST(SimProgram, HelpNamesEverySwitchAndTheReadyLine)
{
    const simtest::SimRun run = simtest::RunSim({"--help"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, sim::HelpText());
    for (const char* s : {"--link PATH", "--registry FILE --com N", "--unit ADDR:TYPE:VERSION[:FILE.kconf]",
                          "--baud", "--turnaround", "--seed", "--present-key ADDR:CODE16[:DELAY_MS]", "--log FILE",
                          "--dump DIR", "--max-seconds", "\"ready PORT\""})
        EXPECT_NE(run.out.find(s), std::string::npos) << s;
    for (int f = 0; f < sim::kFaultKinds; ++f)
        EXPECT_NE(run.out.find(sim::FaultSwitch(static_cast<sim::Fault>(f))), std::string::npos);
}

TEST(SimProgram, BadCommandLineOrUnitFileStopsItWithAMessage)
{
    TempDir dir;
    const simtest::SimRun bad = simtest::RunSim({"--unit", "1:44"});
    EXPECT_EQ(bad.status, 2);
    EXPECT_NE(bad.err.find("t4700-sim: bad value for --unit"), std::string::npos) << bad.err;
    EXPECT_TRUE(bad.out.empty());

    const simtest::SimRun missing = simtest::RunSim({"--unit", "1:44:223:" + dir.File("none.kconf")});
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.err.find("none.kconf"), std::string::npos) << missing.err;
    EXPECT_TRUE(missing.out.empty());
}

TEST(SimProgram, ServesTheLinkUntilSignalledAndCleansUp)
{
    for (int sig : {SIGTERM, SIGINT}) {
        TempDir dir;
        const std::string link = dir.File("ttyT4700");
        const std::string reg = dir.File("registry.reg");
        SimProcess sim({"--link", link, "--registry", reg, "--com", "9", "--baud", "115200", "--unit", "40:10:222",
                        "--unit", "3:44:223"});
        ASSERT_EQ(sim.WaitReady(), link) << sim.Stderr();
        platform::RegistryFile registry(reg);
        EXPECT_EQ(registry.ReadString(platform::Hive::LocalMachine, platform::kSerialCommKey, link), "COM9");
        {
            RawLine line(link);
            ASSERT_TRUE(line.IsOpen());
            EXPECT_EQ(ToHex(line.Exchange({40, 6, 0, 0x0D, 0, 0})), ToHex(sim::WithCrc(Hex("28 06 00 0A DE 00"))));
            EXPECT_EQ(ToHex(line.Exchange({3, 6, 0, 0x3F, 0x29, 0})), ToHex(sim::WithCrc(Hex("03 08 3E 29 DF 00 00 00"))));
            EXPECT_EQ(ToHex(line.Exchange({1, 6, 0, 0x0D, 0, 0})), "");
        }
        sim.Signal(sig);
        EXPECT_EQ(sim.Wait(), 0);
        EXPECT_FALSE(fs::exists(fs::symlink_status(link)));
        EXPECT_FALSE(registry.ReadString(platform::Hive::LocalMachine, platform::kSerialCommKey, link));
    }
}

TEST(SimProgram, StopsByItselfAfterMaxSeconds)
{
    TempDir dir;
    const std::string link = dir.File("tty");
    SimProcess sim({"--link", link, "--max-seconds", "1"});
    ASSERT_EQ(sim.WaitReady(), link);
    EXPECT_EQ(sim.Wait(5s), 0);
    EXPECT_FALSE(fs::exists(fs::symlink_status(link)));
}

TEST(SimProgram, DumpHoldsWhatWasWrittenAndAUnitFileIsServed)
{
    TempDir dir;
    // Unit 2 starts from a file with a recognisable image and one credential.
    model::Image image = model::FactoryImage();
    image[123] = 0x42;
    image[7675] = 0x99;
    model::KeyCodes codes{};
    codes[7] = {1, 2, 3, 4, 5, 6, 7, 8};
    ASSERT_TRUE(model::SaveConfigFile(dir.File("start.kconf"), std::string(model::kModelVd), image, codes));
    fs::create_directory(dir.File("dump"));

    SimProcess sim({"--link", dir.File("tty"), "--baud", "115200", "--unit", "1:44:223", "--unit",
                    "2:10:223:" + dir.File("start.kconf"), "--dump", dir.File("dump")});
    ASSERT_FALSE(sim.WaitReady().empty()) << sim.Stderr();
    {
        RawLine line(dir.File("tty"));
        EXPECT_EQ(ToHex(line.Exchange({2, 8, 0, 0x43, 0x78, 0x00, 0, 8})),
                  ToHex(sim::WithCrc(Hex("02 0C 44 08 00 00 00 42 00 00 00 00"))))
            << "image bytes 120..127 of the file";
        EXPECT_EQ(ToHex(line.Exchange({2, 7, 0, 0x1D, 0x0E, 8, 0})),
                  ToHex(sim::WithCrc(Hex("02 0C 1E 0E 01 02 03 04 05 06 07 08"))));
        EXPECT_EQ(line.Exchange({1, 10, 0, 0x41, 0x00, 0x01, 0, 0xDE, 0xAD, 0xBE}).size(), 6u);
        EXPECT_EQ(line.Exchange({1, 15, 0, 0x25, 0x0E, 4, 0, 9, 8, 7, 6, 5, 4, 3, 2}).size(), 7u);
    }
    sim.Signal(SIGTERM);
    ASSERT_EQ(sim.Wait(), 0) << sim.Stderr();

    const auto unit1 = model::LoadConfigFile(dir.File("dump/unit-1.kconf"), std::nullopt);
    ASSERT_EQ(unit1.status, model::LoadStatus::Ok);
    model::Image expected = model::FactoryImage();
    expected[256] = 0xDE;
    expected[257] = 0xAD;
    expected[258] = 0xBE;
    EXPECT_EQ(unit1.image, expected);
    model::KeyCodes expected_codes{};
    expected_codes[3] = {9, 8, 7, 6, 5, 4, 3, 2};
    EXPECT_EQ(unit1.codes, expected_codes);
    EXPECT_EQ(unit1.modelName, model::kModelKlv);

    const auto unit2 = model::LoadConfigFile(dir.File("dump/unit-2.kconf"), std::nullopt);
    ASSERT_EQ(unit2.status, model::LoadStatus::Ok);
    EXPECT_EQ(unit2.image, image);
    EXPECT_EQ(unit2.codes, codes);
    EXPECT_EQ(unit2.modelName, model::kModelVd);
}

TEST(SimProgram, DumpIntoAMissingFolderFailsLoudly)
{
    TempDir dir;
    SimProcess sim({"--link", dir.File("tty"), "--dump", dir.File("no/such/folder")});
    ASSERT_FALSE(sim.WaitReady().empty());
    sim.Signal(SIGTERM);
    EXPECT_EQ(sim.Wait(), 1);
    EXPECT_NE(sim.Stderr().find("unit-1.kconf"), std::string::npos) << sim.Stderr();
}

TEST(SimProgram, PresentedKeyArrivesAfterItsDelayAndFaultSwitchesApply)
{
    TempDir dir;
    SimProcess sim({"--link", dir.File("tty"), "--baud", "115200", "--present-key", "1:77F6E5D4C3B2A101:300",
                    "--no-answer", "1", "--log", dir.File("log.txt")});
    ASSERT_FALSE(sim.WaitReady().empty());
    RawLine line(dir.File("tty"));
    const sim::Bytes read{1, 6, 0, 0x01, 0x00, 0x01};
    EXPECT_EQ(ToHex(line.Exchange(read)), "") << "--no-answer 1 takes the first answer";
    EXPECT_EQ(ToHex(line.Exchange(read)), ToHex(sim::WithCrc(Hex("01 05 02 00 00"))));
    std::this_thread::sleep_for(400ms);
    EXPECT_EQ(ToHex(line.Exchange(read)), ToHex(sim::WithCrc(Hex("01 0D 04 16 01 01 A1 B2 C3 D4 E5 F6 77"))));
    sim.Signal(SIGTERM);
    EXPECT_EQ(sim.Wait(), 0);
    std::ifstream log(dir.File("log.txt"));
    int in = 0, out = 0;
    for (std::string l; std::getline(log, l);) {
        in += l.find(" in ") != std::string::npos;
        out += l.find(" out ") != std::string::npos;
    }
    EXPECT_EQ(in, 3);
    EXPECT_EQ(out, 2);
}

} // namespace
