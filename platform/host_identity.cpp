#include "platform/host_identity.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace platform {

HostIdentity LocalHostIdentity()
{
    HostIdentity host;
    char name[128] = {};
    if (::gethostname(name, sizeof name - 1) != 0 || name[0] == '\0')
        return host;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(name, nullptr, &hints, &found) != 0 || !found)
        return host;
    char dotted[INET_ADDRSTRLEN] = {};
    const auto* in = reinterpret_cast<const sockaddr_in*>(found->ai_addr);
    const bool ok = found->ai_family == AF_INET &&
                    ::inet_ntop(AF_INET, &in->sin_addr, dotted, sizeof dotted) != nullptr;
    ::freeaddrinfo(found);
    if (ok) {
        host.name = name;
        host.address = dotted;
    }
    return host;
}

} // namespace platform
