#include "platform/MessageLoop.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <deque>
#include <limits>
#include <map>
#include <memory>
#include <set>
#include <unordered_map>
#include <vector>

namespace platform {
namespace {

// What an epoll entry stands for. The 64-bit tag carries the kind, a
// generation and the descriptor, so an event that was collected for a
// descriptor which has since been closed and reused is recognised and skipped.
enum Kind : std::uint64_t { kWake = 0, kTimer = 1, kWatch = 2 };

std::uint64_t Tag(Kind kind, std::uint32_t gen, int fd) {
    return (static_cast<std::uint64_t>(kind) << 62) | (static_cast<std::uint64_t>(gen & 0x3FFFFFFF) << 32) |
           static_cast<std::uint32_t>(fd);
}

struct Message {
    HWND wnd;
    UINT msg;
    WPARAM wParam;
    LPARAM lParam;
};

// Nanoseconds on CLOCK_MONOTONIC.
using Nanos = std::int64_t;
constexpr Nanos kNanosPerMs = 1000000;
constexpr Nanos kUnarmed = std::numeric_limits<Nanos>::max();

// Reading the clock goes through the vDSO: it costs no system call.
Nanos Now() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<Nanos>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// A timer of a target. A running one has its deadline in the loop's ordered
// set under (when, seq); seq changes with every new deadline, so an expiry
// collected for an old deadline is recognised and skipped.
struct Timer {
    Nanos interval = 0;
    Nanos when = 0;
    std::uint64_t seq = 0;
    bool running = false;  // false: stopped, kept for the next SetTimer
};

// A deadline in the loop's ordered set: the earliest comes first.
struct Due {
    Nanos when;
    std::uint64_t seq;
    HWND wnd;
    WPARAM id;
    auto operator<=>(const Due&) const = default;
};

struct Watch {
    std::uint32_t events;
    std::uint32_t gen;
    std::shared_ptr<FdCallback> callback;
};

// What epoll holds for a descriptor, which may lag behind what its watch
// wants while the loop runs handlers (see Loop::Sync).
struct Registered {
    std::uint32_t events;
    std::uint32_t gen;
};

class Loop {
public:
    Loop() {
        epoll_ = epoll_create1(EPOLL_CLOEXEC);
        wake_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        timerfd_ = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
        if (epoll_ < 0 || wake_ < 0 || timerfd_ < 0) std::abort();
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.u64 = Tag(kWake, 0, wake_);
        epoll_ctl(epoll_, EPOLL_CTL_ADD, wake_, &ev);
        ev.data.u64 = Tag(kTimer, 0, timerfd_);
        epoll_ctl(epoll_, EPOLL_CTL_ADD, timerfd_, &ev);
    }

    HWND Allocate(WndProc proc) {
        HWND wnd = ++lastWnd_;
        if (wnd == 0) wnd = ++lastWnd_;
        targets_[wnd] = std::make_shared<WndProc>(std::move(proc));
        return wnd;
    }

    void Deallocate(HWND wnd) {
        if (targets_.erase(wnd) == 0) return;
        auto it = timers_.lower_bound({wnd, WPARAM{}});
        while (it != timers_.end() && it->first.first == wnd) {
            Unschedule(*it);
            it = timers_.erase(it);
        }
        std::erase_if(queue_, [wnd](const Message& m) { return m.wnd == wnd; });
    }

    bool Exists(HWND wnd) const { return targets_.count(wnd) != 0; }

    bool Post(HWND wnd, UINT msg, WPARAM w, LPARAM l) {
        if (wnd != 0 && !Exists(wnd)) return false;
        queue_.push_back({wnd, msg, w, l});
        // The loop's own waits look at the queue first, so only a host that
        // sleeps on Fd() needs the eventfd to wake it.
        if (hosted_) Signal();
        return true;
    }

    LRESULT Send(HWND wnd, UINT msg, WPARAM w, LPARAM l) {
        auto it = targets_.find(wnd);
        if (it == targets_.end()) return 0;
        auto proc = it->second;  // keeps the handler alive while it frees its own target
        return (*proc)(msg, w, l);
    }

    // Timers change only the loop's own state: the timerfd is set again
    // only for a deadline earlier than the one it waits for (see Arm).
    bool SetTimer(HWND wnd, WPARAM id, UINT ms) {
        if (!Exists(wnd)) return false;
        if (ms == 0) {
            KillTimer(wnd, id);
            return false;
        }
        auto it = timers_.try_emplace({wnd, id}).first;
        it->second.interval = Nanos{ms} * kNanosPerMs;
        Schedule(*it, Now() + it->second.interval);
        Arm();
        return true;
    }

