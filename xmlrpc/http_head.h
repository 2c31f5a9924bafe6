#pragma once
// The HTTP side of XML-RPC as pure code: the request and response heads we write, and the two
// readers of heads we receive.  No socket, no clock: the readers are fed bytes in pieces of any
// size, and say how many they used, so the body that follows stays with the caller.
//
// The client, the link's callback server and the XML-RPC server share these pieces.
//
// Threads: a reader is used by one thread at a time.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace xrpc {

// Limits of the heads and bodies we accept.
inline constexpr size_t kMaxClientHeadLine = 80;       // an answer's head line, CR LF excluded
inline constexpr size_t kMaxClientHeadLines = 100;     // lines in one answer head
inline constexpr size_t kMaxServerHeadLine = 8 * 1024; // a request's head line
inline constexpr size_t kMaxServerHead = 64 * 1024;    // a request's whole head
inline constexpr size_t kMaxServerBody = 1024 * 1024;  // a request's body
inline constexpr size_t kMaxLinkAnswerBody = 1024 * 1024;
inline constexpr size_t kMaxClientAnswerBody = 16 * 1024 * 1024;

// The Base64 text (24 characters) of the MD5 digest of body, as Content-MD5 carries it.
std::string ContentMd5(std::string_view body);
// The text of fault 1002 for a request whose Content-MD5 (received) is not its body's
// (computed); every server of the link answers with it.
std::string RequestDigestFaultText(std::string_view received, std::string_view computed);

// "POST endpoint HTTP/1.1", User-Agent, Host, Content-Type, Content-Length, Content-MD5, the
// empty line, then the body: the whole request for one write.
std::string WriteRequest(std::string_view endpoint, std::string_view host, std::string_view body);
// The link's answer: "HTTP/1.1 200 OK", Keep-Alive, the length, text/xml, the digest and the
// server's name.  Nothing follows the counted body, so a kept-alive connection stays in step.
std::string WriteResponse(std::string_view body, std::string_view serverName);
// The plain-text help that a GET without a call gets; the connection closes after it.
std::string WriteHelpResponse(std::string_view headText, std::string_view url);
// The help text itself: what the request's head was, its URL, and the introspection methods.
std::string HelpText(std::string_view headText, std::string_view url);
// A counted plain-text answer: "HTTP/1.1 200 OK", Keep-Alive, the length, text/plain, the
// server's name, the empty line and the text.
std::string WriteTextResponse(std::string_view text, std::string_view serverName);

enum class HeadState { NeedMore, Done, Failed };

// Reads an answer's head.  Lines end in LF (a CR before it is dropped); a line longer than
// kMaxClientHeadLine fails.  Header names are matched in any letter case.  Interim
// "100 Continue" answers and the empty line after them are skipped: the head ends at the
// first empty line after a line that is not part of one.
class ResponseHeadReader
{
public:
    // Consumes bytes up to and including the end of the head; returns how many it used.
    size_t Feed(std::string_view bytes);
    HeadState State() const { return state_; }
    const std::string& Error() const { return error_; }
    // -1 when none or no number.
    int64_t ContentLength() const { return length_; }
    const std::optional<std::string>& Digest() const { return digest_; }
    const std::string& StatusLine() const { return status_; }

private:
    void Line(std::string_view line);
    HeadState state_ = HeadState::NeedMore;
    std::string error_;
    std::string line_;
    size_t lines_ = 0;
    bool seenAnswer_ = false;
    int64_t length_ = -1;
    std::optional<std::string> digest_;
    std::string status_;
};

// Reads a request's head, within kMaxServerHeadLine and kMaxServerHead.  Keeps the head's
// text (each line + CR LF) for the help answer, the length, the digest and a GET's URL.
class RequestHeadReader
{
public:
    size_t Feed(std::string_view bytes);
    HeadState State() const { return state_; }
    const std::string& Error() const { return error_; }
    bool Started() const { return size_ > 0; }
    int64_t ContentLength() const { return length_; }
    const std::optional<std::string>& Digest() const { return digest_; }
    const std::optional<std::string>& GetUrl() const { return url_; }
    const std::string& HeadText() const { return text_; }
    const std::string& RequestLine() const { return requestLine_; }

private:
    void Line(std::string_view line);
    HeadState state_ = HeadState::NeedMore;
    std::string error_;
    std::string line_;
    size_t size_ = 0;
    int64_t length_ = -1;
    std::optional<std::string> digest_;
    std::optional<std::string> url_;
    std::string text_;
    std::string requestLine_;
};

namespace detail {
// The value of a header line whose name (without ':') is name in any letter case; nullopt for
// another header.  Leading and trailing blanks of the value are dropped.
std::optional<std::string_view> HeaderValue(std::string_view line, std::string_view name);
// A decimal length, or -1 when the text is no number (or exceeds 18 digits).
int64_t ParseLength(std::string_view text);
} // namespace detail

} // namespace xrpc
