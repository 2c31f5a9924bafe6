#include "fake_transport.h"

#include "CoreComp/rssess/bus_crc.h"

#include "platform/last_error.h"

#include "sim/line_handler.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>

std::string Hex(const Bytes& bytes)
{
    std::string out;
    char buf[4];
    for (uint8_t b : bytes) {
        std::snprintf(buf, sizeof buf, "%02X", b);
        if (!out.empty())
            out += ' ';
        out += buf;
    }
    return out;
}

Bytes MakeAnswer(Bytes body)
{
    body.insert(body.begin() + 1, static_cast<uint8_t>(body.size() + 1));
    body.push_back(corecomp::BusCrc8(body));
    return body;
}

std::vector<std::string> FakeLine::CallsWithout(const std::vector<std::string>& prefixes) const
{
    std::vector<std::string> out;
    for (const std::string& c : calls) {
        const bool skip = std::any_of(prefixes.begin(), prefixes.end(),
                                      [&](const std::string& p) { return c.rfind(p, 0) == 0; });
        if (!skip)
            out.push_back(c);
    }
    return out;
}

std::vector<std::string> FakeLine::WritesAndLine() const
{
    std::vector<std::string> out;
    for (const std::string& c : calls) {
        for (const char* p : {"Write", "Escape", "Purge", "FlushOut", "DrainOutput"}) {
            if (c.rfind(p, 0) == 0) {
                out.push_back(c);
                break;
            }
        }
    }
    return out;
}

void FakeTransport::FlushOut()
{
    FakeLine& l = *line_;
    l.calls.push_back("FlushOut");
    if (l.pendingOut.size() >= 2) {
        const size_t n =
            std::min<size_t>(l.pendingOut.size(), static_cast<size_t>(l.pendingOut[1]) + 1);
        Bytes frame(l.pendingOut.begin(), l.pendingOut.begin() + static_cast<std::ptrdiff_t>(n));
        l.frames.push_back(frame);
        Bytes answer = l.responder ? l.responder(frame) : Bytes{};
        if (!l.clock) {
            l.input = std::move(answer);
        } else if (!answer.empty()) {
            const int64_t at =
                l.clock->NowMicroseconds() + l.answerDelayUs + (l.lateUs ? l.lateUs(frame) : 0);
            auto place =
                std::upper_bound(l.scheduled.begin(), l.scheduled.end(), at,
                                 [](int64_t t, const FakeLine::Due& d) { return t < d.at; });
            l.scheduled.insert(place, {at, std::move(answer)});
        }
    }
    l.pendingOut.clear();
}

void FakeTransport::Close()
{
    line_->calls.push_back("Close");
    handle_ = kInvalidHandle;
}

bool FakeTransport::IsClosed()
{
    line_->calls.push_back("IsClosed");
    if (line_->gone)
        handle_ = kInvalidHandle;
    return handle_ == kInvalidHandle;
}

intptr_t FakeTransport::Open(const std::string& fileName, uint32_t, uint32_t, void*, uint32_t,
                             uint32_t, intptr_t)
{
    line_->calls.push_back("Open " + fileName);
    if (line_->openSucceeds && !line_->gone) {
        handle_ = 7;
    } else {
        handle_ = kInvalidHandle;
        platform::SetLastError(platform::kErrorFileNotFound);
    }
    return handle_;
}

int32_t FakeTransport::GetCommState(platform::Dcb& dcb)
{
    line_->calls.push_back("GetCommState");
    dcb = dcb_;
    return 1;
}

int32_t FakeTransport::SetCommState(const platform::Dcb& dcb)
{
    line_->calls.push_back("SetCommState " + std::to_string(dcb.BaudRate) + " " +
                           std::to_string(dcb.StopBits));
    dcb_ = dcb;
    return 1;
}

int32_t FakeTransport::GetCommTimeouts(platform::CommTimeouts& t)
{
    line_->calls.push_back("GetCommTimeouts");
    t = timeouts_;
    return 1;
}

int32_t FakeTransport::SetCommTimeouts(const platform::CommTimeouts& t)
{
    line_->calls.push_back("SetCommTimeouts " + std::to_string(t.ReadIntervalTimeout) + " " +
                           std::to_string(t.ReadTotalTimeoutMultiplier) + " " +
                           std::to_string(t.ReadTotalTimeoutConstant) + " " +
                           std::to_string(t.WriteTotalTimeoutMultiplier) + " " +
                           std::to_string(t.WriteTotalTimeoutConstant));
    timeouts_ = t;
    return 1;
}

int32_t FakeTransport::SetupComm(uint32_t in, uint32_t out)
{
    line_->calls.push_back("SetupComm " + std::to_string(in) + " " + std::to_string(out));
    return 1;
}

int32_t FakeTransport::EscapeCommFunction(uint32_t func)
{
    const char* name = func == platform::kSetRts   ? "SetRts"
                       : func == platform::kClrRts ? "ClrRts"
                       : func == platform::kSetDtr ? "SetDtr"
                       : func == platform::kClrDtr ? "ClrDtr"
                                                   : "other";
    line_->calls.push_back(std::string("Escape ") + name);
    return 1;
}

