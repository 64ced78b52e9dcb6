// Growable byte buffers: JexBufferBase (storage) and JexBuffer (integer packing, cutting).
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iosfwd>

class JexString;

// A growable byte store that always keeps a NUL one byte past its used
// length, so its bytes can also be handed to code that expects C text.
// Storage comes from the C heap in steps of 64 bytes and never shrinks.
// An out-of-range index is a programming error: it is reported on standard
// error and handed to the process-wide index-error handler (the process
// aborts when none is installed).
class JexBufferBase {
public:
    using IndexErrorHandler = int (*)(int index);

    JexBufferBase() : data(nullptr), allocated_length(0), used_length(0) {}
    explicit JexBufferBase(int n);  // n bytes in use, all zero
    JexBufferBase(const char* text);
    JexBufferBase(const void* bytes, int n);
    JexBufferBase(const JexBufferBase& other);
    // Inline, so that the many empty items of a net message cost no call.
    ~JexBufferBase() {
        if (data) std::free(data);
    }

    // Inline for an empty other, so that clearing buffers that are mostly
    // empty already (an error's unused arguments) costs no call.
    JexBufferBase& operator=(const JexBufferBase& other) {
        if (other.data) return AssignFrom(other);
        if (data) Free();
        return *this;
    }
    JexBufferBase& operator+=(const char* text);  // null appends nothing

    // Frees the storage: null data, both lengths 0.
    void Free();
    // Exchanges the storage of two buffers.
    void Swap(JexBufferBase& other) noexcept;
    // Replaces the storage by fresh zero-filled storage for n bytes; the used
    // length is kept when it still fits, else it becomes n.
    char* Allocate(int n);
    // Grows the storage to hold n bytes and the NUL; never shrinks it.
    // Returns the data, or null after an allocation failure.
    char* Reallocate(int n);
    // Reallocate without zero-filling the new bytes: for storage the caller
    // is about to overwrite.
    char* ReallocateForOverwrite(int n);

    // The byte at an index below the used length; any other index is an
    // index error and yields a zero byte that belongs to no buffer.
    char& operator[](int index);
    char operator[](int index) const;

    // A new string (case flag 1) of the n bytes at pos, cut to the buffer.
    JexString Slice(int pos, int n) const;

    char* Data() const { return data; }
    int Length() const { return used_length; }
    int AllocatedLength() const { return allocated_length; }

    // Hex and character dump, 16 bytes a line; repeated lines collapse to "  *".
    void Print(std::ostream& out) const;
    void Dump(FILE* out) const;

    static IndexErrorHandler SetIndexErrorHandler(IndexErrorHandler handler);
    // Reports an index error for this buffer; returns the handler's result.
    int IndexError(int index) const;

protected:
    // operator= of an other with storage (which may be this buffer).
    JexBufferBase& AssignFrom(const JexBufferBase& other);
    // Sets the used length to n (growing when needed) and writes the NUL.
    // Returns false after an allocation failure (the buffer is then empty).
    bool Resize(int n, bool zeroFill = true);
    // Grows for an append that brings the used length to n; geometric, so a
    // run of appends costs amortised constant time per byte.
    bool GrowForAppend(int n);
    // Appends n bytes (which may lie inside this buffer).
    bool AppendBytes(const void* bytes, int n);
    void AssignBytes(const void* bytes, int n);
    static std::istream& ReadLineInto(std::istream& in, JexBufferBase& line);

    char* data;
    int allocated_length;
    int used_length;
};

// A byte buffer with little-endian integer packing, comparison and cutting.
class JexBuffer : public JexBufferBase {
public:
    using JexBufferBase::JexBufferBase;
    JexBuffer() = default;
    JexBuffer(const JexBuffer& other) = default;
    explicit JexBuffer(const JexBufferBase& other) : JexBufferBase(other) {}
    // The string's text; an empty text gives a buffer without storage.
    JexBuffer(const JexString& text);

    JexBuffer& operator=(const JexBuffer& other) {
        JexBufferBase::operator=(other);
        return *this;
    }
    JexBuffer& operator=(const JexBufferBase& other) {
        JexBufferBase::operator=(other);
        return *this;
    }

    // Grows when n is not below the allocated length, sets the used length
    // to n and writes the NUL at n; bytes below n are kept.
    void SetLength(int n);
    // SetLength for bytes the caller overwrites at once: bytes past the old
    // used length are left as they come. false after an allocation failure.
    bool SetLengthForOverwrite(int n);

    JexBuffer& operator+=(char c);
    JexBuffer& operator+=(const JexBufferBase& other);

    bool operator==(const JexBuffer& other) const;
    bool operator==(const char* text) const;  // same length and bytes; null is empty

    void SetShort(int16_t v);
    void SetLong(int32_t v);
    void SetQuad(uint32_t low, uint32_t high);
    void AppendShort(int16_t v);
    void AppendLong(int32_t v);

    int16_t GetShort() const;
    int32_t GetLong() const;
    int64_t GetQuad() const;
    int16_t GetShortAt(int pos) const;
    uint16_t GetUShortAt(int pos) const;
    int32_t GetLongAt(int pos) const;
    uint32_t GetULongAt(int pos) const;
    int64_t GetQuadAt(int pos) const;

    // target becomes the n bytes at pos; a range past the end frees the
    // target and reports an index error at pos + n.
    void Extract(JexBuffer& target, int pos, int n) const;
    // Keeps only the n bytes at pos; same range check as Extract.
    void Keep(int pos, int n);

    // Empties the buffer, then reads bytes up to a newline (not stored) or
    // the end of the input. The stream fails only when nothing was read.
    static std::istream& ReadLine(std::istream& in, JexBuffer& line);
    static std::istream& ReadLine(std::istream& in, JexString& line);

private:
    // Value of up to `width` bytes at pos, least significant first.
    uint64_t RawAt(int pos, int width, int* count) const;
};
