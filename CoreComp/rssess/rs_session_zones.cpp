// Zones and credential reports: the zone poll of the polling thread, the zone reads that event
// answers and zone marks ask for, the values of message 1724, and the credential reports of the
// units in the reading list with their confirmation.
//
// The zone collection and the reading list are guarded by the session lock; the owner's side
// takes it briefly and never while it calls an event handler.

#include "CoreComp/rssess/rs_session.h"

#include "CoreComp/rssess/session_log.h"

#include <algorithm>

namespace {

constexpr int32_t kSignedZoneKind = 7;

bool IsUnitAddress(int a)
{
    return a >= 1 && a <= 127;
}

bool CarriesReader(uint8_t kind)
{
    return kind == 14 || kind == 26 || kind == 28 || kind == 29 || kind == 32 || kind == 34;
}

// Only these event codes report a presented credential.
bool IsCredentialCode(uint8_t code)
{
    return code == 26 || code == 28 || code == 29 || code == 32 || code == 34;
}

uint32_t Le32(const std::vector<uint8_t>& p, size_t at)
{
    return static_cast<uint32_t>(p.at(at)) | static_cast<uint32_t>(p.at(at + 1)) << 8 |
           static_cast<uint32_t>(p.at(at + 2)) << 16 | static_cast<uint32_t>(p.at(at + 3)) << 24;
}

} // namespace

// --- the owner's side of the collections

void TRSSession::AddZone(int line, int address, int channel, int32_t threshold, int32_t kind)
{
    std::lock_guard guard(lock_);
    corecomp::TADCZone& z = zones_.AddZone(line, address, channel);
    z.threshold = threshold;
    z.kind = kind;
}

std::vector<corecomp::TADCZone> TRSSession::Zones() const
{
    std::lock_guard guard(lock_);
    return zones_.Zones();
}

void TRSSession::SetZoneInterval(uint32_t ms)
{
    zoneInterval_ = ms;
    // The owner lets the zone poll run; it stays off while a zone answer awaits its handler.
    statisticsFlag_ = true;
}

int TRSSession::AddCodeCardReader(uint8_t address, uint8_t reader, int32_t kind, int64_t id)
{
    std::lock_guard guard(lock_);
    corecomp::TReadingEntry e;
    e.key =
        static_cast<uint32_t>(comPort_ & 0xFF) << 24 | static_cast<uint32_t>(address) << 8 | reader;
    e.kind = kind;
    e.id = id;
    const size_t n = readingList_.Count();
    e.index = static_cast<int32_t>(n);
    readingList_.SetCount(n + 1);
    readingList_.Set(static_cast<int>(n), e);
    return static_cast<int>(n);
}

std::optional<corecomp::TReadingEntry> TRSSession::CodeCardReader(int index) const
{
    std::lock_guard guard(lock_);
    return readingList_.Get(index);
}

// --- the polling thread

void TRSSession::ZonePollStep()
{
    const uint32_t interval = zoneInterval_;
    if (interval == 0 || !statisticsFlag_)
        return;
    // The monotonic tick: a clock set back must not stall the poll.
    const uint32_t now = clock_.TickCount();
    if (zonePolled_ && now - zoneTick_ < interval)
        return;
    zonePolled_ = true;
    zoneTick_ = now;
    int line, address, channel;
    bool unconfirmed;
    {
        std::lock_guard guard(lock_);
        const corecomp::TADCZone* z = zones_.NextZone();
        if (!z)
            return;
        const auto l = corecomp::KeyPart(z->key, 1);
        const auto a = corecomp::KeyPart(z->key, 2);
        const auto c = corecomp::KeyPart(z->key, 3);
        if (!l || !a || !c || !IsUnitAddress(*a) || *c > 255 || *l > 255)
            return;
        line = *l;
        address = *a;
        channel = *c;
        unconfirmed = z->deviceState == corecomp::kZoneUnconfirmed;
    }
    const auto a8 = static_cast<uint8_t>(address);
    const std::vector<uint8_t> request =
        unconfirmed ? std::vector<uint8_t>{a8, 6, 0, 13, 0, 0}
                    : std::vector<uint8_t>{a8, 6, 0, 27, static_cast<uint8_t>(channel), 0};
    if (line != 0) {
        PostOptions o;
        o.routing = std::array<uint8_t, 2>{static_cast<uint8_t>(line), 9};
        if (PostCommand(0, kRecordZoneRequest, request, o) >= 0)
            statisticsFlag_ = false;
        return;
    }
    if (IsAbsent(address))
        return;
    const std::vector<uint8_t> answer = ReadAnswerInto(request);
    if (unconfirmed && !answer.empty() && answer[2] == 0) {
        std::lock_guard guard(lock_);
        if (corecomp::TADCZone* z = zones_.FindZone(corecomp::ZoneKey(line, address, channel)))
            z->deviceState = corecomp::kZoneConfirmed;
    }
    statisticsFlag_ = false;
    Deliver(kMsgStatistics, a8, ZonePayload(static_cast<uint8_t>(channel), answer));
}

