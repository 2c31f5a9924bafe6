#pragma once
// A window of real widgets owned by a translation component, for the offscreen tests and the
// benchmark: a label, a button, a tool button bound to an action in a menu, a tab page, a combo
// box, an edit and a test collection.

#include "translation/lang/vx_comp.h"

#include <QAction>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QTabWidget>
#include <QToolButton>
#include <QWidget>

#include <memory>
#include <vector>

namespace translation::test {

// Widgets need an application object; made once per test binary.
void EnsureApplication();

class TTestItem : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QString Title READ Title WRITE SetTitle)
    Q_PROPERTY(QStringList Lines READ Lines WRITE SetLines)
    Q_PROPERTY(qlonglong Serial READ Serial WRITE SetSerial)

public:
    QString Title() const { return title_; }
    void SetTitle(const QString& t) { title_ = t; }
    QStringList Lines() const { return lines_; }
    void SetLines(const QStringList& l) { lines_ = l; }
    qlonglong Serial() const { return serial_; }
    void SetSerial(qlonglong s) { serial_ = s; }

private:
    QString title_;
    QStringList lines_;
    qlonglong serial_ = 0;
};

// Items are unnamed, so they are not components of the window.
class TTestCollection : public QObject, public VxCollection
{
    Q_OBJECT

public:
    int Count() const override { return static_cast<int>(items_.size()); }
    QObject* Item(int index) const override { return items_.at(static_cast<size_t>(index)).get(); }
    TTestItem* Add(const QString& title)
    {
        items_.push_back(std::make_unique<TTestItem>());
        items_.back()->SetTitle(title);
        return items_.back().get();
    }
    void RemoveLast() { items_.pop_back(); }

private:
    std::vector<std::unique_ptr<TTestItem>> items_;
};

// Sub-properties held in an object, as some controls keep them.
class TTestProperties : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QString Prompt READ Prompt WRITE SetPrompt)
    Q_PROPERTY(QStringList Choices READ Choices WRITE SetChoices)

public:
    QString Prompt() const { return prompt_; }
    void SetPrompt(const QString& p) { prompt_ = p; }
    QStringList Choices() const { return choices_; }
    void SetChoices(const QStringList& c) { choices_ = c; }

private:
    QString prompt_;
    QStringList choices_;
};

class TTestHolder : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QObject* Items READ Items)
    Q_PROPERTY(QObject* Properties READ Properties)

public:
    TTestCollection collection;
    TTestProperties properties;
    QObject* Items() const { return const_cast<TTestCollection*>(&collection); }
    QObject* Properties() const { return const_cast<TTestProperties*>(&properties); }
};

class TFormTest : public QWidget
{
    Q_OBJECT

public:
    TFormTest();
    QLabel* label;
    QPushButton* button;
    QAction* actOpen;
    QMenu* menu;
    QToolButton* toolButton;
    QTabWidget* tabs;
    QWidget* page;
    QComboBox* combo;
    QLineEdit* edit;
    TTestHolder* holder;
};

} // namespace translation::test
