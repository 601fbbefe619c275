// The status page's cost over a history another run wrote (HistoryYear):
// ten hosts, one more pass recorded through the monitor's recorder, then
// the CPU time of the thread for
//   - the first pass the page sees: the history's last checks and an uptime count;
//   - each later pass: the model's update (the uptime count is kept a minute);
//   - an uptime count of its own (once a minute): 24 h, 7 d and 30 d;
//   - each request: the page, the JSON, a badge, rendered from the last pass.
//   StatusCost FILE [HOSTS]
// Prints key=value lines for bench/status.sh: first_pass_cpu_ms,
// pass_cpu_ms_*, count_cpu_ms_*, page_cpu_ms_*, api_cpu_ms_*, badge_cpu_ms_*,
// page_bytes, api_bytes.
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

#include "app/core/HistoryRecorder.h"
#include "app/core/sform.h"
#include "app/serve/MetricsServer.h"
#include "app/serve/StatusRoutes.h"

namespace {

double CpuMs() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) * 1000 + double(ts.tv_nsec) / 1e6;
}

void Stats(const char* name, std::vector<double> v) {
    std::sort(v.begin(), v.end());
    auto at = [&v](double p) { return v[std::min(v.size() - 1, std::size_t(p * double(v.size())))]; };
    std::printf("%s_min=%.3f\n%s_median=%.3f\n%s_p99=%.3f\n%s_max=%.3f\n", name, v.front(), name, at(0.5),
                name, at(0.99), name, v.back());
}

std::vector<double> Time(int rounds, const std::function<void(int)>& work) {
    std::vector<double> ms;
    for (int i = 0; i < rounds; ++i) {
        const double c0 = CpuMs();
        work(i);
        ms.push_back(CpuMs() - c0);
    }
    return ms;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: StatusCost FILE [HOSTS]\n");
        return 2;
    }
    const int hosts = argc > 2 ? std::atoi(argv[2]) : 10;
    app::TServerForm settings;
    settings.History = argv[1];
    app::THistoryRecorder recorder;
    recorder.OnError = [](const std::string& line) {
        std::fprintf(stderr, "%s\n", line.c_str());
        std::exit(1);
    };
    const std::int64_t now = static_cast<std::int64_t>(std::time(nullptr));
    app::TPassOutcome pass;
    pass.EndTime = double(now);
    for (int h = 0; h < hosts; ++h) {
        app::THostOutcome o;
        o.Host = "https://host-" + std::to_string(h + 1) + ".invalid/";
        o.Passed = h != 2;
        o.Reason = o.Passed ? "" : "Connection refused (Error #10061)";
        o.Seconds = 0.08;
        o.StatusCode = o.Passed ? 200 : 0;
        o.CertExpiry = now + 60 * 86400;
        pass.Hosts.push_back(o);
    }
    recorder.Record(pass, settings);

    app::TMetricsServer server;  // not listening: the routes only
    app::TStatusRoutes routes(server);
    double c0 = CpuMs();
    routes.Update(pass, &recorder);
    std::printf("first_pass_cpu_ms=%.3f\n", CpuMs() - c0);
    const auto& s = routes.Snapshot();
    if (s.Hosts.size() != std::size_t(hosts) || s.Hosts[0].Recent.size() != app::TStatusModel::kRecent ||
        s.Hosts[0].Uptime[2] < 0) {
        std::fprintf(stderr, "StatusCost: the history gave %zu hosts, %zu checks\n", s.Hosts.size(),
                     s.Hosts.empty() ? std::size_t(0) : s.Hosts[0].Recent.size());
        return 1;
    }
    // Later passes within the minute the uptime count is kept.
    Stats("pass_cpu_ms", Time(200, [&](int) { routes.Update(pass, &recorder); }));
    Stats("count_cpu_ms", Time(7, [&](int i) { recorder.Uptime(now + 61 * (i + 1)); }));
    std::size_t pageBytes = 0, apiBytes = 0;
    Stats("page_cpu_ms", Time(500, [&](int) { pageBytes = app::StatusAnswer(s, "/").Body.size(); }));
    Stats("api_cpu_ms",
          Time(500, [&](int) { apiBytes = app::StatusAnswer(s, "/api/v1/status").Body.size(); }));
    Stats("badge_cpu_ms", Time(500, [&](int) { app::StatusAnswer(s, "/badge/3/uptime.svg?window=30d"); }));
    std::printf("page_bytes=%zu\napi_bytes=%zu\n", pageBytes, apiBytes);
    return 0;
}
