// Network addresses (JexNetAddr), the counted case-folding compare and the table-driven CRCs.
#include "jexlink/transport/JexNetAddr.h"

#include <immintrin.h>

#include <cstring>
#include <string>

JexNetAddr::JexNetAddr(int sep) : JexFieldedString(static_cast<char>(sep)) {}

JexNetAddr::JexNetAddr(const char* text, int sep) : JexFieldedString(static_cast<char>(sep)) {
    Parse(text);
}

JexNetAddr::JexNetAddr(const JexString& text, int sep) : JexFieldedString(static_cast<char>(sep)) {
    Parse(text.Text());
}

JexNetAddr::JexNetAddr(const JexNetAddr& other) = default;

JexNetAddr& JexNetAddr::operator=(const JexNetAddr& other) {
    JexFieldedString::operator=(other);
    return *this;
}

JexNetAddr::~JexNetAddr() = default;

const char* JexNetAddr::FieldText(int index) const {
    if (index < 0 || index >= Count()) return "";
    // Within the list, indexing neither grows it nor changes a field.
    return const_cast<JexNetAddr*>(this)->operator[](index).Text();
}

int JexNetAddr::Parse(const char* text) {
    // Keep a copy: the text may be one of this address's own fields.
    const std::string source = text ? text : "";
    const int length = JexFieldedString::Parse(source.c_str());
    if (!IsFiveField(GetType())) return length;

    const char sep = Separator();
    JexFieldedString r(source.c_str(), sep);
    JexFieldedString s(r[1].Text(), '.');
    JexString first("");
    JexString rest = s[0];
    if (s.Count() > 1) {
        first = s[0];
        rest = s[1];
    }
    JexFieldedString p(rest.Text(), ':');
    Clear();
    (*this)[0] = r[0];
    (*this)[1] = first;
    (*this)[2] = p[0];
    (*this)[3] = p.Count() > 1 ? p[1] : JexString("");
    (*this)[4] = r[2];
    return length;
}

JexString& JexNetAddr::Format(JexString& out) const {
    if (!IsFiveField(GetType())) {
        out = Text();
        return out;
    }
    JexFieldedString slots(Separator());
    slots[0] = FieldText(0);
    JexString node("");
    if (*FieldText(1)) {
        node += FieldText(1);
        node += '.';
    }
    node += FieldText(2);
    if (*FieldText(3)) {
        node += ':';
        node += FieldText(3);
    }
    slots[1] = node;
    slots[2] = FieldText(4);
    out = slots.Text();
    return out;
}

int JexNetAddr::GetType() const {
    switch (FieldText(0)[0]) {
        case 'd':
        case 'D': return 'D';
        case 'l':
        case 'L': return 'L';
        case 'm':
        case 'M': return 'M';
        case 'o':
        case 'O': return 'O';
        case 's':
        case 'S': return 'S';
        case 't':
        case 'T': return 'T';
        case 'x':
        case 'X': return 'X';
        default: return '?';
    }
}

int JexNetAddr::SetType(int letter) {
    const char* known = "?DLMOSTWX";
    const bool ok = letter > 0 && letter < 256 && std::strchr(known, letter) != nullptr;
    const char text[2] = {ok ? static_cast<char>(letter) : '?', 0};
    (*this)[0] = text;
    return GetType();
}

int JexNetAddr::GetField(int index, JexString& out) {
    const JexString& field = (*this)[index];
    if (&field != &out) {
        out = field;
        out.SetCaseSensitive(field.CaseSensitive());
    }
    return 0;
}

int JexNetAddr::SetField(int index, const JexString& value) {
    const JexString copy(value);  // value may be a field of this address
    JexString& field = (*this)[index];
    field = copy;
    field.SetCaseSensitive(copy.CaseSensitive());
    return 0;
}

int JexNetAddr::SetService(const JexString& service) {
    return SetField(IsFiveField(GetType()) ? 4 : 2, service);
}

int JexNetAddr::operator==(const JexNetAddr& other) const {
    const int type = GetType();
    if (type != other.GetType()) return 0;
    if (!IsFiveField(type)) return 1;
    return JexStrCaseCmp(FieldText(1), other.FieldText(1)) == 0 ? 1 : 0;
}

int JexNetAddr::SameType(const JexNetAddr& other) const {
    return GetType() == other.GetType() ? 1 : 0;
}

namespace {

struct FoldTable {
    unsigned char fold[256];
    constexpr FoldTable() : fold() {
        for (int i = 0; i < 256; ++i) {
            const bool upper = (i >= 'A' && i <= 'Z') || (i >= 0xC1 && i <= 0xDA);
            fold[i] = static_cast<unsigned char>(upper ? i + 32 : i);
        }
    }
};

constexpr FoldTable kFold;

}  // namespace

