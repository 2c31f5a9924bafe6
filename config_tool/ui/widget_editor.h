#pragma once
// The model's editor interface on real widgets: controls are found by object name among the
// descendants of the windows given (the main window, and the event chooser for
// "IndAllListEvent").  Edits are QLineEdit, drop-down lists QComboBox, check boxes QCheckBox,
// list boxes QListWidget.  A name that matches no control of the expected kind throws
// std::invalid_argument naming it; an item index out of a list box throws std::out_of_range.
//
// Setting a value from here fires no change handler: the windows connect their handlers to
// the user-action signals (activated, clicked, textEdited), which RunChangeHandler emits as an
// operator's change would.  The edits' input filters see text set from here (textChanged).
//
// Threads: the user-interface thread only.

#include "config_tool/model/editor.h"

#include <QHash>
#include <QPointer>
#include <QString>

#include <functional>
#include <memory>
#include <vector>

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
    // A page that runs its own change handlers by control name (true when it knows the name);
    // asked before the user-action signal is emitted.
    void AddChangeHandlers(std::function<bool(std::string_view)> handlers);

    std::string Text(std::string_view control) const override;
    void SetText(std::string_view control, std::string_view text) override;
    int ItemIndex(std::string_view control) const override;
    void SetItemIndex(std::string_view control, int item) override;
    bool Checked(std::string_view control) const override;
    void SetChecked(std::string_view control, bool checked) override;
    model::ItemList& List(std::string_view control) override;
    void RunChangeHandler(std::string_view control) override;

    // The control of that name, or nullptr.
    QWidget* Find(std::string_view control) const;

private:
    template <class W> W* Get(std::string_view control) const;
    class ListAdapter;

    std::vector<QPointer<QWidget>> roots_;
    mutable QHash<QString, QPointer<QWidget>> cache_;
    std::vector<std::unique_ptr<ListAdapter>> lists_;
    std::vector<std::function<bool(std::string_view)>> handlers_;
};

} // namespace ui
