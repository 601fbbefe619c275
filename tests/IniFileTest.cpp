// The INI reader and writer: case-blind names, trimmed and unquoted values,
// the integer forms, key and section placement, erasing, and a save that is
// written whole so a failed one leaves the old file as it was.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "base/Exception.h"
#include "platform/IniFile.h"

using platform::TIniFile;
namespace fs = std::filesystem;

namespace {

struct TempDir {
    fs::path path;
    TempDir() {
        char tmpl[] = "/tmp/sentrel-ini-XXXXXX";
        path = mkdtemp(tmpl);
    }
    ~TempDir() { fs::remove_all(path); }
    std::string File(const std::string& name) const { return (path / name).string(); }
};

void Put(const std::string& file, const std::string& text) {
    std::ofstream(file, std::ios::binary) << text;
}
std::string Get(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

}  // namespace

TEST(IniFile, ReadsCaseBlindTrimmedUnquotedValuesWithEveryLineEnd) {
    TempDir d;
    Put(d.File("a.ini"),
        "[Main]\r\n  Server1Name =  example.org  \r\nQuoted=\" spaced "
        "\"\nEmpty=\r[FORM]\nTop=12\n[main]\nlate=1\n");
    TIniFile ini(d.File("a.ini"));
    EXPECT_EQ(ini.ReadString("main", "server1name", "x"), "example.org");
    EXPECT_EQ(ini.ReadString("MAIN", "quoted", "x"), " spaced ");
    EXPECT_EQ(ini.ReadString("main", "empty", "x"), "");  // present but empty
    EXPECT_EQ(ini.ReadString("main", "missing", "def"), "def");
    EXPECT_EQ(ini.ReadInteger("form", "TOP", 0), 12);
    EXPECT_EQ(ini.ReadString("main", "late", "first section wins"), "first section wins");
    EXPECT_EQ(ini.ReadSection("form"), (std::vector<std::string>{"Top"}));
}

TEST(IniFile, IntegerAndBooleanForms) {
    TempDir d;
    Put(d.File("a.ini"),
        "[m]\ndec=30\nhex=0x1E\nHEX=0X1e\ndollar=$1E\nneg=-5\nword=abc\nempty=\nmixed=12ab\nbig=99999999999\n"
        "two=2\nzero=0\n");
    TIniFile ini(d.File("a.ini"));
    struct Row {
        const char* key;
        int expected;
    } rows[] = {{"dec", 30},  {"hex", 30},  {"dollar", 30}, {"neg", -5}, {"word", 7},
                {"empty", 7}, {"mixed", 7}, {"big", 7},     {"nokey", 7}};
    for (const Row& r : rows) EXPECT_EQ(ini.ReadInteger("m", r.key, 7), r.expected) << r.key;
    EXPECT_TRUE(ini.ReadBool("m", "two", false));  // any non-zero is true
    EXPECT_FALSE(ini.ReadBool("m", "zero", true));
    EXPECT_FALSE(ini.ReadBool("m", "word", false));  // not a number: the default
    EXPECT_TRUE(ini.ReadBool("m", "word", true));
}

TEST(IniFile, WritesKeepOtherSectionsAndOrder) {
    TempDir d;
    std::string f = d.File("a.ini");
    Put(f, "; kept comment\r\n[form]\r\nLeft=5\r\n\r\n[main]\r\nold=1\r\n");
    TIniFile ini(f);
    ini.EraseSection("MAIN");
    ini.WriteString("main", "target", "a");
    ini.WriteInteger("main", "frequency", 30);
    ini.WriteBool("main", "autostart", true);
    ini.WriteString("form", "Top", "7");
    ini.UpdateFile();
    EXPECT_EQ(
        Get(f),
        "; kept "
        "comment\r\n[form]\r\nLeft=5\r\nTop=7\r\n\r\n[main]\r\ntarget=a\r\nfrequency=30\r\nautostart=1\r\n");
    TIniFile back(f);
    EXPECT_EQ(back.ReadString("main", "old", "gone"), "gone");
    EXPECT_EQ(back.ReadInteger("main", "FREQUENCY", 0), 30);
}

TEST(IniFile, FailedSaveLeavesTheOldFileWhole) {
    TempDir d;
    std::string f = d.File("a.ini");
    Put(f, "[main]\r\nx=1\r\n");
    TIniFile ini(f);
    ini.WriteString("main", "x", "2");
    // A folder where the temporary file would go: make the folder unwritable by
    // putting the file name under a path that is not a folder.
    TIniFile bad(d.File("a.ini") + "/sub.ini");
    bad.WriteString("main", "x", "2");
    try {
        bad.UpdateFile();
        FAIL() << "a save into a path that cannot exist must fail";
    } catch (const base::Exception& e) {
        EXPECT_EQ(std::string(e.what()), "Unable to write to " + d.File("a.ini") + "/sub.ini");
    }
    EXPECT_EQ(Get(f), "[main]\r\nx=1\r\n");
    // No temporary file is left behind.
    int files = 0;
    for (auto& e : fs::directory_iterator(d.path)) (void)e, ++files;
    EXPECT_EQ(files, 1);
}

// A value with a line break would come back as keys of its own (a pasted
// "\nlogname=..." took over the log's path); every control character is
// refused before anything changes.
TEST(IniFile, ValuesWithControlCharactersAreRefused) {
    TempDir d;
    const std::string f = d.File("a.ini");
    for (const std::string& bad :
         {std::string("a\r\nlogname=/etc/x"), std::string("a\nb"), std::string("a\rb"),
          std::string("a\0b", 3), std::string("a\tb"), std::string("a\x1b[2Jb"), std::string("a\x7f")}) {
        SCOPED_TRACE(bad);
        TIniFile ini(f);
        EXPECT_THROW(ini.WriteString("main", "server1name", bad), base::Exception);
        EXPECT_THROW(ini.WriteString("main", bad, "x"), base::Exception);
        EXPECT_EQ(ini.Text(), "");
    }
    // Names that would read back as another key, a comment or another section.
    struct Name {
        const char* section;
        const char* key;
    } names[] = {{"main", "a=b"}, {"main", ";note"}, {"main", " [other]"}, {"ma]in", "k"}};
    for (const Name& n : names) {
        SCOPED_TRACE(std::string(n.section) + "/" + n.key);
        TIniFile ini(f);
        EXPECT_THROW(ini.WriteString(n.section, n.key, "x"), base::Exception);
        EXPECT_EQ(ini.Text(), "");
    }
    TIniFile ini(f);
    ini.WriteString("main", "a;b[c]", "x");  // only a leading ';' or '[' misleads the reader
    EXPECT_EQ(ini.ReadString("main", "a;b[c]", ""), "x");
}

// What a save does to the files around it: the file's mode is kept, a symlink
// is saved through to its target, no temporary file is left behind, and the
// leftovers of saves killed before their rename are removed once their
// process is gone.
TEST(IniFile, SaveKeepsModeLinksAndLeavesNoTemporaryFiles) {
    TempDir d;
    const std::string f = d.File("sentrel.ini");
    pid_t dead = fork();
    if (dead == 0) _exit(0);
    waitpid(dead, nullptr, 0);
    Put(f, "[main]\r\nx=1\r\n");
    ::chmod(f.c_str(), 0604);
    Put(f + ".tmp-" + std::to_string(dead), "killed save");
    Put(f + ".tmp-" + std::to_string(dead) + "-a1B2c3", "killed save, named by mkstemp");
    Put(f + ".tmp-1", "a save in progress in a process that still runs");
    {
        TIniFile ini(f);
        ini.WriteString("main", "x", "2");
        ini.UpdateFile();
    }
    struct stat st {};
    ASSERT_EQ(::lstat(f.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0604u);
    std::vector<std::string> names;
    for (auto& e : fs::directory_iterator(d.path)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"sentrel.ini", "sentrel.ini.tmp-1"}));

