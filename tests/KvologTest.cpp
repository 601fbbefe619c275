// The event log writer: the exact bytes of header and entry lines, when the
// header is written, and how failing file operations are reported.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/Exception.h"
#include "eventlog/Kvolog.h"
#include "support/SmallDisk.h"

namespace {

namespace fs = std::filesystem;
using eventlog::tKvolog;

std::tm At(int year, int month, int day, int h, int m, int s) {
    std::tm t{};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = h;
    t.tm_min = m;
    t.tm_sec = s;
    return t;
}

std::string Slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

int OpenDescriptors() {
    int n = 0;
    for (const auto& e : fs::directory_iterator("/proc/self/fd")) (void)e, ++n;
    return n;
}

// Exposes the entry step, to hand it markers the level operations never use.
class OpenKvolog : public tKvolog {
public:
    using tKvolog::WriteEntry;
};

const std::string kHeader = "----------------------  12-06-2026  QZ  Kvo Sentrel\r\n";

class KvologTest : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/kvologtest.XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        log.ProgramID = "QZ";
        log.ProgramName = "Kvo Sentrel";
        log.LogName = (dir / "status.log").string();
        log.Now = [] { return At(2026, 12, 6, 14, 3, 22); };
    }
    void TearDown() override { fs::remove_all(dir); }

    fs::path dir;
    OpenKvolog log;
};

TEST_F(KvologTest, StartsWithTheDocumentedState) {
    tKvolog fresh;
    EXPECT_EQ(fresh.ProgramName, "");
    EXPECT_EQ(fresh.ProgramID, "");
    EXPECT_EQ(fresh.LogName, "");
    EXPECT_FALSE(fresh.DebugMode);
    EXPECT_FALSE(fresh.ClearLogMode);
    EXPECT_FALSE(fresh.LogError());
    EXPECT_EQ(fresh.ErrorNumber(), 0);
    EXPECT_TRUE(fresh.Ok);
}

TEST_F(KvologTest, NewFileGetsHeaderOnceThenEntries) {
    log.WriteStart("Logging connectivity");
    log.WriteSuccess("All servers connected correctly");
    EXPECT_EQ(Slurp(log.LogName), kHeader +
                                      "- 12-06-2026  14:03:22  QZ  Logging connectivity\r\n"
                                      "> 12-06-2026  14:03:22  QZ  All servers connected correctly\r\n");
    EXPECT_TRUE(log.Ok);
    EXPECT_EQ(log.ErrorNumber(), 0);
    EXPECT_FALSE(log.LogError());
}

TEST_F(KvologTest, EachLevelWritesItsMarker) {
    struct Case {
        void (tKvolog::*op)(std::string_view);
        const char* line;
    } cases[] = {
        {&tKvolog::WriteStart, "- 12-06-2026  14:03:22  QZ  m\r\n"},
        {&tKvolog::WriteFinish, ". 12-06-2026  14:03:22  QZ  m\r\n"},
        {&tKvolog::WriteWarning, "? 12-06-2026  14:03:22  QZ  m\r\n"},
        {&tKvolog::WriteError, "! 12-06-2026  14:03:22  QZ  m\r\n"},
        {&tKvolog::WriteStatus, "@ 12-06-2026  14:03:22  QZ  m\r\n"},
        {&tKvolog::WriteSuccess, "> 12-06-2026  14:03:22  QZ  m\r\n"},
        {&tKvolog::WriteInfo, "  12-06-2026  14:03:22  QZ  m\r\n"},  // two leading blanks
    };
    std::string expected = kHeader;
    for (const auto& c : cases) {
        (log.*c.op)("m");
        expected += c.line;
    }
    EXPECT_EQ(Slurp(log.LogName), expected);
}

TEST_F(KvologTest, LineLayout) {
    const std::string longText(10000, 'x');
    struct Case {
        const char* what;
        std::string id, marker, text, line;
    } cases[] = {
        {"no identifier", "", ">", "m", "> 12-06-2026  14:03:22    m\r\n"},
        {"long identifier, never padded or cut", "SENTREL-MONITOR", ">", "m",
         "> 12-06-2026  14:03:22  SENTREL-MONITOR  m\r\n"},
        {"long message written whole", "QZ", ">", longText,
         "> 12-06-2026  14:03:22  QZ  " + longText + "\r\n"},
        {"marker cut to one character", "QZ", "!?", "m", "! 12-06-2026  14:03:22  QZ  m\r\n"},
        {"empty marker is a blank", "QZ", "", "m", "  12-06-2026  14:03:22  QZ  m\r\n"},
        {"UTF-8 as given, other bytes above 127 as \\xHH", "QZ", ">", "caf\xc3\xa9 caf\xe9 \xff",
         "> 12-06-2026  14:03:22  QZ  caf\xc3\xa9 caf\\xE9 \\xFF\r\n"},
    };
    fs::path p = dir / "existing.log";
    std::ofstream(p).close();
    log.LogName = p.string();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        fs::resize_file(p, 0);
        log.ProgramID = c.id;
        log.WriteEntry(c.marker, c.text);
        EXPECT_EQ(Slurp(p), c.line);
    }
}

