// One pass over the active host list: every host fetched in list order, each
// outcome shown and logged, then the pool's summary. The body of each reply
// is counted, not kept: only whether it is empty matters.
//
// With a concurrency above 1, up to that many hosts are fetched at once, one
// client each, and the pass takes their outcomes in list order as they come
// in: what is shown and logged is what a one-after-the-other pass shows and
// logs, only sooner.
#include <algorithm>
#include <chrono>
#include <ctime>

#include "app/core/OnChange.h"
#include "app/core/qz1.h"
#include "base/Stream.h"
#include "net/Url.h"
#include "platform/Application.h"

namespace app {

namespace {

double SecondsSince(std::chrono::steady_clock::time_point started) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
}

// The hosts of a pass fetched a few at a time ahead of the pass: Take(i)
// runs the message loop until host i has ended, starting the next hosts as
// clients come free, and hands over its outcome. Whatever is still in flight
// when it goes is aborted.
class TFetchesAhead {
public:
    TFetchesAhead(std::vector<HttpGetter*> clients, const std::vector<std::string>& hosts,
                  const TQzController& expect, const bool& stop)
        : clients_(std::move(clients)), hosts_(hosts), expect_(expect), stop_(stop), results_(hosts.size()) {
        for (std::size_t c = 0; c < clients_.size(); ++c) free_.push_back(c);
    }
    ~TFetchesAhead() {
        for (std::size_t c = 0; c < clients_.size(); ++c)
            if (std::find(free_.begin(), free_.end(), c) == free_.end()) clients_[c]->Abort();
    }
    TFetchesAhead(const TFetchesAhead&) = delete;
    TFetchesAhead& operator=(const TFetchesAhead&) = delete;

    // Host i's body into body and what its request learnt into outcome;
    // raises its failure as Get would. Returns early when the pass is stopped.
    void Take(std::size_t i, TBodyCheck& body, THostOutcome& outcome, bool& failedOnStatus) {
        for (;;) {
            StartWhatFits();
            if (results_[i].ended || stop_) break;
            platform::Application().HandleMessage();
        }
        if (!results_[i].ended) return;
        body = results_[i].body;
        outcome.Seconds = results_[i].seconds;
        outcome.StatusCode = results_[i].statusCode;
        outcome.CertExpiry = results_[i].certExpiry;
        failedOnStatus = results_[i].failedOnStatus;
        outcome.Fetched = results_[i].fetched;
        outcome.Phases = results_[i].phases;
        if (results_[i].failed) throw std::runtime_error(results_[i].reason);
    }

private:
    struct Result {
        TBodyCheck body;
        bool ended = false;
        bool failed = false;
        bool failedOnStatus = false;
        bool fetched = false;
        net::TPhaseTimes phases;
        std::string reason;
        double seconds = 0;
        int statusCode = 0;
        std::int64_t certExpiry = 0;
    };

    void StartWhatFits() {
        while (!free_.empty() && next_ < hosts_.size() && !stop_) {
            std::size_t c = free_.back(), i = next_++;
            free_.pop_back();
            Result& r = results_[i];
            auto done = [this, c, &r, started = std::chrono::steady_clock::now()](bool failed,
                                                                                  const std::string& reason) {
                r.ended = true;
                r.failed = failed;
                r.reason = reason;
                r.seconds = SecondsSince(started);
                r.statusCode = clients_[c]->LastStatusCode();
                r.certExpiry = clients_[c]->LastCertificateExpiry();
                r.failedOnStatus = failed && clients_[c]->LastFailedOnStatus();
                if (const net::TPhaseTimes* phases = clients_[c]->LastPhases()) {
                    r.fetched = true;
                    r.phases = *phases;
                }
                free_.push_back(c);
            };
            const THostExpect& expect = expect_.ExpectationOf(i);
            r.body = TBodyCheck(expect);
            try {
                // A host whose expectations cannot be read is not fetched.
                if (!expect.Error.empty()) throw std::runtime_error(expect.Error);
                clients_[c]->SetTimeLimit(expect.MaxMs);  // the host's maxms ends its request
                clients_[c]->Start(hosts_[i], r.body, done);
            } catch (const std::exception& e) {
                done(true, e.what());
            }
        }
    }

