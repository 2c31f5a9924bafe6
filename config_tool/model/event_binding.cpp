#include "config_tool/model/event_binding.h"

#include <stdexcept>

namespace model {

namespace {

constexpr int kGroups = 6;
constexpr int kBits = 8;

// The last row naming (group, bit), or nullptr.
const EventClass* FindRow(const TextTables& tables, int group, int bit)
{
    const EventClass* found = nullptr;
    for (const EventClass& row : tables.eventClasses)
        if (row.group == group && row.bit == bit)
            found = &row;
    return found;
}

bool MaskIs(const Image& image, std::size_t offset, uint8_t value)
{
    for (std::size_t k = 0; k < kRecMaskSize; ++k)
        if (image.at(offset + kRecMask + k) != value)
            return false;
    return true;
}

void FillMask(Image& image, std::size_t offset, uint8_t value)
{
    for (std::size_t k = 0; k < kRecMaskSize; ++k)
        image.at(offset + kRecMask + k) = value;
}

uint8_t& MaskByte(Image& image, std::size_t offset, int group)
{
    return image.at(offset + kRecMask + static_cast<std::size_t>(group - 1));
}

uint8_t BitValue(int bit)
{
    return static_cast<uint8_t>(1u << (bit - 1));
}

struct Bit
{
    int group;
    int bit;
};

// The unit shows an arming delay through (3,5) and (4,8), and the controller wait through
// (6,5) and (6,6); each pair carries one name.
constexpr Bit kCoupled[][2] = {{{3, 5}, {4, 8}}, {{6, 5}, {6, 6}}};

void CheckRecord(std::size_t offset)
{
    if (offset > kImageSize - kRecMaskSize)
        throw std::out_of_range("indication record");
}

} // namespace

int FindLastLine(const ItemList& list, std::string_view line)
{
    for (int k = list.Count(); k-- > 0;)
        if (list.Line(k) == line)
            return k;
    return -1;
}

void BindEvent(Image& image, const TextTables& tables, ItemList& chooser, ItemList& list, int group,
               int bit, std::size_t offset)
{
    CheckRecord(offset);
    const EventClass* row = FindRow(tables, group, bit);
    if (!row)
        return;
    const int line = FindLastLine(chooser, row->name);
    if (line < 0)
        return;
    list.Append(chooser.Line(line));
    chooser.Delete(line);
    if (MaskIs(image, offset, 0xFF))
        FillMask(image, offset, 0);
    MaskByte(image, offset, group) |= BitValue(bit);
    // Binding sets the partner only from the pair's first member.
    for (const auto& pair : kCoupled)
        if (pair[0].group == group && pair[0].bit == bit)
            MaskByte(image, offset, pair[1].group) |= BitValue(pair[1].bit);
}

void UnbindEvent(Image& image, const TextTables& tables, ItemList& chooser, ItemList& list,
                 int group, int bit, std::size_t offset)
{
    CheckRecord(offset);
    const EventClass* row = FindRow(tables, group, bit);
    if (!row)
        return;
    const int line = FindLastLine(list, row->name);
    if (line < 0)
        return;
    chooser.Append(list.Line(line));
    list.Delete(line);
    MaskByte(image, offset, group) &= static_cast<uint8_t>(~BitValue(bit));
    // The shared name reaches here as the pair's second member, so either member clears both:
    // a bit left behind would be written to the unit and show the event again.
    for (const auto& pair : kCoupled)
        for (int m = 0; m < 2; ++m)
            if (pair[m].group == group && pair[m].bit == bit)
                MaskByte(image, offset, pair[1 - m].group) &=
                    static_cast<uint8_t>(~BitValue(pair[1 - m].bit));
    if (MaskIs(image, offset, 0))
        FillMask(image, offset, 0xFF);
}

void ShowBoundEvents(Image& image, const TextTables& tables, ItemList& chooser, std::size_t offset,
                     ItemList& list)
{
    CheckRecord(offset);
    if (MaskIs(image, offset, 0xFF))
        return;
    for (int group = 1; group <= kGroups; ++group)
        for (int bit = 1; bit <= kBits; ++bit)
            if (MaskByte(image, offset, group) & BitValue(bit))
                BindEvent(image, tables, chooser, list, group, bit, offset);
}

} // namespace model
