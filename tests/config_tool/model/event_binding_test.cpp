#include "config_tool/model/event_binding.h"

#include "tests/config_tool/model/recording_editor.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

namespace model {
namespace {

using test::VectorList;
using Mask = std::array<uint8_t, 6>;

constexpr Mask kNone = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

// One record of type 0 and the event chooser as the indication page fills it.
class EventBinding : public testing::Test
{
protected:
    EventBinding()
    {
        image.fill(0x77);
        SetMask(kNone);
        for (int row = 1; row <= 42; ++row)
            if (row != 29 && row != 41)
                chooser.Append(EventClassRow(tables, row).name);
    }
    void SetMask(const Mask& mask) { std::copy(mask.begin(), mask.end(), image.begin() + offset); }
    Mask GetMask() const
    {
        Mask mask{};
        std::copy_n(image.begin() + offset, 6, mask.begin());
        return mask;
    }
    // Binds and unbinds by name, as the add and delete buttons do.
    void Bind(std::string_view name, VectorList& to)
    {
        const EventClass& row = EventClassRow(tables, EventClassIndex(tables, name));
        BindEvent(image, tables, chooser, to, row.group, row.bit, offset);
    }
    void Unbind(std::string_view name, VectorList& from)
    {
        const EventClass& row = EventClassRow(tables, EventClassIndex(tables, name));
        UnbindEvent(image, tables, chooser, from, row.group, row.bit, offset);
    }
    bool ChooserHas(std::string_view name) const { return FindLastLine(chooser, name) >= 0; }

