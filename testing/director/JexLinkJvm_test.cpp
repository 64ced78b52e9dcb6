// Tests that load libJEXLinkAPI into a Java VM and submit parcels through sendJEXParcel.
//
// Each case runs the test director's ParcelProbe under -Xcheck:jni in a VM
// of its own, against a scripted "Jex_Sra" server on a thread of the test
// process; the probe records the outcome of each call in a file that the
// test reads back.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "jexlink/core/JexNetMsg.h"
#include "jexlink/sra/JexSra.h"
#include "jexlink/sra/JexSraProtocol.h"
#include "testing/support/ChildProcesses.h"
#include "testing/support/JavaVm.h"
#include "testing/support/RouteMap.h"
#include "testing/support/SraPeer.h"
#include "testing/support/TempDir.h"

namespace {

using tavro::testing::ChildGuard;
using tavro::testing::ChildResult;
using tavro::testing::ReadFile;
using tavro::testing::RunChild;
using tavro::testing::SraClientSetup;
using tavro::testing::SraPeer;
using tavro::testing::SraPeerRow;
using tavro::testing::TempDir;
using tavro::testing::WriteFile;
using namespace std::chrono_literals;

constexpr int kVmBoundMs = 90000;  // longest a VM may take for one case

// The probe's record: tag -> text, for the lines of one submission.
using Record = std::map<std::string, std::string>;

class JexLinkJvm : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(peer_.Listening());
        setup_ = std::make_unique<SraClientSetup>(peer_);
        ASSERT_TRUE(setup_->Ok());
        record_ = dir_.Path() / "record.txt";
        // Set before any server thread runs; the VM inherits it.
        setenv("TAVRO_DIRECTOR_RECORD", record_.c_str(), 1);
        setenv("ASAN_OPTIONS", tavro::testing::kJavaVmSanitizerOptions, 1);
    }

    // Runs a probe class with the arguments; its output.
    ChildResult RunClass(const char* jar, const char* mainClass,
                         const std::vector<std::string>& arguments) {
        std::vector<std::string> argv = {
            TAVRO_JAVARUN,
            "-Xcheck:jni",
            std::string("-Djava.class.path=") + jar,
            std::string("-Djava.library.path=") + TAVRO_JEXLINKAPI_DIR,
            mainClass,
        };
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        ChildResult result = RunChild(argv, {}, kVmBoundMs);
        EXPECT_EQ(result.exitStatus, 0) << result.output;
        // -Xcheck:jni reports every misuse of the interface.
        EXPECT_EQ(result.output.find("in native method"), std::string::npos) << result.output;
        EXPECT_EQ(result.output.find("FATAL"), std::string::npos) << result.output;
        return result;
    }

    // Runs the parcel probe; the record of its one submission.
    Record Probe(const std::vector<std::string>& arguments) {
        RunClass(TAVRO_PARCEL_PROBE_JAR, "com.pelmar.vantrix.tavro.core.ParcelProbe", arguments);
        return Lines("");
    }

    // The record's lines with the prefix ("" or "[i] "), by tag.
    Record Lines(const std::string& prefix) {
        Record record;
        std::istringstream in(ReadFile(record_));
        for (std::string line; std::getline(in, line);) {
            if (!line.starts_with(prefix)) continue;
            line = line.substr(prefix.size());
            const auto space = line.find(' ');
            record[line.substr(0, space)] =
                space == std::string::npos ? "" : line.substr(space + 1);
        }
        return record;
    }

    // A route map that leads to a port nobody listens on.
    void RouteToClosedPort() {
        ASSERT_TRUE(tavro::testing::WriteRouteToClosedPort(
            setup_->Path() / "data" / "jex_route_map.dat", "srv/snode/jex_sra"));
    }

    static std::vector<std::string> Parcel(const std::string& contact) {
        return {"getSubject=Printer on fire",
                "getBody=It burns\nstill",
                "getOSType=Linux 6",
                "getEntityType=Blade",
                "getSoftwareVer=2.2.1",
                "getContactInfo=" + contact,
                "access=acc-5"};
    }

    ChildGuard guard_;
    TempDir dir_{"jexlink-jvm"};
    SraPeer peer_;
    std::unique_ptr<SraClientSetup> setup_;
    std::filesystem::path record_;
};

constexpr const char* kAllGettersOnce =
    "getSubject=1 getBody=1 getOSType=1 getEntityType=1 getSoftwareVer=1 getContactInfo=1";

TEST_F(JexLinkJvm, EmptyContactGivesMinusOneAndOpensNoConnection) {
    ASSERT_TRUE(peer_.Serve(SraPeerRow(), 3s));
    const Record record = Probe(Parcel(""));
    peer_.Join();
    EXPECT_FALSE(peer_.Accepted());
    EXPECT_EQ(record.at("call"), "sendJEXParcel thrown");
    EXPECT_EQ(record.at("returnCode"), "-1");
    EXPECT_EQ(record.at("exception"), "no contact address");
    EXPECT_EQ(record.at("getters"), kAllGettersOnce);
    // Nothing reached the adapter: no history record.
    EXPECT_FALSE(std::filesystem::exists(setup_->HistoryLog()));
}

