#include "platform/serial_port.h"

#include "platform/last_error.h"
#include "platform/registry.h"
#include "platform/serial_speed.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace platform {

namespace {

using SteadyClock = std::chrono::steady_clock;

bool Fail(uint32_t code)
{
    SetLastError(code);
    return false;
}

bool FailErrno(int err)
{
    SetLastErrorFromErrno(err);
    return false;
}

bool IsHangUp(int err)
{
    return err == EIO || err == ENXIO || err == ENODEV;
}

// A pseudo-terminal has no modem lines and refuses their ioctls; the line is then as good as
// switched.
bool ModemIoctl(int fd, unsigned long request, int bits)
{
    if (::ioctl(fd, request, &bits) == 0)
        return true;
    return errno == ENOTTY || errno == EINVAL;
}

bool SetModemLine(int fd, int bit, bool on)
{
    return ModemIoctl(fd, on ? TIOCMBIS : TIOCMBIC, bit);
}

// Waits for the events or for the time left; -1 ns waits without limit.  Returns the revents
// (0 on time-out), or -1 with errno.
int WaitFd(int fd, short events, int64_t ns)
{
    pollfd p{fd, events, 0};
    timespec ts{};
    timespec* tsp = nullptr;
    if (ns >= 0) {
        ts.tv_sec = static_cast<time_t>(ns / 1000000000);
        ts.tv_nsec = static_cast<long>(ns % 1000000000);
        tsp = &ts;
    }
    int r;
    do {
        r = ::ppoll(&p, 1, tsp, nullptr);
    } while (r < 0 && errno == EINTR);
    if (r < 0)
        return -1;
    return r == 0 ? 0 : p.revents;
}

// A total of up to 2^32-1 ms a byte times 2^32-1 bytes does not fit the clock; anything
// beyond a few years is as good as no end.
SteadyClock::time_point After(SteadyClock::time_point start, uint64_t ms)
{
    constexpr uint64_t kLongestMs = uint64_t{1} << 40;
    return start + std::chrono::milliseconds(static_cast<int64_t>(std::min(ms, kLongestMs)));
}

int64_t NsUntil(SteadyClock::time_point deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - SteadyClock::now()).count();
    return left > 0 ? left : 0;
}

void BreakOff(int) {}

// The signal that breaks a tcdrain off at its deadline.  Its handler does nothing and has no
// SA_RESTART, so the call returns with EINTR; it is sent to the draining thread alone.
int BreakOffSignal()
{
    static const int signal = [] {
        const int s = SIGRTMIN + 3;
        struct sigaction sa;
        std::memset(&sa, 0, sizeof sa);
        sa.sa_handler = BreakOff;
        sigemptyset(&sa.sa_mask);
        ::sigaction(s, &sa, nullptr);
        return s;
    }();
    return signal;
}

// tcdrain that returns by the deadline: a timer signals this thread then, and every 2 ms after,
// so a signal that falls just before the call is followed by another.
bool DrainUntil(int fd, SteadyClock::time_point deadline)
{
    const int signal = BreakOffSignal();
    sigevent ev{};
    ev.sigev_notify = SIGEV_THREAD_ID;
    ev.sigev_signo = signal;
    ev._sigev_un._tid = static_cast<pid_t>(::gettid()); // the C library names no field for it
    timer_t timer{};
    if (::timer_create(CLOCK_MONOTONIC, &ev, &timer) != 0)
        return true; // no way to break it off: the queue is empty, and tcdrain is not risked
    sigset_t mask;
    sigset_t old;
    sigemptyset(&mask);
    sigaddset(&mask, signal);
    ::pthread_sigmask(SIG_UNBLOCK, &mask, &old);
    const int64_t left = std::max<int64_t>(NsUntil(deadline), 1);
    itimerspec when{};
    when.it_value.tv_sec = static_cast<time_t>(left / 1000000000);
    when.it_value.tv_nsec = static_cast<long>(left % 1000000000);
    when.it_interval.tv_nsec = 2000000;
    ::timer_settime(timer, 0, &when, nullptr);
    int r;
    int err = 0;
    for (;;) {
        r = detail::DrainDriverCalls().drain(fd);
        if (r == 0)
            break;
        err = errno;
        if (err != EINTR || NsUntil(deadline) == 0)
            break; // another signal before the deadline only restarts it
    }
    ::timer_delete(timer);
    ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
    if (r == 0)
        return true;
    if (err == EINTR)
        return Fail(kErrorSemTimeout);
    return IsHangUp(err) ? Fail(kErrorDeviceNotConnected) : FailErrno(err);
}

