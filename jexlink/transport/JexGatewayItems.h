// Reading and writing the items of gateway records, with bounds on what a peer may send.
#pragma once

#include <cstdint>
#include <cstring>

#include "jexlink/core/JexBuffer.h"
#include "jexlink/core/JexFieldedString.h"
#include "jexlink/core/JexNetMsg.h"
#include "jexlink/core/JexString.h"

namespace jexgateway {

// Longest name, list or address text taken from a peer ('A', 'T', 'N', 'S',
// 'n', 'y', 'z', 'V', 'a'). Lists are split into fields, each of which costs
// far more than its bytes, so a peer's text is refused before it is split.
constexpr int kMaxNameText = 1024;
// Longest path text ('P') and the most entries it may hold.
constexpr int kMaxPathText = 32768;
constexpr int kMaxPathEntries = 64;

inline bool HoldsData(const JexNetMsg& record, int item) {
    const JexBuffer& b = record[item];
    return b.Data() != nullptr && b.Length() > 0;
}

inline JexString ItemText(const JexNetMsg& record, int item) {
    const JexBuffer& b = record[item];
    return JexString::FromBytes(b.Data(), b.Length());
}

// A 16-bit item: empty 0, one byte that byte, else the first two, low first.
inline int ItemShort(const JexNetMsg& record, int item) {
    const JexBuffer& b = record[item];
    if (!b.Data() || b.Length() == 0) return 0;
    if (b.Length() == 1) return static_cast<unsigned char>(b.Data()[0]);
    return b.GetUShortAt(0);
}

// Sets an item as assigning it JexBuffer(text) does (the bytes of the text;
// no item when the text is empty), without making the buffer first.
inline void SetItemText(JexBuffer& item, const JexString& text) {
    const char* t = text.Text();
    const size_t n = std::strlen(t);
    if (n == 0) {
        item.Free();
        return;
    }
    if (item.SetLengthForOverwrite(static_cast<int>(n))) std::memcpy(item.Data(), t, n);
}
// Not for C texts: JexBuffer of an empty one is an item, of an empty string none.
void SetItemText(JexBuffer& item, const char* text) = delete;
// SetItemText of the text of a list (its fields joined), written in place.
inline void SetItemText(JexBuffer& item, const JexFieldedString& list) {
    const int n = list.TextLength();
    if (n == 0) {
        item.Free();
        return;
    }
    if (item.SetLengthForOverwrite(n)) list.CopyText(item.Data());
}
// Sets an item to a 16-bit value, low byte first.
inline void SetItemShort(JexBuffer& item, int value) { item.SetShort(static_cast<int16_t>(value)); }

// True when the item's text is no longer than limit and holds no NUL (a
// NUL would cut the text short wherever it is used as one).
inline bool TextWithin(const JexNetMsg& record, int item, int limit) {
    const JexBuffer& b = record[item];
    if (b.Length() > limit) return false;
    for (int i = 0; i < b.Length(); ++i)
        if (b.Data()[i] == '\0') return false;
    return true;
}

// True when the path text is within its bounds.
inline bool PathWithin(const JexNetMsg& record, int item) {
    if (!TextWithin(record, item, kMaxPathText)) return false;
    const JexBuffer& b = record[item];
    int entries = 1;
    for (int i = 0; i < b.Length(); ++i)
        if (b.Data()[i] == '\n' && ++entries > kMaxPathEntries) return false;
    return true;
}

// True when the texts of an answer to CONNECT that are used are within
// their bounds.
inline bool ReplyWithin(const JexNetMsg& record) {
    for (int item : {'a', 'y', 'z', 'V', 's', 'T', 'N'})
        if (!TextWithin(record, item, kMaxNameText)) return false;
    return PathWithin(record, 'P');
}

// Frees the error items ('/', '0' to '9', ':') so that a record filled
// again carries only the error loaded last.
inline void ClearErrorItems(JexNetMsg& record) {
    record['/'].Free();
    for (int item = '0'; item <= ':'; ++item) record[item].Free();
}

}  // namespace jexgateway
