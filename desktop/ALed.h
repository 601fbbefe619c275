// ThhALed: a small LED indicator. It shows one of two prepared images, lit
// or unlit, each being one of our twelve 16-colour pictures of an LED whose
// lime body has been recoloured by a flood fill to TrueColor or FalseColor
// (and, for the plain pictures, whose silver ground has been recoloured to
// BorderColor). A lit LED that blinks alternates the two images on a timer
// every Interval milliseconds; with an Interval of 0 it stays lit, since a
// timer of no interval would fire on every pass of the loop.
//
// The control owns its two images and its blink timer (present only while
// blinking). GUI thread only. OnTimer, OnClick, OnMouseEnter and
// OnMouseLeave are fired last in their step; a handler may change any
// property, including destroying the control from a queued call.
#pragma once

#include <QImage>
#include <QWidget>
#include <cstdint>

#include "base/Events.h"

class QTimer;

namespace desktop {

// A colour value: 0x00BBGGRR, or 0x80000000 plus a system colour index.
using TColor = std::uint32_t;

constexpr TColor clLime = 0x0000FF00;
constexpr TColor clRed = 0x000000FF;
constexpr TColor clSilver = 0x00C0C0C0;
constexpr TColor clGray = 0x00808080;
constexpr TColor clBlack = 0x00000000;
constexpr TColor clWhite = 0x00FFFFFF;
constexpr TColor clBtnFace = 0x8000000F;

// The RGB a colour value stands for; system colours come from the
// application's palette.
QColor ColorToQColor(TColor color);

enum TLEDStyle { LEDSmall, LEDLarge, LEDSqSmall, LEDSqLarge, LEDVertical, LEDHorizontal };

// Paints the area of exactly the colour `over` that is connected to (x, y)
// with `with`. eightWay chooses 8-neighbour connectivity instead of 4.
void FloodFill(QImage& image, int x, int y, QColor over, QColor with, bool eightWay = false);

// The picture a style is drawn from, before any recolouring: the framed set
// when bordered, the plain set otherwise. Indexed, standard 16-colour table.
QImage LedResourceImage(TLEDStyle style, bool bordered);
const char* LedResourceName(TLEDStyle style, bool bordered);
// The plain picture of a style as an icon: the lit LED on a transparent
// ground, for the window and the notification area.
QImage LedIconImage(TLEDStyle style);
QSize LedStyleSize(TLEDStyle style);

class ThhALed : public QWidget, public base::TObject {
public:
    explicit ThhALed(QWidget* owner = nullptr);
    ~ThhALed() override;

    TColor TrueColor() const { return trueColor_; }
    TColor FalseColor() const { return falseColor_; }
    TColor BorderColor() const { return borderColor_; }
    bool Blink() const { return blink_; }
    bool Bordered() const { return bordered_; }
    bool Value() const { return value_; }
    std::int32_t Interval() const { return interval_; }
    TLEDStyle LEDStyle() const { return ledStyle_; }
    bool ShowHint() const { return showHint_; }

    void SetTrueColor(TColor c);
    void SetFalseColor(TColor c);
    void SetBorderColor(TColor c);
    void SetBlink(bool v);
    void SetBordered(bool v);
    void SetValue(bool v);
    // Raises base::ERangeError when negative and a blink timer runs; 0
    // stops the blinking (the LED stays lit) until a positive value.
    void SetInterval(std::int32_t ms);
    void SetLEDStyle(TLEDStyle s);
    void SetShowHint(bool v) { showHint_ = v; }

    base::TNotifyEvent OnTimer;
    base::TNotifyEvent OnMouseEnter;
    base::TNotifyEvent OnMouseLeave;
    base::TNotifyEvent OnClick;

    // What the control is made of, for inspection.
    const QImage& LitImage() const { return lit_; }
    const QImage& UnlitImage() const { return unlit_; }
    int ImageIndex() const { return index_; }  // 0 lit, 1 unlit
    const QTimer* BlinkTimer() const { return timer_; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    bool event(QEvent* event) override;

private:
    void RebuildLedImages();
    void ReleaseLedImages();
    void ShowLitImage();
    void ShowUnlitImage();
    void StartBlinkTimer();
    void StopBlinkTimer();
    void BlinkTimerTick();
    void SetColor(TColor& field, TColor c);

    TColor trueColor_ = clLime;
    TColor falseColor_ = clSilver;
    TColor borderColor_ = clBtnFace;
    bool blink_ = true;
    bool bordered_ = true;
    bool value_ = false;
    std::int32_t interval_ = 1000;
    TLEDStyle ledStyle_ = LEDSmall;
    bool showHint_ = true;

    QImage lit_;
    QImage unlit_;
    QTimer* timer_ = nullptr;
    int index_ = 1;
};

}  // namespace desktop
