// The main window bound to the controller, offscreen: its captions and
// hints, Check Now lighting the last-check LED by the pool's outcome, View
// Log showing the file, the configuration dialog saving on OK, and closing
// the window writing the finishing line.
#include <QApplication>
#include <QCheckBox>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QStatusBar>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QToolButton>
#include <QToolTip>

#include <set>
#include <sstream>

#include <sys/resource.h>
#include <QEventLoop>
#include <QKeyEvent>

#include "AppFakes.h"
#include "ads/Advertisement.h"
#include "app/core/About.h"
#include "app/core/HttpGetter.h"
#include "app/gui/ElidedText.h"
#include "app/gui/MainWindow.h"
#include "app/gui/QtHost.h"
#include "app/gui/ServerFormDialog.h"
#include "app/gui/viewform.h"
#include "desktop/ALed.h"
#include "desktop/TovikTrayIcon.h"
#include "desktop/bramelAutostart.h"
#include "platform/Application.h"
#include "platform/IniFile.h"
#include "platform/Process.h"
#include "support/FakeXdg.h"
#include "support/ScriptedPeer.h"

namespace {

struct Gui {
    app::TServerForm settings;
    ScriptedGetter http;
    std::unique_ptr<app::Tqzform> form;
    std::unique_ptr<app::TLogView> logView;
    std::unique_ptr<app::TServerFormDialog> dialog;
    explicit Gui(const std::string& ini) {
        PutFile("sentrel.ini", ini);
        form = std::make_unique<app::Tqzform>(settings, http);
        logView = std::make_unique<app::TLogView>();
        dialog = std::make_unique<app::TServerFormDialog>(settings, form.get());
        form->SetLogView(logView.get());
        form->SetServerDialog(dialog.get());
        form->show();
    }
};

// The colour at the middle of an icon: the LED's body.
QColor IconBody(const QIcon& icon) {
    QSize size = desktop::LedStyleSize(desktop::LEDLarge);
    QImage image = icon.pixmap(size).toImage();
    return image.pixelColor(image.width() / 2, image.height() / 2);
}

QApplication* TheApp() {
    static int argc = 1;
    static char name[] = "app_window_test";
    static char* argv[] = {name, nullptr};
    static QApplication* app = [] {
        auto* a = new QApplication(argc, argv);
        app::InstallQtHost();
        platform::Application().Title = "Kvo Sentrel";
        return a;
    }();
    return app;
}

}  // namespace

TEST(MainWindow, ShowsItsControlsAndStartsTheLog) {
    TheApp();
    WorkDir dir;
    Gui g("[main]\r\nserver1name=up\r\n");
    EXPECT_EQ(g.form->windowTitle(), "Sentrel");
    EXPECT_EQ(g.form->minimumSize(), QSize(488, 182));
    EXPECT_EQ(g.form->MonitorButton->text(), "Monitor On");
    EXPECT_EQ(g.form->MonitorButton->toolTip(), "Toggles the Automatic monitoring status");
    EXPECT_EQ(g.form->ViewLogButton->toolTip(), "Loads the log file in a viewer");
    EXPECT_EQ(g.form->StatusLED->LEDStyle(), desktop::LEDSqSmall);
    EXPECT_TRUE(g.form->lasthost->isReadOnly());
    EXPECT_EQ(LogLines(), (std::vector<std::string>{"header", "-Logging connectivity"}));
}

