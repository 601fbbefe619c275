// The history window against a history built by hand (offscreen): the
// uptime table, the chart's points and shading for the chosen host, the
// outage list, a change of range, and a file that is not there.
#include <unistd.h>

#include <gtest/gtest.h>
#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineSeries>
#include <QTableWidget>
#include <QTreeWidget>
#include <ctime>
#include <filesystem>

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
    EXPECT_EQ(w.UptimeTable->item(0, 1)->text(), "a");
    EXPECT_EQ(w.UptimeTable->item(0, 2)->text(), "95.83%");  // 23 of 24
    EXPECT_EQ(w.UptimeTable->item(0, 4)->text(), "95.83%");
    EXPECT_EQ(w.UptimeTable->item(1, 2)->text(), "100.00%");
    EXPECT_EQ(w.Data().BucketSeconds, 300);

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
}