    // A stopped timer keeps its place for the next SetTimer. The timerfd may
    // stay set for its deadline: it then wakes the loop once for nothing,
    // and the loop sets it for the deadline that is really next.
    bool StopTimer(HWND wnd, WPARAM id) {
        auto it = timers_.find({wnd, id});
        if (it == timers_.end()) return false;
        Unschedule(*it);
        return true;
    }

    bool KillTimer(HWND wnd, WPARAM id) {
        auto it = timers_.find({wnd, id});
        if (it == timers_.end()) return false;
        Unschedule(*it);
        timers_.erase(it);
        return true;
    }

    // A new watch reaches epoll at once, so that a descriptor epoll cannot
    // watch is refused here.
    bool Watch(int fd, std::uint32_t events, FdCallback cb) {
        std::uint32_t gen = ++gen_;
        watches_[fd] = platform::Watch{events, gen, std::make_shared<FdCallback>(std::move(cb))};
        if (!Sync(fd)) {
            watches_.erase(fd);
            return false;
        }
        return true;
    }

    bool Modify(int fd, std::uint32_t events) {
        auto it = watches_.find(fd);
        if (it == watches_.end()) return false;
        it->second.events = events;
        Changed(fd);
        return true;
    }

    void Unwatch(int fd) {
        if (watches_.erase(fd) != 0) Changed(fd);
    }

    // The descriptor is about to be closed, which takes it out of epoll.
    void Forget(int fd) {
        watches_.erase(fd);
        registered_.erase(fd);
        dirty_.erase(fd);
    }

    // One round: the descriptors that are ready now, then every posted
    // message, including those posted while the round runs.
    bool Process() {
        ++depth_;
        bool did = Round();
        if (--depth_ == 0) SyncAll();  // a host sleeps on Fd() next
        return did;
    }

    bool Round() {
        bool did = false;
        epoll_event events[kMaxEvents];
        int n = 0;
        if (stashed_ > 0) {  // collected by Wait
            n = stashed_;
            std::copy(stash_, stash_ + n, events);
            stashed_ = 0;
        } else {
            SyncAll();
            n = epoll_wait(epoll_, events, kMaxEvents, 0);
        }
        for (int i = 0; i < n; ++i) {
            std::uint64_t tag = events[i].data.u64;
            auto kind = static_cast<Kind>(tag >> 62);
            auto gen = static_cast<std::uint32_t>((tag >> 32) & 0x3FFFFFFF);
            int fd = static_cast<int>(static_cast<std::uint32_t>(tag));
            if (kind == kWake) continue;  // drained with the queue below
            if (kind == kTimer) {
                if (FireTimers()) did = true;
            } else {
                auto it = watches_.find(fd);
                if (it == watches_.end() || (it->second.gen & 0x3FFFFFFF) != gen) continue;
                // What the watch no longer wants, epoll may not know yet.
                std::uint32_t ev = events[i].events & (it->second.events | EPOLLERR | EPOLLHUP);
                if (it->second.events == 0 || ev == 0) continue;
                auto cb = it->second.callback;
                did = true;
                (*cb)(ev);
            }
        }
        if (signalled_) {
            std::uint64_t v;
            ssize_t r = ::read(wake_, &v, sizeof v);
            (void)r;
            signalled_ = false;
        }
        while (!queue_.empty()) {
            Message m = queue_.front();
            queue_.pop_front();
            did = true;
            if (m.wnd == 0) {
                if (m.msg == WM_QUIT) {
                    quit_ = true;
                    quitCode_ = static_cast<int>(m.wParam);
                }
                continue;
            }
            Send(m.wnd, m.msg, m.wParam, m.lParam);
        }
        return did;
    }

    // Sleeps in epoll itself and keeps what it collected for the next
    // round, so that a wake-up costs one call.
    void Wait(int timeoutMs) {
        if (!queue_.empty() || stashed_ > 0) return;
        SyncAll();
        // What handlers printed shows before the loop sleeps, in one write
        // instead of one per line.
        if (timeoutMs != 0) std::fflush(stdout);
        int n;
        while ((n = epoll_wait(epoll_, stash_, kMaxEvents, timeoutMs)) < 0 && errno == EINTR) {
        }
        stashed_ = n > 0 ? n : 0;
    }

