// What each page of the wizard shows: captions, labels, fields, options, frames and buttons, in
// order.
#pragma once

#include <string_view>
#include <vector>

namespace wizard {

// One entry of a page, in the order it is shown.
struct LayoutItem {
    enum class Kind {
        kFrameBegin,  // a nested frame: `name`, `caption`; ends at the next kFrameEnd
        kFrameEnd,
        kText,    // a text field `name` with its label `caption`
        kList,    // a list field `name` (a text with choices) with its label `caption`
        kLabel,   // a read-only text `name` beside `caption`
        kOption,  // option `index` of the group `name`, captioned `caption`
        kCheck,   // the check box `name`, captioned `caption`
        kNote,    // fixed text `caption`
        kButton,  // a button `name`; its caption is the control's
    };
    Kind kind;
    const char* name;
    const char* caption;
    int index = 0;
};

struct PageLayout {
    int page;
    const char* frame;
    const char* caption;
    std::vector<LayoutItem> items;
    // The button that moves on (empty on page 9).
    const char* forward;
};

// The nine pages, by page number (index 0 is page 1).
const std::vector<PageLayout>& Pages();
const PageLayout* FindPage(int page);
// The page that holds a text field, list, option group or the check box; 0
// for any other name.
int PageOfControl(std::string_view name);
// Choices of a list field.
const std::vector<const char*>& ListChoices(std::string_view name);

}  // namespace wizard
