// The simulated converter on loopback UDP: its datagrams, its registry values and its command
// line, then the real session through it with every converter fault injected.

#include "sim/options.h"
#include "sim/udp_converter.h"

#include "CoreComp/ethernet_zemra.h"
#include "CoreComp/rssess/rs_session.h"
#include "platform/clock.h"
#include "platform/registry.h"
#include "platform/udp_socket.h"
#include "tests/platform/temp_dir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <random>

namespace {

using platform::Hive;
using sim::Bytes;

const std::string kPortKey = "SOFTWARE\\KAVEX\\ZEMRA\\RS\\PORT12";
const std::string kIpKey = kPortKey + "\\ETHERNETIP";

Bytes RequestDatagram(uint16_t sequence, const Bytes& frame)
{
    Bytes d;
    for (uint8_t b :
         {uint8_t{0x10}, static_cast<uint8_t>(frame.size()), static_cast<uint8_t>(sequence >> 8),
          static_cast<uint8_t>(sequence), uint8_t{0x10}})
        d.push_back(b);
    for (uint8_t b : frame)
        d.push_back(b);
    return d;
}

// A client socket on 127.0.0.1 with a free port.
struct Client
{
    Client()
    {
        socket = platform::UdpOpen();
        platform::UdpBind(socket, "127.0.0.1", 0);
    }
    ~Client() { platform::UdpClose(socket); }
    void Send(const sim::ConverterAddress& to, const Bytes& bytes)
    {
        ASSERT_TRUE(platform::UdpSendTo(socket, to.address, to.port, bytes));
    }
    // The next datagram within the time, or nothing.
    std::optional<Bytes> Next(uint32_t ms)
    {
        const int sockets[] = {socket};
        if (platform::UdpWaitReadable(sockets, ms) != 0)
            return std::nullopt;
        Bytes buffer(1024);
        const auto d = platform::UdpReceive(socket, buffer);
        if (!d)
            return std::nullopt;
        buffer.resize(d->size);
        return buffer;
    }
    int socket = -1;
};

struct ConverterTest : ::testing::Test
{
    ConverterTest() { bus.AddUnit(5, 44, 223); }
    sim::UdpConverterOptions Options()
    {
        sim::UdpConverterOptions o;
        o.converters = {{"127.0.0.2", 0}};
        return o;
    }
    platform::test::TempDir dir;
    sim::Bus bus{sim::BusTiming{115200}};
};

TEST_F(ConverterTest, AnswersWithTheRequestsSequenceNumberAndDropsOtherForms)
{
    sim::UdpConverter converter(bus, Options());
    std::string error;
    ASSERT_TRUE(converter.Start(&error)) << error;
    const sim::ConverterAddress at = converter.Converters().at(0);
    ASSERT_NE(at.port, 0);
    Client client;

    const Bytes typeQuery = sim::WithCrc({5, 6, 0, 13, 0, 0});
    const Bytes good = RequestDatagram(0xFFFF, typeQuery);
    struct Case
    {
        const char* name;
        Bytes datagram;
    };
    std::vector<Case> bad = {
        {"short", Bytes(good.begin(), good.begin() + 4)},
        {"first byte", good},
        {"type byte", good},
        {"length byte", good},
        {"frame for nobody", RequestDatagram(7, sim::WithCrc({9, 6, 0, 13, 0, 0}))},
    };
    bad[1].datagram[0] = 0x11;
    bad[2].datagram[4] = 0x11;
    bad[3].datagram[1] = 9;
    for (const auto& c : bad) {
        client.Send(at, c.datagram);
        EXPECT_FALSE(client.Next(100)) << c.name;
    }
    EXPECT_EQ(converter.Sequences(), std::vector<uint16_t>{7})
        << "only the well-formed request counts";

    client.Send(at, good);
    const auto answer = client.Next(2000);
    ASSERT_TRUE(answer);
    const Bytes frame = sim::WithCrc({5, 6, 0, 44, 223, 0});
    EXPECT_EQ(Bytes(answer->begin(), answer->begin() + 5),
              (Bytes{0x10, static_cast<uint8_t>(frame.size()), 0xFF, 0xFF, 0x11}));
    EXPECT_EQ(Bytes(answer->begin() + 5, answer->end()), frame);
    EXPECT_EQ(converter.Sequences(), (std::vector<uint16_t>{7, 0xFFFF}));
}

TEST_F(ConverterTest, FaultsSpoilTheExchangeAsNamed)
{
    const Bytes request = RequestDatagram(3, sim::WithCrc({5, 6, 0, 13, 0, 0}));
    const Bytes answer = sim::WithCrc({5, 6, 0, 44, 223, 0});
    struct Case
    {
        sim::ConverterFault fault;
        // What arrives, in order: each datagram's first byte, length byte, type byte and size.
        std::vector<std::array<int, 4>> datagrams;
    };
    const int n = static_cast<int>(answer.size());
    const std::vector<Case> cases = {
        {sim::ConverterFault::Notice, {{0x10, n, 0x12, n + 5}, {0x10, n, 0x11, n + 5}}},
        {sim::ConverterFault::Foreign, {{0x20, n, 0x11, n + 5}, {0x10, n, 0x11, n + 5}}},
        {sim::ConverterFault::Oversized, {{0x10, 0xFF, 0x11, 300}, {0x10, n, 0x11, n + 5}}},
        {sim::ConverterFault::Short, {{0x10, n, 0x11, n / 2 + 5}}},
        {sim::ConverterFault::Late, {{0x10, n, 0x11, n + 5}}},
        {sim::ConverterFault::NoAnswer, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.fault));
        sim::UdpConverterOptions o = Options();
        o.faults.at(static_cast<std::size_t>(c.fault)).count = 1;
        o.late_us = 300000;
        sim::UdpConverter converter(bus, o);
        ASSERT_TRUE(converter.Start());
        Client client;
        const auto start = std::chrono::steady_clock::now();
        client.Send(converter.Converters().at(0), request);
        for (const auto& d : c.datagrams) {
            const auto got = client.Next(3000);
            ASSERT_TRUE(got);
            EXPECT_EQ((std::array<int, 4>{(*got)[0], (*got)[1], (*got)[4],
                                          static_cast<int>(got->size())}),
                      d);
        }
        if (c.fault == sim::ConverterFault::Late) {
            EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(300));
        }
        EXPECT_FALSE(client.Next(c.fault == sim::ConverterFault::NoAnswer ? 300 : 50));
        // The fault was for one answer only.
        client.Send(converter.Converters().at(0), request);
        const auto next = client.Next(3000);
        ASSERT_TRUE(next);
        EXPECT_EQ(Bytes(next->begin() + 5, next->end()), answer);
    }
}

