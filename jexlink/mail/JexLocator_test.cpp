// Tests of the locators: parsing, prefixed forms, defaults, attributes and dumps.
#include "jexlink/mail/JexLocator.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace {

// Kinds of locator a text is read into.
enum class Kind { kPlain, kFileCopy, kEMail };

struct Parts {
    std::string prefix, nodes, acids;
    int method;
    int scope;  // -1 for a plain locator
    std::string rendered;
};

Parts Read(Kind kind, const char* text) {
    Parts p{};
    p.scope = -1;
    JexString s("");
    JexLocMethod m;
    auto common = [&](const auto& loc) {
        loc.GetAttr(JexLocator::LOC_PARSED_NODE, s);
        p.nodes = s.Text();
        loc.GetAttr(JexLocator::LOC_PARSED_ACID, s);
        p.acids = s.Text();
        loc.GetAttr(JexLocator::LOC_PARSED_METHOD, m);
        p.method = static_cast<int>(m);
        p.rendered = JexString(loc).Text();
    };
    if (kind == Kind::kPlain) {
        JexLocator loc(text);
        common(loc);
        return p;
    }
    JexPrefixedLocator loc(text, kind == Kind::kEMail ? 1 : 0);
    common(loc);
    loc.GetAttr(JexLocator::LOC_PARSED_PREFIX, s);
    p.prefix = s.Text();
    JexLocScope scope;
    loc.GetAttr(JexLocator::LOC_SCOPE, scope);
    p.scope = static_cast<int>(scope);
    return p;
}

TEST(JexLocator, TextsParseIntoPartsAndRenderBack) {
    struct Case {
        const char* text;
        Kind kind;
        Parts want;
    };
    const Case cases[] = {
        // Plain locators.
        {"", Kind::kPlain, {"", "", "", 0, -1, "..jex"}},
        {"acme", Kind::kPlain, {"", "", "acme", 0, -1, ".acme.jex"}},
        {"n1.acme", Kind::kPlain, {"", "n1", "acme", 0, -1, "n1.acme.jex"}},
        {"n1.n2.acme", Kind::kPlain, {"", "n1.n2", "acme", 0, -1, "n1.n2.acme.jex"}},
        {"n1.acme.jex", Kind::kPlain, {"", "n1", "acme", 2, -1, "n1.acme.jex"}},
        {"n1.acme.DiA", Kind::kPlain, {"", "n1", "acme", 1, -1, "n1.acme.dia"}},
        {"acme.JEX", Kind::kPlain, {"", "", "acme", 2, -1, ".acme.jex"}},
        {"n1.n2.acme.dia", Kind::kPlain, {"", "n1.n2", "acme", 1, -1, "n1.n2.acme.dia"}},
        {".", Kind::kPlain, {"", "", "", 0, -1, "..jex"}},
        {"jex", Kind::kPlain, {"", "", "jex", 0, -1, ".jex.jex"}},
        {".jex", Kind::kPlain, {"", "", "", 2, -1, "..jex"}},
        {"a..b", Kind::kPlain, {"", "a.", "b", 0, -1, "a..b.jex"}},
        // E-mail locators.
        {"joe@host.example", Kind::kEMail, {"joe@host.example", "", "", 0, 0, "joe@host.example"}},
        {"joe@n1.acme.jex", Kind::kEMail, {"joe", "n1", "acme", 2, 1, "joe@n1.acme.jex"}},
        {"joe@n1.acme.DIA", Kind::kEMail, {"joe", "n1", "acme", 1, 1, "joe@n1.acme.dia"}},
        {"a@b@n1.acme.jex", Kind::kEMail, {"a@b", "n1", "acme", 2, 1, "a@b@n1.acme.jex"}},
        {"jexlink-info", Kind::kEMail, {"jexlink-info", "", "", 0, 0, "jexlink-info"}},
        {"", Kind::kEMail, {"", "", "", 0, 0, ""}},
        {"@", Kind::kEMail, {"@", "", "", 0, 0, "@"}},
        {"@.jex", Kind::kEMail, {"", "", "", 2, 1, "@..jex"}},
        // File-copy locators: a host part without a method word is remote.
        {"joe@host.example",
         Kind::kFileCopy,
         {"joe", "host", "example", 0, 1, "joe@host.example.jex"}},
        {"file.txt", Kind::kFileCopy, {"file.txt", "", "", 0, 0, "file.txt"}},
        {"a@b@c", Kind::kFileCopy, {"a@b", "", "c", 0, 1, "a@b@.c.jex"}},
    };
    for (const Case& c : cases) {
        const Parts got = Read(c.kind, c.text);
        SCOPED_TRACE(std::string("text '") + c.text + "' kind " +
                     std::to_string(static_cast<int>(c.kind)));
        EXPECT_EQ(got.prefix, c.want.prefix);
        EXPECT_EQ(got.nodes, c.want.nodes);
        EXPECT_EQ(got.acids, c.want.acids);
        EXPECT_EQ(got.method, c.want.method);
        EXPECT_EQ(got.scope, c.want.scope);
        EXPECT_EQ(got.rendered, c.want.rendered);
    }
}

