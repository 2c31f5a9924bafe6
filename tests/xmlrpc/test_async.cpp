// The client's asynchronous calls against our own server on loopback: results reach the owner
// in call order, the store keeps them until acknowledged, failures are reported before their
// result, and synchronous calls from another thread never take an asynchronous call's answer.

#include "xmlrpc/http_head.h"
#include "xmlrpc/rpc_log.h"
#include "xmlrpc/xrpc_client.h"
#include "xmlrpc/xrpc_server.h"

#include "platform/registry.h"
#include "platform/tcp.h"
#include "platform/text1251.h"
#include "tests/platform/temp_dir.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <thread>

using namespace xrpc;
using namespace std::chrono_literals;

namespace {

// Our server with "Echo", both it and the client owned by the test's thread.
struct Pair
{
    TXrpcServer server;
    TXrpcClient client;
    struct Got
    {
        std::string guid, method, host;
        IXrpcResult result;
    };
    std::vector<Got> got;
    bool active = false;

    explicit Pair(const std::string& bindAddress = "127.0.0.1")
    {
        server.SetBindAddress(bindAddress);
        server.SetListenPort(0);
        TXRMethod echo;
        echo.MethodName = "Echo";
        echo.OnExecute = [](const std::string&, const TXrpcParams& p, TXrpcFunction& ret,
                            TXrpcStruct&) { ret.AddNewItem().Assign(*p.at(0)); };
        server.Methods = {echo};
        active = server.SetActive(true);
        EXPECT_TRUE(active || bindAddress != "127.0.0.1") << server.LastError();
        client.OnGetASYNCHResult = [this](const std::string& guid, const std::string& method,
                                          const std::string& host, const IXrpcResult& r) {
            got.push_back({guid, method, host, r});
        };
    }
    std::string CallAsync(const std::string& text, int port = 0,
                          const std::string& host = "127.0.0.1")
    {
        auto f = std::make_shared<TXrpcFunction>();
        f->SetObjectMethod("Echo");
        f->AddItem(text);
        IXrpcResult r;
        client.Execute(f, true, r, "/RPC2", port ? port : server.BoundPort(), host);
        EXPECT_FALSE(r);
        return client.LastGuid();
    }
    // Serves both channels until done() or 30 s.
    bool Serve(const std::function<bool()>& done)
    {
        const auto end = std::chrono::steady_clock::now() + 30s;
        while (!done() && std::chrono::steady_clock::now() < end) {
            server.Channel().ServePending();
            client.Channel().ServePending();
            std::this_thread::sleep_for(200us);
        }
        return done();
    }
};

TEST(XrpcAsync, ResultsReachTheOwnerInCallOrderAndTheStoreKeepsThemUntilAcknowledged)
{
    Pair p;
    p.client.SetUseStorage(true);
    std::vector<std::pair<std::string, std::string>> stored; // guid, text
    p.client.OnGetStorASYNCHResult = [&](const std::string& guid, const std::string& host, int port,
                                         const std::string& text) {
        EXPECT_EQ(host, "127.0.0.1");
        EXPECT_EQ(port, p.server.BoundPort());
        stored.emplace_back(guid, text);
    };
    std::vector<int> plusPorts;
    p.client.OnGetASYNCHResultPlus = [&](TXrpcClient& owner, const std::string&, const std::string&,
                                         const std::string&, const IXrpcResult&, int port) {
        EXPECT_EQ(&owner, &p.client);
        plusPorts.push_back(port);
    };
    std::vector<std::string> guids;
    for (int i = 0; i < 20; ++i)
        guids.push_back(p.CallAsync("call " + std::to_string(i)));
    EXPECT_EQ(std::set<std::string>(guids.begin(), guids.end()).size(), guids.size());
    ASSERT_TRUE(p.Serve([&] { return p.got.size() == 20; }));
    for (int i = 0; i < 20; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(p.got[i].guid, guids[i]);
        EXPECT_EQ(p.got[i].method, "Echo");
        EXPECT_EQ(p.got[i].host, "127.0.0.1");
        ASSERT_TRUE(p.got[i].result);
        EXPECT_EQ(p.got[i].result->AsString(), "call " + std::to_string(i));
        EXPECT_EQ(p.got[i].result->GetTag(), p.server.BoundPort());
    }
    EXPECT_EQ(plusPorts, std::vector<int>(20, p.server.BoundPort()));
    // The store hands them out one at a time, in order, each after the last was acknowledged.
    EXPECT_EQ(p.client.Storage().Count(), 20u);
    for (int i = 0; i < 20; ++i) {
        ASSERT_EQ(stored.size(), static_cast<size_t>(i + 1));
        EXPECT_NE(stored[i].second.find("call " + std::to_string(i) + "<"), std::string::npos);
        EXPECT_TRUE(p.client.Storage().Acknowledge(stored[i].first));
    }
    EXPECT_EQ(p.client.Storage().Count(), 0u);
    EXPECT_FALSE(p.client.AsyncBusy());
}

// A port whose connects time out: a listener nobody accepts on, its backlog filled.
struct DeafPort
{
    platform::TcpServer listener;
    std::vector<std::unique_ptr<platform::TcpConnection>> queued;
    uint16_t port = 0;
    DeafPort()
    {
        if (!listener.Listen("127.0.0.1", 0))
            return;
        for (int i = 0; i < 1000; ++i) {
            try {
                queued.push_back(
                    platform::TcpConnection::Connect("127.0.0.1", listener.Port(), 200ms));
            } catch (const platform::SocketError& e) {
                if (e.Code() == platform::kWsaTimedOut)
                    port = listener.Port();
                return;
            }
        }
    }
};

uint16_t ClosedPort()
{
    platform::TcpServer gone;
    EXPECT_TRUE(gone.Listen("127.0.0.1", 0));
    return gone.Port();
}

// The code each kind of failure gives an asynchronous call, in its OnError and its result.
TEST(XrpcAsync, EachFailureGivesItsOwnErrorCode)
{
    DeafPort deaf;
    ASSERT_NE(deaf.port, 0) << "no connect timed out";
    // Takes the request and then either says nothing or closes.
    std::atomic<bool> release{false};
    platform::TcpServer silent, closer;
    ASSERT_TRUE(silent.Listen("127.0.0.1", 0));
    ASSERT_TRUE(closer.Listen("127.0.0.1", 0));
    silent.Start([&](platform::TcpConnection& c) {
        c.Peek();
        while (!release)
            std::this_thread::sleep_for(5ms);
    });
    closer.Start([](platform::TcpConnection& c) {
        // The whole request first: unread bytes would make the close a reset.
        RequestHeadReader head;
        while (head.State() == HeadState::NeedMore)
            c.Consume(head.Feed(c.Peek()));
        c.ReadExact(static_cast<size_t>(std::max<int64_t>(head.ContentLength(), 0)));
    });
    Pair p;
    p.client.SetConnectTimeout(300ms);
    p.client.SetReadTimeout(300ms);
    struct Case
    {
        const char* what;
        int port;
        size_t maxAnswer;
        int code;
    };
    const Case cases[] = {
        {"refused connect", ClosedPort(), kMaxClientAnswerBody, kErrIdConnect},
        {"connect timed out", deaf.port, kMaxClientAnswerBody, kErrIdConnectTimeout},
        {"no answer after the connect", silent.Port(), kMaxClientAnswerBody,
         platform::kWsaTimedOut},
        {"closed after the connect", closer.Port(), kMaxClientAnswerBody, kErrIdConnect},
        {"answer over the limit", p.server.BoundPort(), 10, kErrorEmptyResponse},
    };
    std::vector<int> errIds;
    p.client.OnError = [&](const std::string&, const std::string&, const std::string&,
                           const std::string&, int, int errId) { errIds.push_back(errId); };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        p.got.clear();
        errIds.clear();
        p.client.SetMaxAnswerBody(c.maxAnswer);
        p.CallAsync("x", c.port);
        ASSERT_TRUE(p.Serve([&] { return p.got.size() == 1; }));
        EXPECT_EQ(errIds, std::vector<int>{c.code});
        ASSERT_TRUE(p.got[0].result && p.got[0].result->IsError());
        EXPECT_EQ(p.got[0].result->ErrorCode(), c.code);
    }
    release = true;
}

