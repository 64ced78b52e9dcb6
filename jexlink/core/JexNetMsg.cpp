// Typed net messages of numbered items and their wire encoding.
#include "jexlink/core/JexNetMsg.h"

#include <bit>
#include <cstdlib>
#include <cstring>
#include <new>
#include <ostream>

#include "platform/base/DebugCheck.h"

namespace {

bool Present(const JexBuffer& item) { return item.Data() != nullptr; }

// Copies n bytes into an item, which becomes present even when n is 0.
void SetItem(JexBuffer& item, const unsigned char* bytes, int n) {
    // No zero-fill: the bytes are written over at once.
    if (!item.SetLengthForOverwrite(n)) return;
    if (item.Data() && n > 0) std::memcpy(item.Data(), bytes, static_cast<size_t>(n));
}

bool Printable(int c, int high) { return c >= 32 && c < high; }

// Writes an item's head (slot byte, 24-bit little-endian length) at p; the
// byte after it.
char* PutItemHead(char* p, int slot, int n) {
    const auto length = static_cast<uint32_t>(n);
    p[0] = static_cast<char>(slot);
    p[1] = static_cast<char>(length & 0xFF);
    p[2] = static_cast<char>((length >> 8) & 0xFF);
    p[3] = static_cast<char>((length >> 16) & 0xFF);
    return p + 4;
}

// Writes an item's head and bytes at p; the byte after them.
char* PutItem(char* p, int slot, const JexBuffer& item) {
    p = PutItemHead(p, slot, item.Length());
    if (item.Length() > 0) std::memcpy(p, item.Data(), static_cast<size_t>(item.Length()));
    return p + item.Length();
}

}  // namespace

JexNetMsg::JexNetMsg() { MakeItems(); }

JexNetMsg::JexNetMsg(int t) : type(t & 0xFF) { MakeItems(); }

JexNetMsg::JexNetMsg(const JexNetMsg& other) {
    MakeItems();
    for (int i = other.NextItem(-1); i < kItems; i = other.NextItem(i)) Touch(i) = other.items[i];
}

JexNetMsg& JexNetMsg::operator=(const JexNetMsg& other) {
    if (this == &other) return *this;
    // Only slots noted on either side can differ; an absent source frees.
    for (int w = 0; w < kWords; ++w) {
        for (uint64_t bits = touched_[w] | other.touched_[w]; bits != 0; bits &= bits - 1) {
            const int i = w * 64 + std::countr_zero(bits);
            items[i] = other.items[i];
        }
        touched_[w] |= other.touched_[w];
    }
    return *this;
}

int JexNetMsg::NextTouched(int slot) const {
    for (int i = slot + 1; i < kItems; i = (i | 63) + 1) {
        const uint64_t bits = touched_[i >> 6] >> (i & 63);
        if (bits != 0) return i + std::countr_zero(bits);
    }
    return kItems;
}

int JexNetMsg::NextItem(int slot) const {
    for (int i = NextTouched(slot < -1 ? -1 : slot); i < kItems; i = NextTouched(i))
        if (Present(items[i])) return i;
    return kItems;
}

JexNetMsg::~JexNetMsg() {
    // The other slots hold no storage; their buffers need no destructor.
    FreeItems();
}

void JexNetMsg::MakeItems() {
    for (JexBuffer* item = items; item != items + kItems; ++item) new (item) JexBuffer;
}

bool JexNetMsg::EveryItemNoted() const {
    // Stepped through by pointer: the bits are looked at for present items
    // alone.
    for (const JexBuffer* item = items; item != items + kItems; ++item) {
        const auto i = static_cast<size_t>(item - items);
        if (Present(*item) && !(touched_[i >> 6] & (uint64_t{1} << (i & 63)))) return false;
    }
    return true;
}

void JexNetMsg::FreeItems() {
    for (int i = NextTouched(-1); i < kItems; i = NextTouched(i)) items[i].Free();
    for (uint64_t& word : touched_) word = 0;
}

JexBuffer& JexNetMsg::IndexScratch(int index) {
    static thread_local JexBuffer scratch;
    scratch.Free();
    scratch.IndexError(index);
    return scratch;
}

void JexNetMsg::Type(int t) {
    if ((t & 0xFF) == kRawMark) {
        std::fprintf(stderr, "JexNetMsg::Type() can't use 'd' as JexNetMsg type\n");
        std::abort();
    }
    type = t & 0xFF;
}

int JexNetMsg::ItemCount() const {
    int n = 0;
    for (int i = NextItem(-1); i < kItems; i = NextItem(i)) ++n;
    return n;
}

void JexNetMsg::Clear() {
    FreeItems();
    type = 0;
    corrupt = 0;
}