    const TextTables& tables = ConstantTables(Language::English);
    const std::size_t offset = RecordOffset(0, 3);
    Image image{};
    VectorList chooser;
    VectorList list;
};

TEST_F(EventBinding, BindAndUnbindMaskVectors)
{
    BindEvent(image, tables, chooser, list, 3, 5, offset);
    EXPECT_EQ(GetMask(), (Mask{0x00, 0x00, 0x10, 0x80, 0x00, 0x00}));
    EXPECT_EQ(list.lines, std::vector<std::string>{"Arming Delay"});
    EXPECT_FALSE(ChooserHas("Arming Delay"));
    UnbindEvent(image, tables, chooser, list, 3, 5, offset);
    EXPECT_EQ(GetMask(), kNone);
    EXPECT_TRUE(list.lines.empty());
    EXPECT_TRUE(ChooserHas("Arming Delay"));

    BindEvent(image, tables, chooser, list, 4, 8, offset);
    EXPECT_EQ(GetMask(), (Mask{0x00, 0x00, 0x00, 0x80, 0x00, 0x00}));
    BindEvent(image, tables, chooser, list, 6, 5, offset);
    EXPECT_EQ(GetMask(), (Mask{0x00, 0x00, 0x00, 0x80, 0x00, 0x30}));
    BindEvent(image, tables, chooser, list, 1, 1, offset);
    EXPECT_EQ(GetMask(), (Mask{0x01, 0x00, 0x00, 0x80, 0x00, 0x30}));
    // The rest of the record is not touched.
    EXPECT_EQ(image[offset + 6], 0x77);
    EXPECT_EQ(image[offset - 1], 0x77);
}

// The delete button reaches UnbindEvent with the pair's second member (the name's last row); the
// first member's bit must go too, or the event returns from the unit at the next type switch.
TEST_F(EventBinding, UnbindingEitherMemberOfACoupledPairClearsBoth)
{
    struct Case
    {
        std::string_view name;
        Mask bound;
    };
    const Case cases[] = {
        {"Arming Delay", {0x00, 0x00, 0x10, 0x80, 0x00, 0x00}},
        {"Waiting for a response from the controller...", {0x00, 0x00, 0x00, 0x00, 0x00, 0x30}},
    };
    for (const Case& c : cases) {
        const EventClass& first =
            EventClassRow(tables, EventClassIndex(tables, c.name) == 29 ? 19 : 40);
        BindEvent(image, tables, chooser, list, first.group, first.bit, offset);
        EXPECT_EQ(GetMask(), c.bound) << c.name;
        Unbind(c.name, list);
        EXPECT_EQ(GetMask(), kNone) << c.name;
        EXPECT_TRUE(ChooserHas(c.name));
        EXPECT_TRUE(list.lines.empty());
        // After a type switch the record shows nothing again.
        VectorList shown;
        ShowBoundEvents(image, tables, chooser, offset, shown);
        EXPECT_TRUE(shown.lines.empty()) << c.name;
    }
    // With another event bound only the pair goes.
    Bind("Tamper Alarm", list);
    BindEvent(image, tables, chooser, list, 3, 5, offset);
    Unbind("Arming Delay", list);
    EXPECT_EQ(GetMask(), (Mask{0x00, 0x10, 0x00, 0x00, 0x00, 0x00}));
    EXPECT_EQ(list.lines, std::vector<std::string>{"Tamper Alarm"});
}

TEST_F(EventBinding, UnbindingTheLastEventMarksTheRecordEmpty)
{
    Bind("Extinguishing", list);
    Bind("Pump On", list);
    Unbind("Extinguishing", list);
    EXPECT_EQ(GetMask(), (Mask{0x00, 0x00, 0x00, 0x10, 0x00, 0x00}));
    Unbind("Pump On", list);
    EXPECT_EQ(GetMask(), kNone);
    EXPECT_EQ(chooser.Count(), 40);
}

TEST_F(EventBinding, NothingChangesWithoutARowOrALine)
{
    const Image before = image;
    BindEvent(image, tables, chooser, list, 2, 7, offset);   // no such class
    BindEvent(image, tables, chooser, list, 7, 1, offset);   // no such group
    UnbindEvent(image, tables, chooser, list, 1, 1, offset); // not in the list
    EXPECT_EQ(image, before);
    chooser.Clear();
    BindEvent(image, tables, chooser, list, 1, 1, offset); // already bound elsewhere
    EXPECT_EQ(image, before);
    EXPECT_TRUE(list.lines.empty());
}

TEST_F(EventBinding, ShowBoundEventsListsEachClassOnceInBitOrder)
{
    SetMask({0x00, 0x00, 0x00, 0x00, 0x00, 0x00});
    ShowBoundEvents(image, tables, chooser, offset, list);
    EXPECT_TRUE(list.lines.empty());
    EXPECT_EQ(chooser.Count(), 40);

    // Group 2 bit 7 has no class; (3,5) and (4,8) show as one line.
    SetMask({0x81, 0x40, 0x10, 0x80, 0x00, 0x00});
    ShowBoundEvents(image, tables, chooser, offset, list);
    EXPECT_EQ(list.lines,
              (std::vector<std::string>{"Extinguishing", "Discharge Prohibited", "Arming Delay"}));
    EXPECT_EQ(chooser.Count(), 37);

    // A class already listed under another indicator of the type is not listed again.
    const std::size_t next = RecordOffset(0, 4);
    std::fill_n(image.begin() + next, 6, 0);
    image[next] = 0x03;
    VectorList second;
    ShowBoundEvents(image, tables, chooser, next, second);
    EXPECT_EQ(second.lines, std::vector<std::string>{"Pre-discharge Delay"});
}

TEST_F(EventBinding, ShowingTheFirstMemberAlsoSetsItsPartner)
{
    SetMask({0x00, 0x00, 0x00, 0x00, 0x00, 0x10});
    ShowBoundEvents(image, tables, chooser, offset, list);
    EXPECT_EQ(GetMask(), (Mask{0x00, 0x00, 0x00, 0x00, 0x00, 0x30}));
    EXPECT_EQ(list.lines,
              std::vector<std::string>{"Waiting for a response from the controller..."});
}

TEST_F(EventBinding, RecordOutsideTheImageIsRefused)
{
    EXPECT_THROW(BindEvent(image, tables, chooser, list, 1, 1, kImageSize - 3), std::out_of_range);
}

} // namespace
} // namespace model
