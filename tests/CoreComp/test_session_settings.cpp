// The component: registry settings, transport choice, port properties, opening the line.

#include "session_fixture.h"

#include "CoreComp/com_zemra.h"

#include "platform/last_error.h"
#include "platform/text1251.h"

#include <fstream>
#include <iterator>

using platform::Hive;

namespace {

struct SettingCase
{
    const char* name;
    enum { Missing, Dword, Text } kind;
    int32_t value;
    int32_t TBusSettings::*field;
    int32_t expected;
};

} // namespace

TEST_F(SessionTest, RegistrySettingsTakeValuesDefaultsAndRefuseBadOnes)
{
    const SettingCase cases[] = {
        {"TimeoutConstant", SettingCase::Missing, 0, &TBusSettings::TimeoutConstant, 50},
        {"TimeoutConstant", SettingCase::Dword, 80, &TBusSettings::TimeoutConstant, 80},
        {"TimeoutConstant", SettingCase::Text, 80, &TBusSettings::TimeoutConstant, 50},
        {"TimeoutConstant", SettingCase::Dword, -1, &TBusSettings::TimeoutConstant, 50},
        {"CmdTimeoutConstant", SettingCase::Missing, 0, &TBusSettings::CmdTimeoutConstant, 600},
        {"CmdTimeoutConstant", SettingCase::Dword, -600, &TBusSettings::CmdTimeoutConstant, 600},
        // A total read or write time-out of zero would wait for ever: it counts as missing.
        {"TimeoutConstant", SettingCase::Dword, 0, &TBusSettings::TimeoutConstant, 50},
        {"CmdTimeoutConstant", SettingCase::Dword, 0, &TBusSettings::CmdTimeoutConstant, 600},
        {"TotalWriteConstant", SettingCase::Dword, 0, &TBusSettings::TotalWriteConstant, 1000},
        {"CmdTotalWriteConstant", SettingCase::Dword, 0, &TBusSettings::CmdTotalWriteConstant,
         1000},
        {"PauseFromSession", SettingCase::Missing, 0, &TBusSettings::PauseFromSession, 5},
        {"PauseFromSession", SettingCase::Dword, 0, &TBusSettings::PauseFromSession, 0},
        {"SecLostDevice", SettingCase::Missing, 0, &TBusSettings::SecLostDevice, 15},
        {"ContractNoAnswer", SettingCase::Missing, 0, &TBusSettings::ContractNoAnswer, 5},
        {"ConfirmationTimeOut", SettingCase::Dword, 0, &TBusSettings::ConfirmationTimeOut, 2},
        {"ConfirmationTimeOut", SettingCase::Dword, 1, &TBusSettings::ConfirmationTimeOut, 2},
        {"ConfirmationTimeOut", SettingCase::Dword, 7, &TBusSettings::ConfirmationTimeOut, 7},
        {"SpeedRSS", SettingCase::Missing, 0, &TBusSettings::SpeedRSS, 9600},
        {"SpeedRSS", SettingCase::Dword, 19200, &TBusSettings::SpeedRSS, 19200},
        {"SpeedRSS", SettingCase::Dword, 0, &TBusSettings::SpeedRSS, 9600},
        // A speed that no port takes keeps the default.
        {"SpeedRSS", SettingCase::Dword, 1, &TBusSettings::SpeedRSS, 9600},
        {"SpeedRSS", SettingCase::Dword, 49, &TBusSettings::SpeedRSS, 9600},
        {"SpeedRSS", SettingCase::Dword, 50, &TBusSettings::SpeedRSS, 50},
        {"SpeedRSS", SettingCase::Dword, 4000000, &TBusSettings::SpeedRSS, 4000000},
        {"SpeedRSS", SettingCase::Dword, 4000001, &TBusSettings::SpeedRSS, 9600},
        {"SpeedRSS", SettingCase::Dword, -9600, &TBusSettings::SpeedRSS, 9600},
        {"StartTimeout", SettingCase::Dword, 9, &TBusSettings::StartTimeout, 4},
        {"TailInUS", SettingCase::Dword, 250, &TBusSettings::TailInUS, 250},
        {"TailInUS", SettingCase::Text, 250, &TBusSettings::TailInUS, 400},
        {"StopBits", SettingCase::Dword, 2, &TBusSettings::StopBits, 2},
        {"StopBits", SettingCase::Dword, 5, &TBusSettings::StopBits, 0},
        {"IsOneWriteFile", SettingCase::Missing, 0, &TBusSettings::IsOneWriteFile, 0},
        {"CmdChecked", SettingCase::Missing, 0, &TBusSettings::CmdChecked, 1},
        {"TotalWriteConstant", SettingCase::Missing, 0, &TBusSettings::TotalWriteConstant, 1000},
    };
    TRSSession& s = MakeSession();
    for (const SettingCase& c : cases) {
        registry_->DeleteValue(Hive::LocalMachine, kBusKey, c.name);
        if (c.kind == SettingCase::Dword)
            SetDword(c.name, c.value);
        else if (c.kind == SettingCase::Text)
            SetString(kBusKey, c.name, std::to_string(c.value));
        s.ReadRegistrySettings();
        EXPECT_EQ(s.Settings().*c.field, c.expected) << c.name << " " << c.kind << " " << c.value;
    }
    // A value of another type is left as it was written.
    EXPECT_EQ(registry_->ReadString(Hive::LocalMachine, kBusKey, "TailInUS"), "250");
    // With a per-byte part the total is not zero: the constant 0 stands.
    SetDword("CmdTimeoutMultiplier", 3);
    SetDword("CmdTimeoutConstant", 0);
    s.ReadRegistrySettings();
    EXPECT_EQ(s.Settings().CmdTimeoutConstant, 0);
}

