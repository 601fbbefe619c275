// What the monitor's controller needs of its main window: a handful of
// property writes and nothing else. The Qt window implements it, so does
// the headless runner that prints the status line, and so do the tests.
#pragma once

#include <cstdint>
#include <string>

#include "app/core/PassOutcome.h"

namespace app {

enum class Command { Monitor, CheckNow, Configuration };

class MainView {
public:
    virtual ~MainView() = default;
    virtual void SetStatusText(const std::string& text) = 0;
    virtual void SetLastHost(const std::string& host) = 0;
    // Why the last failed host failed, shown as the hint of the last-host
    // field; empty once a pass had no failure.
    virtual void SetLastHostHint(const std::string& hint) = 0;
    virtual void SetMonitorCaption(const std::string& caption) = 0;
    virtual void SetCommandEnabled(Command command, bool enabled) = 0;
    // The last-check LED's TrueColor (0x00BBGGRR), Blink and Value, written
    // in that order by the controller.
    virtual void SetStatusLedColor(std::uint32_t color) = 0;
    virtual void SetStatusLedBlink(bool blink) = 0;
    virtual void SetStatusLedValue(bool lit) = 0;
    virtual void SetActiveLed(bool lit) = 0;
    // The end of every pass that ran to its end: what it found and how that
    // differs from the pass before (change.Changed false when nothing did).
    // Views that have nothing to show for it keep this default.
    virtual void ShowPassOutcome(const TPassOutcome& pass, const TStateChange& change) {
        (void)pass;
        (void)change;
    }
    // A pass could not write all its lines to the log (error: the first
    // failure, "Cannot write to status.log: Disk full"); the pass itself
    // went on. Shown once per pass; LogWritten follows when a later line
    // could be written again. The default reports it the way the
    // application reports errors (headless: one line on stderr).
    virtual void ShowLogFailure(const std::string& error);
    virtual void LogWritten() {}
};

}  // namespace app
