// TTovikTrayIcon shows one icon with a tooltip in the desktop's
// notification area, reports mouse actions on it as events, and pops up a
// menu when a button is released. Visible is true exactly while the icon's
// hidden notification target exists; the icon itself is a QSystemTrayIcon.
// Where the desktop has no notification area, showing the icon does nothing
// visible and raises nothing: the program goes on as if it were there.
//
// What the desktop reports (QSystemTrayIcon::activated) is turned into the
// mouse messages of the notification area and sent to the hidden target,
// whose handler picks the notification: a click is a press and a release, a
// context click a right press and release, a double click a double-click
// message and a release. The desktop reports no pointer moves and no right
// double clicks; those notifications are reached only through the messages.
//
// Two traps of a tray menu are closed. A left click opens its menu only once
// the double-click interval has passed without a second click, and a double
// click cancels that menu, reports the double click and opens nothing (the
// owner restores its window on it). A menu opens beside the pointer, never
// under it, and ignores the buttons for the double-click interval after it
// opened, so the second click of a double click never lands on an item.
//
// The owner owns the component; the component owns its icon, its hidden
// target and its QSystemTrayIcon. The menus are references that empty
// themselves when the menu is destroyed. GUI thread only. Every event is
// fired last in its step; a handler may hide or destroy the component.
#pragma once

#include <QElapsedTimer>
#include <QIcon>
#include <QMenu>
#include <QObject>
#include <QPointer>
#include <QRect>
#include <cstdint>
#include <string>

#include "base/Events.h"
#include "base/Exception.h"
#include "platform/MessageLoop.h"

class QSystemTrayIcon;
class QTimer;

namespace desktop {

class ETrayIconError : public base::Exception {
public:
    using base::Exception::Exception;
};

class TTovikTrayIcon : public QObject, public base::TObject {
public:
    // The callback message of the notification area: the first application
    // message number plus 256.
    static constexpr platform::UINT WM_TOOLTRAYICON = platform::WM_USER + 0x100;

    explicit TTovikTrayIcon(QObject* owner = nullptr);
    ~TTovikTrayIcon() override;

    const QIcon& Icon() const { return icon_; }
    void SetIcon(const QIcon& icon);
    QMenu* RightMenu() const { return rightMenu_; }
    void SetRightMenu(QMenu* menu) { rightMenu_ = menu; }
    QMenu* LeftMenu() const { return leftMenu_; }
    void SetLeftMenu(QMenu* menu) { leftMenu_ = menu; }
    const std::string& Tip() const { return tip_; }
    void SetTip(const std::string& tip);
    bool Visible() const { return wnd_ != 0; }
    // Raises ETrayIconError when the icon cannot be added or removed.
    void SetVisible(bool v);
    // A message beside the icon, as a desktop notification where the
    // desktop has a notification service. The desktop shows messages only
    // for an icon it shows, so a hidden icon is put in the area for the
    // message's time (Visible stays false) and taken out again. Where there
    // is no notification area nothing is shown and nothing fails.
    // warning picks the warning sign over the information sign. An icon
    // just put in the area has no place there yet: the message waits until
    // it has (a few moments at most), so its balloon points at the icon.
    void ShowMessage(const std::string& title, const std::string& text, bool warning = true);
    // The last message asked for, for inspection.
    const std::string& MessageTitle() const { return messageTitle_; }
    const std::string& MessageText() const { return messageText_; }

    base::TNotifyEvent OnChange;
    base::TNotifyEvent OnMouseMove;
    base::TNotifyEvent OnMouseLBtnDown;
    base::TNotifyEvent OnRBtnDown;
    base::TNotifyEvent OnMouseLBtnUp;
    base::TNotifyEvent OnMouseRBtnUp;
    base::TNotifyEvent OnMouseLBtnDblClk;
    base::TNotifyEvent OnMouseRBtnDblClk;

    // The hidden target (0 while hidden) and the desktop's icon.
    platform::HWND Handle() const { return wnd_; }
    QSystemTrayIcon* Tray() const { return tray_; }
    // Whether an icon at geometry has its place in the area (one at the
    // screen's corner has not been taken in yet); no geometry: the desktop
    // shows messages without pointing at the icon.
    static bool IconPlaced(const QRect& geometry);
    // True while a message waits for the icon's place.
    bool MessagePending() const;

    // Where a menu of size opens for a pointer at cursor on a screen whose
    // free area is screen: beside the pointer, below and right of it where
    // it fits, else above or left, so no item lies under the pointer.
    static QPoint MenuPosition(QSize size, QPoint cursor, QRect screen);

protected:
    virtual void MouseMoveNotify();
    virtual void LeftUpNotify();
    virtual void RightUpNotify();
    virtual void LeftDownNotify();
    virtual void RightDownNotify();
    virtual void LeftDoubleClickNotify();
    virtual void RightDoubleClickNotify();
    virtual void ChangeNotify();
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // What the notification area is told on each add, modify and delete.
    struct NotifyIconData {
        std::uint32_t cbSize = 88;
        platform::HWND hWnd = 0;
        std::uint32_t uID = 0;
        std::uint32_t uFlags = 0;
        std::uint32_t uCallbackMessage = 0;
        const QIcon* hIcon = nullptr;
        char szTip[64] = {};
    };
    enum NotifyCommand { NIM_ADD = 0, NIM_MODIFY = 1, NIM_DELETE = 2 };

    void AddTrayIcon();
    void ModifyTrayIcon();
    void DeleteTrayIcon();
    void IconChangedHandler();
    void FillTip();
    bool ShellNotifyIcon(NotifyCommand command);
    platform::LRESULT TrayMessageHandler(platform::UINT msg, platform::WPARAM wParam,
                                         platform::LPARAM lParam);
    void Activated(int reason);
    void PopupAtCursor(QMenu* menu);
    void ShowPendingMessage();

    QIcon icon_;
    QPointer<QMenu> rightMenu_;
    QPointer<QMenu> leftMenu_;
    std::string tip_ = "";
    platform::HWND wnd_ = 0;
    NotifyIconData data_;
    QSystemTrayIcon* tray_ = nullptr;
    std::string messageTitle_;
    std::string messageText_;
    QTimer* messageTimer_ = nullptr;  // hides the icon shown only for a message
    static constexpr int kPlaceEveryMs = 50, kPlaceTries = 60;
    QTimer* placeTimer_ = nullptr;  // looks for the icon's place before a message
    int placeTries_ = 0;
    QRect lastPlace_;
    bool messageWarning_ = true;
    QTimer* leftUpTimer_ = nullptr;   // a left click's release, held for a second click
    bool endingDoubleClick_ = false;  // the release that ends a double click opens no menu
    QPointer<QMenu> openedMenu_;      // the menu last opened, deaf for a moment
    QElapsedTimer menuOpened_;
};

}  // namespace desktop