// A time or pause of days would hold the window that long on every silent unit or broadcast:
// each is cut to a minute, and each cut is logged once however often the values are read.
TEST_F(SessionTest, RegistryTimesAreCutToAMinuteAndTheCutLoggedOnce)
{
    struct Cut
    {
        const char* name;
        int32_t value;
        int32_t TBusSettings::*field;
        int32_t expected;
    };
    const Cut cuts[] = {
        {"CmdTimeoutConstant", 0x7FFFFFFF, &TBusSettings::CmdTimeoutConstant, 60000},
        {"TimeoutConstant", 60001, &TBusSettings::TimeoutConstant, 60000},
        {"TimeoutMultiplier", 100000, &TBusSettings::TimeoutMultiplier, 60000},
        {"CmdTimeoutMultiplier", 100000, &TBusSettings::CmdTimeoutMultiplier, 60000},
        {"IntervalTimeout", 0x7FFFFFFF, &TBusSettings::IntervalTimeout, 60000},
        {"CmdIntervalTimeout", 0x7FFFFFFF, &TBusSettings::CmdIntervalTimeout, 60000},
        {"PauseFromSession", 86400000, &TBusSettings::PauseFromSession, 60000},
        {"PauseTotalCommand", 86400000, &TBusSettings::PauseTotalCommand, 60000},
        {"ConfirmationTimeOut", 0x7FFFFFFF, &TBusSettings::ConfirmationTimeOut, 60000},
        {"TotalWriteConstant", 0x7FFFFFFF, &TBusSettings::TotalWriteConstant, 60000},
        {"CmdTotalWriteConstant", 0x7FFFFFFF, &TBusSettings::CmdTotalWriteConstant, 60000},
        {"TailInUS", 0x7FFFFFFF, &TBusSettings::TailInUS, 60000000},
        {"SpeedRSS", 1, &TBusSettings::SpeedRSS, 9600}, // refused, and logged as the cuts are
    };
    for (const Cut& c : cuts)
        SetDword(c.name, c.value);
    SetDword("LogCommand", 1);
    TRSSession& s = MakeSession();
    s.ReadRegistrySettings();
    s.ReadRegistrySettings();
    const std::string log = [&] {
        std::ifstream in(LogFile("LogCommand1.txt"), std::ios::binary);
        return platform::Cp1251ToUtf8(std::string(std::istreambuf_iterator<char>(in), {}));
    }();
    for (const Cut& c : cuts) {
        EXPECT_EQ(s.Settings().*c.field, c.expected) << c.name;
        const std::string line = " " + std::string(c.name) + "=" + std::to_string(c.value);
        const std::size_t at = log.find(line);
        EXPECT_NE(at, std::string::npos) << c.name << ": the cut is logged";
        EXPECT_EQ(log.find(line, at + 1), std::string::npos) << c.name << ": once";
    }
    EXPECT_NE(log.find("Значение SpeedRSS=1 слишком мало, взято 9600"), std::string::npos);
    EXPECT_NE(log.find("Значение TailInUS=2147483647 слишком велико, взято 60000000"),
              std::string::npos);
    // Each per-byte part with its constant asks more than a minute for the longest answer: a
    // try waits a minute at most, and that cut is logged once as well.
    for (const char* pair : {" TimeoutMultiplier*256+TimeoutConstant=15420000 ",
                             " CmdTimeoutMultiplier*256+CmdTimeoutConstant=15420000 "}) {
        const std::size_t at = log.find(pair);
        EXPECT_NE(at, std::string::npos) << pair << ": the cut is logged";
        EXPECT_EQ(log.find(pair, at + 1), std::string::npos) << pair << ": once";
    }
    // A minute itself stands, and is no cut.
    SetDword("CmdTimeoutConstant", 60000);
    s.ReadRegistrySettings();
    EXPECT_EQ(s.Settings().CmdTimeoutConstant, 60000);
}

