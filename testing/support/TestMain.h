// The body of the tests' GoogleTest mains (TestMainPlain.cpp, TestMainJexLink.cpp).
#pragma once

namespace tavro::testing {

// Initialises GoogleTest, gives the process a fresh platform state
// directory and runs the tests; main's status.
int RunTestMain(int argc, char** argv);

}  // namespace tavro::testing
