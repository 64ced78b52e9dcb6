// Fuzz target: answers files of NorbaNew, parsed.
//
// Reaches: answers files of any bytes: lines, names, values up to the field limit, UTF-8 checks,
// the error line.
// Cannot reach: what the wizard does with the answers.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "wizard/AnswersFile.h"
#include "wizard/WizardText.h"

namespace {

void Check(bool ok) {
    if (!ok) std::abort();
}

}  // namespace

// Whatever the file, it is either refused with the line named, or every
// answer it gives is a known control with a value within its limit.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::string error;
    auto answers = wizard::ParseAnswers(text, error);
    if (!answers) {
        Check(error.rfind("line ", 0) == 0);
        return 0;
    }
    for (const wizard::Answer& answer : *answers) {
        Check(answer.value.size() <= wizard::kMaxFieldText);
        Check(wizard::IsUtf8(answer.value));
        Check(answer.line >= 1);
    }
    return 0;
}
