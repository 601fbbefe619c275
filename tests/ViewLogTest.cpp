// The "View Log" command and the viewer window: the name in the field is
// cleaned up, a missing file changes nothing, a file is loaded afresh each
// time, and a file that cannot be read leaves the viewer as it was.
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <QApplication>
#include <QCloseEvent>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>

#include "app/core/ViewLog.h"
#include "app/core/dStrings.h"
#include "ads/Advertisement.h"
#include "app/gui/viewform.h"
#include "base/Exception.h"

namespace {

namespace fs = std::filesystem;

TEST(StripTest, TakesTheCharacterOffBothEndsOnly) {
    struct Case {
        const char* what;
        std::string in;
        char c;
        std::string out;
    } cases[] = {
        {"both ends", "  status.log  ", ' ', "status.log"},
        {"inner blanks kept", " my log.txt ", ' ', "my log.txt"},
        {"only blanks", "    ", ' ', ""},
        {"empty", "", ' ', ""},
        {"tabs are not blanks", "\t status.log \t", ' ', "\t status.log \t"},
        {"other character", "xxaxbxx", 'x', "axb"},
        {"nothing to strip", "status.log", ' ', "status.log"},
    };
    for (const auto& c : cases) EXPECT_EQ(app::Strip(c.in, c.c), c.out) << c.what;
}

class FakeViewer : public app::LogViewer {
public:
    void SetText(std::string t) override { text = std::move(t); }
    void ShowViewer() override { ++shown; }
    std::string text = "previous";
    int shown = 0;
};

// Runs each test in a folder of its own, since the log name is relative.
class ViewLogTest : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/viewlogtest.XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        old = fs::current_path();
        fs::current_path(dir);
    }
    void TearDown() override {
        fs::current_path(old);
        fs::remove_all(dir);
    }
    void Click() {
        app::ViewLogButtonClick(
            field, [this](const std::string& s) { status.push_back(s); }, viewer);
    }
    static void Append(const std::string& name, const std::string& bytes) {
        std::ofstream(name, std::ios::binary | std::ios::app) << bytes;
    }

    fs::path dir, old;
    std::string field;
    std::vector<std::string> status;
    FakeViewer viewer;
};

TEST_F(ViewLogTest, MissingFileOnlyCleansTheField) {
    struct Case {
        const char* what;
        std::string in, out;
    } cases[] = {
        {"blanks around", "  status.log  ", "status.log"},
        {"blanks only", "   ", "status.log"},
        {"empty", "", "status.log"},
        {"other name", " other.log", "other.log"},
    };
    for (const auto& c : cases) {
        field = c.in;
        Click();
        EXPECT_EQ(field, c.out) << c.what;
    }
    EXPECT_TRUE(status.empty());
    EXPECT_EQ(viewer.text, "previous");
    EXPECT_EQ(viewer.shown, 0);
}

TEST_F(ViewLogTest, EachClickLoadsTheFileAfresh) {
    Append("status.log", "first\r\n");
    field = " status.log ";
    Click();
    EXPECT_EQ(field, "status.log");
    EXPECT_EQ(status, std::vector<std::string>{"loading log into viewer"});
    EXPECT_EQ(viewer.text, "first\r\n");
    Append("status.log", "second \xe9\r\n");
    Click();
    EXPECT_EQ(viewer.text, "first\r\nsecond \xe9\r\n");
    EXPECT_EQ(viewer.shown, 2);
}

TEST_F(ViewLogTest, UnreadableFileRaisesAndKeepsTheViewer) {
    // A directory of the log's name exists but holds no text; so does a
    // file without read permission when not run as root.
    fs::create_directory("status.log");
    field = "";
    try {
        Click();
        ADD_FAILURE() << "no error raised";
    } catch (const base::EFOpenError& e) {
        EXPECT_STREQ(e.what(), "Cannot open file status.log");
    }
    EXPECT_EQ(viewer.text, "previous");
    EXPECT_EQ(viewer.shown, 0);

    if (geteuid() != 0) {
        Append("locked.log", "x");
        chmod("locked.log", 0);
        field = "locked.log";
        EXPECT_THROW(Click(), base::EFOpenError);
        EXPECT_EQ(viewer.text, "previous");
    }
}

