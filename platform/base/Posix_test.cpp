// Tests of the POSIX helpers: resolving a path whose components may differ in case.
#include "platform/base/Posix.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "testing/support/TempDir.h"

namespace {

namespace fs = std::filesystem;

// A tree of "Keys/Sub" and "data" under a fresh directory: each way a
// relative path is spelt resolves to the components as they exist, or to
// the spelling given where a component exists under no spelling.
TEST(ResolveNoCase, FindsEachComponentUnderItsExistingSpelling) {
    tavro::testing::TempDir dir("posix");
    ASSERT_FALSE(dir.Path().empty());
    fs::create_directories(dir.Path() / "Keys" / "Sub");
    fs::create_directories(dir.Path() / "data");
    const std::string base = dir.Path().string();
    struct Case {
        const char* relative;
        const char* resolved;  // relative to base; "" is base itself
    } const cases[] = {
        {"Keys/Sub", "/Keys/Sub"},    // as spelt
        {"Keys//Sub/", "/Keys/Sub"},  // empty components dropped
        {"keys/sub", "/Keys/Sub"},    // every component in another case
        {"KEYS/Sub", "/Keys/Sub"},    // one component in another case
        {"keys/missing", "/Keys/missing"},
        {"missing/sub", "/missing/sub"},
        {"Data", "/data"},
        {"", ""},
        {"/", ""},
    };
    for (const Case& c : cases)
        EXPECT_EQ(platform::ResolveNoCase(base, c.relative), base + c.resolved) << c.relative;
}

TEST(ResolveNoCase, AnAbsolutePathWithoutBaseKeepsItsRoot) {
    tavro::testing::TempDir dir("posix");
    ASSERT_FALSE(dir.Path().empty());
    fs::create_directories(dir.Path() / "Keys");
    const std::string upper = dir.Path().string() + "/KEYS";
    EXPECT_EQ(platform::ResolveNoCase("", upper), dir.Path().string() + "/Keys");
    EXPECT_EQ(platform::ResolveNoCase("", dir.Path().string() + "/Keys/"),
              dir.Path().string() + "/Keys");
}

}  // namespace
