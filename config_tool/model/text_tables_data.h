#pragma once
// The constant tables, defined in text_tables_data.cpp.

#include "config_tool/model/text_tables.h"

namespace model::detail {

extern const TextTables kRussianTables;
extern const TextTables kEnglishTables;

} // namespace model::detail
