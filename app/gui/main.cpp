// Start-up: the window program by default, or one of the runs without a
// window for servers and scripts.
//
//   sentrel                  the monitor's window
//   sentrel --headless       the monitor without a window; status lines on stdout
//   sentrel --check [HOST..] one pass over the hosts (or the active pool); exit 0 if all passed
//   sentrel --version        the release, and where the banner library was found
// -C DIR and --user-folder choose the folder of the settings and the log.
#include <QAction>
#include <QApplication>
#include <QIcon>
#include <QMenu>
#include <QPixmap>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "ads/Advertisement.h"
#include "app/cli/CommandLine.h"
#include "app/cli/Headless.h"
#include "app/cli/Report.h"
#include "app/cli/WorkFolder.h"
#include "app/core/HistoryRecorder.h"
#include "app/core/HttpGetter.h"
#include "app/core/sform.h"
#include "app/gui/HistoryWindow.h"
#include "app/gui/MainWindow.h"
#include "app/gui/QtHost.h"
#include "app/gui/ServerFormDialog.h"
#include "app/gui/viewform.h"
#include "app/serve/Metrics.h"
#include "desktop/ALed.h"
#include "platform/Application.h"
#include "platform/Autostart.h"
#include "platform/SharedLibrary.h"
#include "platform/Signals.h"

namespace {

const char* const kProgram = "sentrel";

// The release, and the banner library the windows would load (searched for
// as they search), so that an installation can be checked.
int PrintVersion() {
    std::fputs(app::VersionText(kProgram).c_str(), stdout);
    platform::TLibraryHandle banner = platform::LoadLibrary(ads::TAdvertisement::LibraryName);
    const std::string path = platform::LibraryPath(banner);
    std::printf("banner library: %s\n",
                path.empty() ? "not found (the windows show no banners)" : path.c_str());
    return 0;
}

// toolkitArgs: the program's name and the arguments left to Qt.
int RunWindow(std::vector<std::string> toolkitArgs, const app::CommandLine& cl) {
    std::vector<char*> argv;
    for (auto& a : toolkitArgs) argv.push_back(a.data());
    argv.push_back(nullptr);
    int argc = static_cast<int>(toolkitArgs.size());
    QApplication qapp(argc, argv.data());
    // What Qt did not take is not ours either.
    if (argc > 1) return app::BadCommandLine(kProgram, "unknown option '" + std::string(argv[1]) + "'");
    QApplication::setQuitOnLastWindowClosed(false);
    platform::Application().Title = "Kvo Sentrel";
    QApplication::setApplicationName(
        "Kvo Sentrel");  // not the display name: Qt would append it to every caption
    // The menu entry's name: docks and task bars match the running window to
    // the entry by it (and by the window class, "Kvo Sentrel", on X).
    QGuiApplication::setDesktopFileName("org.example.sentrel");
    app::InstallQtHost();
    // The program's icon, for every window: a lit LED on a transparent ground.
    QApplication::setWindowIcon(QIcon(QPixmap::fromImage(desktop::LedIconImage(desktop::LEDLarge))));
    app::TServerForm settings;  // before the publisher: its probes use the settings' proxy
    app::THistoryRecorder history;
    app::TMetricsPublisher publisher({cl.MetricsListen, cl.MetricsFile, cl.ProbeConcurrency,
                                      [&settings] { return app::MakeHttpGetter(settings); }});
    publisher.Extra = [&history] {
        return app::UptimeMetricsText(history.Uptime(std::time(nullptr))) +
               app::HistoryOkMetricsText(history);
    };
    publisher.History = &history;
    try {
        publisher.Start();
    } catch (const std::exception& e) {
        platform::Application().ShowException(e);  // the error box, before any window opens
        return 1;
    }

    auto http = app::MakeHttpGetter(settings);
    // The three windows, in their order: the main window first.
    auto qzform = std::make_unique<app::Tqzform>(settings, *http);
    qzform->Controller().SetConcurrency(cl.Concurrency);
    auto logView = std::make_unique<app::TLogView>();
    auto serverForm = std::make_unique<app::TServerFormDialog>(settings, qzform.get());
    qzform->SetLogView(logView.get());
    qzform->SetServerDialog(serverForm.get());
    auto historyWindow = std::make_unique<app::THistoryWindow>();
    qzform->Controller().OnPassOutcome = [&](const app::TPassOutcome& pass) {
        history.Record(pass, settings);  // after the pass's log lines, before the metrics that read it
        publisher.Publish(pass);
    };
    // A retry's checks go to the history too, which a restart reads back.
    qzform->Controller().OnRetryOutcome = [&](const app::TPassOutcome& retried) {
        history.Record(retried, settings);
    };
    qzform->Controller().RestoreState = true;
    app::ReportListenerTrouble(publisher, qzform->Controller());
    // The history window opens from the tray menu and the log viewer; the
    // main window keeps its own buttons.
    historyWindow->FileName = [&] { return history.Path().empty() ? settings.History : history.Path(); };
    historyWindow->OffReason = [&] { return history.Error(); };
    auto openHistory = [&] { historyWindow->ShowHistory(); };
    QObject::connect(qzform->PopupMenu1->addAction("History"), &QAction::triggered, openHistory);
    logView->SetHistoryHandler(openHistory);

    // SIGTERM and SIGINT close the main window as the user would; what fails
    // on the way out (the window's placement that cannot be saved) goes to
    // stderr, since a box would keep the program from ending.
    platform::OnTerminationSignal([&](int) {
        app::ReportErrorsOnStderr();
        qzform->close();
    });
    qzform->show();
    app::RunQtLoop();
    platform::OnTerminationSignal(nullptr);
    historyWindow.reset();
    serverForm.reset();
    logView.reset();
    qzform.reset();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    // Qt's own option that also starts with "--" goes to Qt with its value.
    std::vector<std::string> args, toolkitArgs{argv[0]};
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--platform" && i + 1 < argc) {
            toolkitArgs.push_back(a);
            toolkitArgs.push_back(argv[++i]);
        } else {
            args.push_back(a);
        }
    }
    app::CommandLine cl;
    std::string error = app::ParseCommandLine(args, cl, true);
    if (!error.empty()) return app::BadCommandLine(kProgram, error);
    if (cl.Mode == app::RunMode::Version) return PrintVersion();
    if (cl.Mode == app::RunMode::Help) {
        std::fputs(app::UsageText(kProgram, true).c_str(), stdout);
        return 0;
    }
    // A next-log-on entry goes as soon as it has started us; only such an
    // entry, in an autostart folder, is ever removed.
    if (!cl.RemoveAutostartEntry.empty()) platform::RemoveOnceEntry(cl.RemoveAutostartEntry);
    if (int status = app::EnterFolders(kProgram, cl.Folders)) return status;
    switch (cl.Mode) {
        case app::RunMode::Help:
        case app::RunMode::Version: return 0;
        case app::RunMode::Headless: return app::RunHeadless(cl);
        case app::RunMode::Check: return app::RunCheck(cl);
        case app::RunMode::Report: return app::RunReport(cl, kProgram);
        case app::RunMode::Window: break;
    }
    toolkitArgs.insert(toolkitArgs.end(), cl.Others.begin(), cl.Others.end());
    return RunWindow(toolkitArgs, cl);
}
