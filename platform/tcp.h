#pragma once
// TCP for the XML-RPC link: a client connection with a connect time-out, send-all, buffered
// line and exact-length reads with deadlines, and a threaded server with an accept loop, a
// connection cap and a stop by shutdown and join.  The only code that calls sockets for TCP.
//
// Failures raise SocketError carrying the Windows socket code the link's rules test for
// (10053 aborted, 10054 reset, 10014 bad address, 10060 timed out, 10061 refused); a peer that
// closed the connection in order raises SocketError with code 0 (Graceful()).
//
// Threads: a TcpConnection is used by one thread at a time, except Shutdown(), which any
// thread may call to wake a blocked reader.  TcpServer: Listen, Start and Stop from the
// owning thread; the handler runs on one thread per connection.

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>

namespace platform {

enum : int {
    kWsaGraceful = 0, // not a Windows code: the peer closed the connection in order
    kWsaFault = 10014,
    kWsaConnAborted = 10053,
    kWsaConnReset = 10054,
    kWsaTimedOut = 10060,
    kWsaConnRefused = 10061,
    kWsaHostUnreachable = 10065,
    kWsaAddrInUse = 10048,
    kWsaAddrNotAvail = 10049,
    kWsaNotConnected = 10057,
};

// The Windows socket code for an errno value; 10053 for anything without a closer match.
int WsaCodeFromErrno(int err);

class SocketError : public std::runtime_error
{
public:
    SocketError(int code, const std::string& what) : std::runtime_error(what), code_(code) {}
    int Code() const { return code_; }
    bool Graceful() const { return code_ == kWsaGraceful; }

private:
    int code_;
};

using SteadyTime = std::chrono::steady_clock::time_point;

class TcpConnection
{
public:
    // Connects within timeout; raises SocketError (10060 on time-out, 10061 refused, ...).
    static std::unique_ptr<TcpConnection> Connect(const std::string& host, uint16_t port,
                                                  std::chrono::milliseconds timeout);
    explicit TcpConnection(int fd); // takes over an accepted socket
    ~TcpConnection();
    TcpConnection(const TcpConnection&) = delete;
    TcpConnection& operator=(const TcpConnection&) = delete;

    // Every read waits at most until the deadline, then raises 10060.  Default: no deadline.
    void SetDeadline(SteadyTime deadline) { deadline_ = deadline; }
    void ClearDeadline() { deadline_ = SteadyTime::max(); }

    // Writes all of data (MSG_NOSIGNAL, so a closed peer is an error, not a signal).
    void SendAll(std::string_view data);
    // One write of data that never waits: the bytes the socket took, 0 when it would block or
    // failed (the next SendAll or read reports a failure).  The connection's user may let
    // another thread make this write while it waits for that thread.
    size_t TrySend(std::string_view data);
    // The buffered bytes, reading more when none are buffered.  Never empty on return.
    std::string_view Peek();
    void Consume(size_t n);
    // Exactly n bytes, from the buffer first.
    std::string ReadExact(size_t n);
    // True when the peer has closed or reset the connection, or sent bytes nobody asked for;
    // a connection in that state is not fit to carry the next request.  Does not block.
    bool Stale();
    // Ends both directions; a thread blocked in a read wakes with an error.  Any thread.
    void Shutdown();

    std::string PeerHost() const { return peerHost_; }
    uint16_t PeerPort() const { return peerPort_; }

    // Marks the connection idle (waiting for its peer's next request) or busy.  A server at
    // its cap shuts the connection idle the longest down to take a new one.  Any thread.
    void SetIdle(bool idle);
    // When it became idle; nullopt while busy.
    std::optional<SteadyTime> IdleSince() const;

private:
    void WaitReadable();
    int fd_;
    SteadyTime deadline_ = SteadyTime::max();
    std::string buffer_;
    size_t start_ = 0;
    std::string peerHost_;
    uint16_t peerPort_ = 0;
    std::atomic<SteadyTime::rep> idleSince_{0}; // ticks since the clock's epoch + 1; 0: busy
};

class TcpServer
{
public:
    // Runs on a connection thread with the accepted connection; the connection closes when it
    // returns.  An exception that leaves it is caught and handed to the error handler.
    using Handler = std::function<void(TcpConnection& connection)>;
    using ErrorHandler = std::function<void(const std::string& what)>;

    explicit TcpServer(int maxConnections = 16);
    ~TcpServer(); // Stop()
    TcpServer(const TcpServer&) = delete;
    TcpServer& operator=(const TcpServer&) = delete;

    // Binds host:port (port 0: an ephemeral port) and listens.  False with error set when it
    // cannot; Port() is then 0.
    bool Listen(const std::string& host, uint16_t port, std::string* error = nullptr);
    uint16_t Port() const { return port_; }
    // Starts the accept loop.  A connection past the cap takes the place of the connection
    // idle the longest (see TcpConnection::SetIdle), which is shut down; with none idle it is
    // closed at once.  False with error
    // set when the loop cannot start (not listening, no descriptor for its wake-up pipe).
    // While accepting fails for want of descriptors or memory, the loop waits kAcceptBackOff
    // between tries, and reports the first failure of each such run to onError.
    bool Start(Handler handler, ErrorHandler onError = nullptr, std::string* error = nullptr);
    // Stops accepting, shuts every open connection down and joins every thread.  Idempotent.
    void Stop();
    bool Running() const { return acceptThread_.joinable(); }
    int OpenConnections() const;
    // Accepts that failed for want of descriptors or memory.
    int AcceptFailures() const { return acceptFailures_; }
    static constexpr std::chrono::milliseconds kAcceptBackOff{100};

private:
    struct Client
    {
        std::shared_ptr<TcpConnection> connection;
        std::thread thread;
        std::atomic<bool> done{false};
        bool evicted = false; // shut down to make room; its thread is ending
    };
    void AcceptLoop();
    void Reap(bool all);

    const int maxConnections_;
    int listenFd_ = -1;
    int wakeRead_ = -1;
    int wakeWrite_ = -1;
    uint16_t port_ = 0;
    Handler handler_;
    ErrorHandler onError_;
    std::atomic<bool> stop_{false};
    std::atomic<int> acceptFailures_{0};
    std::thread acceptThread_;
    mutable std::mutex mutex_;
    std::list<Client> clients_;
};

} // namespace platform
