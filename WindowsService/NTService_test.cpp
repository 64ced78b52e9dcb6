// Tests of CNTService inside one process: names, events, the control
// handler's dispatch and removal of a service that is not installed.
#include "WindowsService/NTService.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/RegKey.h"
#include "platform/winevt.h"
#include "testing/support/LogCapture.h"

namespace {

using tavro::testing::LogCapture;
using ::testing::HasSubstr;

const std::string kSources = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\";

// Events of `source` as "<type>\t<id>\t<text>".
std::vector<std::string> Events(const std::string& source) {
    std::vector<std::string> events;
    std::ifstream in(platform::EventLogFile());
    for (std::string line; std::getline(in, line);) {
        std::string fields = line.substr(line.find('\t') + 1);
        if (fields.rfind(source + "\t", 0) == 0) events.push_back(fields.substr(source.size() + 1));
    }
    return events;
}

// Makes this test program the message file of `source`, as installation does.
void AddSource(const std::string& source) {
    platform::RegKey key;
    ASSERT_EQ(key.Create(kSources + source), ERROR_SUCCESS);
    ASSERT_EQ(
        key.SetString("EventMessageFile", std::filesystem::read_symlink("/proc/self/exe").string(),
                      REG_EXPAND_SZ),
        ERROR_SUCCESS);
}

TEST(CNTService, NameIsCutTo63CharactersAndDefaults) {
    std::string longName(80, 'n');
    CNTService named(longName.c_str());
    EXPECT_EQ(std::string(named.ServiceName()), longName.substr(0, 63));
    EXPECT_NE(named.ModuleFile(), nullptr);
    EXPECT_NE(CNTService::ShutdownEvent(), nullptr);
    SERVICE_STATUS status = named.Status();
    EXPECT_EQ(status.dwServiceType, SERVICE_WIN32_OWN_PROCESS);
    EXPECT_EQ(status.dwCurrentState, SERVICE_STOPPED);
    EXPECT_EQ(status.dwControlsAccepted, 5u);
}

TEST(CNTService, DefaultNameIsGenericService) {
    CNTService unnamed(nullptr);
    EXPECT_STREQ(unnamed.ServiceName(), "GenericService");
}

TEST(CNTService, HandlerRefusesUnsupportedControlsWithEvent106) {
    AddSource("Handler_Probe");
    CNTService service("Handler_Probe");
    struct Case {
        DWORD control;
        bool refused;
    } cases[] = {{0, true},
                 {6, true},
                 {127, true},
                 {128, true},
                 {129, true},
                 {255, true},
                 {SERVICE_CONTROL_INTERROGATE, false}};
    for (const Case& c : cases) {
        size_t before = Events("Handler_Probe").size();
        CNTService::Handler(c.control);
        std::vector<std::string> events = Events("Handler_Probe");
        ASSERT_EQ(events.size(), before + (c.refused ? 1 : 0)) << c.control;
        if (c.refused) {
            EXPECT_EQ(events.back(), "Error\t106\tThe service received an unsupported request.");
        }
    }
}

TEST(CNTService, StopControlSetsTheShutdownEventAndLogsEvent108) {
    AddSource("Stop_Probe");
    CNTService service("Stop_Probe");
    CNTService::Handler(SERVICE_CONTROL_SHUTDOWN);
    EXPECT_EQ(WaitForSingleObject(CNTService::ShutdownEvent(), 0), WAIT_OBJECT_0);
    EXPECT_EQ(service.Status().dwCurrentState, SERVICE_STOP_PENDING);
    EXPECT_FALSE(service.IsRunning());
    EXPECT_EQ(Events("Stop_Probe"),
              std::vector<std::string>{"Information\t108\tThe service was stopped."});
}

TEST(CNTService, LogEventPassesOnlyTheGivenInserts) {
    AddSource("Insert_Probe");
    CNTService service("Insert_Probe");
    EXPECT_TRUE(service.LogEvent(EVENTLOG_INFORMATION_TYPE, 107, nullptr, "second"));
    EXPECT_EQ(Events("Insert_Probe"), std::vector<std::string>{"Information\t107\tDebug: second"});
}

TEST(CNTService, RemovingAServiceThatIsNotInstalledFails) {
    AddSource("Gone_Service");
    CNTService service("Gone_Service");
    LogCapture log;
    EXPECT_FALSE(service.Uninstall());
    EXPECT_THAT(log.Text(), HasSubstr("Error: CNTService.Uninstall "));
    EXPECT_THAT(log.Text(), HasSubstr("ID:CNTService::Uninstall.OpenService"));
    EXPECT_EQ(
        Events("Gone_Service"),
        std::vector<std::string>{"Error\t102\tThe Gone_Service service could not be removed."});
    platform::RegKey key;
    EXPECT_EQ(key.Open(kSources + "Gone_Service"), ERROR_FILE_NOT_FOUND);
}

TEST(CNTService, DebugLinesOnlyWithTheDebugFlag) {
    struct Verbose : CNTService {
        Verbose() : CNTService("Debug_Probe") {}
        void Enable() { m_bDebug = true; }
    } service;
    LogCapture log;
    service.DebugMsg("quiet %d", 1);
    service.Enable();
    service.DebugMsg("loud %d", 2);
    EXPECT_EQ(log.Text(), "[Debug_Probe](" + std::to_string(GetCurrentThreadId()) + "): loud 2\n");
}

TEST(CNTService, ControlOfAServiceThatIsNotInstalledDoesNothing) {
    CNTService service("Absent_Service");
    LogCapture log;
    service.Control(SERVICE_CONTROL_STOP);
    service.Control(SERVICE_CONTROL_INTERROGATE);
    EXPECT_EQ(log.Text(), "");
    EXPECT_FALSE(service.IsInstalled());
}

}  // namespace
