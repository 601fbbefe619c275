#include "platform/Timer.h"

namespace platform {

TTimer::TTimer() {
    wnd_ = AllocateHWnd([this](UINT msg, WPARAM, LPARAM) -> LRESULT {
        if (msg == WM_TIMER && enabled_ && OnTimer) OnTimer();
        return 0;
    });
    Update();
}

TTimer::~TTimer() { DeallocateHWnd(wnd_); }

void TTimer::SetInterval(std::uint32_t ms) {
    if (ms == interval_) return;
    interval_ = ms;
    Update();
}

void TTimer::SetEnabled(bool on) {
    if (on == enabled_) return;
    enabled_ = on;
    Update();
}

void TTimer::Update() {
    KillTimer(wnd_, 1);
    if (enabled_ && interval_ != 0) SetTimer(wnd_, 1, interval_);
}

}  // namespace platform
