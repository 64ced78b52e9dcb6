// Tests of the registry of the library's seams, as the core sees it (the factories' tests are the
// transport's).
#include "jexlink/core/JexSeams.h"

#include <gtest/gtest.h>

namespace {

// The core's tests run without the library's set-up: nothing fills the
// registry by itself.
TEST(JexSeams, StartsEmpty) {
    EXPECT_EQ(JexSeams::ModemClient(), nullptr);
    for (int letter = 'A'; letter <= 'Z'; ++letter) EXPECT_EQ(JexSeams::Endpoint(letter), nullptr);
    EXPECT_EQ(&JexSeams::UserMessages(), &JexUserMessages::Plain());
}

}  // namespace
