// The command line of sentrel and sentrel-cli: which run each argument list
// asks for, and what is refused.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>

#include "app/cli/CommandLine.h"
#include "app/cli/WorkFolder.h"

using app::RunMode;
using Args = std::vector<std::string>;

TEST(CommandLine, ArgumentListsAndWhatTheyAskFor) {
    struct Case {
        Args args;
        bool window;
        std::string error;  // "" = accepted
        RunMode mode;
        Args hosts, others;
        std::vector<app::WorkFolderChoice> folders = {};
    };
    const Case cases[] = {
        {{}, true, "", RunMode::Window, {}, {}},
        {{"-style", "fusion"}, true, "", RunMode::Window, {}, {"-style", "fusion"}},
        {{}, false, "no run given (--headless or --check)", RunMode::Window, {}, {}},
        {{"--headless"}, false, "", RunMode::Headless, {}, {}},
        {{"--headless", "extra"}, true, "unknown option 'extra'", RunMode::Headless, {}, {}},
        {{"--check"}, false, "", RunMode::Check, {}, {}},
        // After --check a single dash starts an option too, never a host.
        {{"--check", "a", "-b"}, false, "unknown option '-b'", RunMode::Check, {}, {}},
        {{"--check", "-v", "a"}, false, "", RunMode::Check, {"a"}, {}},
        {{"--check", "--contains", "x"},
         false,
         "option '--contains' applies to the hosts given after it, with --check",
         RunMode::Check,
         {},
         {}},
        {{"--max-ms", "5", "a"},
         true,
         "option '--max-ms' applies to the hosts given after it, with --check",
         RunMode::Window,
         {},
         {}},
        {{"--check", "--max-ms", "0", "a"},
         false,
         "option '--max-ms': '0' is not a number of milliseconds from 1 to 86400000",
         RunMode::Check,
         {},
         {}},
        {{"--check", "--expect-status=2xx", "a"},
         false,
         "option '--expect-status': '2xx' is not a status list such as 200,301-308",
         RunMode::Check,
         {},
         {}},
        {{"--check", "--contains=", "a"},
         false,
         "option '--contains': the text is empty",
         RunMode::Check,
         {},
         {}},
        {{"-v", "--headless"}, false, "option '--verbose' goes with --check", RunMode::Headless, {}, {}},
        {{"a", "--check", "b"}, true, "", RunMode::Check, {"a", "b"}, {}},
        {{"--check", "a", "--bogus"}, false, "unknown option '--bogus'", RunMode::Check, {}, {}},
        {{"--bogus"}, true, "unknown option '--bogus'", RunMode::Window, {}, {}},
        {{"--help=x"}, true, "unknown option '--help=x'", RunMode::Window, {}, {}},
        {{"--headless", "--check"},
         false,
         "option '--check' cannot be combined with another run",
         RunMode::Headless,
         {},
         {}},
        {{"--report", "--since", "7d", "--json"}, false, "", RunMode::Report, {}, {}},
        {{"--report", "7d"}, false, "unknown option '7d'", RunMode::Report, {}, {}},
        {{"--check", "--json"}, false, "option '--json' goes only with --report", RunMode::Check, {}, {}},
        {{"--since=1d", "--headless"},
         false,
         "option '--since' goes only with --report",
         RunMode::Headless,
         {},
         {}},
        {{"--check", "--history", "a"}, false, "", RunMode::Check, {"a"}, {}},
        {{"--history", "--headless"},
         false,
         "option '--history' goes only with --check",
         RunMode::Headless,
         {},
         {}},
        {{"-h", "--bogus"}, false, "", RunMode::Help, {}, {}},
        {{"--check", "--help"}, true, "", RunMode::Help, {}, {}},
        {{"-V", "--bogus"}, false, "", RunMode::Version, {}, {}},
        {{"--version"}, true, "", RunMode::Version, {}, {}},
        {{"-C", "/srv/m", "--check", "a"}, false, "", RunMode::Check, {"a"}, {}, {{"/srv/m", false}}},
        {{"--directory=rel", "--headless", "-C", "x"},
         false,
         "",
         RunMode::Headless,
         {},
         {},
         {{"rel"}, {"x"}}},
        {{"--user-folder", "-style", "f"},
         true,
         "",
         RunMode::Window,
         {},
         {"-style", "f"},
         {{app::UserFolder(), true}}},
        {{"--headless", "-C"}, false, "option '--directory' needs a value", RunMode::Headless, {}, {}},
        {{"--headless", "-C", ""}, false, "option '--directory' needs a folder", RunMode::Headless, {}, {}},
        {{"--headless", "--metrics-listen"},
         false,
         "option '--metrics-listen' needs a value",
         RunMode::Headless,
         {},
         {}},
        {{"--metrics-file="}, true, "option '--metrics-file' needs a value", RunMode::Window, {}, {}},
        {{"--check", "--metrics-file", "m.prom"},
         false,
         "option '--metrics-file' does not go with --check",
         RunMode::Check,
         {},
         {}},
        {{"--remove-autostart-entry"},
         true,
         "option '--remove-autostart-entry' needs a value",
         RunMode::Window,
         {},
         {}},
        {{"--headless", "--concurrency", "100"}, false, "", RunMode::Headless, {}, {}},
        {{"--headless", "--concurrency", "0"},
         false,
         "option '--concurrency' needs a number from 1 to 100",
         RunMode::Headless,
         {},
         {}},
        {{"--headless", "--concurrency=101"},
         false,
         "option '--concurrency' needs a number from 1 to 100",
         RunMode::Headless,
         {},
         {}},
        {{"--remove-autostart-entry="},
         true,
         "option '--remove-autostart-entry' needs a value",
         RunMode::Window,
         {},
         {}},
    };
    for (const auto& c : cases) {
        std::string name;
        for (const auto& a : c.args) name += a + " ";
        SCOPED_TRACE(name + (c.window ? "(sentrel)" : "(sentrel-cli)"));
        app::CommandLine cl;
        EXPECT_EQ(app::ParseCommandLine(c.args, cl, c.window), c.error);
        if (!c.error.empty()) continue;
        EXPECT_EQ(cl.Mode, c.mode);
        EXPECT_EQ(cl.Hosts, c.hosts);
        EXPECT_EQ(cl.Others, c.others);
        EXPECT_TRUE(cl.Folders == c.folders);
    }
    app::CommandLine cl;
    EXPECT_EQ(app::ParseCommandLine({"--metrics-listen", ":9100", "--headless", "--metrics-file=m.prom"}, cl,
                                    false),
              "");
    EXPECT_EQ(cl.MetricsListen, ":9100");
    EXPECT_EQ(cl.MetricsFile, "m.prom");
    cl = {};
    EXPECT_EQ(
        app::ParseCommandLine({"--remove-autostart-entry", "/a/x.once.desktop", "-style", "f"}, cl, true),
        "");
    EXPECT_EQ(cl.RemoveAutostartEntry, "/a/x.once.desktop");
    EXPECT_EQ(cl.Others, (Args{"-style", "f"}));
    cl = {};
    EXPECT_EQ(app::ParseCommandLine({"--concurrency", "100", "--headless"}, cl, false), "");
    EXPECT_EQ(cl.Concurrency, 100);
}

