// The command line of both programs: sentrel (the window, or one of the runs
// without a window) and sentrel-cli (only the runs without a window).
//
// Options are rows of one table in CommandLine.cpp: a new option is a field
// here and a row there; the usage text is made from the same rows.
#pragma once

#include <string>
#include <vector>

#include "app/core/HostExpect.h"

namespace app {

enum class RunMode { Window, Headless, Check, Report, Help, Version };

// A folder to work in: -C DIR (must exist) or --user-folder (made when missing).
struct WorkFolderChoice {
    std::string Dir;
    bool Create = false;
    bool operator==(const WorkFolderChoice&) const = default;
};

struct CommandLine {
    RunMode Mode = RunMode::Window;
    std::vector<WorkFolderChoice> Folders;  // entered in order before the run (WorkFolder.h)
    std::vector<std::string> Hosts;         // --check HOST...: they take the place of the pool
    // What each of Hosts must do: the --expect-status, --contains,
    // --not-contains and --max-ms given before it.
    std::vector<THostExpect> HostExpect;
    THostExpect NextExpect;           // while reading: what the next host given takes
    bool Verbose = false;             // -v: --check prints where each host's time went
    int Concurrency = 0;              // --concurrency N; 0: as sentrel.ini says
    std::vector<std::string> Others;  // window mode: arguments left to the window toolkit
    std::string MetricsListen;        // --metrics-listen ADDR:PORT (window and --headless)
    std::string MetricsFile;          // --metrics-file PATH (window and --headless)
    int ProbeConcurrency = 100;       // --probe-concurrency N: /probe checks at once
    bool History = false;             // --history: --check writes its pass to the history too
    std::string Since;                // --report --since 24h|7d|30d|DATE; empty: 24h
    bool Json = false;                // --report --json
    // --remove-autostart-entry FILE: the next-log-on entry that started this
    // run, to be removed before anything else (platform::RemoveOnceEntry).
    std::string RemoveAutostartEntry;
};

// Reads the arguments after the program's name into out. Arguments starting
// with "--" are options, in any order, and so is any argument starting with
// "-" after --check; the others are the hosts of --check or, without a mode
// option, go to Others. "-h", "-V", "-C" and "-v" stand for "--help",
// "--version", "--directory" and "--verbose". An expectation applies to the
// hosts given after it, so it needs --check and a host after it. Returns "" or what is wrong, e.g.
// "unknown option '--bogus'". With window false (sentrel-cli) a mode option
// is required.
std::string ParseCommandLine(const std::vector<std::string>& args, CommandLine& out, bool window);

// The text --help prints for the named program.
std::string UsageText(const std::string& program, bool window);

// The line --version prints for the named program: its name and the release.
std::string VersionText(const std::string& program);

// Prints what is wrong with the command line and where help is on stderr;
// returns the exit status for it (2).
int BadCommandLine(const std::string& program, const std::string& error);

}  // namespace app
