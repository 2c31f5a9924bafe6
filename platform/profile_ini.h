#pragma once
// Profile-ini files ("Settings.ini"): [Section] and Name=Value lines, names compared
// case-insensitively, in Windows-1251 on disk.  Reads of a missing file, section or name give
// the default; a write creates what is missing, keeps everything else and saves through the
// platform's one safe replace.

#include <string>
#include <vector>

namespace platform {

std::string ReadProfileString(const std::string& file, const std::string& section,
                              const std::string& name, const std::string& def);
int ReadProfileInt(const std::string& file, const std::string& section, const std::string& name,
                   int def);

// The section names in file order, each once (as first written), and the names of a section's
// entries in file order, each once; a missing file or section gives none.
std::vector<std::string> ReadProfileSectionNames(const std::string& file);
std::vector<std::string> ReadProfileKeyNames(const std::string& file, const std::string& section);

// Writing fails (false, the file as it was) when the file may not be written: a read-only file
// is refused and a symbolic link stays a link (see ReplaceFile), and an entry that the file
// could not hold (a line end anywhere, "=" in the name or an empty name, "]" in the section)
// is refused.
bool WriteProfileString(const std::string& file, const std::string& section,
                        const std::string& name, const std::string& value);
struct ProfileEntry
{
    std::string section, name, value;
};
// Every entry in one replace of the file: all of them land, or none.
bool WriteProfileStrings(const std::string& file, const std::vector<ProfileEntry>& entries);
// True when the file could hold the entry.
bool ProfileEntryAllowed(const std::string& section, const std::string& name,
                         const std::string& value);

// Remove every block of the section with its lines, or every line of the name within the
// section.  Nothing to remove (the file, section or name missing) is success and writes nothing.
bool RemoveProfileSection(const std::string& file, const std::string& section);
bool RemoveProfileKey(const std::string& file, const std::string& section, const std::string& name);

} // namespace platform
