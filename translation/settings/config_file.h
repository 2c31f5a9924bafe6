#pragma once
// The product family's configuration file (zemra.ini) on top of the platform's profile-ini
// layer.  A write never raises: a file that may not be written, or any failed write, turns the
// object read-only, and every later writing operation then returns at once without effect.
//
// Threads: an object belongs to one thread at a time; the profile-ini layer serialises the
// file changes of the whole process.

#include "translation/settings/ini_file_base.h"

#include <string>
#include <vector>

namespace translation {

class CConfigFile : public IniFileBase
{
public:
    // ReadOnly: forced, or the file exists and may not be written.
    CConfigFile(const std::string& fileName, bool forceReadOnly);

    bool ReadOnly() const { return readOnly_; }
    // The file existed at construction, or something was written to it since.
    bool Existed() const { return existed_; }

    using IniFileBase::ReadValue;
    // A missing file, section or key gives def; blanks around names and values and one pair of
    // quotes around a value are not part of them.
    std::string ReadValue(const std::string& section, const std::string& key,
                          const std::string& def) const override;
    // An entry that the file could not hold (a line end anywhere, "=" in the key, an empty key,
    // "]" in the section) is refused and changes nothing, not even ReadOnly.
    void WriteValue(const std::string& section, const std::string& key,
                    const std::string& value) override;
    void ReadKeyNames(const std::string& section, std::vector<std::string>& list) const override;
    void ReadSectionNames(std::vector<std::string>& list) const override;
    void ReadValueList(const std::string& section, std::vector<std::string>& list) const override;
    void RemoveSection(const std::string& section) override;
    void RemoveKey(const std::string& section, const std::string& key) override;
    // Writes go to the file at once; this only records that the file now exists.
    void Flush() override;

    // Removes every section.
    void EraseAll();
    // Every key of every section of source, written in one replace of the file, so the copy
    // lands whole or not at all.  False at once when ReadOnly; a failed write turns the object
    // read-only and gives false.
    bool CopyFrom(const CConfigFile& source);

    // The "Path" and "BufPth" keys with their defaults, paths as stored ('\' delimiters).
    std::string ConfLocation() const;
    std::string ConfLocationType() const;
    std::string DataLocation() const;
    std::string DataLocationType() const;
    std::string TMPLocation() const;
    std::string TMPLocationType() const;
    std::string LogLocation() const;
    std::string LogLocationType() const;
    std::string LangLocation() const;
    std::string LangLocationType() const;
    std::string XMLLocation() const;
    std::string XMLLocationType() const;
    std::string BufDir() const;

private:
    bool Done(bool ok);

    bool readOnly_ = false;
    bool existed_ = false;
};

// The class of the global configuration object.
class CZemraConfig final : public CConfigFile
{
public:
    using CConfigFile::CConfigFile;
};

} // namespace translation
