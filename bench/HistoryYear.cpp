// A simulated year of history, written as the monitor writes it: passes of
// ten hosts every 30 s with synthetic times (a few hundred ms, a failure now
// and then, a host down for an hour once a month), through the monitor's own
// recorder, so retention folds and forgets on its usual schedule. Then the
// 30-day report and the history window's 30-day load, timed.
//   HistoryYear FILE [DAYS [HOSTS [CYCLE_S]]]
// Prints key=value lines for bench/history.sh:
//   size_bytes, passes, wal_pages_per_pass, pass_us_min/median/p99/max, report30_ms_min/median/max,
//   chart30_ms_min/median/max.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "app/core/HistoryRecorder.h"
#include "app/core/sform.h"
#include "history/HistoryQuery.h"

namespace {

double Ms(std::chrono::steady_clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

void Stats(const char* name, std::vector<double> v) {
    std::sort(v.begin(), v.end());
    auto at = [&v](double p) { return v[std::min(v.size() - 1, std::size_t(p * double(v.size())))]; };
    std::printf("%s_min=%.3f\n%s_median=%.3f\n%s_p99=%.3f\n%s_max=%.3f\n", name, v.front(), name, at(0.5),
                name, at(0.99), name, v.back());
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: HistoryYear FILE [DAYS [HOSTS [CYCLE_S]]]\n");
        return 2;
    }
    const std::string file = argv[1];
    // READ_ONLY=1: only the reads, of a file an earlier run wrote.
    const bool readOnly = std::getenv("READ_ONLY") != nullptr;
    const int days = argc > 2 ? std::atoi(argv[2]) : 365;
    const int hosts = argc > 3 ? std::atoi(argv[3]) : 10;
    const int cycle = argc > 4 ? std::atoi(argv[4]) : 30;
    if (!readOnly) std::filesystem::remove(file);

    app::TServerForm settings;
    settings.History = file;
    for (int n = 0; n < hosts && n < app::TServerForm::kRows; ++n) settings.Active[std::size_t(n)] = true;
    app::THistoryRecorder recorder;
    recorder.OnError = [](const std::string& line) {
        std::fprintf(stderr, "%s\n", line.c_str());
        std::exit(1);
    };

    std::mt19937 rng(42);
    std::lognormal_distribution<double> seconds(std::log(0.08), 0.5);
    std::uniform_int_distribution<int> one_in(1, 2000);
    const std::int64_t end = static_cast<std::int64_t>(std::time(nullptr));
    const std::int64_t start = end - std::int64_t(days) * 86400;
    std::vector<double> passUs;
    passUs.reserve(std::size_t(days) * 86400 / std::size_t(cycle) + 1);
    app::TPassOutcome pass;
    pass.Hosts.resize(std::size_t(hosts));
    for (int h = 0; h < hosts; ++h)
        pass.Hosts[std::size_t(h)].Host = "https://host-" + std::to_string(h + 1) + ".invalid/";
    for (std::int64_t t = readOnly ? end : start; t < end; t += cycle) {
        pass.EndTime = double(t);
        for (int h = 0; h < hosts; ++h) {
            app::THostOutcome& o = pass.Hosts[std::size_t(h)];
            // Host 3 is down for the first hour of every 30th day.
            const bool down = (h == 2 && (t - start) % (30 * 86400) < 3600) || one_in(rng) == 1;
            o.Passed = !down;
            o.Reason = down ? "Connection refused (Error #10061)" : "";
            o.Seconds = down ? 0.001 : seconds(rng);
            o.StatusCode = down ? 0 : 200;
            o.CertExpiry = end + 60 * 86400;
        }
        const auto t0 = std::chrono::steady_clock::now();
        recorder.Record(pass, settings);
        passUs.push_back(Ms(std::chrono::steady_clock::now() - t0) * 1000);
    }
    std::printf("passes=%zu\n", passUs.size());
    if (!passUs.empty())
        std::printf("wal_pages_per_pass=%.3f\n", double(recorder.WalPages()) / double(passUs.size()));
    std::printf("size_bytes=%jd\n", std::intmax_t(std::filesystem::file_size(file)));
    if (!passUs.empty()) Stats("pass_us", passUs);

    // Wall time, and the CPU time the thread used (on a busy machine the
    // two part ways).
    std::vector<double> report, chart, reportCpu, chartCpu;
    auto cpuMs = [] {
        timespec ts{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
        return double(ts.tv_sec) * 1000 + double(ts.tv_nsec) / 1e6;
    };
    for (int round = 0; round < 7; ++round) {
        history::THistoryStore store(file, history::THistoryStore::Mode::Read);
        auto t0 = std::chrono::steady_clock::now();
        double c0 = cpuMs();
        auto summary = history::ReadHistory(store, {end - 30 * 86400, end + 1, 0, {}});
        report.push_back(Ms(std::chrono::steady_clock::now() - t0));
        reportCpu.push_back(cpuMs() - c0);
        t0 = std::chrono::steady_clock::now();
        c0 = cpuMs();
        auto data = history::LoadChart(store, end, 30 * 86400);
        chart.push_back(Ms(std::chrono::steady_clock::now() - t0));
        chartCpu.push_back(cpuMs() - c0);
        if (summary.size() != std::size_t(hosts) || data.Hosts.size() != std::size_t(hosts)) {
            std::fprintf(stderr, "HistoryYear: %zu hosts read back, %d written\n", summary.size(), hosts);
            return 1;
        }
    }
    Stats("report30_ms", report);
    Stats("report30_cpu_ms", reportCpu);
    Stats("chart30_ms", chart);
    Stats("chart30_cpu_ms", chartCpu);
    return 0;
}