int TransmitterEmpty(int fd)
{
    unsigned int lsr = 0;
    if (::ioctl(fd, TIOCSERGETLSR, &lsr) != 0)
        return -1;
    return (lsr & TIOCSER_TEMT) != 0 ? 1 : 0;
}

int DrainOutput(int fd)
{
    return ::tcdrain(fd);
}

} // namespace

detail::DrainDriver& detail::DrainDriverCalls()
{
    static DrainDriver calls{TransmitterEmpty, DrainOutput};
    return calls;
}

SerialPort::~SerialPort()
{
    Close();
}

bool SerialPort::Open(const std::string& name)
{
    Close();
    std::string path = name;
    if (!name.starts_with('/')) {
        const auto resolved = ResolveComPort(ProcessRegistry(), name);
        if (!resolved)
            return Fail(kErrorFileNotFound);
        path = *resolved;
    }
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return FailErrno(errno);
    auto give_up = [fd](uint32_t code) {
        ::close(fd);
        return Fail(code);
    };
    // flock keeps out every other opener, root included; TIOCEXCL keeps out plain users
    // before their open() even succeeds.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0)
        return give_up(errno == EWOULDBLOCK ? kErrorAccessDenied : SetLastErrorFromErrno(errno));
    termios tio{};
    if (::tcgetattr(fd, &tio) != 0)
        return give_up(SetLastErrorFromErrno(errno));
    ::ioctl(fd, TIOCEXCL);
    ::cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    tio.c_cflag &= ~static_cast<tcflag_t>(HUPCL | CRTSCTS);
    tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    if (::tcsetattr(fd, TCSANOW, &tio) != 0) {
        const int err = errno;
        ::ioctl(fd, TIOCNXCL);
        return give_up(SetLastErrorFromErrno(err));
    }
    fd_ = fd;
    timeouts_ = {};
    if (!SetCommState(dcb_)) {
        const uint32_t code = LastError();
        Close();
        return Fail(code);
    }
    return true;
}

void SerialPort::Close()
{
    if (fd_ < 0)
        return;
    // The exclusive mark lives as long as any descriptor of the tty does, not this one.
    ::ioctl(fd_, TIOCNXCL);
    ::close(fd_);
    fd_ = -1;
}

bool SerialPort::GetCommState(Dcb& dcb)
{
    if (fd_ < 0)
        return Fail(kErrorInvalidHandle);
    dcb = dcb_;
    if (const uint32_t speed = detail::GetLineSpeed(fd_))
        dcb.BaudRate = speed;
    return true;
}

