// Tests of JexModemLineDb's selection of a line (reservation) and of its trace.
#include "jexlink/modem/LineDbTestSupport.h"

namespace {

using namespace tavro::testing::line_db;

TEST(LineDbTrace, SwitchTable) {
    const int all = Db::kTraceGeneral | Db::kTraceReserve | Db::kTraceUpdate | Db::kTraceRemove;
    const std::vector<std::pair<const char*, int>> cases = {
        {nullptr, 0},
        {"", 0},
        {"g", Db::kTraceGeneral},
        {"G", Db::kTraceGeneral},
        {"*", all},
        {"-*", 0},
        {"*-u", all & ~Db::kTraceUpdate},
        {"rX", Db::kTraceReserve | Db::kTraceRemove},
        {"u-u+u", Db::kTraceUpdate},
        {"q7 z", 0},
    };
    for (const auto& [value, flags] : cases)
        EXPECT_EQ(Db::ParseTraceSwitch(value), flags) << (value ? value : "(unset)");
    setenv("JEXMODEMLINEDB_TRACE", "*-u", 1);
    Db::ReadTraceSwitch();
    EXPECT_EQ(Db::TraceFlags(), all & ~Db::kTraceUpdate);
    unsetenv("JEXMODEMLINEDB_TRACE");
    Db::ReadTraceSwitch();
    EXPECT_EQ(Db::TraceFlags(), 0);
}

TEST_F(LineDbTest, GeneralAndUpdateTraceLines) {
    Put(LineRecord(Row("taken")));
    setenv("JEXMODEMLINEDB_TRACE", "GU", 1);
    Db::ReadTraceSwitch();
    testing::internal::CaptureStderr();
    {
        Db db;
        db.Register("Line1", 77);
        db.Update();
        Db dup;
        dup.Register("taken", 78);
    }
    const std::string trace = testing::internal::GetCapturedStderr();
    unsetenv("JEXMODEMLINEDB_TRACE");
    Db::ReadTraceSwitch();
    EXPECT_EQ(trace,
              "<vldb:g> Registering line 'line1' for PID 77\n    <:g> Registered OK\n"
              "<vldb:u> Updating line 'line1'\n    <:u> Updated OK\n"
              "<vldb:g> Registering line 'taken' for PID 78\n"
              "    <:g> Registration failed, line 'taken' already exists\n");
}

// One selection over a set of lines.
struct ReserveCase {
    const char* what;
    std::vector<LineRow> lines;
    const char* destination;
    int32_t speed;
    const char* type;
    int32_t idleOk;
    std::vector<const char*> skip;
    const char* sequence;  // "Modem.LookupSequence", or null for none
    const char* chosen;    // null: NOMATCH
};

TEST_F(LineDbTest, ReserveCases) {
    LineRow online = Idle("online", Db::kBoth, Db::kOnline);
    online.maxLinks = 2;
    online.links = 1;
    online.dtn = "dest";
    LineRow full = online;
    full.name = "full";
    full.links = 2;
    LineRow answer = online;
    answer.name = "answer";
    answer.allowed = Db::kAnswer;
    answer.dtn = "";
    answer.rtn = "dest";
    LineRow slow = Idle("slow");
    slow.speed = 2400;
    LineRow fast = Idle("fast");
    fast.speed = 14400;
    LineRow isdn = Idle("isdn");
    isdn.type = "isdn";
    const std::vector<ReserveCase> cases = {
        {"pass 1 to the destination",
         {Idle("aaa"), online},
         "DEST",
         0,
         "*",
         1,
         {},
         nullptr,
         "online"},
        {"pass 1 by the RTN of an answer line", {answer}, "dest", 0, "*", 0, {}, nullptr, "answer"},
        {"full links are not taken", {full}, "dest", 0, "*", 0, {}, nullptr, nullptr},
        {"idle permission 0 never takes an idle line",
         {Idle("only")},
         "dest",
         0,
         "*",
         0,
         {},
         nullptr,
         nullptr},
        {"sequential: the first name",
         {Idle("bbb"), Idle("aaa")},
         "x",
         0,
         "*",
         1,
         {},
         nullptr,
         "aaa"},
        {"skip list without regard to case",
         {Idle("bbb"), Idle("aaa")},
         "x",
         0,
         "*",
         1,
         {"AAA"},
         "Sequential",
         "bbb"},
        {"speed 9600 rejects 2400",
         {slow, Idle("mid"), fast},
         "x",
         9600,
         "*",
         1,
         {"mid"},
         nullptr,
         "fast"},
        {"speed 0 takes any", {slow}, "x", 0, "*", 1, {}, nullptr, "slow"},
        {"line type lower-cased", {isdn, Idle("pstn1")}, "x", 0, "ISDN", 1, {}, nullptr, "isdn"},
        {"originate line listening is not taken",
         {Idle("orig", Db::kOriginate, Db::kListening)},
         "x",
         0,
         "*",
         1,
         {},
         nullptr,
         nullptr},
        {"both line listening in pass 3",
         {Idle("both", Db::kBoth, Db::kListening)},
         "x",
         0,
         "*",
         1,
         {},
         nullptr,
         "both"},
        {"pass 2 before pass 3",
         {Idle("aboth", Db::kBoth), Idle("zorig")},
         "x",
         0,
         "*",
         1,
         {},
         nullptr,
         "zorig"},
        {"disabled current mode",
         {[] {
             LineRow r = Idle("off");
             r.current = 0;
             return r;
         }()},
         "x",
         0,
         "*",
         1,
         {},
         nullptr,
         nullptr},
    };
    for (const ReserveCase& t : cases) {
        Put(Records(t.lines));
        ASSERT_TRUE(tavro::testing::WriteText(JexConfig::kGlobalParameters, "Modem.LookupSequence",
                                              t.sequence ? t.sequence : ""));
        JexFieldedString skip(',');
        for (size_t i = 0; i < t.skip.size(); ++i) skip[static_cast<int>(i)] = t.skip[i];
        Db db;
        const int code = db.Reserve(t.destination, t.speed, t.type, t.idleOk, skip);
        EXPECT_EQ(db.AccessMode(), 1) << t.what;
        if (t.chosen) {
            EXPECT_EQ(code, Db::OK) << t.what;
            ExpectError(db, {}, t.what);
            EXPECT_STREQ(Text(db, Db::LINE_NAME).Text(), t.chosen) << t.what;
        } else {
            EXPECT_EQ(code, Db::NOMATCH) << t.what;
            ExpectError(db, {Db::NOMATCH}, t.what);
        }
        EXPECT_EQ(FileState(files_.Lines()), Records(t.lines)) << t.what;
    }
}

TEST_F(LineDbTest, RandomOrderComesFromTheInjectedGenerator) {
    // Two idle lines; the draws 0x8000 then 0xffff turn the order round.
    Put(Records({Idle("aaa"), Idle("bbb")}));
    for (const char* sequence : {"RANDOM", "rAnDoM", "Sequential", "random-ish"}) {
        ASSERT_TRUE(tavro::testing::WriteText(JexConfig::kGlobalParameters, "Modem.LookupSequence",
                                              sequence));
        std::vector<uint16_t> draws = {0x8000, 0xffff};
        size_t next = 0;
        Db db;
        db.SetRandomSource([&] { return draws[next++ % draws.size()]; });
        ASSERT_EQ(db.Reserve("x", 0, "*", 1, JexFieldedString(',')), Db::OK) << sequence;
        const bool random = std::string(sequence).size() == 6;
        EXPECT_STREQ(Text(db, Db::LINE_NAME).Text(), random ? "bbb" : "aaa") << sequence;
        EXPECT_EQ(next, random ? 2u : 0u) << sequence;
    }
}

TEST_F(LineDbTest, ReserveFailuresCarryTheirCause) {
    for (const std::string& fixture : {std::string(""), RemovedLine(), kMissing}) {
        Put(fixture);
        Db db;
        EXPECT_EQ(db.Reserve("x", 0, "*", 1, JexFieldedString(',')), Db::NOMATCH);
        ExpectError(db, {Db::NOMATCH, "Reserve()'s initial Find()"}, fixture);
        ASSERT_NE(db.Cause(), nullptr);
        EXPECT_EQ(db.Cause()->Code(), fixture == kMissing ? Db::OPENFAIL : Db::NOMATCH);
        // One selection per object; the second reads nothing.
        Put(Records({Idle("aaa")}));
        EXPECT_EQ(db.Reserve("x", 0, "*", 1, JexFieldedString(',')), Db::WRONGMODE);
        ExpectError(db, {Db::WRONGMODE, "Reserve()"}, "second");
    }
}

TEST_F(LineDbTest, ReserveTraceLines) {
    Put(Records({Idle("aaa")}));
    ASSERT_TRUE(tavro::testing::WriteText(JexConfig::kGlobalParameters, "Modem.LookupSequence",
                                          "Sequential"));
    setenv("JEXMODEMLINEDB_TRACE", "r", 1);
    Db::ReadTraceSwitch();
    JexFieldedString skip(',');
    skip[0] = "Other";
    testing::internal::CaptureStderr();
    Db db;
    db.Reserve("Dest", 1200, "PSTN", 1, skip);
    const std::string trace = testing::internal::GetCapturedStderr();
    unsetenv("JEXMODEMLINEDB_TRACE");
    Db::ReadTraceSwitch();
    EXPECT_EQ(trace,
              "<vldb:r> Reserve request for call to 'pstn.dest' at speed 1200, free:1\n"
              "    <:r> There are 1 line(s) in the skiplist:\n"
              "    <:r> 000: Line 'Other'\n"
              "<vldb:r> Pass 1 checking line 'aaa'\n"
              "<vldb:r> Line selection method is 'Sequential'\n"
              "<vldb:r> Pass 2 checking line 'aaa'\n"
              "<vldb:r> Pass 2 Match: Line 'aaa'\n");
}

TEST(LineDbFoundIn, ComparesWithoutRegardToCase) {
    JexFieldedString list(',');
    EXPECT_EQ(Db::found_in(JexString("a"), list), 0);
    list.Parse("One,TWO");
    EXPECT_EQ(Db::found_in(JexString("two"), list), 1);
    EXPECT_EQ(Db::found_in(JexString("ONE"), list), 1);
    EXPECT_EQ(Db::found_in(JexString("on"), list), 0);
}

}  // namespace