TEST(JexLocator, AttributesAnswerTheirResultCodes) {
    using L = JexLocator;
    constexpr int kAbsent = 99;
    // For each attribute: string set, method set, scope set, string get,
    // method get, scope get on a prefixed locator; plain locators answer 4
    // wherever the scope form or a prefix attribute is involved.
    struct Row {
        int attribute;
        int results[6];
    };
    const Row rows[] = {
        {L::LOC_NODE, {3, 3, 4, 0, 1, 4}},
        {L::LOC_ACID, {3, 3, 4, 0, 1, 4}},
        {L::LOC_METHOD, {3, 3, 4, 2, 0, 4}},
        {L::LOC_PREFIX, {3, 4, 1, 0, 4, 1}},
        {L::LOC_PARSED_NODE, {0, 1, 4, 0, 1, 4}},
        {L::LOC_PARSED_ACID, {0, 1, 4, 0, 1, 4}},
        {L::LOC_DEFAULT_NODE, {0, 1, 4, 0, 1, 4}},
        {L::LOC_DEFAULT_ACID, {0, 1, 4, 0, 1, 4}},
        {L::LOC_PARSED_METHOD, {2, 0, 4, 2, 0, 4}},
        {L::LOC_DEFAULT_METHOD, {2, 0, 4, 2, 0, 4}},
        {L::LOC_PARSED_PREFIX, {0, 4, 1, 0, 4, 1}},
        {L::LOC_DEFAULT_PREFIX, {0, 4, 1, 0, 4, 1}},
        {L::LOC_TEXT, {0, 1, 4, 0, 1, 4}},
        {L::LOC_DEFAULTS, {0, 1, 4, 0, 1, 4}},
        {L::LOC_SCOPE, {2, 4, 0, 2, 4, 0}},
        {15, {4, 4, 4, 4, 4, 4}},
        {-1, {4, 4, 4, 4, 4, 4}},
        {kAbsent, {4, 4, 4, 4, 4, 4}},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.attribute);
        JexEMailLocator p("joe@n1.acme.jex");
        JexString s("");
        JexLocMethod m = JexLocMethod::kJex;
        JexLocScope k = JexLocScope::kRemote;
        EXPECT_EQ(p.SetAttr(r.attribute, "x.y"), r.results[0]);
        EXPECT_EQ(p.SetAttr(r.attribute, JexLocMethod::kDia), r.results[1]);
        EXPECT_EQ(p.SetAttr(r.attribute, JexLocScope::kRemote), r.results[2]);
        EXPECT_EQ(p.GetAttr(r.attribute, s), r.results[3]);
        EXPECT_EQ(p.GetAttr(r.attribute, m), r.results[4]);
        EXPECT_EQ(p.GetAttr(r.attribute, k), r.results[5]);

        const bool prefixOnly = r.attribute == L::LOC_PREFIX ||
                                r.attribute == L::LOC_PARSED_PREFIX ||
                                r.attribute == L::LOC_DEFAULT_PREFIX || r.attribute == L::LOC_SCOPE;
        JexLocator plain("n1.acme");
        EXPECT_EQ(plain.SetAttr(r.attribute, "x.y"), prefixOnly ? 4 : r.results[0]);
        EXPECT_EQ(plain.SetAttr(r.attribute, JexLocMethod::kDia), prefixOnly ? 4 : r.results[1]);
        EXPECT_EQ(plain.GetAttr(r.attribute, s), prefixOnly ? 4 : r.results[3]);
        EXPECT_EQ(plain.GetAttr(r.attribute, m), prefixOnly ? 4 : r.results[4]);
    }
}

