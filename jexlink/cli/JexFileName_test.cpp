// Tests of the file-name model: parsing of the three forms, failures, inheritance and renderings.
#include "jexlink/cli/JexFileName.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string Dirs(JexFileName& f) {
    JexFieldedString d = f.Directory();
    std::string out;
    for (int i = 0; i < d.Count(); ++i) {
        if (i) out += '|';
        out += d[i].Text();
    }
    return out;
}

struct ParseCase {
    const char* text;
    int kind;
    const char* node;
    const char* device;
    const char* dirs;
    bool relative;
    const char* name;
    const char* type;
    int version;
    bool hasVersion;
    const char* unix;
    const char* qvos;
    const char* windows;
};

constexpr int U = JexFileName::Unix;
constexpr int Q = JexFileName::Qvos;
constexpr int W = JexFileName::Windows;
constexpr int N = JexFileName::Undetermined;

const ParseCase kParseCases[] = {
    {"NODE::DISK:[DIR.SUB]FILE.TXT;3", Q, "NODE", "DISK", "DIR|SUB", false, "FILE", "TXT", 3, true,
     "/DIR/SUB/FILE.TXT.3", "NODE::DISK:[DIR.SUB]FILE.TXT;3", "\\\\NODE\\D:DIR\\SUB\\FILE.TXT.3"},
    {"[.SUB]A.B", Q, "", "", "SUB", true, "A", "B", 1, false, "SUB/A.B", "[.SUB]A.B", "SUB\\A.B"},
    {"[]A.B", Q, "", "", "", true, "A", "B", 1, false, "A.B", "[]A.B", "A.B"},
    {"DISK:[ROOT.][SUB]X.Y", Q, "", "DISK", "ROOT|SUB", false, "X", "Y", 1, false, "/ROOT/SUB/X.Y",
     "DISK:[ROOT.SUB]X.Y", "D:\\ROOT\\SUB\\X.Y"},
    {"<A.B>F", Q, "", "", "A|B", false, "F", "", 1, false, "/A/B/F", "[A.B]F", "\\A\\B\\F"},
    {"[A.B.-]X", Q, "", "", "A", false, "X", "", 1, false, "/A/X", "[A]X", "\\A\\X"},
    {"[A.B.C.--]X", Q, "", "", "A", false, "X", "", 1, false, "/A/X", "[A]X", "\\A\\X"},
    {"[000000.A]X", Q, "", "", "A", false, "X", "", 1, false, "/A/X", "[A]X", "\\A\\X"},
    {"[000000]X", Q, "", "", "", false, "X", "", 1, false, "/X", "[000000]X", "\\X"},
    {"FILE.TXT.3", N, "", "", "", true, "FILE", "TXT", 3, true, "FILE.TXT.3", "FILE.TXT;3",
     "FILE.TXT.3"},
    {"a.b.", N, "", "", "", true, "a", "b", 0, false, "a.b", "A.B", "a.b"},
    {"a.b.0", N, "", "", "", true, "a", "b", 0, false, "a.b", "A.B", "a.b"},
    {"a.b.-2", N, "", "", "", true, "a", "b", -2, true, "a.b.-2", "A.B;-2", "a.b.-2"},
    {"FILE.TXT;", Q, "", "", "", true, "FILE", "TXT", 0, true, "FILE.TXT.0", "FILE.TXT;0",
     "FILE.TXT.0"},
    {"FILE;-2", Q, "", "", "", true, "FILE", "", -2, true, "FILE.-2", "FILE;-2", "FILE.-2"},
    {"d/f.t;x", U, "", "", "d", true, "f", "t;x", 0, true, "d/f.t;x.0", "[.D]F.T_X;0",
     "d\\f.t;x.0"},
    {"/usr/lib/x.y", U, "", "", "usr|lib", false, "x", "y", 1, false, "/usr/lib/x.y",
     "[USR.LIB]X.Y", "\\usr\\lib\\x.y"},
    {"/x", U, "", "", "", false, "x", "", 1, false, "/x", "[]X", "\\x"},
    {"a/../b/c", U, "", "", "b", true, "c", "", 1, false, "b/c", "[.B]C", "b\\c"},
    {"a//b/./c", U, "", "", "a|b", true, "c", "", 1, false, "a/b/c", "[.A.B]C", "a\\b\\c"},
    {"./a/b", U, "", "", ".|a", true, "b", "", 1, false, "./a/b", "[._.A]B", ".\\a\\b"},
    {"/../x", U, "", "", "..", false, "x", "", 1, false, "/../x", "[__]X", "\\..\\x"},
    // A ".." has nothing to climb over after "." or another "..".
    {"../../x", U, "", "", "..|..", true, "x", "", 1, false, "../../x", "[.__.__]X", "..\\..\\x"},
    {"./../x", U, "", "", ".|..", true, "x", "", 1, false, "./../x", "[._.__]X", ".\\..\\x"},
    {"\\\\SRV\\D$\\dir\\f.txt", W, "SRV", "D", "dir", false, "f", "txt", 1, false, "/dir/f.txt",
     "SRV::D:[DIR]F.TXT", "\\\\SRV\\D:dir\\f.txt"},
    {"C:\\x\\y.txt", W, "", "C", "x", false, "y", "txt", 1, false, "/x/y.txt", "C:[X]Y.TXT",
     "C:\\x\\y.txt"},
    {"\\x\\..\\y", W, "", "", "", false, "y", "", 1, false, "/y", "[]Y", "\\y"},
    {"D:file", W, "", "D", "", false, "file", "", 1, false, "/file", "D:[]FILE", "D:\\file"},
    {"AB:x", Q, "", "AB", "", true, "x", "", 1, false, "x", "AB:X", "A:x"},
    {"abc", N, "", "", "", true, "abc", "", 1, false, "abc", "ABC", "abc"},
    {":abc", N, "", "", "", true, ":abc", "", 1, false, ":abc", "_ABC", ":abc"},
    {"*.TXT", N, "", "", "", true, "*", "TXT", 1, false, "*.TXT", "_.TXT", "*.TXT"},
    {"disk:[dir]file.txt", Q, "", "disk", "dir", false, "file", "txt", 1, false, "/dir/file.txt",
     "DISK:[DIR]FILE.TXT", "d:\\dir\\file.txt"},
    {"f.txt@node.acid", N, "", "", "", true, "f", "txt", 1, false, "f.txt@node.acid",
     "F.TXT@NODE.ACID", "f.txt@node.acid"},
    {"a@b@c", N, "", "", "", true, "a@b", "", 1, false, "a@b@c", "A_B@C", "a@b@c"},
    {"", N, "", "", "", true, "", "", 1, false, "", "", ""},
};

