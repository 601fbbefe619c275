#include "app/cli/Report.h"

#include <sys/stat.h>

#include <cstdio>
#include <ctime>

#include "app/core/sform.h"
#include "base/Strings.h"
#include "history/HistoryQuery.h"
#include "history/HistoryReport.h"

namespace app {

int RunReport(const CommandLine& cl, const char* program) {
    const std::int64_t now = static_cast<std::int64_t>(std::time(nullptr));
    const std::string since = cl.Since.empty() ? "24h" : cl.Since;
    std::string why;
    const auto from = history::ParseSince(since, now, &why);
    if (!from)
        return BadCommandLine(program, why.empty()
                                           ? "option '--since' needs 24h, 7d, 30d or a date (YYYY-MM-DD)"
                                           : "option '--since': " + why);
    TServerForm settings;
    settings.Load();
    if (settings.History.empty()) {
        std::fprintf(stderr, "%s: the history is switched off (\"history=\" in %s)\n", program,
                     kSettingsFile);
        return 1;
    }
    std::vector<history::THostHistory> hosts;
    struct stat st {};
    if (::stat(settings.History.c_str(), &st) == 0) {
        try {
            history::THistoryStore store(settings.History, history::THistoryStore::Mode::Read);
            if (store.Immutable())
                std::fprintf(stderr,
                             "%s: %s: the folder is read-only; the file is read as it stands, without the "
                             "passes still in its write-ahead log\n",
                             program, base::ShowControls(settings.History).c_str());
            hosts = history::ReadHistory(store, {*from, now + 1, 0, {}});
        } catch (const std::exception& e) {
            std::fprintf(stderr, "%s: %s\n", program, e.what());
            return 1;
        }
    } else if (!cl.Json) {
        std::printf("No history yet (%s).\n", settings.History.c_str());
        return 0;
    }
    const std::string text =
        cl.Json ? history::ReportJson(hosts, *from, now) : history::ReportText(hosts, *from, now);
    std::fwrite(text.data(), 1, text.size(), stdout);
    return 0;
}

}  // namespace app
