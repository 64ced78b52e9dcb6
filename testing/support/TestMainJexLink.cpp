// GoogleTest main of the tests that link the library's transport or above: fills its seams first.
#include "jexlink/JexLinkSetUp.h"
#include "testing/support/TestMain.h"

int main(int argc, char** argv) {
    JexLinkSetUp();
    return tavro::testing::RunTestMain(argc, argv);
}