bool SerialPort::SetCommState(const Dcb& dcb)
{
    if (fd_ < 0)
        return Fail(kErrorInvalidHandle);
    if (dcb.BaudRate == 0 || dcb.ByteSize < 5 || dcb.ByteSize > 8 || dcb.Parity > 4 || dcb.StopBits > 2)
        return Fail(kErrorInvalidParameter);
    termios tio{};
    if (::tcgetattr(fd_, &tio) != 0)
        return FailErrno(errno);
    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
    static constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
    tio.c_cflag |= kSizes[dcb.ByteSize - 5];
    switch (dcb.Parity) {
    case 1: tio.c_cflag |= PARENB | PARODD; break;
    case 2: tio.c_cflag |= PARENB; break;
    case 3: tio.c_cflag |= PARENB | PARODD | CMSPAR; break;
    case 4: tio.c_cflag |= PARENB | CMSPAR; break;
    default: break;
    }
    if (dcb.StopBits != 0)
        tio.c_cflag |= CSTOPB; // one and a half exists only as two here
    if (dcb.fOutxCtsFlow || dcb.fRtsControl == 2)
        tio.c_cflag |= CRTSCTS;
    tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | INPCK | IGNPAR | PARMRK | ISTRIP);
    if (dcb.fOutX)
        tio.c_iflag |= IXON;
    if (dcb.fInX)
        tio.c_iflag |= IXOFF;
    if (dcb.fParity)
        tio.c_iflag |= INPCK;
    tio.c_cc[VSTART] = static_cast<cc_t>(dcb.XonChar);
    tio.c_cc[VSTOP] = static_cast<cc_t>(dcb.XoffChar);
    if (::tcsetattr(fd_, TCSANOW, &tio) != 0)
        return FailErrno(errno);
    // The speed goes last: tcsetattr would put back a standard rate.
    if (!detail::SetLineSpeed(fd_, dcb.BaudRate))
        return FailErrno(errno == ENOTTY ? EINVAL : errno);
    // Disabled control lines are lowered, enabled ones raised; handshake and toggle modes
    // leave RTS to the driver.
    if (!SetModemLine(fd_, TIOCM_DTR, dcb.fDtrControl != 0))
        return FailErrno(errno);
    if (dcb.fRtsControl == 0 || dcb.fRtsControl == 1)
        if (!SetModemLine(fd_, TIOCM_RTS, dcb.fRtsControl == 1))
            return FailErrno(errno);
    dcb_ = dcb;
    return true;
}

bool SerialPort::GetCommTimeouts(CommTimeouts& t)
{
    if (fd_ < 0)
        return Fail(kErrorInvalidHandle);
    t = timeouts_;
    return true;
}

bool SerialPort::SetCommTimeouts(const CommTimeouts& t)
{
    if (fd_ < 0)
        return Fail(kErrorInvalidHandle);
    if (t.ReadIntervalTimeout == kMaxDword && t.ReadTotalTimeoutMultiplier == kMaxDword &&
        t.ReadTotalTimeoutConstant == kMaxDword)
        return Fail(kErrorInvalidParameter);
    timeouts_ = t;
    return true;
}

bool SerialPort::SetupComm(uint32_t, uint32_t)
{
    // The kernel's queues have a fixed size; the request only needs an open port.
    if (fd_ < 0)
        return Fail(kErrorInvalidHandle);
    return true;
}

bool SerialPort::EscapeCommFunction(uint32_t func)
{
    if (fd_ < 0)
        return Fail(kErrorInvalidHandle);
    bool ok;
    switch (func) {
    case kSetRts: ok = SetModemLine(fd_, TIOCM_RTS, true); break;
    case kClrRts: ok = SetModemLine(fd_, TIOCM_RTS, false); break;
    case kSetDtr: ok = SetModemLine(fd_, TIOCM_DTR, true); break;
    case kClrDtr: ok = SetModemLine(fd_, TIOCM_DTR, false); break;
    case kSetBreak: ok = ::ioctl(fd_, TIOCSBRK) == 0 || errno == ENOTTY || errno == EINVAL; break;
    case kClrBreak: ok = ::ioctl(fd_, TIOCCBRK) == 0 || errno == ENOTTY || errno == EINVAL; break;
    case kSetXoff: ok = ::tcflow(fd_, TCOOFF) == 0; break;
    case kSetXon: ok = ::tcflow(fd_, TCOON) == 0; break;
    default: return Fail(kErrorInvalidParameter);
    }
    return ok || FailErrno(errno);
}

