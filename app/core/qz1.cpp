#include "app/core/qz1.h"

#include <ctime>

#include "app/core/OnChange.h"
#include "app/core/Webhook.h"

#include "base/Exception.h"
#include "base/Strings.h"
#include "history/HistoryQuery.h"
#include "net/Url.h"
#include "platform/Application.h"

namespace app {

ELogWriteError::ELogWriteError(int code, const std::string& logName)
    : base::EInOutError(code), message_("Cannot write to " + logName + ": " + MessageFor(code)) {}

namespace {

// The monitor's writer: the same lines, with failures that name the file.
class TNamedLog : public eventlog::tKvolog {
protected:
    void WriteEntry(std::string_view marker, std::string_view text) override {
        try {
            tKvolog::WriteEntry(marker, text);
        } catch (const ELogWriteError&) {
            throw;
        } catch (const base::EInOutError& e) {
            throw ELogWriteError(e.ErrorCode, LogName);
        }
    }
};

}  // namespace

void MainView::ShowLogFailure(const std::string& error) {
    platform::Application().ShowErrorText(error);
}

TQzController::TQzController(MainView& view, TServerForm& settings, HttpGetter& http)
    : view_(view), settings_(settings), http_(http) {
    loopTimer_.SetInterval(1000);
    loopTimer_.SetEnabled(false);
    // A tick is a handler like any other: what escapes it goes to the error
    // report, which shows one box for the same error at a time.
    loopTimer_.OnTimer = [this] { platform::Application().Guard([this] { LoopTimerTimer(); }); };
    settings_.OnBuildHostList = [this](std::vector<std::string> hosts) {
        SetHostList(std::move(hosts));
        SetHostExpectations(settings_.ActiveExpectations());
        hostSlots_.clear();
        for (int n = 1; n <= TServerForm::kRows; ++n)
            if (settings_.Active[n - 1]) hostSlots_.push_back(n);
    };
    onChange_ = std::make_unique<TOnChange>();
    // The program's lines come from the loop, between or during passes; a
    // log that cannot take one loses it, and the pass's own lines say so.
    onChange_->Log = [this](const std::string& line) {
        if (!log_) return;
        try {
            log_->WriteWarning(line);
        } catch (const std::exception&) {
        }
    };
    webhooks_ = std::make_unique<TWebhooks>(&settings_);
    webhooks_->Log = onChange_->Log;
    retryTimer_.SetEnabled(false);
    retryTimer_.OnTimer = [this] { platform::Application().Guard([this] { RetryPending(); }); };
    alertTimer_.SetEnabled(false);
    alertTimer_.SetInterval(15000);
    alertTimer_.OnTimer = [this] { platform::Application().Guard([this] { AlertTick(); }); };
}

TQzController::~TQzController() {
    settings_.OnBuildHostList = nullptr;
    onChange_->End();  // an exit without the closing line leaves no program behind either
}

std::int64_t TQzController::Now() const {
    return Clock ? Clock() : static_cast<std::int64_t>(std::time(nullptr));
}

std::string TQzController::CheckingText(const std::string& host) {
    return "Checking \"" + net::HidePassword(host) + "\" Now";
}

void TQzController::ShowStatus(const std::string& text) {
    view_.SetStatusText(text);
    if (OnStatus) OnStatus(text);
}

std::string TQzController::CurrentHost() const {
    std::int32_t i = hostIndex_ - 1;
    if (i < 0 || i >= static_cast<std::int32_t>(hostList_.size())) throw base::EListError(i);
    return hostList_[static_cast<std::size_t>(i)];
}

void TQzController::SetHostList(std::vector<std::string> hosts) {
    hostIndex_ = 1;
    hostList_ = std::move(hosts);
    hostExpect_.clear();
    hostSlots_.clear();  // hosts named on the command line: their place in the pass
}

void TQzController::SetHostExpectations(std::vector<THostExpect> expect) {
    hostExpect_ = std::move(expect);
}

const THostExpect& TQzController::ExpectationOf(std::size_t i) const {
    static const THostExpect none;
    return i < hostExpect_.size() ? hostExpect_[i] : none;
}

void TQzController::SetMonitoring(bool on) {
    if (on) {
        log_->WriteStatus("Monitoring now on");
        view_.SetActiveLed(true);
        ShowStatus("Now Active");
        monitoring_ = true;
        view_.SetMonitorCaption("Monitor Off");
        view_.SetCommandEnabled(Command::CheckNow, false);
    } else {
        // Off first, then the line: a log that cannot be written must not
        // keep monitoring on.
        SwitchOff();
        log_->WriteStatus("Monitoring now off");
    }
}

void TQzController::SwitchOff() {
    view_.SetActiveLed(false);
    monitoring_ = false;
    view_.SetMonitorCaption("Monitor On");
    view_.SetCommandEnabled(Command::CheckNow, true);
}

std::uint32_t TQzController::CycleInterval() const {
    std::int32_t ms = base::CheckedMul32(settings_.Frequency(), 1000);
    if (ms < 0) throw base::ERangeError();
    return static_cast<std::uint32_t>(ms);
}

void TQzController::RestartCycleTimer() {
    std::uint32_t ms = 0;
    try {
        ms = CycleInterval();
    } catch (const std::exception&) {
        loopTimer_.SetEnabled(false);
        // No tick would ever come, so monitoring does not stay on. The cycle
        // time is the error the user is told of; the log line is best effort.
        if (monitoring_) {
            SwitchOff();
            try {
                log_->WriteStatus("Monitoring now off");
            } catch (const std::exception&) {
            }
        }
        throw;
    }
    loopTimer_.SetInterval(ms);
    loopTimer_.SetEnabled(true);
}

void TQzController::ShowCheckGood() {
    loopTimer_.SetEnabled(false);
    view_.SetStatusLedColor(kGreen);
    view_.SetStatusLedBlink(false);
    view_.SetStatusLedValue(true);
    if (monitoring_) RestartCycleTimer();
}

void TQzController::ShowCheckBad() {
    loopTimer_.SetEnabled(false);
    view_.SetStatusLedColor(kRed);
    view_.SetStatusLedBlink(true);
    view_.SetStatusLedValue(true);
    if (monitoring_) RestartCycleTimer();
}

void TQzController::FormCreate() {
    monitoring_ = false;
    hostList_.clear();
}

void TQzController::FormShow() {
    monitoring_ = false;
    settings_.Load();
    OpenLog();
    log_->WriteStart("Logging connectivity");
    // An alerting key that cannot be read would leave people untold: the
    // monitor does not start with it, as with a cycle time it cannot hold.
    if (!settings_.AlertError.empty()) throw base::Exception(settings_.AlertError);
    alertTimer_.SetEnabled(settings_.Remind > 0 || !settings_.Quiet.Empty());
    if (settings_.AutoStart) {
        CycleInterval();  // a cycle time the timer cannot hold never shows as on
        log_->WriteSuccess("Starting automatic monitoring");
        SetMonitoring(true);
        RestartCycleTimer();
    }
}

void TQzController::OpenLog() {
    auto log = std::make_unique<TNamedLog>();
    log->ProgramID = "QZ";
    log->ProgramName = "Kvo Sentrel";
    log->LogName = settings_.LogName;  // as typed: not trimmed
    log_ = std::move(log);
}

void TQzController::FormClose() {
    closed_ = true;
    loopTimer_.SetEnabled(false);
    retryTimer_.SetEnabled(false);
    alertTimer_.SetEnabled(false);
    AbortAll();
    onChange_->End();  // its line before the closing one
    // The writer is released even when the last line cannot be written, so
    // nothing is written through it afterwards; the failure is still reported.
    auto log = std::move(log_);
    if (log) log->WriteFinish("Finished logging connectivity");
}

void TQzController::FormDestroy() {
    AbortAll();
}

void TQzController::AbortAll() {
    http_.Abort();
    for (auto& client : moreClients_) client->Abort();
}

void TQzController::MonitorButtonClick() {
    if (monitoring_) {
        // Switching off always works: the state changes first, then the two
        // lines are written, and a log that cannot take them fails once.
        loopTimer_.SetEnabled(false);
        SwitchOff();
        log_->WriteStatus("Monitoring now off");
        log_->WriteStatus("Monitoring now off");
    } else {
        CycleInterval();  // refused before anything says monitoring is on
        log_->WriteSuccess("Starting automatic monitoring");
        SetMonitoring(true);
        RestartCycleTimer();
    }
}

void TQzController::CheckNowButtonClick() {
    ShowStatus("Checking connectivity Now");
    PassLog(&eventlog::tKvolog::WriteInfo, "Checking connectivity Now");
    CheckPool();
}

void TQzController::LoopTimerTimer() {
    if (checking_ && !retryOnly_.empty()) passWaiting_ = true;  // the pass runs when the retry ends
    if (closed_ || checking_) return;
    // With no active host there is nobody to name; the tick announces the
    // pass the way Check Now does instead of failing at every tick.
    std::string text =
        hostList_.empty() ? std::string("Checking connectivity Now") : CheckingText(CurrentHost());
    ShowStatus(text);
    loopTimer_.SetEnabled(false);
    PassLog(&eventlog::tKvolog::WriteInfo, text);
    CheckPool();
    if (closed_) return;
    RestartCycleTimer();
}

void TQzController::PassLog(LogWrite write, const std::string& text) {
    if (!log_) return;
    try {
        (log_.get()->*write)(text);
    } catch (const ELogWriteError& e) {
        if (logFailure_.empty()) logFailure_ = e.what();
        return;
    }
    if (logFailing_) {
        logFailing_ = false;
        view_.LogWritten();
    }
}

void TQzController::ReportLogFailure() {
    if (logFailure_.empty()) return;
    const std::string error = std::move(logFailure_);
    logFailure_.clear();
    logFailing_ = true;
    view_.ShowLogFailure(error);
}

}  // namespace app
