#include "app/cli/Headless.h"

#include <cstdio>
#include <ctime>

#include "app/core/HistoryRecorder.h"
#include "app/core/HttpGetter.h"
#include "app/core/MainView.h"
#include "app/core/OnChange.h"
#include "app/core/Webhook.h"
#include "app/core/qz1.h"
#include "app/core/sform.h"
#include "app/serve/Metrics.h"
#include "app/serve/MetricsServer.h"
#include "base/Strings.h"
#include "eventlog/Kvolog.h"
#include "platform/Application.h"
#include "platform/Signals.h"

namespace app {

namespace {

// Prints every status-line text on its own line; the rest of the window's
// state has no place on a terminal. A server's reason or a host text with
// control characters shows them as \xHH instead of acting on the terminal.
// The message loop flushes standard output before it sleeps (and the exit
// does), so lines printed during a pass go out together and still show as
// soon as the program waits.
void PrintLine(const std::string& text) {
    const std::string line = base::ShowControls(text);
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
}

class PrintingView : public MainView {
public:
    std::function<std::string(const std::string&)> Decorate;
    bool PrintChanges = false;
    bool LogFailed = false;
    void ShowLogFailure(const std::string& error) override {
        LogFailed = true;
        MainView::ShowLogFailure(error);  // one line on stderr
    }
    void SetStatusText(const std::string& text) override { PrintLine(Decorate ? Decorate(text) : text); }
    void ShowPassOutcome(const TPassOutcome&, const TStateChange& change) override {
        if (PrintChanges && change.Changed) PrintLine(change.Line());
    }
    void SetLastHost(const std::string&) override {}
    void SetLastHostHint(const std::string&) override {}
    void SetMonitorCaption(const std::string&) override {}
    void SetCommandEnabled(Command, bool) override {}
    void SetStatusLedColor(std::uint32_t) override {}
    void SetStatusLedBlink(bool) override {}
    void SetStatusLedValue(bool) override {}
    void SetActiveLed(bool) override {}
};

void InitApplication() {
    platform::Application().Title = "Kvo Sentrel";
    platform::Application().ClearHost();
}

}  // namespace

void ReportListenerTrouble(TMetricsPublisher& publisher, TQzController& controller) {
    TMetricsServer* server = publisher.Server();
    if (server == nullptr) return;
    server->OnTrouble = [&controller](const std::string& line) {
        std::fprintf(stderr, "%s\n", base::ShowControls(line).c_str());
        std::fflush(stderr);
        if (eventlog::tKvolog* log = controller.Log()) try {
                log->WriteWarning(line);
            } catch (const std::exception&) {
                // a log that cannot take it still has stderr's line
            }
    };
}

int RunHeadless(const CommandLine& cl) {
    InitApplication();
    TServerForm settings;
    THistoryRecorder history;
    TMetricsPublisher publisher({cl.MetricsListen, cl.MetricsFile, cl.ProbeConcurrency,
                                 [&settings] { return MakeHttpGetter(settings); }});
    publisher.Extra = [&history] {
        return UptimeMetricsText(history.Uptime(std::time(nullptr))) + HistoryOkMetricsText(history);
    };
    publisher.History = &history;
    try {
        publisher.Start();
    } catch (const std::exception& e) {
        platform::Application().ShowException(e);  // on stderr, as other failed starts
        return 1;
    }
    auto http = MakeHttpGetter(settings);
    PrintingView view;
    view.PrintChanges = true;
    TQzController controller(view, settings, *http);
    controller.OnWarning = PrintLine;
    controller.OnPassOutcome = [&](const TPassOutcome& pass) {
        history.Record(pass, settings);
        publisher.Publish(pass);
    };
    // A retry's checks go to the history too, which a restart reads back.
    controller.OnRetryOutcome = [&](const TPassOutcome& retried) { history.Record(retried, settings); };
    controller.RestoreState = true;
    controller.SetConcurrency(cl.Concurrency);
    ReportListenerTrouble(publisher, controller);
    platform::OnTerminationSignal([&](int) {
        platform::Application().Guard([&] { controller.FormClose(); });
        platform::Application().Terminate();
    });
    controller.FormCreate();
    // Without a window nobody would see a monitor that cannot work: a start
    // that fails (a log it cannot write, a cycle time the timer cannot hold)
    // and monitoring that stops by itself end the run with status 1, the
    // reason already on stderr.
    // A run without a window exists to monitor: monitoring goes on at start
    // whatever "Start check on load" says, with the lines the Monitor button
    // writes.
    int status = 0;
    bool started = false;
    platform::Application().Guard([&] {
        controller.FormShow();
        if (!controller.Monitoring()) controller.MonitorButtonClick();
        started = true;
    });
    if (!started) {
        status = 1;
        try {
            controller.FormClose();  // the closing line, where the log can take it
        } catch (const std::exception&) {
            // The failure that ended the start is the one reported.
        }
    }
    // The first pass runs at once, as a tick runs it (a service reports and
    // serves metrics from its start, not one cycle later); the next ones come
    // a cycle apart.
    if (started && !platform::Application().Terminated())
        platform::Application().Guard([&] { controller.LoopTimerTimer(); });
    while (started && !platform::Application().Terminated()) {
        if (!controller.Monitoring()) {
            status = 1;
            platform::Application().Guard([&] { controller.FormClose(); });
            break;
        }
        platform::Application().HandleMessage();
    }
    platform::OnTerminationSignal(nullptr);
    controller.FormDestroy();
    return status;
}

int RunCheck(const CommandLine& cl) {
    InitApplication();
    TServerForm settings;
    auto http = MakeHttpGetter(settings);
    PrintingView view;
    TQzController controller(view, settings, *http);
    controller.SetConcurrency(cl.Concurrency);
    // A host's outcome lines say how long its request took; a failure also
    // says why.
    view.Decorate = [&](const std::string& text) {
        std::string line = text;
        const auto& failures = controller.Failures();
        if (!failures.empty() && text == "Error accessing host: " + failures.back().first)
            line += " (" + failures.back().second + ")";
        if (!controller.Checking()) return line;
        const THostOutcome& host = controller.HostOutcome();
        if (text == "Error accessing host: " + host.Host ||
            text == "Successful connection to: " + host.Host) {
            char ms[32];
            std::snprintf(ms, sizeof ms, " [%.1f ms]", host.Seconds * 1000);
            line += ms;
        }
        return line;
    };
    controller.OnWarning = PrintLine;
    // -v: where each fetched host's time went, on the line after its outcome.
    if (cl.Verbose)
        controller.OnHostOutcome = [](const THostOutcome& host) {
            if (host.Fetched) PrintLine(net::PhaseTimesLine(host.Phases));
        };
    THistoryRecorder history;
    if (cl.History)
        controller.OnPassOutcome = [&](const TPassOutcome& pass) { history.Record(pass, settings); };
    bool interrupted = false;
    platform::OnTerminationSignal([&](int) {
        interrupted = true;
        controller.FormClose();
    });
    int status = 1;
    platform::Application().Guard([&] {
        controller.FormCreate();
        settings.Load();
        if (!cl.Hosts.empty()) {
            controller.SetHostList(cl.Hosts);
            controller.SetHostExpectations(cl.HostExpect);
        }
        controller.OpenLog();
        controller.CheckNowButtonClick();
        // A check whose lines the log could not take is not a clean one,
        // even when every host answered.
        if (!interrupted && controller.Failures().empty() && !view.LogFailed) status = 0;
    });
    // The change this one pass found still reaches the on-change program:
    // the run waits for it, which its own time limits bound.
    while ((controller.OnChange().Busy() || controller.Webhooks().Busy()) && !interrupted)
        platform::Application().HandleMessage();
    platform::OnTerminationSignal(nullptr);
    return status;
}

}  // namespace app
