// The HTTP heads: what we write, how received heads are read, split at every byte.

#include "xmlrpc/http_head.h"
#include "xmlrpc/xrpc_parser.h"

#include <gtest/gtest.h>

#include <string>

using namespace xrpc;

namespace {

// Feeds text in pieces of `piece` bytes; returns the bytes left over after the head.
template <typename Reader>
std::string FeedInPieces(Reader& reader, const std::string& text, size_t piece)
{
    size_t at = 0;
    while (at < text.size() && reader.State() == HeadState::NeedMore) {
        const std::string_view part = std::string_view(text).substr(at, piece);
        const size_t used = reader.Feed(part);
        at += used;
        if (used < part.size())
            break;
    }
    return text.substr(at);
}

TEST(HttpHead, ContentMd5IsTheBase64OfTheDigest)
{
    EXPECT_EQ(ContentMd5(""), "1B2M2Y8AsgTpgAmY7PhCfg==");
    EXPECT_EQ(ContentMd5("The quick brown fox jumps over the lazy dog"),
              "nhB9nTcrtoJr2B01QqQZ1g==");
    const std::string body(120, 'x');
    const std::string request = WriteRequest("/xml-rpc", "127.0.0.1", body);
    EXPECT_EQ(request,
              "POST /xml-rpc HTTP/1.1\r\nUser-Agent: TCP-RPC-XML client\r\nHost: 127.0.0.1\r\n"
              "Content-Type: text/xml\r\nContent-Length: 120\r\nContent-MD5: " +
                  ContentMd5(body) + "\r\n\r\n" + body);
    EXPECT_EQ(ContentMd5(body).size(), 24u);
    EXPECT_TRUE(ContentMd5(body).ends_with("=="));
    EXPECT_TRUE(WriteRequest("", "h", "").starts_with("POST  HTTP/1.1\r\n"))
        << "a call without an endpoint keeps its empty path";
    EXPECT_TRUE(WriteResponse("<x/>", "S").ends_with("\r\n\r\n<x/>"))
        << "nothing follows the counted body";
}

TEST(HttpHead, AnswerHeads)
{
    const std::string line80 = "X-Pad: " + std::string(73, 'p');
    const struct
    {
        const char* name;
        std::string head;
        HeadState state;
        int64_t length;
        const char* digest; // nullptr: none
    } cases[] = {
        {"plain", "HTTP/1.1 200 OK\r\nContent-Length: 12\r\nContent-MD5: abc=\r\n\r\n",
         HeadState::Done, 12, "abc="},
        {"100-Continue skipped",
         "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\n",
         HeadState::Done, 3, nullptr},
        {"names in any letter case",
         "HTTP/1.0 200 OK\r\ncontent-length: 7\r\ncOnTeNt-Md5: Zz==\r\n\r\n", HeadState::Done, 7,
         "Zz=="},
        {"bare LF line ends", "HTTP/1.0 200 OK\ncontent-length: 5\n\n", HeadState::Done, 5,
         nullptr},
        {"length 0", "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n", HeadState::Done, 0, nullptr},
        {"length missing", "HTTP/1.1 200 OK\r\nServer: x\r\n\r\n", HeadState::Done, -1, nullptr},
        {"length no number", "HTTP/1.1 200 OK\r\nContent-Length: 12a\r\n\r\n", HeadState::Done, -1,
         nullptr},
        {"length too large for a number",
         "HTTP/1.1 200 OK\r\nContent-Length: 99999999999999999999\r\n\r\n", HeadState::Done, -1,
         nullptr},
        {"a similar name is another header", "HTTP/1.1 200 OK\r\nX-Content-Length: 9\r\n\r\n",
         HeadState::Done, -1, nullptr},
        {"80 characters", "HTTP/1.1 200 OK\r\n" + line80 + "\r\nContent-Length: 1\r\n\r\n",
         HeadState::Done, 1, nullptr},
        {"81 characters", "HTTP/1.1 200 OK\r\n" + line80 + "q\r\nContent-Length: 1\r\n\r\n",
         HeadState::Failed, -1, nullptr},
        {"81 characters, no line end yet", "HTTP/1.1 200 OK\r\n" + line80 + "qq", HeadState::Failed,
         -1, nullptr},
        {"unfinished", "HTTP/1.1 200 OK\r\nContent-Length: 1\r\n", HeadState::NeedMore, 1, nullptr},
    };
    for (const auto& c : cases) {
        for (size_t piece : {size_t{1}, size_t{2}, size_t{7}, c.head.size() + 5}) {
            ResponseHeadReader r;
            const std::string rest = FeedInPieces(r, c.head + "BODY", piece);
            EXPECT_EQ(r.State(), c.state) << c.name << " / " << piece;
            if (c.state == HeadState::Failed)
                continue;
            EXPECT_EQ(r.ContentLength(), c.length) << c.name << " / " << piece;
            EXPECT_EQ(r.Digest().has_value(), c.digest != nullptr) << c.name;
            if (c.digest && r.Digest()) {
                EXPECT_EQ(*r.Digest(), c.digest) << c.name;
            }
            if (c.state == HeadState::Done) {
                EXPECT_EQ(rest, "BODY") << c.name << " / " << piece << ": the body stays unread";
            }
        }
    }
}

TEST(HttpHead, RequestHeadsAndTheirLimits)
{
    const struct
    {
        const char* name;
        std::string head;
        HeadState state;
        int64_t length;
        const char* url;
    } cases[] = {
        {"call", "POST / HTTP/1.1\r\ncontent-LENGTH: 10\r\nContent-Md5: q==\r\n\r\n",
         HeadState::Done, 10, nullptr},
        {"empty path", "POST  HTTP/1.1\r\nContent-Length: 4\r\n\r\n", HeadState::Done, 4, nullptr},
        {"GET", "GET /wsdl HTTP/1.1\r\nHost: x\r\n\r\n", HeadState::Done, -1, "/wsdl"},
        {"stray line end before the request", "\r\nPOST / HTTP/1.1\r\nContent-Length: 1\r\n\r\n",
         HeadState::Done, 1, nullptr},
        {"line at the limit",
         "POST / HTTP/1.1\r\nX: " + std::string(kMaxServerHeadLine - 3, 'a') + "\r\n\r\n",
         HeadState::Done, -1, nullptr},
        {"line past the limit",
         "POST / HTTP/1.1\r\nX: " + std::string(kMaxServerHeadLine - 2, 'a') + "\r\n\r\n",
         HeadState::Failed, -1, nullptr},
        {"head past the limit",
         [] {
             std::string h = "POST / HTTP/1.1\r\n";
             while (h.size() <= kMaxServerHead)
                 h += "X: " + std::string(1000, 'b') + "\r\n";
             return h + "\r\n";
         }(),
         HeadState::Failed, -1, nullptr},
    };
    for (const auto& c : cases) {
        for (size_t piece : {size_t{1}, size_t{13}, c.head.size() + 5}) {
            RequestHeadReader r;
            const std::string rest = FeedInPieces(r, c.head + "BODY", piece);
            EXPECT_EQ(r.State(), c.state) << c.name << " / " << piece;
            if (c.state != HeadState::Done)
                continue;
            EXPECT_EQ(rest, "BODY") << c.name;
            EXPECT_EQ(r.ContentLength(), c.length) << c.name;
            EXPECT_EQ(r.GetUrl().has_value(), c.url != nullptr) << c.name;
            if (c.url && r.GetUrl()) {
                EXPECT_EQ(*r.GetUrl(), c.url);
            }
        }
    }
}

TEST(HttpHead, HelpAnswerCarriesTheRequestHead)
{
    RequestHeadReader r;
    FeedInPieces(r, std::string("GET /x HTTP/1.1\r\nHost: h\r\n\r\n"), 100);
    const std::string help = WriteHelpResponse(r.HeadText(), *r.GetUrl());
    EXPECT_TRUE(help.starts_with("HTTP/1.0 200 OK\r\n"));
    EXPECT_NE(help.find("without a XML RPC command:\r\n\r\nGET /x HTTP/1.1\r\nHost: h\r\n\r\n\r\n"),
              std::string::npos);
    EXPECT_NE(help.find("Current URL is: /x\r\n"), std::string::npos);
    // The whole text, its closing lines included.
    EXPECT_EQ(HelpText("HEAD", "/u"),
              "Kavex XML RPC Server received the following request without a XML RPC command:"
              "\r\n\r\nHEAD\r\n\r\nCurrent URL is: /u\r\n\r\n"
              "For information about web-service use XML RPC calls system.listMethods\r\n"
              "  system.methodSignature and system.methodHelp\r\n"
              "In web browser use /wsdl in URL\r\n");
}

// A peer without Content-MD5 gets a note after its answer: the reader stops at the root.
TEST(HttpHead, AnswerWithTextAfterItsRootIsRead)
{
    const std::string answer =
        "<?xml version=\"1.0\"?><methodResponse><params><param><value><int>7</int></value>"
        "</param></params></methodResponse>";
    for (const std::string& tail : {std::string("Checksum Error from Server response: abc=, "),
                                    std::string("\r\n"), std::string("<junk"), std::string("")}) {
        TXrpcClientParser parser;
        parser.Parse(answer + tail);
        ASSERT_FALSE(parser.Result()->IsError()) << tail;
        EXPECT_EQ(parser.Result()->AsInteger(), 7) << tail;
    }
    TXrpcClientParser parser;
    EXPECT_THROW(parser.Parse("<?xml version=\"1.0\"?><methodResponse><params>"), EXrpcError)
        << "an answer cut short is still refused";
}

} // namespace
