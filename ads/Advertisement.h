// TAdvertisement reserves a banner area on a window and hands it to the
// advertising library (libadimage.so, see AdImage.h), which draws into it
// and reports new adverts and clicks. The control draws nothing itself: it
// keeps one of four fixed sizes (120 x 60 or 468 x 60, each with or without
// a 120 x 60 sidebar banner at its right), loads the library when its
// window has been built (Loaded), initialises it with the control's native
// window id and identity, optionally starts the library's messaging, and
// relays the library's two notifications to OnAdChange and OnClickThrough.
//
// The library is found by name (LibraryName) in the executable's folder,
// then in ../lib/sentrel beside it, then on the system's library path,
// never in the working directory (platform/SharedLibrary.h). Without it the
// area stays blank, StartedOkay is false and the window works as usual.
// Each instance loads the library for itself; the library stays mapped
// until the process ends, since it is never told to stop.
//
// Owned by its parent widget. GUI thread only; a notification arrives as a
// queued event, never inside a call into the library.
#pragma once

#include <QWidget>
#include <cstdint>
#include <set>
#include <string>

#include "ads/AdImage.h"
#include "base/Events.h"
#include "platform/SharedLibrary.h"

namespace ads {

enum TAdImageSize { ad120x60, ad468x60 };
enum TAdFlag { adOfflineOnly };
using TAdFlagSet = std::set<TAdFlag>;
using TAdEvent = base::TNotifyEvent;

class TAdvertisement : public QWidget, public base::TObject {
public:
    explicit TAdvertisement(QWidget* parent = nullptr);
    ~TAdvertisement() override;

    // The library's file name; a name with a "/" is loaded as given.
    static inline std::string LibraryName = "libadimage.so";

    // Places the control and snaps its size: a requested width below 180
    // gives 120 x 60, 180 to 323 gives 240 x 60 (with sidebar), 324 to 527
    // gives 468 x 60, 528 and above 588 x 60 (with sidebar).
    void SetBounds(int left, int top, int width, int height);

    TAdImageSize AdSize() const { return adSize_; }
    void SetAdSize(TAdImageSize size);
    bool Sidebar() const { return sidebar_; }
    void SetSidebar(bool on);

    bool AutoStart = true;
    bool AutoStartMessaging = true;
    TAdFlagSet Flags;
    std::int32_t SoftwareID = 0;
    std::int32_t Version = 0;
    TAdEvent OnClickThrough;
    TAdEvent OnAdChange;

    bool StartedOkay() const { return startedOkay_; }
    // The sidebar banner StartAds made, if any (owned by the window).
    TAdvertisement* SidebarBanner() const { return sidebarBanner_; }

    // Called once the window that holds the control is built: starts the
    // library when AutoStart is set.
    void Loaded();
    // Loads and initialises the library (once); with Sidebar on, also
    // builds and starts the sidebar banner. True when this banner started.
    bool StartAds();
    // The library's SetThrottle(value) while started; 0 otherwise.
    int Throttle(int value);

    // The control's window procedure for the library's notifications: true
    // when msg was one of the two (consumed even without a handler).
    bool WndProc(std::uint32_t msg);

protected:
    bool event(QEvent* e) override;

private:
    void ApplySize();
    bool Start(std::uintptr_t window, std::int32_t sizeCode, std::int32_t flags);
    void Unload();

    platform::TLibraryHandle library_ = nullptr;
    TAdInitialize initialize_ = nullptr;
    TAdStartMessaging startMessaging_ = nullptr;
    TAdSetThrottle setThrottle_ = nullptr;
    TAdSetProxy setProxy_ = nullptr;
    TAdSetOffline setOffline_ = nullptr;
    TAdImageSize adSize_ = ad468x60;
    bool sidebar_ = true;
    bool startedOkay_ = false;
    TAdvertisement* sidebarBanner_ = nullptr;
};

}  // namespace ads