TEST(MainWindow, CheckNowLightsTheLedByThePoolsOutcomeAndViewLogShowsTheFile) {
    TheApp();
    WorkDir dir;
    Gui g("[main]\r\nserver1name=up\r\nserver2name=down\r\nserver2active=1\r\n");
    g.http.answers["up"] = {"<html>", false};
    g.http.answers["down"] = {"", true, "Connection refused (Error #10061)"};
    // Before the first pass the icons show an unlit LED and the tip says so.
    EXPECT_EQ(IconBody(g.form->windowIcon()), desktop::ColorToQColor(desktop::clSilver));
    EXPECT_EQ(g.form->trayicon->Tip(), "Sentrel: not checked yet");
    g.form->CheckNowButton->click();
    EXPECT_EQ(IconBody(g.form->windowIcon()), QColor(Qt::red));
    EXPECT_EQ(IconBody(g.form->trayicon->Icon()), QColor(Qt::red));
    EXPECT_EQ(g.form->trayicon->Tip(), "Sentrel: 1 of 2 hosts down");
    EXPECT_EQ(g.form->trayicon->MessageTitle(), "1 host down");
    EXPECT_EQ(g.form->trayicon->MessageText(), "down: Connection refused (Error #10061)");
    // The house banner is no state: none of the LED's colours in it.
    const QImage banner = g.form->Banner->grab().toImage();
    for (QColor state : {QColor(Qt::red), QColor(Qt::green)}) {
        bool found = false;
        for (int y = 0; y < banner.height() && !found; ++y)
            for (int x = 0; x < banner.width() && !found; ++x) found = banner.pixelColor(x, y) == state;
        EXPECT_FALSE(found) << state.name().toStdString();
    }
    EXPECT_EQ(g.form->StatusLED->TrueColor(), app::kRed);
    EXPECT_TRUE(g.form->StatusLED->Blink());
    EXPECT_TRUE(g.form->StatusLED->Value());
    EXPECT_EQ(g.form->statusBar()->currentMessage(), "At least one connection failed!");
    EXPECT_EQ(g.form->lasthost->text(), "down");
    EXPECT_EQ(g.form->lasthost->toolTip(), "down: Connection refused (Error #10061)");
    EXPECT_TRUE(g.form->CheckNowButton->isEnabled());

    g.http.answers["down"] = {"x", false};
    g.form->CheckNowButton->click();
    EXPECT_EQ(g.form->StatusLED->TrueColor(), app::kGreen);
    EXPECT_FALSE(g.form->StatusLED->Blink());
    EXPECT_EQ(IconBody(g.form->windowIcon()), QColor(Qt::green));
    EXPECT_EQ(IconBody(g.form->trayicon->Icon()), QColor(Qt::green));
    EXPECT_EQ(g.form->trayicon->Tip(), "Sentrel: all 2 hosts up");
    EXPECT_EQ(g.form->trayicon->MessageTitle(), "All hosts up again");
    // Nothing changed: no new message.
    g.form->trayicon->ShowMessage("", "");
    g.form->CheckNowButton->click();
    EXPECT_EQ(g.form->trayicon->MessageTitle(), "");

    g.form->ViewLogButton->click();
    EXPECT_TRUE(g.logView->isVisible());
    EXPECT_TRUE(g.logView->logtext->toPlainText().contains("All servers connected correctly"));
    EXPECT_EQ(g.form->statusBar()->currentMessage(), "loading log into viewer");
    g.logView->CloseButtonClick();
}

// A log that cannot be written: the pass still ends with its outcome, one
// box that does not hold the window up says why, and it closes by itself
// once a line could be written again.
TEST(MainWindow, LogFailureShowsOneNonModalBoxThatClosesItself) {
    TheApp();
    WorkDir dir;
    Gui g("[main]\r\nserver1name=up\r\nserver1active=1\r\n");
    g.http.answers["up"] = {"<html>", false};
    g.form->Controller().Log()->LogName = "no-such-folder/status.log";
    g.form->CheckNowButton->click();
    g.form->CheckNowButton->click();
    ASSERT_NE(g.form->LogFailureBox(), nullptr);
    EXPECT_TRUE(g.form->LogFailureBox()->isVisible());
    EXPECT_FALSE(g.form->LogFailureBox()->isModal());
    EXPECT_EQ(g.form->LogFailureBox()->text(), "Cannot write to no-such-folder/status.log: File not found.");
    EXPECT_EQ(g.form->StatusLED->TrueColor(), app::kGreen);
    g.form->Controller().Log()->LogName = "status.log";
    g.form->CheckNowButton->click();
    QApplication::processEvents();
    EXPECT_EQ(g.form->LogFailureBox(), nullptr);
}

