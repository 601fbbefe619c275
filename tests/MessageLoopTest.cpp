// The message loop: posting order, dropping messages of freed targets,
// timers that restart on a change, descriptor watches, and a wait that
// sleeps instead of spinning.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <vector>

#include "platform/Application.h"
#include "platform/MessageLoop.h"
#include "platform/Timer.h"

using namespace platform;
using Clock = std::chrono::steady_clock;

namespace {

// Runs the loop until done() or the watchdog expires; false on a hang.
template <typename F>
bool RunUntil(F done, int limitMs = 5000) {
    auto deadline = Clock::now() + std::chrono::milliseconds(limitMs);
    while (!done()) {
        if (Clock::now() > deadline) return false;
        if (!ProcessMessages()) WaitMessage(50);
    }
    return true;
}

// Leaves the loop's timerfd unset, so that a test can count its settings:
// a timer ticks (which sets the timerfd for its next period) and ends, and
// the wake-up that follows finds nothing due. Needs no other running timer.
void SettleTimers() {
    bool ticked = false;
    HWND w = AllocateHWnd(
        [&](UINT msg, WPARAM, LPARAM) -> LRESULT { return msg == WM_TIMER ? ticked = true : 0; });
    SetTimer(w, 1, 1);
    RunUntil([&] { return ticked; });
    DeallocateHWnd(w);
    usleep(5000);
    ProcessMessages();
}

double CpuSeconds() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_utime.tv_sec + ru.ru_stime.tv_sec + (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

}  // namespace

TEST(MessageLoop, PostedMessagesRunInOrderAfterTheHandlerReturns) {
    std::vector<int> seen;
    HWND a = AllocateHWnd([&](UINT msg, WPARAM w, LPARAM) -> LRESULT {
        seen.push_back(static_cast<int>(w));
        if (msg == WM_USER && w == 1) {
            PostMessage(a, WM_USER + 1, 3, 0);
            seen.push_back(2);  // runs before the message just posted
        }
        return 0;
    });
    PostMessage(a, WM_USER, 1, 0);
    PostMessage(a, WM_USER + 2, 10, 0);
    EXPECT_TRUE(seen.empty());  // nothing runs inside PostMessage
    ProcessMessages();
    EXPECT_EQ(seen, (std::vector<int>{1, 2, 10, 3}));
    DeallocateHWnd(a);
}

TEST(MessageLoop, MessagesForAFreedTargetAreDropped) {
    int calls = 0;
    HWND a = AllocateHWnd([&](UINT, WPARAM, LPARAM) -> LRESULT { return ++calls; });
    PostMessage(a, WM_USER, 0, 0);
    DeallocateHWnd(a);
    EXPECT_FALSE(PostMessage(a, WM_USER, 0, 0));
    ProcessMessages();
    EXPECT_EQ(calls, 0);
    EXPECT_EQ(SendMessage(a, WM_USER, 0, 0), 0);
    EXPECT_EQ(Counts().queued, 0);
}

TEST(MessageLoop, TargetMayFreeItselfInsideItsHandler) {
    HWND a = 0;
    int calls = 0;
    a = AllocateHWnd([&](UINT, WPARAM, LPARAM) -> LRESULT {
        ++calls;
        DeallocateHWnd(a);
        return 0;
    });
    PostMessage(a, WM_USER, 0, 0);
    PostMessage(a, WM_USER, 0, 0);
    ProcessMessages();
    EXPECT_EQ(calls, 1);
}

TEST(MessageLoop, TimerTicksAndRestartsItsCountOnAChange) {
    TTimer t;
    int ticks = 0;
    t.OnTimer = [&] { ++ticks; };
    t.SetInterval(40);
    t.SetEnabled(true);
    auto start = Clock::now();
    ASSERT_TRUE(RunUntil([&] { return ticks >= 2; }));
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(75));

    // Re-arming every 30 ms keeps pushing the tick away.
    ticks = 0;
    t.SetInterval(400);
    for (int i = 0; i < 5; ++i) {
        RunUntil([] { return false; }, 30);
        t.SetInterval(i % 2 ? 400 : 401);
    }
    EXPECT_EQ(ticks, 0);
    t.SetEnabled(false);
    RunUntil([] { return false; }, 200);
    EXPECT_EQ(ticks, 0);
}

TEST(MessageLoop, EverythingIsReleased) {
    LoopCounts before = Counts();
    {
        TTimer t;
        t.SetEnabled(true);
        EXPECT_EQ(Counts().timers, before.timers + 1);
    }
    EXPECT_EQ(Counts().timers, before.timers);
    EXPECT_EQ(Counts().targets, before.targets);
}