bool SerialPort::PurgeComm(uint32_t flags)
{
    if (fd_ < 0)
        return Fail(kErrorInvalidHandle);
    if (flags & ~uint32_t{kPurgeTxAbort | kPurgeRxAbort | kPurgeTxClear | kPurgeRxClear})
        return Fail(kErrorInvalidParameter);
    const bool rx = flags & (kPurgeRxAbort | kPurgeRxClear);
    const bool tx = flags & (kPurgeTxAbort | kPurgeTxClear);
    if (!rx && !tx)
        return true;
    const int queue = rx && tx ? TCIOFLUSH : rx ? TCIFLUSH : TCOFLUSH;
    if (::tcflush(fd_, queue) != 0)
        return FailErrno(errno);
    return true;
}

bool SerialPort::Write(const void* data, uint32_t count, uint32_t& written)
{
    written = 0;
    if (fd_ < 0)
        return Fail(kErrorInvalidHandle);
    if (count == 0)
        return true;
    const uint64_t total_ms =
        uint64_t{timeouts_.WriteTotalTimeoutMultiplier} * count + timeouts_.WriteTotalTimeoutConstant;
    const bool limited = total_ms != 0;
    const auto deadline = After(SteadyClock::now(), total_ms);
    const auto* bytes = static_cast<const uint8_t*>(data);
    while (written < count) {
        const ssize_t n = ::write(fd_, bytes + written, count - written);
        if (n > 0) {
            written += static_cast<uint32_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN)
            return FailErrno(IsHangUp(errno) || errno == EPIPE ? EIO : errno);
        const int64_t wait = limited ? NsUntil(deadline) : -1;
        if (wait == 0)
            return true; // time-out: success with what went out
        const int ev = WaitFd(fd_, POLLOUT, wait);
        if (ev < 0)
            return FailErrno(errno);
        if (ev & (POLLHUP | POLLERR | POLLNVAL))
            return Fail(kErrorDeviceNotConnected);
    }
    return true;
}

bool SerialPort::Read(void* data, uint32_t count, uint32_t& read)
{
    read = 0;
    if (fd_ < 0)
        return Fail(kErrorInvalidHandle);
    if (count == 0)
        return true;
    const CommTimeouts& t = timeouts_;
    // The two combinations with MAXDWORD: return at once with what is there, or wait up to
    // the constant for the first byte and return with whatever has come then.
    const bool at_once = t.ReadIntervalTimeout == kMaxDword && t.ReadTotalTimeoutMultiplier == 0 &&
                         t.ReadTotalTimeoutConstant == 0;
    const bool first_byte = t.ReadIntervalTimeout == kMaxDword && t.ReadTotalTimeoutMultiplier == kMaxDword &&
                            t.ReadTotalTimeoutConstant != 0 && t.ReadTotalTimeoutConstant != kMaxDword;
    uint64_t total_ms;
    uint32_t interval_ms = 0;
    if (at_once) {
        total_ms = 0;
    } else if (first_byte) {
        total_ms = t.ReadTotalTimeoutConstant;
    } else {
        total_ms = uint64_t{t.ReadTotalTimeoutMultiplier} * count + t.ReadTotalTimeoutConstant;
        interval_ms = t.ReadIntervalTimeout;
    }
    const bool limited = at_once || total_ms != 0;
    const auto start = SteadyClock::now();
    const auto deadline = After(start, total_ms);
    SteadyClock::time_point last_byte{};
    auto* bytes = static_cast<uint8_t*>(data);
    bool hang_up_seen = false;
    for (;;) {
        const ssize_t n = ::read(fd_, bytes + read, count - read);
        if (n > 0) {
            read += static_cast<uint32_t>(n);
            last_byte = SteadyClock::now();
            if (read == count || first_byte)
                return true;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN)
            return IsHangUp(errno) ? Fail(kErrorDeviceNotConnected) : FailErrno(errno);
        if (n == 0 && hang_up_seen)
            return Fail(kErrorDeviceNotConnected);
        if (at_once)
            return true;
        int64_t wait = limited ? NsUntil(deadline) : -1;
        if (interval_ms != 0 && read > 0) {
            const int64_t gap = NsUntil(last_byte + std::chrono::milliseconds(interval_ms));
            wait = wait < 0 ? gap : std::min(wait, gap);
        }
        if (wait == 0)
            return true; // time-out: success with the partial count
        const int ev = WaitFd(fd_, POLLIN, wait);
        if (ev < 0)
            return FailErrno(errno);
        if (ev & POLLNVAL)
            return Fail(kErrorInvalidHandle);
        // A hang-up still lets the bytes already queued be read; the read after them tells.
        if (ev & (POLLHUP | POLLERR))
            hang_up_seen = true;
    }
}

