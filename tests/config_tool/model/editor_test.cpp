#include "config_tool/model/editor.h"

#include "config_tool/model/codecs.h"
#include "tests/config_tool/model/recording_editor.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace model {
namespace {

using test::RecordingEditor;

const TextTables& En()
{
    return ConstantTables(Language::English);
}

bool WrittenByFormToImage(std::size_t offset)
{
    return offset <= 119 || (offset >= 123 && offset <= 132) || (offset >= 256 && offset <= 322) ||
           (offset >= 324 && offset <= 383);
}

TEST(ImageToForm, FactoryImageFillsThePagesInOrder)
{
    RecordingEditor editor;
    KeyCodes codes{};
    ImageToForm(FactoryImage(), codes, editor);
    for (int p = 1; p <= 60; ++p) {
        EXPECT_EQ(editor.Text(ControlName("Obj", p, "ParamNumber")), std::to_string(p));
        EXPECT_EQ(editor.ItemIndex(ControlName("Obj", p, "ParamType")), 0);
        EXPECT_EQ(editor.ItemIndex(ControlName("Obj", p, "ParamButton")), 3);
    }
    EXPECT_EQ(editor.Text("MainParamPin"), "");
    EXPECT_EQ(editor.Text("MainParamTime"), "255");
    for (const char* box : {"MainParam2U", "MainParamBell", "MainParamReset"}) {
        EXPECT_EQ(editor.checks.count(box), 1u) << box;
        EXPECT_FALSE(editor.Checked(box)) << box;
    }
    for (int s = 1; s <= 7; ++s)
        EXPECT_EQ(editor.ItemIndex(ControlName("System", s, "ParamType")), s - 1);
    for (int n = 1; n <= 8; ++n)
        EXPECT_EQ(editor.Text("ParamKey" + std::to_string(n)), "0000000000000000");

    const std::vector<std::string> order = {"SetText Obj01ParamNumber",
                                            "SetText Obj60ParamNumber",
                                            "SetItemIndex Obj01ParamType",
                                            "SetItemIndex Obj60ParamType",
                                            "SetItemIndex Obj01ParamButton",
                                            "SetItemIndex Obj60ParamButton",
                                            "SetText MainParamPin",
                                            "SetText MainParamTime",
                                            "SetChecked MainParam2U",
                                            "SetChecked MainParamReset",
                                            "SetItemIndex System01ParamType",
                                            "SetItemIndex System07ParamType",
                                            "SetText ParamKey1",
                                            "SetText ParamKey8"};
    auto at = [&](const std::string& call) {
        return std::find(editor.calls.begin(), editor.calls.end(), call) - editor.calls.begin();
    };
    for (std::size_t k = 1; k < order.size(); ++k)
        EXPECT_LT(at(order[k - 1]), at(order[k])) << order[k];
    EXPECT_EQ(editor.calls.size(), 60u * 3 + 2 + 3 + 7 + 8);
}

TEST(FormToImage, RoundTripOfTheFactoryImage)
{
    RecordingEditor editor;
    KeyCodes codes{};
    codes[2] = KeyTextToBytes("3DBC9A7856341201");
    ImageToForm(FactoryImage(), codes, editor);
    Image image = FactoryImage();
    KeyCodes back{};
    FormToImage(editor, image, back);
    EXPECT_EQ(image, FactoryImage());
    EXPECT_EQ(back, codes);
}

TEST(FormToImage, WritesOnlyItsOwnBytes)
{
    RecordingEditor editor;
    for (int p = 1; p <= 60; ++p) {
        editor.texts[ControlName("Obj", p, "ParamNumber")] = "9999";
        editor.items[ControlName("Obj", p, "ParamType")] = 14;
        editor.items[ControlName("Obj", p, "ParamButton")] = 2;
    }
    editor.texts["MainParamPin"] = "1234";
    editor.texts["MainParamTime"] = "30";
    editor.checks["MainParam2U"] = true;
    editor.checks["MainParamReset"] = true;
    for (int s = 1; s <= 7; ++s)
        editor.items[ControlName("System", s, "ParamType")] = 7 - s;
    editor.texts["ParamKey8"] = "3DBC9A7856341201";

    Image image;
    image.fill(0xA5);
    KeyCodes codes{};
    FormToImage(editor, image, codes);
    for (std::size_t k = 0; k < kImageSize; ++k)
        if (!WrittenByFormToImage(k)) {
            ASSERT_EQ(image[k], 0xA5) << k;
        }
    for (int p = 1; p <= 60; ++p) {
        EXPECT_EQ(image[PartitionNumberOffset(p)], 0x0F);
        EXPECT_EQ(image[PartitionNumberOffset(p) + 1], 0x27);
        EXPECT_EQ(image[PartitionTypeOffset(p)], 21);
        EXPECT_EQ(image[ButtonModeOffset(p)], 10);
    }
    const uint8_t pin[] = {0xF0, 0x34, 0x12, 0xFF, 0xFF, 0xFF, 0xFF, 0x07};
    EXPECT_TRUE(std::equal(std::begin(pin), std::end(pin), image.begin() + kPinOffset));
    EXPECT_EQ(image[kAlarmTimeOffset], 30);
    EXPECT_EQ(image[kOptionsOffset], kOptionTwoPower | kOptionReset);
    EXPECT_EQ(image[SystemTypeOffset(1)], 18);
    EXPECT_EQ(image[SystemTypeOffset(7)], 12);
    EXPECT_EQ(codes[7], KeyTextToBytes("3DBC9A7856341201"));
    EXPECT_EQ(codes[0], KeyCode{});
}

TEST(FormToImage, EditTextsOutOfRangeOrNotNumbers)
{
    struct Case
    {
        std::string number, time;
        uint8_t low, high, timeByte;
    };
    const Case cases[] = {
        {"12345", "300", 0x0F, 0x27, 255}, // held to the edits' limits
        {"256", "99", 0x00, 0x01, 99},
        {"0", "0", 0x00, 0x00, 0},
        {"", "", 0xA5, 0xA5, 0xA5}, // no number: bytes stay
        {"12a", "-1", 0xA5, 0xA5, 0xA5},
        {"99999999999999999999999", "99999999999999999999", 0x0F, 0x27, 255},
    };
    for (const Case& c : cases) {
        RecordingEditor editor;
        editor.texts["Obj05ParamNumber"] = c.number;
        editor.texts["MainParamTime"] = c.time;
        Image image;
        image.fill(0xA5);
        KeyCodes codes{};
        FormToImage(editor, image, codes);
        EXPECT_EQ(image[PartitionNumberOffset(5)], c.low) << c.number;
        EXPECT_EQ(image[PartitionNumberOffset(5) + 1], c.high) << c.number;
        EXPECT_EQ(image[kAlarmTimeOffset], c.timeByte) << c.time;
    }
}

TEST(ShowIndicationType, RebuildsTheChooserAndTheEventLists)
{
    Image image = FactoryImage();
    RecordingEditor editor;
    editor.lists["IndAllListEvent"].lines = {"stale"};
    editor.lists["Ind05ParamListEvent"].lines = {"stale"};
    for (int pass = 0; pass < 2; ++pass) {
        ShowIndicationType(image, En(), editor, 11);
        const auto& chooser = editor.lists["IndAllListEvent"].lines;
        int bound = 0;
        for (int i = 1; i <= 16; ++i)
            bound += static_cast<int>(
                editor.lists[ControlName("Ind", i, "ParamListEvent")].lines.size());
        EXPECT_EQ(static_cast<int>(chooser.size()) + bound, 40);
        EXPECT_EQ(std::count(chooser.begin(), chooser.end(), "stale"), 0);
        EXPECT_EQ(std::count(chooser.begin(), chooser.end(), "Arming Delay"), 1);
        EXPECT_EQ(editor.lists["Ind05ParamListEvent"].lines,
                  (std::vector<std::string>{"Low Temperature", "Low Level", "Too Low Level"}));
        EXPECT_TRUE(editor.lists["Ind07ParamListEvent"].lines.empty());
    }
    EXPECT_EQ(image, FactoryImage());
}

TEST(ShowIndicationType, OutOfRangeBytesSelectNothingOrSilence)
{
    Image image = FactoryImage();
    const std::size_t r = RecordOffset(7, 3);
    image[r + kRecPriority] = 0;
    image[r + kRecSound] = 31;
    RecordingEditor editor;
    ShowIndicationType(image, En(), editor, 7);
    EXPECT_EQ(editor.ItemIndex("Ind03ParamSoundPrioritet"), -1);
    EXPECT_EQ(editor.ItemIndex("Ind03ParamSoundType"), 0);
    EXPECT_THROW(ShowIndicationType(image, En(), editor, 24), std::out_of_range);
}

TEST(ShowSoundPattern, SetsThePositionsThenRunsTheirHandlers)
{
    Image image = FactoryImage();
    image[SoundOffset(9)] = 0xCC;
    image[SoundOffset(9) + 3] = 0x1F;
    RecordingEditor editor;
    editor.onChange = [&](std::string_view control) {
        ApplySoundPosition(image, editor, 9, control.back() - '0');
    };
    ShowSoundPattern(image, editor, 9);
    ASSERT_EQ(editor.calls.size(), 16u);
    for (int k = 1; k <= 8; ++k) {
        EXPECT_EQ(editor.calls[static_cast<std::size_t>(k - 1)],
                  "SetItemIndex SoundParamColorPos" + std::to_string(k));
        EXPECT_EQ(editor.calls[static_cast<std::size_t>(k + 7)],
                  "RunChangeHandler SoundParamColorPos" + std::to_string(k));
    }
    EXPECT_EQ(editor.ItemIndex("SoundParamColorPos1"), kSoundHalf);
    EXPECT_EQ(editor.ItemIndex("SoundParamColorPos7"), kSoundOn);
    // Half written back as 3, on as F.
    EXPECT_EQ(image[SoundOffset(9)], 0x33);
    EXPECT_EQ(image[SoundOffset(9) + 3], 0xFF);
    EXPECT_THROW(ShowSoundPattern(image, editor, 0), std::out_of_range);
    EXPECT_THROW(ShowSoundPattern(image, editor, 31), std::out_of_range);
}

TEST(ApplyColourPosition, SystemTypesShowRedOrNothing)
{
    struct Case
    {
        int type, chosen, shown;
        uint8_t red, green;
    };
    const Case cases[] = {
        {12, kColourGreen, kColourRed, 0xF0, 0x00},
        {18, kColourYellow, kColourRed, 0xF0, 0x00},
        {15, kColourGreenBlink, kColourRed, 0xF0, 0x00},
        {12, kColourOff, kColourOff, 0x00, 0x00},
        {11, kColourGreen, kColourGreen, 0x00, 0xF0},
        {19, kColourGreenBlink, kColourGreenBlink, 0x00, 0xC0},
    };
    for (const Case& c : cases) {
        Image image{};
        RecordingEditor editor;
        editor.items["Ind04ParamColorPos1"] = c.chosen;
        editor.items["Ind04ParamColorPos2"] = kColourOff;
        ApplyColourPosition(image, editor, c.type, 4, 1);
        EXPECT_EQ(editor.ItemIndex("Ind04ParamColorPos1"), c.shown) << c.type;
        EXPECT_EQ(image[RecordOffset(c.type, 4) + kRecRed], c.red) << c.type;
        EXPECT_EQ(image[RecordOffset(c.type, 4) + kRecGreen], c.green) << c.type;
    }
}

TEST(ApplyColourPosition, RewritesOnlyThePairOfThePosition)
{
    Image image;
    image.fill(0x11);
    RecordingEditor editor;
    editor.items["Ind02ParamColorPos3"] = kColourYellow;
    editor.items["Ind02ParamColorPos4"] = kColourGreen;
    ApplyColourPosition(image, editor, 0, 2, 3);
    for (std::size_t k = 0; k < kImageSize; ++k)
        if (k != 665 && k != 669) {
            ASSERT_EQ(image[k], 0x11) << k;
        }
    EXPECT_EQ(image[665], 0xF0);
    EXPECT_EQ(image[669], 0xFF);
    ApplyColourPosition(image, editor, 0, 2, 4);
    EXPECT_EQ(image[665], 0xF0);
    EXPECT_THROW(ApplyColourPosition(image, editor, 0, 2, 9), std::out_of_range);
}

} // namespace
} // namespace model
