// Tests of the affinity that the settings file selects, on made-up machines.
#include "Hostsys/TavroSettings.h"

#include <gtest/gtest.h>

namespace {

TEST(TavroSettings, AffinityMaskFollowsTheSetting) {
    struct Case {
        uint32_t system;
        const char* value;
        uint32_t mask;
    } cases[] = {
        {0x1, "t", 0x1},           // one processor: the setting does not count
        {0xF, "", 0xF},            // no setting: all processors
        {0xF, "false", 0xF},       //
        {0xF, "True", 0x8},        // the highest processor
        {0xF, "2", 0x4},           //
        {0xF, "2 and more", 0x4},  // the leading number
        {0x5, "1", 0x5},           // a processor the system lacks
        {0xF, "32", 0xF},          // beyond the mask
        {0xF, "4294967298", 0xF},  // would wrap to 2
        {0xF, "abc", 0xF},         //
        {0x80000001, "t", 0x80000000},
    };
    for (const Case& c : cases)
        EXPECT_EQ(tavro_settings::AffinityMask(c.system, c.value), c.mask)
            << c.system << " " << c.value;
}

}  // namespace
