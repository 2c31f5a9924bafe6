// Calls per second over one kept-alive loopback connection: our client calling the simulated
// service's "Connected", and, in the same run, Python's ServerProxy against a threaded
// SimpleXMLRPCServer over HTTP/1.1 as the yardstick.

#include "sim/service.h"
#include "xmlrpc/xrpc_client.h"

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>

namespace {

constexpr double kRatioTarget = 10.0;
constexpr double kSeconds = 1.5;

const char* const kPython = R"PY(
import socketserver, sys, threading, time, xmlrpc.client as xc
from xmlrpc.server import SimpleXMLRPCRequestHandler, SimpleXMLRPCServer
class H(SimpleXMLRPCRequestHandler):
    protocol_version = "HTTP/1.1"
class S(socketserver.ThreadingMixIn, SimpleXMLRPCServer):
    daemon_threads = True
s = S(("127.0.0.1", 0), requestHandler=H, logRequests=False)
s.register_function(lambda mac: True, "Connected")
threading.Thread(target=s.serve_forever, daemon=True).start()
p = xc.ServerProxy("http://127.0.0.1:%d/" % s.server_address[1])
for _ in range(200):
    p.Connected("001A2B3C4D5E")
n, t0 = 0, time.perf_counter()
while time.perf_counter() - t0 < float(sys.argv[1]):
    for _ in range(100):
        p.Connected("001A2B3C4D5E")
    n += 100
print(n / (time.perf_counter() - t0))
)PY";

double OurCallsPerSecond()
{
    sim::Bus bus;
    bus.AddUnit(5, 44, 223);
    sim::ServiceServer service(bus, {});
    std::string error;
    if (!service.Start(&error)) {
        std::fprintf(stderr, "bench_xmlrpc_net: %s\n", error.c_str());
        return 0;
    }
    xrpc::TXrpcClient client;
    auto call = [&] {
        auto f = std::make_shared<xrpc::TXrpcFunction>();
        f->SetObjectMethod("Connected");
        f->AddItem("001A2B3C4D5E");
        xrpc::IXrpcResult r;
        client.Execute(f, false, r, "", service.Port(), "127.0.0.1");
        return r && !r->IsError();
    };
    for (int i = 0; i < 500; ++i)
        if (!call())
            return 0;
    using Clock = std::chrono::steady_clock;
    long n = 0;
    const auto start = Clock::now();
    while (std::chrono::duration<double>(Clock::now() - start).count() < kSeconds) {
        for (int i = 0; i < 100; ++i)
            call();
        n += 100;
    }
    return static_cast<double>(n) / std::chrono::duration<double>(Clock::now() - start).count();
}

double PythonCallsPerSecond()
{
    std::string script = kPython;
    std::string quoted = "'";
    for (char c : script)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    quoted += "'";
    const std::string command =
        "python3 -c " + quoted + " " + std::to_string(kSeconds) + " 2>/dev/null";
    FILE* p = ::popen(command.c_str(), "r");
    if (!p)
        return 0;
    double rate = 0;
    if (std::fscanf(p, "%lf", &rate) != 1)
        rate = 0;
    ::pclose(p);
    return rate;
}

} // namespace

int main()
{
    const double ours = OurCallsPerSecond();
    const double python = PythonCallsPerSecond();
    std::printf("xmlrpc_net.client: %.0f calls/s\n", ours);
    if (python <= 0) {
        std::printf("xmlrpc_net.python: unavailable (python3 missing)\n");
        return ours > 0 ? 0 : 1;
    }
    std::printf("xmlrpc_net.python: %.0f calls/s\n", python);
    std::printf("xmlrpc_net.client.ratio: %.1f x\n", ours / python);
    std::printf("xmlrpc_net.client.ratio.target: %.1f x\n", kRatioTarget);
    return ours > 0 ? 0 : 1;
}
