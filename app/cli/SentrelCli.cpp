// The monitor without Qt: the same controller, settings, pass and log as the
// window program, for servers and scripts.
//
//   sentrel-cli --headless       the monitor without a window; status lines on stdout
//   sentrel-cli --check [HOST..] one pass over the hosts (or the active pool); exit 0 if all passed
//   sentrel-cli --report         uptime, outages and response times from the history
//   sentrel-cli --version        the release
// -C DIR and --user-folder choose the folder of the settings and the log.
#include <cstdio>
#include <string>
#include <vector>

#include "app/cli/CommandLine.h"
#include "app/cli/Headless.h"
#include "app/cli/Report.h"
#include "app/cli/WorkFolder.h"
#include "platform/Autostart.h"

int main(int argc, char** argv) {
    const char* const program = "sentrel-cli";
    app::CommandLine cl;
    std::string error = app::ParseCommandLine({argv + 1, argv + argc}, cl, false);
    if (!error.empty()) return app::BadCommandLine(program, error);
    if (cl.Mode == app::RunMode::Version) {
        std::fputs(app::VersionText(program).c_str(), stdout);
        return 0;
    }
    if (!cl.RemoveAutostartEntry.empty()) platform::RemoveOnceEntry(cl.RemoveAutostartEntry);
    if (cl.Mode != app::RunMode::Help)
        if (int status = app::EnterFolders(program, cl.Folders)) return status;
    switch (cl.Mode) {
        case app::RunMode::Headless: return app::RunHeadless(cl);
        case app::RunMode::Check: return app::RunCheck(cl);
        case app::RunMode::Report: return app::RunReport(cl, program);
        default: std::fputs(app::UsageText(program, false).c_str(), stdout); return 0;
    }
}
