#include "desktop/TovikTrayIcon.h"

#include <QApplication>
#include <QCursor>
#include <QMenu>
#include <QScreen>
#include <QStringDecoder>
#include <QStyle>
#include <QSystemTrayIcon>
#include <QTimer>
#include <algorithm>
#include <cstring>

namespace desktop {

namespace {

constexpr std::uint32_t NIF_MESSAGE = 1, NIF_ICON = 2, NIF_TIP = 4;
constexpr platform::LPARAM WM_MOUSEMOVE = 0x200, WM_LBUTTONDOWN = 0x201, WM_LBUTTONUP = 0x202,
                           WM_LBUTTONDBLCLK = 0x203, WM_RBUTTONDOWN = 0x204, WM_RBUTTONUP = 0x205,
                           WM_RBUTTONDBLCLK = 0x206, WM_MBUTTONDOWN = 0x207, WM_MBUTTONUP = 0x208;

[[noreturn]] void AssertionFailed(int line) {
    throw base::Exception(std::string("Assertion failed (") + __FILE__ + ", line " + std::to_string(line) +
                          ")");
}

// A tip is UTF-8 where it is valid UTF-8 (a host typed in any script, the
// ellipsis of a status), else single-byte text as it always was.
bool ValidUtf8(const QByteArray& bytes) {
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    (void)QString(utf8(bytes));
    return !utf8.hasError();
}

QString TipText(const char* tip) {
    const QByteArray bytes(tip);
    return ValidUtf8(bytes) ? QString::fromUtf8(bytes) : QString::fromLatin1(bytes);
}

QIcon StandardApplicationIcon() {
    QIcon icon = QApplication::windowIcon();
    if (icon.isNull() && qApp) icon = QApplication::style()->standardIcon(QStyle::SP_ComputerIcon);
    return icon;
}

}  // namespace

TTovikTrayIcon::TTovikTrayIcon(QObject* owner) : QObject(owner) {
    icon_ = StandardApplicationIcon();
    tray_ = new QSystemTrayIcon(this);
    QObject::connect(tray_, &QSystemTrayIcon::activated, this,
                     [this](QSystemTrayIcon::ActivationReason reason) { Activated(reason); });
    leftUpTimer_ = new QTimer(this);
    leftUpTimer_->setSingleShot(true);
    QObject::connect(leftUpTimer_, &QTimer::timeout, this, [this] {
        if (wnd_) platform::SendMessage(wnd_, WM_TOOLTRAYICON, 0, WM_LBUTTONUP);
    });
}

TTovikTrayIcon::~TTovikTrayIcon() {
    // Removing the icon cannot fail here; a destructor reports nothing.
    try {
        if (Visible()) DeleteTrayIcon();
    } catch (const std::exception&) {
    }
    if (wnd_) platform::DeallocateHWnd(wnd_);
    wnd_ = 0;
}

void TTovikTrayIcon::SetVisible(bool v) {
    if (v == Visible()) return;
    if (v)
        AddTrayIcon();
    else
        DeleteTrayIcon();
    ChangeNotify();
}

void TTovikTrayIcon::SetIcon(const QIcon& icon) {
    icon_ = icon;
    if (Visible()) ModifyTrayIcon();
    IconChangedHandler();
}

void TTovikTrayIcon::SetTip(const std::string& tip) {
    if (tip == tip_) return;
    tip_ = tip;
    if (Visible()) ModifyTrayIcon();
    ChangeNotify();
}

namespace {
constexpr int kShownMs = 10000;
}  // namespace

void TTovikTrayIcon::ShowMessage(const std::string& title, const std::string& text, bool warning) {
    messageTitle_ = title;
    messageText_ = text;
    if (!QSystemTrayIcon::isSystemTrayAvailable()) return;
    if (!Visible()) {
        tray_->setIcon(icon_.isNull() ? StandardApplicationIcon() : icon_);
        tray_->setToolTip(TipText(tip_.c_str()));
        tray_->show();
        if (!messageTimer_) {
            messageTimer_ = new QTimer(this);
            messageTimer_->setSingleShot(true);
            QObject::connect(messageTimer_, &QTimer::timeout, this, [this] {
                if (!Visible()) tray_->hide();
            });
        }
        messageTimer_->start(kShownMs);
    }
    messageWarning_ = warning;
    // A balloon points at the icon: an icon the area has not taken in yet
    // (just shown) stands at the screen's corner, so the balloon waits
    // until the icon has its place, or for a while at most.
    placeTries_ = 0;
    lastPlace_ = QRect();
    if (IconPlaced(tray_->geometry())) {
        ShowPendingMessage();
        return;
    }
    if (!placeTimer_) {
        placeTimer_ = new QTimer(this);
        placeTimer_->setInterval(kPlaceEveryMs);
        QObject::connect(placeTimer_, &QTimer::timeout, this, [this] {
            const QRect place = tray_->geometry();
            // Placed, and kept there since the last look: the area is done.
            const bool settled = IconPlaced(place) && place == lastPlace_;
            lastPlace_ = place;
            if (settled || ++placeTries_ >= kPlaceTries) ShowPendingMessage();
        });
    }
    placeTimer_->start();
}

bool TTovikTrayIcon::MessagePending() const {
    return placeTimer_ && placeTimer_->isActive();
}

bool TTovikTrayIcon::IconPlaced(const QRect& geometry) {
    // No geometry: the desktop places its messages itself.
    return !geometry.isValid() || geometry.topLeft() != QPoint(0, 0);
}

void TTovikTrayIcon::ShowPendingMessage() {
    if (placeTimer_) placeTimer_->stop();
    if (messageTimer_ && messageTimer_->isActive()) messageTimer_->start(kShownMs);
    tray_->showMessage(
        QString::fromLatin1(messageTitle_.data(), static_cast<qsizetype>(messageTitle_.size())),
        QString::fromLatin1(messageText_.data(), static_cast<qsizetype>(messageText_.size())),
        messageWarning_ ? QSystemTrayIcon::Warning : QSystemTrayIcon::Information, kShownMs);
}

void TTovikTrayIcon::IconChangedHandler() {
    if (Visible()) ModifyTrayIcon();
}

void TTovikTrayIcon::FillTip() {
    // The record holds 63 bytes and a terminator; a longer tip is cut, and
    // a UTF-8 character the cut would split goes whole.
    std::memset(data_.szTip, 0, sizeof data_.szTip);
    std::size_t n = std::min(tip_.size(), sizeof data_.szTip - 1);
    if (n < tip_.size() && ValidUtf8(QByteArray::fromStdString(tip_)))
        while (n > 0 && (static_cast<unsigned char>(tip_[n]) & 0xC0) == 0x80) --n;
    std::memcpy(data_.szTip, tip_.data(), n);
}

void TTovikTrayIcon::AddTrayIcon() {
    if (wnd_) return;
    wnd_ = platform::AllocateHWnd([this](platform::UINT msg, platform::WPARAM w, platform::LPARAM l) {
        return TrayMessageHandler(msg, w, l);
    });
    if (!wnd_) throw ETrayIconError("TRAY001: Error creating window");
    try {
        data_ = NotifyIconData{};
        data_.cbSize = 88;
        data_.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
        data_.uCallbackMessage = WM_TOOLTRAYICON;
        data_.hWnd = wnd_;
        data_.hIcon = &icon_;
        FillTip();
        if (!ShellNotifyIcon(NIM_ADD)) throw ETrayIconError("TRAY002: Could not allocate tray icon");
    } catch (...) {
        platform::DeallocateHWnd(wnd_);
        wnd_ = 0;
        throw;
    }
}

void TTovikTrayIcon::ModifyTrayIcon() {
    if (!wnd_) AssertionFailed(__LINE__);
    data_.cbSize = 88;
    data_.hWnd = wnd_;
    data_.uFlags = NIF_ICON | NIF_TIP;
    data_.uCallbackMessage = WM_TOOLTRAYICON;
    data_.hIcon = &icon_;
    FillTip();
    if (!ShellNotifyIcon(NIM_MODIFY)) throw ETrayIconError("TRAY004: Could not modify tray icon");
}

void TTovikTrayIcon::DeleteTrayIcon() {
    if (!wnd_) return;
    if (!ShellNotifyIcon(NIM_DELETE)) throw ETrayIconError("TRAY003: Error deleteing tray icon");
    platform::DeallocateHWnd(wnd_);
    wnd_ = 0;
}

// The notification area of this desktop. Without one, QSystemTrayIcon
// accepts everything and shows nothing, which is what we want there.
bool TTovikTrayIcon::ShellNotifyIcon(NotifyCommand command) {
    switch (command) {
        case NIM_ADD:
        case NIM_MODIFY:
            // An empty icon would leave an invisible spot in the area: the
            // standard application icon stands in for it.
            if (data_.uFlags & NIF_ICON)
                tray_->setIcon(data_.hIcon->isNull() ? StandardApplicationIcon() : *data_.hIcon);
            if (data_.uFlags & NIF_TIP) tray_->setToolTip(TipText(data_.szTip));
            if (command == NIM_ADD) tray_->show();
            return true;
        case NIM_DELETE: tray_->hide(); return true;
    }
    return false;
}

void TTovikTrayIcon::Activated(int reason) {
    // Each message goes through the hidden target, which is gone once a
    // handler has hidden the icon; a handler may also destroy us.
    QPointer<TTovikTrayIcon> self(this);
    auto send = [&](platform::LPARAM mouse) {
        if (self && wnd_) platform::SendMessage(wnd_, WM_TOOLTRAYICON, 0, mouse);
    };
    switch (reason) {
        case QSystemTrayIcon::Trigger:
            send(WM_LBUTTONDOWN);
            // A release that opens a menu waits to see whether a second
            // click makes this a double click.
            if (self && leftMenu_)
                leftUpTimer_->start(QApplication::doubleClickInterval());
            else
                send(WM_LBUTTONUP);
            break;
        case QSystemTrayIcon::Context:
            send(WM_RBUTTONDOWN);
            send(WM_RBUTTONUP);
            break;
        case QSystemTrayIcon::DoubleClick:
            leftUpTimer_->stop();
            send(WM_LBUTTONDBLCLK);
            if (!self) break;
            endingDoubleClick_ = true;
            send(WM_LBUTTONUP);
            if (self) endingDoubleClick_ = false;
            break;
        case QSystemTrayIcon::MiddleClick:
            send(WM_MBUTTONDOWN);
            send(WM_MBUTTONUP);
            break;
        default: break;
    }
}

platform::LRESULT TTovikTrayIcon::TrayMessageHandler(platform::UINT msg, platform::WPARAM,
                                                     platform::LPARAM lParam) {
    if (msg != WM_TOOLTRAYICON) return 0;  // the default procedure does nothing with them
    switch (lParam) {
        case WM_MOUSEMOVE: MouseMoveNotify(); break;
        case WM_LBUTTONDOWN: LeftDownNotify(); break;
        case WM_LBUTTONUP: LeftUpNotify(); break;
        case WM_LBUTTONDBLCLK: LeftDoubleClickNotify(); break;
        case WM_RBUTTONDOWN: RightDownNotify(); break;
        case WM_RBUTTONUP: RightUpNotify(); break;
        case WM_RBUTTONDBLCLK: RightDoubleClickNotify(); break;
        default: return 0;
    }
    return 0;
}

QPoint TTovikTrayIcon::MenuPosition(QSize size, QPoint cursor, QRect screen) {
    // Far enough from the pointer that the menu does not count as opened at
    // it (which would let the toolkit move it back under the pointer).
    constexpr int kGap = 4;
    int x = cursor.x() + kGap;
    if (x + size.width() > screen.right() + 1) x = std::max(screen.left(), cursor.x() - kGap - size.width());
    int y = cursor.y() + kGap;
    if (y + size.height() > screen.bottom() + 1)
        y = std::max(screen.top(), cursor.y() - kGap - size.height());
    return {x, y};
}

void TTovikTrayIcon::PopupAtCursor(QMenu* menu) {
    const QPoint cursor = QCursor::pos();
    QScreen* screen = QGuiApplication::screenAt(cursor);
    if (!screen) screen = QGuiApplication::primaryScreen();
    const QRect area = screen ? screen->availableGeometry() : QRect(cursor, QSize(1, 1));
    if (openedMenu_ != menu) {
        if (openedMenu_) openedMenu_->removeEventFilter(this);
        openedMenu_ = menu;
        menu->installEventFilter(this);
    }
    menuOpened_.start();
    menu->popup(MenuPosition(menu->sizeHint(), cursor, area));
}

bool TTovikTrayIcon::eventFilter(QObject* watched, QEvent* event) {
    switch (event->type()) {
        case QEvent::MouseButtonPress:
        case QEvent::MouseButtonRelease:
        case QEvent::MouseButtonDblClick:
            // A click this soon after the menu opened is the rest of the
            // click that opened it, not a choice.
            if (watched == openedMenu_ && menuOpened_.isValid() &&
                menuOpened_.elapsed() < QApplication::doubleClickInterval())
                return true;
            break;
        default: break;
    }
    return QObject::eventFilter(watched, event);
}

void TTovikTrayIcon::MouseMoveNotify() {
    base::Fire(OnMouseMove, this);
}
void TTovikTrayIcon::LeftDownNotify() {
    base::Fire(OnMouseLBtnDown, this);
}
void TTovikTrayIcon::RightDownNotify() {
    base::Fire(OnRBtnDown, this);
}
void TTovikTrayIcon::LeftDoubleClickNotify() {
    base::Fire(OnMouseLBtnDblClk, this);
}
void TTovikTrayIcon::RightDoubleClickNotify() {
    base::Fire(OnMouseRBtnDblClk, this);
}
void TTovikTrayIcon::ChangeNotify() {
    base::Fire(OnChange, this);
}

void TTovikTrayIcon::LeftUpNotify() {
    if (leftMenu_) {
        if (!endingDoubleClick_) PopupAtCursor(leftMenu_);
    } else
        base::Fire(OnMouseLBtnUp, this);
}

void TTovikTrayIcon::RightUpNotify() {
    if (rightMenu_)
        PopupAtCursor(rightMenu_);
    else
        base::Fire(OnMouseRBtnUp, this);
}

}  // namespace desktop
