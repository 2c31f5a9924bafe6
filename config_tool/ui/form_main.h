#pragma once
// TFormMain: the tool's main window.  It owns the bus session RSSession1, the configuration
// blocks, the port and unit state and "Settings.ini"; its toolbar and File menu carry the seven
// commands, its Com-port menu selects the port, and its page control holds the editors.
//
// Threads: everything here runs in the user-interface thread.

#include "config_tool/device/command_channel.h"
#include "config_tool/device/operation_ui.h"
#include "config_tool/model/config_image.h"
#include "config_tool/model/text_tables.h"
#include "config_tool/ui/editor_context.h"
#include "config_tool/ui/language_switch.h"
#include "config_tool/ui/main_pictures.h"
#include "config_tool/ui/main_services.h"
#include "config_tool/ui/widget_editor.h"

#include <QMainWindow>

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

class QAction;
class QActionGroup;
class QMenu;
class QProgressBar;
class QTabWidget;
class QTimer;
class QToolButton;

class TRSSession;

namespace platform {
class OwnerChannel;
class RegistryFile;
} // namespace platform

namespace device {
class SessionChannel;
}

namespace ui {

class IndicationPage;
class SoundPage;

// What the window is started with.  Empty fields take the program's own: the executable's
// folder, the process registry and the window's own session RSSession1.
struct MainWindowSetup
{
    QString exeFolder; // with or without a trailing '/'
    platform::RegistryFile* registry = nullptr;
    device::CommandChannel* channel = nullptr;
};

class TFormMain : public QMainWindow, public device::OperationUi
{
    Q_OBJECT
public:
    explicit TFormMain(MainWindowSetup setup = {}, QWidget* parent = nullptr);
    ~TFormMain() override;

    // The seven commands; the toolbar button and the File menu item of each share it.
    void BitBtnFindClick();
    void BitBtnCreatClick();
    void BitBtnLoadClick();
    void BitBtnSaveClick();
    void BitBtnWriteClick();
    void BitBtnHelpClick();
    void BitBtnCloseClick();

    // The other windows and the dialogs, once they exist; until then the commands that need
    // them do nothing.  The language switch of the first show reaches the windows given here.
    void AttachServices(MainServices* services, const LanguageWindows& windows);

    // device::OperationUi: the progress bar, the toolbar and the operations' own messages.
    void ShowProgress(int maximum) override;
    void AdvanceProgress(int step) override;
    void HideProgress() override;
    // The seven toolbar buttons only; the menu items stay enabled.
    void DisableToolbar() override;
    void EnableToolbar() override;
    bool Confirm(int message) override;
    void ShowError(int message) override;

    void ApplyModelRestrictions(const std::string& model);
    // The common step of read, new and open: the pages show ConfigImage and KeyCodes.
    void ShowConfiguration();
    void FCommPortClick(QAction* item);
    void ButtonKeyClick(int slot); // ButtonKey1Click .. ButtonKey8Click
    void Timer1Timer();

    // Timer1; an interval of 0 stops it.
    void SetTimerInterval(int ms);
    int TimerInterval() const;

    uint8_t CurrentPort() const { return currentPort_; }
    uint8_t SourceAddress() const { return sourceAddress_; }
    uint8_t ReadPort() const { return readPort_; }
    const std::string& ModelName() const { return modelName_; }
    bool ConfigPresent() const { return configPresent_; }
    // 0 Russian, 1 English, from "Settings.ini".
    int LanguageFlag() const { return languageFlag_; }
    const QString& ExeFolder() const { return exeFolder_; }
    QString SettingsPath() const;
    const MainPictures& Pictures() const { return pictures_; }

    // The configuration blocks.
    model::Image& ConfigImage() { return configImage_; }
    model::Image& ImageCopy() { return imageCopy_; }
    model::KeyCodes& KeyCodes() { return keyCodes_; }
    model::KeyCodes& KeyCodesCopy() { return keyCodesCopy_; }
    // The current text tables; empty until the first show.
    const model::TextTables& Tables() const { return tables_; }
    WidgetEditor& Editor() { return editor_; }
    // What the indication and sound pages and the preview window share with the window.
    EditorContext& Editors() { return *editors_; }
    // The channel every device operation uses: RSSession1's, unless the setup gave one.
    device::CommandChannel& Channel();
    // RSSession1; nullptr when the setup gave a channel.
    TRSSession* Session() { return session_.get(); }

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void BuildWindow();
    void FormCreate();
    void FormShow();
    void FormClose();
    void BuildComPortMenu();
    QAction* AddComPortItem(const QString& caption, int tag, const QString& name);
    void PlaceWindow(int left, int top);
    void SetLanguage();
    bool KeyCodesAccepted(bool writing);
    QString Msg(int number) const;
    BoxAnswer Box(BoxKind kind, BoxButtons buttons, int message);

    MainWindowSetup setup_;
    QString exeFolder_;
    MainPictures pictures_;
    MainServices* services_ = nullptr;
    LanguageWindows windows_;

    model::Image configImage_{};
    model::Image imageCopy_{};
    model::KeyCodes keyCodes_{};
    model::KeyCodes keyCodesCopy_{};
    model::TextTables tables_{};
    WidgetEditor editor_;
    std::unique_ptr<EditorContext> editors_;
    std::unique_ptr<platform::OwnerChannel> owner_;
    std::unique_ptr<TRSSession> session_;
    std::unique_ptr<device::SessionChannel> sessionChannel_;
    IndicationPage* indicationPage_ = nullptr;
    SoundPage* soundPage_ = nullptr;

    std::array<QToolButton*, 7> toolButtons_{};
    std::array<QAction*, 7> fileItems_{};
    QMenu* comPortMenu_ = nullptr;
    QActionGroup* comPortGroup_ = nullptr;
    QProgressBar* progress_ = nullptr;
    QTabWidget* pageControl_ = nullptr;
    QTimer* timer1_ = nullptr;

    uint8_t currentPort_ = 0;
    uint8_t sourceAddress_ = 0;
    uint8_t readPort_ = 0;
    std::string modelName_;
    bool configPresent_ = false;
    bool firstShow_ = true;
    bool languageApplied_ = false;
    int languageFlag_ = 0;
};

} // namespace ui
