#include "xmlrpc/http_serve.h"

#include "xmlrpc/http_head.h"

#include "platform/tcp.h"

namespace xrpc {

void ServeHttpCalls(platform::TcpConnection& c, const HttpServeLimits& limits,
                    std::string_view serverName, const CallHandler& handle,
                    const std::function<void(const std::string&)>& log)
{
    using Clock = std::chrono::steady_clock;
    try {
        for (;;) {
            RequestHeadReader head;
            c.SetDeadline(Clock::now() + limits.idle);
            c.Peek();
            c.SetDeadline(Clock::now() + limits.request);
            while (head.State() == HeadState::NeedMore)
                c.Consume(head.Feed(c.Peek()));
            if (head.State() == HeadState::Failed) {
                if (log)
                    log(head.Error());
                return;
            }
            const int64_t length = head.ContentLength();
            if (length < 0) {
                if (head.GetUrl())
                    c.SendAll(WriteHelpResponse(head.HeadText(), *head.GetUrl()));
                return;
            }
            if (static_cast<uint64_t>(length) > kMaxServerBody) {
                if (log)
                    log("request body of " + std::to_string(length) + " bytes refused");
                return;
            }
            const std::string body = c.ReadExact(static_cast<size_t>(length));
            c.SendAll(WriteResponse(handle(body, head.Digest()), serverName));
        }
    } catch (const platform::SocketError&) {
        // The peer went, or a bound ran out: the connection ends here.
    }
}

} // namespace xrpc
