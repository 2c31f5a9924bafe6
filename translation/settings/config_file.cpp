#include "translation/settings/config_file.h"

#include "platform/file_util.h"
#include "platform/profile_ini.h"

#include <sys/stat.h>

namespace translation {

namespace {

bool FileExists(const std::string& path)
{
    struct stat st = {};
    return ::stat(path.c_str(), &st) == 0;
}

} // namespace

CConfigFile::CConfigFile(const std::string& fileName, bool forceReadOnly)
    : IniFileBase(fileName), existed_(FileExists(fileName))
{
    readOnly_ = forceReadOnly || (existed_ && platform::IsReadOnlyFile(fileName));
}

bool CConfigFile::Done(bool ok)
{
    if (ok)
        existed_ = FileExists(FileName());
    else
        readOnly_ = true;
    return ok;
}

std::string CConfigFile::ReadValue(const std::string& section, const std::string& key,
                                   const std::string& def) const
{
    return platform::ReadProfileString(FileName(), section, key, def);
}

void CConfigFile::WriteValue(const std::string& section, const std::string& key,
                             const std::string& value)
{
    if (readOnly_ || !platform::ProfileEntryAllowed(section, key, value))
        return;
    Done(platform::WriteProfileString(FileName(), section, key, value));
}

void CConfigFile::ReadKeyNames(const std::string& section, std::vector<std::string>& list) const
{
    list = platform::ReadProfileKeyNames(FileName(), section);
}

void CConfigFile::ReadSectionNames(std::vector<std::string>& list) const
{
    list = platform::ReadProfileSectionNames(FileName());
}

void CConfigFile::ReadValueList(const std::string& section, std::vector<std::string>& list) const
{
    list.clear();
    for (const std::string& key : platform::ReadProfileKeyNames(FileName(), section))
        list.push_back(ReadValue(section, key, ""));
}

void CConfigFile::RemoveSection(const std::string& section)
{
    if (!readOnly_)
        Done(platform::RemoveProfileSection(FileName(), section));
}

void CConfigFile::RemoveKey(const std::string& section, const std::string& key)
{
    if (!readOnly_)
        Done(platform::RemoveProfileKey(FileName(), section, key));
}

void CConfigFile::Flush()
{
    if (!readOnly_)
        Done(true);
}

void CConfigFile::EraseAll()
{
    if (readOnly_)
        return;
    std::vector<std::string> sections;
    ReadSectionNames(sections);
    for (const std::string& section : sections)
        RemoveSection(section);
}

bool CConfigFile::CopyFrom(const CConfigFile& source)
{
    if (readOnly_)
        return false;
    // In the file's own bytes: a value is copied exactly, also where it has no UTF-8 form.
    const std::vector<platform::ProfileEntry> entries =
        platform::ReadProfileEntries1251(source.FileName());
    if (!entries.empty() && !Done(platform::WriteProfileStrings1251(FileName(), entries)))
        return false;
    Flush();
    return true;
}

std::string CConfigFile::ConfLocation() const
{
    return ReadValue("Path", "ConfLocation", "");
}
std::string CConfigFile::ConfLocationType() const
{
    return ReadValue("Path", "ConfLocationType", "default");
}
std::string CConfigFile::DataLocation() const
{
    return ReadValue("Path", "DataLocation", ".\\Data\\");
}
std::string CConfigFile::DataLocationType() const
{
    return ReadValue("Path", "DataLocationType", "default");
}
std::string CConfigFile::TMPLocation() const
{
    return ReadValue("Path", "TMPLocation", ".\\TMP\\");
}
std::string CConfigFile::TMPLocationType() const
{
    return ReadValue("Path", "TMPLocationType", "default");
}
std::string CConfigFile::LogLocation() const
{
    return ReadValue("Path", "LogLocation", "");
}
std::string CConfigFile::LogLocationType() const
{
    return ReadValue("Path", "LogLocationType", "default");
}
std::string CConfigFile::LangLocation() const
{
    return ReadValue("Path", "LangLocation", ".\\Lang\\");
}
std::string CConfigFile::LangLocationType() const
{
    return ReadValue("Path", "LangLocationType", "default");
}
std::string CConfigFile::XMLLocation() const
{
    return ReadValue("Path", "XMLLocation", "");
}
std::string CConfigFile::XMLLocationType() const
{
    return ReadValue("Path", "XMLLocationType", "default");
}
std::string CConfigFile::BufDir() const
{
    return ReadValue("BufPth", "BufDir", "");
}

} // namespace translation
