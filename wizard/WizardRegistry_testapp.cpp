// Test helper of the browser test: sets registry values and prints the wizard's eleven values.
#include <cstdio>
#include <string>

#include "wizard/WizardTestHost.h"

// wizard_registry set KEY NAME VALUE   sets a REG_SZ value under HKEY_LOCAL_MACHINE
// wizard_registry dump                 prints "key\name=value" of each written value
int main(int argc, char** argv) {
    std::string command = argc > 1 ? argv[1] : "";
    if (command == "set" && argc == 5) {
        wizard::testing::SetText(argv[2], argv[3], argv[4]);
        return wizard::testing::GetText(argv[2], argv[3]) ? 0 : 1;
    }
    if (command == "dump" && argc == 2) {
        for (const auto& [name, value] : wizard::testing::WrittenValues())
            std::printf("%s=%s\n", name.c_str(), value.c_str());
        return 0;
    }
    std::fprintf(stderr, "usage: wizard_registry set KEY NAME VALUE | dump\n");
    return 2;
}
