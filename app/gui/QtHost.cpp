#include "app/gui/QtHost.h"

#include <QAbstractEventDispatcher>
#include <QApplication>
#include <QMessageBox>
#include <QSocketNotifier>
#include <cstdio>

#include "app/gui/StoredText.h"
#include "base/Strings.h"
#include "platform/Application.h"
#include "platform/MessageLoop.h"

namespace app {

namespace {
bool g_running = false;
bool g_errorsOnStderr = false;
}  // namespace

void InstallQtHost() {
    auto* notifier = new QSocketNotifier(platform::Fd(), QSocketNotifier::Read, qApp);
    QObject::connect(notifier, &QSocketNotifier::activated, [] { platform::ProcessMessages(); });

    platform::TApplication::Host host;
    // True when anything ran, so a blocking wait sleeps only when nothing did.
    host.processMessages = [] {
        bool did = QCoreApplication::eventDispatcher()->processEvents(QEventLoop::AllEvents);
        return platform::ProcessMessages() || did;
    };
    host.waitMessage = [] { QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents); };
    host.showError = [](const std::string& title, const std::string& text) {
        if (g_errorsOnStderr) {
            std::fprintf(stderr, "%s: %s\n", title.c_str(), base::ShowControls(text).c_str());
            return;
        }
        QMessageBox box(QMessageBox::Critical, FromStored(title), FromStored(text), QMessageBox::Ok,
                        QApplication::activeWindow());
        box.exec();
    };
    host.terminate = [] {
        if (g_running) QCoreApplication::exit(0);
    };
    platform::Application().SetHost(std::move(host));
}

void ReportErrorsOnStderr() {
    g_errorsOnStderr = true;
}

int RunQtLoop() {
    g_running = true;
    const int code = QCoreApplication::exec();
    g_running = false;
    return code;
}

}  // namespace app
