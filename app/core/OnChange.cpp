#include "app/core/OnChange.h"

#include <signal.h>
#include <sys/wait.h>

#include <cmath>
#include <cstdio>
#include <set>

#include "base/Strings.h"
#include "platform/DesktopEntry.h"

namespace app {

namespace {

std::string Seconds(std::uint32_t ms) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%g s", ms / 1000.0);
    return buf;
}

std::string BaseName(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The first field code of a command line ("%f"), empty when it has none: a
// file or URL code has nothing to stand for here, and a line split with it
// would silently lose an argument.
std::string FieldCode(const std::string& command) {
    for (std::size_t i = 0; i < command.size(); ++i) {
        if (command[i] != '%') continue;
        if (i + 1 < command.size() && command[i + 1] == '%') {
            ++i;
            continue;
        }
        return command.substr(i, 2);
    }
    return "";
}

}  // namespace

std::vector<std::string> OnChangeEnvironment(const TStateChange& change, const TPassOutcome& pass) {
    // A host listed twice in the pool is one failing host, as the title counts it.
    std::set<std::string> seen;
    std::string hosts;
    for (const auto& h : pass.Hosts)
        if (!h.Passed && seen.insert(h.Host).second)
            hosts += (hosts.empty() ? "" : "\n") + base::ShowControls(h.Host);
    // A lone certificate warning is the title and has no items; the text
    // carries it all the same, as it carries the warnings of other changes.
    std::string text = change.Text();
    if (text.empty() && change.Event == "certificate") text = base::ShowControls(change.Title);
    return {"SENTREL_EVENT=" + change.Event,
            "SENTREL_TITLE=" + base::ShowControls(change.Title),
            "SENTREL_TEXT=" + text,
            "SENTREL_DOWN=" + std::to_string(seen.size()),
            "SENTREL_HOSTS=" + hosts,
            "SENTREL_TIME=" + base::UtcIsoTime(static_cast<std::int64_t>(std::floor(pass.EndTime)))};
}

TOnChange::TOnChange() {
    child_.OnOutput = [this](const char* data, std::size_t size) { Output(data, size); };
    child_.OnExit = [this](int status) { Exited(status); };
    limit_.OnTimer = [this] { OverTime(); };
}

void TOnChange::Report(const std::string& command, const TStateChange& change, const TPassOutcome& pass) {
    if (queue_.size() >= kQueueLimit) {
        Warn("On-change program busy: dropped the change \"" + queue_.front().title + "\"");
        queue_.pop_front();
    }
    queue_.push_back({command, change.Title, OnChangeEnvironment(change, pass)});
    if (!child_.Running()) StartNext();
}

void TOnChange::StartNext() {
    while (!queue_.empty() && !child_.Running()) {
        Job job = std::move(queue_.front());
        queue_.pop_front();
        if (const std::string code = FieldCode(job.command); !code.empty()) {
            Warn("On-change program cannot start: " + code +
                 " is not allowed here; write %% for a percent sign");
            continue;
        }
        auto args = platform::SplitExec(job.command, {});
        if (!args) {
            Warn("On-change program cannot start: its command line cannot be split (a quote left open?)");
            continue;
        }
        name_ = BaseName((*args)[0]);
        partial_.clear();
        seen_ = 0;
        termSent_ = false;
        std::string error;
        if (!child_.Start(*args, job.env, &error)) {
            Warn("On-change program " + name_ + " cannot start: " + error);
            continue;
        }
        limit_.SetInterval(TermAfterMs);
        limit_.SetEnabled(true);
    }
}

void TOnChange::Output(const char* data, std::size_t size) {
    if (seen_ >= kOutputLimit) return;  // read and dropped, so the program never blocks on a full pipe
    const std::size_t take = std::min(size, kOutputLimit - seen_);
    seen_ += take;
    partial_.append(data, take);
    for (std::size_t lf; (lf = partial_.find('\n')) != std::string::npos;) {
        Line(partial_.substr(0, lf));
        partial_.erase(0, lf + 1);
    }
    if (take < size) {
        if (!partial_.empty()) Line(partial_);
        partial_.clear();
        Warn(name_ + ": output beyond " + std::to_string(kOutputLimit) + " bytes not logged");
        seen_ = kOutputLimit;
    }
}

void TOnChange::Line(const std::string& text) {
    std::string line = text;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    Warn(name_ + ": " + base::ShowControls(line));
}

void TOnChange::Exited(int status) {
    limit_.SetEnabled(false);
    if (!partial_.empty()) Line(partial_);
    partial_.clear();
    if (WIFEXITED(status) && WEXITSTATUS(status) != 0)
        Warn("On-change program " + name_ + " exited with status " + std::to_string(WEXITSTATUS(status)));
    else if (WIFSIGNALED(status) && !termSent_)
        Warn("On-change program " + name_ + " ended by signal " + std::to_string(WTERMSIG(status)));
    StartNext();
}

void TOnChange::OverTime() {
    if (!child_.Running()) return;
    if (!termSent_) {
        termSent_ = true;
        Warn("On-change program " + name_ + " still running after " + Seconds(TermAfterMs) +
             ": sent SIGTERM");
        child_.Signal(SIGTERM);
        limit_.SetInterval(KillAfterMs);
        limit_.SetEnabled(true);
        return;
    }
    limit_.SetEnabled(false);
    Warn("On-change program " + name_ + " did not end on SIGTERM: sent SIGKILL");
    child_.Signal(SIGKILL);
}

void TOnChange::End() {
    queue_.clear();
    limit_.SetEnabled(false);
    if (!child_.Running()) return;
    const bool killed = child_.Stop(EndGraceMs);
    partial_.clear();
    Warn("On-change program " + name_ + " ended with the monitor: sent SIGTERM" +
         (killed ? ", and SIGKILL after " + Seconds(EndGraceMs) : ""));
}

void TOnChange::Warn(const std::string& text) {
    if (Log) Log(text);
}

}  // namespace app
