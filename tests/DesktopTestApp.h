// The one QApplication of a desktop test program, made on first use. The
// test runner sets QT_QPA_PLATFORM=offscreen; it is set here as well so a
// test program started by hand needs no display.
#pragma once

#include <QApplication>
#include <QElapsedTimer>
#include <cstdlib>
#include <functional>

namespace desktoptest {

inline QApplication& App() {
    static int argc = 1;
    static char name[] = "desktop_test";
    static char* argv[] = {name, nullptr};
    static QApplication* app = [] {
        setenv("QT_QPA_PLATFORM", "offscreen", 0);
        return new QApplication(argc, argv);
    }();
    return *app;
}

// Runs Qt's loop until done() holds or the watchdog's time is up; returns
// done(). A hang therefore fails the test instead of blocking it.
inline bool RunUntil(const std::function<bool()>& done, int watchdogMs = 5000) {
    QElapsedTimer watchdog;
    watchdog.start();
    while (!done()) {
        if (watchdog.elapsed() > watchdogMs) return false;
        QApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return true;
}

}  // namespace desktoptest
