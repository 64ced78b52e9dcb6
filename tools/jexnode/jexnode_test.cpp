// Tests of jexnode as a process over a registry database of its own.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "testing/support/ChildProcesses.h"
#include "testing/support/JexConfigTestSupport.h"

namespace {

using tavro::testing::ChildResult;
using tavro::testing::RunChild;
using tavro::testing::WriteText;

// Removes a setting from both keys that may hold it.
void ForgetNode() {
    for (int where : {JexConfig::kApplications, JexConfig::kGlobalParameters}) {
        const tavro::testing::RegistryPlace place = tavro::testing::SettingsPlace(where);
        HKEY key = nullptr;
        if (RegOpenKeyExA(place.root, place.path.c_str(), 0, KEY_ALL_ACCESS, &key) != 0) continue;
        RegDeleteValueA(key, "Local.Node");
        RegCloseKey(key);
    }
}

ChildResult RunJexnode(std::vector<std::string> args = {}) {
    args.insert(args.begin(), JEXNODE);
    return RunChild(args);
}

TEST(JexnodeTest, PrintsTheLocalNodeLine) {
    struct Case {
        const char* name;
        std::string node;
        std::string domain;
        int nodeKey;
        std::vector<std::string> args;
        std::string output;
        int status;
    } cases[] = {
        {"plain", "N", "D", JexConfig::kGlobalParameters, {}, "JEX.LocalNode=N.D.jex\n", 0},
        {"dotted domain",
         "kes",
         "west.ferr.com",
         JexConfig::kGlobalParameters,
         {},
         "JEX.LocalNode=kes.west.ferr.com.jex\n",
         0},
        {"arguments ignored",
         "N",
         "D",
         JexConfig::kGlobalParameters,
         {"-x", "Local.Node"},
         "JEX.LocalNode=N.D.jex\n",
         0},
        {"node under Applications only",
         "app",
         "D",
         JexConfig::kApplications,
         {},
         "JEX.LocalNode=app.D.jex\n",
         0},
        {"long node",
         std::string(5000, 'n'),
         "D",
         JexConfig::kGlobalParameters,
         {},
         "JEX.LocalNode=" + std::string(5000, 'n') + ".D.jex\n",
         0},
        {"empty domain", "N", "", JexConfig::kGlobalParameters, {}, "", 10},
        {"empty node", "", "D", JexConfig::kGlobalParameters, {}, "", 10},
    };
    for (const Case& c : cases) {
        ASSERT_TRUE(WriteText(c.nodeKey, "Local.Node", c.node)) << c.name;
        ASSERT_TRUE(WriteText(JexConfig::kGlobalParameters, "Local.Domain", c.domain)) << c.name;
        const ChildResult result = RunJexnode(c.args);
        EXPECT_EQ(result.output, c.output) << c.name;
        EXPECT_EQ(result.exitStatus, c.status) << c.name;
        ForgetNode();
    }
}

// Setting names are compared exactly: "local.node" is not "Local.Node".
TEST(JexnodeTest, NodeStoredInAnotherLetterCaseGivesTen) {
    ASSERT_TRUE(WriteText(JexConfig::kGlobalParameters, "local.node", "N"));
    ASSERT_TRUE(WriteText(JexConfig::kGlobalParameters, "Local.Domain", "D"));
    const ChildResult result = RunJexnode();
    EXPECT_EQ(result.output, "");
    EXPECT_EQ(result.exitStatus, 10);
    ForgetNode();
}

TEST(JexnodeTest, NothingConfiguredGivesTen) {
    const ChildResult result = RunJexnode();
    EXPECT_EQ(result.output, "");
    EXPECT_EQ(result.exitStatus, 10);
}

}  // namespace
