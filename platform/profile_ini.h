#pragma once
// Profile-ini files ("Settings.ini", zemra.ini): [Section] and Name=Value lines, names compared
// case-insensitively by the Windows-1251 letter cases, in Windows-1251 on disk.  Lines end at
// CR LF, LF or a lone CR.  Reads of a missing file, section or name give the default; a write
// creates what is missing, keeps every other line byte for byte (its own line end included) and
// saves through the platform's one safe replace.
//
// A read or a change of the file takes time linear in its size (n log n for many entries at
// once), and the file is bounded by kMaxProfileIniBytes.
//
// The interface speaks UTF-8 unless a name ends in 1251: those take and give the file's own
// bytes, so that a copy keeps bytes that have no UTF-8 form (0x98).

#include <cstddef>
#include <string>
#include <vector>

namespace platform {

// The largest profile-ini file that is read.  A larger one is refused before a byte of it is
// parsed: reads give their defaults, writes fail and leave it as it is, and the last error
// (last_error.h) is kErrorFileTooLarge.  Either file holds a few lines; the cap keeps a damaged
// or crafted one from holding the program up or filling its memory.
inline constexpr std::size_t kMaxProfileIniBytes = 1u << 20;

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
// The same with every part in Windows-1251 bytes.
bool WriteProfileStrings1251(const std::string& file, const std::vector<ProfileEntry>& entries);
// Every entry that reads answer from, in file order: each section once (its first block), each
// name of it once, with its value as ReadProfileString gives it, all in Windows-1251 bytes.
std::vector<ProfileEntry> ReadProfileEntries1251(const std::string& file);
// True when the file could hold the entry.
bool ProfileEntryAllowed(const std::string& section, const std::string& name,
                         const std::string& value);

// Remove every block of the section with its lines, or every line of the name within the
// section.  Nothing to remove (the file, section or name missing) is success and writes nothing.
bool RemoveProfileSection(const std::string& file, const std::string& section);
bool RemoveProfileKey(const std::string& file, const std::string& section, const std::string& name);

} // namespace platform
