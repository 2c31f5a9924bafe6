// The client against a scripted HTTP peer on loopback: one kept-alive connection, the answer's
// length and digest rules, the bounds, the retry rule.

#include "xmlrpc/http_head.h"
#include "xmlrpc/xrpc_client.h"

#include "platform/tcp.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

using namespace xrpc;
using namespace std::chrono_literals;

namespace {

const std::string kAnswer = "<?xml version=\"1.0\"?><methodResponse><params><param><value>"
                            "<string>ok</string></value></param></params></methodResponse>";

std::string Good(const std::string& body = kAnswer)
{
    return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\nContent-MD5: " + ContentMd5(body) + "\r\n\r\n" + body;
}

// Answers the n-th request with script(n); an empty answer closes the connection instead, one
// ending in "#close" is sent and then the connection closed, and "silent" sends nothing and
// keeps it open.
class ScriptedPeer
{
public:
    explicit ScriptedPeer(std::function<std::string(int)> script) : script_(std::move(script))
    {
        EXPECT_TRUE(server_.Listen("127.0.0.1", 0));
        server_.Start([this](platform::TcpConnection& c) {
            ++connections;
            for (;;) {
                RequestHeadReader head;
                while (head.State() == HeadState::NeedMore)
                    c.Consume(head.Feed(c.Peek()));
                const std::string body = c.ReadExact(static_cast<size_t>(head.ContentLength()));
                int n;
                {
                    std::lock_guard guard(mutex_);
                    requests.push_back(head.RequestLine());
                    digestsGood += head.Digest() && *head.Digest() == ContentMd5(body);
                    n = static_cast<int>(requests.size());
                }
                const std::string answer = script_(n);
                if (answer.empty())
                    return;
                if (answer.ends_with("#close")) {
                    c.SendAll(answer.substr(0, answer.size() - 6));
                    return;
                }
                if (answer == "silent") {
                    c.Peek(); // until the client gives up and closes
                    return;
                }
                c.SendAll(answer);
            }
        });
    }
    ~ScriptedPeer() { server_.Stop(); }
    int Port() const { return server_.Port(); }
    std::vector<std::string> Requests()
    {
        std::lock_guard guard(mutex_);
        return requests;
    }

