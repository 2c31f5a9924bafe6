// Consoles and their sub-devices on a console line (frame mode 2): probe, poll, search, loss,
// reset, and the console's own reports.  Runs on the polling thread; the table is guarded by
// the session lock, which is never held while a report goes to the owner.
//
// A long answer's bytes after the length: [tag] [message number] [kind] [payload]; kind 2 is a
// sub-device event [code] [sub-device] [time stamp], kind 8 an answer to a general command
// [command] [data] (see sim/README.md).

#include "CoreComp/rssess/rs_session_console_line.h"
#include "CoreComp/rssess/second_form.h"
#include "CoreComp/rssess/session_log.h"

using namespace corecomp;

namespace {

constexpr uint32_t kSearchEvery = 100;
// The code with which a console's queued commands end when it is reset, first answers or is
// found by the search.
constexpr uint8_t kConsoleCommandsFailed = 150;

bool ValidIndex(int n)
{
    return n >= 1 && n <= 127;
}

struct Report
{
    uintptr_t wparam;
    std::vector<uint8_t> payload;
};

} // namespace

// The polling thread gives up the line while the owner takes a report; a caller on another
// thread (a test) only sends it.
bool TRSSession::ReportToOwner(uintptr_t wparam, std::vector<uint8_t> payload)
{
    if (std::this_thread::get_id() == thread_.get_id())
        return Deliver(kMsgSessionReport, wparam, std::move(payload));
    SendToOwner(kMsgSessionReport, wparam, std::move(payload));
    return true;
}

ConsoleRecordCopy TRSSession::Console(uint8_t address) const
{
    std::lock_guard guard(lock_);
    return ValidIndex(address) ? consoles_->consoles.at(address) : ConsoleRecord{};
}

ConsoleStatistics TRSSession::ConsoleStats(uint8_t address) const
{
    std::lock_guard guard(lock_);
    return ValidIndex(address) ? consoles_->stats.at(address) : ConsoleStatistics{};
}

void TRSSession::MarkConsoleForProbe(uint8_t address)
{
    std::lock_guard guard(lock_);
    if (ValidIndex(address))
        consoles_->stats.at(address).probe |= 1;
}

std::optional<ConsoleRecordCopy> TRSSession::FindSubDevice(uint8_t subAddress) const
{
    std::lock_guard guard(lock_);
    if (!ValidIndex(subAddress))
        return std::nullopt;
    for (size_t a = 1; a <= 127; ++a) {
        const ConsoleRecord& c = consoles_->consoles.at(a);
        for (size_t j = 1; j <= 127; ++j) {
            if (c.subs.at(j).flags != 0 && c.subs.at(j).address == subAddress)
                return c;
        }
    }
    return std::nullopt;
}

// Drops the console's pending requests and the general commands not yet sent to it.
void TRSSession::ForgetConsoleWork(uint8_t a)
{
    {
        std::lock_guard guard(lock_);
        auto& p = consoles_->pending;
        std::erase_if(p, [a](const ConsoleLine::Pending& e) { return e.console == a; });
        auto& q = consoles_->commands;
        std::erase_if(q, [a](const ConsoleLine::Command& e) { return e.console == a; });
    }
    FailConsoleRecords(a, kConsoleCommandsFailed);
}

void TRSSession::QueueConsoleGreeting(uint8_t a)
{
    bool noTime;
    {
        std::lock_guard guard(lock_);
        noTime = settings_.NoTime;
    }
    QueueConsoleCommand(a, 3, {0});
    if (!noTime) {
        std::vector<uint8_t> clock = ClockCommand(clock_.Now() + 1.0 / 86400.0);
        QueueConsoleCommand(a, 4, std::vector<uint8_t>(clock.begin() + 1, clock.end()));
    }
    QueueConsoleCommand(a, 1, {RandomKey()});
}

void TRSSession::ProbeConsole(uint8_t a)
{
    if (!ValidIndex(a))
        return;
    {
        std::lock_guard guard(lock_);
        consoles_->stats.at(a).probe &= ~1u;
    }
    if (!work_)
        return;
    const auto r = ExchangeSecondForm({a, 1});
    if (r.code != kSecondFormOk)
        return;
    std::vector<uint8_t> record;
    {
        std::lock_guard guard(lock_);
        ConsoleRecord& c = consoles_->consoles.at(a);
        c.address = a;
        c.active = 1;
        c.state = 1;
        c.awaitingType = 1;
        record = ConsoleReport(0, c, clock_.Now());
    }
    QueueConsoleGreeting(a);
    ReportToOwner(kReportDeviceFoundWithType, std::move(record));
}

