// The window hook: before and after handlers around the widget's own
// handling, newest first, the stopping rule, the event that always reaches
// the widget, re-attachment after the native window is recreated, and the
// release of a widget's hook when its last user leaves.
#include <gtest/gtest.h>

#include <QEvent>
#include <QWidget>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "DesktopTestApp.h"
#include "desktop/RxHook.h"
#include "platform/Application.h"
#include "platform/MessageLoop.h"

using namespace desktop;
using desktoptest::App;

namespace {

const QEvent::Type kPing = static_cast<QEvent::Type>(QEvent::User + 7);

// A widget that notes the pings it handles, and whose native window can be
// dropped and made again.
class Window : public QWidget {
public:
    explicit Window(std::vector<std::string>& log) : log_(log) {}
    using QWidget::create;
    using QWidget::destroy;
    bool event(QEvent* e) override {
        if (e->type() == kPing) {
            log_.push_back("window");
            return true;
        }
        if (e->type() == QEvent::WinIdChange && internalWinId() == 0) log_.push_back("window gone");
        return QWidget::event(e);
    }

private:
    std::vector<std::string>& log_;
};

void Ping(QWidget& w) {
    QEvent e(kPing);
    QApplication::sendEvent(&w, &e);
}

// Handlers that log their name for pings and may claim them.
THookMessageEvent Logger(std::vector<std::string>& log, std::string name, bool claim = false) {
    return [&log, name, claim](base::TObject*, TMessage& msg, bool& handled) {
        if (msg.Msg != kPing && !(msg.Msg == QEvent::WinIdChange)) return;
        log.push_back(name);
        if (claim) handled = true;
    };
}

using Log = std::vector<std::string>;

TEST(RxHookTest, BeforeAndAfterNewestFirst) {
    App();
    Log log;
    Window w(log);
    TRxWindowHook older, newer;
    older.SetWinControl(&w);
    newer.SetWinControl(&w);
    older.BeforeMessage = Logger(log, "older before");
    older.AfterMessage = Logger(log, "older after");
    newer.BeforeMessage = Logger(log, "newer before");
    newer.AfterMessage = Logger(log, "newer after");
    Ping(w);
    EXPECT_EQ(log, (Log{"newer before", "older before", "window", "newer after", "older after"}));
}

TEST(RxHookTest, HandledKeepsOlderHooksAndTheWindowOut) {
    App();
    struct Case {
        const char* what;
        bool newerClaimsBefore, newerClaimsAfter;
        Log expected;
        bool newerHasAfter = true;
    } cases[] = {
        {"newest takes it before: older never hears it", true, false, {"newer before", "newer after"}},
        {"newest takes it after", false, true, {"newer before", "older before", "window", "newer after"}},
        {"newest takes it before, no after-handler of its own", true, false, {"newer before"}, false},
    };
    for (const Case& c : cases) {
        Log log;
        Window w(log);
        TRxWindowHook older, newer;
        older.SetWinControl(&w);
        newer.SetWinControl(&w);
        older.BeforeMessage = Logger(log, "older before");
        older.AfterMessage = Logger(log, "older after");
        newer.BeforeMessage = Logger(log, "newer before", c.newerClaimsBefore);
        if (c.newerHasAfter) newer.AfterMessage = Logger(log, "newer after", c.newerClaimsAfter);
        Ping(w);
        EXPECT_EQ(log, c.expected) << c.what;
    }
}

TEST(RxHookTest, WindowGoneAlwaysReachesTheWindowAndTheHookComesBack) {
    App();
    Log log;
    Window w(log);
    w.show();
    TRxWindowHook hook;
    hook.SetWinControl(&w);
    hook.BeforeMessage = Logger(log, "before", true);
    w.destroy();
    EXPECT_EQ(log, (Log{"before", "window gone"}));
    w.create();
    log.clear();
    Ping(w);
    EXPECT_EQ(log, Log{"window"}) << "off until the current event has finished";
    platform::ProcessMessages();
    log.clear();
    Ping(w);
    EXPECT_EQ(log, Log{"before"}) << "hooked again";

    // A real recreation, by a change of window flags, the same way.
    w.setWindowFlags(w.windowFlags() | Qt::WindowStaysOnTopHint);
    w.show();
    platform::ProcessMessages();
    log.clear();
    Ping(w);
    EXPECT_EQ(log, Log{"before"});
}

TEST(RxHookTest, InactiveHookHearsNothing) {
    App();
    Log log;
    Window w(log);
    TRxWindowHook hook;
    hook.BeforeMessage = Logger(log, "before");
    hook.SetActive(false);
    hook.SetWinControl(&w);
    Ping(w);
    hook.SetActive(true);
    Ping(w);
    EXPECT_EQ(log, (Log{"window", "before", "window"}));
}

TEST(RxHookTest, HandlerExceptionIsReportedAndTheWalkGoesOn) {
    App();
    Log log, shown;
    platform::Application().OnException = [&](base::TObject*, const std::exception& e) {
        shown.push_back(e.what());
    };
    Window w(log);
    TRxWindowHook older, newer;
    older.SetWinControl(&w);
    newer.SetWinControl(&w);
    older.BeforeMessage = Logger(log, "older");
    newer.BeforeMessage = [](base::TObject*, TMessage& m, bool&) {
        if (m.Msg == kPing) throw std::runtime_error("handler failed");
    };
    Ping(w);
    platform::Application().OnException = nullptr;
    EXPECT_EQ(log, (Log{"older", "window"}));
    EXPECT_EQ(shown, Log{"handler failed"});
}

TEST(RxHookTest, ControlHookIsReleasedWhenItsLastHookLeaves) {
    App();
    Log log;
    platform::ProcessMessages();  // releases left by earlier tests
    const int before = THookList::Instance().Count();
    auto w = std::make_unique<Window>(log);
    auto a = std::make_unique<TRxWindowHook>();
    auto b = std::make_unique<TRxWindowHook>();
    a->SetWinControl(w.get());
    b->SetWinControl(w.get());
    EXPECT_EQ(THookList::Instance().Count(), before + 1) << "one per widget";
    a.reset();
    platform::ProcessMessages();
    EXPECT_EQ(THookList::Instance().Count(), before + 1);
    b->SetActive(false);
    platform::ProcessMessages();
    EXPECT_EQ(THookList::Instance().Count(), before + 1) << "inactive: the widget's hook stays listed";
    b->SetActive(true);
    EXPECT_EQ(THookList::Instance().Count(), before + 1) << "and is used again";
    b->SetWinControl(nullptr);
    platform::ProcessMessages();
    EXPECT_EQ(THookList::Instance().Count(), before);

    // A widget destroyed under a hook leaves it with no control.
    b->SetWinControl(w.get());
    w.reset();
    EXPECT_EQ(b->WinControl(), nullptr);
    platform::ProcessMessages();
    EXPECT_EQ(THookList::Instance().Count(), before);
}

TEST(RxHookTest, IsFormWhenHookingItsOwnerWindow) {
    App();
    Log log;
    Window w(log);
    auto* hook = new TRxWindowHook(&w);
    hook->SetWinControl(&w);
    EXPECT_TRUE(hook->IsForm());
    QWidget child(&w);
    hook->SetWinControl(&child);
    EXPECT_FALSE(hook->IsForm());
    hook->SetWinControl(nullptr);
}

}  // namespace
