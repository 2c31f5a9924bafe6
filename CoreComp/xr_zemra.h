#pragma once
// The XML-RPC transport: the session's frames go to the bus-driver service through a bus link
// (TfrRPC), which does its own framing on the line.  Write turns the session's coded,
// checksummed frame into the plain frame the service wants; Read gives the service's plain
// reply back coded as the request was and followed by the bus CRC-8, so the session's
// exchange runs unchanged.
//
// A reply is read once: it is taken from the link when read, and every Write clears whatever
// is left, so a read that no send preceded never returns an earlier answer.
//
// Threads: the thread that drives the session, like every transport.

#include "CoreComp/comm_zemra.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace xrpc {
class TBusLink;
}

class TXRZemra : public TCommZemraAbstract
{
public:
    // The coding key word of a bus address, as the session holds it.
    using KeyLookup = std::function<uint16_t(int address)>;

    // The link of the service named in the owner's registry (TfrRPC).
    explicit TXRZemra(TRSSession* owner);
    // A given link; keys: the session's key words (empty: the owner's, or none).
    TXRZemra(TRSSession* owner, std::unique_ptr<xrpc::TBusLink> link, KeyLookup keys = nullptr);
    ~TXRZemra() override;

    void FlushOut() override {}
    void FetchIn() override {}
    void Close() override;
    bool IsClosed() override;
    intptr_t Open(const std::string& fileName, uint32_t desiredAccess, uint32_t shareMode,
                  void* securityAttributes, uint32_t creationDisposition,
                  uint32_t flagsAndAttributes, intptr_t templateFile) override;
    int32_t GetCommState(platform::Dcb&) override { return -1; }
    int32_t SetCommState(const platform::Dcb&) override { return -1; }
    int32_t GetCommTimeouts(platform::CommTimeouts&) override { return -1; }
    int32_t SetCommTimeouts(const platform::CommTimeouts&) override { return -1; }
    int32_t SetupComm(uint32_t, uint32_t) override { return -1; }
    int32_t EscapeCommFunction(uint32_t) override { return -1; }
    int32_t PurgeComm(uint32_t) override { return -1; }
    bool Write(const void* buffer, uint32_t count, uint32_t& written, void* overlapped) override;
    bool Read(void* buffer, uint32_t count, uint32_t& read, void* overlapped) override;
    int32_t ClearCommError(uint32_t& errors, platform::ComStat* stat) override;

    xrpc::TBusLink& Link() { return *link_; }

private:
    std::unique_ptr<xrpc::TBusLink> link_;
    KeyLookup keys_;
    std::vector<uint8_t> pending_;
    uint8_t mask_ = 0;
};
