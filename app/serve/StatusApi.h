// GET /api/v1/status: the status page's figures as JSON, in a shape that
// stays as it is (docs/status-api.md and docs/status-api.schema.json):
//   {"time","pool":{"up","down","since"},"hosts":[{"slot","host","up",
//    "since","reason","status","ms","uptime":{"24h","7d","30d"},
//    "cert_days","recent":[{"t","up","ms"}]}]}
// Times are seconds since the epoch, durations whole milliseconds, uptime
// percent; a figure that is not known is null.
#pragma once

#include <string>

#include "app/serve/StatusModel.h"

namespace app {

std::string StatusJson(const TStatusSnapshot& s);
// An uptime percent as the page, the JSON and the badges write it: at most
// two decimals, cut rather than rounded, so that 99.999 never reads "100".
std::string UptimePercentText(double percent);

}  // namespace app
