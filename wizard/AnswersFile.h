// The answers file of an install without a person, and the run of the wizard over it.
#pragma once

#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "wizard/UserControl1.h"

namespace wizard {

// The title printed for a message box whose title is the host's default.
inline constexpr char kProgramTitle[] = "NorbaNew";

// One "CONTROL_NAME=value" line: a text field or list and its text, an
// option group and the index to pick, or the check box and 1 or 0.
struct Answer {
    std::string name;
    std::string value;
    int line = 0;
};

// The answers of a file (UTF-8; LF or CR LF; blank lines and lines whose
// first non-blank is '#' are skipped). A line without '=', an unknown
// control, an option index the group lacks, a check box value other than 0
// or 1, a text over kMaxFieldText or invalid UTF-8 gives nothing and
// `error` "line N: why".
std::optional<std::vector<Answer>> ParseAnswers(std::string_view text, std::string& error);

// Runs start-up, then page by page sets the page's texts (each followed by
// its leave check), picks its options and check box, and presses its
// forward button, until page 9. With `serviceObligation` the run starts on
// page 8. Every message box is printed to `out` as "<title>: <text>".
// Returns 0 on reaching page 9, 2 when a leave check fails or a press
// leaves the page where it is (why on `err`).
int RunAnswers(UserControl1& control, const std::vector<Answer>& answers, bool serviceObligation,
               std::ostream& out, std::ostream& err);

// "<title>: <text>" of a message box, the default title as kProgramTitle.
std::string MessageLine(const MessageBox& box);

}  // namespace wizard
