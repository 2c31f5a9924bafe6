#pragma once
// The computer's name on the network and its IPv4 address, for settings placed per computer.

#include <string>

namespace platform {

struct HostIdentity
{
    std::string name = "localhost";
    std::string address = "127.0.0.1"; // dotted IPv4
};

// gethostname, then getaddrinfo of that name for IPv4; when either fails the defaults stay.
// May block for the resolver's time-out when name service is slow.
HostIdentity LocalHostIdentity();

} // namespace platform
