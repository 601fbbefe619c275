// A message-driven timer, as a window's timer component: it ticks into the
// loop every Interval milliseconds while Enabled. Changing Interval or
// Enabled restarts the count from zero; assigning a value it already has
// changes nothing. It starts disabled. The tick handler runs from the loop, never from a setter.
// Owned by whoever declares it; frees its notification target with it.
#pragma once

#include <cstdint>
#include <functional>

#include "platform/MessageLoop.h"

namespace platform {

class TTimer {
public:
    TTimer();
    ~TTimer();
    TTimer(const TTimer&) = delete;
    TTimer& operator=(const TTimer&) = delete;

    std::uint32_t Interval() const { return interval_; }
    bool Enabled() const { return enabled_; }
    void SetInterval(std::uint32_t ms);
    void SetEnabled(bool on);

    std::function<void()> OnTimer;

private:
    void Update();
    HWND wnd_ = 0;
    std::uint32_t interval_ = 1000;
    bool enabled_ = false;
};

}  // namespace platform
