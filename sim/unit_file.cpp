#include "sim/unit_file.h"

#include "config_tool/model/config_file.h"

namespace sim {

std::string ModelName(uint8_t type, uint16_t version)
{
    return std::string(type == 10 && version >= 223 ? model::kModelVd : model::kModelKlv);
}

bool LoadUnitFile(Bus& bus, uint8_t address, const std::string& path, std::string* error)
{
    auto fail = [&](const std::string& why) {
        if (error)
            *error = path + ": " + why;
        return false;
    };
    if (!bus.HasUnit(address))
        return fail("no unit at address " + std::to_string(address));
    const model::LoadedConfig loaded = model::LoadConfigFile(path, std::nullopt);
    switch (loaded.status) {
    case model::LoadStatus::Ok:
        break;
    case model::LoadStatus::ForeignHeader:
        return fail("not a configuration file of these units");
    default:
        return fail("missing, short or unreadable");
    }
    bus.SetImage(address, loaded.image);
    bus.SetKeyCodes(address, loaded.codes);
    return true;
}

bool SaveUnitFile(const Bus& bus, uint8_t address, const std::string& path)
{
    const auto image = bus.Image(address);
    const auto codes = bus.KeyCodes(address);
    if (!image || !codes)
        return false;
    return model::SaveConfigFile(path, ModelName(bus.Type(address).value_or(0), bus.Version(address).value_or(0)),
                                 *image, *codes);
}

std::string UnitFilePath(const std::string& dir, uint8_t address)
{
    std::string path = dir;
    if (!path.empty() && path.back() != '/')
        path += '/';
    return path + "unit-" + std::to_string(address) + ".kconf";
}

bool DumpUnits(const Bus& bus, const std::string& dir, std::string* error)
{
    bool ok = true;
    for (uint8_t address : bus.Addresses()) {
        const std::string path = UnitFilePath(dir, address);
        if (!SaveUnitFile(bus, address, path)) {
            ok = false;
            if (error)
                *error += (error->empty() ? "" : ", ") + path;
        }
    }
    return ok;
}

} // namespace sim
