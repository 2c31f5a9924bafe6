#include "config_tool/model/config_file.h"

#include "platform/file_util.h"

#include <algorithm>
#include <array>

namespace model {

namespace {

constexpr uint8_t kFormatMark = 2;
constexpr std::size_t kHeaderMark = 3;
constexpr std::size_t kImageRecords = 101;
constexpr std::size_t kCodeBytes = 64;
static_assert(kImageRecords * kFileRecordSize == kImageSize);
static_assert(kFileCodesOffset == kFileRecordSize * (1 + kImageRecords));
static_assert(kCodeBytes + 12 == kFileRecordSize);

uint8_t ModelByte(std::string_view model)
{
    return model == kModelKlv ? 0 : 1;
}

} // namespace

bool SaveConfigFile(const std::string& path, const std::string& modelName, const Image& image,
                    const KeyCodes& codes)
{
    std::array<uint8_t, kFileSize> file{};
    file[kHeaderMark] = kFormatMark;
    file[kFileModelOffset] = ModelByte(modelName);
    std::copy(image.begin(), image.end(), file.begin() + kFileRecordSize);
    auto out = file.begin() + kFileCodesOffset;
    for (const KeyCode& code : codes)
        out = std::copy(code.begin(), code.end(), out);
    // The last record repeats the image's last twelve bytes after the codes.
    std::copy(image.end() - 12, image.end(), out);
    return platform::ReplaceFile(path, std::string_view(reinterpret_cast<const char*>(file.data()), file.size()));
}

LoadedConfig LoadConfigFile(const std::string& path, std::optional<std::string_view> unitModel)
{
    LoadedConfig result;
    // A FIFO, a device or a folder chosen by mistake fails at once instead of holding the
    // window; only the 103 records are ever read, however long the file is.
    const std::optional<std::string> contents = platform::detail::ReadWholeFile(path, kFileSize);
    if (!contents)
        return result;
    std::array<uint8_t, kFileSize> file{};
    const std::size_t size = contents->size();
    std::copy(contents->begin(), contents->end(), file.begin());
    if (size < kFileRecordSize)
        return result;
    if (file[0] != 0 || file[1] != 0 || file[2] != 0 || file[kHeaderMark] != kFormatMark) {
        result.status = LoadStatus::ForeignHeader;
        return result;
    }
    const uint8_t model = file[kFileModelOffset];
    if (unitModel && model != ModelByte(*unitModel)) {
        result.status = LoadStatus::ModelMismatch;
        return result;
    }
    // Only a complete file is taken, and only then the model with it.
    if (size < kFileSize)
        return result;
    std::copy_n(file.begin() + kFileRecordSize, kImageSize, result.image.begin());
    auto in = file.begin() + kFileCodesOffset;
    for (KeyCode& code : result.codes) {
        std::copy_n(in, code.size(), code.begin());
        in += static_cast<std::ptrdiff_t>(code.size());
    }
    result.modelName =
        unitModel ? std::string(*unitModel) : std::string(model == 0 ? kModelKlv : kModelVd);
    result.status = LoadStatus::Ok;
    return result;
}

std::vector<int> LoadMessages(LoadStatus status)
{
    switch (status) {
    case LoadStatus::Ok:
        return {};
    case LoadStatus::ForeignHeader:
        return {31, 9};
    case LoadStatus::ModelMismatch:
        return {32, 9};
    case LoadStatus::Unreadable:
        break;
    }
    return {9};
}

} // namespace model
