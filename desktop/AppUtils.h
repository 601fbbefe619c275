// Helpers that the window placement store and the application event relay
// share: which window is the application's main window, the window
// placement record of a window (read and applied as one), the screen's
// resolution tag and pixels per inch, the default settings names, and the
// word splitting and value quoting of the placement keys.
//
// Free functions and a few process-wide settings; GUI thread only. Nothing
// here owns a window.
#pragma once

#include <QMargins>
#include <QPoint>
#include <QRect>
#include <functional>
#include <string>

class QWidget;

namespace desktop {

// ---- The application's main window ----
// The window set here, or else the first plain top-level window that was
// shown while the application event relay watched (see AppEvent.h); null
// when there is none yet.
QWidget* MainForm();
void SetMainForm(QWidget* form);
// The main window is minimised.
bool IsApplicationMinimized();

// ---- Window placement record ----
struct TRect {
    int Left = 0;
    int Top = 0;
    int Right = 0;
    int Bottom = 0;
    bool operator==(const TRect&) const = default;
};

constexpr int WPF_SETMINPOSITION = 1;
constexpr int WPF_RESTORETOMAXIMIZED = 2;
constexpr int SW_HIDE = 0;
constexpr int SW_SHOWNORMAL = 1;
constexpr int SW_SHOWMINIMIZED = 2;
constexpr int SW_SHOWMAXIMIZED = 3;

// Where a window is: its normal (restored) rectangle in screen coordinates
// (the client area, right and bottom exclusive), its state as a show
// command, and the minimised and maximised positions that were set for it
// ((-1, -1) when none was).
struct TWindowPlacement {
    int Flags = 0;
    int ShowCmd = SW_SHOWNORMAL;
    QPoint MinPosition{-1, -1};
    QPoint MaxPosition{-1, -1};
    TRect NormalPosition;
};

TWindowPlacement GetWindowPlacement(const QWidget* window);
// Moves the window to the normal rectangle; a show command other than
// SW_HIDE also brings a visible window into that state, SW_HIDE leaves its
// state and visibility alone.
void SetWindowPlacement(QWidget* window, const TWindowPlacement& placement);
// The width of the window's side border and the height of its bottom one.
QPoint WindowFrameSize(const QWidget* window);
// A window's inside rectangle moved (and, when sizeable and too large,
// shrunk) so that with its frame it lies inside the free area of the screen
// it lands on: the one holding its middle, else the one it overlaps most,
// else the primary screen. A rectangle already inside comes back as it is.
QRect FitOnScreen(const QRect& client, const QMargins& frame, bool sizeable);

// ---- Screen ----
// "(%dx%d)" with the primary screen's width and height in pixels.
std::string ResolutionTag();
int ScreenPixelsPerInch();

// ---- Default names ----
// When set, supplies the default settings file name instead.
extern std::function<std::string()> GetDefaultIniName;
// A company subkey put in front of the default registry key, and whether
// that key names the application by its title rather than its executable.
extern std::string RegistryCompanyKey;
extern bool UseApplicationTitleForKey;
// The executable's file name with its extension replaced by ".INI", no
// directory.
std::string DefaultIniFileName();
std::string DefaultRegistryKey();

// ---- Text ----
// The settings reader strips one pair of quotes from a value, so a value
// that begins and ends with the same kind of quote gets one more pair of
// double quotes to come back as it was.
std::string QuoteIniValue(const std::string& value);
// Words are runs of characters not in delims; any run of delimiters
// separates two words. n counts from 1; "" when there is no such word.
std::string ExtractWord(int n, const std::string& s, const std::string& delims);
int WordCount(const std::string& s, const std::string& delims);

}  // namespace desktop
