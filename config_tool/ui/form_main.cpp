#include "config_tool/ui/form_main.h"

#include "CoreComp/rssess/rs_session.h"
#include "config_tool/device/session_channel.h"
#include "config_tool/device/transfer.h"
#include "config_tool/model/codecs.h"
#include "config_tool/model/config_file.h"
#include "config_tool/model/editor.h"
#include "config_tool/ui/indication_page.h"
#include "config_tool/ui/main_com_ports.h"
#include "config_tool/ui/main_names.h"
#include "config_tool/ui/main_pages.h"
#include "config_tool/ui/sound_page.h"
#include "config_tool/ui/wheel_guard.h"
#include "platform/owner_channel.h"
#include "platform/profile_ini.h"
#include "platform/registry.h"

#include <QAction>
#include <QActionGroup>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QFileInfo>
#include <QGuiApplication>
#include <QLineEdit>
#include <QMenuBar>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QStatusBar>
#include <QStyle>
#include <QTabWidget>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>

#include <algorithm>
#include <optional>

namespace ui {
namespace {

struct Command
{
    const char* button;
    const char* item;
    QStyle::StandardPixmap icon;
    void (TFormMain::*handler)();
};

const Command kCommands[7] = {
    {"BitBtnFind", "NFileFind", QStyle::SP_ArrowDown, &TFormMain::BitBtnFindClick},
    {"BitBtnCreat", "NFileCreat", QStyle::SP_FileIcon, &TFormMain::BitBtnCreatClick},
    {"BitBtnLoad", "NFileLoad", QStyle::SP_DialogOpenButton, &TFormMain::BitBtnLoadClick},
    {"BitBtnSave", "NFileSave", QStyle::SP_DialogSaveButton, &TFormMain::BitBtnSaveClick},
    {"BitBtnWrite", "NFileWrite", QStyle::SP_ArrowUp, &TFormMain::BitBtnWriteClick},
    {"BitBtnHelp", "NFileHelp", QStyle::SP_DialogHelpButton, &TFormMain::BitBtnHelpClick},
    {"BitBtnClose", "NFileClose", QStyle::SP_DialogCloseButton, &TFormMain::BitBtnCloseClick},
};

const char* const kPageNames[] = {"PageInfo", "PageObject",   "PageMain",
                                  "PageKey",  "PageSettings", "PageSound"};

constexpr int kDefaultPosition = 100;

} // namespace

TFormMain::TFormMain(MainWindowSetup setup, QWidget* parent)
    : QMainWindow(parent), setup_(std::move(setup)), pictures_(MainPictures::Draw())
{
    setObjectName(QStringLiteral("FormMain"));
    editor_.AddRoot(this);
    editors_ = std::make_unique<EditorContext>(configImage_, tables_, editor_, pictures_);
    editors_->language = [this] {
        return model::LanguageFromFlag(static_cast<uint8_t>(languageFlag_));
    };
    if (!setup_.channel) {
        // Reports from another thread wait in the channel until the event loop serves them.
        owner_ = std::make_unique<platform::OwnerChannel>();
        owner_->SetWakeup([this] {
            QMetaObject::invokeMethod(
                this, [this] { owner_->ServePending(); }, Qt::QueuedConnection);
        });
        TRSSession::Collaborators c;
        c.registry = setup_.registry;
        c.owner = owner_.get();
        session_ = std::make_unique<TRSSession>(std::move(c));
        session_->SetComPort(1);
        session_->SetWork(false);
        session_->SetSearchPriority(0);
        session_->SetCodeSession(true);
        sessionChannel_ = std::make_unique<device::SessionChannel>(*session_);
    }
    BuildWindow();
    indicationPage_ =
        new IndicationPage(findChild<QWidget*>(QStringLiteral("PageSettings")), *editors_, this);
    soundPage_ = new SoundPage(findChild<QWidget*>(QStringLiteral("PageSound")), *editors_, this);
    NameUnlabelledControls(this);
    PassWheelToPage(this);
    FormCreate();
}

// The session goes before its owner channel.
TFormMain::~TFormMain()
{
    sessionChannel_.reset();
    session_.reset();
    owner_.reset();
}

void TFormMain::BuildWindow()
{
    auto* toolbar = addToolBar(QString());
    toolbar->setObjectName(QStringLiteral("ToolBar"));
    toolbar->setMovable(false);
    toolbar->setIconSize(QSize(32, 32));
    auto* menuFile = menuBar()->addMenu(QString());
    menuFile->setObjectName(QStringLiteral("NFile"));
    menuFile->menuAction()->setObjectName(QStringLiteral("NFile"));
    for (size_t i = 0; i < std::size(kCommands); ++i) {
        const Command& c = kCommands[i];
        const QIcon icon = style()->standardIcon(c.icon);
        auto* button = new QToolButton(toolbar);
        button->setObjectName(QLatin1String(c.button));
        button->setAccessibleName(QLatin1String(c.button));
        button->setIcon(icon);
        button->setAutoRaise(true);
        toolbar->addWidget(button);
        connect(button, &QToolButton::clicked, this, [this, h = c.handler] { (this->*h)(); });
        toolButtons_.at(i) = button;

        auto* item = menuFile->addAction(icon, QString());
        item->setObjectName(QLatin1String(c.item));
        connect(item, &QAction::triggered, this, [this, h = c.handler] { (this->*h)(); });
        fileItems_.at(i) = item;
        if (i == 4 || i == 5)
            menuFile->addSeparator();
    }
    comPortMenu_ = menuBar()->addMenu(QString());
    comPortMenu_->setObjectName(QStringLiteral("NComPort"));
    comPortMenu_->menuAction()->setObjectName(QStringLiteral("NComPort"));
    comPortGroup_ = new QActionGroup(this);
    comPortGroup_->setExclusive(true);

    pageControl_ = new QTabWidget(this);
    pageControl_->setObjectName(QStringLiteral("PageControl"));
    for (const char* name : kPageNames) {
        auto* page = new QWidget;
        page->setObjectName(QLatin1String(name));
        pageControl_->addTab(page, QString());
    }
    BuildInfoPage(pageControl_->widget(0));
    BuildObjectPage(pageControl_->widget(1));
    BuildMainPage(pageControl_->widget(2));
    BuildKeyPage(pageControl_->widget(3));
    for (int n = 1; n <= kKeySlots; ++n)
        if (auto* b = pageControl_->widget(3)->findChild<QPushButton*>(
                QStringLiteral("ButtonKey%1").arg(n)))
            connect(b, &QPushButton::clicked, this, [this, n] { ButtonKeyClick(n); });
    pageControl_->setEnabled(false);
    setCentralWidget(pageControl_);

    progress_ = new QProgressBar(this);
    progress_->setObjectName(QStringLiteral("ProgressBarOperation"));
    progress_->setAccessibleName(QStringLiteral("ProgressBarOperation"));
    progress_->setRange(0, 100);
    progress_->setValue(0);
    progress_->setTextVisible(false);
    statusBar()->addPermanentWidget(progress_, 1);
    progress_->hide(); // shown only while a transfer runs

    timer1_ = new QTimer(this);
    timer1_->setObjectName(QStringLiteral("Timer1"));
    timer1_->setInterval(1000);
    connect(timer1_, &QTimer::timeout, this, &TFormMain::Timer1Timer);
    timer1_->start();

    resize(1120, 760);
}

QString TFormMain::SettingsPath() const
{
    return exeFolder_ + QStringLiteral("Settings.ini");
}

void TFormMain::FormCreate()
{
    exeFolder_ =
        setup_.exeFolder.isEmpty() ? QCoreApplication::applicationDirPath() : setup_.exeFolder;
    if (!exeFolder_.endsWith(QLatin1Char('/')))
        exeFolder_ += QLatin1Char('/');
    const std::string ini = SettingsPath().toStdString();
    PlaceWindow(platform::ReadProfileInt(ini, "Settings", "FormLeft", kDefaultPosition),
                platform::ReadProfileInt(ini, "Settings", "FormTop", kDefaultPosition));
    languageFlag_ =
        platform::ReadProfileString(ini, "Language", "Language", "Rus") == "Rus" ? 0 : 1;

    BuildComPortMenu();
    currentPort_ = 0;
    const int wanted = platform::ReadProfileInt(ini, "Settings", "Com", 1);
    for (QAction* item : comPortMenu_->actions())
        if (item->data().toInt() == wanted)
            FCommPortClick(item);
    if (currentPort_ == 0) {
        // The texts are not switched yet, so this one is taken straight by the flag.
        const auto& startTables =
            model::ConstantTables(model::LanguageFromFlag(static_cast<uint8_t>(languageFlag_)));
        AddComPortItem(ToQString(model::Message(startTables, 0)), 1, QStringLiteral("COM1"));
        QAction* first = comPortMenu_->actions().at(0);
        FCommPortClick(first);
        currentPort_ = static_cast<uint8_t>(first->data().toInt());
    }

    sourceAddress_ = 0;
    readPort_ = 0;
    modelName_.clear();
    configPresent_ = false;
    firstShow_ = true;
}

void TFormMain::PlaceWindow(int left, int top)
{
    // A position saved on a screen that is no longer attached would leave the window unreachable.
    const QPoint wanted(left, top);
    bool visible = false;
    for (const QScreen* screen : QGuiApplication::screens())
        if (screen->availableGeometry().contains(wanted))
            visible = true;
    const QScreen* primary = QGuiApplication::primaryScreen();
    move(visible || !primary ? wanted : primary->availableGeometry().topLeft());
}

void TFormMain::BuildComPortMenu()
{
    platform::RegistryFile& registry =
        setup_.registry ? *setup_.registry : platform::ProcessRegistry();
    for (const int n : ComPortNumbers(SerialCommTexts(registry))) {
        const QString caption = QStringLiteral("COM%1").arg(n);
        AddComPortItem(caption, n, caption);
    }
}

QAction* TFormMain::AddComPortItem(const QString& caption, int tag, const QString& name)
{
    auto* item = comPortMenu_->addAction(caption);
    item->setObjectName(name);
    item->setData(tag);
    item->setCheckable(true);
    comPortGroup_->addAction(item);
    connect(item, &QAction::triggered, this, [this, item] { FCommPortClick(item); });
    return item;
}

void TFormMain::FCommPortClick(QAction* item)
{
    currentPort_ = static_cast<uint8_t>(item->data().toInt());
    item->setChecked(true);
    Channel().SetComPort(currentPort_);
}

void TFormMain::showEvent(QShowEvent* event)
{
    QMainWindow::showEvent(event);
    FormShow();
}

void TFormMain::FormShow()
{
    // The lists are filled by appending, so the switch must run only once per run.
    if (!firstShow_ || languageApplied_)
        return;
    languageApplied_ = true;
    if (windows_.addState) {
        windows_.addState->show();
        windows_.addState->close();
    }
    SetLanguage();
}

void TFormMain::SetLanguage()
{
    LanguageWindows windows = windows_;
    windows.main = this;
    ui::SetLanguage(languageFlag_, tables_, windows, pictures_, [this] {
        indicationPage_->FillLists();
        soundPage_->FillLists();
    });
}

void TFormMain::closeEvent(QCloseEvent* event)
{
    FormClose();
    QMainWindow::closeEvent(event);
}

void TFormMain::FormClose()
{
    const std::string ini = SettingsPath().toStdString();
    platform::WriteProfileString(ini, "Settings", "Com", std::to_string(currentPort_));
    platform::WriteProfileString(ini, "Settings", "FormLeft", std::to_string(x()));
    platform::WriteProfileString(ini, "Settings", "FormTop", std::to_string(y()));
}

void TFormMain::DisableToolbar()
{
    for (QToolButton* b : toolButtons_)
        b->setEnabled(false);
}

void TFormMain::EnableToolbar()
{
    for (QToolButton* b : toolButtons_)
        b->setEnabled(true);
}

void TFormMain::ApplyModelRestrictions(const std::string& model)
{
    const bool keypad = model == "КЛВ";
    for (int n = 1; n <= kPartitionRows; ++n)
        if (auto* w = findChild<QComboBox*>(NumberedName("Obj", n, "ParamButton")))
            w->setEnabled(keypad);
    if (auto* w = findChild<QLineEdit*>(QStringLiteral("MainParamPin")))
        w->setEnabled(keypad);
    if (auto* w = findChild<QCheckBox*>(QStringLiteral("MainParamBell")))
        w->setEnabled(keypad);
}

void TFormMain::SetTimerInterval(int ms)
{
    if (ms <= 0) {
        timer1_->stop();
        timer1_->setInterval(0);
        return;
    }
    timer1_->start(ms);
}

int TFormMain::TimerInterval() const
{
    return timer1_->isActive() ? timer1_->interval() : 0;
}

QString TFormMain::Msg(int number) const
{
    return ToQString(model::Message(tables_, number));
}

BoxAnswer TFormMain::Box(BoxKind kind, BoxButtons buttons, int message)
{
    if (!services_)
        return buttons == BoxButtons::Ok ? BoxAnswer::Ok : BoxAnswer::Cancel;
    return services_->MessageBox(kind, buttons, Msg(message));
}

device::CommandChannel& TFormMain::Channel()
{
    return setup_.channel ? *setup_.channel : *sessionChannel_;
}

void TFormMain::AttachServices(MainServices* services, const LanguageWindows& windows)
{
    services_ = services;
    windows_ = windows;
    if (windows.addState)
        editor_.AddRoot(windows.addState);
}

void TFormMain::ShowProgress(int maximum)
{
    progress_->setRange(0, maximum);
    progress_->setValue(0);
    progress_->show();
}

void TFormMain::AdvanceProgress(int step)
{
    progress_->setValue(std::min(progress_->maximum(), progress_->value() + step));
    // A transfer holds the event queue, so the bar is painted at once or not at all.
    progress_->repaint();
}

void TFormMain::HideProgress()
{
    progress_->setValue(0);
    progress_->hide();
}

bool TFormMain::Confirm(int message)
{
    return Box(BoxKind::Confirmation, BoxButtons::YesCancel, message) == BoxAnswer::Yes;
}

void TFormMain::ShowError(int message)
{
    Box(BoxKind::Error, BoxButtons::Ok, message);
}

void TFormMain::ShowConfiguration()
{
    if (pageControl_->count() > 0 && pageControl_->tabText(0) == Msg(2)) {
        QWidget* info = pageControl_->widget(0);
        pageControl_->removeTab(0);
        delete info;
    }
    pageControl_->setCurrentIndex(0);
    model::ImageToForm(configImage_, keyCodes_, editor_);
    for (const char* list : {"NumberSettingsInd", "NumberSettingsSound"}) {
        editor_.SetItemIndex(list, 0);
        editor_.RunChangeHandler(list);
    }
    ApplyModelRestrictions(modelName_);
    pageControl_->setEnabled(true);
}

bool TFormMain::KeyCodesAccepted(bool writing)
{
    std::array<std::string, 8> texts;
    for (int n = 1; n <= kKeySlots; ++n)
        texts.at(static_cast<size_t>(n - 1)) = editor_.Text("ParamKey" + std::to_string(n));
    const model::KeyCheck check = model::CheckKeyCodes(texts);
    if (check.result == 0)
        return true;
    if (services_)
        services_->MessageBox(BoxKind::Warning, BoxButtons::Ok,
                              ToQString(model::KeyCheckMessage(tables_, check, writing)));
    return false;
}

void TFormMain::BitBtnFindClick()
{
    if (sourceAddress_ != 0 && Box(BoxKind::Warning, BoxButtons::YesCancel, 1) != BoxAnswer::Yes)
        return;
    pageControl_->setCurrentIndex(0);
    pageControl_->setEnabled(false);
    sourceAddress_ = 0;
    configPresent_ = false;
    if (!services_)
        return;
    const PickedUnit unit = services_->SearchDeviceDialog(currentPort_);
    if (unit.address == 0)
        return;
    // The read below holds the event queue; the window is painted now (painting only, no
    // input is served), so no picture of the closed search dialog stays on it meanwhile.
    repaint();
    device::Transfer transfer(Channel(), *this, model::ReadMask());
    // The read goes into copies: a read that fails halfway leaves the image and the codes as
    // they were, never part old and part new.
    model::Image image = configImage_;
    model::KeyCodes codes = keyCodes_;
    const bool ok = transfer.ReadImage(unit.address, currentPort_, image) &&
                    transfer.ReadKeyCodes(unit.address, currentPort_, codes);
    if (!ok) {
        Box(BoxKind::Error, BoxButtons::Ok, 4);
        setWindowTitle(Msg(5));
        return;
    }
    configImage_ = image;
    keyCodes_ = codes;
    sourceAddress_ = unit.address;
    readPort_ = currentPort_;
    modelName_ = unit.model;
    configPresent_ = true;
    const model::Image& mask = model::ReadMask();
    for (size_t i = 0; i < configImage_.size(); ++i)
        if (mask.at(i) == 1)
            imageCopy_.at(i) = configImage_.at(i);
    keyCodesCopy_ = keyCodes_;
    ShowConfiguration();
    setWindowTitle(Msg(3) + QString::number(sourceAddress_));
}

void TFormMain::BitBtnCreatClick()
{
    if (sourceAddress_ != 0) {
        if (Box(BoxKind::Confirmation, BoxButtons::YesCancel, 6) != BoxAnswer::Yes)
            return;
    } else {
        const int type = services_ ? services_->AskNewModel() : 0;
        if (type == 44)
            modelName_ = std::string(model::kModelKlv);
        else if (type == 10)
            modelName_ = std::string(model::kModelVd);
        else
            return;
    }
    configPresent_ = true;
    configImage_ = model::FactoryImage();
    keyCodes_ = {};
    ShowConfiguration();
}

void TFormMain::BitBtnLoadClick()
{
    if (Box(BoxKind::Confirmation, BoxButtons::YesCancel, sourceAddress_ != 0 ? 7 : 8) !=
        BoxAnswer::Yes)
        return;
    const QString name = services_ ? services_->OpenFileName() : QString();
    if (name.isEmpty())
        return;
    std::optional<std::string_view> unitModel;
    if (sourceAddress_ != 0)
        unitModel = modelName_;
    const model::LoadedConfig loaded = model::LoadConfigFile(name.toStdString(), unitModel);
    if (loaded.status != model::LoadStatus::Ok) {
        for (const int message : model::LoadMessages(loaded.status))
            Box(BoxKind::Error, BoxButtons::Ok, message);
        return;
    }
    modelName_ = loaded.modelName;
    configImage_ = loaded.image;
    keyCodes_ = loaded.codes;
    configPresent_ = true;
    ShowConfiguration();
}

void TFormMain::BitBtnSaveClick()
{
    if (!configPresent_ || !KeyCodesAccepted(false))
        return;
    if (Box(BoxKind::Confirmation, BoxButtons::YesCancel, 18) != BoxAnswer::Yes)
        return;
    const QString name = services_ ? services_->SaveFileName() : QString();
    if (name.isEmpty())
        return;
    if (QFileInfo::exists(name) &&
        Box(BoxKind::Confirmation, BoxButtons::YesCancel, 19) != BoxAnswer::Yes)
        return;
    model::FormToImage(editor_, configImage_, keyCodes_);
    if (!model::SaveConfigFile(name.toStdString(), modelName_, configImage_, keyCodes_))
        Box(BoxKind::Error, BoxButtons::Ok, 20);
}

void TFormMain::BitBtnWriteClick()
{
    if (!configPresent_ || sourceAddress_ == 0 || !KeyCodesAccepted(true))
        return;
    if (Box(BoxKind::Confirmation, BoxButtons::YesCancel, 21) != BoxAnswer::Yes)
        return;
    model::FormToImage(editor_, configImage_, keyCodes_);
    device::Transfer transfer(Channel(), *this, model::ReadMask());
    const device::WriteOutcome outcome =
        transfer.WriteImage(sourceAddress_, currentPort_, readPort_, configImage_, imageCopy_);
    if (outcome == device::WriteOutcome::Stopped)
        return;
    bool ok = outcome == device::WriteOutcome::Written;
    if (ok)
        ok = transfer.WriteKeyCodes(sourceAddress_, currentPort_, keyCodes_, keyCodesCopy_);
    if (!ok)
        Box(BoxKind::Error, BoxButtons::Ok, 22);
}

void TFormMain::BitBtnHelpClick()
{
    if (services_)
        services_->OpenHelp(exeFolder_ + QStringLiteral("Vendaxo.chm"));
}

void TFormMain::BitBtnCloseClick()
{
    if (sourceAddress_ != 0 && Box(BoxKind::Warning, BoxButtons::YesNo, 23) != BoxAnswer::Yes)
        return;
    close();
}

void TFormMain::ButtonKeyClick(int slot)
{
    if (!services_ || slot < 1 || slot > kKeySlots)
        return;
    const QString code = services_->ReadKeyCodeDialog(slot);
    if (!code.isEmpty())
        editor_.SetText("ParamKey" + std::to_string(slot), code.toStdString());
}

void TFormMain::Timer1Timer()
{
    if (services_)
        services_->KeyCodePollStep();
}

} // namespace ui
