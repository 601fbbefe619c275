// The window placement store: the keys it writes and their order, the
// round trip through the settings file, which stored positions it refuses,
// when it saves, quoting and word splitting, and the size limits it can put
// on its window.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QCloseEvent>
#include <QGuiApplication>
#include <QLineEdit>
#include <QScreen>
#include <QWidget>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "DesktopTestApp.h"
#include "base/Exception.h"
#include "desktop/AppUtils.h"
#include "desktop/Placemnt.h"
#include "platform/Application.h"
#include "platform/IniFile.h"
#include "platform/MessageLoop.h"

using namespace desktop;
using desktoptest::App;
namespace fs = std::filesystem;

namespace {

std::string ReadFile(const std::string& name) {
    std::ifstream in(name, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void WriteFile(const std::string& name, const std::string& text) {
    std::ofstream(name, std::ios::binary) << text;
}

// Each test runs in a folder of its own, since the settings name is relative.
class PlacementTest : public ::testing::Test {
protected:
    void SetUp() override {
        App();
        char tmpl[] = "/tmp/placemnttest.XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        old = fs::current_path();
        fs::current_path(dir);
        platform::TApplication::Host host;
        host.showError = [this](const std::string&, const std::string& text) { shown.push_back(text); };
        platform::Application().SetHost(host);
    }
    void TearDown() override {
        platform::Application().ClearHost();
        fs::current_path(old);
        fs::remove_all(dir);
    }

    // A window with the main window's placement store on it.
    struct Window {
        explicit Window(QRect at) {
            form = std::make_unique<QWidget>();
            form->setGeometry(at);
            placement = new TFormPlacement(form.get());
            placement->IniFileName = ".\\sentrel.ini";
            placement->IniSection = "form";
            placement->Options = {fpPosition};
        }
        std::unique_ptr<QWidget> form;
        TFormPlacement* placement = nullptr;
    };

    static std::string Key(const std::string& k) { return k + ResolutionTag(); }
    static std::string Value(const std::string& key) {
        return platform::TIniFile("sentrel.ini").ReadString("form", key, "<none>");
    }

    fs::path dir, old;
    std::vector<std::string> shown;
};

TEST_F(PlacementTest, FirstRunWritesTheWholeSectionInOrderAndKeepsTheRest) {
    WriteFile("sentrel.ini", "[main]\r\nHost1=www.example.com\r\n");
    Window w(QRect(100, 120, 488, 182));
    w.form->show();
    EXPECT_EQ(w.form->geometry(), QRect(100, 120, 488, 182)) << "nothing stored: as designed";
    w.form->close();
    const std::string ppi = std::to_string(ScreenPixelsPerInch());
    // The maximised position keeps the side and bottom borders off screen.
    const QPoint frame = WindowFrameSize(w.form.get());
    const std::string minMax = "-1,-1," + std::to_string(-frame.x()) + "," + std::to_string(-frame.y());
    EXPECT_EQ(ReadFile("sentrel.ini"),
              "[main]\r\nHost1=www.example.com\r\n"
              "[form]\r\n"
              "FormVersion=0\r\n"
              "Flags=0\r\n"
              "ShowCmd=1\r\n"
              "PixelsPerInch=" +
                  ppi + "\r\n" + Key("MinMaxPos") + "=" + minMax + "\r\n" + "MinMaxPos=" + minMax + "\r\n" +
                  Key("NormPos") + "=100,120,588,302\r\n" +
                  "NormPos=100,120,588,302\r\n"
                  "Visible=0\r\n");
}

TEST_F(PlacementTest, RoundTripBringsTheWindowBack) {
    {
        Window w(QRect(50, 60, 300, 200));
        w.form->show();
        w.form->setGeometry(70, 80, 420, 260);
        w.form->close();
    }
    Window again(QRect(0, 0, 100, 100));
    again.form->show();
    EXPECT_EQ(again.form->geometry(), QRect(70, 80, 420, 260));
    EXPECT_FALSE(again.form->isMaximized());
}

TEST_F(PlacementTest, StoredPositionsThatAreUsedOrRefused) {
    const std::string ppi = std::to_string(ScreenPixelsPerInch());
    const std::string other = std::to_string(ScreenPixelsPerInch() + 24);
    const QRect designed(5, 6, 300, 200);
    struct Case {
        const char* what;
        std::string section;
        QRect expected;
    } cases[] = {
        {"untagged key when this resolution has none",
         "NormPos(1024x768)=1,2,301,202\r\nNormPos=10,20,410,320\r\nPixelsPerInch=" + ppi,
         QRect(10, 20, 400, 300)},
        {"this resolution's key first",
         Key("NormPos") + "=30,40,330,240\r\nNormPos=10,20,410,320\r\nPixelsPerInch=" + ppi,
         QRect(30, 40, 300, 200)},
        {"another pixels per inch: designed position", "NormPos=10,20,410,320\r\nPixelsPerInch=" + other,
         designed},
        {"no pixels per inch stored: taken as this screen's", "NormPos=10,20,410,320",
         QRect(10, 20, 400, 300)},
        {"right not greater than left", "NormPos=400,20,400,320\r\nPixelsPerInch=" + ppi, designed},
        {"right left of left", "NormPos=400,20,100,320\r\nPixelsPerInch=" + ppi, designed},
        {"missing words default to the window's own", "NormPos=10 , 20\r\nPixelsPerInch=" + ppi,
         QRect(10, 20, 295, 186)},
        {"no position keys", "PixelsPerInch=" + ppi, designed},
        {"older layout version than the window's", "FormVersion=-1\r\nNormPos=10,20,410,320", designed},
    };
    for (const Case& c : cases) {
        WriteFile("sentrel.ini", "[form]\r\n" + c.section + "\r\n");
        Window w(designed);
        w.form->show();
        EXPECT_EQ(w.form->geometry(), c.expected) << c.what;
    }
}

// A position saved on a larger screen, or at another font size, comes back
// with the whole window, frame included, on the screen it lands on.
TEST_F(PlacementTest, PositionOffTheScreenIsBroughtOntoIt) {
    const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
    const std::string ppi = "\r\nPixelsPerInch=" + std::to_string(ScreenPixelsPerInch());
    auto at = [](int l, int t, int r, int b) {
        return "NormPos=" + std::to_string(l) + "," + std::to_string(t) + "," + std::to_string(r) + "," +
               std::to_string(b);
    };
    const int right = area.right() + 1, bottom = area.bottom() + 1;
    struct Case {
        const char* what;
        std::string section;
        QSize size;    // of the inside
        QPoint frame;  // where the frame's top left lands; x or y -1: the frame ends at the area's edge
    } cases[] = {
        {"off at the right and bottom",
         at(right + 180, bottom + 190, right + 580, bottom + 490),
         {400, 300},
         {-1, -1}},
        {"partly above and left", at(-50, -20, 350, 280), {400, 300}, {area.left(), area.top()}},
        {"larger than the screen: shrunk to it",
         at(0, 0, right + 300, bottom + 300),
         {},
         {area.left(), area.top()}},
    };
    for (const Case& c : cases) {
        WriteFile("sentrel.ini", "[form]\r\n" + c.section + ppi + "\r\n");
        Window w(QRect(5, 6, 300, 200));
        w.form->show();
        const QRect frame = w.form->frameGeometry();
        EXPECT_TRUE(area.contains(frame)) << c.what;
        if (c.size.isValid()) {
            EXPECT_EQ(w.form->size(), c.size) << c.what;
        }
        EXPECT_EQ(c.frame.x() < 0 ? frame.right() : frame.left(),
                  c.frame.x() < 0 ? area.right() : c.frame.x())
            << c.what;
        EXPECT_EQ(c.frame.y() < 0 ? frame.bottom() : frame.top(),
                  c.frame.y() < 0 ? area.bottom() : c.frame.y())
            << c.what;
    }
}

TEST_F(PlacementTest, ZeroHeightRectangleIsIgnored) {
    WriteFile("sentrel.ini", "[form]\r\nNormPos=10,320,410,320\r\n");
    Window w(QRect(5, 6, 300, 200));
    w.form->show();
    EXPECT_EQ(w.form->geometry(), QRect(5, 6, 300, 200));
}

TEST_F(PlacementTest, MaximisedWindowComesBackNormalInItsNormalRectangle) {
    {
        Window w(QRect(40, 50, 300, 200));
        w.form->show();
        w.form->showMaximized();
        w.form->close();
    }
    EXPECT_EQ(Value("NormPos"), "40,50,340,250");
    EXPECT_EQ(Value("ShowCmd"), "3");
    Window again(QRect(0, 0, 100, 100));
    again.form->show();
    EXPECT_FALSE(again.form->isMaximized());
    EXPECT_EQ(again.form->geometry(), QRect(40, 50, 300, 200));
}

TEST_F(PlacementTest, SavesOnCloseOrOnDestroyOnce) {
    {
        Window w(QRect(10, 10, 200, 100));
        w.form->show();
        w.form->close();
        EXPECT_EQ(Value("Visible"), "0");
        WriteFile("sentrel.ini", "[form]\r\nVisible=left alone\r\n");
    }
    EXPECT_EQ(Value("Visible"), "left alone") << "no second save after a close";
    {
        Window w(QRect(10, 10, 200, 100));
        w.form->show();
    }
    EXPECT_EQ(Value("Visible"), "1") << "destroyed without closing";

    fs::remove("sentrel.ini");
    { Window never(QRect(10, 10, 200, 100)); }
    EXPECT_FALSE(fs::exists("sentrel.ini")) << "a window never shown writes nothing";
}

}  // namespace

namespace kvo {
// A window class declared in a namespace, as the program's main window is.
class Tqzform : public QWidget {
    Q_OBJECT
};
}  // namespace kvo

namespace {

TEST_F(PlacementTest, DefaultSectionIsTheClassNameWithoutItsNamespace) {
    kvo::Tqzform form;
    auto* placement = new TFormPlacement(&form);
    EXPECT_EQ(placement->DefaultSectionName(), "Tqzform");
    EXPECT_EQ(placement->SectionName(), "Tqzform");
}

TEST_F(PlacementTest, RefusedCloseSavesNothing) {
    class Stubborn : public QWidget {
    protected:
        void closeEvent(QCloseEvent* e) override { e->ignore(); }
    } form;
    auto* placement = new TFormPlacement(&form);
    placement->IniFileName = "sentrel.ini";
    EXPECT_EQ(placement->SectionName(), "QWidget") << "the window's class name";
    form.show();
    form.close();
    EXPECT_FALSE(fs::exists("sentrel.ini"));
    form.hide();
}

TEST_F(PlacementTest, WriteFailureIsReportedAndTheWindowStillCloses) {
    Window w(QRect(10, 10, 200, 100));
    w.placement->IniFileName = "missing/sentrel.ini";
    w.form->show();
    w.form->close();
    EXPECT_FALSE(w.form->isVisible());
    EXPECT_EQ(shown, std::vector<std::string>{"Unable to write to missing/sentrel.ini."});
}

TEST_F(PlacementTest, OnSavePlacementFindsTheKeysInTheFile) {
    Window w(QRect(10, 10, 200, 100));
    std::string seen;
    w.placement->OnSavePlacement = [&](base::TObject*) { seen = Value("Visible"); };
    w.form->show();
    w.form->close();
    EXPECT_EQ(seen, "0");
}

// A save that could not be written is not a save: nobody hears of it, and
// the window's destruction tries again.
TEST_F(PlacementTest, FailedSaveIsNotAnnouncedAndIsTriedAgainOnDestroy) {
    int announced = 0;
    {
        Window w(QRect(10, 10, 200, 100));
        w.placement->IniFileName = "missing/sentrel.ini";
        w.placement->OnSavePlacement = [&](base::TObject*) { ++announced; };
        w.form->show();
        w.form->close();
        EXPECT_EQ(announced, 0);
        w.placement->IniFileName = "sentrel.ini";
    }
    EXPECT_EQ(announced, 1);
    EXPECT_EQ(Value("Visible"), "1");
    EXPECT_EQ(shown, std::vector<std::string>{"Unable to write to missing/sentrel.ini."});
}

TEST_F(PlacementTest, RestoreFailureIsReportedAndTheWindowStillShows) {
    Window w(QRect(10, 10, 200, 100));
    w.placement->OnRestorePlacement = [](base::TObject*) { throw base::Exception("bad section"); };
    w.form->show();
    EXPECT_TRUE(w.form->isVisible());
    EXPECT_EQ(shown, std::vector<std::string>{"bad section."});
}

TEST_F(PlacementTest, QuotedValuesComeBackAsTheyWere) {
    const struct {
        std::string in, stored;
    } cases[] = {
        {"\"both\"", "\"\"both\"\""}, {"'single'", "\"'single'\""}, {"\"only first", "\"only first"},
        {"mixed'", "mixed'"},         {"plain", "plain"},           {"", ""},
    };
    Window w(QRect(10, 10, 200, 100));
    for (const auto& c : cases) {
        EXPECT_EQ(QuoteIniValue(c.in), c.stored) << c.in;
        w.placement->WriteSectionString("form", "Caption", c.in);
        EXPECT_EQ(w.placement->ReadSectionString("form", "Caption", "?"), c.in) << c.in;
    }
}

TEST_F(PlacementTest, StateAndFocusedControlWhenAsked) {
    WriteFile("sentrel.ini", "[form]\r\nShowCmd=3\r\nActiveControl=second\r\n");
    {
        Window w(QRect(10, 10, 300, 200));
        w.placement->Options = {fpState, fpPosition, fpActiveControl};
        auto* first = new QLineEdit(w.form.get());
        first->setObjectName("first");
        auto* second = new QLineEdit(w.form.get());
        second->setObjectName("second");
        w.form->show();
        EXPECT_TRUE(w.form->isMaximized());
        EXPECT_EQ(w.form->focusWidget(), second);
        first->setFocus();
        w.form->close();
    }
    EXPECT_EQ(Value("ActiveControl"), "first");
    EXPECT_EQ(Value("ShowCmd"), "3");
    {
        Window w(QRect(10, 10, 300, 200));
        w.placement->Options = {fpPosition, fpActiveControl};
        auto* unnamed = new QLineEdit(w.form.get());
        w.form->show();
        unnamed->setFocus();
        w.form->close();
    }
    EXPECT_EQ(Value("ActiveControl"), "") << "a focused control without a name";

    // A main window stored minimised comes up and then minimises.
    WriteFile("sentrel.ini", "[form]\r\nShowCmd=2\r\n");
    Window w(QRect(10, 10, 300, 200));
    SetMainForm(w.form.get());
    w.placement->Options = {fpState};
    w.form->show();
    EXPECT_TRUE(desktoptest::RunUntil([&] { return w.form->isMinimized(); }));
    SetMainForm(nullptr);
}

TEST(PlacementNamesTest, DefaultNamesAndResolutionTag) {
    App();
    EXPECT_EQ(DefaultIniFileName(), "desktop_placemnt_test.INI");
    EXPECT_EQ(DefaultRegistryKey(), "Software\\desktop_placemnt_test");
    RegistryCompanyKey = "Kvo";
    UseApplicationTitleForKey = true;
    platform::Application().Title = "Kvo Sentrel";
    EXPECT_EQ(DefaultRegistryKey(), "Software\\Kvo\\Kvo Sentrel");
    RegistryCompanyKey.clear();
    UseApplicationTitleForKey = false;
    GetDefaultIniName = [] { return std::string("other.ini"); };
    EXPECT_EQ(DefaultIniFileName(), "other.ini");
    GetDefaultIniName = nullptr;
    const QSize screen = QGuiApplication::primaryScreen()->geometry().size();
    EXPECT_EQ(ResolutionTag(),
              "(" + std::to_string(screen.width()) + "x" + std::to_string(screen.height()) + ")");
}

TEST(PlacementWordsTest, WordsAreRunsBetweenCommasAndBlanks) {
    const struct {
        std::string s;
        int n;
        std::string word;
    } cases[] = {
        {"10,20,30,40", 4, "40"}, {" 10 ,, 20", 2, "20"}, {"10,20", 3, ""},
        {",,,", 1, ""},           {"-1,-1", 2, "-1"},
    };
    for (const auto& c : cases) EXPECT_EQ(ExtractWord(c.n, c.s, ", "), c.word) << c.s;
    EXPECT_EQ(WordCount(" 1, 2 ,3", ", "), 3);
}

TEST_F(PlacementTest, PreventResizeFixesTheSizeAndTakesTheMaximiseButton) {
    Window w(QRect(10, 10, 300, 200));
    w.form->setMinimumSize(100, 50);
    w.form->show();
    w.placement->SetPreventResize(true);
    EXPECT_TRUE(w.form->isVisible());
    EXPECT_EQ(w.form->minimumSize(), QSize(300, 200));
    EXPECT_EQ(w.form->maximumSize(), QSize(300, 200));
    EXPECT_FALSE(w.form->windowFlags() & Qt::WindowMaximizeButtonHint);
    w.placement->SetPreventResize(false);
    EXPECT_EQ(w.form->minimumSize(), QSize(100, 50)) << "the window's own limits are back";
    EXPECT_TRUE(w.form->windowFlags() & Qt::WindowMaximizeButtonHint);

    // A window that never had the button does not get one.
    Window plain(QRect(10, 10, 300, 200));
    plain.form->setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint);
    plain.form->show();
    plain.placement->SetPreventResize(true);
    plain.placement->SetPreventResize(false);
    EXPECT_FALSE(plain.form->windowFlags() & Qt::WindowMaximizeButtonHint);
}

TEST_F(PlacementTest, MinTrackWidthAloneLimitsOnlyTheWidth) {
    Window w(QRect(10, 10, 400, 200));
    w.form->setMaximumHeight(700);
    w.form->show();
    w.placement->MinMaxInfo().SetMinTrackWidth(300);
    EXPECT_EQ(w.form->minimumWidth(), 300);
    EXPECT_EQ(w.form->maximumHeight(), 700);
    w.form->resize(100, 100);
    EXPECT_EQ(w.form->width(), 300);
    w.placement->MinMaxInfo().SetMinTrackWidth(0);
    EXPECT_EQ(w.form->minimumWidth(), 0);
    EXPECT_EQ(w.placement->WinHook()->WinControl(), nullptr) << "hook let go";
    platform::ProcessMessages();
}

TEST_F(PlacementTest, AMaximisedWindowTakesMaxPosAndMaxSize) {
    Window w(QRect(10, 10, 400, 200));
    w.form->show();
    const QRect normal = w.form->geometry();
    w.placement->MinMaxInfo().SetMaxPosLeft(30);
    w.placement->MinMaxInfo().SetMaxPosTop(20);
    w.placement->MinMaxInfo().SetMaxSizeWidth(500);
    w.placement->MinMaxInfo().SetMaxSizeHeight(300);
    EXPECT_EQ(w.form->geometry(), normal) << "a window in its normal state keeps its place";
    w.form->showMaximized();
    ASSERT_TRUE(desktoptest::RunUntil([&] { return w.form->frameGeometry() == QRect(30, 20, 500, 300); }))
        << "maximised at " << w.form->frameGeometry().x() << "," << w.form->frameGeometry().y() << " "
        << w.form->frameGeometry().width() << "x" << w.form->frameGeometry().height();
    platform::ProcessMessages();
}

}  // namespace

#include "PlacemntTest.moc"
