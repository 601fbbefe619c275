// The report's numbers against a history built by hand: outages as runs of
// failed checks (and of failed hours once raw rows are gone), uptime, the
// response-time percentiles, buckets for the chart, and the two renderings.
#include <unistd.h>

#include <gtest/gtest.h>
#include <filesystem>

#include "history/HistoryQuery.h"
#include "history/HistoryReport.h"

namespace fs = std::filesystem;
using namespace history;

namespace {

constexpr std::int64_t kT = 1'800'000'000;

TCheckRow Row(std::int64_t t, bool up, double ms, const std::string& reason = "") {
    TCheckRow r;
    r.Time = t;
    r.Slot = 3;
    r.Host = "http://a.invalid/";
    r.Up = up;
    r.Reason = reason;
    r.TotalMs = ms;
    return r;
}

struct HandBuilt : ::testing::Test {
    std::string path = "/tmp/sentrel-report-" + std::to_string(::getpid()) + ".db";
    std::unique_ptr<THistoryStore> store;
    void SetUp() override {
        fs::remove(path);
        store = std::make_unique<THistoryStore>(path, THistoryStore::Mode::Write);
    }
    void TearDown() override {
        store.reset();
        for (const char* suffix : {"", "-wal", "-shm"}) fs::remove(path + suffix);
    }
};

}  // namespace

TEST_F(HandBuilt, OutagesAreRunsOfFailedChecksEndingAtTheNextAnswer) {
    // up, down, down, up, up, down (still down at the end)
    store->Record({Row(kT, true, 10)});
    store->Record({Row(kT + 30, false, 10000, "Connection refused (#10061)")});
    store->Record({Row(kT + 60, false, 10000, "Timed out")});
    store->Record({Row(kT + 90, true, 30)});
    store->Record({Row(kT + 120, true, 20)});
    store->Record({Row(kT + 150, false, 0, "Bad status 503")});
    auto hosts = ReadHistory(*store, {kT, kT + 180, 60, {kT + 90}});
    ASSERT_EQ(hosts.size(), 1u);
    const THostHistory& h = hosts[0];
    EXPECT_EQ(h.Slot, 3);
    EXPECT_EQ(h.Checks, 6);
    EXPECT_EQ(h.Failures, 3);
    EXPECT_DOUBLE_EQ(h.UptimePercent(), 50);
    ASSERT_EQ(h.Outages.size(), 2u);
    EXPECT_EQ(h.Outages[0].Start, kT + 30);
    EXPECT_EQ(h.Outages[0].End, kT + 90);
    EXPECT_EQ(h.Outages[0].Reason, "Connection refused (#10061)");
    EXPECT_FALSE(h.Outages[0].Ongoing);
    EXPECT_TRUE(h.Outages[1].Ongoing);
    EXPECT_EQ(h.LongestOutage(), 60);
    // Times are those of answers: 10, 20, 30.
    EXPECT_DOUBLE_EQ(h.MinMs, 10);
    EXPECT_DOUBLE_EQ(h.MedianMs, 20);
    EXPECT_DOUBLE_EQ(h.P95Ms, 30);
    EXPECT_DOUBLE_EQ(h.MaxMs, 30);
    // Buckets of a minute: [T, T+60) [T+60, T+120) [T+120, T+180).
    ASSERT_EQ(h.Buckets.size(), 3u);
    EXPECT_EQ(h.Buckets[0].Checks, 2);
    EXPECT_EQ(h.Buckets[0].Failures, 1);
    EXPECT_DOUBLE_EQ(h.Buckets[0].AvgMs, 10);
    EXPECT_EQ(h.Buckets[1].Answers, 1);
    EXPECT_DOUBLE_EQ(h.Buckets[1].AvgMs, 30);
    EXPECT_DOUBLE_EQ(h.Buckets[2].AvgMs, 20);
    // Since T+90: up, up, down.
    EXPECT_EQ(h.Windows[0], std::make_pair(std::int64_t(3), std::int64_t(1)));
}

TEST_F(HandBuilt, HoursWithFailuresInARowAreOneOutageOnceRawRowsAreGone) {
    const std::int64_t old = kT - THistoryStore::kRawKeep - 10 * 3600;
    // Hours 0..3: 0 up, 1 and 2 with failures, 3 up.
    for (int hour = 0; hour < 4; ++hour)
        for (int i = 0; i < 4; ++i)
            store->Record(
                {Row(old + hour * 3600 + i * 60, !(hour == 1 || hour == 2) || i > 0, 10.0 * (hour + 1))});
    while (store->PruneStep(kT)) {
    }
    ASSERT_EQ(store->Hours(0, kT).size(), 4u);
    store->Record({Row(kT - 60, true, 50)});
    auto hosts = ReadHistory(*store, {old, kT, 0, {}});
    ASSERT_EQ(hosts.size(), 1u);
    const THostHistory& h = hosts[0];
    EXPECT_EQ(h.Checks, 17);
    EXPECT_EQ(h.Failures, 2);
    ASSERT_EQ(h.Outages.size(), 1u);
    EXPECT_TRUE(h.Outages[0].Hourly);
    EXPECT_EQ(h.Outages[0].Start, old + 3600);
    EXPECT_EQ(h.Outages[0].End, old + 3 * 3600);
    // Answers: 4 at 10 ms, 3 at 20, 3 at 30, 4 at 40, 1 at 50: median 30 (the
    // 8th of 15), p95 40 (hourly p95s), max 50.
    EXPECT_DOUBLE_EQ(h.MinMs, 10);
    EXPECT_DOUBLE_EQ(h.MedianMs, 30);
    EXPECT_DOUBLE_EQ(h.MaxMs, 50);
    EXPECT_DOUBLE_EQ(h.P95Ms, 50);
}

