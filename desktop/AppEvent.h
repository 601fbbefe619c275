// TAppEvents lets a window receive the application's own events (minimise,
// restore, activate, exception, idle, hint...) through event properties of
// its own, and mirrors a set of application settings as properties. Any
// number of instances may live at once: TAppEventList, one per process,
// takes over the application's handler slots (desktop::ToolkitApplication()
// and platform::Application().OnException) when
// the first instance registers, and relays every event to the instances
// from the newest to the oldest; an instance whose Chained is false keeps
// the older ones, and the handler that sat in the slot before, from hearing
// the event. The last instance to go clears the slots.
//
// The events come from what Qt reports, watched by an application-wide
// event filter that the list installs: the main window (MainForm()) going to
// and from the minimised state, the application becoming active or
// inactive, the event loop falling idle, the pointer entering a control with
// a hint, a tooltip about to show, window-system input (OnMessage and, for
// key presses, OnShortCut), focus moving between controls and windows, and
// font or palette changes of the application (OnSettingsChanged). Exceptions
// reach OnException through platform::Application().HandleException, which
// the application's Guard uses. The toolkit has no source for OnHelp,
// OnActionExecute or OnActionUpdate, and OnPaintIcon fires only if the
// window system paints a minimised main window, which X11 managers do not;
// the relays work when the slots are called.
//
// The owner (a window, through QObject parenthood) owns each instance. GUI
// thread only. A handler may destroy any instance, its own included; the
// walk skips instances that are gone.
#pragma once

#include <QObject>
#include <QPointer>
#include <cstdint>
#include <vector>

#include "base/Events.h"
#include "desktop/ToolkitApplication.h"
#include "platform/Application.h"

class QEvent;
class QPaintEvent;
class QPainter;

namespace desktop {

class TAppEvents : public QObject, public base::TObject {
public:
    explicit TAppEvents(QObject* owner = nullptr);
    ~TAppEvents() override;

    bool Chained() const { return chained_; }
    void SetChained(bool v) { chained_ = v; }

    // Mirrored settings: reading gives the application's current value,
    // writing stores the value and passes it on at once.
    std::uint32_t HintColor() const;
    void SetHintColor(std::uint32_t v);
    int HintPause() const;
    void SetHintPause(int v);
    bool ShowHint() const;
    void SetShowHint(bool v);
    bool UpdateFormatSettings() const;
    void SetUpdateFormatSettings(bool v);
    int HintShortPause() const;
    void SetHintShortPause(int v);
    int HintHidePause() const;
    void SetHintHidePause(int v);
    bool ShowMainForm() const;
    void SetShowMainForm(bool v);
    bool UpdateMetricSettings() const;
    void SetUpdateMetricSettings(bool v);
    bool HintShortCuts() const;
    void SetHintShortCuts(bool v);
    TBiDiMode BiDiMode() const;
    void SetBiDiMode(TBiDiMode v);
    bool MouseDragImmediate() const;
    void SetMouseDragImmediate(bool v);
    int MouseDragThreshold() const;
    void SetMouseDragThreshold(int v);

    // Writes all twelve stored settings to the application.
    void ApplyApplicationProperties();

    TActionEvent OnActionExecute;
    TActionEvent OnActionUpdate;
    TShortCutEvent OnShortCut;
    base::TNotifyEvent OnActivate;
    base::TNotifyEvent OnDeactivate;
    platform::TExceptionEvent OnException;
    TIdleEvent OnIdle;
    THelpEvent OnHelp;
    base::TNotifyEvent OnHint;
    TMessageEvent OnMessage;
    base::TNotifyEvent OnMinimize;
    base::TNotifyEvent OnPaintIcon;
    base::TNotifyEvent OnRestore;
    TShowHintEvent OnShowHint;
    base::TNotifyEvent OnSettingsChanged;
    base::TNotifyEvent OnActiveControlChange;
    base::TNotifyEvent OnActiveFormChange;

    // The main window's filter: a change of the application's settings
    // fires OnSettingsChanged (an exception from it goes to the
    // application's exception handler) and is not handled; a paint of the
    // minimised main window, while OnPaintIcon is assigned, is painted by
    // OnPaintIcon and handled.
    virtual bool MainWindowFilter(QEvent* event);

