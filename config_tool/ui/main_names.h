#pragma once
// Object names of the main window's numbered controls ("Obj07ParamType", "ParamKey3").

#include <QString>

#include <string_view>

namespace ui {

// "Obj" + two digits + suffix, e.g. NumberedName("Obj", 7, "ParamType") = "Obj07ParamType".
inline QString NumberedName(const char* prefix, int n, const char* suffix)
{
    return QStringLiteral("%1%2%3")
        .arg(QLatin1String(prefix))
        .arg(n, 2, 10, QLatin1Char('0'))
        .arg(QLatin1String(suffix));
}

inline QString ToQString(std::string_view s)
{
    return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size()));
}

inline constexpr int kPartitionRows = 60;
inline constexpr int kSystemIndicators = 7;
inline constexpr int kKeySlots = 8;

} // namespace ui