TEST_F(KvologTest, ExistingEmptyFileGetsNoHeader) {
    std::ofstream(log.LogName).close();
    log.WriteError("Error accessing host: example.com");
    EXPECT_EQ(Slurp(log.LogName), "! 12-06-2026  14:03:22  QZ  Error accessing host: example.com\r\n");
}

TEST_F(KvologTest, ClearModeWritesBareTextUnderAFullHeader) {
    log.ClearLogMode = true;
    log.WriteInfo("Checking connectivity Now");
    log.WriteWarning("At least one connection failed!");
    EXPECT_EQ(Slurp(log.LogName),
              kHeader + "Checking connectivity Now\r\nAt least one connection failed!\r\n");
}

// Deleted, or moved away as logrotate's "create" does: the next entry starts a
// new file with its header, and a moved file keeps what it had.
TEST_F(KvologTest, DeletedOrRotatedFileIsCreatedAgainWithHeader) {
    for (bool rotate : {false, true}) {
        SCOPED_TRACE(rotate ? "rotated" : "deleted");
        fs::remove(log.LogName);
        log.WriteStatus("Monitoring now on");
        const std::string rotated = log.LogName + ".1";
        if (rotate)
            fs::rename(log.LogName, rotated);
        else
            fs::remove(log.LogName);
        log.WriteStatus("Monitoring now off");
        EXPECT_EQ(Slurp(log.LogName), kHeader + "@ 12-06-2026  14:03:22  QZ  Monitoring now off\r\n");
        if (rotate) {
            EXPECT_EQ(Slurp(rotated), kHeader + "@ 12-06-2026  14:03:22  QZ  Monitoring now on\r\n");
        }
    }
}

// The file is open only while a line is written: after many entries no
// descriptor is left behind.
TEST_F(KvologTest, ManyEntriesLeaveNoDescriptorOpen) {
    const int fds = OpenDescriptors();
    for (int i = 0; i < 50; ++i) log.WriteInfo("entry " + std::to_string(i));
    EXPECT_EQ(OpenDescriptors(), fds);
}

TEST_F(KvologTest, DateAndTimeArePaddedAndTheTimeIsReadFirst) {
    // Each read of the clock moves it on a day: the time comes from the
    // first read, the date from the second.
    int reads = 0;
    log.Now = [&reads] {
        ++reads;
        return At(2027, 1, reads, 7, 5, 9);
    };
    std::ofstream(log.LogName).close();
    log.WriteInfo("m");
    EXPECT_EQ(reads, 2);
    EXPECT_EQ(Slurp(log.LogName), "  01-02-2027  07:05:09  QZ  m\r\n");
}

TEST_F(KvologTest, FitField) {
    EXPECT_EQ(eventlog::FitField("ab", 4), "ab  ");
    EXPECT_EQ(eventlog::FitField("abcd", 4), "abcd");
    EXPECT_EQ(eventlog::FitField("abcdef", 4), "abcd");
    EXPECT_EQ(eventlog::FitField("", 2), "  ");
}

TEST_F(KvologTest, FailuresRaiseTheirMessageAndChangeNothing) {
    fs::create_directory(dir / "sub");
    struct Case {
        const char* what;
        std::string name;
        const char* message;
        bool opened;  // the open completed, and Ok took its outcome
    } cases[] = {
        {"missing directory", (dir / "missing" / "status.log").string(), "File not found", false},
        {"full disk on an existing file", "/dev/full", "Disk full", true},
        {"a directory of that name", (dir / "sub").string(), "Invalid filename", false},
        {"empty name", "", "Invalid filename", false},
    };
    const int fds = OpenDescriptors();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        log.LogName = c.name;
        log.Ok = false;  // the failing operation leaves it as it was
        try {
            log.WriteSuccess("lost");
            ADD_FAILURE() << "no error raised";
        } catch (const base::EInOutError& e) {
            EXPECT_STREQ(e.what(), c.message);
        }
        EXPECT_EQ(log.Ok, c.opened);
        EXPECT_EQ(log.ErrorNumber(), 0);
        EXPECT_FALSE(log.LogError());
        EXPECT_EQ(OpenDescriptors(), fds) << "the file was left open";
    }
    // The empty name created nothing.
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), {}), 1);

    // The next entry starts afresh.
    log.LogName = (dir / "status.log").string();
    log.WriteSuccess("back");
    EXPECT_TRUE(log.Ok);
    EXPECT_EQ(Slurp(log.LogName), kHeader + "> 12-06-2026  14:03:22  QZ  back\r\n");
}

