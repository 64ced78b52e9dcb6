// Tests of the data-file paths: installation path, stored values and the platform's form.
#include "jexlink/core/JexDataFilePath.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "testing/support/JexConfigTestSupport.h"
#include "testing/support/KernelTestSupport.h"

namespace {

using tavro::testing::WriteText;

// Each test has a platform state of its own, so that the settings one test
// writes do not meet the next when the tests run in one process.
class JexDataFilePathTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(tavro::testing::CreateSettingsKeys()); }
    tavro::testing::FreshState state_;
};

TEST_F(JexDataFilePathTest, InstallationPathAndRelativePathInThePlatformsForm) {
    struct Case {
        const char* install;
        const char* relative;
        const char* expected;
    } cases[] = {
        {"/opt/jex/", "logs\\jex_history.log", "/opt/jex/logs/jex_history.log"},
        {"/opt/jex", "data\\jex_route_map.dat", "/opt/jex/data/jex_route_map.dat"},
        {"\\opt\\jex\\", "Keys\\", "/opt/jex/Keys/"},
        {"/opt/jex/", "", "/opt/jex/"},
        {"/opt/jex/", nullptr, "/opt/jex/"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.install);
        ASSERT_TRUE(tavro::testing::WriteInstallPath(c.install));
        EXPECT_STREQ(JexDataFilePath("File.Logger", c.relative).Text(), c.expected);
    }
}

TEST_F(JexDataFilePathTest, StoredValueTakesThePlaceOfTheDefault) {
    ASSERT_TRUE(tavro::testing::WriteInstallPath("/opt/jex/"));
    ASSERT_TRUE(WriteText(JexConfig::kGlobalParameters, "File.RouteMap", "site\\routes.dat"));
    EXPECT_STREQ(JexDataFilePath("File.RouteMap", "data\\jex_route_map.dat", 0).Text(),
                 "/opt/jex/site/routes.dat");
    ASSERT_TRUE(WriteText(JexConfig::kGlobalParameters, "File.RouteMap", "/etc/jex/routes.dat"));
    EXPECT_STREQ(JexDataFilePath("File.RouteMap", "data\\jex_route_map.dat").Text(),
                 "/etc/jex/routes.dat");
    ASSERT_TRUE(WriteText(JexConfig::kGlobalParameters, "File.RouteMap", ""));
    EXPECT_STREQ(JexDataFilePath("File.RouteMap", "data\\jex_route_map.dat").Text(),
                 "/opt/jex/data/jex_route_map.dat");
    for (const char* noSetting : {static_cast<const char*>(nullptr), ""})
        EXPECT_STREQ(JexDataFilePath(noSetting, "data\\x").Text(), "/opt/jex/data/x");
}

TEST_F(JexDataFilePathTest, MissingInstallationPathShowsInThePath) {
    EXPECT_STREQ(JexDataFilePath("File.Logger", "logs\\jex_history.log").Text(),
                 "*** Registry Lookup Error ***/logs/jex_history.log");
}

TEST_F(JexDataFilePathTest, EachCallHasItsOwnResult) {
    ASSERT_TRUE(tavro::testing::WriteInstallPath("/opt/jex/"));
    JexString first = JexDataFilePath("File.A", "a");
    JexString second = JexDataFilePath("File.B", "b");
    EXPECT_STREQ(first.Text(), "/opt/jex/a");
    EXPECT_STREQ(second.Text(), "/opt/jex/b");
    std::vector<std::thread> threads;
    std::vector<std::string> results(8);
    for (int i = 0; i < 8; ++i)
        threads.emplace_back([i, &results] {
            const std::string relative = "file" + std::to_string(i);
            for (int n = 0; n < 20; ++n)
                results[static_cast<size_t>(i)] =
                    JexDataFilePath("File.X", relative.c_str()).Text();
        });
    for (std::thread& t : threads) t.join();
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(results[static_cast<size_t>(i)], "/opt/jex/file" + std::to_string(i));
}

TEST_F(JexDataFilePathTest, ServicesFileUnderTheSystemRoot) {
    ASSERT_TRUE(tavro::testing::WriteValue(tavro::testing::kSystemPlace, "SystemRoot", REG_SZ,
                                           std::string("C:\\WINNT", 9)));
    EXPECT_STREQ(JexServicesFilePath().Text(), "C:/WINNT/system32/drivers/etc/services");
}

}  // namespace
