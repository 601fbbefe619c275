// The application object: the program's title, the terminate flag, the
// process-messages step that blocking waits use, and the standard error
// report. It knows nothing of any window toolkit: a host (the Qt program, the
// headless runner, a test) plugs in how messages are processed and how an
// error is shown. Without a host, messages go through the platform loop and
// errors go to stderr as one line.
//
// One instance per process, reached through Application(); used from the one
// thread only.
#pragma once

#include <exception>
#include <functional>
#include <string>
#include <vector>

#include "base/Events.h"

namespace platform {

// What OnException is given: the sender and the failure.
using TExceptionEvent = std::function<void(base::TObject* sender, const std::exception& e)>;

class TApplication : public base::TObject {
public:
    // What a host provides. Each hook may be left empty to keep the default.
    struct Host {
        // Dispatch everything pending without blocking (Qt: processEvents,
        // which also drains the platform loop); true when anything ran.
        std::function<bool()> processMessages;
        // Sleep until something is pending.
        std::function<void()> waitMessage;
        // Show one error report; text already carries its final full stop.
        std::function<void(const std::string& title, const std::string& text)> showError;
        // Ask the host's loop to end (Qt: exit()).
        std::function<void()> terminate;
    };

    std::string Title = "";
    bool Terminated() const { return terminated_; }
    // Notes that the application is to end; the host's loop ends when control
    // returns to it. Waits that see the flag give up.
    void Terminate();

    void ProcessMessages();
    void WaitMessage();
    // One round of a blocking wait: process what is pending, and when nothing
    // was, sleep until something arrives. Never spins.
    void HandleMessage();

    // The standard error report: the message with a full stop added when it
    // has none, captioned with Title. While a report of the same text is open
    // (the host's box is modal and pumps messages), the same error is not
    // shown again; the loop goes on either way.
    void ShowException(const std::exception& e);
    void ShowErrorText(const std::string& message);
    // Runs fn and reports anything it raises; used around every handler.
    void Guard(const std::function<void()>& fn);

    // The application's own failure handler; the desktop relay (TAppEvents)
    // takes this slot over while it lives. The window toolkit's events and
    // settings are desktop::ToolkitApplication()'s.
    TExceptionEvent OnException;

    // The application's exception handler: OnException when one is
    // assigned, the standard error report otherwise.
    void HandleException(const std::exception& e);

    void SetHost(Host host) { host_ = std::move(host); }
    void ClearHost() { host_ = Host{}; }
    // Clears the terminate flag (tests reuse the one instance).
    void Reset() { terminated_ = false; }

private:
    Host host_;
    bool terminated_ = false;
    std::vector<std::string> open_;  // texts of the reports open now, innermost last
};

TApplication& Application();

}  // namespace platform