TEST_F(KvologTest, FailingClockLeavesTheFileClosed) {
    log.Now = []() -> std::tm { throw std::runtime_error("no clock"); };
    const int fds = OpenDescriptors();
    EXPECT_THROW(log.WriteSuccess("lost"), std::runtime_error);
    EXPECT_EQ(OpenDescriptors(), fds);
}

TEST_F(KvologTest, ReadOnlyFolderIsAccessDenied) {
    if (geteuid() == 0) GTEST_SKIP() << "root writes into read-only folders";
    fs::create_directory(dir / "ro");
    chmod((dir / "ro").c_str(), 0555);
    log.LogName = (dir / "ro" / "status.log").string();
    try {
        log.WriteSuccess("lost");
        ADD_FAILURE() << "no error raised";
    } catch (const base::EInOutError& e) {
        EXPECT_STREQ(e.what(), "File access denied");
    }
}

TEST_F(KvologTest, LinkToMissingFileDoesNotLoopForever) {
    fs::create_symlink(dir / "target.log", dir / "link.log");
    log.LogName = (dir / "link.log").string();
    log.WriteSuccess("m");
    EXPECT_EQ(Slurp(dir / "target.log"), "> 12-06-2026  14:03:22  QZ  m\r\n");
}

// A full disk: a line cut short at the page boundary is cut back off, so the
// next line is not glued to half of it; a new file whose header could not be
// written is removed, so the next line creates it again header first.
TEST_F(KvologTest, FullDiskLeavesWholeLinesAndNoHeaderlessFile) {
    testsupport::TSmallDisk disk(2);
    if (!disk.Mounted()) GTEST_SKIP() << disk.Why();
    log.LogName = disk.File("status.log");
    log.WriteSuccess("first");
    const std::string before = Slurp(log.LogName);
    disk.Fill();  // the log's own page keeps room for the rest of it
    EXPECT_THROW(log.WriteSuccess(std::string(6000, 'x')), base::EInOutError);
    EXPECT_EQ(Slurp(log.LogName), before);
    disk.Free();
    log.WriteSuccess("second");
    EXPECT_EQ(Slurp(log.LogName), before + "> 12-06-2026  14:03:22  QZ  second\r\n");

    log.LogName = disk.File("rotated.log");
    disk.Fill();
    try {
        log.WriteSuccess("lost");
        ADD_FAILURE() << "no error raised";
    } catch (const base::EInOutError& e) {
        EXPECT_STREQ(e.what(), "Disk full");
    }
    EXPECT_FALSE(fs::exists(log.LogName));
    disk.Free();
    log.WriteSuccess("back");
    EXPECT_EQ(Slurp(log.LogName), kHeader + "> 12-06-2026  14:03:22  QZ  back\r\n");
}

// A message with CR LF or a terminal sequence cannot forge a line of its own.
TEST_F(KvologTest, ControlCharactersAreWrittenAsHex) {
    log.WriteError("Error accessing host: a\r\n> 12-06-2026  forged\x1b[2J\x7f\tend");
    log.ClearLogMode = true;
    log.WriteInfo("b\n");
    EXPECT_EQ(Slurp(log.LogName), kHeader +
                                      "! 12-06-2026  14:03:22  QZ  Error accessing host: "
                                      "a\\x0D\\x0A> 12-06-2026  forged\\x1B[2J\\x7F\tend\r\n"
                                      "b\\x0A\r\n");
}

// A link another user planted at the log's name is not written through; our
// own links and root's still are.
TEST_F(KvologTest, ForeignLinkIsNotFollowed) {
    if (geteuid() != 0) GTEST_SKIP() << "only root can give a link to another user";
    const fs::path victim = dir / "victim";
    { std::ofstream(victim) << "kept"; }
    fs::create_symlink(victim, dir / "status.log");
    ASSERT_EQ(::lchown((dir / "status.log").c_str(), 65534, 65534), 0);
    try {
        log.WriteSuccess("lost");
        ADD_FAILURE() << "no error raised";
    } catch (const base::EInOutError& e) {
        EXPECT_STREQ(e.what(), "File access denied");
    }
    EXPECT_EQ(Slurp(victim), "kept");
    ASSERT_EQ(::lchown((dir / "status.log").c_str(), 0, 0), 0);
    log.WriteSuccess("ours");
    EXPECT_EQ(Slurp(victim), "kept> 12-06-2026  14:03:22  QZ  ours\r\n");
}

}  // namespace
