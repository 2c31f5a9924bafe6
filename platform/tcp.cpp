#include "platform/tcp.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace platform {

namespace {

constexpr size_t kReadChunk = 16384;

[[noreturn]] void Raise(int err, const std::string& what)
{
    throw SocketError(WsaCodeFromErrno(err), what + ": " + std::strerror(err));
}

int RemainingMs(SteadyTime deadline)
{
    if (deadline == SteadyTime::max())
        return -1;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0)
        return 0;
    return static_cast<int>(std::min<int64_t>(left.count() + 1, 1000000000));
}

bool Resolve(const std::string& host, uint16_t port, sockaddr_in& out)
{
    out = {};
    out.sin_family = AF_INET;
    out.sin_port = htons(port);
    const std::string name = host.empty() ? "0.0.0.0" : host;
    if (::inet_pton(AF_INET, name.c_str(), &out.sin_addr) == 1)
        return true;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(name.c_str(), nullptr, &hints, &found) != 0 || !found)
        return false;
    out.sin_addr = reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr;
    ::freeaddrinfo(found);
    return true;
}

void CloseFd(int& fd)
{
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
}

} // namespace

int WsaCodeFromErrno(int err)
{
    switch (err) {
    case ECONNRESET:
    case EPIPE:
        return kWsaConnReset;
    case EFAULT:
        return kWsaFault;
    case ETIMEDOUT:
    case EAGAIN:
        return kWsaTimedOut;
    case ECONNREFUSED:
        return kWsaConnRefused;
    case EHOSTUNREACH:
    case ENETUNREACH:
        return kWsaHostUnreachable;
    case EADDRINUSE:
        return kWsaAddrInUse;
    case EADDRNOTAVAIL:
        return kWsaAddrNotAvail;
    case ENOTCONN:
        return kWsaNotConnected;
    default:
        return kWsaConnAborted;
    }
}

// --- connection

std::unique_ptr<TcpConnection> TcpConnection::Connect(const std::string& host, uint16_t port,
                                                      std::chrono::milliseconds timeout)
{
    sockaddr_in address{};
    if (!Resolve(host, port, address))
        throw SocketError(kWsaHostUnreachable, "Host not found: " + host);
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        Raise(errno, "Socket Error");
    auto connection = std::make_unique<TcpConnection>(fd);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        if (errno != EINPROGRESS)
            Raise(errno, "Socket Error # connect");
        pollfd p{fd, POLLOUT, 0};
        const int n = ::poll(&p, 1, static_cast<int>(timeout.count()));
        if (n == 0)
            throw SocketError(kWsaTimedOut, "Connect timed out");
        if (n < 0)
            Raise(errno, "Socket Error # connect");
        int err = 0;
        socklen_t len = sizeof err;
        ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len);
        if (err != 0)
            Raise(err, "Socket Error # " + std::to_string(WsaCodeFromErrno(err)));
    }
    connection->peerHost_ = host;
    connection->peerPort_ = port;
    return connection;
}

TcpConnection::TcpConnection(int fd) : fd_(fd)
{
    ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) | O_NONBLOCK);
    const int one = 1;
    // Each request goes out in one write and waits for its answer: nothing to gather.
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    sockaddr_in peer{};
    socklen_t len = sizeof peer;
    if (::getpeername(fd_, reinterpret_cast<sockaddr*>(&peer), &len) == 0) {
        char text[INET_ADDRSTRLEN] = {};
        ::inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text);
        peerHost_ = text;
        peerPort_ = ntohs(peer.sin_port);
    }
}

TcpConnection::~TcpConnection()
{
    CloseFd(fd_);
}