void TRSSession::ConsoleAnswered(uint8_t a, const SecondFormResult& r)
{
    for (const std::vector<uint8_t>& passed : r.passed)
        ConsoleAnswered(a, SecondFormResult{kSecondFormOk, passed, false, {}});
    if (r.repeated || r.answer.size() <= kAnswerKindPosition + 2)
        return;
    const std::vector<uint8_t> payload(r.answer.begin() + kAnswerPayloadPosition,
                                       r.answer.end() - 2);
    if (r.answer[kAnswerKindPosition] == kMessageEvent)
        HandleConsoleEvent(a, payload);
    else if (r.answer[kAnswerKindPosition] == kMessageList)
        HandleConsoleList(a, payload);
}

bool TRSSession::ConsoleLostNow(uint8_t a)
{
    std::lock_guard guard(lock_);
    const ConsoleRecord& c = consoles_->consoles.at(a);
    const ConsoleStatistics& s = consoles_->stats.at(a);
    if (s.consecutiveFailures <= 5 || c.state == 0)
        return false;
    const int32_t grace = settings_.SecLostDevice;
    if (grace != 0 && s.lastGood != 0 &&
        clock_.TickCount() - s.lastGoodTick < static_cast<uint64_t>(grace) * 1000)
        return false;
    return true;
}

void TRSSession::ReportConsoleLost(uint8_t a)
{
    std::vector<Report> reports;
    {
        std::lock_guard guard(lock_);
        ConsoleRecord& c = consoles_->consoles.at(a);
        const double now = clock_.Now();
        if (logCommand_)
            LogPort(LogTime() + " Потеря пульта:" + std::to_string(a));
        reports.push_back({kReportDeviceLostRecord, ConsoleReport(0, c, now)});
        c.found = 1;
        for (uint8_t j = 1; j <= 127; ++j) {
            SubDevice& s = c.subs.at(j);
            if (s.flags == 0)
                continue;
            s.version = 0;
            if (logCommand_)
                LogPort(LogTime() + " Потеря устройства:" + std::to_string(a) + "." +
                        std::to_string(j));
            reports.push_back({kReportDeviceLostRecord, ConsoleReport(j, c, now)});
            reports.push_back({kReportZoneMark, ZoneMarkReport(a, j, 250, now)});
        }
    }
    for (auto& r : reports) {
        if (!ReportToOwner(r.wparam, std::move(r.payload)))
            return;
    }
    ResetConsole(a);
}

void TRSSession::ResetConsole(uint8_t a)
{
    if (!ValidIndex(a))
        return;
    std::vector<Report> reports;
    {
        std::lock_guard guard(lock_);
        ConsoleRecord& c = consoles_->consoles.at(a);
        if (c.address != a)
            return;
        c.state = 0;
        c.key = 0;
        for (uint8_t j = 1; j <= 127; ++j) {
            if (c.subs.at(j).flags == 0)
                continue;
            c.subs.at(j).flags = 0;
            reports.push_back({kReportDeviceList, ConsoleListReport(c, j)});
        }
        reports.push_back({kReportDeviceList, ConsoleListReport(c, 0)});
    }
    ForgetConsoleWork(a);
    for (auto& r : reports) {
        if (!ReportToOwner(r.wparam, std::move(r.payload)))
            return;
    }
}

