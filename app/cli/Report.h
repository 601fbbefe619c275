// sentrel-cli --report: the history file the settings name, summed up per
// host over --since (24 h unless told), as columns or as JSON (--json).
// A missing file is "no history yet" and not an error; a file that cannot
// be read (newer, broken) is, with its reason on stderr. On a read-only
// mount the file is read as it stands, and one line on stderr says so.
#pragma once

#include "app/cli/CommandLine.h"

namespace app {

// Prints the report on stdout; returns 0, or 1 (stderr says why), or 2 for
// a --since it refuses (no known form, no such day, after now, before 1970).
int RunReport(const CommandLine& cl, const char* program);

}  // namespace app
