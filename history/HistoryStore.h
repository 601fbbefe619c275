// The pass history: one SQLite file that keeps, for every host of every
// pass, whether it was up, why not, its status code and how long it took,
// so the report and the history window can answer "since when, how often,
// how slow". Raw rows are kept for a week; older ones are folded into one
// row per host and hour (checks, failures, min/avg/max/p95 ms), kept for
// 400 days.
//
// The file runs in WAL mode with synchronous=NORMAL: a pass is one
// transaction, so a process killed in the middle of a write leaves every
// earlier pass whole and the file consistent. The schema carries its version
// in a table of its own; an older file is migrated forward when opened for
// writing, a newer one is refused (EHistoryError) and left as it is.
//
// What a server sends is bounded before it is stored: a reason keeps at most
// kReasonBytes bytes. The file, its -wal and its -shm are opened only when
// no link on the way to them belongs to another user (the log's rule), so
// nobody can steer the monitor's writes onto a file of their choosing.
//
// One store is one connection, used on one thread. The writer (the monitor)
// and readers (the report, the history window's loader) each open their own;
// a reader never writes, and waits briefly for a writer's lock instead of
// failing. Every failure is an EHistoryError whose message names the file
// and says what went wrong ("sentrel.db: database or disk is full").
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/Exception.h"

struct sqlite3;

namespace history {

class EHistoryError : public base::Exception {
public:
    using base::Exception::Exception;
};

// One host in one pass.
struct TCheckRow {
    std::int64_t Time = 0;  // seconds since the epoch, when the pass ended
    int Slot = 0;           // the host's row in the settings (1..10)
    std::string Host;       // as shown: the password masked
    bool Up = true;
    std::string Reason;  // why it failed; empty when up
    int StatusCode = 0;  // 0 when no reply header came
    double TotalMs = 0;
    // The request's phases where the client measured them.
    std::optional<double> LookupMs, ConnectMs, TlsMs, FirstByteMs;
    std::int64_t CertExpiry = 0;  // seconds since the epoch; 0 when not https
};

// One host in one hour, once its raw rows have aged out.
struct THourRow {
    std::string Host;
    int Slot = 0;
    std::int64_t Hour = 0;  // start of the hour, seconds since the epoch
    std::int64_t Checks = 0;
    std::int64_t Failures = 0;
    double MinMs = 0, AvgMs = 0, MaxMs = 0, P95Ms = 0;
};

// A reason as it is stored: at most kReasonBytes bytes, a longer one cut on
// a character's boundary and ended with "…" (within the bound).
inline constexpr std::size_t kReasonBytes = 200;
std::string BoundReason(std::string_view reason);

class THistoryStore {
public:
    static constexpr int kSchemaVersion = 3;
    // A reader takes files from this version on as they are.
    static constexpr int kOldestReadable = 2;
    static constexpr std::int64_t kHour = 3600;
    static constexpr std::int64_t kRawKeep = 7 * 86400;       // raw rows
    static constexpr std::int64_t kHourlyKeep = 400 * 86400;  // hourly rows

    enum class Mode { Write, Read };

    // Opens (Write: creates when missing, migrates when older) the file.
    // Raises EHistoryError when it cannot be opened, is not a database, was
    // written by a newer version, or a link to it or to its -wal or -shm
    // belongs to another user (nothing is created then). Read never creates
    // the file; where the folder or the file cannot be written (a read-only
    // mount), it reads the file as it stands, without its write-ahead log
    // (Immutable()).
    THistoryStore(const std::string& path, Mode mode);
    ~THistoryStore();
    THistoryStore(const THistoryStore&) = delete;
    THistoryStore& operator=(const THistoryStore&) = delete;

    const std::string& Path() const { return path_; }
    int Version() const { return version_; }
    // Read as it stands: passes still in the write-ahead log are not seen.
    bool Immutable() const { return immutable_; }
    // Pages this connection has written to the write-ahead log.
    std::int64_t WalFrames() const { return walFrames_; }

    // The pass's rows in one transaction: all of them or none.
    void Record(const std::vector<TCheckRow>& pass);

    // One small step of retention at time now: folds the oldest raw rows,
    // at most kFoldRows of them and only from hours older than a week as a
    // whole, into hourly rows and deletes them, or deletes at most
    // kForgetRows hourly rows older than 400 days. Returns true while more
    // is left to do. Each step is a transaction of its own; folding reads
    // no reason.
    static constexpr int kFoldRows = 1000;
    static constexpr int kForgetRows = 1000;
    bool PruneStep(std::int64_t now);
    // When retention last ran to its end (0: never), kept in the file so a
    // restart does not prune again at once.
    std::int64_t LastPruned();
    void SetLastPruned(std::int64_t when);

    // Raw rows with from <= Time < to, in the order the passes wrote them
    // (time order unless the clock was set back); host empty: all hosts.
    std::vector<TCheckRow> Checks(std::int64_t from, std::int64_t to, const std::string& host = "");
    // Hourly rows with from <= Hour < to, oldest first; host empty: all.
    std::vector<THourRow> Hours(std::int64_t from, std::int64_t to, const std::string& host = "");
    // The same rows one at a time, without keeping them (the row passed is
    // reused). outcomesOnly reads just what the report and the chart use:
    // time, slot, host, up, reason and total ms.
    void ForEachCheck(std::int64_t from, std::int64_t to, const std::string& host,
                      const std::function<void(const TCheckRow&)>& row, bool outcomesOnly = false);
    // Raw rows newest first (outcomes only, as ForEachCheck's), one at a
    // time until row returns false or the rows run out.
    void ForEachLatest(const std::function<bool(const TCheckRow&)>& row);
    // Checks and failures per host since each of the starts (raw and
    // hourly rows), in one read of the oldest start's range.
    struct TCount {
        std::string Host;
        int Slot = 0;
        std::vector<std::pair<std::int64_t, std::int64_t>> Since;  // (checks, failures) per start
    };
    std::vector<TCount> Counts(const std::vector<std::int64_t>& starts);

    // "ok" or what SQLite's integrity check found.
    std::string IntegrityCheck();

private:
    void Open(const std::string& file, Mode mode, bool immutable);
    // The first rowid whose row has Time >= t (rows are in time order);
    // past the last row when none has.
    std::int64_t FirstRowidFrom(std::int64_t t);
    void Exec(const char* sql);
    void Migrate();
    [[noreturn]] void Fail(const std::string& what);

    struct TWriter;

    std::string path_;
    sqlite3* db_ = nullptr;
    std::unique_ptr<TWriter> writer_;
    int version_ = 0;
    bool write_ = false;
    bool immutable_ = false;
    std::int64_t walFrames_ = 0;
    int walLast_ = 0;  // frames in the log after the last commit
};

// Folds one host's raw rows of one hour into its hourly row.
THourRow FoldHour(const std::vector<const TCheckRow*>& rows, std::int64_t hour);
// The same from what folding keeps of each row: checks, failures and the
// answers' times (sorted here).
THourRow FoldTimes(std::int64_t hour, std::int64_t checks, std::int64_t failures, std::vector<double>& ms);

}  // namespace history