TEST(JexLocator, RefusedSetsLeaveTheLocatorUnchanged) {
    JexLocator loc("n1.acme.dia");
    EXPECT_EQ(loc.SetAttr(JexLocator::LOC_PARSED_METHOD, static_cast<JexLocMethod>(3)), 5);
    EXPECT_EQ(loc.SetAttr(JexLocator::LOC_DEFAULT_METHOD, static_cast<JexLocMethod>(-1)), 5);
    EXPECT_EQ(loc.SetAttr(JexLocator::LOC_NODE, "other"), 3);
    EXPECT_STREQ(JexString(loc).Text(), "n1.acme.dia");

    JexEMailLocator mail("joe@n1.acme.jex");
    EXPECT_EQ(mail.SetAttr(JexLocator::LOC_SCOPE, static_cast<JexLocScope>(2)), 5);
    EXPECT_STREQ(JexString(mail).Text(), "joe@n1.acme.jex");
}

TEST(JexLocator, DefaultsFillWhatTheTextLeavesEmpty) {
    JexLocator loc("acme");
    EXPECT_EQ(loc.SetAttr(JexLocator::LOC_DEFAULTS, "d1.d2.dflt.dia"), 0);
    JexString s("");
    loc.GetAttr(JexLocator::LOC_DEFAULTS, s);
    EXPECT_STREQ(s.Text(), "d1.d2.dflt.dia");
    // Only the defaults changed: the parsed acid stays and wins.
    EXPECT_STREQ(JexString(loc).Text(), "d1.d2.acme.dia");
    loc.GetAttr(JexLocator::LOC_PARSED_ACID, s);
    EXPECT_STREQ(s.Text(), "acme");

    loc = "";  // parsing keeps the defaults
    EXPECT_STREQ(JexString(loc).Text(), "d1.d2.dflt.dia");
    loc.GetAttr(JexLocator::LOC_NODE, s);
    EXPECT_STREQ(s.Text(), "d1.d2");
    JexLocMethod m;
    loc.GetAttr(JexLocator::LOC_METHOD, m);
    EXPECT_EQ(m, JexLocMethod::kDia);

    EXPECT_EQ(loc.SetAttr(JexLocator::LOC_TEXT, "x.y.jex"), 0);
    loc.GetAttr(JexLocator::LOC_TEXT, s);
    EXPECT_STREQ(s.Text(), "x.y.jex");

    JexEMailLocator mail("joe@host");
    mail.SetAttr(JexLocator::LOC_DEFAULT_PREFIX, "nobody");
    EXPECT_STREQ(JexString(mail).Text(), "joe@host");
    mail = "";
    EXPECT_STREQ(JexString(mail).Text(), "nobody");
}

