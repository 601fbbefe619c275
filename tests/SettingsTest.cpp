// The settings file as the configuration dialog loads and saves it: the
// defaults, the conversions, the 25 keys of a save in their order, the other
// sections kept, and a failed save that changes nothing.
#include <functional>

#include "AppFakes.h"
#include "app/core/sform.h"
#include "base/Exception.h"
#include "platform/IniFile.h"

using app::TServerForm;

namespace {
struct Loaded {
    TServerForm form;
    std::vector<std::string> hosts;
    int builds = 0;
    explicit Loaded(const std::string& ini) {
        if (!ini.empty()) PutFile("sentrel.ini", ini);
        form.OnBuildHostList = [this](std::vector<std::string> h) {
            hosts = std::move(h);
            ++builds;
        };
        form.Load();
    }
};
}  // namespace

TEST(Settings, NoFileGivesTheDefaults) {
    WorkDir d;
    Loaded l("");
    EXPECT_EQ(l.form.ServerName[0], app::kDefaultHost);
    EXPECT_TRUE(l.form.Active[0]);
    for (int i = 1; i < 10; ++i) {
        EXPECT_EQ(l.form.ServerName[i], "");
        EXPECT_FALSE(l.form.Active[i]);
    }
    EXPECT_EQ(l.form.Frequency(), 30);
    EXPECT_EQ(l.form.LogName, "status.log");
    EXPECT_FALSE(l.form.AutoStart);
    EXPECT_FALSE(l.form.StartOnBoot);
    EXPECT_EQ(l.hosts, std::vector<std::string>{app::kDefaultHost});
}

TEST(Settings, ConversionsOfLoadedValues) {
    WorkDir d;
    struct Row {
        const char* what;
        const char* value;
        int frequency;
    } rows[] = {
        {"zero is clamped to the minimum", "0", 1}, {"above the maximum is clamped", "100000001", 100000000},
        {"letters give the default", "thirty", 30}, {"hexadecimal", "0x1E", 30},
        {"dollar hexadecimal", "$1E", 30},          {"empty gives the default", "", 30},
        {"negative is clamped", "-5", 1},
    };
    for (const Row& r : rows) {
        Loaded l(std::string("[MAIN]\r\nFREQUENCY=") + r.value + "\r\n");
        EXPECT_EQ(l.form.Frequency(), r.frequency) << r.what;
    }
    Loaded l(
        "[main]\r\nServer1Name=\r\nserver3name=x\r\nserver3active=2\r\nserver4active=yes\r\n"
        "server5active=1\r\nserver6name=named but off\r\n");
    EXPECT_EQ(l.form.ServerName[0], "");  // present and empty: not the default host
    EXPECT_TRUE(l.form.Active[2]);        // any non-zero number is true
    EXPECT_FALSE(l.form.Active[3]);       // a word is the default
    // Row 1 active by default with an empty name, row 3, and row 5 with no name.
    EXPECT_EQ(l.hosts, (std::vector<std::string>{"", "x", ""}));
}

