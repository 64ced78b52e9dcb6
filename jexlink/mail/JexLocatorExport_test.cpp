// Tests of the locator entry points: caller buffers with lengths, defaults, candidate lists.
#include "jexlink/mail/JexLocatorExport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "testing/support/JexConfigTestSupport.h"

namespace {

using tavro::testing::WriteList;

TEST(JexLocatorExport, ParseFunctionsFillBuffersAndInts) {
    char prefix[64], nodes[64], acids[64];
    int method = -1, scope = -1;
    EXPECT_EQ(ParseEMailLocator("joe@host.example", prefix, sizeof prefix, nodes, sizeof nodes,
                                acids, sizeof acids, &method, &scope),
              0);
    EXPECT_STREQ(prefix, "joe@host.example");
    EXPECT_STREQ(nodes, "");
    EXPECT_STREQ(acids, "");
    EXPECT_EQ(method, 2);  // the default method shows through
    EXPECT_EQ(scope, 0);

    EXPECT_EQ(ParseEMailLocator("joe@n1.acme.dia", prefix, sizeof prefix, nodes, sizeof nodes,
                                acids, sizeof acids, &method, &scope),
              0);
    EXPECT_STREQ(prefix, "joe");
    EXPECT_STREQ(nodes, "n1");
    EXPECT_STREQ(acids, "acme");
    EXPECT_EQ(method, 1);
    EXPECT_EQ(scope, 1);

    EXPECT_EQ(ParseFileCopyLocator("f@host.example", prefix, sizeof prefix, nodes, sizeof nodes,
                                   acids, sizeof acids, &method, &scope),
              0);
    EXPECT_STREQ(prefix, "f");
    EXPECT_STREQ(nodes, "host");
    EXPECT_STREQ(acids, "example");
    EXPECT_EQ(scope, 1);

    EXPECT_EQ(ParseLocator("n1.n2.acme", nodes, sizeof nodes, acids, sizeof acids, &method), 0);
    EXPECT_STREQ(nodes, "n1.n2");
    EXPECT_STREQ(acids, "acme");
    EXPECT_EQ(method, 2);

    // Null texts are empty; null outputs are skipped.
    EXPECT_EQ(ParseLocator(nullptr, nullptr, 0, acids, sizeof acids, nullptr), 0);
    EXPECT_STREQ(acids, "");
    EXPECT_EQ(IsLocalEMailLocator("joe@host"), 1);
    EXPECT_EQ(IsLocalEMailLocator("joe@n1.acme.jex"), 0);
    EXPECT_EQ(IsLocalFileCopyLocator("joe@host"), 0);
    EXPECT_EQ(IsLocalFileCopyLocator(nullptr), 1);
}

TEST(JexLocatorExport, TextsThatDoNotFitAreNeverCut) {
    char small[4] = "xyz";
    char big[64];
    int method = -1;
    EXPECT_EQ(ParseLocator("node.acme", small, sizeof small, big, sizeof big, &method), -1);
    EXPECT_STREQ(small, "");
    EXPECT_STREQ(big, "acme");  // the others are still filled
    EXPECT_EQ(method, 2);

    char exact[12];
    EXPECT_EQ(BuildLocator("n1", "acme", 2, exact, sizeof exact), 0);  // 11 bytes and the NUL
    EXPECT_STREQ(exact, "n1.acme.jex");
    EXPECT_EQ(BuildLocator("n12", "acme", 2, exact, sizeof exact), -1);
    EXPECT_STREQ(exact, "");
    EXPECT_EQ(BuildEMailLocator("u", "n", "a", 2, exact, 0), -1);

    const std::string longNode(5000, 'n');
    std::vector<char> out(6000);
    EXPECT_EQ(BuildEMailLocator("u", longNode.c_str(), "a", 2, out.data(), out.size()), 0);
    EXPECT_EQ(std::string(out.data()), "u@" + longNode + ".a.jex");
}

TEST(JexLocatorExport, OutputsMayShareTheInputBuffer) {
    char text[64] = "joe@n1.acme.dia";
    char nodes[64], acids[64];
    int method = 0, scope = 0;
    ASSERT_EQ(ParseEMailLocator(text, text, sizeof text, nodes, sizeof nodes, acids, sizeof acids,
                                &method, &scope),
              0);
    EXPECT_STREQ(text, "joe");
    EXPECT_STREQ(nodes, "n1");
    EXPECT_STREQ(acids, "acme");
    char buffer[64] = "n1";
    ASSERT_EQ(BuildLocator(buffer, "acme", 1, buffer, sizeof buffer), 0);
    EXPECT_STREQ(buffer, "n1.acme.dia");
    ASSERT_EQ(ApplyLocatorDefaults(buffer, "x", "y", 2, buffer, sizeof buffer), 0);
    EXPECT_STREQ(buffer, "n1.acme.dia");
}

TEST(JexLocatorExport, BuildersRenderByMethod) {
    char out[128];
    struct Case {
        int method;
        const char* plain;
        const char* mail;
    };
    const Case cases[] = {
        {0, "n1.acme.jex", "joe"},
        {1, "n1.acme.dia", "joe@n1.acme.dia"},
        {2, "n1.acme.jex", "joe@n1.acme.jex"},
        {7, "n1.acme.jex", "joe@n1.acme.jex"},  // refused: the default applies
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.method);
        ASSERT_EQ(BuildLocator("n1", "acme", c.method, out, sizeof out), 0);
        EXPECT_STREQ(out, c.plain);
        ASSERT_EQ(BuildEMailLocator("joe", "n1", "acme", c.method, out, sizeof out), 0);
        EXPECT_STREQ(out, c.mail);
        ASSERT_EQ(BuildFileCopyLocator("joe", "n1", "acme", c.method, out, sizeof out), 0);
        EXPECT_STREQ(out, c.mail);
    }
}

