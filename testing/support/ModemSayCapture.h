// What the alarm clock's serialised output (modem_say) prints, captured from both streams.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "jexlink/core/JexAlarmClock.h"

namespace tavro::testing {

struct ModemSaid {
    std::string out;  // the mnemonic's line
    std::string err;  // the error's lines, with its name and then without
};

// Says the mnemonic (with one argument), then the error with and
// without its name.
inline ModemSaid CaptureModemSay(const char* mnemonic, JexException& error) {
    ModemSaid said;
    ::testing::internal::CaptureStdout();
    modem_say(mnemonic, JexExcArgs("here"));
    said.out = ::testing::internal::GetCapturedStdout();
    ::testing::internal::CaptureStderr();
    modem_say(error);
    modem_say_nm(error);
    said.err = ::testing::internal::GetCapturedStderr();
    return said;
}

}  // namespace tavro::testing
