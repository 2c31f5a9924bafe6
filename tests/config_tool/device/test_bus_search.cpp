#include "config_tool/device/bus_search.h"

#include "fake_channel.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>

namespace device {
namespace {

using testing::FakeChannel;
using testing::WithCrc;
using ::testing::ElementsAre;

// A line of units by address: the type answer and the version answer each unit gives.
struct Line
{
    struct Unit
    {
        Frame type_answer, version_answer;
    };
    std::map<int, Unit> units;

    void Add(uint8_t a, uint8_t type, uint16_t version)
    {
        units[a] = {WithCrc({a, 0x07, 0x00, type, uint8_t(version & 0xFF), uint8_t(version >> 8)}),
                    WithCrc({a, 0x08, 0x3E, 0x29, uint8_t(version & 0xFF), uint8_t(version >> 8), 0})};
    }
    Frame Answer(const Frame& r) const
    {
        auto it = units.find(r.at(0));
        if (it == units.end())
            return {};
        return r.at(3) == 0x0D ? it->second.type_answer : it->second.version_answer;
    }
};

struct Recorder : ScanObserver
{
    void AddressStarted(int a) override { addresses.push_back(a); }
    void UnitListed(const FoundUnit& u) override { listed.push_back(u); }
    void SelectFirstLine() override { ++first_line_selections; }
    void Serve() override
    {
        ++serves;
        if (on_serve)
            on_serve();
    }

    std::vector<int> addresses;
    std::vector<FoundUnit> listed;
    int first_line_selections = 0;
    int serves = 0;
    std::function<void()> on_serve;
};

struct BusScanTest : ::testing::Test
{
    BusScanTest() : channel([this](const Frame& r) { return line.Answer(r); }) {}