// Asynchronous calls from the owner and synchronous ones from another thread at once, with and
// without an endpoint and address of their own, to a server, a closed port and one whose
// connects time out: every call ends, and nothing is shared unguarded (TSan).
TEST(XrpcAsync, AsynchronousAndSynchronousCallsFromTwoThreadsShareNothingUnguarded)
{
    DeafPort deaf;
    ASSERT_NE(deaf.port, 0) << "no connect timed out";
    const int closed = ClosedPort();
    Pair p;
    const int good = p.server.BoundPort();
    p.client.SetConnectTimeout(100ms);
    p.client.SetHost("127.0.0.1");
    p.client.SetPort(good);
    TXrpcFunction echo;
    echo.SetObjectMethod("Echo");
    echo.AddItem("x");
    const std::string request = echo.GetRequestXML();
    const int ports[] = {good, closed, deaf.port};
    constexpr int kRounds = 12;
    std::atomic<bool> syncDone{false};
    int syncAnswered = 0;
    // A third thread reads the address the worker rewrites for every call.
    std::atomic<bool> readerStop{false};
    size_t readHosts = 0;
    std::thread reader([&] {
        while (!readerStop) {
            readHosts += p.client.Host().size();
            readHosts += static_cast<size_t>(p.client.Port() > 0);
            std::this_thread::yield();
        }
    });
    std::thread sync([&] {
        for (int i = 0; i < kRounds; ++i) {
            IXrpcResult r;
            if (i % 2 == 0)
                p.client.ExecuteXML(request, false, r, "/RPC2", "Echo", ports[i % 3], "127.0.0.1");
            else
                p.client.ExecuteXML(request, false, r);
            syncAnswered += r != nullptr;
        }
        syncDone = true;
    });
    for (int i = 0; i < kRounds; ++i) {
        IXrpcResult r;
        if (i % 2 == 0)
            p.client.ExecuteXML(request, true, r, "", "Echo", ports[(i / 2) % 3], "127.0.0.1");
        else
            p.client.ExecuteXML(request, true, r);
        EXPECT_FALSE(r);
    }
    const bool served = p.Serve([&] { return syncDone && p.got.size() == kRounds; });
    sync.join();
    readerStop = true;
    reader.join();
    EXPECT_GT(readHosts, 0u);
    ASSERT_TRUE(served);
    EXPECT_EQ(syncAnswered, kRounds);
    EXPECT_FALSE(p.client.AsyncBusy());
}

