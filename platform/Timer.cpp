#include "platform/Timer.h"

namespace platform {

TTimer::TTimer() {
    wnd_ = AllocateHWnd([this](UINT msg, WPARAM, LPARAM) -> LRESULT {
        if (msg == WM_TIMER && enabled_ && OnTimer) OnTimer();
        return 0;
    });
    Update();
}

TTimer::~TTimer() {
    DeallocateHWnd(wnd_);
}

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

// A timer switched off and on again (the monitor's cycle) keeps its timer
// and is re-armed in place; the destructor releases it with the target.
void TTimer::Update() {
    if (enabled_ && interval_ != 0)
        SetTimer(wnd_, 1, interval_);
    else
        StopTimer(wnd_, 1);
}

}  // namespace platform