// A log longer than the viewer's limit: its last complete lines, after one
// line saying how much was left out; a shorter one whole.
TEST_F(ViewLogTest, LongLogShowsOnlyItsEnd) {
    struct Case {
        const char* what;
        std::string file;
        std::size_t limit;
        std::string shown;
    } cases[] = {
        {"within the limit", "a\r\nb\r\n", 6, "a\r\nb\r\n"},
        {"cut inside a line", "first\r\nsecond\r\nthird\r\n", 10,
         "[15 bytes at the start of status.log are not shown; this is its last part]\r\nthird\r\n"},
        {"cut just after a line end", "first\r\nsecond\r\nthird\r\n", 15,
         "[7 bytes at the start of status.log are not shown; this is its last part]\r\nsecond\r\nthird\r\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove("status.log");
        Append("status.log", c.file);
        EXPECT_EQ(app::ReadLogFile("status.log", c.limit), c.shown);
    }
    // The default limit is 4 MiB.
    fs::remove("status.log");
    const std::string line(99, 'x');
    std::string big;
    while (big.size() < app::kViewLimit + 1000) big += line + "\r\n";
    Append("status.log", big + "newest\r\n");
    const std::string shown = app::ReadLogFile("status.log");
    EXPECT_LE(shown.size(), app::kViewLimit + 100);
    EXPECT_EQ(shown.rfind("[", 0), 0u);
    EXPECT_EQ(shown.substr(shown.size() - 8), "newest\r\n");
}

QApplication& App() {
    static int argc = 1;
    static char name[] = "app_viewlog_test";
    static char* argv[] = {name, nullptr};
    static QApplication app(argc, argv);
    return app;
}

TEST(LogViewTest, WindowLayout) {
    App();
    app::TLogView view;
    EXPECT_EQ(view.windowTitle(), "Log Viewer");
    EXPECT_EQ(view.size(), QSize(600, 480));
    EXPECT_EQ(view.minimumWidth(), 600);
    EXPECT_FALSE(view.isVisible());
    EXPECT_EQ(view.logtext->font().family(), "Courier New");
    EXPECT_EQ(view.logtext->font().pointSize(), 10);
    EXPECT_EQ(view.logtext->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
    EXPECT_EQ(view.logtext->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
    EXPECT_EQ(view.logtext->lineWrapMode(), QPlainTextEdit::WidgetWidth);
    EXPECT_FALSE(view.logtext->isReadOnly());
    EXPECT_EQ(view.CloseButton->text(), "Close");
    EXPECT_TRUE(view.CloseButton->isDefault());
    EXPECT_EQ(view.BannerArea->size(), QSize(468, 60));
}

TEST(LogViewTest, CloseButtonAndCloseBoxBothClearAndHide) {
    App();
    app::TLogView view;
    for (int byBox = 0; byBox < 2; ++byBox) {
        view.SetText("> caf\xe9\r\n");
        view.ShowViewer();
        ASSERT_TRUE(view.isVisible());
        EXPECT_EQ(view.logtext->toPlainText(), QString::fromLatin1("> caf\xe9\n"));
        if (byBox)
            view.close();
        else
            view.CloseButton->click();
        EXPECT_FALSE(view.isVisible());
        EXPECT_TRUE(view.logtext->toPlainText().isEmpty());
    }
}

// A long text goes in piece by piece: SetText returns at once, the loop runs
// between pieces, and the view ends on the newest line.
TEST(LogViewTest, LongTextLoadsInPiecesAndEndsOnTheNewestLine) {
    App();
    app::TLogView view;
    std::string text;
    for (int i = 0; text.size() < 2 * 1024 * 1024; ++i) text += "> line " + std::to_string(i) + "\r\n";
    text += "> newest\r\n";
    view.SetText(text);
    view.ShowViewer();
    EXPECT_TRUE(view.Loading());
    int turns = 0;
    while (view.Loading() && turns < 10000) {
        QApplication::processEvents();
        ++turns;
    }
    EXPECT_GT(turns, 1);
    EXPECT_FALSE(view.Loading());
    EXPECT_TRUE(view.logtext->toPlainText().endsWith("> newest\n"));
    QApplication::processEvents();
    EXPECT_EQ(view.logtext->verticalScrollBar()->value(), view.logtext->verticalScrollBar()->maximum());
    EXPECT_GT(view.logtext->verticalScrollBar()->maximum(), 0);
    // Closing during a load stops it.
    view.SetText(text);
    view.CloseButton->click();
    QApplication::processEvents();
    EXPECT_TRUE(view.logtext->toPlainText().isEmpty());
}

}  // namespace
