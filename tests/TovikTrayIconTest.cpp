// The notification-area icon: showing and hiding, the tooltip, the mouse
// messages and what the desktop reports, the menus on release, and what is
// left behind.
#include <gtest/gtest.h>

#include <QMenu>
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
    EXPECT_TRUE(menu->isVisible());
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
