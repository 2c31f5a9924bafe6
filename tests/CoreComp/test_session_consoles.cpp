// The console line's bookkeeping without a line: the record ring and the pending list refuse
// when full, sub-device numbers from the wire are checked, and the reports reach the owner's
// unpublished handlers with their records.

#include "session_fixture.h"

#include "CoreComp/rssess/console_table.h"

using Bytes = std::vector<uint8_t>;

namespace {

class ConsoleTest : public SessionTest
{
protected:
    TRSSession& Mode2()
    {
        TRSSession& s = MakeSession();
        s.SetFrameMode(2);
        return s;
    }
};

} // namespace

TEST_F(ConsoleTest, RingAndPendingListRefuseWhenFull)
{
    TRSSession& s = Mode2();
    for (int i = 0; i < 256; ++i)
        ASSERT_TRUE(s.QueueSecondFormRecord({1, 3, static_cast<uint8_t>(i)})) << i;
    EXPECT_FALSE(s.QueueSecondFormRecord({1, 3, 0})) << "a full ring is not an empty one";
    EXPECT_FALSE(s.PostFrame({1, 6, 0, 13, 0, 0}));

    for (int i = 0; i < 300; ++i)
        ASSERT_TRUE(s.AddPendingRequest(1, 9, {static_cast<uint8_t>(i)})) << i;
    EXPECT_FALSE(s.AddPendingRequest(2, 9, {0}));
    EXPECT_EQ(s.PendingRequestCount(), 300u);
    EXPECT_FALSE(s.AddPendingRequest(0, 9, {0}));
    EXPECT_FALSE(s.AddPendingRequest(128, 9, {0}));

    // Mode 1 is what every session starts in; nothing of the console line touches it.
    TRSSession& fresh = MakeSession();
    EXPECT_EQ(fresh.FrameMode(), 1);
    fresh.SetFrameMode(7);
    EXPECT_EQ(fresh.FrameMode(), 1);
}

TEST_F(ConsoleTest, SubDeviceNumbersFromTheWireAreChecked)
{
    TRSSession& s = Mode2();
    std::vector<std::pair<uint8_t, uint8_t>> lists; // console, sub-device of each report 40
    s.OnConsoleList = [&](const corecomp::ConsoleRecord& c, uint8_t sub) {
        lists.emplace_back(c.address, sub);
    };
    struct Case
    {
        Bytes event;
        bool taken;
    };
    const Case events[] = {
        {{251, 0}, false}, {{251, 128}, false}, {{251, 255}, false}, {{251}, false},
        {{250, 0}, false}, {{250, 200}, false}, {{251, 127}, true},  {{251, 1}, true},
    };
    for (const auto& c : events) {
        const size_t before = s.ConsoleCommandCount();
        s.HandleConsoleEvent(3, c.event);
        EXPECT_EQ(s.ConsoleCommandCount() > before, c.taken) << int(c.event[0]);
    }
    EXPECT_EQ(s.Console(3).subs[127].flags, 16);
    EXPECT_EQ(s.Console(3).subs[1].flags, 16);

    struct ListCase
    {
        Bytes answer;
        bool taken;
    };
    const ListCase answers[] = {
        {{7, 0, 50, 1}, false}, {{7, 128, 50, 1}, false},   {{7, 255, 50, 1, 2}, false},
        {{7, 127}, false},      {{7, 127, 50, 1, 2}, true}, {{7, 127, 50, 1, 2}, false},
    };
    for (const auto& c : answers) {
        const size_t before = lists.size();
        s.HandleConsoleList(3, c.answer);
        owner_.ServePending();
        EXPECT_EQ(lists.size() > before, c.taken) << int(c.answer.size() > 1 ? c.answer[1] : 0);
    }
    EXPECT_EQ(s.Console(3).subs[127].type, 50);
    EXPECT_EQ(s.Console(3).subs[127].version, 0x0201u);
    ASSERT_FALSE(lists.empty());
    EXPECT_EQ(lists.back(), (std::pair<uint8_t, uint8_t>{3, 127}));
    ASSERT_TRUE(s.FindSubDevice(127));
    EXPECT_FALSE(s.FindSubDevice(0));
    EXPECT_FALSE(s.FindSubDevice(200));
}

