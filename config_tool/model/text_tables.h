#pragma once
// The Russian and English text tables of the configuration tool and the two look-ups on them.
// Texts are UTF-8 literals with static storage; convert them with platform/text1251.h where a
// Windows-1251 form is needed.
//
// The tool reads every text from one set of current tables, a TextTables value owned by the main
// window that starts empty (all views empty) and is filled once by the language switch:
//     current = ConstantTables(LanguageFromFlag(flag));
// Only the message shown before the switch (message 0) is read from ConstantTables directly.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace model {

enum class Language { Russian, English };

// The language flag of the settings: 0 selects Russian, any other value English.
constexpr Language LanguageFromFlag(uint8_t flag)
{
    return flag == 0 ? Language::Russian : Language::English;
}

// One row of the event-class table: mask byte group-1, bit value 1 << (bit-1).
struct EventClass
{
    int group = 0; // 1..6
    int bit = 0;   // 1..8
    std::string_view name;
};

inline constexpr std::size_t kDeviceTypeCount = 47;
inline constexpr std::size_t kEventClassCount = 42;
inline constexpr std::size_t kMessageCount = 35;
inline constexpr std::size_t kCaptionCount = 99;
inline constexpr std::size_t kPartitionTypeCount = 17;
inline constexpr std::size_t kButtonModeCount = 4;
inline constexpr std::size_t kSystemLedTypeCount = 7;
inline constexpr std::size_t kIndicationTypeCount = 24;
inline constexpr std::size_t kColourCount = 5;
inline constexpr std::size_t kSoundCount = 31;
inline constexpr std::size_t kPreviewLengthCount = 4;
inline constexpr std::size_t kDeviceTypeNameMax = 30; // characters

// Row indexes are the item indexes of the lists filled from a table; event classes are numbered
// 1..42, row n at eventClasses[n-1]. Empty caption slots are empty views.
struct TextTables
{
    std::array<std::string_view, kDeviceTypeCount> deviceTypes{};
    std::array<EventClass, kEventClassCount> eventClasses{};
    std::array<std::string_view, kMessageCount> messages{};
    // Shown by the credential-code reader when a unit answers every event read but its log
    // never ends; the message table has no text for it.
    std::string_view eventLogNotEmptied;
    std::array<std::string_view, kCaptionCount> captions{};
    std::array<std::string_view, kPartitionTypeCount> partitionTypes{};
    std::array<std::string_view, kButtonModeCount> buttonModes{};
    std::array<std::string_view, kSystemLedTypeCount> systemLedTypes{};
    std::array<std::string_view, kIndicationTypeCount> indicationTypes{};
    std::array<std::string_view, kColourCount> colours{};
    std::array<std::string_view, kSoundCount> sounds{};
    std::array<std::string_view, kPreviewLengthCount> previewLengths{};
};

const TextTables& ConstantTables(Language language);

// The name of a bus device type: the row of the code below 47, else "???".
std::string_view DeviceTypeName(const TextTables& tables, uint8_t code);

// The number (1..42) of the last row whose name equals `name` exactly, 0 when none does. A name
// shared by two rows therefore gives the later row (29, 41).
int EventClassIndex(const TextTables& tables, std::string_view name);

// Row n (1..42) of the event-class table; out of range throws std::out_of_range.
const EventClass& EventClassRow(const TextTables& tables, int row);

// Message n (0..34); out of range throws std::out_of_range.
std::string_view Message(const TextTables& tables, int number);

} // namespace model