unsigned char JexCaseFold(unsigned char c) { return kFold.fold[c]; }

int JexStrNCaseCmp(const char* a, const char* b, int n) {
    auto* x = reinterpret_cast<const unsigned char*>(a ? a : "");
    auto* y = reinterpret_cast<const unsigned char*>(b ? b : "");
    for (; n > 0; --n, ++x, ++y) {
        const int d = kFold.fold[*x] - kFold.fold[*y];
        if (d != 0 || *x == 0) return d;
    }
    return 0;
}

void JexCrc::BuildTable(uint32_t* table, uint32_t polynomial) {
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t v = i;
        for (int bit = 0; bit < 8; ++bit) v = (v & 1) ? (v >> 1) ^ polynomial : v >> 1;
        table[i] = v;
    }
}

namespace {

// CRC-32 (reflected 0xEDB88320) of long runs by folding with carry-less
// multiplication: four 128-bit lanes folded 64 bytes a step, then one lane,
// then a Barrett reduction to 32 bits. The constants are x^k mod P for the
// fold distances, P itself and floor(x^64 / P), all bit-reflected.
constexpr int64_t kMinFoldBytes = 128;

bool CanFoldCrc32() {
    static const bool can = __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
    return can;
}

#define TAVRO_CLMUL __attribute__((target("pclmul,sse4.1")))

TAVRO_CLMUL inline __m128i Load16(const unsigned char* at) {
    return _mm_load_si128(reinterpret_cast<const __m128i*>(at));
}

// One lane moved forward by the distance whose constants k holds.
TAVRO_CLMUL inline __m128i Fold(__m128i x, __m128i k) {
    return _mm_xor_si128(_mm_clmulepi64_si128(x, k, 0x00), _mm_clmulepi64_si128(x, k, 0x11));
}

TAVRO_CLMUL uint32_t FoldCrc32Rest(__m128i x1, const unsigned char* p, int64_t n);

// Fold for callers compiled for wider registers.
TAVRO_CLMUL __m128i FoldLane(__m128i x, __m128i k) { return Fold(x, k); }

// `n` is a multiple of 16, at least 64; `p` is 16-byte aligned.
TAVRO_CLMUL uint32_t FoldCrc32(uint32_t crc, const unsigned char* p, int64_t n) {
    __m128i x1 = _mm_xor_si128(Load16(p), _mm_cvtsi32_si128(static_cast<int>(crc)));
    __m128i x2 = Load16(p + 16);
    __m128i x3 = Load16(p + 32);
    __m128i x4 = Load16(p + 48);
    p += 64;
    n -= 64;
    const __m128i k512 = _mm_set_epi64x(0x1c6e41596, 0x154442bd4);
    for (; n >= 64; n -= 64, p += 64) {
        x1 = _mm_xor_si128(Fold(x1, k512), Load16(p));
        x2 = _mm_xor_si128(Fold(x2, k512), Load16(p + 16));
        x3 = _mm_xor_si128(Fold(x3, k512), Load16(p + 32));
        x4 = _mm_xor_si128(Fold(x4, k512), Load16(p + 48));
    }
    const __m128i k128 = _mm_set_epi64x(0x0ccaa009e, 0x1751997d0);
    x1 = _mm_xor_si128(Fold(x1, k128), x2);
    x1 = _mm_xor_si128(Fold(x1, k128), x3);
    x1 = _mm_xor_si128(Fold(x1, k128), x4);
    return FoldCrc32Rest(x1, p, n);
}

// Folds the n bytes at p (a multiple of 16, aligned) into the lane x1, then
// reduces it to the CRC.
TAVRO_CLMUL uint32_t FoldCrc32Rest(__m128i x1, const unsigned char* p, int64_t n) {
    const __m128i k128 = _mm_set_epi64x(0x0ccaa009e, 0x1751997d0);
    for (; n >= 16; n -= 16, p += 16) x1 = _mm_xor_si128(Fold(x1, k128), Load16(p));

    // 128 to 64 bits, then 64 to 32 (adding the 32 zero bits the CRC appends).
    const __m128i mask32 = _mm_set_epi32(0, 0, 0, -1);
    x1 = _mm_xor_si128(_mm_clmulepi64_si128(k128, x1, 0x01), _mm_srli_si128(x1, 8));
    const __m128i k64 = _mm_set_epi64x(0, 0x163cd6124);
    x1 = _mm_xor_si128(_mm_clmulepi64_si128(_mm_and_si128(x1, mask32), k64, 0x00),
                       _mm_srli_si128(x1, 4));
    // Barrett reduction by P' = 0x1DB710641 with u' = 0x1F7011641.
    const __m128i poly = _mm_set_epi64x(0x1F7011641, 0x1DB710641);
    __m128i t = _mm_clmulepi64_si128(_mm_and_si128(x1, mask32), poly, 0x10);
    t = _mm_clmulepi64_si128(_mm_and_si128(t, mask32), poly, 0x00);
    x1 = _mm_xor_si128(x1, t);
    return static_cast<uint32_t>(_mm_extract_epi32(x1, 1));
}

#undef TAVRO_CLMUL

// The same fold two lanes to a register where the processor multiplies
// 256-bit registers: sixteen 128-bit lanes folded 256 bytes a step while
// the run lasts (enough independent products to keep the multiplier busy),
// then eight lanes 128 bytes a step, then joined lane by lane as above.
constexpr int64_t kMinWideFoldBytes = 256;

bool CanFoldCrc32Wide() {
    static const bool can =
        CanFoldCrc32() && __builtin_cpu_supports("avx2") && __builtin_cpu_supports("vpclmulqdq");
    return can;
}

#define TAVRO_WIDE_CLMUL __attribute__((target("vpclmulqdq,avx2,pclmul,sse4.1")))

TAVRO_WIDE_CLMUL inline __m256i Load32(const unsigned char* at) {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at));
}