TEST(MainWindow, MonitorButtonTogglesCaptionAndActiveLed) {
    TheApp();
    WorkDir dir;
    Gui g("[main]\r\n");
    g.form->MonitorButton->click();
    EXPECT_EQ(g.form->MonitorButton->text(), "Monitor Off");
    EXPECT_TRUE(g.form->activeLED->Value());
    EXPECT_FALSE(g.form->CheckNowButton->isEnabled());
    g.form->MonitorButton->click();
    EXPECT_EQ(g.form->MonitorButton->text(), "Monitor On");
    EXPECT_FALSE(g.form->activeLED->Value());

    // Return or Enter presses it wherever the focus is, while it is enabled.
    auto press = [](QWidget* focus, Qt::Key key) {
        QKeyEvent down(QEvent::KeyPress, key, key == Qt::Key_Enter ? Qt::KeypadModifier : Qt::NoModifier);
        QApplication::sendEvent(focus, &down);
    };
    const struct {
        QWidget* focus;
        Qt::Key key;
        bool enabled;
        const char* caption;
    } keys[] = {
        {g.form->lasthost, Qt::Key_Return, true, "Monitor Off"},
        {g.form->CheckNowButton, Qt::Key_Return, true, "Monitor On"},
        {g.form->MonitorButton, Qt::Key_Enter, true, "Monitor Off"},
        {g.form->lasthost, Qt::Key_Enter, false, "Monitor Off"},
    };
    for (const auto& k : keys) {
        g.form->MonitorButton->setEnabled(k.enabled);
        press(k.focus, k.key);
        EXPECT_EQ(g.form->MonitorButton->text(), k.caption) << k.focus->objectName().toStdString();
    }
    g.form->MonitorButton->setEnabled(true);
    g.form->MonitorButton->click();
}

// A status text too long for the line loses its middle, not its end; the
// whole text is the tooltip. A short one shows whole.
TEST(MainWindow, StatusLineElidesInTheMiddle) {
    TheApp();
    WorkDir dir;
    Gui g("[main]\r\n");
    g.form->resize(488, 182);
    const std::string url = "http://127.0.0.1:18300/a/rather/long/path/to/the/status/page/of/this/server";
    g.form->Controller().ShowStatus(app::TQzController::CheckingText(url));
    const QString shown = g.form->StatusShown();
    EXPECT_TRUE(shown.startsWith("Checking \"http:")) << shown.toStdString();
    EXPECT_TRUE(shown.endsWith("\" Now")) << shown.toStdString();
    EXPECT_TRUE(shown.contains(QChar(0x2026))) << shown.toStdString();
    EXPECT_EQ(g.form->statusBar()->toolTip().toStdString(), "Checking \"" + url + "\" Now");
    EXPECT_EQ(g.form->statusBar()->currentMessage().toStdString(), "Checking \"" + url + "\" Now");
    // A tip showing the old text while the pointer rests takes the new one.
    QToolTip::showText(g.form->statusBar()->mapToGlobal(QPoint(10, 5)), g.form->statusBar()->toolTip(),
                       g.form->statusBar());
    g.form->Controller().ShowStatus("Now Active");
    EXPECT_EQ(g.form->StatusShown(), "Now Active");
    EXPECT_EQ(g.form->statusBar()->toolTip(), "Now Active");
    ASSERT_TRUE(QToolTip::isVisible());
    EXPECT_EQ(QToolTip::text(), "Now Active");
    QToolTip::hideText();

    // The last host keeps its scheme, host and port and its end; the whole
    // name is the tooltip until a failure's hint takes its place.
    const std::string host =
        "http://127.0.0.1:18300/a-path-so-long-it-runs/until-it-cannot-fit/in-the-status-line/status";
    const struct {
        std::string host, hint;
        QString tip;
        bool elided;
    } rows[] = {
        {host, "", QString::fromStdString(host), true},
        {host, host + ": Connection refused", QString::fromStdString(host + ": Connection refused"), true},
        {host, "", QString::fromStdString(host), true},
        {"down", "", "down", false},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.host + " | " + r.hint);
        g.form->SetLastHost(r.host);
        g.form->SetLastHostHint(r.hint);
        EXPECT_EQ(g.form->lasthost->FullText().toStdString(), r.host);
        EXPECT_EQ(g.form->lasthost->toolTip(), r.tip);
        const QString shown = g.form->lasthost->text();
        EXPECT_EQ(shown.contains(QChar(0x2026)), r.elided) << shown.toStdString();
        EXPECT_TRUE(shown.startsWith(QString::fromStdString(r.host.substr(0, r.elided ? 22 : 4))))
            << shown.toStdString() << " in " << g.form->lasthost->width();
        EXPECT_TRUE(shown.endsWith(r.elided ? "/status" : "down")) << shown.toStdString();
        EXPECT_LE(g.form->lasthost->fontMetrics().horizontalAdvance(shown), g.form->lasthost->width());
    }
}

