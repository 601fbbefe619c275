// Alerting through the controller: retries between passes, reminders, quiet
// hours (on a clock the test moves), the state read back from the history
// at a restart, alerting settings refused at start, and the quiet-hours
// reader itself.
#include <chrono>
#include <cstdlib>
#include <ctime>

#include "AppFakes.h"
#include "app/core/AlertState.h"
#include "app/core/HistoryRecorder.h"
#include "app/core/qz1.h"
#include "platform/MessageLoop.h"

using Lines = std::vector<std::string>;

namespace {

std::string Ini(const std::string& extra) {
    return "[main]\r\nserver1name=a\r\nserver1active=1\r\nhistory=\r\n" + extra;
}

struct Monitor {
    RecordingView view;
    app::TServerForm settings;
    ScriptedGetter http;
    app::TQzController c{view, settings, http};
    std::int64_t now = 0;
    explicit Monitor(bool clock = true) {
        if (clock) c.Clock = [this] { return now; };
        c.FormCreate();
    }
    void Pass(bool up) {
        http.answers["a"] = {up ? "x" : "", !up, "Not Found"};
        c.CheckPool();
    }
};

// Seconds since the epoch of a UTC day and time; the tests run in UTC.
std::int64_t At(int day, int hour, int minute) {
    return 1764547200 + day * 86400 + hour * 3600 + minute * 60;  // day 0: Monday 2025-12-01
}

struct Utc {
    std::string old;
    bool had = false;
    Utc() {
        if (const char* tz = std::getenv("TZ")) had = true, old = tz;
        setenv("TZ", "UTC", 1);
        tzset();
    }
    ~Utc() {
        if (had)
            setenv("TZ", old.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }
};

const std::string kDown = "1 host down: a: Not Found";

}  // namespace

// retry=1 under a 30 s cycle: the host is checked again every second until
// failures=3 confirm it, each retry with its usual lines and no summary.
TEST(Alerts, RetryConfirmsAFailureWithinSecondsWithItsLinesAndNoSummary) {
    WorkDir d;
    PutFile("sentrel.ini", Ini("frequency=30\r\nfailures=3\r\nretry=1\r\n"));
    Monitor m(false);
    std::vector<app::TPassOutcome> retried;
    m.c.OnRetryOutcome = [&](const app::TPassOutcome& p) { retried.push_back(p); };
    m.c.FormShow();
    m.c.MonitorButtonClick();
    const auto started = std::chrono::steady_clock::now();
    m.Pass(false);
    while (m.view.changes.size() < 2 && std::chrono::steady_clock::now() - started < std::chrono::seconds(6))
        if (!platform::ProcessMessages()) platform::WaitMessage(20);
    const auto took = std::chrono::steady_clock::now() - started;
    EXPECT_EQ(m.view.changes, (Lines{"", kDown}));
    EXPECT_LT(took, std::chrono::milliseconds(3500));
    EXPECT_EQ(m.http.asked, (Lines{"a", "a", "a"}));
    Lines lines = LogLines();
    EXPECT_EQ(Lines(lines.end() - 4, lines.end()),
              (Lines{"!Error accessing host: a", "?At least one connection failed!",
                     "!Error accessing host: a", "!Error accessing host: a"}));
    EXPECT_EQ(std::count(m.view.statusHistory.begin(), m.view.statusHistory.end(), "Checking \"a\" Now"), 3);
    // Once confirmed there is nothing to retry: the next check is the pass's.
    const std::size_t asked = m.http.asked.size();
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(1300);
    while (std::chrono::steady_clock::now() < until)
        if (!platform::ProcessMessages()) platform::WaitMessage(20);
    EXPECT_EQ(m.http.asked.size(), asked);
    // Each retry goes to the history as a pass of its own host.
    ASSERT_EQ(retried.size(), 2u);
    EXPECT_EQ(retried[1].Hosts.size(), 1u);
    EXPECT_TRUE(retried[1].Hosts[0].Down);
    EXPECT_FALSE(retried[0].Hosts[0].Down);
    // The next pass is a whole one again, with its summary.
    m.Pass(false);
    EXPECT_EQ(LogLines().back(), "?At least one connection failed!");
    m.c.FormClose();
}

// A retry that finds the host back ends the retries and tells nothing; a
// retry that comes due while a pass runs leaves the host to that pass.
TEST(Alerts, RetriesEndWhenTheHostIsBackAndNeverRunInsideAPass) {
    WorkDir d;
    PutFile("sentrel.ini", Ini("frequency=30\r\nfailures=3\r\nretry=1\r\n"));
    Monitor m(false);
    m.c.FormShow();
    m.c.MonitorButtonClick();
    auto pump = [](int ms) {
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (std::chrono::steady_clock::now() < until)
            if (!platform::ProcessMessages()) platform::WaitMessage(20);
    };
    m.Pass(false);
    m.http.answers["a"] = {"x", false};
    pump(2300);
    EXPECT_EQ(m.http.asked, (Lines{"a", "a"}));  // one retry, then none
    EXPECT_EQ(m.view.changes, (Lines{""}));
    // The retry's time comes while the next pass waits for its host.
    m.Pass(false);
    bool waited = false;
    m.http.during = [&](const std::string&) {
        if (waited) return;
        waited = true;
        pump(1300);
        m.c.LoopTimerTimer();  // and a tick inside the pass is no pass of its own
    };
    m.Pass(false);
    EXPECT_EQ(m.http.asked, (Lines{"a", "a", "a", "a"}));
    pump(1300);  // the one retry due, confirming the host, and nothing after it
    EXPECT_EQ(m.http.asked, (Lines{"a", "a", "a", "a", "a"}));
    EXPECT_EQ(m.view.changes, (Lines{"", "", "", kDown}));
    m.c.FormClose();
}

// A tick of the cycle that comes during a retry runs its pass right after
// the retry, never inside it.
TEST(Alerts, ATickDuringARetryRunsItsPassAfterIt) {
    WorkDir d;
    PutFile("sentrel.ini",
            "[main]\r\nserver1name=a\r\nserver1active=1\r\nserver2name=b\r\nserver2active=1\r\n"
            "history=\r\nfailures=3\r\nretry=1\r\n");
    Monitor m(false);
    m.c.FormShow();
    m.c.MonitorButtonClick();
    m.http.answers["b"] = {"x", false};
    bool ticked = false;
    m.http.during = [&](const std::string&) {
        if (m.http.asked.size() == 3 && !ticked) {
            ticked = true;
            m.c.LoopTimerTimer();
        }
    };
    m.Pass(false);
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (m.view.changes.size() < 2 && std::chrono::steady_clock::now() < until)
        if (!platform::ProcessMessages()) platform::WaitMessage(20);
    EXPECT_EQ(m.http.asked, (Lines{"a", "b", "a", "a", "b"}));
    EXPECT_EQ(m.view.changes, (Lines{"", kDown}));
    Lines lines = LogLines();
    EXPECT_EQ(
        Lines(lines.end() - 6, lines.end()),
        (Lines{"!Error accessing host: a", " Checking \"b\" Now", "!Error accessing host: a",
               " Checking \"b\" Now", ">Successful connection to: b", "?At least one connection failed!"}));
    m.c.FormClose();
}

// A reminder comes every remind minutes while the host stays down, saying
// for how long, and stops once it is up.
TEST(Alerts, ReminderRepeatsWhileDownAndStopsWhenUp) {
    WorkDir d;
    PutFile("sentrel.ini", Ini("remind=10\r\n"));
    Monitor m;
    m.c.FormShow();
    m.now = At(0, 12, 0);
    m.Pass(false);
    const std::pair<int, const char*> ticks[] = {
        {599, ""},  // a second early
        {600, "1 host still down: a: Not Found (down for 10 min)"},
        {600, ""},  // sent already
        {1199, ""},
        {1200, "1 host still down: a: Not Found (down for 20 min)"},
        {4800, "1 host still down: a: Not Found (down for 1 h 20 min)"},
    };
    Lines expected{kDown};
    for (const auto& [after, line] : ticks) {
        m.now = At(0, 12, 0) + after;
        m.c.AlertTick();
        if (*line) expected.push_back(line);
    }
    m.Pass(true);
    expected.push_back("All hosts up again");
    m.now += 3600;
    m.c.AlertTick();
    EXPECT_EQ(m.view.changes, expected);
}

// Quiet hours hold what would be sent (and log it); at their end what
// differs from what was last sent goes out once.
TEST(Alerts, QuietHoursHoldChangesAndSendOnceAtTheirEnd) {
    Utc utc;
    struct Step {
        std::int64_t time;
        char what;  // x: a failing pass, o: a good pass, t: a tick between passes
    };
    struct Row {
        const char* what;
        std::vector<Step> steps;
        Lines told;  // the changes sent, in order
    };
    const Row rows[] = {
        {"down in quiet hours is sent at their end, once",
         {{At(0, 23, 0), 'x'}, {At(1, 5, 59), 't'}, {At(1, 6, 0), 't'}, {At(1, 6, 1), 't'}},
         {kDown}},
        {"down and up again inside is never sent",
         {{At(0, 23, 0), 'x'}, {At(0, 23, 30), 'o'}, {At(1, 6, 0), 't'}},
         {}},
        {"up inside after a down sent before",
         {{At(0, 21, 0), 'x'}, {At(0, 23, 0), 'o'}, {At(1, 6, 0), 't'}},
         {kDown, "All hosts up again"}},
        {"a pass after the end sends it too", {{At(0, 23, 0), 'x'}, {At(1, 6, 30), 'x'}}, {kDown}},
        {"no reminder inside", {{At(0, 21, 0), 'x'}, {At(0, 23, 0), 't'}, {At(1, 1, 0), 't'}}, {kDown}},
    };
    for (const Row& r : rows) {
        WorkDir d;
        PutFile("sentrel.ini", Ini("quiet=* 22:00-06:00\r\nremind=60\r\n"));
        Monitor m;
        m.c.FormShow();
        for (const Step& s : r.steps) {
            m.now = s.time;
            if (s.what == 't')
                m.c.AlertTick();
            else
                m.Pass(s.what == 'o');
        }
        Lines told;
        for (const auto& c : m.view.changes)
            if (!c.empty()) told.push_back(c);
        EXPECT_EQ(told, r.told) << r.what;
    }
    // What was held is in the log, and the metrics say the pass was quiet.
    WorkDir d;
    PutFile("sentrel.ini", Ini("quiet=* 22:00-06:00\r\n"));
    Monitor m;
    m.c.FormShow();
    m.now = At(2, 22, 0);
    m.Pass(false);
    EXPECT_EQ(LogLines().back(), "?Quiet hours, not sent: " + kDown);
    EXPECT_TRUE(m.c.LastPass()->Quiet);
    EXPECT_TRUE(m.c.LastPass()->Hosts[0].Down);
}

// With the history on, a restart carries on from the checks it recorded:
// a host down before is not told again, and its recovery is not lost; a
// failure short of the threshold still counts.
TEST(Alerts, StateIsReadBackFromTheHistoryAtRestart) {
    struct Row {
        const char* what;
        std::string before, after;  // passes of each run: x fails, o passes
        Lines told;                 // by the second run
    };
    const Row rows[] = {
        {"down before, still down", "xx", "x", {""}},
        {"down before, up now", "xx", "o", {"All hosts up again"}},
        {"one failure before, the second now", "x", "x", {kDown}},
        {"recovered before", "xxo", "x", {""}},
    };
    for (const Row& r : rows) {
        WorkDir d;
        PutFile("sentrel.ini",
                "[main]\r\nserver1name=a\r\nserver1active=1\r\nhistory=h.db\r\nfailures=2\r\n");
        for (const std::string* passes : {&r.before, &r.after}) {
            Monitor m(false);
            app::THistoryRecorder history;
            m.c.RestoreState = true;
            m.c.OnPassOutcome = [&](const app::TPassOutcome& p) { history.Record(p, m.settings); };
            m.c.FormShow();
            for (char p : *passes) m.Pass(p == 'o');
            if (passes == &r.after) {
                EXPECT_EQ(m.view.changes, r.told) << r.what;
            }
        }
    }
}

// Alerting settings that cannot be read stop the start with the key and its place.
TEST(Alerts, UnreadableSettingsAreRefusedAtStartWithTheirPlace) {
    struct Row {
        std::string extra;
        const char* error;  // "" for a start that works
    };
    const Row rows[] = {
        {"failures=100\r\nrecoveries=1\r\nretry=30\r\nremind=0\r\n", ""},
        {"failures=1\r\nrecoveries=100\r\n[server2]\r\nfailures=1\r\nrecoveries=100\r\n", ""},
        {"failures=0\r\n", "failures in sentrel.ini: \"0\" is not a number from 1 to 100"},
        {"recoveries=101\r\n", "recoveries in sentrel.ini: \"101\" is not a number from 1 to 100"},
        {"[server1]\r\nfailures=two\r\n", "failures in [server1] of sentrel.ini: \"two\" is not"},
        {"retry=31\r\n",
         "retry in sentrel.ini: \"31\" is not a number of seconds from 1 to the cycle time (30)"},
        {"remind=-5\r\n", "remind in sentrel.ini: \"-5\" is not"},
        {"quiet=Mon-Fri 22:00-06:00, Sun 2:00-4:00\r\n", "quiet in sentrel.ini: entry 2 \"Sun 2:00-4:00\""},
        {"webhook3=ftp://h.invalid/secret\r\n", "webhook3 in sentrel.ini: not http or https"},
        {"webhookformat=teams\r\n", "webhookformat in sentrel.ini: \"teams\" is not json, slack"},
    };
    for (const Row& r : rows) {
        WorkDir d;
        PutFile("sentrel.ini", Ini(r.extra));
        Monitor m;
        std::string error;
        try {
            m.c.FormShow();
        } catch (const std::exception& e) {
            error = e.what();
        }
        if (*r.error == 0)
            EXPECT_EQ(error, "") << r.extra;
        else
            EXPECT_EQ(error.rfind(r.error, 0), 0u) << r.extra << " gave " << error;
        EXPECT_EQ(error.find("secret"), std::string::npos);
    }
}

TEST(Alerts, QuietHoursAreReadAndMatchedInLocalTime) {
    struct Row {
        const char* text;
        int wday, hour, minute;
        bool quiet;
    };
    const Row rows[] = {
        {"Mon-Fri 22:00-06:00", 5, 23, 0, true},    // Friday night
        {"Mon-Fri 22:00-06:00", 6, 5, 59, true},    // the morning after Friday
        {"Mon-Fri 22:00-06:00", 6, 6, 0, false},    // the end is not inside
        {"Mon-Fri 22:00-06:00", 6, 22, 0, false},   // Saturday is not listed
        {"Mon-Fri 22:00-06:00", 1, 5, 0, false},    // nor was the Sunday before
        {"Mon-Fri 22:00-06:00", 1, 21, 59, false},  // a minute before the start
        {"mon-fri 22:00-06:00", 1, 22, 0, true},
        {"Fri-Mon 09:00-17:00", 0, 9, 0, true},  // a range past Sunday
        {"Fri-Mon 09:00-17:00", 2, 9, 0, false},
        {"* 12:00-24:00", 3, 23, 59, true},
        {"Sun 02:00-04:00, Wed 10:00-11:00", 3, 10, 30, true},
    };
    for (const Row& r : rows) {
        app::TQuietHours q;
        ASSERT_EQ(app::ParseQuietHours(r.text, q), "") << r.text;
        std::tm t{};
        t.tm_wday = r.wday;
        t.tm_hour = r.hour;
        t.tm_min = r.minute;
        t.tm_year = 125;
        t.tm_mon = 11;
        t.tm_mday = 24;
        EXPECT_EQ(q.At(t), r.quiet) << r.text << " " << r.wday << " " << r.hour << ":" << r.minute;
    }
    app::TQuietHours date;
    ASSERT_EQ(app::ParseQuietHours("2025-12-24", date), "");
    std::tm t{};
    t.tm_year = 125, t.tm_mon = 11, t.tm_mday = 24, t.tm_hour = 23;
    EXPECT_TRUE(date.At(t));
    t.tm_mday = 25, t.tm_hour = 0;
    EXPECT_FALSE(date.At(t));
    const std::pair<const char*, const char*> bad[] = {
        {"Mon-Fry 22:00-06:00", "entry 1 \"Mon-Fry 22:00-06:00\": unknown day \"Fry\""},
        {"Mon 22:00", "entry 1 \"Mon 22:00\": expected HH:MM-HH:MM after the days"},
        {"* 24:00-06:00", "entry 1 \"* 24:00-06:00\": expected HH:MM-HH:MM after the days"},
        {"* 10:60-11:00", "entry 1 \"* 10:60-11:00\": expected HH:MM-HH:MM after the days"},
        {"* 10:00-10:00", "entry 1 \"* 10:00-10:00\": the span is empty"},
        {"2026-02-29", "entry 1 \"2026-02-29\": no such date"},
        {"Sun 02:00-04:00,", "entry 2 \"\": empty entry"},
        {"22:00-06:00", "entry 1 \"22:00-06:00\": expected DAYS HH:MM-HH:MM or YYYY-MM-DD"},
    };
    for (const auto& [text, error] : bad) {
        app::TQuietHours q;
        EXPECT_EQ(app::ParseQuietHours(text, q), error);
        EXPECT_TRUE(q.Empty()) << text;
    }
}
