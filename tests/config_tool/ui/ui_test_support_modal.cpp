#include "ui_test_support_modal.h"

#include "ui_test_support_main.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDialog>
#include <QFileDialog>
#include <QLineEdit>

namespace mainwin_test {

namespace {
constexpr int kTickMs = 10;
constexpr int kStuckTicks = 3000; // 30 s without a step for the open window
} // namespace

ModalDriver::ModalDriver()
{
    EnsureApplication(); // the timer needs it
    timer_.setInterval(kTickMs);
    QObject::connect(&timer_, &QTimer::timeout, [this] { Tick(); });
    timer_.start();
}

ModalDriver::~ModalDriver() = default;

void ModalDriver::Box(QMessageBox::StandardButton button)
{
    steps_.push_back({[](QWidget* w) { return qobject_cast<QMessageBox*>(w) != nullptr; },
                      [this, button](QWidget* w) {
                          auto* box = qobject_cast<QMessageBox*>(w);
                          boxes << box->text();
                          if (QAbstractButton* b = box->button(button))
                              b->click();
                          else
                              box->reject();
                      }});
}

void ModalDriver::Window(const QString& objectName, std::function<void(QWidget*)> action)
{
    steps_.push_back(
        {[objectName](QWidget* w) { return w->objectName() == objectName; }, std::move(action)});
}

void ModalDriver::TypeInto(QFileDialog* dialog, const QString& folder, const QString& name)
{
    dialog->setDirectory(folder);
    if (auto* edit = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit")))
        edit->setText(name);
    else
        dialog->selectFile(name);
}

void ModalDriver::TypeFileName(const QString& objectName, const QString& folder,
                               const QString& name)
{
    Window(objectName, [folder, name](QWidget* w) {
        auto* dialog = qobject_cast<QFileDialog*>(w);
        TypeInto(dialog, folder, name);
        static_cast<QDialog*>(dialog)->accept(); // QFileDialog's own accept, which checks the name
    });
}

void ModalDriver::Tick()
{
    QWidget* modal = QApplication::activeModalWidget();
    if (!modal) {
        idleTicks_ = 0;
        return;
    }
    if (!steps_.empty() && steps_.front().matches(modal)) {
        idleTicks_ = 0;
        auto action = std::move(steps_.front().action);
        steps_.pop_front();
        QPointer<QWidget> target(modal);
        QTimer::singleShot(0, modal, [target, action = std::move(action)] {
            if (target)
                action(target);
        });
        return;
    }
    if (auto* box = qobject_cast<QMessageBox*>(modal); box && box->isVisible()) {
        idleTicks_ = 0;
        boxes << QStringLiteral("unexpected: ") + box->text();
        QAbstractButton* b = box->button(QMessageBox::Yes);
        if (!b && !box->buttons().isEmpty())
            b = box->buttons().constFirst();
        QPointer<QMessageBox> target(box);
        QTimer::singleShot(0, box, [target, b] {
            if (target && b)
                b->click();
        });
        return;
    }
    if (++idleTicks_ >= kStuckTicks) {
        idleTicks_ = 0;
        stuck << modal->objectName() + QLatin1Char(' ') +
                     QLatin1String(modal->metaObject()->className());
        if (auto* d = qobject_cast<QDialog*>(modal))
            d->reject();
    }
}

} // namespace mainwin_test