TEST(MessageLoop, StoppedTimerKeepsItsPlaceAndNeverTicksUntilRearmed) {
    LoopCounts before = Counts();
    int ticks = 0;
    HWND a = AllocateHWnd([&](UINT msg, WPARAM, LPARAM) -> LRESULT { return msg == WM_TIMER ? ++ticks : 0; });
    SetTimer(a, 7, 10);
    usleep(30000);  // expired, not yet dispatched: the stop drops it too
    EXPECT_TRUE(StopTimer(a, 7));
    RunUntil([] { return false; }, 60);
    EXPECT_EQ(ticks, 0);
    EXPECT_EQ(Counts().timers, before.timers + 1);
    SetTimer(a, 7, 10);  // re-armed in place
    EXPECT_EQ(Counts().timers, before.timers + 1);
    EXPECT_TRUE(RunUntil([&] { return ticks > 0; }));
    EXPECT_FALSE(StopTimer(a, 8));
    DeallocateHWnd(a);  // a stopped timer goes with its target
    EXPECT_EQ(Counts().timers, before.timers);
}

// A request's time limit is armed, and stopped, again and again, each time
// later than the timer the loop already waits for: none of that reaches the
// kernel. Only a deadline earlier than the one waited for sets the timerfd.
TEST(MessageLoop, TimersArmedLaterThanTheEarliestSetNothing) {
    SettleTimers();
    LoopCounts before = Counts();
    HWND a = AllocateHWnd([](UINT, WPARAM, LPARAM) -> LRESULT { return 0; });
    SetTimer(a, 1, 1000);
    EXPECT_EQ(Counts().timerArms, before.timerArms + 1);
    for (int i = 0; i < 50; ++i) {
        SetTimer(a, 2, 2000);  // later each time: moves away from the first
        StopTimer(a, 2);
        SetTimer(a, 100 + i, 1500 + i);
    }
    SetTimer(a, 1, 1000);  // the earliest itself moves later
    EXPECT_EQ(Counts().timerArms, before.timerArms + 1);
    EXPECT_EQ(Counts().timers, before.timers + 52);
    SetTimer(a, 3, 500);
    EXPECT_EQ(Counts().timerArms, before.timerArms + 2) << "earlier than the one waited for";
    DeallocateHWnd(a);
    EXPECT_EQ(Counts().timers, before.timers);
    SettleTimers();
}

// The timerfd left set for a deadline that went away wakes the loop once,
// for nothing; the timer then ticks once at its new time. Settings: the
// first deadline, the one really next after the stale wake-up, the next
// period before the handler runs.
TEST(MessageLoop, StaleWakeUpSetsTheTimerfdOnceAndTheTimerTicksAtItsNewTime) {
    enum Change { kMovedLater, kStoppedAndRearmed, kKilledAndSetAgain };
    for (Change change : {kMovedLater, kStoppedAndRearmed, kKilledAndSetAgain}) {
        SCOPED_TRACE(change);
        SettleTimers();
        const long arms = Counts().timerArms;
        int ticks = 0;
        long armsAtTick = 0;
        HWND a = AllocateHWnd([&](UINT msg, WPARAM, LPARAM) -> LRESULT {
            if (msg != WM_TIMER) return 0;
            armsAtTick = Counts().timerArms;
            return ++ticks;
        });
        SetTimer(a, 1, 10);
        if (change == kStoppedAndRearmed) StopTimer(a, 1);
        if (change == kKilledAndSetAgain) KillTimer(a, 1);
        if (change != kMovedLater) usleep(20000);  // passed, not yet looked at
        SetTimer(a, 1, 120);
        auto rearmed = Clock::now();
        ASSERT_TRUE(RunUntil([&] { return ticks > 0; }));
        EXPECT_GE(Clock::now() - rearmed, std::chrono::milliseconds(120));
        EXPECT_EQ(ticks, 1);
        EXPECT_EQ(armsAtTick, arms + 3);
        DeallocateHWnd(a);
    }
    SettleTimers();
}

