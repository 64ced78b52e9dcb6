// JexTagList: an ordered table of tag/value texts that renders as aligned lines.
#pragma once

#include "jexlink/core/JexFieldedString.h"
#include "jexlink/core/JexString.h"

// Tags keep the position they were first added at; looking a tag up by
// name adds it (with an empty value) when it is new. Text() gives one line
// per tag with a value, the values aligned in one column for tags of up to
// kMaxWidth characters. A list belongs to one owner.
class JexTagList {
public:
    static constexpr int kMaxWidth = 20;

    JexTagList();
    ~JexTagList();
    JexTagList(const JexTagList&) = default;
    JexTagList& operator=(const JexTagList&) = default;

    // Position of the first tag equal to `tag` (case-sensitive), or Count().
    int Find(const char* tag);
    // The tag's value, the tag appended first when it is new.
    JexString& operator[](const char* tag);

    // "tag: " + blanks to the width + value + "\n" for every tag whose value
    // is not empty, in list order.
    JexString Text();

    int Count() const { return tags_.Count(); }
    // The tag and the value at a position below Count().
    const char* TagAt(int index) { return tags_[index].Text(); }
    JexString& ValueAt(int index) { return values_[index]; }

private:
    JexFieldedString tags_;
    JexFieldedString values_;
};