    LoopCounts Counts() const {
        return LoopCounts{static_cast<int>(targets_.size()),
                          static_cast<int>(timers_.size()),
                          static_cast<int>(watches_.size()),
                          static_cast<int>(queue_.size()),
                          watchChanges_,
                          wakes_,
                          timerArms_};
    }

    // A host that sleeps on the epoll descriptor itself: posted messages
    // must wake it from now on.
    int Fd() {
        hosted_ = true;
        if (!queue_.empty()) Signal();
        return epoll_;
    }
    bool quit_ = false;
    int quitCode_ = 0;

private:
    static constexpr int kMaxEvents = 64;

    // A change of a watch while handlers run waits for the loop's next look
    // at epoll: a socket whose read interest goes off while its message is
    // handled and comes back with the receive costs no call at all, and one
    // closed in the meantime leaves with its descriptor. Outside a round
    // (a host calling in) the change is made at once.
    void Changed(int fd) {
        if (depth_ > 0)
            dirty_.insert(fd);
        else
            Sync(fd);
    }

    void SyncAll() {
        while (!dirty_.empty()) {
            auto it = dirty_.begin();
            int fd = *it;
            dirty_.erase(it);
            Sync(fd);
        }
    }

    // Brings epoll in line with the watch of fd; false when epoll refuses.
    // Without a watch, or with no events wanted, the descriptor leaves epoll:
    // it would report errors and hang-ups even without interest.
    bool Sync(int fd) {
        dirty_.erase(fd);
        auto w = watches_.find(fd);
        auto r = registered_.find(fd);
        if (w == watches_.end() || w->second.events == 0) {
            if (r != registered_.end()) {
                epoll_ctl(epoll_, EPOLL_CTL_DEL, fd, nullptr);
                ++watchChanges_;
                registered_.erase(r);
            }
            return w != watches_.end();
        }
        epoll_event ev{};
        ev.events = w->second.events;
        ev.data.u64 = Tag(kWatch, w->second.gen, fd);
        if (r != registered_.end()) {
            if (r->second.events == ev.events && r->second.gen == w->second.gen) return true;
            ++watchChanges_;
            if (epoll_ctl(epoll_, EPOLL_CTL_MOD, fd, &ev) == 0) {
                r->second = Registered{ev.events, w->second.gen};
                return true;
            }
            registered_.erase(r);  // closed and reused since: add it afresh
        }
        ++watchChanges_;
        if (epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &ev) != 0) return false;
        registered_[fd] = Registered{ev.events, w->second.gen};
        return true;
    }

    void Signal() {
        if (signalled_) return;
        std::uint64_t one = 1;
        ssize_t r = ::write(wake_, &one, sizeof one);
        ++wakes_;
        (void)r;
        signalled_ = true;
    }

    using TimerEntry = std::pair<const std::pair<HWND, WPARAM>, Timer>;

    // Gives a timer a new deadline in the ordered set, in place of the one it
    // had; the set's node is reused.
    void Schedule(TimerEntry& entry, Nanos when) {
        Timer& t = entry.second;
        Due due{when, ++seq_, entry.first.first, entry.first.second};
        decltype(due_)::node_type node;
        if (t.running) node = due_.extract(Due{t.when, t.seq, due.wnd, due.id});
        if (node.empty()) {
            due_.insert(due);
        } else {
            node.value() = due;
            due_.insert(std::move(node));
        }
        t.when = when;
        t.seq = due.seq;
        t.running = true;
    }

    void Unschedule(TimerEntry& entry) {
        Timer& t = entry.second;
        if (t.running) due_.erase(Due{t.when, t.seq, entry.first.first, entry.first.second});
        t.running = false;
    }

    // Sets the timerfd for the earliest deadline when that comes before the
    // one it is set for. A timer that stopped or moved later leaves it set
    // early: it then wakes the loop once, and FireTimers sets it again.
    void Arm() {
        if (due_.empty()) return;
        Nanos first = due_.begin()->when;
        if (first >= armedAt_) return;
        itimerspec when{};
        when.it_value.tv_sec = static_cast<time_t>(first / 1000000000);
        when.it_value.tv_nsec = static_cast<long>(first % 1000000000);
        ++timerArms_;
        if (timerfd_settime(timerfd_, TFD_TIMER_ABSTIME, &when, nullptr) == 0) armedAt_ = first;
    }