// Eliding a URL keeps its origin whole while a little of its path fits
// beside it; anything else, or an origin too wide, loses its middle.
TEST(MainWindow, ElidingKeepsTheOriginOfAUrl) {
    TheApp();
    const QFontMetrics fm(QApplication::font());
    const QString url = "https://example.invalid:8443/" + QString(60, 'p') + "/status";
    const QString bare = QString(40, 'h') + "." + QString(40, 'k');
    const QString wideHost = "http://" + QString(80, 'h') + ".invalid/x";
    const struct {
        QString text;
        int width;
        QString starts, ends;
    } rows[] = {
        {url, fm.horizontalAdvance(url), url, url},  // fits: whole
        {url, fm.horizontalAdvance(url) / 2, "https://example.invalid:8443/", "/status"},
        {bare, fm.horizontalAdvance(bare) / 2, "hhhh", "kkkk"},
        {wideHost, fm.horizontalAdvance(wideHost) / 2, "http://hh", "invalid/x"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.text.toStdString());
        const QString shown = app::ElideKeepingOrigin(fm, r.text, r.width);
        EXPECT_LE(fm.horizontalAdvance(shown), r.width);
        EXPECT_TRUE(shown.startsWith(r.starts)) << shown.toStdString();
        EXPECT_TRUE(shown.endsWith(r.ends)) << shown.toStdString();
        EXPECT_EQ(shown.contains(QChar(0x2026)), shown != r.text);
    }
}

TEST(MainWindow, ConfigurationOkSavesAndCloseWritesTheFinishLine) {
    TheApp();
    WorkDir dir;
    Gui g("[form]\r\nTop=3\r\n");
    QTimer::singleShot(0, [&] {
        g.dialog->serverName[1]->setText("second");
        g.dialog->active[1]->setChecked(true);
        g.dialog->OkButton->click();
    });
    g.form->ConfigurationButton->click();
    std::string ini = GetFile("sentrel.ini");
    EXPECT_NE(ini.find("[form]\r\nTop=3\r\n"), std::string::npos);
    EXPECT_NE(ini.find("server2name=second\r\n"), std::string::npos);
    EXPECT_EQ(g.form->Controller().HostList().size(), 2u);
    g.form->close();
    EXPECT_EQ(LogLines().back(), ".Finished logging connectivity");
    platform::Application().Reset();
}