TEST(JexFileNameTest, ParsesAndRendersEachForm) {
    for (const ParseCase& c : kParseCases) {
        SCOPED_TRACE(c.text);
        JexFileName f(c.text);
        EXPECT_EQ(f.Code(), JexFileName::OK);
        EXPECT_EQ(f.Kind(), c.kind);
        EXPECT_STREQ(f.Node().Text(), c.node);
        EXPECT_STREQ(f.Device().Text(), c.device);
        EXPECT_EQ(Dirs(f), c.dirs);
        EXPECT_EQ(f.IsRelative(), c.relative);
        EXPECT_STREQ(f.Name().Text(), c.name);
        EXPECT_STREQ(f.Type().Text(), c.type);
        EXPECT_EQ(f.Version(), c.version);
        EXPECT_EQ(f.HasVersion(), c.hasVersion);
        EXPECT_STREQ(f.UnixText().Text(), c.unix);
        EXPECT_STREQ(f.QvosText().Text(), c.qvos);
        EXPECT_STREQ(f.WindowsText().Text(), c.windows);
        EXPECT_STREQ(f.SpecText().Text(), c.text);
    }
}

TEST(JexFileNameTest, LocatorIsTheTextAfterTheLastAt) {
    JexFileName f("/d/f.t@x.y@node.acid");
    EXPECT_TRUE(f.HasLocator());
    EXPECT_STREQ(f.Locator().Text(), "node.acid");
    EXPECT_STREQ(f.Name().Text(), "f.t@x");
    EXPECT_STREQ(f.Type().Text(), "y");
    JexFileName plain("abc");
    EXPECT_FALSE(plain.HasLocator());
}

