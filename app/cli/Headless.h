// The monitor without a window, for servers and scripts. Both runs drive the
// same controller as the window does, through a view that prints the status
// line on stdout; no Qt is involved.
//
//   RunHeadless: runs as the window would, from sentrel.ini in the working
//   directory, except that monitoring goes on at start whatever
//   "Start check on load" says and the first pass runs at once, until
//   SIGTERM or SIGINT, which end it as closing the window
//   does ("Finished logging connectivity"). A start that fails or
//   monitoring that stops by itself ends it with status 1 and the error on
//   stderr; a run that ends by a signal returns 0. When a pass's outcome
//   differs from the previous one it prints one more line saying how ("2
//   hosts down: ...", "All hosts up again"). With metrics options it serves
//   or writes the results of every pass; when it cannot start them, it
//   says why on stderr and returns 1 before the log is opened.
//   RunCheck: one pass as "Check Now" makes it, over the hosts of the
//   command line or the active pool, printing each status text and, beside
//   a host's outcome, how long its request took and, for a failed host, the
//   reason its client gave, and the warning of a certificate about to
//   expire. Returns 0 when the pool passed, 1 otherwise.
//   Both write each pass to the history file the settings name (--check only
//   with --history); a history that fails says so once on stderr and the
//   run goes on without it.
#pragma once

#include "app/cli/CommandLine.h"

namespace app {

class TMetricsPublisher;
class TQzController;

int RunHeadless(const CommandLine& cl);
int RunCheck(const CommandLine& cl);
// What befalls the publisher's listener itself (it stopped accepting, or
// listens again) goes to stderr and the controller's log alike.
void ReportListenerTrouble(TMetricsPublisher& publisher, TQzController& controller);

}  // namespace app
