// Two-part SVG badges for a README or a wiki: a grey label on the left, the
// figure on a colour on the right, and a title with the host for readers
// and tooltips.
//   /badge/SLOT/status.svg                    "status | up" (green) or "down" (red)
//   /badge/SLOT/uptime.svg?window=24h|7d|30d  "uptime 24h | 99.95%" (24h without window)
//   /badge/SLOT/response.svg                  "response | 123 ms", or "down"
// SLOT is the host's row in the list. Before the first pass, or with no
// figure (the history off, no checks in the window), the figure is greyed.
#pragma once

#include <string>

#include "app/serve/StatusModel.h"

namespace app {

std::string BadgeSvg(const std::string& label, const std::string& value, const std::string& color,
                     const std::string& title);

// What a request target under /badge/ is answered: 200 with the SVG, 404
// when no host or badge has that name, 400 with the reason for a window
// that is not one of 24h, 7d and 30d.
struct TBadgeAnswer {
    int Status = 404;
    std::string Body;
};
TBadgeAnswer BadgeFor(const TStatusSnapshot& s, const std::string& target);

}  // namespace app
