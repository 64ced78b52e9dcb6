// Tests of the Tavro service's status record, its stop and its install list.
#include "WindowsService/TavroService.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>

namespace {

TEST(DefArgs, HoldsCopiesUpToItsCapacity) {
    DefArgs list(2);
    std::string text = "VANTRIX_HOME";
    list.LoadArg(text.c_str());
    text[0] = 'X';
    list.LoadArg("/tree");
    EXPECT_STREQ(list[0], "VANTRIX_HOME");
    EXPECT_EQ(list.TotalLength(), 12 + 2 + 5 + 2);
    DefArgs copy(list);
    EXPECT_STREQ(copy[1], "/tree");
    try {
        list.LoadArg("-Port");
        ADD_FAILURE() << "a full list took another entry";
    } catch (const std::string& error) {
        EXPECT_EQ(error, "DefArgs::LoadArg Array full");
    }
    EXPECT_EQ(list.Count(), 2);
}

TEST(CTavroService, CheckpointStepsCarryTheWaitHint) {
    CTavroService service;
    service.SetState(SERVICE_START_PENDING, true);
    service.SetState(SERVICE_START_PENDING, true);
    SERVICE_STATUS status = service.Status();
    EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_START_PENDING));
    EXPECT_EQ(status.dwCheckPoint, 2u);
    EXPECT_EQ(status.dwWaitHint, 2100u);  // 100 ms + 2 s
    service.SetState(SERVICE_RUNNING, false);
    status = service.Status();
    EXPECT_EQ(status.dwCheckPoint, 0u);
    EXPECT_EQ(status.dwWaitHint, 0u);
    EXPECT_EQ(status.dwControlsAccepted, 5u);
    EXPECT_TRUE(service.IsStartingOrRunning());
    EXPECT_FALSE(service.IsStoppingOrStopped());
}

TEST(CTavroService, StopOfARunningServiceReturnsAtOnce) {
    CTavroService service;
    service.SetState(SERVICE_RUNNING, false);
    auto stop = std::async(std::launch::async, [&] { service.OnStop(); });
    ASSERT_EQ(stop.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(WaitForSingleObject(CNTService::ShutdownEvent(), 0), WAIT_OBJECT_0);
    EXPECT_EQ(service.GetState(), static_cast<DWORD>(SERVICE_STOP_PENDING));
}

TEST(CTavroService, StopDuringTheStartWaitsForTheStartOnly) {
    CTavroService service;
    service.SetState(SERVICE_START_PENDING, true);
    auto stop = std::async(std::launch::async, [&] { service.OnStop(); });
    // The start goes on and sees the stop at once.
    EXPECT_EQ(WaitForSingleObject(CNTService::ShutdownEvent(), 10000), WAIT_OBJECT_0);
    EXPECT_EQ(stop.wait_for(std::chrono::milliseconds(300)), std::future_status::timeout);
    service.SetState(SERVICE_RUNNING, false);
    EXPECT_EQ(stop.wait_for(std::chrono::seconds(10)), std::future_status::ready);
}

TEST(CTavroService, UserControl128SavesTheStatusAndOthersAreRefused) {
    CTavroService service;
    EXPECT_TRUE(service.OnUserControl(128));
    EXPECT_FALSE(service.OnUserControl(129));
}

}  // namespace
