// Tests of JexModemServDb over temporary server files: records, registration, purge, search,
// reservation, rewrites.
#include "jexlink/modem/JexModemServDb.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "testing/support/ModemDbTestSupport.h"

namespace {

using tavro::testing::Error;
using tavro::testing::ExpectAccessModes;
using tavro::testing::ExpectError;
using tavro::testing::FileState;
using tavro::testing::FreeServer;
using tavro::testing::IntArg;
using tavro::testing::kMissing;
using tavro::testing::ModemDbFiles;
using tavro::testing::ModemDbFileTest;
using tavro::testing::PutFile;
using tavro::testing::Records;
using tavro::testing::ServerRecord;
using tavro::testing::ServerRow;

using Db = JexModemServDb;

ServerRow Server(const std::string& name, uint32_t pid = 1, int state = Db::kReady,
                 uint32_t daemon = 0) {
    ServerRow r;
    r.name = name;
    r.serverPid = pid;
    r.state = state;
    r.daemonPid = daemon;
    return r;
}

int32_t Number(Db& db, int attribute) {
    int32_t value = -1;
    EXPECT_EQ(db.GetAttr(attribute, value), Db::OK);
    return value;
}
std::string Text(Db& db, int attribute) {
    JexString value;
    EXPECT_EQ(db.GetAttr(attribute, value), Db::OK);
    return value.Text();
}

// The pid of a process that has ended and been reaped.
int32_t DeadPid() {
    const pid_t child = fork();
    if (child == 0) _exit(0);
    int status = 0;
    waitpid(child, &status, 0);
    return child;
}

using ServDbTest = ModemDbFileTest<&ModemDbFiles::Servers>;

TEST_F(ServDbTest, RegisteredRecordIsGolden) {
    const mode_t mask = umask(0);
    Put(kMissing);
    {
        Db db;
        ASSERT_EQ(db.Register("MyServer", "BoxOne", 0x1234abcd), Db::OK);
        EXPECT_EQ(db.AccessMode(), Db::kServer);
        const std::string expected = "myserver         BoxOne   1 1234abcd 00000000 0000 0000\n";
        ASSERT_EQ(expected.size(), 56u);
        EXPECT_EQ(Bytes(), expected);
        EXPECT_EQ(tavro::testing::PermissionBits(files_.Servers()), 0660u);
    }
    umask(mask);
    EXPECT_EQ(Bytes(), FreeServer());
    EXPECT_EQ(FreeServer().size(), 56u);
}

struct RegisterCase {
    const char* what;
    std::string fixture;
    std::string name, commbox;
    int32_t pid;
    Error error;
    int mode;
    std::string file;
};

TEST_F(ServDbTest, RegisterCases) {
    const std::string a = ServerRecord(Server("alpha", 5));
    const std::string c = ServerRecord(Server("gamma", 6));
    ServerRow mine = Server("beta", 7);
    mine.commbox = "Cb";
    const std::string b = ServerRecord(mine);
    const std::vector<RegisterCase> cases = {
        {"missing file is created", kMissing, "Beta", "Cb", 7, {}, Db::kServer, b},
        {"free record in the middle is reused",
         a + FreeServer() + c,
         "beta",
         "Cb",
         7,
         {},
         Db::kServer,
         a + b + c},
        {"no free record: appended", a + c, "beta", "Cb", 7, {}, Db::kServer, a + c + b},
        {"same name twice makes two records", b, "BETA", "Cb", 7, {}, Db::kServer, b + b},
        {"seventeen characters",
         a,
         std::string(17, 's'),
         "Cb",
         7,
         {Db::STRINGTOOLONG, "Register()", {IntArg(17), IntArg(16), "Server Name"}},
         Db::kUnestablished,
         a},
        {"empty name",
         a,
         "",
         "Cb",
         7,
         {Db::STRINGTOOSHORT, "Register()", {IntArg(0), IntArg(1), "Server Name"}},
         Db::kUnestablished,
         a},
        {"nine-character commbox",
         a,
         "beta",
         "123456789",
         7,
         {Db::STRINGTOOLONG, "Register()", {IntArg(9), IntArg(8), "Commbox Name"}},
         Db::kUnestablished,
         a},
        {"empty commbox",
         a,
         "beta",
         "",
         7,
         {Db::STRINGTOOSHORT, "Register()", {IntArg(0), IntArg(1), "Commbox Name"}},
         Db::kUnestablished,
         a},
        {"pid 0, file not opened",
         kMissing,
         "beta",
         "Cb",
         0,
         {Db::BADATTRVALUE, "Register()", {"Server PID"}},
         Db::kUnestablished,
         kMissing},
        {"leading blank",
         a,
         " beta",
         "Cb",
         7,
         {Db::BADATTRVALUE, "Register()", {"Server Name"}},
         Db::kUnestablished,
         a},
        {"blank inside the commbox",
         a,
         "beta",
         "C b",
         7,
         {Db::BADATTRVALUE, "Register()", {"Commbox Name"}},
         Db::kUnestablished,
         a},
        {"line feed in the name",
         a,
         "be\nta",
         "Cb",
         7,
         {Db::BADATTRVALUE, "Register()", {"Server Name"}},
         Db::kUnestablished,
         a},
        {"short last record",
         a + "xyz",
         "beta",
         "Cb",
         7,
         {Db::FORMATERROR, "Register() read()", {Path(), IntArg(2)}},
         Db::kFinished,
         a + "xyz"},
    };
    for (const RegisterCase& t : cases) {
        Put(t.fixture);
        Db db;
        db.Register(t.name.c_str(), t.commbox.c_str(), t.pid);
        ExpectError(db, t.error, t.what);
        EXPECT_EQ(db.AccessMode(), t.mode) << t.what;
        EXPECT_EQ(Bytes(), t.file) << t.what;
        if (db.AccessMode() == Db::kServer) {
            EXPECT_EQ(db.Register("other", "Cb", 8), Db::WRONGMODE) << t.what;
            ExpectError(db, {Db::WRONGMODE, "Register()"}, t.what);
        }
    }
}

TEST_F(ServDbTest, FindCases) {
    const std::string records = Records({Server("gamma", 3), Server("beta", 2), Server("Beta", 1)});
    struct Case {
        const char* what;
        std::string fixture;
        const char* pattern;
        std::vector<std::string> delivered;
        Error error;
        int mode;
    };
    const std::vector<Case> cases = {
        {"sorted by name, then the rest", records, "*", {"Beta", "beta", "gamma"}, {}, 3},
        {"capitals with a star", records, "GAM*", {"gamma"}, {}, 3},
        {"one-character wildcards", records, "g?m%a", {"gamma"}, {}, 3},
        {"no match", records, "delta", {}, {Db::NOMATCH, "Find()"}, 3},
        {"only free records", FreeServer() + FreeServer(), "*", {}, {Db::NOMATCH, "Find()"}, 3},
        {"missing file", kMissing, "*", {}, {Db::OPENFAIL, "vsdb_open()", {Path()}}, 4},
        {"short record",
         records + "x",
         "*",
         {},
         {Db::FORMATERROR, "Register() read()", {Path(), IntArg(4)}},
         4},
    };
    for (const Case& t : cases) {
        Put(t.fixture);
        Db db;
        const int code = db.Find(t.pattern);
        EXPECT_EQ(code, t.error.code) << t.what;
        std::vector<std::string> names;
        if (code == Db::OK) {
            do names.push_back(Text(db, Db::SERVER_NAME));
            while (db.Find(nullptr) == Db::OK);
            ExpectError(db, {Db::NOMORE, "Find()"}, t.what);
            EXPECT_EQ(db.Find(""), Db::OK);
            EXPECT_EQ(Text(db, Db::SERVER_NAME), t.delivered.front()) << t.what;
        } else {
            ExpectError(db, t.error, t.what);
        }
        EXPECT_EQ(names, t.delivered) << t.what;
        EXPECT_EQ(db.AccessMode(), t.mode) << t.what;
        EXPECT_EQ(Bytes(), t.fixture) << t.what;
    }
}

// Records another writer may leave; none is delivered, reserved or rewritten.
TEST_F(ServDbTest, MalformedRecordsArePassedOverByEveryScan) {
    const std::string good = ServerRecord(Server("good", 1));
    const auto changed = [&](size_t at, const std::string& text) {
        std::string r = good;
        r.replace(at, text.size(), text);
        return r;
    };
    const std::vector<std::string> bad = {
        changed(0, "goodgoodgoodgoodg"),                     // name over 16
        changed(46, std::string(9, ' ')),                    // references missing
        changed(28, "100000001 0000000"),                    // pid beyond 32 bits
        changed(46, "10000 000"),                            // reference beyond 16 bits
        std::string("good") + std::string(51, '\0') + "\n",  // NUL bytes
        std::string(55, 'g') + "\n",                         // no blanks
        changed(26, "x"),                                    // state not a number
    };
    std::string fixture;
    for (const std::string& b : bad) {
        ASSERT_EQ(b.size(), 56u) << b;
        fixture += b;
    }
    Put(fixture + good);
    Db finder;
    ASSERT_EQ(finder.Find("*"), Db::OK);
    EXPECT_EQ(Text(finder, Db::SERVER_NAME), "good");
    EXPECT_EQ(finder.Find(nullptr), Db::NOMORE);
    Db purger;
    EXPECT_EQ(purger.Purge(), Db::OK);  // pid 1 lives: nothing blanked
    Db daemon;
    ASSERT_EQ(daemon.Reserve("good", 77), Db::OK);
    EXPECT_EQ(Bytes(), fixture + ServerRecord(Server("good", 1, Db::kReserved, 77)));
    ASSERT_EQ(daemon.Remove(), Db::OK);
    EXPECT_EQ(Bytes(), fixture + FreeServer());
}

TEST_F(ServDbTest, DumpIsGolden) {
    ServerRow r = Server("beta", 0x20, Db::kOnline, 0x30);
    r.srcRef = 0xffff;
    r.dstRef = 2;
    r.commbox = "LongBox8";
    Put(ServerRecord(Server("alpha", 10, 7)) + FreeServer() + ServerRecord(r));
    char* text = nullptr;
    size_t size = 0;
    FILE* out = open_memstream(&text, &size);
    Db db;
    EXPECT_EQ(db.Dump(nullptr, out), Db::OK);
    std::fclose(out);
    EXPECT_EQ(std::string(text, size),
              "Server:  alpha\n  State:    Unknown  Commbox:      box1  Link: (0,0)\n"
              "    PID:         10  Daemon:          0\n\n"
              "Server:  beta\n  State:     Online  Commbox:  LongBox8  Link: (65535,2)\n"
              "    PID:         32  Daemon:         48\n\n");
    std::free(text);
    EXPECT_EQ(db.Code(), Db::OK);

    for (const std::string& fixture : {FreeServer(), kMissing}) {
        Put(fixture);
        out = open_memstream(&text, &size);
        Db none;
        EXPECT_EQ(none.Dump("", out), fixture == kMissing ? Db::OPENFAIL : Db::NOMATCH);
        std::fclose(out);
        EXPECT_EQ(std::string(text, size), "\n  -- No matching entries found --\n");
        std::free(text);
    }
}

TEST_F(ServDbTest, NamesOfStatesModesAndAttributes) {
    const std::vector<std::pair<int, const char*>> states = {{0, "Offline"},  {1, "Ready"},
                                                             {2, "Reserved"}, {3, "Online"},
                                                             {4, "Unknown"},  {-1, "Unknown"}};
    for (const auto& [value, name] : states) EXPECT_STREQ(Db::state_name(value).Text(), name);
    const std::vector<std::pair<int, const char*>> modes = {{0, "Unestablished"}, {1, "Server"},
                                                            {2, "Daemon"},        {3, "Utility"},
                                                            {4, "Finished"},      {5, "Unknown"}};
    for (const auto& [value, name] : modes) EXPECT_STREQ(Db::mode_name(value).Text(), name);
    const std::vector<std::pair<int, const char*>> attributes = {
        {0, "Server's Name"}, {1, "Server's PID"}, {2, "Daemon's PID"}, {3, "Src Ref Id"},
        {4, "Dst Ref Id"},    {5, "State"},        {6, "Commbox"},      {7, "Unknown"}};
    for (const auto& [value, name] : attributes)
        EXPECT_STREQ(Db::attribute_name(value).Text(), name);
}

TEST_F(ServDbTest, AttributeCases) {
    enum Kind { kGetInt, kGetText, kSetInt, kSetText };
    struct Case {
        Kind kind;
        int attribute;
        int32_t number;
        const char* text;
        bool server;  // registered first
        Error error;
    };
    const std::vector<Case> cases = {
        {kGetInt, Db::SERVER_NAME, 0, nullptr, false, {Db::ATTRNOTINT}},
        {kGetInt, Db::COMMBOX, 0, nullptr, false, {Db::ATTRNOTINT}},
        {kGetInt, 9, 0, nullptr, false, {Db::BADATTR, "GetAttr(i)", {IntArg(9)}}},
        {kGetText, Db::STATE, 0, nullptr, false, {Db::ATTRNOTSTRING}},
        {kGetText, -1, 0, nullptr, false, {Db::BADATTR, "GetAttr(s)", {IntArg(-1)}}},
        {kSetInt, Db::SERVER_PID, 5, nullptr, true, {Db::ATTRREADONLY}},
        {kSetInt, Db::DAEMON_PID, 5, nullptr, true, {Db::ATTRREADONLY}},
        {kSetInt, Db::SRC_REF_ID, 65535, nullptr, false, {}},
        {kSetInt,
         Db::SRC_REF_ID,
         65536,
         nullptr,
         false,
         {Db::BADATTRVALUE, "SetAttr(i)", {"Src Ref Id"}}},
        {kSetInt,
         Db::DST_REF_ID,
         -1,
         nullptr,
         false,
         {Db::BADATTRVALUE, "SetAttr(i)", {"Dst Ref Id"}}},
        {kSetInt, Db::STATE, 1, nullptr, false, {Db::WRONGMODE}},
        {kSetInt, Db::STATE, 3, nullptr, true, {}},
        {kSetInt, Db::STATE, 4, nullptr, true, {Db::BADATTRVALUE, "SetAttr(i)", {"State"}}},
        {kSetInt, Db::COMMBOX, 1, nullptr, false, {Db::ATTRNOTINT}},
        {kSetInt, 7, 1, nullptr, false, {Db::BADATTR, "SetAttr(i)", {IntArg(7)}}},
        {kSetText, Db::SERVER_NAME, 0, "x", false, {Db::ATTRREADONLY}},
        {kSetText, Db::STATE, 0, "x", false, {Db::ATTRNOTSTRING}},
        {kSetText, Db::COMMBOX, 0, "Box8Box8", false, {}},
        {kSetText,
         Db::COMMBOX,
         0,
         "Box9Box9x",
         false,
         {Db::STRINGTOOLONG, "SetAttr(s)", {IntArg(9), IntArg(8), "Commbox"}}},
        {kSetText,
         Db::COMMBOX,
         0,
         "",
         false,
         {Db::STRINGTOOSHORT, "SetAttr(s)", {IntArg(0), IntArg(1), "Commbox"}}},
        {kSetText, Db::COMMBOX, 0, "b x", false, {Db::BADATTRVALUE, "SetAttr(s)", {"Commbox"}}},
        {kSetText, 7, 0, "x", false, {Db::BADATTR, "SetAttr(s)", {IntArg(7)}}},
    };
    Put("");
    for (const Case& t : cases) {
        const std::string what = std::to_string(t.kind) + "/" + std::to_string(t.attribute) + "/" +
                                 std::to_string(t.number) + "/" + (t.text ? t.text : "");
        Db db;
        if (t.server) {
            ASSERT_EQ(db.Register("srv", "Cb", 9), Db::OK);
        }
        ServerRow registered = Server("srv", 9);
        registered.commbox = "Cb";
        const std::string before = ServerRecord(registered);
        int32_t number = 0;
        JexString text;
        int code = 0;
        switch (t.kind) {
            case kGetInt: code = db.GetAttr(t.attribute, number); break;
            case kGetText: code = db.GetAttr(t.attribute, text); break;
            case kSetInt: code = db.SetAttr(t.attribute, t.number); break;
            case kSetText: code = db.SetAttr(t.attribute, t.text); break;
        }
        EXPECT_EQ(code, t.error.code) << what;
        ExpectError(db, t.error, what);
        if (t.kind == kSetInt && t.error.code == Db::OK) {
            EXPECT_EQ(Number(db, t.attribute), t.number) << what;
        }
        if (t.kind == kSetText && t.attribute == Db::COMMBOX) {
            EXPECT_EQ(Text(db, Db::COMMBOX), t.error.code == Db::OK ? t.text : "") << what;
        }
        // Setters change the object only.
        if (t.server) {
            EXPECT_EQ(Bytes(), before) << what;
        }
    }
}

TEST_F(ServDbTest, ReserveTakesTheFirstReadyRecordOfTheName) {
    const std::string fixture = Records(
        {Server("other"), Server("srv", 5, Db::kReserved), Server("SRV", 6), Server("srv", 7)});
    Put(fixture);
    Db daemon;
    ASSERT_EQ(daemon.Reserve("Srv", 4321), Db::OK);
    EXPECT_EQ(daemon.AccessMode(), Db::kDaemon);
    EXPECT_EQ(Text(daemon, Db::SERVER_NAME), "SRV");
    EXPECT_EQ(Number(daemon, Db::SERVER_PID), 6);
    EXPECT_EQ(Number(daemon, Db::DAEMON_PID), 4321);
    EXPECT_EQ(Number(daemon, Db::STATE), Db::kReserved);
    const std::string reserved = Records({Server("other"), Server("srv", 5, Db::kReserved),
                                          Server("SRV", 6, Db::kReserved, 4321), Server("srv", 7)});
    EXPECT_EQ(Bytes(), reserved);
    EXPECT_EQ(daemon.Reserve("srv", 1), Db::WRONGMODE);
    ExpectError(daemon, {Db::WRONGMODE, "Reserve()"}, "second reserve");

    // Unreserve gives it back with daemon pid 0 and ends the object.
    ASSERT_EQ(daemon.Unreserve(), Db::OK);
    EXPECT_EQ(daemon.AccessMode(), Db::kFinished);
    EXPECT_EQ(Bytes(), fixture);
    EXPECT_EQ(daemon.Unreserve(), Db::WRONGMODE);
    ExpectError(daemon, {Db::WRONGMODE, "Unreserve()"}, "second unreserve");
}

TEST_F(ServDbTest, RewriteCasesWithoutATarget) {
    struct Case {
        const char* what;
        std::string fixture;
        std::function<int(Db&)> run;
        int result;
        Error error;
        int mode;
    };
    const std::string busy =
        Records({Server("srv", 5, Db::kReserved), Server("srv", 6, Db::kOnline)});
    const auto reserve = [](Db& db) { return db.Reserve("srv", 9); };
    const auto unreserve = [](Db& db) {
        db.Reserve("srv", 9);
        return db.Unreserve();
    };
    const std::vector<Case> cases = {
        {"reserve, only free records",
         FreeServer(),
         reserve,
         Db::NOMATCH,
         {Db::NOMATCH, "reserve()"},
         Db::kDaemon},
        {"reserve, only reserved and online",
         busy,
         reserve,
         Db::NOMATCH,
         {Db::NOMATCH, "reserve()"},
         Db::kDaemon},
        {"reserve, missing file",
         kMissing,
         reserve,
         Db::NOMATCH,
         {Db::OPENFAIL, "vsdb_open()", {Path()}},
         Db::kDaemon},
        {"reserve, short record",
         busy + "x",
         reserve,
         Db::FORMATERROR,
         {Db::FORMATERROR, "Register() read()", {Path(), IntArg(3)}},
         Db::kFinished},
        {"unreserve, missing file",
         kMissing,
         unreserve,
         Db::OPENFAIL,
         {Db::OPENFAIL, "vsdb_open()", {Path()}},
         Db::kFinished},
        {"unreserve, only free records",
         FreeServer(),
         unreserve,
         Db::NOMATCH,
         {Db::NOMATCH, "unreserve()"},
         Db::kFinished},
    };
    for (const Case& t : cases) {
        Put(t.fixture);
        Db db;
        EXPECT_EQ(t.run(db), t.result) << t.what;
        ExpectError(db, t.error, t.what);
        EXPECT_EQ(db.AccessMode(), t.mode) << t.what;
        EXPECT_EQ(Bytes(), t.fixture) << t.what;
    }
}

TEST_F(ServDbTest, UpdateKeepsTheDaemonPidOfTheFile) {
    Put(ServerRecord(Server("srv", 5)));
    Db server;
    ASSERT_EQ(server.Register("srv", "Cb", 8), Db::OK);
    ASSERT_EQ(server.SetAttr(Db::STATE, Db::kOnline), Db::OK);
    ASSERT_EQ(server.SetAttr(Db::SRC_REF_ID, 0x12), Db::OK);
    ASSERT_EQ(server.SetAttr(Db::DST_REF_ID, 0xabcd), Db::OK);
    // The daemon changed its column meanwhile.
    ServerRow reserved = Server("srv", 8, Db::kReserved, 4321);
    reserved.commbox = "Cb";
    Put(ServerRecord(Server("srv", 5)) + ServerRecord(reserved));
    ASSERT_EQ(server.Update(), Db::OK);
    EXPECT_EQ(Number(server, Db::DAEMON_PID), 4321);
    ServerRow want = Server("srv", 8, Db::kOnline, 4321);
    want.commbox = "Cb";
    want.srcRef = 0x12;
    want.dstRef = 0xabcd;
    EXPECT_EQ(Bytes(), ServerRecord(Server("srv", 5)) + ServerRecord(want));

    // Removed by someone else: Update and Remove find nothing.
    Put(ServerRecord(Server("srv", 5)) + FreeServer());
    EXPECT_EQ(server.Update(), Db::ENTRYDELETED);
    ExpectError(server, {Db::ENTRYDELETED, "Update()"}, "update");
    EXPECT_EQ(server.Remove(), Db::ENTRYDELETED);
    ExpectError(server, {Db::ENTRYDELETED, "Remove()"}, "remove");
    EXPECT_EQ(server.AccessMode(), Db::kServer);
    EXPECT_EQ(Bytes(), ServerRecord(Server("srv", 5)) + FreeServer());
}

TEST_F(ServDbTest, RemoveFreesAnyStateOnceAndTheDestructorOnlyInServerMode) {
    Put(Records({Server("srv", 5, Db::kReserved)}));
    {
        Db finder;
        ASSERT_EQ(finder.Find("srv"), Db::OK);
        ASSERT_EQ(finder.Remove(), Db::OK);
        ExpectError(finder, {}, "remove");
        EXPECT_EQ(Bytes(), FreeServer());
        EXPECT_EQ(finder.Remove(), Db::ENTRYDELETED);
    }
    Put("");
    {
        Db server;
        ASSERT_EQ(server.Register("srv", "Cb", 5), Db::OK);
        {
            Db utility;
            ASSERT_EQ(utility.Find("*"), Db::OK);
            Db daemon;
            ASSERT_EQ(daemon.Reserve("srv", 9), Db::OK);
        }
        ServerRow r = Server("srv", 5, Db::kReserved, 9);
        r.commbox = "Cb";
        EXPECT_EQ(Bytes(), ServerRecord(r));
    }
    EXPECT_EQ(Bytes(), FreeServer());
}

TEST_F(ServDbTest, UpdateAndRemoveOnAMissingFileAreOpenFail) {
    for (bool update : {true, false}) {
        Put("");
        Db db;
        ASSERT_EQ(db.Register("srv", "Cb", 5), Db::OK);
        Put(kMissing);
        EXPECT_EQ(update ? db.Update() : db.Remove(), Db::OPENFAIL);
        ExpectError(db, {Db::OPENFAIL, "vsdb_open()", {Path()}}, update ? "update" : "remove");
        EXPECT_EQ(db.AccessMode(), Db::kFinished);
        EXPECT_EQ(Bytes(), kMissing);
        EXPECT_EQ(db.Find("*"), Db::WRONGMODE);
    }
}

TEST_F(ServDbTest, AccessModeTable) {
    Put(Records({Server("srv", 5)}));
    using Op = std::function<int(Db&)>;
    const Op reg = [](Db& db) { return db.Register("new", "Cb", 3); };
    const Op reserve = [](Db& db) { return db.Reserve("srv", 9); };
    const Op find = [](Db& db) { return db.Find("*"); };
    const Op dump = [](Db& db) { return db.Dump("*", nullptr); };
    const Op purge = [](Db& db) { return db.Purge(); };
    const Op update = [](Db& db) { return db.Update(); };
    const Op unreserve = [](Db& db) { return db.Unreserve(); };
    ExpectAccessModes<Db>(
        {
            {"fresh update", nullptr, update, "Update()"},
            {"fresh unreserve", nullptr, unreserve, "Unreserve()"},
            {"fresh remove", nullptr, [](Db& db) { return db.Remove(); }, "Remove()"},
            {"server find", reg, find, "Find()"},
            {"server dump", reg, dump, "Dump()"},
            {"server purge", reg, purge, "Purge()"},
            {"server reserve", reg, reserve, "Reserve()"},
            {"daemon update", reserve, update, "Update()"},
            {"daemon find", reserve, find, "Find()"},
            {"utility register", find, reg, "Register()"},
            {"utility update", purge, update, "Update()"},
        },
        [](Db& db) {
            if (db.AccessMode() == Db::kDaemon) db.Unreserve();
        });
}

TEST_F(ServDbTest, PurgeFreesRecordsOfEndedProcessesOnly) {
    const int32_t dead = DeadPid();
    const int32_t live = getpid();
    ServerRow online = Server("gone", static_cast<uint32_t>(dead), Db::kOnline, 12);
    const std::string fixture = Records({Server("alive", static_cast<uint32_t>(live)), online,
                                         Server("alive2", static_cast<uint32_t>(live))});
    Put(fixture);
    Db purger;
    EXPECT_EQ(purger.Purge(), Db::OK);
    ExpectError(purger, {}, "purge");
    EXPECT_EQ(purger.AccessMode(), Db::kUtility);
    const std::string purged = Records({Server("alive", static_cast<uint32_t>(live))}) +
                               FreeServer() +
                               Records({Server("alive2", static_cast<uint32_t>(live))});
    EXPECT_EQ(Bytes(), purged);
    // A later registration reuses the freed record.
    Db server;
    ASSERT_EQ(server.Register("new", "Cb", live), Db::OK);
    EXPECT_EQ(Bytes().size(), fixture.size());
    EXPECT_NE(Bytes().find("new "), std::string::npos);

    Put(kMissing);
    Db missing;
    EXPECT_EQ(missing.Purge(), Db::OPENFAIL);
    ExpectError(missing, {Db::OPENFAIL, "vsdb_open()", {Path()}}, "missing");
    EXPECT_EQ(missing.AccessMode(), Db::kFinished);
    EXPECT_EQ(Bytes(), kMissing);
}

}  // namespace
