#pragma once
// The model's editor interface on real widgets: controls are found by object name among the
// descendants of the windows given (the main window, and the event chooser for
// "IndAllListEvent").  Edits are QLineEdit, drop-down lists QComboBox, check boxes QCheckBox,
// list boxes QListWidget.  A name that matches no control of the expected kind throws
// std::invalid_argument naming it; an item index out of a list box throws std::out_of_range.
//
// Change handlers have one path, OnChange: a handler tied to a control there runs when the
// operator changes the control (its user-action signal, `activated` for a drop-down list) and
// when RunChangeHandler names the control, and in no other way.  Setting a value from code
// (SetItemIndex, SetText, setCurrentIndex) runs none; refilling a page from the image relies on
// that.  The edits' input filters are not change handlers: they see text set from here too
// (textChanged).
//
// Threads: the user-interface thread only.

#include "config_tool/model/editor.h"

#include <QHash>
#include <QMetaObject>
#include <QPointer>
#include <QString>

#include <functional>
#include <memory>
#include <vector>

class QComboBox;
class QWidget;

namespace ui {

class WidgetEditor : public model::Editor
{
public:
    explicit WidgetEditor(std::vector<QWidget*> roots = {});
    ~WidgetEditor() override;
    WidgetEditor(const WidgetEditor&) = delete;
    WidgetEditor& operator=(const WidgetEditor&) = delete;

    // Later-created windows join here; the name cache is dropped.
    void AddRoot(QWidget* root);
    // Ties `handler` to the drop-down list `box` (named already): it runs on the operator's
    // choice and on RunChangeHandler(box's name).  One handler per control.
    void OnChange(QComboBox* box, std::function<void()> handler);

    std::string Text(std::string_view control) const override;
    void SetText(std::string_view control, std::string_view text) override;
    int ItemIndex(std::string_view control) const override;
    void SetItemIndex(std::string_view control, int item) override;
    bool Checked(std::string_view control) const override;
    void SetChecked(std::string_view control, bool checked) override;
    model::ItemList& List(std::string_view control) override;
    // Runs the handler tied to the control by OnChange; a control without one has nothing to
    // run.  A name that matches no control throws std::invalid_argument.
    void RunChangeHandler(std::string_view control) override;

    // The control of that name, or nullptr.
    QWidget* Find(std::string_view control) const;

private:
    template <class W> W* Get(std::string_view control) const;
    class ListAdapter;

    std::vector<QPointer<QWidget>> roots_;
    mutable QHash<QString, QPointer<QWidget>> cache_;
    std::vector<std::unique_ptr<ListAdapter>> lists_;
    QHash<QString, std::function<void()>> handlers_;
    std::vector<QMetaObject::Connection> connections_;
};

} // namespace ui
