// Any file content: reading never fails hard, and a save followed by a fresh load gives back
// every key and value that the first load showed.

#include "platform/registry.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <tuple>
#include <unistd.h>

namespace {

using platform::Hive;
using Snapshot = std::map<std::string, std::tuple<std::optional<std::string>, std::optional<int32_t>,
                                                  std::optional<std::vector<uint8_t>>>>;

void Walk(platform::RegistryFile& reg, Hive hive, const std::string& key, int depth, Snapshot& out)
{
    if (depth > 12 || out.size() > 4000)
        return;
    const std::string where = (hive == Hive::LocalMachine ? "LM:" : "CU:") + key;
    for (const std::string& name : reg.ValueNames(hive, key))
        out[where + "\n" + name] = {reg.ReadString(hive, key, name), reg.ReadDword(hive, key, name),
                                    reg.ReadBinary(hive, key, name)};
    out[where + "\n<key>"] = {};
    for (const std::string& sub : reg.SubKeys(hive, key))
        Walk(reg, hive, key.empty() ? sub : key + "\\" + sub, depth + 1, out);
}

Snapshot Load(const std::string& path)
{
    platform::RegistryFile reg(path);
    reg.SetDeviceScan(nullptr);
    Snapshot s;
    Walk(reg, Hive::LocalMachine, "", 0, s);
    Walk(reg, Hive::CurrentUser, "", 0, s);
    return s;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // Every save is synced to disk: TMPDIR on a memory file system makes the runs fast.
    static const std::string path =
        (std::filesystem::temp_directory_path() / ("fuzz_registry_" + std::to_string(getpid()) + ".reg")).string();
    if (FILE* f = std::fopen(path.c_str(), "wb")) {
        std::fwrite(data, 1, size, f);
        std::fclose(f);
    }
    Snapshot before = Load(path);
    {
        platform::RegistryFile reg(path);
        reg.SetDeviceScan(nullptr);
        if (!reg.WriteDword(Hive::CurrentUser, "FuzzMarker", "m", 1))
            return 0;
    }
    Snapshot after = Load(path);
    // The marker's own place may have held something before; it is the one thing that changes.
    for (Snapshot* s : {&before, &after}) {
        s->erase("CU:FuzzMarker\nm");
        s->erase("CU:FuzzMarker\n<key>");
    }
    if (before != after)
        std::abort();
    return 0;
}
