// Tests of compiled syntax tables: the reader, its checks, the tree and the dump.
#include "jexlink/cli/JexPCLITable.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "testing/support/JexPCLITableWriter.h"
#include "testing/support/TempDir.h"

namespace {

using tavro::testing::CliRecord;
using tavro::testing::CliTableBytes;

// Captures what a function writes to a stream.
template <typename F>
std::string Captured(F write) {
    char* buffer = nullptr;
    size_t size = 0;
    FILE* out = open_memstream(&buffer, &size);
    write(out);
    std::fclose(out);
    std::string text(buffer, size);
    std::free(buffer);
    return text;
}

class JexPCLITableTest : public ::testing::Test {
protected:
    std::string Write(const std::string& file, const std::string& bytes) {
        const auto path = dir_.Path() / file;
        tavro::testing::WriteFile(path, bytes);
        return path.string();
    }

    tavro::testing::TempDir dir_{"cli-table"};
};

TEST_F(JexPCLITableTest, GeneratorWritesTheHandMadeBytes) {
    const std::string hand(
        "\x1c\x00\x00\x00"  // length 28
        "\x0b"              // version 11
        "\x01\x02GO\x00\x00\x00\x00\x01\x00\x00"
        "\x03\x01X\x00\x00\x00\x01\x01Y\x01\x0c\x01",
        28);
    EXPECT_EQ(CliTableBytes(11, "Verb 1 GO\nSwitch 1 X kv ng hi options=Y"), hand);

    JexPCLITable t(JexString(Write("hand.cli", hand).c_str()));
    ASSERT_EQ(t.Code(), JexPCLI::OK);
    EXPECT_EQ(t.length, 28u);
    EXPECT_EQ(t.consumed, 28u);
    ASSERT_NE(t.first, nullptr);
    JexPCLIItem* x = t.first->child;
    ASSERT_NE(x, nullptr);
    EXPECT_STREQ(x->name.Text(), "X");
    EXPECT_EQ(x->level, 2);
    EXPECT_TRUE(x->takes_value && x->negatable && x->hidden);
    EXPECT_FALSE(x->not_first || x->remaining || x->one_of);
    EXPECT_STREQ(x->options.Text().Text(), "Y");
}

TEST_F(JexPCLITableTest, LevelsBuildTheTree) {
    const std::string path = Write("tree.cli", CliTableBytes(12, R"(
Verb   1 SHOW
Switch 1 OUT
Param  1 FILE
Verb   2 SUB
Switch 2 DEEP
Verb   1 LIST
)"));
    JexPCLITable t{JexString(path.c_str())};
    ASSERT_EQ(t.Code(), JexPCLI::OK);
    JexPCLIItem* show = t.first;
    ASSERT_NE(show, nullptr);
    JexPCLIItem* out = show->child;
    ASSERT_NE(out, nullptr);
    JexPCLIItem* file = out->next;
    ASSERT_NE(file, nullptr);
    JexPCLIItem* sub = file->next;
    ASSERT_NE(sub, nullptr);
    JexPCLIItem* list = show->next;
    ASSERT_NE(list, nullptr);
    EXPECT_STREQ(list->name.Text(), "LIST");
    EXPECT_EQ(show->parent, nullptr);
    EXPECT_EQ(list->parent, nullptr);
    EXPECT_EQ(list->first, show);
    EXPECT_EQ(out->level, 2);
    EXPECT_EQ(out->parent, show);
    EXPECT_EQ(file->first, out);
    EXPECT_EQ(sub->parent, show);
    ASSERT_NE(sub->child, nullptr);
    EXPECT_STREQ(sub->child->name.Text(), "DEEP");
    EXPECT_EQ(sub->child->level, 3);
    EXPECT_EQ(sub->child->parent, sub);
    EXPECT_EQ(list->child, nullptr);
}

TEST_F(JexPCLITableTest, VersionsAndHeaderErrors) {
    const std::string items = "Verb 1 A options=x\n";
    struct {
        const char* label;
        std::string bytes;
        int code;
        int versionArg;
        bool items;
    } cases[] = {
        {"v9", CliTableBytes(9, items), JexPCLI::BAD_VERSION, 9, false},
        {"v14", CliTableBytes(14, items), JexPCLI::BAD_VERSION, 14, false},
        {"v10", CliTableBytes(10, items), JexPCLI::OK, 0, true},
        {"v11", CliTableBytes(11, items), JexPCLI::OK, 0, true},
        {"v13", CliTableBytes(13, items), JexPCLI::OK, 0, true},
        {"empty", "", JexPCLI::BAD_VERSION, 0, false},
        {"short header", std::string("\x05\x00\x00", 3), JexPCLI::BAD_VERSION, 0, false},
        {"length without version", CliTableBytes(11, items).substr(0, 4), JexPCLI::BAD_VERSION, 0,
         false},
        {"length 5", CliTableBytes(11, items, 5), JexPCLI::OK, 0, false},
        {"length 0", CliTableBytes(11, items, 0), JexPCLI::OK, 0, false},
        {"length past the file", CliTableBytes(11, items, 200), JexPCLI::BAD_TABLE, 0, false},
        {"huge length", CliTableBytes(11, items, 0xFFFFFFFF), JexPCLI::BAD_TABLE, 0, false},
        {"record past the length", CliTableBytes(11, items, 9), JexPCLI::BAD_TABLE, 0, false},
        {"truncated file", CliTableBytes(11, items).substr(0, 12), JexPCLI::BAD_TABLE, 0, false},
        {"level 0", CliTableBytes(11, "Verb 0 A"), JexPCLI::BAD_TABLE, 0, false},
        {"param at 255", CliTableBytes(11, "Param 255 P"), JexPCLI::BAD_TABLE, 0, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        const std::string path = Write("v.cli", c.bytes);
        JexPCLITable t{JexString(path.c_str())};
        EXPECT_EQ(t.Code(), c.code);
        EXPECT_EQ(t.first != nullptr, c.items);
        if (c.code == JexPCLI::BAD_VERSION) {
            EXPECT_STREQ(t.Args()[1].Data(), path.c_str());
            EXPECT_EQ(t.Args()[2].GetLong(), c.versionArg);
            EXPECT_STREQ(t.FormattedText(0).Text(),
                         ("Table " + path + " version " + std::to_string(c.versionArg) +
                          " is unsupported by this parser")
                             .c_str());
        }
        if (c.items) {
            EXPECT_EQ(t.first->options.Count(), c.bytes[4] == 10 ? 0 : 1);
        }
    }
}

TEST_F(JexPCLITableTest, MissingFileIsOpenFailWithTheSystemError) {
    const std::string path = (dir_.Path() / "absent").string();
    JexPCLITable t{JexString(path.c_str())};
    EXPECT_EQ(t.Code(), JexPCLI::OPEN_FAIL);
    EXPECT_STREQ(t.Args()[0].Data(), "open file");
    EXPECT_STREQ(t.Args()[1].Data(), (path + ".cli").c_str());
    ASSERT_NE(t.Cause(), nullptr);
    EXPECT_EQ(t.Cause()->Code(), ENOENT);
    EXPECT_EQ(t.first, nullptr);
}

TEST_F(JexPCLITableTest, NameWithoutTypeGetsCliAndATypedNameKeepsItsOwn) {
    Write("x.cli", CliTableBytes(11, "Verb 1 A"));
    Write("y.tab", CliTableBytes(11, "Verb 1 B"));
    JexPCLITable x{JexString((dir_.Path() / "x").string().c_str())};
    EXPECT_EQ(x.Code(), JexPCLI::OK);
    EXPECT_STREQ(x.Spec().Text(), (dir_.Path() / "x.cli").string().c_str());
    JexPCLITable y{JexString((dir_.Path() / "y.tab").string().c_str())};
    EXPECT_EQ(y.Code(), JexPCLI::OK);
}

TEST_F(JexPCLITableTest, RefusedNameIsAnErrorNotTheEnd) {
    JexPCLITable t{JexString("NODE1234::X")};
    EXPECT_EQ(t.Code(), JexPCLI::OPEN_FAIL);
    ASSERT_NE(t.Cause(), nullptr);
    EXPECT_EQ(t.Cause()->Code(), JexFileName::TOOLONG);
}

TEST_F(JexPCLITableTest, DeeperJumpEndsTheLoadKeepingWhatWasRead) {
    const std::string path = Write("jump.cli", CliTableBytes(11, "Verb 1 A\nVerb 3 B\nVerb 1 C"));
    JexPCLITable t{JexString(path.c_str())};
    EXPECT_EQ(t.Code(), JexPCLI::OK);
    ASSERT_NE(t.first, nullptr);
    EXPECT_EQ(t.first->child, nullptr);
    EXPECT_EQ(t.first->next, nullptr);
}

TEST_F(JexPCLITableTest, LongStringsEmptyInternalNamesAndLargeTables) {
    const std::string longName(255, 'N');
    std::vector<CliRecord> records(1);
    records[0].category = JexPCLI::Verb;
    records[0].name = longName;
    for (int i = 0; i < 50000; ++i) {
        CliRecord r;
        r.category = JexPCLI::Verb;
        r.name = "V" + std::to_string(i);
        records.push_back(r);
    }
    for (int level = 1; level <= JexPCLITable::kMaxLevel; ++level) {
        CliRecord r;
        r.category = JexPCLI::Verb;
        r.level = level;
        r.name = "D" + std::to_string(level);
        records.push_back(r);
    }
    const std::string path = Write("big.cli", CliTableBytes(11, records));
    JexPCLITable t{JexString(path.c_str())};
    ASSERT_EQ(t.Code(), JexPCLI::OK);
    EXPECT_STREQ(t.first->name.Text(), longName.c_str());
    EXPECT_STREQ(t.first->internal_name.Text(), longName.c_str());
    JexPCLIItem* deep = t.first;
    while (deep->next) deep = deep->next;
    int depth = 1;
    for (; deep->child; deep = deep->child) ++depth;
    EXPECT_EQ(depth, JexPCLITable::kMaxLevel);
    t.Reset();
    const std::string dump = Captured([&](FILE* out) { t.Dump(out); });
    EXPECT_NE(dump.find("-- End of Table --\n"), std::string::npos);
}

TEST_F(JexPCLITableTest, DumpShowsEachItemWithLinksAndFlags) {
    const std::string path = Write("dump.cli", CliTableBytes(11, R"(
Verb   1 SHOW help="Show it"
Switch 1 COLOR kv 1f default=RED options=RED,BLUE internal=COLOUR
Forbid 1 X n1 n2 a2 when=COLOR
Verb   1 LIST hi
)"));
    JexPCLITable t{JexString(path.c_str())};
    ASSERT_EQ(t.Code(), JexPCLI::OK);
    const std::string expected = "Contents of PCLI Table " + path +
                                 ":\n"
                                 "    Item: SHOW [internal:SHOW]\n"
                                 "    ....this:00000001 next:00000004 first:00000001\n"
                                 "    ....child:00000002 parent:00000000\n"
                                 "    ....cat: Verb lev: 1 oi: 0 flags:\n"
                                 "    ....Default: \n"
                                 "    ....Options: \n"
                                 "      Item: COLOR [internal:COLOUR]\n"
                                 "      ....this:00000002 next:00000003 first:00000002\n"
                                 "      ....child:00000000 parent:00000001\n"
                                 "      ....cat: Switch lev: 2 oi: 0 flags: kv 1f\n"
                                 "      ....Default: RED\n"
                                 "      ....Options: RED,BLUE\n"
                                 "      Item: X [internal:X]\n"
                                 "      ....this:00000003 next:00000000 first:00000002\n"
                                 "      ....child:00000000 parent:00000001\n"
                                 "      ....cat: Forbid lev: 2 oi: 0 flags: n1 n2 a2\n"
                                 "      ....Default: COLOR\n"
                                 "      ....Options: \n"
                                 "    Item: LIST [internal:LIST]\n"
                                 "    ....this:00000004 next:00000000 first:00000001\n"
                                 "    ....child:00000000 parent:00000000\n"
                                 "    ....cat: Verb lev: 1 oi: 0 flags: hi\n"
                                 "    ....Default: \n"
                                 "    ....Options: \n"
                                 "-- End of Table --\n";
    EXPECT_EQ(Captured([&](FILE* out) { t.Dump(out); }), expected);
}

TEST(JexPCLIItemTest, CategoryNames) {
    const char* names[] = {"None", "Verb", "Param", "Switch", "Forbid", "Alias", "-unknown-"};
    for (int c = 0; c <= 6; ++c) EXPECT_STREQ(JexPCLIItem::CategoryName(c), names[c]);
    EXPECT_STREQ(JexPCLIItem::CategoryName(-1), "-unknown-");
}

}  // namespace