TEST_F(ConsoleTest, ASubDeviceLossCarriesTheDevicesTimeOnlyWhenItsStampIsUsable)
{
    // The fake clock starts at 9 December 2025, 00:00 (date value 46000).
    TRSSession& s = Mode2();
    std::vector<double> times;
    s.OnConsoleLost = [&](uint8_t, const corecomp::ConsoleRecord&, double time) {
        times.push_back(time);
    };
    constexpr double kNow = -1; // stands for the session's clock at the report
    const auto at = [](double day, int h, int m, int sec) {
        return day + (h * 3600 + m * 60 + sec) / 86400.0;
    };
    struct Case
    {
        Bytes stamp; // year - 2000, month, day, hour, minute, second
        double time;
    };
    const Case cases[] = {
        {{25, 12, 8, 23, 30, 15}, at(45999, 23, 30, 15)},
        {{24, 2, 29, 12, 0, 0}, at(45351, 12, 0, 0)}, // a leap day
        {{25, 12, 9, 0, 9, 0}, at(46000, 0, 9, 0)},   // less than 10 minutes ahead
        {{25, 12, 9, 0, 11, 0}, kNow},                // more than 10 minutes ahead
        {{26, 1, 1, 0, 0, 0}, kNow},
        {{0, 12, 8, 1, 0, 0}, kNow},
        {{25, 0, 8, 1, 0, 0}, kNow},
        {{25, 13, 8, 1, 0, 0}, kNow},
        {{25, 11, 0, 1, 0, 0}, kNow},
        {{25, 11, 31, 1, 0, 0}, kNow},
        {{25, 2, 29, 1, 0, 0}, kNow}, // not a leap year
        {{25, 11, 30, 24, 0, 0}, kNow},
        {{25, 11, 30, 23, 60, 0}, kNow},
        {{25, 11, 30, 23, 59, 60}, kNow},
        {{25, 11, 30, 23, 59}, kNow}, // cut short
        {{}, kNow},
    };
    for (const auto& c : cases) {
        Bytes event(2 + c.stamp.size());
        event[0] = 250;
        event[1] = 4;
        std::copy(c.stamp.begin(), c.stamp.end(), event.begin() + 2);
        times.clear();
        const double now = clock_.Now();
        s.HandleConsoleEvent(3, event);
        owner_.ServePending();
        ASSERT_EQ(times.size(), 1u);
        EXPECT_NEAR(times[0], c.time == kNow ? now : c.time, 1e-7)
            << int(c.stamp.size() > 2 ? c.stamp[2] : 0) << "."
            << int(c.stamp.size() > 1 ? c.stamp[1] : 0);
    }
}

TEST_F(ConsoleTest, RecordsTravelWholeAndBuildingARequest)
{
    corecomp::ConsoleRecord c;
    c.address = 9;
    c.type = 31;
    c.key = 0xA5;
    c.subs[1] = {17, 1, 120, 0x01020304, 1};
    c.subs[127] = {3, 127, 121, 0xFFFFFFFF, 0};
    c.found = 1;
    const auto bytes = corecomp::ConsoleRecordBytes(c);
    ASSERT_EQ(bytes.size(), corecomp::kConsoleRecordSize);
    const auto back = corecomp::ConsoleRecordFromBytes(bytes);
    ASSERT_TRUE(back);
    EXPECT_EQ(corecomp::ConsoleRecordBytes(*back), bytes);
    EXPECT_EQ(back->subs[1].version, 0x01020304u);
    EXPECT_EQ(back->subs[127].address, 127);
    EXPECT_FALSE(corecomp::ConsoleRecordFromBytes(std::span(bytes).first(bytes.size() - 1)));

    const auto zone = corecomp::ZoneMarkReport(9, 4, 250, 0);
    EXPECT_EQ(Bytes(zone.begin(), zone.begin() + 4), (Bytes{9, 2, 4, 250}));
    EXPECT_EQ(Bytes(zone.end() - 4, zone.end()), (Bytes{9, 0, 1, 0}));

    EXPECT_EQ(TRSSession::BuildSecondFormRequest({5, 6, 0, 13, 0, 0}),
              (Bytes{5, 5, 6, 0, 13, 0xFF}));
    EXPECT_EQ(TRSSession::BuildSecondFormRequest({5}), Bytes{});
    EXPECT_EQ(TRSSession::BuildSecondFormRequest({5, 0}), Bytes{});
}
