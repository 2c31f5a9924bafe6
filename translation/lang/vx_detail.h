#pragma once
// Helpers shared by the translation component's source files; not part of its interface.

#include "platform/text1251.h"
#include "translation/lang/rtti.h"

#include <QString>

#include <optional>
#include <string>
#include <string_view>

namespace translation::detail {

// Component names and keys are texts of the system's code page.
inline std::string Narrow1251(const QString& s)
{
    return platform::Utf8ToCp1251(s.toStdString());
}

inline QString FromKey(std::string_view key)
{
    return QString::fromStdString(platform::Cp1251ToUtf8(key));
}

// Texts of wide-string properties in the code page of a character set; none when the text
// does not convert.
std::optional<QString> WideIn(std::string_view text, int charset);
std::optional<std::string> NarrowIn(const QString& text, int charset);

// The part of a line before its first delimiter.
inline std::string KeyOf(std::string_view line, char delim)
{
    return std::string(line.substr(0, line.find(delim)));
}

// The walk's component index, or one built for a single call outside a walk.
inline const ComponentIndex& IndexFor(const ComponentIndex* walk,
                                      std::optional<ComponentIndex>& local, const QObject* owner)
{
    if (walk != nullptr)
        return *walk;
    local.emplace(owner);
    return *local;
}

} // namespace translation::detail
