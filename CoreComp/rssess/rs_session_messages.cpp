// Messages to the owner and their dispatch into the published events, and the port log.

#include "CoreComp/rssess/rs_session.h"

#include "CoreComp/rssess/session_log.h"

#include "platform/text1251.h"

#include <cstring>
#include <algorithm>

namespace {

uint32_t Le32(const std::vector<uint8_t>& p, size_t at)
{
    return static_cast<uint32_t>(p.at(at)) | static_cast<uint32_t>(p.at(at + 1)) << 8 |
           static_cast<uint32_t>(p.at(at + 2)) << 16 | static_cast<uint32_t>(p.at(at + 3)) << 24;
}

int64_t Le64(const std::vector<uint8_t>& p, size_t at)
{
    return static_cast<int64_t>(static_cast<uint64_t>(Le32(p, at)) |
                                static_cast<uint64_t>(Le32(p, at + 4)) << 32);
}

// Layouts of the records that travel with the messages (little-endian, packed).
constexpr size_t kAdcRecordSize =
    272; // text[256] (length byte first), NumEvent, NumShl, pad, TypeEvent, Data, lData
constexpr size_t kAdcTypeRecordSize = 12;  // three 32-bit words
constexpr size_t kProgressRecordSize = 24; // 64-bit address, state, type, version, position

} // namespace

void TRSSession::SendToOwner(uint32_t msg, uintptr_t wparam, std::vector<uint8_t> payload)
{
    platform::OwnerChannel* owner = owner_;
    if (!owner || destroying_) // a session being destroyed reports nothing more
        return;
    // Only the polling thread gives up the line here; its flag is its own.
    if (std::this_thread::get_id() == thread_.get_id())
        threadIdle_ = true;
    platform::OwnerMessage m;
    m.msg = msg;
    m.wparam = wparam;
    m.payload = std::move(payload);
    owner->Send(std::move(m));
}

intptr_t TRSSession::SessionWindowProc(const platform::OwnerMessage& message)
{
    switch (message.msg) {
    case kMsgSessionReport:
    case kMsgAsyncAnswer:
    case kMsgSearchProgress:
    case kMsgStatistics:
        if (!destroying_)
            DispatchSessionMessage(message);
        return 0;
    default:
        return ownerHandler_ ? ownerHandler_(message) : 0;
    }
}