void TcpConnection::SendAll(std::string_view data)
{
    while (!data.empty()) {
        const ssize_t n = ::send(fd_, data.data(), data.size(), MSG_NOSIGNAL);
        if (n > 0) {
            data.remove_prefix(static_cast<size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd p{fd_, POLLOUT, 0};
            const int r = ::poll(&p, 1, RemainingMs(deadline_));
            if (r == 0)
                throw SocketError(kWsaTimedOut, "Send timed out");
            continue;
        }
        Raise(errno, "Socket Error # send");
    }
}

size_t TcpConnection::TrySend(std::string_view data)
{
    for (;;) {
        const ssize_t n = ::send(fd_, data.data(), data.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n >= 0)
            return static_cast<size_t>(n);
        if (errno != EINTR)
            return 0;
    }
}

void TcpConnection::WaitReadable()
{
    for (;;) {
        pollfd p{fd_, POLLIN, 0};
        const int r = ::poll(&p, 1, RemainingMs(deadline_));
        if (r > 0)
            return;
        if (r == 0)
            throw SocketError(kWsaTimedOut, "Read timed out");
        if (errno != EINTR)
            Raise(errno, "Socket Error # poll");
    }
}

std::string_view TcpConnection::Peek()
{
    if (start_ < buffer_.size())
        return std::string_view(buffer_).substr(start_);
    buffer_.clear();
    start_ = 0;
    // An answer is rarely there the moment it is asked for: wait first, then read, which
    // saves the read that would only say "not yet".
    WaitReadable();
    for (;;) {
        char chunk[kReadChunk];
        const ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
        if (n > 0) {
            buffer_.assign(chunk, static_cast<size_t>(n));
            return buffer_;
        }
        if (n == 0)
            throw SocketError(kWsaGraceful, "Connection Closed Gracefully");
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            WaitReadable();
            continue;
        }
        Raise(errno, "Socket Error # recv");
    }
}

void TcpConnection::Consume(size_t n)
{
    start_ = std::min(buffer_.size(), start_ + n);
}

std::string TcpConnection::ReadExact(size_t n)
{
    std::string out;
    out.reserve(n);
    while (out.size() < n) {
        const std::string_view have = Peek();
        const size_t take = std::min(have.size(), n - out.size());
        out.append(have.substr(0, take));
        Consume(take);
    }
    return out;
}

bool TcpConnection::Stale()
{
    if (start_ < buffer_.size())
        return true;
    char byte;
    const ssize_t n = ::recv(fd_, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    if (n < 0)
        return !(errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR);
    return true; // closed (0) or unasked bytes (1)
}

void TcpConnection::Shutdown()
{
    ::shutdown(fd_, SHUT_RDWR);
}

void TcpConnection::SetIdle(bool idle)
{
    idleSince_ = idle ? std::chrono::steady_clock::now().time_since_epoch().count() + 1 : 0;
}

std::optional<SteadyTime> TcpConnection::IdleSince() const
{
    const SteadyTime::rep since = idleSince_;
    if (since == 0)
        return std::nullopt;
    return SteadyTime(SteadyTime::duration(since - 1));
}

// --- server

TcpServer::TcpServer(int maxConnections) : maxConnections_(maxConnections) {}

TcpServer::~TcpServer()
{
    Stop();
}

bool TcpServer::Listen(const std::string& host, uint16_t port, std::string* error)
{
    auto fail = [&](const std::string& why) {
        if (error)
            *error = why;
        CloseFd(listenFd_);
        port_ = 0;
        return false;
    };
    if (listenFd_ >= 0)
        return fail("already listening");
    sockaddr_in address{};
    if (!Resolve(host, port, address))
        return fail("cannot resolve " + host);
    listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (listenFd_ < 0)
        return fail(std::string("socket: ") + std::strerror(errno));
    const int one = 1;
    ::setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        return fail("cannot bind " + host + ":" + std::to_string(port) + ": " +
                    std::strerror(errno));
    if (::listen(listenFd_, 64) != 0)
        return fail(std::string("listen: ") + std::strerror(errno));
    sockaddr_in bound{};
    socklen_t len = sizeof bound;
    ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&bound), &len);
    port_ = ntohs(bound.sin_port);
    return true;
}

