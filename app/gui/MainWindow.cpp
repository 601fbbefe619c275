#include "app/gui/MainWindow.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QCursor>
#include <QHBoxLayout>
#include <QIcon>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPainter>
#include <QPixmap>
#include <QPointer>
#include <QPushButton>
#include <QStatusBar>
#include <QStyle>
#include <QStyleOption>
#include <QToolButton>
#include <QToolTip>
#include <QVBoxLayout>

#include "ads/Advertisement.h"
#include "app/core/About.h"
#include "app/core/ViewLog.h"
#include "app/gui/DesktopNotifier.h"
#include "app/gui/ElidedText.h"
#include "app/gui/ServerFormDialog.h"
#include "app/gui/viewform.h"
#include "base/Exception.h"
#include "desktop/ALed.h"
#include "desktop/AppEvent.h"
#include "desktop/AppUtils.h"
#include "desktop/GoToWeb.h"
#include "desktop/Placemnt.h"
#include "desktop/TovikTrayIcon.h"
#include "desktop/bramelAutostart.h"
#include "platform/Application.h"

namespace app {

namespace {
QString Latin1(const std::string& s) {
    return QString::fromLatin1(s.data(), static_cast<qsizetype>(s.size()));
}

// The large LED on a transparent ground, its body in one colour (silver
// is the unlit LED), as an icon.
QIcon LedIcon(desktop::TColor body) {
    QImage image = desktop::LedIconImage(desktop::LEDLarge);
    desktop::FloodFill(image, image.width() / 2, image.height() / 2, desktop::ColorToQColor(desktop::clLime),
                       desktop::ColorToQColor(body));
    return QIcon(QPixmap::fromImage(image));
}

// The glyph of "Contact Author": a closed envelope in the button's text colour.
QIcon EnvelopeGlyph(const QPalette& pal) {
    QPixmap pix(16, 16);
    pix.fill(Qt::transparent);
    QPainter p(&pix);
    p.setPen(pal.color(QPalette::ButtonText));
    p.setBrush(pal.color(QPalette::Base));
    p.drawRect(1, 3, 13, 9);
    p.drawLine(1, 3, 8, 9);
    p.drawLine(14, 3, 8, 9);
    return QIcon(pix);
}
// The status bar: its one text panel elides a long text in the middle, so
// both the start of a URL and the end of the line stay readable beside the
// two speed buttons; the whole text is its tooltip.
class TStatusBar : public QStatusBar {
public:
    using QStatusBar::QStatusBar;
    // The text as the panel shows it.
    QString ShownText() const {
        return fontMetrics().elidedText(currentMessage(), Qt::ElideMiddle, MessageRect().width());
    }
    void AddPermanent(QWidget* widget) {
        permanent_.push_back(widget);
        addPermanentWidget(widget);
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        QStyleOption opt;
        opt.initFrom(this);
        style()->drawPrimitive(QStyle::PE_PanelStatusBar, &opt, &p, this);
        for (QWidget* w : permanent_) {
            if (!w || !w->isVisible()) continue;
            opt.rect = w->geometry().adjusted(-1, -1, 1, 1);
            style()->drawPrimitive(QStyle::PE_FrameStatusBarItem, &opt, &p, w);
        }
        if (currentMessage().isEmpty()) return;
        p.setPen(palette().windowText().color());
        p.drawText(MessageRect(), Qt::AlignLeading | Qt::AlignVCenter | Qt::TextSingleLine, ShownText());
    }

private:
    // From the left edge to the first widget on the right.
    QRect MessageRect() const {
        int right = width() - 2;
        for (QWidget* w : permanent_)
            if (w && w->isVisible()) right = std::min(right, w->x() - 4);
        return QRect(6, 0, std::max(0, right - 6), height());
    }
    std::vector<QPointer<QWidget>> permanent_;
};
}  // namespace

QString Tqzform::StatusShown() const {
    return static_cast<const TStatusBar*>(statusBar())->ShownText();
}

Tqzform::Tqzform(TServerForm& settings, HttpGetter& http, QWidget* parent)
    : QMainWindow(parent), settings_(settings) {
    setObjectName("qzform");
    setWindowTitle("Sentrel");
    setMinimumSize(488, 182);
    resize(488, 182);
    // The window's icon, which the tray icon shows too: an LED on a
    // transparent ground, unlit until the first pass has ended.
    unlitIcon_ = LedIcon(desktop::clSilver);
    greenIcon_ = LedIcon(kGreen);
    redIcon_ = LedIcon(kRed);
    setWindowIcon(unlitIcon_);

    auto* central = new QWidget(this);
    auto* top = new QVBoxLayout(central);
    top->setContentsMargins(6, 4, 6, 2);
    top->setSpacing(4);

    Banner = new ads::TAdvertisement(central);
    Banner->setObjectName("Banner");
    Banner->SetBounds(0, 0, 468, 60);
    Banner->SetAdSize(ads::ad468x60);
    Banner->SetSidebar(false);
    Banner->SoftwareID = 682;
    Banner->Version = 0;
    Banner->setToolTip("Advertising to support making this program free");
    top->addWidget(Banner, 0, Qt::AlignHCenter);

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
    lasthost = new TElidedLineEdit(central);
    lasthost->setObjectName("lasthost");
    lasthost->setReadOnly(true);
    LoadDalmor = new QToolButton(central);
    LoadDalmor->setObjectName("LoadDalmor");
    LoadDalmor->setText("Load HomePage");
    LoadDalmor->setToolTip("Load Kvo Home Page");
    LoadDalmor->setAutoRaise(true);
    LoadDalmor->setIcon(style()->standardIcon(QStyle::SP_DirHomeIcon));
    LoadDalmor->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    emaildalmor = new QToolButton(central);
    emaildalmor->setObjectName("emaildalmor");
    emaildalmor->setText("Contact Author");
    emaildalmor->setToolTip("Send Feedback to Programming Team");
    emaildalmor->setAutoRaise(true);
    emaildalmor->setIcon(EnvelopeGlyph(palette()));
    emaildalmor->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
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
    setStatusBar(new TStatusBar(this));
    statusBar()->setObjectName("StatusBar");
    statusBar()->setSizeGripEnabled(false);
    // The two speed buttons sit at the right end of the status bar, so the
    // "Last Host:" field keeps the width of the window.
    static_cast<TStatusBar*>(statusBar())->AddPermanent(LoadDalmor);
    static_cast<TStatusBar*>(statusBar())->AddPermanent(emaildalmor);

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
    // A double click on the icon brings the window back, as in every tray
    // program; the icon keeps the menu from opening for it.
    trayicon->OnMouseLBtnDblClk = [this](base::TObject*) { Run([this] { Maximize1Click(); }); };
    Notifier = new TDesktopNotifier(this);
    AppEvents1 = new desktop::TAppEvents(this);
    AppEvents1->OnMinimize = [this](base::TObject*) { Run([this] { AppEvents1Minimize(); }); };
    AppEvents1->OnRestore = [this](base::TObject*) { Run([this] { AppEvents1Restore(); }); };
    FormPlacement1 = new desktop::TFormPlacement(this);
    FormPlacement1->IniFileName = ".\\sentrel.ini";
    FormPlacement1->IniSection = "form";
    FormPlacement1->Options = {desktop::fpPosition};
    Web = std::make_unique<desktop::TGoToWeb>();
    Web->Url = kHomePage;
    Web->EMail = kFeedbackAddress;
    Web->EMailSubject = kFeedbackSubject;
    Web->BrowserState = desktop::gwNormal;
    connect(LoadDalmor, &QToolButton::clicked, this, [this] { Run([this] { LoadDalmorClick(); }); });
    connect(emaildalmor, &QToolButton::clicked, this, [this] { Run([this] { emaildalmorClick(); }); });
    // The design-time settings, in their order; the first write keeps an
    // entry an earlier run made.
    Autostart = std::make_unique<desktop::TBramelAutostart>();
    Run([this] {
        Autostart->SetAppName("KvoSentrel");
        Autostart->SetAutostart(false);
        Autostart->SetStartNextLogon(false);
        Autostart->SetGlobal(false);
    });
    settings_.ApplyStartOnBoot = [this](bool on) { ApplyStartOnBoot(on); };

    controller_ = std::make_unique<TQzController>(*this, settings_, http);
    connect(MonitorButton, &QPushButton::clicked, this,
            [this] { Run([this] { controller_->MonitorButtonClick(); }); });
    connect(CheckNowButton, &QPushButton::clicked, this,
            [this] { Run([this] { controller_->CheckNowButtonClick(); }); });
    connect(ConfigurationButton, &QPushButton::clicked, this,
            [this] { Run([this] { ConfigurationButtonClick(); }); });
    connect(ViewLogButton, &QPushButton::clicked, this, [this] { Run([this] { ViewLogButtonClick(); }); });
    // The window is built: its banner starts, then FormCreate runs.
    Banner->Loaded();
    Run([this] { controller_->FormCreate(); });
    Banner->Throttle(100000);
}

Tqzform::~Tqzform() {
    settings_.ApplyStartOnBoot = nullptr;
    platform::Application().Guard([this] { controller_->FormDestroy(); });
}

void Tqzform::Run(const std::function<void()>& handler) {
    platform::Application().Guard(handler);
}

void Tqzform::SetServerDialog(TServerFormDialog* dialog) {
    dialog_ = dialog;
    settings_.ShowModal = [this] { return dialog_ && dialog_->Execute(); };
}

// What the status line and the tray's tip say between "E&xit" and the end
// of the pass it waits for.
static const char* const kFinishing = "Finishing the pass\u2026";

void Tqzform::SetStatusText(const std::string& text) {
    // The pass that runs to its end before the program does keeps the line.
    if (exiting_ && controller_ && controller_->Checking()) return;
    ShowStatusLine(Latin1(text));
}

void Tqzform::ShowStatusLine(const QString& text) {
    QStatusBar* bar = statusBar();
    const QString before = bar->toolTip();
    bar->showMessage(text);
    bar->setToolTip(text);
    // A tip that shows the old text while the pointer rests on the line
    // takes the new one at once.
    if (QToolTip::isVisible() && QToolTip::text() == before && before != text)
        QToolTip::showText(QCursor::pos(), text, bar);
}

void Tqzform::SetLastHost(const std::string& host) {
    lasthost->SetFullText(Latin1(host));
}
void Tqzform::SetLastHostHint(const std::string& hint) {
    lasthost->SetHint(Latin1(hint));
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
    // The icon follows the hosts' confirmed state; the LED shows the pass.
    SetStateIcon(pass.DownCount() == 0 ? greenIcon_ : redIcon_);
    if (!exiting_) trayicon->SetTip(PoolSummary(&pass));
    if (!change.Changed) return;
    const bool urgent = change.Event == "down" || change.Event == "reminder";
    const bool warning = urgent || pass.WarnedCount() > 0;
    QPointer<desktop::TTovikTrayIcon> tray(trayicon);
    Notifier->Notify(Latin1(change.Title), Latin1(change.Text()), urgent,
                     [tray, title = change.Title, text = change.Text(), warning] {
                         if (tray) tray->ShowMessage(title, text, warning);
                     });
}

void Tqzform::ShowLogFailure(const std::string& error) {
    const QString text = Latin1(base::ErrorReportText(error));
    if (!logFailureBox_) {
        logFailureBox_ = new QMessageBox(QMessageBox::Critical, Latin1(platform::Application().Title), text,
                                         QMessageBox::Ok, this);
        logFailureBox_->setWindowModality(Qt::NonModal);
        logFailureBox_->setAttribute(Qt::WA_DeleteOnClose);
        connect(logFailureBox_, &QObject::destroyed, this, [this] { logFailureBox_ = nullptr; });
    }
    logFailureBox_->setText(text);
    logFailureBox_->show();
}

void Tqzform::LogWritten() {
    if (logFailureBox_) logFailureBox_->close();
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
    if (controller_->Checking()) {
        ShowStatusLine(QString::fromUtf8(kFinishing));
        trayicon->SetTip(kFinishing);
    }
    platform::Application().Terminate();
}

// What the status line says when neither a handler nor xdg-open could start.
static const char* const kNoBrowser = "No program to open web pages was found";

void Tqzform::LoadDalmorClick() {
    if (!Web->LaunchUrl()) SetStatusText(kNoBrowser);
}

void Tqzform::emaildalmorClick() {
    if (!Web->LaunchMail()) SetStatusText(kNoBrowser);
}

void Tqzform::ApplyStartOnBoot(bool on) {
    Autostart->SetAutostart(on);
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

void Tqzform::keyPressEvent(QKeyEvent* event) {
    // The Monitor button is the window's default button: Return or Enter
    // that no control took presses it, wherever the focus is.
    if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) &&
        (event->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier) {
        if (MonitorButton->isEnabled()) MonitorButton->click();
        event->accept();
        return;
    }
    QMainWindow::keyPressEvent(event);
}

void Tqzform::closeEvent(QCloseEvent* event) {
    if (!exiting_) Run([this] { controller_->FormClose(); });
    event->accept();
    platform::Application().Terminate();
}

}  // namespace app
