// TCP on loopback: the socket codes the link's rules test, the deadlines, the server's cap and
// its stop.

#include "platform/tcp.h"
#include "tests/platform/descriptor_limit.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <cerrno>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using namespace platform;
using namespace std::chrono_literals;

namespace {

TEST(Tcp, ErrnoMapsToTheWindowsSocketCodes)
{
    const struct
    {
        int err;
        int code;
    } cases[] = {
        {ECONNRESET, kWsaConnReset},
        {EPIPE, kWsaConnReset},
        {EFAULT, kWsaFault},
        {ETIMEDOUT, kWsaTimedOut},
        {ECONNREFUSED, kWsaConnRefused},
        {ECONNABORTED, kWsaConnAborted},
    };
    for (const auto& c : cases)
        EXPECT_EQ(WsaCodeFromErrno(c.err), c.code) << c.err;
}

int FreePort()
{
    TcpServer probe;
    EXPECT_TRUE(probe.Listen("127.0.0.1", 0));
    return probe.Port();
}

TEST(Tcp, ConnectionFailuresCarryTheirCodes)
{
    try {
        TcpConnection::Connect("127.0.0.1", static_cast<uint16_t>(FreePort()), 2000ms);
        ADD_FAILURE() << "nobody listens";
    } catch (const SocketError& e) {
        EXPECT_EQ(e.Code(), kWsaConnRefused);
    }

    // A peer that accepts and says nothing: the read ends at its deadline.  One that closes:
    // a graceful end.
    std::atomic<bool> release{false};
    TcpServer server;
    ASSERT_TRUE(server.Listen("127.0.0.1", 0));
    server.Start([&](TcpConnection& c) {
        c.SendAll("line one\r\nrest");
        while (!release)
            std::this_thread::sleep_for(5ms);
    });
    auto c = TcpConnection::Connect("127.0.0.1", server.Port(), 2000ms);
    EXPECT_EQ(c->ReadExact(10), "line one\r\n");
    EXPECT_EQ(c->ReadExact(4), "rest");
    c->SetDeadline(std::chrono::steady_clock::now() + 100ms);
    try {
        c->Peek();
        ADD_FAILURE() << "silent peer";
    } catch (const SocketError& e) {
        EXPECT_EQ(e.Code(), kWsaTimedOut);
    }
    EXPECT_FALSE(c->Stale());
    release = true;
    c->ClearDeadline();
    try {
        c->Peek();
        ADD_FAILURE() << "closed peer";
    } catch (const SocketError& e) {
        EXPECT_TRUE(e.Graceful());
    }
    EXPECT_TRUE(c->Stale());
}

TEST(Tcp, ServerCapsItsConnectionsAndStopsWhileHandlersWait)
{
    TcpServer server(2);
    ASSERT_TRUE(server.Listen("127.0.0.1", 0));
    std::atomic<int> served{0};
    server.Start([&](TcpConnection& c) {
        ++served;
        c.Peek(); // blocks until the stop shuts the connection down
    });
    std::vector<std::unique_ptr<TcpConnection>> clients;
    for (int i = 0; i < 3; ++i)
        clients.push_back(TcpConnection::Connect("127.0.0.1", server.Port(), 2000ms));
    for (int i = 0; i < 200 && served < 2; ++i)
        std::this_thread::sleep_for(5ms);
    clients[2]->SetDeadline(std::chrono::steady_clock::now() + 2s);
    EXPECT_THROW(clients[2]->Peek(), SocketError) << "the connection past the cap is closed";
    EXPECT_EQ(served, 2);
    EXPECT_EQ(server.OpenConnections(), 2);
    server.Stop();
    EXPECT_FALSE(server.Running());
    EXPECT_EQ(server.Port(), 0);

    TcpServer second;
    EXPECT_FALSE(second.Listen("256.1.1.1", 0));
}

// At the cap a new connection takes the place of the one idle the longest; a busy one is
// never shut down for it.
TEST(Tcp, AtTheCapTheConnectionIdleTheLongestGivesWay)
{
    TcpServer server(2);
    ASSERT_TRUE(server.Listen("127.0.0.1", 0));
    std::atomic<int> served{0};
    server.Start([&](TcpConnection& c) {
        ++served;
        for (;;) {
            c.SetIdle(true);
            const std::string_view bytes = c.Peek();
            c.SetIdle(false);
            if (bytes.front() == 'b') {
                c.Consume(bytes.size());
                c.Peek(); // busy with a request until the stop
            }
            c.Consume(bytes.size());
        }
    });
    auto connect = [&] { return TcpConnection::Connect("127.0.0.1", server.Port(), 2000ms); };
    auto waitServed = [&](int n) {
        for (int i = 0; i < 2000 && served < n; ++i)
            std::this_thread::sleep_for(1ms);
        return served.load();
    };
    auto a = connect();
    ASSERT_EQ(waitServed(1), 1);
    std::this_thread::sleep_for(20ms); // a idles first
    auto b = connect();
    ASSERT_EQ(waitServed(2), 2);
    std::this_thread::sleep_for(20ms);
    auto c = connect(); // takes the place of a, idle the longest
    EXPECT_EQ(waitServed(3), 3);
    a->SetDeadline(std::chrono::steady_clock::now() + 2s);
    EXPECT_THROW(a->Peek(), SocketError) << "the connection idle the longest gave way";
    EXPECT_FALSE(b->Stale());
    b->SendAll("busy"); // b is busy from now on; c idles
    std::this_thread::sleep_for(50ms);
    auto d = connect(); // takes c's place, never b's
    EXPECT_EQ(waitServed(4), 4);
    c->SetDeadline(std::chrono::steady_clock::now() + 2s);
    EXPECT_THROW(c->Peek(), SocketError);
    EXPECT_FALSE(b->Stale());
    server.Stop();
}

// A server whose accept loop cannot start says so, and starts once it can.
TEST(Tcp, StartReportsALoopThatCannotStart)
{
    TcpServer server;
    ASSERT_TRUE(server.Listen("127.0.0.1", 0));
    std::string error;
    {
        test::DescriptorLimit none(0);
        ASSERT_TRUE(none.Ok());
        EXPECT_FALSE(server.Start([](TcpConnection&) {}, nullptr, &error));
    }
    EXPECT_NE(error.find("pipe2"), std::string::npos) << error;
    EXPECT_FALSE(server.Running());
    EXPECT_TRUE(server.Start([](TcpConnection&) {}));
    EXPECT_TRUE(server.Running());
    TcpServer idle;
    EXPECT_FALSE(idle.Start([](TcpConnection&) {}, nullptr, &error));
}

// Out of descriptors, a waiting connection keeps the listening socket readable: the loop
// pauses between tries instead of spinning, reports the failure once, and takes the connection
// once a descriptor is free.
TEST(Tcp, AcceptOutOfDescriptorsBacksOff)
{
    TcpServer server;
    ASSERT_TRUE(server.Listen("127.0.0.1", 0));
    std::atomic<int> served{0};
    std::vector<std::string> errors;
    std::mutex errorsMutex;
    ASSERT_TRUE(server.Start([&](TcpConnection&) { ++served; },
                             [&](const std::string& what) {
                                 std::lock_guard guard(errorsMutex);
                                 errors.push_back(what);
                             }));
    // The client's socket is made first; connecting needs no new descriptor.
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(server.Port());
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    {
        test::DescriptorLimit none(0);
        ASSERT_TRUE(none.Ok());
        ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
        for (int i = 0; i < 5000 && server.AcceptFailures() == 0; ++i)
            std::this_thread::sleep_for(1ms);
        ASSERT_GT(server.AcceptFailures(), 0);
        std::this_thread::sleep_for(10 * TcpServer::kAcceptBackOff);
        // A spinning loop fails hundreds of thousands of times in that time.
        EXPECT_LE(server.AcceptFailures(), 20);
    }
    for (int i = 0; i < 5000 && served == 0; ++i)
        std::this_thread::sleep_for(1ms);
    EXPECT_EQ(served, 1);
    ::close(fd);
    server.Stop();
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_NE(errors[0].find("accept"), std::string::npos) << errors[0];
}

} // namespace