TEST_F(ConverterTest, RegistryValuesAreWrittenForThePortAndRemovedAtStop)
{
    const std::string path = dir.File("registry.reg");
    {
        platform::RegistryFile reg(path);
        reg.WriteString(Hive::LocalMachine, kIpKey, "IPETHERNET9",
                        "127.0.0.9:1"); // left by a killed one
        reg.WriteString(Hive::LocalMachine, kIpKey, "Note", "kept");
    }
    sim::UdpConverterOptions o = Options();
    o.converters = {{"127.0.0.2", 0}, {"127.0.0.3", 0}};
    o.registry_path = path;
    o.com_number = 12;
    o.eth_wait_ms = 40;
    sim::UdpConverter converter(bus, o);
    ASSERT_TRUE(converter.Start());
    {
        platform::RegistryFile reg(path);
        EXPECT_EQ(reg.ReadString(Hive::LocalMachine, kPortKey, "WORKTYPE"), "ObmenEthernet");
        EXPECT_EQ(reg.ReadDword(Hive::LocalMachine, kPortKey, "ETHWAITTIME"), 40);
        EXPECT_EQ(reg.ValueNames(Hive::LocalMachine, kIpKey),
                  (std::vector<std::string>{"Note", "IPETHERNET1", "IPETHERNET2"}));
        const auto& bound = converter.Converters();
        EXPECT_EQ(reg.ReadString(Hive::LocalMachine, kIpKey, "IPETHERNET2"),
                  "127.0.0.3:" + std::to_string(bound.at(1).port));
    }
    converter.Stop();
    platform::RegistryFile reg(path);
    EXPECT_FALSE(reg.ValueExists(Hive::LocalMachine, kPortKey, "WORKTYPE"));
    EXPECT_FALSE(reg.ValueExists(Hive::LocalMachine, kPortKey, "ETHWAITTIME"));
    EXPECT_EQ(reg.ValueNames(Hive::LocalMachine, kIpKey), std::vector<std::string>{"Note"});
}