TEST(JexLocatorExport, DefaultsFillTheEmptyParts) {
    char out[128];
    ASSERT_EQ(ApplyLocatorDefaults("acme", "d1", "dflt", 1, out, sizeof out), 0);
    EXPECT_STREQ(out, "d1.acme.dia");
    ASSERT_EQ(ApplyLocatorDefaults("n9.acme.jex", "d1", "dflt", 1, out, sizeof out), 0);
    EXPECT_STREQ(out, "n9.acme.jex");
    ASSERT_EQ(ApplyEMailLocatorDefaults("joe@.acme.jex", "x", "d1", "dflt", 2, out, sizeof out), 0);
    EXPECT_STREQ(out, "joe@d1.acme.jex");
    ASSERT_EQ(ApplyFileCopyLocatorDefaults("@n1.acme", "file", "d", "a", 2, out, sizeof out), 0);
    EXPECT_STREQ(out, "file@n1.acme.jex");
}

struct ListResult {
    std::vector<std::string> entries;
    int count = 0;
    bool terminated = false;
};

ListResult Take(char** list, int count) {
    ListResult r;
    r.count = count;
    if (!list) return r;
    for (int i = 0; i < count; ++i) {
        r.entries.emplace_back(list[i]);
        std::free(list[i]);
    }
    r.terminated = list[count] == nullptr;
    std::free(list);
    return r;
}

class JexLocatorListTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(tavro::testing::CreateSettingsKeys());
        ASSERT_TRUE(
            WriteList(JexConfig::kGlobalParameters, "Test.Nodes", {"s1,s2", "s3", "", "never"}));
        ASSERT_TRUE(WriteList(JexConfig::kGlobalParameters, "Test.Acids", {"acme", "acme"}));
    }
};

