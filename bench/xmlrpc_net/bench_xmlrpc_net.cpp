// Calls per second over one kept-alive loopback connection: our client calling the simulated
// service's "Connected", and our client against TXrpcServer (calls run in its owner thread).
//
// The targets are limits that do not move with anything but this machine, in the same run over
// the same sockets (platform/tcp, TCP_NODELAY, one kept-alive loopback connection): a bare
// ping-pong of a request and an answer of our calls' sizes between two threads, and the same
// with the server's hand-off, where the connection's thread passes the request to an owner
// thread that writes the answer.  Our client is set against the first, our pair against the
// second.
//
// For information only, without targets: Python's ServerProxy against a threaded
// SimpleXMLRPCServer over HTTP/1.1, and Python's ServerProxy against TXrpcServer, with our
// figures set against that pair.  Python's own speed differs by more than a factor of two
// from one machine to another, so a target against it would move with Python, not with us.
//
// All are measured in turn, kRounds times, and each figure is its best round: a burst of load
// from elsewhere on a shared machine then spoils neither side of a ratio alone.

#include "platform/tcp.h"
#include "sim/service.h"
#include "xmlrpc/xrpc_client.h"
#include "xmlrpc/xrpc_server.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace {

constexpr double kSeconds = 0.5; // one round of one measurement
constexpr int kRounds = 3;
constexpr double kLimitTarget = 0.6;
// A call's request and answer on the wire, head and body, as our pair sends them.
constexpr size_t kRequestBytes = 330;
constexpr size_t kAnswerBytes = 260;

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

// A peer that answers every request of kRequestBytes with kAnswerBytes, on its connection's
// thread, or, with hop, from an owner thread the connection's thread hands the request to and
// waits for, as TXrpcServer does.
class LimitServer
{
public:
    explicit LimitServer(bool hop) : hop_(hop)
    {
        if (!server_.Listen("127.0.0.1", 0))
            return;
        if (hop_)
            owner_ = std::thread([this] { Own(); });
        server_.Start([this](platform::TcpConnection& c) { Serve(c); });
    }
    ~LimitServer()
    {
        {
            std::lock_guard lock(mutex_);
            stop_ = true;
        }
        cv_.notify_all();
        server_.Stop();
        if (owner_.joinable())
            owner_.join();
    }
    int Port() const { return server_.Port(); }

private:
    void Serve(platform::TcpConnection& c)
    {
        const std::string answer(kAnswerBytes, 'a');
        try {
            for (;;) {
                c.ReadExact(kRequestBytes);
                if (!hop_) {
                    c.SendAll(answer);
                    continue;
                }
                std::unique_lock lock(mutex_);
                pending_ = &c;
                cv_.notify_all();
                cv_.wait(lock, [this] { return pending_ == nullptr || stop_; });
                if (stop_)
                    return;
            }
        } catch (const platform::SocketError&) {
        }
    }
    void Own()
    {
        const std::string answer(kAnswerBytes, 'a');
        std::unique_lock lock(mutex_);
        for (;;) {
            cv_.wait(lock, [this] { return pending_ != nullptr || stop_; });
            if (stop_)
                return;
            platform::TcpConnection* c = pending_;
            lock.unlock();
            try {
                c->SendAll(answer);
            } catch (const platform::SocketError&) {
            }
            lock.lock();
            pending_ = nullptr;
            cv_.notify_all();
        }
    }

    const bool hop_;
    platform::TcpServer server_;
    std::mutex mutex_;
    std::condition_variable cv_;
    platform::TcpConnection* pending_ = nullptr;
    bool stop_ = false;
    std::thread owner_;
};

// Round trips per second to a LimitServer on one kept-alive connection.
double LimitPerSecond(const LimitServer& server)
{
    if (server.Port() <= 0)
        return 0;
    try {
        auto c = platform::TcpConnection::Connect("127.0.0.1",
                                                  static_cast<uint16_t>(server.Port()),
                                                  std::chrono::seconds(5));
        const std::string request(kRequestBytes, 'r');
        return CallsPerSecond([&] {
            c->SendAll(request);
            return c->ReadExact(kAnswerBytes).size() == kAnswerBytes;
        });
    } catch (const platform::SocketError&) {
        return 0;
    }
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

// A ratio against Python's pair: information, no target.
void PrintRatio(const char* name, double value)
{
    std::printf("xmlrpc_net.%s: %.1f x\n", name, value);
}

void PrintLimitRatio(const char* name, double value)
{
    std::printf("xmlrpc_net.%s: %.2f x\n", name, value);
    std::printf("xmlrpc_net.%s.target: %.2f x\n", name, kLimitTarget);
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
    LimitServer bare(false), hop(true);
    double ours = 0, python = 0, pair = 0, pythonOnOurs = 0, roundTrip = 0, ownerHop = 0;
    for (int round = 0; round < kRounds; ++round) {
        roundTrip = std::max(roundTrip, LimitPerSecond(bare));
        ownerHop = std::max(ownerHop, LimitPerSecond(hop));
        ours = std::max(ours, OurCallsPerSecond(service.Port(), ""));
        python = std::max(python, PythonCallsPerSecond());
        pair = std::max(pair, OurCallsPerSecond(server.Port(), "/RPC2"));
        if (server.Port() > 0)
            pythonOnOurs = std::max(pythonOnOurs, PythonCallsPerSecond(server.Port()));
    }
    std::printf("xmlrpc_net.client: %.0f calls/s\n", ours);
    std::printf("xmlrpc_net.pair: %.0f calls/s\n", pair);
    std::printf("xmlrpc_net.limit.round_trip: %.0f calls/s\n", roundTrip);
    std::printf("xmlrpc_net.limit.owner_hop: %.0f calls/s\n", ownerHop);
    if (roundTrip > 0 && ownerHop > 0) {
        PrintLimitRatio("client.limit_ratio", ours / roundTrip);
        PrintLimitRatio("pair.limit_ratio", pair / ownerHop);
    }
    if (python <= 0) {
        std::printf("xmlrpc_net.python: unavailable (python3 missing)\n");
        return ours > 0 && pair > 0 ? 0 : 1;
    }
    std::printf("xmlrpc_net.python: %.0f calls/s\n", python);
    std::printf("xmlrpc_net.server: %.0f calls/s\n", pythonOnOurs);
    PrintRatio("client.ratio", ours / python);
    PrintRatio("pair.ratio", pair / python);
    PrintRatio("server.ratio", pythonOnOurs / python);
    return ours > 0 && pair > 0 ? 0 : 1;
}
