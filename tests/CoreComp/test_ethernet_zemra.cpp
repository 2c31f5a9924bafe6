// The converter transport on a scripted datagram network and the fake clock: the datagram
// layout and sequence numbers, the sockets per port, the registry scan, the answer wait with
// its rounds and its one deadline, the answer reader, and the exchange through the session.

#include "session_fixture.h"

#include "CoreComp/com_zemra.h"
#include "CoreComp/ethernet_zemra.h"
#include "CoreComp/rssess/bus_crc.h"

#include "platform/pty.h"
#include "platform/udp_socket.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <functional>
#include <random>
#include <set>
#include <utility>

namespace {

// What the fake network saw and what it will deliver; shared by the test and the link.
struct NetState
{
    struct Sent
    {
        int socket = -1;
        std::string address;
        uint16_t port = 0;
        Bytes bytes;
    };
    struct Inbound
    {
        int64_t atUs = 0;
        int socket = -1;
        Bytes bytes;
        std::string from;
    };
    explicit NetState(platform::FakeClock& c) : clock(c) {}

    void Deliver(int64_t atMs, Bytes bytes, int socket = -1, std::string from = "127.0.0.2")
    {
        Inbound in{atMs * 1000, socket < 0 ? firstSocket : socket, std::move(bytes),
                   std::move(from)};
        const auto at = std::upper_bound(inbound.begin(), inbound.end(), in.atUs,
                                         [](int64_t t, const Inbound& x) { return t < x.atUs; });
        inbound.insert(at, std::move(in));
    }

    platform::FakeClock& clock;
    int nextSocket = 10;
    int firstSocket = 10;
    bool failOpen = false;
    std::set<uint16_t> failBind;
    std::vector<uint16_t> bound;
    std::vector<int> closed;
    std::vector<Sent> sent;
    std::deque<Inbound> inbound; // by arrival time
    // Called for every datagram sent; may Deliver answers.
    std::function<void(const Sent&)> converter;
};

class FakeNet : public TDatagramNet
{
public:
    explicit FakeNet(std::shared_ptr<NetState> s) : s_(std::move(s)) {}
    int OpenSocket() override { return s_->failOpen ? -1 : s_->nextSocket++; }
    bool Bind(int, uint16_t port) override
    {
        s_->bound.push_back(port);
        return !s_->failBind.contains(port);
    }
    void CloseSocket(int socket) override { s_->closed.push_back(socket); }
    bool SendTo(int socket, const std::string& address, uint16_t port,
                std::span<const uint8_t> datagram) override
    {
        s_->sent.push_back({socket, address, port, Bytes(datagram.begin(), datagram.end())});
        if (s_->converter)
            s_->converter(s_->sent.back());
        return true;
    }
    int WaitReadable(std::span<const int> sockets, uint32_t timeoutMs) override
    {
        const int64_t now = s_->clock.NowMicroseconds();
        for (const auto& in : s_->inbound) {
            if (in.atUs > now + int64_t{timeoutMs} * 1000)
                break;
            const auto at = std::find(sockets.begin(), sockets.end(), in.socket);
            if (at == sockets.end())
                continue;
            if (in.atUs > now)
                s_->clock.AdvanceMicroseconds(in.atUs - now);
            return static_cast<int>(at - sockets.begin());
        }
        s_->clock.AdvanceMilliseconds(timeoutMs);
        return -1;
    }
    std::optional<Received> Receive(int socket, std::span<uint8_t> buffer) override
    {
        const int64_t now = s_->clock.NowMicroseconds();
        for (auto it = s_->inbound.begin(); it != s_->inbound.end() && it->atUs <= now; ++it) {
            if (it->socket != socket)
                continue;
            const std::size_t n = std::min(buffer.size(), it->bytes.size());
            std::copy_n(it->bytes.begin(), n, buffer.begin());
            Received r{n, it->bytes.size() > buffer.size(), it->from};
            s_->inbound.erase(it);
            return r;
        }
        return std::nullopt;
    }

private:
    std::shared_ptr<NetState> s_;
};

Bytes Answer(Bytes payload, uint8_t first = 0x10, uint8_t type = 0x11, uint16_t sequence = 0)
{
    Bytes d;
    for (uint8_t b : {first, static_cast<uint8_t>(payload.size()),
                      static_cast<uint8_t>(sequence >> 8), static_cast<uint8_t>(sequence), type})
        d.push_back(b);
    for (uint8_t b : payload)
        d.push_back(b);
    return d;
}

struct LinkTest : ::testing::Test
{
    LinkTest() : net(std::make_shared<NetState>(clock)), link(clock, std::make_unique<FakeNet>(net))
    {
    }
    int64_t ElapsedMs(int64_t startUs) const { return (clock.NowMicroseconds() - startUs) / 1000; }

