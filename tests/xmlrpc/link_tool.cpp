// The C++ side of the Python interoperability test of the link.
//   link_tool client PORT N   N calls of echo(i) through our client to a server on PORT (path
//                             "/RPC2"), one line per answer
//   link_tool link            a link connected to a simulated service; prints "ready PORT"
//                             (its callback server) and serves until standard input ends

#include "sim/service.h"
#include "xmlrpc/fr_rpc.h"
#include "xmlrpc/xrpc_client.h"

#include "platform/registry.h"

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <unistd.h>

using namespace xrpc;

namespace {

int Client(int port, int n)
{
    TXrpcClient client;
    for (int i = 0; i < n; ++i) {
        auto f = std::make_shared<TXrpcFunction>();
        f->SetObjectMethod("echo");
        f->AddItem(static_cast<int32_t>(i));
        IXrpcResult r;
        client.Execute(f, false, r, "/RPC2", port, "127.0.0.1");
        if (!r || r->IsError()) {
            std::printf("error %s\n", r ? r->ErrorMsg().c_str() : "none");
            return 1;
        }
        std::printf("%d\n", r->AsInteger());
    }
    return 0;
}

int Link()
{
    char dir[] = "/tmp/vendaxo-link-tool-XXXXXX";
    if (!::mkdtemp(dir))
        return 1;
    const std::string registryPath = std::string(dir) + "/registry.reg";
    sim::Bus bus;
    bus.AddUnit(5, 44, 223);
    sim::ServiceServer service(bus, {});
    std::string error;
    if (!service.Start(&error) || !service.WriteRegistry(registryPath)) {
        std::fprintf(stderr, "link_tool: %s\n", error.c_str());
        return 1;
    }
    int status = 1;
    {
        platform::RegistryFile registry(registryPath);
        TfrRPC link(registry, {}, std::string(dir) + "/logzemra21.txt");
        if (link.Connect()) {
            std::printf("ready %u\n", link.ServerPort());
            std::fflush(stdout);
            std::string line;
            while (std::getline(std::cin, line)) {
            }
            link.Disconnect();
            status = 0;
        }
    }
    service.Stop();
    std::remove(registryPath.c_str());
    std::remove((std::string(dir) + "/logzemra21.txt").c_str());
    ::rmdir(dir);
    return status;
}

} // namespace

int main(int argc, char** argv)
{
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "client" && argc == 4)
        return Client(std::atoi(argv[2]), std::atoi(argv[3]));
    if (mode == "link")
        return Link();
    std::fprintf(stderr, "usage: link_tool client PORT N | link_tool link\n");
    return 2;
}
