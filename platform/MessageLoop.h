// The program's one message loop, standing in for the window messages of the
// original desktop design. Everything runs on one thread: components create
// notification targets (what hidden windows were), post numbered messages to
// them, arm timers that tick into them, and watch file descriptors. The loop
// is built on epoll, with an eventfd that wakes it for posted messages and
// one timerfd set for the earliest of the timers' deadlines, which the loop
// keeps in order itself; a thread that waits in it sleeps until something is
// due and never spins.
//
// Posted messages are dispatched in posting order, and only from
// ProcessMessages()/PumpOwnMessages(): never inside PostMessage itself, so a
// handler that posts runs the message after it has returned. A message for a
// target that has been freed is dropped. Handlers may re-enter the loop (a
// blocking request pumps messages while it waits).
//
// In the Qt program, Qt's event loop is the application's loop: it watches
// Fd() with a socket notifier and calls ProcessMessages() when it is readable.
#pragma once

#include <cstdint>
#include <functional>

namespace platform {

using HWND = std::uint32_t;  // 0 is no target
using UINT = std::uint32_t;
using WPARAM = std::uintptr_t;
using LPARAM = std::intptr_t;
using LRESULT = std::intptr_t;

constexpr UINT WM_QUIT = 0x0012;
constexpr UINT WM_TIMER = 0x0113;
constexpr UINT WM_USER = 0x0400;

using WndProc = std::function<LRESULT(UINT msg, WPARAM wParam, LPARAM lParam)>;

// Creates a notification target whose messages go to proc.
HWND AllocateHWnd(WndProc proc);
// Frees a target: its timers stop and messages still queued for it are dropped.
// Safe to call from inside the target's own handler.
void DeallocateHWnd(HWND wnd);
bool IsWindow(HWND wnd);

// Queues a message; false (and nothing queued) when the target does not exist.
bool PostMessage(HWND wnd, UINT msg, WPARAM wParam, LPARAM lParam);
// Calls the target's handler at once; 0 when the target does not exist.
LRESULT SendMessage(HWND wnd, UINT msg, WPARAM wParam, LPARAM lParam);
// Queues WM_QUIT for the thread (no target); PumpOwnMessages records it.
void PostQuitMessage(int exitCode);

// Arms (or re-arms) timer id of wnd with an interval in milliseconds: each
// expiry dispatches WM_TIMER with wParam = id; a handler that runs late gets
// one WM_TIMER, not one per period missed. Re-arming restarts the count. An
// interval of 0 arms nothing (and ends a timer of that id).
//
// Timers cost no system call of their own: the loop sets its timerfd again
// only when a timer is armed for a moment earlier than the one the timerfd
// waits for. A timer stopped, ended or moved later leaves the timerfd set
// early; it then wakes the loop once for nothing, and the loop sets it for
// the deadline that is really next. So re-arming a time limit per request,
// later each time, costs nothing.
bool SetTimer(HWND wnd, WPARAM id, UINT intervalMs);
// Ends timer id of wnd.
bool KillTimer(HWND wnd, WPARAM id);
// Stops timer id of wnd but keeps it (it still counts in Counts().timers)
// for the next SetTimer of that id; KillTimer or freeing the target ends it.
bool StopTimer(HWND wnd, WPARAM id);

// File descriptor readiness. events and the callback's argument are epoll
// bits (EPOLLIN, EPOLLOUT, EPOLLERR, EPOLLHUP...). Watches are level
// triggered; a watcher that does not want to hear again switches its events
// off with ModifyFd. The callback may unwatch (and close) its own descriptor.
using FdCallback = std::function<void(std::uint32_t events)>;
bool WatchFd(int fd, std::uint32_t events, FdCallback callback);
bool ModifyFd(int fd, std::uint32_t events);
void UnwatchFd(int fd);
// The descriptor is about to be closed: its watch goes without a call to
// epoll, which drops a closed descriptor by itself. Only for a descriptor no
// other process or duplicate holds open.
void ForgetFd(int fd);

// Dispatches everything that is due now (ready descriptors, expired timers,
// posted messages) without blocking; returns true when anything ran. A quit
// message is consumed and noted (QuitPosted()).
bool ProcessMessages();
// Blocks until something is due (or timeoutMs passes, -1 for no limit).
// Dispatches nothing: what it found is dispatched by the next
// ProcessMessages. Flushes standard output before it sleeps.
void WaitMessage(int timeoutMs = -1);
// The loop's own drain, as a worker thread would use it: like
// ProcessMessages, with the quit message recorded in QuitSeen().
bool PumpOwnMessages();
bool QuitPosted();
bool QuitSeen();
int QuitCode();

// The epoll descriptor, readable whenever something is due; for hosting the
// loop inside another one.
int Fd();

// Number of live targets, timers and watches: tests use it to prove that a
// component released everything it made.
// The last three count calls made so far, for tests of what the loop costs:
// changes of watched descriptors in epoll, writes of the wake-up eventfd,
// and settings of the timerfd.
struct LoopCounts {
    int targets = 0;
    int timers = 0;
    int watches = 0;
    int queued = 0;
    long watchChanges = 0;
    long wakes = 0;
    long timerArms = 0;
};
LoopCounts Counts();

}  // namespace platform
