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
#include <ctime>

#include "history/HistoryReport.h"

namespace app {

namespace {

constexpr std::int64_t kRanges[] = {86400, 7 * 86400, 30 * 86400};
constexpr int kMaxOutagesListed = 200;

QString Percent(const std::pair<std::int64_t, std::int64_t>& w) {
    const double u = history::THostHistory::UptimePercent(w.first, w.second);
    if (u < 0) return "-";
    if (w.second > 0 && u > 99.99) return "99.99%";
    return QString::number(u, 'f', 2) + "%";
}

QString When(std::int64_t t) {
    return QDateTime::fromSecsSinceEpoch(t).toString("yyyy-MM-dd HH:mm:ss");
}

}  // namespace

THistoryWindow::THistoryWindow(QWidget* parent) : QDialog(parent) {
    setObjectName("HistoryWindow");
    setWindowTitle("History");
    setWindowFlags(Qt::Window);
    setModal(false);
    resize(760, 620);

    StatusLabel = new QLabel(this);
    StatusLabel->setObjectName("StatusLabel");
    RangeBox = new QComboBox(this);
    RangeBox->setObjectName("RangeBox");
    RangeBox->addItems({"24 hours", "7 days", "30 days"});
    HostBox = new QComboBox(this);
    HostBox->setObjectName("HostBox");
    HostBox->setSizeAdjustPolicy(QComboBox::AdjustToContents);
    auto* reload = new QPushButton("Reload", this);
    auto* close = new QPushButton("Close", this);

    UptimeTable = new QTableWidget(0, 5, this);
    UptimeTable->setObjectName("UptimeTable");
    UptimeTable->setHorizontalHeaderLabels({"Slot", "Host", "24 h", "7 d", "30 d"});
    UptimeTable->verticalHeader()->hide();
    UptimeTable->setEditTriggers(QAbstractItemView::NoEditTriggers);
    UptimeTable->setSelectionBehavior(QAbstractItemView::SelectRows);
    UptimeTable->horizontalHeader()->setSectionResizeMode(1, QHeaderView::Stretch);

    ResponseSeries = new QLineSeries(this);
    ResponseSeries->setName("response time (ms)");
    OutageUpper = new QLineSeries(this);
    OutageArea = new QAreaSeries(OutageUpper);
    OutageArea->setName("failures");
    OutageArea->setColor(QColor(220, 40, 40, 70));
    OutageArea->setBorderColor(Qt::transparent);
    auto* chart = new QChart;
    chart->addSeries(OutageArea);
    chart->addSeries(ResponseSeries);
    timeAxis_ = new QDateTimeAxis;
    msAxis_ = new QValueAxis;
    msAxis_->setLabelFormat("%.0f");
    msAxis_->setTitleText("ms");
    chart->addAxis(timeAxis_, Qt::AlignBottom);
    chart->addAxis(msAxis_, Qt::AlignLeft);
    for (QAbstractSeries* s :
         {static_cast<QAbstractSeries*>(OutageArea), static_cast<QAbstractSeries*>(ResponseSeries)}) {
        s->attachAxis(timeAxis_);
        s->attachAxis(msAxis_);
    }
    chart->legend()->setAlignment(Qt::AlignBottom);
    ChartView = new QChartView(chart, this);
    ChartView->setObjectName("ChartView");
    ChartView->setRenderHint(QPainter::Antialiasing);
    ChartView->setMinimumHeight(240);

    OutageList = new QTreeWidget(this);
    OutageList->setObjectName("OutageList");
    OutageList->setRootIsDecorated(false);
    OutageList->setHeaderLabels({"Host", "Start", "End", "Lasted", "Reason"});

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
    StatusLabel->setText("Loading...");
    watcher_.setFuture(QtConcurrent::run([file, range, now, generation] {
        Result r;
        r.generation = generation;
        try {
            if (file.empty())
                throw history::EHistoryError("The history is switched off (\"history=\" in sentrel.ini)");
            history::THistoryStore store(file, history::THistoryStore::Mode::Read);
            r.data = history::LoadChart(store, now, range);
        } catch (const std::exception& e) {
            r.error = e.what();
        }
        return r;
    }));
}

void THistoryWindow::Apply(const Result& result) {
    data_ = result.data;
    const std::string off = OffReason ? OffReason() : "";
    QString status;
    if (!result.error.empty())
        status = QString::fromStdString(result.error);
    else if (data_.Hosts.empty())
        status = "No history yet.";
    else
        status = "From " + When(data_.From) + " to " + When(data_.To - 1);
    if (!off.empty()) status = "History is off: " + QString::fromStdString(off) + ". " + status;
    StatusLabel->setText(status);

    UptimeTable->setRowCount(int(data_.Hosts.size()));
    for (int i = 0; i < int(data_.Hosts.size()); ++i) {
        const auto& h = data_.Hosts[std::size_t(i)];
        QStringList cells{QString::number(h.Slot), QString::fromStdString(h.Host)};
        for (const auto& w : h.Windows) cells << Percent(w);
        for (int c = 0; c < cells.size() && c < 5; ++c) {
            auto* item = new QTableWidgetItem(cells[c]);
            if (c != 1) item->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
            UptimeTable->setItem(i, c, item);
        }
    }

    // The outages of every host that touch the range, newest first.
    std::vector<std::pair<const history::THostHistory*, const history::TOutage*>> outages;
    for (const auto& h : data_.Hosts)
        for (const auto& o : h.Outages) outages.push_back({&h, &o});
    std::sort(outages.begin(), outages.end(),
              [](const auto& a, const auto& b) { return a.second->Start > b.second->Start; });
    if (outages.size() > std::size_t(kMaxOutagesListed)) outages.resize(kMaxOutagesListed);
    OutageList->clear();
    QList<QTreeWidgetItem*> items;
    for (const auto& [h, o] : outages)
        items << new QTreeWidgetItem({QString::fromStdString(h->Host), When(o->Start),
                                      o->Ongoing ? "still down" : When(o->End),
                                      QString::fromStdString(history::DurationText(o->Seconds())),
                                      o->Hourly ? "(hourly record)" : QString::fromStdString(o->Reason)});
    OutageList->addTopLevelItems(items);
    for (int c = 0; c < 4; ++c) OutageList->resizeColumnToContents(c);

    const QString chosen = HostBox->currentText();
    {
        const QSignalBlocker block(HostBox);
        HostBox->clear();
        for (const auto& h : data_.Hosts) HostBox->addItem(QString::fromStdString(h.Host));
        const int again = HostBox->findText(chosen);
        HostBox->setCurrentIndex(again >= 0 ? again : 0);
    }
    ShowHost();
    emit Loaded();
}

void THistoryWindow::ShowHost() {
    const int i = HostBox->currentIndex();
    QList<QPointF> response, shade;
    double top = 0;
    timeAxis_->setRange(QDateTime::fromSecsSinceEpoch(data_.From), QDateTime::fromSecsSinceEpoch(data_.To));
    timeAxis_->setFormat(data_.BucketSeconds < 3600 ? "HH:mm" : "MM-dd HH:mm");
    if (i >= 0 && i < int(data_.Hosts.size())) {
        const auto& h = data_.Hosts[std::size_t(i)];
        for (const auto& b : h.Buckets) {
            if (b.Answers == 0) continue;
            response << QPointF(double(b.Start + data_.BucketSeconds / 2) * 1000, b.AvgMs);
            top = std::max(top, b.AvgMs);
        }
        top = top > 0 ? top * 1.15 : 100;
        for (const auto& b : h.Buckets) {
            if (b.Failures == 0) continue;
            const double x0 = double(b.Start) * 1000, x1 = double(b.Start + data_.BucketSeconds) * 1000;
            shade << QPointF(x0, 0) << QPointF(x0, top) << QPointF(x1, top) << QPointF(x1, 0);
        }
        ChartView->chart()->setTitle(QString::fromStdString(h.Host));
    } else {
        top = 100;
        ChartView->chart()->setTitle("");
    }
    ResponseSeries->replace(response);
    OutageUpper->replace(shade);
    msAxis_->setRange(0, top);
}

}  // namespace app
