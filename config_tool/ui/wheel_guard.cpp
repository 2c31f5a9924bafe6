#include "config_tool/ui/wheel_guard.h"

#include <QAbstractItemView>
#include <QAbstractScrollArea>
#include <QAbstractSpinBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QVariant>
#include <QWheelEvent>
#include <QWidget>

namespace ui {
namespace {

constexpr const char* kViewportOf = "vendaxoWheelViewport";

// The scrolling page that holds `control`, if any.
QAbstractScrollArea* PageOf(const QWidget* control)
{
    for (QWidget* up = control->parentWidget(); up; up = up->parentWidget())
        if (auto* area = qobject_cast<QAbstractScrollArea*>(up))
            return area;
    return nullptr;
}

class WheelGuard : public QObject
{
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() != QEvent::Wheel)
            return false;
        auto* w = qobject_cast<QWidget*>(watched);
        // A list box's wheel arrives at its viewport; the list holds the focus.
        QWidget* control = w && w->property(kViewportOf).isValid() ? w->parentWidget() : w;
        if (!control || control->hasFocus())
            return false;
        auto* wheel = static_cast<QWheelEvent*>(event);
        if (QAbstractScrollArea* page = PageOf(control)) {
            QWidget* viewport = page->viewport();
            QWheelEvent passed(viewport->mapFromGlobal(wheel->globalPosition()),
                               wheel->globalPosition(), wheel->pixelDelta(), wheel->angleDelta(),
                               wheel->buttons(), wheel->modifiers(), wheel->phase(),
                               wheel->inverted(), wheel->source(), wheel->pointingDevice());
            QCoreApplication::sendEvent(viewport, &passed);
            wheel->accept();
            return true;
        }
        // No page scrolls here: the control leaves the wheel alone.
        wheel->ignore();
        return true;
    }
};

bool InsideDropDown(const QWidget* w)
{
    for (const QWidget* up = w->parentWidget(); up; up = up->parentWidget())
        if (qobject_cast<const QComboBox*>(up))
            return true;
    return false;
}

} // namespace

void PassWheelToPage(QWidget* root)
{
    auto* guard = new WheelGuard(root);
    for (QWidget* w : root->findChildren<QWidget*>()) {
        if (qobject_cast<QComboBox*>(w) || qobject_cast<QAbstractSpinBox*>(w)) {
            w->setFocusPolicy(Qt::StrongFocus);
            w->installEventFilter(guard);
        } else if (auto* view = qobject_cast<QAbstractItemView*>(w);
                   view && !InsideDropDown(view)) {
            view->setFocusPolicy(Qt::StrongFocus);
            view->viewport()->setProperty(kViewportOf, true);
            view->viewport()->installEventFilter(guard);
        }
    }
}

} // namespace ui
