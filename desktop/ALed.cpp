#include "desktop/ALed.h"

#include <QApplication>
#include <QEnterEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPalette>
#include <QTimer>
#include <cmath>
#include <vector>

#include "base/Exception.h"

namespace desktop {

QColor ColorToQColor(TColor color) {
    if (color & 0x80000000u) {
        const QPalette pal = QApplication::palette();
        switch (color & 0xFFu) {
            case 1: return pal.color(QPalette::Window);  // desktop background
            case 5: return pal.color(QPalette::Base);
            case 8: return pal.color(QPalette::Text);
            case 13: return pal.color(QPalette::Highlight);
            case 14: return pal.color(QPalette::HighlightedText);
            case 15: return pal.color(QPalette::Window);  // button face: the colour of a form
            case 16: return pal.color(QPalette::Mid);
            case 18: return pal.color(QPalette::ButtonText);
            case 20: return pal.color(QPalette::Light);
            case 23: return pal.color(QPalette::ToolTipText);
            case 24: return pal.color(QPalette::ToolTipBase);
            default: return pal.color(QPalette::Window);
        }
    }
    return QColor(color & 0xFF, (color >> 8) & 0xFF, (color >> 16) & 0xFF);
}

void FloodFill(QImage& image, int x, int y, QColor over, QColor with, bool eightWay) {
    const int w = image.width(), h = image.height();
    if (x < 0 || y < 0 || x >= w || y >= h) return;
    const QRgb from = over.rgb(), to = with.rgb();
    if (image.pixel(x, y) != from) return;
    // A seen-mask rather than a colour test, so that painting a colour over
    // itself ends.
    std::vector<char> seen(static_cast<size_t>(w) * h, 0);
    std::vector<QPoint> todo{QPoint(x, y)};
    seen[static_cast<size_t>(y) * w + x] = 1;
    while (!todo.empty()) {
        const QPoint p = todo.back();
        todo.pop_back();
        image.setPixel(p, to);
        for (int dy = -1; dy <= 1; ++dy) {
            for (int dx = -1; dx <= 1; ++dx) {
                if (dx == 0 && dy == 0) continue;
                if (!eightWay && dx != 0 && dy != 0) continue;
                const int nx = p.x() + dx, ny = p.y() + dy;
                if (nx < 0 || ny < 0 || nx >= w || ny >= h) continue;
                char& s = seen[static_cast<size_t>(ny) * w + nx];
                if (s || image.pixel(nx, ny) != from) continue;
                s = 1;
                todo.emplace_back(nx, ny);
            }
        }
    }
}

QSize LedStyleSize(TLEDStyle style) {
    switch (style) {
        case LEDSmall: return {16, 16};
        case LEDLarge: return {22, 22};
        case LEDSqSmall: return {16, 16};
        case LEDSqLarge: return {22, 22};
        case LEDVertical: return {16, 22};
        case LEDHorizontal: return {22, 16};
    }
    return {16, 16};
}

const char* LedResourceName(TLEDStyle style, bool bordered) {
    static const char* const names[6][2] = {{"NSM", "BSM"},     {"NLG", "BLG"}, {"NSQSM", "BSQSM"},
                                            {"NSQLG", "BSQLG"}, {"NVT", "BVT"}, {"NHZ", "BHZ"}};
    return names[style][bordered ? 1 : 0];
}

namespace {

// The standard 16-colour table, in its usual order.
enum Ink { Black = 0, Gray = 7, Silver = 8, Lime = 10, White = 15 };
const QList<QRgb>& Standard16() {
    static const QList<QRgb> table = {
        qRgb(0, 0, 0),       qRgb(128, 0, 0),   qRgb(0, 128, 0),   qRgb(128, 128, 0),
        qRgb(0, 0, 128),     qRgb(128, 0, 128), qRgb(0, 128, 128), qRgb(128, 128, 128),
        qRgb(192, 192, 192), qRgb(255, 0, 0),   qRgb(0, 255, 0),   qRgb(255, 255, 0),
        qRgb(0, 0, 255),     qRgb(255, 0, 255), qRgb(0, 255, 255), qRgb(255, 255, 255)};
    return table;
}

// Whether pixel (x, y) belongs to the LED body of a style. Every body holds
// the centre pixel (w div 2, h div 2) and keeps a ring and a margin of ground
// from the image's edge.
bool InBody(TLEDStyle style, int x, int y) {
    const QSize s = LedStyleSize(style);
    const double cx = s.width() / 2.0, cy = s.height() / 2.0;
    const double px = x + 0.5 - cx, py = y + 0.5 - cy;
    auto inRect = [&](int x0, int y0, int x1, int y1, bool rounded) {
        if (x < x0 || x > x1 || y < y0 || y > y1) return false;
        if (rounded && (x == x0 || x == x1) && (y == y0 || y == y1)) return false;
        return true;
    };
    switch (style) {
        case LEDSmall: return px * px + py * py <= 4.6 * 4.6;
        case LEDLarge: return px * px + py * py <= 7.1 * 7.1;
        case LEDSqSmall: return inRect(4, 4, 11, 11, false);
        case LEDSqLarge: return inRect(5, 5, 16, 16, false);
        case LEDVertical: return inRect(5, 3, 10, 18, true);
        case LEDHorizontal: return inRect(3, 5, 18, 10, true);
    }
    return false;
}

}  // namespace

QImage LedIconImage(TLEDStyle style) {
    QImage img = LedResourceImage(style, false);
    QList<QRgb> table = img.colorTable();
    table[Silver] = qRgba(0, 0, 0, 0);  // the ground
    img.setColorTable(table);
    return img.convertToFormat(QImage::Format_ARGB32);
}

QImage LedResourceImage(TLEDStyle style, bool bordered) {
    const QSize s = LedStyleSize(style);
    const int w = s.width(), h = s.height();
    QImage img(s, QImage::Format_Indexed8);
    img.setColorTable(Standard16());
    img.fill(Silver);
    auto body = [&](int x, int y) { return x >= 0 && y >= 0 && x < w && y < h && InBody(style, x, y); };

    int bx0 = w, by0 = h;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            if (body(x, y)) {
                img.setPixel(x, y, Lime);
                bx0 = std::min(bx0, x);
                by0 = std::min(by0, y);
            }

    // The outline: every ground pixel touching the body, even at a corner,
    // so that the body and the ground never meet whichever fill rule is
    // used. Black on the upper left, grey shading on the lower right.
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            if (body(x, y)) continue;
            bool touches = false;
            for (int dy = -1; dy <= 1 && !touches; ++dy)
                for (int dx = -1; dx <= 1 && !touches; ++dx) touches = body(x + dx, y + dy);
            if (!touches) continue;
            const double d = (x + 0.5 - w / 2.0) + (y + 0.5 - h / 2.0);
            img.setPixel(x, y, d > 0 ? Gray : Black);
        }