    Line line;
    FakeChannel channel;
    BusScan scan{channel};
    Recorder observer;
};

TEST_F(BusScanTest, EmptyBusVisitsEveryAddressOnceWithOneTry)
{
    scan.Run(4, observer);
    EXPECT_TRUE(scan.Units().empty());
    EXPECT_EQ(observer.addresses, BusScan::ScanOrder());
    ASSERT_EQ(observer.addresses.size(), 126u);
    EXPECT_EQ(observer.addresses.front(), 127);
    EXPECT_EQ(observer.addresses.back(), 125);
    EXPECT_EQ(channel.requests.size(), 126u);
    EXPECT_EQ(observer.serves, 126);
    EXPECT_THAT(channel.ports, ElementsAre(4));
    EXPECT_GE(channel.retry_counts.size(), 126u);
    EXPECT_EQ(std::count(channel.retry_counts.begin(), channel.retry_counts.end(), 0),
              static_cast<long>(channel.retry_counts.size()))
        << "one try per request";
    EXPECT_FALSE(scan.Scanning());
    EXPECT_FALSE(scan.Accept(-1).accepted);
    EXPECT_FALSE(scan.Accept(0).accepted);
}

TEST_F(BusScanTest, ListsInScanOrderAndAcceptsOnlySupportedUnits)
{
    line.Add(127, 44, 223);
    line.Add(2, 10, 221);
    line.Add(3, 10, 223);
    line.Add(9, 10, 222);
    line.Add(30, 7, 105);
    scan.Run(1, observer);

    ASSERT_EQ(scan.Units().size(), 5u);
    struct Expect
    {
        uint8_t address;
        bool klv_line;
        bool accepted;
        const char* model;
    };
    const Expect expected[] = {{127, false, true, "КЛВ"}, {2, true, false, ""},
                               {3, false, true, "ВД"},    {9, true, true, "КЛВ"},
                               {30, false, false, ""}};
    for (int i = 0; i < 5; ++i) {
        SCOPED_TRACE(i);
        const FoundUnit& u = scan.Units().at(i);
        EXPECT_EQ(u.address, expected[i].address);
        EXPECT_EQ(u.klv_line, expected[i].klv_line);
        const AcceptedUnit a = scan.Accept(i);
        EXPECT_EQ(a.accepted, expected[i].accepted);
        if (a.accepted) {
            EXPECT_EQ(a.address, expected[i].address);
            EXPECT_EQ(a.model, expected[i].model);
        }
    }
    EXPECT_EQ(observer.listed.size(), 5u);
    EXPECT_EQ(observer.first_line_selections, 2) << "only while one unit is listed";
}

TEST_F(BusScanTest, UnitWithoutAUsableVersionAnswerLeavesNoRecord)
{
    line.Add(1, 44, 223);
    line.Add(2, 44, 223);
    line.Add(3, 10, 223);
    line.units[1].version_answer = {};                                         // none
    line.units[2].version_answer = WithCrc({2, 0x08, 0x3D, 0x29, 223, 0, 0}); // L 8, wrong command
    scan.Run(1, observer);
    ASSERT_EQ(scan.Units().size(), 1u);
    EXPECT_EQ(scan.Accept(0).address, 3) << "line 0 is the unit at address 3";
    EXPECT_EQ(scan.Accept(0).model, "ВД");
}

TEST_F(BusScanTest, VersionAnswerOfAnotherLengthListsTheUnitButRefusesIt)
{
    line.Add(6, 44, 223);
    line.units[6].version_answer = WithCrc({6, 0x07, 0x3E, 0x29, 223, 0});
    scan.Run(1, observer);
    ASSERT_EQ(scan.Units().size(), 1u);
    EXPECT_EQ(scan.Units()[0].version_word, 223);
    EXPECT_FALSE(scan.Accept(0).accepted);
}

TEST_F(BusScanTest, TypeAnswerFormsAndRejections)
{
    line.Add(1, 10, 0);
    line.units[1].type_answer = WithCrc({1, 0x05, 0x00, 10, 222}); // L 5: version in byte 4 only
    line.Add(2, 44, 223);
    line.units[2].type_answer = WithCrc({2, 0x07, 0x01, 44, 223, 0}); // a command byte: not a unit
    line.Add(3, 44, 223);
    line.units[3].type_answer = WithCrc({3, 0x04, 0x00, 44}); // L 4
    scan.Run(1, observer);
    ASSERT_EQ(scan.Units().size(), 1u);
    EXPECT_EQ(scan.Units()[0].version_word, 222);
}

TEST_F(BusScanTest, StopEndsTheScanAfterTheCurrentAddress)
{
    line.Add(3, 44, 223);
    line.Add(4, 44, 223);
    observer.on_serve = [&] {
        if (observer.addresses.back() == 3)
            scan.Stop();
    };
    scan.Run(1, observer);
    EXPECT_THAT(observer.addresses, ElementsAre(127, 1, 2, 3));
    EXPECT_EQ(scan.Units().size(), 1u);
    EXPECT_FALSE(scan.Scanning());
}

TEST_F(BusScanTest, ChannelThatCannotBeSetUpScansNothing)
{
    line.Add(3, 44, 223);
    channel.throw_on_setup = true;
    scan.Run(1, observer);
    EXPECT_TRUE(channel.requests.empty());
    EXPECT_TRUE(scan.Units().empty());
    EXPECT_FALSE(scan.Scanning());
}

// Type 10 units of 2.20 to 2.22, by the version of their type answer, get the "КЛВ" line;
// every other unit the line with its type name.
TEST_F(BusScanTest, KlvLineForTypeTenFromVersionTwoTwentyToTwoTwentyTwo)
{
    const struct
    {
        uint8_t type;
        uint16_t version;
        bool klv_line;
    } cases[] = {
        {10, 219, false}, {10, 220, true},  {10, 221, true}, {10, 222, true},
        {10, 223, false}, {44, 220, false}, {44, 222, false}, {10, 220 + 256, false},
    };
    uint8_t a = 1;
    for (const auto& c : cases)
        line.Add(a++, c.type, c.version);
    scan.Run(1, observer);
    ASSERT_EQ(scan.Units().size(), std::size(cases));
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(::testing::Message() << int(cases[i].type) << " at " << cases[i].version);
        EXPECT_EQ(scan.Units()[i].klv_line, cases[i].klv_line);
    }
}

TEST(VersionText, FormsTheMinorWithTwoDigits)
{
    EXPECT_EQ(VersionText(222), "2.22");
    EXPECT_EQ(VersionText(203), "2.03");
    EXPECT_EQ(VersionText(0), "0.00");
    EXPECT_EQ(VersionText(65535), "655.35");
}

} // namespace
} // namespace device
