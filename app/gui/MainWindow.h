// The main window "Sentrel": the face of the monitor's controller. It owns
// the controller and shows its state through MainView: the status line, the
// "Last Host:" field, the Monitor caption, the three commands, the last-check
// LED and the active LED. Every handler it runs goes through the
// application's error report, so a failure shows one box and the window
// goes on.
//
// Closing the window ends the program after the controller's FormClose
// ("Finished logging connectivity"); the tray menu's "E&xit" ends it without.
// Minimising shows the tray icon, restoring hides it again. "Load HomePage"
// and "Contact Author" open the maker's home page and a feedback mail with
// the desktop's default handlers; the configuration dialog's OK applies
// "Start On Boot" to the autostart entry through ApplyStartOnBoot.
#pragma once

#include <QIcon>
#include <QMainWindow>
#include <functional>
#include <memory>

#include "app/core/MainView.h"
#include "app/core/qz1.h"

class QPushButton;
class QLineEdit;
class QToolButton;
class QMenu;
class QAction;
class QMessageBox;

namespace ads {
class TAdvertisement;
}
namespace desktop {
class TBramelAutostart;
class TGoToWeb;
class ThhALed;
class TTovikTrayIcon;
class TAppEvents;
class TFormPlacement;
}  // namespace desktop

namespace app {

class TServerFormDialog;
class TLogView;
class TDesktopNotifier;
class TElidedLineEdit;

class Tqzform : public QMainWindow, public MainView {
    Q_OBJECT
public:
    Tqzform(TServerForm& settings, HttpGetter& http, QWidget* parent = nullptr);
    ~Tqzform() override;

    TQzController& Controller() { return *controller_; }
    // The windows created after this one, as start-up creates them.
    void SetLogView(TLogView* view) { logView_ = view; }
    void SetServerDialog(TServerFormDialog* dialog);

    // MainView.
    void SetStatusText(const std::string& text) override;
    void SetLastHost(const std::string& host) override;
    void SetLastHostHint(const std::string& hint) override;
    void SetMonitorCaption(const std::string& caption) override;
    void SetCommandEnabled(Command command, bool enabled) override;
    void SetStatusLedColor(std::uint32_t color) override;
    void SetStatusLedBlink(bool blink) override;
    void SetStatusLedValue(bool lit) override;
    void SetActiveLed(bool lit) override;
    // The window's and the tray's icon follow the pool (unlit before the
    // first pass, green while the last pass passed, red while it failed),
    // the tray's tip says it in words, and a change is notified: as a
    // desktop notification, or as the tray's balloon where no notification
    // service answers.
    void ShowPassOutcome(const TPassOutcome& pass, const TStateChange& change) override;
    // A box that does not stop the window (the passes go on behind it); it
    // closes by itself once a line could be written again.
    void ShowLogFailure(const std::string& error) override;
    void LogWritten() override;
    QMessageBox* LogFailureBox() const { return logFailureBox_; }

    // The status line as it is drawn: a text too long for it loses its
    // middle; the whole text is the status bar's tooltip.
    QString StatusShown() const;

    // Handlers of the window's own commands.
    void ConfigurationButtonClick();
    void ViewLogButtonClick();
    // During a pass the program ends once the pass has: meanwhile the
    // status line and the tray's tip say "Finishing the pass…".
    void Exit1Click();
    void Maximize1Click();
    void AppEvents1Minimize();
    void AppEvents1Restore();
    void LoadDalmorClick();
    void emaildalmorClick();
    // The configuration dialog's start-on-boot hook: the autostart entry
    // follows the setting.
    void ApplyStartOnBoot(bool on);

    QPushButton* MonitorButton = nullptr;
    QPushButton* CheckNowButton = nullptr;
    QPushButton* ConfigurationButton = nullptr;
    QPushButton* ViewLogButton = nullptr;
    // A long host loses its middle; the tooltip is the failure's hint, or
    // else the whole host.
    TElidedLineEdit* lasthost = nullptr;
    desktop::ThhALed* StatusLED = nullptr;
    desktop::ThhALed* activeLED = nullptr;
    QToolButton* LoadDalmor = nullptr;
    QToolButton* emaildalmor = nullptr;
    QMenu* PopupMenu1 = nullptr;
    QAction* Exit1 = nullptr;
    QAction* Maximize1 = nullptr;
    desktop::TTovikTrayIcon* trayicon = nullptr;
    desktop::TAppEvents* AppEvents1 = nullptr;
    desktop::TFormPlacement* FormPlacement1 = nullptr;
    ads::TAdvertisement* Banner = nullptr;
    TDesktopNotifier* Notifier = nullptr;
    std::unique_ptr<desktop::TBramelAutostart> Autostart;
    std::unique_ptr<desktop::TGoToWeb> Web;

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    void Run(const std::function<void()>& handler);
    void ShowStatusLine(const QString& text);
    void SetStateIcon(const QIcon& icon);

    TServerForm& settings_;
    std::unique_ptr<TQzController> controller_;
    TServerFormDialog* dialog_ = nullptr;
    TLogView* logView_ = nullptr;
    QMessageBox* logFailureBox_ = nullptr;
    bool shown_ = false;
    bool exiting_ = false;
    QIcon unlitIcon_, greenIcon_, redIcon_;
};

}  // namespace app
