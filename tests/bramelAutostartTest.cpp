// Start at log-on on XDG autostart entries in a fake home: what counts as an
// entry, the first write of a run keeping an entry, renaming, the
// all-users switch, the Hidden entry over an all-users one (and its move on
// a rename), the entry's text, a folder that cannot be entered, and a
// failed write raising.
#include <gtest/gtest.h>

#include "desktop/bramelAutostart.h"
#include "platform/Process.h"
#include "support/FakeXdg.h"

using desktop::TBramelAutostart;
using platform::TRunKind;
using testsupport::FakeXdg;
namespace fs = std::filesystem;

namespace {

struct Fixture : ::testing::Test {
    FakeXdg xdg;
    fs::path home = xdg.Root / "config/autostart", all = xdg.Root / "etc/autostart";
    void SetUp() override { TBramelAutostart::FirstWritePending = false; }
    static std::string Entry(const std::string& exec) {
        return "[Desktop Entry]\nType=Application\nName=Sentrel\nExec=" + exec + "\n";
    }
};

}  // namespace

TEST_F(Fixture, AnEntryCountsOnlyWithAnExecLineAndNotHidden) {
    struct Row {
        const char* why;
        std::string text;
        bool counts;
    } rows[] = {
        {"complete", Entry("/bin/sentrel"), true},
        {"empty Exec", Entry(""), false},
        {"empty file", "", false},
        {"no desktop entry group", "Exec=/bin/sentrel\n", false},
        {"hidden", Entry("/bin/sentrel") + "Hidden=true\n", false},
        {"switched off in the desktop's settings",
         Entry("/bin/sentrel") + "X-GNOME-Autostart-enabled=false\n", false},
        {"switched on in the desktop's settings", Entry("/bin/sentrel") + "X-GNOME-Autostart-enabled=true\n",
         true},
    };
    TBramelAutostart a;
    a.SetAppName("KvoSentrel");
    for (const Row& r : rows) {
        FakeXdg::Put(home / "KvoSentrel.desktop", r.text);
        EXPECT_EQ(a.autostart(), r.counts) << r.why;
    }
    fs::remove(home / "KvoSentrel.desktop");
    fs::create_directories(home / "KvoSentrel.desktop");
    EXPECT_THROW(
        {
            try {
                a.autostart();
            } catch (const platform::ERegistryException& e) {
                EXPECT_STREQ(e.what(), "Invalid data type for 'KvoSentrel'");
                throw;
            }
        },
        platform::ERegistryException);
}

TEST_F(Fixture, TheFirstWriteOfARunKeepsTheEntryWithTheCurrentPath) {
    FakeXdg::Put(home / "KvoSentrel.desktop", Entry("/old/place/sentrel"));
    TBramelAutostart a;
    a.SetAppName("KvoSentrel");
    TBramelAutostart::FirstWritePending = true;
    a.SetAutostart(false);
    EXPECT_TRUE(a.autostart());
    const std::string text = FakeXdg::Get(home / "KvoSentrel.desktop");
    EXPECT_NE(text.find("Exec=" + platform::ExecutablePath() + "\n"), std::string::npos) << text;
    EXPECT_NE(text.find("Path=" + fs::current_path().string() + "\n"), std::string::npos) << text;
    a.SetAutostart(false);
    EXPECT_FALSE(a.autostart());
    EXPECT_FALSE(fs::exists(home / "KvoSentrel.desktop"));
}

TEST_F(Fixture, EntriesQuoteThePathAndTheNextLogonOneRemovesItself) {
    const std::string run = platform::RunEntryText(TRunKind::Run, "/opt/my apps/sentrel", "/home/u/mon", "");
    EXPECT_EQ(run, Entry("\"/opt/my apps/sentrel\"") + "Path=/home/u/mon\n");
    const std::string once = platform::RunEntryText(TRunKind::RunOnce, "/opt/sentrel", "/w",
                                                    "/h/.config/autostart/Kvo Sentrel.once.desktop");
    EXPECT_NE(once.find("Exec=/opt/sentrel --remove-autostart-entry \"/h/.config/autostart/Kvo "
                        "Sentrel.once.desktop\"\n"),
              std::string::npos)
        << once;
    TBramelAutostart a;
    a.SetAppName("KvoSentrel");
    a.SetStartNextLogon(true);
    EXPECT_TRUE(a.StartNextLogon());
    EXPECT_FALSE(a.autostart());
    EXPECT_TRUE(fs::exists(home / "KvoSentrel.once.desktop"));
}

