#pragma once
// Moving a configuration between the tool and one unit: the identity check, the read of the
// image and of the eight credential codes, and the write of what changed.  Every exchange is
// one synchronous request and answer on the channel; every answer is checked field by field and
// the first mismatch abandons the whole operation.
//
// Threads: the user-interface thread only.  The event queue is not served during a transfer.

#include "config_tool/device/command_channel.h"
#include "config_tool/device/operation_ui.h"
#include "config_tool/model/config_image.h"

#include <cstddef>
#include <cstdint>
#include <span>

namespace device {

inline constexpr int kImageReadSteps = 960; // 8 bytes each; the last one runs past the end
inline constexpr int kKeySlots = 8;
inline constexpr int kTransferRetries = 6;

struct UnitIdentity
{
    uint8_t type = 0;
    uint16_t version = 0; // 222 means 2.22
};

// Type 10 at 2.22 or 2.23, type 44 at 2.23.
bool IsSupportedUnit(uint8_t type, uint16_t version);

enum class WriteOutcome {
    Written,
    Failed,  // the unit is partly written; the caller shows the write error
    Stopped, // the operator cancelled, or the unit was refused and that has been shown
};

class Transfer
{
public:
    Transfer(CommandChannel& channel, OperationUi& ui,
             const model::Image& read_mask = model::ReadMask());

    // Type query, then version query.  Does not set up the channel or touch the toolbar.
    bool CheckDeviceModel(uint8_t address);
    // As CheckDeviceModel, also handing back what the unit said.
    bool QueryIdentity(uint8_t address, UnitIdentity& identity);

    // On failure the bytes received so far stay in the target.
    bool ReadImage(uint8_t address, int port, model::Image& image);
    bool ReadKeyCodes(uint8_t address, int port, model::KeyCodes& codes);

    // Writes every byte that the mask transfers and that differs from image_copy; on success
    // image_copy becomes image.  read_port is the port of the read that image_copy came from.
    WriteOutcome WriteImage(uint8_t address, int current_port, int read_port,
                            const model::Image& image, model::Image& image_copy);
    // Writes the slots that differ from codes_copy, then the closing command; on success
    // codes_copy becomes codes.  No identity check: it runs after a successful WriteImage.
    bool WriteKeyCodes(uint8_t address, int port, const model::KeyCodes& codes,
                       model::KeyCodes& codes_copy);

private:
    bool WriteRuns(uint8_t address, const model::Image& image, const model::Image& image_copy,
                   ProgressGuard& progress);
    bool WriteSlots(uint8_t address, const model::KeyCodes& codes,
                    const model::KeyCodes& codes_copy, ProgressGuard& progress);

    CommandChannel& channel_;
    OperationUi& ui_;
    const model::Image& mask_;
};

// Request frames (without checksum) of the unit's memory and credential commands.
Frame TypeQuery(uint8_t address);
Frame VersionQuery(uint8_t address);
Frame ImageReadRequest(uint8_t address, uint16_t offset);
Frame ImageWriteRequest(uint8_t address, uint16_t offset, std::span<const uint8_t> data);
Frame KeyReadRequest(uint8_t address, int slot);
Frame KeyWriteRequest(uint8_t address, int slot, const model::KeyCode& code);
Frame ClosingCommand(uint8_t address);

// Answer checks shared with the bus search.  Type answer: L at least 5, command byte 0, the
// type in byte 3.  Version answer: L 8, command 3E, the version in bytes 4 (low) and 5 (high).
struct TypeAnswer
{
    uint8_t type = 0;
    uint8_t length_byte = 0;
    uint16_t version = 0; // byte 4 when L is 5, else byte 4 + 256 x byte 5
};
bool ParseTypeAnswer(const Frame& answer, TypeAnswer& out);
bool ParseVersionAnswer(const Frame& answer, uint16_t& version);

} // namespace device