    // A small white highlight inside the upper left of the body, one step in
    // from its edge so that the lime around it stays in one piece.
    int k = 0;
    while (!body(bx0 + k, by0 + k) && k < w) ++k;
    const int hx = bx0 + k + 1, hy = by0 + k + 1;
    for (const QPoint p : {QPoint(hx, hy), QPoint(hx + 1, hy), QPoint(hx, hy + 1)})
        if (body(p.x(), p.y())) img.setPixel(p, White);

    if (bordered) {
        for (int x = 0; x < w; ++x) img.setPixel(x, 0, White);
        for (int y = 0; y < h; ++y) img.setPixel(0, y, White);
        for (int x = 0; x < w; ++x) img.setPixel(x, h - 1, Gray);
        for (int y = 0; y < h; ++y) img.setPixel(w - 1, y, Gray);
    }
    return img;
}

ThhALed::ThhALed(QWidget* owner) : QWidget(owner) {
    resize(16, 16);
    RebuildLedImages();
}

ThhALed::~ThhALed() {
    StopBlinkTimer();
    ReleaseLedImages();
}

void ThhALed::ReleaseLedImages() {
    lit_ = QImage();
    unlit_ = QImage();
}

void ThhALed::RebuildLedImages() {
    ReleaseLedImages();
    setFixedSize(LedStyleSize(ledStyle_));
    const QImage picture = LedResourceImage(ledStyle_, bordered_);
    lit_ = picture.convertToFormat(QImage::Format_RGB32);
    unlit_ = picture.convertToFormat(QImage::Format_RGB32);
    const int cx = width() / 2, cy = height() / 2;
    const QColor lime = ColorToQColor(clLime);
    FloodFill(lit_, cx, cy, lime, ColorToQColor(trueColor_));
    FloodFill(unlit_, cx, cy, lime, ColorToQColor(falseColor_));
    if (!bordered_) {
        const QColor silver = ColorToQColor(clSilver), ground = ColorToQColor(borderColor_);
        FloodFill(lit_, 0, 0, silver, ground);
        FloodFill(unlit_, 0, 0, silver, ground);
    }
}

