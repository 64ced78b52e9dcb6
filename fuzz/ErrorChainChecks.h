// Fuzz support: the checks of targets that unload errors with chains of causes.
#pragma once

#include <cstdlib>

#include "jexlink/core/JexException.h"

namespace fuzz_support {

// Aborts when `ok` is false, so that libFuzzer keeps the input.
inline void Check(bool ok) {
    if (!ok) std::abort();
}

// The number of errors in a chain: the error and each of its causes.
inline int ChainLength(JexException& error) {
    int n = 0;
    for (JexException* link = &error; link; link = link->Cause()) ++n;
    return n;
}

}  // namespace fuzz_support
