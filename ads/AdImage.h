// The contract between a banner (TAdvertisement) and the advertising
// library libadimage.so: the five entry points the library exports, and the
// one the program exports for the library's two notifications.
//
// The window handle a banner passes to Initialize is the banner widget's
// native window id; the library may draw into that widget and posts its
// notifications with sentrel_ad_post(window, message), which queues them
// to the banner on the GUI thread (0 when no banner has that id).
#pragma once

#include <cstdint>

namespace ads {

// The library reported a new advert, and a click on the advert.
inline constexpr std::uint32_t kAdChangeMessage = 34743;      // 0x87B7
inline constexpr std::uint32_t kClickThroughMessage = 34745;  // 0x87B9

// Size codes given to Initialize.
inline constexpr std::int32_t kSizeCode468x60 = 1;
inline constexpr std::int32_t kSizeCode120x60 = 20;

}  // namespace ads

extern "C" {
using TAdInitialize = std::uint16_t (*)(std::uintptr_t window, std::int32_t softwareId, std::int32_t version,
                                        std::int32_t sizeCode, std::int32_t flags);
using TAdStartMessaging = std::uint16_t (*)(std::int32_t softwareId);
using TAdSetThrottle = std::int32_t (*)(std::int32_t value);
using TAdSetProxy = void (*)();
using TAdSetOffline = void (*)();
using TAdPost = int (*)(std::uintptr_t window, std::uint32_t message);
}
