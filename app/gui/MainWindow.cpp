#include "app/gui/MainWindow.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPixmap>
#include <QPushButton>
#include <QStatusBar>
#include <QToolButton>
#include <QVBoxLayout>

#include "app/core/ViewLog.h"
#include "app/gui/ServerFormDialog.h"
#include "app/gui/viewform.h"
#include "desktop/ALed.h"
#include "desktop/AppEvent.h"
#include "desktop/AppUtils.h"
#include "desktop/Placemnt.h"
#include "desktop/TovikTrayIcon.h"
#include "platform/Application.h"

namespace app {

namespace {
QString Latin1(const std::string& s) {
    return QString::fromLatin1(s.data(), static_cast<qsizetype>(s.size()));
}

// The large LED, lit in a colour or unlit, as an icon.
QIcon LedIcon(desktop::TColor color, bool lit) {
    desktop::ThhALed led;
    led.SetLEDStyle(desktop::LEDLarge);
    led.SetBordered(false);
    led.SetTrueColor(color);
    return QIcon(QPixmap::fromImage(lit ? led.LitImage() : led.UnlitImage()));
}
}  // namespace

Tqzform::Tqzform(TServerForm& settings, HttpGetter& http, QWidget* parent)
    : QMainWindow(parent), settings_(settings) {
    setObjectName("qzform");
    setWindowTitle("Sentrel");
    setMinimumSize(488, 182);
    resize(488, 182);
    // The window's icon, which the tray icon shows too: an LED, unlit until
    // the first pass has ended.
    unlitIcon_ = LedIcon(kGreen, false);
    greenIcon_ = LedIcon(kGreen, true);
    redIcon_ = LedIcon(kRed, true);
    setWindowIcon(unlitIcon_);

    auto* central = new QWidget(this);
    auto* top = new QVBoxLayout(central);
    top->setContentsMargins(6, 4, 6, 2);
    top->setSpacing(4);

    auto* banner = new QWidget(central);  // the sponsor banner's area
    banner->setObjectName("banner");
    banner->setFixedSize(468, 60);
    banner->setToolTip("Advertising to support making this program free");
    top->addWidget(banner, 0, Qt::AlignHCenter);

    auto* commands = new QHBoxLayout();
    MonitorButton = new QPushButton("Monitor On", central);
    MonitorButton->setObjectName("MonitorButton");
    MonitorButton->setToolTip("Toggles the Automatic monitoring status");
    MonitorButton->setDefault(true);  // Enter presses it
    CheckNowButton = new QPushButton("Check Now", central);
    CheckNowButton->setObjectName("CheckNowButton");
    ConfigurationButton = new QPushButton("Configuration", central);
    ConfigurationButton->setObjectName("ConfigurationButton");
    ViewLogButton = new QPushButton("View Log", central);
    ViewLogButton->setObjectName("ViewLogButton");
    ViewLogButton->setToolTip("Loads the log file in a viewer");
    for (QPushButton* b : {MonitorButton, CheckNowButton, ConfigurationButton, ViewLogButton})
        commands->addWidget(b);
    top->addLayout(commands);

    auto* state = new QHBoxLayout();
    StatusLED = new desktop::ThhALed(central);
    StatusLED->setObjectName("StatusLED");
    StatusLED->SetLEDStyle(desktop::LEDSqSmall);
    StatusLED->SetBlink(false);
    StatusLED->setToolTip("Green means last check was good, blinking red means last check was bad");
    activeLED = new desktop::ThhALed(central);
    activeLED->setObjectName("activeLED");
    activeLED->SetBlink(false);
    activeLED->setToolTip("Lights up if actively monitoring");
    lasthost = new QLineEdit(central);
    lasthost->setObjectName("lasthost");
    lasthost->setReadOnly(true);
    LoadDalmor = new QToolButton(central);
    LoadDalmor->setObjectName("LoadDalmor");
    LoadDalmor->setText("Load HomePage");
    LoadDalmor->setToolTip("Load Kvo Home Page");
    LoadDalmor->setAutoRaise(true);
    emaildalmor = new QToolButton(central);
    emaildalmor->setObjectName("emaildalmor");
    emaildalmor->setText("Contact Author");
    emaildalmor->setToolTip("Send Feedback to Programming Team");
    emaildalmor->setAutoRaise(true);
    // The web and mail launcher is not part of this program yet; the buttons
    // say so by being unavailable rather than doing nothing.
    LoadDalmor->setEnabled(false);
    emaildalmor->setEnabled(false);
    state->addWidget(StatusLED);
    state->addWidget(new QLabel("Last Check", central));
    state->addSpacing(8);
    state->addWidget(activeLED);
    state->addWidget(new QLabel("Active", central));
    state->addSpacing(8);
    state->addWidget(new QLabel("Last Host:", central));
    state->addWidget(lasthost, 1);
    top->addLayout(state);
    setCentralWidget(central);
    statusBar()->setObjectName("StatusBar");
    statusBar()->setSizeGripEnabled(false);
    // The two speed buttons sit at the right end of the status bar, so the
    // "Last Host:" field keeps the width of the window.
    statusBar()->addPermanentWidget(LoadDalmor);
    statusBar()->addPermanentWidget(emaildalmor);

    PopupMenu1 = new QMenu(this);
    Exit1 = PopupMenu1->addAction("E&xit");
    Maximize1 = PopupMenu1->addAction("Maximize");
    connect(Exit1, &QAction::triggered, this, [this] { Run([this] { Exit1Click(); }); });
    connect(Maximize1, &QAction::triggered, this, [this] { Run([this] { Maximize1Click(); }); });

    // The desktop components: this is the application's main window.
    desktop::SetMainForm(this);
    trayicon = new desktop::TTovikTrayIcon(this);
    if (!windowIcon().isNull()) trayicon->SetIcon(windowIcon());
    trayicon->SetLeftMenu(PopupMenu1);
    trayicon->SetRightMenu(PopupMenu1);
    trayicon->SetTip(PoolSummary(nullptr));
    AppEvents1 = new desktop::TAppEvents(this);
    AppEvents1->OnMinimize = [this](base::TObject*) { Run([this] { AppEvents1Minimize(); }); };
    AppEvents1->OnRestore = [this](base::TObject*) { Run([this] { AppEvents1Restore(); }); };
    FormPlacement1 = new desktop::TFormPlacement(this);
    FormPlacement1->IniFileName = ".\\sentrel.ini";
    FormPlacement1->IniSection = "form";
    FormPlacement1->Options = {desktop::fpPosition};

    controller_ = std::make_unique<TQzController>(*this, settings_, http);
    connect(MonitorButton, &QPushButton::clicked, this,
            [this] { Run([this] { controller_->MonitorButtonClick(); }); });
    connect(CheckNowButton, &QPushButton::clicked, this,
            [this] { Run([this] { controller_->CheckNowButtonClick(); }); });
    connect(ConfigurationButton, &QPushButton::clicked, this,
            [this] { Run([this] { ConfigurationButtonClick(); }); });
    connect(ViewLogButton, &QPushButton::clicked, this, [this] { Run([this] { ViewLogButtonClick(); }); });
    Run([this] { controller_->FormCreate(); });
}

Tqzform::~Tqzform() {
    platform::Application().Guard([this] { controller_->FormDestroy(); });
}

void Tqzform::Run(const std::function<void()>& handler) {
    platform::Application().Guard(handler);
}

void Tqzform::SetServerDialog(TServerFormDialog* dialog) {
    dialog_ = dialog;
    settings_.ShowModal = [this] { return dialog_ && dialog_->Execute(); };
}

void Tqzform::SetStatusText(const std::string& text) {
    statusBar()->showMessage(Latin1(text));
}
void Tqzform::SetLastHost(const std::string& host) {
    lasthost->setText(Latin1(host));
}
void Tqzform::SetLastHostHint(const std::string& hint) {
    lasthost->setToolTip(Latin1(hint));
}
void Tqzform::SetMonitorCaption(const std::string& caption) {
    MonitorButton->setText(Latin1(caption));
}

void Tqzform::SetCommandEnabled(Command command, bool enabled) {
    switch (command) {
        case Command::Monitor: MonitorButton->setEnabled(enabled); break;
        case Command::CheckNow: CheckNowButton->setEnabled(enabled); break;
        case Command::Configuration: ConfigurationButton->setEnabled(enabled); break;
    }
}

void Tqzform::SetStatusLedColor(std::uint32_t color) {
    StatusLED->SetTrueColor(color);
}
void Tqzform::SetStatusLedBlink(bool blink) {
    StatusLED->SetBlink(blink);
}
void Tqzform::SetStatusLedValue(bool lit) {
    StatusLED->SetValue(lit);
}
void Tqzform::SetActiveLed(bool lit) {
    activeLED->SetValue(lit);
}

void Tqzform::SetStateIcon(const QIcon& icon) {
    setWindowIcon(icon);
    trayicon->SetIcon(icon);
}

void Tqzform::ShowPassOutcome(const TPassOutcome& pass, const TStateChange& change) {
    SetStateIcon(pass.Passed ? greenIcon_ : redIcon_);
    trayicon->SetTip(PoolSummary(&pass));
    if (change.Changed)
        trayicon->ShowMessage(change.Title, change.Text(), !pass.Passed || pass.WarnedCount() > 0);
}

void Tqzform::ConfigurationButtonClick() {
    settings_.ConfigurationButtonClick();
}

void Tqzform::ViewLogButtonClick() {
    if (!logView_) return;
    app::ViewLogButtonClick(
        settings_.LogName, [this](const std::string& text) { controller_->ShowStatus(text); }, *logView_);
}

void Tqzform::Exit1Click() {
    // Ends the program without the closing log line: the loop ends when
    // control returns to it, after a check in progress has run to its end.
    exiting_ = true;
    platform::Application().Terminate();
}

void Tqzform::Maximize1Click() {
    desktop::RestoreApplication();
}

void Tqzform::AppEvents1Minimize() {
    trayicon->SetVisible(true);
}
void Tqzform::AppEvents1Restore() {
    trayicon->SetVisible(false);
}

void Tqzform::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    if (shown_) return;
    shown_ = true;
    Run([this] { controller_->FormShow(); });
}

void Tqzform::closeEvent(QCloseEvent* event) {
    if (!exiting_) Run([this] { controller_->FormClose(); });
    event->accept();
    platform::Application().Terminate();
}

}  // namespace app
