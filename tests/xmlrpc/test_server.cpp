// TXrpcServer on loopback with our client: where it listens, its bounds, and what happens to
// calls while its owner is busy or the server goes away.

#include "xmlrpc/fr_rpc.h"
#include "xmlrpc/http_head.h"
#include "xmlrpc/xrpc_client.h"
#include "xmlrpc/xrpc_parser.h"
#include "xmlrpc/xrpc_server.h"

#include "platform/registry.h"
#include "platform/tcp.h"
#include "tests/platform/descriptor_limit.h"
#include "tests/platform/temp_dir.h"
#include "tests/xmlrpc/alloc_fault.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cctype>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <new>
#include <sstream>
#include <thread>

using namespace xrpc;
using namespace std::chrono_literals;

namespace {

IXrpcResult CallOn(uint16_t port, const std::string& method, int32_t arg = 0)
{
    TXrpcClient client;
    auto f = std::make_shared<TXrpcFunction>();
    f->SetObjectMethod(method);
    f->AddItem(arg);
    IXrpcResult r;
    client.Execute(f, false, r, "/RPC2", port, "127.0.0.1");
    return r;
}

// A call from another thread while this one, the owner, serves the server.
IXrpcResult ServedCall(TXrpcServer& server, const std::string& method)
{
    IXrpcResult got;
    std::atomic<bool> done{false};
    std::thread caller([&] {
        got = CallOn(server.BoundPort(), method);
        done = true;
    });
    server.Channel().WaitServing([&] { return done.load(); }, 30s);
    caller.join();
    return got;
}

// The next answer on a bare connection, parsed, within deadline.
IXrpcResult ReadAnswer(platform::TcpConnection& c, std::chrono::milliseconds deadline)
{
    c.SetDeadline(std::chrono::steady_clock::now() + deadline);
    ResponseHeadReader head;
    while (head.State() == HeadState::NeedMore)
        c.Consume(head.Feed(c.Peek()));
    TXrpcClientParser parser;
    parser.Parse(c.ReadExact(static_cast<size_t>(head.ContentLength())));
    return parser.Result();
}

TXRMethod Item(const std::string& name, TXrpcMethodEvent run = nullptr)
{
    TXRMethod m;
    m.MethodName = name;
    m.OnExecute = std::move(run);
    return m;
}

// The kernel's table of TCP sockets: the local address of the one listening on port.
std::string ListeningAddress(uint16_t port)
{
    char want[8];
    std::snprintf(want, sizeof want, ":%04X", port);
    std::ifstream in("/proc/net/tcp");
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state;
        fields >> slot >> local >> remote >> state;
        if (state == "0A" && local.ends_with(want))
            return local.substr(0, local.size() - 5);
    }
    return {};
}

TEST(XrpcServer, ListensOnLoopbackUnlessToldOtherwiseAndRefusesTls)
{
    TXrpcServer server;
    EXPECT_EQ(server.ListenPort(), 8080);
    EXPECT_EQ(server.BindAddress(), "127.0.0.1");
    EXPECT_FALSE(server.Active());
    server.SetListenPort(0);
    ASSERT_TRUE(server.SetActive(true)) << server.LastError();
    EXPECT_EQ(ListeningAddress(server.BoundPort()), "0100007F");
    server.SetBindAddress("0.0.0.0"); // the caller's explicit choice; stays active
    ASSERT_TRUE(server.Active());
    EXPECT_EQ(ListeningAddress(server.BoundPort()), "00000000");
    server.SetListenPort(0); // re-listens, still active
    EXPECT_TRUE(server.Active());
    ASSERT_TRUE(server.SetActive(false));
    EXPECT_EQ(server.BoundPort(), 0);

    server.SSLEnable = true;
    EXPECT_FALSE(server.SetActive(true));
    EXPECT_EQ(server.LastError(), "TLS is not supported");
    EXPECT_FALSE(server.Active());
}

// Room for the listening socket but not for the accept loop's wake-up pipe: the server does
// not start, and says so.
TEST(XrpcServer, AServerThatCannotStartSaysSo)
{
    TXrpcServer server;
    server.SetListenPort(0);
    {
        platform::test::DescriptorLimit one(1);
        ASSERT_TRUE(one.Ok());
        EXPECT_FALSE(server.SetActive(true));
    }
    EXPECT_FALSE(server.Active());
    EXPECT_NE(server.LastError().find("pipe2"), std::string::npos) << server.LastError();
    EXPECT_TRUE(server.SetActive(true)) << server.LastError();
}

