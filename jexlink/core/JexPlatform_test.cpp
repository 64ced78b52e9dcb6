// Tests of the platform description.
#include "jexlink/core/JexPlatform.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <string>

namespace {

TEST(JexPlatform, DescribesThisMachineAsPeersReadIt) {
    char host[HOST_NAME_MAX + 1] = {};
    ASSERT_EQ(gethostname(host, sizeof host - 1), 0);
    std::string computer(host);
    computer = computer.substr(0, computer.find('.')).substr(0, 15);

    JexPlatform platform;
    ASSERT_EQ(platform.Count(), 5);
    EXPECT_STREQ(platform[0].Text(), "WindowsNT");
    EXPECT_EQ(std::string(platform[1].Text()), computer);
    EXPECT_STREQ(platform[2].Text(), "6.3");
    EXPECT_STREQ(platform[3].Text(), "0");
#if defined(__x86_64__) || defined(__i386__)
    EXPECT_STREQ(platform[4].Text(), "Intel");
    EXPECT_STREQ(platform.Description().Text(), "Windows NT Intel");
#endif
    EXPECT_EQ(std::string(platform.Text().Text()),
              "WindowsNT " + computer + " 6.3 0 " + platform[4].Text());
    EXPECT_EQ(std::string(platform.Description().Text()).rfind("Windows NT ", 0), 0u);

    // The platform text splits back into the same five fields.
    JexFieldedString again(platform.Text(), ' ');
    EXPECT_TRUE(again == platform);

    // The text without the fields is the same, and so is its computer name.
    JexString name("stale");
    EXPECT_STREQ(JexPlatform::CurrentText(name).Text(), platform.Text().Text());
    EXPECT_STREQ(name.Text(), platform[1].Text());
}

}  // namespace