bool TcpServer::Start(Handler handler, ErrorHandler onError, std::string* error)
{
    if (Running())
        return true;
    if (listenFd_ < 0) {
        if (error)
            *error = "not listening";
        return false;
    }
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
        if (error)
            *error = std::string("pipe2: ") + std::strerror(errno);
        return false;
    }
    wakeRead_ = fds[0];
    wakeWrite_ = fds[1];
    handler_ = std::move(handler);
    onError_ = std::move(onError);
    stop_ = false;
    acceptThread_ = std::thread([this] { AcceptLoop(); });
    return true;
}

int TcpServer::OpenConnections() const
{
    std::lock_guard guard(mutex_);
    int n = 0;
    for (const Client& c : clients_)
        n += c.done ? 0 : 1;
    return n;
}

void TcpServer::Reap(bool all)
{
    std::list<Client> finished;
    {
        std::lock_guard guard(mutex_);
        for (auto it = clients_.begin(); it != clients_.end();) {
            if (all || it->done) {
                auto next = std::next(it);
                finished.splice(finished.end(), clients_, it);
                it = next;
            } else {
                ++it;
            }
        }
    }
    for (Client& c : finished)
        if (c.thread.joinable())
            c.thread.join();
}

void TcpServer::AcceptLoop()
{
    bool outOfResources = false;
    while (!stop_) {
        pollfd p[2] = {{listenFd_, POLLIN, 0}, {wakeRead_, POLLIN, 0}};
        const int r = ::poll(p, 2, 1000);
        Reap(false);
        if (r <= 0 || stop_)
            continue;
        if (!(p[0].revents & POLLIN))
            continue;
        const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            const int e = errno;
            if (e == EMFILE || e == ENFILE || e == ENOBUFS || e == ENOMEM) {
                // The connection stays queued and the listening socket readable: without a
                // pause the loop would spin until a descriptor is free.  A stop still ends it.
                ++acceptFailures_;
                if (onError_ && !outOfResources)
                    onError_(std::string("accept: ") + std::strerror(e));
                outOfResources = true;
                pollfd wake{wakeRead_, POLLIN, 0};
                ::poll(&wake, 1, static_cast<int>(kAcceptBackOff.count()));
            }
            continue;
        }
        outOfResources = false;
        auto connection = std::make_shared<TcpConnection>(fd);
        std::lock_guard guard(mutex_);
        int open = 0;
        Client* idlest = nullptr;
        SteadyTime idleSince = SteadyTime::max();
        for (Client& c : clients_) {
            if (c.done || c.evicted)
                continue;
            ++open;
            const std::optional<SteadyTime> since = c.connection->IdleSince();
            if (since && *since < idleSince) {
                idleSince = *since;
                idlest = &c;
            }
        }
        if (open >= maxConnections_) {
            if (!idlest)
                continue; // all busy: the new connection closes as it goes out of scope
            // A kept-alive connection that only waits gives way, so idle peers cannot lock
            // every other peer out.
            idlest->evicted = true;
            idlest->connection->Shutdown();
        }
        Client& client = clients_.emplace_back();
        client.connection = connection;
        client.thread = std::thread([this, &client] {
            try {
                handler_(*client.connection);
            } catch (const std::exception& e) {
                if (onError_)
                    onError_(e.what());
            } catch (...) {
                if (onError_)
                    onError_("unknown exception");
            }
            client.connection->Shutdown();
            client.done = true;
        });
    }
}

void TcpServer::Stop()
{
    if (acceptThread_.joinable()) {
        stop_ = true;
        const char byte = 1;
        [[maybe_unused]] const ssize_t n = ::write(wakeWrite_, &byte, 1);
        acceptThread_.join();
    }
    {
        std::lock_guard guard(mutex_);
        for (Client& c : clients_)
            c.connection->Shutdown();
    }
    Reap(true);
    CloseFd(listenFd_);
    CloseFd(wakeRead_);
    CloseFd(wakeWrite_);
    port_ = 0;
}

} // namespace platform
