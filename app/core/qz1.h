// The controller of the main window: the monitoring state, the cycle timer,
// the host list and the event log writer, and the handlers that turn the
// user's commands into checks, log lines and view changes. It is plain C++
// against MainView, the settings model and an HTTP getter, so the Qt window,
// the headless runner and the tests drive the same code.
//
// Re-entry: a check runs the message loop while it waits for each host, so
// any handler (a button, the close of the window) may run in the middle of
// CheckPool. The three commands and the timer are disabled for a pass so no
// pass starts inside another; closing the window during a pass aborts every
// request in flight and ends it, and nothing is written through the released
// writer.
//
// Handlers raise; the caller (the window binding, the timer) reports what
// escapes through the application's standard error report.
//
// The program never shows monitoring on while nothing is checked: a cycle
// time the timer cannot hold is refused before monitoring is switched on,
// and a timer that cannot be restarted later switches monitoring off.
// Switching off changes the state first and writes the log line after it,
// so it works even while the log cannot be written.
//
// Alerting: a pass's lines, the LED and the pass summary say what that pass
// found; what people are told (the view's change, the on-change program,
// the webhooks) follows each host's confirmed state (AlertState.h). Between
// a host's first failure and the one that confirms it, "retry" checks that
// host again between passes, with its usual lines and no pass summary; a
// retry and a pass never run at once (a tick that comes during a retry runs
// its pass right after it). Quiet hours hold what would be sent and send
// what changed once they end; reminders repeat the down change.
//
// A log that cannot take a line (a full disk) never stops the monitoring:
// a pass checks every host and shows, publishes and notifies as usual, and
// the view is told of the failure once per pass (the first line that could
// not be written), and told again when a later line is written.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/core/AlertState.h"
#include "app/core/HttpGetter.h"
#include "app/core/MainView.h"
#include "app/core/sform.h"
#include "base/Exception.h"
#include "eventlog/Kvolog.h"
#include "platform/Timer.h"

namespace app {

inline constexpr std::uint32_t kGreen = 0x00FF00;
inline constexpr std::uint32_t kRed = 0x0000FF;

// A line the event log could not take: the writer's I/O error with its code,
// and a message that names the file ("Cannot write to status.log: Disk
// full"), since the bare "Disk full" does not say what could not be written.
class ELogWriteError : public base::EInOutError {
public:
    ELogWriteError(int code, const std::string& logName);
    const char* what() const noexcept override { return message_.c_str(); }

private:
    std::string message_;
};

class TOnChange;
class TWebhooks;

class TQzController {
public:
    TQzController(MainView& view, TServerForm& settings, HttpGetter& http);
    ~TQzController();
    TQzController(const TQzController&) = delete;
    TQzController& operator=(const TQzController&) = delete;

    // State read by the window, the pool check and the tests.
    bool Monitoring() const { return monitoring_; }
    const std::vector<std::string>& HostList() const { return hostList_; }
    std::int32_t HostIndex() const { return hostIndex_; }
    eventlog::tKvolog* Log() const { return log_.get(); }
    platform::TTimer& LoopTimer() { return loopTimer_; }
    // Set while a pass runs.
    bool Checking() const { return checking_; }
    // While a pass shows a host's outcome: what it has learnt of that host
    // (its name as shown, how long its request took).
    const THostOutcome& HostOutcome() const { return hostOutcome_; }
    // Why each host of the last pass failed (host, reason), in pass order.
    const std::vector<std::pair<std::string, std::string>>& Failures() const { return failures_; }
    // Called for each failed host with the reason its client gave.
    std::function<void(const std::string& host, const std::string& reason)> OnHostFailed;
    // Called for every status-line text as it is shown.
    std::function<void(const std::string& text)> OnStatus;
    // Called with each warning line a pass writes besides its status texts
    // (a certificate about to expire), right after it is logged.
    std::function<void(const std::string& text)> OnWarning;
    // Called with each host's outcome after its own lines, before the
    // warning of its certificate.
    std::function<void(const THostOutcome& host)> OnHostOutcome;
    // Called at the end of every pass that ran to its end, after the view.
    std::function<void(const TPassOutcome& pass)> OnPassOutcome;
    // The last pass that ran to its end; null before the first.
    const TPassOutcome* LastPass() const { return havePass_ ? &lastPass_ : nullptr; }

    // Called with the hosts a retry checked, after their lines, as a pass
    // of their own (for the history; the metrics keep the last pass).
    std::function<void(const TPassOutcome& retried)> OnRetryOutcome;
    // Seconds since the epoch for the alerting's times; the system clock
    // unless set (tests move it).
    std::function<std::int64_t()> Clock;
    // Read each host's last checks from the history before the first pass
    // ends, so a restart neither repeats nor loses a down notification.
    bool RestoreState = false;
    // Sends a reminder that is due and what quiet hours held once they have
    // ended; a timer calls it between passes.
    void AlertTick();
    TWebhooks& Webhooks() { return *webhooks_; }

