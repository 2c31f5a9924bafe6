#pragma once
// The server side of XML-RPC over HTTP on one kept-alive connection: read a request head
// within its limits, answer a GET without a call with the help text, read the counted body,
// hand it to the call handler and write its answer.  Shared by every server of the link.
//
// Any violation of a bound (head line, head, body, the time to finish a request, idle time)
// ends the connection; a server that gives a refusal answers a body that breaks off or is too
// large with it first, so its client is not left waiting.  Runs on the connection's own
// thread.

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

struct HttpServeOptions
{
    HttpServeLimits limits;
    std::string serverName; // the Server header's value
    // The whole answer to a request without a body; the connection closes after it.  Default:
    // WriteHelpResponse for a GET, nothing otherwise.
    std::function<std::string(const std::string& headText, const std::optional<std::string>& url)>
        help;
    // The XML answer to a request that cannot be served (why says what was wrong with it),
    // written before the connection closes.  Without it the connection just closes.
    std::function<std::string(const std::string& why)> refuse;
    // Called after every answer to a call has been written, or has failed to be.
    std::function<void()> answered;
};

// Serves requests until the peer closes, a bound is broken or the connection is shut down.
// log gets one line for each refused request.
void ServeHttpCalls(platform::TcpConnection& connection, const HttpServeOptions& options,
                    const CallHandler& handle, const std::function<void(const std::string&)>& log);
void ServeHttpCalls(platform::TcpConnection& connection, const HttpServeLimits& limits,
                    std::string_view serverName, const CallHandler& handle,
                    const std::function<void(const std::string&)>& log);

} // namespace xrpc