TAVRO_WIDE_CLMUL inline __m256i Fold2(__m256i x, __m256i k) {
    return _mm256_xor_si256(_mm256_clmulepi64_epi128(x, k, 0x00),
                            _mm256_clmulepi64_epi128(x, k, 0x11));
}

// `n` is a multiple of 16, at least kMinWideFoldBytes; `p` is 16-byte aligned.
TAVRO_WIDE_CLMUL uint32_t WideFoldCrc32(uint32_t crc, const unsigned char* p, int64_t n) {
    const __m256i k1024 = _mm256_set_epi64x(0x14a7fe880, 0x1e88ef372, 0x14a7fe880, 0x1e88ef372);
    __m256i x[4];
    for (int i = 0; i < 4; ++i) x[i] = Load32(p + 32 * i);
    x[0] = _mm256_xor_si256(x[0], _mm256_zextsi128_si256(_mm_cvtsi32_si128(static_cast<int>(crc))));
    p += 128;
    n -= 128;
    if (n >= 384) {
        const __m256i k2048 = _mm256_set_epi64x(0x1322d1430, 0x11542778a, 0x1322d1430, 0x11542778a);
        __m256i y[4];
        for (int i = 0; i < 4; ++i) y[i] = Load32(p + 32 * i);
        p += 128;
        n -= 128;
        for (; n >= 256; n -= 256, p += 256) {
            for (int i = 0; i < 4; ++i) {
                x[i] = _mm256_xor_si256(Fold2(x[i], k2048), Load32(p + 32 * i));
                y[i] = _mm256_xor_si256(Fold2(y[i], k2048), Load32(p + 128 + 32 * i));
            }
        }
        // The earlier 128 bytes moved onto the later ones.
        for (int i = 0; i < 4; ++i) x[i] = _mm256_xor_si256(Fold2(x[i], k1024), y[i]);
    }
    for (; n >= 128; n -= 128, p += 128)
        for (int i = 0; i < 4; ++i) x[i] = _mm256_xor_si256(Fold2(x[i], k1024), Load32(p + 32 * i));
    // The eight lanes into one, in the order of their bytes; the rest of
    // the run is folded on from there.
    const __m128i k128 = _mm_set_epi64x(0x0ccaa009e, 0x1751997d0);
    __m128i one = _mm256_castsi256_si128(x[0]);
    one = _mm_xor_si128(FoldLane(one, k128), _mm256_extracti128_si256(x[0], 1));
    for (int i = 1; i < 4; ++i) {
        one = _mm_xor_si128(FoldLane(one, k128), _mm256_castsi256_si128(x[i]));
        one = _mm_xor_si128(FoldLane(one, k128), _mm256_extracti128_si256(x[i], 1));
    }
    return FoldCrc32Rest(one, p, n);
}

#undef TAVRO_WIDE_CLMUL

// The same fold four lanes to a register where the processor multiplies
// 512-bit registers: thirty-two lanes folded 512 bytes a step, then one
// register of four lanes 64 bytes a step, then joined as above. Only for
// runs long enough that the wider registers pay for their start.
constexpr int64_t kMinZmmFoldBytes = 1024;

bool CanFoldCrc32Zmm() {
    static const bool can = CanFoldCrc32Wide() && __builtin_cpu_supports("avx512f") &&
                            __builtin_cpu_supports("vpclmulqdq");
    return can;
}

#define TAVRO_ZMM_CLMUL __attribute__((target("vpclmulqdq,avx512f,avx2,pclmul,sse4.1")))

TAVRO_ZMM_CLMUL inline __m512i Load64(const unsigned char* at) { return _mm512_loadu_si512(at); }