    std::atomic<int> connections{0};
    std::atomic<int> digestsGood{0};

private:
    std::function<std::string(int)> script_;
    std::mutex mutex_;
    std::vector<std::string> requests;
    platform::TcpServer server_;
};

IXrpcResult Call(TXrpcClient& client, int port, const std::string& endpoint = "/RPC2")
{
    auto f = std::make_shared<TXrpcFunction>();
    f->SetObjectMethod("Connected");
    f->AddItem("001A2B3C4D5E");
    IXrpcResult result;
    client.Execute(f, false, result, endpoint, port, "127.0.0.1");
    EXPECT_EQ(f->Count(), 0) << "the function is cleared after the call";
    return result;
}

TEST(XrpcClient, AnswersAndTheirErrors)
{
    const std::string body = kAnswer;
    const struct
    {
        const char* name;
        std::string answer;
        int32_t error; // 0: the string "ok"
        bool keepsConnection;
    } cases[] = {
        {"good", Good(), 0, true},
        {"interim 100 Continue first", "HTTP/1.1 100 Continue\r\n\r\n" + Good(), 0, true},
        {"lower-case names",
         "HTTP/1.1 200 OK\r\ncontent-length: " + std::to_string(body.size()) +
             "\r\ncontent-md5: " + ContentMd5(body) + "\r\n\r\n" + body,
         0, true},
        {"no digest is accepted",
         "HTTP/1.0 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body, 0,
         true},
        {"a wrong digest is an error",
         "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) +
             "\r\nContent-MD5: " + ContentMd5("other") + "\r\n\r\n" + body,
         kErrorBadDigest, false},
        {"length 0", "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n", kErrorEmptyResponse, true},
        {"no length", "HTTP/1.1 200 OK\r\n\r\n" + body, kErrorEmptyResponse, false},
        {"body over the cap",
         "HTTP/1.1 200 OK\r\nContent-Length: 2000\r\n\r\n" + std::string(2000, ' '),
         kErrorEmptyResponse, false},
        {"head line over 80 characters",
         "HTTP/1.1 200 OK\r\nX: " + std::string(90, 'x') + "\r\n" + Good().substr(17),
         kErrorEmptyResponse, false},
        {"no XML-RPC document", Good("hello"), kErrorInvalidPayload, true},
        {"silent peer", "silent", kErrorEmptyResponse, false},
    };
    for (const auto& c : cases) {
        ScriptedPeer peer([&](int n) { return n == 1 ? c.answer : Good(); });
        TXrpcClient client;
        client.SetMaxAnswerBody(1000);
        client.SetReadTimeout(300ms);
        std::string reported;
        client.OnError = [&](const std::string& e, const std::string&, const std::string&,
                             const std::string&, int, int) { reported = e; };
        const IXrpcResult r = Call(client, peer.Port());
        ASSERT_TRUE(r) << c.name;
        if (c.error == 0) {
            ASSERT_FALSE(r->IsError()) << c.name << ": " << r->ErrorMsg();
            EXPECT_EQ(r->AsString(), "ok") << c.name;
        } else {
            ASSERT_TRUE(r->IsError()) << c.name;
            EXPECT_EQ(r->ErrorCode(), c.error) << c.name << ": " << r->ErrorMsg();
        }
        // The next call shows whether the connection was kept.
        const IXrpcResult next = Call(client, peer.Port());
        EXPECT_FALSE(next->IsError()) << c.name << ": " << next->ErrorMsg();
        EXPECT_EQ(peer.connections, c.keepsConnection ? 1 : 2) << c.name;
        EXPECT_EQ(peer.digestsGood, 2) << c.name;
    }
}

TEST(XrpcClient, OneConnectionServesCallsUntilHostOrPortChange)
{
    ScriptedPeer a([](int) { return Good(); });
    ScriptedPeer b([](int) { return Good(); });
    TXrpcClient client;
    for (int i = 0; i < 3; ++i)
        EXPECT_FALSE(Call(client, a.Port())->IsError());
    EXPECT_EQ(a.connections, 1);
    EXPECT_FALSE(Call(client, b.Port())->IsError());
    EXPECT_FALSE(Call(client, a.Port())->IsError());
    EXPECT_EQ(a.connections, 2);
    EXPECT_EQ(b.connections, 1);
    EXPECT_EQ(a.Requests().front(), "POST /RPC2 HTTP/1.1");

    // No endpoint: the request path stays empty from then on.
    EXPECT_FALSE(Call(client, a.Port(), "")->IsError());
    EXPECT_EQ(a.Requests().back(), "POST  HTTP/1.1");
}

TEST(XrpcClient, RetriesAreBounded)
{
    // The peer closed the kept-alive connection while idle: a fresh one, the call succeeds.
    {
        ScriptedPeer peer([](int n) { return n == 1 ? Good() + "#close" : Good(); });
        TXrpcClient client;
        EXPECT_FALSE(Call(client, peer.Port())->IsError());
        std::this_thread::sleep_for(50ms);
        EXPECT_FALSE(Call(client, peer.Port())->IsError());
        EXPECT_EQ(peer.connections, 2);
    }
    // A peer that accepts every request and closes: one connection per call, never a loop.
    {
        ScriptedPeer peer([](int) { return std::string(); });
        TXrpcClient client;
        const IXrpcResult r = Call(client, peer.Port());
        EXPECT_TRUE(r->IsError());
        EXPECT_EQ(peer.Requests().size(), 1u) << "a fresh connection is not tried twice";
    }
    // On a kept-alive connection that closes at the next request: one repeat, unless the
    // caller forbids repeating a request that went out.
    for (bool repeat : {true, false}) {
        ScriptedPeer peer([](int n) { return n == 2 ? std::string() : Good(); });
        TXrpcClient client;
        client.SetRepeatAfterSend(repeat);
        EXPECT_FALSE(Call(client, peer.Port())->IsError());
        EXPECT_EQ(Call(client, peer.Port())->IsError(), !repeat) << repeat;
        EXPECT_EQ(peer.Requests().size(), repeat ? 3u : 2u) << repeat;
    }
}

TEST(XrpcClient, TlsIsRefusedNeverSentInPlainText)
{
    ScriptedPeer peer([](int) { return Good(); });
    TXrpcClient client;
    client.SSLEnable = true;
    const IXrpcResult r = Call(client, peer.Port());
    ASSERT_TRUE(r->IsError());
    EXPECT_EQ(r->ErrorMsg(), "TLS is not supported");
    EXPECT_TRUE(peer.Requests().empty());
}

TEST(XrpcClient, EventsSeeTheDocumentsAndTheFailure)
{
    TXrpcClient client;
    std::string sent, received, error;
    client.OnSendXML = [&](const std::string& x) { sent = x; };
    client.OnReceiveXML = [&](const std::string& x) { received = x; };
    client.OnError = [&](const std::string& e, const std::string&, const std::string& method,
                         const std::string&, int port,
                         int) { error = method + "@" + std::to_string(port) + ": " + e; };
    {
        ScriptedPeer peer([](int) { return Good(); });
        EXPECT_FALSE(Call(client, peer.Port())->IsError());
        EXPECT_NE(sent.find("<methodName>Connected</methodName>"), std::string::npos);
        EXPECT_EQ(received, kAnswer);
        EXPECT_TRUE(error.empty());
    }
    // Nobody listens there any more.
    platform::TcpServer probe;
    ASSERT_TRUE(probe.Listen("127.0.0.1", 0));
    const int port = probe.Port();
    probe.Stop();
    const IXrpcResult r = Call(client, port);
    EXPECT_EQ(r->ErrorCode(), kErrorEmptyResponse);
    EXPECT_TRUE(error.starts_with("Connected@" + std::to_string(port))) << error;
}

} // namespace
