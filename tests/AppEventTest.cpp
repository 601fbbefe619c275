// The application event relay: the order of the instances, the chaining
// and handled rules, the handlers that were there before, installation and
// clearing, the mirrored settings, and the events that Qt's own reports
// produce.
#include <gtest/gtest.h>

#include <QApplicationStateChangeEvent>
#include <QEventLoop>
#include <QFont>
#include <QPaintEvent>
#include <QPainter>
#include <QTimer>
#include <QWidget>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "DesktopTestApp.h"
#include "base/Exception.h"
#include "desktop/ALed.h"
#include "desktop/AppEvent.h"
#include "desktop/AppUtils.h"
#include "desktop/TovikTrayIcon.h"
#include "platform/Application.h"

using namespace desktop;
using desktoptest::App;

namespace {

platform::TApplication& PApp() {
    return platform::Application();
}
desktop::TToolkitApplication& TApp() {
    return desktop::ToolkitApplication();
}

class AppEventTest : public ::testing::Test {
protected:
    void SetUp() override {
        App();
        ClearSlots();
        platform::TApplication::Host host;
        host.showError = [this](const std::string&, const std::string& text) { shown.push_back(text); };
        PApp().SetHost(host);
    }
    void TearDown() override {
        PApp().ClearHost();
        ClearSlots();
    }
    static void ClearSlots() {
        TApp().OnMinimize = nullptr;
        TApp().OnRestore = nullptr;
        PApp().OnException = nullptr;
        TApp().OnHelp = nullptr;
        TApp().OnMessage = nullptr;
        TApp().OnIdle = nullptr;
        TApp().OnActivate = nullptr;
    }
    std::vector<std::string> shown;
    std::vector<std::string> calls;
};

TEST_F(AppEventTest, NewestFirstThenOlderThenThePreviousHandler) {
    TApp().OnMinimize = [this](base::TObject* s) {
        calls.push_back("previous");
        EXPECT_EQ(s, &TApp());
    };
    struct Case {
        const char* what;
        bool newerChained;
        std::vector<std::string> expected;
    } cases[] = {
        {"both chained", true, {"B", "A", "previous"}},
        {"newer unchained keeps the rest out", false, {"B"}},
    };
    for (const Case& c : cases) {
        calls.clear();
        {
            TAppEvents a, b;
            a.OnMinimize = [this](base::TObject* s) {
                calls.push_back("A");
                EXPECT_EQ(s, &TApp()) << "the application is the sender";
            };
            b.OnMinimize = [this](base::TObject*) { calls.push_back("B"); };
            b.SetChained(c.newerChained);
            TApp().OnMinimize(&TApp());
        }
        EXPECT_EQ(calls, c.expected) << c.what;
        TApp().OnMinimize = [this](base::TObject*) { calls.push_back("previous"); };
    }
}

TEST_F(AppEventTest, AnInstanceWithoutAHandlerPassesTheEventOn) {
    TApp().OnRestore = [this](base::TObject*) { calls.push_back("previous restore"); };
    TAppEvents a;
    a.OnMinimize = [this](base::TObject*) { calls.push_back("minimise"); };
    TApp().OnMinimize(&TApp());
    TApp().OnRestore(&TApp());
    EXPECT_EQ(calls, (std::vector<std::string>{"minimise", "previous restore"}));
}

TEST_F(AppEventTest, HandledStopsTheWalkAfterAChainedInstance) {
    TApp().OnMessage = [this](desktop::TAppMessage&, bool&) { calls.push_back("previous"); };
    TAppEvents a, b;
    a.OnMessage = [this](desktop::TAppMessage&, bool&) { calls.push_back("A"); };
    b.OnMessage = [this](desktop::TAppMessage& m, bool& handled) {
        calls.push_back("B");
        handled = m.Message == 1;
    };
    desktop::TAppMessage msg{nullptr, 1, nullptr};
    bool handled = false;
    TApp().OnMessage(msg, handled);
    EXPECT_TRUE(handled);
    EXPECT_EQ(calls, (std::vector<std::string>{"B"}));
    calls.clear();
    msg.Message = 2;
    handled = false;
    TApp().OnMessage(msg, handled);
    EXPECT_EQ(calls, (std::vector<std::string>{"B", "A", "previous"}));
}

TEST_F(AppEventTest, FirstInstanceInstallsLastOneClears) {
    TApp().OnMinimize = [this](base::TObject*) { calls.push_back("previous"); };
    auto a = std::make_unique<TAppEvents>();
    EXPECT_TRUE(TAppEventList::Instance().Installed());
    auto b = std::make_unique<TAppEvents>();
    a.reset();
    EXPECT_TRUE(TAppEventList::Instance().Installed()) << "one instance is left";
    ASSERT_TRUE(TApp().OnMinimize);
    TApp().OnMinimize(&TApp());
    EXPECT_EQ(calls, (std::vector<std::string>{"previous"}));
    b.reset();
    EXPECT_FALSE(TAppEventList::Instance().Installed());
    EXPECT_FALSE(TApp().OnMinimize) << "the previous handler is not put back";
    EXPECT_FALSE(TApp().OnRestore);

    // A new first instance remembers what the slots hold then.
    TApp().OnMinimize = [this](base::TObject*) { calls.push_back("later"); };
    TAppEvents c;
    calls.clear();
    TApp().OnMinimize(&TApp());
    EXPECT_EQ(calls, (std::vector<std::string>{"later"}));
}

TEST_F(AppEventTest, HandlerDestroyingAnInstanceDuringTheWalk) {
    auto a = std::make_unique<TAppEvents>();
    TAppEvents b;
    a->OnMinimize = [this](base::TObject*) { calls.push_back("A"); };
    b.OnMinimize = [&](base::TObject*) {
        calls.push_back("B");
        a.reset();
    };
    TApp().OnMinimize(&TApp());
    EXPECT_EQ(calls, (std::vector<std::string>{"B"}));
}

TEST_F(AppEventTest, UnhandledExceptionIsShownAsUsual) {
    TAppEvents a;
    PApp().Guard([] { throw base::Exception("Disk is full"); });
    EXPECT_EQ(shown, (std::vector<std::string>{"Disk is full."}));

    shown.clear();
    a.OnException = [this](base::TObject*, const std::exception& e) { calls.push_back(e.what()); };
    PApp().Guard([] { throw base::Exception("Again"); });
    EXPECT_TRUE(shown.empty());
    EXPECT_EQ(calls, (std::vector<std::string>{"Again"}));
}

TEST_F(AppEventTest, PreviousExceptionHandlerCountsAsCalled) {
    PApp().OnException = [this](base::TObject*, const std::exception&) { calls.push_back("previous"); };
    TAppEvents a;
    PApp().HandleException(std::runtime_error("x"));
    EXPECT_TRUE(shown.empty());
    EXPECT_EQ(calls, (std::vector<std::string>{"previous"}));
}

TEST_F(AppEventTest, HelpAnswersWithTheLastHandlerCalled) {
    bool callHelp = true;
    {
        TAppEvents a;
        EXPECT_FALSE(TApp().OnHelp(1, 0, callHelp)) << "nobody answered";
    }
    TApp().OnHelp = [](std::uint16_t, std::intptr_t, bool&) { return false; };
    TAppEvents a, b;
    a.OnHelp = [](std::uint16_t, std::intptr_t, bool&) { return true; };
    b.OnHelp = [](std::uint16_t, std::intptr_t, bool&) { return true; };
    EXPECT_FALSE(TApp().OnHelp(1, 0, callHelp)) << "the previous handler came last";
    b.SetChained(false);
    EXPECT_TRUE(TApp().OnHelp(1, 0, callHelp));
}

TEST_F(AppEventTest, MirroredSettingsWriteThroughAndReadTheApplication) {
    TAppEvents a;
    EXPECT_TRUE(a.ShowMainForm());
    EXPECT_EQ(a.HintHidePause(), 2500);
    EXPECT_EQ(a.HintColor(), 0x80000018u);
    EXPECT_EQ(a.MouseDragThreshold(), 5);
    a.SetShowMainForm(false);
    EXPECT_FALSE(TApp().ShowMainForm);
    TApp().ShowMainForm = true;
    EXPECT_TRUE(a.ShowMainForm()) << "reads the application's value";
    a.SetMouseDragThreshold(12);
    EXPECT_EQ(QApplication::startDragDistance(), 12);
    a.SetBiDiMode(desktop::bdRightToLeft);
    EXPECT_EQ(QGuiApplication::layoutDirection(), Qt::RightToLeft);
    a.SetBiDiMode(desktop::bdLeftToRight);
    a.SetMouseDragThreshold(5);
    a.SetShowMainForm(true);
}

TEST_F(AppEventTest, MinimisingAndRestoringTheMainWindow) {
    QWidget form;
    SetMainForm(&form);
    TAppEvents a;
    a.OnMinimize = [this](base::TObject*) { calls.push_back("minimize"); };
    a.OnRestore = [this](base::TObject*) { calls.push_back("restore"); };
    form.show();
    form.showMinimized();
    form.showMinimized();
    EXPECT_EQ(calls, (std::vector<std::string>{"minimize"}));
    RestoreApplication();
    EXPECT_FALSE(form.isMinimized());
    EXPECT_FALSE(form.isMaximized()) << "back to its normal size";
    EXPECT_EQ(calls, (std::vector<std::string>{"minimize", "restore"}));

    // Another window's state is its own business.
    QWidget other;
    other.show();
    other.showMinimized();
    EXPECT_EQ(calls.size(), 2u);
    SetMainForm(nullptr);
}

// The main window's wiring: minimising shows the tray icon, restoring
// (from the taskbar or through the tray menu) hides it again.
TEST_F(AppEventTest, MinimiseShowsTheTrayIconAndRestoreHidesIt) {
    QWidget form;
    SetMainForm(&form);
    auto* trayicon = new TTovikTrayIcon(&form);
    auto* events = new TAppEvents(&form);
    events->OnMinimize = [trayicon](base::TObject*) { trayicon->SetVisible(true); };
    events->OnRestore = [trayicon](base::TObject*) { trayicon->SetVisible(false); };
    form.show();
    EXPECT_FALSE(trayicon->Visible());
    form.showMinimized();
    EXPECT_TRUE(trayicon->Visible());
    form.showNormal();
    EXPECT_FALSE(trayicon->Visible());
    form.showMinimized();
    RestoreApplication();
    EXPECT_FALSE(trayicon->Visible());
    SetMainForm(nullptr);
}

TEST_F(AppEventTest, MinimisedMainWindowIsPaintedByOnPaintIcon) {
    QWidget form;
    SetMainForm(&form);
    TAppEvents a;
    int painted = 0;
    a.OnPaintIcon = [&](base::TObject* s) { painted += s == &a; };
    form.show();
    QPaintEvent paint(QRect(0, 0, 10, 10));
    QApplication::sendEvent(&form, &paint);
    EXPECT_EQ(painted, 0) << "a normal window paints itself";
    form.showMinimized();
    QApplication::sendEvent(&form, &paint);
    EXPECT_EQ(painted, 1);

    // The newest instance that paints ends the chain: the older one does
    // not paint over it.
    TAppEvents b;
    int paintedByB = 0;
    b.OnPaintIcon = [&](base::TObject*) { ++paintedByB; };
    QApplication::sendEvent(&form, &paint);
    EXPECT_EQ(paintedByB, 1);
    EXPECT_EQ(painted, 1);
    SetMainForm(nullptr);
}

TEST_F(AppEventTest, MinimisedPaintErasesWithTheDesktopBackgroundUnderTheIcon) {
    QWidget form;
    form.resize(40, 30);
    QPalette own = form.palette();
    own.setColor(QPalette::Window, Qt::red);
    form.setPalette(own);
    SetMainForm(&form);
    TAppEvents a;
    bool hadCanvas = false;
    a.OnPaintIcon = [&](base::TObject*) {
        hadCanvas = a.Canvas() != nullptr;
        if (hadCanvas) a.Canvas()->fillRect(QRect(0, 0, 4, 4), Qt::blue);
    };
    form.show();
    form.showMinimized();
    const QImage image = form.grab().toImage();
    SetMainForm(nullptr);
    EXPECT_TRUE(hadCanvas);
    EXPECT_EQ(a.Canvas(), nullptr) << "only while OnPaintIcon runs";
    EXPECT_EQ(image.pixelColor(1, 1), QColor(Qt::blue)) << "what the handler painted";
    EXPECT_EQ(image.pixelColor(20, 20), ColorToQColor(0x80000001)) << "the desktop's background";
}

TEST_F(AppEventTest, ActivationIdleAndSettingsComeFromQt) {
    TAppEvents a;
    int settings = 0, idle = 0;
    a.OnActivate = [this](base::TObject*) { calls.push_back("activate"); };
    a.OnDeactivate = [this](base::TObject*) { calls.push_back("deactivate"); };
    a.OnSettingsChanged = [&](base::TObject* s) { settings += s == &a; };
    a.OnIdle = [&](base::TObject*, bool& done) {
        ++idle;
        done = true;
    };
    QApplicationStateChangeEvent active(Qt::ApplicationActive), inactive(Qt::ApplicationInactive);
    QApplication::sendEvent(qApp, &active);
    QApplication::sendEvent(qApp, &inactive);
    EXPECT_EQ(calls, (std::vector<std::string>{"activate", "deactivate"}));

    QFont font = QApplication::font();
    font.setPointSize(font.pointSize() + 1);
    QApplication::setFont(font);
    EXPECT_GE(settings, 1);

    // The loop falls idle when it is about to sleep.
    QEventLoop loop;
    QTimer::singleShot(50, &loop, &QEventLoop::quit);
    loop.exec();
    EXPECT_GT(idle, 0);
}

}  // namespace