TEST_F(ConverterTest, AFixedNumberStandsInForTheRequestsWhenAsked)
{
    sim::UdpConverterOptions o = Options();
    o.fixed_sequence = 0x1234;
    sim::UdpConverter converter(bus, o);
    std::string error;
    ASSERT_TRUE(converter.Start(&error)) << error;
    Client client;
    client.Send(converter.Converters().at(0), RequestDatagram(0x0102, sim::WithCrc({5, 6, 0, 13, 0, 0})));
    const auto answer = client.Next(2000);
    ASSERT_TRUE(answer);
    ASSERT_GE(answer->size(), 5u);
    EXPECT_EQ((*answer)[2], 0x12);
    EXPECT_EQ((*answer)[3], 0x34);
    EXPECT_EQ(converter.Sequences(), std::vector<uint16_t>{0x0102}) << "as it came";
}

TEST(ConverterCommandLine, AddressesAndFaultsAreTakenOrRefused)
{
    const auto ok = sim::ParseCommandLine({"--udp", "127.0.0.2:4001", "--udp=10.1.2.3:0",
                                           "--eth-wait", "250", "--udp-notice", "0.1", "--udp-late",
                                           "3", "--udp-late-ms", "90", "--udp-drop", "5%"});
    ASSERT_TRUE(ok.options) << ok.error;
    ASSERT_EQ(ok.options->udp.size(), 2u);
    EXPECT_EQ(ok.options->udp[1].address, "10.1.2.3");
    EXPECT_EQ(ok.options->udp[0].port, 4001);
    EXPECT_EQ(ok.options->eth_wait_ms, 250);
    EXPECT_EQ(ok.options->udp_late_ms, 90u);
    const auto& f = ok.options->udp_faults;
    EXPECT_DOUBLE_EQ(f[static_cast<int>(sim::ConverterFault::Notice)].probability, 0.1);
    EXPECT_EQ(f[static_cast<int>(sim::ConverterFault::Late)].count, 3);
    EXPECT_DOUBLE_EQ(f[static_cast<int>(sim::ConverterFault::NoAnswer)].probability, 0.05);

    for (const char* bad :
         {"127.0.0.1:4001", "0.0.0.0:4001", "127.0.0.2", "127.0.0.2:65536", "127.0.0.2:x",
          "localhost:4001", "127.0.0.256:1", "127.0.2:1", "127.0.0.2:1:2"}) {
        const auto parsed = sim::ParseCommandLine({"--udp", bad});
        EXPECT_FALSE(parsed.options) << bad;
        EXPECT_NE(parsed.error.find("--udp"), std::string::npos) << parsed.error;
    }
    EXPECT_EQ(ok.options->udp_fixed_sequence, -1);
    const auto fixed = sim::ParseCommandLine({"--udp", "127.0.0.2:0", "--udp-fixed-seq", "0"});
    ASSERT_TRUE(fixed.options) << fixed.error;
    EXPECT_EQ(fixed.options->udp_fixed_sequence, 0);
    for (const char* bad : {"65536", "-1", "x"})
        EXPECT_FALSE(sim::ParseCommandLine({"--udp-fixed-seq", bad}).options) << bad;
    EXPECT_FALSE(sim::ParseCommandLine({"--eth-wait", "-1"}).options);
    EXPECT_FALSE(sim::ParseCommandLine({"--udp-short", "2.0"}).options);
    for (const char* s :
         {"--udp ADDR:PORT", "--eth-wait", "--udp-notice", "--udp-foreign", "--udp-oversized",
          "--udp-short", "--udp-late", "--udp-drop", "--udp-fixed-seq", "\"udp ADDR:PORT\""})
        EXPECT_NE(sim::HelpText().find(s), std::string::npos) << s;
}

