// Tests of help pages: the index lookup and the choice of viewer.
#include "jexlink/messages/JexHelp.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "testing/support/MessagesTestSupport.h"

namespace {

struct Shown {
    int mode;
    std::string page;
};
std::vector<Shown> shown;

void Watch(int mode, const JexString& page) { shown.push_back({mode, page.Text()}); }

class JexHelpTest : public testing::Test {
protected:
    void SetUp() override {
        shown.clear();
        JexHelp::SetViewerForTest(Watch);
        dir.Write("index.dat",
                  "# help index\n"
                  "Connect connect.html\n"
                  "connect second.html\n"
                  "Mail \"mail page.html\"\n");
        ASSERT_TRUE(tavro::testing::WriteText(JexConfig::kGlobalParameters, "File.HelpIndex",
                                              dir.Path("index.dat")));
    }
    void TearDown() override {
        JexHelp::SetViewerForTest(nullptr);
        unsetenv("DISPLAY");
    }

    tavro::testing::CatalogDir dir;
};

TEST_F(JexHelpTest, NamesAreMappedToPagesThroughTheIndex) {
    struct Case {
        const char* name;
        const char* page;
    } cases[] = {
        {"CONNECT", "connect.html"},  // the first line of any case wins
        {"mail", "mail page.html"},
        {"Missing", "Missing"},  // shown as given
        {"", ""},
    };
    JexHelp help(JexHelp::kTextViewer);
    for (const Case& c : cases) {
        shown.clear();
        help.ShowPage(c.name);
        ASSERT_EQ(shown.size(), 1u);
        EXPECT_EQ(shown[0].mode, JexHelp::kTextViewer);
        EXPECT_EQ(shown[0].page, c.page) << c.name;
    }
}

TEST_F(JexHelpTest, WithoutAnIndexTheNameIsThePage) {
    ASSERT_TRUE(tavro::testing::WriteText(JexConfig::kGlobalParameters, "File.HelpIndex",
                                          dir.Path("none.dat")));
    JexHelp help(JexHelp::kGraphicalViewer);
    help.ShowPage("Connect");
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].mode, JexHelp::kGraphicalViewer);
    EXPECT_EQ(shown[0].page, "Connect");
}

TEST_F(JexHelpTest, ModeZeroChoosesTheViewerByDisplay) {
    struct Case {
        const char* display;  // null: unset
        int mode;
    } cases[] = {
        {nullptr, JexHelp::kTextViewer},
        {"", JexHelp::kTextViewer},
        {":0", JexHelp::kGraphicalViewer},
    };
    for (const Case& c : cases) {
        if (c.display)
            setenv("DISPLAY", c.display, 1);
        else
            unsetenv("DISPLAY");
        EXPECT_EQ(JexHelp(0).Mode(), c.mode) << (c.display ? c.display : "unset");
    }
    EXPECT_EQ(JexHelp(7).Mode(), 7);  // any other mode shows in the text viewer
    shown.clear();
    JexHelp(7).ShowPage("Connect");
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].mode, JexHelp::kTextViewer);
}

}  // namespace