void TRSSession::DispatchSessionMessage(const platform::OwnerMessage& message)
{
    const std::vector<uint8_t>& p = message.payload;
    try {
        switch (message.msg) {
        case kMsgSessionReport:
            switch (message.wparam) {
            case kReportDeviceLost:
                if (OnLostDevice && !p.empty())
                    OnLostDevice(p[0]);
                DispatchZoneReport(message.wparam, p);
                break;
            case kReportDeviceFound:
                if (OnNewDevice && !p.empty())
                    OnNewDevice(p[0]);
                DispatchZoneReport(message.wparam, p);
                break;
            case kReportFalseDevice:
                if (OnFalseDevice && !p.empty())
                    OnFalseDevice(p[0]);
                break;
            case kReportEventAnswer:
                if (OnNewEvent && p.size() > 5)
                    OnNewEvent(p);
                DispatchZoneReport(message.wparam, p);
                break;
            case kReportAnalogValue:
                if (OnNewADC && p.size() >= kAdcRecordSize) {
                    const size_t n = p[0];
                    const std::vector<uint8_t> text(p.begin() + 1,
                                                    p.begin() + 1 + static_cast<std::ptrdiff_t>(n));
                    // The channel's bytes follow the record, as many as it says and it holds.
                    const size_t length = std::min<size_t>(Le32(p, 268), p.size() - kAdcRecordSize);
                    const std::vector<uint8_t> data(
                        p.begin() + kAdcRecordSize,
                        p.begin() + static_cast<std::ptrdiff_t>(kAdcRecordSize + length));
                    OnNewADC(text, p[256], p[257], static_cast<int32_t>(Le32(p, 260)), data,
                             static_cast<int32_t>(Le32(p, 268)));
                }
                break;
            case kReportAnalogEventType:
                if (OnNewTypeEventADC && p.size() >= kAdcTypeRecordSize) {
                    const uint32_t w = Le32(p, 0);
                    OnNewTypeEventADC(static_cast<uint8_t>(w), static_cast<uint8_t>(w >> 8),
                                      static_cast<int32_t>(Le32(p, 4)),
                                      static_cast<int32_t>(Le32(p, 8)));
                }
                break;
            case kReportBadLoop:
                if (OnRSDeviceBadLoopProc && p.size() >= 2)
                    OnRSDeviceBadLoopProc(p[0], p[1], std::vector<uint8_t>(p.begin() + 2, p.end()));
                break;
            case kReportDeviceFoundWithType:
            case kReportDeviceLostRecord: {
                DispatchZoneReport(message.wparam, p); // the raw record first
                auto& handler =
                    message.wparam == kReportDeviceFoundWithType ? OnConsoleFound : OnConsoleLost;
                if (!handler || p.size() < 1 + corecomp::kConsoleRecordSize + 8)
                    break;
                double time;
                std::memcpy(&time, p.data() + 1 + corecomp::kConsoleRecordSize, sizeof time);
                if (const auto c = corecomp::ConsoleRecordFromBytes(std::span(p).subspan(1)))
                    handler(p[0], *c, time);
                break;
            }
            case kReportDeviceList:
                DispatchZoneReport(message.wparam, p);
                if (OnConsoleList && p.size() >= corecomp::kConsoleRecordSize + 1) {
                    if (const auto c = corecomp::ConsoleRecordFromBytes(p))
                        OnConsoleList(*c, p[corecomp::kConsoleRecordSize]);
                }
                break;
            default:
                // Zone marks, device records and credential reports.
                DispatchZoneReport(message.wparam, p);
                break;
            }
            break;
        case kMsgAsyncAnswer:
            if (const auto record = TCommandRecord::FromPayload(p)) {
                const int left = --asyncOutstanding_;
                const auto sequence = static_cast<int32_t>(record->sequence);
                if (logCommand_)
                    TLogFileLine("logCmd.txt", "Ответ на " + std::to_string(sequence) +
                                                   " команду Осталось:" + std::to_string(left));
                if (OnAsynchAnswer) {
                    // The record's message part: its message, its number, and its frame,
                    // which by now is the answer.
                    platform::OwnerMessage part;
                    part.msg = record->message;
                    part.wparam = record->sequence;
                    part.payload = record->frame;
                    OnAsynchAnswer(record->postHandle, record->fast, sequence, record->fullAddress,
                                   part);
                }
            }
            break;
        case kMsgSearchProgress:
            // The record that carried the progress block ends with it.
            --asyncOutstanding_;
            if (OnProgressSearchDevice && p.size() >= kProgressRecordSize)
                OnProgressSearchDevice(Le64(p, 0), static_cast<int32_t>(Le32(p, 12)),
                                       static_cast<int32_t>(Le32(p, 16)),
                                       static_cast<int32_t>(Le32(p, 8)),
                                       static_cast<int32_t>(Le32(p, 20)));
            break;
        case kMsgStatistics:
            HandleStatisticsMessage(message);
            break;
        default:
            break;
        }
    } catch (...) {
        // A failing handler must not unwind into the sender.
    }
}

// --- logs

void TRSSession::TLogFileLine(const std::string& file, const std::string& utf8Line)
{
    corecomp::TLogFile::AppendLogLine(corecomp::LogPath(file), platform::Utf8ToCp1251(utf8Line),
                                      clock_);
}

void TRSSession::LogPort(const std::string& utf8Line)
{
    if (logCommand_)
        TLogFileLine("LogCommand" + std::to_string(comPort_) + ".txt", utf8Line);
}

std::string TRSSession::LogTime()
{
    const double now = clock_.Now();
    return corecomp::FormatLogDate(now) + ":" + corecomp::FormatLogTime(now);
}

std::string TRSSession::LogStamp()
{
    return LogTime() + ":";
}

void TRSSession::LogFrame(const std::vector<uint8_t>& bytes)
{
    std::string line = LogStamp();
    for (uint8_t b : bytes) {
        line += '-';
        line += std::to_string(b);
    }
    LogPort(line);
}

void TRSSession::LogNoAnswer()
{
    LogPort(LogStamp() + "нет ответа");
}
