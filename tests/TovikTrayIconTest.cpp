// The notification-area icon: showing and hiding, the tooltip, the mouse
// messages and what the desktop reports, the menus on release, and what is
// left behind.
#include <gtest/gtest.h>

#include <QCursor>
#include <QElapsedTimer>
#include <QMenu>
#include <QMouseEvent>
#include <QStyle>
#include <QSystemTrayIcon>
#include <memory>
#include <string>
#include <vector>

#include "DesktopTestApp.h"
#include "desktop/TovikTrayIcon.h"
#include "platform/MessageLoop.h"

using namespace desktop;
using desktoptest::App;

namespace {

// Records every event of an icon by name.
struct Recorder {
    explicit Recorder(TTovikTrayIcon& icon) {
        auto rec = [this, &icon](const char* name) {
            return [this, &icon, name](base::TObject* sender) {
                EXPECT_EQ(sender, &icon);
                seen.push_back(name);
            };
        };
        icon.OnChange = rec("change");
        icon.OnMouseMove = rec("move");
        icon.OnMouseLBtnDown = rec("ldown");
        icon.OnRBtnDown = rec("rdown");
        icon.OnMouseLBtnUp = rec("lup");
        icon.OnMouseRBtnUp = rec("rup");
        icon.OnMouseLBtnDblClk = rec("ldbl");
        icon.OnMouseRBtnDblClk = rec("rdbl");
    }
    std::vector<std::string> seen;
};

using Seen = std::vector<std::string>;

TEST(TrayIconTest, ShowsOnceAndHides) {
    App();
    const int targets = platform::Counts().targets;
    TTovikTrayIcon icon;
    Recorder r(icon);
    EXPECT_FALSE(icon.Visible());
    EXPECT_FALSE(icon.Icon().isNull()) << "the standard application icon";
    icon.SetVisible(true);
    icon.SetVisible(true);
    EXPECT_TRUE(icon.Visible());
    EXPECT_TRUE(icon.Tray()->isVisible());
    EXPECT_EQ(platform::Counts().targets, targets + 1);
    EXPECT_EQ(r.seen, Seen{"change"});
    icon.SetVisible(false);
    EXPECT_FALSE(icon.Visible());
    EXPECT_FALSE(icon.Tray()->isVisible());
    EXPECT_EQ(icon.Handle(), 0u);
    EXPECT_EQ(platform::Counts().targets, targets);
    EXPECT_EQ(r.seen, (Seen{"change", "change"}));
}

TEST(TrayIconTest, TipIsKeptWhileHiddenAndCutTo63Characters) {
    App();
    TTovikTrayIcon icon;
    Recorder r(icon);
    icon.SetTip("Kvo Sentrel");
    icon.SetTip("Kvo Sentrel");
    EXPECT_EQ(r.seen, Seen{"change"}) << "an equal tip changes nothing";
    icon.SetVisible(true);
    EXPECT_EQ(icon.Tray()->toolTip(), "Kvo Sentrel");
    const std::string longTip(70, 'x');
    icon.SetTip(longTip);
    EXPECT_EQ(icon.Tip(), longTip);
    EXPECT_EQ(icon.Tray()->toolTip(), QString(63, 'x'));
    // UTF-8 shows as such, and a cut never splits a character; text that is
    // not UTF-8 is single-byte text, cut where the record ends.
    const struct {
        std::string tip;
        QString shown;
    } tips[] = {
        {"Finishing the pass\u2026", QString::fromUtf8("Finishing the pass\u2026")},
        {std::string(62, 'x') + "\u2026", QString(62, 'x')},
        {std::string(60, 'x') + "\u2026", QString(60, 'x') + QChar(0x2026)},
        {std::string(62, 'x') + "\xB0\xB0", QString(62, 'x') + QChar(0xB0)},
        {"b\xFC"
         "cher",
         QString("b") + QChar(0xFC) + "cher"},
    };
    for (const auto& t : tips) {
        icon.SetTip(t.tip);
        EXPECT_EQ(icon.Tray()->toolTip(), t.shown) << t.tip;
    }
    QIcon other = QApplication::style()->standardIcon(QStyle::SP_TrashIcon);
    icon.SetIcon(other);
    EXPECT_EQ(icon.Tray()->icon().cacheKey(), other.cacheKey());
    icon.SetIcon(QIcon());
    EXPECT_FALSE(icon.Tray()->icon().isNull()) << "an empty icon shows the standard one";
}

TEST(TrayIconTest, MouseMessagesPickTheirNotifications) {
    App();
    TTovikTrayIcon icon;
    Recorder r(icon);
    icon.SetVisible(true);
    r.seen.clear();
    const struct {
        platform::LPARAM mouse;
        const char* expected;
    } cases[] = {{0x200, "move"},  {0x201, "ldown"}, {0x202, "lup"},  {0x203, "ldbl"},
                 {0x204, "rdown"}, {0x205, "rup"},   {0x206, "rdbl"}, {0x207, nullptr}};
    for (const auto& c : cases) {
        r.seen.clear();
        EXPECT_EQ(platform::SendMessage(icon.Handle(), TTovikTrayIcon::WM_TOOLTRAYICON, 0, c.mouse), 0);
        EXPECT_EQ(r.seen, c.expected ? Seen{c.expected} : Seen{}) << std::hex << c.mouse;
    }
    r.seen.clear();
    platform::SendMessage(icon.Handle(), 0x401, 0, 0x201);
    EXPECT_TRUE(r.seen.empty()) << "another message is not a mouse report";
}

TEST(TrayIconTest, DesktopReportsBecomePressAndRelease) {
    App();
    TTovikTrayIcon icon;
    Recorder r(icon);
    icon.SetVisible(true);
    r.seen.clear();
    emit icon.Tray()->activated(QSystemTrayIcon::Trigger);
    emit icon.Tray()->activated(QSystemTrayIcon::Context);
    emit icon.Tray()->activated(QSystemTrayIcon::DoubleClick);
    emit icon.Tray()->activated(QSystemTrayIcon::MiddleClick);
    EXPECT_EQ(r.seen, (Seen{"ldown", "lup", "rdown", "rup", "ldbl", "lup"}));

    // A hidden icon hears nothing.
    icon.SetVisible(false);
    r.seen.clear();
    emit icon.Tray()->activated(QSystemTrayIcon::Trigger);
    EXPECT_TRUE(r.seen.empty());
}

TEST(TrayIconTest, MenusOpenOnReleaseAndForgetTheirDestroyedMenu) {
    App();
    TTovikTrayIcon icon;
    Recorder r(icon);
    auto menu = std::make_unique<QMenu>();
    menu->addAction("E&xit");
    menu->addAction("Maximize");
    icon.SetLeftMenu(menu.get());
    icon.SetRightMenu(menu.get());
    icon.SetVisible(true);
    r.seen.clear();
    emit icon.Tray()->activated(QSystemTrayIcon::Trigger);
    EXPECT_EQ(r.seen, Seen{"ldown"}) << "the release opens the menu instead";
    EXPECT_FALSE(menu->isVisible()) << "not before the double-click interval has passed";
    EXPECT_TRUE(desktoptest::RunUntil([&] { return menu->isVisible(); }));
    menu->hide();
    emit icon.Tray()->activated(QSystemTrayIcon::Context);
    EXPECT_EQ(r.seen, (Seen{"ldown", "rdown"}));
    EXPECT_TRUE(menu->isVisible());
    menu->hide();

    menu.reset();
    EXPECT_EQ(icon.LeftMenu(), nullptr);
    EXPECT_EQ(icon.RightMenu(), nullptr);
    r.seen.clear();
    emit icon.Tray()->activated(QSystemTrayIcon::Trigger);
    emit icon.Tray()->activated(QSystemTrayIcon::Context);
    EXPECT_EQ(r.seen, (Seen{"ldown", "lup", "rdown", "rup"}));
}

// The second click of a double click never reaches the menu: the double
// click cancels the menu of the first, and a menu that is open ignores the
// buttons for the double-click interval.
TEST(TrayIconTest, DoubleClickOpensNoMenuAndAMenuIgnoresTheClickThatOpenedIt) {
    App();
    TTovikTrayIcon icon;
    Recorder r(icon);
    QMenu menu;
    QAction* exit = menu.addAction("E&xit");
    int exits = 0;
    QObject::connect(exit, &QAction::triggered, [&] { ++exits; });
    icon.SetLeftMenu(&menu);
    icon.SetRightMenu(&menu);
    icon.SetVisible(true);
    r.seen.clear();
    // What a desktop reports of a double click: two presses, then the double click.
    emit icon.Tray()->activated(QSystemTrayIcon::Trigger);
    emit icon.Tray()->activated(QSystemTrayIcon::Trigger);
    emit icon.Tray()->activated(QSystemTrayIcon::DoubleClick);
    EXPECT_EQ(r.seen, (Seen{"ldown", "ldown", "ldbl"}));
    QElapsedTimer waited;
    waited.start();
    desktoptest::RunUntil([&] { return waited.elapsed() > 2 * QApplication::doubleClickInterval(); });
    EXPECT_FALSE(menu.isVisible());

    // A long interval, so a busy machine cannot make the click below late.
    const int interval = QApplication::doubleClickInterval();
    QApplication::setDoubleClickInterval(60000);
    QCursor::setPos(200, 200);
    emit icon.Tray()->activated(QSystemTrayIcon::Context);
    ASSERT_TRUE(menu.isVisible());
    EXPECT_FALSE(menu.geometry().contains(QCursor::pos()));
    const QPoint onExit = menu.actionGeometry(exit).center();
    for (QEvent::Type type : {QEvent::MouseButtonPress, QEvent::MouseButtonRelease}) {
        QMouseEvent click(type, onExit, menu.mapToGlobal(onExit), Qt::LeftButton, Qt::LeftButton,
                          Qt::NoModifier);
        QApplication::sendEvent(&menu, &click);
    }
    EXPECT_EQ(exits, 0);
    EXPECT_TRUE(menu.isVisible());
    menu.hide();
    QApplication::setDoubleClickInterval(interval);
}

TEST(TrayIconTest, MenuOpensBesideThePointerNeverUnderIt) {
    const QRect screen(0, 0, 1024, 768);
    const QSize menu(100, 60);
    const struct {
        QPoint cursor;
        QPoint at;
    } cases[] = {
        {{10, 10}, {14, 14}},       // room below and right
        {{1020, 760}, {916, 696}},  // a tray in the bottom right corner: above and left
        {{10, 760}, {14, 696}},     // a bottom panel: above
        {{1020, 10}, {916, 14}},    // a top panel at the right: left
    };
    for (const auto& c : cases) {
        const QPoint at = TTovikTrayIcon::MenuPosition(menu, c.cursor, screen);
        EXPECT_EQ(at, c.at) << c.cursor.x() << "," << c.cursor.y();
        EXPECT_FALSE(QRect(at, menu).contains(c.cursor));
        EXPECT_TRUE(screen.contains(QRect(at, menu)));
    }
}

TEST(TrayIconTest, HandlerThatHidesOrDestroysTheIcon) {
    App();
    const int targets = platform::Counts().targets;
    auto icon = std::make_unique<TTovikTrayIcon>();
    icon->SetVisible(true);
    int ups = 0;
    icon->OnMouseLBtnUp = [&](base::TObject*) { ++ups; };
    icon->OnMouseLBtnDown = [&](base::TObject*) { icon->SetVisible(false); };
    emit icon->Tray()->activated(QSystemTrayIcon::Trigger);
    EXPECT_EQ(ups, 0) << "the release of a hidden icon goes nowhere";
    icon->SetVisible(true);
    icon->OnMouseLBtnDown = [&](base::TObject*) { icon.reset(); };
    QSystemTrayIcon* tray = icon->Tray();
    emit tray->activated(QSystemTrayIcon::Trigger);
    EXPECT_EQ(icon, nullptr);
    EXPECT_EQ(platform::Counts().targets, targets) << "destroying a shown icon removes it";
}

TEST(TrayIconTest, ErrorCarriesItsMessage) {
    const ETrayIconError e("TRAY003: Error deleteing tray icon");
    EXPECT_STREQ(e.what(), "TRAY003: Error deleteing tray icon");
}

}  // namespace
