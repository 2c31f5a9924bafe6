#include "xmlrpc/http_head.h"

#include "xmlrpc/xrpc_common.h"

#include <nettle/md5.h>

#include <algorithm>
#include <cctype>

namespace xrpc {

std::string ContentMd5(std::string_view body)
{
    md5_ctx ctx;
    md5_init(&ctx);
    md5_update(&ctx, body.size(), reinterpret_cast<const uint8_t*>(body.data()));
    uint8_t digest[MD5_DIGEST_SIZE];
    md5_digest(&ctx, sizeof digest, digest);
    return EncodeBase64(std::string_view(reinterpret_cast<const char*>(digest), sizeof digest));
}

std::string RequestDigestFaultText(std::string_view received, std::string_view computed)
{
    return "Checksum MD5 error of client request \r\nShould be: " + std::string(received) +
           " contains: " + std::string(computed) + "\r\n";
}

std::string WriteRequest(std::string_view endpoint, std::string_view host, std::string_view body)
{
    std::string out;
    out.reserve(body.size() + 200);
    out.append("POST ").append(endpoint).append(" HTTP/1.1\r\n");
    out.append("User-Agent: TCP-RPC-XML client\r\n");
    out.append("Host: ").append(host).append("\r\n");
    out.append("Content-Type: text/xml\r\n");
    out.append("Content-Length: ").append(std::to_string(body.size())).append("\r\n");
    out.append("Content-MD5: ").append(ContentMd5(body)).append("\r\n\r\n");
    out.append(body);
    return out;
}

std::string WriteResponse(std::string_view body, std::string_view serverName)
{
    std::string out;
    out.reserve(body.size() + 200);
    out.append("HTTP/1.1 200 OK\r\nConnection: Keep-Alive\r\n");
    out.append("Content-Length: ").append(std::to_string(body.size())).append("\r\n");
    out.append("Content-Type: text/xml\r\n");
    out.append("Content-MD5: ").append(ContentMd5(body)).append("\r\n");
    out.append("Server: ").append(serverName).append("\r\n\r\n");
    out.append(body);
    return out;
}

std::string HelpText(std::string_view headText, std::string_view url)
{
    std::string out;
    out.append("Kavex XML RPC Server received the following request without a XML RPC command:");
    out.append("\r\n\r\n").append(headText).append("\r\n\r\n");
    out.append("Current URL is: ").append(url).append("\r\n\r\n");
    out.append("For information about web-service use XML RPC calls system.listMethods\r\n");
    out.append("  system.methodSignature and system.methodHelp\r\n");
    out.append("In web browser use /wsdl in URL\r\n");
    return out;
}

std::string WriteHelpResponse(std::string_view headText, std::string_view url)
{
    return "HTTP/1.0 200 OK\r\nConnection: Keep-Alive\r\nContent-Type: text/plain\r\n"
           "Server: KavexXMLRPC/0.1 (Windows NT)\r\n\r\n" +
           HelpText(headText, url);
}

std::string WriteTextResponse(std::string_view text, std::string_view serverName)
{
    std::string out = "HTTP/1.1 200 OK\r\nConnection: Keep-Alive\r\n";
    out.append("Content-Length: ").append(std::to_string(text.size())).append("\r\n");
    out.append("Content-Type: text/plain\r\n");
    out.append("Server: ").append(serverName).append("\r\n\r\n");
    out.append(text);
    return out;
}

namespace detail {

// ASCII upper case: header names and the words looked for are ASCII whatever the locale.
char UpperAsciiChar(char c)
{
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 0x20) : c;
}

std::optional<std::string_view> HeaderValue(std::string_view line, std::string_view name)
{
    if (line.size() <= name.size() || line[name.size()] != ':')
        return std::nullopt;
    for (size_t i = 0; i < name.size(); ++i)
        if (UpperAsciiChar(line[i]) != UpperAsciiChar(name[i]))
            return std::nullopt;
    std::string_view value = line.substr(name.size() + 1);
    while (!value.empty() && (value.front() == ' ' || value.front() == '\t'))
        value.remove_prefix(1);
    while (!value.empty() && (value.back() == ' ' || value.back() == '\t'))
        value.remove_suffix(1);
    return value;
}

int64_t ParseLength(std::string_view text)
{
    if (text.empty() || text.size() > 18)
        return -1;
    int64_t n = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return -1;
        n = n * 10 + (c - '0');
    }
    return n;
}

