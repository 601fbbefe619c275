// A hook on an existing window's event processing: TRxWindowHook components
// attach to a widget and get its events before (BeforeMessage) and after
// (AfterMessage) the widget's own handling. All hooks of one widget share a
// TControlHook, the event filter that stands in for the widget's event
// procedure: it runs the before-handlers from the newest hook to the oldest,
// stopping after one that sets handled; hands the event to the widget
// unless it was handled; then runs the after-handlers in the same order and
// by the same rule, the handled flag as the before-handlers left it. The
// event that says the widget's native window is gone (a window id change to
// none) always reaches the widget, and takes the filter off: it is put back,
// through a message posted to THookList's hidden target, once the current
// event has finished, so a recreated window stays hooked.
//
// The widget is handed the event directly (its event()), so event filters
// installed on it before the hook are passed over while the hook is there.
//
// Ownership: a hook belongs to its owner; THookList (one per process) owns
// the TControlHooks and frees one, by a posted message, when its last hook
// has been moved off its control (a hook that only goes inactive leaves it
// listed). A handler's exception goes to the application's exception
// handler and the walk goes on. GUI thread only.
#pragma once

#include <QObject>
#include <QPointer>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "base/Events.h"
#include "platform/MessageLoop.h"

class QEvent;
class QWidget;

namespace desktop {

// One event of the hooked widget and the result of its handling (1 when the
// widget's event() took it).
struct TMessage {
    QEvent* Event = nullptr;
    std::uint32_t Msg = 0;
    std::intptr_t Result = 0;
};
using THookMessageEvent = std::function<void(base::TObject* sender, TMessage& msg, bool& handled)>;

class TControlHook;

class TRxWindowHook : public QObject, public base::TObject {
public:
    explicit TRxWindowHook(QObject* owner = nullptr);
    ~TRxWindowHook() override;

    bool Active() const { return active_; }
    void SetActive(bool v);
    QWidget* WinControl() const { return control_; }
    void SetWinControl(QWidget* control);
    // The hooked control is the owner, and the owner is a window.
    bool IsForm() const;

    THookMessageEvent BeforeMessage;
    THookMessageEvent AfterMessage;

    void HookControl();
    void UnhookControl();

private:
    friend class TControlHook;
    bool active_ = true;
    bool destroying_ = false;
    QPointer<QWidget> control_;
    QMetaObject::Connection controlGone_;
    TControlHook* controlHook_ = nullptr;
};

class TControlHook : public QObject {
public:
    explicit TControlHook(QWidget* control);
    ~TControlHook() override;

    QWidget* Control() const { return control_; }
    int HookCount() const { return static_cast<int>(list_.size()); }
    bool Installed() const { return installed_; }

    void AddHook(TRxWindowHook* hook);
    void RemoveHook(TRxWindowHook* hook);
    void HookWndProc();
    void UnhookWndProc();

protected:
    bool eventFilter(QObject* obj, QEvent* event) override;

private:
    void CallHandlers(bool before, TMessage& msg, bool& handled);

    QPointer<QWidget> control_;
    std::vector<QPointer<TRxWindowHook>> list_;  // in attach order
    bool installed_ = false;
    bool destroying_ = false;
};

class THookList {
public:
    static constexpr platform::UINT CM_RECREATEWINDOW = 0xB052;
    static constexpr platform::UINT CM_DESTROYHOOK = 0xB053;

    static THookList& Instance();
    ~THookList();

    TControlHook* Find(const QWidget* control) const;
    TControlHook* FindOrCreate(QWidget* control);
    bool Contains(const TControlHook* hook) const;
    int Count() const { return static_cast<int>(hooks_.size()); }
    platform::HWND Handle() const { return wnd_; }

private:
    THookList();
    platform::LRESULT WndProc(platform::UINT msg, platform::WPARAM wParam, platform::LPARAM lParam);

    std::vector<std::unique_ptr<TControlHook>> hooks_;
    platform::HWND wnd_ = 0;
};

}  // namespace desktop
