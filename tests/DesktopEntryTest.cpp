// Desktop entries and what stands on them: Exec lines split and quoted by
// the desktop-entry rules, key files read without INI habits, the default
// application found in the mimeapps.list search order, a program started
// detached with its exec failure reported, and the removal of a next-log-on
// entry kept to the autostart folders.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include "platform/Autostart.h"
#include "platform/DesktopEntry.h"
#include "platform/MimeApps.h"
#include "platform/Process.h"
#include "support/FakeXdg.h"

using Args = std::vector<std::string>;
using testsupport::FakeXdg;

TEST(ExecLine, SplitsByTheQuotingRulesAndExpandsFieldCodes) {
    const platform::TExecFields f{"https://h.invalid/a b", "web", "Web", "/apps/web.desktop"};
    const std::string url = f.Url;
    struct Row {
        const char* why;
        const char* exec;
        std::optional<Args> want;
    } rows[] = {
        {"the URL is one argument", "firefox %u", Args{"firefox", url}},
        {"quoted program, extra switch, list code", R"("/opt/my web/run" --new %U)",
         Args{"/opt/my web/run", "--new", url}},
        {"escapes inside quotes", R"(prog "a \"q\" \`\$x\\")", Args{"prog", R"(a "q" `$x\)", url}},
        {"a code inside an argument", "prog --url=%u", Args{"prog", "--url=" + url}},
        {"icon, name, file; unknown codes dropped; URL added last", "prog %i %c %k %d -x",
         Args{"prog", "--icon", "web", "Web", "/apps/web.desktop", "-x", url}},
        {"a literal percent", "prog 100%%", Args{"prog", "100%", url}},
        {"an empty quoted argument stays", R"(prog "" %f)", Args{"prog", "", url}},
        {"unterminated quote", R"(prog "oops)", std::nullopt},
        {"a list code inside an argument", "prog --files=%F", std::nullopt},
        {"nothing to run", "  ", std::nullopt},
    };
    for (const Row& r : rows) EXPECT_EQ(platform::SplitExec(r.exec, f), r.want) << r.why;
}

TEST(ExecLine, AQuotedArgumentWrittenToAFileSplitsBackWhole) {
    // The text itself, not only what our own reader makes of it.
    EXPECT_EQ(platform::QuoteExecArgument("/a b/$x"), R"("/a b/\$x")");
    EXPECT_EQ(platform::QuoteExecArgument("/usr/bin/sentrel"), "/usr/bin/sentrel");
    for (const std::string arg :
         {"/usr/bin/sentrel", "/home/a b/sentrel", R"(/x/"q"`$\y)", "/p/100%", "", "/tmp/it's;#(x)"}) {
        const std::string file = "[Desktop Entry]\nExec=" +
                                 platform::EscapeKeyValue(platform::QuoteExecArgument(arg) + " --once") +
                                 "\n";
        const auto groups = platform::ParseKeyFile(file);
        ASSERT_EQ(groups.size(), 1u);
        EXPECT_EQ(platform::SplitExec(groups[0].Value("Exec").value_or(""), {}), (Args{arg, "--once"}))
            << arg;
    }
}

TEST(KeyFile, ReadsGroupsWithoutIniHabits) {
    const auto groups = platform::ParseKeyFile(
        "# comment\r\n[Default Applications]\r\ntext/html=a.desktop;b.desktop;\r\n"
        "text/html=second.desktop\r\nName = \\sspaced\\tand\\\\slash \r\n[default applications]\nk=v\n");
    ASSERT_EQ(groups.size(), 2u);  // group names are case-sensitive
    EXPECT_EQ(platform::SplitKeyList(groups[0].Value("text/html").value()), (Args{"a.desktop", "b.desktop"}));
    EXPECT_EQ(groups[0].Value("Name"), " spaced\tand\\slash");
    EXPECT_EQ(platform::SplitKeyList("a\\;b;c"), (Args{"a;b", "c"}));
    // Blanks at either end survive a write and a read (an autostart entry's
    // Path= for a folder whose name ends in a blank).
    for (const std::string value : {"/srv/my sentrel ", " lead", "  both  ", " ", "a\\b\tc"}) {
        const auto back = platform::ParseKeyFile("[g]\nPath=" + platform::EscapeKeyValue(value) + "\n");
        ASSERT_EQ(back.size(), 1u);
        EXPECT_EQ(back[0].Value("Path"), value) << platform::EscapeKeyValue(value);
    }
    EXPECT_EQ(platform::EscapeKeyValue("/srv/my sentrel "), "/srv/my sentrel\\s");
}

