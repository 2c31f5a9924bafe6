#include "config_tool/model/text_tables.h"

#include "config_tool/model/text_tables_data.h"

#include <stdexcept>

namespace model {

const TextTables& ConstantTables(Language language)
{
    return language == Language::Russian ? detail::kRussianTables : detail::kEnglishTables;
}

std::string_view DeviceTypeName(const TextTables& tables, uint8_t code)
{
    if (code >= kDeviceTypeCount)
        return "???";
    return tables.deviceTypes.at(code);
}

int EventClassIndex(const TextTables& tables, std::string_view name)
{
    int found = 0;
    for (std::size_t row = 0; row < kEventClassCount; ++row) {
        // An empty name never matches, also not the rows of tables not filled yet.
        if (!name.empty() && tables.eventClasses[row].name == name)
            found = static_cast<int>(row) + 1;
    }
    return found;
}

const EventClass& EventClassRow(const TextTables& tables, int row)
{
    if (row < 1 || row > static_cast<int>(kEventClassCount))
        throw std::out_of_range("event class row");
    return tables.eventClasses[static_cast<std::size_t>(row - 1)];
}

std::string_view Message(const TextTables& tables, int number)
{
    if (number < 0 || number >= static_cast<int>(kMessageCount))
        throw std::out_of_range("message number");
    return tables.messages[static_cast<std::size_t>(number)];
}

} // namespace model
