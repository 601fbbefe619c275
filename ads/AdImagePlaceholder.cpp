// The project's own libadimage.so: a stand-in for the advertising library
// that draws a house banner (the program's name and one line about what it
// does, without the LED, whose colour is the pool's state) into the banner it is given, in the desktop's
// palette, and never posts a notification. It keeps no state beyond an
// event filter on each banner, owned by that banner.
#include <QApplication>
#include <QEvent>
#include <QFontMetrics>
#include <QPainter>
#include <QWidget>

#include "ads/AdImage.h"

namespace {

class HouseBanner : public QObject {
public:
    explicit HouseBanner(QWidget* banner) : QObject(banner), banner_(banner) {
        banner->installEventFilter(this);
    }

    bool eventFilter(QObject* obj, QEvent* e) override {
        if (obj != banner_ || e->type() != QEvent::Paint) return false;
        Paint();
        return true;
    }

private:
    void Paint() {
        QPainter p(banner_);
        p.setRenderHint(QPainter::Antialiasing);
        const QPalette pal = banner_->palette();
        const QRect r = banner_->rect();
        p.fillRect(r, pal.color(QPalette::Base));
        p.setPen(pal.color(QPalette::Mid));
        p.drawRect(r.adjusted(0, 0, -1, -1));

        // The program's name, in the palette's colours: a banner must not
        // look like a state, so no LED (whose colour is the pool's) is drawn.
        const bool small = r.width() < 200;
        QFont title = banner_->font();
        title.setBold(true);
        title.setPointSizeF(title.pointSizeF() * (small ? 1.2 : 1.8));
        p.setFont(title);
        p.setPen(pal.color(QPalette::Text));
        const int textLeft = 10;
        const QRect titleRect(textLeft, 4, r.width() - textLeft - 6, small ? 26 : 28);
        p.drawText(titleRect, Qt::AlignLeft | Qt::AlignVCenter, "Sentrel");

        QFont line = banner_->font();
        if (small) line.setPointSizeF(line.pointSizeF() * 0.8);
        p.setFont(line);
        p.setPen(pal.color(QPalette::PlaceholderText));
        const QRect lineRect = small ? QRect(textLeft, 30, r.width() - textLeft - 4, r.height() - 32)
                                     : QRect(textLeft, 32, r.width() - textLeft - 6, r.height() - 36);
        // The longest line about the program that fits the banner.
        const QFontMetrics metrics(line);
        QString fitted;
        for (const char* text : {"Watches whether your web servers can be reached",
                                 "Watches your web servers", "Web server monitor", "Server monitor"}) {
            fitted = metrics.elidedText(text, Qt::ElideRight, lineRect.width());
            if (fitted == text) break;
        }
        p.drawText(lineRect, Qt::AlignLeft | Qt::AlignVCenter, fitted);
    }

    QWidget* banner_;
};

}  // namespace

extern "C" {

__attribute__((visibility("default"))) std::uint16_t Initialize(std::uintptr_t window, std::int32_t,
                                                                std::int32_t, std::int32_t, std::int32_t) {
    QWidget* banner = QWidget::find(static_cast<WId>(window));
    if (!banner) return 0;
    new HouseBanner(banner);
    banner->update();
    return 1;
}

__attribute__((visibility("default"))) std::uint16_t StartMessaging(std::int32_t) {
    return 1;
}

__attribute__((visibility("default"))) std::int32_t SetThrottle(std::int32_t value) {
    return value;
}

__attribute__((visibility("default"))) void SetProxy() {}

__attribute__((visibility("default"))) void SetOffline() {}
}
