// JexList: a small singly linked list of 32-bit integers under its own mutex.
#include "jexlink/modem/JexList.h"

#include <cstdio>
#include <iterator>

void JexList::Append(int32_t value) {
    JexMutexLock hold(mutex_);
    tail_ = values_.insert_after(tail_, value);
    ++count_;
}

JexList::Values::iterator JexList::Before(uint32_t index) {
    auto node = values_.before_begin();
    for (uint32_t i = 0; i < index; ++i) ++node;
    return node;
}

int32_t& JexList::operator[](uint32_t index) {
    JexMutexLock hold(mutex_);
    if (index >= count_) {
        std::fprintf(stderr,
                     "*** JexList::operator [] index error\n\tlist size=%d, offending index=%d\n",
                     static_cast<int>(count_), static_cast<int>(index));
        scratch_ = 0;
        return scratch_;
    }
    return *std::next(Before(index));
}

void JexList::Yank(uint32_t index) {
    JexMutexLock hold(mutex_);
    if (index >= count_) {
        std::fprintf(stderr, "*** JexList::Yank index error\n\tlist size=%d, offending index=%d\n",
                     static_cast<int>(count_), static_cast<int>(index));
        return;
    }
    const auto previous = Before(index);
    if (std::next(previous) == tail_) tail_ = previous;
    values_.erase_after(previous);
    --count_;
}

uint32_t JexList::Count() {
    JexMutexLock hold(mutex_);
    return count_;
}