TEST_F(Fixture, RenamingMovesEveryEntryAndAnotherCaseChangesNothing) {
    for (const auto& f :
         {home / "Old.desktop", home / "Old.once.desktop", all / "Old.desktop", all / "Old.once.desktop"})
        FakeXdg::Put(f, Entry("/bin/sentrel"));
    TBramelAutostart a;
    a.SetAppName("Old");
    a.SetAppName("OLD");
    EXPECT_EQ(a.appName(), "Old");
    EXPECT_TRUE(fs::exists(home / "Old.desktop"));
    a.SetAppName("New");
    for (const auto& dir : {home, all}) {
        EXPECT_FALSE(fs::exists(dir / "Old.desktop"));
        EXPECT_FALSE(fs::exists(dir / "Old.once.desktop"));
        EXPECT_TRUE(fs::exists(dir / "New.desktop"));
        EXPECT_TRUE(fs::exists(dir / "New.once.desktop"));
    }
    EXPECT_TRUE(a.autostart());
    EXPECT_TRUE(a.StartNextLogon());
}

TEST_F(Fixture, GlobalMovesTheEntriesOnlyWhenTheAllUsersFolderIsWritable) {
    TBramelAutostart a;
    a.SetAppName("KvoSentrel");
    a.SetAutostart(true);
    FakeXdg::Put(xdg.Root / "etc", "a file where the folder should be");
    a.SetGlobal(true);
    EXPECT_FALSE(a.Global());
    EXPECT_TRUE(fs::exists(home / "KvoSentrel.desktop"));
    fs::remove(xdg.Root / "etc");
    a.SetGlobal(true);
    EXPECT_TRUE(a.Global());
    EXPECT_FALSE(fs::exists(home / "KvoSentrel.desktop"));
    EXPECT_TRUE(a.autostart());
    EXPECT_EQ(std::distance(fs::directory_iterator(all), fs::directory_iterator()), 1);  // no probe left
}

TEST_F(Fixture, SwitchingOffOverAnAllUsersEntryHidesItForTheUser) {
    FakeXdg::Put(all / "KvoSentrel.desktop", Entry("/bin/sentrel"));
    TBramelAutostart a;
    a.SetAppName("KvoSentrel");
    TBramelAutostart::FirstWritePending = true;
    a.SetAutostart(false);  // the window's design-time setting at start-up
    EXPECT_FALSE(fs::exists(home / "KvoSentrel.desktop"));
    a.SetAutostart(false);
    EXPECT_FALSE(a.autostart());
    EXPECT_NE(FakeXdg::Get(home / "KvoSentrel.desktop").find("Hidden=true\n"), std::string::npos);
    EXPECT_TRUE(fs::exists(all / "KvoSentrel.desktop"));
    a.SetAutostart(true);
    EXPECT_TRUE(a.autostart());
}

TEST_F(Fixture, AFailedWriteRaisesInsteadOfReadingFalse) {
    TBramelAutostart a;
    a.SetAppName("KvoSentrel");
    fs::create_directories(home / "KvoSentrel.desktop" / "in the way");
    try {
        a.SetAutostart(true);
        ADD_FAILURE() << "no exception";
    } catch (const platform::ERegistryException& e) {
        EXPECT_STREQ(e.what(), "Failed to set data for 'KvoSentrel'");
    }
}

// A folder that cannot be entered is a store that cannot be opened: it reads
// as no entry, silently. An entry file that cannot be read still fails.
TEST_F(Fixture, AFolderThatCannotBeEnteredReadsAsNoEntry) {
    TBramelAutostart a;
    a.SetAppName("KvoSentrel");
    fs::create_directories(home.parent_path());
    fs::create_symlink("autostart", home);  // a loop: no user can enter it
    EXPECT_FALSE(a.autostart());
    EXPECT_FALSE(a.StartNextLogon());
    a.SetAutostart(true);
    EXPECT_FALSE(a.autostart());
    fs::remove(home);
    fs::create_directories(home);
    fs::create_symlink("KvoSentrel.desktop", home / "KvoSentrel.desktop");
    try {
        a.autostart();
        ADD_FAILURE() << "no exception";
    } catch (const platform::ERegistryException& e) {
        EXPECT_STREQ(e.what(), "Failed to get data for 'KvoSentrel'");
    }
}

// A user who switched off an all-users entry stays switched off when the
// entries are renamed.
TEST_F(Fixture, RenamingMovesTheUsersHiddenEntryToo) {
    FakeXdg::Put(all / "Old.desktop", Entry("/bin/sentrel"));
    FakeXdg::Put(home / "Old.desktop", "[Desktop Entry]\nType=Application\nName=Sentrel\nHidden=true\n");
    TBramelAutostart a;
    a.SetAppName("Old");
    a.SetAppName("New");
    EXPECT_TRUE(fs::exists(all / "New.desktop"));
    EXPECT_FALSE(fs::exists(home / "Old.desktop"));
    EXPECT_NE(FakeXdg::Get(home / "New.desktop").find("Hidden=true\n"), std::string::npos);
    EXPECT_FALSE(a.autostart());
}
