// Typed net messages of numbered items and their wire encoding.
#pragma once

#include <cstdint>
#include <cstdio>
#include <iosfwd>

#include "jexlink/core/JexBuffer.h"

// The unit that the library's transports and protocols exchange: a one-byte
// type and up to 256 numbered items, each a JexBuffer. An item is present
// when its buffer has storage, even with length 0.
//
// Wire form: the type byte, then per present item in slot order the slot
// byte, a 24-bit little-endian length and the bytes. A type-68 ('D') message
// whose only item is item 68 travels raw: 'd' followed by the item's bytes.
//
// The message notes every slot handed out for writing, so that walking the
// items visits only those slots: a message of few items costs next to
// nothing to clear, encode, walk or destroy, whatever its 256 slots. An item
// reference kept across Clear or a Decode must be asked for again before
// it is given storage (else the item would be left out of the wire form
// and never freed; debug and sanitizer builds end the process at Encode
// instead).
class JexNetMsg {
public:
    static constexpr int kItems = 256;
    static constexpr int kRawType = 'D';
    static constexpr int kRawItem = 'D';
    static constexpr int kRawMark = 'd';
    // Items of this size or more cannot be framed in the regular form.
    static constexpr int kItemLimit = 1 << 24;

    JexNetMsg();
    explicit JexNetMsg(int type);
    // Copies every present item; the copy has type 0 and is not corrupt.
    JexNetMsg(const JexNetMsg& other);
    ~JexNetMsg();
    // Replaces the items by copies of the other's; type and corrupt flag stay.
    JexNetMsg& operator=(const JexNetMsg& other);

    // The item of slot index; a negative index is rejected as an index
    // error and yields a scratch buffer that belongs to no message.
    JexBuffer& operator[](int index) {
        return index >= 0 ? Touch(index % kItems) : IndexScratch(index);
    }
    const JexBuffer& operator[](int index) const {
        return index >= 0 ? items[index % kItems] : IndexScratch(index);
    }
    // The first present item after slot (-1 for the first of all), or kItems
    // when there is none: the walk of the present items in slot order.
    int NextItem(int slot) const;

    int Type() const { return type; }
    // Sets the type (low 8 bits). 'd' cannot be a type: it marks the raw
    // form on the wire. Asking for it is a programming error that aborts.
    void Type(int t);
    // 1 when the message was decoded from bytes that did not parse completely.
    int Corrupt() const { return corrupt; }

    int ItemCount() const;
    // Frees every item; type 0, not corrupt.
    void Clear();

    // Results of Encode.
    static constexpr int kEncoded = 0;
    static constexpr int kRefused = -1;

    // Writes the wire form into out; kEncoded. What cannot be framed (an
    // item of kItemLimit bytes or more, or a regular message of type 'd',
    // which would read back as raw) is refused: kRefused, with out left
    // without storage and the refusal reported on standard error. Callers
    // must not send out after a refusal.
    [[nodiscard]] int Encode(JexBuffer& out) const;
    // The wire form; a buffer without storage when refused.
    JexBuffer Encode() const;
    // Encode of this message with item as the item of slot (present, empty
    // when it has no storage), without copying the item's bytes: head gets
    // the bytes before them and tail those after, so that head, the item
    // and tail are the bytes Encode would write. Refusals as for Encode
    // (head and tail then left without storage).
    [[nodiscard]] int EncodeAround(int slot, const JexBuffer& item, JexBuffer& head,
                                   JexBuffer& tail) const;
    // Replaces the message by the one the bytes encode. Truncated or
    // trailing bytes leave the corrupt flag set and the complete items.
    void Decode(const JexBuffer& in);
    void Decode(const void* bytes, int n);
    // Decode of the bytes of lead followed by those of rest, where lead is
    // the type byte and the 4-byte head of the first item, or the raw mark
    // alone: that item takes rest's storage (cut to its own bytes, the
    // items after them decoded as usual) instead of a copy. Any other lead,
    // or an item longer than rest, decodes a joined copy. rest is left
    // without storage; either may be an item of this message.
    void DecodeTaking(const JexBuffer& lead, JexBuffer& rest);

    void Dump(FILE* out) const;
    void Dump(std::ostream& out) const;

private:
    static constexpr int kWords = kItems / 64;

    // Slot i of the items, noted as one that may hold storage.
    JexBuffer& Touch(int i) {
        touched_[i >> 6] |= uint64_t{1} << (i & 63);
        return items[i];
    }
    // The next slot after slot that may hold storage, or kItems.
    int NextTouched(int slot) const;
    // Whether every item with storage has its slot noted (the contract of
    // the item references); checked by debug and sanitizer builds only.
    bool EveryItemNoted() const;
    // Makes the 256 empty items (constructors only).
    void MakeItems();
    // Frees every item; the noted slots are forgotten.
    void FreeItems();
    // The scratch buffer of a rejected index, after reporting it.
    static JexBuffer& IndexScratch(int index);
    // Decodes into this message, which holds no items.
    void DecodeInto(const void* bytes, int n);
    // Decodes the items of n bytes (no type byte) into this message; true
    // when they parse completely.
    bool DecodeItems(const unsigned char* b, int n);

    int corrupt = 0;
    int type = 0;
    // Bit i set: slot i was handed out for writing since the last clearing,
    // so it may hold storage. Every item with storage has its bit set.
    uint64_t touched_[kWords] = {};
    // In a union, so that the destructor frees the noted slots alone rather
    // than all 256 of them one by one: only those may hold storage.
    union {
        JexBuffer items[kItems];
    };
};
