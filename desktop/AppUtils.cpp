#include "desktop/AppUtils.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QGuiApplication>
#include <QPointer>
#include <QScreen>
#include <QVariant>
#include <QWidget>
#include <cmath>

#include "platform/Application.h"

namespace desktop {

namespace {
QPointer<QWidget>& MainFormSlot() {
    static QPointer<QWidget> form;
    return form;
}
// The minimised and maximised positions a window was given, kept on the
// window itself, since the toolkit has no such thing.
const char* const kMinPosition = "sentrelMinPosition";
const char* const kMaxPosition = "sentrelMaxPosition";
}  // namespace

QWidget* MainForm() {
    return MainFormSlot().data();
}
void SetMainForm(QWidget* form) {
    MainFormSlot() = form;
}
bool IsApplicationMinimized() {
    QWidget* form = MainForm();
    return form && form->isMinimized();
}

TWindowPlacement GetWindowPlacement(const QWidget* window) {
    TWindowPlacement p;
    const Qt::WindowStates state = window->windowState();
    QRect normal = window->geometry();
    if ((state & (Qt::WindowMaximized | Qt::WindowFullScreen)) && window->normalGeometry().isValid())
        normal = window->normalGeometry();
    p.NormalPosition = {normal.x(), normal.y(), normal.x() + normal.width(), normal.y() + normal.height()};
    if (state & Qt::WindowMinimized)
        p.ShowCmd = SW_SHOWMINIMIZED;
    else if (state & Qt::WindowMaximized)
        p.ShowCmd = SW_SHOWMAXIMIZED;
    else
        p.ShowCmd = SW_SHOWNORMAL;
    if ((state & Qt::WindowMinimized) && (state & Qt::WindowMaximized)) p.Flags |= WPF_RESTORETOMAXIMIZED;
    const QVariant minPos = window->property(kMinPosition), maxPos = window->property(kMaxPosition);
    if (minPos.isValid()) p.MinPosition = minPos.toPoint();
    if (maxPos.isValid()) p.MaxPosition = maxPos.toPoint();
    return p;
}

void SetWindowPlacement(QWidget* window, const TWindowPlacement& p) {
    window->setProperty(kMinPosition, p.MinPosition);
    window->setProperty(kMaxPosition, p.MaxPosition);
    const TRect& r = p.NormalPosition;
    const QRect rect(r.Left, r.Top, r.Right - r.Left, r.Bottom - r.Top);
    const Qt::WindowStates state = window->windowState();
    if (r == GetWindowPlacement(window).NormalPosition) {
        // Already there: a maximised window is not taken through the
        // normal state for nothing.
    } else if (state & (Qt::WindowMinimized | Qt::WindowMaximized | Qt::WindowFullScreen)) {
        // The normal rectangle of a window in another state is set by
        // passing through the normal state.
        window->setWindowState(Qt::WindowNoState);
        window->setGeometry(rect);
        window->setWindowState(state);
    } else {
        window->setGeometry(rect);
    }
    if (p.ShowCmd == SW_HIDE || !window->isVisible()) return;
    switch (p.ShowCmd) {
        case SW_SHOWMINIMIZED:
        case 6:
        case 7:
            if (!window->isMinimized()) window->showMinimized();
            break;
        case SW_SHOWMAXIMIZED:
            if (!window->isMaximized()) window->showMaximized();
            break;
        default:
            if (window->windowState() & (Qt::WindowMinimized | Qt::WindowMaximized)) window->showNormal();
            break;
    }
}

QRect FitOnScreen(const QRect& client, const QMargins& frame, bool sizeable) {
    const QRect outer = client.marginsAdded(frame);
    const QScreen* screen = QGuiApplication::screenAt(outer.center());
    if (!screen) {
        int best = 0;
        for (const QScreen* s : QGuiApplication::screens()) {
            const QRect common = s->availableGeometry().intersected(outer);
            if (common.width() * common.height() > best) {
                best = common.width() * common.height();
                screen = s;
            }
        }
    }
    if (!screen) screen = QGuiApplication::primaryScreen();
    if (!screen) return client;
    const QRect area = screen->availableGeometry();
    QRect fitted = outer;
    if (sizeable) {
        fitted.setWidth(std::min(fitted.width(), area.width()));
        fitted.setHeight(std::min(fitted.height(), area.height()));
    }
    // Right and bottom first, so a window larger than the area keeps its
    // title bar and left edge on the screen.
    if (fitted.right() > area.right()) fitted.moveRight(area.right());
    if (fitted.bottom() > area.bottom()) fitted.moveBottom(area.bottom());
    if (fitted.left() < area.left()) fitted.moveLeft(area.left());
    if (fitted.top() < area.top()) fitted.moveTop(area.top());
    return fitted.marginsRemoved(frame);
}

QPoint WindowFrameSize(const QWidget* window) {
    const QRect frame = window->frameGeometry(), client = window->geometry();
    return {client.left() - frame.left(), frame.bottom() - client.bottom()};
}

std::string ResolutionTag() {
    const QScreen* screen = QGuiApplication::primaryScreen();
    const QSize size = screen ? screen->geometry().size() : QSize(0, 0);
    std::string tag = "(";
    tag += std::to_string(size.width());
    tag += 'x';
    tag += std::to_string(size.height());
    tag += ')';
    return tag;
}

int ScreenPixelsPerInch() {
    const QScreen* screen = QGuiApplication::primaryScreen();
    return screen ? static_cast<int>(std::lround(screen->logicalDotsPerInch())) : 96;
}

std::function<std::string()> GetDefaultIniName;
std::string RegistryCompanyKey;
bool UseApplicationTitleForKey = false;

namespace {
std::string ExecutableBaseName() {
    return QFileInfo(QCoreApplication::applicationFilePath()).completeBaseName().toStdString();
}
}  // namespace

std::string DefaultIniFileName() {
    if (GetDefaultIniName) return GetDefaultIniName();
    return ExecutableBaseName() + ".INI";
}

std::string DefaultRegistryKey() {
    std::string key = "Software\\";
    if (!RegistryCompanyKey.empty()) key += RegistryCompanyKey + "\\";
    const std::string& title = platform::Application().Title;
    key += UseApplicationTitleForKey && !title.empty() ? title : ExecutableBaseName();
    return key;
}

std::string QuoteIniValue(const std::string& value) {
    if (!value.empty()) {
        const char first = value.front(), last = value.back();
        if ((first == '"' && last == '"') || (first == '\'' && last == '\'')) return "\"" + value + "\"";
    }
    return value;
}

std::string ExtractWord(int n, const std::string& s, const std::string& delims) {
    int count = 0;
    size_t i = 0;
    while (i < s.size()) {
        while (i < s.size() && delims.find(s[i]) != std::string::npos) ++i;
        if (i >= s.size()) break;
        const size_t start = i;
        while (i < s.size() && delims.find(s[i]) == std::string::npos) ++i;
        if (++count == n) return s.substr(start, i - start);
    }
    return "";
}

int WordCount(const std::string& s, const std::string& delims) {
    int count = 0;
    while (!ExtractWord(count + 1, s, delims).empty()) ++count;
    return count;
}

}  // namespace desktop