    // The timerfd went off: every timer that is due gets its next deadline
    // first, the timerfd is set for the earliest one left, and only then do
    // the handlers run, earliest first. They may re-enter the loop, and set,
    // stop or end any timer or free any target: a timer whose deadline
    // changed before its turn (seq differs) is skipped, and one that missed
    // periods ticks once, not once per period.
    bool FireTimers() {
        std::uint64_t expiries;
        if (::read(timerfd_, &expiries, sizeof expiries) == sizeof expiries) armedAt_ = kUnarmed;
        const Nanos now = Now();
        std::vector<Due> fired;
        while (!due_.empty() && due_.begin()->when <= now) {
            auto node = due_.extract(due_.begin());
            Due& due = node.value();
            Timer& t = timers_.find({due.wnd, due.id})->second;  // every deadline has its timer
            Nanos next = due.when + t.interval;
            if (next <= now) next = now + t.interval;
            due.when = next;
            due.seq = ++seq_;
            t.when = next;
            t.seq = due.seq;
            fired.push_back(due);
            due_.insert(std::move(node));
        }
        Arm();
        bool did = false;
        for (const Due& due : fired) {
            auto it = timers_.find({due.wnd, due.id});
            if (it == timers_.end() || !it->second.running || it->second.seq != due.seq) continue;
            did = true;
            Send(due.wnd, WM_TIMER, due.id, 0);
        }
        return did;
    }

    int epoll_ = -1;
    int wake_ = -1;
    int timerfd_ = -1;
    Nanos armedAt_ = kUnarmed;  // what the timerfd is set for
    std::uint64_t seq_ = 0;
    long timerArms_ = 0;
    bool signalled_ = false;
    bool hosted_ = false;
    int depth_ = 0;  // rounds running (handlers may re-enter the loop)
    epoll_event stash_[kMaxEvents];
    int stashed_ = 0;
    long watchChanges_ = 0;
    long wakes_ = 0;
    HWND lastWnd_ = 0;
    std::uint32_t gen_ = 0;
    std::unordered_map<HWND, std::shared_ptr<WndProc>> targets_;
    std::map<std::pair<HWND, WPARAM>, Timer> timers_;  // by target and id, running or stopped
    std::set<Due> due_;                                // the running timers' deadlines
    std::unordered_map<int, platform::Watch> watches_;
    std::unordered_map<int, Registered> registered_;
    std::set<int> dirty_;
    std::deque<Message> queue_;
};

Loop& TheLoop() {
    static Loop* loop = new Loop();  // lives as long as the process, like the thread's queue
    return *loop;
}

}  // namespace

HWND AllocateHWnd(WndProc proc) {
    return TheLoop().Allocate(std::move(proc));
}
void DeallocateHWnd(HWND wnd) {
    TheLoop().Deallocate(wnd);
}
bool IsWindow(HWND wnd) {
    return TheLoop().Exists(wnd);
}
bool PostMessage(HWND wnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (wnd == 0) return false;
    return TheLoop().Post(wnd, msg, wParam, lParam);
}
LRESULT SendMessage(HWND wnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    return TheLoop().Send(wnd, msg, wParam, lParam);
}
void PostQuitMessage(int exitCode) {
    TheLoop().Post(0, WM_QUIT, static_cast<WPARAM>(exitCode), 0);
}
bool SetTimer(HWND wnd, WPARAM id, UINT intervalMs) {
    return TheLoop().SetTimer(wnd, id, intervalMs);
}
bool KillTimer(HWND wnd, WPARAM id) {
    return TheLoop().KillTimer(wnd, id);
}
bool StopTimer(HWND wnd, WPARAM id) {
    return TheLoop().StopTimer(wnd, id);
}
bool WatchFd(int fd, std::uint32_t events, FdCallback callback) {
    return TheLoop().Watch(fd, events, std::move(callback));
}
bool ModifyFd(int fd, std::uint32_t events) {
    return TheLoop().Modify(fd, events);
}
void UnwatchFd(int fd) {
    TheLoop().Unwatch(fd);
}
void ForgetFd(int fd) {
    TheLoop().Forget(fd);
}
bool ProcessMessages() {
    return TheLoop().Process();
}
void WaitMessage(int timeoutMs) {
    TheLoop().Wait(timeoutMs);
}
bool PumpOwnMessages() {
    return TheLoop().Process();
}
bool QuitPosted() {
    return TheLoop().quit_;
}
bool QuitSeen() {
    return TheLoop().quit_;
}
int QuitCode() {
    return TheLoop().quitCode_;
}
int Fd() {
    return TheLoop().Fd();
}
LoopCounts Counts() {
    return TheLoop().Counts();
}

}  // namespace platform
