// A fake advertising library, built in variants by the test build: it
// records every call (with its arguments) to the file named by
// SENTREL_FAKE_AD_LOG, and its variant decides what it lacks or fails.
#include <dlfcn.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "ads/AdImage.h"

#define EXPORT __attribute__((visibility("default")))

namespace {
std::uintptr_t g_window = 0;

void Record(const char* format, ...) {
    const char* path = std::getenv("SENTREL_FAKE_AD_LOG");
    if (!path) return;
    FILE* f = std::fopen(path, "a");
    if (!f) return;
    va_list args;
    va_start(args, format);
    std::vfprintf(f, format, args);
    va_end(args);
    std::fclose(f);
}
}  // namespace

extern "C" {

EXPORT std::uint16_t Initialize(std::uintptr_t window, std::int32_t softwareId, std::int32_t version,
                                std::int32_t sizeCode, std::int32_t flags) {
    g_window = window;
    Record("Initialize %ju %d %d %d %d\n", static_cast<std::uintmax_t>(window), softwareId, version, sizeCode,
           flags);
#ifdef FAKE_INIT_FAILS
    return 0;
#else
    return 0x100;  // non-zero only when read as the 16-bit value it is
#endif
}

EXPORT std::uint16_t StartMessaging(std::int32_t softwareId) {
    Record("StartMessaging %d\n", softwareId);
#ifdef FAKE_POSTS
    if (auto post = reinterpret_cast<TAdPost>(dlsym(RTLD_DEFAULT, "sentrel_ad_post"))) {
        post(g_window, ads::kAdChangeMessage);
        post(g_window, ads::kClickThroughMessage);
    }
#endif
#ifdef FAKE_MESSAGING_FAILS
    return 0;
#else
    return 1;
#endif
}

EXPORT std::int32_t SetThrottle(std::int32_t value) {
    Record("SetThrottle %d\n", value);
    return value + 1;
}

EXPORT void SetProxy() {}

#ifndef FAKE_NO_SETOFFLINE
EXPORT void SetOffline() {}
#endif
}
