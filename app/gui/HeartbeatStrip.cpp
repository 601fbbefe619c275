#include "app/gui/HeartbeatStrip.h"

#include <QDateTime>
#include <QHelpEvent>
#include <QPainter>
#include <QToolTip>

namespace app {

namespace {
constexpr int kStep = THeartbeatStrip::kMarkWidth + THeartbeatStrip::kGap;
constexpr int kMargin = 2;  // above and below the marks, and at either end

QString Latin1OrUtf8(const std::string& s) {
    QString text = QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size()));
    if (text.contains(QChar::ReplacementCharacter))
        text = QString::fromLatin1(s.data(), static_cast<qsizetype>(s.size()));
    return text;
}
}  // namespace

THeartbeatStrip::THeartbeatStrip(std::vector<history::TCheckRow> checks, QWidget* parent)
    : QWidget(parent), checks_(std::move(checks)) {
    if (checks_.size() > std::size_t(kPlaces)) checks_.erase(checks_.begin(), checks_.end() - kPlaces);
    setObjectName("HeartbeatStrip");
    setAttribute(Qt::WA_AlwaysShowToolTips);
}

QSize THeartbeatStrip::sizeHint() const {
    return {2 * kMargin + kPlaces * kStep - kGap, 16};
}

QRect THeartbeatStrip::MarkRect(int index) const {
    const int count = int(checks_.size());
    if (index < 0 || index >= count) return {};
    // Right-aligned: the newest mark ends at the right margin.
    const int right = width() - kMargin;
    const int left = right - (count - index) * kStep + kGap;
    return QRect(left, kMargin, kMarkWidth, std::max(1, height() - 2 * kMargin));
}

int THeartbeatStrip::CheckAt(QPoint point) const {
    if (point.y() < 0 || point.y() >= height()) return -1;
    // The gap beside a mark counts to the mark, so no pixel is dead.
    const int fromRight = width() - kMargin - 1 - point.x();
    if (fromRight < 0) return -1;
    const int index = int(checks_.size()) - 1 - fromRight / kStep;
    return index >= 0 ? index : -1;
}

QString THeartbeatStrip::Tip(const history::TCheckRow& check) {
    QString text = QDateTime::fromSecsSinceEpoch(check.Time).toString("yyyy-MM-dd HH:mm:ss") + ": ";
    if (check.Up) {
        text += "up";
    } else {
        text += "down";
        if (!check.Reason.empty()) text += " (" + Latin1OrUtf8(check.Reason) + ")";
    }
    text += ", " + QString::number(check.TotalMs, 'f', check.TotalMs < 10 ? 1 : 0) + " ms";
    return text;
}

void THeartbeatStrip::paintEvent(QPaintEvent*) {
    QPainter p(this);
    const QColor up(40, 170, 60), down(220, 40, 40);
    for (int i = 0; i < int(checks_.size()); ++i)
        p.fillRect(MarkRect(i), checks_[std::size_t(i)].Up ? up : down);
}

bool THeartbeatStrip::event(QEvent* event) {
    if (event->type() == QEvent::ToolTip) {
        auto* help = static_cast<QHelpEvent*>(event);
        const int i = CheckAt(help->pos());
        if (i < 0) {
            QToolTip::hideText();
            event->ignore();
        } else {
            // The tip belongs to its mark: it goes when the pointer leaves it.
            QRect mark = MarkRect(i).adjusted(0, -kMargin, kGap, kMargin);
            QToolTip::showText(help->globalPos(), Tip(checks_[std::size_t(i)]), this, mark);
        }
        return true;
    }
    return QWidget::event(event);
}

}  // namespace app