int JexNetMsg::Encode(JexBuffer& out) const {
    TAVRO_DEBUG_CHECK(EveryItemNoted(),
                      "JexNetMsg: an item reference kept across Clear or Decode was given storage");
    // The output may be one of this message's own items.
    if (&out >= items && &out < items + kItems) {
        JexBuffer encoded;
        const int result = Encode(encoded);
        out = encoded;
        return result;
    }

    // One pass over the slots finds the present items, the total and any
    // item too long to frame; the writing pass visits only those items.
    unsigned char present[kItems];
    int count = 0;
    int64_t total = 1;
    int oversized = -1;
    for (int i = NextItem(-1); i < kItems; i = NextItem(i)) {
        present[count++] = static_cast<unsigned char>(i);
        const int n = items[i].Length();
        total += 4 + static_cast<int64_t>(n);
        if (n >= kItemLimit && oversized < 0) oversized = i;
    }

    if (type == kRawType && count == 1 && present[0] == kRawItem) {
        const JexBuffer& raw = items[kRawItem];
        out.SetLength(1 + raw.Length());
        if (!out.Data()) return kRefused;
        out.Data()[0] = static_cast<char>(kRawMark);
        std::memcpy(out.Data() + 1, raw.Data(), static_cast<size_t>(raw.Length()));
        return kEncoded;
    }

    if (type == kRawMark) {
        std::fprintf(stderr,
                     "--- JexNetMsg::Encode refused: type 'd' cannot travel in the regular form\n");
        out.Free();
        return kRefused;
    }
    if (oversized >= 0) {
        std::fprintf(stderr,
                     "--- JexNetMsg::Encode refused: item %d has %d bytes, the limit is %d\n",
                     oversized, items[oversized].Length(), kItemLimit - 1);
        out.Free();
        return kRefused;
    }
    if (total > 0x7fffffc0) {
        std::fprintf(stderr, "--- JexNetMsg::Encode refused: message of %lld bytes is too long\n",
                     static_cast<long long>(total));
        out.Free();
        return kRefused;
    }

    out.SetLength(static_cast<int>(total));
    char* p = out.Data();
    if (!p) return kRefused;
    *p++ = static_cast<char>(type);
    for (int k = 0; k < count; ++k) p = PutItem(p, present[k], items[present[k]]);
    return kEncoded;
}

JexBuffer JexNetMsg::Encode() const {
    JexBuffer out;
    (void)Encode(out);  // a refusal leaves out without storage
    return out;
}

int JexNetMsg::EncodeAround(int slot, const JexBuffer& item, JexBuffer& head,
                            JexBuffer& tail) const {
    TAVRO_DEBUG_CHECK(EveryItemNoted(),
                      "JexNetMsg: an item reference kept across Clear or Decode was given storage");
    const auto refuse = [&] {
        head.Free();
        tail.Free();
        return kRefused;
    };
    if (slot < 0 || slot >= kItems) {
        std::fprintf(stderr, "--- JexNetMsg::Encode refused: item %d is no slot\n", slot);
        return refuse();
    }
    // The sizes of the two parts, and the first item too long to frame.
    int count = 1;
    int64_t beforeBytes = 5;  // the type byte and the head of the item
    int64_t afterBytes = 0;
    int oversized = item.Length() >= kItemLimit ? slot : -1;
    for (int i = NextItem(-1); i < kItems; i = NextItem(i)) {
        if (i == slot) continue;
        ++count;
        const int n = items[i].Length();
        (i < slot ? beforeBytes : afterBytes) += 4 + static_cast<int64_t>(n);
        if (n >= kItemLimit && (oversized < 0 || i < oversized)) oversized = i;
    }
    // Written into buffers of their own when head or tail is an item of this
    // message, the item itself or each other; else straight into them, whose
    // storage is used again.
    const auto ours = [&](const JexBuffer& b) {
        return (&b >= items && &b < items + kItems) || &b == &item;
    };
    const bool apart = ours(head) || ours(tail) || &head == &tail;
    JexBuffer ownHead;
    JexBuffer ownTail;
    JexBuffer& before = apart ? ownHead : head;
    JexBuffer& after = apart ? ownTail : tail;
    const auto done = [&] {
        if (apart) {
            head.Swap(ownHead);
            tail.Swap(ownTail);
        }
        return kEncoded;
    };
    if (type == kRawType && count == 1 && slot == kRawItem) {
        if (!before.SetLengthForOverwrite(1) || !after.SetLengthForOverwrite(0)) return refuse();
        before.Data()[0] = static_cast<char>(kRawMark);
        return done();
    }
    if (type == kRawMark) {
        std::fprintf(stderr,
                     "--- JexNetMsg::Encode refused: type 'd' cannot travel in the regular form\n");
        return refuse();
    }
    if (oversized >= 0) {
        std::fprintf(stderr,
                     "--- JexNetMsg::Encode refused: item %d has %d bytes, the limit is %d\n",
                     oversized, oversized == slot ? item.Length() : items[oversized].Length(),
                     kItemLimit - 1);
        return refuse();
    }
    const int64_t total = beforeBytes + item.Length() + afterBytes;
    if (total > 0x7fffffc0) {
        std::fprintf(stderr, "--- JexNetMsg::Encode refused: message of %lld bytes is too long\n",
                     static_cast<long long>(total));
        return refuse();
    }
    if (!before.SetLengthForOverwrite(static_cast<int>(beforeBytes)) ||
        !after.SetLengthForOverwrite(static_cast<int>(afterBytes)))
        return refuse();
    char* p = before.Data();
    char* q = after.Data();
    *p++ = static_cast<char>(type);
    for (int i = NextItem(-1); i < kItems; i = NextItem(i)) {
        if (i < slot) p = PutItem(p, i, items[i]);
        if (i > slot) q = PutItem(q, i, items[i]);
    }
    PutItemHead(p, slot, item.Length());
    return done();
}