TEST_F(JexLocatorListTest, LocatorListsFromLiteralsAndSettings) {
    using V = std::vector<std::string>;
    struct Case {
        const char *first, *node, *acid, *nodeList, *acidList, *last;
        V want;
    };
    const Case cases[] = {
        // Nothing at all: only the null entry.
        {nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, V{}},
        {"", "", "", "", "", "", V{}},
        // A literal list stays one candidate without a single value...
        {"", "", "a", "x,y", "", "", V{"x,y.a.jex"}},
        // ...and is split at its commas with one.
        {"", "n0", "a", "x,y,n0", "", "", V{"n0.a.jex", "x.a.jex", "y.a.jex"}},
        // A list setting is split either way; repeats count once.
        {"", "", "", "*Test.Nodes", "*Test.Acids", "",
         V{"s1.acme.jex", "s2.acme.jex", "s3.acme.jex"}},
        // A lone "*" is a literal candidate.
        {"", "", "a", "*", "", "", V{"*.a.jex"}},
        // An absent setting gives no candidates.
        {"", "n", "", "", "*Absent", "", V{}},
        // First leads once; last ends unless listed already.
        {"n2.a.jex", "n1", "a", "n2", "", "n1.a.jex", V{"n2.a.jex", "n1.a.jex"}},
        {"F", "n1", "a", "", "", "L", V{"F", "n1.a.jex", "L"}},
        {"", "", "", "", "", "L", V{"L"}},
        // Nodes outermost, acids within.
        {"", "n1", "a1", "n2", "a2", "", V{"n1.a1.jex", "n1.a2.jex", "n2.a1.jex", "n2.a2.jex"}},
    };
    for (const Case& c : cases) {
        char** list = reinterpret_cast<char**>(1);
        int count = -7;
        BuildLocatorList(c.first, c.node, c.acid, c.nodeList, c.acidList, c.last, &list, &count);
        const ListResult r = Take(list, count);
        SCOPED_TRACE(std::string(c.nodeList ? c.nodeList : "(null)"));
        EXPECT_EQ(r.entries, c.want);
        EXPECT_EQ(r.count, static_cast<int>(c.want.size()));
        EXPECT_TRUE(r.terminated);
    }
}

TEST_F(JexLocatorListTest, AddressAndFileNameListsRunPrefixesOutermost) {
    char** list = nullptr;
    int count = 0;
    BuildAddressList(nullptr, "joe", "", "acme", "ann", "*Test.Nodes", "", nullptr, &list, &count);
    ListResult r = Take(list, count);
    EXPECT_EQ(r.entries,
              (std::vector<std::string>{"joe@s1.acme.jex", "joe@s2.acme.jex", "joe@s3.acme.jex",
                                        "ann@s1.acme.jex", "ann@s2.acme.jex", "ann@s3.acme.jex"}));
    BuildFileNameList("f@n.a.jex", "f", "n", "a", "", "", "", "f@n.a.jex", &list, &count);
    r = Take(list, count);
    EXPECT_EQ(r.entries, (std::vector<std::string>{"f@n.a.jex"}));
}

TEST_F(JexLocatorListTest, TooManyCombinationsAreRefused) {
    std::string many;
    for (int i = 0; i < 400; ++i) many += "n" + std::to_string(i) + ",";
    char** list = reinterpret_cast<char**>(1);
    int count = 0;
    BuildFileNameList(nullptr, "p0", "n", "a0", many.c_str(), many.c_str(), many.c_str(), nullptr,
                      &list, &count);
    EXPECT_EQ(list, nullptr);
    EXPECT_EQ(count, -1);

    // Long candidates are rendered whole (no fixed-size rendering area).
    const std::string longNode(2000, 'n');
    BuildLocatorList(nullptr, longNode.c_str(), "a", nullptr, nullptr, nullptr, &list, &count);
    const ListResult r = Take(list, count);
    EXPECT_EQ(r.entries, (std::vector<std::string>{longNode + ".a.jex"}));
}

}  // namespace
