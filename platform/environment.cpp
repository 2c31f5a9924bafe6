#include "platform/environment.h"

#include <climits>
#include <cstdlib>
#include <unistd.h>

namespace platform {

std::string ExecutableFolder()
{
    char buf[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0)
        return "./";
    const std::string path(buf, static_cast<size_t>(n));
    return path.substr(0, path.find_last_of('/') + 1);
}

std::optional<std::string> ProcessEnvironment(const std::string& name)
{
    if (const char* value = std::getenv(name.c_str()))
        return std::string(value);
    if (name == "APPDATA") {
        if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && *xdg)
            return std::string(xdg);
        if (const char* home = std::getenv("HOME"); home && *home)
            return std::string(home) + "/.config";
    }
    return std::nullopt;
}

std::string ExpandEnvironmentStrings(std::string_view text, const EnvironmentLookup& lookup)
{
    std::string out;
    size_t pos = 0;
    while (pos < text.size()) {
        const size_t open = text.find('%', pos);
        if (open == std::string_view::npos) {
            out.append(text.substr(pos));
            break;
        }
        out.append(text.substr(pos, open - pos));
        const size_t close = text.find('%', open + 1);
        if (close == std::string_view::npos) {
            out.append(text.substr(open));
            break;
        }
        const std::string name(text.substr(open + 1, close - open - 1));
        const auto value = name.empty() ? std::nullopt : lookup(name);
        if (value)
            out += *value;
        else
            out.append(text.substr(open, close - open + 1)); // not a variable: kept whole
        pos = close + 1;
        if (out.size() > kMaxExpandedText)
            return std::string(text);
    }
    return out.size() > kMaxExpandedText ? std::string(text) : out;
}

} // namespace platform
