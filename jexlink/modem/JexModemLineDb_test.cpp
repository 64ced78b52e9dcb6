// Tests of JexModemLineDb over temporary line files: records, registration, access modes,
// attributes, lookup, update and removal.
#include "jexlink/modem/LineDbTestSupport.h"

namespace {

using namespace tavro::testing::line_db;

TEST_F(LineDbTest, RegisteredRecordWithEmptyTextsIsGolden) {
    const mode_t mask = umask(022);
    {
        Db db;
        Registered(db, "Line1", 0x3039);
        const std::string expected =
            std::string("line1           ") + " 00003039 0 0 0   0   0        0 " + "." +
            std::string(31, ' ') + " " + "." + std::string(15, ' ') + " " + "." +
            std::string(15, ' ') + " " + "." + std::string(7, ' ') + " " + "." +
            std::string(39, ' ') + " " + "." + std::string(39, ' ') + " " + "." +
            std::string(39, ' ') + " " + "." + std::string(63, ' ') + "\n";
        ASSERT_EQ(expected.size(), 313u);
        EXPECT_EQ(Bytes(), expected);
        EXPECT_EQ(tavro::testing::PermissionBits(files_.Lines()), 0660u);

        // Read back, every "." is an empty text again.
        Db reader;
        ASSERT_EQ(reader.Find("line1"), Db::OK);
        for (int a = Db::NODE; a <= Db::DESCRIPTION; ++a)
            EXPECT_STREQ(Text(reader, a).Text(), "") << Db::attribute_name(a).Text();
        int32_t pid = 0;
        EXPECT_EQ(reader.GetAttr(Db::LINE_PID, pid), Db::OK);
        EXPECT_EQ(pid, 0x3039);
    }
    umask(mask);
    // The registering object removed its record when it ended.
    EXPECT_EQ(Bytes(), RemovedLine());
}

TEST_F(LineDbTest, PathComesFromTheSettingOrTheInstallationAtConstruction) {
    Db first;
    EXPECT_STREQ(first.Path().Text(), Path().c_str());
    ASSERT_TRUE(tavro::testing::WriteText(JexConfig::kGlobalParameters, "File.Modem.VLDB", ""));
    ASSERT_TRUE(tavro::testing::WriteInstallPath(files_.Dir().string()));
    Db second;
    EXPECT_STREQ(second.Path().Text(), (files_.Dir() / "data/jex_modem_lines.dat").c_str());
    EXPECT_STREQ(first.Path().Text(), Path().c_str());
}

// One registration over a fixture: result, error, access mode and file.
struct RegisterCase {
    const char* what;
    std::string fixture;
    std::string name;
    int32_t pid;
    Error error;
    int mode;
    std::string file;  // afterwards, while the object lives
};

TEST_F(LineDbTest, RegisterCases) {
    const std::string a = LineRecord(Row("alpha", 5));
    const std::string c = LineRecord(Row("gamma", 6));
    const std::string b = LineRecord(Row("beta", 7));
    const std::string sixteen = LineRecord(Row("abcdefghijklmnop", 7));
    // A record that does not parse (an over-long node) still blocks its first word.
    std::string unparsable = b;
    unparsable.replace(49, 33, std::string(33, 'n'));
    const std::string noBlanks = std::string(312, 'x') + "\n";
    const std::vector<RegisterCase> cases = {
        {"missing file is created", kMissing, "beta", 7, {}, 2, b},
        {"mixed case and a trailing blank", "", "BeTa ", 7, {}, 2, b},
        {"removed record is reused", a + RemovedLine() + c, "beta", 7, {}, 2, a + b + c},
        {"no removed record: appended", a + c, "beta", 7, {}, 2, a + c + b},
        {"sixteen characters fill the column", "", "ABCDEFGHIJKLMNOP", 7, {}, 2, sixteen},
        {"duplicate in another case and pid",
         a,
         "ALPHA",
         9,
         {Db::DUPLICATEENTRY, "Register()"},
         4,
         a},
        {"unparsable record keeps its name",
         unparsable,
         "beta",
         7,
         {Db::DUPLICATEENTRY, "Register()"},
         4,
         unparsable},
        {"a record without blanks is passed over", noBlanks, "beta", 7, {}, 2, noBlanks + b},
        {"seventeen characters",
         kMissing,
         "abcdefghijklmnopq",
         7,
         {Db::STRINGTOOLONG, "Register()", {IntArg(17), IntArg(16), "Line_Name"}},
         0,
         kMissing},
        {"empty name",
         a,
         "",
         7,
         {Db::STRINGTOOSHORT, "Register()", {IntArg(0), IntArg(1), "Line_Name"}},
         0,
         a},
        {"pid 0", a, "beta", 0, {Db::BADATTRVALUE, "Register()", {"PID"}}, 0, a},
        {"leading blank", a, " beta", 7, {Db::BADATTRVALUE, "Register()", {"Line_Name"}}, 0, a},
        {"blank inside", a, "be ta", 7, {Db::BADATTRVALUE, "Register()", {"Line_Name"}}, 0, a},
        {"only blanks", a, "   ", 7, {Db::BADATTRVALUE, "Register()", {"Line_Name"}}, 0, a},
        {"control character",
         a,
         "be\x01ta",
         7,
         {Db::BADATTRVALUE, "Register()", {"Line_Name"}},
         0,
         a},
        {"short last record",
         a + "tail",
         "beta",
         7,
         {Db::FORMATERROR, "Register() read()", {Path(), IntArg(2)}},
         4,
         a + "tail"},
    };
    for (const RegisterCase& t : cases) {
        Put(t.fixture);
        Db db;
        db.Register(t.name.c_str(), t.pid);
        ExpectError(db, t.error, t.what);
        EXPECT_EQ(db.AccessMode(), t.mode) << t.what;
        EXPECT_EQ(Bytes(), t.file) << t.what;
    }
}

TEST_F(LineDbTest, AccessModeTableRefusesWithWrongMode) {
    Put(LineRecord(Row("alpha")));
    using Op = std::function<int(Db&)>;
    const Op find = [](Db& db) { return db.Find("*"); };
    const Op neighbor = [](Db& db) { return db.Neighbor("alpha"); };
    const Op dump = [](Db& db) { return db.Dump("*", nullptr); };
    const Op update = [](Db& db) { return db.Update(); };
    const Op remove = [](Db& db) { return db.Remove(); };
    const Op reg = [](Db& db) { return db.Register("zeta", 3); };
    const Op reserve = [](Db& db) { return db.Reserve("x", 0, "*", 0, JexFieldedString(',')); };
    ExpectAccessModes<Db>(
        {
            {"fresh update", nullptr, update, "Update()"},
            {"fresh remove", nullptr, remove, "Remove()"},
            {"reserving neighbor", reserve, neighbor, "Find()"},
            {"reserving dump", reserve, dump, "Dump()"},
            {"reserving update", reserve, update, "Update()"},
            {"reserving remove", reserve, remove, "Remove()"},
            {"reserving find", reserve, find, nullptr},
            {"registered neighbor", reg, neighbor, "Find()"},
            {"registered dump", reg, dump, "Dump()"},
            {"registered register", reg, reg, "Register()"},
            {"browsing update", find, update, "Update()"},
            {"browsing register", find, reg, "Register()"},
            {"browsing reserve", find, reserve, "Reserve()"},
        },
        [](Db& db) {
            if (db.AccessMode() == 2) db.Remove();
        });
}

TEST_F(LineDbTest, FailedOpenIsFinalAndCreatesNothing) {
    Put(kMissing);
    Db db;
    EXPECT_EQ(db.Find("*"), Db::OPENFAIL);
    ExpectError(db, {Db::OPENFAIL, "vldb_open()", {Path()}}, "find");
    ASSERT_NE(db.Cause(), nullptr);
    EXPECT_EQ(db.Cause()->Code(), ENOENT);
    EXPECT_EQ(db.AccessMode(), 4);
    EXPECT_EQ(Bytes(), kMissing);
    EXPECT_EQ(db.Find(nullptr), Db::WRONGMODE);
    EXPECT_EQ(db.Dump("*", nullptr), Db::WRONGMODE);
    EXPECT_EQ(db.Register("alpha", 1), Db::WRONGMODE);
    EXPECT_EQ(Bytes(), kMissing);
}

TEST_F(LineDbTest, OnlyARegularFileIsOpenedNeverThroughALink) {
    const std::filesystem::path target = files_.Dir() / "target";
    tavro::testing::WriteFile(target, "keep");
    struct Case {
        const char* what;
        std::function<void()> plant;
        int error;
    };
    const std::vector<Case> cases = {
        {"link", [&] { std::filesystem::create_symlink(target, files_.Lines()); }, ELOOP},
        {"fifo", [&] { ASSERT_EQ(mkfifo(files_.Lines().c_str(), 0600), 0); }, EINVAL},
        {"directory", [&] { std::filesystem::create_directory(files_.Lines()); }, EISDIR},
    };
    for (const Case& t : cases) {
        std::filesystem::remove_all(files_.Lines());
        t.plant();
        Db db;
        EXPECT_EQ(db.Register("alpha", 1), Db::OPENFAIL) << t.what;
        ExpectError(db, {Db::OPENFAIL, "vldb_open()", {Path()}}, t.what);
        ASSERT_NE(db.Cause(), nullptr);
        EXPECT_EQ(db.Cause()->Code(), t.error) << t.what;
        EXPECT_EQ(tavro::testing::ReadFile(target), "keep") << t.what;
    }
    std::filesystem::remove_all(files_.Lines());
}

TEST_F(LineDbTest, UpdateAndRemoveOnAMissingFileAreOpenFail) {
    for (bool update : {true, false}) {
        Put("");
        Db db;
        Registered(db, "alpha", 4);
        Put(kMissing);
        EXPECT_EQ(update ? db.Update() : db.Remove(), Db::OPENFAIL);
        ExpectError(db, {Db::OPENFAIL, "vldb_open()", {Path()}}, update ? "update" : "remove");
        EXPECT_EQ(db.AccessMode(), 4);
        EXPECT_EQ(Bytes(), kMissing);
    }
}

TEST_F(LineDbTest, FindCases) {
    const std::string records = Records({Row("gamma"), Row("beta"), Row("alpha2"), Row("alpha")});
    struct Case {
        const char* what;
        std::string fixture;
        const char* pattern;
        std::vector<std::string> delivered;  // names in order
        Error error;                         // of the search
    };
    const std::vector<Case> cases = {
        {"all, sorted, a name before its extensions",
         records,
         "*",
         {"alpha", "alpha2", "beta", "gamma"},
         {}},
        {"names equal but for case, in the exchange sort's order",
         Records({Row("Beta"), Row("beta"), Row("alpha")}),
         "*",
         {"alpha", "beta", "Beta"},
         {}},
        {"upper-case pattern", records, "ALPHA*", {"alpha", "alpha2"}, {}},
        {"exact name", records, "alpha", {"alpha"}, {}},
        {"one-character wildcards", records, "g?m%a", {"gamma"}, {}},
        {"no match", records, "delta", {}, {Db::NOMATCH, "Find()"}},
        {"only removed records", RemovedLine() + RemovedLine(), "*", {}, {Db::NOMATCH, "Find()"}},
        {"empty file", "", "*", {}, {Db::NOMATCH, "Find()"}},
        {"short record",
         records + std::string(100, 'x'),
         "*",
         {},
         {Db::FORMATERROR, "Find() read()", {Path(), IntArg(5)}}},
    };
    for (const Case& t : cases) {
        Put(t.fixture);
        Db db;
        const int code = db.Find(t.pattern);
        EXPECT_EQ(code, t.error.code) << t.what;
        std::vector<std::string> names;
        if (code == Db::OK) {
            do names.push_back(Text(db, Db::LINE_NAME).Text());
            while (db.Find(nullptr) == Db::OK);
            ExpectError(db, {Db::NOMORE, "Find()"}, t.what);
            // After NOMORE the deliveries start again at the first.
            EXPECT_EQ(db.Find(""), Db::OK) << t.what;
            EXPECT_EQ(Text(db, Db::LINE_NAME).Text(), t.delivered.front()) << t.what;
        } else {
            ExpectError(db, t.error, t.what);
        }
        EXPECT_EQ(names, t.delivered) << t.what;
        EXPECT_EQ(Bytes(), t.fixture) << t.what;
    }
}

TEST_F(LineDbTest, FindWithoutPatternOnAFreshObjectGivesNoMore) {
    Db db;
    EXPECT_EQ(db.Find(nullptr), Db::NOMORE);
    EXPECT_EQ(db.AccessMode(), 3);
}

TEST_F(LineDbTest, DeliveryFillsEveryField) {
    LineRow r = Row("line7", 0xfffffffe);
    r.state = 4;
    r.allowed = 3;
    r.current = 2;
    r.links = 12;
    r.maxLinks = 999;
    r.speed = 99999999;
    r.node = "node";
    r.device = "/dev/Tty1";
    r.type = "pstn";
    r.commbox = "BOX";
    r.ltn = "l";
    r.rtn = "r";
    r.dtn = "d";
    r.description = "two words  and trailing";
    Put(LineRecord(r));
    Db db;
    ASSERT_EQ(db.Find("*"), Db::OK);
    const std::vector<std::pair<int, int32_t>> numbers = {
        {Db::LINE_PID, -2},           {Db::STATE, 4},
        {Db::ALLOWED_MODE, 3},        {Db::CURRENT_MODE, 2},
        {Db::CURRENT_LINK_COUNT, 12}, {Db::MAXIMUM_LINK_COUNT, 999},
        {Db::SPEED, 99999999}};
    for (const auto& [attribute, value] : numbers) {
        int32_t got = 0;
        EXPECT_EQ(db.GetAttr(attribute, got), Db::OK);
        EXPECT_EQ(got, value) << Db::attribute_name(attribute).Text();
    }
    const std::vector<std::pair<int, const char*>> texts = {
        {Db::NODE, "node"},      {Db::DEVICE, "/dev/Tty1"},
        {Db::LINE_TYPE, "pstn"}, {Db::COMMBOX, "BOX"},
        {Db::LTN, "l"},          {Db::RTN, "r"},
        {Db::DTN, "d"},          {Db::DESCRIPTION, "two words  and trailing"}};
    for (const auto& [attribute, value] : texts)
        EXPECT_STREQ(Text(db, attribute).Text(), value) << Db::attribute_name(attribute).Text();
}

// Records another writer may leave: none may be delivered, matched,
// rewritten or crash a scan; the whole record beside them still serves.
TEST_F(LineDbTest, MalformedRecordsArePassedOverByEveryScan) {
    std::string good = LineRecord(Row("good", 3));
    std::vector<std::string> bad;
    std::string longName = LineRecord(Row("good", 3));
    longName.replace(0, 17, "goodgoodgoodgoodg");  // 17 characters, no blank after
    bad.push_back(longName);
    std::string bigPid = LineRecord(Row("good", 3));
    bigPid.replace(16, 10, " 1ffffffff");  // nine hex digits: beyond 32 bits
    bad.push_back(bigPid);
    bad.push_back("good 3" + std::string(306, ' ') + "\n");  // fields missing
    bad.push_back("good" + std::string(308, '\0') + "\n");   // NUL bytes
    std::string nul = LineRecord(Row("good", 3));
    nul[40] = '\0';  // a NUL inside the speed
    bad.push_back(nul);
    bad.push_back(std::string(312, 'g') + "\n");  // no blanks
    std::string letters = LineRecord(Row("good", 3));
    letters[26] = 'x';  // a state that is not a number
    bad.push_back(letters);
    std::string fixture;
    for (const std::string& b : bad) fixture += b;
    ASSERT_EQ(fixture.size() % 313, 0u);
    fixture += good;
    Put(fixture);

    Db browse;
    ASSERT_EQ(browse.Find("*"), Db::OK);
    EXPECT_STREQ(Text(browse, Db::LINE_NAME).Text(), "good");
    EXPECT_EQ(browse.Find(nullptr), Db::NOMORE);
    // Remove of the delivered line blanks only the whole record.
    ASSERT_EQ(browse.Find(nullptr), Db::OK);
    EXPECT_EQ(browse.Remove(), Db::OK);
    EXPECT_EQ(Bytes(), fixture.substr(0, fixture.size() - 313) + RemovedLine());
    // Nothing else is a line to remove.
    EXPECT_EQ(browse.Remove(), Db::ENTRYDELETED);
    EXPECT_EQ(Bytes(), fixture.substr(0, fixture.size() - 313) + RemovedLine());
}

TEST_F(LineDbTest, NeighborCases) {
    const std::string three = Records({Row("gamma"), Row("alpha"), Row("beta")});
    struct Case {
        std::string fixture;
        const char* name;
        int code;
        const char* neighbor;
    };
    const std::vector<Case> cases = {
        {three, "alpha", Db::OK, "beta"},
        {three, "BETA", Db::OK, "gamma"},
        {three, "gamma", Db::OK, "alpha"},  // the last wraps to the first
        {three, "delta", Db::NOMATCH, nullptr},
        {LineRecord(Row("solo")), "solo", Db::NOMATCH, nullptr},
        {RemovedLine(), "solo", Db::NOMATCH, nullptr},
    };
    for (const Case& t : cases) {
        Put(t.fixture);
        Db db;
        EXPECT_EQ(db.Neighbor(t.name), t.code) << t.name;
        EXPECT_EQ(db.AccessMode(), 3);
        if (t.neighbor) {
            EXPECT_STREQ(Text(db, Db::LINE_NAME).Text(), t.neighbor) << t.name;
        } else if (t.fixture != RemovedLine()) {
            ExpectError(db, {Db::NOMATCH, "no matching line for neighbor check"}, t.name);
        }
    }
}

TEST_F(LineDbTest, DumpIsGolden) {
    LineRow b = Row("beta", 0x10);
    b.state = 4;
    b.allowed = 3;
    b.current = 1;
    b.links = 1;
    b.maxLinks = 2;
    b.speed = 14400;
    b.node = "far";
    b.type = "pstn";
    b.commbox = "Box9";
    b.description = "the line";
    LineRow a = Row("alpha", 0x7f);
    a.state = 9;
    a.allowed = 7;
    Put(LineRecord(b) + RemovedLine() + LineRecord(a));
    char* text = nullptr;
    size_t size = 0;
    FILE* out = open_memstream(&text, &size);
    Db db;
    EXPECT_EQ(db.Dump(nullptr, out), Db::OK);
    std::fclose(out);
    const std::string dump(text, size);
    std::free(text);
    EXPECT_EQ(dump,
              "Line Name:  alpha\n    PID: 127\n  State: -unknown(9)-\n  AMode: -unknown(7)-\n"
              "  CMode: Disabled\n  CLink: 0\n  MLink: 0\n  Speed: 0\n   Node: \n    Dev: \n"
              "  LType: \n   Cbox: \n    LTN: \n    RTN: \n    DTN: \n   Desc: \n\n"
              "Line Name:  beta\n    PID: 16\n  State: Online\n  AMode: Both\n  CMode: Originate\n"
              "  CLink: 1\n  MLink: 2\n  Speed: 14400\n   Node: far\n    Dev: \n  LType: pstn\n"
              "   Cbox: Box9\n    LTN: \n    RTN: \n    DTN: \n   Desc: the line\n\n");
    EXPECT_EQ(db.Code(), Db::OK);

    Put(RemovedLine());
    out = open_memstream(&text, &size);
    Db none;
    EXPECT_EQ(none.Dump("", out), Db::NOMATCH);
    std::fclose(out);
    EXPECT_EQ(std::string(text, size), "\n  -- No matching entries found --\n");
    std::free(text);
}

TEST_F(LineDbTest, NamesOfStatesModesAndAttributes) {
    const std::vector<std::pair<int, const char*>> states = {
        {0, "Offline"}, {1, "Idle"}, {2, "Listening"},    {3, "Dialing"},
        {4, "Online"},  {5, "Term"}, {6, "-unknown(6)-"}, {-1, "-unknown(-1)-"}};
    for (const auto& [value, name] : states) EXPECT_STREQ(Db::state_name(value).Text(), name);
    const std::vector<std::pair<int, const char*>> modes = {
        {0, "Disabled"}, {1, "Originate"}, {2, "Answer"}, {3, "Both"}, {4, "-unknown(4)-"}};
    for (const auto& [value, name] : modes) EXPECT_STREQ(Db::mode_name(value).Text(), name);
    const std::vector<std::pair<int, const char*>> attributes = {
        {0, "LINE_NAME"},    {7, "SPEED"},    {12, "LTN"},
        {15, "DESCRIPTION"}, {16, "Unknown"}, {-1, "Unknown"}};
    for (const auto& [value, name] : attributes)
        EXPECT_STREQ(Db::attribute_name(value).Text(), name);
}

TEST_F(LineDbTest, IntegerAttributeCases) {
    struct Case {
        int attribute;
        int32_t value;
        bool registered;
        Error error;
    };
    const std::vector<Case> cases = {
        {Db::STATE, 4, true, {}},
        {Db::STATE, 5, true, {Db::BADATTRVALUE, "SetAttr(i)", {"State"}}},
        {Db::ALLOWED_MODE, 3, true, {}},
        {Db::CURRENT_MODE, 3, true, {Db::BADATTRVALUE, "SetAttr(i)", {"Current_Mode"}}},
        {Db::CURRENT_LINK_COUNT,
         1000,
         true,
         {Db::BADATTRVALUE, "SetAttr(i)", {"Current_Link_Count"}}},
        {Db::MAXIMUM_LINK_COUNT,
         -1,
         true,
         {Db::BADATTRVALUE, "SetAttr(i)", {"Maximum_Link_Count"}}},
        {Db::SPEED, -1, true, {Db::BADATTRVALUE, "SetAttr(i)", {"Speed"}}},
        {Db::SPEED, 0, true, {}},
        {Db::SPEED, 99999999, true, {}},
        {Db::SPEED, 100000000, true, {Db::BADATTRVALUE, "SetAttr(i)", {"Speed"}}},
        {Db::STATE, 4, false, {Db::WRONGMODE}},
        {Db::SPEED, -5, false, {Db::WRONGMODE}},
        {Db::LINE_NAME, 1, true, {Db::ATTRREADONLY}},
        {Db::LINE_PID, 1, true, {Db::ATTRREADONLY}},
        {Db::NODE, 1, true, {Db::ATTRNOTINT}},
        {16, 1, true, {Db::BADATTR, "SetAttr(i)", {IntArg(16)}}},
        {-1, 1, true, {Db::BADATTR, "SetAttr(i)", {IntArg(-1)}}},
    };
    Put("");
    for (const Case& t : cases) {
        const std::string what =
            std::string(Db::attribute_name(t.attribute).Text()) + "=" + std::to_string(t.value);
        Db db;
        if (t.registered) Registered(db, "line", 2);
        int32_t before = -7;
        db.GetAttr(t.attribute, before);
        EXPECT_EQ(db.SetAttr(t.attribute, t.value), t.error.code) << what;
        ExpectError(db, t.error, what);
        int32_t after = -7;
        db.GetAttr(t.attribute, after);
        EXPECT_EQ(after, t.error.code == Db::OK ? t.value : before) << what;
    }
}

TEST_F(LineDbTest, TextAttributeCases) {
    struct Case {
        int attribute;
        std::string value;
        Error error;
        const char* stored;
    };
    const std::string n33(33, 'n');
    const std::vector<Case> cases = {
        {Db::NODE, "Far.Node  ", {}, "far.node"},
        {Db::NODE, std::string(32, 'N'), {}, nullptr},
        {Db::NODE, n33, {Db::STRINGTOOLONG, "SetAttr(s)", {IntArg(33), IntArg(32), "node"}}, ""},
        {Db::NODE, "", {Db::STRINGTOOSHORT, "SetAttr(s)", {IntArg(0), IntArg(1), "node"}}, ""},
        {Db::NODE, "a b", {Db::BADATTRVALUE, "SetAttr(s)", {"node"}}, ""},
        {Db::NODE, "   ", {Db::BADATTRVALUE, "SetAttr(s)", {"node"}}, ""},
        {Db::DEVICE, "", {}, ""},
        {Db::DEVICE, "Dev\t1", {Db::BADATTRVALUE, "SetAttr(s)", {"device"}}, ""},
        {Db::LINE_TYPE, "PSTN", {}, "pstn"},
        {Db::COMMBOX, "MyBox ", {}, "MyBox"},
        {Db::COMMBOX,
         "123456789",
         {Db::STRINGTOOLONG, "SetAttr(s)", {IntArg(9), IntArg(8), "commbox"}},
         ""},
        {Db::LTN, "", {}, ""},
        {Db::DTN, "X\x01Y", {Db::BADATTRVALUE, "SetAttr(s)", {"dtn"}}, ""},
        {Db::DESCRIPTION, "Two Words  ", {}, "Two Words"},
        {Db::DESCRIPTION, "line\nfeed", {Db::BADATTRVALUE, "SetAttr(s)", {"description"}}, ""},
        {Db::DESCRIPTION,
         std::string(65, 'd'),
         {Db::STRINGTOOLONG, "SetAttr(s)", {IntArg(65), IntArg(64), "description"}},
         ""},
        {Db::LINE_NAME, "x", {Db::ATTRREADONLY}, ""},
        {Db::LINE_PID, "x", {Db::ATTRREADONLY}, ""},
        {Db::SPEED, "x", {Db::ATTRNOTSTRING}, ""},
        {16, "x", {Db::BADATTR, "SetAttr(s)", {IntArg(16)}}, ""},
    };
    for (const Case& t : cases) {
        Db db;
        EXPECT_EQ(db.SetAttr(t.attribute, t.value.c_str()), t.error.code) << t.value;
        ExpectError(db, t.error, t.value);
        if (t.attribute < Db::NODE || t.attribute > Db::DESCRIPTION) continue;
        std::string want = t.stored ? t.stored : "";
        if (!t.stored) {
            want = t.value;
            for (char& ch : want)
                ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
        }
        EXPECT_STREQ(Text(db, t.attribute).Text(), want.c_str()) << t.value;
    }
}

TEST_F(LineDbTest, GetAttrTypeErrors) {
    Db db;
    int32_t number = 0;
    JexString text;
    EXPECT_EQ(db.GetAttr(Db::NODE, number), Db::ATTRNOTINT);
    ExpectError(db, {Db::ATTRNOTINT}, "node as integer");
    EXPECT_EQ(db.GetAttr(Db::SPEED, text), Db::ATTRNOTSTRING);
    ExpectError(db, {Db::ATTRNOTSTRING}, "speed as text");
    EXPECT_EQ(db.GetAttr(16, text), Db::BADATTR);
    ExpectError(db, {Db::BADATTR, "GetAttr(s)", {IntArg(16)}}, "16");
    EXPECT_EQ(db.GetAttr(-1, number), Db::BADATTR);
    ExpectError(db, {Db::BADATTR, "GetAttr(i)", {IntArg(-1)}}, "-1");
    // The bad attribute's text names it.
    EXPECT_NE(std::string(db.FormattedText(0).Text()).find("Bad attribute (enum=-1) specified"),
              std::string::npos);
    // A text reads back as set.
    ASSERT_EQ(db.SetAttr(Db::NODE, "node"), Db::OK);
    JexString node;
    db.GetAttr(Db::NODE, node);
    EXPECT_STREQ(node.Text(), "node");
}

TEST_F(LineDbTest, UpdateRewritesTheOwnRecordOnly) {
    // The same name under another pid is never touched.
    const std::string other = LineRecord(Row("line", 99));
    Put(other);
    Db db;
    ASSERT_EQ(db.SetAttr(Db::NODE, "Far"), Db::OK);
    ASSERT_EQ(db.SetAttr(Db::COMMBOX, "Cb"), Db::OK);
    // A registered name blocks it for every pid.
    EXPECT_EQ(db.Register("line", 5), Db::DUPLICATEENTRY);
    Put(other + RemovedLine());
    Db owner;
    ASSERT_EQ(owner.SetAttr(Db::NODE, "Far"), Db::OK);
    ASSERT_EQ(owner.SetAttr(Db::COMMBOX, "Cb"), Db::OK);
    Registered(owner, "line2", 5);
    ASSERT_EQ(owner.SetAttr(Db::STATE, Db::kOnline), Db::OK);
    ASSERT_EQ(owner.SetAttr(Db::ALLOWED_MODE, Db::kBoth), Db::OK);
    ASSERT_EQ(owner.SetAttr(Db::CURRENT_LINK_COUNT, 3), Db::OK);
    ASSERT_EQ(owner.SetAttr(Db::SPEED, 99999999), Db::OK);
    // Refused values change neither the object nor, through Update, the file.
    EXPECT_EQ(owner.SetAttr(Db::SPEED, 100000000), Db::BADATTRVALUE);
    EXPECT_EQ(owner.SetAttr(Db::NODE, "two words"), Db::BADATTRVALUE);
    EXPECT_EQ(owner.Update(), Db::OK);
    EXPECT_EQ(owner.Code(), Db::BADATTRVALUE);  // success leaves the current error
    LineRow want = Row("line2", 5);
    want.state = 4;
    want.allowed = 3;
    want.links = 3;
    want.speed = 99999999;
    want.node = "far";
    want.commbox = "Cb";
    EXPECT_EQ(FileState(files_.Lines()), other + LineRecord(want));

    // Another process removed it: Update finds no record, the file stays.
    Put(other + RemovedLine());
    EXPECT_EQ(owner.Update(), Db::ENTRYDELETED);
    ExpectError(owner, {Db::ENTRYDELETED, "Update()"}, "update after removal");
    EXPECT_EQ(owner.AccessMode(), 2);
    EXPECT_EQ(FileState(files_.Lines()), other + RemovedLine());
}

TEST_F(LineDbTest, DestructorRemovesOnlyARegisteredLine) {
    Put("");
    {
        Db owner;
        Registered(owner, "alpha", 5);
        {
            Db browser;
            ASSERT_EQ(browser.Find("*"), Db::OK);
            Db reserver;
            reserver.Reserve("x", 0, "*", 1, JexFieldedString(','));
        }
        EXPECT_EQ(FileState(files_.Lines()), LineRecord(Row("alpha", 5)));
    }
    EXPECT_EQ(FileState(files_.Lines()), RemovedLine());
}

TEST_F(LineDbTest, RemoveTwiceGivesEntryDeletedAndTracesIt) {
    Put("");
    Db db;
    Registered(db, "alpha", 5);
    setenv("JEXMODEMLINEDB_TRACE", "x", 1);
    Db::ReadTraceSwitch();
    testing::internal::CaptureStderr();
    EXPECT_EQ(db.Remove(), Db::OK);
    EXPECT_EQ(db.Remove(), Db::ENTRYDELETED);
    const std::string trace = testing::internal::GetCapturedStderr();
    EXPECT_EQ(trace,
              "<vldb:x> Removing line 'alpha'\n    <:x> Line removed OK\n"
              "<vldb:x> Removing line 'alpha'\n    <:x> Line was already removed\n");
    ExpectError(db, {Db::ENTRYDELETED, "Remove()"}, "second remove");
    EXPECT_EQ(FileState(files_.Lines()), RemovedLine());
    unsetenv("JEXMODEMLINEDB_TRACE");
    Db::ReadTraceSwitch();
}

}  // namespace
