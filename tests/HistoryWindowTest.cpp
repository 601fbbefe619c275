// The history window against a history built by hand (offscreen): the
// uptime table and its strips of latest checks, the chart's points, axes and
// shading for the chosen host, the outage list, a change of range, a file
// that is not there, and one that is broken.
#include <unistd.h>

#include <gtest/gtest.h>
#include <QApplication>
#include <QComboBox>
#include <QDateTime>
#include <QDateTimeAxis>
#include <QElapsedTimer>
#include <QHeaderView>
#include <QLabel>
#include <QLineSeries>
#include <QTableWidget>
#include <QTreeWidget>
#include <QValueAxis>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <set>

#include "app/gui/ElidedText.h"
#include "app/gui/HeartbeatStrip.h"
#include "app/gui/HistoryWindow.h"

namespace fs = std::filesystem;
using history::TCheckRow;

namespace {

int argc = 1;
char arg0[] = "history_window_test";
char* argv[] = {arg0, nullptr};

TCheckRow Row(std::int64_t t, const std::string& host, int slot, bool up, double ms,
              const std::string& reason = "") {
    TCheckRow r;
    r.Time = t;
    r.Slot = slot;
    r.Host = host;
    r.Up = up;
    r.Reason = reason;
    r.TotalMs = ms;
    return r;
}

// The time axis's labels as drawn: never two the same.
bool TimeLabelsDistinct(const QDateTimeAxis& axis) {
    std::set<QString> labels;
    const qint64 from = axis.min().toMSecsSinceEpoch(), to = axis.max().toMSecsSinceEpoch();
    for (int i = 0; i < axis.tickCount(); ++i)
        labels.insert(QDateTime::fromMSecsSinceEpoch(from + (to - from) * i / (axis.tickCount() - 1))
                          .toString(axis.format()));
    return int(labels.size()) == axis.tickCount();
}

// Runs the loop until the window has applied a load; a watchdog fails a
// load that never ends instead of hanging.
bool WaitLoaded(app::THistoryWindow& w) {
    bool loaded = false;
    auto c = QObject::connect(&w, &app::THistoryWindow::Loaded, [&] { loaded = true; });
    QElapsedTimer watchdog;
    watchdog.start();
    while (!loaded && watchdog.elapsed() < 20000) QApplication::processEvents(QEventLoop::AllEvents, 50);
    QObject::disconnect(c);
    return loaded;
}

struct HistoryWindow : ::testing::Test {
    static inline QApplication* app = nullptr;
    static void SetUpTestSuite() { app = new QApplication(argc, argv); }
    static void TearDownTestSuite() { delete app; }
    std::string path = "/tmp/sentrel-window-" + std::to_string(::getpid()) + ".db";
    std::int64_t now = static_cast<std::int64_t>(std::time(nullptr));
    void SetUp() override {
        history::THistoryStore store(path, history::THistoryStore::Mode::Write);
        // a: a check every 5 minutes for 2 hours, 10 ms, one failure 30 minutes ago.
        for (int k = 24; k >= 1; --k)
            store.Record({k == 6 ? Row(now - k * 300, "a", 1, false, 10000, "Connection refused")
                                 : Row(now - k * 300, "a", 1, true, 10)});
        // b: one answer an hour ago.
        store.Record({Row(now - 3600, "b", 2, true, 40)});
    }
    void TearDown() override {
        for (const char* s : {"", "-wal", "-shm"}) fs::remove(path + s);
    }
};

}  // namespace

