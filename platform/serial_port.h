#pragma once
// A serial port with the operations and semantics of the Windows serial-port interface, on
// termios and ioctl.  Raw mode from the first open, O_NOCTTY|O_NONBLOCK|O_CLOEXEC, exclusive
// access (flock plus TIOCEXCL: a second opener gets kErrorAccessDenied).  Read follows the
// COMMTIMEOUTS rules exactly; a time-out is success with the partial count.  A hang-up (POLLHUP
// with nothing to read, EIO, ENXIO, ENODEV) fails with kErrorDeviceNotConnected.  Every
// failure sets the last error (last_error.h).
//
// Threads: one thread at a time per port (the session holds its lock around every call).

#include <cstdint>
#include <string>

namespace platform {

// The 28-byte line-state record, field by field.
struct Dcb
{
    uint32_t DCBlength = 28;
    uint32_t BaudRate = 9600;
    uint32_t fBinary : 1 = 1;
    uint32_t fParity : 1 = 0;
    uint32_t fOutxCtsFlow : 1 = 0;
    uint32_t fOutxDsrFlow : 1 = 0;
    uint32_t fDtrControl : 2 = 0;
    uint32_t fDsrSensitivity : 1 = 0;
    uint32_t fTXContinueOnXoff : 1 = 0;
    uint32_t fOutX : 1 = 0;
    uint32_t fInX : 1 = 0;
    uint32_t fErrorChar : 1 = 0;
    uint32_t fNull : 1 = 0;
    uint32_t fRtsControl : 2 = 0;
    uint32_t fAbortOnError : 1 = 0;
    uint32_t fDummy2 : 17 = 0;
    uint16_t wReserved = 0;
    uint16_t XonLim = 2048;
    uint16_t XoffLim = 512;
    uint8_t ByteSize = 8;
    uint8_t Parity = 0;   // 0 none, 1 odd, 2 even, 3 mark, 4 space
    uint8_t StopBits = 0; // 0 one, 1 one and a half, 2 two
    char XonChar = 0x11;
    char XoffChar = 0x13;
    char ErrorChar = 0;
    char EofChar = 0;
    char EvtChar = 0;
    uint16_t wReserved1 = 0;
};
static_assert(sizeof(Dcb) == 28);

struct CommTimeouts
{
    uint32_t ReadIntervalTimeout = 0;
    uint32_t ReadTotalTimeoutMultiplier = 0;
    uint32_t ReadTotalTimeoutConstant = 0;
    uint32_t WriteTotalTimeoutMultiplier = 0;
    uint32_t WriteTotalTimeoutConstant = 0;
};

struct ComStat
{
    uint32_t flags = 0;
    uint32_t cbInQue = 0;
    uint32_t cbOutQue = 0;
};

inline constexpr uint32_t kMaxDword = 0xFFFFFFFFu;

// The line speeds that ports take: from the slowest rate that termios names to the fastest.
inline constexpr int32_t kSlowestLineSpeed = 50;
inline constexpr int32_t kFastestLineSpeed = 4000000;

enum : uint32_t { // EscapeCommFunction
    kSetXoff = 1, kSetXon = 2, kSetRts = 3, kClrRts = 4, kSetDtr = 5, kClrDtr = 6,
    kSetBreak = 8, kClrBreak = 9,
};
enum : uint32_t { // PurgeComm
    kPurgeTxAbort = 1, kPurgeRxAbort = 2, kPurgeTxClear = 4, kPurgeRxClear = 8,
};

class SerialPort
{
public:
    SerialPort() = default;
    ~SerialPort();
    SerialPort(const SerialPort&) = delete;
    SerialPort& operator=(const SerialPort&) = delete;

    // name: "COM5", "\\.\COM10" (resolved through ProcessRegistry()) or a device path.
    bool Open(const std::string& name);
    void Close();
    bool IsOpen() const { return fd_ >= 0; }
    int Handle() const { return fd_; }

    bool GetCommState(Dcb& dcb);
    bool SetCommState(const Dcb& dcb);
    bool GetCommTimeouts(CommTimeouts& t);
    bool SetCommTimeouts(const CommTimeouts& t);
    bool SetupComm(uint32_t in_queue, uint32_t out_queue);
    bool EscapeCommFunction(uint32_t func);
    bool PurgeComm(uint32_t flags);
    bool Write(const void* data, uint32_t count, uint32_t& written);
    bool Read(void* data, uint32_t count, uint32_t& read);
    bool ClearCommError(uint32_t& errors, ComStat* stat);
    // Waits until every byte written has been sent, the last ones in the adapter included, for
    // at most the write time-out (its constant plus its multiplier for each byte still queued;
    // no end only when both are 0).  Past it, fails with kErrorSemTimeout and the port stays
    // open: an adapter that stops sending without hanging up must not hold the caller.
    bool Drain();

private:
    int fd_ = -1;
    Dcb dcb_{};
    CommTimeouts timeouts_{};
};

namespace detail {

// What Drain asks the driver once the output queue reads empty.  A pseudo-terminal always
// reads empty at once, so a test stands in here for an adapter whose transmitter never empties.
struct DrainDriver
{
    // 1: the transmitter is empty; 0: it is still sending; -1 with errno: the driver does not
    // say (TIOCSERGETLSR).
    int (*transmitterEmpty)(int fd);
    // tcdrain: 0, or -1 with errno; EINTR when the deadline broke it off.
    int (*drain)(int fd);
};
DrainDriver& DrainDriverCalls();

} // namespace detail

} // namespace platform