    // Controller operations.
    void ShowStatus(const std::string& text);
    std::string CurrentHost() const;
    void SetMonitoring(bool on);
    void ShowCheckGood();
    void ShowCheckBad();
    void RestartCycleTimer();
    // The cycle time in milliseconds as the timer takes it; raises "Integer
    // overflow" or "Range check error" when the timer cannot hold it.
    std::uint32_t CycleInterval() const;
    // One pass over the host list.
    void CheckPool();
    // Creates the event log writer from the settings' log name, as the
    // window does when it is first shown, and writes nothing. Its failures
    // are ELogWriteError.
    void OpenLog();
    // Replaces the host list (the settings' BuildHostList lands here, with
    // the rows' expectations and row numbers); the hosts of a list set here
    // expect nothing beyond an answer below 400 until SetHostExpectations,
    // and their slots are their places in the list.
    void SetHostList(std::vector<std::string> hosts);
    // What each host of the list must do to count as up, in list order.
    void SetHostExpectations(std::vector<THostExpect> expect);
    const THostExpect& ExpectationOf(std::size_t i) const;
    // How many hosts a pass fetches at once: n when set above 0 (the command
    // line's choice), else the settings' concurrency.
    void SetConcurrency(int n) { concurrency_ = n; }
    int Concurrency() const;
    // The on-change program's runner: it runs the settings' "onchange"
    // command for every change of state, after the pass's lines.
    TOnChange& OnChange() { return *onChange_; }

    // Handlers of the window and its components.
    void FormCreate();
    void FormShow();
    void FormClose();
    void FormDestroy();
    void MonitorButtonClick();
    void CheckNowButtonClick();
    void LoopTimerTimer();

    // The checking text for a host: Checking "host" Now.
    static std::string CheckingText(const std::string& host);

private:
    void EndPass();
    std::int64_t Now() const;
    // After the confirmed states changed: the view, and, outside quiet
    // hours, the people told.
    void Tell(std::int64_t now);
    void Send(const TStateChange& change, const TPassOutcome& confirmed, std::int64_t now);
    void RestoreFromHistory();
    void ScheduleRetry();
    void RetryPending();
    void FinishRetry();
    // Writes one line of a pass; a failure is kept for the pass's report
    // instead of ending the pass.
    using LogWrite = void (eventlog::tKvolog::*)(std::string_view);
    void PassLog(LogWrite write, const std::string& text);
    // Tells the view of the pass's first log failure, if there was one.
    void ReportLogFailure();
    // Records a host's outcome and, after its own lines, warns of its
    // certificate when it is about to expire.
    void RecordHost(THostOutcome host, std::int32_t warnDays);
    // Hands the finished pass to the view and to OnPassOutcome.
    void FinishPass(bool pool);
    std::vector<HttpGetter*> PassClients();
    void AbortAll();
    // The view and the state of monitoring off, without the log line.
    void SwitchOff();

    MainView& view_;
    TServerForm& settings_;
    HttpGetter& http_;
    bool monitoring_ = false;
    bool checking_ = false;
    bool closed_ = false;
    std::vector<std::string> hostList_;
    std::vector<THostExpect> hostExpect_;  // parallel to hostList_, or empty
    std::vector<int> hostSlots_;  // the pool row of each host; empty for hosts named on the command line
    std::int32_t hostIndex_ = 0;
    THostOutcome hostOutcome_;
    std::unique_ptr<eventlog::tKvolog> log_;
    platform::TTimer loopTimer_;
    std::vector<std::pair<std::string, std::string>> failures_;
    TPassOutcome pass_;  // the pass being run
    TPassOutcome lastPass_;
    bool havePass_ = false;
    TStateTracker stateTracker_;
    int concurrency_ = 0;
    std::string logFailure_;   // the first log line of this pass that failed, as its error
    bool logFailing_ = false;  // the view shows a log failure not yet followed by a written line
    std::vector<std::unique_ptr<HttpGetter>> moreClients_;  // a concurrent pass's clients besides http_
    std::unique_ptr<TOnChange> onChange_;
    TAlertTracker alerts_;
    TStateTracker seenTracker_;   // follows the confirmed states; stateTracker_ is what was sent
    std::int64_t lastAlert_ = 0;  // when a down change or a reminder was last sent
    bool wasQuiet_ = false;
    bool restored_ = false;
    std::vector<char> retryOnly_;  // during a retry: which hosts of the list it checks
    bool passWaiting_ = false;     // a tick came during a retry
    platform::TTimer retryTimer_;
    platform::TTimer alertTimer_;
    std::unique_ptr<TWebhooks> webhooks_;
};

}  // namespace app