TEST_F(HistoryWindow, ShowsUptimesChartAndOutagesOfTheFile) {
    app::THistoryWindow w;
    w.FileName = [this] { return path; };
    w.ShowHistory();
    ASSERT_TRUE(WaitLoaded(w));
    ASSERT_EQ(w.UptimeTable->rowCount(), 2);
    EXPECT_EQ(w.UptimeTable->item(0, 0)->text(), "1");
    EXPECT_EQ(w.UptimeTable->item(0, 1)->text(), "a");
    EXPECT_EQ(w.UptimeTable->item(0, 2)->text(), "95.83%");  // 23 of 24
    EXPECT_EQ(w.UptimeTable->item(0, 4)->text(), "95.83%");
    EXPECT_EQ(w.UptimeTable->item(1, 2)->text(), "100.00%");
    EXPECT_EQ(w.Data().BucketSeconds, 300);

    // Each row ends in its host's latest checks, oldest left, the failure red.
    ASSERT_NE(w.Strip(0), nullptr);
    ASSERT_EQ(w.Strip(0)->Checks().size(), 24u);
    EXPECT_FALSE(w.Strip(0)->Checks()[18].Up);
    EXPECT_TRUE(w.Strip(0)->Checks()[23].Up);
    EXPECT_EQ(w.Strip(0)->Checks()[23].Time, now - 300);
    const QString tip = app::THeartbeatStrip::Tip(w.Strip(0)->Checks()[18]);
    EXPECT_TRUE(tip.endsWith(": down (Connection refused), 10000 ms")) << tip.toStdString();
    EXPECT_TRUE(tip.startsWith(QDateTime::fromSecsSinceEpoch(now - 1800).toString("yyyy-MM-dd HH:mm:ss")));
    ASSERT_EQ(w.Strip(1)->Checks().size(), 1u);
    EXPECT_TRUE(app::THeartbeatStrip::Tip(w.Strip(1)->Checks()[0]).endsWith(": up, 40 ms"));
    // The newest mark sits at the right end; the pointer finds each mark.
    const app::THeartbeatStrip& strip = *w.Strip(0);
    EXPECT_EQ(strip.CheckAt(strip.MarkRect(23).center()), 23);
    EXPECT_EQ(strip.CheckAt(strip.MarkRect(0).center()), 0);
    EXPECT_EQ(strip.CheckAt(strip.MarkRect(0).topLeft() -
                            QPoint(app::THeartbeatStrip::kMarkWidth + app::THeartbeatStrip::kGap, 0)),
              -1);
    EXPECT_EQ(strip.CheckAt(QPoint(strip.width() - 1, strip.height() / 2)), -1);
    EXPECT_GE(strip.MarkRect(23).right(), strip.width() - 4);

    // The time axis spans the two hours of data, not the whole day.
    EXPECT_GE(w.TimeAxis->min().toSecsSinceEpoch(), now - 24 * 300 - 300);
    EXPECT_LE(w.TimeAxis->max().toSecsSinceEpoch(), now + 300);
    EXPECT_TRUE(TimeLabelsDistinct(*w.TimeAxis)) << w.TimeAxis->format().toStdString();
    EXPECT_TRUE(w.EmptyLabel->isHidden());

    // Host a: one point per bucket with an answer, shading over the failure.
    ASSERT_EQ(w.HostBox->count(), 2);
    EXPECT_EQ(w.ResponseSeries->count(), 23);
    for (const QPointF& p : w.ResponseSeries->points()) EXPECT_DOUBLE_EQ(p.y(), 10);
    ASSERT_EQ(w.OutageUpper->count(), 4);
    const std::int64_t failed = now - 6 * 300;
    EXPECT_LE(w.OutageUpper->at(0).x(), double(failed) * 1000);
    EXPECT_GT(w.OutageUpper->at(2).x(), double(failed) * 1000);
    EXPECT_GT(w.OutageUpper->at(1).y(), 10);
    ASSERT_EQ(w.OutageList->topLevelItemCount(), 1);
    EXPECT_EQ(w.OutageList->topLevelItem(0)->text(4), "Connection refused");
    EXPECT_EQ(w.OutageList->topLevelItem(0)->text(3), "5m 0s");

    // Host b: its one answer, nothing shaded.
    w.HostBox->setCurrentIndex(1);
    ASSERT_EQ(w.ResponseSeries->count(), 1);
    EXPECT_DOUBLE_EQ(w.ResponseSeries->at(0).y(), 40);
    EXPECT_EQ(w.OutageUpper->count(), 0);
    // Its one answer: an axis of whole tens, one bucket wide at least.
    EXPECT_EQ(w.ResponseAxis->max(), 50);
    EXPECT_TRUE(w.ResponseSeries->attachedAxes().contains(w.ResponseAxis));
    EXPECT_EQ(w.ResponseAxis->tickCount(), 6);
    EXPECT_GE(w.TimeAxis->max().toSecsSinceEpoch() - w.TimeAxis->min().toSecsSinceEpoch(), 300);
    EXPECT_TRUE(TimeLabelsDistinct(*w.TimeAxis)) << w.TimeAxis->format().toStdString();

    // Thirty days: hour buckets are three hours wide, and b stays chosen.
    w.RangeBox->setCurrentIndex(2);
    ASSERT_TRUE(WaitLoaded(w));
    EXPECT_EQ(w.Data().BucketSeconds, 3 * 3600);
    EXPECT_EQ(w.HostBox->currentText(), "b");
    EXPECT_LE(w.ResponseSeries->count(), 1);
}

TEST_F(HistoryWindow, AMissingFileOrAnOffHistorySaysSo) {
    app::THistoryWindow w;
    w.FileName = [this] { return path + ".missing"; };
    w.OffReason = [] { return std::string("x.db: the file is read-only"); };
    w.ShowHistory();
    ASSERT_TRUE(WaitLoaded(w));
    EXPECT_TRUE(w.StatusLabel->text().startsWith("History is off: x.db: the file is read-only."));
    EXPECT_TRUE(w.StatusLabel->text().contains("no history yet")) << w.StatusLabel->text().toStdString();
    EXPECT_EQ(w.UptimeTable->rowCount(), 0);
    EXPECT_EQ(w.ResponseSeries->count(), 0);
    EXPECT_FALSE(fs::exists(path + ".missing"));
    // No data: the day that ends now, and a word over the empty chart.
    EXPECT_FALSE(w.EmptyLabel->isHidden());
    EXPECT_EQ(w.EmptyLabel->text(), "No history yet");
    EXPECT_NEAR(double(w.TimeAxis->max().toSecsSinceEpoch()), double(now), 60);
    EXPECT_EQ(w.TimeAxis->max().toSecsSinceEpoch() - w.TimeAxis->min().toSecsSinceEpoch(), 86400);
    EXPECT_TRUE(TimeLabelsDistinct(*w.TimeAxis));
    EXPECT_EQ(w.StatusLabel->toolTip(), w.StatusLabel->FullText());
}

