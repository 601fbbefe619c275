// One pass over the active host list: every host fetched in list order, each
// outcome shown and logged, then the pool's summary. The body of each reply
// is counted, not kept: only whether it is empty matters.
#include "app/core/qz1.h"
#include "base/Stream.h"
#include "net/Url.h"

namespace app {

void TQzController::CheckPool() {
    view_.SetCommandEnabled(Command::CheckNow, false);
    view_.SetCommandEnabled(Command::Configuration, false);
    view_.SetCommandEnabled(Command::Monitor, false);
    checking_ = true;
    failures_.clear();
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
        const std::string shown = net::HidePassword(h);  // the request alone uses the password
        base::TCountingStream body;
        bool failed = false;
        std::string reason;
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
        if (failed) {
            // The reason is kept before the failure is shown, so whoever
            // shows the status line can say why.
            failures_.emplace_back(shown, reason);
            view_.SetLastHostHint(shown + ": " + reason);
            if (OnHostFailed) OnHostFailed(shown, reason);
            ShowStatus("Error accessing host: " + shown);
            log_->WriteError("Error accessing host: " + shown);
            pool = false;
        }
        if (body.Size() > 0) {
            ShowStatus("Successful connection to: " + shown);
            log_->WriteSuccess("Successful connection to: " + shown);
        }
        view_.SetLastHost(shown);
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
    passEnded = true;
    checking_ = false;
    view_.SetCommandEnabled(Command::Configuration, true);
    view_.SetCommandEnabled(Command::Monitor, true);
    view_.SetCommandEnabled(Command::CheckNow, !monitoring_);
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
