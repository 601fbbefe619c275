#include "desktop/RxHook.h"

#include <QEvent>
#include <QWidget>
#include <algorithm>
#include <exception>

#include "platform/Application.h"

namespace desktop {

namespace {

// The event by which a widget says its native window is gone: it is
// recreated afterwards (a change of window flags or parent) or the widget
// is being destroyed.
bool IsDestroyMessage(const QEvent* e, const QWidget* control) {
    return e->type() == QEvent::WinIdChange && control && control->internalWinId() == 0;
}

}  // namespace

// ---- TRxWindowHook ----

TRxWindowHook::TRxWindowHook(QObject* owner) : QObject(owner) {}

TRxWindowHook::~TRxWindowHook() {
    destroying_ = true;
    SetActive(false);
    SetWinControl(nullptr);
}

void TRxWindowHook::SetActive(bool v) {
    active_ = v;
    if (v)
        HookControl();
    else
        UnhookControl();
}

void TRxWindowHook::HookControl() {
    if (!control_ || destroying_) return;
    THookList::Instance().FindOrCreate(control_)->AddHook(this);
}

void TRxWindowHook::UnhookControl() {
    if (TControlHook* hook = controlHook_) hook->RemoveHook(this);
}

void TRxWindowHook::SetWinControl(QWidget* control) {
    if (control == control_) return;
    const bool wasActive = active_;
    SetActive(false);
    active_ = wasActive;
    // The old control's hook, when nobody uses it any more, is freed once
    // the current event has finished (it may be the one running us now).
    // An inactive hook keeps its control's hook listed for its return.
    TControlHook* old = control_ ? THookList::Instance().Find(control_) : nullptr;
    QObject::disconnect(controlGone_);
    control_ = control;
    if (control)
        controlGone_ =
            QObject::connect(control, &QObject::destroyed, this, [this] { SetWinControl(nullptr); });
    if (old && old->HookCount() == 0)
        platform::PostMessage(THookList::Instance().Handle(), THookList::CM_DESTROYHOOK, 0,
                              reinterpret_cast<platform::LPARAM>(old));
    if (wasActive) SetActive(true);
}

bool TRxWindowHook::IsForm() const {
    return control_ && control_ == parent() && control_->isWindow();
}

// ---- TControlHook ----

TControlHook::TControlHook(QWidget* control) : control_(control) {}

TControlHook::~TControlHook() {
    destroying_ = true;
    for (const auto& hook : list_)
        if (hook) hook->controlHook_ = nullptr;
    list_.clear();
    UnhookWndProc();
}

void TControlHook::AddHook(TRxWindowHook* hook) {
    if (std::find(list_.begin(), list_.end(), hook) != list_.end()) return;
    list_.emplace_back(hook);
    hook->controlHook_ = this;
    HookWndProc();
}

void TControlHook::RemoveHook(TRxWindowHook* hook) {
    std::erase_if(list_, [hook](const QPointer<TRxWindowHook>& p) { return !p || p == hook; });
    hook->controlHook_ = nullptr;
    if (list_.empty()) UnhookWndProc();
}

void TControlHook::HookWndProc() {
    if (!control_ || destroying_ || installed_) return;
    control_->installEventFilter(this);
    installed_ = true;
}

void TControlHook::UnhookWndProc() {
    if (installed_ && control_) control_->removeEventFilter(this);
    installed_ = false;
}

void TControlHook::CallHandlers(bool before, TMessage& msg, bool& handled) {
    // Newest first, on a snapshot: a handler may attach or detach hooks.
    const std::vector<QPointer<TRxWindowHook>> snapshot(list_.rbegin(), list_.rend());
    for (const QPointer<TRxWindowHook>& hook : snapshot) {
        if (!hook) continue;
        const THookMessageEvent& handler = before ? hook->BeforeMessage : hook->AfterMessage;
        if (handler) {
            try {
                handler(hook.data(), msg, handled);
            } catch (const std::exception& e) {
                platform::Application().HandleException(e);
            }
        }
        if (handled) break;
    }
}

bool TControlHook::eventFilter(QObject* obj, QEvent* e) {
    if (obj != control_.data() || !installed_) return false;
    if (list_.empty() || destroying_) return false;
    QWidget* control = control_;
    TMessage msg{e, static_cast<std::uint32_t>(e->type()), 0};
    bool handled = false;
    CallHandlers(true, msg, handled);
    const bool destroy = IsDestroyMessage(e, control_);
    std::exception_ptr failure;
    if ((!handled || destroy) && control_) {
        try {
            // The widget's own handling; QObject::event is public.
            msg.Result = static_cast<QObject*>(control)->event(e) ? 1 : 0;
        } catch (...) {
            failure = std::current_exception();
        }
    }
    // The after-handlers hear whether the message was handled: one that a
    // hook took before reaches only the newest hook's after-handler.
    if (!destroying_ && control_) CallHandlers(false, msg, handled);
    if (destroy) {
        UnhookWndProc();
        if (!destroying_ && control_)
            platform::PostMessage(THookList::Instance().Handle(), THookList::CM_RECREATEWINDOW, 0,
                                  reinterpret_cast<platform::LPARAM>(this));
    }
    if (failure) std::rethrow_exception(failure);
    // The widget has had the event (or a handler took it): Qt must not
    // deliver it again.
    return true;
}

// ---- THookList ----

THookList& THookList::Instance() {
    static std::unique_ptr<THookList> list(new THookList);
    return *list;
}

THookList::THookList() {
    wnd_ = platform::AllocateHWnd(
        [this](platform::UINT msg, platform::WPARAM w, platform::LPARAM l) { return WndProc(msg, w, l); });
}

THookList::~THookList() {
    platform::DeallocateHWnd(wnd_);
    hooks_.clear();
}

TControlHook* THookList::Find(const QWidget* control) const {
    for (const auto& hook : hooks_)
        if (hook->Control() == control) return hook.get();
    return nullptr;
}

TControlHook* THookList::FindOrCreate(QWidget* control) {
    if (TControlHook* hook = Find(control)) return hook;
    hooks_.push_back(std::make_unique<TControlHook>(control));
    return hooks_.back().get();
}

bool THookList::Contains(const TControlHook* hook) const {
    return std::any_of(hooks_.begin(), hooks_.end(), [hook](const auto& h) { return h.get() == hook; });
}

platform::LRESULT THookList::WndProc(platform::UINT msg, platform::WPARAM, platform::LPARAM lParam) {
    auto* hook = reinterpret_cast<TControlHook*>(lParam);
    try {
        switch (msg) {
            case CM_RECREATEWINDOW:
                if (Contains(hook) && hook->HookCount() > 0) hook->HookWndProc();
                break;
            case CM_DESTROYHOOK:
                if (Contains(hook) && hook->HookCount() == 0)
                    std::erase_if(hooks_, [hook](const auto& h) { return h.get() == hook; });
                break;
            default: break;
        }
    } catch (const std::exception& e) {
        platform::Application().HandleException(e);
    }
    return 0;
}

}  // namespace desktop
