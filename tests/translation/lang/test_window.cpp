#include "tests/translation/lang/test_window.h"

#include <QApplication>

namespace translation::test {

void EnsureApplication()
{
    if (QApplication::instance() != nullptr)
        return;
    static int argc = 1;
    static char name[] = "translation_lang_test";
    static char* argv[] = {name, nullptr};
    new QApplication(argc, argv);
}

TFormTest::TFormTest()
{
    setObjectName("FormTest");
    setWindowTitle("Test window");
    label = new QLabel("Name", this);
    label->setObjectName("Label1");
    button = new QPushButton("OK", this);
    button->setObjectName("Button1");
    button->setToolTip("Press");
    menu = new QMenu("File", this);
    menu->setObjectName("MenuFile");
    actOpen = new QAction("Open", this);
    actOpen->setObjectName("ActOpen");
    menu->addAction(actOpen);
    toolButton = new QToolButton(this);
    toolButton->setObjectName("ToolButton1");
    toolButton->setDefaultAction(actOpen);
    tabs = new QTabWidget(this);
    tabs->setObjectName("Tabs");
    page = new QWidget;
    page->setObjectName("PageMain");
    tabs->addTab(page, "Main");
    combo = new QComboBox(this);
    combo->setObjectName("Combo");
    combo->addItems({"Red", "Green"});
    combo->setCurrentIndex(1);
    edit = new QLineEdit(this);
    edit->setObjectName("Edit1");
    edit->setText("typed by operator");
    edit->setPlaceholderText("Enter code");
    holder = new TTestHolder;
    holder->setParent(this);
    holder->setObjectName("Coll");
    holder->collection.Add("First")->SetLines({"a", "b"});
    holder->collection.Add("Second");
    holder->properties.SetPrompt("Choose");
    holder->properties.SetChoices({"x", "y"});
}

} // namespace translation::test
