// The monitor without a window, for servers and scripts. Both runs drive the
// same controller as the window does, through a view that prints the status
// line on stdout; no Qt is involved.
//
//   RunHeadless: runs as the window would, from sentrel.ini in the working
//   directory, until SIGTERM or SIGINT, which end it as closing the window
//   does ("Finished logging connectivity"). When a pass's outcome differs
//   from the previous one it prints one more line saying how ("2 hosts
//   down: ...", "All hosts up again"). With metrics options it serves or
//   writes the results of every pass; when it cannot, it says why on
//   stderr and returns 1 before it starts.
//   RunCheck: one pass as "Check Now" makes it, over the given hosts or the
//   active pool, printing each status text and, beside a failed host, the
//   reason its client gave, and the warning of a certificate about to
//   expire. Returns 0 when the pool passed, 1 otherwise.
#pragma once

#include <string>
#include <vector>

#include "app/core/Metrics.h"

namespace app {

int RunHeadless(const TMetricsOptions& metrics = {});
int RunCheck(const std::vector<std::string>& hosts);

}  // namespace app
