#include "history/HistoryStore.h"

#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <functional>
#include <map>
#include <memory>

#include "base/SafeFile.h"

namespace history {

namespace {

// The schema, one step per version; a file of version N gets steps N+1...
// in one transaction. Steps are never edited once released: a change is a
// new step. Rows are appended in time order, so rowid order is time order.
const char* const kMigrations[] = {
    // 1: raw rows, hourly rows, a key-value table for the store's own state.
    "CREATE TABLE schema_version(version INTEGER NOT NULL);"
    "INSERT INTO schema_version VALUES(0);"
    "CREATE TABLE checks(t INTEGER NOT NULL, slot INTEGER NOT NULL, host TEXT NOT NULL,"
    " up INTEGER NOT NULL, reason TEXT, status INTEGER NOT NULL, total_ms REAL, cert_expiry INTEGER);"
    "CREATE INDEX checks_t ON checks(t);"
    "CREATE TABLE hourly(hour INTEGER NOT NULL, host TEXT NOT NULL, slot INTEGER NOT NULL,"
    " checks INTEGER NOT NULL, failures INTEGER NOT NULL, min_ms REAL, avg_ms REAL, max_ms REAL,"
    " p95_ms REAL, PRIMARY KEY(hour, host)) WITHOUT ROWID;"
    "CREATE TABLE meta(key TEXT PRIMARY KEY, value INTEGER) WITHOUT ROWID;",
    // 2: the request's phases, NULL where the client did not measure them.
    "ALTER TABLE checks ADD COLUMN lookup_ms REAL;"
    "ALTER TABLE checks ADD COLUMN connect_ms REAL;"
    "ALTER TABLE checks ADD COLUMN tls_ms REAL;"
    "ALTER TABLE checks ADD COLUMN first_byte_ms REAL;",
    // 3: no index on the time. Rows are appended in time order, so a range
    // is found by a binary search over rowids, and a pass writes the table's
    // last page only, not an index page beside it.
    "DROP INDEX IF EXISTS checks_t;",
};
static_assert(std::size(kMigrations) == THistoryStore::kSchemaVersion);

// A prepared statement that finalises itself.
class Stmt {
public:
    Stmt(sqlite3* db, const char* sql) : db_(db) {
        if (sqlite3_prepare_v2(db, sql, -1, &s_, nullptr) != SQLITE_OK) s_ = nullptr;
    }
    ~Stmt() { sqlite3_finalize(s_); }
    Stmt(const Stmt&) = delete;
    Stmt& operator=(const Stmt&) = delete;
    bool Ok() const { return s_ != nullptr; }
    // SQLITE_ROW, SQLITE_DONE or an error code.
    int Step() { return sqlite3_step(s_); }
    void Reset() {
        sqlite3_reset(s_);
        sqlite3_clear_bindings(s_);
    }
    void Bind(int i, std::int64_t v) { sqlite3_bind_int64(s_, i, v); }
    void Bind(int i, double v) { sqlite3_bind_double(s_, i, v); }
    void Bind(int i, std::string_view v) {
        sqlite3_bind_text(s_, i, v.data(), int(v.size()), SQLITE_TRANSIENT);
    }
    void Bind(int i, const std::optional<double>& v) {
        if (v) Bind(i, *v);
    }
    // Text and integer columns, NULL read as empty or zero.
    std::int64_t Int(int i) { return sqlite3_column_int64(s_, i); }
    double Real(int i) { return sqlite3_column_double(s_, i); }
    bool Null(int i) { return sqlite3_column_type(s_, i) == SQLITE_NULL; }
    std::string Text(int i) {
        const auto* p = sqlite3_column_text(s_, i);
        return p ? std::string(reinterpret_cast<const char*>(p), std::size_t(sqlite3_column_bytes(s_, i)))
                 : "";
    }
    // Into a string that is reused row after row, so its buffer is too.
    void TextInto(int i, std::string& out) {
        const auto* p = sqlite3_column_text(s_, i);
        out.assign(p ? reinterpret_cast<const char*>(p) : "",
                   p ? std::size_t(sqlite3_column_bytes(s_, i)) : 0);
    }

private:
    sqlite3* db_;
    sqlite3_stmt* s_ = nullptr;
};

// A raw row's outcome from a statement that selects, in this order,
// t, slot, host, up, reason, (status), total_ms.
void ReadOutcome(Stmt& s, TCheckRow& r) {
    r.Time = s.Int(0);
    r.Slot = int(s.Int(1));
    s.TextInto(2, r.Host);
    r.Up = s.Int(3) != 0;
    s.TextInto(4, r.Reason);
    r.TotalMs = s.Real(6);
}

double Percentile(std::vector<double>& sorted, double p) {
    if (sorted.empty()) return 0;
    std::size_t rank = static_cast<std::size_t>(std::ceil(p * double(sorted.size())));
    return sorted[std::clamp<std::size_t>(rank, 1, sorted.size()) - 1];
}

// Auto-checkpoint after this many pages in the write-ahead log, as SQLite
// does by default (our commit hook takes its place).
constexpr int kCheckpointFrames = 1000;

std::string DirName(const std::string& path) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// The file as a URI path: every byte outside a plain set percent-encoded,
// so '?', '#' and '%' in a name stay part of it.
std::string UriPath(const std::string& path) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : path) {
        if (std::isalnum(c) || c == '/' || c == '.' || c == '_' || c == '-' || c == '~') {
            out += char(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

}  // namespace

std::string BoundReason(std::string_view reason) {
    if (reason.size() <= kReasonBytes) return std::string(reason);
    static constexpr std::string_view kMark = "\xe2\x80\xa6";  // "…"
    std::size_t cut = kReasonBytes - kMark.size();
    // Back over the continuation bytes of a character cut in two (at most
    // three: a longer run is not UTF-8 and is cut where it stands).
    for (int back = 0; back < 3 && cut > 0 && (static_cast<unsigned char>(reason[cut]) & 0xC0) == 0x80;
         ++back)
        --cut;
    std::string out(reason.substr(0, cut));
    out += kMark;
    return out;
}

THourRow FoldTimes(std::int64_t hour, std::int64_t checks, std::int64_t failures, std::vector<double>& ms) {
    THourRow out;
    out.Hour = hour;
    out.Checks = checks;
    out.Failures = failures;
    if (ms.empty()) return out;
    std::sort(ms.begin(), ms.end());
    double sum = 0;
    for (double v : ms) sum += v;
    out.MinMs = ms.front();
    out.MaxMs = ms.back();
    out.AvgMs = sum / double(ms.size());
    out.P95Ms = Percentile(ms, 0.95);
    return out;
}

THourRow FoldHour(const std::vector<const TCheckRow*>& rows, std::int64_t hour) {
    std::int64_t failures = 0;
    std::vector<double> ms;
    for (const TCheckRow* r : rows) {
        // Times are those of answers: a failure's time is mostly its time-out.
        if (!r->Up)
            ++failures;
        else
            ms.push_back(r->TotalMs);
    }
    THourRow out = FoldTimes(hour, std::int64_t(rows.size()), failures, ms);
    if (!rows.empty()) {
        out.Host = rows.back()->Host;
        out.Slot = rows.back()->Slot;
    }
    return out;
}

THistoryStore::THistoryStore(const std::string& path, Mode mode) : path_(path) {
    if (mode == Mode::Read) {
        struct stat st {};
        if (::stat(path.c_str(), &st) != 0) throw EHistoryError(path + ": no history yet");
    }
    // The log's rule for the file and what SQLite keeps beside it: a link
    // of another user's is refused before anything is opened or made, so
    // no file appears where it points.
    std::string target;
    if (std::string why = base::ResolveWriteTarget(path, target); !why.empty())
        throw EHistoryError(path + ": " + why);
    for (const char* suffix : {"-wal", "-shm"}) {
        std::string side;
        for (const std::string& name : {path + suffix, target + suffix})
            if (std::string why = base::ResolveWriteTarget(name, side); !why.empty())
                throw EHistoryError(path + suffix + ": " + why);
    }
    write_ = mode == Mode::Write;
    try {
        Open(target, mode, false);
    } catch (const EHistoryError&) {
        // A read-only mount (or a folder we may not write) has no room for
        // the write-ahead log's index: read the file as it stands.
        const bool readOnly =
            ::access(DirName(target).c_str(), W_OK) != 0 || ::access(target.c_str(), W_OK) != 0;
        if (mode != Mode::Read || !readOnly) throw;
        Open(target, mode, true);
        immutable_ = true;
    }
}

void THistoryStore::Open(const std::string& file, Mode mode, bool immutable) {
    // A reader opens the file for writing too (never creating it), so that
    // the last connection to close folds the write-ahead log back and
    // removes it; it never changes a row.
    int flags = (mode == Mode::Write ? SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE : SQLITE_OPEN_READWRITE) |
                SQLITE_OPEN_NOMUTEX;  // one thread per connection: no lock around every column read
    std::string name = file;
    if (immutable) {
        flags = SQLITE_OPEN_READONLY | SQLITE_OPEN_URI | SQLITE_OPEN_NOMUTEX;
        name = "file:" + UriPath(file) + "?immutable=1";
    }
    if (sqlite3_open_v2(name.c_str(), &db_, flags, nullptr) != SQLITE_OK) {
        std::string why = db_ ? sqlite3_errmsg(db_) : "out of memory";
        sqlite3_close(db_);
        db_ = nullptr;
        throw EHistoryError(path_ + ": " + why);
    }
    try {
        // A reader that meets the writer's commit waits for it a moment
        // instead of failing.
        sqlite3_busy_timeout(db_, 2000);
        // Without write access SQLite opens the file read-only and says
        // nothing; the monitor is told here, not at the first pass.
        if (mode == Mode::Write && sqlite3_db_readonly(db_, "main") == 1)
            throw EHistoryError(path_ + ": the file is read-only");
        if (mode == Mode::Write) {
            Exec("PRAGMA journal_mode=WAL");
            // No sync per pass: the log is the record of truth, and a
            // process killed at any point still leaves a whole file.
            Exec("PRAGMA synchronous=NORMAL");
            // The monitor only appends: a small page cache keeps its memory
            // flat, and the write-ahead log is cut back after a checkpoint
            // that a long retention step made it outgrow.
            Exec("PRAGMA cache_size=-64");
            Exec("PRAGMA journal_size_limit=4194304");
            // Counts the pages each commit adds to the log, and checkpoints
            // as SQLite's own hook would.
            sqlite3_wal_hook(
                db_,
                [](void* self, sqlite3* db, const char* schema, int frames) {
                    auto* store = static_cast<THistoryStore*>(self);
                    store->walFrames_ += frames >= store->walLast_ ? frames - store->walLast_ : frames;
                    store->walLast_ = frames;
                    // The log starts over at the commit after a full checkpoint.
                    if (frames >= kCheckpointFrames)
                        sqlite3_wal_checkpoint_v2(db, schema, SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
                    return SQLITE_OK;
                },
                this);
        }
        Migrate();
        if (mode == Mode::Read && version_ < kOldestReadable && version_ != 0)
            throw EHistoryError(path_ + ": written by an older Sentrel; run the monitor once to update it");
    } catch (...) {
        sqlite3_close(db_);
        db_ = nullptr;
        throw;
    }
}

// The statements every pass runs, prepared once per connection.
struct THistoryStore::TWriter {
    explicit TWriter(sqlite3* db)
        : begin(db, "BEGIN IMMEDIATE"),
          insert(db,
                 "INSERT INTO checks(t,slot,host,up,reason,status,total_ms,cert_expiry,lookup_ms,connect_ms,"
                 "tls_ms,first_byte_ms) VALUES(?,?,?,?,?,?,?,?,?,?,?,?)"),
          commit(db, "COMMIT") {}
    Stmt begin, insert, commit;
};

THistoryStore::~THistoryStore() {
    writer_.reset();  // a connection with statements left does not close
    sqlite3_close(db_);
}

void THistoryStore::Fail(const std::string& what) {
    throw EHistoryError(path_ + ": " + what + ": " + sqlite3_errmsg(db_));
}

void THistoryStore::Exec(const char* sql) {
    if (sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) != SQLITE_OK) Fail("cannot use the history");
}

void THistoryStore::Migrate() {
    int tables = 0;
    bool versioned = false;
    {
        Stmt s(db_, "SELECT name FROM sqlite_master");
        if (!s.Ok()) Fail("cannot read the history");
        int rc;
        while ((rc = s.Step()) == SQLITE_ROW) {
            ++tables;
            if (s.Text(0) == "schema_version") versioned = true;
        }
        if (rc != SQLITE_DONE) Fail("cannot read the history");
    }
    if (tables > 0 && !versioned) throw EHistoryError(path_ + ": not a Sentrel history file; history is off");
    if (versioned) {
        Stmt s(db_, "SELECT max(version) FROM schema_version");
        if (!s.Ok() || s.Step() != SQLITE_ROW) Fail("cannot read the history's version");
        version_ = int(s.Int(0));
    }
    if (version_ > kSchemaVersion)
        throw EHistoryError(path_ + ": written by a newer Sentrel (history version " +
                            std::to_string(version_) + ", this one knows up to " +
                            std::to_string(kSchemaVersion) + "); history is off");
    if (version_ == kSchemaVersion || !write_) return;
    Exec("BEGIN IMMEDIATE");
    try {
        for (int v = version_; v < kSchemaVersion; ++v) Exec(kMigrations[v]);
        const std::string set = "UPDATE schema_version SET version=" + std::to_string(kSchemaVersion);
        Exec(set.c_str());
        Exec("COMMIT");
    } catch (...) {
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
    version_ = kSchemaVersion;
}

void THistoryStore::Record(const std::vector<TCheckRow>& pass) {
    if (pass.empty()) return;
    if (!writer_) {
        auto writer = std::make_unique<TWriter>(db_);
        if (!writer->begin.Ok() || !writer->insert.Ok() || !writer->commit.Ok())
            Fail("cannot write the history");
        writer_ = std::move(writer);
    }
    Stmt& ins = writer_->insert;
    const int began = writer_->begin.Step();
    writer_->begin.Reset();
    if (began != SQLITE_DONE) Fail("cannot write the history");
    try {
        for (const TCheckRow& r : pass) {
            ins.Bind(1, r.Time);
            ins.Bind(2, std::int64_t(r.Slot));
            ins.Bind(3, r.Host);
            ins.Bind(4, std::int64_t(r.Up ? 1 : 0));
            if (!r.Reason.empty()) ins.Bind(5, BoundReason(r.Reason));
            ins.Bind(6, std::int64_t(r.StatusCode));
            ins.Bind(7, r.TotalMs);
            if (r.CertExpiry != 0) ins.Bind(8, r.CertExpiry);
            ins.Bind(9, r.LookupMs);
            ins.Bind(10, r.ConnectMs);
            ins.Bind(11, r.TlsMs);
            ins.Bind(12, r.FirstByteMs);
            const int rc = ins.Step();
            ins.Reset();
            if (rc != SQLITE_DONE) Fail("cannot write the history");
        }
        const int committed = writer_->commit.Step();
        writer_->commit.Reset();
        if (committed != SQLITE_DONE) Fail("cannot write the history");
    } catch (...) {
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
}

std::int64_t THistoryStore::LastPruned() {
    Stmt s(db_, "SELECT value FROM meta WHERE key='last_pruned'");
    if (!s.Ok()) Fail("cannot read the history");
    return s.Step() == SQLITE_ROW ? s.Int(0) : 0;
}

void THistoryStore::SetLastPruned(std::int64_t when) {
    Stmt s(db_, "INSERT OR REPLACE INTO meta(key,value) VALUES('last_pruned',?)");
    if (!s.Ok()) Fail("cannot write the history");
    s.Bind(1, when);
    if (s.Step() != SQLITE_DONE) Fail("cannot write the history");
}

bool THistoryStore::PruneStep(std::int64_t now) {
    const std::int64_t rawCutoff = now - kRawKeep;
    // The oldest raw rows in the order they were written, each folded into
    // its own hour, up to the first row whose hour has not aged out whole
    // (its hourly row would not be final) or kFoldRows rows. The reason is
    // never read: hourly rows keep none.
    struct TFold {
        int slot = 0;
        std::int64_t checks = 0, failures = 0;
        std::vector<double> ms;
    };
    std::map<std::pair<std::int64_t, std::string>, TFold> folds;
    std::int64_t first = 0, last = 0;
    {
        Stmt s(db_, "SELECT rowid,t,slot,host,up,total_ms FROM checks ORDER BY rowid LIMIT ?");
        if (!s.Ok()) Fail("cannot read the history");
        s.Bind(1, std::int64_t(kFoldRows));
        int rc, n = 0;
        std::string host;
        while ((rc = s.Step()) == SQLITE_ROW) {
            const std::int64_t t = s.Int(1);
            const std::int64_t hour = t - ((t % kHour) + kHour) % kHour;
            if (hour + kHour > rawCutoff) break;
            if (n++ == 0) first = s.Int(0);
            last = s.Int(0);
            s.TextInto(3, host);
            TFold& f = folds[{hour, host}];
            f.slot = int(s.Int(2));
            ++f.checks;
            // Times are those of answers: a failure's time is mostly its time-out.
            if (s.Int(4) == 0)
                ++f.failures;
            else
                f.ms.push_back(s.Real(5));
        }
        if (rc != SQLITE_ROW && rc != SQLITE_DONE) Fail("cannot read the history");
    }
    if (!folds.empty()) {
        // An hour folded in more than one step merges: counts add up, the
        // average is weighted by answers, the 95th percentile is the larger.
        Stmt ins(db_,
                 "INSERT INTO hourly(hour,host,slot,checks,failures,min_ms,avg_ms,max_ms,p95_ms)"
                 " VALUES(?,?,?,?,?,?,?,?,?) ON CONFLICT(hour,host) DO UPDATE SET"
                 " avg_ms=(coalesce(avg_ms,0)*(checks-failures)+"
                 "coalesce(excluded.avg_ms,0)*(excluded.checks-excluded.failures))"
                 "/max(1,checks-failures+excluded.checks-excluded.failures),"
                 " min_ms=coalesce(min(min_ms,excluded.min_ms),min_ms,excluded.min_ms),"
                 " max_ms=coalesce(max(max_ms,excluded.max_ms),max_ms,excluded.max_ms),"
                 " p95_ms=coalesce(max(p95_ms,excluded.p95_ms),p95_ms,excluded.p95_ms),"
                 " checks=checks+excluded.checks, failures=failures+excluded.failures");
        Stmt del(db_, "DELETE FROM checks WHERE rowid>=? AND rowid<=?");
        if (!ins.Ok() || !del.Ok()) Fail("cannot prune the history");
        Exec("BEGIN IMMEDIATE");
        try {
            for (auto& [key, f] : folds) {
                const THourRow h = FoldTimes(key.first, f.checks, f.failures, f.ms);
                ins.Bind(1, h.Hour);
                ins.Bind(2, key.second);
                ins.Bind(3, std::int64_t(f.slot));
                ins.Bind(4, h.Checks);
                ins.Bind(5, h.Failures);
                if (h.Checks > h.Failures) {
                    ins.Bind(6, h.MinMs);
                    ins.Bind(7, h.AvgMs);
                    ins.Bind(8, h.MaxMs);
                    ins.Bind(9, h.P95Ms);
                }
                if (ins.Step() != SQLITE_DONE) Fail("cannot prune the history");
                ins.Reset();
            }
            del.Bind(1, first);
            del.Bind(2, last);
            if (del.Step() != SQLITE_DONE) Fail("cannot prune the history");
            Exec("COMMIT");
        } catch (...) {
            sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
            throw;
        }
        return true;
    }
    Stmt del(db_,
             "DELETE FROM hourly WHERE (hour,host) IN"
             " (SELECT hour,host FROM hourly WHERE hour<? ORDER BY hour LIMIT ?)");
    if (!del.Ok()) Fail("cannot prune the history");
    del.Bind(1, now - kHourlyKeep);
    del.Bind(2, std::int64_t(kForgetRows));
    if (del.Step() != SQLITE_DONE) Fail("cannot prune the history");
    return sqlite3_changes(db_) == kForgetRows;
}

std::int64_t THistoryStore::FirstRowidFrom(std::int64_t t) {
    // Rows are appended in time order, so the rowids whose rows are at or
    // after t are a tail of the table: a binary search over the rowids
    // (with gaps where rows were folded away) finds where it starts.
    Stmt at(db_, "SELECT rowid,t FROM checks WHERE rowid>=? ORDER BY rowid LIMIT 1");
    Stmt end(db_, "SELECT max(rowid) FROM checks");
    if (!at.Ok() || !end.Ok() || end.Step() != SQLITE_ROW) Fail("cannot read the history");
    std::int64_t lo = 0, hi = end.Int(0) + 1;  // the answer is in [lo, hi]
    while (lo < hi) {
        const std::int64_t mid = lo + (hi - lo) / 2;
        at.Reset();
        at.Bind(1, mid);
        const int rc = at.Step();
        if (rc == SQLITE_DONE) {
            hi = mid;
        } else if (rc != SQLITE_ROW) {
            Fail("cannot read the history");
        } else if (at.Int(1) >= t) {
            hi = mid;  // here or before: no row between mid and this one
        } else {
            lo = at.Int(0) + 1;
        }
    }
    return lo;
}

std::vector<TCheckRow> THistoryStore::Checks(std::int64_t from, std::int64_t to, const std::string& host) {
    std::vector<TCheckRow> out;
    ForEachCheck(from, to, host, [&out](const TCheckRow& r) { out.push_back(r); });
    return out;
}

void THistoryStore::ForEachCheck(std::int64_t from, std::int64_t to, const std::string& host,
                                 const std::function<void(const TCheckRow&)>& row, bool outcomesOnly) {
    if (version_ == 0) return;
    // Rows are read straight along the table from the first one in the
    // range, in the order the passes wrote them (which is time order unless
    // the clock was set back).
    const std::string sql =
        std::string(outcomesOnly ? "SELECT t,slot,host,up,reason,0,total_ms"
                                 : "SELECT t,slot,host,up,reason,status,total_ms,cert_expiry,lookup_ms,"
                                   "connect_ms,tls_ms,first_byte_ms") +
        " FROM checks WHERE rowid>=?4 AND t>=?1 AND t<?2 AND (?3='' OR host=?3) ORDER BY rowid";
    const std::int64_t start = FirstRowidFrom(from);
    Stmt s(db_, sql.c_str());
    if (!s.Ok()) Fail("cannot read the history");
    s.Bind(4, start);
    s.Bind(1, from);
    s.Bind(2, to);
    s.Bind(3, host);
    int rc;
    auto opt = [&s](int i) { return s.Null(i) ? std::nullopt : std::optional<double>(s.Real(i)); };
    TCheckRow r;
    while ((rc = s.Step()) == SQLITE_ROW) {
        ReadOutcome(s, r);
        if (!outcomesOnly) {
            r.StatusCode = int(s.Int(5));
            r.CertExpiry = s.Int(7);
            r.LookupMs = opt(8);
            r.ConnectMs = opt(9);
            r.TlsMs = opt(10);
            r.FirstByteMs = opt(11);
        }
        row(r);
    }
    if (rc != SQLITE_DONE) Fail("cannot read the history");
}

void THistoryStore::ForEachLatest(const std::function<bool(const TCheckRow&)>& row) {
    if (version_ == 0) return;
    // Rows are appended in time order: the newest are the last rowids.
    Stmt s(db_, "SELECT t,slot,host,up,reason,status,total_ms FROM checks ORDER BY rowid DESC");
    if (!s.Ok()) Fail("cannot read the history");
    int rc;
    TCheckRow r;
    while ((rc = s.Step()) == SQLITE_ROW) {
        ReadOutcome(s, r);
        r.StatusCode = int(s.Int(5));
        if (!row(r)) return;
    }
    if (rc != SQLITE_DONE) Fail("cannot read the history");
}

std::vector<THourRow> THistoryStore::Hours(std::int64_t from, std::int64_t to, const std::string& host) {
    std::vector<THourRow> out;
    if (version_ == 0) return out;
    Stmt s(db_,
           "SELECT hour,host,slot,checks,failures,min_ms,avg_ms,max_ms,p95_ms FROM hourly"
           " WHERE hour>=? AND hour<? AND (?='' OR host=?) ORDER BY hour, host");
    if (!s.Ok()) Fail("cannot read the history");
    s.Bind(1, from);
    s.Bind(2, to);
    s.Bind(3, host);
    s.Bind(4, host);
    int rc;
    while ((rc = s.Step()) == SQLITE_ROW) {
        THourRow h;
        h.Hour = s.Int(0);
        h.Host = s.Text(1);
        h.Slot = int(s.Int(2));
        h.Checks = s.Int(3);
        h.Failures = s.Int(4);
        h.MinMs = s.Real(5);
        h.AvgMs = s.Real(6);
        h.MaxMs = s.Real(7);
        h.P95Ms = s.Real(8);
        out.push_back(std::move(h));
    }
    if (rc != SQLITE_DONE) Fail("cannot read the history");
    return out;
}

std::vector<THistoryStore::TCount> THistoryStore::Counts(const std::vector<std::int64_t>& starts) {
    std::vector<TCount> out;
    if (version_ == 0 || starts.empty()) return out;
    // ?1 is the oldest start; ?2... each start, summed over one scan.
    std::string sql = "SELECT host, max(slot)";
    for (std::size_t i = 0; i < starts.size(); ++i) {
        std::string p(1, '?');
        p += std::to_string(i + 2);
        sql += ", sum(n*(s>=" + p + ")), sum(f*(s>=" + p + "))";
    }
    sql +=
        " FROM (SELECT host, slot, hour AS s, checks AS n, failures AS f FROM hourly WHERE hour>=?1"
        " UNION ALL SELECT host, slot, t, 1, up=0 FROM checks WHERE rowid>=?" +
        std::to_string(starts.size() + 2) +
        " AND t>=?1)"
        " GROUP BY host ORDER BY max(slot), host";
    const std::int64_t oldest = *std::min_element(starts.begin(), starts.end());
    const std::int64_t start = FirstRowidFrom(oldest);
    Stmt s(db_, sql.c_str());
    if (!s.Ok()) Fail("cannot read the history");
    s.Bind(1, oldest);
    s.Bind(int(starts.size()) + 2, start);
    for (std::size_t i = 0; i < starts.size(); ++i) s.Bind(int(i) + 2, starts[i]);
    int rc;
    while ((rc = s.Step()) == SQLITE_ROW) {
        TCount c{s.Text(0), int(s.Int(1)), {}};
        for (std::size_t i = 0; i < starts.size(); ++i)
            c.Since.push_back({s.Int(2 + 2 * int(i)), s.Int(3 + 2 * int(i))});
        out.push_back(std::move(c));
    }
    if (rc != SQLITE_DONE) Fail("cannot read the history");
    return out;
}

std::string THistoryStore::IntegrityCheck() {
    Stmt s(db_, "PRAGMA integrity_check");
    if (!s.Ok()) return sqlite3_errmsg(db_);
    std::string out;
    while (s.Step() == SQLITE_ROW) {
        if (!out.empty()) out += '\n';
        out += s.Text(0);
    }
    return out;
}

}  // namespace history