void FakeLine::Deliver()
{
    if (!clock)
        return;
    const int64_t now = clock->NowMicroseconds();
    while (!scheduled.empty() && scheduled.front().at <= now) {
        input.insert(input.end(), scheduled.front().bytes.begin(), scheduled.front().bytes.end());
        scheduled.erase(scheduled.begin());
    }
}

int32_t FakeTransport::PurgeComm(uint32_t flags)
{
    line_->calls.push_back("Purge " + std::to_string(flags));
    line_->Deliver();
    if (flags & platform::kPurgeRxClear)
        line_->input.clear();
    if (flags & platform::kPurgeTxClear)
        line_->pendingOut.clear();
    return 1;
}

bool FakeTransport::Write(const void* buffer, uint32_t count, uint32_t& written, void*)
{
    const auto* p = static_cast<const uint8_t*>(buffer);
    Bytes bytes(p, p + count);
    line_->calls.push_back("Write " + Hex(bytes));
    if (line_->failNextFrameWrite != 0 && count > 1) {
        platform::SetLastError(line_->failNextFrameWrite);
        line_->failNextFrameWrite = 0;
        written = 0;
        return false;
    }
    written = count;
    if (line_->consoleLine) {
        line_->HearConsoleBytes(bytes);
        return true;
    }
    line_->pendingOut.insert(line_->pendingOut.end(), bytes.begin(), bytes.end());
    return true;
}

void FakeLine::HearConsoleBytes(const Bytes& bytes)
{
    const int64_t now = clock ? clock->NowMicroseconds() : 0;
    consoleLine->Expire(now);
    sim::LineActivity activity = consoleLine->Receive(bytes, now);
    for (sim::Transmission& t : activity.answers) {
        const int64_t at = clock ? t.due_us + (lateUs ? lateUs(bytes) : 0) : 0;
        auto place = std::upper_bound(scheduled.begin(), scheduled.end(), at,
                                      [](int64_t v, const Due& d) { return v < d.at; });
        scheduled.insert(place, {at, std::move(t.bytes)});
    }
    if (onConsoleHeard)
        onConsoleHeard(*this);
}

bool FakeTransport::DrainOutput()
{
    line_->calls.push_back("DrainOutput");
    if (line_->failDrains <= 0)
        return true;
    --line_->failDrains;
    platform::SetLastError(platform::kErrorSemTimeout);
    return false;
}

bool FakeTransport::Read(void* buffer, uint32_t count, uint32_t& read, void*)
{
    line_->calls.push_back("Read " + std::to_string(count));
    FakeLine& l = *line_;
    if (!l.clock && l.consoleLine) {
        // Without a clock a console's answers are there by the time the session reads.
        for (FakeLine::Due& d : l.scheduled)
            l.input.insert(l.input.end(), d.bytes.begin(), d.bytes.end());
        l.scheduled.clear();
    }
    if (l.hangUpOnRead) {
        l.hangUpOnRead = false;
        read = 0;
        platform::SetLastError(platform::kErrorDeviceNotConnected);
        return false;
    }
    if (l.clock) {
        // The time-out rules that the session uses: "wait up to the constant for a first
        // byte", and a total of multiplier times count plus constant (zero: no limit).
        const platform::CommTimeouts& t = timeouts_;
        const bool firstByte = t.ReadIntervalTimeout == platform::kMaxDword &&
                               t.ReadTotalTimeoutMultiplier == platform::kMaxDword;
        const uint64_t totalMs =
            firstByte ? t.ReadTotalTimeoutConstant
                      : uint64_t{t.ReadTotalTimeoutMultiplier} * count + t.ReadTotalTimeoutConstant;
        const int64_t deadline =
            totalMs == 0 ? INT64_MAX
                         : l.clock->NowMicroseconds() + static_cast<int64_t>(totalMs) * 1000;
        for (;;) {
            l.Deliver();
            if (l.input.size() >= count || (firstByte && !l.input.empty()))
                break;
            const int64_t now = l.clock->NowMicroseconds();
            if (!l.scheduled.empty() && l.scheduled.front().at <= deadline) {
                l.clock->AdvanceMicroseconds(l.scheduled.front().at - now);
                continue;
            }
            if (deadline != INT64_MAX)
                l.clock->AdvanceMicroseconds(deadline - now);
            break;
        }
    }
    Bytes& in = l.input;
    read = std::min<uint32_t>(count, static_cast<uint32_t>(in.size()));
    if (read > 0)
        std::memcpy(buffer, in.data(), read);
    in.erase(in.begin(), in.begin() + read);
    return true;
}

int32_t FakeTransport::ClearCommError(uint32_t& errors, platform::ComStat*)
{
    line_->calls.push_back("ClearCommError");
    errors = 0;
    return 1;
}
