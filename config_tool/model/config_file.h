#pragma once
// The ".kconf" configuration file: 103 records of 76 bytes (7,828 bytes).
//   record 0       bytes 0-2 zero, byte 3 = 2 (format mark), byte 4 model (0 "КЛВ", 1 "ВД")
//   records 1-101  the 7,676 image bytes in order
//   record 102     the 64 credential code bytes, then the last twelve image bytes again
// Records after the 103rd are ignored.

#include "config_tool/model/config_image.h"

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace model {

inline constexpr std::size_t kFileRecordSize = 76;
inline constexpr std::size_t kFileRecordCount = 103;
inline constexpr std::size_t kFileSize = kFileRecordSize * kFileRecordCount; // 7,828
inline constexpr std::size_t kFileModelOffset = 4;
inline constexpr std::size_t kFileCodesOffset = kFileRecordSize * 102;

inline constexpr std::string_view kModelKlv = "КЛВ"; // keypad model
inline constexpr std::string_view kModelVd = "ВД";   // indicator model

// Writes the file through the program's safe replace (platform::ReplaceFile): a temporary file
// in the same folder, synced and renamed over the old file only when complete. A failed save,
// and a save over a file the user may not write (read-only), returns false and leaves any old
// file as it was. Any model text other than "КЛВ" is stored as 1.
bool SaveConfigFile(const std::string& path, const std::string& modelName, const Image& image,
                    const KeyCodes& codes);

enum class LoadStatus {
    Ok,
    Unreadable,    // missing, empty, short or unreadable file
    ForeignHeader, // header is not 00 00 00 02; the file is refused
    ModelMismatch, // the file's model differs from the unit that was read
};

struct LoadedConfig
{
    LoadStatus status = LoadStatus::Unreadable;
    // Filled only when status is Ok. modelName is what the window's model becomes: the unit's
    // model when one was read, otherwise the model named by the file.
    std::string modelName;
    Image image{};
    KeyCodes codes{};
};

// unitModel: the model of the unit whose configuration was read, or nullopt when none was
// (source address 0). A failed load reports only its status, so the caller changes nothing.
// Anything but a regular file (a FIFO, a device, a folder) is Unreadable at once, without
// waiting for data; at most the 7,828 bytes of the file's records are read.
LoadedConfig LoadConfigFile(const std::string& path, std::optional<std::string_view> unitModel);

// The message numbers the open command shows for a load status, in order (none for Ok).
std::vector<int> LoadMessages(LoadStatus status);

} // namespace model
