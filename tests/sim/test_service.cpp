// The simulated bus-driver service: its switches, its loopback rule and its answers to calls.

#include "sim/options.h"
#include "sim/service.h"

#include "xmlrpc/fr_rpc.h"
#include "xmlrpc/xrpc_parser.h"

#include <gtest/gtest.h>

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

} // namespace
