// The XML-RPC transport over a scripted link: what reaches the service, what the session reads.

#include "CoreComp/rssess/bus_crc.h"
#include "CoreComp/xr_zemra.h"
#include "xmlrpc/fr_rpc.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

class ScriptedLink : public xrpc::TBusLink
{
public:
    bool Connect() override { return connected = true; }
    void Disconnect() override { connected = false; }
    bool IsConnected() override { return connected; }
    bool IsBusy() override { return busy; }
    bool SendFrame(const Bytes& frame) override
    {
        sent.push_back(frame);
        if (accept)
            reply = nextReply;
        return accept;
    }
    bool HasReply() override
    {
        ++replyChecks;
        return !reply.empty();
    }
    Bytes GetReply() override { return reply; }
    void ClearReply() override { reply.clear(); }

    bool connected = false;
    bool busy = false;
    bool accept = true;
    Bytes nextReply;
    Bytes reply;
    std::vector<Bytes> sent;
    int replyChecks = 0;
};

Bytes WithCrc(Bytes b)
{
    b.push_back(corecomp::BusCrc8(b));
    return b;
}

struct Transport
{
    Transport()
        : zemra(nullptr, std::unique_ptr<xrpc::TBusLink>(link),
                [](int a) { return static_cast<uint16_t>(a == 5 ? 0x12C3 : 0); })
    {
    }
    uint32_t Write(const Bytes& bytes, bool* result = nullptr)
    {
        uint32_t written = 77;
        const bool ok =
            zemra.Write(bytes.data(), static_cast<uint32_t>(bytes.size()), written, nullptr);
        if (result)
            *result = ok;
        return written;
    }
    Bytes Read(uint32_t count, bool* result = nullptr)
    {
        Bytes buffer(count);
        uint32_t got = 0;
        const bool ok = zemra.Read(buffer.data(), count, got, nullptr);
        if (result)
            *result = ok;
        buffer.resize(got);
        return buffer;
    }
    ScriptedLink* link = new ScriptedLink;
    TXRZemra zemra;
};

TEST(XRZemra, FramesGoToTheServicePlainAndRepliesComeBackCodedWithTheirCrc)
{
    const uint8_t mask = 0xC3 ^ 0x5A; // key word's low byte XOR the frame's key byte
    const struct
    {
        const char* name;
        Bytes frame;    // as the session writes it, CRC last
        Bytes expected; // what the link gets
        Bytes reply;    // what the service answered
        Bytes answer;   // what the session reads
    } cases[] = {
        {"plain",
         WithCrc({5, 6, 0, 0x0D, 0, 0}),
         {5, 6, 0, 0x0D, 0, 0},
         {5, 6, 0, 0x2C, 0xDF, 0},
         WithCrc({5, 6, 0, 0x2C, 0xDF, 0})},
        {"coded",
         WithCrc({0x85, 7, 0x5A, 0x43 ^ mask, 0x10 ^ mask, 0x00 ^ mask, 0 ^ mask}),
         {5, 7, 0x5A, 0x43, 0x10, 0x00, 0},
         {5, 7, 0x44, 1, 0xAB},
         WithCrc({5, 7, 0x44 ^ mask, 1 ^ mask, 0xAB ^ mask})},
        {"coded bit without key byte stays as it is",
         WithCrc({0x85, 6, 0, 0x0D, 1, 2}),
         {5, 6, 0, 0x0D, 1, 2},
         {5, 6, 0, 0x2C, 0xDF, 0},
         WithCrc({5, 6, 0, 0x2C, 0xDF, 0})},
        {"a reply of two bytes only gets its CRC",
         WithCrc({5, 6, 0, 0x0D, 0, 0}),
         {5, 6, 0, 0x0D, 0, 0},
         {5, 2},
         WithCrc({5, 2})},
    };
    for (const auto& c : cases) {
        Transport t;
        t.link->nextReply = c.reply;
        // The session writes the frame, then its CRC byte on its own.
        const Bytes body(c.frame.begin(), c.frame.end() - 1);
        EXPECT_EQ(t.Write(body), body.size()) << c.name;
        EXPECT_EQ(t.Write({c.frame.back()}), 1u) << c.name;
        ASSERT_EQ(t.link->sent.size(), 1u) << c.name << ": the CRC byte is swallowed";
        EXPECT_EQ(t.link->sent[0], c.expected) << c.name;
        Bytes got = t.Read(6);
        const Bytes rest = t.Read(64);
        got.insert(got.end(), rest.begin(), rest.end());
        EXPECT_EQ(got, c.answer) << c.name;
    }
}

TEST(XRZemra, ReadsAreServedFromOneReplyAndNeverAgain)
{
    Transport t;
    t.link->nextReply = {5, 11, 0x44, 8, 1, 2, 3, 4, 5, 6, 7}; // 12 bytes with its CRC
    t.Write({5, 6, 0, 0x0D, 0, 0});
    EXPECT_EQ(t.Read(6).size(), 6u);
    const int checks = t.link->replyChecks;
    EXPECT_EQ(t.Read(6).size(), 6u);
    EXPECT_EQ(t.link->replyChecks, checks) << "the rest comes without asking the link";
    bool ok = true;
    EXPECT_TRUE(t.Read(6, &ok).empty());
    EXPECT_FALSE(ok) << "a read that no send preceded never returns the earlier answer";

    // A write clears what the last exchange left unread.
    t.Write({5, 6, 0, 0x0D, 0, 0});
    t.Read(6);
    t.link->accept = false;
    EXPECT_EQ(t.Write({5, 6, 0, 0x0D, 0, 0}), 0u) << "a refused send writes nothing";
    EXPECT_TRUE(t.Read(6, &ok).empty());
    EXPECT_FALSE(ok);
}

TEST(XRZemra, WritesThatSendNothing)
{
    const struct
    {
        const char* name;
        Bytes bytes;
        bool busy;
        uint32_t written;
        bool result;
    } cases[] = {
        {"a request in flight", {5, 6, 0, 0x0D, 0, 0}, true, 0, false},
        {"four bytes or fewer", {5, 6, 0, 0x0D}, false, 4, true},
        {"L beyond the bytes written", {5, 9, 0, 0x0D, 0, 0}, false, 77, true},
    };
    for (const auto& c : cases) {
        Transport t;
        t.link->busy = c.busy;
        bool result = !c.result;
        EXPECT_EQ(t.Write(c.bytes, &result), c.written) << c.name;
        EXPECT_EQ(result, c.result) << c.name;
        EXPECT_TRUE(t.link->sent.empty()) << c.name;
    }
}

TEST(XRZemra, LineSlotsFollowTheLink)
{
    Transport t;
    EXPECT_TRUE(t.zemra.IsClosed());
    t.zemra.Open("COM1", 0, 0, nullptr, 0, 0, 0);
    EXPECT_FALSE(t.zemra.IsClosed());
    EXPECT_EQ(t.zemra.Handle(), kInvalidHandle);
    platform::CommTimeouts timeouts{};
    EXPECT_EQ(t.zemra.SetCommTimeouts(timeouts), -1);
    EXPECT_EQ(t.zemra.PurgeComm(0), -1);
    uint32_t errors = 9;
    EXPECT_EQ(t.zemra.ClearCommError(errors, nullptr), -1);
    EXPECT_EQ(errors, 0u);
    t.zemra.Close();
    EXPECT_TRUE(t.zemra.IsClosed());
}

} // namespace
