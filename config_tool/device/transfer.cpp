#include "config_tool/device/transfer.h"

#include "config_tool/device/messages.h"

#include <algorithm>
#include <exception>
#include <stdexcept>
#include <tuple>

namespace device {

namespace {

constexpr uint8_t kCmdType = 0x0D;
constexpr uint8_t kCmdVersion = 0x3F;
constexpr uint8_t kAnsVersion = 0x3E;
constexpr uint8_t kCmdImageRead = 0x43;
constexpr uint8_t kAnsImageRead = 0x44;
constexpr uint8_t kCmdImageWrite = 0x41;
constexpr uint8_t kAnsImageWrite = 0x42;
constexpr uint8_t kCmdKeyRead = 0x1D;
constexpr uint8_t kAnsKeyRead = 0x1E;
constexpr uint8_t kCmdKeyWrite = 0x25;
constexpr uint8_t kAnsKeyWrite = 0x26;
constexpr uint8_t kKeySubcommand = 0x0E;
constexpr uint8_t kCmdClose = 0x17;

constexpr uint8_t Lo(uint16_t v) { return static_cast<uint8_t>(v & 0xFF); }
constexpr uint8_t Hi(uint16_t v) { return static_cast<uint8_t>(v >> 8); }

bool Matches(const Frame& answer, std::initializer_list<uint8_t> head, std::size_t length)
{
    return answer.size() == length && std::equal(head.begin(), head.end(), answer.begin());
}

constexpr std::size_t kImageBytes = model::kImageSize;
constexpr int kKeyBytes = static_cast<int>(std::tuple_size_v<model::KeyCode>);

std::size_t Slot(int n) { return static_cast<std::size_t>(n - 1); }

// A request head followed by data, sized once (GCC 12 misreads a growing insert at -O2).
Frame WithData(std::initializer_list<uint8_t> head, std::span<const uint8_t> data)
{
    Frame f(head.size() + data.size());
    std::copy(head.begin(), head.end(), f.begin());
    std::copy(data.begin(), data.end(), f.begin() + static_cast<std::ptrdiff_t>(head.size()));
    return f;
}

} // namespace

bool IsSupportedUnit(uint8_t type, uint16_t version)
{
    return (type == 10 && (version == 222 || version == 223)) || (type == 44 && version == 223);
}

Frame TypeQuery(uint8_t a) { return {a, 0x06, 0x00, kCmdType, 0x00, 0x00}; }
Frame VersionQuery(uint8_t a) { return {a, 0x06, 0x00, kCmdVersion, 0x29, 0x00}; }

Frame ImageReadRequest(uint8_t a, uint16_t o)
{
    return {a, 0x08, 0x00, kCmdImageRead, Lo(o), Hi(o), 0x00, 0x08};
}

Frame ImageWriteRequest(uint8_t a, uint16_t o, std::span<const uint8_t> data)
{
    if (data.empty() || data.size() > 8)
        throw std::invalid_argument("image write: 1 to 8 bytes");
    return WithData({a, static_cast<uint8_t>(0x07 + data.size()), 0x00, kCmdImageWrite, Lo(o), Hi(o), 0x00},
                    data);
}

Frame KeyReadRequest(uint8_t a, int slot)
{
    return {a, 0x07, 0x00, kCmdKeyRead, kKeySubcommand, static_cast<uint8_t>(slot), 0x00};
}

Frame KeyWriteRequest(uint8_t a, int slot, const model::KeyCode& code)
{
    return WithData({a, 0x0F, 0x00, kCmdKeyWrite, kKeySubcommand, static_cast<uint8_t>(slot), 0x00},
                    code);
}

Frame ClosingCommand(uint8_t a) { return {a, 0x06, 0x00, kCmdClose, 0x00, 0x00}; }

bool ParseTypeAnswer(const Frame& answer, TypeAnswer& out)
{
    if (answer.size() < 5 || answer[1] < 5 || answer[2] != 0x00)
        return false;
    out.type = answer[3];
    out.length_byte = answer[1];
    out.version = answer[4];
    if (answer[1] != 5 && answer.size() > 5)
        out.version = static_cast<uint16_t>(answer[4] + 256 * answer[5]);
    return true;
}

bool ParseVersionAnswer(const Frame& answer, uint16_t& version)
{
    if (answer.size() < 6 || answer[1] != 0x08 || answer[2] != kAnsVersion)
        return false;
    version = static_cast<uint16_t>(answer[4] + 256 * answer[5]);
    return true;
}

Transfer::Transfer(CommandChannel& channel, OperationUi& ui, const model::Image& read_mask)
    : channel_(channel), ui_(ui), mask_(read_mask)
{
}

bool Transfer::QueryIdentity(uint8_t a, UnitIdentity& identity)
{
    try {
        TypeAnswer t;
        if (!ParseTypeAnswer(channel_.Exchange(TypeQuery(a)), t))
            return false;
        uint16_t version = 0;
        if (!ParseVersionAnswer(channel_.Exchange(VersionQuery(a)), version))
            return false;
        identity = {t.type, version};
        return IsSupportedUnit(t.type, version);
    } catch (const std::exception&) {
        return false;
    }
}

bool Transfer::CheckDeviceModel(uint8_t a)
{
    UnitIdentity ignored;
    return QueryIdentity(a, ignored);
}

bool Transfer::ReadImage(uint8_t a, int port, model::Image& image)
{
    ToolbarGuard toolbar(ui_);
    if (!PrepareChannel(channel_, port, kTransferRetries))
        return false;
    ProgressGuard progress(ui_, static_cast<int>(std::count(mask_.begin(), mask_.end(), 1)));
    try {
        for (int step = 0; step < kImageReadSteps; ++step) {
            const std::size_t o = static_cast<std::size_t>(step) * 8;
            const std::size_t end = std::min(o + 8, kImageBytes);
            const bool wanted = std::any_of(mask_.begin() + o, mask_.begin() + end,
                                            [](uint8_t m) { return m == 1; });
            const Frame answer = channel_.Exchange(ImageReadRequest(a, static_cast<uint16_t>(o)));
            if (wanted) {
                if (!Matches(answer, {a, 0x0C, kAnsImageRead, 0x08}, 13))
                    return false;
                for (std::size_t i = o; i < end; ++i)
                    if (mask_[i] == 1)
                        image[i] = answer.at(4 + i - o);
            }
            progress.Advance(8);
        }
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

bool Transfer::ReadKeyCodes(uint8_t a, int port, model::KeyCodes& codes)
{
    ToolbarGuard toolbar(ui_);
    if (!PrepareChannel(channel_, port, kTransferRetries))
        return false;
    ProgressGuard progress(ui_, kKeySlots * kKeyBytes);
    try {
        for (int n = 1; n <= kKeySlots; ++n) {
            const Frame answer = channel_.Exchange(KeyReadRequest(a, n));
            model::KeyCode& slot = codes.at(Slot(n));
            if (Matches(answer, {a, 0x0C, kAnsKeyRead, kKeySubcommand}, 13))
                std::copy(answer.begin() + 4, answer.begin() + 12, slot.begin());
            else if (Matches(answer, {a, 0x05, kAnsKeyRead, 0x00, 0x00}, 6))
                slot.fill(0);
            else
                return false;
            progress.Advance(kKeyBytes);
        }
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

WriteOutcome Transfer::WriteImage(uint8_t a, int current_port, int read_port,
                                  const model::Image& image, model::Image& image_copy)
{
    ToolbarGuard toolbar(ui_);
    if (read_port != current_port && !ui_.Confirm(kMsgOtherPort))
        return WriteOutcome::Stopped;
    if (!PrepareChannel(channel_, current_port, kTransferRetries))
        return WriteOutcome::Failed;
    int marked = 0;
    for (std::size_t i = 0; i < kImageBytes; ++i)
        marked += (mask_[i] == 1 && image[i] != image_copy[i]) ? 1 : 0;
    bool refused = false;
    bool written = false;
    {
        ProgressGuard progress(ui_, marked);
        refused = !CheckDeviceModel(a);
        if (!refused)
            written = WriteRuns(a, image, image_copy, progress);
    }
    if (refused) {
        ui_.ShowError(kMsgNotResponding);
        return WriteOutcome::Stopped;
    }
    if (!written)
        return WriteOutcome::Failed;
    image_copy = image;
    return WriteOutcome::Written;
}

bool Transfer::WriteRuns(uint8_t a, const model::Image& image, const model::Image& image_copy,
                         ProgressGuard& progress)
{
    auto marked = [&](std::size_t i) { return mask_[i] == 1 && image[i] != image_copy[i]; };
    try {
        std::size_t o = 0;
        while (o < kImageBytes) {
            if (!marked(o)) {
                ++o;
                continue;
            }
            std::size_t end = o + 1;
            while (end < kImageBytes && end - o < 8 && marked(end))
                ++end;
            const Frame answer = channel_.Exchange(
                ImageWriteRequest(a, static_cast<uint16_t>(o), std::span(image).subspan(o, end - o)));
            if (!Matches(answer, {a, 0x05, kAnsImageWrite, 0x00, 0x00}, 6))
                return false;
            progress.Advance(8);
            o = end;
        }
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

bool Transfer::WriteKeyCodes(uint8_t a, int port, const model::KeyCodes& codes,
                             model::KeyCodes& codes_copy)
{
    ToolbarGuard toolbar(ui_);
    int marked = 0;
    for (int n = 1; n <= kKeySlots; ++n)
        marked += codes.at(Slot(n)) != codes_copy.at(Slot(n)) ? 1 : 0;
    ProgressGuard progress(ui_, marked);
    if (!PrepareChannel(channel_, port, kTransferRetries) || !WriteSlots(a, codes, codes_copy, progress))
        return false;
    codes_copy = codes;
    try {
        channel_.Exchange(ClosingCommand(a)); // its answer is not looked at
    } catch (const std::exception&) {
        // the codes are written; the closing command has no answer to fail on
    }
    return true;
}

bool Transfer::WriteSlots(uint8_t a, const model::KeyCodes& codes,
                          const model::KeyCodes& codes_copy, ProgressGuard& progress)
{
    try {
        for (int n = 1; n <= kKeySlots; ++n) {
            const model::KeyCode& code = codes.at(Slot(n));
            if (code == codes_copy.at(Slot(n)))
                continue;
            const Frame answer = channel_.Exchange(KeyWriteRequest(a, n, code));
            if (!Matches(answer, {a, 0x06, kAnsKeyWrite, 0x01, static_cast<uint8_t>(n), 0x00}, 7))
                return false;
            progress.Advance(1);
        }
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

} // namespace device