// Hours apart (the monitor stopped in between) are two outages; a bucket's
// average weighs each hour by its answers; an outage in the last hour of a
// range that ends in hourly rows is over, not ongoing.
TEST_F(HandBuilt, HourlyRowsKeepTheirGapsWeightsAndEnds) {
    const std::int64_t old = kT - THistoryStore::kRawKeep - 10 * 3600;
    store->Record({Row(old, true, 10)});
    store->Record({Row(old + 3600, false, 0, "x")});
    store->Record({Row(old + 3700, true, 30)});
    // No rows in the third hour.
    store->Record({Row(old + 3 * 3600, false, 0, "y")});
    store->Record({Row(old + 3 * 3600 + 60, true, 40)});
    store->Record({Row(old + 3 * 3600 + 120, true, 40)});
    store->Record({Row(old + 3 * 3600 + 180, true, 40)});
    while (store->PruneStep(kT)) {
    }
    auto hosts = ReadHistory(*store, {old, old + 4 * 3600, 4 * 3600, {}});
    ASSERT_EQ(hosts.size(), 1u);
    const THostHistory& h = hosts[0];
    ASSERT_EQ(h.Outages.size(), 2u);
    EXPECT_EQ(h.Outages[0].End, old + 2 * 3600);
    EXPECT_EQ(h.Outages[1].Start, old + 3 * 3600);
    EXPECT_FALSE(h.Outages[1].Ongoing);
    ASSERT_EQ(h.Buckets.size(), 1u);
    EXPECT_EQ(h.Buckets[0].Answers, 5);
    EXPECT_DOUBLE_EQ(h.Buckets[0].AvgMs, (10 + 30 + 3 * 40) / 5.0);
}

TEST_F(HandBuilt, ReportTextAndJsonSayTheSame) {
    store->Record({Row(kT, true, 10)});
    store->Record({Row(kT + 30, false, 0, "Timed \"out\"")});
    store->Record({Row(kT + 60, true, 20)});
    auto hosts = ReadHistory(*store, {kT, kT + 90, 0, {}});
    const std::string json = ReportJson(hosts, kT, kT + 90);
    EXPECT_EQ(json,
              "{\"from\":\"2027-01-15T08:00:00Z\",\"to\":\"2027-01-15T08:01:30Z\",\"hosts\":[{\"slot\":3,"
              "\"host\":\"http://a.invalid/\",\"checks\":3,\"failures\":1,\"uptime_percent\":66.667,"
              "\"outages\":{\"count\":1,\"longest_seconds\":30,\"last\":{\"start\":\"2027-01-15T08:00:30Z\","
              "\"end\":\"2027-01-15T08:01:00Z\",\"ongoing\":false,\"reason\":\"Timed \\\"out\\\"\"}},"
              "\"response_ms\":{\"min\":10.0,\"median\":10.0,\"p95\":20.0,\"max\":20.0}}]}\n");
    const std::string text = ReportText(hosts, kT, kT + 90);
    EXPECT_NE(
        text.find(
            "SLOT  HOST               CHECKS  UPTIME  OUTAGES  LONGEST  MIN ms  MEDIAN ms  P95 ms  MAX ms\n"
            "   3  http://a.invalid/       3  66.67%        1      30s    10.0       10.0    20.0    20.0\n"),
        std::string::npos)
        << text;
    EXPECT_NE(text.find("(30s): Timed \"out\""), std::string::npos) << text;
    EXPECT_NE(ReportText({}, kT, kT).find("No checks in this range."), std::string::npos);
}

// Server text in the columns and the last outage is shown, never obeyed;
// a host that never failed reads 100.00%, one failure in many never does.
TEST_F(HandBuilt, ReportTextShowsControlsAndKeepsUptimeHonest) {
    TCheckRow r = Row(kT, false, 0, "\x1b]0;owned\x07\x1b[2J");
    r.Host = "evil\n\x1b[31mhost\x7f";
    store->Record({r});
    store->Record({Row(kT + 1, true, 5)});
    auto hosts = ReadHistory(*store, {kT, kT + 2, 0, {}});
    const std::string text = ReportText(hosts, kT, kT + 2);
    EXPECT_EQ(text.find('\x1b'), std::string::npos) << text;
    EXPECT_EQ(text.find('\x7f'), std::string::npos);
    EXPECT_NE(text.find("evil\\x0A\\x1B[31mhost\\x7F"), std::string::npos) << text;
    EXPECT_NE(text.find(": \\x1B]0;owned\\x07\\x1B[2J\n"), std::string::npos) << text;
    EXPECT_NE(text.find(" 100.00% "), std::string::npos) << "the host that never failed";

    THostHistory many;
    many.Checks = 100000;
    many.Failures = 1;
    EXPECT_NE(ReportText({many}, kT, kT).find(" 99.99% "), std::string::npos);
    many.Failures = 0;
    EXPECT_NE(ReportText({many}, kT, kT).find(" 100.00% "), std::string::npos);
}