bool SerialPort::Drain()
{
    if (fd_ < 0)
        return Fail(kErrorInvalidHandle);
    // tcdrain has no time limit, and on some USB adapters it waits on the adapter's own buffer
    // for ever: the output queue is watched until it is empty, then the transmitter, and
    // whatever is left to tcdrain is broken off at the same deadline.
    int queued = 0;
    if (::ioctl(fd_, TIOCOUTQ, &queued) != 0)
        queued = 0;
    const uint64_t total_ms = uint64_t{timeouts_.WriteTotalTimeoutMultiplier} *
                                  static_cast<uint64_t>(std::max(queued, 0)) +
                              timeouts_.WriteTotalTimeoutConstant;
    const bool limited = total_ms != 0;
    const auto deadline = After(SteadyClock::now(), total_ms);
    constexpr int64_t kStepNs = 1000000;
    // One step of the watch: false when the deadline has passed or the port failed.
    auto step = [&]() {
        const int64_t left = limited ? NsUntil(deadline) : kStepNs;
        if (left == 0)
            return Fail(kErrorSemTimeout);
        const int ev = WaitFd(fd_, 0, std::min(left, kStepNs));
        if (ev < 0)
            return FailErrno(errno);
        if (ev & (POLLHUP | POLLERR | POLLNVAL))
            return Fail(kErrorDeviceNotConnected);
        return true;
    };
    while (queued > 0) {
        if (!step())
            return false;
        if (::ioctl(fd_, TIOCOUTQ, &queued) != 0)
            return IsHangUp(errno) ? Fail(kErrorDeviceNotConnected) : FailErrno(errno);
    }
    const detail::DrainDriver& driver = detail::DrainDriverCalls();
    for (;;) {
        const int empty = driver.transmitterEmpty(fd_);
        if (empty > 0)
            return true;
        if (empty < 0) {
            if (IsHangUp(errno))
                return Fail(kErrorDeviceNotConnected);
            break; // the driver does not say: tcdrain asks it
        }
        if (!step())
            return false;
    }
    if (!limited) {
        int r;
        do {
            r = driver.drain(fd_);
        } while (r != 0 && errno == EINTR);
        return r == 0 || (IsHangUp(errno) ? Fail(kErrorDeviceNotConnected) : FailErrno(errno));
    }
    return DrainUntil(fd_, deadline);
}

bool SerialPort::ClearCommError(uint32_t& errors, ComStat* stat)
{
    errors = 0;
    if (fd_ < 0)
        return Fail(kErrorInvalidHandle);
    if (stat) {
        int in = 0;
        int out = 0;
        if (::ioctl(fd_, FIONREAD, &in) != 0)
            return IsHangUp(errno) ? Fail(kErrorDeviceNotConnected) : FailErrno(errno);
        if (::ioctl(fd_, TIOCOUTQ, &out) != 0)
            out = 0;
        *stat = ComStat{};
        stat->cbInQue = static_cast<uint32_t>(in);
        stat->cbOutQue = static_cast<uint32_t>(out);
    }
    return true;
}

} // namespace platform