TEST_F(JexLinkJvm, SuccessReturnsZeroAndTheServerGetsTheRequest) {
    SraPeerRow row;
    row.number = "SR-777";
    ASSERT_TRUE(peer_.Serve(row));
    const Record record = Probe(Parcel("me@site"));
    ASSERT_TRUE(peer_.Join());
    EXPECT_EQ(record.at("call"), "sendJEXParcel 0");
    EXPECT_EQ(record.at("returnCode"), "12345");  // left alone
    EXPECT_EQ(record.at("exception"), "none");
    EXPECT_EQ(record.at("getters"), kAllGettersOnce);

    const auto& seen = peer_.Record();
    JexNetMsg connect;
    connect.Decode(seen.connect.data(), static_cast<int>(seen.connect.size()));
    ASSERT_FALSE(connect.Corrupt());
    EXPECT_EQ(connect.Type(), kSraConnect);
    EXPECT_STREQ(JexSraText(connect[kSraItemKind]).Text(), "0");
    EXPECT_EQ(connect[kSraItemVersion].GetLong(), 20);
    EXPECT_EQ(connect[kSraItemNumeric].GetLong(), 2);
    EXPECT_STREQ(JexSraText(connect[kSraItemSubject]).Text(), "Printer on fire");
    EXPECT_STREQ(JexSraText(connect[kSraItemAccessNumber]).Text(), "ACC-5");
    EXPECT_STREQ(JexSraText(connect[kSraItemContact]).Text(), "me@site");
    const std::vector<std::string> expected = {
        std::string("D\x6f\x07\x00\x00Linux 6", 12),
        std::string("D\x68\x05\x00\x00"
                    "Blade",
                    10),
        std::string("D\x73\x05\x00\x00"
                    "2.2.1",
                    10),
        "d",
        "dIt burns",
        "dstill",
        "d",
        "Z",
    };
    EXPECT_EQ(seen.messages, expected);

    // One history record of the submission, with its tags.
    const std::string log = ReadFile(setup_->HistoryLog());
    EXPECT_NE(log.find("Metric"), std::string::npos) << log;
    EXPECT_NE(log.find("Client/New Sevice Request"), std::string::npos) << log;
    EXPECT_NE(log.find("Connecting JexSra Server"), std::string::npos) << log;
    EXPECT_NE(log.find("SUCCESSFUL"), std::string::npos) << log;
    EXPECT_EQ(log.find("Record-Type"), log.rfind("Record-Type")) << log;
}

TEST_F(JexLinkJvm, ClosedPortGivesSixWithTheFailureChain) {
    RouteToClosedPort();
    const Record record = Probe(Parcel("me@site"));
    EXPECT_EQ(record.at("call"), "sendJEXParcel thrown");
    EXPECT_EQ(record.at("returnCode"), "6");
    const std::string& text = record.at("exception");
    EXPECT_TRUE(text.starts_with("--- ")) << text;
    EXPECT_NE(text.find("JexSra::PROBSUBFAIL, Problem submission failed"), std::string::npos)
        << text;
    EXPECT_NE(text.find("JexSra::CONNECTFAIL, Connection to server failed"), std::string::npos)
        << text;
    // The failure is in the history log too.
    const std::string log = ReadFile(setup_->HistoryLog());
    EXPECT_NE(log.find("JexSra::PROBSUBFAIL"), std::string::npos) << log;
}

TEST_F(JexLinkJvm, SizeLimitBelowTheTextGivesEight) {
    SraPeerRow row;
    row.connect = SraPeerRow::Connect::kAccept;
    row.limit = 5;
    ASSERT_TRUE(peer_.Serve(row));
    const Record record = Probe(Parcel("me@site"));
    ASSERT_TRUE(peer_.Join());
    EXPECT_EQ(record.at("returnCode"), "8");
    EXPECT_NE(record.at("exception").find("exceeds the size limit of 5 bytes"), std::string::npos)
        << record.at("exception");
    EXPECT_TRUE(peer_.Record().messages.empty());
}

TEST_F(JexLinkJvm, FailureReplyGivesSixWithTheServersError) {
    SraPeerRow row;
    row.reply = SraPeerRow::Reply::kFailure;
    row.failure_code = JexSra::NODATAERR;
    ASSERT_TRUE(peer_.Serve(row));
    const Record record = Probe(Parcel("me@site"));
    ASSERT_TRUE(peer_.Join());
    EXPECT_EQ(record.at("returnCode"), "6");
    const std::string& text = record.at("exception");
    EXPECT_NE(text.find("JexSra::REMOTEFAIL"), std::string::npos) << text;
    EXPECT_NE(text.find("JexSra::NODATAERR, Mandatory data not given"), std::string::npos) << text;
}