    // Where OnPaintIcon paints: the main window, its update region already
    // erased with the desktop's background. Null outside OnPaintIcon, and
    // when the paint did not come from the window system's painting.
    QPainter* Canvas() const { return canvas_; }

protected:
    // Erases the region of a paint of the minimised main window and fires
    // OnPaintIcon to paint on Canvas().
    virtual void PaintMinimizedIcon();
    virtual void SettingsChangedNotify();

private:
    QPaintEvent* paintEvent_ = nullptr;  // the paint being handled
    QPainter* canvas_ = nullptr;         // open only during OnPaintIcon
    bool chained_ = true;
    // The stored values of the mirrored settings.
    std::uint32_t hintColor_ = 0x80000018;
    int hintPause_ = 500;
    bool showHint_ = true;
    bool updateFormatSettings_ = true;
    int hintShortPause_ = 50;
    int hintHidePause_ = 2500;
    bool showMainForm_ = true;
    bool updateMetricSettings_ = true;
    bool hintShortCuts_ = true;
    TBiDiMode biDiMode_ = bdLeftToRight;
    bool mouseDragImmediate_ = true;
    int mouseDragThreshold_ = 5;
};

class TAppEventList {
public:
    // The one list, made on first use.
    static TAppEventList& Instance();
    ~TAppEventList();

    void AddEventsInstance(TAppEvents* instance);
    void RemoveEventsInstance(TAppEvents* instance);
    bool Installed() const { return installed_; }
    int Count() const { return static_cast<int>(list_.size()); }

    // The relays, as they sit in the application's slots.
    void DoActionExecute(base::TObject* action, bool& handled);
    void DoActionUpdate(base::TObject* action, bool& handled);
    void DoShortCut(TAppShortCut& key, bool& handled);
    void DoActivate(base::TObject* sender);
    void DoDeactivate(base::TObject* sender);
    void DoException(base::TObject* sender, const std::exception& e);
    void DoIdle(base::TObject* sender, bool& done);
    bool DoHelp(std::uint16_t command, std::intptr_t data, bool& callHelp);
    void DoHint(base::TObject* sender);
    void DoMessage(TAppMessage& msg, bool& handled);
    void DoMinimize(base::TObject* sender);
    void DoRestore(base::TObject* sender);
    void DoShowHint(std::string& hintStr, bool& canShow, THintInfo& info);
    void DoActiveControlChange(base::TObject* sender);
    void DoActiveFormChange(base::TObject* sender);

    // Offers an event of the application or its main window to the
    // instances' main-window filters, newest first, until one handles it;
    // true when one did.
    bool MainWindowFilters(QEvent* event);

private:
    TAppEventList();
    void WatchApplication();
    void InstallRelays();
    void ClearApplicationHandlers();
    // Calls visit on each live instance from the newest to the oldest;
    // stops after an unchained instance, or once *handled is true after a
    // chained one. Returns whether the walk passed every instance.
    template <typename Visit>
    bool Walk(Visit visit, const bool* handled = nullptr);

    std::vector<QPointer<TAppEvents>> list_;  // oldest first
    bool installed_ = false;
    // What sat in the slots when the relays went in.
    struct Saved {
        TActionEvent ActionExecute, ActionUpdate;
        TShortCutEvent ShortCut;
        base::TNotifyEvent Activate, Deactivate;
        platform::TExceptionEvent Exception;
        TIdleEvent Idle;
        THelpEvent Help;
        base::TNotifyEvent Hint;
        TMessageEvent Message;
        base::TNotifyEvent Minimize, Restore;
        TShowHintEvent ShowHint;
        base::TNotifyEvent ActiveControlChange, ActiveFormChange;
    } saved_;
    QPointer<QObject> source_;  // the application-wide event filter
};

// Ends the minimised state of the application: the main window comes back
// in its normal size (not maximised) and is activated.
void RestoreApplication();
// Minimises the application's main window.
void MinimizeApplication();

}  // namespace desktop
