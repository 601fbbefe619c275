// The banner control with fake advertising libraries: the size rules, the
// start with each kind of library (missing, complete, lacking an entry
// point, failing Initialize or StartMessaging), the two notifications
// relayed or swallowed, the sidebar banner, and the library staying loaded.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <thread>

#include <QApplication>
#include <cstdlib>
#include <filesystem>
#include <memory>

#include "ads/Advertisement.h"
#include "support/FakeXdg.h"

using ads::TAdvertisement;
using testsupport::FakeXdg;

namespace {

QApplication& App() {
    static int argc = 1;
    static char name[] = "ads_advertisement_test";
    static char* argv[] = {name, nullptr};
    static QApplication app(argc, argv);
    return app;
}

std::string Fake(const std::string& variant) {
    return std::string(std::getenv("SENTREL_BINARY_DIR")) + "/tests/fakeads/libadimage_" + variant + ".so";
}

// A window with one banner and the fake's record of calls.
struct Form {
    QWidget window;
    TAdvertisement* banner;
    std::filesystem::path log =
        std::filesystem::temp_directory_path() / ("sentrel-ads-" + std::to_string(getpid()));
    explicit Form(const std::string& library) {
        App();
        std::filesystem::remove(log);
        setenv("SENTREL_FAKE_AD_LOG", log.c_str(), 1);
        TAdvertisement::LibraryName = library;
        banner = new TAdvertisement(&window);
        banner->SoftwareID = 682;
    }
    ~Form() { std::filesystem::remove(log); }
    std::string Calls() const { return FakeXdg::Get(log); }
    std::string Init(int sizeCode) const {
        return "Initialize " + std::to_string(banner->winId()) + " 682 0 " + std::to_string(sizeCode) +
               " 0\n";
    }
};

}  // namespace

TEST(Advertisement, SnapsToTheFourBannerSizes) {
    App();
    TAdvertisement fresh;
    EXPECT_EQ(fresh.size(), QSize(588, 60));
    EXPECT_TRUE(fresh.Sidebar());
    EXPECT_EQ(fresh.AdSize(), ads::ad468x60);
    struct Row {
        int width, height;
        QSize size;
        bool sidebar;
        ads::TAdImageSize adSize;
    } rows[] = {
        {100, 60, {120, 60}, false, ads::ad120x60}, {179, 60, {120, 60}, false, ads::ad120x60},
        {180, 60, {240, 60}, true, ads::ad120x60},  {300, 60, {240, 60}, true, ads::ad120x60},
        {324, 60, {468, 60}, false, ads::ad468x60}, {468, 100, {468, 60}, false, ads::ad468x60},
        {528, 60, {588, 60}, true, ads::ad468x60},
    };
    for (const Row& r : rows) {
        TAdvertisement b;
        b.SetBounds(7, 9, r.width, r.height);
        EXPECT_EQ(b.size(), r.size) << r.width << "x" << r.height;
        EXPECT_EQ(b.pos(), QPoint(7, 9));
        EXPECT_EQ(b.Sidebar(), r.sidebar) << r.width;
        EXPECT_EQ(b.AdSize(), r.adSize) << r.width;
    }
}

TEST(Advertisement, StartsOnlyWithACompleteLibraryThatSaysYes) {
    struct Row {
        const char* variant;  // empty: no library at all
        bool messaging;
        bool started;
        bool initialized, messagingCalled;
        int throttle;
    } rows[] = {
        {"", true, false, false, false, 0},
        {"complete", true, true, true, true, 100001},
        {"complete", false, true, true, false, 100001},
        {"no_setoffline", true, false, false, false, 0},
        {"init_fails", true, false, true, false, 0},
        {"messaging_fails", true, false, true, true, 0},
    };
    for (const Row& r : rows) {
        Form f(*r.variant ? Fake(r.variant) : "libadimage-not-installed.so");
        f.banner->SetBounds(0, 0, 468, 60);
        f.banner->AutoStartMessaging = r.messaging;
        f.banner->Loaded();
        const std::string why = std::string(r.variant) + (r.messaging ? " with messaging" : "");
        EXPECT_EQ(f.banner->StartedOkay(), r.started) << why;
        std::string calls =
            (r.initialized ? f.Init(1) : "") + (r.messagingCalled ? "StartMessaging 682\n" : "");
        EXPECT_EQ(f.Calls(), calls) << why;
        EXPECT_EQ(f.banner->Throttle(100000), r.throttle) << why;
        if (!r.started) continue;
        EXPECT_FALSE(f.banner->StartAds()) << why;
        EXPECT_EQ(f.Calls(), calls + "SetThrottle 100000\n") << why << ": a second start calls nothing";
    }
}

