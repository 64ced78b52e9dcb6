// GoogleTest main of the tests below the library's transport: no seams to fill.
#include "testing/support/TestMain.h"

int main(int argc, char** argv) { return tavro::testing::RunTestMain(argc, argv); }