// The response-time axis: whole steps of 1, 2 or 5 times a power of ten,
// tenths below a few ms, never two labels that read the same, and its top
// above the slowest answer.
TEST(HistoryWindowAxis, LabelsAreDistinctAndCoverTheSlowestAnswer) {
    const struct {
        double slowest, top, step;
    } rows[] = {
        {0, 100, 20},      // nothing answered: an empty axis of 100 ms
        {0.04, 0.1, 0.1},  // under a tenth: one tenth
        {0.5, 0.6, 0.1},   // six tenths fill the six steps
        {0.6, 0.8, 0.2},   // just past them: fifths
        {3, 4, 1},         // a few ms: whole ms, not 0, 1, 1, 2, 3
        {5.2, 6, 1},       // six whole steps
        {5.3, 8, 2},       // the seventh would be one too many
        {10, 12, 2},       //
        {40, 50, 10},      //
        {10000, 12000, 2000},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.slowest);
        const auto axis = app::THistoryWindow::MsAxis(r.slowest);
        EXPECT_NEAR(axis.Top, r.top, 1e-9);
        EXPECT_NEAR(axis.Step, r.step, 1e-9);
        EXPECT_LE(axis.Ticks(), 7);
        EXPECT_GT(axis.Top, r.slowest);
        std::set<QString> labels;
        for (int i = 0; i < axis.Ticks(); ++i)
            labels.insert(QString::number(i * axis.Step, 'f', axis.Decimals));
        EXPECT_EQ(int(labels.size()), axis.Ticks());
    }
}

TEST(HistoryWindowAxis, TimeLabelsShowSecondsOnlyWhereMinutesWouldRepeat) {
    const struct {
        std::int64_t span;
        int ticks;
        const char* format;
    } rows[] = {
        {101, 5, "HH:mm:ss"},  // two minutes of history: 25 s apart
        {239, 5, "HH:mm:ss"}, {240, 5, "HH:mm"},         {60, 2, "HH:mm"},
        {86399, 5, "HH:mm"},  {86400, 5, "MM-dd HH:mm"}, {59, 1, "HH:mm:ss"},
    };
    for (const auto& r : rows)
        EXPECT_EQ(app::THistoryWindow::TimeFormat(r.span, r.ticks).toStdString(), r.format)
            << r.span << "/" << r.ticks;
}

// A host too long for the window and a broken file: the outage list keeps
// every column in sight, the status line says the reason once, and the
// window keeps its width.
TEST_F(HistoryWindow, LongHostsAndABrokenFileKeepTheWindowsWidth) {
    const std::string longHost =
        "http://a-host-with-a-name-so-long-that-it-would-push-every-other-column-off-the-window.invalid:8080/"
        "and/a/path/that/goes/on/until-it-cannot-fit/status";
    {
        history::THistoryStore store(path, history::THistoryStore::Mode::Write);
        store.Record({Row(now - 200, longHost, 3, false, 5000, "Connection refused")});
        store.Record({Row(now - 100, longHost, 3, true, 5)});
    }
    app::THistoryWindow w;
    w.FileName = [this] { return path; };
    w.ShowHistory();
    ASSERT_TRUE(WaitLoaded(w));
    EXPECT_EQ(w.width(), 760);
    ASSERT_EQ(w.OutageList->topLevelItemCount(), 2);  // newest first: the long host's
    QTreeWidgetItem* item = w.OutageList->topLevelItem(0);
    EXPECT_EQ(item->toolTip(0).toStdString(), longHost);
    EXPECT_EQ(w.OutageList->textElideMode(), Qt::ElideMiddle);
    const QHeaderView* header = w.OutageList->header();
    EXPECT_LE(header->sectionPosition(4) + header->sectionSize(4), w.OutageList->viewport()->width());
    EXPECT_GE(header->sectionSize(4), header->sectionSizeHint(4));
    EXPECT_EQ(w.UptimeTable->item(2, 1)->toolTip().toStdString(), longHost);

    // Now the file is broken, and the run's history is off for that reason.
    for (const char* s : {"", "-wal", "-shm"}) fs::remove(path + s);
    std::ofstream(path) << std::string(4096, 'x');
    std::string reason;
    try {
        history::THistoryStore store(path, history::THistoryStore::Mode::Read);
    } catch (const std::exception& e) {
        reason = e.what();
    }
    ASSERT_FALSE(reason.empty());
    w.OffReason = [&] { return reason; };
    w.Reload();
    ASSERT_TRUE(WaitLoaded(w));
    const QString status = w.StatusLabel->FullText();
    EXPECT_EQ(status.count(QString::fromStdString(reason)), 1) << status.toStdString();
    EXPECT_EQ(w.StatusLabel->toolTip(), status);
    EXPECT_LE(w.StatusLabel->ShownText().size(), status.size());
    EXPECT_EQ(w.width(), 760);
    EXPECT_FALSE(w.EmptyLabel->isHidden());
}
