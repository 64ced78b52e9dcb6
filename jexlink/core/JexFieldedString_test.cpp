// Tests of the fielded strings: splitting, joining, growing and removing fields.
#include "jexlink/core/JexFieldedString.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace {

std::vector<std::string> Fields(JexFieldedString& f) {
    std::vector<std::string> out;
    for (int i = 0, n = f.Count(); i < n; ++i) out.emplace_back(f[i].Text());
    return out;
}

TEST(JexFieldedString, ParseAndJoinGiveTheTextBack) {
    struct Case {
        const char* text;
        std::vector<std::string> fields;
    } cases[] = {
        {"a::b", {"a", "", "b"}},
        {"", {}},
        {nullptr, {}},
        {":", {"", ""}},
        {":a", {"", "a"}},
        {"a:", {"a", ""}},
        {"one", {"one"}},
        {"T:host:9293", {"T", "host", "9293"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text ? c.text : "null");
        JexFieldedString f(c.text, ':');
        EXPECT_EQ(Fields(f), c.fields);
        EXPECT_STREQ(f.Text().Text(), c.text ? c.text : "");
        // The text written in place: as long as Text(), nothing past it.
        std::string placed(f.TextLength() + 1, '#');
        EXPECT_EQ(f.CopyText(placed.data()), placed.data() + f.TextLength());
        EXPECT_EQ(placed, std::string(c.text ? c.text : "") + "#");
        EXPECT_EQ(f.Parse(c.text), c.text ? static_cast<int>(std::string(c.text).size()) : 0);
    }
}

TEST(JexFieldedString, IndexingPastTheEndGrowsTheList) {
    JexFieldedString f("a/b", '/');
    EXPECT_STREQ(f[5].Text(), "");
    EXPECT_EQ(f.Count(), 6);
    EXPECT_STREQ(f.Text().Text(), "a/b////");
    f[3] = "d";
    EXPECT_STREQ(f.Text().Text(), "a/b//d//");
    EXPECT_STREQ(f.Field(7).Text(), "");
    EXPECT_EQ(f.Count(), 8);
}

TEST(JexFieldedString, FieldTextReadsWithoutGrowing) {
    JexFieldedString f("a/b", '/');
    f.Grow(4);  // slots 2 and 3 never filled
    const JexFieldedString& list = f;
    const std::pair<int, const char*> cases[] = {{0, "a"}, {1, "b"}, {2, ""}, {3, ""},
                                                 {4, ""},  {99, ""}, {-1, ""}};
    for (const auto& [index, text] : cases) EXPECT_STREQ(list.FieldText(index), text) << index;
    EXPECT_EQ(f.Count(), 4);
}

TEST(JexFieldedString, CopiesAndMovesKeepTheTargetsSeparator) {
    JexFieldedString source("a,B", ',');
    source[1].SetCaseSensitive(0);
    JexFieldedString copied(':');
    copied = source;
    JexFieldedString moved(':');
    moved = std::move(source);
    for (const JexFieldedString* f : {&copied, &moved}) {
        EXPECT_EQ(f->Separator(), ':');
        EXPECT_EQ(f->Count(), 2);
        EXPECT_STREQ(f->Text().Text(), "a:B");
        EXPECT_TRUE(*f == JexFieldedString("a:b", ':'));  // the case flag came along
    }
    EXPECT_EQ(source.Count(), 0);  // NOLINT(bugprone-use-after-move): left without fields
    JexFieldedString constructed(std::move(moved));
    EXPECT_EQ(constructed.Separator(), ':');
    EXPECT_STREQ(constructed.Text().Text(), "a:B");
}

TEST(JexFieldedString, AFieldStaysWhereItIsWhileTheListGrowsAndShrinks) {
    JexFieldedString f("a,b", ',');
    JexString& first = f[0];
    f[9] = "j";  // from few fields to many
    first = "A";
    EXPECT_STREQ(f.Text().Text(), "A,b,,,,,,,,j");
    EXPECT_STREQ(f.Remove(1).Text(), "b");
    EXPECT_STREQ(f[0].Text(), "A");
    f.Parse("x,y");  // and back to few
    JexString& x = f[0];
    f[2] = "z";
    x = "X";
    EXPECT_STREQ(f.Text().Text(), "X,y,z");
    JexFieldedString moved(std::move(f));
    EXPECT_STREQ(moved.Text().Text(), "X,y,z");
    f.Parse("p,q,r,s,t");  // NOLINT(bugprone-use-after-move): used again after Parse
    f[4].SetCaseSensitive(0);
    JexFieldedString taken(';');
    taken = std::move(f);
    EXPECT_STREQ(taken.Text().Text(), "p;q;r;s;t");
    EXPECT_TRUE(taken == JexFieldedString("p;q;r;s;T", ';'));
    EXPECT_STREQ(taken.Remove(0).Text(), "p");
    EXPECT_STREQ(taken.Text().Text(), "q;r;s;t");
}

TEST(JexFieldedString, RemoveShiftsLaterFields) {
    JexFieldedString f("x,y,z", ',');
    EXPECT_STREQ(f.Remove(0).Text(), "x");
    EXPECT_EQ(f.Count(), 2);
    EXPECT_STREQ(f.Text().Text(), "y,z");
    for (int bad : {2, 99, -1}) {
        EXPECT_STREQ(f.Remove(bad).Text(), "");
        EXPECT_EQ(f.Count(), 2);
    }
}

TEST(JexFieldedString, NegativeIndexTouchesNoField) {
    auto previous = JexBufferBase::SetIndexErrorHandler([](int) { return 0; });
    JexFieldedString f("a,b", ',');
    f[-1] = "lost";
    EXPECT_EQ(f.Count(), 2);
    EXPECT_STREQ(f.Text().Text(), "a,b");
    JexBufferBase::SetIndexErrorHandler(previous);
}

TEST(JexFieldedString, AssignmentCopiesFieldsNotSeparator) {
    JexFieldedString source("A;b", ';');
    source[0].SetCaseSensitive(0);
    JexFieldedString target("1/2/3/4", '/');
    target = source;
    EXPECT_EQ(target.Count(), 2);
    EXPECT_EQ(target.Separator(), '/');
    EXPECT_STREQ(target.Text().Text(), "A/b");
    EXPECT_EQ(target[0].CaseSensitive(), 0);
    const JexFieldedString& same = target;
    target = same;
    EXPECT_STREQ(target.Text().Text(), "A/b");
    const JexFieldedString copy(source);
    EXPECT_EQ(copy.Separator(), ';');
    EXPECT_STREQ(copy.Text().Text(), "A;b");
}

TEST(JexFieldedString, EqualityFollowsFieldCompare) {
    JexFieldedString a("node,X", ',');
    JexFieldedString b("node,x", ',');
    EXPECT_FALSE(a == b);
    b[1].SetCaseSensitive(0);
    EXPECT_TRUE(a == b);
    b[2];
    EXPECT_FALSE(a == b);
}

TEST(JexFieldedString, ParseOfItsOwnField) {
    JexFieldedString f("a-b|c", '|');
    f.SetSeparator('-');
    f.Parse(f[0]);
    EXPECT_EQ(Fields(f), (std::vector<std::string>{"a", "b"}));
}

}  // namespace