// Cancel, Escape and closing the dialog throw the edits away: the running
// cycle keeps the saved time, the file is untouched and the next opening
// shows the old values. The dialog opens at its own size.
TEST(MainWindow, ConfigurationCancelRestoresEveryField) {
    TheApp();
    WorkDir dir;
    const std::string ini = "[main]\r\nserver1name=up\r\nfrequency=5\r\n";
    Gui g(ini);
    const std::vector<std::pair<const char*, std::function<void()>>> ways{
        {"Cancel", [&] { g.dialog->CancelButton->click(); }},
        {"Escape",
         [&] {
             QKeyEvent key(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
             QApplication::sendEvent(g.dialog->frequency, &key);
         }},
        {"closing the window", [&] { g.dialog->close(); }},
    };
    for (const auto& [what, leave] : ways) {
        SCOPED_TRACE(what);
        QSize opened;
        QTimer::singleShot(0, [&] {
            opened = g.dialog->size();
            g.dialog->frequency->setValue(2);
            g.dialog->serverName[0]->setText("other");
            g.dialog->active[1]->setChecked(true);
            g.dialog->AutoStart->setChecked(true);
            g.dialog->LogName->setText("x.log");
            leave();
        });
        g.form->ConfigurationButton->click();
        EXPECT_EQ(opened, QSize(488, 452));
        EXPECT_EQ(g.settings.Frequency(), 5);
        EXPECT_EQ(g.form->Controller().CycleInterval(), 5000u);
        EXPECT_EQ(g.settings.ServerName[0], "up");
        EXPECT_EQ(g.settings.LogName, "status.log");
        EXPECT_FALSE(g.settings.AutoStart);
        EXPECT_EQ(g.form->Controller().HostList(), std::vector<std::string>{"up"});
        EXPECT_EQ(GetFile("sentrel.ini"), ini);
        // What the next opening shows.
        EXPECT_EQ(g.dialog->frequency->value(), 5);
        EXPECT_EQ(g.dialog->serverName[0]->text(), "up");
        EXPECT_FALSE(g.dialog->active[1]->isChecked());
    }
}

// A pasted line break never reaches the settings, and a cycle time typed out
// of bounds becomes the nearest bound instead of the old value.
TEST(MainWindow, DialogFieldsDropControlCharactersAndClampTheCycleTime) {
    TheApp();
    WorkDir dir;
    Gui g("[main]\r\nfrequency=30\r\n");
    g.dialog->LoadFromModel();
    g.dialog->serverName[1]->insert("a\r\nlogname=/tmp/x");
    EXPECT_EQ(g.dialog->serverName[1]->text(), "alogname=/tmp/x");
    g.dialog->LogName->setText("");
    g.dialog->LogName->insert("b.log\n\t");
    EXPECT_EQ(g.dialog->LogName->text(), "b.log");
    auto* edit = g.dialog->frequency->findChild<QLineEdit*>();
    ASSERT_NE(edit, nullptr);
    const std::vector<std::pair<QString, int>> typed{
        {"300000000", 100000000}, {"0", 1}, {"99999999999", 100000000}, {"45", 45}};
    for (const auto& [text, value] : typed) {
        SCOPED_TRACE(text.toStdString());
        edit->selectAll();
        edit->insert(text);
        g.dialog->frequency->interpretText();  // as losing the focus does
        EXPECT_EQ(g.dialog->frequency->value(), value);
    }
    edit->selectAll();
    edit->insert("0");
    g.dialog->StoreToModel();  // the dialog closing before the field let go
    EXPECT_EQ(g.settings.Frequency(), 1);
    EXPECT_EQ(g.settings.ServerName[1], "alogname=/tmp/x");
}

TEST(MainWindow, KeepsItsPositionBetweenRunsInTheFormSection) {
    TheApp();
    WorkDir dir;
    std::string main = "[main]\r\nserver1name=up\r\n";
    QRect where;
    {
        Gui g(main);
        g.form->setGeometry(130, 140, 520, 200);
        where = g.form->geometry();
        g.form->close();
        platform::Application().Reset();
    }
    platform::TIniFile ini("sentrel.ini");
    std::vector<std::string> keys = ini.ReadSection("form");
    ASSERT_FALSE(keys.empty()) << GetFile("sentrel.ini");
    EXPECT_EQ(ini.ReadString("main", "server1name", ""), "up");  // the pool's section is untouched
    Gui again(GetFile("sentrel.ini"));
    EXPECT_EQ(again.form->geometry(), where);
    again.form->close();
    platform::Application().Reset();
}

TEST(MainWindow, TrayExitEndsTheLoopWithoutClosingTheWindows) {
    TheApp();
    WorkDir dir;
    {
        Gui g("[main]\r\n");
        QTimer::singleShot(0, g.form.get(), [&] { g.form->Exit1->trigger(); });
        QTimer::singleShot(10000, [] {
            ADD_FAILURE() << "the loop did not end";
            QCoreApplication::exit(1);
        });
        EXPECT_EQ(app::RunQtLoop(), 0);
        EXPECT_TRUE(g.form->isVisible());
    }  // the windows are destroyed after the loop, as start-up does
    EXPECT_EQ(platform::TIniFile("sentrel.ini").ReadString("form", "Visible", ""), "1");
    EXPECT_EQ(LogLines().back(), "-Logging connectivity");
    platform::Application().Reset();
}

TEST(MainWindow, BannersHomePageFeedbackAndStartOnBootWork) {
    TheApp();
    WorkDir dir;
    testsupport::FakeXdg xdg;
    xdg.Handler("recorder.desktop");
    testsupport::FakeXdg::Put(xdg.Root / "config/mimeapps.list",
                              "[Default Applications]\nx-scheme-handler/mailto=recorder.desktop\n"
                              "text/html=recorder.desktop\n");
    Gui g("[main]\r\n");
    // The house banner library lies beside the test program.
    EXPECT_TRUE(g.form->Banner->StartedOkay());
    EXPECT_TRUE(g.dialog->SmallBanner->StartedOkay());
    EXPECT_EQ(g.dialog->SmallBanner->size(), QSize(120, 60));
    EXPECT_TRUE(g.logView->BannerArea->StartedOkay());

    ASSERT_TRUE(g.form->LoadDalmor->isEnabled());
    g.form->LoadDalmor->click();
    g.form->emaildalmor->click();
    // Two processes: their lines may come in either order.
    const std::string recorded = xdg.WaitForRecording(2);
    std::multiset<std::string> lines;
    std::istringstream in(recorded);
    for (std::string line; std::getline(in, line);) lines.insert(line);
    EXPECT_EQ(lines, (std::multiset<std::string>{
                         std::string("1|") + app::kHomePage,
                         "1|mailto:feedback@sentrel.example.org?subject=Feedback%20for%20Sentrel"}))
        << recorded;

    // Nothing to open them with: the status line says so.
    {
        testsupport::FakeXdg::Put(xdg.Root / "config/mimeapps.list", "");
        const std::string path = std::getenv("PATH");
        setenv("PATH", (xdg.Root / "no-programs").c_str(), 1);
        g.form->LoadDalmor->click();
        EXPECT_EQ(g.form->statusBar()->currentMessage(), "No program to open web pages was found");
        g.form->Controller().ShowStatus("");
        g.form->emaildalmor->click();
        EXPECT_EQ(g.form->statusBar()->currentMessage(), "No program to open web pages was found");
        setenv("PATH", path.c_str(), 1);
    }

    const auto entry = xdg.Root / "config/autostart/KvoSentrel.desktop";
    for (bool on : {true, false}) {
        QTimer::singleShot(0, [&] {
            g.dialog->StartOnBoot->setChecked(on);
            g.dialog->OkButton->click();
        });
        g.form->ConfigurationButton->click();
        EXPECT_EQ(std::filesystem::exists(entry), on);
    }
    g.form->Autostart->SetAutostart(true);
    const std::string text = testsupport::FakeXdg::Get(entry);
    EXPECT_NE(text.find("\nExec=" + platform::ExecutablePath() + "\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\nPath=" + dir.path.string() + "\n"), std::string::npos) << text;
}

TEST(MainWindow, OpensWithBlankBannersWithoutTheAdvertisingLibrary) {
    TheApp();
    WorkDir dir;
    const std::string saved = ads::TAdvertisement::LibraryName;
    ads::TAdvertisement::LibraryName = "libadimage-not-installed.so";
    {
        Gui g("[main]\r\n");
        EXPECT_TRUE(g.form->isVisible());
        EXPECT_FALSE(g.form->Banner->StartedOkay());
        EXPECT_EQ(g.form->Banner->Throttle(100000), 0);
        EXPECT_EQ(g.form->Banner->size(), QSize(468, 60));
        EXPECT_EQ(LogLines().back(), "-Logging connectivity");
    }
    ads::TAdvertisement::LibraryName = saved;
}

TEST(MainWindow, MinimisingShowsTheTrayIconAndRestoringHidesIt) {
    TheApp();
    WorkDir dir;
    Gui g("[main]\r\n");
    ASSERT_NE(g.form->trayicon, nullptr);
    g.form->AppEvents1Minimize();
    EXPECT_TRUE(g.form->trayicon->Visible());
    g.form->Maximize1Click();
    g.form->AppEvents1Restore();
    EXPECT_FALSE(g.form->trayicon->Visible());
    EXPECT_FALSE(g.form->isMinimized());
    // A double click on the icon restores the window and opens no menu.
    g.form->showMinimized();
    g.form->AppEvents1Minimize();
    for (auto reason : {QSystemTrayIcon::Trigger, QSystemTrayIcon::Trigger, QSystemTrayIcon::DoubleClick})
        emit g.form->trayicon->Tray()->activated(reason);
    EXPECT_FALSE(g.form->isMinimized());
    EXPECT_FALSE(g.form->PopupMenu1->isVisible());
    EXPECT_FALSE(platform::Application().Terminated());
}

// The real client inside the window: a check run by a button and one run by
// a tick of the cycle timer both end, and the wait for a slow server sleeps.
TEST(MainWindow, ChecksWithTheRealClientEndAndSleepWhileTheyWait) {
    TheApp();
    WorkDir dir;
    testsupport::TScriptedPeer slow(
        {{testsupport::ReadRequest(), testsupport::PauseMs(1500),
          testsupport::SendBytes("HTTP/1.0 200 OK\r\n\r\n<html>"), testsupport::CloseConn()}});
    PutFile("sentrel.ini", "[main]\r\nserver1name=" + slow.HostPort() + "\r\nfrequency=1\r\n");
    app::TServerForm settings;
    auto http = app::MakeHttpGetter();
    app::Tqzform form(settings, *http);
    form.show();

    rusage before{};
    getrusage(RUSAGE_SELF, &before);
    form.CheckNowButton->click();  // returns when the pass has ended
    rusage after{};
    getrusage(RUSAGE_SELF, &after);
    auto cpuMs = [](const rusage& r) {
        return (r.ru_utime.tv_sec + r.ru_stime.tv_sec) * 1000.0 +
               (r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1000.0;
    };
    EXPECT_EQ(form.statusBar()->currentMessage(), "All servers connected correctly");
    EXPECT_LT(cpuMs(after) - cpuMs(before), 500.0);  // a spinning wait would burn the whole 1.5 s

    // Now from a tick: the pass runs inside the loop's own notification.
    form.MonitorButton->click();
    QEventLoop loop;
    int passes = 0;
    form.Controller().OnStatus = [&](const std::string& text) {
        if (text == "All servers connected correctly" && ++passes == 1) loop.quit();
    };
    QTimer::singleShot(15000, &loop, [&] {
        ADD_FAILURE() << "the ticked pass never ended";
        loop.quit();
    });
    loop.exec();
    EXPECT_EQ(passes, 1);
    form.MonitorButton->click();
    form.close();
    platform::Application().Reset();
}

// "E&xit" during a pass: the program ends once the pass has, and until then
// the status line and the tray's tip say so, whatever the pass says.
TEST(MainWindow, TrayExitDuringAPassSaysTheProgramIsFinishingIt) {
    TheApp();
    WorkDir dir;
    testsupport::TScriptedPeer slow(
        {{testsupport::ReadRequest(), testsupport::PauseMs(500),
          testsupport::SendBytes("HTTP/1.0 200 OK\r\n\r\n<html>"), testsupport::CloseConn()}});
    PutFile("sentrel.ini", "[main]\r\nserver1name=" + slow.HostPort() + "\r\n");
    app::TServerForm settings;
    auto http = app::MakeHttpGetter();
    app::Tqzform form(settings, *http);
    form.show();
    const QString finishing = QString::fromUtf8("Finishing the pass\u2026");
    QString said;
    form.Controller().OnStatus = [&](const std::string& text) {
        if (text.rfind("Checking \"", 0) != 0 || !said.isEmpty()) return;
        form.Exit1->trigger();  // the pass is under way
        said = form.statusBar()->currentMessage();
    };
    form.CheckNowButton->click();  // returns when the pass has ended
    EXPECT_EQ(said, finishing);
    EXPECT_EQ(form.statusBar()->currentMessage(), finishing);
    EXPECT_EQ(form.statusBar()->toolTip(), finishing);
    EXPECT_EQ(QString::fromStdString(form.trayicon->Tip()), finishing);
    EXPECT_TRUE(platform::Application().Terminated());
    // Between passes it ends at once, with nothing to say.
    platform::Application().Reset();
    form.Controller().OnStatus = nullptr;
    form.Controller().ShowStatus("Now Active");
    form.Exit1->trigger();
    EXPECT_EQ(form.statusBar()->currentMessage(), "Now Active");
    EXPECT_TRUE(platform::Application().Terminated());
    form.close();
    platform::Application().Reset();
}
