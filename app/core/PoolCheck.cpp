// One pass over the active host list: every host fetched in list order, each
// outcome shown and logged, then the pool's summary. The body of each reply
// is counted, not kept: only whether it is empty matters.
#include <chrono>
#include <ctime>

#include "app/core/qz1.h"
#include "base/Stream.h"

namespace app {

void TQzController::CheckPool() {
    view_.SetCommandEnabled(Command::CheckNow, false);
    view_.SetCommandEnabled(Command::Configuration, false);
    view_.SetCommandEnabled(Command::Monitor, false);
    checking_ = true;
    failures_.clear();
    pass_ = TPassOutcome{};
    bool passEnded = false;
    // Whatever ends the pass (a failure that escapes it included), the
    // commands come back and the timer is in the state monitoring calls for.
    struct EndGuard {
        TQzController& c;
        bool& ended;
        ~EndGuard() {
            if (!ended) c.EndPass();
        }
    } guard{*this, passEnded};

    bool pool = true;
    const std::int32_t n = static_cast<std::int32_t>(hostList_.size());
    for (std::int32_t i = 1; i <= n; ++i) {
        hostIndex_ = i;
        const std::string h = CurrentHost();
        base::TCountingStream body;
        bool failed = false;
        std::string reason;
        const auto started = std::chrono::steady_clock::now();
        try {
            ShowStatus(CheckingText(h));
            http_.Get(h, body);
            if (!closed_) log_->WriteInfo(CheckingText(h));
        } catch (const std::exception& e) {
            failed = true;
            reason = e.what();
        }
        // The window was closed while this host was fetched: its request was
        // aborted and the writer released, so the pass ends here.
        if (closed_) return;
        THostOutcome outcome;
        outcome.Host = h;
        outcome.Passed = !failed;
        outcome.Reason = reason;
        outcome.Seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        outcome.StatusCode = http_.LastStatusCode();
        outcome.CertExpiry = http_.LastCertificateExpiry();
        if (failed) {
            // The reason is kept before the failure is shown, so whoever
            // shows the status line can say why.
            failures_.emplace_back(h, reason);
            view_.SetLastHostHint(h + ": " + reason);
            if (OnHostFailed) OnHostFailed(h, reason);
            ShowStatus("Error accessing host: " + h);
            log_->WriteError("Error accessing host: " + h);
            pool = false;
        }
        if (body.Size() > 0) {
            ShowStatus("Successful connection to: " + h);
            log_->WriteSuccess("Successful connection to: " + h);
        }
        RecordHost(std::move(outcome));
        view_.SetLastHost(h);
    }
    if (pool) {
        view_.SetLastHostHint("");
        ShowCheckGood();
        ShowStatus("All servers connected correctly");
        log_->WriteSuccess("All servers connected correctly");
    } else {
        ShowCheckBad();
        ShowStatus("At least one connection failed!");
        log_->WriteWarning("At least one connection failed!");
    }
    FinishPass(pool);
    passEnded = true;
    checking_ = false;
    view_.SetCommandEnabled(Command::Configuration, true);
    view_.SetCommandEnabled(Command::Monitor, true);
    view_.SetCommandEnabled(Command::CheckNow, !monitoring_);
}

void TQzController::RecordHost(THostOutcome host) {
    const std::int64_t now = static_cast<std::int64_t>(std::time(nullptr));
    const std::int64_t window = static_cast<std::int64_t>(settings_.CertWarnDays()) * 86400;
    if (host.CertExpiry != 0 && window > 0 && host.CertExpiry - now <= window) {
        host.CertDaysLeft = DaysLeft(host.CertExpiry, now);
        const std::string text = CertificateWarning(host.Host, host.CertDaysLeft);
        log_->WriteWarning(text);
        if (OnWarning) OnWarning(text);
    }
    pass_.Hosts.push_back(std::move(host));
}

void TQzController::FinishPass(bool pool) {
    pass_.Passed = pool;
    pass_.EndTime =
        std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    // The hint of the last-host field adds the warnings to the failure it
    // names (or stands alone when the pool passed).
    std::string warnings;
    for (const auto& h : pass_.Hosts)
        if (h.CertDaysLeft >= 0)
            warnings += (warnings.empty() ? "" : "\n") + CertificateWarning(h.Host, h.CertDaysLeft);
    if (!warnings.empty()) {
        std::string failure =
            failures_.empty() ? "" : failures_.back().first + ": " + failures_.back().second;
        view_.SetLastHostHint(failure.empty() ? warnings : failure + "\n" + warnings);
    }
    lastPass_ = std::move(pass_);
    pass_ = TPassOutcome{};
    havePass_ = true;
    TStateChange change = stateTracker_.Next(lastPass_);
    view_.ShowPassOutcome(lastPass_, change);
    if (OnPassOutcome) OnPassOutcome(lastPass_);
}

// The end of a pass that something cut short.
void TQzController::EndPass() {
    checking_ = false;
    if (closed_) return;
    view_.SetCommandEnabled(Command::Configuration, true);
    view_.SetCommandEnabled(Command::Monitor, true);
    view_.SetCommandEnabled(Command::CheckNow, !monitoring_);
    if (monitoring_ && !loopTimer_.Enabled()) {
        try {
            RestartCycleTimer();
        } catch (const std::exception&) {
            // The cycle time itself is what failed; that error is the one the
            // caller is reporting, and the user can switch monitoring off.
        }
    }
}

}  // namespace app
