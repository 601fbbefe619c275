#include "app/gui/HistoryWindow.h"

#include <QAreaSeries>
#include <QChart>
#include <QChartView>
#include <QComboBox>
#include <QDateTime>
#include <QDateTimeAxis>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineSeries>
#include <QPushButton>
#include <QSplitter>
#include <QTableWidget>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <QValueAxis>
#include <QtConcurrent/QtConcurrentRun>
#include <algorithm>
#include <cmath>
#include <ctime>

#include "app/gui/ElidedText.h"
#include "app/gui/HeartbeatStrip.h"
#include "history/HistoryReport.h"

namespace app {

namespace {

constexpr std::int64_t kRanges[] = {86400, 7 * 86400, 30 * 86400};
constexpr int kMaxOutagesListed = 200;
constexpr int kStripColumn = 5;

QString Percent(const std::pair<std::int64_t, std::int64_t>& w) {
    const double u = history::THostHistory::UptimePercent(w.first, w.second);
    if (u < 0) return "-";
    if (w.second > 0 && u > 99.99) return "99.99%";
    return QString::number(u, 'f', 2) + "%";
}

QString When(std::int64_t t) {
    return QDateTime::fromSecsSinceEpoch(t).toString("yyyy-MM-dd HH:mm:ss");
}

QString Text(const std::string& s) {
    return QString::fromStdString(s);
}

// One item of the uptime table, host names elided in the middle with the
// whole name as tooltip.
QTableWidgetItem* Cell(const QString& text, bool right) {
    auto* item = new QTableWidgetItem(text);
    if (right) item->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
    return item;
}

}  // namespace

THistoryWindow::THistoryWindow(QWidget* parent) : QDialog(parent) {
    setObjectName("HistoryWindow");
    setWindowTitle("History");
    setWindowFlags(Qt::Window);
    setModal(false);
    resize(760, 620);

    StatusLabel = new TElidedLabel(this);
    StatusLabel->setObjectName("StatusLabel");
    RangeBox = new QComboBox(this);
    RangeBox->setObjectName("RangeBox");
    RangeBox->addItems({"24 hours", "7 days", "30 days"});
    HostBox = new QComboBox(this);
    HostBox->setObjectName("HostBox");
    // A long host name is elided in the box instead of widening the window.
    HostBox->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    HostBox->setMinimumContentsLength(24);
    auto* reload = new QPushButton("Reload", this);
    auto* close = new QPushButton("Close", this);

    UptimeTable = new QTableWidget(0, 6, this);
    UptimeTable->setObjectName("UptimeTable");
    UptimeTable->setHorizontalHeaderLabels({"Slot", "Host", "24 h", "7 d", "30 d", "Latest checks"});
    UptimeTable->setTextElideMode(Qt::ElideMiddle);
    UptimeTable->setWordWrap(false);
    UptimeTable->verticalHeader()->hide();
    UptimeTable->setEditTriggers(QAbstractItemView::NoEditTriggers);
    UptimeTable->setSelectionBehavior(QAbstractItemView::SelectRows);
    UptimeTable->horizontalHeader()->setStretchLastSection(false);
    UptimeTable->horizontalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
    UptimeTable->horizontalHeader()->setSectionResizeMode(1, QHeaderView::Stretch);

    ResponseSeries = new QLineSeries(this);
    ResponseSeries->setName("response time (ms)");
    ResponseSeries->setPointsVisible(true);  // a lone answer is a point, not a line
    OutageUpper = new QLineSeries(this);
    OutageArea = new QAreaSeries(OutageUpper);
    OutageArea->setName("failures");
    OutageArea->setColor(QColor(220, 40, 40, 70));
    OutageArea->setBorderColor(Qt::transparent);
    auto* chart = new QChart;
    chart->addSeries(OutageArea);
    chart->addSeries(ResponseSeries);
    TimeAxis = new QDateTimeAxis;
    ResponseAxis = new QValueAxis;
    ResponseAxis->setTickType(QValueAxis::TicksFixed);
    ResponseAxis->setTitleText("ms");
    chart->addAxis(TimeAxis, Qt::AlignBottom);
    chart->addAxis(ResponseAxis, Qt::AlignLeft);
    for (QAbstractSeries* s :
         {static_cast<QAbstractSeries*>(OutageArea), static_cast<QAbstractSeries*>(ResponseSeries)}) {
        s->attachAxis(TimeAxis);
        s->attachAxis(ResponseAxis);
    }
    chart->legend()->setAlignment(Qt::AlignBottom);
    ChartView = new QChartView(chart, this);
    ChartView->setObjectName("ChartView");
    ChartView->setRenderHint(QPainter::Antialiasing);
    ChartView->setMinimumHeight(240);
    EmptyLabel = new QLabel("No history yet", ChartView);
    EmptyLabel->setObjectName("EmptyLabel");
    EmptyLabel->setAttribute(Qt::WA_TransparentForMouseEvents);
    QFont big = EmptyLabel->font();
    big.setPointSizeF(big.pointSizeF() * 1.5);
    EmptyLabel->setFont(big);
    auto* overlay = new QVBoxLayout(ChartView);
    overlay->addWidget(EmptyLabel, 0, Qt::AlignCenter);
    EmptyLabel->hide();

    OutageList = new QTreeWidget(this);
    OutageList->setObjectName("OutageList");
    OutageList->setRootIsDecorated(false);
    OutageList->setHeaderLabels({"Host", "Start", "End", "Lasted", "Reason"});
    // A long host loses its middle instead of pushing the other columns
    // off the window; they take what their contents need.
    OutageList->setTextElideMode(Qt::ElideMiddle);
    OutageList->header()->setStretchLastSection(false);
    OutageList->header()->setSectionResizeMode(QHeaderView::ResizeToContents);
    OutageList->header()->setSectionResizeMode(0, QHeaderView::Stretch);

    auto* top = new QHBoxLayout;
    top->addWidget(new QLabel("Range:", this));
    top->addWidget(RangeBox);
    top->addWidget(new QLabel("Chart of:", this));
    top->addWidget(HostBox, 1);
    top->addWidget(reload);
    auto* splitter = new QSplitter(Qt::Vertical, this);
    splitter->addWidget(UptimeTable);
    splitter->addWidget(ChartView);
    splitter->addWidget(OutageList);
    splitter->setStretchFactor(1, 1);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(StatusLabel, 1);
    buttons->addWidget(close);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addWidget(splitter, 1);
    layout->addLayout(buttons);

    connect(RangeBox, &QComboBox::currentIndexChanged, this, [this] { Reload(); });
    connect(HostBox, &QComboBox::currentIndexChanged, this, [this] { ShowHost(); });
    connect(reload, &QPushButton::clicked, this, [this] { Reload(); });
    connect(close, &QPushButton::clicked, this, &QDialog::hide);
    connect(&watcher_, &QFutureWatcher<Result>::finished, this, [this] {
        loading_ = false;
        Result r = watcher_.result();
        // A newer load was asked for meanwhile: this one's range is stale.
        if (reloadAfter_ || r.generation != generation_) {
            reloadAfter_ = false;
            Reload();
            return;
        }
        Apply(r);
    });
}

THistoryWindow::~THistoryWindow() {
    // The worker holds only copies; it is waited for so nothing outlives us.
    watcher_.waitForFinished();
}

void THistoryWindow::ShowHistory() {
    show();
    raise();
    activateWindow();
    Reload();
}

void THistoryWindow::Reload() {
    if (loading_) {
        reloadAfter_ = true;
        return;
    }
    const std::string file = FileName ? FileName() : "";
    const std::int64_t range = kRanges[std::clamp(RangeBox->currentIndex(), 0, 2)];
    const std::int64_t now = static_cast<std::int64_t>(std::time(nullptr));
    const unsigned generation = ++generation_;
    loading_ = true;
    StatusLabel->SetFullText("Loading...");
    watcher_.setFuture(QtConcurrent::run([file, range, now, generation] {
        Result r;
        r.generation = generation;
        r.from = now - range;
        r.to = now;
        try {
            if (file.empty())
                throw history::EHistoryError("The history is switched off (\"history=\" in sentrel.ini)");
            history::THistoryStore store(file, history::THistoryStore::Mode::Read);
            r.data = history::LoadChart(store, now, range);
            r.recent = history::RecentChecks(store, THeartbeatStrip::kPlaces);
        } catch (const std::exception& e) {
            r.error = e.what();
        }
        return r;
    }));
}

void THistoryWindow::Apply(const Result& result) {
    data_ = result.data;
    // Without a history the chart still shows the range asked for.
    from_ = data_.To > 0 ? data_.From : result.from;
    to_ = data_.To > 0 ? data_.To : result.to;
    const std::string off = OffReason ? OffReason() : "";
    QString status;
    if (!result.error.empty())
        status = Text(result.error);
    else if (data_.Hosts.empty())
        status = "No history yet.";
    else
        status = "From " + When(data_.From) + " to " + When(data_.To - 1);
    // The reason the run has no history is often the one the load met
    // (the same broken file): it is said once.
    if (!off.empty()) {
        const bool same = !result.error.empty() && (result.error.find(off) != std::string::npos ||
                                                    off.find(result.error) != std::string::npos);
        status = "History is off: " + Text(off) + "." + (same ? "" : " " + status);
    }
    StatusLabel->SetFullText(status);

    FillUptimes(result.recent);
    FillOutages();

    const QString chosen = HostBox->currentText();
    {
        const QSignalBlocker block(HostBox);
        HostBox->clear();
        for (const auto& h : data_.Hosts) HostBox->addItem(Text(h.Host));
        const int again = HostBox->findText(chosen);
        HostBox->setCurrentIndex(again >= 0 ? again : 0);
    }
    ShowHost();
    emit Loaded();
}

void THistoryWindow::FillUptimes(const std::vector<history::TRecentChecks>& recent) {
    UptimeTable->setRowCount(int(data_.Hosts.size()));
    for (int i = 0; i < int(data_.Hosts.size()); ++i) {
        const auto& h = data_.Hosts[std::size_t(i)];
        UptimeTable->setItem(i, 0, Cell(QString::number(h.Slot), true));
        auto* host = Cell(Text(h.Host), false);
        host->setToolTip(Text(h.Host));
        UptimeTable->setItem(i, 1, host);
        for (int w = 0; w < int(h.Windows.size()) && w < 3; ++w)
            UptimeTable->setItem(i, 2 + w, Cell(Percent(h.Windows[std::size_t(w)]), true));
        // The strip of the same host in the same row of the settings.
        auto it = std::find_if(recent.begin(), recent.end(), [&h](const history::TRecentChecks& r) {
            return r.Slot == h.Slot && r.Host == h.Host;
        });
        UptimeTable->setCellWidget(
            i, kStripColumn,
            new THeartbeatStrip(it != recent.end() ? it->Checks : std::vector<history::TCheckRow>{}));
    }
}

THeartbeatStrip* THistoryWindow::Strip(int row) const {
    return dynamic_cast<THeartbeatStrip*>(UptimeTable->cellWidget(row, kStripColumn));
}

void THistoryWindow::FillOutages() {
    // The outages of every host that touch the range, newest first.
    std::vector<std::pair<const history::THostHistory*, const history::TOutage*>> outages;
    for (const auto& h : data_.Hosts)
        for (const auto& o : h.Outages) outages.push_back({&h, &o});
    std::sort(outages.begin(), outages.end(),
              [](const auto& a, const auto& b) { return a.second->Start > b.second->Start; });
    if (outages.size() > std::size_t(kMaxOutagesListed)) outages.resize(kMaxOutagesListed);
    OutageList->clear();
    QList<QTreeWidgetItem*> items;
    for (const auto& [h, o] : outages) {
        auto* item = new QTreeWidgetItem(
            {Text(h->Host), When(o->Start), o->Ongoing ? "still down" : When(o->End),
             Text(history::DurationText(o->Seconds())), o->Hourly ? "(hourly record)" : Text(o->Reason)});
        item->setToolTip(0, Text(h->Host));
        if (!o->Hourly) item->setToolTip(4, Text(o->Reason));
        items << item;
    }
    OutageList->addTopLevelItems(items);
}

QString THistoryWindow::TimeFormat(std::int64_t span, int ticks) {
    // Ticks a minute apart or more never read the same in minutes; closer
    // ones show their seconds.
    const std::int64_t step = span / std::max(1, ticks - 1);
    return step < 60 ? "HH:mm:ss" : span < 86400 ? "HH:mm" : "MM-dd HH:mm";
}

int THistoryWindow::TMsAxis::Ticks() const {
    return Step > 0 ? int(std::lround(Top / Step)) + 1 : 2;
}

THistoryWindow::TMsAxis THistoryWindow::MsAxis(double maxMs) {
    constexpr int kMaxSteps = 6;
    TMsAxis axis;
    // Some room above the largest answer, so its point is not on the edge.
    const double want = maxMs > 0 ? maxMs * 1.15 : 100;
    double step = 0.1;
    for (double scale = 0.1; step * kMaxSteps < want; scale *= 10) {
        for (double m : {1.0, 2.0, 5.0}) {
            step = m * scale;
            if (step * kMaxSteps >= want) break;
        }
    }
    axis.Step = step;
    axis.Decimals = step < 1 ? 1 : 0;
    axis.Top = std::ceil(want / step - 1e-9) * step;
    return axis;
}

void THistoryWindow::ShowHost() {
    const int i = HostBox->currentIndex();
    QList<QPointF> response, shade;
    double slowest = 0;
    // The time axis spans the host's data within the range (a history of
    // two minutes fills the chart); without data, the range ending now.
    std::int64_t first = 0, last = 0;
    const history::THostHistory* h =
        i >= 0 && i < int(data_.Hosts.size()) ? &data_.Hosts[std::size_t(i)] : nullptr;
    if (h) {
        for (const auto& b : h->Buckets) {
            if (b.Checks == 0) continue;
            if (first == 0) first = b.Start;
            last = b.Start + data_.BucketSeconds;
            if (b.Answers == 0) continue;
            response << QPointF(double(b.Start + data_.BucketSeconds / 2) * 1000, b.AvgMs);
            slowest = std::max(slowest, b.AvgMs);
        }
    }
    const TMsAxis axis = MsAxis(slowest);
    if (h) {
        for (const auto& b : h->Buckets) {
            if (b.Failures == 0) continue;
            const double x0 = double(b.Start) * 1000, x1 = double(b.Start + data_.BucketSeconds) * 1000;
            shade << QPointF(x0, 0) << QPointF(x0, axis.Top) << QPointF(x1, axis.Top) << QPointF(x1, 0);
        }
    }
    ChartView->chart()->setTitle(h ? Text(h->Host) : QString());
    EmptyLabel->setVisible(first == 0);
    if (first == 0) {
        first = from_;
        last = to_;
    } else {
        first = std::max(first, from_);
        last = std::max(std::min(last, to_), first + 60);
    }
    TimeAxis->setRange(QDateTime::fromSecsSinceEpoch(first), QDateTime::fromSecsSinceEpoch(last));
    TimeAxis->setFormat(TimeFormat(last - first, TimeAxis->tickCount()));
    ResponseSeries->replace(response);
    OutageUpper->replace(shade);
    ResponseAxis->setRange(0, axis.Top);
    ResponseAxis->setTickCount(axis.Ticks());
    ResponseAxis->setLabelFormat(axis.Decimals > 0 ? "%.1f" : "%.0f");
}

}  // namespace app