TEST(Settings, SaveWritesTheMainSectionInOrderAndKeepsTheOthers) {
    WorkDir d;
    PutFile("sentrel.ini", "[form]\r\nTop=10\r\n[main]\r\nextra=lost\r\nServer1Name=a\r\n");
    Loaded l("");
    l.form.ServerName[1] = " spaced ";
    l.form.Active[1] = true;
    l.form.SetFrequency(45);
    l.form.LogName = "other.log";
    l.form.AutoStart = true;
    bool hook = false, hookValue = true;
    l.form.ApplyStartOnBoot = [&](bool on) {
        hook = true;
        hookValue = on;
    };
    l.form.ShowModal = [] { return true; };
    l.form.ConfigurationButtonClick();
    std::string expected =
        "[form]\r\nTop=10\r\n[main]\r\ntarget=a\r\nserver1name=a\r\nserver2name= spaced \r\n";
    for (int n = 3; n <= 10; ++n) expected += "server" + std::to_string(n) + "name=\r\n";
    expected += "server1active=1\r\nserver2active=1\r\n";  // row 1 is active by default
    for (int n = 3; n <= 10; ++n) expected += "server" + std::to_string(n) + "active=0\r\n";
    expected += "logname=other.log\r\nfrequency=45\r\nstartonboot=0\r\nautostart=1\r\n";
    EXPECT_EQ(GetFile("sentrel.ini"), expected);
    EXPECT_TRUE(hook);
    EXPECT_FALSE(hookValue);
    EXPECT_EQ(l.hosts, (std::vector<std::string>{"a", " spaced "}));  // rebuilt, untrimmed

    // Read back: every value returns (text values without surrounding blanks).
    Loaded back("");
    EXPECT_EQ(back.form.ServerName[0], "a");
    EXPECT_EQ(back.form.ServerName[1], "spaced");
    EXPECT_TRUE(back.form.Active[1]);
    EXPECT_EQ(back.form.Frequency(), 45);
    EXPECT_EQ(back.form.LogName, "other.log");
    EXPECT_TRUE(back.form.AutoStart);

    // A concurrency above 1 follows the 25 keys and survives the save.
    back.form.ServerName[1] = " spaced ";
    back.form.SetConcurrency(4);
    back.form.ShowModal = [] { return true; };
    back.form.ConfigurationButtonClick();
    EXPECT_EQ(GetFile("sentrel.ini"), expected + "concurrency=4\r\n");
    EXPECT_EQ(Loaded("").form.Concurrency(), 4);
}

TEST(Settings, SaveKeepsTheProxyAndOnChangeKeysAsTheFileHasThem) {
    WorkDir d;
    PutFile("sentrel.ini",
            "[main]\r\nPROXY=socks5h://u:p@127.0.0.1:1080\r\nwebhook=https://h.invalid/T/secret\r\n"
            "Server1Name=a\r\nonchange=notify-send \"Sentrel\"\r\nfailures=3\r\n");
    Loaded l("");
    EXPECT_EQ(l.form.Proxy, "socks5h://u:p@127.0.0.1:1080");
    EXPECT_EQ(l.form.OnChange, "notify-send \"Sentrel\"");
    l.form.Proxy = "changed in memory";  // not a dialog field: the file's value stays
    l.form.OnChange = "changed too";
    l.form.Save();
    std::string saved = GetFile("sentrel.ini");
    // The alerting keys come after them, in an order of their own.
    EXPECT_NE(saved.find("autostart=0\r\nproxy=socks5h://u:p@127.0.0.1:1080\r\nonchange=notify-send "
                         "\"Sentrel\"\r\nfailures=3\r\nwebhook=https://h.invalid/T/secret\r\n"),
              std::string::npos)
        << saved;
    Loaded back("");
    EXPECT_EQ(back.form.Proxy, "socks5h://u:p@127.0.0.1:1080");
    // Without the key in the file, a save writes none.
    PutFile("sentrel.ini", "[main]\r\nServer1Name=a\r\n");
    Loaded none("");
    none.form.Save();
    EXPECT_EQ(GetFile("sentrel.ini").find("onchange"), std::string::npos);
}

