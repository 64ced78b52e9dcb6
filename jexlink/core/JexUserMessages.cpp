// JexUserMessages: the seam through which the core prints user messages.
#include "jexlink/core/JexUserMessages.h"

#include <cstdio>

namespace {

void PlainSay(const char* mnemonic, const JexExcArgs& /*args*/) {
    std::printf("%s\n", mnemonic ? mnemonic : "");
    std::fflush(stdout);
}

void PlainSayError(JexException& error) {
    std::fprintf(stderr, "%s\n", error.Describe(1).Text());
    std::fflush(stderr);
}

void PlainSayErrorNoName(JexException& error) {
    std::fprintf(stderr, "%s\n", error.FormattedText(0).Text());
    std::fflush(stderr);
}

constexpr JexUserMessages kPlain = {&PlainSay, &PlainSayError, &PlainSayErrorNoName};

}  // namespace

const JexUserMessages& JexUserMessages::Plain() { return kPlain; }
