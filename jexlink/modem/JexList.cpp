// JexList: a small singly linked list of 32-bit integers under its own mutex.
#include "jexlink/modem/JexList.h"

#include <cstdio>

JexList::~JexList() {
    JexMutexLock hold(mutex_);
    while (head_) {
        Node* next = head_->next;
        delete head_;
        head_ = next;
    }
    tail_ = nullptr;
    count_ = 0;
}

void JexList::Append(int32_t value) {
    JexMutexLock hold(mutex_);
    Node* node = new Node{value, nullptr};
    if (tail_)
        tail_->next = node;
    else
        head_ = node;
    tail_ = node;
    ++count_;
}

JexList::Node* JexList::At(uint32_t index) {
    Node* node = head_;
    for (uint32_t i = 0; node && i < index; ++i) node = node->next;
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
    return At(index)->value;
}

void JexList::Yank(uint32_t index) {
    JexMutexLock hold(mutex_);
    if (index >= count_) {
        std::fprintf(stderr, "*** JexList::Yank index error\n\tlist size=%d, offending index=%d\n",
                     static_cast<int>(count_), static_cast<int>(index));
        return;
    }
    Node* previous = index ? At(index - 1) : nullptr;
    Node* node = previous ? previous->next : head_;
    (previous ? previous->next : head_) = node->next;
    if (tail_ == node) tail_ = previous;
    delete node;
    --count_;
}

uint32_t JexList::Count() {
    JexMutexLock hold(mutex_);
    return count_;
}
