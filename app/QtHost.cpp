#include "app/QtHost.h"

#include <unistd.h>

#include <QAbstractEventDispatcher>
#include <QApplication>
#include <QMessageBox>
#include <QSocketNotifier>
#include <vector>

#include "platform/Application.h"
#include "platform/MessageLoop.h"

namespace app {

namespace {

// A wait that runs inside one of our own handlers (a check's request, run
// from a timer tick that the loop's notifier delivered) cannot rely on that
// notifier: Qt does not poll a notifier's descriptor again while its
// activation is still running. So every nesting depth of wait gets a
// notifier of its own, on a duplicate of the loop's descriptor, switched on
// only while that wait sleeps.
std::vector<QSocketNotifier*> g_waitNotifiers;
int g_waitDepth = 0;

void WaitForMore() {
    int depth = g_waitDepth++;
    if (depth >= static_cast<int>(g_waitNotifiers.size())) {
        int fd = ::dup(platform::Fd());
        auto* n = new QSocketNotifier(fd, QSocketNotifier::Read, qApp);
        n->setEnabled(false);
        QObject::connect(n, &QSocketNotifier::activated, [] {});  // waking the wait is all it does
        QObject::connect(qApp, &QObject::destroyed, [fd] { ::close(fd); });
        g_waitNotifiers.push_back(n);
    }
    QSocketNotifier* n = g_waitNotifiers[static_cast<std::size_t>(depth)];
    n->setEnabled(true);
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    n->setEnabled(false);
    --g_waitDepth;
}

}  // namespace

void InstallQtHost() {
    auto* notifier = new QSocketNotifier(platform::Fd(), QSocketNotifier::Read, qApp);
    QObject::connect(notifier, &QSocketNotifier::activated, [] { platform::ProcessMessages(); });

    platform::TApplication::Host host;
    host.processMessages = [] {
        bool did = QCoreApplication::eventDispatcher()->processEvents(QEventLoop::AllEvents);
        return platform::ProcessMessages() || did;
    };
    host.waitMessage = [] { WaitForMore(); };
    host.showError = [](const std::string& title, const std::string& text) {
        QMessageBox box(QMessageBox::Critical, QString::fromLatin1(title.c_str()),
                        QString::fromLatin1(text.c_str()), QMessageBox::Ok, QApplication::activeWindow());
        box.exec();
    };
    host.terminate = [] { QCoreApplication::quit(); };
    platform::Application().SetHost(std::move(host));
}

}  // namespace app
