// The history report of sentrel-cli --report: per host its checks, uptime,
// outages (count, longest, the last with its start, end and reason) and
// response times (min, median, p95, max), as aligned columns for a terminal
// or as JSON for scripts. Text only: the caller reads the store and prints.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "history/HistoryQuery.h"

namespace history {

// The start of the report's range for --since: "24h", "7d", "30d" (any
// number of hours "Nh" or days "Nd", up to six digits), or a local date
// "YYYY-MM-DD" or "YYYY-MM-DDTHH:MM". Nothing for anything else, and for a
// day the calendar does not have (2026-02-31), a time of day past 23:59, a
// start after now or one before 1970; why then says which (empty for text
// of no known form).
std::optional<std::int64_t> ParseSince(const std::string& text, std::int64_t now, std::string* why = nullptr);

// "45s", "5m 10s", "2h 3m", "3d 4h".
std::string DurationText(std::int64_t seconds);

std::string ReportText(const std::vector<THostHistory>& hosts, std::int64_t from, std::int64_t to);
std::string ReportJson(const std::vector<THostHistory>& hosts, std::int64_t from, std::int64_t to);

// A string as a JSON string literal, quotes included. Bytes that are not
// part of well-formed UTF-8 are written as \u00XX of the byte, so every
// report parses whatever a server sent.
std::string JsonString(const std::string& text);

}  // namespace history
