// Typed net messages of numbered items and their wire encoding.
#include "jexlink/core/JexNetMsg.h"

#include <cstdlib>
#include <cstring>
#include <ostream>

namespace {

bool Present(const JexBuffer& item) { return item.Data() != nullptr; }

// Copies n bytes into an item, which becomes present even when n is 0.
void SetItem(JexBuffer& item, const unsigned char* bytes, int n) {
    // No zero-fill: the bytes are written over at once.
    if (!item.SetLengthForOverwrite(n)) return;
    if (item.Data() && n > 0) std::memcpy(item.Data(), bytes, static_cast<size_t>(n));
}

bool Printable(int c, int high) { return c >= 32 && c < high; }

}  // namespace

JexNetMsg::JexNetMsg() = default;

JexNetMsg::JexNetMsg(int t) : type(t & 0xFF) {}

JexNetMsg::JexNetMsg(const JexNetMsg& other) {
    for (int i = 0; i < kItems; ++i)
        if (Present(other.items[i])) items[i] = other.items[i];
}

JexNetMsg& JexNetMsg::operator=(const JexNetMsg& other) {
    if (this == &other) return *this;
    for (int i = 0; i < kItems; ++i) items[i] = other.items[i];  // absent source frees
    return *this;
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
    for (const JexBuffer& item : items) n += Present(item);
    return n;
}

void JexNetMsg::Clear() {
    for (JexBuffer& item : items)
        if (Present(item)) item.Free();
    type = 0;
    corrupt = 0;
}

int JexNetMsg::Encode(JexBuffer& out) const {
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
    for (int i = 0; i < kItems; ++i) {
        if (!items[i].Data()) continue;
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
    auto* p = reinterpret_cast<unsigned char*>(out.Data());
    if (!p) return kRefused;
    *p++ = static_cast<unsigned char>(type);
    for (int k = 0; k < count; ++k) {
        const JexBuffer& item = items[present[k]];
        const auto n = static_cast<uint32_t>(item.Length());
        *p++ = present[k];
        *p++ = static_cast<unsigned char>(n & 0xFF);
        *p++ = static_cast<unsigned char>((n >> 8) & 0xFF);
        *p++ = static_cast<unsigned char>((n >> 16) & 0xFF);
        if (n > 0) std::memcpy(p, item.Data(), n);
        p += n;
    }
    return kEncoded;
}

JexBuffer JexNetMsg::Encode() const {
    JexBuffer out;
    (void)Encode(out);  // a refusal leaves out without storage
    return out;
}

int JexNetMsg::EncodeAround(int slot, const JexBuffer& item, JexBuffer& head,
                            JexBuffer& tail) const {
    // Written into buffers of their own: head or tail may be an item of
    // this message, or the item itself.
    JexBuffer before;
    JexBuffer after;
    const auto refuse = [&] {
        head.Free();
        tail.Free();
        return kRefused;
    };
    if (slot < 0 || slot >= kItems) {
        std::fprintf(stderr, "--- JexNetMsg::Encode refused: item %d is no slot\n", slot);
        return refuse();
    }
    const auto length = [&](int i) { return i == slot ? item.Length() : items[i].Length(); };
    const auto present = [&](int i) { return i == slot || items[i].Data() != nullptr; };
    int count = 0;
    int64_t total = 1;
    int oversized = -1;
    for (int i = 0; i < kItems; ++i) {
        if (!present(i)) continue;
        ++count;
        total += 4 + static_cast<int64_t>(length(i));
        if (length(i) >= kItemLimit && oversized < 0) oversized = i;
    }
    if (type == kRawType && count == 1 && slot == kRawItem) {
        const char raw = static_cast<char>(kRawMark);
        before = JexBuffer(&raw, 1);
        after.SetLength(0);
        head.Swap(before);
        tail.Swap(after);
        return kEncoded;
    }
    if (type == kRawMark) {
        std::fprintf(stderr,
                     "--- JexNetMsg::Encode refused: type 'd' cannot travel in the regular form\n");
        return refuse();
    }
    if (oversized >= 0) {
        std::fprintf(stderr,
                     "--- JexNetMsg::Encode refused: item %d has %d bytes, the limit is %d\n",
                     oversized, length(oversized), kItemLimit - 1);
        return refuse();
    }
    if (total > 0x7fffffc0) {
        std::fprintf(stderr, "--- JexNetMsg::Encode refused: message of %lld bytes is too long\n",
                     static_cast<long long>(total));
        return refuse();
    }
    const auto put = [](JexBuffer& out, int i, const JexBuffer& bytes) {
        const auto n = static_cast<uint32_t>(bytes.Length());
        const char lead[4] = {static_cast<char>(i), static_cast<char>(n & 0xFF),
                              static_cast<char>((n >> 8) & 0xFF),
                              static_cast<char>((n >> 16) & 0xFF)};
        out += JexBuffer(lead, 4);
        if (n > 0) out += bytes;
    };
    const char mark = static_cast<char>(type);
    before = JexBuffer(&mark, 1);
    after.SetLength(0);
    for (int i = 0; i < kItems; ++i) {
        if (!present(i)) continue;
        if (i < slot) put(before, i, items[i]);
        if (i > slot) put(after, i, items[i]);
    }
    const auto n = static_cast<uint32_t>(item.Length());
    const char lead[4] = {static_cast<char>(slot), static_cast<char>(n & 0xFF),
                          static_cast<char>((n >> 8) & 0xFF), static_cast<char>((n >> 16) & 0xFF)};
    before += JexBuffer(lead, 4);
    head.Swap(before);
    tail.Swap(after);
    return kEncoded;
}

void JexNetMsg::Decode(const JexBuffer& in) { Decode(in.Data(), in.Length()); }

void JexNetMsg::Decode(const void* bytes, int n) {
    // One pass frees the items, except one that holds the bytes: those are
    // copied before it is freed too.
    const auto at = reinterpret_cast<uintptr_t>(bytes);
    JexBuffer* holder = nullptr;
    for (JexBuffer& item : items) {
        const auto start = reinterpret_cast<uintptr_t>(item.Data());
        if (!start) continue;
        if (at >= start && at < start + static_cast<uintptr_t>(item.AllocatedLength())) {
            holder = &item;
            continue;
        }
        item.Free();
    }
    type = 0;
    if (!holder) {
        DecodeInto(bytes, n);
        return;
    }
    const JexBuffer copy(bytes, n > 0 ? n : 0);
    holder->Free();
    DecodeInto(copy.Data(), n > 0 ? n : 0);
}

void JexNetMsg::DecodeInto(const void* bytes, int n) {
    corrupt = 1;
    if (!bytes || n <= 0) return;
    const auto* b = static_cast<const unsigned char*>(bytes);
    type = b[0];
    if (b[0] == kRawMark) {
        SetItem(items[kRawItem], b + 1, n - 1);
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
        SetItem(items[slot], b + pos + 4, length);
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
        items[kRawItem].Swap(body);
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
        JexBuffer& first = items[head[1]];
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
    for (int i = 0; i < kItems; ++i) {
        if (!Present(items[i])) continue;
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
    for (int i = 0; i < kItems; ++i) {
        if (!Present(items[i])) continue;
        out << "Item index " << i;
        form(i);
        out << ") (" << items[i].Length() << " bytes):\n";
        items[i].Print(out);
    }
}
