#include "xmlrpc/http_serve.h"

#include "xmlrpc/http_head.h"

#include "platform/tcp.h"

#include <algorithm>

namespace xrpc {

void ServeHttpCalls(platform::TcpConnection& c, const HttpServeOptions& options,
                    const CallHandler& handle, const std::function<void(const std::string&)>& log)
{
    ServeHttpCallsOn(c, options, handle, log);
}

void ServeHttpCalls(platform::TcpConnection& c, const HttpServeLimits& limits,
                    std::string_view serverName, const CallHandler& handle,
                    const std::function<void(const std::string&)>& log)
{
    HttpServeOptions options;
    options.limits = limits;
    options.serverName = serverName;
    ServeHttpCalls(c, options, handle, log);
}

} // namespace xrpc
