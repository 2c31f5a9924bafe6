#pragma once
// The server side of XML-RPC over HTTP on one kept-alive connection: read a request head
// within its limits, answer a GET without a call with the help text, read the counted body,
// hand it to the call handler and write its answer.  Shared by every server of the link.
//
// Any violation of a bound (head line, head, body, the time to finish a request, idle time)
// ends the connection.  Runs on the connection's own thread.

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace platform {
class TcpConnection;
}

namespace xrpc {

struct HttpServeLimits
{
    std::chrono::milliseconds request{10000}; // to finish a request once its first byte came
    std::chrono::milliseconds idle{30000};    // to wait for the next request
};

// body and its Content-MD5 (when the request carried one) -> the XML answer.
using CallHandler =
    std::function<std::string(std::string_view body, const std::optional<std::string>& digest)>;

// Serves requests until the peer closes, a bound is broken or the connection is shut down.
// log gets one line for each refused request.
void ServeHttpCalls(platform::TcpConnection& connection, const HttpServeLimits& limits,
                    std::string_view serverName, const CallHandler& handle,
                    const std::function<void(const std::string&)>& log);

} // namespace xrpc
