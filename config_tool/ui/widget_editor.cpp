#include "config_tool/ui/widget_editor.h"

#include "config_tool/ui/main_names.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QListWidget>

#include <stdexcept>

namespace ui {
class WidgetEditor::ListAdapter : public model::ItemList
{
public:
    explicit ListAdapter(QListWidget* list) : list_(list) {}

    QListWidget* Widget() const { return list_; }
    int Count() const override { return Checked()->count(); }
    std::string Line(int index) const override { return At(index)->text().toStdString(); }
    void Append(std::string_view line) override
    {
        // Event names run longer than the lists are wide; the tooltip shows the whole line.
        auto* item = new QListWidgetItem(ToQString(line));
        item->setToolTip(item->text());
        Checked()->addItem(item);
    }
    void Delete(int index) override { delete Checked()->takeItem(Row(index)); }
    void Clear() override { Checked()->clear(); }

private:
    QListWidget* Checked() const
    {
        if (!list_)
            throw std::invalid_argument("list box no longer exists");
        return list_;
    }
    int Row(int index) const
    {
        if (index < 0 || index >= Checked()->count())
            throw std::out_of_range("list box line " + std::to_string(index) + " of " +
                                    list_->objectName().toStdString());
        return index;
    }
    QListWidgetItem* At(int index) const { return Checked()->item(Row(index)); }

    QPointer<QListWidget> list_;
};

WidgetEditor::WidgetEditor(std::vector<QWidget*> roots)
{
    for (QWidget* r : roots)
        AddRoot(r);
}

WidgetEditor::~WidgetEditor()
{
    // The windows may outlive their binding; their signals must not reach it afterwards.
    for (const QMetaObject::Connection& c : connections_)
        QObject::disconnect(c);
}

void WidgetEditor::AddRoot(QWidget* root)
{
    if (root)
        roots_.emplace_back(root);
    cache_.clear();
}

QWidget* WidgetEditor::Find(std::string_view control) const
{
    const QString name = ToQString(control);
    if (auto it = cache_.constFind(name); it != cache_.constEnd() && !it.value().isNull())
        return it.value();
    // One walk over every control names them all; a page holds over a thousand.
    cache_.clear();
    for (const QPointer<QWidget>& root : roots_) {
        if (!root)
            continue;
        if (!root->objectName().isEmpty() && !cache_.contains(root->objectName()))
            cache_.insert(root->objectName(), root.data());
        for (QWidget* w : root->findChildren<QWidget*>())
            if (!w->objectName().isEmpty() && !cache_.contains(w->objectName()))
                cache_.insert(w->objectName(), w);
    }
    const auto it = cache_.constFind(name);
    return it == cache_.constEnd() ? nullptr : it.value().data();
}

template <class W> W* WidgetEditor::Get(std::string_view control) const
{
    if (auto* w = qobject_cast<W*>(Find(control)))
        return w;
    throw std::invalid_argument("no " + std::string(W::staticMetaObject.className()) + " named " +
                                std::string(control));
}

std::string WidgetEditor::Text(std::string_view control) const
{
    return Get<QLineEdit>(control)->text().toStdString();
}

void WidgetEditor::SetText(std::string_view control, std::string_view text)
{
    Get<QLineEdit>(control)->setText(ToQString(text));
}

int WidgetEditor::ItemIndex(std::string_view control) const
{
    return Get<QComboBox>(control)->currentIndex();
}

void WidgetEditor::SetItemIndex(std::string_view control, int item)
{
    auto* box = Get<QComboBox>(control);
    box->setCurrentIndex(item >= 0 && item < box->count() ? item : -1);
}

bool WidgetEditor::Checked(std::string_view control) const
{
    return Get<QCheckBox>(control)->isChecked();
}

void WidgetEditor::SetChecked(std::string_view control, bool checked)
{
    Get<QCheckBox>(control)->setChecked(checked);
}

model::ItemList& WidgetEditor::List(std::string_view control)
{
    auto* list = Get<QListWidget>(control);
    for (const auto& adapter : lists_)
        if (adapter->Widget() == list)
            return *adapter;
    lists_.push_back(std::make_unique<ListAdapter>(list));
    return *lists_.back();
}

void WidgetEditor::OnChange(QComboBox* box, std::function<void()> handler)
{
    const QString name = box->objectName();
    if (name.isEmpty() || handlers_.contains(name))
        throw std::invalid_argument("change handler for an unnamed or already bound list: " +
                                    name.toStdString());
    handlers_.insert(name, std::move(handler));
    connections_.push_back(QObject::connect(
        box, &QComboBox::activated, box, [this, name] { RunChangeHandler(name.toStdString()); }));
}

void WidgetEditor::RunChangeHandler(std::string_view control)
{
    const auto it = handlers_.constFind(ToQString(control));
    if (it != handlers_.constEnd()) {
        // A copy: the handler may bind further handlers.
        const std::function<void()> handler = it.value();
        handler();
        return;
    }
    if (!Find(control))
        throw std::invalid_argument("no control named " + std::string(control));
}

} // namespace ui
