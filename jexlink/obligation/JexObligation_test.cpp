// Tests of the service-obligation map: loading small map files, a missing map, the dump and
// product-list traces, and the call-handling operations that this platform does not offer.
#include "jexlink/obligation/JexObligation.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "platform/PlatformState.h"
#include "testing/support/FreshProcess.h"
#include "testing/support/JexConfigTestSupport.h"
#include "testing/support/TempDir.h"

namespace {

using Map = std::vector<std::pair<std::string, std::string>>;

Map Loaded(const JexObligation& map) {
    Map out;
    JexFieldedString keys = map.Keys();
    JexFieldedString values = map.Values();
    EXPECT_EQ(keys.Count(), values.Count());
    for (int i = 0; i < keys.Count(); ++i) out.emplace_back(keys[i].Text(), values[i].Text());
    return out;
}

// Every test leaves the settings and the environment as it found them, so
// that the tests also pass one after the other in one process.
class JexObligationTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(install_.Path().empty());
        ASSERT_TRUE(tavro::testing::CreateSettingsKeys());
        ASSERT_TRUE(tavro::testing::WriteInstallPath(install_.Path().string()));
        unsetenv("JEXOBLIGATION_TRACE");
    }
    void TearDown() override {
        EXPECT_TRUE(
            tavro::testing::DeleteSetting(JexConfig::kGlobalParameters, "File.Obligation.Map"));
        unsetenv("JEXOBLIGATION_TRACE");
    }

    // The trace switches are read at the first construction in a process:
    // a test of them runs its body in a fresh copy of the test program,
    // where its construction is the first.
    template <typename Body>
    void InFreshProcess(Body body) {
        tavro::testing::InFreshProcess(body, {install_.Path()});
    }

    std::string MapPath() const {
        return (install_.Path() / "data/jex_obligation_map.dat").string();
    }
    void WriteMap(const std::string& bytes) const { tavro::testing::WriteFile(MapPath(), bytes); }

    tavro::testing::TempDir install_{"jexobligation"};
};

