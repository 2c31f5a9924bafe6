// The C++ side of the Python test of TXrpcServer: serves on 127.0.0.1 at an ephemeral port,
// prints the port, and runs the calls in its main thread until its input closes.
//   Add(int, int), Echo(any), Caller() -> the caller's "IP", Fail() raises "boom",
//   NotImplemented (an item without a handler); "AsyncResult" answers "got " + the name.
// server_tool async PORT N: instead, N asynchronous calls Echo("call i") from our client to
// the server on PORT; prints each result as it reaches the owner, one a line.

#include "xmlrpc/xrpc_client.h"
#include "xmlrpc/xrpc_server.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <stdexcept>
#include <string>
#include <thread>

using namespace xrpc;

namespace {

int AsyncCalls(int port, int n)
{
    TXrpcClient client;
    int got = 0;
    client.OnGetASYNCHResult = [&](const std::string& guid, const std::string&, const std::string&,
                                   const IXrpcResult& r) {
        ++got;
        std::printf("%s %s\n",
                    r->IsError() ? ("error " + r->ErrorMsg()).c_str() : r->AsString().c_str(),
                    guid == client.LastGuid() ? "last" : "-");
    };
    for (int i = 0; i < n; ++i) {
        auto f = std::make_shared<TXrpcFunction>();
        f->SetObjectMethod("Echo");
        f->AddItem("call " + std::to_string(i));
        IXrpcResult r;
        client.Execute(f, true, r, "/RPC2", port, "127.0.0.1");
    }
    const bool done =
        client.Channel().WaitServing([&] { return got == n; }, std::chrono::seconds(60));
    std::fflush(stdout);
    return done ? 0 : 1;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc == 4 && std::string(argv[1]) == "async")
        return AsyncCalls(std::atoi(argv[2]), std::atoi(argv[3]));
    TXrpcServer server;
    server.SetListenPort(0);
    TXRMethod add;
    add.MethodName = "Add";
    add.HelpString = "Adds two integers";
    add.Signature = "int (int, int)";
    add.OnExecute = [](const std::string&, const TXrpcParams& p, TXrpcFunction& ret, TXrpcStruct&) {
        ret.AddItem(p.at(0)->AsInteger() + p.at(1)->AsInteger());
    };
    TXRMethod echo;
    echo.MethodName = "Echo";
    echo.OnExecute = [](const std::string&, const TXrpcParams& p, TXrpcFunction& ret,
                        TXrpcStruct&) { ret.AddNewItem().Assign(*p.at(0)); };
    TXRMethod caller;
    caller.MethodName = "Caller";
    caller.OnExecute = [](const std::string&, const TXrpcParams&, TXrpcFunction& ret,
                          TXrpcStruct& info) { ret.AddItem(info.GetKey("IP").AsString()); };
    TXRMethod fail;
    fail.MethodName = "Fail";
    fail.OnExecute = [](const std::string&, const TXrpcParams&, TXrpcFunction&, TXrpcStruct&) {
        throw std::runtime_error("boom");
    };
    TXRMethod none;
    none.MethodName = "NotImplemented";
    server.Methods = {add, echo, caller, fail, none};
    server.OnAsyncResult = [](const std::string& name, const TXrpcParams&, TXrpcFunction& ret,
                              TXrpcStruct&) { ret.AddItem("got " + name); };
    if (!server.SetActive(true)) {
        std::fprintf(stderr, "server_tool: %s\n", server.LastError().c_str());
        return 1;
    }
    std::printf("%u\n", server.BoundPort());
    std::fflush(stdout);
    std::atomic<bool> done{false};
    std::thread input([&] {
        std::string line;
        while (std::getline(std::cin, line)) {
        }
        done = true;
    });
    server.Channel().WaitServing([&] { return done.load(); }, std::chrono::hours(1));
    input.join();
    return 0;
}