namespace {

bool ContainsNoCase(std::string_view text, std::string_view upperNeedle)
{
    const auto same = [](char a, char b) { return UpperAsciiChar(a) == b; };
    return std::search(text.begin(), text.end(), upperNeedle.begin(), upperNeedle.end(), same) !=
           text.end();
}

// Splits bytes into lines for a head reader; returns the bytes used.  lineDone is called with
// each whole line (without CR LF) and may end the head.
template <typename OnLine>
size_t FeedLines(std::string_view bytes, std::string& line, size_t maxLine, HeadState& state,
                 std::string& error, OnLine onLine)
{
    size_t used = 0;
    while (used < bytes.size() && state == HeadState::NeedMore) {
        const std::string_view rest = bytes.substr(used);
        const size_t lf = rest.find('\n');
        const size_t take = lf == std::string_view::npos ? rest.size() : lf;
        line.append(rest.substr(0, take));
        used += take;
        // The CR before LF does not count against the limit.
        const size_t length = !line.empty() && line.back() == '\r' ? line.size() - 1 : line.size();
        if (length > maxLine && (lf != std::string_view::npos || line.size() > maxLine + 1)) {
            state = HeadState::Failed;
            error = "HTTP head line longer than " + std::to_string(maxLine) + " characters";
            return used;
        }
        if (lf == std::string_view::npos)
            break;
        ++used; // the LF
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        onLine(std::string_view(line));
        line.clear(); // keeps its room for the next line
    }
    return used;
}

} // namespace
} // namespace detail

size_t ResponseHeadReader::Feed(std::string_view bytes)
{
    return detail::FeedLines(bytes, line_, kMaxClientHeadLine, state_, error_,
                             [this](std::string_view l) { Line(l); });
}

void ResponseHeadReader::Line(std::string_view line)
{
    if (++lines_ > kMaxClientHeadLines) {
        state_ = HeadState::Failed;
        error_ = "HTTP answer head has too many lines";
        return;
    }
    if (line.empty()) {
        if (seenAnswer_)
            state_ = HeadState::Done;
        return;
    }
    if (detail::ContainsNoCase(line, "100 CONTINUE"))
        return;
    if (!seenAnswer_)
        status_ = std::string(line);
    seenAnswer_ = true;
    if (auto v = detail::HeaderValue(line, "Content-Length"))
        length_ = detail::ParseLength(*v);
    else if (auto d = detail::HeaderValue(line, "Content-MD5"))
        digest_ = std::string(*d);
}

size_t RequestHeadReader::Feed(std::string_view bytes)
{
    const size_t room = kMaxServerHead - std::min(size_, kMaxServerHead);
    std::string_view part = bytes.substr(0, std::min(bytes.size(), room + 1));
    const size_t used = detail::FeedLines(part, line_, kMaxServerHeadLine, state_, error_,
                                          [this](std::string_view l) { Line(l); });
    size_ += used;
    if (state_ == HeadState::NeedMore && size_ > kMaxServerHead) {
        state_ = HeadState::Failed;
        error_ = "HTTP request head longer than " + std::to_string(kMaxServerHead) + " bytes";
    }
    return used;
}

void RequestHeadReader::Line(std::string_view line)
{
    if (line.empty()) {
        // Blank lines before the request line are tolerated, as after a body some clients
        // send a stray CR LF.
        if (!requestLine_.empty())
            state_ = HeadState::Done;
        return;
    }
    text_.append(line).append("\r\n");
    if (requestLine_.empty()) {
        requestLine_ = std::string(line);
        if (line.substr(0, 4) == "GET ") {
            const std::string_view rest = line.substr(4);
            url_ = std::string(rest.substr(0, rest.find(' ')));
        }
        return;
    }
    if (auto v = detail::HeaderValue(line, "Content-Length"))
        length_ = detail::ParseLength(*v);
    else if (auto d = detail::HeaderValue(line, "Content-MD5"))
        digest_ = std::string(*d);
}

} // namespace xrpc
