// The controller's alerting: what a pass or a retry changed in the hosts'
// confirmed states, told to the view, the on-change program and the
// webhooks (or held in quiet hours); the retries between passes; the
// reminders; the state read back from the history at start.
#include <algorithm>
#include <chrono>

#include "app/core/OnChange.h"
#include "app/core/Webhook.h"
#include "app/core/qz1.h"
#include "base/Strings.h"
#include "history/HistoryQuery.h"
#include "history/HistoryStore.h"
#include "net/Url.h"

namespace app {

void TQzController::Tell(std::int64_t now) {
    MarkConfirmed(lastPass_, alerts_);
    const bool quiet = settings_.Quiet.At(now);
    lastPass_.Quiet = quiet;
    wasQuiet_ = quiet;
    const TPassOutcome confirmed = ConfirmedView(lastPass_, alerts_);
    const TStateChange seen = seenTracker_.Next(confirmed);
    TStateChange change;
    if (!quiet)
        change = stateTracker_.Next(confirmed);  // with what quiet hours held, once they are over
    else if (seen.Changed)
        PassLog(&eventlog::tKvolog::WriteWarning,
                "Quiet hours, not sent: " + base::ShowControls(seen.Line()));
    view_.ShowPassOutcome(lastPass_, change);
    Send(change, confirmed, now);
}

void TQzController::Send(const TStateChange& change, const TPassOutcome& confirmed, std::int64_t now) {
    if (!change.Changed) return;
    if (confirmed.DownCount() > 0) lastAlert_ = now;  // the next reminder counts from here
    if (!settings_.OnChange.empty()) onChange_->Report(settings_.OnChange, change, confirmed);
    webhooks_->Send(settings_.Webhooks, settings_.WebhookFormat, change, confirmed, now);
}

void TQzController::AlertTick() {
    if (closed_ || checking_ || !havePass_) return;  // a pass tells at its end
    const std::int64_t now = Now();
    const bool quiet = settings_.Quiet.At(now);
    const TPassOutcome confirmed = ConfirmedView(lastPass_, alerts_);
    if (quiet != wasQuiet_) {
        wasQuiet_ = quiet;
        lastPass_.Quiet = quiet;
        if (!quiet) {
            // What changed while nothing was sent goes out once, as it stands now.
            const TStateChange change = stateTracker_.Next(confirmed);
            if (change.Changed) {
                view_.ShowPassOutcome(lastPass_, change);
                Send(change, confirmed, now);
                return;
            }
        }
    }
    if (quiet || settings_.Remind <= 0 || confirmed.DownCount() == 0) return;
    if (now - lastAlert_ < static_cast<std::int64_t>(settings_.Remind) * 60) return;
    const TStateChange reminder = ReminderChange(confirmed, now);
    view_.ShowPassOutcome(lastPass_, reminder);
    Send(reminder, confirmed, now);
}

void TQzController::RestoreFromHistory() {
    if (!RestoreState || restored_) return;
    restored_ = true;
    if (settings_.History.empty()) return;
    std::vector<history::TRecentChecks> recent;
    try {
        history::THistoryStore store(settings_.History, history::THistoryStore::Mode::Read);
        recent = history::RecentChecks(store, TServerForm::kMaxStreak + 1);
    } catch (const std::exception&) {
        return;  // no history yet, or one that cannot be read: every host starts up
    }
    for (const auto& host : recent)
        for (const auto& row : host.Checks)
            alerts_.Check(host.Slot, host.Host, row.Up, row.Reason, row.Time,
                          settings_.FailuresFor(host.Slot), settings_.RecoveriesFor(host.Slot));
    // What the run before told: its down hosts. Certificates are told anew.
    TPassOutcome before = ConfirmedView(lastPass_, alerts_);
    for (auto& h : before.Hosts) h.CertDaysLeft = -1;
    stateTracker_.Next(before);
    seenTracker_.Next(before);
    lastAlert_ = Now();
}

void TQzController::ScheduleRetry() {
    retryTimer_.SetEnabled(false);
    if (closed_ || !monitoring_ || settings_.Retry <= 0 || !havePass_) return;
    for (const auto& h : lastPass_.Hosts)
        if (alerts_.Pending(h.Slot, h.Host)) {
            const std::int32_t seconds = std::min(settings_.Retry, settings_.Frequency());
            retryTimer_.SetInterval(static_cast<std::uint32_t>(seconds) * 1000u);
            retryTimer_.SetEnabled(true);
            return;
        }
}

void TQzController::RetryPending() {
    retryTimer_.SetEnabled(false);
    if (closed_ || checking_ || !havePass_ || !monitoring_) return;  // monitoring off stops the retries too
    std::vector<char> only(hostList_.size(), 0);
    bool any = false;
    for (std::size_t i = 0; i < hostList_.size(); ++i) {
        const int slot = i < hostSlots_.size() ? hostSlots_[i] : static_cast<int>(i) + 1;
        if (alerts_.Pending(slot, net::HidePassword(hostList_[i]))) only[i] = any = true;
    }
    if (!any) return;
    const std::int32_t index = hostIndex_;  // the next tick names the host it named before
    retryOnly_ = std::move(only);
    struct Done {
        TQzController& c;
        std::int32_t index;
        ~Done() {
            c.retryOnly_.clear();
            c.hostIndex_ = index;
        }
    } done{*this, index};
    CheckPool();
    if (passWaiting_ && !closed_) {
        passWaiting_ = false;
        retryOnly_.clear();
        hostIndex_ = index;
        LoopTimerTimer();
    }
}

void TQzController::FinishRetry() {
    const std::int64_t now = Now();
    TPassOutcome retried = std::move(pass_);
    pass_ = TPassOutcome{};
    retried.EndTime =
        std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    bool turned = false;
    for (const auto& h : retried.Hosts) {
        retried.Passed = retried.Passed && h.Passed;
        turned |= alerts_.Check(h.Slot, h.Host, h.Passed, h.Reason, now, settings_.FailuresFor(h.Slot),
                                settings_.RecoveriesFor(h.Slot));
    }
    MarkConfirmed(retried, alerts_);
    if (OnRetryOutcome) OnRetryOutcome(retried);
    if (turned) Tell(now);
    ScheduleRetry();
}

}  // namespace app
