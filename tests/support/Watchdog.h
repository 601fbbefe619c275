// A watchdog for tests that run the message loop: when the time is up it
// records a failure and runs an action (usually the client's Abort), so a
// request that would hang ends the test instead of blocking it.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <utility>

#include "platform/MessageLoop.h"

namespace testsupport {

class TWatchdog {
public:
    TWatchdog(int ms, std::function<void()> onExpiry) : onExpiry_(std::move(onExpiry)) {
        wnd_ = platform::AllocateHWnd([this](platform::UINT msg, platform::WPARAM, platform::LPARAM) {
            if (msg == platform::WM_TIMER && !fired_) {
                fired_ = true;
                platform::KillTimer(wnd_, 1);
                ADD_FAILURE() << "watchdog expired: the test hung";
                if (onExpiry_) onExpiry_();
            }
            return platform::LRESULT{0};
        });
        platform::SetTimer(wnd_, 1, static_cast<platform::UINT>(ms));
    }
    ~TWatchdog() { platform::DeallocateHWnd(wnd_); }
    TWatchdog(const TWatchdog&) = delete;
    TWatchdog& operator=(const TWatchdog&) = delete;
    bool Fired() const { return fired_; }

private:
    std::function<void()> onExpiry_;
    platform::HWND wnd_ = 0;
    bool fired_ = false;
};

}  // namespace testsupport