// Timers due in the same round tick earliest first; a handler that ends,
// stops, re-arms or frees the target of a timer still waiting for its turn
// keeps that old expiry from being dispatched, and a handler that ends the
// timer which ticked before it ends its next periods.
TEST(MessageLoop, HandlerChangesATimerDueInTheSameRound) {
    enum Change { kKill, kStop, kRearm, kFreeTarget, kKillTheOneBefore };
    for (Change change : {kKill, kStop, kRearm, kFreeTarget, kKillTheOneBefore}) {
        SCOPED_TRACE(change);
        LoopCounts before = Counts();
        std::vector<int> seen;
        HWND b = AllocateHWnd([&](UINT msg, WPARAM id, LPARAM) -> LRESULT {
            if (msg == WM_TIMER) seen.push_back(static_cast<int>(id));
            return 0;
        });
        HWND a = AllocateHWnd([&](UINT msg, WPARAM id, LPARAM) -> LRESULT {
            if (msg != WM_TIMER) return 0;
            seen.push_back(static_cast<int>(id));
            if (id == 1 && change == kKill) KillTimer(b, 2);
            if (id == 1 && change == kStop) StopTimer(b, 2);
            if (id == 1 && change == kRearm) SetTimer(b, 2, 300);
            if (id == 1 && change == kFreeTarget) DeallocateHWnd(b);
            if (id == 3) KillTimer(b, 2);
            return 0;
        });
        SetTimer(a, 1, 10);
        SetTimer(b, 2, 11);
        if (change == kKillTheOneBefore) SetTimer(a, 3, 12);
        usleep(30000);  // all due in one round
        ProcessMessages();
        if (change == kKillTheOneBefore) {
            EXPECT_EQ(seen, (std::vector<int>{1, 2, 3}));
        } else {
            EXPECT_EQ(seen, (std::vector<int>{1}));
        }
        KillTimer(a, 1);
        KillTimer(a, 3);
        seen.clear();
        RunUntil([] { return false; }, 60);  // past the old period of 2
        if (change == kRearm) {
            EXPECT_EQ(seen, (std::vector<int>{}));
            EXPECT_TRUE(RunUntil([&] { return !seen.empty(); }));
            EXPECT_EQ(seen, (std::vector<int>{2})) << "once, at its new time";
        } else {
            EXPECT_EQ(seen, (std::vector<int>{}));
        }
        DeallocateHWnd(a);
        DeallocateHWnd(b);
        EXPECT_EQ(Counts().timers, before.timers);
    }
}

// A handler that waits inside the loop (a blocking request) still gets the
// timers due after it: the timerfd is set for the next deadline before any
// handler runs. A timer due in the same round that ticked for a later period
// meanwhile does not tick again for the earlier one.
TEST(MessageLoop, HandlerWaitingInsideTheLoopGetsTheTimers) {
    int first = 0, second = 0, far = 0;
    HWND a = 0;
    a = AllocateHWnd([&](UINT msg, WPARAM id, LPARAM) -> LRESULT {
        if (msg != WM_TIMER) return 0;
        if (id == 2) return ++second;
        if (id == 3) return ++far;
        ++first;
        KillTimer(a, 1);
        EXPECT_TRUE(RunUntil([&] { return second > 0; }));
        return 0;
    });
    SetTimer(a, 1, 10);
    SetTimer(a, 2, 11);  // due with 1, in the same round
    SetTimer(a, 3, 5000);
    usleep(30000);
    ProcessMessages();
    EXPECT_EQ(first, 1);
    EXPECT_EQ(second, 1);
    EXPECT_EQ(far, 0);
    DeallocateHWnd(a);
}

TEST(MessageLoop, WatchReportsReadinessAndCanUnwatchItself) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    int calls = 0;
    WatchFd(fds[0], 0x001 /*EPOLLIN*/, [&](std::uint32_t ev) {
        ++calls;
        EXPECT_TRUE(ev & 0x001);
        char c;
        EXPECT_EQ(read(fds[0], &c, 1), 1);
        UnwatchFd(fds[0]);
    });
    ProcessMessages();
    EXPECT_EQ(calls, 0);
    ASSERT_EQ(write(fds[1], "x", 1), 1);
    ASSERT_TRUE(RunUntil([&] { return calls == 1; }));
    EXPECT_EQ(Counts().watches, 0);
    close(fds[0]);
    close(fds[1]);
}

// A report collected while the loop slept, for interest dropped before it
// is handled, is not delivered: the callback no longer expects it.
TEST(MessageLoop, AReportForInterestDroppedMeanwhileIsNotDelivered) {
    const struct {
        const char* what;
        bool hangUp;             // the write end closes: the read end hangs up
        std::uint32_t interest;  // what the watch wants when the report is handled
    } rows[] = {
        {"read interest exchanged for another", false, 0x002 /*EPOLLPRI*/},
        {"no interest left, even in a hang-up", true, 0},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        int fds[2];
        ASSERT_EQ(pipe(fds), 0);
        int calls = 0;
        WatchFd(fds[0], 0x001 /*EPOLLIN*/, [&](std::uint32_t) { ++calls; });
        ASSERT_EQ(write(fds[1], "x", 1), 1);
        if (r.hangUp) close(fds[1]);
        WaitMessage(1000);  // collects the report, handles nothing
        ModifyFd(fds[0], r.interest);
        RunUntil([] { return false; }, 30);
        EXPECT_EQ(calls, 0);
        UnwatchFd(fds[0]);
        close(fds[0]);
        if (!r.hangUp) close(fds[1]);
    }
}

