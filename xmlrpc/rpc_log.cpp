#include "xmlrpc/rpc_log.h"

#include "platform/log_file.h"
#include "platform/registry.h"

#include <atomic>
#include <cstdlib>
#include <filesystem>

namespace xrpc {

namespace {

std::atomic<bool> g_enabled{false};

std::filesystem::path ProgramPath()
{
    std::error_code ec;
    const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::filesystem::path("program") : exe;
}

} // namespace

void InitRpcLogs(platform::RegistryFile& registry)
{
    registry.CreateKey(platform::Hive::LocalMachine, kRpcLogKey);
    SetRpcLogsEnabled(
        registry.ValueExists(platform::Hive::LocalMachine, kRpcLogKey, "CreateWriteFile"));
}

void SetRpcLogsEnabled(bool on)
{
    g_enabled = on;
}

bool RpcLogsEnabled()
{
    return g_enabled;
}

std::string RpcLogPath(std::string_view fileName)
{
    const std::filesystem::path name(fileName);
    const std::filesystem::path program = ProgramPath();
    const std::string file =
        name.stem().string() + "_" + program.stem().string() + name.extension().string();
    const char* dir = std::getenv("VENDAXO_LOG_DIR");
    const std::filesystem::path folder =
        dir && *dir ? std::filesystem::path(dir) : program.parent_path();
    return (folder / file).string();
}

void AppendRpcLog(std::string_view fileName, std::string_view line)
{
    if (fileName != "rpc_err.txt" && !RpcLogsEnabled())
        return;
    platform::AppendLogLine(RpcLogPath(fileName), line, kRpcLogLimit);
}

} // namespace xrpc
