// Throughput of the documents the link exchanges most: a SendData call with a 40-byte payload
// in hex, and its answer; written (built and written) and parsed, on one core.

#include "xmlrpc/xrpc_parser.h"

#include <chrono>
#include <cstdio>
#include <string>

using namespace xrpc;

namespace {

constexpr double kTarget = 50000; // documents per second, each way

std::string HexPayload()
{
    static const char* const digits = "0123456789ABCDEF";
    std::string hex;
    for (int i = 0; i < 40; ++i) {
        hex += digits[(i * 37 + 11) >> 4 & 15];
        hex += digits[(i * 37 + 11) & 15];
    }
    return hex;
}

std::string WriteCall(const std::string& hex)
{
    TXrpcFunction call;
    call.SetObjectMethod("SendData");
    call.AddItem("001A2B3C0000");
    call.AddItem(hex);
    return call.GetRequestXML();
}

std::string WriteResponse()
{
    TXrpcFunction answer;
    answer.AddItem(true);
    return answer.GetResponseXML();
}

// Runs body until half a second has passed and reports documents per second.
template <class Body>
void Measure(const char* name, Body body)
{
    using Clock = std::chrono::steady_clock;
    size_t sink = 0;
    for (int i = 0; i < 1000; ++i) // warm-up
        sink += body();
    long count = 0;
    const auto start = Clock::now();
    auto now = start;
    while (now - start < std::chrono::milliseconds(500)) {
        for (int i = 0; i < 1000; ++i)
            sink += body();
        count += 1000;
        now = Clock::now();
    }
    const double seconds = std::chrono::duration<double>(now - start).count();
    std::printf("%s: %.0f docs/s\n", name, static_cast<double>(count) / seconds);
    std::printf("%s.target: %.0f docs/s\n", name, kTarget);
    if (sink == 0)
        std::printf("(nothing measured)\n");
}

} // namespace

int main()
{
    const std::string hex = HexPayload();
    const std::string call = WriteCall(hex);
    const std::string response = WriteResponse();

    Measure("xmlrpc.write_call", [&] { return WriteCall(hex).size(); });
    TXrpcServerParser server;
    Measure("xmlrpc.parse_call", [&] {
        server.Parse(call);
        return server.TakeParams().size() + server.MethodName().size();
    });
    Measure("xmlrpc.write_response", [] { return WriteResponse().size(); });
    TXrpcClientParser client;
    client.SetNormalizeEmptyValues(true);
    Measure("xmlrpc.parse_response", [&] {
        client.Parse(response);
        return static_cast<size_t>(client.Result()->AsBoolean()) + 1;
    });
    return 0;
}