TEST_F(SessionTest, MissingKeyIsCreatedWithStartTimeoutAndTail)
{
    MakeSession(); // the constructor reads the settings
    EXPECT_TRUE(registry_->KeyExists(Hive::LocalMachine, "SOFTWARE\\KAVEX\\ZEMRA\\RS"));
    EXPECT_EQ(registry_->ReadDword(Hive::LocalMachine, kBusKey, "StartTimeout"), 4);
    EXPECT_EQ(registry_->ReadDword(Hive::LocalMachine, kBusKey, "TailInUS"), 400);
}

TEST_F(SessionTest, PresenceSwitchesAreOnWhateverTheirContent)
{
    TRSSession& s = MakeSession();
    EXPECT_FALSE(s.Settings().SmartPI);
    EXPECT_FALSE(s.Settings().LogCommand);
    SetString(kBusKey, "SmartPI", "");
    SetDword("AllPause", 0);
    SetDword("LogCommand", 0);
    SetString(kBusKey, "NoTime", "no");
    s.ReadRegistrySettings();
    EXPECT_TRUE(s.Settings().SmartPI);
    EXPECT_TRUE(s.Settings().AllPause);
    EXPECT_TRUE(s.Settings().LogCommand);
    EXPECT_TRUE(s.Settings().NoTime);
}

TEST_F(SessionTest, TransportIsChosenByWorkType)
{
    using Kind = TRSSession::TransportKind;
    const std::string port3 = std::string(kBusKey) + "\\PORT3";
    SetString(port3, "WORKTYPE", "ObmenEthernet");
    TRSSession& s = MakeSession();
    EXPECT_EQ(kinds_.back(), Kind::Serial);
    s.SetComPort(3);
    EXPECT_EQ(kinds_.back(), Kind::Ethernet);
    s.SetComPort(4);
    EXPECT_EQ(kinds_.back(), Kind::Serial);

    SetString(port3, "WORKTYPE", "obmenethernet"); // case counts
    s.SetComPort(3);
    EXPECT_EQ(kinds_.back(), Kind::Serial);

    SetString(kBusKey, "WORKTYPE", "ObmenXMLRPC");
    s.SetComPort(5);
    EXPECT_EQ(kinds_.back(), Kind::XmlRpc);
    EXPECT_TRUE(registry_->KeyExists(Hive::LocalMachine, std::string(kBusKey) + "\\PORT4"));
}

TEST_F(SessionTest, EthernetFlagComesFromTheTransportMade)
{
    SetString(std::string(kBusKey) + "\\PORT1", "WORKTYPE", "ObmenEthernet");
    // A factory that has no transport of that kind yet: the session falls back to the serial one.
    TRSSession::Collaborators c = Collaborators(nullptr);
    c.transportFactory = NoTransport;
    TRSSession fallback(std::move(c));
    EXPECT_FALSE(fallback.IsEthernet());
    EXPECT_NE(dynamic_cast<TComZemra*>(&fallback.Transport()), nullptr);

    line_->datagrams = true;
    EXPECT_TRUE(MakeSession().IsEthernet());
}

TEST_F(SessionTest, UnreadableRegistryStillGivesASerialTransport)
{
    // A directory where the registry file should be: nothing can be read or written.
    registry_ = std::make_unique<platform::RegistryFile>(dir_.Path());
    TRSSession& s = MakeSession();
    EXPECT_EQ(kinds_.back(), TRSSession::TransportKind::Serial);
    EXPECT_FALSE(s.IsEthernet());
    EXPECT_EQ(s.Settings().CmdTimeoutConstant, 600);
}

TEST_F(SessionTest, ComPortOutsideTheBusLeavesTransportAndPort)
{
    TRSSession& s = MakeSession();
    for (int bad : {0, 200, -5}) {
        s.SetComPort(3);
        ASSERT_TRUE(s.ReopenPort());
        const int made = line_->transportsCreated;
        line_->ClearCalls();
        s.SetComPort(bad);
        EXPECT_EQ(s.ComPort(), 1) << bad;
        EXPECT_EQ(line_->transportsCreated, made) << bad;
        EXPECT_TRUE(line_->CallsWithout({"IsClosed"}).empty()) << bad;
        EXPECT_FALSE(s.Transport().IsClosed()) << bad;
    }
}

