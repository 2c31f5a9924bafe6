// Loads arbitrary bytes as a configuration file. The first byte chooses the unit read before
// (none, keypad or indicator model); the rest is the file. A refused file must hand back nothing,
// and an accepted one must survive a save and a second load unchanged.

#include "config_tool/model/config_file.h"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

namespace {

// Two scratch files for the whole run, removed at exit.
struct ScratchFiles
{
    ScratchFiles()
    {
        const std::string tag = std::to_string(std::random_device{}());
        const auto dir = std::filesystem::temp_directory_path();
        input = (dir / ("fuzz_load_config.in." + tag)).string();
        output = (dir / ("fuzz_load_config.out." + tag)).string();
    }
    ~ScratchFiles()
    {
        std::error_code ec;
        std::filesystem::remove(input, ec);
        std::filesystem::remove(output, ec);
    }
    std::string input;
    std::string output;
};

void Check(bool condition)
{
    if (!condition)
        __builtin_trap();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    std::optional<std::string_view> unit;
    if (data[0] % 3 == 1)
        unit = model::kModelKlv;
    else if (data[0] % 3 == 2)
        unit = model::kModelVd;
    static const ScratchFiles files;
    const std::string& input = files.input;
    const std::string& output = files.output;
    {
        std::ofstream out(input, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data + 1), static_cast<std::streamsize>(size - 1));
    }
    const model::LoadedConfig loaded = model::LoadConfigFile(input, unit);
    if (loaded.status != model::LoadStatus::Ok) {
        Check(loaded.modelName.empty() && loaded.image == model::Image{} &&
              loaded.codes == model::KeyCodes{});
        Check(!model::LoadMessages(loaded.status).empty());
        return 0;
    }
    Check(size - 1 >= model::kFileSize);
    Check(loaded.modelName == model::kModelKlv || loaded.modelName == model::kModelVd);
    Check(model::SaveConfigFile(output, loaded.modelName, loaded.image, loaded.codes));
    const model::LoadedConfig again = model::LoadConfigFile(output, unit);
    Check(again.status == model::LoadStatus::Ok && again.image == loaded.image &&
          again.codes == loaded.codes && again.modelName == loaded.modelName);
    return 0;
}
