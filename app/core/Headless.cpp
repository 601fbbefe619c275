#include "app/core/Headless.h"

#include <chrono>
#include <cstdio>

#include "app/core/HttpGetter.h"
#include "app/core/MainView.h"
#include "app/core/qz1.h"
#include "app/core/sform.h"
#include "platform/Application.h"
#include "platform/Signals.h"

namespace app {

namespace {

// Prints every status-line text on its own line; the rest of the window's
// state has no place on a terminal.
class PrintingView : public MainView {
public:
    std::function<std::string(const std::string&)> Decorate;
    void SetStatusText(const std::string& text) override {
        std::string line = Decorate ? Decorate(text) : text;
        std::fwrite(line.data(), 1, line.size(), stdout);
        std::fputc('\n', stdout);
        std::fflush(stdout);
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

// How long each request of a run took, in the order the requests started,
// which is the pass's list order: the client of every slot of a concurrent
// pass is one of these too, sharing the list.
class TimingGetter : public HttpGetter {
public:
    using Times = std::vector<double>;  // milliseconds; -1 while running
    TimingGetter(std::unique_ptr<HttpGetter> inner, std::shared_ptr<Times> times)
        : inner_(std::move(inner)), times_(std::move(times)) {}
    const Times& Taken() const { return *times_; }

    void Get(const std::string& url, base::TStream& body) override {
        auto stop = Clock(Begin());
        struct End {
            decltype(stop)& s;
            ~End() { s(); }
        } end{stop};
        inner_->Get(url, body);
    }
    void Start(const std::string& url, base::TStream& body, Done done) override {
        inner_->Start(url, body, [stop = Clock(Begin()), done](bool failed, const std::string& reason) {
            stop();
            done(failed, reason);
        });
    }
    void Abort() override { inner_->Abort(); }
    std::unique_ptr<HttpGetter> MakeAnother() override {
        auto inner = inner_->MakeAnother();
        return inner ? std::make_unique<TimingGetter>(std::move(inner), times_) : nullptr;
    }

private:
    std::size_t Begin() {
        times_->push_back(-1);
        return times_->size() - 1;
    }
    // Returns what stops the clock of request i.
    std::function<void()> Clock(std::size_t i) {
        auto started = std::chrono::steady_clock::now();
        return [times = times_, i, started] {
            (*times)[i] =
                std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started).count();
        };
    }

    std::unique_ptr<HttpGetter> inner_;
    std::shared_ptr<Times> times_;
};

void InitApplication() {
    platform::Application().Title = "Kvo Sentrel";
    platform::Application().ClearHost();
}

}  // namespace

int RunHeadless(const CommandLine& cl) {
    InitApplication();
    TServerForm settings;
    auto http = MakeHttpGetter();
    PrintingView view;
    TQzController controller(view, settings, *http);
    controller.SetConcurrency(cl.Concurrency);
    platform::OnTerminationSignal([&](int) {
        platform::Application().Guard([&] { controller.FormClose(); });
        platform::Application().Terminate();
    });
    controller.FormCreate();
    // Without a window nobody would see a monitor that cannot work: a start
    // that fails (a log it cannot write, a cycle time the timer cannot hold)
    // and monitoring that stops by itself end the run with status 1, the
    // reason already on stderr.
    int status = 0;
    bool started = false;
    platform::Application().Guard([&] {
        controller.FormShow();
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
    const bool monitoring = controller.Monitoring();
    while (started && !platform::Application().Terminated()) {
        platform::Application().HandleMessage();
        if (monitoring && !controller.Monitoring() && !platform::Application().Terminated()) {
            status = 1;
            platform::Application().Guard([&] { controller.FormClose(); });
            break;
        }
    }
    platform::OnTerminationSignal(nullptr);
    controller.FormDestroy();
    return status;
}

int RunCheck(const CommandLine& cl) {
    InitApplication();
    TServerForm settings;
    TimingGetter http(MakeHttpGetter(), std::make_shared<TimingGetter::Times>());
    PrintingView view;
    TQzController controller(view, settings, http);
    controller.SetConcurrency(cl.Concurrency);
    // A host's outcome lines say how long its request took; a failure also
    // says why.
    view.Decorate = [&](const std::string& text) {
        std::string line = text;
        const auto& failures = controller.Failures();
        if (!failures.empty() && text == "Error accessing host: " + failures.back().first)
            line += " (" + failures.back().second + ")";
        if (!controller.Checking()) return line;
        std::size_t i = static_cast<std::size_t>(controller.HostIndex()) - 1;
        const std::string host = controller.CurrentHost();
        if ((text == "Error accessing host: " + host || text == "Successful connection to: " + host) &&
            i < http.Taken().size() && http.Taken()[i] >= 0) {
            char ms[32];
            std::snprintf(ms, sizeof ms, " [%.1f ms]", http.Taken()[i]);
            line += ms;
        }
        return line;
    };
    bool interrupted = false;
    platform::OnTerminationSignal([&](int) {
        interrupted = true;
        controller.FormClose();
    });
    int status = 1;
    platform::Application().Guard([&] {
        controller.FormCreate();
        settings.Load();
        if (!cl.Hosts.empty()) controller.SetHostList(cl.Hosts);
        controller.OpenLog();
        controller.CheckNowButtonClick();
        if (!interrupted && controller.Failures().empty()) status = 0;
    });
    platform::OnTerminationSignal(nullptr);
    return status;
}

}  // namespace app
