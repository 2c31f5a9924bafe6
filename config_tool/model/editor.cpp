#include "config_tool/model/editor.h"

#include "config_tool/model/codecs.h"

#include <charconv>
#include <optional>
#include <stdexcept>

namespace model {

std::string ControlName(std::string_view prefix, int number, std::string_view suffix)
{
    std::string name(prefix);
    if (number >= 0 && number < 10)
        name.push_back('0');
    name += std::to_string(number);
    name += suffix;
    return name;
}

namespace {

constexpr int kPartitionNumberMax = 9999;
constexpr int kAlarmTimeMax = 255;

std::string Numbered(std::string_view prefix, int number)
{
    std::string name(prefix);
    name += std::to_string(number);
    return name;
}

// A decimal edit's value, held to the largest value its edit allows; nullopt for a text that is
// no number, which then leaves its bytes as they are.
std::optional<int> EditValue(const std::string& text, int max)
{
    unsigned long long value = 0;
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (text.empty() || ptr != end)
        return std::nullopt;
    if (ec == std::errc::result_out_of_range || value > static_cast<unsigned long long>(max))
        return max;
    return static_cast<int>(value);
}

struct OptionBox
{
    const char* control;
    uint8_t bit;
};

constexpr OptionBox kOptionBoxes[] = {{"MainParam2U", kOptionTwoPower},
                                      {"MainParamBell", kOptionBell},
                                      {"MainParamReset", kOptionReset}};

int PositionItem(int (*high)(const Image&, std::size_t), int (*low)(const Image&, std::size_t),
                 const Image& image, std::size_t planeOffset, int position)
{
    const std::size_t byte = planeOffset + static_cast<std::size_t>(position - 1) / 2;
    return position % 2 == 1 ? high(image, byte) : low(image, byte);
}

void CheckPosition(int position)
{
    if (position < 1 || position > 8)
        throw std::out_of_range("pattern position");
}

void CheckEditedSound(int sound)
{
    if (sound < 1 || sound > kSounds)
        throw std::out_of_range("sound");
}

} // namespace

void ImageToForm(const Image& image, const KeyCodes& codes, Editor& editor)
{
    for (int p = 1; p <= kPositions; ++p) {
        const std::size_t at = PartitionNumberOffset(p);
        const int value = image.at(at) | image.at(at + 1) << 8;
        editor.SetText(ControlName("Obj", p, "ParamNumber"), std::to_string(value));
    }
    for (int p = 1; p <= kPositions; ++p)
        editor.SetItemIndex(ControlName("Obj", p, "ParamType"),
                            PartitionTypeItem(image.at(PartitionTypeOffset(p))));
    for (int p = 1; p <= kPositions; ++p)
        editor.SetItemIndex(ControlName("Obj", p, "ParamButton"),
                            ButtonModeItem(image.at(ButtonModeOffset(p))));
    editor.SetText("MainParamPin", PinToText(std::span<const uint8_t, kPinSize>(
                                       image.data() + kPinOffset, kPinSize)));
    editor.SetText("MainParamTime", std::to_string(image.at(kAlarmTimeOffset)));
    for (const OptionBox& box : kOptionBoxes)
        editor.SetChecked(box.control, (image.at(kOptionsOffset) & box.bit) != 0);
    for (int s = 1; s <= kSystemIndicators; ++s)
        editor.SetItemIndex(ControlName("System", s, "ParamType"),
                            SystemTypeItem(image.at(SystemTypeOffset(s))));
    for (int n = 1; n <= 8; ++n)
        editor.SetText(Numbered("ParamKey", n), KeyBytesToText(codes.at(n - 1)));
}

void FormToImage(const Editor& editor, Image& image, KeyCodes& codes)
{
    for (int p = 1; p <= kPositions; ++p) {
        const auto value =
            EditValue(editor.Text(ControlName("Obj", p, "ParamNumber")), kPartitionNumberMax);
        if (!value)
            continue;
        const std::size_t at = PartitionNumberOffset(p);
        image.at(at) = static_cast<uint8_t>(*value % 256);
        image.at(at + 1) = static_cast<uint8_t>(*value / 256);
    }
    for (int p = 1; p <= kPositions; ++p)
        image.at(PartitionTypeOffset(p)) =
            PartitionTypeCode(editor.ItemIndex(ControlName("Obj", p, "ParamType")));
    for (int p = 1; p <= kPositions; ++p)
        image.at(ButtonModeOffset(p)) =
            ButtonModeCode(editor.ItemIndex(ControlName("Obj", p, "ParamButton")));
    const PinBytes pin = TextToPin(editor.Text("MainParamPin"));
    for (std::size_t k = 0; k < kPinSize; ++k)
        image.at(kPinOffset + k) = pin[k];
    if (const auto time = EditValue(editor.Text("MainParamTime"), kAlarmTimeMax))
        image.at(kAlarmTimeOffset) = static_cast<uint8_t>(*time);
    uint8_t options = 0;
    for (const OptionBox& box : kOptionBoxes)
        if (editor.Checked(box.control))
            options |= box.bit;
    image.at(kOptionsOffset) = options;
    for (int s = 1; s <= kSystemIndicators; ++s)
        image.at(SystemTypeOffset(s)) =
            SystemTypeCode(editor.ItemIndex(ControlName("System", s, "ParamType")));
    for (int n = 1; n <= 8; ++n)
        codes.at(n - 1) = KeyTextToBytes(editor.Text(Numbered("ParamKey", n)));
}

void ShowIndicationType(Image& image, const TextTables& tables, Editor& editor, int type)
{
    for (int i = 1; i <= kIndicators; ++i) {
        const std::size_t r = RecordOffset(type, i);
        const std::string colours = ControlName("Ind", i, "ParamColorPos");
        for (int k = 1; k <= 8; ++k)
            editor.SetItemIndex(
                Numbered(colours, k),
                PositionItem(DecodeColourHigh, DecodeColourLow, image, r + kRecRed, k));
        editor.SetItemIndex(ControlName("Ind", i, "ParamSoundPrioritet"),
                            PriorityItem(image.at(r + kRecPriority)));
        editor.SetItemIndex(ControlName("Ind", i, "ParamSoundType"),
                            SoundTypeItem(image.at(r + kRecSound)));
    }
    ItemList& chooser = editor.List("IndAllListEvent");
    chooser.Clear();
    // Rows 29 and 41 repeat the names of rows 19 and 40; each name is offered once.
    for (int row = 1; row <= static_cast<int>(kEventClassCount); ++row)
        if (row != 29 && row != 41)
            chooser.Append(EventClassRow(tables, row).name);
    for (int i = 1; i <= kIndicators; ++i) {
        ItemList& list = editor.List(ControlName("Ind", i, "ParamListEvent"));
        list.Clear();
        ShowBoundEvents(image, tables, chooser, RecordOffset(type, i), list);
    }
}

void ShowSoundPattern(const Image& image, Editor& editor, int sound)
{
    CheckEditedSound(sound);
    const std::size_t at = SoundOffset(sound);
    for (int k = 1; k <= 8; ++k)
        editor.SetItemIndex(Numbered("SoundParamColorPos", k),
                            PositionItem(DecodeSoundHigh, DecodeSoundLow, image, at, k));
    for (int k = 1; k <= 8; ++k)
        editor.RunChangeHandler(Numbered("SoundParamColorPos", k));
}

void ApplyColourPosition(Image& image, Editor& editor, int type, int indicator, int position)
{
    CheckPosition(position);
    const std::size_t r = RecordOffset(type, indicator);
    const std::string lists = ControlName("Ind", indicator, "ParamColorPos");
    const std::string name = Numbered(lists, position);
    const int item = editor.ItemIndex(name);
    // System indicators show red or nothing.
    if (type >= 12 && type <= 18 &&
        (item == kColourGreen || item == kColourYellow || item == kColourGreenBlink))
        editor.SetItemIndex(name, kColourRed);
    const int first = (position + 1) / 2 * 2 - 1;
    EncodeColourPair(image, r + kRecRed + static_cast<std::size_t>(position - 1) / 2,
                     editor.ItemIndex(Numbered(lists, first)),
                     editor.ItemIndex(Numbered(lists, first + 1)));
}

void ApplySoundPosition(Image& image, const Editor& editor, int sound, int position)
{
    CheckEditedSound(sound);
    CheckPosition(position);
    const int first = (position + 1) / 2 * 2 - 1;
    EncodeSoundPair(image, SoundOffset(sound) + static_cast<std::size_t>(position - 1) / 2,
                    editor.ItemIndex(Numbered("SoundParamColorPos", first)),
                    editor.ItemIndex(Numbered("SoundParamColorPos", first + 1)));
}

} // namespace model