void TRSSession::PollConsoles(uint8_t filter)
{
    const bool onThread = std::this_thread::get_id() == thread_.get_id();
    for (uint8_t a = 1; a <= 127; ++a) {
        for (;;) {
            {
                std::lock_guard guard(lock_);
                const ConsoleRecord& c = consoles_->consoles.at(a);
                if (c.address != a || c.active != 1 || (filter != 0 && filter != a))
                    break;
                ++consoles_->stats.at(a).polls;
            }
            if (!work_ && onThread)
                return;
            const auto r = ExchangeSecondForm({a, 1});
            if (r.code < 100) {
                bool first = false;
                uint8_t status = r.answer.size() > 2 ? r.answer[2] : 0;
                {
                    std::lock_guard guard(lock_);
                    ConsoleStatistics& s = consoles_->stats.at(a);
                    ConsoleRecord& c = consoles_->consoles.at(a);
                    s.consecutiveFailures = 0;
                    s.lastGood = clock_.Now();
                    s.lastGoodTick = clock_.TickCount();
                    if (r.code != 0)
                        s.Count(r.code);
                    c.active = 1;
                    first = c.state == 0;
                    if (first)
                        c.found = 1;
                    c.state = (status & 0x80) ? 2 : 1;
                    c.pendingEvents = (status & 0x7F) == 4 ? 1 : 0;
                }
                if (first) {
                    ForgetConsoleWork(a);
                    {
                        std::lock_guard guard(lock_);
                        consoles_->consoles.at(a).awaitingType = 1;
                    }
                    QueueConsoleGreeting(a);
                }
                ConsoleAnswered(a, r);
                int& repeats = consoles_->repeats; // the polling thread's own
                if ((status & 0x7F) == 4) {
                    if (++repeats <= ConsoleLine::kMaxRepeats)
                        continue;
                } else {
                    repeats = 0;
                }
                break;
            }
            {
                std::lock_guard guard(lock_);
                ConsoleStatistics& s = consoles_->stats.at(a);
                ++s.failedPolls;
                ++s.consecutiveFailures;
                s.Count(r.code);
            }
            // A console inside its grace period is skipped; the walk goes on with the rest.
            if (ConsoleLostNow(a))
                ReportConsoleLost(a);
            break;
        }
    }
}

void TRSSession::SearchConsoles()
{
    uint8_t a = 0;
    {
        std::lock_guard guard(lock_);
        ConsoleLine& l = *consoles_;
        if (++l.searchCalls % kSearchEvery != 0)
            return;
        for (int step = 0; step < 127; ++step) {
            const uint8_t cand = static_cast<uint8_t>((l.searchCursor - 1 + step) % 127 + 1);
            const ConsoleRecord& c = l.consoles.at(cand);
            if (c.active == 0 && c.awaitingType == 0) {
                a = cand;
                break;
            }
        }
        if (a == 0)
            return;
        l.searchCursor = static_cast<uint8_t>(a % 127 + 1);
    }
    if (!work_)
        return;
    const auto r = ExchangeSecondForm({a, 1});
    if (r.code > 100)
        return;
    {
        std::lock_guard guard(lock_);
        ConsoleRecord& c = consoles_->consoles.at(a);
        c.address = a;
        c.state = 1;
        c.active = 1;
        c.found = 1;
        c.awaitingType = 1;
    }
    ForgetConsoleWork(a);
    QueueConsoleGreeting(a);
}

void TRSSession::DrainConsole(uint8_t a)
{
    if (!ValidIndex(a))
        return;
    // Bounded: a chatty or faulty console gives up the line after kMaxDrainPolls answers.
    for (int i = 0; i < ConsoleLine::kMaxDrainPolls && work_; ++i) {
        const auto r = ExchangeSecondForm({a, 1});
        if (r.code != kSecondFormOk) {
            std::lock_guard guard(lock_);
            consoles_->stats.at(a).Count(r.code);
            return;
        }
        ConsoleAnswered(a, r);
        if ((r.answer[2] & 0x0F) == kAnswerHeadOnly) {
            std::lock_guard guard(lock_);
            consoles_->consoles.at(a).pendingEvents = 0;
            return;
        }
    }
}