// An expectation holds for every host given after it, until the same option
// is given again; hosts before it expect nothing.
TEST(CommandLine, ExpectationsApplyToTheHostsAfterThem) {
    app::CommandLine cl;
    ASSERT_EQ(
        app::ParseCommandLine({"--check", "a", "--expect-status", "200,301-308", "--contains", "ok", "b",
                               "--max-ms=250", "--not-contains", "oops", "c", "--contains", "fine", "d"},
                              cl, false),
        "");
    ASSERT_EQ(cl.Hosts, (Args{"a", "b", "c", "d"}));
    ASSERT_EQ(cl.HostExpect.size(), 4u);
    EXPECT_TRUE(cl.HostExpect[0].Status.empty());
    EXPECT_FALSE(cl.HostExpect[0].HasContains);
    EXPECT_EQ(cl.HostExpect[1].Status, (std::vector<app::THostExpect::Range>{{200, 200}, {301, 308}}));
    EXPECT_EQ(cl.HostExpect[1].Contains, "ok");
    EXPECT_EQ(cl.HostExpect[1].MaxMs, 0);
    EXPECT_EQ(cl.HostExpect[2].MaxMs, 250);
    EXPECT_EQ(cl.HostExpect[2].NotContains, "oops");
    EXPECT_EQ(cl.HostExpect[3].Contains, "fine");
    EXPECT_EQ(cl.HostExpect[3].StatusText, "200,301-308");
}

// XDG_CONFIG_HOME counts only when it is an absolute path.
TEST(CommandLine, UserFolderFollowsXdgConfigHome) {
    const char* home = std::getenv("HOME");
    const std::string fallback = std::string(home ? home : "") + "/.config/sentrel";
    const struct {
        const char* xdg;  // nullptr: unset
        std::string folder;
    } cases[] = {
        {"/x/cfg", "/x/cfg/sentrel"}, {"/x/cfg/", "/x/cfg/sentrel"}, {"", fallback},
        {"relative/cfg", fallback},   {nullptr, fallback},
    };
    const char* saved = std::getenv("XDG_CONFIG_HOME");
    const std::string keep = saved ? saved : "";
    for (const auto& c : cases) {
        if (c.xdg)
            setenv("XDG_CONFIG_HOME", c.xdg, 1);
        else
            unsetenv("XDG_CONFIG_HOME");
        EXPECT_EQ(app::UserFolder(), c.folder) << (c.xdg ? c.xdg : "(unset)");
    }
    if (saved)
        setenv("XDG_CONFIG_HOME", keep.c_str(), 1);
    else
        unsetenv("XDG_CONFIG_HOME");

    // The folder --user-folder makes is the user's alone, parents included.
    char tmpl[] = "/tmp/sentrel-user-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    const std::string made = std::string(tmpl) + "/cfg/sentrel";
    const auto here = std::filesystem::current_path();
    const mode_t mask = umask(0);
    const std::string error = app::EnterFolder(made, true);
    umask(mask);
    std::filesystem::current_path(here);
    EXPECT_EQ(error, "");
    struct stat st {};
    ASSERT_EQ(stat(made.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    std::filesystem::remove_all(tmpl);
}

TEST(CommandLine, UsageNamesEveryOptionAndTheWindowOnlyForSentrel) {
    std::string window = app::UsageText("sentrel", true), cli = app::UsageText("sentrel-cli", false);
    for (const char* option : {"--headless", "--check [HOST...]", "--help", "--metrics-listen ADDR:PORT",
                               "--expect-status LIST", "--contains TEXT", "--max-ms N", "--verbose"}) {
        EXPECT_NE(window.find(option), std::string::npos) << option;
        EXPECT_NE(cli.find(option), std::string::npos) << option;
    }
    EXPECT_NE(window.find("(no option)"), std::string::npos);
    EXPECT_EQ(cli.find("(no option)"), std::string::npos);
    EXPECT_EQ(cli.rfind("Usage: sentrel-cli ", 0), 0u);
}
