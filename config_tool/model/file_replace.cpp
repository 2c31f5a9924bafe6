#include "config_tool/model/file_replace.h"

#include <filesystem>
#include <fstream>
#include <system_error>

namespace model {

namespace fs = std::filesystem;

bool ReplaceFile(const std::string& path, std::span<const uint8_t> data)
{
    std::error_code ec;
    fs::path target(path);
    if (fs::is_symlink(target, ec)) {
        target = fs::canonical(target, ec);
        if (ec)
            return false;
    }
    if (target.filename().empty())
        return false;
    fs::path temp = target;
    std::string name = ".";
    name += target.filename().string();
    name += ".saving";
    temp.replace_filename(name);
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        if (!out)
            return false;
        out.write(reinterpret_cast<const char*>(data.data()),
                  static_cast<std::streamsize>(data.size()));
        out.close();
        if (!out) {
            fs::remove(temp, ec);
            return false;
        }
    }
    const fs::file_status old = fs::status(target, ec);
    if (!ec && fs::is_regular_file(old))
        fs::permissions(temp, old.permissions(), ec);
    fs::rename(temp, target, ec);
    if (ec) {
        std::error_code ignored;
        fs::remove(temp, ignored);
        return false;
    }
    return true;
}

} // namespace model
