#pragma once
// The registry as a text file in the .reg format ("Windows Registry Editor Version 5.00" or
// "REGEDIT4" header, [HKEY_LOCAL_MACHINE\...] sections, "name"="text", "name"=dword:0000001e
// and "name"=hex:01,02 values, UTF-8).  The file is $VENDAXO_REGISTRY, else
// $XDG_CONFIG_HOME/vendaxo/registry.reg (~/.config/vendaxo/registry.reg).
//
// Key paths are given below a hive without it ("SOFTWARE\KAVEX\ZEMRA\RS"); a leading '\' is
// ignored; key and value names compare case-insensitively; value names keep insertion order.
// A file that cannot be written still reads; writes then return false.  A file that exists but
// cannot be read, or one larger than kMaxRegistryFileBytes, reads as empty and is never
// written: writes return false (the last error tells why: kErrorFileTooLarge for one too
// large), and the first such load is reported once per object on stderr.  A malformed line is
// ignored (and written back unchanged when the file is saved), and the first one is reported
// once per object on stderr with its line number.  Values of other .reg types (hex(2), ...)
// are kept and count as existing, but read as missing.  Names and strings with a line break
// cannot stand in the file: writing them returns false.
//
// Threads: every operation is safe from any thread.  Each operation loads the file when it
// changed on disk; each write loads, changes and saves under flock, through a temporary file
// renamed over the old one, so two processes may share the file.
//
// The key hardware\devicemap\serialcomm also presents, without writing them, the serial
// devices found on the machine (ttyS* that the kernel reports as real, ttyUSB*, ttyACM*) that
// the file does not list, numbered from the first free COM number in name order.  The scan is
// off when the environment holds VENDAXO_NO_DEVICE_SCAN=1 at construction, and a test may put
// its own list in place with SetDeviceScan.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace platform {

enum class Hive { LocalMachine, CurrentUser };

// The largest registry file that is read: the bus layer's settings with room for long binary
// values.
inline constexpr std::size_t kMaxRegistryFileBytes = 32u << 20;

class RegistryFile
{
public:
    explicit RegistryFile(std::string path);
    ~RegistryFile();
    RegistryFile(const RegistryFile&) = delete;
    RegistryFile& operator=(const RegistryFile&) = delete;

    static std::string DefaultPath();
    const std::string& Path() const { return path_; }

    bool KeyExists(Hive hive, const std::string& key);
    bool CreateKey(Hive hive, const std::string& key); // false when the file cannot be written
    bool DeleteKey(Hive hive, const std::string& key);

    std::optional<std::string> ReadString(Hive hive, const std::string& key, const std::string& name);
    // A DWORD, read as signed 32-bit.  A value of another type counts as missing.
    std::optional<int32_t> ReadDword(Hive hive, const std::string& key, const std::string& name);
    std::optional<std::vector<uint8_t>> ReadBinary(Hive hive, const std::string& key, const std::string& name);
    bool ValueExists(Hive hive, const std::string& key, const std::string& name);

    bool WriteString(Hive hive, const std::string& key, const std::string& name, const std::string& value);
    bool WriteDword(Hive hive, const std::string& key, const std::string& name, int32_t value);
    bool WriteBinary(Hive hive, const std::string& key, const std::string& name, const std::vector<uint8_t>& value);
    bool DeleteValue(Hive hive, const std::string& key, const std::string& name);

    std::vector<std::string> ValueNames(Hive hive, const std::string& key);
    std::vector<std::string> SubKeys(Hive hive, const std::string& key);

    // The device paths presented under serialcomm (nullptr: none).
    void SetDeviceScan(std::function<std::vector<std::string>()> scan);

private:
    struct Data;
    struct Found
    {
        uint32_t type;
        std::string text;
        uint32_t dword;
        std::vector<uint8_t> bytes;
    };
    void Refresh(bool force);
    template <typename Change> bool Modify(Change change);
    std::optional<Found> Lookup(Hive hive, const std::string& key, const std::string& name);
    bool WriteValue(Hive hive, const std::string& key, const std::string& name, uint32_t type,
                    const std::string& text, uint32_t dword, const std::vector<uint8_t>& bytes);

    std::string path_;
    std::mutex mutex_;
    std::unique_ptr<Data> data_;
};

// The process's registry at DefaultPath(), created on first use and owned here.
RegistryFile& ProcessRegistry();

inline constexpr const char* kSerialCommKey = "hardware\\devicemap\\serialcomm";

// Resolves "COM5" or "\\.\COM10" to a device path through serialcomm (value name = device
// path, data = "COM<n>"); a name that starts with '/' is taken as a path.  No mapping: nullopt.
std::optional<std::string> ResolveComPort(RegistryFile& reg, const std::string& name);

} // namespace platform
