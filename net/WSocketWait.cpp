// Waiting on the socket: the message pumps and the synchronous level that
// sleeps in the loop until a flag is set or the time limit passes.
#include "net/WSocket.h"

#include <chrono>

#include "platform/Application.h"
#include "platform/MessageLoop.h"

namespace net {

using platform::LPARAM;
using platform::LRESULT;
using platform::UINT;
using platform::WPARAM;

namespace {
constexpr WPARAM kWaitTimerId = 1;
}  // namespace

// ---------------------------------------------------------------------------
// Message pumps

void TCustomWSocket::PumpMessages() {
    if (multiThreaded_)
        PumpOwnMessages();
    else
        platform::Application().ProcessMessages();
}

void TCustomWSocket::PumpOwnMessages() {
    platform::PumpOwnMessages();
    if (platform::QuitSeen()) terminated_ = true;
}

void TCustomWSocket::WaitRound() {
    if (multiThreaded_) {
        if (!platform::PumpOwnMessages()) platform::WaitMessage(-1);
        if (platform::QuitSeen()) terminated_ = true;
    } else {
        platform::Application().HandleMessage();
    }
}

// ---------------------------------------------------------------------------
// TCustomSyncWSocket

TCustomSyncWSocket::TCustomSyncWSocket(base::TObject* AOwner) : TCustomLineWSocket(AOwner) {}

int TCustomSyncWSocket::RunAndWait(const std::function<void()>& Proc, bool& Flag) {
    Flag = false;
    if (Proc) Proc();
    return WaitUntilSet(Flag);
}

int TCustomSyncWSocket::WaitUntilSet(const bool& Flag) {
    using Clock = std::chrono::steady_clock;
    auto deadline = Clock::now() + std::chrono::milliseconds(Timeout);
    CallOutGuard guard(*this);
    int result = 0;
    while (!Flag) {
        if (Timeout > 0) {
            auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0) {
                result = 12001;
                break;
            }
            // A timer of the socket's own wakes the wait at the deadline.
            platform::SetTimer(window_, kWaitTimerId, static_cast<UINT>(left));
        }
        if (platform::Application().Terminated() || terminated_) {
            result = 12001;
            break;
        }
        WaitRound();
        if (!guard.Alive()) return Flag ? 0 : 12001;
    }
    if (Timeout > 0) platform::KillTimer(window_, kWaitTimerId);
    return result;
}

}  // namespace net
