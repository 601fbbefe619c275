// The on-change program: a command of the user's ("onchange" in
// sentrel.ini) run for every change of the pool's state that a notification
// reports, so that mail, a push service or a chat hears of it without the
// monitor speaking their protocols.
//
// The command line is split as a desktop entry's Exec line is (quotes, no
// shell; a literal "%" is "%%") and the program is started as our child
// (platform::TChildProcess) with the change in its environment:
// SENTREL_EVENT ("down", "up", "certificate", "reminder"), SENTREL_TITLE, SENTREL_TEXT
// (one item per line), SENTREL_DOWN (how many hosts fail), SENTREL_HOSTS
// (those hosts one per line, passwords masked) and SENTREL_TIME (the pass's
// end in ISO 8601, UTC). Its standard input is /dev/null; the first
// kOutputLimit bytes of its output and errors go to the log as warning
// lines, one per line, each after the program's name.
//
// It never holds the monitor up: one program runs at a time, the changes
// that come meanwhile wait (at most kQueueLimit; beyond that the oldest is
// dropped with a warning), and a program still running after TermAfterMs
// gets SIGTERM, KillAfterMs later SIGKILL (both to its process group). A
// program that cannot start, or ends with a failure, says so in the log.
//
// The monitor does not leave it behind: End, called as the monitor closes
// (the window, SIGTERM or SIGINT, an interrupted --check), drops the changes
// that wait and ends a running program, SIGTERM to its group and SIGKILL
// EndGraceMs later, with one warning line; the controller calls it when
// it closes or is freed.
//
// Owned by the controller; the loop's thread only. Everything after Report
// happens from the loop. Freed while a program runs, it lets it go on alone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "app/core/PassOutcome.h"
#include "platform/ChildProcess.h"
#include "platform/Timer.h"

namespace app {

// The program's environment for a change, as "NAME=value" entries.
std::vector<std::string> OnChangeEnvironment(const TStateChange& change, const TPassOutcome& pass);

class TOnChange {
public:
    static constexpr std::size_t kQueueLimit = 10;
    static constexpr std::size_t kOutputLimit = 4096;

    TOnChange();
    TOnChange(const TOnChange&) = delete;
    TOnChange& operator=(const TOnChange&) = delete;

    // The time limits, in milliseconds; tests shorten them.
    std::uint32_t TermAfterMs = 30000;
    std::uint32_t KillAfterMs = 5000;
    std::uint32_t EndGraceMs = 2000;
    // Takes every line the runner logs (a warning line of the event log).
    std::function<void(const std::string& line)> Log;

    // Runs command for the change now, or after the changes before it.
    void Report(const std::string& command, const TStateChange& change, const TPassOutcome& pass);
    // Drops the waiting changes and ends the running program, waiting for it
    // (at most EndGraceMs and the time SIGKILL takes).
    void End();
    // A program runs or a change waits.
    bool Busy() const { return child_.Running() || !queue_.empty(); }

private:
    struct Job {
        std::string command;
        std::string title;
        std::vector<std::string> env;
    };

    void StartNext();
    void Output(const char* data, std::size_t size);
    void Exited(int status);
    void OverTime();
    void Line(const std::string& text);
    void Warn(const std::string& text);

    platform::TChildProcess child_;
    platform::TTimer limit_;
    bool termSent_ = false;
    std::deque<Job> queue_;
    std::string name_;      // the running program's name, for its lines
    std::string partial_;   // its output after the last line break
    std::size_t seen_ = 0;  // bytes of its output so far
};

}  // namespace app
