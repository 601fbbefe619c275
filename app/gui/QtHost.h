// Makes Qt's event loop the application's loop with ours riding on it: a
// socket notifier on the platform loop's descriptor drains it whenever
// something is due, the application's process-messages step is Qt's, and the
// standard error report is a message box captioned with the title.
#pragma once

namespace app {

// Call once, after the QApplication exists.
void InstallQtHost();

}  // namespace app