    platform::FakeClock clock;
    std::shared_ptr<NetState> net;
    TEthernet_COM_Simulator link;
};

TEST_F(LinkTest, TwoConvertersOnOnePortShareASocketAndTakeConsecutiveNumbers)
{
    ASSERT_TRUE(link.AddTargetText("127.0.0.2:4001"));
    ASSERT_TRUE(link.AddTargetText("127.0.0.3:4001"));
    ASSERT_TRUE(link.AddTargetText("127.0.0.4:4002"));
    link.OpenSockets();
    EXPECT_EQ(link.SocketCount(), 2u);
    EXPECT_EQ(net->bound, (std::vector<uint16_t>{4001, 4002}));

    const Bytes payload{5, 6, 0, 13, 0, 0, 0x9A};
    ASSERT_TRUE(link.Send(payload));
    ASSERT_TRUE(link.Send(payload));
    ASSERT_EQ(net->sent.size(), 6u);
    const std::vector<std::pair<uint8_t, uint8_t>> sequence = {
        {0xFF, 0xFF}, {0x00, 0x00}, {0x00, 0x01}, {0x00, 0x02}, {0x00, 0x03}, {0x00, 0x04}};
    for (std::size_t i = 0; i < net->sent.size(); ++i) {
        const auto& s = net->sent[i];
        Bytes expected;
        for (uint8_t b :
             {uint8_t{0x10}, uint8_t{7}, sequence[i].first, sequence[i].second, uint8_t{0x10}})
            expected.push_back(b);
        for (uint8_t b : payload)
            expected.push_back(b);
        EXPECT_EQ(s.bytes, expected) << i;
        EXPECT_EQ(s.socket, i % 3 == 2 ? 11 : 10) << i;
        EXPECT_EQ(s.port, i % 3 == 2 ? 4002 : 4001) << i;
    }
    EXPECT_EQ(net->sent[1].address, "127.0.0.3");
}

TEST_F(LinkTest, ANumberIsUsedUpWhereNothingCanBeSent)
{
    net->failBind = {4001};
    ASSERT_TRUE(link.AddTargetText("127.0.0.2:4001"));
    ASSERT_TRUE(link.AddTargetText("127.0.0.3:4002"));
    link.OpenSockets();
    EXPECT_TRUE(link.IsOpen()) << "an unbound converter still counts as open";
    ASSERT_TRUE(link.Send(Bytes{1, 2, 3}));
    ASSERT_EQ(net->sent.size(), 1u);
    EXPECT_EQ(net->sent[0].port, 4002);
    EXPECT_EQ(net->sent[0].bytes[2], 0x00) << "0xFFFF went to the converter that was not sent to";
    EXPECT_EQ(net->sent[0].bytes[3], 0x00);
}

TEST_F(LinkTest, TargetTextsOutsideTheFormAreRefused)
{
    for (const char* bad : {"127.0.0.2", "127.0.0.2:", "127.0.0.2:x", "127.0.0.2:70000",
                            "127.0.0.2:0", "127.0.0.2:-1", "127.0.0.2:40 01", "127.0.0.2:4001x"}) {
        EXPECT_FALSE(link.AddTargetText(bad)) << bad;
    }
    EXPECT_EQ(link.TargetCount(), 0u);
    EXPECT_TRUE(link.AddTargetText("10.1.2.3:65535"));
    EXPECT_TRUE(link.AddTargetText("10.1.2.3:1"));
}

TEST_F(LinkTest, PayloadsTheLengthByteCannotHoldAreNotSent)
{
    ASSERT_TRUE(link.AddTargetText("127.0.0.2:4001"));
    link.OpenSockets();
    EXPECT_FALSE(link.Send(Bytes(256, 0x55)));
    EXPECT_TRUE(net->sent.empty());
    EXPECT_EQ(link.SequenceNumber(), 0xFFFF);
    ASSERT_TRUE(link.Send(Bytes(255, 0x55)));
    ASSERT_EQ(net->sent.size(), 1u);
    EXPECT_EQ(net->sent[0].bytes[1], 255);
    EXPECT_EQ(net->sent[0].bytes.size(), 260u);
}

TEST_F(LinkTest, SocketsThatWereNeverMadeAreNeverClosed)
{
    net->failOpen = true;
    ASSERT_TRUE(link.AddTargetText("127.0.0.2:4001"));
    link.OpenSockets();
    link.CloseSockets();
    link.CloseSockets();
    EXPECT_TRUE(net->closed.empty());

    net->failOpen = false;
    link.OpenSockets();
    link.CloseSockets();
    link.CloseSockets();
    EXPECT_EQ(net->closed, std::vector<int>{10}) << "closed once, and only what was made";
    EXPECT_FALSE(link.IsOpen());
}

TEST_F(LinkTest, DrainingBeforeASendEndsWhileDatagramsKeepComing)
{
    ASSERT_TRUE(link.AddTargetText("127.0.0.2:4001"));
    link.OpenSockets();
    for (int i = 0; i < 1000; ++i)
        net->Deliver(0, Answer({1, 2, 3}));
    ASSERT_TRUE(link.Send(Bytes{1}));
    EXPECT_EQ(net->inbound.size(), 1000u - TEthernet_COM_Simulator::kMaxDrained);
    EXPECT_EQ(net->sent.size(), 1u);
}

// Arrivals in ms after the wait starts; the wait is 600 ms unless said.
struct ReceiveCase
{
    const char* name;
    std::vector<std::pair<int64_t, Bytes>> arrivals;
    Bytes expected;
    int64_t endsAfterMs; // when the wait is over, on the fake clock
    int32_t wait = 600;
};

TEST_F(LinkTest, TheWaitTakesTheFirstAnswerAndIgnoresTheRest)
{
    const Bytes frame{5, 5, 0, 1, 2, 0x77};
    const std::vector<ReceiveCase> cases = {
        {"an answer", {{40, Answer(frame)}}, frame, 40},
        {"not before the first round", {{0, Answer(frame)}}, frame, 15},
        {"a notice, then the answer",
         {{5, Answer({9, 9, 9, 9, 9, 9}, 0x10, 0x12)}, {20, Answer(frame)}},
         frame,
         30},
        {"notices at 100, 200 and 300 do not shorten the wait",
         {{100, Answer({9}, 0x10, 0x12)},
          {200, Answer({9}, 0x1F, 0x02)},
          {300, Answer({9}, 0x10, 0x32)},
          {350, Answer(frame)}},
         frame,
         350},
        {"a foreign datagram, then the answer",
         {{5, Answer({9, 9, 9, 9, 9, 9}, 0x20)}, {50, Answer(frame)}},
         frame,
         50},
        {"an empty payload ends the wait", {{30, Answer({})}, {40, Answer(frame)}}, {}, 30},
        {"only the bytes that arrived",
         {{30, Bytes{0x10, 0xFF, 0, 0, 0x11, 0xAA, 0xBB}}},
         {0xAA, 0xBB},
         30},
        {"a short datagram is ignored",
         {{30, Bytes{0x10, 0xFF}}, {35, Bytes{0x10, 0, 0, 0}}, {60, Answer(frame)}},
         frame,
         60},
        {"a datagram past the buffer is ignored",
         {{30,
           [] {
               Bytes big = Answer(Bytes(255, 0x44));
               big.resize(300, 0x44);
               return big;
           }()},
          {60, Answer(frame)}},
         frame,
         60},
        {"the other high nibbles",
         {{1, Answer(frame, 0x00)}, {2, Answer(frame, 0xF1)}, {3, Answer(frame, 0x21)}},
         {},
         600},
        {"nothing", {}, {}, 600},
        {"a notice at the deadline", {{595, Answer({9}, 0x10, 0x12)}}, {}, 615},
        {"the whole wait follows the first round", {{612, Answer(frame)}}, frame, 612},
        {"a wait of 0 still makes one round", {{5, Answer(frame)}}, {}, 15, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        net->inbound.clear();
        link.ClearTargets();
        ASSERT_TRUE(link.AddTargetText("127.0.0.2:4001"));
        link.OpenSockets();
        const int socket = net->nextSocket - 1;
        link.SetTimeout(c.wait);
        const int64_t start = clock.NowMicroseconds();
        for (const auto& [ms, bytes] : c.arrivals)
            net->Deliver(start / 1000 + ms, bytes, socket);
        EXPECT_EQ(link.Receive(), c.expected);
        const int64_t elapsed = ElapsedMs(start);
        EXPECT_GE(elapsed, std::min<int64_t>(c.endsAfterMs, c.wait));
        EXPECT_LE(elapsed, c.endsAfterMs + 15);
        EXPECT_LE(elapsed, c.wait + 15) << "past the wait and one round";
    }
}

TEST_F(LinkTest, OnlyTheConvertersAddressesAreHeard)
{
    const Bytes frame{5, 5, 0, 1, 2, 0x77};
    const Bytes forged{5, 5, 0, 9, 9, 0x11};
    std::vector<std::string> notes;
    link.SetLog([&](const std::string& line) { notes.push_back(line); });
    ASSERT_TRUE(link.AddTargetText("127.0.0.2:4001"));
    link.OpenSockets();
    link.SetTimeout(600);
    const int64_t start = clock.NowMicroseconds() / 1000;
    // Another host on the network, or another address of this one, answers first.
    net->Deliver(start + 20, Answer(forged), -1, "127.0.0.9");
    net->Deliver(start + 30, Answer(forged), -1, "10.0.0.2");
    net->Deliver(start + 40, Answer(frame), -1, "127.0.0.2");
    EXPECT_EQ(link.Receive(), frame);
    ASSERT_EQ(notes.size(), 2u);
    EXPECT_NE(notes[0].find("127.0.0.9"), std::string::npos) << notes[0];
    EXPECT_NE(notes[1].find("10.0.0.2"), std::string::npos) << notes[1];

    net->Deliver(clock.NowMicroseconds() / 1000 + 20, Answer(forged), -1, "127.0.0.3");
    EXPECT_TRUE(link.Receive().empty()) << "a stranger alone is no answer";
}

// The same on real sockets: another address of this machine reaches the port the link binds,
// and is not heard; the converter's own address is.
TEST(LinkOnLoopback, ADatagramFromAnotherLocalAddressIsIgnoredAndLogged)
{
    const int converter = platform::UdpOpen();
    const int stranger = platform::UdpOpen();
    ASSERT_GE(converter, 0);
    ASSERT_GE(stranger, 0);
    ASSERT_TRUE(platform::UdpBind(converter, "127.0.0.2", 0));
    ASSERT_TRUE(platform::UdpBind(stranger, "127.0.0.9", 0));
    const uint16_t port = platform::UdpLocalPort(converter);
    TEthernet_COM_Simulator link(platform::SystemClock(), nullptr);
    std::vector<std::string> notes;
    link.SetLog([&](const std::string& line) { notes.push_back(line); });
    ASSERT_TRUE(link.AddTargetText("127.0.0.2:" + std::to_string(port)));
    link.OpenSockets();
    link.SetTimeout(300);
    const Bytes forged{5, 5, 0, 9, 9, 0x11};
    const Bytes frame{5, 5, 0, 1, 2, 0x77};
    ASSERT_TRUE(platform::UdpSendTo(stranger, "127.0.0.1", port, Answer(forged)));
    EXPECT_TRUE(link.Receive().empty());
    ASSERT_EQ(notes.size(), 1u);
    EXPECT_NE(notes[0].find("127.0.0.9"), std::string::npos) << notes[0];
    // The converter may answer from another port than the one it listens on.
    const int otherPort = platform::UdpOpen();
    ASSERT_TRUE(platform::UdpBind(otherPort, "127.0.0.2", 0));
    ASSERT_TRUE(platform::UdpSendTo(otherPort, "127.0.0.1", port, Answer(frame)));
    EXPECT_EQ(link.Receive(), frame);
    link.CloseSockets();
    platform::UdpClose(otherPort);
    platform::UdpClose(converter);
    platform::UdpClose(stranger);
}

// A converter that echoes the request's number (or writes a constant there) answering each
// request after 10 ms with a payload that names the request.
struct EchoingConverter
{
    EchoingConverter(NetState& net, bool echoes) : net(net), echoes(echoes) {}
    void operator()(const NetState::Sent& s)
    {
        const uint16_t number = static_cast<uint16_t>(s.bytes[2] << 8 | s.bytes[3]);
        if (silent)
            return;
        net.Deliver(net.clock.NowMicroseconds() / 1000 + 10,
                    Answer({s.bytes[5]}, 0x10, 0x11, echoes ? number : uint16_t{0x1234}), s.socket);
    }
    NetState& net;
    bool echoes;
    bool silent = false;
};

TEST_F(LinkTest, AConverterThatEchoesTheNumberIsTrustedAndItsStaleAnswersIgnored)
{
    for (const bool echoes : {true, false}) {
        SCOPED_TRACE(echoes ? "echoes" : "a constant number");
        link.ClearTargets();
        ASSERT_TRUE(link.AddTargetText("127.0.0.2:4001"));
        link.OpenSockets();
        link.SetTimeout(300);
        EchoingConverter converter(*net, echoes);
        net->converter = std::ref(converter);
        for (uint8_t i = 1; i <= 3; ++i) {
            ASSERT_TRUE(link.Send(Bytes{i}));
            EXPECT_EQ(link.Receive(), Bytes{i});
        }
        EXPECT_EQ(link.EchoTrusted(), echoes);
        // The answer to request 2 comes again, late, before request 4's own.
        const uint16_t stale = static_cast<uint16_t>(link.SequenceNumber() - 2);
        converter.silent = true;
        ASSERT_TRUE(link.Send(Bytes{4}));
        const int64_t now = clock.NowMicroseconds() / 1000;
        const int socket = net->nextSocket - 1;
        net->Deliver(now + 5, Answer({2}, 0x10, 0x11, echoes ? stale : uint16_t{0x1234}), socket);
        net->Deliver(now + 20,
                     Answer({4}, 0x10, 0x11,
                            echoes ? static_cast<uint16_t>(link.SequenceNumber() - 1) : 0x1234),
                     socket);
        // Without the echo nothing tells them apart: the first is taken, as the converter's
        // answers always were.
        EXPECT_EQ(link.Receive(), echoes ? Bytes{4} : Bytes{2});
        net->inbound.clear();
        net->converter = nullptr;
    }
}

TEST_F(LinkTest, AnAnswerOwedWithoutTheEchoIsWaitedForBeforeTheNextSend)
{
    // The answer to a request whose wait ended without one comes this long after that end.
    struct Case
    {
        int64_t lateMs; // -1: never
        int64_t sendHeldMs;
    };
    const Case cases[] = {{100, 100}, {900, 900}, {1040, 1040}, {-1, 1050}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.lateMs);
        link.ClearTargets();
        ASSERT_TRUE(link.AddTargetText("127.0.0.2:4001"));
        link.OpenSockets();
        link.SetTimeout(300);
        EchoingConverter converter(*net, false);
        converter.silent = true;
        net->converter = std::ref(converter);
        ASSERT_TRUE(link.Send(Bytes{1}));
        EXPECT_TRUE(link.Receive().empty());
        EXPECT_EQ(link.OwedAnswers(), 1);
        if (c.lateMs >= 0)
            net->Deliver(clock.NowMicroseconds() / 1000 + c.lateMs, Answer({1}),
                         net->nextSocket - 1);
        converter.silent = false;
        const int64_t before = clock.NowMicroseconds();
        ASSERT_TRUE(link.Send(Bytes{2}));
        EXPECT_EQ(ElapsedMs(before), c.sendHeldMs);
        EXPECT_EQ(link.OwedAnswers(), 0);
        EXPECT_EQ(link.Receive(), Bytes{2}) << "the late answer is never taken for this one";
        net->inbound.clear();
        net->converter = nullptr;
    }

    // A trusted converter's stale answers are told apart by their number: no wait.
    link.ClearTargets();
    ASSERT_TRUE(link.AddTargetText("127.0.0.2:4001"));
    link.OpenSockets();
    EchoingConverter converter(*net, true);
    net->converter = std::ref(converter);
    for (uint8_t i = 1; i <= 2; ++i) {
        ASSERT_TRUE(link.Send(Bytes{i}));
        ASSERT_EQ(link.Receive(), Bytes{i});
    }
    ASSERT_TRUE(link.EchoTrusted());
    converter.silent = true;
    ASSERT_TRUE(link.Send(Bytes{3}));
    EXPECT_TRUE(link.Receive().empty());
    EXPECT_EQ(link.OwedAnswers(), 0);
    const int64_t before = clock.NowMicroseconds();
    ASSERT_TRUE(link.Send(Bytes{4}));
    EXPECT_EQ(ElapsedMs(before), 0);
    net->converter = nullptr;
}

// Without the echo the answers are owed per unit, as on the serial line: a send waits only
// for the owed answers it could meet, those of its own unit and those that may come from any
// unit.  A late answer from another unit, taken during a wait, pays that unit's debt and leaves
// the unit asked owing.
TEST_F(LinkTest, WithoutTheEchoASendWaitsOnlyForTheAnswersItCouldMeet)
{
    const Bytes toA{5, 6, 0, 13, 0, 0, 0};
    const Bytes toB{6, 6, 0, 13, 0, 0, 0};
    const Bytes anyUnit{5, 6, 0, 15, 0, 0, 0};
    const Bytes codedTo15{0x85, 6, 9, 15, 0, 0, 0}; // its command is coded: a unit of its own
    const Bytes broadcast{0, 6, 0, 13, 0, 0, 0};
    struct Case
    {
        const char* name;
        Bytes silent; // asked, and its answer does not come within the wait
        Bytes next;
        bool held;
    };
    const Case cases[] = {
        {"another unit", toA, toB, false},
        {"the same unit", toA, toA, true},
        {"after an answer from any unit", anyUnit, toB, true},
        {"an answer from any unit", toA, anyUnit, true},
        {"a coded frame", codedTo15, toB, false},
        {"a broadcast", toA, broadcast, true},
        {"no bus frame", Bytes{1}, toB, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        clock.AdvanceMilliseconds(2000); // what the case before owed is past
        link.ClearTargets();
        ASSERT_TRUE(link.AddTargetText("127.0.0.2:4001"));
        link.OpenSockets();
        link.SetTimeout(300);
        const int heldBefore = link.HeldSends();
        ASSERT_TRUE(link.Send(c.silent));
        EXPECT_TRUE(link.Receive().empty());
        EXPECT_EQ(link.OwedAnswers(), 1);
        const int64_t before = clock.NowMicroseconds();
        ASSERT_TRUE(link.Send(c.next));
        EXPECT_EQ(ElapsedMs(before), c.held ? 1050 : 0);
        EXPECT_EQ(link.HeldSends() - heldBefore, c.held ? 1 : 0);
        EXPECT_EQ(link.OwedAnswers(), c.held ? 0 : 1);
    }

    // B owes; its late answer comes while A waits for its own.
    link.ClearTargets();
    ASSERT_TRUE(link.AddTargetText("127.0.0.2:4001"));
    link.OpenSockets();
    link.SetTimeout(300);
    const int socket = net->nextSocket - 1;
    ASSERT_TRUE(link.Send(toB));
    EXPECT_TRUE(link.Receive().empty());
    ASSERT_TRUE(link.Send(toA));
    const Bytes lateB{6, 6, 0, 44, 223, 0, 0};
    net->Deliver(clock.NowMicroseconds() / 1000 + 20, Answer(lateB), socket);
    EXPECT_EQ(link.Receive(), lateB) << "the session's address check refuses it";
    EXPECT_EQ(link.OwedAnswers(), 1) << "B's debt is paid, A's answer is owed";
    int64_t before = clock.NowMicroseconds();
    ASSERT_TRUE(link.Send(toB));
    EXPECT_EQ(ElapsedMs(before), 0);
    EXPECT_TRUE(link.Receive().empty());
    before = clock.NowMicroseconds();
    ASSERT_TRUE(link.Send(toA));
    EXPECT_GE(ElapsedMs(before), 700) << "A's answer may still come";
    net->inbound.clear();
}

TEST(AnswerPayload, ReadsNoMoreThanArrivedAndNothingFromOthers)
{
    struct Case
    {
        Bytes datagram;
        bool truncated;
        std::optional<Bytes> payload;
    };
    const std::vector<Case> cases = {
        {{0x10, 2, 0, 0, 0x11, 7, 8}, false, Bytes{7, 8}},
        {{0x1F, 2, 9, 9, 0x01, 7, 8, 9}, false, Bytes{7, 8}},
        {{0x10, 0xFF}, false, std::nullopt},
        {{0x10, 0xFF, 0, 0, 0x11}, false, Bytes{}},
        {{0x10, 9, 0, 0, 0x11, 1, 2}, false, Bytes{1, 2}},
        {{0x10, 2, 0, 0, 0x12, 7, 8}, false, std::nullopt},
        {{0x10, 2, 0, 0, 0xF2, 7, 8}, false, std::nullopt},
        {{0x20, 2, 0, 0, 0x11, 7, 8}, false, std::nullopt},
        {{0x10, 2, 0, 0, 0x11, 7, 8}, true, std::nullopt},
    };
    for (const auto& c : cases)
        EXPECT_EQ(AnswerPayload(c.datagram, c.truncated), c.payload)
            << ::testing::PrintToString(c.datagram);
}

// --- through the session, with the registry and the fake clock it was given

class EthernetSessionTest : public SessionTest
{
protected:
    static constexpr int kPort = 3;
    static inline const std::string kPortKey = std::string(kBusKey) + "\\PORT3";
    static inline const std::string kIpKey = kPortKey + "\\ETHERNETIP";

    void SetUp() override
    {
        SessionTest::SetUp();
        net_ = std::make_shared<NetState>(clock_);
        SetString(kPortKey, "WORKTYPE", "ObmenEthernet");
    }

    TRSSession& MakeEthernetSession(bool builtIn = false)
    {
        TRSSession::Collaborators c = Collaborators(nullptr);
        if (builtIn)
            c.transportFactory = {};
        else
            c.transportFactory = [this](TRSSession& s, TRSSession::TransportKind kind) {
                kinds_.push_back(kind);
                std::unique_ptr<TCommZemraAbstract> made;
                if (kind == TRSSession::TransportKind::Ethernet)
                    made = std::make_unique<TEthernetZemra>(&s, std::make_unique<FakeNet>(net_));
                return made; // the others: the session's serial transport
            };
        session_ = std::make_unique<TRSSession>(std::move(c));
        session_->SetComPort(kPort);
        return *session_;
    }
    TEthernetZemra& Transport() { return dynamic_cast<TEthernetZemra&>(session_->Transport()); }

    // A converter that answers each request with the unit's answer after afterMs.
    void AnswerWith(Bytes frame, int64_t afterMs)
    {
        frame.push_back(corecomp::BusCrc8(frame));
        net_->converter = [this, frame, afterMs](const NetState::Sent& s) {
            net_->Deliver(clock_.NowMicroseconds() / 1000 + afterMs, Answer(frame), s.socket);
        };
    }

    std::shared_ptr<NetState> net_;
};

TEST_F(EthernetSessionTest, TheRegistryScanTakesTheConvertersUpToTheFirstBadValue)
{
    SetString(kIpKey, "A_IPETHERNET1", "127.0.0.2:4001");
    SetString(kIpKey, "Comment", "10.0.0.1:5000");
    SetString(kIpKey, "IPETHERNET2", "127.0.0.3:4001");
    SetString(kIpKey, "IPETHERNET3", "127.0.0.4");
    SetString(kIpKey, "IPETHERNET4", "127.0.0.5:4002");
    MakeEthernetSession();
    ASSERT_EQ(kinds_.back(), TRSSession::TransportKind::Ethernet);
    EXPECT_TRUE(session_->IsEthernet());
    ASSERT_TRUE(session_->ReopenPort());
    EXPECT_EQ(Transport().Link().TargetCount(), 2u);
    EXPECT_EQ(Transport().Link().SocketCount(), 1u);
    EXPECT_EQ(Transport().Handle(), kInvalidHandle);

    // Each open reads the list again.
    SetString(kIpKey, "IPETHERNET3", "127.0.0.4:70000");
    ASSERT_TRUE(session_->ReopenPort());
    EXPECT_EQ(Transport().Link().TargetCount(), 2u) << "a port out of range ends the scan";
    registry_->DeleteValue(platform::Hive::LocalMachine, kIpKey, "IPETHERNET3");
    ASSERT_TRUE(session_->ReopenPort());
    EXPECT_EQ(Transport().Link().TargetCount(), 3u);
}

TEST_F(EthernetSessionTest, WithoutConvertersTheLineDoesNotOpen)
{
    MakeEthernetSession();
    EXPECT_FALSE(session_->ReopenPort());
    EXPECT_TRUE(Transport().IsClosed());
    EXPECT_FALSE(session_->SendCommand({5, 6, 0, 13, 0, 0}, true, false, 0, 0));
    EXPECT_TRUE(net_->sent.empty());
}

TEST_F(EthernetSessionTest, TheAnswerBudgetIsTheReadConstantPlusTheConvertersWait)
{
    SetString(kIpKey, "IPETHERNET1", "127.0.0.2:4001");
    struct Case
    {
        const char* name;
        std::optional<int32_t> ethWait;
        const char* ethWaitText;
        int32_t expected;
    };
    const std::vector<Case> cases = {
        {"missing", std::nullopt, nullptr, 600 + 500},
        {"set", 80, nullptr, 600 + 80},
        {"zero", 0, nullptr, 600},
        {"negative", -5, nullptr, 600 + 500},
        {"not a number", std::nullopt, "80", 600 + 500},
        {"a week, cut to a minute", 604800000, nullptr, 600 + 60000},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        registry_->DeleteValue(platform::Hive::LocalMachine, kPortKey, "ETHWAITTIME");
        if (c.ethWait)
            registry_->WriteDword(platform::Hive::LocalMachine, kPortKey, "ETHWAITTIME",
                                  *c.ethWait);
        if (c.ethWaitText)
            SetString(kPortKey, "ETHWAITTIME", c.ethWaitText);
        MakeEthernetSession();
        net_->sent.clear();
        const int64_t start = clock_.NowMicroseconds();
        session_->SetRetryCount(0);
        EXPECT_FALSE(session_->SendCommand({5, 6, 0, 13, 0, 0}, true, false, 0, 0));
        EXPECT_EQ(Transport().Link().Timeout(), c.expected);
        ASSERT_EQ(net_->sent.size(), 1u);
        const int64_t waited = (clock_.NowMicroseconds() - start) / 1000;
        // The pause before the exchange and the one after it come on top of the wait.
        EXPECT_GE(waited, c.expected);
        EXPECT_LE(waited, c.expected + 15 + 5 + 4);
    }
}

TEST_F(EthernetSessionTest, AnExchangeGoesOutAsOneDatagramAndTakesTheAnswer)
{
    SetString(kIpKey, "IPETHERNET1", "127.0.0.2:4001");
    SetString(kIpKey, "IPETHERNET2", "127.0.0.3:4001");
    MakeEthernetSession();
    AnswerWith({5, 6, 0, 44, 223, 0}, 3);
    ASSERT_TRUE(session_->SendCommand({5, 6, 0, 13, 0, 0}, true, false, 0, 0));
    Bytes answer{5, 6, 0, 44, 223, 0};
    answer.push_back(corecomp::BusCrc8(answer));
    EXPECT_EQ(session_->Answer(), answer);
    ASSERT_EQ(net_->sent.size(), 2u) << "one datagram per converter, the second answer drained";
    Bytes request{5, 6, 0, 13, 0, 0};
    request.push_back(corecomp::BusCrc8(request));
    EXPECT_EQ(Bytes(net_->sent[0].bytes.begin() + 5, net_->sent[0].bytes.end()), request);

    // The unit's answer through the second converter is still waiting; the next send drops it.
    ASSERT_EQ(net_->inbound.size(), 1u);
    ASSERT_TRUE(session_->SendCommand({5, 6, 0, 13, 0, 0}, true, false, 0, 0));
    EXPECT_EQ(net_->sent.size(), 4u);
}

TEST_F(EthernetSessionTest, AFrameThatWouldWrapTheLengthByteFailsAtOnce)
{
    SetString(kIpKey, "IPETHERNET1", "127.0.0.2:4001");
    MakeEthernetSession();
    ASSERT_TRUE(session_->ReopenPort());
    TEthernetZemra& t = Transport();
    uint32_t n = 0;
    const Bytes frame(256, 0x11);
    ASSERT_TRUE(t.Write(frame.data(), 256, n, nullptr));
    t.FlushOut();
    const int64_t start = clock_.NowMicroseconds();
    t.FetchIn();
    EXPECT_EQ(clock_.NowMicroseconds(), start) << "nothing went out, nothing to wait for";
    uint8_t byte = 0;
    EXPECT_FALSE(t.Read(&byte, 1, n, nullptr));
    EXPECT_EQ(n, 0u);
    EXPECT_TRUE(net_->sent.empty());
}

// The fault that let a read save shifted blocks: over a lossy network that drops requests,
// spoils answers and answers some of them later than the whole wait, every step of a full
// image read is answered with its own bytes, or the read fails.  Memory-read answers name no
// offset, so only the exchange can keep them apart.  Both kinds of converter: one that echoes
// the request's number and one that writes a constant there.
TEST_F(EthernetSessionTest, LateAnswersNeverShiftAReadOverALossyNetwork)
{
    SetString(kIpKey, "IPETHERNET1", "127.0.0.2:4001");
    registry_->WriteDword(platform::Hive::LocalMachine, kPortKey, "ETHWAITTIME", 100);
    constexpr int kSteps = 960;
    Bytes memory(kSteps * 8);
    std::mt19937 fill(9);
    for (uint8_t& b : memory)
        b = static_cast<uint8_t>(fill());
    for (const bool echoes : {true, false}) {
        SCOPED_TRACE(echoes ? "echoes" : "a constant number");
        MakeEthernetSession();
        TRSSession& s = *session_;
        s.SetRetryCount(6);
        std::mt19937 random(echoes ? 21 : 22);
        int late = 0;
        net_->converter = [&](const NetState::Sent& sent) {
            const Bytes frame(sent.bytes.begin() + 5, sent.bytes.end());
            if (frame.size() < 8 || frame[3] != 0x43)
                return;
            const size_t offset = frame[4] | size_t{frame[5]} << 8;
            Bytes body{5, 0, 0x44, 8};
            body.insert(body.end(), memory.begin() + static_cast<std::ptrdiff_t>(offset),
                        memory.begin() + static_cast<std::ptrdiff_t>(offset + 8));
            body[1] = static_cast<uint8_t>(body.size());
            body.push_back(corecomp::BusCrc8(body));
            const int draw = static_cast<int>(random() % 100);
            if (draw < 5)
                return; // dropped
            if (draw < 10)
                body[6] ^= 0x40; // spoiled on the way
            const int64_t delayMs = draw < 13 ? (++late, 1200) : 8;
            const uint16_t number =
                echoes ? static_cast<uint16_t>(sent.bytes[2] << 8 | sent.bytes[3]) : 0;
            net_->Deliver(clock_.NowMicroseconds() / 1000 + delayMs,
                          Answer(body, 0x10, 0x11, number), sent.socket);
        };
        int wrong = 0;
        int done = 0;
        for (; done < kSteps; ++done) {
            const uint16_t offset = static_cast<uint16_t>(done * 8);
            const Bytes request{5,
                                8,
                                0,
                                0x43,
                                static_cast<uint8_t>(offset & 0xFF),
                                static_cast<uint8_t>(offset >> 8),
                                0,
                                8};
            if (!s.SendCommand(request, true, false, 0, 0))
                break; // the read fails with its message: allowed
            const Bytes& a = s.Answer();
            ASSERT_EQ(a.size(), 13u);
            if (!std::equal(a.begin() + 4, a.begin() + 12, memory.begin() + offset))
                ++wrong;
        }
        EXPECT_EQ(wrong, 0) << "steps answered with another step's bytes";
        EXPECT_EQ(done, kSteps) << "seven tries outlast these faults";
        EXPECT_GT(late, 20) << "the late answers were there";
        EXPECT_EQ(Transport().Link().EchoTrusted(), echoes);
        net_->converter = nullptr;
        net_->inbound.clear();
    }
}

// A bus search (one try at 127 and 1..125, the version asked of each unit found) through a
// converter that writes a constant number where the request's belongs takes no longer than
// through one that echoes it: a silent address owes its answer, and no other address waits
// for it.  One unit's answer comes late once, during the requests to other addresses, which
// refuse it.  Timed on the fake clock.
TEST_F(EthernetSessionTest, ASearchWithoutTheEchoTakesNoLongerThanWithIt)
{
    SetString(kIpKey, "IPETHERNET1", "127.0.0.2:4001");
    registry_->WriteDword(platform::Hive::LocalMachine, kPortKey, "ETHWAITTIME", 100);
    SetDword("CmdTimeoutConstant", 120);
    int64_t tookMs[2] = {};
    for (const bool echoes : {true, false}) {
        SCOPED_TRACE(echoes ? "echoes" : "a constant number");
        MakeEthernetSession();
        TRSSession& s = *session_;
        bool lateOnce = true;
        net_->converter = [&](const NetState::Sent& sent) {
            const Bytes frame(sent.bytes.begin() + 5, sent.bytes.end());
            const uint8_t unit = frame[0] & 0x7F;
            if (frame.size() < 7 || (unit != 3 && unit != 9 && unit != 77))
                return;
            Bytes body{unit, 6, static_cast<uint8_t>(frame[3] == 13 ? 0 : 62), 44, 223, 0};
            body.push_back(corecomp::BusCrc8(body));
            const bool late = unit == 9 && std::exchange(lateOnce, false);
            const uint16_t number =
                echoes ? static_cast<uint16_t>(sent.bytes[2] << 8 | sent.bytes[3]) : 0;
            net_->Deliver(clock_.NowMicroseconds() / 1000 + (late ? 1300 : 20),
                          Answer(body, 0x10, 0x11, number), sent.socket);
        };
        const int64_t start = clock_.NowMicroseconds();
        std::vector<int> found;
        s.SetRetryCount(0);
        std::vector<uint8_t> order{127};
        for (uint8_t a = 1; a <= 125; ++a)
            order.push_back(a);
        for (const uint8_t a : order) {
            if (s.SendCommand({a, 6, 0, 13, 0, 0}, true, false, 0, 0) &&
                s.SendCommand({a, 6, 0, 63, 0x29, 0}, true, false, 0, 0))
                found.push_back(a);
        }
        EXPECT_EQ(found, (std::vector<int>{3, 77})) << "9's answer came too late";
        EXPECT_EQ(Transport().Link().HeldSends(), 0);
        ASSERT_TRUE(s.SendCommand({9, 6, 0, 13, 0, 0}, true, false, 0, 0));
        EXPECT_EQ(s.Answer().at(0), 9);
        tookMs[echoes ? 0 : 1] = (clock_.NowMicroseconds() - start) / 1000;
        EXPECT_EQ(Transport().Link().EchoTrusted(), echoes);
        net_->converter = nullptr;
        net_->inbound.clear();
    }
    EXPECT_LE(tookMs[1] * 10, tookMs[0] * 13)
        << tookMs[1] << " ms without the echo, " << tookMs[0] << " ms with it";
}

TEST_F(EthernetSessionTest, TheBuiltInFactoryMakesTheConverterTransport)
{
    SetString(kIpKey, "IPETHERNET1", "127.0.0.2:4001");
    MakeEthernetSession(true);
    EXPECT_TRUE(session_->IsEthernet());
    EXPECT_NE(dynamic_cast<TEthernetZemra*>(&session_->Transport()), nullptr);
    SetString(kPortKey, "WORKTYPE", "ObmenComPort");
    session_->SetComPort(4);
    session_->SetComPort(kPort);
    EXPECT_FALSE(session_->IsEthernet());
    EXPECT_NE(dynamic_cast<TComZemra*>(&session_->Transport()), nullptr);
}

TEST_F(EthernetSessionTest, TheSerialTransportFindsItsPortInTheSessionsRegistry)
{
    SetString(kPortKey, "WORKTYPE", "ObmenComPort");
    platform::PseudoTerminal pty;
    ASSERT_TRUE(pty.Open());
    MakeEthernetSession(true);
    EXPECT_FALSE(session_->ReopenPort()) << "COM3 is listed nowhere yet";
    SetString(platform::kSerialCommKey, pty.SlavePath(), "COM3");
    EXPECT_TRUE(session_->ReopenPort());
}

} // namespace