// The owner runs every call; the events come in their order, an item without OnExecute
// handles nothing, and a handler that raises gives 1001.
TEST(XrpcServer, CallsRunInTheOwnersThreadWithTheirEvents)
{
    TXrpcServer server;
    server.SetListenPort(0);
    std::vector<std::string> events;
    const auto owner = std::this_thread::get_id();
    bool elsewhere = false;
    server.OnBeforeExecute = [&](const std::string& m, const TXrpcParams&, TXrpcFunction&,
                                 TXrpcStruct& info, const std::string& request) {
        elsewhere |= std::this_thread::get_id() != owner;
        events.push_back("before " + m + " " + info.GetKey("IP").AsString() +
                         (request.find("<methodName>") != std::string::npos ? " xml" : ""));
    };
    server.OnAfterExecute = [&](const std::string& m, const TXrpcParams&, TXrpcFunction&,
                                TXrpcStruct&) { events.push_back("after " + m); };
    server.OnReceiveXML = [&](const std::string&, TXrpcStruct&) { events.push_back("receive"); };
    std::string sent;
    int callerPort = 0;
    server.OnSendXML = [&](const std::string& xml, TXrpcStruct& info) {
        events.push_back("send");
        sent = xml;
        callerPort = info.GetKey("Port").AsInteger();
    };
    server.Methods = {
        Item("Twice",
             [&](const std::string&, const TXrpcParams& p, TXrpcFunction& ret, TXrpcStruct&) {
                 events.push_back("run");
                 ret.AddItem(p.at(0)->AsInteger() * 2);
             }),
        Item("Empty"),
        Item("Raise", [](const std::string&, const TXrpcParams&, TXrpcFunction&,
                         TXrpcStruct&) { throw EXrpcError("no such thing"); }),
    };
    ASSERT_TRUE(server.SetActive(true));
    // A method of the handler list (activation has just rebuilt it) has its after event too.
    server.Handlers().push_back(
        {"Listed",
         [&](const std::string&, const TXrpcParams&, TXrpcFunction& ret, TXrpcStruct&) {
             events.push_back("run listed");
             ret.AddItem(7);
         },
         "", ""});
    struct Case
    {
        std::string method;
        int32_t value; // the answer, or the fault code
        bool fault;
        std::vector<std::string> events;
    };
    const Case cases[] = {
        {"twice",
         42,
         false,
         {"receive", "before twice 127.0.0.1 xml", "run", "after twice", "send"}},
        {"Listed",
         7,
         false,
         {"receive", "before Listed 127.0.0.1 xml", "run listed", "after Listed", "send"}},
        {"Empty", 1000, true, {"receive", "before Empty 127.0.0.1 xml", "after Empty", "send"}},
        {"Nothing", 1000, true, {"receive", "before Nothing 127.0.0.1 xml", "send"}},
        {"Raise", 1001, true, {"receive", "before Raise 127.0.0.1 xml", "send"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.method);
        events.clear();
        IXrpcResult r;
        std::thread caller([&] { r = CallOn(server.BoundPort(), c.method, 21); });
        server.Channel().WaitServing([&] { return events.size() >= c.events.size(); }, 20s);
        caller.join();
        ASSERT_TRUE(r);
        EXPECT_EQ(r->IsError(), c.fault);
        EXPECT_EQ(c.fault ? r->ErrorCode() : r->AsInteger(), c.value);
        EXPECT_EQ(events, c.events);
        // OnSendXML has the answer document itself; the caller's port is the peer's own.
        TXrpcFunction expected;
        if (c.fault)
            expected.SetError(c.value, r->ErrorMsg());
        else
            expected.AddItem(c.value);
        EXPECT_EQ(sent, expected.GetResponseXML());
        EXPECT_GT(callerPort, 0);
        EXPECT_NE(callerPort, server.BoundPort());
    }
    EXPECT_FALSE(elsewhere);
}

// A handler may replace the lists it is called from: the call goes on with the handlers that
// matched when it began (ASan sees any use of the replaced list), the next call meets the new.
TEST(XrpcServer, AHandlerMayReplaceTheListsItIsCalledFrom)
{
    TXrpcServer server;
    server.SetListenPort(0);
    std::vector<std::string> ran;
    auto item = [&](const std::string& tag, bool replace) {
        return Item("Run", [&, tag, replace](const std::string&, const TXrpcParams&,
                                             TXrpcFunction& ret, TXrpcStruct&) {
            ran.push_back(tag);
            if (replace) {
                server.Handlers().clear();
                server.Methods = {Item("Run", [&](const std::string&, const TXrpcParams&,
                                                  TXrpcFunction& r, TXrpcStruct&) {
                    ran.push_back("new");
                    r.AddItem(2);
                })};
            }
            ret.AddItem(1);
        });
    };
    server.Methods = {item("first", true), Item("Other"), item("second", false)};
    int after = 0;
    server.OnAfterExecute = [&](const std::string&, const TXrpcParams&, TXrpcFunction&,
                                TXrpcStruct&) { ++after; };
    ASSERT_TRUE(server.SetActive(true));
    std::vector<int32_t> answers;
    std::atomic<bool> done{false};
    std::thread caller([&] {
        for (int i = 0; i < 2; ++i) {
            const IXrpcResult r = CallOn(server.BoundPort(), "Run");
            answers.push_back(r && !r->IsError() ? r->AsInteger() : -1);
        }
        done = true;
    });
    server.Channel().WaitServing([&] { return done.load(); }, 20s);
    caller.join();
    EXPECT_EQ(ran, (std::vector<std::string>{"first", "second", "new"}));
    EXPECT_EQ(after, 3);
    EXPECT_EQ(answers, (std::vector<int32_t>{1, 2}));
}

// The owner writes an answer as far as the socket takes it at once and leaves the rest to the
// connection's thread: a large answer still arrives whole, and the connection stays in step
// for the calls after it.
TEST(XrpcServer, AnAnswerLargerThanTheSocketTakesArrivesWhole)
{
    TXrpcServerLimits limits;
    limits.ownerWait = 120s; // a sanitizer on a loaded machine takes long to make 6 MiB
    TXrpcServer server(limits);
    server.SetListenPort(0);
    const std::string big(6 * 1024 * 1024, 'z');
    server.Methods = {
        Item("Big", [&](const std::string&, const TXrpcParams&, TXrpcFunction& ret,
                        TXrpcStruct&) { ret.AddItem(big); }),
        Item("Twice", [](const std::string&, const TXrpcParams& p, TXrpcFunction& ret,
                         TXrpcStruct&) { ret.AddItem(p.at(0)->AsInteger() * 2); }),
    };
    ASSERT_TRUE(server.SetActive(true));
    std::vector<std::string> got;
    std::atomic<bool> done{false};
    std::thread caller([&] {
        TXrpcClient client;
        client.SetReadTimeout(120s); // a sanitizer on a loaded machine is slow with 6 MiB
        for (const char* method : {"Big", "Twice", "Big", "Twice"}) {
            auto f = std::make_shared<TXrpcFunction>();
            f->SetObjectMethod(method);
            f->AddItem(21);
            IXrpcResult r;
            client.Execute(f, false, r, "/RPC2", server.BoundPort(), "127.0.0.1");
            got.push_back(!r              ? "none"
                          : r->IsError()  ? r->ErrorMsg()
                          : r->IsString() ? r->AsString()
                                          : std::to_string(r->AsInteger()));
        }
        done = true;
    });
    server.Channel().WaitServing([&] { return done.load(); }, 600s);
    caller.join();
    EXPECT_EQ(got, (std::vector<std::string>{big, "42", big, "42"}));
}

// Whatever way a call throws, its client has 1001 with the exception's text at once (not after
// the owner wait), and the server keeps nothing of the call.
TEST(XrpcServer, ACallThatThrowsAnywhereIsAnsweredAt1001AndLeavesNothingBehind)
{
    TXrpcServer server; // the owner wait is the full 10 s
    server.SetListenPort(0);
    std::string mode;
    int sends = 0;
    server.OnReceiveXML = [&](const std::string&, TXrpcStruct&) {
        if (mode == "receive")
            throw EXrpcError("receiving failed");
    };
    server.OnSendXML = [&](const std::string&, TXrpcStruct&) {
        ++sends;
        if (mode == "send")
            throw std::runtime_error("sending failed");
        if (mode == "send object")
            throw 8;
    };
    server.Methods = {
        Item("M", [&](const std::string&, const TXrpcParams&, TXrpcFunction& ret, TXrpcStruct&) {
            if (mode == "object")
                throw 7;
            ret.AddItem(std::string(256 * 1024, 'a'));
            if (mode == "memory")
                test::FailAllocationFrom(200 * 1024); // next so large: the answer
        })};
    ASSERT_TRUE(server.SetActive(true));
    const std::string noException =
        "An object that is no exception was raised while handling the call";
    struct Case
    {
        std::string mode;
        std::string text;
        int sends; // OnSendXML sees a handler's failure as the answer it is
    };
    const Case cases[] = {
        {"receive", "receiving failed", 0},     {"send", "sending failed", 1},
        {"send object", noException, 1},        {"object", noException, 1},
        {"memory", std::bad_alloc().what(), 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.mode);
        mode = c.mode;
        sends = 0;
        IXrpcResult r;
        std::atomic<bool> done{false};
        const auto start = std::chrono::steady_clock::now();
        std::thread caller([&] {
            r = CallOn(server.BoundPort(), "M");
            done = true;
        });
        server.Channel().WaitServing([&] { return done.load(); }, 30s);
        caller.join();
        test::FailAllocationFrom(0);
        // Far below the owner wait, which a call left behind would have to run out.
        EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
        ASSERT_TRUE(r && r->IsError());
        EXPECT_EQ(r->ErrorCode(), 1001);
        EXPECT_EQ(r->ErrorMsg(), c.text);
        EXPECT_EQ(sends, c.sends);
        EXPECT_EQ(server.HeldCalls(), 0u);
    }
    mode.clear();
    const IXrpcResult r = ServedCall(server, "M");
    ASSERT_TRUE(r && !r->IsError());
    EXPECT_EQ(r->AsString().size(), 256u * 1024);
}

// The answer gets its own time to be written: a call that used most of the request's time
// still gets a large answer out whole, to a client slow to read it.
TEST(XrpcServer, AnAnswerReadyLateInTheRequestsTimeStillArrivesWhole)
{
    TXrpcServerLimits limits;
    limits.request = 300ms;
    limits.answer = 120s;    // room for a slow machine
    limits.ownerWait = 120s; // which may take long to make the answer, too
    TXrpcServer server(limits);
    server.SetListenPort(0);
    const std::string big(14 * 1024 * 1024, 'q'); // more than the sockets take at once
    std::atomic<bool> answered{false};
    server.Methods = {
        Item("Big", [&](const std::string&, const TXrpcParams&, TXrpcFunction& ret, TXrpcStruct&) {
            std::this_thread::sleep_for(500ms); // past the request's time
            ret.AddItem(big);
            answered = true;
        })};
    ASSERT_TRUE(server.SetActive(true));
    std::string got;
    std::atomic<bool> done{false};
    std::thread caller([&] {
        try {
            auto c = platform::TcpConnection::Connect("127.0.0.1", server.BoundPort(), 5s);
            TXrpcFunction f;
            f.SetObjectMethod("Big");
            c->SendAll(WriteRequest("/RPC2", "127.0.0.1", f.GetRequestXML()));
            while (!answered)
                std::this_thread::sleep_for(10ms);
            std::this_thread::sleep_for(300ms);         // the server's writing now waits for room
            const IXrpcResult r = ReadAnswer(*c, 120s); // a sanitizer on a loaded machine is slow
            got = r->IsError() ? r->ErrorMsg() : r->AsString();
        } catch (const std::exception& e) {
            got = e.what();
        }
        done = true;
    });
    server.Channel().WaitServing([&] { return done.load(); }, 180s);
    caller.join();
    EXPECT_EQ(got.size(), big.size()) << got.substr(0, 200);
    EXPECT_TRUE(got == big);
}

// What is refused before the owner sees it: a wrong digest (in any letter case it is right)
// with the text that names both digests, and a NUL.
TEST(XrpcServer, RefusedCallsCarryTheirFaultTexts)
{
    const std::string body = "<?xml version=\"1.0\"?><methodCall/>";
    const std::string right = ContentMd5(body);
    const std::string wrong = "AAAAAAAAAAAAAAAAAAAAAA==";
    std::string lower = right;
    for (char& ch : lower)
        ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    ASSERT_NE(lower, right);
    struct Case
    {
        const char* what;
        std::string body;
        std::optional<std::string> digest;
        int32_t code; // 0: taken
        std::string text;
    };
    const Case cases[] = {
        {"right", body, right, 0, ""},
        {"right in lower case", body, lower, 0, ""},
        {"none", body, std::nullopt, 0, ""},
        {"wrong", body, wrong, 1002,
         "Checksum MD5 error of client request \r\nShould be: " + wrong + " contains: " + right +
             "\r\n"},
        {"NUL", std::string("<a>\0</a>", 8), std::nullopt, 1001,
         "Request body holds a NUL character"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::optional<std::string> refused = TXrpcServer::RefuseCall(c.body, c.digest);
        ASSERT_EQ(refused.has_value(), c.code != 0);
        if (!refused)
            continue;
        // The document itself: a reader would turn the CR LF into LF.
        TXrpcFunction fault;
        fault.SetError(c.code, c.text);
        EXPECT_EQ(*refused, fault.GetResponseXML());
    }
}

// Construction ends with the server's own message to itself.
TEST(XrpcServer, ConstructionAnnouncesItselfOnItsChannel)
{
    TXrpcServer server;
    EXPECT_TRUE(server.CreationAnnounced());
}

TEST(XrpcServer, ACallTheOwnerDoesNotTakeInTimeGetsFault1001)
{
    TXrpcServerLimits limits;
    limits.ownerWait = 300ms;
    TXrpcServer server(limits);
    server.SetListenPort(0);
    server.Methods = {Item("M", [](const std::string&, const TXrpcParams&, TXrpcFunction& ret,
                                   TXrpcStruct&) { ret.AddItem(1); })};
    ASSERT_TRUE(server.SetActive(true));
    // This thread is the owner and is busy in the call itself.
    const IXrpcResult r = CallOn(server.BoundPort(), "M");
    ASSERT_TRUE(r && r->IsError());
    EXPECT_EQ(r->ErrorCode(), 1001);
    EXPECT_EQ(r->ErrorMsg(),
              "The server's owner did not take the call within 300 ms; it did not run");
    // The call given up is not run later.
    int ran = 0;
    server.Methods[0].OnExecute = [&](const std::string&, const TXrpcParams&, TXrpcFunction&,
                                      TXrpcStruct&) { ++ran; };
    server.Channel().ServePending();
    EXPECT_EQ(ran, 0);
}

// Echo(1) then Echo(2) on one bare kept-alive connection, which takes whatever comes next as
// the answer, stale or not.  afterEach runs after each answer is read.
struct EchoPair
{
    std::vector<int32_t> got;
    std::string text; // the text of the last fault read
    std::function<void()> afterEach;
    std::atomic<bool> done{false};
    std::thread caller;
    void Start(uint16_t port)
    {
        caller = std::thread([this, port] {
            auto c = platform::TcpConnection::Connect("127.0.0.1", port, 5s);
            for (int32_t arg : {1, 2}) {
                TXrpcFunction f;
                f.SetObjectMethod("Echo");
                f.AddItem(arg);
                c->SendAll(WriteRequest("/RPC2", "127.0.0.1", f.GetRequestXML()));
                const IXrpcResult r = ReadAnswer(*c, 20s);
                got.push_back(r->IsError() ? r->ErrorCode() : r->AsInteger());
                if (r->IsError())
                    text = r->ErrorMsg();
                if (afterEach)
                    afterEach();
            }
            done = true;
        });
    }
};

// A call the owner took but finished only after the connection gave up on it: the client has
// 1001, and the late answer never reaches the connection, so the next call on it reads its own.
TEST(XrpcServer, AnAnswerTheConnectionGaveUpOnIsNeverWritten)
{
    TXrpcServerLimits limits;
    limits.ownerWait = 200ms;
    TXrpcServer server(limits);
    server.SetListenPort(0);
    std::atomic<bool> slowDone{false};
    server.Methods = {Item(
        "Echo", [&](const std::string&, const TXrpcParams& p, TXrpcFunction& ret, TXrpcStruct&) {
            if (p.at(0)->AsInteger() == 1) {
                std::this_thread::sleep_for(1s); // far past the owner wait
                slowDone = true;
            }
            ret.AddItem(p.at(0)->AsInteger());
        })};
    ASSERT_TRUE(server.SetActive(true));
    EchoPair pair;
    pair.afterEach = [&] {
        while (!slowDone)
            std::this_thread::sleep_for(10ms);
        std::this_thread::sleep_for(100ms); // room for a late answer to show up
    };
    pair.Start(server.BoundPort());
    server.Channel().WaitServing([&] { return pair.done.load(); }, 30s);
    pair.caller.join();
    EXPECT_EQ(pair.got, (std::vector<int32_t>{1001, 2}));
    // The call ran: its caller must not be told it did not.
    EXPECT_EQ(pair.text, "The server's owner took the call but did not finish it within 200 ms; it may "
                    "have run, and its answer is lost");
}


TXRMethod EchoItem()
{
    return Item("Echo", [](const std::string&, const TXrpcParams& p, TXrpcFunction& ret,
                           TXrpcStruct&) { ret.AddItem(p.at(0)->AsInteger()); });
}

// Waits, up to 20 s, for flag.
bool WaitFor(const std::atomic<bool>& flag)
{
    for (int i = 0; i < 20000 && !flag; ++i)
        std::this_thread::sleep_for(1ms);
    return flag;
}

// A server with Echo whose owner waits 1 s: long enough that the call after a test's first is
// served at once.
std::unique_ptr<TXrpcServer> EchoServer(TXrpcServerTestHooks hooks)
{
    TXrpcServerLimits limits;
    limits.ownerWait = 1s;
    auto server = std::make_unique<TXrpcServer>(limits);
    server->SetListenPort(0);
    server->Methods = {EchoItem()};
    server->SetTestHooks(std::move(hooks));
    EXPECT_TRUE(server->SetActive(true));
    return server;
}

// The owner comes for the call just after its connection gave up on it (the hook holds the
// connection there until the owner has served): the call gets one answer, 1001, and the next
// call on the connection reads its own.
TEST(XrpcServer, ACallGivenUpOnIsNotAnsweredByTheOwnerAsWell)
{
    std::atomic<bool> expired{false}, served{false};
    const auto server = EchoServer({[&] {
                                        if (!expired.exchange(true))
                                            WaitFor(served);
                                    },
                                    nullptr});
    EchoPair pair;
    pair.Start(server->BoundPort());
    ASSERT_TRUE(WaitFor(expired));
    server->Channel().ServePending(); // the owner, in the gap
    served = true;
    server->Channel().WaitServing([&] { return pair.done.load(); }, 30s);
    pair.caller.join();
    EXPECT_EQ(pair.got, (std::vector<int32_t>{1001, 2}));
}

// The owner has the answer and is writing it as the wait runs out: that answer is the call's
// only one, and the connection goes on with the next call.
TEST(XrpcServer, AnAnswerBeingWrittenWhenTheWaitRunsOutIsTheOnlyOne)
{
    std::atomic<bool> expired{false}, first{true};
    const auto server = EchoServer({[&] { expired = true; },
                                    [&] {
                                        // Only the first answer waits for the connection to
                                        // give up.
                                        if (first.exchange(false))
                                            WaitFor(expired);
                                    }});
    EchoPair pair;
    pair.Start(server->BoundPort());
    server->Channel().WaitServing([&] { return pair.done.load(); }, 30s);
    pair.caller.join();
    EXPECT_TRUE(expired);
    EXPECT_EQ(pair.got, (std::vector<int32_t>{1, 2}));
}

TEST(XrpcServer, DestructionAnswersWaitingCallsWith1001AndJoinsItsThreads)
{
    std::atomic<int> posted{0};
    auto server = std::make_unique<TXrpcServer>();
    server->SetListenPort(0);
    server->Channel().SetWakeup([&] { ++posted; });
    server->Methods = {
        Item("M", [](const std::string&, const TXrpcParams&, TXrpcFunction&, TXrpcStruct&) {})};
    ASSERT_TRUE(server->SetActive(true));
    const uint16_t port = server->BoundPort();
    std::vector<IXrpcResult> results(3);
    std::vector<std::thread> callers;
    for (auto& r : results)
        callers.emplace_back([&r, port] { r = CallOn(port, "M"); });
    while (posted < 3)
        std::this_thread::sleep_for(1ms);
    server.reset(); // nobody ran the calls
    for (auto& t : callers)
        t.join();
    for (const auto& r : results) {
        ASSERT_TRUE(r && r->IsError());
        EXPECT_EQ(r->ErrorCode(), 1001);
        EXPECT_EQ(r->ErrorMsg(), "The server is shutting down");
    }
}

// Deactivating must not wait on the owner, who is the one deactivating: calls queued while it
// was busy get 1001 and are never run, and so does a call whose own handler deactivates; the
// server then serves again once reactivated.
TEST(XrpcServer, DeactivationAnswersWaitingCallsWith1001AndTheServerServesAgain)
{
    TXrpcServer server; // the owner wait is the full 10 s
    server.SetListenPort(0);
    std::atomic<int> posted{0};
    server.Channel().SetWakeup([&] { ++posted; });
    int ran = 0;
    server.Methods = {
        Item("Twice",
             [&](const std::string&, const TXrpcParams& p, TXrpcFunction& ret, TXrpcStruct&) {
                 ++ran;
                 ret.AddItem(p.at(0)->AsInteger() * 2);
             }),
        Item("Stop",
             [&](const std::string&, const TXrpcParams&, TXrpcFunction& ret, TXrpcStruct&) {
                 EXPECT_TRUE(server.SetActive(false));
                 ret.AddItem(1);
             }),
    };
    const auto elapsed = [](auto since) { return std::chrono::steady_clock::now() - since; };
    const auto expectShutdownFault = [](const IXrpcResult& r) {
        ASSERT_TRUE(r && r->IsError());
        EXPECT_EQ(r->ErrorCode(), 1001);
        EXPECT_EQ(r->ErrorMsg(), "The server is shutting down");
    };
    // Runs one call while this thread serves the owner channel.
    const auto serveCall = [&](const std::string& method) {
        IXrpcResult r;
        std::atomic<bool> done{false};
        const uint16_t port = server.BoundPort();
        std::thread caller([&] {
            r = CallOn(port, method, 21);
            done = true;
        });
        server.Channel().WaitServing([&] { return done.load(); }, 20s);
        caller.join();
        return r;
    };

    ASSERT_TRUE(server.SetActive(true));
    const uint16_t port = server.BoundPort();
    std::vector<IXrpcResult> results(3);
    std::vector<std::thread> callers;
    for (auto& r : results)
        callers.emplace_back([&r, port] { r = CallOn(port, "Twice", 21); });
    const auto queuing = std::chrono::steady_clock::now();
    while (posted < 3 && elapsed(queuing) < 20s)
        std::this_thread::sleep_for(1ms);
    ASSERT_EQ(posted, 3);
    const auto stopping = std::chrono::steady_clock::now();
    EXPECT_TRUE(server.SetActive(false)); // nobody ran the calls
    EXPECT_LT(elapsed(stopping), 5s);
    EXPECT_FALSE(server.Active());
    for (auto& t : callers)
        t.join();
    for (const auto& r : results)
        expectShutdownFault(r);
    server.Channel().ServePending(); // the calls' stale wake-ups run nothing
    EXPECT_EQ(ran, 0);

    ASSERT_TRUE(server.SetActive(true)) << server.LastError();
    IXrpcResult r = serveCall("Twice");
    ASSERT_TRUE(r && !r->IsError());
    EXPECT_EQ(r->AsInteger(), 42);

    // A handler deactivating the server: its own call is answered with the rest.
    const auto handlerStopping = std::chrono::steady_clock::now();
    expectShutdownFault(serveCall("Stop"));
    EXPECT_LT(elapsed(handlerStopping), 5s);
    EXPECT_FALSE(server.Active());

    ASSERT_TRUE(server.SetActive(true)) << server.LastError();
    r = serveCall("Twice");
    ASSERT_TRUE(r && !r->IsError());
    EXPECT_EQ(r->AsInteger(), 42);
    EXPECT_EQ(ran, 2);
}

// Raw requests the server must not leave hanging, and its connection cap.
TEST(XrpcServer, BrokenRequestsAreAnsweredAndConnectionsAreCapped)
{
    TXrpcServerLimits limits;
    limits.request = 300ms;
    limits.maxConnections = 2;
    TXrpcServer server(limits);
    server.SetListenPort(0);
    ASSERT_TRUE(server.SetActive(true));
    const uint16_t port = server.BoundPort();
    auto connect = [&] { return platform::TcpConnection::Connect("127.0.0.1", port, 5s); };
    auto faultOf = [](platform::TcpConnection& c) {
        const IXrpcResult r = ReadAnswer(c, 10s);
        return r->IsError() ? r->ErrorCode() : 0;
    };
    // A body that stops short while the connection stays open: 1001 at the request's limit.
    auto a = connect();
    a->SendAll("POST / HTTP/1.1\r\nContent-Length: 100\r\n\r\n<?xml");
    EXPECT_EQ(faultOf(*a), 1001);
    // The cap: two connections are served; both busy, a third is closed at once.
    auto b = connect();
    auto c = connect();
    b->SendAll("POST / HTTP/1.1\r\nContent-Length: 1\r\n\r\n");
    c->SendAll("POST / HTTP/1.1\r\n");
    std::this_thread::sleep_for(50ms); // for the server to read the bytes that make them busy
    auto d = connect();
    d->SetDeadline(std::chrono::steady_clock::now() + 10s);
    EXPECT_THROW(d->Peek(), platform::SocketError);
    EXPECT_EQ(faultOf(*b), 1001); // short too, once the limit runs out
    a.reset();
    b.reset();
    c.reset();
}

// The three introspection methods exist only while EnableIntrospect is on at activation.
TEST(XrpcServer, IntrospectionAnswersOnlyWhenEnabled)
{
    for (const bool on : {true, false}) {
        SCOPED_TRACE(on);
        TXrpcServer server;
        server.SetListenPort(0);
        server.EnableIntrospect = on;
        ASSERT_TRUE(server.SetActive(true));
        const IXrpcResult r = ServedCall(server, "system.listMethods");
        ASSERT_TRUE(r);
        EXPECT_EQ(r->IsError(), !on);
        if (on)
            EXPECT_EQ(r->AsArray()->Count(), 3);
        else
            EXPECT_EQ(r->ErrorCode(), 1000);
    }
}

// Idle kept-alive clients cannot lock others out: with every connection taken by a client
// between calls, a new client's call is served, and the client whose connection gave way
// reconnects for its next call.
TEST(XrpcServer, AnIdleKeptAliveConnectionGivesWayToANewClient)
{
    TXrpcServerLimits limits;
    limits.maxConnections = 2;
    TXrpcServer server(limits);
    server.SetListenPort(0);
    server.Methods = {EchoItem()};
    ASSERT_TRUE(server.SetActive(true));
    std::vector<std::unique_ptr<TXrpcClient>> clients;
    for (int i = 0; i < 3; ++i) {
        clients.push_back(std::make_unique<TXrpcClient>());
        clients.back()->SetHost("127.0.0.1");
        clients.back()->SetPort(server.BoundPort());
        clients.back()->EndPoint = "/RPC2";
    }
    std::vector<int32_t> got;
    std::atomic<bool> done{false};
    std::thread caller([&] {
        for (int i : {0, 1, 2, 0}) {
            TXrpcFunction f;
            f.SetObjectMethod("Echo");
            f.AddItem(i);
            IXrpcResult r;
            clients[static_cast<size_t>(i)]->ExecuteXML(f.GetRequestXML(), false, r);
            got.push_back(r->IsError() ? -r->ErrorCode() : r->AsInteger());
            std::this_thread::sleep_for(50ms); // for its connection to go back to idle
        }
        done = true;
    });
    server.Channel().WaitServing([&] { return done.load(); }, 30s);
    caller.join();
    EXPECT_EQ(got, (std::vector<int32_t>{0, 1, 2, 0}));
}

TEST(XrpcServer, TheLinkFramesServerIsBuiltInactive)
{
    platform::test::TempDir dir;
    platform::RegistryFile reg(dir.File("link.reg"));
    TfrRPC link(reg, {}, dir.File("logzemra21.txt"));
    EXPECT_EQ(link.Server().ListenPort(), 8080);
    EXPECT_TRUE(link.Server().EnableIntrospect);
    EXPECT_FALSE(link.Server().Active());
    EXPECT_EQ(link.Server().BindAddress(), "127.0.0.1");
}

} // namespace