TEST(HistoryReport, SinceTakesSpansAndDates) {
    struct Case {
        const char* text;
        std::optional<std::int64_t> from;
    } cases[] = {
        {"24h", kT - 86400},
        {"7d", kT - 7 * 86400},
        {"30d", kT - 30 * 86400},
        {"1h", kT - 3600},
        {"0d", std::nullopt},
        {"d", std::nullopt},
        {"7w", std::nullopt},
        {"-7d", std::nullopt},
        {"2026-13-01", std::nullopt},
        {"2026-12-01x", std::nullopt},
        {"", std::nullopt},
        {"9999999d", std::nullopt},
        {"99999h", kT - 99999LL * 3600},
        {"2026-12-1", std::nullopt},
        {"+026-12-01", std::nullopt},
        {"2026-12-01T8:00", std::nullopt},
        {"2026-12-01 08:00", std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(ParseSince(c.text, kT), c.from) << c.text;
    setenv("TZ", "UTC", 1);
    tzset();
    EXPECT_EQ(ParseSince("2027-01-15", kT), kT - 8 * 3600);
    EXPECT_EQ(ParseSince("2027-01-15T08:00", kT), kT);  // now itself is no future
    EXPECT_EQ(ParseSince("2024-02-29", kT), 1709164800);
    EXPECT_EQ(ParseSince("2026-12-31T23:59", kT), 1798761540);
    // Refused with the reason.
    struct Refused {
        const char* text;
        const char* why;
    } refused[] = {
        {"2026-02-31", "'2026-02-31' is not a day of the calendar"},
        {"2026-02-29", "'2026-02-29' is not a day of the calendar"},
        {"2100-02-29", "'2100-02-29' is not a day of the calendar"},
        {"2026-04-31", "'2026-04-31' is not a day of the calendar"},
        {"2026-12-00", "'2026-12-00' is not a day of the calendar"},
        {"2026-12-01T24:00", "'2026-12-01T24:00' is not a time of day"},
        {"2026-12-01T23:60", "'2026-12-01T23:60' is not a time of day"},
        {"2026-12-01T-1:30", ""},
        {"2026-12-01T10:-5", ""},
        {"2027-01-15T08:01", "'2027-01-15T08:01' is after now"},
        {"1969-12-31", "'1969-12-31' is before 1970"},
        {"999999d", "'999999d' reaches back before 1970"},
    };
    for (const auto& r : refused) {
        std::string why = "stale";
        EXPECT_EQ(ParseSince(r.text, kT, &why), std::nullopt) << r.text;
        EXPECT_EQ(why, r.why);
    }
}

TEST(HistoryReport, DurationsAndJsonStrings) {
    EXPECT_EQ(DurationText(59), "59s");
    EXPECT_EQ(DurationText(60), "1m 0s");
    EXPECT_EQ(DurationText(3661), "1h 1m");
    EXPECT_EQ(DurationText(90000), "1d 1h");
    EXPECT_EQ(JsonString("a\\b\x01\n"), "\"a\\\\b\\u0001\\n\"");
    // Well-formed UTF-8 as it is; every other byte as \u00XX of itself.
    struct Row {
        std::string in, out;
    } rows[] = {
        {"r\xc3\xa9"
         "essayez \xe2\x80\xa6 \xf0\x9f\x98\x80",
         "\"r\xc3\xa9"
         "essayez \xe2\x80\xa6 \xf0\x9f\x98\x80\""},
        {"r\xe9"
         "essayez",
         "\"r\\u00e9essayez\""},  // Latin-1
        {"\xff\xfe", "\"\\u00ff\\u00fe\""},
        {"\xc3", "\"\\u00c3\""},                                   // cut short at the end
        {"\xc0\xaf", "\"\\u00c0\\u00af\""},                        // overlong '/'
        {"\xe0\x80\xaf", "\"\\u00e0\\u0080\\u00af\""},             // overlong, three bytes
        {"\xed\xa0\x80", "\"\\u00ed\\u00a0\\u0080\""},             // a surrogate
        {"\xf4\x90\x80\x80", "\"\\u00f4\\u0090\\u0080\\u0080\""},  // past U+10FFFF
        {"\xe2\x82x", "\"\\u00e2\\u0082x\""},                      // a continuation missing
        {"\x7f", "\"\x7f\""},
    };
    for (const auto& r : rows) EXPECT_EQ(JsonString(r.in), r.out) << r.in;
}