// Whatever bytes the server's error holds, the VM gets modified UTF-8.
TEST_F(JexLinkJvm, ServerTextThatIsNotUtf8ReachesJavaReplaced) {
    SraPeerRow row;
    row.reply = SraPeerRow::Reply::kFailure;
    row.failure_code = JexSra::INVALIDSRQID;
    row.failure_argument = "\xff\xc3(x\xc3\xa9\xf0\x9f\x98\x80";
    ASSERT_TRUE(peer_.Serve(row));
    const Record record = Probe(Parcel("me@site"));
    ASSERT_TRUE(peer_.Join());
    EXPECT_EQ(record.at("returnCode"), "6");
    EXPECT_NE(record.at("exception").find("Invalid service request number ?\?(x\xc3\xa9?\?\?\?"),
              std::string::npos)
        << record.at("exception");
}

// Null references from Java are never used: a null text counts as empty.
TEST_F(JexLinkJvm, NullTextsAndMissingGettersNeitherCrashNorWarn) {
    struct Case {
        const char* what;
        std::vector<std::string> arguments;
        bool submits;
    } cases[] = {
        {"every getter null", {}, false},
        {"null parcel", {"parcel=null"}, false},
        {"null contact, rest set", {"getSubject=s", "getBody=b", "access=a"}, false},
        {"throwing contact getter", {"getContactInfo=!throw"}, false},
        {"only a contact, null access number", {"getContactInfo=c@d"}, true},
        {"throwing getters but the contact",
         {"getOSType=!throw", "getBody=!throw", "getContactInfo=c@d", "access=a"},
         true},
        {"parcel without the other getters", {"parcel=contactonly", "getContactInfo=c@d"}, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::filesystem::remove(record_);
        if (c.submits) {
            ASSERT_TRUE(peer_.Serve(SraPeerRow()));
        }
        const Record record = Probe(c.arguments);
        if (c.submits) {
            ASSERT_TRUE(peer_.Join());
            EXPECT_EQ(record.at("call"), "sendJEXParcel 0");
            EXPECT_EQ(record.at("exception"), "none");
            EXPECT_TRUE(peer_.Record().ended);
            continue;
        }
        EXPECT_EQ(record.at("returnCode"), "-1");
        EXPECT_EQ(record.at("exception"), "no contact address");
    }
}

// A director class without m_returnCode and without the exception class:
// the status is returned, nothing is thrown, nothing is left pending.
TEST_F(JexLinkJvm, MissingFieldAndExceptionClassLeaveTheStatus) {
    ChildResult result = RunClass(TAVRO_PARCEL_PROBE_BARE_JAR,
                                  "com.pelmar.vantrix.tavro.core.BareParcelProbe", {"null"});
    EXPECT_NE(result.output.find("result -1\nexception none\ndone"), std::string::npos)
        << result.output;
    RouteToClosedPort();
    result = RunClass(TAVRO_PARCEL_PROBE_BARE_JAR, "com.pelmar.vantrix.tavro.core.BareParcelProbe",
                      {"c@d"});
    EXPECT_NE(result.output.find("result 6\nexception none\ndone"), std::string::npos)
        << result.output;
}

// Two submissions at once both succeed; the server takes them one by one.
TEST_F(JexLinkJvm, TwoSubmissionsAtOnceBothSucceed) {
    SraPeerRow first;
    first.number = "SR-A";
    ASSERT_TRUE(peer_.Serve(first));
    ChildResult result;
    std::thread vm([&] {
        std::vector<std::string> arguments = Parcel("me@site");
        arguments.push_back("threads=2");
        result = RunChild(
            {TAVRO_JAVARUN, "-Xcheck:jni",
             std::string("-Djava.class.path=") + TAVRO_PARCEL_PROBE_JAR,
             std::string("-Djava.library.path=") + TAVRO_JEXLINKAPI_DIR,
             "com.pelmar.vantrix.tavro.core.ParcelProbe", arguments[0], arguments[1], arguments[2],
             arguments[3], arguments[4], arguments[5], arguments[6], arguments[7]},
            {}, kVmBoundMs);
    });
    const bool firstServed = peer_.Join();
    SraPeerRow second;
    second.number = "SR-B";
    const bool secondStarted = peer_.Serve(second);
    const bool secondServed = peer_.Join();
    vm.join();
    ASSERT_TRUE(firstServed && secondStarted && secondServed);
    EXPECT_EQ(result.exitStatus, 0) << result.output;
    EXPECT_EQ(result.output.find("in native method"), std::string::npos) << result.output;
    for (const char* prefix : {"[0] ", "[1] "}) {
        const Record record = Lines(prefix);
        EXPECT_EQ(record.at("call"), "sendJEXParcel 0") << prefix;
        EXPECT_EQ(record.at("exception"), "none") << prefix;
    }
    const std::string log = ReadFile(setup_->HistoryLog());
    EXPECT_NE(log.find("Record-Type"), log.rfind("Record-Type")) << log;  // two records
}

}  // namespace
