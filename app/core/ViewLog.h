// The "View Log" command: loads the event log file named in the settings
// dialog's LogName field into the log viewer and shows it. The logic is kept
// apart from the window so it runs and is tested without a widget toolkit;
// the viewer window implements LogViewer.
//
// The caller owns the field, the status callback and the viewer; the
// function keeps nothing. It runs on the GUI thread and calls nothing that
// pumps messages, so it is not re-entered.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

namespace app {

// What the command needs of the viewer window.
class LogViewer {
public:
    virtual ~LogViewer() = default;
    // Replaces the whole text with the file's bytes (single-byte text).
    virtual void SetText(std::string text) = 0;
    // Makes the window visible; a visible window stays where it is.
    virtual void ShowViewer() = 0;
};

// The name used when the LogName field is left empty.
inline constexpr const char* kDefaultLogName = "status.log";
// The most of a log the viewer shows: its end. Four days at 1 s cycles make
// a 200 MB log, which a text area cannot hold without stalling the program.
inline constexpr std::size_t kViewLimit = 4 * 1024 * 1024;

// Strips blanks off both ends of logName, in place, and puts the default
// name there when nothing is left. When a file of that name exists, shows
// "loading log into viewer", loads the file (its last kViewLimit bytes at
// most) into the viewer and shows it; otherwise does nothing else. A file that exists but cannot be read
// raises base::EFOpenError ("Cannot open file <name>"); the viewer then keeps its previous text and is not
// shown.
void ViewLogButtonClick(std::string& logName, const std::function<void(const std::string&)>& showStatus,
                        LogViewer& viewer);

// The content of a file, or base::EFOpenError when it cannot be read. A file
// longer than limit gives its last complete lines within limit bytes, after
// one line that says how many bytes were left out.
std::string ReadLogFile(const std::string& name, std::size_t limit = kViewLimit);

}  // namespace app
