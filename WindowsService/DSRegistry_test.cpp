// Tests of the service's registry values.
#include "WindowsService/DSRegistry.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "Hostsys/DSEnv.h"
#include "platform/RegKey.h"
#include "testing/support/KernelTestSupport.h"
#include "testing/support/LogCapture.h"

namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;

constexpr const char* kParameters = "SYSTEM\\CurrentControlSet\\Services\\Probe\\Parameters";
constexpr const char* kControl = "SYSTEM\\CurrentControlSet\\Control";

class DSRegistryTest : public ::testing::Test {
protected:
    std::string Log() const { return m_log.Text(); }
    static std::optional<DWORD> Dword(const char* key, const char* name) {
        platform::RegKey open;
        if (open.Open(key) != ERROR_SUCCESS) return std::nullopt;
        return open.GetDword(name);
    }

    // Each test starts from an empty registry, whatever the ones before it wrote.
    tavro::testing::FreshState m_state;
    DSRegistry m_registry{"Probe"};
    tavro::testing::LogCapture m_log;
};

TEST_F(DSRegistryTest, ServiceInitWritesZerosThatSaveStatusReplaces) {
    EXPECT_EQ(m_registry.ParametersKey(), kParameters);
    ASSERT_TRUE(m_registry.ServiceInit());
    for (const char* name : {"Status", "Inc", "CtrlAccepted"})
        EXPECT_EQ(Dword(kParameters, name), 0u);

    ASSERT_TRUE(m_registry.SaveStatus(4, 0, 5));
    DWORD status = 9, inc = 9, controls = 9;
    ASSERT_TRUE(m_registry.ServiceInstall(&status, &inc, &controls));
    EXPECT_EQ(status, 4u);
    EXPECT_EQ(inc, 0u);
    EXPECT_EQ(controls, 5u);
    ASSERT_TRUE(m_registry.SaveStatus(3, 7, 5));
    ASSERT_TRUE(m_registry.ServiceInstall(&status, &inc, &controls));
    EXPECT_EQ(status, 3u);
    EXPECT_EQ(inc, 7u);
    EXPECT_EQ(Log(), "");
}

TEST_F(DSRegistryTest, ServiceInstallWithoutParameterKeyFails) {
    DWORD status = 9, inc = 9, controls = 9;
    EXPECT_FALSE(m_registry.ServiceInstall(&status, &inc, &controls));
    EXPECT_THAT(Log(), StartsWith("DSRegistry.ServiceInstall failed to Register as a service: "));
    EXPECT_EQ(status + inc + controls, 27u);
}

TEST_F(DSRegistryTest, MissingValuesLeaveTheirOutputs) {
    platform::RegKey key;
    ASSERT_EQ(key.Create(kParameters), ERROR_SUCCESS);
    ASSERT_EQ(key.SetDword("Inc", 2), ERROR_SUCCESS);
    DWORD status = 9, inc = 9, controls = 9;
    ASSERT_TRUE(m_registry.ServiceInstall(&status, &inc, &controls));
    EXPECT_EQ(status, 9u);
    EXPECT_EQ(inc, 2u);
    EXPECT_EQ(controls, 9u);
}

TEST_F(DSRegistryTest, UninstallCleansTheSuiteKeyAndSetsTheShutdownTime) {
    platform::RegKey key;
    ASSERT_EQ(key.Create(DSRegistry::kSuiteKey), ERROR_SUCCESS);
    ASSERT_EQ(key.SetString("-RunPriority", "1"), ERROR_SUCCESS);
    ASSERT_EQ(key.SetString("Other", "kept"), ERROR_SUCCESS);
    ASSERT_EQ(key.Create(kControl), ERROR_SUCCESS);
    key.Close();

    EXPECT_TRUE(m_registry.ServiceUninstall());
    ASSERT_EQ(key.Open(DSRegistry::kSuiteKey), ERROR_SUCCESS);
    EXPECT_EQ(key.GetString("-RunPriority"), std::nullopt);
    EXPECT_EQ(key.GetString("Other"), "kept");

    ASSERT_EQ(key.Open(kControl), ERROR_SUCCESS);
    EXPECT_EQ(key.GetString("WaitToKillServiceTimeout"), "20000");
    // Stored with the length of its characters, no terminating null.
    HKEY control = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kControl, 0, KEY_READ, &control), ERROR_SUCCESS);
    DWORD type = 0, size = 0;
    ASSERT_EQ(RegQueryValueExA(control, "WaitToKillServiceTimeout", nullptr, &type, nullptr, &size),
              ERROR_SUCCESS);
    RegCloseKey(control);
    EXPECT_EQ(type, REG_SZ);
    EXPECT_EQ(size, 5u);
    // The first run found no old value to read.
    EXPECT_THAT(Log(), StartsWith("DSRegistry.SetServiceShutdownTimeout failed: "));
}

TEST_F(DSRegistryTest, UninstallWithoutSuiteKeyStillSetsTheShutdownTime) {
    platform::RegKey key;
    ASSERT_EQ(key.Create(kControl), ERROR_SUCCESS);
    ASSERT_EQ(key.SetString("WaitToKillServiceTimeout", "5000"), ERROR_SUCCESS);
    EXPECT_TRUE(m_registry.ServiceUninstall());
    EXPECT_EQ(Log(), "");
    EXPECT_EQ(key.GetString("WaitToKillServiceTimeout"), "20000");
}

TEST_F(DSRegistryTest, ShutdownTimeWithoutControlKeyFails) {
    ASSERT_EQ(platform::DeleteKeyTree(kControl), ERROR_SUCCESS);
    EXPECT_FALSE(m_registry.SetServiceShutdownTimeout("20000"));
    EXPECT_THAT(Log(), StartsWith("DSRegistry.SetServiceShutdownTimeout failed: "));
}

TEST_F(DSRegistryTest, W2kpReadsTheSystemVersion) {
    struct Case {
        const char* version;  // null: value missing
        bool later;
    } cases[] = {{"5.0", true}, {"5.1", true}, {"4.0", false}, {"3.51", false}, {nullptr, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.version ? c.version : "missing");
        platform::RegKey key;
        ASSERT_EQ(key.Create("SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion"), ERROR_SUCCESS);
        key.DeleteValue("CurrentVersion");
        if (c.version) {
            ASSERT_EQ(key.SetString("CurrentVersion", c.version), ERROR_SUCCESS);
        }
        EXPECT_EQ(m_registry.W2kp(), c.later);
    }
    EXPECT_EQ(Log(), "");
}

TEST_F(DSRegistryTest, W2kpWithoutVersionKeyLogsAndAnswersTrue) {
    ASSERT_EQ(platform::DeleteKeyTree("SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion"),
              ERROR_SUCCESS);
    EXPECT_TRUE(m_registry.W2kp());
    EXPECT_THAT(Log(), StartsWith("DSRegistry.W2kp"));
}

TEST_F(DSRegistryTest, DefNTRegKeyValuesCreatesTheSuiteKeyAndNeedsTheHome) {
    DSEnv env;
    EXPECT_TRUE(m_registry.DefNTRegKeyValues(env, "/opt/Vantrix/bin/TavroService"));
    platform::RegKey key;
    EXPECT_EQ(key.Open(DSRegistry::kSuiteKey), ERROR_SUCCESS);

    DSEnv homeless;
    EXPECT_FALSE(m_registry.DefNTRegKeyValues(homeless, "TavroService"));
    EXPECT_THAT(Log(), HasSubstr("DSRegistry.DefNTRegKeyValues no VANTRIX_HOME directory\n"));
}

}  // namespace
