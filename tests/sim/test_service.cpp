// The simulated bus-driver service: its switches, its loopback rule and its answers to calls.

#include "sim/options.h"
#include "sim/service.h"

#include "xmlrpc/fr_rpc.h"
#include "xmlrpc/xrpc_parser.h"

#include <gtest/gtest.h>

#include <optional>
#include <variant>

namespace {

TEST(SimService, Switches)
{
    const struct
    {
        std::vector<std::string> args;
        bool ok;
    } cases[] = {
        {{"--service", "127.0.0.1:0"}, true},
        {{"--service", "127.0.0.1:8081", "--mac", "001a2b3c4d5e", "--registry", "r.reg"}, true},
        {{"--service", "127.0.0.1"}, false},
        {{"--service", "127.0.0.1:70000"}, false},
        {{"--service", "127.0.0.1:0", "--com", "3", "--registry", "r.reg"}, false},
        {{"--service", "127.0.0.1:0", "--mac", "001A2B"}, false},
        {{"--service", "127.0.0.1:0", "--svc-late", "25%", "--svc-early", "2"}, true},
        {{"--service", "127.0.0.1:0", "--svc-foreign", "lots"}, false},
    };
    for (const auto& c : cases) {
        const sim::ParsedCommandLine p = sim::ParseCommandLine(c.args);
        EXPECT_EQ(p.options.has_value(), c.ok) << c.args[1] << " " << p.error;
    }
    const auto p = sim::ParseCommandLine({"--service", "127.0.0.1:0", "--svc-late", "25%"});
    ASSERT_TRUE(p.options);
    EXPECT_DOUBLE_EQ(
        p.options->service_faults[static_cast<size_t>(sim::ServiceFault::Late)].probability, 0.25);
}

TEST(SimService, BindsToLoopbackOnly)
{
    sim::Bus bus;
    sim::ServiceOptions options;
    options.host = "0.0.0.0";
    sim::ServiceServer service(bus, options);
    std::string error;
    EXPECT_FALSE(service.Start(&error));
    EXPECT_NE(error.find("loopback"), std::string::npos) << error;
}

TEST(SimService, CallsThatAreRefused)
{
    sim::Bus bus;
    ASSERT_TRUE(bus.AddUnit(5, 44, 223));
    sim::ServiceServer service(bus, {});
    auto call = [&](const std::string& method, const std::vector<std::string>& params) {
        xrpc::TXrpcFunction f;
        f.SetObjectMethod(method);
        for (const std::string& p : params)
            f.AddItem(std::string_view(p));
        xrpc::TXrpcClientParser parser;
        parser.Parse(service.HandleCall(f.GetRequestXML()));
        return parser.Result();
    };
    EXPECT_EQ(call("Nothing", {})->ErrorCode(), 1000);
    EXPECT_EQ(call("SendData", {"001A2B3C4D5E", "0D07"})->ErrorCode(), 1001) << "length byte";
    EXPECT_EQ(call("SendData", {"001A2B3C4D5E", "0D0700000700000000000D0000"})->ErrorCode(), 1001)
        << "no unit at address 7";
    EXPECT_EQ(call("SendData", {"FFFFFFFFFFFF", "0D0700000500000000000D0000"})->ErrorCode(), 1001)
        << "another MAC";
    EXPECT_EQ(call("SendData", {"001A2B3C4D5E", "0D0700000500000000000D0000"})->ErrorCode(), 1001)
        << "nobody subscribed";
    EXPECT_FALSE(call("Connected", {"001A2B3C4D5E"})->AsBoolean());
    EXPECT_EQ(service.SendDataCount(), 4);
}

// What the service refuses as a real one would: a call of the wrong form is a fault answer and
// is listed, so a test of the link fails on it.
TEST(SimService, ChecksEachCallsParametersAndItsDigest)
{
    sim::Bus bus;
    ASSERT_TRUE(bus.AddUnit(5, 44, 223));
    sim::ServiceServer service(bus, {});
    using P = std::variant<std::string, int, bool>;
    // The answer's fault code, 0 for none.
    auto call = [&](const std::string& method, const std::vector<P>& params,
                    std::optional<std::string> digest = std::nullopt, bool withDigest = true) {
        xrpc::TXrpcFunction f;
        f.SetObjectMethod(method);
        for (const P& p : params) {
            if (const auto* t = std::get_if<std::string>(&p))
                f.AddItem(std::string_view(*t));
            else if (const auto* i = std::get_if<int>(&p))
                f.AddItem(static_cast<int32_t>(*i));
            else
                f.AddItem(std::get<bool>(p));
        }
        const std::string body = f.GetRequestXML();
        if (!digest && withDigest)
            digest = xrpc::ContentMd5(body);
        xrpc::TXrpcClientParser parser;
        parser.Parse(service.HandleRequest(body, digest));
        return parser.Result()->IsError() ? parser.Result()->ErrorCode() : 0;
    };
    const std::string ip = "127.0.0.1";
    ASSERT_EQ(call("AddMessageSubscriber", {ip, 9000, "Vendax", "OnMethodData", "OnDeviceState"}), 0);
    ASSERT_TRUE(service.ProtocolFaults().empty());
    const std::string mac = "001A2B3C4D5E";
    const struct
    {
        const char* what;
        std::string method;
        std::vector<P> params;
        int code;
    } refused[] = {
        {"the callbacks swapped", "AddMessageSubscriber",
         {ip, 9000, "Vendax", "OnDeviceState", "OnMethodData"}, 1001},
        {"no program name", "AddMessageSubscriber", {ip, 9000, "OnMethodData", "OnDeviceState"}, 1001},
        {"the port as text", "AddMessageSubscriber",
         {ip, "9000", "Vendax", "OnMethodData", "OnDeviceState"}, 1001},
        {"no address", "AddMessageSubscriber", {"", 9000, "Vendax", "OnMethodData", "OnDeviceState"}, 1001},
        {"the line as text", "Devices", {"SUB1", "1"}, 1001},
        {"a line that is not there", "Devices", {"SUB1", 2}, 1001},
        {"Lines with an int", "Lines", {1}, 1001},
        {"Connected with a boolean", "Connected", {true}, 1001},
        {"DeviceLock with ints", "DeviceLock", {"SUB1", mac, 1, 1}, 1001},
        {"lower-case hex", "SendData", {mac, "0d0700000500000000000d0000"}, 1001},
        {"a COM-line payload in MAC mode", "SendData", {mac, "070300000D0000"}, 1001},
        {"the subscription's port is another", "DeleteMessageSubscriber", {"SUB1", ip, 9001}, 1001},
        {"the port as text", "DeleteMessageSubscriber", {"SUB1", ip, "9000"}, 1001},
        {"an unknown method", "SendFrame", {mac}, 1000},
    };
    size_t faults = 0;
    for (const auto& c : refused) {
        EXPECT_EQ(call(c.method, c.params), c.code) << c.what;
        EXPECT_EQ(service.ProtocolFaults().size(), ++faults) << c.what;
    }
    EXPECT_EQ(call("Lines", {"SUB1"}, std::nullopt, false), 1002) << "no Content-MD5";
    EXPECT_EQ(call("Lines", {"SUB1"}, xrpc::ContentMd5("other")), 1002) << "another body's";
    EXPECT_EQ(service.ProtocolFaults().size(), faults + 2);
    // The forms the link uses pass.
    EXPECT_EQ(call("Lines", {"SUB1"}), 0);
    EXPECT_EQ(call("Connected", {mac}), 0);
    EXPECT_EQ(call("Devices", {"SUB1", 1}), 0);
    EXPECT_EQ(call("DeleteMessageSubscriber", {"SUB1", ip, 9000}), 0);
    EXPECT_EQ(service.ProtocolFaults().size(), faults + 2);
}

} // namespace
