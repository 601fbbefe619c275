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

#include <cstdint>
#include <exception>
#include <functional>
#include <string>
#include <vector>

#include "base/Events.h"

namespace platform {

// ---- Application-wide events: the types of the handler slots below ----
// The toolkit side (desktop/AppEvent) fills these from what the window
// system reports; Receiver and Event then point at the toolkit's own objects.
struct TAppMessage {
    void* Receiver = nullptr;
    std::uint32_t Message = 0;
    void* Event = nullptr;
};
struct TAppShortCut {
    int Key = 0;
    std::uint32_t Modifiers = 0;
};
struct THintInfo {
    void* HintControl = nullptr;
    int CursorX = 0;
    int CursorY = 0;
    int HintMaxWidth = 0;
    std::uint32_t HintColor = 0;
    int HideTimeout = 0;
};
enum TBiDiMode { bdLeftToRight, bdRightToLeft, bdRightToLeftNoAlign, bdRightToLeftReadingOnly };
using TActionEvent = std::function<void(base::TObject* action, bool& handled)>;
using TShortCutEvent = std::function<void(TAppShortCut& key, bool& handled)>;
using TExceptionEvent = std::function<void(base::TObject* sender, const std::exception& e)>;
using TIdleEvent = std::function<void(base::TObject* sender, bool& done)>;
using THelpEvent = std::function<bool(std::uint16_t command, std::intptr_t data, bool& callHelp)>;
using TMessageEvent = std::function<void(TAppMessage& msg, bool& handled)>;
using TShowHintEvent = std::function<void(std::string& hintStr, bool& canShow, THintInfo& info)>;
// ---- end of the application-wide event types ----

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
        // Ask the host's loop to end (Qt: quit()).
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

    // ---- Application-wide events and settings ----
    // One handler per event, as the window system's application object has;
    // the desktop relay (TAppEvents) takes these slots over while it lives.
    // The senders of OnActivate, OnDeactivate, OnHint, OnIdle, OnMinimize,
    // OnRestore and OnException are this object.
    TActionEvent OnActionExecute;
    TActionEvent OnActionUpdate;
    TShortCutEvent OnShortCut;
    base::TNotifyEvent OnActivate;
    base::TNotifyEvent OnDeactivate;
    TExceptionEvent OnException;
    TIdleEvent OnIdle;
    THelpEvent OnHelp;
    base::TNotifyEvent OnHint;
    TMessageEvent OnMessage;
    base::TNotifyEvent OnMinimize;
    base::TNotifyEvent OnRestore;
    TShowHintEvent OnShowHint;
    // The screen's two slots: the focused control or the active window changed.
    struct TScreenEvents {
        base::TNotifyEvent OnActiveControlChange;
        base::TNotifyEvent OnActiveFormChange;
    } Screen;

    // Settings of the application and of its mouse object.
    std::uint32_t HintColor = 0x80000018;  // tooltip background system colour
    int HintPause = 500;
    bool ShowHint = true;
    bool UpdateFormatSettings = true;
    int HintShortPause = 50;
    int HintHidePause = 2500;
    bool ShowMainForm = true;
    bool UpdateMetricSettings = true;
    bool HintShortCuts = true;
    TBiDiMode BiDiMode = bdLeftToRight;
    struct TMouseSettings {
        bool DragImmediate = true;
        int DragThreshold = 5;
    } Mouse;
    // The hint of the control under the pointer, as OnHint announces it.
    std::string Hint = "";

    // The application's exception handler: OnException when one is
    // assigned, the standard error report otherwise.
    void HandleException(const std::exception& e);
    // ---- end of application-wide events and settings ----

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