TEST_F(SessionTest, ChangingThePortClosesItAndReportsTheNewOne)
{
    TRSSession& s = MakeSession();
    int reported = 0;
    s.OnPortChanged = [&](int port) { reported = port; };
    s.SetComPort(1);
    EXPECT_EQ(reported, 0) << "same value does nothing";
    line_->ClearCalls();
    s.SetComPort(12);
    EXPECT_EQ(reported, 12);
    EXPECT_EQ(line_->CallsWithout({"IsClosed"}), std::vector<std::string>{"Close"});
}

TEST_F(SessionTest, PortNames)
{
    EXPECT_EQ(TRSSession::PortName(1), "COM1");
    EXPECT_EQ(TRSSession::PortName(9), "COM9");
    EXPECT_EQ(TRSSession::PortName(10), "\\\\.\\COM10");
    EXPECT_EQ(TRSSession::PortName(127), "\\\\.\\COM127");
}

TEST_F(SessionTest, ConstructionOpensNoPortAndReopenFollowsTheLineSetUp)
{
    SetDword("SpeedRSS", 19200);
    SetDword("CmdIntervalTimeout", 3);
    SetDword("CmdTimeoutMultiplier", 2);
    SetDword("CmdTimeoutConstant", 500);
    SetDword("TotalWriteConstant", 900);
    TRSSession& s = MakeSession();
    for (const std::string& c : line_->calls)
        EXPECT_EQ(c.rfind("Open", 0), std::string::npos) << c;
    s.SetComPort(10);
    line_->ClearCalls();
    ASSERT_TRUE(s.ReopenPort());
    const std::vector<std::string> expected = {
        "Close",
        "Open \\\\.\\COM10",
        "IsClosed",
        "GetCommState",
        "SetCommState 19200 0",
        "GetCommState",
        "SetupComm 300 0",
        "SetCommTimeouts 3 2 500 0 900",
    };
    EXPECT_EQ(line_->calls, expected);
}

TEST_F(SessionTest, DatagramTransportGetsNoLineSetUp)
{
    line_->datagrams = true;
    TRSSession& s = MakeSession();
    line_->ClearCalls();
    ASSERT_TRUE(s.ReopenPort());
    EXPECT_EQ(line_->calls, (std::vector<std::string>{"Close", "Open COM1", "IsClosed"}));
}

TEST_F(SessionTest, FailedOpenIsReportedAndNothingIsSent)
{
    line_->openSucceeds = false;
    TRSSession& s = MakeSession();
    EXPECT_FALSE(s.ReopenPort());
    line_->ClearCalls();
    EXPECT_FALSE(s.SendCommand({1, 6, 0, 13, 0, 0}, true, false, 0, 0));
    EXPECT_TRUE(s.Answer().empty());
    EXPECT_TRUE(line_->frames.empty());
    EXPECT_TRUE(line_->WritesAndLine().empty());
}

TEST_F(SessionTest, ResetPortForgetsEveryAddress)
{
    TRSSession& s = MakeSession();
    s.SetDeviceType(5, 44);
    s.SetKeyWord(5, 0x5A);
    s.SetFirmwareVersion(5, 0x0217);
    // Presence and poll statistics: two polls of a silent unit, then marked away.
    s.PollDeviceEvents(5);
    s.PollDeviceEvents(5);
    ASSERT_EQ(s.Statistics(5).requests, 2u);
    ASSERT_EQ(s.Statistics(5).noAnswers, 2u);
    s.SetAbsent(5, true);
    s.SetAbsent(9, true);
    // A console of a console line: its key and its probe mark.
    s.HandleConsoleList(7, {1, 0x5A});
    s.MarkConsoleForProbe(7);
    ASSERT_EQ(s.Console(7).key, 0x5A);
    ASSERT_NE(s.ConsoleStats(7).probe, 0u);
    s.ResetPort();
    EXPECT_EQ(s.GetDeviceType(5), 128);
    EXPECT_EQ(s.KeyWord(5), 0);
    EXPECT_EQ(s.FirmwareVersion(5), 0u);
    EXPECT_FALSE(s.IsAbsent(5));
    EXPECT_FALSE(s.IsAbsent(9));
    EXPECT_EQ(s.Statistics(5).requests, 0u);
    EXPECT_EQ(s.Statistics(5).noAnswers, 0u);
    EXPECT_EQ(s.Console(7).key, 0);
    EXPECT_EQ(s.ConsoleStats(7).probe, 0u);
    EXPECT_EQ(s.PollWeight(1), 128);
    EXPECT_EQ(s.PollWeight(128), 128);
    // Out-of-range addresses read 0 and are not stored.
    s.SetDeviceType(0, 7);
    s.SetDeviceType(128, 7);
    EXPECT_EQ(s.GetDeviceType(0), 0);
    EXPECT_EQ(s.GetDeviceType(128), 0);
    EXPECT_EQ(s.GetDeviceType(255), 0);
}
