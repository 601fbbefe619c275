// Writes every finished pass to the history file the settings name
// ("history" in [main], sentrel.db by default, empty for none), for both
// programs' monitors and for --check --history. The file is opened at the
// first pass, after the settings are loaded; each pass is one transaction,
// written after the pass's log lines; then, at most once an hour, retention
// runs a few small steps per pass until it is done, so no pass waits long.
//
// Anything the history cannot do (a newer or broken file, a full disk, a
// read-only file, another user's link) switches the history off with one
// line through OnError (stderr unless set) and never reaches the monitor:
// the pass goes on as if there were no history. It is tried again at the
// next full hour or after kRetryPasses passes, whichever comes first, and
// one more line says when it is back. GUI thread (the one loop) only.
#pragma once

#include <cstdint>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "app/core/PassOutcome.h"

namespace history {
class THistoryStore;
}

namespace app {

class TServerForm;

// One host's uptime from the history: the share of its checks that passed
// over each window (kUptimeWindows), negative where it had no checks.
inline constexpr const char* kUptimeWindows[] = {"24h", "7d", "30d"};
struct THostUptime {
    std::string Host;
    int Slot = 0;
    double Ratio[std::size(kUptimeWindows)] = {};
};

class THistoryRecorder {
public:
    THistoryRecorder();
    ~THistoryRecorder();
    THistoryRecorder(const THistoryRecorder&) = delete;
    THistoryRecorder& operator=(const THistoryRecorder&) = delete;

    static constexpr int kRetryPasses = 10;

    // The line that says the history is off ("History is off: ...") and
    // the one that says it is back ("History is back on: ...").
    std::function<void(const std::string& line)> OnError;

    // The pass's hosts, each with its row in the settings as its slot.
    void Record(const TPassOutcome& pass, const TServerForm& settings);
    // Writing: the file is open and nothing has failed.
    bool On() const { return store_ != nullptr; }
    // Why the history is off; empty while it is not.
    const std::string& Error() const { return error_; }
    // The settings name a file and it has been tried: Ok() then says whether
    // it is being written (the metrics' sentrel_history_ok).
    bool Configured() const { return tried_ && !path_.empty(); }
    bool Ok() const { return On(); }
    // Pages the open file's connection has written to its write-ahead log
    // (bench/history.sh); 0 while off.
    std::int64_t WalPages() const;
    // The file in use (or last tried); empty before the first pass.
    const std::string& Path() const { return path_; }
    // The open store for readers on the same loop (the status page's last
    // checks); null while the history is off.
    history::THistoryStore* Store() const { return store_.get(); }

    // Each host's share of passed checks over 24 h, 7 d and 30 d while the
    // history is on, else none. Counted at most once a minute.
    const std::vector<THostUptime>& Uptime(std::int64_t now);

private:
    void Off(const std::string& why, std::int64_t now);
    void Say(const std::string& line);
    void Open();
    void Prune(std::int64_t now);

    std::unique_ptr<history::THistoryStore> store_;
    std::string path_;
    std::string error_;
    bool tried_ = false;
    std::int64_t failedAt_ = 0;  // when it went off
    int passesOff_ = 0;          // passes since then
    bool pruning_ = false;
    std::int64_t lastPruned_ = 0;
    std::int64_t countedAt_ = -1;
    std::vector<THostUptime> uptime_;
};

}  // namespace app