void JexNetMsg::Decode(const JexBuffer& in) { Decode(in.Data(), in.Length()); }

void JexNetMsg::Decode(const void* bytes, int n) {
    // Bytes inside one of the items are copied before the items are freed.
    const auto at = reinterpret_cast<uintptr_t>(bytes);
    bool inside = false;
    for (int i = NextItem(-1); i < kItems && !inside; i = NextItem(i)) {
        const auto start = reinterpret_cast<uintptr_t>(items[i].Data());
        inside = at >= start && at < start + static_cast<uintptr_t>(items[i].AllocatedLength());
    }
    type = 0;
    if (!inside) {
        FreeItems();
        DecodeInto(bytes, n);
        return;
    }
    const JexBuffer copy(bytes, n > 0 ? n : 0);
    FreeItems();
    DecodeInto(copy.Data(), n > 0 ? n : 0);
}

void JexNetMsg::DecodeInto(const void* bytes, int n) {
    corrupt = 1;
    if (!bytes || n <= 0) return;
    const auto* b = static_cast<const unsigned char*>(bytes);
    type = b[0];
    if (b[0] == kRawMark) {
        SetItem(Touch(kRawItem), b + 1, n - 1);
        type = kRawType;
        corrupt = 0;
        return;
    }
    if (DecodeItems(b + 1, n - 1)) corrupt = 0;
}

bool JexNetMsg::DecodeItems(const unsigned char* b, int n) {
    int pos = 0;
    while (n - pos >= 4) {
        const int slot = b[pos];
        const int length = b[pos + 1] | (b[pos + 2] << 8) | (b[pos + 3] << 16);
        if (length > n - pos - 4) return false;  // runs past the input
        SetItem(Touch(slot), b + pos + 4, length);
        pos += 4 + length;
    }
    return pos == n;
}

void JexNetMsg::DecodeTaking(const JexBuffer& lead, JexBuffer& rest) {
    JexBuffer body;
    body.Swap(rest);
    unsigned char head[5] = {};
    const int n = lead.Length();
    if (n == 1 || n == 5) std::memcpy(head, lead.Data(), static_cast<size_t>(n));
    if (n == 1 && head[0] == kRawMark) {
        Clear();
        type = kRawType;
        if (!body.Data()) body.SetLength(0);
        Touch(kRawItem).Swap(body);
        return;
    }
    const int length = head[2] | (head[3] << 8) | (head[4] << 16);
    if (n == 5 && head[0] != kRawMark && length <= body.Length()) {
        Clear();
        type = head[0];
        corrupt = DecodeItems(reinterpret_cast<const unsigned char*>(body.Data()) + length,
                              body.Length() - length)
                      ? 0
                      : 1;
        // A later item of the same slot stands, as in Decode.
        JexBuffer& first = Touch(head[1]);
        if (!Present(first)) {
            body.SetLength(length);
            first.Swap(body);
        }
        return;
    }
    JexBuffer joined(lead);
    joined += body;
    Decode(joined);
}

void JexNetMsg::Dump(FILE* out) const {
    auto form = [](int c, char* text, size_t size) {
        if (Printable(c, 127))
            std::snprintf(text, size, "(0x%02x or '%c')", c, c);
        else
            std::snprintf(text, size, "(0x%02x)", c);
        return text;
    };
    char text[32];
    std::fprintf(out, "JexNetMsg Type = %d %s\n", type, form(type, text, sizeof text));
    if (corrupt)
        std::fprintf(out, "** This JexNetMsg was constructed from a corrupt JexBuffer **\n");
    for (int i = NextItem(-1); i < kItems; i = NextItem(i)) {
        std::fprintf(out, "Item index %d %s (%d bytes):\n", i, form(i, text, sizeof text),
                     items[i].Length());
        items[i].Dump(out);
    }
}

void JexNetMsg::Dump(std::ostream& out) const {
    auto form = [&out](int c) {
        char text[16];
        if (Printable(c, 128))
            std::snprintf(text, sizeof text, " ('%c'", c);
        else
            std::snprintf(text, sizeof text, " (0x%02x", c);
        out << text;
    };
    out << "JexNetMsg Type = " << type;
    form(type);
    out << ")\n";
    if (corrupt) out << "** This JexNetMsg was constructed from a corrupt JexBuffer **\n";
    for (int i = NextItem(-1); i < kItems; i = NextItem(i)) {
        out << "Item index " << i;
        form(i);
        out << ") (" << items[i].Length() << " bytes):\n";
        items[i].Print(out);
    }
}
