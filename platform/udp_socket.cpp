#include "platform/udp_socket.h"

#include "platform/last_error.h"

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

namespace platform {

namespace {

bool Address(const std::string& text, uint16_t port, sockaddr_in& out)
{
    out = {};
    out.sin_family = AF_INET;
    out.sin_port = htons(port);
    if (text.empty()) {
        out.sin_addr.s_addr = htonl(INADDR_ANY);
        return true;
    }
    return ::inet_pton(AF_INET, text.c_str(), &out.sin_addr) == 1;
}

} // namespace

int UdpOpen()
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        SetLastErrorFromErrno(errno);
        return -1;
    }
    const int on = 1;
    if (::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) {
        SetLastErrorFromErrno(errno);
        ::close(fd);
        return -1;
    }
    return fd;
}

bool UdpBind(int socket, const std::string& address, uint16_t port)
{
    sockaddr_in local{};
    if (!Address(address, port, local)) {
        SetLastError(kErrorInvalidParameter);
        return false;
    }
    if (::bind(socket, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        SetLastErrorFromErrno(errno);
        return false;
    }
    return true;
}

uint16_t UdpLocalPort(int socket)
{
    sockaddr_in local{};
    socklen_t size = sizeof local;
    if (::getsockname(socket, reinterpret_cast<sockaddr*>(&local), &size) != 0) {
        SetLastErrorFromErrno(errno);
        return 0;
    }
    return ntohs(local.sin_port);
}

bool UdpSendTo(int socket, const std::string& address, uint16_t port,
               std::span<const uint8_t> bytes)
{
    sockaddr_in to{};
    if (address.empty() || !Address(address, port, to)) {
        SetLastError(kErrorInvalidParameter);
        return false;
    }
    ssize_t sent;
    do {
        sent = ::sendto(socket, bytes.data(), bytes.size(), MSG_NOSIGNAL,
                        reinterpret_cast<const sockaddr*>(&to), sizeof to);
    } while (sent < 0 && errno == EINTR);
    if (sent < 0) {
        SetLastErrorFromErrno(errno);
        return false;
    }
    return static_cast<std::size_t>(sent) == bytes.size();
}

std::optional<UdpDatagram> UdpReceive(int socket, std::span<uint8_t> buffer)
{
    sockaddr_in from{};
    socklen_t size = sizeof from;
    ssize_t got;
    // MSG_TRUNC makes the result the datagram's whole length, so a cut one is recognised.
    do {
        got = ::recvfrom(socket, buffer.data(), buffer.size(), MSG_TRUNC,
                         reinterpret_cast<sockaddr*>(&from), &size);
    } while (got < 0 && errno == EINTR);
    if (got < 0) {
        if (errno != EAGAIN && errno != EWOULDBLOCK)
            SetLastErrorFromErrno(errno);
        return std::nullopt;
    }
    UdpDatagram d;
    d.truncated = static_cast<std::size_t>(got) > buffer.size();
    d.size = d.truncated ? buffer.size() : static_cast<std::size_t>(got);
    char text[INET_ADDRSTRLEN] = {};
    if (::inet_ntop(AF_INET, &from.sin_addr, text, sizeof text))
        d.address = text;
    d.port = ntohs(from.sin_port);
    return d;
}

int UdpWaitReadable(std::span<const int> sockets, uint32_t timeoutMs)
{
    std::vector<pollfd> fds;
    std::vector<int> index;
    for (std::size_t i = 0; i < sockets.size(); ++i) {
        if (sockets[i] < 0)
            continue;
        fds.push_back({sockets[i], POLLIN, 0});
        index.push_back(static_cast<int>(i));
    }
    if (fds.empty()) {
        SetLastError(kErrorInvalidHandle);
        return -2;
    }
    const int timeout = static_cast<int>(std::min<uint32_t>(timeoutMs, 0x7FFFFFFF));
    int ready;
    do {
        ready = ::poll(fds.data(), fds.size(), timeout);
    } while (ready < 0 && errno == EINTR);
    if (ready < 0) {
        SetLastErrorFromErrno(errno);
        return -2;
    }
    if (ready == 0)
        return -1;
    for (std::size_t i = 0; i < fds.size(); ++i)
        if (fds[i].revents & (POLLIN | POLLERR))
            return index[i];
    // A socket in an error state without data: no datagram to take.
    SetLastError(kErrorGenFailure);
    return -2;
}

std::string UdpCanonicalAddress(const std::string& text)
{
    in_addr a{};
    char out[INET_ADDRSTRLEN] = {};
    if (text.empty() || ::inet_pton(AF_INET, text.c_str(), &a) != 1 ||
        !::inet_ntop(AF_INET, &a, out, sizeof out))
        return {};
    return out;
}

void UdpClose(int socket)
{
    if (socket >= 0)
        ::close(socket);
}

} // namespace platform
