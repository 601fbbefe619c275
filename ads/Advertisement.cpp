#include "ads/Advertisement.h"

#include <QCoreApplication>
#include <QEvent>
#include <QPointer>
#include <QThread>

namespace ads {

namespace {

// A notification of the library, queued to its banner.
class TAdMessageEvent : public QEvent {
public:
    static QEvent::Type Type() {
        static const int type = QEvent::registerEventType();
        return static_cast<QEvent::Type>(type);
    }
    explicit TAdMessageEvent(std::uint32_t message) : QEvent(Type()), Message(message) {}
    std::uint32_t Message;
};

template <typename Fn>
bool Resolve(platform::TLibraryHandle library, const char* name, Fn& slot) {
    if (!slot) slot = reinterpret_cast<Fn>(platform::GetProcAddress(library, name));
    return slot != nullptr;
}

}  // namespace

TAdvertisement::TAdvertisement(QWidget* parent) : QWidget(parent) {
    // Blank in the window's colour until (unless) the library draws.
    setAutoFillBackground(true);
    setCursor(Qt::PointingHandCursor);
    setFixedSize(588, 60);
}

TAdvertisement::~TAdvertisement() {
    Unload();
}

void TAdvertisement::Unload() {
    platform::FreeLibrary(library_);
    library_ = nullptr;
    initialize_ = nullptr;
    startMessaging_ = nullptr;
    setThrottle_ = nullptr;
    setProxy_ = nullptr;
    setOffline_ = nullptr;
}

void TAdvertisement::ApplySize() {
    const int width = (adSize_ == ad120x60 ? 120 : 468) + (sidebar_ ? 120 : 0);
    setFixedSize(width, 60);
}

void TAdvertisement::SetAdSize(TAdImageSize size) {
    adSize_ = size;
    ApplySize();
}

void TAdvertisement::SetSidebar(bool on) {
    sidebar_ = on;
    ApplySize();
}

void TAdvertisement::SetBounds(int left, int top, int width, int height) {
    setMinimumSize(0, 0);
    setMaximumSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX);
    setGeometry(left, top, width, height);
    if (width < 180) {
        sidebar_ = false;
        SetAdSize(ad120x60);
    } else if (width < 324) {
        sidebar_ = true;
        SetAdSize(ad120x60);
    } else if (width < 528) {
        sidebar_ = false;
        SetAdSize(ad468x60);
    } else {
        sidebar_ = true;
        SetAdSize(ad468x60);
    }
}

void TAdvertisement::Loaded() {
    if (AutoStart) StartAds();
}

bool TAdvertisement::Start(std::uintptr_t window, std::int32_t sizeCode, std::int32_t flags) {
    if (!library_) {
        library_ = platform::LoadLibrary(LibraryName);
        if (!library_) return false;
    }
    const bool complete = Resolve(library_, "Initialize", initialize_) &&
                          Resolve(library_, "StartMessaging", startMessaging_) &&
                          Resolve(library_, "SetThrottle", setThrottle_) &&
                          Resolve(library_, "SetProxy", setProxy_) &&
                          Resolve(library_, "SetOffline", setOffline_);
    if (!complete) {
        // A later call tries again from the start.
        Unload();
        return false;
    }
    if (startedOkay_) return false;
    startedOkay_ = initialize_(window, SoftwareID, Version, sizeCode, flags) != 0;
    if (AutoStartMessaging) startedOkay_ = startedOkay_ && startMessaging_(SoftwareID) != 0;
    return startedOkay_;
}

bool TAdvertisement::StartAds() {
    const std::int32_t sizeCode = adSize_ == ad468x60 ? kSizeCode468x60 : kSizeCode120x60;
    const std::int32_t flags = Flags.count(adOfflineOnly) ? 1 : 0;
    const bool result = Start(static_cast<std::uintptr_t>(winId()), sizeCode, flags);
    if (sidebar_ && window() != this) {
        // The sidebar is a banner of its own on the top-level window, over
        // the right end of this one, which then narrows by its width.
        const QPoint at = mapTo(window(), QPoint(width() - 120, 0));
        auto* side = new TAdvertisement(window());
        side->SetAdSize(ad120x60);
        side->AutoStart = false;
        side->AutoStartMessaging = false;
        side->setCursor(cursor());
        side->Flags = Flags;
        side->SetSidebar(false);
        side->SoftwareID = SoftwareID;
        side->Version = Version;
        side->move(at);
        if (OnAdChange) side->OnAdChange = OnAdChange;
        if (OnClickThrough) side->OnClickThrough = OnClickThrough;
        side->show();
        sidebarBanner_ = side;
        side->StartAds();
        setFixedSize(width() - 120, height());
        update();
    }
    return result;
}

int TAdvertisement::Throttle(int value) {
    if (!startedOkay_) return 0;
    return setThrottle_(value);
}

bool TAdvertisement::WndProc(std::uint32_t msg) {
    switch (msg) {
        case kAdChangeMessage: base::Fire(OnAdChange, this); return true;
        case kClickThroughMessage: base::Fire(OnClickThrough, this); return true;
        default: return false;
    }
}

bool TAdvertisement::event(QEvent* e) {
    if (e->type() == TAdMessageEvent::Type()) return WndProc(static_cast<TAdMessageEvent*>(e)->Message);
    return QWidget::event(e);
}

namespace {
// Finds the banner and queues the message to it; GUI thread only, since
// widgets are looked up and live there.
int PostToBanner(std::uintptr_t window, std::uint32_t message) {
    auto* banner = dynamic_cast<TAdvertisement*>(QWidget::find(static_cast<WId>(window)));
    if (!banner) return 0;
    QCoreApplication::postEvent(banner, new TAdMessageEvent(message));
    return 1;
}
}  // namespace

// The library's way back to its banner: queued, so a handler never runs
// inside a call into the library. A library may post from a thread of its
// own: the message then goes to the GUI thread first, where the banner is
// looked up, and the result says only that it was queued (waiting for the
// GUI thread could deadlock with a library call it is making).
extern "C" __attribute__((visibility("default"))) int sentrel_ad_post(std::uintptr_t window,
                                                                      std::uint32_t message) {
    QCoreApplication* app = QCoreApplication::instance();
    if (!app) return 0;
    if (QThread::currentThread() == app->thread()) return PostToBanner(window, message);
    QMetaObject::invokeMethod(
        app, [window, message] { PostToBanner(window, message); }, Qt::QueuedConnection);
    return 1;
}

}  // namespace ads