void TRSSession::HandleConsoleEvent(uint8_t a, const std::vector<uint8_t>& event)
{
    // [code] [sub-device] [time stamp]; sub-device numbers from the wire index a 127-entry table.
    if (!ValidIndex(a) || event.empty())
        return;
    const uint8_t code = event[0];
    std::vector<Report> reports;
    if (code == 203) {
        const CivilTime t = SplitDate(clock_.Now());
        AddPendingRequest(a, 9,
                          {static_cast<uint8_t>(t.hour), static_cast<uint8_t>(t.minute),
                           static_cast<uint8_t>(t.second), static_cast<uint8_t>(t.day),
                           static_cast<uint8_t>(t.month), static_cast<uint8_t>(t.year - 2000)});
        return;
    }
    if (event.size() < 2 || !ValidIndex(event[1]))
        return;
    const uint8_t j = event[1];
    if (code == 250) {
        std::lock_guard guard(lock_);
        ConsoleRecord& c = consoles_->consoles.at(a);
        reports.push_back({kReportDeviceList, ConsoleListReport(c, j)});
        c.subs.at(j).flags = 0;
        c.subs.at(j).version = 0;
        if (logCommand_)
            LogPort(LogTime() + " Потеря устройства:" + std::to_string(a) + "." +
                    std::to_string(j));
        // The loss is reported at the device's own time when its stamp is usable.
        const double at = EventTime(std::span(event).subspan(2), clock_.Now());
        reports.push_back({kReportDeviceLostRecord, ConsoleReport(j, c, at)});
    } else if (code == 251) {
        {
            std::lock_guard guard(lock_);
            ConsoleRecord& c = consoles_->consoles.at(a);
            c.address = a;
            c.subs.at(j).address = j;
            c.subs.at(j).flags = 16;
            if (logCommand_)
                LogPort(LogTime() + " Найдено устройство:" + std::to_string(a) + "." +
                        std::to_string(j));
        }
        QueueConsoleCommand(a, 7, {j});
        QueueConsoleCommand(a, 7, {j});
    }
    for (auto& r : reports) {
        if (!ReportToOwner(r.wparam, std::move(r.payload)))
            return;
    }
}

void TRSSession::HandleConsoleList(uint8_t a, const std::vector<uint8_t>& answer)
{
    if (!ValidIndex(a) || answer.empty())
        return;
    std::vector<Report> reports;
    {
        std::lock_guard guard(lock_);
        ConsoleRecord& c = consoles_->consoles.at(a);
        switch (answer[0]) {
        case 1:
            if (answer.size() >= 2)
                c.key = answer[1];
            break;
        case 3:
            if (answer.size() < 3)
                break;
            c.type = answer[1];
            c.version = answer[2];
            c.awaitingType = 0;
            if (c.found) {
                c.address = a;
                c.active = 1;
                c.state = 1;
                c.found = 0;
                QueueConsoleCommand(a, 6, {0});
                if (logCommand_)
                    LogPort("2:" + LogTime() + " Найден пульт:" + std::to_string(a));
                reports.push_back({kReportDeviceFoundWithType, ConsoleReport(0, c, clock_.Now())});
            }
            c.active = 1;
            reports.push_back({kReportDeviceList, ConsoleListReport(c, 0)});
            break;
        case 6: {
            if (answer.size() < 33)
                break;
            for (uint8_t n = 1; n <= 127; ++n) {
                SubDevice& s = c.subs.at(n);
                const bool m1 = answer[n / 8 + 1] & (1u << (n % 8));
                const bool m2 = answer[16 + n / 8 + 1] & (1u << (n % 8));
                s.flags = static_cast<uint8_t>((s.flags & ~3u) | (m1 ? 1 : 0) | (m2 ? 2 : 0));
                if (m1 || m2) {
                    s.changed = 1;
                    s.address = n;
                    if (!(s.flags & 16))
                        QueueConsoleCommand(a, 7, {n}); // within the commands' bound
                } else {
                    s.flags = static_cast<uint8_t>(s.flags & ~16u);
                }
            }
            break;
        }
        case 7: {
            if (answer.size() < 4 || !ValidIndex(answer[1]))
                break;
            SubDevice& s = c.subs.at(answer[1]);
            const uint32_t version =
                answer.size() >= 5 ? static_cast<uint32_t>(answer[3] | answer[4] << 8) : answer[3];
            const bool changed = s.type != answer[2] || s.version != version || !(s.flags & 16);
            s.address = answer[1];
            s.type = answer[2];
            s.version = version;
            s.flags |= 16;
            if (changed)
                reports.push_back({kReportDeviceList, ConsoleListReport(c, answer[1])});
            break;
        }
        default:
            break;
        }
    }
    for (auto& r : reports) {
        if (!ReportToOwner(r.wparam, std::move(r.payload)))
            return;
    }
}