    // A link, relative, into another folder: the target is replaced beside
    // itself and the link stays a link.
    fs::create_directory(d.path / "real");
    const std::string target = d.File("real/sentrel.ini");
    Put(target, "[main]\r\nx=1\r\n");
    ::chmod(target.c_str(), 0600);
    const std::string link = d.File("link.ini");
    fs::create_symlink("real/sentrel.ini", link);
    // The leftovers that count are the target's, not the link's.
    Put(target + ".tmp-" + std::to_string(dead), "killed save of the target");
    {
        TIniFile ini(link);
        ini.WriteString("main", "x", "3");
        ini.UpdateFile();
    }
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(Get(target), "[main]\r\nx=3\r\n");
    ASSERT_EQ(::stat(target.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_EQ(std::distance(fs::directory_iterator(d.path / "real"), fs::directory_iterator()), 1);

    // A link on another file system than its target: the temporary file is
    // made beside the target, since a rename cannot cross file systems.
    char shm[] = "/dev/shm/sentrel-ini-XXXXXX";
    struct stat here {
    }, there{};
    if (::mkdtemp(shm) == nullptr) return;
    const std::string away = std::string(shm) + "/away.ini";
    fs::create_symlink(target, away);
    if (::stat(shm, &there) == 0 && ::stat(d.path.c_str(), &here) == 0 && here.st_dev != there.st_dev) {
        TIniFile ini(away);
        ini.WriteString("main", "x", "4");
        EXPECT_NO_THROW(ini.UpdateFile());
        EXPECT_EQ(Get(target), "[main]\r\nx=4\r\n");
    }
    fs::remove_all(shm);
}

// A save in a folder others share: a link another user planted is not
// written through, a device or a folder at the name is refused instead of
// replaced, and the temporary file is never one somebody else could have
// made first.
TEST(IniFile, SaveRefusesForeignLinksAndFilesThatAreNotRegular) {
    TempDir d;
    {
        TIniFile ini("/dev/null");
        ini.WriteString("main", "x", "1");
        EXPECT_THROW(ini.UpdateFile(), base::Exception);
    }
    struct stat st {};
    ASSERT_EQ(::stat("/dev/null", &st), 0);
    EXPECT_TRUE(S_ISCHR(st.st_mode));
    fs::create_directory(d.path / "dir.ini");
    TIniFile folder(d.File("dir.ini"));
    folder.WriteString("main", "x", "1");
    EXPECT_THROW(folder.UpdateFile(), base::Exception);
    EXPECT_TRUE(fs::is_directory(d.path / "dir.ini"));

    if (geteuid() != 0) GTEST_SKIP() << "only root can give a link to another user";
    const std::string victim = d.File("victim");
    Put(victim, "root's own");
    const std::string link = d.File("sentrel.ini");
    fs::create_symlink(victim, link);
    ASSERT_EQ(::lchown(link.c_str(), 65534, 65534), 0);
    TIniFile ini(link);
    ini.WriteString("main", "x", "1");
    EXPECT_THROW(ini.UpdateFile(), base::Exception);
    EXPECT_EQ(Get(victim), "root's own");
    ASSERT_EQ(::lchown(link.c_str(), 0, 0), 0);  // root's link is followed
    ini.UpdateFile();
    EXPECT_EQ(Get(victim), "root's own\r\n[main]\r\nx=1\r\n");
    EXPECT_TRUE(fs::is_symlink(link));
}
