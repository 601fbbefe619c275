// Start-up: the window program by default, or one of the runs without a
// window for servers and scripts.
//
//   sentrel                  the monitor's window
//   sentrel --headless       the monitor without a window; status lines on stdout
//   sentrel --check [HOST..] one pass over the hosts (or the active pool); exit 0 if all passed
//
// The window and --headless also take --metrics-listen ADDR:PORT and
// --metrics-file PATH, anywhere among the arguments.
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
    "Usage: sentrel [--headless | --check [HOST...] | --help] [--metrics-listen ADDR:PORT]\n"
    "               [--metrics-file PATH]\n"
    "\n"
    "Watches whether a pool of web servers can be reached. Settings are read from\n"
    "sentrel.ini in the working directory; events go to the log file it names.\n"
    "\n"
    "  (no option)        open the monitor's window\n"
    "  --headless         run the monitor without a window, printing each status\n"
    "                     line on stdout; SIGTERM or SIGINT end it\n"
    "  --check [HOST...]  check the given hosts (or the active pool) once, as\n"
    "                     \"Check Now\" does; exit 0 when all passed, 1 otherwise\n"
    "  --help             show this text\n"
    "  --metrics-listen ADDR:PORT\n"
    "                     serve the results of the last pass to Prometheus at\n"
    "                     http://ADDR:PORT/metrics (window and --headless)\n"
    "  --metrics-file PATH\n"
    "                     write the same text to PATH after every pass, for\n"
    "                     node_exporter's textfile collector\n";

int Usage(const std::string& bad) {
    std::fprintf(stderr, "sentrel: unknown option '%s'\nTry 'sentrel --help' for more information.\n",
                 bad.c_str());
    return 2;
}

// Takes the metrics options (with their values) out of args. False, with
// the offending option in bad, when one has no value.
bool TakeMetricsOptions(std::vector<std::string>& args, app::TMetricsOptions& metrics, std::string& bad) {
    std::vector<std::string> rest;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        std::string* target = nullptr;
        std::string name;
        for (auto [option, field] :
             {std::pair{"--metrics-listen", &metrics.Listen}, std::pair{"--metrics-file", &metrics.File}}) {
            std::string o = option;
            if (a == o || a.rfind(o + "=", 0) == 0) {
                target = field;
                name = o;
            }
        }
        if (!target) {
            rest.push_back(a);
            continue;
        }
        if (a.size() > name.size()) {
            *target = a.substr(name.size() + 1);
        } else if (i + 1 < args.size()) {
            *target = args[++i];
        } else {
            bad = a;
            return false;
        }
        if (target->empty()) {
            bad = a;
            return false;
        }
    }
    args = std::move(rest);
    return true;
}

int RunWindow(int argc, char** argv, const app::TMetricsOptions& metrics) {
    QApplication qapp(argc, argv);
    for (int i = 1; i < argc; ++i) return Usage(argv[i]);  // what Qt did not take is not ours either
    QApplication::setQuitOnLastWindowClosed(false);
    platform::Application().Title = "Kvo Sentrel";
    QApplication::setApplicationName(
        "Kvo Sentrel");  // not the display name: Qt would append it to every caption
    app::InstallQtHost();
    app::TMetricsPublisher publisher(metrics);
    try {
        publisher.Start();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "sentrel: %s\n", e.what());
        return 1;
    }

    app::TServerForm settings;
    auto http = app::MakeHttpGetter();
    // The three windows, in their order: the main window first.
    auto qzform = std::make_unique<app::Tqzform>(settings, *http);
    auto logView = std::make_unique<app::TLogView>();
    auto serverForm = std::make_unique<app::TServerFormDialog>(settings, qzform.get());
    qzform->SetLogView(logView.get());
    qzform->SetServerDialog(serverForm.get());
    qzform->Controller().OnPassOutcome = [&](const app::TPassOutcome& pass) { publisher.Publish(pass); };

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
    app::TMetricsOptions metrics;
    std::string bad;
    if (!TakeMetricsOptions(args, metrics, bad)) return Usage(bad);
    const bool withMetrics = !metrics.Listen.empty() || !metrics.File.empty();
    if (!args.empty()) {
        const std::string& first = args[0];
        if (first == "--help" || first == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (first == "--headless") {
            if (args.size() > 1) return Usage(args[1]);
            return app::RunHeadless(metrics);
        }
        if (first == "--check") {
            if (withMetrics) return Usage(metrics.Listen.empty() ? "--metrics-file" : "--metrics-listen");
            std::vector<std::string> hosts(args.begin() + 1, args.end());
            for (const auto& h : hosts)
                if (h.size() > 1 && h[0] == '-' && h[1] == '-') return Usage(h);
            return app::RunCheck(hosts);
        }
        if (first.size() > 1 && first[0] == '-' && first[1] == '-' && first != "--platform")
            return Usage(first);
    }
    // Qt gets the arguments without ours.
    std::vector<char*> rest{argv[0]};
    for (auto& a : args) rest.push_back(a.data());
    int restCount = static_cast<int>(rest.size());
    rest.push_back(nullptr);
    return RunWindow(restCount, rest.data(), metrics);
}
