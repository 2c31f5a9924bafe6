#pragma once
// The serial-port transport: a pass-through to platform::SerialPort.

#include "CoreComp/comm_zemra.h"

#include "platform/serial_port.h"

class TComZemra : public TCommZemraAbstract
{
public:
    explicit TComZemra(TRSSession* owner) : TCommZemraAbstract(owner) {}
    ~TComZemra() override;

    void FlushOut() override {}
    void FetchIn() override {}
    void Close() override;
    bool IsClosed() override;
    intptr_t Open(const std::string& fileName, uint32_t desiredAccess, uint32_t shareMode,
                  void* securityAttributes, uint32_t creationDisposition,
                  uint32_t flagsAndAttributes, intptr_t templateFile) override;
    int32_t GetCommState(platform::Dcb& dcb) override;
    int32_t SetCommState(const platform::Dcb& dcb) override;
    int32_t GetCommTimeouts(platform::CommTimeouts& timeouts) override;
    int32_t SetCommTimeouts(const platform::CommTimeouts& timeouts) override;
    int32_t SetupComm(uint32_t inQueue, uint32_t outQueue) override;
    int32_t EscapeCommFunction(uint32_t func) override;
    int32_t PurgeComm(uint32_t flags) override;
    bool Write(const void* buffer, uint32_t count, uint32_t& written, void* overlapped) override;
    bool Read(void* buffer, uint32_t count, uint32_t& read, void* overlapped) override;
    int32_t ClearCommError(uint32_t& errors, platform::ComStat* stat) override;
    bool DrainOutput() override { return port_.Drain(); }

private:
    platform::SerialPort port_;
};
