// A small window with the main window's two LEDs, as they sit beside their
// labels: the last-check LED (small square) and the active LED (default
// style), with a third LED blinking red, for looking at them.
//
//   desktop_led_demo --grab leds.png     the window, drawn by itself
//   desktop_led_demo --screen screen.png the whole screen (under Xvfb: the
//                                        window on the X server's root)
//   desktop_led_demo --shot screen.png   the whole screen without a window of
//                                        its own: a screenshot of another
//                                        program running on the same display
//   desktop_led_demo                     stays open until closed
#include <QApplication>
#include <QGridLayout>
#include <QLabel>
#include <QScreen>
#include <QTimer>
#include <QWidget>
#include <cstdio>
#include <cstring>
#include <string>

#include "desktop/ALed.h"

using namespace desktop;

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    if (argc == 3 && std::strcmp(argv[1], "--shot") == 0) {
        const QPixmap shot = QGuiApplication::primaryScreen()->grabWindow(0);
        const bool ok = shot.save(QString::fromLocal8Bit(argv[2]), "PNG");
        std::fprintf(ok ? stdout : stderr, "%s %s (%dx%d)\n", ok ? "saved" : "could not save", argv[2],
                     shot.width(), shot.height());
        return ok ? 0 : 1;
    }
    QWidget window;
    window.setWindowTitle("Sentrel LEDs");
    auto* grid = new QGridLayout(&window);

    auto* statusLed = new ThhALed(&window);  // the last check was good
    statusLed->SetLEDStyle(LEDSqSmall);
    statusLed->SetBlink(false);
    statusLed->SetTrueColor(clLime);
    statusLed->SetValue(true);
    statusLed->setToolTip("Green means last check was good, blinking red means last check was bad");

    auto* activeLed = new ThhALed(&window);  // monitoring is on
    activeLed->SetBlink(false);
    activeLed->SetValue(true);
    activeLed->setToolTip("Lights up if actively monitoring");

    auto* badLed = new ThhALed(&window);  // how a bad check looks
    badLed->SetLEDStyle(LEDSqSmall);
    badLed->SetTrueColor(clRed);
    badLed->SetBlink(true);
    badLed->SetValue(true);

    auto* offLed = new ThhALed(&window);  // monitoring is off
    offLed->SetBlink(false);

    grid->addWidget(statusLed, 0, 0);
    grid->addWidget(new QLabel("Last Check"), 0, 1);
    grid->addWidget(activeLed, 1, 0);
    grid->addWidget(new QLabel("Active"), 1, 1);
    grid->addWidget(badLed, 2, 0);
    grid->addWidget(new QLabel("Last Check (bad, blinking)"), 2, 1);
    grid->addWidget(offLed, 3, 0);
    grid->addWidget(new QLabel("Active (off)"), 3, 1);
    window.move(20, 20);
    window.show();

    if (argc == 3 && (std::strcmp(argv[1], "--grab") == 0 || std::strcmp(argv[1], "--screen") == 0)) {
        const bool screen = std::strcmp(argv[1], "--screen") == 0;
        const QString file = QString::fromLocal8Bit(argv[2]);
        // Let the window be mapped and painted first.
        QTimer::singleShot(500, &app, [&app, &window, screen, file, name = std::string(argv[2])] {
            const QPixmap shot = screen ? QGuiApplication::primaryScreen()->grabWindow(0) : window.grab();
            const bool ok = shot.save(file, "PNG");
            std::fprintf(ok ? stdout : stderr, "%s %s (%dx%d)\n", ok ? "saved" : "could not save",
                         name.c_str(), shot.width(), shot.height());
            app.exit(ok ? 0 : 1);
        });
    }
    return app.exec();
}
