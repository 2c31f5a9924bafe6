// Calls per second over one kept-alive loopback connection: our client calling the simulated
// service's "Connected", and, in the same run, Python's ServerProxy against a threaded
// SimpleXMLRPCServer over HTTP/1.1 as the yardstick.  The server side: our client against
// TXrpcServer (calls run in its owner thread) and Python's ServerProxy against TXrpcServer,
// each set against the Python pair.
//
// The four are measured in turn, kRounds times, and each figure is its best round: a burst of
// load from elsewhere on a shared machine then spoils neither side of a ratio alone.

#include "sim/service.h"
#include "xmlrpc/xrpc_client.h"
#include "xmlrpc/xrpc_server.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>

namespace {

constexpr double kRatioTarget = 10.0;
constexpr double kServerRatioTarget = 2.0;
constexpr double kSeconds = 0.5; // one round of one measurement
constexpr int kRounds = 3;

const char* const kPython = R"PY(
import socketserver, sys, threading, time, xmlrpc.client as xc
from xmlrpc.server import SimpleXMLRPCRequestHandler, SimpleXMLRPCServer
class H(SimpleXMLRPCRequestHandler):
    protocol_version = "HTTP/1.1"
class S(socketserver.ThreadingMixIn, SimpleXMLRPCServer):
    daemon_threads = True
if len(sys.argv) > 2:
    port = int(sys.argv[2])
else:
    s = S(("127.0.0.1", 0), requestHandler=H, logRequests=False)
    s.register_function(lambda mac: True, "Connected")
    threading.Thread(target=s.serve_forever, daemon=True).start()
    port = s.server_address[1]
p = xc.ServerProxy("http://127.0.0.1:%d/" % port)
for _ in range(200):
    p.Connected("001A2B3C4D5E")
n, t0 = 0, time.perf_counter()
while time.perf_counter() - t0 < float(sys.argv[1]):
    for _ in range(100):
        p.Connected("001A2B3C4D5E")
    n += 100
print(n / (time.perf_counter() - t0))
)PY";

// Calls per second of call() over kSeconds, after warm-up calls; 0 when a warm-up call fails.
template <typename Call> double CallsPerSecond(Call call)
{
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

// Our client calling "Connected" on one kept-alive connection to port.
double OurCallsPerSecond(int port, const std::string& endpoint)
{
    if (port <= 0)
        return 0;
    xrpc::TXrpcClient client;
    return CallsPerSecond([&] {
        auto f = std::make_shared<xrpc::TXrpcFunction>();
        f->SetObjectMethod("Connected");
        f->AddItem("001A2B3C4D5E");
        xrpc::IXrpcResult r;
        client.Execute(f, false, r, endpoint, port, "127.0.0.1");
        return r && !r->IsError();
    });
}

// TXrpcServer with "Connected", its calls run in an owner thread of its own.
class OwnedServer
{
public:
    OwnedServer()
    {
        owner_ = std::thread([this] {
            xrpc::TXrpcServer server;
            server.SetListenPort(0);
            xrpc::TXRMethod connected;
            connected.MethodName = "Connected";
            connected.OnExecute = [](const std::string&, const xrpc::TXrpcParams&,
                                     xrpc::TXrpcFunction& ret,
                                     xrpc::TXrpcStruct&) { ret.AddItem(true); };
            server.Methods = {connected};
            port_ = server.SetActive(true) ? server.BoundPort() : -1;
            server.Channel().WaitServing([this] { return stop_.load(); }, std::chrono::hours(1));
        });
        while (port_ == 0)
            std::this_thread::yield();
    }
    ~OwnedServer()
    {
        stop_ = true;
        owner_.join();
    }
    int Port() const { return port_; }

private:
    std::atomic<int> port_{0};
    std::atomic<bool> stop_{false};
    std::thread owner_;
};

double PythonCallsPerSecond(int port = 0)
{
    std::string script = kPython;
    std::string quoted = "'";
    for (char c : script)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    quoted += "'";
    // Built by appending: GCC 12 at -O3 sees false overlaps in a chain of operator+.
    std::string command = "python3 -c ";
    command.append(quoted).append(" ").append(std::to_string(kSeconds));
    if (port > 0)
        command.append(" ").append(std::to_string(port));
    command.append(" 2>/dev/null");
    FILE* p = ::popen(command.c_str(), "r");
    if (!p)
        return 0;
    double rate = 0;
    if (std::fscanf(p, "%lf", &rate) != 1)
        rate = 0;
    ::pclose(p);
    return rate;
}

void PrintRatio(const char* name, double value, double target)
{
    std::printf("xmlrpc_net.%s: %.1f x\n", name, value);
    std::printf("xmlrpc_net.%s.target: %.1f x\n", name, target);
}

} // namespace

int main()
{
    // The simulated service answers on its connection threads; TXrpcServer in its owner's.
    sim::Bus bus;
    bus.AddUnit(5, 44, 223);
    sim::ServiceServer service(bus, {});
    std::string error;
    if (!service.Start(&error)) {
        std::fprintf(stderr, "bench_xmlrpc_net: %s\n", error.c_str());
        return 1;
    }
    OwnedServer server;
    double ours = 0, python = 0, pair = 0, pythonOnOurs = 0;
    for (int round = 0; round < kRounds; ++round) {
        ours = std::max(ours, OurCallsPerSecond(service.Port(), ""));
        python = std::max(python, PythonCallsPerSecond());
        pair = std::max(pair, OurCallsPerSecond(server.Port(), "/RPC2"));
        if (server.Port() > 0)
            pythonOnOurs = std::max(pythonOnOurs, PythonCallsPerSecond(server.Port()));
    }
    std::printf("xmlrpc_net.client: %.0f calls/s\n", ours);
    std::printf("xmlrpc_net.pair: %.0f calls/s\n", pair);
    if (python <= 0) {
        std::printf("xmlrpc_net.python: unavailable (python3 missing)\n");
        return ours > 0 && pair > 0 ? 0 : 1;
    }
    std::printf("xmlrpc_net.python: %.0f calls/s\n", python);
    std::printf("xmlrpc_net.server: %.0f calls/s\n", pythonOnOurs);
    PrintRatio("client.ratio", ours / python, kRatioTarget);
    PrintRatio("pair.ratio", pair / python, kRatioTarget);
    PrintRatio("server.ratio", pythonOnOurs / python, kServerRatioTarget);
    return ours > 0 && pair > 0 ? 0 : 1;
}
