#pragma once
// The server side of XML-RPC over HTTP on one kept-alive connection: read a request head
// within its limits, answer a GET without a call with the help text, read the counted body,
// hand it to the call handler and write its answer.  Shared by every server of the link.
//
// Any violation of a bound (head line, head, body, the time to finish a request, idle time,
// the time to write an answer) ends the connection; a server that gives a refusal answers a body
// that breaks off or is too large with it first, so its client is not left waiting.  While it
// waits for the next request the connection is marked idle, so that a server at its cap may let
// it give way to a new one.  Runs on the connection's own thread.

#include "xmlrpc/http_head.h"

#include "platform/tcp.h"

#include <algorithm>
#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace xrpc {

struct HttpServeLimits
{
    std::chrono::milliseconds request{10000}; // to finish a request once its first byte came
    std::chrono::milliseconds idle{30000};    // to wait for the next request
    // To write an answer, from the moment it is ready: a call that took most of the request's
    // time still gets its answer out whole.
    std::chrono::milliseconds answer{10000};
};

// What a call handler gives back: the XML answer, for the loop to write; or, where the handler
// has begun writing the answer itself, the whole response and how much of it is out already.
struct CallAnswer
{
    CallAnswer() = default;
    CallAnswer(std::string answerXml) : xml(std::move(answerXml)) {} // implicit: most handlers
    std::string xml;
    bool written = false; // response holds the answer, and its first sent bytes are out
    std::string response;
    size_t sent = 0;
};

// body and its Content-MD5 (when the request carried one) -> the answer.
using CallHandler =
    std::function<CallAnswer(std::string_view body, const std::optional<std::string>& digest)>;

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

// The room a request body gets before its bytes come; a larger one grows as they do.
inline constexpr size_t kBodyReserve = 64 * 1024;

// The loop itself, on anything with TcpConnection's SetDeadline, Peek, Consume and SendAll
// that raises platform::SocketError as it does.
template <typename Connection>
void ServeHttpCallsOn(Connection& c, const HttpServeOptions& options, const CallHandler& handle,
                      const std::function<void(const std::string&)>& log)
{
    using Clock = std::chrono::steady_clock;
    auto refuse = [&](const std::string& why) {
        if (log)
            log(why);
        if (!options.refuse)
            return;
        try {
            c.SetDeadline(Clock::now() + options.limits.answer);
            c.SendAll(WriteResponse(options.refuse(why), options.serverName));
        } catch (const platform::SocketError&) {
        }
    };
    try {
        for (;;) {
            RequestHeadReader head;
            c.SetDeadline(Clock::now() + options.limits.idle);
            // Waiting for the next request, the connection may give way to a new one.
            if constexpr (requires { c.SetIdle(true); })
                c.SetIdle(true);
            c.Peek();
            if constexpr (requires { c.SetIdle(false); })
                c.SetIdle(false);
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
            // Memory follows the bytes that came, not the length a peer announced.
            body.reserve(std::min(static_cast<size_t>(length), kBodyReserve));
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
            const CallAnswer answer = handle(body, head.Digest());
            c.SetDeadline(Clock::now() + options.limits.answer);
            if (answer.written)
                c.SendAll(std::string_view(answer.response).substr(answer.sent));
            else
                c.SendAll(WriteResponse(answer.xml, options.serverName));
        }
    } catch (const platform::SocketError&) {
        // The peer went, or a bound ran out: the connection ends here.
    }
}

// Serves requests until the peer closes, a bound is broken or the connection is shut down.
// log gets one line for each refused request.
void ServeHttpCalls(platform::TcpConnection& connection, const HttpServeOptions& options,
                    const CallHandler& handle, const std::function<void(const std::string&)>& log);
void ServeHttpCalls(platform::TcpConnection& connection, const HttpServeLimits& limits,
                    std::string_view serverName, const CallHandler& handle,
                    const std::function<void(const std::string&)>& log);

} // namespace xrpc
