// Start-up: the window program by default, or one of the runs without a
// window for servers and scripts.
//
//   sentrel                  the monitor's window
//   sentrel --headless       the monitor without a window; status lines on stdout
//   sentrel --check [HOST..] one pass over the hosts (or the active pool); exit 0 if all passed
#include <QApplication>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "app/core/Headless.h"
#include "app/core/HttpGetter.h"
#include "app/core/sform.h"
#include "app/gui/MainWindow.h"
#include "app/gui/QtHost.h"
#include "app/gui/ServerFormDialog.h"
#include "app/gui/viewform.h"
#include "platform/Application.h"
#include "platform/Signals.h"

namespace {

const char* const kUsage =
    "Usage: sentrel [--headless | --check [HOST...] | --help]\n"
    "\n"
    "Watches whether a pool of web servers can be reached. Settings are read from\n"
    "sentrel.ini in the working directory; events go to the log file it names.\n"
    "\n"
    "  (no option)        open the monitor's window\n"
    "  --headless         run the monitor without a window, printing each status\n"
    "                     line on stdout; SIGTERM or SIGINT end it\n"
    "  --check [HOST...]  check the given hosts (or the active pool) once, as\n"
    "                     \"Check Now\" does; exit 0 when all passed, 1 otherwise\n"
    "  --help             show this text\n";

int Usage(const std::string& bad) {
    std::fprintf(stderr, "sentrel: unknown option '%s'\nTry 'sentrel --help' for more information.\n",
                 bad.c_str());
    return 2;
}

int RunWindow(int argc, char** argv) {
    QApplication qapp(argc, argv);
    for (int i = 1; i < argc; ++i) return Usage(argv[i]);  // what Qt did not take is not ours either
    QApplication::setQuitOnLastWindowClosed(false);
    platform::Application().Title = "Kvo Sentrel";
    QApplication::setApplicationName(
        "Kvo Sentrel");  // not the display name: Qt would append it to every caption
    app::InstallQtHost();

    app::TServerForm settings;
    auto http = app::MakeHttpGetter(settings);
    // The three windows, in their order: the main window first.
    auto qzform = std::make_unique<app::Tqzform>(settings, *http);
    auto logView = std::make_unique<app::TLogView>();
    auto serverForm = std::make_unique<app::TServerFormDialog>(settings, qzform.get());
    qzform->SetLogView(logView.get());
    qzform->SetServerDialog(serverForm.get());

    // SIGTERM and SIGINT close the main window as the user would.
    platform::OnTerminationSignal([&](int) { qzform->close(); });
    qzform->show();
    qapp.exec();
    platform::OnTerminationSignal(nullptr);
    serverForm.reset();
    logView.reset();
    qzform.reset();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (!args.empty()) {
        const std::string& first = args[0];
        if (first == "--help" || first == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (first == "--headless") {
            if (args.size() > 1) return Usage(args[1]);
            return app::RunHeadless();
        }
        if (first == "--check") {
            std::vector<std::string> hosts(args.begin() + 1, args.end());
            for (const auto& h : hosts)
                if (h.size() > 1 && h[0] == '-' && h[1] == '-') return Usage(h);
            return app::RunCheck(hosts);
        }
        if (first.size() > 1 && first[0] == '-' && first[1] == '-' && first != "--platform")
            return Usage(first);
    }
    return RunWindow(argc, argv);
}
