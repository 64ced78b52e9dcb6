// JexTagList: an ordered table of tag/value texts that renders as aligned lines.
#include "jexlink/core/JexTagList.h"

#include <cstring>
#include <string>

#include "jexlink/core/JexThread.h"

JexTagList::JexTagList() : tags_(' '), values_(' ') {}

JexTagList::~JexTagList() = default;

int JexTagList::Find(const char* tag) {
    const char* wanted = tag ? tag : "";
    for (int i = 0; i < tags_.Count(); ++i)
        if (std::strcmp(tags_[i].Text(), wanted) == 0) return i;
    return tags_.Count();
}

JexString& JexTagList::operator[](const char* tag) {
    const int at = Find(tag);
    if (at == tags_.Count()) tags_[at] = tag ? tag : "";
    return values_[at];
}

JexString JexTagList::Text() {
    // The width is the longest tag with a value, at most kMaxWidth; the walk
    // stops once that cap is reached.
    size_t width = 0;
    for (int i = 0; i < tags_.Count(); ++i) {
        if (!*values_[i].Text()) continue;
        const size_t length = std::strlen(tags_[i].Text());
        if (length <= width) continue;
        width = length;
        if (width > kMaxWidth) {
            width = kMaxWidth;
            break;
        }
    }
    std::string out;
    for (int i = 0; i < tags_.Count(); ++i) {
        const char* value = values_[i].Text();
        if (!*value) continue;
        const char* tag = tags_[i].Text();
        const size_t length = std::strlen(tag);
        out += tag;
        out += ": ";
        if (length < width) out.append(width - length, ' ');
        out += value;
        out += '\n';
    }
    return JexString(out.c_str(), 1);
}