std::vector<uint8_t> TRSSession::ZonePayload(uint8_t zone, const std::vector<uint8_t>& answer)
{
    std::vector<uint8_t> p;
    p.reserve(1 + answer.size());
    p.push_back(zone);
    for (uint8_t b : answer)
        p.push_back(b);
    return p;
}

// A credential report (event code 26, 28, 29, 32 or 34) of a unit in the reading list goes to
// the owner raw, with the list index, in place of the event record.  The list is matched by
// device; of a device's entries the one of the reader in byte 4 is taken, and a device's entry
// that does not tell readers apart (any kind but 16) takes every reader.  False: the answer is
// an ordinary event.
bool TRSSession::ReportCodeCardEvent(const std::vector<uint8_t>& answer)
{
    if (answer.size() < 6 || !IsCredentialCode(answer[3]))
        return false;
    int index = -1;
    {
        std::lock_guard guard(lock_);
        const uint32_t key = static_cast<uint32_t>(comPort_ & 0xFF) << 24 |
                             static_cast<uint32_t>(answer[0]) << 8 | answer[4];
        index = readingList_.Find(key, false);
        for (int i = 0; index < 0 && i < static_cast<int>(readingList_.Count()); ++i) {
            const std::optional<corecomp::TReadingEntry> e = readingList_.Get(i);
            if (e && (e->key & 0xFFFFFF00u) == (key & 0xFFFFFF00u) && e->kind != 16)
                index = i;
        }
    }
    if (index < 0)
        return false;
    std::vector<uint8_t> record(4, 0);
    for (int i = 0; i < 4; ++i)
        record[static_cast<size_t>(i)] =
            static_cast<uint8_t>(static_cast<uint32_t>(index) >> (8 * i));
    for (uint8_t b : answer)
        record.push_back(b);
    Deliver(kMsgSessionReport, kReportCodeCardRead, std::move(record));
    return true;
}

// --- the owner's side of the messages

// A zone of the own line (line 0) or another is read through the queue; with notify the owner
// hears of it at once by message 1724.
void TRSSession::ZoneRead(int line, uint8_t address, uint8_t zone, bool notify)
{
    if (!IsUnitAddress(address))
        return;
    {
        std::lock_guard guard(lock_);
        if (!zones_.FindZone(corecomp::ZoneKey(line, address, zone)))
            return;
    }
    PostOptions o;
    if (line != 0)
        o.routing = std::array<uint8_t, 2>{static_cast<uint8_t>(line), 9};
    if (PostCommand(0, kRecordZoneRequest, {address, 6, 0, 27, zone, 0}, o) < 0 || !notify)
        return;
    statisticsFlag_ = false;
    SendToOwner(kMsgStatistics, address, {zone});
}

void TRSSession::DispatchZoneReport(uintptr_t code, const std::vector<uint8_t>& p)
{
    switch (code) {
    case kReportDeviceLost:
    case kReportDeviceFound:
        if (!p.empty()) {
            std::lock_guard guard(lock_);
            if (code == kReportDeviceLost)
                zones_.MarkLost(0, p[0]);
            else
                zones_.MarkPresent(0, p[0]);
        }
        break;
    case kReportEventAnswer:
        // An event of a zone (command 4, zone in byte 4) asks for that zone's value.
        if (p.size() > 5 && p[2] == 4 && p[4] != 0)
            ZoneRead(0, p[0], p[4], true);
        break;
    case kReportZoneMark:
        HandleZoneMark(p);
        break;
    case kReportDeviceFoundWithType:
        if (OnDeviceFoundRecord)
            OnDeviceFoundRecord(p);
        break;
    case kReportDeviceLostRecord:
        if (OnDeviceLostRecord)
            OnDeviceLostRecord(p);
        break;
    case kReportDeviceList:
        if (OnDeviceListRecord)
            OnDeviceListRecord(p);
        break;
    case kReportCodeCardRead: {
        // The list index comes with the record: an index the list does not hold is dropped.
        if (p.size() < 4 + 6)
            break;
        const auto entry = CodeCardReader(static_cast<int32_t>(Le32(p, 0)));
        if (!entry)
            break;
        // The report: the answer from its event code on, without the CRC.
        HandleCodeCardRead(*entry, std::vector<uint8_t>(p.begin() + 7, p.end() - 1));
        break;
    }
    default:
        break;
    }
}

