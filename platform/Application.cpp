#include "platform/Application.h"

#include <algorithm>
#include <cstdio>

#include "base/Exception.h"
#include "base/Strings.h"
#include "platform/MessageLoop.h"

namespace platform {

void TApplication::Terminate() {
    terminated_ = true;
    if (host_.terminate) host_.terminate();
}

void TApplication::ProcessMessages() {
    if (host_.processMessages)
        host_.processMessages();
    else
        platform::ProcessMessages();
}

void TApplication::WaitMessage() {
    if (host_.waitMessage)
        host_.waitMessage();
    else
        platform::WaitMessage(-1);
}

void TApplication::HandleMessage() {
    // Sleep only when this round found nothing to do: what it ran may have
    // been the very message the caller waits for.
    if (host_.processMessages) {
        if (!host_.processMessages()) WaitMessage();
        return;
    }
    // The platform loop sees everything due in its queue or in epoll, so it
    // may sleep first: the wait returns at once when anything is due and
    // hands it to the round, one look at epoll instead of two.
    platform::WaitMessage(-1);
    platform::ProcessMessages();
}

void TApplication::ShowException(const std::exception& e) {
    ShowErrorText(e.what());
}

void TApplication::ShowErrorText(const std::string& message) {
    std::string text = base::ErrorReportText(message);
    // A modal box pumps messages; while it is open, the same failure coming
    // back (a timer that keeps failing) is not stacked on top of it.
    if (std::find(open_.begin(), open_.end(), text) != open_.end()) return;
    if (!host_.showError) {
        std::fprintf(stderr, "%s: %s\n", Title.c_str(), base::ShowControls(text).c_str());
        return;
    }
    open_.push_back(text);
    try {
        host_.showError(Title, text);
    } catch (...) {
        open_.pop_back();
        throw;
    }
    open_.pop_back();
}

void TApplication::Guard(const std::function<void()>& fn) {
    try {
        fn();
    } catch (const std::exception& e) {
        HandleException(e);
    }
}

void TApplication::HandleException(const std::exception& e) {
    if (OnException)
        OnException(this, e);
    else
        ShowException(e);
}

TApplication& Application() {
    static TApplication app;
    return app;
}

}  // namespace platform
