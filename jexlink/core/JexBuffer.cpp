// Growable byte buffers: storage, index errors, dumps, integer packing and cutting.
#include "jexlink/core/JexBuffer.h"

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <istream>
#include <ostream>
#include <string>
#include <utility>

#include "jexlink/core/JexString.h"

namespace {

std::atomic<JexBufferBase::IndexErrorHandler> indexErrorHandler{nullptr};

// Storage for n bytes and the NUL: n + 64 rounded down to a multiple of 64.
int64_t StorageSize(int n) {
    return (static_cast<int64_t>(n < 0 ? 0 : n) + 64) & ~static_cast<int64_t>(63);
}

bool Fits(int64_t size) { return size <= INT_MAX; }

bool Inside(const void* p, const char* data, int allocated) {
    const auto b = reinterpret_cast<uintptr_t>(p);
    const auto d = reinterpret_cast<uintptr_t>(data);
    return data && b >= d && b < d + static_cast<uintptr_t>(allocated);
}

// The dump layout shared by Print and Dump.
std::string DumpText(const char* data, int used) {
    if (!data || used <= 0) return "  000000\n";
    std::string out;
    const unsigned char* printed = nullptr;  // bytes of the last printed full line
    bool starred = false;
    char piece[16];
    for (int off = 0; off < used; off += 16) {
        auto* line = reinterpret_cast<const unsigned char*>(data) + off;
        const int n = used - off < 16 ? used - off : 16;
        const bool last = off + n >= used;
        if (!last && printed && n == 16 && std::memcmp(printed, line, 16) == 0) {
            if (!starred) out += "  *\n";
            starred = true;
            continue;
        }
        starred = false;
        printed = n == 16 ? line : nullptr;
        std::snprintf(piece, sizeof piece, "  %06x  ", static_cast<unsigned>(off));
        out += piece;
        for (int i = 0; i < 16; ++i) {
            if (i >= n) {
                out += "   ";
                continue;
            }
            std::snprintf(piece, sizeof piece, " %02x", line[i]);
            out += piece;
        }
        out += "   ";
        for (int i = 0; i < n; ++i)
            out += (line[i] < 32 || line[i] >= 128) ? '.' : static_cast<char>(line[i]);
        out += '\n';
    }
    return out;
}

}  // namespace

JexBufferBase::JexBufferBase(int n) : JexBufferBase() {
    if (n < 0) return;
    Resize(n);
}

JexBufferBase::JexBufferBase(const char* text) : JexBufferBase() {
    if (text) AssignBytes(text, static_cast<int>(std::strlen(text)));
}

JexBufferBase::JexBufferBase(const void* bytes, int n) : JexBufferBase() {
    if (n < 0 || (!bytes && n > 0)) return;
    AssignBytes(bytes, n);
}

JexBufferBase::JexBufferBase(const JexBufferBase& other) : JexBufferBase() {
    if (other.data) AssignBytes(other.data, other.used_length);
}

JexBufferBase& JexBufferBase::AssignFrom(const JexBufferBase& other) {
    if (this == &other) return *this;
    AssignBytes(other.data, other.used_length);
    return *this;
}

JexBufferBase& JexBufferBase::operator+=(const char* text) {
    if (text) AppendBytes(text, static_cast<int>(std::strlen(text)));
    return *this;
}

void JexBufferBase::Swap(JexBufferBase& other) noexcept {
    std::swap(data, other.data);
    std::swap(allocated_length, other.allocated_length);
    std::swap(used_length, other.used_length);
}

void JexBufferBase::Free() {
    // Most buffers freed are already empty (an absent item, an unused
    // error argument): they cost no call into the allocator.
    if (data) std::free(data);
    data = nullptr;
    allocated_length = 0;
    used_length = 0;
}

char* JexBufferBase::Allocate(int n) {
    const int64_t size = StorageSize(n);
    char* fresh =
        !Fits(size) ? nullptr : static_cast<char*>(std::calloc(static_cast<size_t>(size), 1));
    if (!fresh) {
        std::fprintf(stderr, "--- JexBufferBase memory allocation failure: size=%ld\n",
                     static_cast<long>(size));
        Free();
        return nullptr;
    }
    std::free(data);
    data = fresh;
    allocated_length = static_cast<int>(size);
    if (used_length >= allocated_length) used_length = n < 0 ? 0 : n;
    return data;
}

char* JexBufferBase::Reallocate(int n) {
    const int old = allocated_length;
    if (!ReallocateForOverwrite(n)) return nullptr;
    // New storage is zeroed: no byte of a buffer is ever uninitialised.
    if (allocated_length > old)
        std::memset(data + old, 0, static_cast<size_t>(allocated_length - old));
    return data;
}

