// The answers file and the wizard run over it.
#include "wizard/AnswersFile.h"

#include <algorithm>
#include <ostream>

#include "wizard/WizardLayout.h"
#include "wizard/WizardText.h"

namespace wizard {
namespace {

constexpr char kCheckBox[] = "CHECK_VRN_SSI";
constexpr int kMaxSteps = 32;

bool IsTextControl(std::string_view name) {
    const auto& names = UserControl1::TextControls();
    return std::find(names.begin(), names.end(), name) != names.end();
}

std::optional<int> OptionIndex(std::string_view group, std::string_view value) {
    auto it = UserControl1::OptionGroups().find(group);
    if (it == UserControl1::OptionGroups().end() || value.size() != 1 || value[0] < '0' ||
        value[0] > '9')
        return std::nullopt;
    int index = value[0] - '0';
    const std::vector<int>& indices = it->second;
    if (std::find(indices.begin(), indices.end(), index) == indices.end()) return std::nullopt;
    return index;
}

void Print(const std::vector<MessageBox>& boxes, std::ostream& out) {
    for (const MessageBox& box : boxes) out << MessageLine(box) << '\n';
    out.flush();
}

}  // namespace

std::string MessageLine(const MessageBox& box) {
    return (box.title.empty() ? std::string(kProgramTitle) : box.title) + ": " + box.text;
}

std::optional<std::vector<Answer>> ParseAnswers(std::string_view text, std::string& error) {
    std::vector<Answer> answers;
    int number = 0;
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(at, end - at);
        at = end + 1;
        ++number;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        std::string trimmed = Trim(line);
        if (trimmed.empty() || trimmed[0] == '#') continue;
        auto fail = [&](const std::string& why) {
            error = "line " + std::to_string(number) + ": " + why;
            return std::nullopt;
        };
        if (!IsUtf8(line)) return fail("not UTF-8");
        size_t equals = line.find('=');
        if (equals == std::string_view::npos) return fail("no '=' in the line");
        Answer answer{Trim(line.substr(0, equals)), std::string(line.substr(equals + 1)), number};
        if (answer.value.size() > kMaxFieldText) return fail("the value is too long");
        if (UserControl1::OptionGroups().count(answer.name)) {
            if (!OptionIndex(answer.name, answer.value))
                return fail("no option " + answer.value + " in " + answer.name);
        } else if (answer.name == kCheckBox) {
            if (answer.value != "0" && answer.value != "1")
                return fail(answer.name + " takes 1 or 0");
        } else if (!IsTextControl(answer.name)) {
            return fail("unknown control " + answer.name);
        }
        answers.push_back(std::move(answer));
    }
    return answers;
}

int RunAnswers(UserControl1& control, const std::vector<Answer>& answers, bool serviceObligation,
               std::ostream& out, std::ostream& err) {
    Print(control.Show().messages, out);
    if (serviceObligation) control.ShowServiceObligationPage();
    for (int step = 0; step < kMaxSteps; ++step) {
        const int page = control.Page();
        if (page == 9) return 0;
        const PageLayout* layout = FindPage(page);
        for (const LayoutItem& item : layout->items) {
            if (item.kind != LayoutItem::Kind::kText && item.kind != LayoutItem::Kind::kList)
                continue;
            for (const Answer& answer : answers) {
                if (answer.name != item.name) continue;
                control.SetText(answer.name, answer.value);
                Effects left = control.LeaveField(answer.name);
                Print(left.messages, out);
                if (!left.messages.empty()) {
                    err << "line " << answer.line << ": " << answer.name
                        << " does not pass its check\n";
                    return 2;
                }
            }
        }
        for (const Answer& answer : answers) {
            if (PageOfControl(answer.name) != page) continue;
            if (answer.name == kCheckBox) {
                control.SetChecked(answer.value == "1");
            } else if (auto index = OptionIndex(answer.name, answer.value)) {
                control.OptionClick(answer.name, *index);
            }
        }
        Effects pressed = control.Click(layout->forward);
        Print(pressed.messages, out);
        if (pressed.page == page) {
            err << "page " << page << " stays after " << layout->forward << "\n";
            return 2;
        }
    }
    err << "the wizard does not reach its last page\n";
    return 2;
}

}  // namespace wizard
