#include "xmlrpc/http_serve.h"

#include "xmlrpc/http_head.h"

#include "platform/tcp.h"

#include <algorithm>

namespace xrpc {

void ServeHttpCalls(platform::TcpConnection& c, const HttpServeOptions& options,
                    const CallHandler& handle, const std::function<void(const std::string&)>& log)
{
    using Clock = std::chrono::steady_clock;
    auto refuse = [&](const std::string& why) {
        if (log)
            log(why);
        if (!options.refuse)
            return;
        try {
            c.SendAll(WriteResponse(options.refuse(why), options.serverName));
        } catch (const platform::SocketError&) {
        }
    };
    try {
        for (;;) {
            RequestHeadReader head;
            c.SetDeadline(Clock::now() + options.limits.idle);
            c.Peek();
            c.SetDeadline(Clock::now() + options.limits.request);
            while (head.State() == HeadState::NeedMore)
                c.Consume(head.Feed(c.Peek()));
            if (head.State() == HeadState::Failed) {
                if (log)
                    log(head.Error());
                return;
            }
            const int64_t length = head.ContentLength();
            if (length < 0 || (length == 0 && options.help)) {
                if (options.help)
                    c.SendAll(options.help(head.HeadText(), head.GetUrl()));
                else if (head.GetUrl())
                    c.SendAll(WriteHelpResponse(head.HeadText(), *head.GetUrl()));
                return;
            }
            if (static_cast<uint64_t>(length) > kMaxServerBody) {
                refuse("request body of " + std::to_string(length) + " bytes refused");
                return;
            }
            std::string body;
            body.reserve(static_cast<size_t>(length));
            try {
                while (body.size() < static_cast<size_t>(length)) {
                    const std::string_view bytes = c.Peek();
                    const size_t n =
                        std::min(bytes.size(), static_cast<size_t>(length) - body.size());
                    body.append(bytes.substr(0, n));
                    c.Consume(n);
                }
            } catch (const platform::SocketError& e) {
                // The peer stopped sending, or went, before the announced length.
                refuse("request body of " + std::to_string(body.size()) + " bytes, " +
                       std::to_string(length) + " announced (" + e.what() + ")");
                return;
            }
            struct Answered
            {
                const std::function<void()>& f;
                ~Answered()
                {
                    if (f)
                        f();
                }
            } answered{options.answered};
            const std::string answer = handle(body, head.Digest());
            c.SendAll(WriteResponse(answer, options.serverName));
        }
    } catch (const platform::SocketError&) {
        // The peer went, or a bound ran out: the connection ends here.
    }
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
