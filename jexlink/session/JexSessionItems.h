// Items of session messages and the process-wide trace and test switches, shared by the session's
// files.
#pragma once

#include <atomic>
#include <cstring>

#include "jexlink/core/JexBuffer.h"
#include "jexlink/core/JexFieldedString.h"
#include "jexlink/core/JexString.h"

namespace jexsession {

// Switches of the last constructed session; shared by all sessions of the
// process, so they are atomics.
inline std::atomic<int> trace_flags{0};
inline std::atomic<int> testFlags{0};
// Messages received before the forced corruption starts.
inline std::atomic<long> forcedCorrupt{0};

inline bool Present(const JexBuffer& item) { return item.Data() != nullptr; }

// Sets an item to n bytes; the item is present even when n is 0.
inline void SetItem(JexBuffer& item, const void* bytes, int n) {
    item.Free();
    item.SetLength(n);
    if (n > 0) std::memcpy(item.Data(), bytes, static_cast<size_t>(n));
}
inline void SetItem(JexBuffer& item, const char* text) {
    SetItem(item, text, static_cast<int>(std::strlen(text)));
}
inline void SetItem(JexBuffer& item, const JexString& text) { SetItem(item, text.Text()); }
inline void SetItem(JexBuffer& item, const JexBuffer& bytes) {
    SetItem(item, bytes.Data(), bytes.Length());
}
// Sets an item to the text of a list (its fields joined), written in place.
inline void SetItem(JexBuffer& item, const JexFieldedString& list) {
    item.Free();
    item.SetLength(list.TextLength());
    if (char* at = item.Data()) list.CopyText(at);
}
inline void SetByte(JexBuffer& item, int value) {
    const char byte = static_cast<char>(value & 0xFF);
    SetItem(item, &byte, 1);
}

// An item read as text: its bytes up to the first NUL.
inline JexString ItemText(const JexBuffer& item) {
    return JexString::FromBytes(item.Data(), item.Length());
}

inline int FirstByte(const JexBuffer& item) {
    return item.Length() > 0 ? static_cast<unsigned char>(item.Data()[0]) : 0;
}

inline bool SameBytes(const JexBuffer& a, const JexBuffer& b) {
    return a.Length() == b.Length() &&
           (a.Length() == 0 ||
            std::memcmp(a.Data(), b.Data(), static_cast<size_t>(a.Length())) == 0);
}

// The list of signing names of one side: each name, followed by "-" and the
// side's first node when node authentication is on (then joined with ':').
inline JexFieldedString SigningNames(JexFieldedString names, int nodeAuth,
                                     JexFieldedString& nodes) {
    if (!nodeAuth) return names;
    JexFieldedString out(':');
    const JexString node = nodes.Field(0);
    for (int i = 0; i < names.Count(); ++i) out[i] = names.Field(i) + "-" + node;
    return out;
}

}  // namespace jexsession
