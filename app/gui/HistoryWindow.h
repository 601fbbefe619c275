// The "History" window: per host its uptime over 24 hours, 7 days and 30
// days, a response-time chart of the chosen range with the times that had
// failures shaded, and the range's outages with their reasons, newest first.
// Each host's row of the uptime table ends in a strip of its latest checks.
// Opened from the tray menu and from the log viewer; the main window's own
// layout does not change.
//
// The file is read on a worker thread with a connection of its own (the
// monitor goes on writing meanwhile); the result is applied on the GUI
// thread in one go, so the window never waits on the file. A load that a
// newer one overtook is dropped. Created hidden at start-up, lives until the
// end of the run. GUI thread only.
#pragma once

#include <QDialog>
#include <QFutureWatcher>
#include <functional>
#include <string>

#include "history/HistoryQuery.h"

class QComboBox;
class QLabel;
class QTableWidget;
class QTreeWidget;
class QChartView;
class QLineSeries;
class QAreaSeries;
class QValueAxis;
class QDateTimeAxis;

namespace app {

class TElidedLabel;
class THeartbeatStrip;

class THistoryWindow : public QDialog {
    Q_OBJECT

public:
    explicit THistoryWindow(QWidget* parent = nullptr);
    ~THistoryWindow() override;

    // The file to read, and why the history is off ("" while it is on; it
    // is tried again a few passes on); asked at every load.
    std::function<std::string()> FileName;
    std::function<std::string()> OffReason;

    // Shows the window and loads the chosen range afresh.
    void ShowHistory();
    // Starts a load of the chosen range; Loaded() follows on the GUI thread.
    void Reload();
    bool Loading() const { return loading_; }
    const history::TChartData& Data() const { return data_; }

    // The response-time axis for answers up to maxMs: whole steps of 1, 2
    // or 5 times a power of ten (tenths below 1 ms), at most six of them,
    // from 0 to the first step above the largest answer plus some room, so
    // no two labels read the same.
    struct TMsAxis {
        double Top = 0, Step = 0;
        int Decimals = 0;
        int Ticks() const;
    };
    static TMsAxis MsAxis(double maxMs);
    // The time axis's label format for ticks over span seconds: seconds
    // where ticks are under a minute apart, the date from a day on (the
    // ends of a day read the same in hours).
    static QString TimeFormat(std::int64_t span, int ticks);
    // The strip of a row of the uptime table (nullptr for none).
    THeartbeatStrip* Strip(int row) const;

    TElidedLabel* StatusLabel = nullptr;
    QComboBox* RangeBox = nullptr;  // 24 hours, 7 days, 30 days
    QComboBox* HostBox = nullptr;   // the host the chart shows
    QTableWidget* UptimeTable = nullptr;
    QChartView* ChartView = nullptr;
    QLineSeries* ResponseSeries = nullptr;  // average ms per bucket with answers
    QLineSeries* OutageUpper = nullptr;     // the shading's top: high over buckets with failures
    QAreaSeries* OutageArea = nullptr;
    QTreeWidget* OutageList = nullptr;
    QLabel* EmptyLabel = nullptr;  // "No history yet" over the chart
    QDateTimeAxis* TimeAxis = nullptr;
    QValueAxis* ResponseAxis = nullptr;

signals:
    void Loaded();

private:
    struct Result {
        history::TChartData data;
        std::vector<history::TRecentChecks> recent;
        std::int64_t from = 0, to = 0;  // the range asked for
        std::string error;
        unsigned generation = 0;
    };
    void Apply(const Result& result);
    void ShowHost();
    void FillUptimes(const std::vector<history::TRecentChecks>& recent);
    void FillOutages();

    QFutureWatcher<Result> watcher_;
    history::TChartData data_;
    std::int64_t from_ = 0, to_ = 0;
    unsigned generation_ = 0;
    bool loading_ = false;
    bool reloadAfter_ = false;
};

}  // namespace app