// --- the session through the converter

// Times every answer wait on the real clock against the budget it was given.
class TimedEthernet : public TEthernetZemra
{
public:
    TimedEthernet(TRSSession* owner, int64_t& worstOverrunMs)
        : TEthernetZemra(owner), worst_(worstOverrunMs)
    {
    }
    void FetchIn() override
    {
        const int32_t budget = Link().Timeout();
        const auto start = std::chrono::steady_clock::now();
        TEthernetZemra::FetchIn();
        const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now() - start);
        worst_ = std::max<int64_t>(worst_, took.count() - budget);
    }

private:
    int64_t& worst_;
};

TEST(SessionThroughConverter, NoWrongAnswerIsTakenAndNoWaitOverruns)
{
    platform::test::TempDir dir;
    setenv("XDG_RUNTIME_DIR", dir.Path().c_str(), 1); // named mutexes of our own
    setenv("VENDAXO_LOG_DIR", dir.Path().c_str(), 1);
    const std::string path = dir.File("registry.reg");
    platform::RegistryFile registry(path);
    registry.WriteDword(Hive::LocalMachine, kBusKey, "CmdTimeoutConstant", 100);

    sim::Bus bus(sim::BusTiming{115200});
    ASSERT_TRUE(bus.AddUnit(5, 44, 223));
    model::Image image{};
    std::mt19937 random(11);
    for (auto& b : image)
        b = static_cast<uint8_t>(random());
    ASSERT_TRUE(bus.SetImage(5, image));

    sim::UdpConverterOptions o;
    o.converters = {{"127.0.0.2", 0}};
    o.registry_path = path;
    o.com_number = 12;
    o.eth_wait_ms = 200; // a budget of 300 ms
    o.late_us = 150000;  // late, but within it
    o.seed = 5;
    for (auto& rule : o.faults)
        rule.probability = 0.08;
    sim::UdpConverter converter(bus, o);
    ASSERT_TRUE(converter.Start());

    int64_t worstOverrunMs = INT64_MIN;
    TRSSession::Collaborators c;
    c.registry = &registry;
    c.transportFactory = [&](TRSSession& s, TRSSession::TransportKind kind) {
        std::unique_ptr<TCommZemraAbstract> made;
        if (kind == TRSSession::TransportKind::Ethernet)
            made = std::make_unique<TimedEthernet>(&s, worstOverrunMs);
        return made;
    };
    {
        TRSSession session(std::move(c));
        session.SetComPort(12);
        ASSERT_TRUE(session.IsEthernet());
        session.ReadRegistrySettings();
        session.SetRetryCount(8);
        int accepted = 0;
        for (uint16_t offset = 0; offset < 100 * 8; offset += 8) {
            const Bytes request{
                5, 8, 0, 0x43, static_cast<uint8_t>(offset), static_cast<uint8_t>(offset >> 8),
                0, 8};
            if (!session.SendCommand(request, true, false, 0, 0))
                continue;
            ++accepted;
            const Bytes& a = session.Answer();
            ASSERT_EQ(a.size(), 13u) << offset;
            EXPECT_TRUE(std::equal(a.begin() + 4, a.begin() + 12, image.begin() + offset))
                << "wrong data at " << offset;
        }
        EXPECT_GE(accepted, 95);
        EXPECT_GE(session.ExchangeCounters().failedTries, 5u) << "the faults were there";
    }
    // Each wait ends within its budget and one 15 ms round; the rest is room for a busy machine
    // to wake the thread late.
    EXPECT_LE(worstOverrunMs, 15 + 100);
    EXPECT_GT(converter.Sequences().size(), 100u);
    unsetenv("VENDAXO_LOG_DIR");
}

} // namespace
