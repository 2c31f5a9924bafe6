#pragma once
// Binding event classes to indicator records. A record's six mask bytes hold one bit per event
// class; all six 0xFF means that no event is bound. The names move between the event chooser's
// list (the classes not yet bound in the indication type on screen) and an indicator's list.

#include "config_tool/model/config_image.h"
#include "config_tool/model/text_tables.h"

#include <cstddef>
#include <string>
#include <string_view>

namespace model {

// The lines of a list box; a Qt list widget implements it in the windows.
class ItemList
{
public:
    virtual ~ItemList() = default;
    virtual int Count() const = 0;
    virtual std::string Line(int index) const = 0;
    virtual void Append(std::string_view line) = 0; // a sorted list may insert in order
    virtual void Delete(int index) = 0;
    virtual void Clear() = 0;
};

// The last line equal to `line`, or -1.
int FindLastLine(const ItemList& list, std::string_view line);

// `offset` is the record's offset (RecordOffset). Group 3 bit 5 and group 4 bit 8 are one
// coupled pair, group 6 bits 5 and 6 another: binding a first member sets both bits, and
// unbinding either member clears both.
void BindEvent(Image& image, const TextTables& tables, ItemList& chooser, ItemList& list, int group,
               int bit, std::size_t offset);
void UnbindEvent(Image& image, const TextTables& tables, ItemList& chooser, ItemList& list,
                 int group, int bit, std::size_t offset);
// Binds every set bit of the record, group 1..6 and bit 1..8 in order, into `list`.
void ShowBoundEvents(Image& image, const TextTables& tables, ItemList& chooser, std::size_t offset,
                     ItemList& list);

} // namespace model
