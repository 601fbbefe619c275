// A host's latest checks as a row of marks, the newest at the right end:
// one mark per check, green for a check that passed and red for one that
// failed. Hovering a mark tells when the check ended, its outcome and the
// time it took. Fewer checks than places leave the left end empty, so the
// newest check of every host lines up in a column of strips.
#pragma once

#include <QWidget>
#include <vector>

#include "history/HistoryStore.h"

namespace app {

class THeartbeatStrip : public QWidget {
public:
    static constexpr int kPlaces = 50;
    static constexpr int kMarkWidth = 3, kGap = 1;

    explicit THeartbeatStrip(std::vector<history::TCheckRow> checks, QWidget* parent = nullptr);

    // The checks shown, oldest first (the newest kPlaces of those given).
    const std::vector<history::TCheckRow>& Checks() const { return checks_; }
    // The check whose mark lies under a point of the strip; -1 for none.
    int CheckAt(QPoint point) const;
    // Where the mark of a check is drawn.
    QRect MarkRect(int index) const;
    // The tooltip of a check: "2026-12-07 21:03:05: up, 12 ms", or with
    // the reason for a failure: "...: down (Connection refused), 10000 ms".
    static QString Tip(const history::TCheckRow& check);

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override { return sizeHint(); }

protected:
    void paintEvent(QPaintEvent* event) override;
    bool event(QEvent* event) override;

private:
    std::vector<history::TCheckRow> checks_;
};

}  // namespace app