TEST(DefaultApplication, FollowsTheMimeappsSearchOrder) {
    FakeXdg xdg;
    for (const char* id : {"data.desktop", "etc.desktop", "home.desktop", "desk.desktop", "added.desktop"})
        xdg.Handler(id);
    const auto list = [](const std::string& ids) {
        return "[Default Applications]\ntext/html=" + ids + "\n";
    };
    const auto found = [] {
        const auto app = platform::FindDefaultApplication("text/html");
        return app ? app->Path.substr(app->Path.rfind('/') + 1) : std::string("none");
    };
    EXPECT_EQ(found(), "none");
    FakeXdg::Put(xdg.Root / "data/applications/mimeapps.list",
                 "[Added Associations]\ntext/html=added.desktop\n");
    EXPECT_EQ(found(), "added.desktop");
    FakeXdg::Put(xdg.Root / "share/applications/mimeapps.list", list("data.desktop"));
    EXPECT_EQ(found(), "data.desktop");  // a default anywhere beats an added association
    FakeXdg::Put(xdg.Root / "etc/mimeapps.list", list("etc.desktop"));
    EXPECT_EQ(found(), "etc.desktop");
    FakeXdg::Put(xdg.Root / "config/mimeapps.list", list("missing.desktop;home.desktop"));
    EXPECT_EQ(found(), "home.desktop");  // an ID that is not installed is passed over
    FakeXdg::Put(xdg.Root / "config/kde-mimeapps.list", list("desk.desktop"));
    setenv("XDG_CURRENT_DESKTOP", "X-Other:KDE", 1);
    EXPECT_EQ(found(), "desk.desktop");
    FakeXdg::Put(xdg.Root / "data/applications/desk.desktop", "[Desktop Entry]\nExec=x %u\nHidden=true\n");
    EXPECT_EQ(found(), "home.desktop");  // a hidden application does not count
    FakeXdg::Put(xdg.Root / "share/applications/vendor/sub.desktop", "[Desktop Entry]\nExec=x %u\n");
    EXPECT_TRUE(platform::FindDesktopApplication("vendor-sub.desktop"));
    EXPECT_FALSE(platform::FindDesktopApplication("../data/applications/home.desktop"));
    EXPECT_FALSE(platform::FindDesktopApplication("vendor/sub.desktop"));  // an ID has no folder in it
    // The user's copy that hides an application hides the system's one.
    FakeXdg::Put(xdg.Root / "share/applications/sys.desktop", "[Desktop Entry]\nExec=x %u\n");
    EXPECT_TRUE(platform::FindDesktopApplication("sys.desktop"));
    FakeXdg::Put(xdg.Root / "data/applications/sys.desktop", "[Desktop Entry]\nExec=x %u\nHidden=true\n");
    EXPECT_FALSE(platform::FindDesktopApplication("sys.desktop"));
}

TEST(Spawn, StartsDetachedAndTellsWhenTheProgramCouldNotRun) {
    FakeXdg xdg;
    xdg.Handler("r.desktop");
    const std::string script = (xdg.Root / "record.sh").string();
    EXPECT_TRUE(platform::SpawnDetached({script, "one arg", "$HOME;`x`"}));
    EXPECT_EQ(xdg.WaitForRecording(1), "2|one arg|$HOME;`x`\n");  // no shell saw the arguments
    int status = 0;
    EXPECT_EQ(waitpid(-1, &status, WNOHANG), -1);  // nothing left to reap: no zombie
    EXPECT_EQ(errno, ECHILD);

    FakeXdg::Put(xdg.Root / "plain.txt", "not a program");
    std::string error;
    EXPECT_FALSE(platform::SpawnDetached({(xdg.Root / "plain.txt").string()}, &error));
    EXPECT_NE(error.find("Permission denied"), std::string::npos) << error;
    EXPECT_FALSE(platform::SpawnDetached({"sentrel-no-such-program"}));
    EXPECT_FALSE(platform::SpawnDetached({}));

    // A folder named like the program earlier in PATH is passed over.
    std::filesystem::create_directories(xdg.Root / "early/sentrel-recorder");
    std::filesystem::create_directories(xdg.Root / "late");
    std::filesystem::copy_file(script, xdg.Root / "late/sentrel-recorder");
    const std::string oldPath = std::getenv("PATH") ? std::getenv("PATH") : "";
    setenv("PATH", ((xdg.Root / "early").string() + ":" + (xdg.Root / "late").string()).c_str(), 1);
    const bool started = platform::SpawnDetached({"sentrel-recorder", "from PATH"});
    setenv("PATH", oldPath.c_str(), 1);
    EXPECT_TRUE(started);
    EXPECT_EQ(xdg.WaitForRecording(2), "2|one arg|$HOME;`x`\n1|from PATH\n");
}

TEST(Autostart, RemovesOnlyANextLogonEntryInsideAnAutostartFolder) {
    FakeXdg xdg;
    const std::string home = (xdg.Root / "config/autostart").string(),
                      all = (xdg.Root / "etc/autostart").string();
    struct Row {
        std::string asked;  // the option's argument
        std::string file;   // the file it names
        bool removed;
    } rows[] = {
        {home + "/a.once.desktop", home + "/a.once.desktop", true},
        {all + "/b.once.desktop", all + "/b.once.desktop", true},
        {home + "/a.desktop", home + "/a.desktop", false},
        {home + "/../c.once.desktop", (xdg.Root / "config/c.once.desktop").string(), false},
        {(xdg.Root / "d.once.desktop").string(), (xdg.Root / "d.once.desktop").string(), false},
    };
    for (const Row& r : rows) {
        FakeXdg::Put(r.file, "[Desktop Entry]\n");
        EXPECT_EQ(platform::RemoveOnceEntry(r.asked), r.removed) << r.asked;
        EXPECT_EQ(std::filesystem::exists(r.file), !r.removed) << r.asked;
    }
}
