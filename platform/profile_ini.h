#pragma once
// Profile-ini files ("Settings.ini"): [Section] and Name=Value lines, names compared
// case-insensitively, in Windows-1251 on disk.  Reads of a missing file, section or name give
// the default; a write creates what is missing, keeps everything else and saves through a
// temporary file renamed over the old one.

#include <string>

namespace platform {

std::string ReadProfileString(const std::string& file, const std::string& section,
                              const std::string& name, const std::string& def);
int ReadProfileInt(const std::string& file, const std::string& section, const std::string& name, int def);
bool WriteProfileString(const std::string& file, const std::string& section, const std::string& name,
                        const std::string& value);

} // namespace platform