void TRSSession::HandleZoneMark(const std::vector<uint8_t>& r)
{
    if (r.size() < 6)
        return;
    if (r[1] == 2 && r[5] != 0)
        ZoneRead(r[0], r[2], r[5], false);
    if (r[3] == 250 || r[3] == 251) {
        std::lock_guard guard(lock_);
        if (r[3] == 250)
            zones_.MarkLost(r[0], r[2]);
        else
            zones_.MarkPresent(r[0], r[2]);
    }
    if (CarriesReader(r[3])) {
        const uint32_t key = static_cast<uint32_t>(comPort_ & 0xFF) << 24 |
                             static_cast<uint32_t>(r[0]) << 16 | static_cast<uint32_t>(r[2]) << 8;
        std::optional<corecomp::TReadingEntry> entry;
        {
            std::lock_guard guard(lock_);
            entry = readingList_.Get(readingList_.Find(key, true));
        }
        if (entry)
            HandleCodeCardRead(*entry, std::vector<uint8_t>(r.begin() + 3, r.end()));
    }
    if (OnZoneMarkRecord)
        OnZoneMarkRecord(r);
}

void TRSSession::HandleCodeCardRead(const corecomp::TReadingEntry& entry,
                                    const std::vector<uint8_t>& report)
{
    if (report.empty())
        return;
    corecomp::CopyCodeCardReport(report, clock_);
    const bool withReader = CarriesReader(report[0]);
    const uint8_t reader = withReader && report.size() > 1 ? report[1] : 0;
    if (entry.kind == 16 && reader != (entry.key & 0xFF))
        return;
    const auto device = static_cast<uint8_t>(entry.key >> 8);
    PostCommand(0, 0, {device, 6, 0, 43, 5, reader}, {});
    std::array<uint8_t, 8> codes{};
    const size_t from = withReader ? 2 : 1;
    for (size_t i = 0; i < codes.size() && from + i < report.size(); ++i)
        codes[i] = report[from + i];
    bool listed;
    {
        std::lock_guard guard(lock_);
        const int index = readingList_.Find(entry.key, false);
        listed = index >= 0;
        if (listed) {
            corecomp::TReadingEntry done = *readingList_.Get(index);
            done.done = 1;
            readingList_.Set(index, done);
        }
    }
    if (listed && OnReadCodeCards)
        OnReadCodeCards(static_cast<int32_t>(entry.key), codes, entry.id);
}

// Message 1724: a zone's answer (or the statistics answer, 123123).
void TRSSession::HandleStatisticsMessage(const platform::OwnerMessage& m)
{
    std::vector<int32_t> reported;
    if (m.wparam != kStatisticsAnswer && !m.payload.empty()) {
        const uint8_t zone = m.payload[0];
        const std::vector<uint8_t> answer =
            m.payload.size() > 1 ? std::vector<uint8_t>(m.payload.begin() + 1, m.payload.end())
                                 : LastFrameAnswer();
        // Only the unit's own answer says anything about its zone.
        if (answer.size() >= 6 && answer[0] == m.wparam) {
            std::lock_guard guard(lock_);
            corecomp::TADCZone* z =
                zones_.FindZone(corecomp::ZoneKey(0, static_cast<int>(m.wparam), zone));
            if (z && answer[2] == 0 && answer[3] != 0) {
                z->deviceState = answer[3];
                z->secondState = answer[4];
            } else if (z && answer[2] == 28) {
                int32_t raw = answer[4];
                if (z->kind == kSignedZoneKind && raw > 128)
                    raw -= 256;
                z->Update(raw, clock_.Now());
                reported.push_back(z->index);
            }
        }
    }
    statisticsFlag_ = true;
    if (OnStatisticAnswer)
        OnStatisticAnswer(reported, static_cast<int32_t>(reported.size()));
}