TEST(XrpcAsync, AFailureIsReportedBeforeItsResultAndLogged)
{
    const auto dir =
        std::filesystem::temp_directory_path() / ("xrpc_async_" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    setenv("VENDAXO_LOG_DIR", dir.c_str(), 1);
    SetRpcLogsEnabled(true);
    uint16_t closed;
    {
        platform::TcpServer gone;
        ASSERT_TRUE(gone.Listen("127.0.0.1", 0));
        closed = gone.Port();
    }
    Pair p;
    std::vector<std::string> order;
    p.client.OnError = [&](const std::string&, const std::string& guid, const std::string& method,
                           const std::string&, int port, int errId) {
        order.push_back("error " + guid + " " + method + " " + std::to_string(port) + " " +
                        std::to_string(errId));
    };
    const std::string bad = p.CallAsync("x", closed);
    const std::string good = p.CallAsync("y");
    ASSERT_TRUE(p.Serve([&] { return p.got.size() == 2; }));
    ASSERT_EQ(order.size(), 1u);
    EXPECT_EQ(order[0], "error " + bad + " Echo " + std::to_string(closed) + " 20001");
    EXPECT_EQ(p.got[0].guid, bad);
    ASSERT_TRUE(p.got[0].result && p.got[0].result->IsError());
    EXPECT_EQ(p.got[0].result->ErrorCode(), kErrIdConnect);
    EXPECT_EQ(p.got[1].result->AsString(), "y");

    auto read = [&](const std::string& name) {
        std::ifstream in(RpcLogPath(name), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    };
    EXPECT_NE(read("rpc_err.txt").find(bad), std::string::npos);
    const std::string rpc = read("rpc.log");
    EXPECT_NE(rpc.find(platform::Utf8ToCp1251("Выслано!")), std::string::npos);
    EXPECT_NE(rpc.find(platform::Utf8ToCp1251("Ошибка:")), std::string::npos);
    EXPECT_NE(read("xmlrpcdata.txt").find("<methodName>Echo</methodName>"), std::string::npos);
    EXPECT_TRUE(RpcLogPath("rpc.log").ends_with(".log"));
    EXPECT_NE(RpcLogPath("rpc.log").find("/rpc_"), std::string::npos);
    SetRpcLogsEnabled(false);
    unsetenv("VENDAXO_LOG_DIR");
    std::filesystem::remove_all(dir);
}

// The registry's switch: with "CreateWriteFile" a call writes the traffic log and the data log;
// without it neither is written, and the error log only when a call fails.
TEST(XrpcAsync, TheOptionalLogsFollowTheRegistrysSwitch)
{
    platform::test::TempDir dir;
    setenv("VENDAXO_LOG_DIR", dir.Path().c_str(), 1);
    const auto exists = [](const char* name) { return std::filesystem::exists(RpcLogPath(name)); };
    for (const bool on : {true, false}) {
        SCOPED_TRACE(on);
        for (const char* name : {"rpc.log", "xmlrpcdata.txt", "rpc_err.txt"})
            std::filesystem::remove(RpcLogPath(name));
        platform::RegistryFile registry(dir.File(on ? "on.reg" : "off.reg"));
        if (on) {
            ASSERT_TRUE(registry.WriteString(platform::Hive::LocalMachine, kRpcLogKey,
                                             "CreateWriteFile", ""));
        }
        InitRpcLogs(registry);
        EXPECT_TRUE(registry.KeyExists(platform::Hive::LocalMachine, kRpcLogKey));
        Pair p;
        p.CallAsync("fine");
        ASSERT_TRUE(p.Serve([&] { return p.got.size() == 1; }));
        EXPECT_EQ(exists("rpc.log"), on);
        EXPECT_EQ(exists("xmlrpcdata.txt"), on);
        EXPECT_FALSE(exists("rpc_err.txt"));
        p.CallAsync("fails", ClosedPort());
        ASSERT_TRUE(p.Serve([&] { return p.got.size() == 2; }));
        EXPECT_TRUE(exists("rpc_err.txt"));
    }
    SetRpcLogsEnabled(false);
    unsetenv("VENDAXO_LOG_DIR");
}

// The logs restart past their limit, as the session's events log does; below it they grow.
TEST(XrpcAsync, TheLogsStartAfreshPastTheirLimit)
{
    platform::test::TempDir dir;
    setenv("VENDAXO_LOG_DIR", dir.Path().c_str(), 1);
    SetRpcLogsEnabled(true);
    for (const char* name : {"rpc.log", "xmlrpcdata.txt", "rpc_err.txt"}) {
        SCOPED_TRACE(name);
        const std::string path = RpcLogPath(name);
        for (const std::uintmax_t size : {kRpcLogLimit, kRpcLogLimit + 1}) {
            {
                std::ofstream(path, std::ios::binary | std::ios::trunc);
            }
            std::filesystem::resize_file(path, size);
            AppendRpcLog(name, "line");
            const std::uintmax_t now = std::filesystem::file_size(path);
            EXPECT_EQ(now, size > kRpcLogLimit ? 6u : size + 6);
        }
    }
    SetRpcLogsEnabled(false);
    unsetenv("VENDAXO_LOG_DIR");
}

// An asynchronous call to another host goes there, not to the client's own Host: the server
// listens on 127.0.0.2 only, the client's Host is 127.0.0.1 at the same port.
TEST(XrpcAsync, ACallToAnotherHostGoesToThatHost)
{
    Pair p("127.0.0.2");
    if (!p.active)
        GTEST_SKIP() << "no loopback address 127.0.0.2: " << p.server.LastError();
    p.client.SetHost("127.0.0.1");
    p.client.SetPort(p.server.BoundPort());
    p.CallAsync("there", 0, "127.0.0.2");
    ASSERT_TRUE(p.Serve([&] { return p.got.size() == 1; }));
    EXPECT_EQ(p.got[0].host, "127.0.0.2");
    ASSERT_TRUE(p.got[0].result);
    EXPECT_EQ(p.got[0].result->IsError() ? p.got[0].result->ErrorMsg()
                                         : p.got[0].result->AsString(),
              "there");
}

// The client keeps at most its cap of asynchronous calls, results not yet delivered included:
// one past it is refused at once, and room comes back as the owner takes its results.
TEST(XrpcAsync, AsynchronousCallsPastTheCapAreRefused)
{
    Pair p;
    p.client.SetMaxAsyncPending(3);
    std::vector<std::string> errors;
    p.client.OnError = [&](const std::string& error, const std::string&, const std::string&,
                           const std::string&, int, int) { errors.push_back(error); };
    const int closed = ClosedPort(); // fails at once, so only the owner holds the results
    for (int i = 0; i < 3; ++i)
        p.CallAsync("x", closed);
    const auto end = std::chrono::steady_clock::now() + 30s;
    while (p.client.AsyncBusy() && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(1ms);
    ASSERT_FALSE(p.client.AsyncBusy());
    const std::string last = p.client.LastGuid();
    auto f = std::make_shared<TXrpcFunction>();
    f->SetObjectMethod("Echo");
    f->AddItem("refused");
    IXrpcResult r;
    p.client.Execute(f, true, r, "/RPC2", p.server.BoundPort(), "127.0.0.1");
    ASSERT_TRUE(r && r->IsError());
    EXPECT_EQ(r->ErrorCode(), kErrorEmptyResponse);
    EXPECT_EQ(r->ErrorMsg(),
              "The queue of asynchronous calls is full (3 calls): the call was not made");
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0], r->ErrorMsg());
    EXPECT_EQ(p.client.LastGuid(), last);
    ASSERT_TRUE(p.Serve([&] { return p.got.size() == 3; }));
    p.CallAsync("taken");
    ASSERT_TRUE(p.Serve([&] { return p.got.size() == 4; }));
    EXPECT_EQ(p.got[3].result->AsString(), "taken");
}

// A synchronous caller on another thread and the worker share the client: every answer must
// be the one to its own request.
TEST(XrpcAsync, SynchronousAndAsynchronousCallsNeverTakeEachOthersAnswers)
{
    Pair p;
    const int port = p.server.BoundPort();
    std::atomic<bool> syncDone{false};
    int syncWrong = 0;
    std::thread sync([&] {
        for (int i = 0; i < 40; ++i) {
            auto f = std::make_shared<TXrpcFunction>();
            f->SetObjectMethod("Echo");
            f->AddItem("sync " + std::to_string(i));
            IXrpcResult r;
            p.client.Execute(f, false, r, "/RPC2", port, "127.0.0.1");
            syncWrong += !r || r->IsError() || r->AsString() != "sync " + std::to_string(i);
        }
        syncDone = true;
    });
    for (int i = 0; i < 40; ++i)
        p.CallAsync("async " + std::to_string(i));
    const bool served = p.Serve([&] { return syncDone && p.got.size() == 40; });
    sync.join();
    ASSERT_TRUE(served);
    EXPECT_EQ(syncWrong, 0);
    for (int i = 0; i < 40; ++i) {
        ASSERT_TRUE(p.got[i].result);
        EXPECT_EQ(p.got[i].result->AsString(), "async " + std::to_string(i));
    }
}

TEST(XrpcAsync, AnExchangeAskedFromAnotherThreadRunsInTheOwnersThread)
{
    // The server has an owner thread of its own: the exchange blocks the client's owner.
    std::atomic<int> port{0};
    std::atomic<bool> stop{false};
    std::thread serverOwner([&] {
        TXrpcServer server;
        server.SetListenPort(0);
        TXRMethod where;
        where.MethodName = "Where";
        where.OnExecute = [](const std::string&, const TXrpcParams&, TXrpcFunction& ret,
                             TXrpcStruct&) { ret.AddItem("served"); };
        server.Methods = {where};
        ASSERT_TRUE(server.SetActive(true));
        port = server.BoundPort();
        server.Channel().WaitServing([&] { return stop.load(); }, 60s);
    });
    while (port == 0)
        std::this_thread::sleep_for(1ms);
    TXrpcClient client;
    client.SetHost("127.0.0.1");
    client.SetPort(port);
    TXrpcFunction f;
    f.SetObjectMethod("Where");
    const std::string request = f.GetRequestXML();
    std::string answer;
    std::atomic<bool> done{false};
    std::thread other([&] {
        answer = client.ExchangeInOwner(request);
        done = true;
    });
    EXPECT_TRUE(client.Channel().WaitServing([&] { return done.load(); }, 30s));
    other.join();
    EXPECT_NE(answer.find("served"), std::string::npos);
    // From the owner itself it is a direct call.
    EXPECT_NE(client.ExchangeInOwner(request).find("served"), std::string::npos);
    stop = true;
    serverOwner.join();
}

} // namespace
