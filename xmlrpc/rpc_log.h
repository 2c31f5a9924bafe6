#pragma once
// The logs of the XML-RPC server and of the client's asynchronous calls: "rpc.log" (the
// asynchronous traffic), "xmlrpcdata.txt" (every call body the server takes) and
// "rpc_err.txt" (asynchronous failures).  A file is named base "_" program ext ("rpc.log" of
// the program t4700 is "rpc_t4700.log") in $VENDAXO_LOG_DIR when set, else in the program's
// folder.  "rpc.log" and "xmlrpcdata.txt" are written only when switched on, which
// InitRpcLogs does when the value "CreateWriteFile" exists; "rpc_err.txt" always.  A file
// that cannot be written is skipped.  A file that has grown past kRpcLogLimit bytes starts
// afresh with the next line, as the session's events log does.
//
// Threads: any.

#include <cstdint>
#include <string>
#include <string_view>

namespace platform {
class RegistryFile;
}

namespace xrpc {

inline constexpr const char* kRpcLogKey = "\\Software\\KAVEX\\ZEMRA_PRO\\ZEMCORE";
inline constexpr std::uintmax_t kRpcLogLimit = 20 * 1024 * 1024;

// Opens the key (creating it) and switches the optional logs on when "CreateWriteFile" exists.
void InitRpcLogs(platform::RegistryFile& registry);
void SetRpcLogsEnabled(bool on);
bool RpcLogsEnabled();
std::string RpcLogPath(std::string_view fileName);
// Appends line with CR LF, honouring the switch for the optional logs.
void AppendRpcLog(std::string_view fileName, std::string_view line);

} // namespace xrpc
