// GET / and GET /status.js: the status page. The page is whole without
// script: the pool's state at the top, then one row per host in list order
// (name, state in words and colour, reason when down, last response time,
// uptime over 24 h, 7 d and 30 d, certificate days for https, and a strip of
// the last checks with a tooltip each). The script, served by the listener
// itself, asks /api/v1/status every few seconds and redraws the rows when a
// new pass has ended; it builds them as DOM nodes from text, never from
// markup. Light and dark looks follow the reader's preference; the rows
// wrap on a phone and stay one line on a wide screen.
#pragma once

#include <cstdint>
#include <string>

#include "app/serve/StatusModel.h"

namespace app {

std::string StatusPageHtml(const TStatusSnapshot& s);
// The page's script (one constant text).
const std::string& StatusScript();
// "2026-12-07 21:49:03 UTC"; the script writes times the same way.
std::string StatusTimeText(std::int64_t t);

}  // namespace app
