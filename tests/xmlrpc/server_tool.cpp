// The C++ side of the Python test of TXrpcServer: serves on 127.0.0.1 at an ephemeral port,
// prints the port, and runs the calls in its main thread until its input closes.
//   Add(int, int), Echo(any), Caller() -> the caller's "IP", Fail() raises "boom",
//   NotImplemented (an item without a handler); "AsyncResult" answers "got " + the name.

#include "xmlrpc/xrpc_server.h"

#include <atomic>
#include <cstdio>
#include <iostream>
#include <stdexcept>
#include <string>
#include <thread>

using namespace xrpc;

int main()
{
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
