// Desktop notifications of the main window against a small notification
// service of our own on a private session bus (the test runs under
// dbus-run-session): one Notify call per change of the pool's state, with
// its summary, body and urgency, each replacing the one before; none for a
// pass that changed nothing; and the tray's balloon when nobody answers.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QElapsedTimer>
#include <QObject>
#include <QPushButton>
#include <QVariantMap>

#include "AppFakes.h"
#include "app/gui/DesktopNotifier.h"
#include "app/gui/MainWindow.h"
#include "app/gui/QtHost.h"
#include "desktop/TovikTrayIcon.h"
#include "platform/Application.h"

namespace {

struct Call {
    QString app, icon, summary, body;
    uint replaces = 0;
    int urgency = -1;
};

// What a notification daemon offers, reduced to recording its calls.
class FakeNotifications : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
public:
    std::vector<Call> calls;
public slots:
    uint Notify(const QString& app, uint replaces, const QString& icon, const QString& summary,
                const QString& body, const QStringList&, const QVariantMap& hints, int) {
        Call c{app, icon, summary, body, replaces, -1};
        const QVariant urgency = hints.value("urgency");
        if (urgency.metaType().id() == QMetaType::UChar) c.urgency = urgency.value<uchar>();
        calls.push_back(c);
        return replaces ? replaces : static_cast<uint>(calls.size() + 40);
    }
    QStringList GetCapabilities() { return {"body"}; }
};

QApplication* TheApp() {
    static int argc = 1;
    static char name[] = "app_notify_test";
    static char* argv[] = {name, nullptr};
    static QApplication* app = [] {
        auto* a = new QApplication(argc, argv);
        app::InstallQtHost();
        platform::Application().Title = "Kvo Sentrel";
        return a;
    }();
    return app;
}

// Runs Qt's loop until done() holds (at most 10 s).
bool RunUntil(const std::function<bool()>& done) {
    QElapsedTimer t;
    t.start();
    while (!done() && t.elapsed() < 10000) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    return done();
}

TEST(DesktopNotifications, OneCallPerChangeOfStateEachReplacingTheLast) {
    TheApp();
    if (!QDBusConnection::sessionBus().isConnected())
        GTEST_SKIP() << "no session bus (run under dbus-run-session)";
    // The service on a connection of its own, as a daemon would be.
    QDBusConnection service =
        QDBusConnection::connectToBus(QDBusConnection::SessionBus, "fake-notifications");
    FakeNotifications fake;
    ASSERT_TRUE(
        service.registerObject("/org/freedesktop/Notifications", &fake, QDBusConnection::ExportAllSlots));
    ASSERT_TRUE(service.registerService("org.freedesktop.Notifications"));

    WorkDir dir;
    PutFile("sentrel.ini", "[main]\r\nserver1name=up\r\nserver2name=down&co\r\nserver2active=1\r\n");
    app::TServerForm settings;
    ScriptedGetter http;
    app::Tqzform form(settings, http);
    form.show();
    http.answers["up"] = {"<html>", false};
    http.answers["down&co"] = {"x", false};
    const struct {
        bool downFails;
        std::size_t calls;  // after the pass
        const char* summary;
        int urgency;
        const char* icon;  // the red LED for hosts down, the green one for up
    } passes[] = {
        {false, 0, nullptr, 0, nullptr},  // a clean first pass is no change
        {true, 1, "1 host down", app::TDesktopNotifier::kCritical, "sentrel-down"},
        {true, 1, nullptr, 0, nullptr},  // still down: nothing new
        {false, 2, "All hosts up again", app::TDesktopNotifier::kNormal, "sentrel"},
    };
    for (const auto& p : passes) {
        http.answers["down&co"] = p.downFails ? ScriptedGetter::Answer{"", true, "Connection refused <10061>"}
                                              : ScriptedGetter::Answer{"x", false};
        form.CheckNowButton->click();
        ASSERT_TRUE(RunUntil([&] { return form.Notifier->Pending() == 0; }));
        ASSERT_EQ(fake.calls.size(), p.calls);
        if (!p.summary) continue;
        const Call& c = fake.calls.back();
        EXPECT_EQ(c.summary, p.summary);
        EXPECT_EQ(c.urgency, p.urgency);
        EXPECT_EQ(c.app, "Sentrel");
        EXPECT_EQ(c.icon, p.icon);
    }
    EXPECT_EQ(fake.calls[0].body, "down&amp;co: Connection refused &lt;10061&gt;");
    EXPECT_EQ(fake.calls[0].replaces, 0u);
    EXPECT_EQ(fake.calls[1].replaces, 41u) << "the second replaces the first";
    EXPECT_EQ(form.trayicon->MessageTitle(), "") << "no balloon while the service answers";
    // Three changes before the service answers the first: the last one
    // waits for that answer and replaces it; the one in between is dropped.
    for (const char* summary : {"a", "b", "c"}) form.Notifier->Notify(summary, "", false, nullptr);
    ASSERT_TRUE(RunUntil([&] { return form.Notifier->Pending() == 0; }));
    ASSERT_EQ(fake.calls.size(), 4u);
    EXPECT_EQ(fake.calls[2].summary, "a");
    EXPECT_EQ(fake.calls[3].summary, "c");
    EXPECT_EQ(fake.calls[3].replaces, 41u);

    // The service goes away: the next change shows as the tray's balloon.
    ASSERT_TRUE(service.unregisterService("org.freedesktop.Notifications"));
    http.answers["down&co"] = {"", true, "Connection refused"};
    form.CheckNowButton->click();
    ASSERT_TRUE(RunUntil([&] { return form.Notifier->Pending() == 0; }));
    EXPECT_EQ(fake.calls.size(), 4u);
    EXPECT_EQ(form.trayicon->MessageTitle(), "1 host down");
    form.close();
    platform::Application().Reset();
    QDBusConnection::disconnectFromBus("fake-notifications");
}

}  // namespace

#include "NotifyTest.moc"
