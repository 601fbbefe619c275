// The LED: its twelve pictures, the recolouring of body and ground, what is
// shown when, and the blink timer.
#include <gtest/gtest.h>

#include <QEnterEvent>
#include <QMouseEvent>
#include <QTimer>
#include <set>

#include "DesktopTestApp.h"
#include "base/Exception.h"
#include "desktop/ALed.h"

using namespace desktop;
using desktoptest::App;
using desktoptest::RunUntil;

namespace {

const TLEDStyle kStyles[] = {LEDSmall, LEDLarge, LEDSqSmall, LEDSqLarge, LEDVertical, LEDHorizontal};

QRgb Rgb(TColor c) {
    return ColorToQColor(c).rgb();
}

TEST(LedPictureTest, EveryPictureKeepsTheDrawingRules) {
    App();
    const std::set<QRgb> allowed = {Rgb(clBlack), Rgb(clSilver), Rgb(clGray), Rgb(clLime), Rgb(clWhite)};
    for (TLEDStyle style : kStyles) {
        for (bool bordered : {false, true}) {
            const std::string what = LedResourceName(style, bordered);
            const QImage img = LedResourceImage(style, bordered).convertToFormat(QImage::Format_RGB32);
            const int w = img.width(), h = img.height();
            ASSERT_EQ(img.size(), LedStyleSize(style)) << what;
            for (int y = 0; y < h; ++y)
                for (int x = 0; x < w; ++x)
                    ASSERT_TRUE(allowed.count(img.pixel(x, y))) << what << " at " << x << "," << y;
            EXPECT_EQ(img.pixel(w / 2, h / 2), Rgb(clLime)) << what << ": body through the centre";
            if (bordered) {
                for (int x = 0; x < w - 1; ++x) EXPECT_EQ(img.pixel(x, 0), Rgb(clWhite)) << what << " top";
                for (int y = 0; y < h - 1; ++y) EXPECT_EQ(img.pixel(0, y), Rgb(clWhite)) << what << " left";
                for (int x = 1; x < w; ++x) EXPECT_EQ(img.pixel(x, h - 1), Rgb(clGray)) << what << " bottom";
                for (int y = 1; y < h; ++y) EXPECT_EQ(img.pixel(w - 1, y), Rgb(clGray)) << what << " right";
                EXPECT_EQ(img.pixel(1, 1), Rgb(clSilver)) << what << ": silver inside the frame";
            } else {
                EXPECT_EQ(img.pixel(0, 0), Rgb(clSilver)) << what << ": ground at the corner";
                // The icon of the window and the tray: the same LED, no ground.
                const QImage icon = LedIconImage(style);
                EXPECT_EQ(qAlpha(icon.pixel(0, 0)), 0) << what << ": transparent ground";
                EXPECT_EQ(icon.pixel(w / 2, h / 2), Rgb(clLime) | 0xff000000u) << what;
            }
        }
    }
}

// The fill rule is the implementer's choice, so the pictures must give the
// same result under both: the body and the ground never touch, not even at
// a corner, and each is one piece.
TEST(LedPictureTest, FourAndEightNeighbourFillsAgree) {
    App();
    for (TLEDStyle style : kStyles) {
        for (bool bordered : {false, true}) {
            const std::string what = LedResourceName(style, bordered);
            const QImage img = LedResourceImage(style, bordered).convertToFormat(QImage::Format_RGB32);
            const QPoint centre(img.width() / 2, img.height() / 2);
            const QPoint ground = bordered ? QPoint(1, 1) : QPoint(0, 0);
            for (auto [start, over] : {std::pair{centre, clLime}, std::pair{ground, clSilver}}) {
                QImage four = img, eight = img;
                FloodFill(four, start.x(), start.y(), ColorToQColor(over), QColor(Qt::blue), false);
                FloodFill(eight, start.x(), start.y(), ColorToQColor(over), QColor(Qt::blue), true);
                EXPECT_EQ(four, eight) << what << " from " << start.x() << "," << start.y();
                // And every pixel of that colour was reached.
                for (int y = 0; y < img.height(); ++y)
                    for (int x = 0; x < img.width(); ++x)
                        EXPECT_NE(four.pixel(x, y), Rgb(over)) << what << " left over at " << x << "," << y;
            }
        }
    }
}

TEST(LedPictureTest, FillingAColourOverItselfEnds) {
    App();
    QImage img = LedResourceImage(LEDSmall, true).convertToFormat(QImage::Format_RGB32);
    const QImage before = img;
    FloodFill(img, 8, 8, Qt::green, Qt::green, true);
    EXPECT_EQ(img, before);
}

TEST(LedTest, DefaultsAndImagesAfterRecolouring) {
    App();
    ThhALed led;
    EXPECT_EQ(led.size(), QSize(16, 16));
    EXPECT_EQ(led.TrueColor(), clLime);
    EXPECT_EQ(led.FalseColor(), clSilver);
    EXPECT_EQ(led.BorderColor(), clBtnFace);
    EXPECT_TRUE(led.Blink());
    EXPECT_TRUE(led.Bordered());
    EXPECT_FALSE(led.Value());
    EXPECT_EQ(led.Interval(), 1000);
    EXPECT_EQ(led.LEDStyle(), LEDSmall);
    EXPECT_EQ(led.ImageIndex(), 1);
    EXPECT_EQ(led.BlinkTimer(), nullptr);

    struct Case {
        const char* what;
        TLEDStyle style;
        bool bordered;
        TColor on, off, border;
        QRgb litCentre, unlitCentre, corner, frameRight;
    } cases[] = {
        {"framed, defaults", LEDSmall, true, clLime, clSilver, 0x00FF0000, Rgb(clLime), Rgb(clSilver),
         Rgb(clWhite), Rgb(clGray)},
        {"framed, red; border colour unused", LEDSqSmall, true, clRed, clSilver, 0x00FF0000, qRgb(255, 0, 0),
         Rgb(clSilver), Rgb(clWhite), Rgb(clGray)},
        {"plain: ground takes the border colour", LEDLarge, false, clRed, 0x00008000, 0x00FF0000,
         qRgb(255, 0, 0), qRgb(0, 128, 0), qRgb(0, 0, 255), qRgb(0, 0, 255)},
        {"plain, silver body stays apart from the ground", LEDVertical, false, clLime, clSilver, 0x00FF0000,
         Rgb(clLime), Rgb(clSilver), qRgb(0, 0, 255), qRgb(0, 0, 255)},
        {"plain, lime ground over lime body", LEDHorizontal, false, clLime, clLime, clLime, Rgb(clLime),
         Rgb(clLime), Rgb(clLime), Rgb(clLime)},
    };
    for (const Case& c : cases) {
        ThhALed l;
        l.SetLEDStyle(c.style);
        l.SetBordered(c.bordered);
        l.SetTrueColor(c.on);
        l.SetFalseColor(c.off);
        l.SetBorderColor(c.border);
        const int w = l.width(), h = l.height();
        for (const QImage* img : {&l.LitImage(), &l.UnlitImage()}) {
            ASSERT_EQ(img->size(), QSize(w, h)) << c.what;
            EXPECT_EQ(img->pixel(0, 0), c.corner) << c.what;
            EXPECT_EQ(img->pixel(w - 1, h / 2), c.frameRight) << c.what;
        }
        EXPECT_EQ(l.LitImage().pixel(w / 2, h / 2), c.litCentre) << c.what;
        EXPECT_EQ(l.UnlitImage().pixel(w / 2, h / 2), c.unlitCentre) << c.what;
        // The outline between body and ground keeps its ink.
        int outline = 0;
        for (int x = 0; x < w; ++x) outline += l.LitImage().pixel(x, h / 2) == Rgb(clBlack);
        EXPECT_GE(outline, 1) << c.what;
    }
}

TEST(LedTest, PaintsTheImageOfTheIndex) {
    App();
    ThhALed led;
    led.SetBlink(false);
    led.SetTrueColor(clRed);
    EXPECT_EQ(led.grab().toImage().pixel(8, 8), Rgb(clSilver));
    led.SetValue(true);
    EXPECT_EQ(led.grab().toImage().pixel(8, 8), qRgb(255, 0, 0));
    EXPECT_EQ(led.grab().toImage().pixel(0, 0), Rgb(clWhite));
    led.SetValue(false);
    EXPECT_EQ(led.grab().toImage().pixel(8, 8), Rgb(clSilver));
}

TEST(LedTest, StyleImposesTheSize) {
    App();
    ThhALed led;
    led.resize(40, 40);
    const struct {
        TLEDStyle style;
        QSize size;
    } cases[] = {{LEDVertical, {16, 22}}, {LEDHorizontal, {22, 16}}, {LEDLarge, {22, 22}},
                 {LEDSqLarge, {22, 22}},  {LEDSqSmall, {16, 16}},    {LEDSmall, {16, 16}}};
    for (const auto& c : cases) {
        led.SetLEDStyle(c.style);
        EXPECT_EQ(led.size(), c.size) << LedResourceName(c.style, true);
        EXPECT_EQ(led.LitImage().size(), c.size);
    }
}

TEST(LedBlinkTest, LitAtOnceThenTogglesEveryInterval) {
    App();
    ThhALed led;
    led.SetInterval(40);
    std::vector<int> seen;
    led.OnTimer = [&](base::TObject* sender) {
        EXPECT_EQ(sender, &led);
        seen.push_back(led.ImageIndex());
    };
    led.SetValue(true);
    EXPECT_EQ(led.ImageIndex(), 0);
    ASSERT_NE(led.BlinkTimer(), nullptr);
    EXPECT_EQ(led.BlinkTimer()->interval(), 40);
    EXPECT_TRUE(led.BlinkTimer()->isActive());
    QApplication::processEvents();
    EXPECT_TRUE(seen.empty()) << "the first toggle waits one interval";
    ASSERT_TRUE(RunUntil([&] { return seen.size() >= 3; }));
    EXPECT_EQ(seen[0], 1);
    EXPECT_EQ(seen[1], 0);
    EXPECT_EQ(seen[2], 1);

    led.SetValue(false);
    EXPECT_EQ(led.BlinkTimer(), nullptr);
    EXPECT_EQ(led.ImageIndex(), 1);
    led.SetBlink(false);
    led.SetBlink(true);
    EXPECT_EQ(led.BlinkTimer(), nullptr) << "an unlit LED never blinks";
}

TEST(LedBlinkTest, SettersStartAndStopBlinking) {
    App();
    ThhALed led;
    led.SetBlink(false);
    led.SetValue(true);
    EXPECT_EQ(led.BlinkTimer(), nullptr);
    EXPECT_EQ(led.ImageIndex(), 0);
    led.SetBlink(true);
    ASSERT_NE(led.BlinkTimer(), nullptr);
    led.SetBlink(false);
    EXPECT_EQ(led.BlinkTimer(), nullptr);
    EXPECT_EQ(led.ImageIndex(), 0) << "steady and lit";

    // A colour change while blinking rebuilds the images and blinks on.
    led.SetBlink(true);
    led.SetTrueColor(clRed);
    ASSERT_NE(led.BlinkTimer(), nullptr);
    EXPECT_EQ(led.ImageIndex(), 0);
    EXPECT_EQ(led.LitImage().pixel(8, 8), qRgb(255, 0, 0));

    // Interval reaches a running timer at once.
    led.SetInterval(250);
    EXPECT_EQ(led.BlinkTimer()->interval(), 250);
}

TEST(LedBlinkTest, LastCheckSequencesOfTheMainWindow) {
    App();
    ThhALed led;
    led.SetLEDStyle(LEDSqSmall);
    led.SetBlink(false);
    // A bad pool check, then a good one.
    led.SetTrueColor(clRed);
    led.SetBlink(true);
    led.SetValue(true);
    EXPECT_NE(led.BlinkTimer(), nullptr);
    EXPECT_EQ(led.LitImage().pixel(8, 8), qRgb(255, 0, 0));
    led.SetTrueColor(clLime);
    led.SetBlink(false);
    led.SetValue(true);
    EXPECT_EQ(led.BlinkTimer(), nullptr);
    EXPECT_EQ(led.ImageIndex(), 0);
    EXPECT_EQ(led.grab().toImage().pixel(8, 8), Rgb(clLime));
}

TEST(LedBlinkTest, SettingTheCurrentValueChangesNothing) {
    App();
    ThhALed led;
    led.SetValue(true);
    const QTimer* timer = led.BlinkTimer();
    const qint64 lit = led.LitImage().cacheKey(), unlit = led.UnlitImage().cacheKey();
    ASSERT_NE(timer, nullptr);
    led.SetValue(true);
    led.SetBlink(true);
    led.SetTrueColor(led.TrueColor());
    led.SetFalseColor(led.FalseColor());
    led.SetBorderColor(led.BorderColor());
    led.SetBordered(true);
    led.SetLEDStyle(LEDSmall);
    EXPECT_EQ(led.BlinkTimer(), timer);
    EXPECT_EQ(led.LitImage().cacheKey(), lit);
    EXPECT_EQ(led.UnlitImage().cacheKey(), unlit);
    EXPECT_EQ(led.ImageIndex(), 0);
}

TEST(LedBlinkTest, NegativeIntervalIsARangeErrorWhenHandedToTheTimer) {
    App();
    ThhALed led;
    led.SetInterval(-1);  // no timer yet: stored only
    EXPECT_EQ(led.Interval(), -1);
    EXPECT_THROW(led.SetValue(true), base::ERangeError);
    EXPECT_EQ(led.BlinkTimer(), nullptr);
    led.SetValue(false);
    led.SetInterval(100);
    led.SetValue(true);
    EXPECT_THROW(led.SetInterval(-5), base::ERangeError);
    EXPECT_EQ(led.BlinkTimer()->interval(), 100);
}

TEST(LedTest, MouseAndClickEventsCarryTheControl) {
    App();
    ThhALed led;
    int enter = 0, leave = 0, click = 0;
    led.OnMouseEnter = [&](base::TObject* s) { enter += s == &led; };
    led.OnMouseLeave = [&](base::TObject* s) { leave += s == &led; };
    led.OnClick = [&](base::TObject* s) { click += s == &led; };
    QEnterEvent in(QPointF(2, 2), QPointF(2, 2), QPointF(2, 2));
    QApplication::sendEvent(&led, &in);
    QMouseEvent press(QEvent::MouseButtonPress, QPointF(4, 4), QPointF(4, 4), Qt::LeftButton, Qt::LeftButton,
                      Qt::NoModifier);
    QMouseEvent release(QEvent::MouseButtonRelease, QPointF(4, 4), QPointF(4, 4), Qt::LeftButton,
                        Qt::NoButton, Qt::NoModifier);
    QApplication::sendEvent(&led, &press);
    QApplication::sendEvent(&led, &release);
    QEvent out(QEvent::Leave);
    QApplication::sendEvent(&led, &out);
    EXPECT_EQ(enter, 1);
    EXPECT_EQ(click, 1);
    EXPECT_EQ(leave, 1);
}

}  // namespace

TEST(LedBlinkTest, ZeroIntervalStaysLitInsteadOfTickingEveryPass) {
    App();
    ThhALed led;
    led.SetInterval(0);
    led.SetValue(true);
    EXPECT_EQ(led.BlinkTimer(), nullptr);
    EXPECT_EQ(led.ImageIndex(), 0);
    led.SetInterval(40);  // blinking resumes with a real interval
    ASSERT_NE(led.BlinkTimer(), nullptr);
    EXPECT_EQ(led.BlinkTimer()->interval(), 40);
    led.SetInterval(0);  // and stops, lit, on a zero one
    EXPECT_EQ(led.BlinkTimer(), nullptr);
    EXPECT_EQ(led.ImageIndex(), 0);
}
