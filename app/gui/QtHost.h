// Makes Qt's event loop the application's loop with ours riding on it: a
// socket notifier on the platform loop's descriptor drains it whenever
// something is due, the application's process-messages step is Qt's, and the
// standard error report is a message box captioned with the title.
#pragma once

namespace app {

// Call once, after the QApplication exists.
void InstallQtHost();

// Runs Qt's event loop as the application's loop. Terminating the
// application ends this loop without closing any window (Qt's quit() would
// close them all first, and a window closed on the way out records itself
// as hidden); outside it, terminating only sets the flag.
int RunQtLoop();

// From now on the standard error report is one line on stderr instead of a
// box: for the way out after SIGTERM or SIGINT, where nobody is there to
// close a box and the program must end.
void ReportErrorsOnStderr();

}  // namespace app
