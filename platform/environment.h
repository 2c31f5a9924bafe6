#pragma once
// The process's surroundings as settings see them: its executable's folder and environment
// variables written as %NAME%.

#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace platform {

// The folder of the running executable, ending in '/'; "./" when it cannot be found.
std::string ExecutableFolder();

// A variable's value, nullopt when it is not set.
using EnvironmentLookup = std::function<std::optional<std::string>(const std::string& name)>;
// The process environment, where APPDATA (the user's application-data folder) falls back to
// $XDG_CONFIG_HOME, then to $HOME/.config.
std::optional<std::string> ProcessEnvironment(const std::string& name);

// The longest text an expansion gives; a longer one fails.
inline constexpr std::size_t kMaxExpandedText = 511;

// Replaces each %NAME% whose variable is set by its value; an unset %NAME% and a lone '%'
// stay as written.  When the result would be longer than kMaxExpandedText, the text comes back
// unexpanded.
std::string ExpandEnvironmentStrings(std::string_view text,
                                     const EnvironmentLookup& lookup = ProcessEnvironment);

} // namespace platform