TEST(Advertisement, RelaysTheTwoNotificationsAndSwallowsThemWithoutHandlers) {
    Form f(Fake("posts"));
    f.banner->SetBounds(0, 0, 468, 60);
    int changes = 0, clicks = 0;
    f.banner->OnAdChange = [&](base::TObject* s) { changes += s == f.banner; };
    f.banner->OnClickThrough = [&](base::TObject* s) { clicks += s == f.banner; };
    f.banner->Loaded();
    EXPECT_EQ(changes + clicks, 0);  // queued, never inside the call into the library
    QApplication::processEvents();
    EXPECT_EQ(changes, 1);
    EXPECT_EQ(clicks, 1);
    TAdvertisement bare;
    EXPECT_TRUE(bare.WndProc(ads::kAdChangeMessage));
    EXPECT_TRUE(bare.WndProc(ads::kClickThroughMessage));
    EXPECT_FALSE(bare.WndProc(ads::kAdChangeMessage + 1));
}

// A library that posts from a thread of its own: the message reaches the
// banner through the GUI thread, and one for no banner goes nowhere.
TEST(Advertisement, APostFromAnotherThreadIsQueuedToTheGuiThread) {
    Form f(Fake("complete"));
    f.banner->SetBounds(0, 0, 468, 60);
    int changes = 0;
    f.banner->OnAdChange = [&](base::TObject*) { ++changes; };
    f.banner->Loaded();
    using TAdPost = int (*)(std::uintptr_t, std::uint32_t);
    auto post = reinterpret_cast<TAdPost>(dlsym(RTLD_DEFAULT, "sentrel_ad_post"));
    ASSERT_NE(post, nullptr);
    const auto window = static_cast<std::uintptr_t>(f.banner->winId());
    int results[2] = {};
    std::thread library([&] {
        results[0] = post(window, ads::kAdChangeMessage);
        results[1] = post(window + 12345, ads::kAdChangeMessage);
    });
    library.join();
    EXPECT_EQ(results[0], 1);
    EXPECT_EQ(changes, 0);
    QApplication::processEvents();
    QApplication::processEvents();
    EXPECT_EQ(changes, 1);
    EXPECT_EQ(post(window + 12345, ads::kAdChangeMessage), 0) << "on the GUI thread: no such banner";
}

TEST(Advertisement, ASidebarIsASecondBannerAtTheRightEdge) {
    Form f(Fake("complete"));
    f.banner->SetBounds(10, 5, 588, 60);
    f.banner->Loaded();
    TAdvertisement* side = f.banner->SidebarBanner();
    ASSERT_NE(side, nullptr);
    EXPECT_EQ(side->parentWidget(), &f.window);
    EXPECT_EQ(side->geometry(), QRect(478, 5, 120, 60));
    EXPECT_EQ(f.banner->width(), 468);
    EXPECT_FALSE(side->Sidebar());
    EXPECT_EQ(f.Calls(), f.Init(1) + "StartMessaging 682\n" + "Initialize " + std::to_string(side->winId()) +
                             " 682 0 20 0\n");
}

TEST(Advertisement, TheLibraryStaysLoadedAfterItsBannersAreGone) {
    const std::string path = Fake("complete");
    {
        Form f(path);
        f.banner->Loaded();
    }
    EXPECT_NE(dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD), nullptr);
}
