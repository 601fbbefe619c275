// Fuzzes the command line: the input is the arguments separated by NUL
// bytes, and its first byte picks sentrel or sentrel-cli. Any argument list
// is either refused with a one-line reason or accepted with a sound result:
// a concurrency inside its bounds, no option taken for a host, and for
// sentrel-cli a run that is not the window.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/cli/CommandLine.h"

namespace {

void Check(bool ok) {
    if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    const bool window = data[0] & 1;
    std::vector<std::string> args;
    std::string cur;
    for (std::size_t i = 1; i < size; ++i) {
        if (data[i] == 0) {
            args.push_back(cur);
            cur.clear();
        } else {
            cur += static_cast<char>(data[i]);
        }
    }
    if (size > 1) args.push_back(cur);
    app::CommandLine cl;
    const std::string error = app::ParseCommandLine(args, cl, window);
    if (!error.empty()) return 0;
    Check(cl.Concurrency >= 0 && cl.Concurrency <= 100);
    for (const auto& h : cl.Hosts) Check(h.rfind("--", 0) != 0);
    if (!window) Check(cl.Mode != app::RunMode::Window);
    if (!cl.Hosts.empty()) Check(cl.Mode == app::RunMode::Check);
    return 0;
}
