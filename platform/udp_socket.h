#pragma once
// IPv4 UDP sockets: the only place that calls socket, bind, sendto, recvfrom and poll for
// datagrams.  Sockets are non-blocking and close-on-exec, and take SO_REUSEADDR, so that a
// session and a converter on the same machine can both bind one port number (the converter on
// an address of its own, which the kernel prefers for datagrams sent to that address).  Every
// failure sets the last error (last_error.h).
//
// Threads: a descriptor belongs to one thread at a time; the functions keep no state.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace platform {

// A new socket, or -1.
int UdpOpen();
// Binds to the port on the given dotted-decimal address, or on every local address when the
// address is empty.  Port 0 takes a free port (see UdpLocalPort).
bool UdpBind(int socket, const std::string& address, uint16_t port);
// The bound port, 0 when unbound or on failure.
uint16_t UdpLocalPort(int socket);
// Sends one datagram; false (kErrorInvalidParameter) for an address that is not dotted-decimal.
bool UdpSendTo(int socket, const std::string& address, uint16_t port,
               std::span<const uint8_t> bytes);

struct UdpDatagram
{
    std::size_t size = 0;   // bytes stored, at most the buffer's size
    bool truncated = false; // the datagram was longer than the buffer; the rest is lost
    std::string address;    // the sender
    uint16_t port = 0;
};
// Takes one waiting datagram without blocking; nullopt when none waits or on failure.
std::optional<UdpDatagram> UdpReceive(int socket, std::span<uint8_t> buffer);

// Waits at most timeoutMs for one of the sockets to have a datagram to read (only readability
// counts: a UDP socket is always writable).  Returns its index in the list, -1 on time-out,
// -2 on failure.  Descriptors below 0 are skipped.
int UdpWaitReadable(std::span<const int> sockets, uint32_t timeoutMs);

// A dotted-decimal IPv4 address as UdpReceive writes a sender's ("127.0.0.2"); empty for a
// text that is not one.
std::string UdpCanonicalAddress(const std::string& text);

// Closes a descriptor this layer opened; -1 is left alone.
void UdpClose(int socket);

} // namespace platform
