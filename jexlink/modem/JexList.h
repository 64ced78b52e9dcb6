// JexList: a small singly linked list of 32-bit integers under its own mutex.
#pragma once

#include <cstdint>
#include <forward_list>

#include "jexlink/core/JexThread.h"

// The visiting order of a line selection: positions appended at the tail,
// read and swapped by index, removed by index. Every operation holds the
// list's mutex, so one list may be shared by threads. Access by index walks
// from the head. An index not below Count() is a caller's fault: it is
// reported on standard error, reads a scratch value and removes nothing.
class JexList {
public:
    JexList() = default;
    JexList(const JexList&) = delete;
    JexList& operator=(const JexList&) = delete;

    void Append(int32_t value);
    int32_t& operator[](uint32_t index);
    // Unlinks and frees the node at the index.
    void Yank(uint32_t index);
    uint32_t Count();

private:
    using Values = std::forward_list<int32_t>;

    // The node before the one at the index (before_begin for 0).
    Values::iterator Before(uint32_t index);

    Values values_;
    Values::iterator tail_ = values_.before_begin();
    uint32_t count_ = 0;
    JexMutex mutex_;
    int32_t scratch_ = 0;
};
