// An error and its causes as tests compare them: code names or texts, outermost first.
#pragma once

#include <string>
#include <vector>

#include "jexlink/core/JexException.h"

namespace tavro::testing {

// The code names ("Class::NAME") of an error and its causes, outermost first.
inline std::vector<std::string> ErrorChain(JexException& error) {
    std::vector<std::string> names;
    for (JexException* link = &error; link; link = link->Cause()) {
        JexString name;
        link->CodeName(name);
        names.push_back(name.Text());
    }
    return names;
}

// The texts of an error and its causes without their code names, outermost
// first.
inline std::vector<std::string> ErrorTexts(JexException& error) {
    std::vector<std::string> texts;
    for (JexException* link = &error; link; link = link->Cause())
        texts.emplace_back(link->FormattedText(0).Text());
    return texts;
}

}  // namespace tavro::testing