void ThhALed::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.drawImage(QRect(0, 0, width(), height()), index_ == 0 ? lit_ : unlit_);
}

void ThhALed::ShowLitImage() {
    index_ = 0;
    update();
}

void ThhALed::ShowUnlitImage() {
    index_ = 1;
    update();
}

void ThhALed::StartBlinkTimer() {
    if (timer_) return;
    if (interval_ < 0) throw base::ERangeError();
    index_ = 0;
    // A zero interval would tick on every pass of the loop and keep a core
    // busy: the LED then stays lit without blinking.
    if (interval_ == 0) return;
    timer_ = new QTimer(this);
    timer_->setInterval(interval_);
    QObject::connect(timer_, &QTimer::timeout, this, [this] { BlinkTimerTick(); });
    timer_->start();
}

void ThhALed::StopBlinkTimer() {
    delete timer_;
    timer_ = nullptr;
}

void ThhALed::BlinkTimerTick() {
    index_ ^= 1;
    update();
    base::Fire(OnTimer, this);
}

void ThhALed::SetValue(bool v) {
    if (v == value_) return;
    value_ = v;
    if (v) {
        ShowLitImage();
        if (blink_) StartBlinkTimer();
    } else {
        StopBlinkTimer();
        ShowUnlitImage();
    }
}

void ThhALed::SetBlink(bool v) {
    if (v == blink_) return;
    if (value_)
        ShowLitImage();
    else
        ShowUnlitImage();
    blink_ = v;
    if (v && value_)
        StartBlinkTimer();
    else
        StopBlinkTimer();
}

void ThhALed::SetColor(TColor& field, TColor c) {
    if (c == field) return;
    const bool blinking = blink_;
    if (blinking) SetBlink(false);
    field = c;
    RebuildLedImages();
    SetBlink(blinking);
    update();
}

void ThhALed::SetTrueColor(TColor c) {
    SetColor(trueColor_, c);
}
void ThhALed::SetFalseColor(TColor c) {
    SetColor(falseColor_, c);
}
void ThhALed::SetBorderColor(TColor c) {
    SetColor(borderColor_, c);
}

void ThhALed::SetBordered(bool v) {
    if (v == bordered_) return;
    bordered_ = v;
    RebuildLedImages();
    update();
}

void ThhALed::SetLEDStyle(TLEDStyle s) {
    if (s == ledStyle_) return;
    ledStyle_ = s;
    RebuildLedImages();
    update();
}

void ThhALed::SetInterval(std::int32_t ms) {
    interval_ = ms;
    if (!timer_) {
        // A lit blinking LED held steady by a zero interval starts now.
        if (ms > 0 && blink_ && value_) StartBlinkTimer();
        return;
    }
    if (ms < 0) throw base::ERangeError();
    if (ms == 0) {
        StopBlinkTimer();
        ShowLitImage();
        return;
    }
    timer_->setInterval(ms);
}

void ThhALed::enterEvent(QEnterEvent* event) {
    QWidget::enterEvent(event);
    base::Fire(OnMouseEnter, this);
}

void ThhALed::leaveEvent(QEvent* event) {
    QWidget::leaveEvent(event);
    base::Fire(OnMouseLeave, this);
}

void ThhALed::mouseReleaseEvent(QMouseEvent* event) {
    QWidget::mouseReleaseEvent(event);
    if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint()))
        base::Fire(OnClick, this);
}

bool ThhALed::event(QEvent* event) {
    // Without ShowHint the control's hint stays hidden.
    if (event->type() == QEvent::ToolTip && !showHint_) return true;
    return QWidget::event(event);
}

}  // namespace desktop
