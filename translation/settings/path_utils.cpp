#include "translation/settings/path_utils.h"

#include <algorithm>

namespace translation {

std::vector<std::string> SplitPath(std::string_view path, char delimiter)
{
    std::vector<std::string> parts;
    size_t pos = 0;
    while (pos <= path.size()) {
        size_t end = path.find(delimiter, pos);
        if (end == std::string_view::npos)
            end = path.size();
        if (end > pos)
            parts.emplace_back(path.substr(pos, end - pos));
        pos = end + 1;
    }
    return parts;
}

bool IsAbsolutePath(std::string_view path, char delimiter)
{
    return path.size() > 1 && (path[1] == ':' || (path[0] == delimiter && path[1] == delimiter));
}

std::string ResolvePath(std::string_view base, std::string_view relative, char delimiter)
{
    if (relative.empty())
        return std::string(base);
    if (IsAbsolutePath(relative, delimiter))
        return std::string(relative);

    const int floor = IsAbsolutePath(base, delimiter) ? 0 : -1;
    std::vector<std::string> stack = SplitPath(base, delimiter);
    int top = static_cast<int>(stack.size()) - 1;
    const bool endsInDelimiter = relative.back() == delimiter;
    for (std::string& part : SplitPath(relative, delimiter)) {
        if (part == ".")
            continue;
        if (part == "..") {
            if (top > floor)
                --top;
            continue;
        }
        ++top;
        if (top < static_cast<int>(stack.size()))
            stack[static_cast<size_t>(top)] = std::move(part);
        else
            stack.push_back(std::move(part));
    }

    std::string result;
    for (int i = 0; i <= top; ++i) {
        result += stack[static_cast<size_t>(i)];
        result += delimiter;
    }
    // Climbing past the base's first part leaves nothing to take the delimiter from.
    if (!endsInDelimiter && !result.empty())
        result.pop_back();
    if (!base.empty() && base[0] == delimiter) {
        result.insert(result.begin(), delimiter);
        if (base.size() > 1 && base[1] == delimiter)
            result.insert(result.begin(), delimiter);
    }
    return result;
}

std::string ResolveSettingPath(std::string_view base, std::string_view value,
                               std::string_view fallback)
{
    std::string path(value);
    std::replace(path.begin(), path.end(), '\\', '/');
    if (path.empty())
        return std::string(base);
    if (IsAbsolutePath(path, '/'))
        return std::string(fallback);
    if (path[0] == '/')
        return ResolvePath("/", path, '/');
    return ResolvePath(base, path, '/');
}

} // namespace translation
