// The web and mail launcher on a fake desktop: the handler chains, the
// one-argument page and mailto: URLs reaching a recording handler, terminal
// handlers, the xdg-open fallback, and false when nothing can start.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <vector>

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

// $PATH holds only the named programs while it lives, each one recording
// like the fake desktop's handler.
class OnlyPrograms {
public:
    OnlyPrograms(const FakeXdg& xdg, const std::vector<std::string>& names) {
        const auto bin = xdg.Root / "bin";
        std::filesystem::create_directories(bin);
        for (const auto& name : names) {
            FakeXdg::Put(bin / name, "#!/bin/sh\n{ printf '%s' \"$#\"; printf '|%s' \"$@\"; echo; } >> '" +
                                         xdg.Recording().string() + "'\n");
            chmod((bin / name).c_str(), 0755);
        }
        const char* old = std::getenv("PATH");
        saved_ = old ? old : "";
        setenv("PATH", bin.c_str(), 1);
    }
    ~OnlyPrograms() { setenv("PATH", saved_.c_str(), 1); }

private:
    std::string saved_;
};
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
    OnlyPrograms none(xdg, {});  // not even xdg-open
    TGoToWeb web = Web();
    EXPECT_FALSE(web.LaunchUrl());
    EXPECT_FALSE(web.LaunchMail());
    FakeXdg::Put(xdg.Root / "data/applications/gone.desktop",
                 "[Desktop Entry]\nType=Application\nExec=/nonexistent/browser %u\n");
    Defaults(xdg, "text/html=gone.desktop\n");
    EXPECT_FALSE(web.LaunchUrl());
}

// Handlers that cannot start give way to the next one, a terminal program
// gets the user's terminal, and with nothing named xdg-open gets the URL.
TEST(GoToWeb, TerminalHandlersAndTheXdgOpenFallback) {
    const std::string page = "https://sentrel.invalid/home page";
    struct Row {
        const char* why;
        std::vector<std::string> programs;  // on $PATH
        std::string defaults;
        bool started;
        std::string recorded;  // with "REC" for the handler's script
    } rows[] = {
        {"no default at all: xdg-open", {"xdg-open"}, "", true, "1|" + page + "\n"},
        {"a default that cannot start: xdg-open",
         {"xdg-open"},
         "text/html=gone.desktop\n",
         true,
         "1|" + page + "\n"},
        {"a terminal program in the user's terminal",
         {"x-terminal-emulator"},
         "text/html=term.desktop\n",
         true,
         "3|-e|REC|" + page + "\n"},
        {"a terminal program without a terminal: the next handler",
         {},
         "x-scheme-handler/https=term.desktop\ntext/html=rec.desktop\n",
         true,
         "1|" + page + "\n"},
        {"nothing at all", {}, "text/html=gone.desktop\n", false, ""},
    };
    for (const Row& r : rows) {
        FakeXdg xdg;
        OnlyPrograms path(xdg, r.programs);
        xdg.Handler("rec.desktop");
        const std::string script = (xdg.Root / "record.sh").string();
        FakeXdg::Put(xdg.Root / "data/applications/term.desktop",
                     "[Desktop Entry]\nType=Application\nTerminal=true\nExec=" + script + " %u\n");
        FakeXdg::Put(xdg.Root / "data/applications/gone.desktop",
                     "[Desktop Entry]\nType=Application\nExec=/nonexistent/browser %u\n");
        Defaults(xdg, r.defaults);
        EXPECT_EQ(Web().LaunchUrl(), r.started) << r.why;
        std::string expected = r.recorded;
        if (auto at = expected.find("REC"); at != std::string::npos) expected.replace(at, 3, script);
        EXPECT_EQ(xdg.WaitForRecording(r.started ? 1 : 0), expected) << r.why;
    }
}
