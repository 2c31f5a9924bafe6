// The link frame: its settings and payloads, and the link against a scripted service on
// loopback that calls "OnMethodData" back as each case says.

#include "xmlrpc/fr_rpc.h"
#include "xmlrpc/http_head.h"
#include "xmlrpc/http_serve.h"
#include "xmlrpc/xrpc_parser.h"

#include "platform/registry.h"
#include "platform/tcp.h"
#include "tests/platform/temp_dir.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <thread>

using namespace xrpc;
using namespace std::chrono_literals;

namespace {

using Bytes = std::vector<uint8_t>;
using platform::Hive;

TEST(LinkFrame, PayloadsOfARequestFrame)
{
    const Bytes frame{5, 6, 0x77, 13, 0, 0, 0xEE}; // the byte after L is ignored
    const struct
    {
        bool comLine;
        uint16_t counter;
        const char* hex;
    } cases[] = {
        {false, 0, "0D0700000500000000000D0000"},
        {false, 0x0102, "0D0702010500000000000D0000"},
        {true, 0, "070300000D0000"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(EncodeHex(*BuildPayload(frame, c.comLine, c.counter)), c.hex);

    Bytes big(249, 1);
    big[1] = 248;
    EXPECT_TRUE(BuildPayload(big, false, 0)) << "L + 7 = 255 still fits its length byte";
    big[1] = 249;
    EXPECT_FALSE(BuildPayload(big, false, 0)) << "L + 7 = 256 would wrap it";
    EXPECT_TRUE(BuildPayload(big, true, 0));
    EXPECT_FALSE(BuildPayload({5, 9, 0, 13, 0, 0}, false, 0)) << "L beyond the frame";
    EXPECT_FALSE(BuildPayload({5, 3, 0, 13}, false, 0)) << "L below the command";
}

TEST(LinkFrame, TextForms)
{
    EXPECT_EQ(NormalizeMac("00-1a-2B-3c"), "001A2B3C0000");
    EXPECT_EQ(NormalizeMac("0123456789ABCDEF"), "0123456789ABCDEF");
    EXPECT_EQ(ParseComPort("com3"), 3);
    EXPECT_EQ(ParseComPort("COMx"), 0);
    EXPECT_EQ(ParseComPort("LPT1"), 0);
    EXPECT_EQ(EncodeHex(DecodeHex("0aFf1G22")), "0AFF") << "decoding stops at the first bad pair";
    EXPECT_EQ(EncodeHex(DecodeHex("123")), "12");
}

TEST(LinkFrame, SettingsFromTheRegistry)
{
    platform::test::TempDir dir;
    const struct
    {
        const char* client;
        const char* driver;
        std::string clientIp;
        uint16_t clientPort;
        std::string driverIp;
        uint16_t driverPort;
    } cases[] = {
        {nullptr, nullptr, "127.0.0.1", 8080, "127.0.0.1", 8081},
        {"10.0.0.5:9000", "10.0.0.6:9100", "10.0.0.5", 9000, "10.0.0.6", 9100},
        {"10.0.0.5", "10.0.0.6", "10.0.0.5", 8080, "10.0.0.6", 8081}, // missing ports: defaults
        {"127.0.0.1:0", "127.0.0.1:x", "127.0.0.1", 0, "127.0.0.1", 8081},
    };
    int n = 0;
    for (const auto& c : cases) {
        platform::RegistryFile reg(dir.File("r" + std::to_string(n++) + ".reg"));
        reg.CreateKey(Hive::LocalMachine, kLinkKey);
        if (c.client)
            reg.WriteString(Hive::LocalMachine, kLinkKey, "ClientIP", c.client);
        if (c.driver)
            reg.WriteString(Hive::LocalMachine, kLinkKey, "DriverIP", c.driver);
        const TLinkSettings s = ReadLinkSettings(reg);
        EXPECT_EQ(s.clientIp, c.clientIp);
        EXPECT_EQ(s.clientPort, c.clientPort) << (c.client ? c.client : "none");
        EXPECT_EQ(s.driverIp, c.driverIp);
        EXPECT_EQ(s.driverPort, c.driverPort) << (c.driver ? c.driver : "none");
    }
    platform::RegistryFile reg(dir.File("mode.reg"));
    reg.WriteString(Hive::LocalMachine, kLinkKey, "MAC", "00-1a-2B-3c");
    reg.WriteString(Hive::LocalMachine, kLinkKey, "DriverCOMPort", "com3");
    const TLinkSettings s = ReadLinkSettings(reg);
    EXPECT_EQ(s.mac, "001A2B3C0000");
    EXPECT_EQ(s.comPort, 3);
}

// A service that answers every call and, on "SendData", runs the case's script with the
// request's payload.
class ScriptedService
{
public:
    ScriptedService()
    {
        EXPECT_TRUE(server_.Listen("127.0.0.1", 0));
        server_.Start([this](platform::TcpConnection& c) {
            ServeHttpCalls(
                c, {}, "test",
                [this](std::string_view body, const std::optional<std::string>&) {
                    return Handle(body);
                },
                nullptr);
        });
        reg.WriteString(Hive::LocalMachine, kLinkKey, "DriverIP",
                        "127.0.0.1:" + std::to_string(server_.Port()));
        reg.WriteString(Hive::LocalMachine, kLinkKey, "ClientIP", "127.0.0.1:0");
        reg.WriteString(Hive::LocalMachine, kLinkKey, "MAC", "001A2B3C4D5E");
    }
    ~ScriptedService()
    {
        for (std::thread& t : later)
            t.join();
        {
            std::lock_guard guard(mutex_);
            stopping_ = true;
        }
        released_.notify_all();
        server_.Stop();
    }
    // While silent, a call is taken and not answered (until the service ends or speaks again).
    void SetSilent(bool on)
    {
        {
            std::lock_guard guard(mutex_);
            silent_ = on;
        }
        released_.notify_all();
    }

    // Calls the link's "OnMethodData" with hex; with a wrong digest when asked.  Returns the
    // link's answer document.
    static std::string CallbackBody(const std::string& hex)
    {
        TXrpcFunction call;
        call.SetObjectMethod("OnMethodData");
        call.AddItem("001A2B3C4D5E");
        call.AddItem(std::string_view(hex));
        return call.GetRequestXML();
    }
    std::string Callback(const std::string& hex, bool badDigest = false)
    {
        const std::string body = CallbackBody(hex);
        std::string request = WriteRequest("/", "127.0.0.1", body);
        if (badDigest)
            request.replace(request.find(ContentMd5(body)), 24, ContentMd5("x"));
        auto c = platform::TcpConnection::Connect("127.0.0.1", linkPort, 2000ms);
        c->SetDeadline(std::chrono::steady_clock::now() + 5s);
        c->SendAll(request);
        ResponseHeadReader head;
        while (head.State() == HeadState::NeedMore)
            c->Consume(head.Feed(c->Peek()));
        return c->ReadExact(static_cast<size_t>(head.ContentLength()));
    }
    void CallbackLater(std::chrono::milliseconds delay, const std::string& hex)
    {
        std::lock_guard guard(mutex_);
        later.emplace_back([this, delay, hex] {
            std::this_thread::sleep_for(delay);
            // A late callback may find the link already gone: the call then simply fails.
            try {
                Callback(hex);
            } catch (const std::exception&) {
            }
        });
    }

    platform::test::TempDir dir;
    platform::RegistryFile reg{dir.File("link.reg")};
    std::function<void(const Bytes& payload)> onSendData;
    std::atomic<int> sendData{0};
    std::atomic<uint16_t> linkPort{0};
    std::atomic<uint16_t> deletedPort{0};
    std::atomic<int> calls{0};
    std::atomic<bool> connectedAnswer{true}; // false: "Connected" always answers false

private:
    std::string Handle(std::string_view body)
    {
        ++calls;
        {
            std::unique_lock lock(mutex_);
            released_.wait(lock, [this] { return !silent_ || stopping_; });
        }
        TXrpcServerParser parser;
        parser.Parse(body);
        auto p = parser.TakeParams();
        TXrpcFunction answer;
        const std::string& m = parser.MethodName();
        if (m == "AddMessageSubscriber") {
            linkPort = static_cast<uint16_t>(p.at(1)->AsInteger());
            subscribed = true;
            answer.AddItem("S1");
        } else if (m == "Lines") {
            answer.AddItemArray(std::make_shared<TXrpcArray>());
        } else if (m == "Connected") {
            answer.AddItem(subscribed.load() && connectedAnswer.load());
        } else if (m == "DeleteMessageSubscriber") {
            deletedPort = static_cast<uint16_t>(p.at(2)->AsInteger());
            subscribed = false;
        } else if (m == "SendData") {
            ++sendData;
            if (onSendData)
                onSendData(DecodeHex(p.at(1)->AsString()));
        }
        return answer.GetResponseXML();
    }

    std::mutex mutex_;
    std::condition_variable released_;
    bool silent_ = false;
    bool stopping_ = false;
    std::atomic<bool> subscribed{false};
    std::vector<std::thread> later;
    platform::TcpServer server_;
};

// The MAC-mode answer payload to a request payload: address 5, answer 44 08 + 8 bytes.
std::string AnswerTo(const Bytes& request, int counterShift = 0, int lengthShift = 0)
{
    const uint16_t counter = static_cast<uint16_t>((request[2] | request[3] << 8) + counterShift);
    Bytes a{0,
            7,
            static_cast<uint8_t>(counter),
            static_cast<uint8_t>(counter >> 8),
            5,
            0,
            0,
            0,
            0,
            0,
            0x44,
            8,
            1,
            2,
            3,
            4,
            5,
            6,
            7,
            8};
    a[0] = static_cast<uint8_t>(a.size() + lengthShift);
    return EncodeHex(a);
}

const Bytes kRequest{5, 8, 0, 0x43, 0, 0, 0, 8};
const Bytes kReply{5, 12, 0x44, 8, 1, 2, 3, 4, 5, 6, 7, 8};

TEST(LinkFrame, OnlyTheAnswerWithTheRequestsCounterIsTaken)
{
    const struct
    {
        const char* name;
        std::function<void(ScriptedService&, const Bytes&)> script;
        bool answered;
    } cases[] = {
        {"the answer before the SendData response",
         [](ScriptedService& s, const Bytes& p) { s.Callback(AnswerTo(p)); }, true},
        {"the answer after the SendData response",
         [](ScriptedService& s, const Bytes& p) { s.CallbackLater(50ms, AnswerTo(p)); }, true},
        {"a foreign counter first does not end the wait",
         [](ScriptedService& s, const Bytes& p) {
             s.Callback(AnswerTo(p, 1));
             s.CallbackLater(100ms, AnswerTo(p));
         },
         true},
        {"only a foreign counter",
         [](ScriptedService& s, const Bytes& p) { s.Callback(AnswerTo(p, 0x100)); }, false},
        {"bytes after the length byte are not part of the answer",
         [](ScriptedService& s, const Bytes& p) { s.Callback(AnswerTo(p) + "EE01"); }, true},
        {"a length byte beyond the payload",
         [](ScriptedService& s, const Bytes& p) { s.Callback(AnswerTo(p, 0, 1)); }, false},
        {"below the MAC form's minimum",
         [](ScriptedService& s, const Bytes& p) {
             s.Callback(EncodeHex({9, 7, p[2], p[3], 5, 0, 0, 0, 0}));
         },
         false},
        {"a wrong digest gets fault 1002 and is not taken",
         [](ScriptedService& s, const Bytes& p) {
             const std::string hex = AnswerTo(p);
             const std::string answer = s.Callback(hex, true);
             TXrpcFunction fault;
             fault.SetError(
                 kErrorBadDigest,
                 "Checksum MD5 error of client request \r\nShould be: " + ContentMd5("x") +
                     " contains: " + ContentMd5(ScriptedService::CallbackBody(hex)) + "\r\n");
             EXPECT_EQ(answer, fault.GetResponseXML());
         },
         false},
        {"no answer", [](ScriptedService&, const Bytes&) {}, false},
    };
    for (const auto& c : cases) {
        ScriptedService service;
        TLinkTimeouts t;
        t.reply = 600ms;
        TfrRPC link(service.reg, t, service.dir.File("logzemra21.txt"));
        service.onSendData = [&](const Bytes& p) { c.script(service, p); };
        ASSERT_TRUE(link.Connect()) << c.name;
        EXPECT_EQ(link.SendFrame(kRequest), c.answered) << c.name;
        EXPECT_EQ(link.HasReply(), c.answered) << c.name;
        if (c.answered) {
            EXPECT_EQ(link.GetReply(), kReply) << c.name;
        }
        EXPECT_FALSE(link.IsBusy());
        link.Disconnect();
        EXPECT_EQ(service.deletedPort, service.linkPort)
            << "the subscription ends for the port that was announced";
    }
}

TEST(LinkFrame, ALateAnswerIsNeverTakenForTheNextRequest)
{
    ScriptedService service;
    TLinkTimeouts t;
    t.reply = 600ms;
    TfrRPC link(service.reg, t, service.dir.File("logzemra21.txt"));
    int n = 0;
    service.onSendData = [&](const Bytes& p) {
        // The first answer comes after its request gave up, while the second is in flight.
        Bytes late = DecodeHex(AnswerTo(p));
        late[12] = 0xEE;
        if (++n == 1)
            service.CallbackLater(900ms, EncodeHex(late));
        else
            service.CallbackLater(400ms, AnswerTo(p));
    };
    ASSERT_TRUE(link.Connect());
    EXPECT_FALSE(link.SendFrame(kRequest));
    EXPECT_TRUE(link.SendFrame(kRequest));
    EXPECT_EQ(link.GetReply(), kReply);
    EXPECT_EQ(link.PacketCounter(), 2) << "the counter advances with every request";
}

TEST(LinkFrame, EventReadIsAnsweredByTheLinkAndBadFramesAreRefused)
{
    ScriptedService service;
    TfrRPC link(service.reg, {}, service.dir.File("logzemra21.txt"));
    EXPECT_FALSE(link.SendFrame(kRequest)) << "not connected";
    ASSERT_TRUE(link.Connect());
    EXPECT_FALSE(link.SendFrame({5, 6, 0, 1, 0, 1}));
    EXPECT_EQ(link.GetReply(), (Bytes{5, 5, 2, 0, 0}));
    Bytes big(250, 0);
    big[0] = 5;
    big[1] = 249;
    big[3] = 0x41;
    EXPECT_FALSE(link.SendFrame(big));
    EXPECT_EQ(service.sendData, 0);
}

TEST(LinkFrame, CallbackServerAnswersGetsAndFailures)
{
    ScriptedService service;
    TfrRPC link(service.reg, {}, service.dir.File("logzemra21.txt"));
    ASSERT_TRUE(link.Connect());
    ASSERT_NE(link.ServerPort(), 0);
    auto c = platform::TcpConnection::Connect("127.0.0.1", link.ServerPort(), 2000ms);
    c->SetDeadline(std::chrono::steady_clock::now() + 5s);
    c->SendAll("GET /x HTTP/1.1\r\nHost: h\r\n\r\n");
    std::string help;
    try {
        for (;;) {
            const std::string_view b = c->Peek();
            help.append(b);
            c->Consume(b.size());
        }
    } catch (const platform::SocketError& e) {
        EXPECT_TRUE(e.Graceful()) << "the connection closes after the help";
    }
    EXPECT_TRUE(help.starts_with("HTTP/1.0 200 OK\r\n"));
    EXPECT_NE(help.find("Current URL is: /x"), std::string::npos);

    // A call that cannot be read gets fault 1001; the server goes on serving.
    TXrpcClientParser parser;
    parser.Parse(link.HandleCall("<methodCall><methodName>OnMethodData", std::nullopt));
    EXPECT_EQ(parser.Result()->ErrorCode(), kFaultHandler);
    parser.Parse(link.HandleCall(
        "<?xml version=\"1.0\"?><methodCall><methodName>Other</methodName></methodCall>",
        std::nullopt));
    EXPECT_FALSE(parser.Result()->IsError());
}

TEST(LinkFrame, APortThatCannotBeBoundFailsConnectBeforeSubscribing)
{
    ScriptedService service;
    platform::TcpServer taken;
    ASSERT_TRUE(taken.Listen("127.0.0.1", 0));
    service.reg.WriteString(Hive::LocalMachine, kLinkKey, "ClientIP",
                            "127.0.0.1:" + std::to_string(taken.Port()));
    TfrRPC link(service.reg, {}, service.dir.File("logzemra21.txt"));
    EXPECT_FALSE(link.Connect());
    EXPECT_FALSE(link.Subscribed());
    EXPECT_EQ(service.linkPort, 0) << "no subscription for a link that cannot be called back";
}

TEST(LinkFrame, TriesAtAFailingPeerAreSpacedAndDoubled)
{
    using C = TRetrySpacing::Clock;
    TRetrySpacing spacing(1000ms, 30000ms);
    const C::time_point t0{};
    EXPECT_TRUE(spacing.Due(t0)) << "nothing failed yet";
    // Each failure at the moment its try came due: 1, 2, 4, 8, 16, then 30 s at most.
    C::time_point now = t0;
    for (const auto delay : {1000ms, 2000ms, 4000ms, 8000ms, 16000ms, 30000ms, 30000ms}) {
        spacing.Failed(now);
        EXPECT_FALSE(spacing.Due(now + delay - 1ms)) << delay.count();
        EXPECT_TRUE(spacing.Due(now + delay)) << delay.count();
        now += delay;
    }
    spacing.Succeeded();
    EXPECT_TRUE(spacing.Due(now));
    spacing.Failed(now);
    EXPECT_EQ(spacing.Next(), now + 1000ms) << "a success starts the spacing afresh";
}

// A service that takes calls and never answers: the call in flight runs to its time-out, and
// then nothing reaches the service until the next try is due; a link that cannot connect is
// refused at once in the same way.
TEST(LinkFrame, AnUnreachableServiceCostsOneTimeOutThenFailsAtOnce)
{
    for (const bool silent : {true, false}) {
        ScriptedService service;
        TLinkTimeouts t;
        t.call = 300ms;
        t.connect = 300ms;
        t.retryFirst = 20s;
        TfrRPC link(service.reg, t, service.dir.File("logzemra21.txt"));
        ASSERT_TRUE(link.Connect());
        if (silent) {
            service.SetSilent(true);
            EXPECT_FALSE(link.SendFrame(kRequest));
            EXPECT_TRUE(link.ServiceUnreachable());
            EXPECT_FALSE(link.IsConnected());
            link.Disconnect();
        } else {
            // It answers, but the device is not connected: Connect fails after its wait.
            service.connectedAnswer = false;
            link.Disconnect();
            EXPECT_FALSE(link.Connect());
            EXPECT_FALSE(link.ServiceUnreachable()) << "the service answered";
        }
        const int calls = service.calls;
        const auto before = std::chrono::steady_clock::now();
        for (int i = 0; i < 3; ++i) {
            EXPECT_FALSE(link.Connect()) << silent;
            EXPECT_FALSE(link.IsConnected()) << silent;
            EXPECT_FALSE(link.SendFrame(kRequest)) << silent;
        }
        EXPECT_EQ(service.calls, calls) << silent << ": no call before the next try is due";
        EXPECT_GT(link.NextTry() - before, 15s) << silent;
    }
}

TEST(LinkFrame, AServiceThatAnswersAgainIsUsedAtTheNextTry)
{
    ScriptedService service;
    TLinkTimeouts t;
    t.call = 300ms;
    t.retryFirst = 300ms;
    TfrRPC link(service.reg, t, service.dir.File("logzemra21.txt"));
    service.onSendData = [&](const Bytes& p) { service.CallbackLater(20ms, AnswerTo(p)); };
    ASSERT_TRUE(link.Connect());
    service.SetSilent(true);
    EXPECT_FALSE(link.SendFrame(kRequest));
    link.Disconnect();
    service.SetSilent(false);
    EXPECT_FALSE(link.Connect()) << "not yet due";
    std::this_thread::sleep_until(link.NextTry());
    ASSERT_TRUE(link.Connect());
    EXPECT_FALSE(link.ServiceUnreachable());
    EXPECT_TRUE(link.SendFrame(kRequest));
    EXPECT_EQ(link.GetReply(), kReply);
}

TEST(LinkFrame, ComLineModeLetsTheLineSettleBeforeItIsUp)
{
    ScriptedService service;
    service.reg.WriteString(Hive::LocalMachine, kLinkKey, "DriverCOMPort", "COM3");
    TLinkTimeouts t;
    t.settle = 500ms;
    TfrRPC link(service.reg, t, service.dir.File("logzemra21.txt"));
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(link.Connect());
    EXPECT_GE(std::chrono::steady_clock::now() - start, 500ms);
    EXPECT_TRUE(link.IsConnected());
}

TEST(LinkFrame, TheLinkLogGoesUnderTheLogFolderAndNeverThroughALink)
{
    ScriptedService service;
    const std::string logs = service.dir.File("logs");
    std::filesystem::create_directory(logs);
    const char* saved = std::getenv("VENDAXO_LOG_DIR");
    const std::string keep = saved ? saved : "";
    ::setenv("VENDAXO_LOG_DIR", logs.c_str(), 1);
    const std::string log = logs + "/logzemra21.txt";
    const std::string target = service.dir.File("elsewhere.txt");
    platform::test::WriteBytes(target, "kept\r\n");
    {
        TfrRPC link(service.reg); // the log by its own relative name
        service.onSendData = [&](const Bytes& p) { service.Callback(AnswerTo(p)); };
        ASSERT_TRUE(link.Connect());
        ASSERT_TRUE(link.SendFrame(kRequest));
        EXPECT_NE(platform::test::ReadBytes(log).find("RecvData: "), std::string::npos);
        std::filesystem::remove(log);
        std::filesystem::create_symlink(target, log);
        ASSERT_TRUE(link.SendFrame(kRequest));
        link.Disconnect();
    }
    EXPECT_EQ(platform::test::ReadBytes(target), "kept\r\n");
    if (saved)
        ::setenv("VENDAXO_LOG_DIR", keep.c_str(), 1);
    else
        ::unsetenv("VENDAXO_LOG_DIR");
}

} // namespace
