// Network addresses (JexNetAddr), the counted case-folding compare and the table-driven CRCs.
#include "jexlink/transport/JexNetAddr.h"

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

JexCrcTable::JexCrcTable(uint32_t polynomial) {
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
    : table_(table.entries), slices_(table.slices), value_(start) {}

uint32_t JexCrc::Update(const void* data, int length) {
    auto* p = static_cast<const unsigned char*>(data);
    uint32_t v = value_;
    if (!p || length <= 0) return v;
    const unsigned char* end = p + length;
    const uint32_t* t = table_;
    auto step = [&](unsigned char byte) { v = (v >> 8) ^ t[(v ^ byte) & 0xFF]; };
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
