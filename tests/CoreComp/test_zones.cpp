// Zones and credential readers: keys, the round-robin with presence, the owner's messages that
// mark and read zones, the zone poll on the polling thread, and credential reports.

#include "session_fixture.h"

#include "CoreComp/rssess/zones.h"

#include <chrono>
#include <mutex>

namespace {

using namespace corecomp;
using namespace std::chrono_literals;

TEST(Zones, KeysAndParts)
{
    EXPECT_EQ(ZoneKey(0, 5, 3), ".0.5.3.");
    struct Case
    {
        std::string key;
        int n;
        std::optional<int> part;
    };
    const Case cases[] = {
        {".0.5.3.", 1, 0},
        {".0.5.3.", 2, 5},
        {".0.5.3.", 3, 3},
        {".12.127.255.", 2, 127},
        {".0.5.3.", 4, std::nullopt},
        {"..5.3.", 1, std::nullopt},
        {".0.x.3.", 2, std::nullopt},
        {".0.5.3", 3, std::nullopt},
        {"", 1, std::nullopt},
    };
    for (const Case& c : cases)
        EXPECT_EQ(KeyPart(c.key, c.n), c.part) << c.key << " " << c.n;
}

TEST(Zones, UpdateByThreshold)
{
    TADCZone z;
    z.threshold = 3;
    z.Update(10, 1.0);
    EXPECT_TRUE(z.changed);
    z.Update(12, 2.0);
    EXPECT_FALSE(z.changed);
    EXPECT_EQ(z.raw, 12);
    EXPECT_EQ(z.lastReported, 10);
    z.Update(7, 3.0);
    EXPECT_TRUE(z.changed);
    EXPECT_EQ(z.lastReported, 7);
}

TEST(Zones, RoundRobinSkipsLostUnitsAndChecksANewUnitOnce)
{
    TCollectZone zones;
    EXPECT_EQ(zones.NextZone(), nullptr);
    zones.AddZone(0, 5, 1);
    zones.AddZone(0, 5, 2);
    zones.AddZone(0, 9, 1);
    EXPECT_EQ(&zones.AddZone(0, 5, 2), zones.FindZone(".0.5.2.")) << "one zone per key";
    EXPECT_EQ(zones.Zones().size(), 3u);

    TADCZone* z = zones.NextZone();
    EXPECT_EQ(z->key, ".0.5.1.");
    EXPECT_EQ(z->deviceState, kZoneUnconfirmed) << "its unit is checked first";
    z->deviceState = kZoneConfirmed;
    z = zones.NextZone();
    EXPECT_EQ(z->key, ".0.5.2.");
    EXPECT_EQ(z->deviceState, kZoneConfirmed) << "the unit was confirmed through its first zone";

    zones.MarkLost(0, 9);
    EXPECT_EQ(zones.NextZone()->key, ".0.5.1.") << "the lost unit's zone is passed over";
    zones.MarkLost(0, 5);
    EXPECT_EQ(zones.NextZone(), nullptr);
    zones.MarkPresent(0, 9);
    EXPECT_EQ(zones.FindZone(".0.9.1.")->deviceState, kZoneUnconfirmed);
    EXPECT_EQ(zones.NextZone()->key, ".0.9.1.");
    EXPECT_EQ(zones.FindZone(".0.5.1.")->deviceState, kZoneLost);
    EXPECT_EQ(zones.Zone(3), nullptr);
    EXPECT_EQ(zones.Zone(-1), nullptr);
}

TEST(Zones, ZonesOfAUnitTakeTheStateOfTheZoneBeforeThem)
{
    TCollectZone zones;
    zones.AddZone(0, 5, 1);
    zones.AddZone(0, 5, 2);
    zones.AddZone(0, 5, 3);
    zones.AddZone(0, 9, 1);
    zones.AddZone(0, 5, 4); // of unit 5, apart from the others

    TADCZone* first = zones.NextZone();
    ASSERT_EQ(first->key, ".0.5.1.");
    EXPECT_EQ(first->deviceState, kZoneUnconfirmed);
    // The unit's answer to the zone message sets the first zone's state words.
    first->deviceState = 7;
    first->secondState = 3;
    TADCZone* second = zones.NextZone();
    ASSERT_EQ(second->key, ".0.5.2.");
    EXPECT_EQ(second->deviceState, 7);
    EXPECT_EQ(second->secondState, 3);
    EXPECT_EQ(zones.FindZone(".0.5.3.")->deviceState, 7) << "and the rest of the run with it";
    EXPECT_EQ(zones.FindZone(".0.9.1.")->deviceState, kZoneUnconfirmed) << "not another unit";

    // A later change of the run's first zone reaches the zones after it when the cursor does.
    first->deviceState = kZoneConfirmed;
    first->secondState = 0;
    EXPECT_EQ(zones.NextZone()->key, ".0.5.3.");
    EXPECT_EQ(zones.FindZone(".0.5.3.")->deviceState, 7)
        << "the cursor zone takes only its neighbour's";
    EXPECT_EQ(zones.NextZone()->key, ".0.9.1.");
    // Not next to its unit's run: an unconfirmed zone takes the state of an earlier zone of
    // its unit that is confirmed.
    TADCZone* apart = zones.NextZone();
    ASSERT_EQ(apart->key, ".0.5.4.");
    EXPECT_EQ(apart->deviceState, kZoneConfirmed);
}

TEST(Zones, AnUnconfirmedZoneTakesTheStateOfAConfirmedEarlierZoneOfItsUnit)
{
    TCollectZone zones;
    for (auto [address, channel] : {std::pair{5, 1}, {9, 1}, {5, 2}, {8, 1}, {5, 3}})
        zones.AddZone(0, address, channel);
    EXPECT_EQ(zones.NextZone()->key, ".0.5.1."); // its check got no answer: still unconfirmed
    EXPECT_EQ(zones.NextZone()->key, ".0.9.1.");
    TADCZone* checked = zones.NextZone();
    ASSERT_EQ(checked->key, ".0.5.2.");
    EXPECT_EQ(checked->deviceState, kZoneUnconfirmed);
    checked->deviceState = kZoneConfirmed; // this check was answered
    EXPECT_EQ(zones.NextZone()->key, ".0.8.1.");
    TADCZone* last = zones.NextZone();
    ASSERT_EQ(last->key, ".0.5.3.");
    EXPECT_EQ(last->deviceState, kZoneConfirmed) << "past the unconfirmed first zone";
}

TEST(Zones, CompleteZonesArePassedOver)
{
    TCollectZone zones;
    zones.AddZone(0, 5, 1);
    zones.AddZone(0, 6, 1);
    zones.AddZone(0, 7, 1);
    TADCZone* middle = zones.FindZone(".0.6.1.");
    middle->complete1 = 4; // one word alone does not complete it
    std::vector<std::string> order;
    for (int i = 0; i < 3; ++i)
        order.push_back(zones.NextZone()->key);
    EXPECT_EQ(order, (std::vector<std::string>{".0.5.1.", ".0.6.1.", ".0.7.1."}));
    middle->complete2 = 0;
    order.clear();
    for (int i = 0; i < 3; ++i)
        order.push_back(zones.NextZone()->key);
    EXPECT_EQ(order, (std::vector<std::string>{".0.5.1.", ".0.7.1.", ".0.5.1."}));
    zones.MarkLost(0, 5);
    zones.MarkLost(0, 7);
    EXPECT_EQ(zones.NextZone(), nullptr) << "lost or complete: nothing to read";
}

TEST(Zones, ReadingListFindAndRemove)
{
    TDeviceListForReading list;
    list.SetCount(3);
    EXPECT_TRUE(list.Set(0, {0, 0x01000501, 16, 7, 0}));
    EXPECT_TRUE(list.Set(1, {1, 0x01000502, 16, 8, 0}));
    EXPECT_TRUE(list.Set(2, {2, 0x01000501, 0, 9, 0}));
    EXPECT_FALSE(list.Set(3, {}));
    EXPECT_FALSE(list.Get(3));
    EXPECT_FALSE(list.Get(-1));
    EXPECT_EQ(list.Find(0x010005FF, true), 0) << "by device: the reader is not compared";
    EXPECT_EQ(list.Find(0x010005FF, false), -1);
    EXPECT_EQ(list.Find(0x01000502, false), 1);
    list.Remove(0x01000501);
    EXPECT_EQ(list.Count(), 1u);
    EXPECT_EQ(list.Get(0)->id, 8);
}

class ZoneSessionTest : public SessionTest
{
protected:
    std::optional<intptr_t> Send(uint32_t msg, uintptr_t wparam, Bytes payload)
    {
        platform::OwnerMessage m;
        m.msg = msg;
        m.wparam = wparam;
        m.payload = std::move(payload);
        return owner_.Send(std::move(m));
    }
};

TEST_F(ZoneSessionTest, ZoneValuesMarksAndReadsThroughTheOwnersMessages)
{
    TRSSession& s = MakeSession();
    s.AddZone(0, 5, 3, 2, 7);
    s.AddZone(0, 5, 4, 2, 0);
    std::vector<int32_t> reported;
    int statistics = 0;
    s.OnStatisticAnswer = [&](const std::vector<int32_t>& z, int32_t n) {
        reported = z;
        EXPECT_EQ(static_cast<size_t>(n), z.size());
        ++statistics;
    };

    // A value of a signed zone, the unit's own answer only.
    Send(kMsgStatistics, 5, {3, 5, 5, 28, 3, 200, 0});
    EXPECT_EQ(reported, (std::vector<int32_t>{0}));
    EXPECT_EQ(s.Zones()[0].raw, 200 - 256);
    Send(kMsgStatistics, 5, {4, 6, 5, 28, 4, 99, 0});
    EXPECT_TRUE(reported.empty()) << "an answer of another unit says nothing of this zone";
    Send(kMsgStatistics, 5, {4, 5, 5, 28, 4, 200, 0});
    EXPECT_EQ(s.Zones()[1].raw, 200) << "unsigned zone";
    Send(kMsgStatistics, 5, {4, 5, 5, 0, 9, 1, 0});
    EXPECT_EQ(s.Zones()[1].deviceState, 9);
    EXPECT_EQ(s.Zones()[1].secondState, 1);
    Send(kMsgStatistics, kStatisticsAnswer, {});
    EXPECT_EQ(statistics, 5);

    // Lost and found with the unit.
    Send(kMsgSessionReport, kReportDeviceLost, {5});
    EXPECT_EQ(s.Zones()[0].deviceState, kZoneLost);
    Send(kMsgSessionReport, kReportDeviceFound, {5});
    EXPECT_EQ(s.Zones()[1].deviceState, kZoneUnconfirmed);
    // Zone marks 250 and 251 of line 0, unit 5.
    Send(kMsgSessionReport, kReportZoneMark, {0, 0, 5, 250, 0, 0});
    EXPECT_EQ(s.Zones()[0].deviceState, kZoneLost);
    Send(kMsgSessionReport, kReportZoneMark, {0, 0, 5, 251, 0, 0});
    EXPECT_EQ(s.Zones()[0].deviceState, kZoneUnconfirmed);

    // An event of zone 3 queues its read and tells the owner at once; zone 7 is no zone.
    statistics = 0;
    Send(kMsgSessionReport, kReportEventAnswer, {5, 6, 4, 17, 3, 0, 0});
    EXPECT_EQ(s.QueuedCommandCount(), 1u);
    EXPECT_EQ(statistics, 1);
    Send(kMsgSessionReport, kReportEventAnswer, {5, 6, 4, 17, 7, 0, 0});
    EXPECT_EQ(s.QueuedCommandCount(), 1u);
    // A zone mark of kind 2 reads its zone without a message.
    Send(kMsgSessionReport, kReportZoneMark, {0, 2, 5, 0, 0, 4});
    EXPECT_EQ(s.QueuedCommandCount(), 2u);
    EXPECT_EQ(statistics, 1);
}

TEST_F(ZoneSessionTest, CredentialReportsReachTheOwnerWithTheReaderAndAreConfirmed)
{
    TRSSession& s = MakeSession();
    s.SetComPort(3);
    const int plain = s.AddCodeCardReader(7, 0, 0, 1001);
    const int byReader = s.AddCodeCardReader(8, 2, 16, 1002);
    std::vector<std::tuple<int32_t, std::array<uint8_t, 8>, int64_t>> reads;
    s.OnReadCodeCards = [&](int32_t a, const std::array<uint8_t, 8>& c, int64_t id) {
        reads.emplace_back(a, c, id);
    };
    auto record = [](int index, Bytes answer) {
        Bytes r = {static_cast<uint8_t>(index), 0, 0, 0};
        r.insert(r.end(), answer.begin(), answer.end());
        return r;
    };
    // Unit 7 reports code 26 with reader 0; unit 8 with reader 1 (not its reader), then 2.
    Send(kMsgSessionReport, kReportCodeCardRead,
         record(plain, {7, 14, 4, 26, 0, 1, 2, 3, 4, 5, 6, 7, 8, 0}));
    Send(kMsgSessionReport, kReportCodeCardRead,
         record(byReader, {8, 14, 4, 28, 1, 1, 2, 3, 4, 5, 6, 7, 8, 0}));
    Send(kMsgSessionReport, kReportCodeCardRead,
         record(byReader, {8, 14, 4, 28, 2, 9, 9, 9, 9, 9, 9, 9, 9, 0}));
    // Indexes the list does not hold, and short records, are dropped.
    Send(kMsgSessionReport, kReportCodeCardRead, record(5, {8, 14, 4, 28, 2, 9, 9, 9, 9, 0}));
    Send(kMsgSessionReport, kReportCodeCardRead,
         {0xFF, 0xFF, 0xFF, 0xFF, 8, 14, 4, 28, 2, 9, 9, 9, 9, 0});
    Send(kMsgSessionReport, kReportCodeCardRead, {0, 0, 0});
    ASSERT_EQ(reads.size(), 2u);
    EXPECT_EQ(std::get<0>(reads[0]), 0x03000700);
    EXPECT_EQ(std::get<1>(reads[0]), (std::array<uint8_t, 8>{1, 2, 3, 4, 5, 6, 7, 8}));
    EXPECT_EQ(std::get<2>(reads[0]), 1001);
    EXPECT_EQ(std::get<0>(reads[1]), 0x03000802);
    EXPECT_EQ(std::get<1>(reads[1])[0], 9);
    EXPECT_EQ(s.QueuedCommandCount(), 2u) << "one confirmation per accepted report";
    EXPECT_EQ(s.CodeCardReader(byReader)->done, 1);
}

// A clock that can be set back, as the operator or a time service may do.
class SteppedClock : public platform::FakeClock
{
public:
    double Now() override { return FakeClock::Now() - back_.load(); }
    void StepBack(double days) { back_ = back_ + days; }

private:
    std::atomic<double> back_{0};
};

TEST_F(ZoneSessionTest, ZonePollReadsTheUnitThenItsValuesAndOutlivesAClockSetBack)
{
    SetDword("CmdTimeoutConstant", 50);
    runPasses_ = true;
    std::mutex m;
    uint8_t value = 40;
    std::vector<Bytes> zoneRequests;
    line_->responder = [&](const Bytes& f) -> Bytes {
        std::lock_guard g(m);
        if ((f[0] & 0x7F) != 5)
            return {};
        switch (f[3]) {
        case 1:
            return MakeAnswer({5, 2, 0, 0});
        case 13:
            zoneRequests.push_back(f);
            return MakeAnswer({5, 0, 1, 104, 0});
        case 27:
            zoneRequests.push_back(f);
            return MakeAnswer({5, 28, f[4], value});
        default:
            return {};
        }
    };
    SteppedClock clock;
    session_.reset();
    TRSSession::Collaborators c = Collaborators(&owner_);
    c.clock = &clock;
    session_ = std::make_unique<TRSSession>(std::move(c));
    TRSSession& s = *session_;
    s.AddZone(0, 5, 3, 1, 0);
    s.SetZoneInterval(100);
    int values = 0;
    const SessionEnd end = EndSessionFirst(); // the thread uses the clock and the responder
    s.OnStatisticAnswer = [&](const std::vector<int32_t>& z, int32_t) {
        values += z.empty() ? 0 : 1;
    };
    s.SetWork(true);
    ASSERT_TRUE(owner_.WaitServing([&] { return values >= 2; }, 20s));
    clock.StepBack(1.0 / 24); // an hour back
    const int before = values;
    ASSERT_TRUE(owner_.WaitServing([&] { return values >= before + 3; }, 20s));
    s.SetWork(false);
    const std::vector<TADCZone> zones = s.Zones(); // the session lock before the line's
    std::lock_guard g(m);
    ASSERT_GE(zoneRequests.size(), 3u);
    EXPECT_EQ(zoneRequests[0][3], 13) << "the unit is checked first";
    EXPECT_EQ(zoneRequests[1], (Bytes{5, 6, 0, 27, 3, 0, zoneRequests[1][6]}));
    EXPECT_EQ(zones[0].raw, 40);
    // Confirmed, and the owner's side kept the type answer's bytes as the zone's state.
    EXPECT_EQ(zones[0].deviceState, 1);
}

} // namespace

TEST_F(ZoneSessionTest, ValuesAboveOneHundredTwentyEightAreNegativeInSignedZones)
{
    TRSSession& s = MakeSession();
    s.AddZone(0, 5, 3, 1, 7); // signed
    s.AddZone(0, 5, 4, 1, 0); // unsigned
    struct Case
    {
        uint8_t raw;
        int32_t signedValue;
    };
    const Case cases[] = {{0, 0}, {127, 127}, {128, 128}, {129, -127}, {255, -1}};
    for (const Case& c : cases) {
        Send(kMsgStatistics, 5, {3, 5, 5, 28, 3, c.raw, 0});
        Send(kMsgStatistics, 5, {4, 5, 5, 28, 4, c.raw, 0});
        EXPECT_EQ(s.Zones()[0].raw, c.signedValue) << int(c.raw);
        EXPECT_EQ(s.Zones()[1].raw, c.raw) << int(c.raw);
    }
}