// Sections [serverN] belong to pool row N. Each value that cannot be read
// fails its row with the key's name and why; the first such key wins.
TEST(Settings, HostSectionsAreReadPerRowAndABadValueIsTheRowsError) {
    const struct {
        std::string section;
        std::string error;  // "" = read
    } cases[] = {
        {"status=200, 301-308\r\ncontains=\" <b>ok\"\r\nnotcontains=oops\r\nmaxms=2000\r\ncertdays=0", ""},
        {"status=", "status in sentrel.ini: '' is not a status list such as 200,301-308"},
        {"status=200,", "status in sentrel.ini: '200,' is not a status list such as 200,301-308"},
        {"status=308-301", "status in sentrel.ini: '308-301' is not a status list such as 200,301-308"},
        {"status=99", "status in sentrel.ini: '99' is not a status list such as 200,301-308"},
        {"status=600", "status in sentrel.ini: '600' is not a status list such as 200,301-308"},
        {"contains=", "contains in sentrel.ini: the text is empty"},
        {"maxms=0x10", "maxms in sentrel.ini: '0x10' is not a number of milliseconds from 1 to 86400000"},
        {"maxms=86400001",
         "maxms in sentrel.ini: '86400001' is not a number of milliseconds from 1 to 86400000"},
        {"certdays=-1", "certdays in sentrel.ini: '-1' is not a number of days from 0 to 3650"},
        {"certdays=3651", "certdays in sentrel.ini: '3651' is not a number of days from 0 to 3650"},
        {"maxms=x\r\nstatus=1", "status in sentrel.ini: '1' is not a status list such as 200,301-308"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.section);
        WorkDir d;
        Loaded l("[main]\r\nserver2active=1\r\n[SERVER2]\r\n" + c.section + "\r\n");
        const app::THostExpect& e = l.form.Expect[1];
        EXPECT_EQ(e.Error, c.error);
        EXPECT_EQ(l.form.Expect[0].Error, "");
        ASSERT_EQ(l.form.ActiveExpectations().size(), 2u);
        EXPECT_EQ(l.form.ActiveExpectations()[1].Error, c.error);
        if (!c.error.empty()) continue;
        EXPECT_EQ(e.Status, (std::vector<app::THostExpect::Range>{{200, 200}, {301, 308}}));
        EXPECT_EQ(e.Contains, " <b>ok");
        EXPECT_EQ(e.NotContains, "oops");
        EXPECT_EQ(e.MaxMs, 2000);
        EXPECT_EQ(e.CertDays, 0);
    }
}

// The dialog does not show the host sections: its OK writes section main and
// leaves every other line as the file has it, line ends, blanks and comments
// included.
TEST(Settings, SaveKeepsTheHostSectionsByteForByte) {
    WorkDir d;
    const std::string before = "[server1]\nstatus = 200\n  contains=\"Welcome\"  ; hand-made\n\n";
    const std::string after = "[Server3]\r\nmaxms=bogus\r\n; note\rcertdays=3";
    PutFile("sentrel.ini", before + "[main]\nServer1Name=a\nold=1\n" + after);
    Loaded l("");
    l.form.ServerName[1] = "b";
    l.form.Save();
    const std::string saved = GetFile("sentrel.ini");
    // Section main goes to the end, in the file's own line ends.
    EXPECT_EQ(saved.rfind(before + after + "\n[main]\ntarget=a\nserver1name=a\nserver2name=b\n", 0), 0u)
        << saved;
    EXPECT_EQ(saved.find("old=1"), std::string::npos);
    EXPECT_EQ(l.form.Expect[2].Error.rfind("maxms in sentrel.ini: 'bogus'", 0), 0u);
}

// The history file is not the dialog's either: sentrel.db when absent, off
// when empty, and a save writes back what the file had.
TEST(Settings, HistoryKeyDefaultsToTheDatabaseAndEmptySwitchesItOff) {
    WorkDir d;
    EXPECT_EQ(Loaded("").form.History, "sentrel.db");
    Loaded off("[main]\r\nhistory=\r\n");
    EXPECT_EQ(off.form.History, "");
    off.form.Save();
    EXPECT_NE(GetFile("sentrel.ini").find("\r\nhistory=\r\n"), std::string::npos);
    EXPECT_EQ(Loaded("").form.History, "");
    PutFile("sentrel.ini", "[main]\r\nServer1Name=a\r\n");
    Loaded plain("");
    plain.form.Save();
    EXPECT_EQ(GetFile("sentrel.ini").find("history"), std::string::npos) << "nothing new in the file";
}

