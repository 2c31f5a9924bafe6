#pragma once
// The bus transport: the fifteen operations of the serial-port interface, in slot order, that
// the session drives every exchange through.  A transport that cannot perform an operation does
// nothing and returns -1, which a caller testing a Windows boolean reads as success.
//
// Threads: no lock of its own; one thread at a time drives a session's transport (the session
// holds its lock around every call).

#include "platform/serial_port.h"

#include <cstdint>
#include <string>

class TRSSession;

// Arguments of Open, with the values of the Windows file-open call.
inline constexpr uint32_t kGenericRead = 0x80000000u;
inline constexpr uint32_t kGenericWrite = 0x40000000u;
inline constexpr uint32_t kOpenExisting = 3;
inline constexpr uint32_t kFileFlagNoBuffering = 0x20000000u;
inline constexpr intptr_t kInvalidHandle = -1;

class TCommZemraAbstract
{
public:
    explicit TCommZemraAbstract(TRSSession* owner) : owner_(owner) {}
    virtual ~TCommZemraAbstract() = default;
    TCommZemraAbstract(const TCommZemraAbstract&) = delete;
    TCommZemraAbstract& operator=(const TCommZemraAbstract&) = delete;

    virtual void FlushOut() = 0;                                               // 0
    virtual void FetchIn() = 0;                                                // 1
    virtual void Close() = 0;                                                  // 2
    virtual bool IsClosed() = 0;                                               // 3
    virtual intptr_t Open(const std::string& fileName, uint32_t desiredAccess, // 4
                          uint32_t shareMode, void* securityAttributes,
                          uint32_t creationDisposition, uint32_t flagsAndAttributes,
                          intptr_t templateFile) = 0;
    virtual int32_t GetCommState(platform::Dcb& dcb) = 0;                        // 5
    virtual int32_t SetCommState(const platform::Dcb& dcb) = 0;                  // 6
    virtual int32_t GetCommTimeouts(platform::CommTimeouts& timeouts) = 0;       // 7
    virtual int32_t SetCommTimeouts(const platform::CommTimeouts& timeouts) = 0; // 8
    virtual int32_t SetupComm(uint32_t inQueue, uint32_t outQueue) = 0;          // 9
    virtual int32_t EscapeCommFunction(uint32_t func) = 0;                       // 10
    virtual int32_t PurgeComm(uint32_t flags) = 0;                               // 11
    virtual bool Write(const void* buffer, uint32_t count, uint32_t& written,
                       void* overlapped) = 0;                                              // 12
    virtual bool Read(void* buffer, uint32_t count, uint32_t& read, void* overlapped) = 0; // 13
    virtual int32_t ClearCommError(uint32_t& errors, platform::ComStat* stat) = 0;         // 14

    // True for a transport that carries whole frames as datagrams (the Ethernet converter):
    // the session then sets up no line, switches no direction lines and writes each frame with
    // its checksum at once.  The session's Ethernet flag is taken from here.
    virtual bool CarriesDatagrams() const { return false; }

    // Returns once every byte written has left the line (false with the last error when it
    // cannot tell).  Only a transport with a line of its own waits; the others return at once.
    virtual bool DrainOutput() { return true; }

    // The open port's handle, -1 while closed; transports without a port keep -1.
    intptr_t Handle() const { return handle_; }
    TRSSession* Owner() const { return owner_; }

protected:
    TRSSession* const owner_;
    intptr_t handle_ = kInvalidHandle;
};
