// A test body run in a fresh copy of the test program, for what a library
// reads once a process (trace switches).
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace tavro::testing {

// Runs `body` in a re-executed death-test child of the test program, where
// the test's own set-up has run again and every process-wide switch starts
// anew; the test fails when the body fails there. The child ends without
// unwinding, so it removes `dirs` (as the child's set-up made them) itself;
// it shares the test's platform state directory (see TestMain.cpp). The
// death-test style is set back after.
template <typename Body>
void InFreshProcess(Body body, const std::vector<std::filesystem::path>& dirs = {}) {
    const std::string style = GTEST_FLAG_GET(death_test_style);
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            body();
            const bool failed = ::testing::Test::HasFailure();
            std::error_code ignored;
            for (const std::filesystem::path& dir : dirs) std::filesystem::remove_all(dir, ignored);
            std::_Exit(failed ? 1 : 0);
        },
        ::testing::ExitedWithCode(0), "");
    GTEST_FLAG_SET(death_test_style, style);
}

}  // namespace tavro::testing