// An ended timer's deadline that passed before the loop looked must never
// reach the next timer.
TEST(MessageLoop, AnEndedTimersExpiryNeverReachesTheNextTimer) {
    LoopCounts before = Counts();
    int ticksA = 0, ticksB = 0;
    HWND a =
        AllocateHWnd([&](UINT msg, WPARAM, LPARAM) -> LRESULT { return msg == WM_TIMER ? ++ticksA : 0; });
    HWND b =
        AllocateHWnd([&](UINT msg, WPARAM, LPARAM) -> LRESULT { return msg == WM_TIMER ? ++ticksB : 0; });
    for (bool byFreeing : {false, true}) {
        ticksA = ticksB = 0;
        SetTimer(a, 1, 10);
        usleep(30000);  // expired, not yet dispatched
        if (byFreeing) {
            DeallocateHWnd(a);
        } else {
            EXPECT_TRUE(KillTimer(a, 1));
        }
        SetTimer(b, 2, 300);
        RunUntil([] { return false; }, 60);
        EXPECT_EQ(ticksA, 0);
        EXPECT_EQ(ticksB, 0) << "the old expiry went to the new timer";
        EXPECT_TRUE(RunUntil([&] { return ticksB > 0; }));
        KillTimer(b, 2);
    }
    DeallocateHWnd(b);
    EXPECT_EQ(Counts().timers, before.timers);
}

TEST(MessageLoop, TimerSwitchedOffAndOnKeepsItsTimer) {
    LoopCounts before = Counts();
    TTimer t;
    int ticks = 0;
    t.OnTimer = [&] { ++ticks; };
    t.SetInterval(10);
    for (int i = 0; i < 3; ++i) {
        t.SetEnabled(true);
        t.SetEnabled(false);
        EXPECT_EQ(Counts().timers, before.timers + 1);
    }
    RunUntil([] { return false; }, 40);
    EXPECT_EQ(ticks, 0) << "switched off";
    t.SetEnabled(true);
    EXPECT_TRUE(RunUntil([&] { return ticks > 0; }));
}

// Messages posted by the loop's own thread wake nothing: its waits look at
// the queue first. Runs before any test makes the loop hosted.
TEST(MessageLoop, PostsWriteNoWakeUpUntilAHostSleepsOnTheLoop) {
    SettleTimers();  // no earlier timer wakes the loop during the polls below
    const long wakes = Counts().wakes;
    int calls = 0;
    HWND a = AllocateHWnd([&](UINT msg, WPARAM, LPARAM) -> LRESULT {
        if (++calls < 3) PostMessage(a, msg, 0, 0);
        return 0;
    });
    PostMessage(a, WM_USER, 0, 0);
    WaitMessage(5000);  // returns at once: a message is queued
    ASSERT_TRUE(RunUntil([&] { return calls == 3; }));
    EXPECT_EQ(Counts().wakes, wakes);

    // A host waits on Fd() instead: a post must make it readable, even one
    // queued before the host asked for it.
    PostMessage(a, WM_USER + 1, 0, 0);
    pollfd p{Fd(), POLLIN, 0};
    EXPECT_EQ(poll(&p, 1, 0), 1);
    ProcessMessages();
    EXPECT_EQ(poll(&p, 1, 0), 0) << "drained";
    PostMessage(a, WM_USER + 2, 0, 0);
    EXPECT_EQ(poll(&p, 1, 0), 1);
    ProcessMessages();
    DeallocateHWnd(a);
}

TEST(MessageLoop, BlockingWaitSleepsInsteadOfSpinning) {
    TTimer t;
    bool fired = false;
    t.OnTimer = [&] { fired = true; };
    t.SetInterval(500);
    t.SetEnabled(true);
    double cpu = CpuSeconds();
    auto deadline = Clock::now() + std::chrono::seconds(5);
    while (!fired && Clock::now() < deadline) Application().HandleMessage();
    EXPECT_TRUE(fired);
    EXPECT_LT(CpuSeconds() - cpu, 0.05);
}

TEST(Application, ErrorReportAddsAFullStopAndDoesNotStackTheSameError) {
    std::vector<std::string> shown;
    TApplication& app = Application();
    app.Title = "Kvo Sentrel";
    TApplication::Host host;
    host.showError = [&](const std::string& title, const std::string& text) {
        shown.push_back(title + "|" + text);
        // The box is modal and pumps; the same failure arrives again meanwhile.
        app.ShowErrorText("Integer overflow");
        app.ShowErrorText("Another failure.");
    };
    app.SetHost(host);
    app.Guard([] { throw std::runtime_error("Integer overflow"); });
    app.ClearHost();
    EXPECT_EQ(shown,
              (std::vector<std::string>{"Kvo Sentrel|Integer overflow.", "Kvo Sentrel|Another failure."}));
}
