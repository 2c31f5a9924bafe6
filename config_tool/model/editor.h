#pragma once
// Moving values between the image and the editors. The editors are reached through the Editor
// interface by control name ("Obj01ParamNumber", "Ind03ParamColorPos5", ...), so the passes run
// the same against the main window and against a recording fake in the tests.

#include "config_tool/model/config_image.h"
#include "config_tool/model/event_binding.h"
#include "config_tool/model/text_tables.h"

#include <string>
#include <string_view>

namespace model {

class Editor
{
public:
    virtual ~Editor() = default;
    // Edits.
    virtual std::string Text(std::string_view control) const = 0;
    virtual void SetText(std::string_view control, std::string_view text) = 0;
    // Drop-down lists: the selected item, -1 for none. Setting it from here fires no change
    // handler.
    virtual int ItemIndex(std::string_view control) const = 0;
    virtual void SetItemIndex(std::string_view control, int item) = 0;
    // Check boxes.
    virtual bool Checked(std::string_view control) const = 0;
    virtual void SetChecked(std::string_view control, bool checked) = 0;
    // List boxes ("IndAllListEvent", "Ind01ParamListEvent" ..).
    virtual ItemList& List(std::string_view control) = 0;
    // Runs the control's change handler as an operator's change would.
    virtual void RunChangeHandler(std::string_view control) = 0;
};

// The indication type on screen: the item of "NumberSettingsInd". The editors' record offsets are
// RecordOffset(CurrentIndicationType(editor), indicator).
inline int CurrentIndicationType(const Editor& editor)
{
    return editor.ItemIndex("NumberSettingsInd");
}

// "Ind07ParamSoundType" style names: prefix, two-digit number, suffix.
std::string ControlName(std::string_view prefix, int number, std::string_view suffix = {});

// Fills the partition, device-settings and credential pages from the image and codes.
void ImageToForm(const Image& image, const KeyCodes& codes, Editor& editor);
// Writes those pages back: bytes 0-119, 123-132, 256-322, 324-383 and all the codes; no other
// image byte changes.
void FormToImage(const Editor& editor, Image& image, KeyCodes& codes);
// Shows the 16 records of indication type t (0..23) and rebuilds the event lists. Showing the
// bound events can set the partner bit of a coupled pair in the image.
void ShowIndicationType(Image& image, const TextTables& tables, Editor& editor, int type);
// Sets the eight position lists of sound s (1..30), then runs their change handlers.
void ShowSoundPattern(const Image& image, Editor& editor, int sound);

// The image side of the position handlers, for the windows' change handlers.
// Colour position k (1..8) of indicator i (1..16) in type t: in a system type (12..18) green,
// yellow and green blinking turn to red, in the list as well; then the pair holding k is written.
void ApplyColourPosition(Image& image, Editor& editor, int type, int indicator, int position);
// Sound position k (1..8) of sound s (1..30): the pair holding k is written.
void ApplySoundPosition(Image& image, const Editor& editor, int sound, int position);

} // namespace model
