// The web and mail launcher on a fake desktop: the handler chains, the
// one-argument page and mailto: URLs reaching a recording handler, and false
// when there is no handler or it cannot start.
#include <gtest/gtest.h>

#include "desktop/GoToWeb.h"
#include "support/FakeXdg.h"

using desktop::TGoToWeb;
using testsupport::FakeXdg;

namespace {
TGoToWeb Web() {
    TGoToWeb web;
    web.Url = "https://sentrel.invalid/home page";
    web.EMail = "feed back@sentrel.invalid";
    web.EMailSubject = "Feedback for Sentrel";
    return web;
}
void Defaults(const FakeXdg& xdg, const std::string& lines) {
    FakeXdg::Put(xdg.Root / "config/mimeapps.list", "[Default Applications]\n" + lines);
}
}  // namespace

TEST(GoToWeb, TheMailUrlIsPercentEncoded) {
    EXPECT_EQ(Web().MailUrl(), "mailto:feed%20back@sentrel.invalid?subject=Feedback%20for%20Sentrel");
    EXPECT_EQ(TGoToWeb::BrowserTypes("HTTPS://x"),
              (std::vector<std::string>{"x-scheme-handler/https", "text/html"}));
    EXPECT_EQ(TGoToWeb::BrowserTypes("no scheme"), (std::vector<std::string>{"text/html"}));
}

TEST(GoToWeb, EachLauncherGivesItsHandlerExactlyOneUrl) {
    struct Row {
        const char* why;
        std::string defaults;
        bool mail;
        std::string recorded;
    } rows[] = {
        {"page by its scheme", "x-scheme-handler/https=rec.desktop\n", false,
         "1|https://sentrel.invalid/home page\n"},
        {"page by text/html", "text/html=rec.desktop\n", false, "1|https://sentrel.invalid/home page\n"},
        {"mail by mailto", "x-scheme-handler/mailto=rec.desktop\ntext/html=none.desktop\n", true,
         "1|mailto:feed%20back@sentrel.invalid?subject=Feedback%20for%20Sentrel\n"},
        {"mail by the browser chain", "text/html=rec.desktop\n", true,
         "1|mailto:feed%20back@sentrel.invalid?subject=Feedback%20for%20Sentrel\n"},
    };
    for (const Row& r : rows) {
        FakeXdg xdg;
        xdg.Handler("rec.desktop");
        Defaults(xdg, r.defaults);
        TGoToWeb web = Web();
        EXPECT_TRUE(r.mail ? web.LaunchMail() : web.LaunchUrl()) << r.why;
        EXPECT_EQ(xdg.WaitForRecording(1), r.recorded) << r.why;
    }
}

TEST(GoToWeb, FalseWithoutAHandlerOrWhenItCannotStart) {
    FakeXdg xdg;
    TGoToWeb web = Web();
    EXPECT_FALSE(web.LaunchUrl());
    EXPECT_FALSE(web.LaunchMail());
    FakeXdg::Put(xdg.Root / "data/applications/gone.desktop",
                 "[Desktop Entry]\nType=Application\nExec=/nonexistent/browser %u\n");
    Defaults(xdg, "text/html=gone.desktop\n");
    EXPECT_FALSE(web.LaunchUrl());
}