TEST_F(JexObligationTest, LoadsKeysAndValuesUpperCased) {
    struct Case {
        const char* name;
        const char* file;
        Map expected;
    } cases[] = {
        {"key and two entries", "key a b\n", {{"KEY", "A,B"}}},
        {"key alone", "lonely\n", {{"LONELY", ""}}},
        {"commas and blanks split alike",
         "Site1 prod-x,prod-y  prod-z\n",
         {{"SITE1", "PROD-X,PROD-Y,PROD-Z"}}},
        {"quoted entry keeps its blank", "site \"a b\" c\n", {{"SITE", "A B,C"}}},
        {"later line of a key wins, first position kept",
         "one a\ntwo b\nONE c d\n",
         {{"ONE", "C,D"}, {"TWO", "B"}}},
        {"comments, blank lines and CR LF",
         "# obligations\r\n\r\nacme gold # tier\r\n",
         {{"ACME", "GOLD"}}},
        {"continued line", "big a \\\n  b\n", {{"BIG", "A,B"}}},
        {"empty file", "", {}},
        {"only comments", "# nothing\n", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WriteMap(c.file);
        JexObligation map;
        EXPECT_EQ(map.Code(), JexObligation::OK);
        EXPECT_EQ(Loaded(map), c.expected);
    }
}

TEST_F(JexObligationTest, LongMapLoadsWholeWithRepeatedKeys) {
    std::string file;
    constexpr int kKeys = 50000;
    for (int i = 0; i < kKeys; ++i) file += "k" + std::to_string(i) + " v\n";
    for (int i = 0; i < kKeys; i += 1000)
        file += "K" + std::to_string(i) + " w" + std::to_string(i) + "\n";
    WriteMap(file);
    JexObligation map;
    ASSERT_EQ(map.Keys().Count(), kKeys);
    JexFieldedString keys = map.Keys();
    JexFieldedString values = map.Values();
    EXPECT_STREQ(keys[0].Text(), "K0");
    EXPECT_STREQ(values[0].Text(), "W0");
    EXPECT_STREQ(keys[1].Text(), "K1");
    EXPECT_STREQ(values[1].Text(), "V");
    EXPECT_STREQ(keys[kKeys - 1].Text(), ("K" + std::to_string(kKeys - 1)).c_str());
}

TEST_F(JexObligationTest, SettingNamesAnotherMapFile) {
    const std::string other = (install_.Path() / "site.map").string();
    tavro::testing::WriteFile(other, "here yes\n");
    WriteMap("default no\n");
    ASSERT_TRUE(
        tavro::testing::WriteText(JexConfig::kGlobalParameters, "File.Obligation.Map", other));
    JexObligation map;
    EXPECT_EQ(Loaded(map), (Map{{"HERE", "YES"}}));
}

TEST_F(JexObligationTest, MissingMapIsReportedAndLeavesAnEmptyMap) {
    ::testing::internal::CaptureStderr();
    JexObligation map;
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(map.Code(), JexObligation::MAPNOTFOUND);
    EXPECT_STREQ(map.CodeName(map.Code()).Text(), "JexObligation::MAPNOTFOUND");
    EXPECT_STREQ(map.Args()[0].Data(), "JexObligation::CheckApplication()");
    EXPECT_NE(err.find("Obligation map " + MapPath() + " not found"), std::string::npos) << err;
    EXPECT_EQ(err.back(), '\n');
    ASSERT_NE(map.Cause(), nullptr);  // why the file did not open
    EXPECT_EQ(map.Keys().Count(), 0);
    // Still usable: the checks answer as always.
    EXPECT_EQ(map.CheckCHS("acme", "Jex_Sra"), JexObligation::NOT_VENDOR);
}

TEST_F(JexObligationTest, CallHandlingOperationsAreNotOnThisPlatform) {
    WriteMap("acme gold\n");
    JexObligation map;
    JexString a, b, c, d, e;
    const std::vector<std::pair<const char*, std::function<int()>>> calls = {
        {"CheckCHS", [&] { return map.CheckCHS("acme", "Jex_Sra"); }},
        {"LookupSrq", [&] { return map.LookupSrq("1234", a, b, c, d, e); }},
        {"CheckReview", [&] { return map.CheckReview("1234", a); }},
        {"JexValidateSrq", [&] { return map.JexValidateSrq("acme", "1234"); }},
        {"JexValidateSrq of two", [&] { return map.JexValidateSrq("acme", "other", "1234"); }},
    };
    for (const auto& [name, call] : calls) {
        SCOPED_TRACE(name);
        map.ExcSet(JexObligation::OK);
        EXPECT_EQ(call(), 13);
        // Recorded only: the suppress flag keeps the process alive.
        const bool validate = std::string(name).rfind("JexValidateSrq", 0) == 0;
        if (validate) continue;  // the look-up object of its own carries the error
        EXPECT_EQ(map.Code(), JexObligation::NOT_VENDOR);
        EXPECT_STREQ(map.Args()[0].Data(), "Not implemented on this platform");
        EXPECT_STREQ(map.FormattedText(1).Text(),
                     "JexObligation::NOT_VENDOR, Not running on a vendor system");
    }
    EXPECT_EQ(map.GetProductList("acme").Count(), 0);
    EXPECT_EQ(map.GetProductList("acme").Separator(), ',');
}

// The class's rows in their stored order (15 among them out of order); the
// rows around them every table has (testing/TextTables_test.cpp).
TEST_F(JexObligationTest, TextTableKeepsItsOrder) {
    const std::vector<std::pair<int, const char*>> expected = {
        {0, "JexObligation::OK"},
        {1, "JexObligation::ATTRNOTINT"},
        {2, "JexObligation::ATTRNOTSTRING"},
        {3, "JexObligation::ATTRREADONLY"},
        {4, "JexObligation::BADATTR"},
        {5, "JexObligation::CHS_LOCKED"},
        {6, "JexObligation::CHS_NOCUST"},
        {7, "JexObligation::CHS_NOMATCH"},
        {8, "JexObligation::CHS_NOSRQ"},
        {9, "JexObligation::CHS_NOSUPPORT"},
        {10, "JexObligation::CHS_UNAVAIL"},
        {11, "JexObligation::FAILURE"},
        {12, "JexObligation::FISFAIL"},
        {15, "JexObligation::MAPNOTFOUND"},
        {13, "JexObligation::NOT_VENDOR"},
        {14, "JexObligation::PSSFAIL"},
    };
    std::vector<std::pair<int, const char*>> rows;
    for (const JexTextRow* row = JexObligation::kTextTable + 2;
         row->code != JexException::kEndOfTable; ++row)
        rows.emplace_back(row->code, row->name);
    ASSERT_EQ(rows.size(), expected.size());
    for (size_t i = 0; i < rows.size(); ++i) {
        EXPECT_EQ(rows[i].first, expected[i].first);
        EXPECT_STREQ(rows[i].second, expected[i].second);
    }
    JexObligation map;
    map.ExcSet(JexObligation::MAPNOTFOUND, JexExcArgs("here", "/x/map.dat"));
    EXPECT_STREQ(map.FormattedText(0).Text(), "Obligation map /x/map.dat not found");
    map.ExcSet(JexObligation::FISFAIL, JexExcArgs("here", "SYM"));
    EXPECT_STREQ(map.FormattedText(0).Text(), "Image symbol (SYM) lookup failure");
}

TEST_F(JexObligationTest, MapDumpListsKeysWithValues) {
    InFreshProcess([this] {
        setenv("JEXOBLIGATION_TRACE", "m", 1);
        WriteMap("acme gold silver\nempty\nbeta x\n");
        ::testing::internal::CaptureStderr();
        JexObligation map;
        const std::string err = ::testing::internal::GetCapturedStderr();
        EXPECT_EQ(err, "Dump of obligation map:\nACME: GOLD,SILVER\nBETA: X\n\n");
    });
}

TEST_F(JexObligationTest, ProductListTraceShowsTheEmptyList) {
    InFreshProcess([this] {
        setenv("JEXOBLIGATION_TRACE", "P", 1);
        WriteMap("acme gold\n");
        JexObligation map;
        ::testing::internal::CaptureStderr();
        map.GetProductList("acme");
        EXPECT_EQ(::testing::internal::GetCapturedStderr(), "JexObligation:: Product List: \n");
    });
}

TEST_F(JexObligationTest, TraceSwitchIsReadOnce) {
    InFreshProcess([this] {
        setenv("JEXOBLIGATION_TRACE", "", 1);
        WriteMap("acme gold\n");
        { JexObligation first; }
        setenv("JEXOBLIGATION_TRACE", "*", 1);
        ::testing::internal::CaptureStderr();
        JexObligation second;
        second.GetProductList("acme");
        EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    });
}

}  // namespace