char* JexBufferBase::ReallocateForOverwrite(int n) {
    const int64_t size = StorageSize(n);
    if (size < allocated_length) return data;
    char* grown =
        !Fits(size) ? nullptr : static_cast<char*>(std::realloc(data, static_cast<size_t>(size)));
    if (!grown) {
        std::fprintf(stderr, "--- JexBufferBase memory reallocation failure: size=%ld\n",
                     static_cast<long>(size));
        Free();
        return nullptr;
    }
    // Only the slack past n is zeroed here: the bytes up to n are the
    // caller's to write.
    const int64_t from = std::max<int64_t>(allocated_length, int64_t{n} + 1);
    if (size > from) std::memset(grown + from, 0, static_cast<size_t>(size - from));
    data = grown;
    allocated_length = static_cast<int>(size);
    return data;
}

bool JexBufferBase::Resize(int n, bool zeroFill) {
    if (n >= allocated_length && !(zeroFill ? Reallocate(n) : ReallocateForOverwrite(n)))
        return false;
    used_length = n;
    data[n] = 0;
    return true;
}

bool JexBufferBase::GrowForAppend(int n) {
    if (n < allocated_length) return true;
    // Doubling: Reallocate(2a - 1) gives exactly 2a bytes of storage.
    int64_t target = 2 * static_cast<int64_t>(allocated_length) - 1;
    if (target < n) target = n;
    if (target > INT_MAX - 64) target = n;
    return Reallocate(static_cast<int>(target)) != nullptr;
}

bool JexBufferBase::AppendBytes(const void* bytes, int n) {
    if (n <= 0) return true;
    const int64_t total = static_cast<int64_t>(used_length) + n;
    if (total > INT_MAX - 64) {
        std::fprintf(stderr, "--- JexBufferBase memory reallocation failure: size=%ld\n",
                     static_cast<long>(total));
        Free();
        return false;
    }
    // The bytes may be this buffer's own, which a reallocation moves.
    const bool own = Inside(bytes, data, allocated_length);
    const ptrdiff_t offset = own ? static_cast<const char*>(bytes) - data : 0;
    if (!GrowForAppend(static_cast<int>(total))) return false;
    const void* from = own ? data + offset : bytes;
    std::memmove(data + used_length, from, static_cast<size_t>(n));
    used_length = static_cast<int>(total);
    data[used_length] = 0;
    return true;
}

void JexBufferBase::AssignBytes(const void* bytes, int n) {
    // Bytes inside this buffer always fit its storage, so they never move.
    if (!Inside(bytes, data, allocated_length) && n >= allocated_length && !Reallocate(n)) return;
    if (n > 0) std::memmove(data, bytes, static_cast<size_t>(n));
    used_length = n;
    data[n] = 0;
}

char& JexBufferBase::operator[](int index) {
    if (index >= 0 && index < used_length) return data[index];
    IndexError(index);
    static thread_local char nowhere;
    nowhere = 0;
    return nowhere;
}

char JexBufferBase::operator[](int index) const {
    if (index >= 0 && index < used_length) return data[index];
    IndexError(index);
    return 0;
}

JexString JexBufferBase::Slice(int pos, int n) const {
    if (!data || pos < 0 || pos >= used_length || n <= 0) return JexString();
    if (n > used_length - pos) n = used_length - pos;
    return JexString::FromBytes(data + pos, n);
}

void JexBufferBase::Print(std::ostream& out) const { out << DumpText(data, used_length); }

void JexBufferBase::Dump(FILE* out) const {
    const std::string text = DumpText(data, used_length);
    std::fwrite(text.data(), 1, text.size(), out);
}

JexBufferBase::IndexErrorHandler JexBufferBase::SetIndexErrorHandler(IndexErrorHandler handler) {
    return indexErrorHandler.exchange(handler);
}

int JexBufferBase::IndexError(int index) const {
    std::fprintf(
        stderr,
        "JexBufferBase index "
        "error:\n\tdata=%p\n\tallocated_length=%d\n\tused_length=%d\n\toffending index=%u\n",
        static_cast<void*>(data), allocated_length, used_length, static_cast<unsigned>(index));
    IndexErrorHandler handler = indexErrorHandler.load();
    if (!handler) std::abort();
    return handler(index);
}

std::istream& JexBufferBase::ReadLineInto(std::istream& in, JexBufferBase& line) {
    line.Resize(0);
    bool any = false;
    char c;
    while (in.get(c)) {
        any = true;
        if (c == '\n') break;
        line.AppendBytes(&c, 1);
    }
    // Like std::getline: a last line without a newline is still a line.
    if (any && in.eof()) in.clear(std::ios::eofbit);
    return in;
}

JexBuffer::JexBuffer(const JexString& text) {
    const char* t = text.Text();
    if (*t) AssignBytes(t, static_cast<int>(std::strlen(t)));
}

void JexBuffer::SetLength(int n) {
    if (n < 0) {
        IndexError(n);
        return;
    }
    Resize(n);
}

bool JexBuffer::SetLengthForOverwrite(int n) {
    if (n < 0) {
        IndexError(n);
        return false;
    }
    return Resize(n, false);
}

JexBuffer& JexBuffer::operator+=(char c) {
    AppendBytes(&c, 1);
    return *this;
}

JexBuffer& JexBuffer::operator+=(const JexBufferBase& other) {
    if (other.Data()) AppendBytes(other.Data(), other.Length());
    return *this;
}

