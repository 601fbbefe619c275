#include "app/core/PassOutcome.h"

#include "base/Strings.h"

namespace app {

namespace {

std::string Hosts(std::size_t n) {
    return std::to_string(n) + (n == 1 ? " host" : " hosts");
}

}  // namespace

std::size_t TPassOutcome::FailedCount() const {
    std::size_t n = 0;
    for (const auto& h : Hosts)
        if (!h.Passed) ++n;
    return n;
}

std::size_t TPassOutcome::WarnedCount() const {
    std::size_t n = 0;
    for (const auto& h : Hosts)
        if (h.CertDaysLeft >= 0) ++n;
    return n;
}

std::size_t TPassOutcome::DownCount() const {
    std::size_t n = 0;
    for (const auto& h : Hosts)
        if (h.Down) ++n;
    return n;
}

std::string CertificateWarning(const std::string& host, int days) {
    return "Certificate of " + host + " expires in " + std::to_string(days) + " days";
}

int DaysLeft(std::int64_t expiry, std::int64_t now) {
    constexpr std::int64_t kDay = 86400;
    if (expiry <= now) return 0;
    std::int64_t days = (expiry - now + kDay - 1) / kDay;
    return days > 1000000 ? 1000000 : static_cast<int>(days);
}

std::string PoolSummary(const TPassOutcome* pass) {
    if (!pass) return "Sentrel: not checked yet";
    const std::size_t n = pass->Hosts.size();
    if (n == 0) return "Sentrel: no active hosts";
    const std::size_t failed = pass->FailedCount();
    std::string text = "Sentrel: ";
    if (failed == 0)
        text += (n == 1 ? "" : "all ") + Hosts(n) + " up";
    else
        text += std::to_string(failed) + " of " + Hosts(n) + " down";
    if (std::size_t warned = pass->WarnedCount())
        text += warned == 1 ? ", 1 certificate expires soon"
                            : ", " + std::to_string(warned) + " certificates expire soon";
    return text;
}

std::string TStateChange::Line() const {
    std::string line = Title;
    for (std::size_t i = 0; i < Items.size(); ++i) line += (i == 0 ? ": " : "; ") + Items[i];
    return line;
}

std::string TStateChange::Text() const {
    std::string text;
    // A reason or host from a server or the settings shows its controls as
    // escapes: a notification or a program's terminal may act on them.
    for (const auto& item : Items) text += (text.empty() ? "" : "\n") + base::ShowControls(item);
    return text;
}

TStateChange TStateTracker::Next(const TPassOutcome& pass) {
    std::set<std::string> failed, warned;
    bool newWarning = false;
    TStateChange change;
    std::vector<std::string> warnings;
    for (const auto& h : pass.Hosts) {
        if (!h.Passed && failed.insert(h.Host).second) change.Items.push_back(h.Host + ": " + h.Reason);
        if (h.CertDaysLeft >= 0 && warned.insert(h.Host).second) {
            warnings.push_back(CertificateWarning(h.Host, h.CertDaysLeft));
            if (!warned_.count(h.Host)) newWarning = true;
        }
    }
    change.Items.insert(change.Items.end(), warnings.begin(), warnings.end());
    change.Changed = failed != failed_ || newWarning;
    change.Event = !failed.empty() ? "down" : !failed_.empty() ? "up" : "certificate";
    if (!failed.empty())
        change.Title = Hosts(failed.size()) + " down";
    else if (!failed_.empty())
        change.Title = "All hosts up again";
    else if (warnings.size() == 1) {
        change.Title = base::ShowControls(warnings.front());  // a notification's title too
        change.Items.clear();                                 // the title says all there is
    } else
        change.Title = std::to_string(warnings.size()) + " certificates expire soon";
    failed_ = std::move(failed);
    warned_ = std::move(warned);
    if (!change.Changed) change = TStateChange{};
    return change;
}

}  // namespace app
