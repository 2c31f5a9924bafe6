#pragma once
// A transport that records every call the session makes and answers frames through a
// responder, for the session tests.  The session owns the transport; the test keeps the
// FakeLine that it reports to.

#include "CoreComp/comm_zemra.h"

#include "platform/clock.h"

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

namespace sim {
class LineHandler;
}

struct FakeLine
{
    std::vector<std::string> calls; // "Open COM3", "Escape ClrDtr", "Write 01 06 ...", ...
    std::vector<Bytes> frames;      // each request as it reached the line, CRC included, no filler
    // Gets each request frame (at FlushOut); what it returns is the unit's answer (empty: none).
    std::function<Bytes(const Bytes& frame)> responder;
    bool openSucceeds = true;
    // The port has gone (a pulled adapter): it reads closed and cannot be opened.  May be set
    // while a polling thread uses the line.
    std::atomic<bool> gone{false};
    bool datagrams = false;
    // The next frame write (not the checksum byte) fails with this last error; 0 = none.
    uint32_t failNextFrameWrite = 0;
    int transportsCreated = 0;
    // The next read fails as a lost adapter does (last error 1167).
    bool hangUpOnRead = false;
    // The next this many drains run out of time (last error 121), as on an adapter that
    // stops sending without hanging up.
    int failDrains = 0;

    // With a clock the line keeps time: an answer comes answerDelayUs after its request (plus
    // lateUs(frame) when that is set), a read waits on the clock up to its time-out, and bytes
    // reach the input as they fall due.  Without one, an answer is there at once.
    platform::FakeClock* clock = nullptr;
    int64_t answerDelayUs = 0;
    std::function<int64_t(const Bytes& frame)> lateUs;
    struct Due
    {
        int64_t at;
        Bytes bytes;
    };
    std::vector<Due> scheduled; // in the order they fall due
    void Deliver();             // moves what has fallen due into the input
    void HearConsoleBytes(const Bytes& bytes);

    // A console line (frame mode 2) in place of the responder: each write goes to it as it
    // stands, marker and stuffing included, and its answers come back on the input when they
    // fall due on the clock (plus lateUs of the bytes written), or, without a clock, at the
    // next read.  frames stays empty then: the console keeps what it heard.
    std::shared_ptr<sim::LineHandler> consoleLine;
    // Called on the session's thread after the console heard a write and its answers were
    // put on the line (in scheduled), e.g. to take them off again.
    std::function<void(FakeLine& line)> onConsoleHeard;

    Bytes pendingOut;
    Bytes input;

    // The calls without the line-state queries that the session makes between steps.
    std::vector<std::string> CallsWithout(const std::vector<std::string>& prefixes) const;
    // Write, Escape, Purge, FlushOut and DrainOutput only
    std::vector<std::string> WritesAndLine() const;
    void ClearCalls()
    {
        calls.clear();
        frames.clear();
    }
};

class FakeTransport : public TCommZemraAbstract
{
public:
    FakeTransport(TRSSession* owner, std::shared_ptr<FakeLine> line)
        : TCommZemraAbstract(owner), line_(std::move(line))
    {
        ++line_->transportsCreated;
    }

    void FlushOut() override;
    void FetchIn() override { line_->calls.push_back("FetchIn"); }
    void Close() override;
    bool IsClosed() override;
    intptr_t Open(const std::string& fileName, uint32_t, uint32_t, void*, uint32_t, uint32_t,
                  intptr_t) override;
    int32_t GetCommState(platform::Dcb& dcb) override;
    int32_t SetCommState(const platform::Dcb& dcb) override;
    int32_t GetCommTimeouts(platform::CommTimeouts& t) override;
    int32_t SetCommTimeouts(const platform::CommTimeouts& t) override;
    int32_t SetupComm(uint32_t in, uint32_t out) override;
    int32_t EscapeCommFunction(uint32_t func) override;
    int32_t PurgeComm(uint32_t flags) override;
    bool Write(const void* buffer, uint32_t count, uint32_t& written, void*) override;
    bool Read(void* buffer, uint32_t count, uint32_t& read, void*) override;
    int32_t ClearCommError(uint32_t& errors, platform::ComStat*) override;
    bool CarriesDatagrams() const override { return line_->datagrams; }
    bool DrainOutput() override;

private:
    std::shared_ptr<FakeLine> line_;
    platform::CommTimeouts timeouts_{};
    platform::Dcb dcb_{};
};

std::string Hex(const Bytes& bytes);
// A unit's answer: address, L, command and data, with L and the bus CRC-8 filled in.
Bytes MakeAnswer(Bytes body);