TEST(JexLocator, LocalAssignmentKeepsTheEarlierMethodUnseen) {
    JexEMailLocator mail("joe@n1.acme.dia");
    mail = "plain-name";
    JexString s("");
    JexLocScope scope;
    mail.GetAttr(JexLocator::LOC_SCOPE, scope);
    EXPECT_EQ(scope, JexLocScope::kLocal);
    mail.GetAttr(JexLocator::LOC_PREFIX, s);
    EXPECT_STREQ(s.Text(), "plain-name");
    mail.GetAttr(JexLocator::LOC_PARSED_NODE, s);
    EXPECT_STREQ(s.Text(), "");
    JexLocMethod m;
    mail.GetAttr(JexLocator::LOC_PARSED_METHOD, m);
    EXPECT_EQ(m, JexLocMethod::kDia);
    EXPECT_STREQ(JexString(mail).Text(), "plain-name");
    // Switching the scope shows the locator part again.
    mail.SetAttr(JexLocator::LOC_SCOPE, JexLocScope::kRemote);
    EXPECT_STREQ(JexString(mail).Text(), "plain-name@..dia");
}

// A locator whose parts a test can hand back to it as texts.
class ExposedLocator : public JexEMailLocator {
public:
    explicit ExposedLocator(const char* text) : JexEMailLocator(text) {}
    using JexEMailLocator::parsedAcids_;
    using JexEMailLocator::parsedNodes_;
};

TEST(JexLocator, TextsMayBeTheLocatorsOwnParts) {
    ExposedLocator mail("joe@n1.acme.jex");
    mail.SetAttr(JexLocator::LOC_PARSED_NODE, "user@host");
    mail.prefix_parse(mail.parsedNodes_.Text());  // Local: the whole text
    EXPECT_STREQ(JexString(mail).Text(), "user@host");
    mail.SetAttr(JexLocator::LOC_PARSED_ACID, "lone");
    mail.parse(mail.parsedAcids_.Text());
    JexString s("");
    mail.GetAttr(JexLocator::LOC_PARSED_ACID, s);
    EXPECT_STREQ(s.Text(), "lone");
}

TEST(JexLocator, PartsFromTheirConstructors) {
    JexLocator plain(JexString("n1"), JexString("acme"), JexLocMethod::kNone);
    EXPECT_STREQ(JexString(plain).Text(), "n1.acme.jex");
    JexPrefixedLocator prefixed(JexString("f"), JexString("n1"), JexString("acme"),
                                JexLocScope::kRemote, JexLocMethod::kDia);
    EXPECT_EQ(prefixed.Kind(), 0);
    EXPECT_STREQ(JexString(prefixed).Text(), "f@n1.acme.dia");
}

TEST(JexLocator, HugeTextsParseWhole) {
    const std::string node(100000, 'n'), acid(70000, 'a');
    const std::string text = "u@" + node + "." + acid + ".jex";
    JexEMailLocator mail(text.c_str());
    JexString s("");
    mail.GetAttr(JexLocator::LOC_NODE, s);
    EXPECT_EQ(std::string(s.Text()), node);
    EXPECT_EQ(std::string(JexString(mail).Text()), text);
}

TEST(JexLocator, DumpsShowPartsWithLengths) {
    char* text = nullptr;
    size_t size = 0;
    FILE* out = open_memstream(&text, &size);
    ASSERT_NE(out, nullptr);
    JexEMailLocator mail("joe@n1.acme.jex");
    mail.Dump(out);
    JexLocator("x.y").Dump(out);
    std::fclose(out);
    const std::string dump(text, size);
    std::free(text);
    EXPECT_NE(dump.find("\nDump of PrefixedLocator object %x"), std::string::npos) << dump;
    EXPECT_NE(dump.find("==========================================\n Parsed Prefix  3: joe\n"
                        "Default Prefix  0: \n   Parsed Node  2: n1\n"),
              std::string::npos)
        << dump;
    EXPECT_NE(dump.find("   Parsed Meth =2: .jex\n  Default Meth =2: .jex\n"
                        "            Scope: Remote\n\n"),
              std::string::npos)
        << dump;
    EXPECT_NE(dump.find("\nDump of Locator object %x"), std::string::npos) << dump;
    EXPECT_NE(dump.find("   Parsed Acid  1: y\n"), std::string::npos) << dump;
}

}  // namespace