    std::vector<HttpGetter*> clients_;
    const std::vector<std::string>& hosts_;
    const TQzController& expect_;
    const bool& stop_;
    std::vector<Result> results_;
    std::vector<std::size_t> free_;  // clients without a request
    std::size_t next_ = 0;           // the first host not started yet
};

}  // namespace

void TQzController::CheckPool() {
    view_.SetCommandEnabled(Command::CheckNow, false);
    view_.SetCommandEnabled(Command::Configuration, false);
    view_.SetCommandEnabled(Command::Monitor, false);
    checking_ = true;
    const bool retry = !retryOnly_.empty();  // a retry checks some hosts again, with no summary
    if (!retry) failures_.clear();
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
    std::unique_ptr<TFetchesAhead> ahead;
    if (!retry && Concurrency() > 1 && n > 1)
        ahead = std::make_unique<TFetchesAhead>(PassClients(), hostList_, *this, closed_);
    for (std::int32_t i = 1; i <= n; ++i) {
        if (retry && (static_cast<std::size_t>(i - 1) >= retryOnly_.size() || !retryOnly_[i - 1])) continue;
        hostIndex_ = i;
        const std::string h = CurrentHost();
        const std::string shown = net::HidePassword(h);  // the request alone uses the password
        const THostExpect& expect = ExpectationOf(static_cast<std::size_t>(i - 1));
        TBodyCheck body(expect);
        bool failed = false, failedOnStatus = false;
        std::string reason;
        THostOutcome outcome;
        outcome.Host = shown;
        outcome.Slot = static_cast<std::size_t>(i - 1) < hostSlots_.size() ? hostSlots_[i - 1] : i;
        const auto started = std::chrono::steady_clock::now();
        try {
            ShowStatus(CheckingText(h));
            // A host whose expectations cannot be read is not fetched.
            if (!expect.Error.empty()) throw std::runtime_error(expect.Error);
            if (ahead) {
                ahead->Take(static_cast<std::size_t>(i - 1), body, outcome, failedOnStatus);
            } else {
                struct Learnt {  // whether Get returns or raises
                    HttpGetter& http;
                    THostOutcome& outcome;
                    bool& failedOnStatus;
                    std::chrono::steady_clock::time_point started;
                    ~Learnt() {
                        outcome.Seconds = SecondsSince(started);
                        outcome.StatusCode = http.LastStatusCode();
                        outcome.CertExpiry = http.LastCertificateExpiry();
                        failedOnStatus = http.LastFailedOnStatus();
                        if (const net::TPhaseTimes* phases = http.LastPhases()) {
                            outcome.Fetched = true;
                            outcome.Phases = *phases;
                        }
                    }
                } learnt{http_, outcome, failedOnStatus, started};
                http_.SetTimeLimit(expect.MaxMs);  // the host's maxms ends its request
                http_.Get(h, body);
            }
            // A line the log cannot take is reported with the pass; the
            // host's outcome is what its server did.
            if (!closed_) PassLog(&eventlog::tKvolog::WriteInfo, CheckingText(h));
        } catch (const std::exception& e) {
            failed = true;
            reason = e.what();
        }
        // The window was closed while this host was fetched: its request was
        // aborted and the writer released, so the pass ends here.
        if (closed_) return;
        if (expect.Error.empty()) {
            // What the host must do besides answering: a status the list
            // accepts may turn an error status into a pass.
            TFetchSeen seen{failed, failed && failedOnStatus, outcome.StatusCode, outcome.Seconds};
            if (std::string why = JudgeFetch(expect, seen, body); !why.empty()) {
                failed = true;
                reason = why;
            } else if (seen.FailedOnStatus && !expect.Status.empty()) {
                // Logged as for any host whose request came back; a line
                // the log cannot take is reported with the pass.
                PassLog(&eventlog::tKvolog::WriteInfo, CheckingText(h));
                failed = false;
                reason.clear();
            }
        }
        outcome.Passed = !failed;
        outcome.Reason = reason;
        hostOutcome_ = outcome;
        if (failed) {
            // The reason is kept before the failure is shown, so whoever
            // shows the status line can say why.
            if (!retry) failures_.emplace_back(shown, reason);
            view_.SetLastHostHint(shown + ": " + reason);
            if (OnHostFailed) OnHostFailed(shown, reason);
            ShowStatus("Error accessing host: " + shown);
            PassLog(&eventlog::tKvolog::WriteError, "Error accessing host: " + shown);
            pool = false;
        }
        if (body.Size() > 0) {
            ShowStatus("Successful connection to: " + shown);
            PassLog(&eventlog::tKvolog::WriteSuccess, "Successful connection to: " + shown);
        }
        RecordHost(std::move(outcome), expect.CertDays >= 0 ? expect.CertDays : settings_.CertWarnDays());
        view_.SetLastHost(shown);
    }
    if (retry) {
        FinishRetry();
    } else if (pool) {
        view_.SetLastHostHint("");
        ShowCheckGood();
        ShowStatus("All servers connected correctly");
        PassLog(&eventlog::tKvolog::WriteSuccess, "All servers connected correctly");
    } else {
        ShowCheckBad();
        ShowStatus("At least one connection failed!");
        PassLog(&eventlog::tKvolog::WriteWarning, "At least one connection failed!");
    }
    if (!retry) FinishPass(pool);
    passEnded = true;
    checking_ = false;
    view_.SetCommandEnabled(Command::Configuration, true);
    view_.SetCommandEnabled(Command::Monitor, true);
    view_.SetCommandEnabled(Command::CheckNow, !monitoring_);
    ReportLogFailure();
}