// certwarndays is not the dialog's: read with bounds, and a save keeps it
// when the file had it and writes nothing new when it was absent.
TEST(Settings, CertWarnDaysIsReadWithinBoundsAndKeptBySave) {
    WorkDir d;
    struct Row {
        const char* line;
        int days;
    } rows[] = {{"", 14},
                {"certwarndays=0\r\n", 0},
                {"certwarndays=-3\r\n", 0},
                {"certwarndays=99999\r\n", 3650},
                {"certwarndays=soon\r\n", 14},
                {"certwarndays=30\r\n", 30}};
    for (const Row& r : rows) {
        Loaded l(std::string("[main]\r\n") + r.line);
        EXPECT_EQ(l.form.CertWarnDays(), r.days) << r.line;
    }
    Loaded l("[main]\r\ncertwarndays=7\r\n");
    l.form.Save();
    EXPECT_NE(GetFile("sentrel.ini").find("autostart=0\r\ncertwarndays=7\r\n"), std::string::npos);
}

TEST(Settings, CancelKeepsTheFileAndTheEdits) {
    WorkDir d;
    PutFile("sentrel.ini", "[main]\r\nServer1Name=a\r\n");
    Loaded l("");
    int builds = l.builds;
    l.form.ServerName[0] = "edited";
    l.form.ShowModal = [] { return false; };
    l.form.ConfigurationButtonClick();
    EXPECT_EQ(GetFile("sentrel.ini"), "[main]\r\nServer1Name=a\r\n");
    EXPECT_EQ(l.builds, builds);
    EXPECT_EQ(l.form.ServerName[0], "edited");
}

TEST(Settings, FailedSaveRaisesAndChangesNothing) {
    struct Case {
        const char* what;
        std::function<void(TServerForm&)> prepare;
    };
    const std::vector<Case> cases{
        {"a folder where the file should be", [](TServerForm&) { fs::create_directory("sentrel.ini"); }},
        // A pasted line break would be read back as a key of its own.
        {"a line break in a field",
         [](TServerForm& f) {
             PutFile("sentrel.ini", "[main]\r\nlogname=status.log\r\n");
             f.ServerName[1] = "host\r\nlogname=/etc/passwd";
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        WorkDir d;
        Loaded l("");
        c.prepare(l.form);
        const std::string before = fs::is_regular_file("sentrel.ini") ? GetFile("sentrel.ini") : "";
        int builds = l.builds;
        bool hook = false;
        l.form.ApplyStartOnBoot = [&](bool) { hook = true; };
        try {
            l.form.Save();
            ADD_FAILURE();
        } catch (const base::Exception& e) {
            EXPECT_STREQ(e.what(), "Unable to write to .\\sentrel.ini");
        }
        EXPECT_EQ(l.builds, builds);
        EXPECT_FALSE(hook);
        if (fs::is_regular_file("sentrel.ini")) {
            EXPECT_EQ(GetFile("sentrel.ini"), before);
        }
    }
}

TEST(Settings, FieldsDropControlCharacters) {
    EXPECT_EQ(app::DropControlChars("host\r\nlogname=x"), "hostlogname=x");
    EXPECT_EQ(app::DropControlChars(std::string("a\0\tb\x1b\x7f c", 9)), "ab c");
    EXPECT_EQ(app::DropControlChars("caf\xe9.example"), "caf\xe9.example");  // Latin-1 letters stay
}

TEST(Settings, SpinFieldClampsTypedText) {
    TServerForm f;
    f.SetFrequencyText("abc");
    EXPECT_EQ(f.Frequency(), 1);
    f.SetFrequencyText("200000000");
    EXPECT_EQ(f.Frequency(), 100000000);
    f.SetFrequencyText(" 12 ");
    EXPECT_EQ(f.Frequency(), 12);
    // Out of 32 bits, but still a number out of range: the nearest bound.
    f.SetFrequencyText("99999999999");
    EXPECT_EQ(f.Frequency(), 100000000);
    f.SetFrequencyText("-99999999999");
    EXPECT_EQ(f.Frequency(), 1);
}
