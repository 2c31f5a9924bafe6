#pragma once
// The abstract ini interface shared by the in-memory ini file and the product's configuration
// file: the untyped operations are each file class's own, the typed ones are built here on
// ReadValue and WriteValue, so every typed write shares the file class's guards.

#include <chrono>
#include <stdexcept>
#include <string>
#include <vector>

namespace translation {

// A file that exists but cannot be read, or a Flush that cannot write the file.
class IniFileError : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

// A key or value that WriteValue refuses because stored as a line it would read back as
// something else (see TMemIniFile::WriteValue).
class IniValueError : public std::invalid_argument
{
public:
    using std::invalid_argument::invalid_argument;
};

using IniDate = std::chrono::sys_days;        // text form 2026-12-10
using IniDateTime = std::chrono::sys_seconds; // text form 2026-12-10 13:45:00
using IniTime = std::chrono::seconds;         // time of day, text form 13:45:00

// The abstract ini interface: the eight untyped operations are left to the file class, the
// typed ones are built on ReadValue and WriteValue.
class IniFileBase
{
public:
    explicit IniFileBase(std::string fileName) : fileName_(std::move(fileName)) {}
    virtual ~IniFileBase() = default;
    IniFileBase(const IniFileBase&) = delete;
    IniFileBase& operator=(const IniFileBase&) = delete;

    const std::string& FileName() const { return fileName_; }

    virtual std::string ReadValue(const std::string& section, const std::string& key,
                                  const std::string& def) const = 0;
    virtual void WriteValue(const std::string& section, const std::string& key,
                            const std::string& value) = 0;
    // "0x1F" and "$1F" read as hexadecimal; text that does not convert gives def.
    virtual int ReadIntValue(const std::string& section, const std::string& key, int def) const;
    virtual void WriteIntValue(const std::string& section, const std::string& key, int value);
    virtual bool ReadBoolValue(const std::string& section, const std::string& key, bool def) const;
    virtual void WriteBoolValue(const std::string& section, const std::string& key, bool value);
    virtual IniDate ReadDateValue(const std::string& section, const std::string& key,
                                  IniDate def) const;
    virtual IniDateTime ReadDateTimeValue(const std::string& section, const std::string& key,
                                          IniDateTime def) const;
    virtual double ReadFloatValue(const std::string& section, const std::string& key,
                                  double def) const;
    virtual IniTime ReadTimeValue(const std::string& section, const std::string& key,
                                  IniTime def) const;
    virtual void WriteDateValue(const std::string& section, const std::string& key, IniDate value);
    virtual void WriteDateTimeValue(const std::string& section, const std::string& key,
                                    IniDateTime value);
    virtual void WriteFloatValue(const std::string& section, const std::string& key, double value);
    virtual void WriteTimeValue(const std::string& section, const std::string& key, IniTime value);
    virtual void ReadKeyNames(const std::string& section, std::vector<std::string>& list) const = 0;
    virtual void ReadSectionNames(std::vector<std::string>& list) const = 0;
    virtual void ReadValueList(const std::string& section,
                               std::vector<std::string>& list) const = 0;
    virtual void RemoveSection(const std::string& section) = 0;
    virtual void RemoveKey(const std::string& section, const std::string& key) = 0;
    virtual void Flush() = 0;

    // True when the section holds at least one key.
    bool HasSection(const std::string& section) const;

private:
    std::string fileName_;
};

} // namespace translation