// A certificate inside the warning window gets its line after the host's own.
void TQzController::RecordHost(THostOutcome host, std::int32_t warnDays) {
    if (OnHostOutcome) OnHostOutcome(host);
    const std::int64_t now = static_cast<std::int64_t>(std::time(nullptr));
    const std::int64_t window = static_cast<std::int64_t>(warnDays) * 86400;
    if (host.CertExpiry != 0 && window > 0 && host.CertExpiry - now <= window) {
        host.CertDaysLeft = DaysLeft(host.CertExpiry, now);
        const std::string text = CertificateWarning(host.Host, host.CertDaysLeft);
        PassLog(&eventlog::tKvolog::WriteWarning, text);
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
    for (const auto& h : pass_.Hosts) {
        if (h.CertDaysLeft < 0) continue;
        if (!warnings.empty()) warnings += '\n';
        warnings += CertificateWarning(h.Host, h.CertDaysLeft);
    }
    if (!warnings.empty()) {
        std::string failure =
            failures_.empty() ? "" : failures_.back().first + ": " + failures_.back().second;
        view_.SetLastHostHint(failure.empty() ? warnings : failure + "\n" + warnings);
    }
    lastPass_ = std::move(pass_);
    pass_ = TPassOutcome{};
    havePass_ = true;
    // What is told follows the hosts' confirmed states, not this pass alone.
    RestoreFromHistory();
    const std::int64_t now = Now();
    for (const auto& h : lastPass_.Hosts)
        alerts_.Check(h.Slot, h.Host, h.Passed, h.Reason, now, settings_.FailuresFor(h.Slot),
                      settings_.RecoveriesFor(h.Slot));
    Tell(now);
    if (OnPassOutcome) OnPassOutcome(lastPass_);
    ScheduleRetry();
}

int TQzController::Concurrency() const {
    return concurrency_ > 0 ? concurrency_ : settings_.Concurrency();
}

// One client per host fetched at once: the controller's own and as many more
// as the concurrency and the list call for, kept from pass to pass.
std::vector<HttpGetter*> TQzController::PassClients() {
    const std::size_t want = std::min<std::size_t>(static_cast<std::size_t>(Concurrency()), hostList_.size());
    while (moreClients_.size() + 1 < want) {
        auto client = http_.MakeAnother();
        if (!client) break;
        moreClients_.push_back(std::move(client));
    }
    std::vector<HttpGetter*> clients{&http_};
    for (std::size_t c = 0; c + 1 < want && c < moreClients_.size(); ++c)
        clients.push_back(moreClients_[c].get());
    return clients;
}

// The end of a pass that something cut short.
void TQzController::EndPass() {
    checking_ = false;
    if (closed_) return;
    ReportLogFailure();
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
