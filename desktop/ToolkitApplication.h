// The window toolkit's side of the application object: the application-wide
// events that only a windowing program has (activation, idle, hints,
// shortcuts, window-system input, minimise and restore, focus changes) and
// the toolkit settings (hint colour and pauses, text direction, dragging).
// platform::Application() keeps what every program has: the title, the
// terminate flag, the wait hooks, the error report and OnException.
//
// One slot per event, as the application object of a window system has;
// the desktop relay (TAppEvents) takes these slots over while it lives, and
// the object itself is the sender of its notify events. One instance per
// process, reached through ToolkitApplication(); GUI thread only.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "base/Events.h"

namespace desktop {

// Receiver and Event point at the toolkit's own objects.
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
using TIdleEvent = std::function<void(base::TObject* sender, bool& done)>;
using THelpEvent = std::function<bool(std::uint16_t command, std::intptr_t data, bool& callHelp)>;
using TMessageEvent = std::function<void(TAppMessage& msg, bool& handled)>;
using TShowHintEvent = std::function<void(std::string& hintStr, bool& canShow, THintInfo& info)>;

class TToolkitApplication : public base::TObject {
public:
    TActionEvent OnActionExecute;
    TActionEvent OnActionUpdate;
    TShortCutEvent OnShortCut;
    base::TNotifyEvent OnActivate;
    base::TNotifyEvent OnDeactivate;
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
};

inline TToolkitApplication& ToolkitApplication() {
    static TToolkitApplication app;
    return app;
}

}  // namespace desktop