TAVRO_ZMM_CLMUL inline __m512i Fold4(__m512i x, __m512i k) {
    return _mm512_xor_si512(_mm512_clmulepi64_epi128(x, k, 0x00),
                            _mm512_clmulepi64_epi128(x, k, 0x11));
}

// `n` is a multiple of 16, at least kMinZmmFoldBytes; `p` is 16-byte aligned.
TAVRO_ZMM_CLMUL uint32_t ZmmFoldCrc32(uint32_t crc, const unsigned char* p, int64_t n) {
    const __m512i k4096 = _mm512_set_epi64(0x1d741f35c, 0x01072db28, 0x1d741f35c, 0x01072db28,
                                           0x1d741f35c, 0x01072db28, 0x1d741f35c, 0x01072db28);
    const __m512i k512 = _mm512_set_epi64(0x1c6e41596, 0x154442bd4, 0x1c6e41596, 0x154442bd4,
                                          0x1c6e41596, 0x154442bd4, 0x1c6e41596, 0x154442bd4);
    __m512i x[8];
    for (int i = 0; i < 8; ++i) x[i] = Load64(p + 64 * i);
    x[0] = _mm512_xor_si512(x[0], _mm512_zextsi128_si512(_mm_cvtsi32_si128(static_cast<int>(crc))));
    p += 512;
    n -= 512;
    for (; n >= 512; n -= 512, p += 512)
        for (int i = 0; i < 8; ++i) x[i] = _mm512_xor_si512(Fold4(x[i], k4096), Load64(p + 64 * i));
    // The eight registers into one, in the order of their bytes, then the
    // whole 64-byte blocks left.
    __m512i one = x[0];
    for (int i = 1; i < 8; ++i) one = _mm512_xor_si512(Fold4(one, k512), x[i]);
    for (; n >= 64; n -= 64, p += 64) one = _mm512_xor_si512(Fold4(one, k512), Load64(p));
    const __m128i k128 = _mm_set_epi64x(0x0ccaa009e, 0x1751997d0);
    alignas(64) __m128i lanes[4];
    _mm512_store_si512(lanes, one);
    __m128i lane = lanes[0];
    for (int i = 1; i < 4; ++i) lane = _mm_xor_si128(FoldLane(lane, k128), lanes[i]);
    return FoldCrc32Rest(lane, p, n);
}

#undef TAVRO_ZMM_CLMUL

}  // namespace

JexCrcTable::JexCrcTable(uint32_t poly) : polynomial(poly) {
    JexCrc::BuildTable(entries, polynomial);
    for (int b = 0; b < 256; ++b) {
        uint32_t v = entries[b];
        for (auto& slice : slices) {
            v = (v >> 8) ^ entries[v & 0xFF];
            slice[b] = v;
        }
    }
}

JexCrc::JexCrc(const JexCrcTable& table, uint32_t start)
    : table_(table.entries),
      slices_(table.slices),
      fold_(table.polynomial == kCrc32Polynomial && CanFoldCrc32()),
      value_(start) {}

uint32_t JexCrc::Update(const void* data, int length) {
    auto* p = static_cast<const unsigned char*>(data);
    uint32_t v = value_;
    if (!p || length <= 0) return v;
    const unsigned char* end = p + length;
    const uint32_t* t = table_;
    auto step = [&](unsigned char byte) { v = (v >> 8) ^ t[(v ^ byte) & 0xFF]; };
    if (fold_ && end - p >= kMinFoldBytes) {
        // Bytes up to a 16-byte boundary one at a time, then whole blocks
        // folded; the rest goes on below.
        while ((reinterpret_cast<uintptr_t>(p) & 15) != 0) step(*p++);
        const int64_t blocks = (end - p) & ~int64_t{15};
        if (blocks >= kMinZmmFoldBytes && CanFoldCrc32Zmm())
            v = ZmmFoldCrc32(v, p, blocks);
        else if (blocks >= kMinWideFoldBytes && CanFoldCrc32Wide())
            v = WideFoldCrc32(v, p, blocks);
        else
            v = FoldCrc32(v, p, blocks);
        p += blocks;
    }
    if (slices_) {
        // Eight bytes a step (slicing-by-8): the running value folds into
        // the first four, and each byte's share comes from its own slice.
        const uint32_t(*s)[256] = slices_;
        while (end - p >= 8) {
            const uint32_t lo = v ^ (uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 |
                                     uint32_t{p[3]} << 24);
            v = s[6][lo & 0xFF] ^ s[5][(lo >> 8) & 0xFF] ^ s[4][(lo >> 16) & 0xFF] ^
                s[3][lo >> 24] ^ s[2][p[4]] ^ s[1][p[5]] ^ s[0][p[6]] ^ t[p[7]];
            p += 8;
        }
    }
    while (p < end) step(*p++);
    value_ = v;
    return v;
}
