// Event properties: a component holds a callable and calls it with itself as
// the sender first; an event nobody assigned is skipped. Components fire their
// events last in a step, after their own state is consistent, because a
// handler may do anything, including destroying the sender.
#pragma once

#include <functional>

namespace base {

class TObject {
public:
    virtual ~TObject() = default;
};

using TNotifyEvent = std::function<void(TObject* sender)>;

// Calls an event when it is assigned.
template <typename Fn, typename... Args>
void Fire(const Fn& event, Args&&... args) {
    if (event) event(std::forward<Args>(args)...);
}

}  // namespace base
