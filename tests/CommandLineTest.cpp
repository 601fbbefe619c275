// The command line of sentrel and sentrel-cli: which run each argument list
// asks for, and what is refused.
#include <gtest/gtest.h>

#include "app/core/CommandLine.h"

using app::RunMode;
using Args = std::vector<std::string>;

TEST(CommandLine, ArgumentListsAndWhatTheyAskFor) {
    struct Case {
        Args args;
        bool window;
        std::string error;  // "" = accepted
        RunMode mode;
        Args hosts, others;
    };
    const Case cases[] = {
        {{}, true, "", RunMode::Window, {}, {}},
        {{"-style", "fusion"}, true, "", RunMode::Window, {}, {"-style", "fusion"}},
        {{}, false, "no run given (--headless or --check)", RunMode::Window, {}, {}},
        {{"--headless"}, false, "", RunMode::Headless, {}, {}},
        {{"--headless", "extra"}, true, "unknown option 'extra'", RunMode::Headless, {}, {}},
        {{"--check"}, false, "", RunMode::Check, {}, {}},
        {{"--check", "a", "-b"}, false, "", RunMode::Check, {"a", "-b"}, {}},
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
        {{"-h", "--bogus"}, false, "", RunMode::Help, {}, {}},
        {{"--check", "--help"}, true, "", RunMode::Help, {}, {}},
        {{"--remove-autostart-entry"},
         true,
         "option '--remove-autostart-entry' needs a value",
         RunMode::Window,
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
    }
    app::CommandLine cl;
    EXPECT_EQ(
        app::ParseCommandLine({"--remove-autostart-entry", "/a/x.once.desktop", "-style", "f"}, cl, true),
        "");
    EXPECT_EQ(cl.RemoveAutostartEntry, "/a/x.once.desktop");
    EXPECT_EQ(cl.Others, (Args{"-style", "f"}));
}

TEST(CommandLine, UsageNamesEveryOptionAndTheWindowOnlyForSentrel) {
    std::string window = app::UsageText("sentrel", true), cli = app::UsageText("sentrel-cli", false);
    for (const char* option : {"--headless", "--check [HOST...]", "--help"}) {
        EXPECT_NE(window.find(option), std::string::npos) << option;
        EXPECT_NE(cli.find(option), std::string::npos) << option;
    }
    EXPECT_NE(window.find("(no option)"), std::string::npos);
    EXPECT_EQ(cli.find("(no option)"), std::string::npos);
    EXPECT_EQ(cli.rfind("Usage: sentrel-cli ", 0), 0u);
}