struct FailCase {
    std::string text;
    int code;
    const char* tag;
    const char* reason;  // BADNAME only
};

TEST(JexFileNameTest, RefusedNamesGiveTheirCodeTagAndReason) {
    const std::string forty(40, 'A');
    const FailCase cases[] = {
        {"NODE1234::X", JexFileName::TOOLONG, "Qvos node", nullptr},
        {"NO_DE::X", JexFileName::BADNAME, "Qvos node chars",
         " (Qvos node name characters invalid)"},
        {"::[A]X", JexFileName::TOOSHORT, "Qvos node", nullptr},
        {":[A]B", JexFileName::TOOSHORT, "Qvos dev", nullptr},
        {std::string(256, 'D') + ":X", JexFileName::TOOLONG, "Qvos dev", nullptr},
        {"-DEV:X", JexFileName::BADNAME, "Qvos dev chars", " (Qvos device name characters)"},
        {"DE.V:X", JexFileName::BADNAME, "Qvos dev chars", " (Qvos device name characters)"},
        {"DISK:-X", JexFileName::BADNAME, "Qvos filename characters",
         " (Qvos firstpart filename characters not valid)"},
        {"DISK:*.TXT", JexFileName::BADNAME, "Qvos filename characters",
         " (Qvos firstpart filename characters not valid)"},
        {"DISK:" + forty, JexFileName::TOOLONG, "Qvos filename", nullptr},
        {"DISK:A.-B", JexFileName::BADNAME, "Qvos typename chars",
         " (Qvos typename characters not valid)"},
        {"DISK:A." + forty, JexFileName::TOOLONG, "Qvos typpname", nullptr},
        {"[-]X", JexFileName::BADNAME, "Qvos dir", " (Qvos directory length or characters)"},
        {"[-.A]X", JexFileName::BADNAME, "Qvos dir", " (Qvos directory length or characters)"},
        {"[A.B!]X", JexFileName::BADNAME, "Qvos dir", " (Qvos directory length or characters)"},
        {"[" + forty + "]X", JexFileName::TOOLONG, "Qvos dir", nullptr},
        {"FILE;2A", JexFileName::BADNAME, "Qvos version mixed digits",
         " (Qvos version has mixed digits)"},
        {"F.T;X", JexFileName::BADNAME, "Qvos version not numeric",
         " (Qvos version is not numeric)"},
        {"\\\\\\x", JexFileName::TOOSHORT, "WIN node", nullptr},
    };
    for (const FailCase& c : cases) {
        SCOPED_TRACE(c.text);
        JexFileName f;
        f.SetSuppress(1);
        f = c.text.c_str();
        EXPECT_EQ(f.Code(), c.code);
        EXPECT_STREQ(f.Args()[0].Data(), c.tag);
        if (c.reason) {
            EXPECT_STREQ(f.Args()[1].Data(), c.text.c_str());
            EXPECT_STREQ(f.Args()[2].Data(), c.reason);
        } else {
            EXPECT_EQ(f.Args()[1].Length(), 0);
        }
    }
}

TEST(JexFileNameTest, BadNameMessageShowsReasonAndQuotedText) {
    JexFileName f;
    f.SetSuppress(1);
    f = "NO_DE::X";
    EXPECT_STREQ(f.FormattedText(0).Text(),
                 "The following filename is not valid in this context (Qvos node name characters "
                 "invalid):\n\t\"NO_DE::X\"");
}

