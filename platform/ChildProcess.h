// A program run as our own child and watched from the message loop, for a
// caller that must hear what it printed and when it ended without ever
// waiting for it (the on-change program).
//
// Start forks and executes the program directly from an argument vector,
// never through a shell, found as execvp would find it. It runs in a session
// (and so a process group) of its own with the default signal mask and
// dispositions, our environment plus the variables given, standard input
// from /dev/null, standard output and errors into one pipe, and none of our
// other descriptors. The pipe and a pidfd of the child are watched by the
// loop: OnOutput gets the bytes as they come, OnExit the wait status once
// the program has ended and been reaped, after the output it left in the
// pipe. A descendant that keeps the pipe open does not hold the end back.
//
// Owned by one caller on the loop's thread. OnExit is fired last, with the
// object idle again, so its handler may Start the next program (but not
// free the object). An object freed while its program runs lets it go: the
// program is neither signalled nor waited for, and what it prints later
// reaches nobody; Stop is the way to end it first.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace platform {

class TChildProcess {
public:
    TChildProcess() = default;
    ~TChildProcess();
    TChildProcess(const TChildProcess&) = delete;
    TChildProcess& operator=(const TChildProcess&) = delete;

    // Starts args[0] with args; env holds "NAME=value" entries that are
    // added to our environment (replacing a variable of the same name).
    // False, with the reason in *error, when the program is not found or
    // cannot be executed, or while another one runs.
    bool Start(const std::vector<std::string>& args, const std::vector<std::string>& env, std::string* error);
    bool Running() const { return pid_ > 0; }
    pid_t Pid() const { return pid_; }
    // Sends sig to the program's process group (its own children too) while
    // it has not been reaped, so the signal never reaches another process.
    void Signal(int sig);
    // Ends the program now, for a caller that is going away: SIGTERM to its
    // process group, SIGKILL to the group when the program is still there
    // graceMs later, and a wait until it has been reaped. The loop is not
    // run meanwhile, OnExit is not fired and output still in the pipe is
    // dropped. Nothing when no program runs; otherwise whether SIGKILL was
    // needed.
    bool Stop(unsigned graceMs);

    std::function<void(const char* data, std::size_t size)> OnOutput;
    std::function<void(int waitStatus)> OnExit;

private:
    void ReadOutput();
    void CloseOutput();
    void Reap();

    pid_t pid_ = -1;
    int pidfd_ = -1;
    int out_ = -1;
};

}  // namespace platform