bool JexBuffer::operator==(const JexBuffer& other) const {
    if (used_length != other.used_length) return false;
    return used_length == 0 || std::memcmp(data, other.data, static_cast<size_t>(used_length)) == 0;
}

bool JexBuffer::operator==(const char* text) const {
    const size_t n = text ? std::strlen(text) : 0;
    if (static_cast<size_t>(used_length) != n) return false;
    return n == 0 || std::memcmp(data, text, n) == 0;
}

namespace {

void PutLittleEndian(char* at, uint64_t v, int width) {
    for (int i = 0; i < width; ++i) at[i] = static_cast<char>((v >> (8 * i)) & 0xFF);
}

// Sign-extends a value of `count` bytes from its last byte.
int64_t SignExtend(uint64_t v, int count) {
    if (count <= 0 || count >= 8) return static_cast<int64_t>(v);
    if (v & (uint64_t{0x80} << (8 * (count - 1)))) v |= ~uint64_t{0} << (8 * count);
    return static_cast<int64_t>(v);
}

}  // namespace

void JexBuffer::SetShort(int16_t v) {
    if (Resize(2)) PutLittleEndian(data, static_cast<uint16_t>(v), 2);
}

void JexBuffer::SetLong(int32_t v) {
    if (Resize(4)) PutLittleEndian(data, static_cast<uint32_t>(v), 4);
}

void JexBuffer::SetQuad(uint32_t low, uint32_t high) {
    if (Resize(8)) PutLittleEndian(data, (static_cast<uint64_t>(high) << 32) | low, 8);
}

void JexBuffer::AppendShort(int16_t v) {
    char bytes[2];
    PutLittleEndian(bytes, static_cast<uint16_t>(v), 2);
    AppendBytes(bytes, 2);
}

void JexBuffer::AppendLong(int32_t v) {
    char bytes[4];
    PutLittleEndian(bytes, static_cast<uint32_t>(v), 4);
    AppendBytes(bytes, 4);
}

uint64_t JexBuffer::RawAt(int pos, int width, int* count) const {
    *count = 0;
    if (!data || pos < 0 || pos >= used_length) return 0;
    const int n = used_length - pos < width ? used_length - pos : width;
    uint64_t v = 0;
    for (int i = 0; i < n; ++i)
        v |= static_cast<uint64_t>(static_cast<unsigned char>(data[pos + i])) << (8 * i);
    *count = n;
    return v;
}

int16_t JexBuffer::GetShort() const {
    int n;
    const uint64_t v = RawAt(0, 2, &n);
    return static_cast<int16_t>(v);  // one byte stays 0-255; two are a signed value
}

int32_t JexBuffer::GetLong() const {
    int n;
    return static_cast<int32_t>(static_cast<uint32_t>(RawAt(0, 4, &n)));
}

int64_t JexBuffer::GetQuad() const {
    int n;
    const uint64_t v = RawAt(0, 8, &n);
    return SignExtend(v, n);
}

int16_t JexBuffer::GetShortAt(int pos) const {
    int n;
    const uint64_t v = RawAt(pos, 2, &n);
    return static_cast<int16_t>(SignExtend(v, n));
}

uint16_t JexBuffer::GetUShortAt(int pos) const {
    int n;
    return static_cast<uint16_t>(RawAt(pos, 2, &n));
}

int32_t JexBuffer::GetLongAt(int pos) const {
    int n;
    const uint64_t v = RawAt(pos, 4, &n);
    return static_cast<int32_t>(SignExtend(v, n));
}

uint32_t JexBuffer::GetULongAt(int pos) const {
    int n;
    return static_cast<uint32_t>(RawAt(pos, 4, &n));
}

int64_t JexBuffer::GetQuadAt(int pos) const {
    int n;
    const uint64_t v = RawAt(pos, 8, &n);
    return SignExtend(v, n);
}

namespace {

// A range [pos, pos + n) inside [0, used); negative values never are.
bool InRange(int pos, int n, int used) {
    return pos >= 0 && n >= 0 && static_cast<int64_t>(pos) + n <= used;
}

int WrappedEnd(int pos, int n) {
    return static_cast<int>(static_cast<unsigned>(pos) + static_cast<unsigned>(n));
}

}  // namespace

void JexBuffer::Extract(JexBuffer& target, int pos, int n) const {
    if (!InRange(pos, n, used_length)) {
        const int end = WrappedEnd(pos, n);
        if (&target != this) target.Free();
        IndexError(end);
        return;
    }
    target.AssignBytes(data ? data + pos : "", n);
}

void JexBuffer::Keep(int pos, int n) {
    if (!InRange(pos, n, used_length)) {
        IndexError(WrappedEnd(pos, n));
        return;
    }
    if (!data) return;
    AssignBytes(data + pos, n);
}

std::istream& JexBuffer::ReadLine(std::istream& in, JexBuffer& line) {
    return ReadLineInto(in, line);
}

std::istream& JexBuffer::ReadLine(std::istream& in, JexString& line) {
    return ReadLineInto(in, line);
}