TEST(JexFileNameTest, FailedParseKeepsOldRenderingsAndOnlyStringAssignmentClearsTheCode) {
    JexFileName f("a/b.c");
    f.SetSuppress(1);
    f = "NODE1234::X";
    EXPECT_EQ(f.Code(), JexFileName::TOOLONG);
    EXPECT_STREQ(f.UnixText().Text(), "a/b.c");
    f = "ok.txt";  // plain text: the old code stays
    EXPECT_EQ(f.Code(), JexFileName::TOOLONG);
    f = JexString("ok.txt");
    EXPECT_EQ(f.Code(), JexFileName::OK);
}

TEST(JexFileNameDeathTest, RefusedNameEndsTheProcessWithoutHandler) {
    EXPECT_EXIT({ JexFileName f("NODE1234::X"); }, ::testing::ExitedWithCode(1),
                "Name is too long");
}

TEST(JexFileNameTest, DefaultTypeCompletesANameWithoutType) {
    struct {
        const char* text;
        const char* unix;
        const char* qvos;
    } cases[] = {
        {"foo", "foo.cli", "FOO.CLI"},
        {"foo.txt", "foo.txt", "FOO.TXT"},
        {"/t/dir/foo", "/t/dir/foo.cli", "[T.DIR]FOO.CLI"},
        {"../foo", "../foo.cli", "[.__]FOO.CLI"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        JexFileName f(c.text);
        EXPECT_STREQ(f.Default(".cli"), ".cli");
        EXPECT_STREQ(f.UnixText().Text(), c.unix);
        EXPECT_STREQ(f.QvosText().Text(), c.qvos);
        EXPECT_STREQ(f.NativeText().Text(), c.unix);
    }
    JexFileName w("foo");
    w.Default(".cli");
    EXPECT_STREQ(w.WindowsText().Text(), "foo.cli");
}

TEST(JexFileNameTest, RelativeDirectoryGoesUnderAnAbsoluteRelatedOne) {
    JexFileName f("sub/x.y");
    f.Related("/base/dir/");
    EXPECT_STREQ(f.UnixText().Text(), "/base/dir/sub/x.y");
    EXPECT_FALSE(f.IsRelative());
    EXPECT_EQ(Dirs(f), "base|dir|sub");

    JexFileName up("../x.y");
    up.Related("/base/dir/");
    EXPECT_STREQ(up.UnixText().Text(), "/base/x.y");

    JexFileName g("sub/x.y");
    g.Related("rel/dir/");
    EXPECT_STREQ(g.UnixText().Text(), "sub/x.y");

    // The default name serves when the related one has no absolute directory.
    JexFileName h("sub/x.y");
    h.Related("rel/");
    h.Default("/def/");
    EXPECT_STREQ(h.UnixText().Text(), "/def/sub/x.y");
}

TEST(JexFileNameTest, MissingComponentsComeFromRelatedThenDefault) {
    JexFileName f("x");
    f.Related("NODE::DISK:[A]R.RT;4");
    f.Default("/d/def.dt.9@loc");
    EXPECT_STREQ(f.Node().Text(), "NODE");
    EXPECT_STREQ(f.Device().Text(), "DISK");
    EXPECT_STREQ(f.Name().Text(), "x");
    EXPECT_STREQ(f.Type().Text(), "RT");
    EXPECT_EQ(f.Version(), 4);
    EXPECT_STREQ(f.Locator().Text(), "loc");
    EXPECT_EQ(Dirs(f), "A");
    EXPECT_STREQ(f.QvosText().Text(), "NODE::DISK:[A]X.RT;4@LOC");
    EXPECT_STREQ(f.UnixText().Text(), "/A/x.RT.4@loc");

    // A second parse keeps the related and default names.
    f = "y";
    EXPECT_STREQ(f.Related(), "NODE::DISK:[A]R.RT;4");
    EXPECT_STREQ(f.UnixText().Text(), "/A/y.RT.4@loc");
}

TEST(JexFileNameTest, SettersAndPresenceFlags) {
    JexFileName f("x");
    f.Related("OTHER::y");
    f.Node("MINE");
    EXPECT_STREQ(f.Node().Text(), "MINE");
    f.Node("");  // clears the own flag: the related node shows again
    EXPECT_TRUE(f.HasNode());
    EXPECT_STREQ(f.Node().Text(), "OTHER");

    JexFileName g("x.t");
    g.Name("");
    EXPECT_TRUE(g.HasName());
    EXPECT_STREQ(g.UnixText().Text(), ".t");

    JexFileName n("x");
    n.Node("LONGNODENAME");
    EXPECT_STREQ(n.QvosText().Text(), "LONGNO::X");
    EXPECT_STREQ(n.WindowsText().Text(), "\\\\LONGNODENAME\\x");
}

TEST(JexFileNameTest, VersionMarkShowsOnlyAfterTheNextRendering) {
    JexFileName f("a.b");
    EXPECT_EQ(f.SetVersion(5), 5);
    EXPECT_STREQ(f.UnixText().Text(), "a.b");
    EXPECT_FALSE(f.MarkVersion(true));
    EXPECT_STREQ(f.UnixText().Text(), "a.b");
    f.Type("b");
    EXPECT_STREQ(f.UnixText().Text(), "a.b.5");
    EXPECT_STREQ(f.QvosText().Text(), "A.B;5");
}

TEST(JexFileNameTest, SetDirectoryMakesTheListAbsolute) {
    JexFileName f("x");
    JexFieldedString list("p,q", ',');
    f.SetDirectory(list);
    EXPECT_STREQ(f.UnixText().Text(), "/p/q/x");
    f.SetDirectory(JexFieldedString(','));
    EXPECT_FALSE(f.HasDirectory());
}

TEST(JexFileNameTest, QvosSafeTexts) {
    const std::string forty(40, 'A');
    std::string withPairs = std::string(20, 'B') + "__" + std::string(17, 'C');  // 39
    std::string expectPairs = std::string(20, 'B') + std::string(17, 'C');
    struct {
        std::string in;
        int limit;
        std::string out;
    } cases[] = {
        {"b-c!d", 39, "B-C_D"},       {"-x", 39, "_X"},     {forty, 39, std::string(39, 'A')},
        {withPairs, 39, expectPairs}, {"a__b", 39, "A__B"}, {"", 39, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.in);
        EXPECT_STREQ(JexFileName::qvos_name_text(c.in.c_str(), c.limit).Text(), c.out.c_str());
    }
    EXPECT_STREQ(JexFileName::qvos_node_text("no-de").Text(), "NO_DE");
}

TEST(JexFileNameTest, AssigningItsOwnRenderingKeepsTheCompletedName) {
    JexFileName f("dir/foo");
    f.Default(".cli");
    f = f.NativeText();
    EXPECT_STREQ(f.SpecText().Text(), "dir/foo.cli");
    EXPECT_STREQ(f.UnixText().Text(), "dir/foo.cli");
    f = f.WindowsText();
    EXPECT_EQ(f.Kind(), JexFileName::Windows);
    EXPECT_STREQ(f.WindowsText().Text(), "dir\\foo.cli");
}

TEST(JexFileNameTest, HugeInputsParse) {
    std::string slashes;
    for (int i = 0; i < 100000; ++i) slashes += "a//./../";
    JexFileName f((slashes + "x").c_str());
    EXPECT_STREQ(f.UnixText().Text(), "x");
    JexFileName q(("[" + std::string(200000, '.') + "]X").c_str());
    q.SetSuppress(1);
    EXPECT_EQ(q.Code(), JexFileName::OK);
}

}  // namespace
