// Compiled syntax tables: the binary .cli reader, the item tree and its dump.
#include "jexlink/cli/JexPCLITable.h"

#include <cerrno>
#include <cstring>
#include <memory>

#include "jexlink/core/JexTrace.h"

// --- JexPCLIItem ------------------------------------------------------------

JexPCLIItem::JexPCLIItem(JexPCLITable* owner)
    : name("", 1),
      internal_name("", 1),
      default_value("", 1),
      options(','),
      help_text("", 1),
      value("", 1),
      table(owner) {}

JexPCLIItem::~JexPCLIItem() = default;

const char* JexPCLIItem::CategoryName(int category) {
    static const char* const kNames[] = {"None", "Verb", "Param", "Switch", "Forbid", "Alias"};
    return category >= 0 && category <= 5 ? kNames[category] : "-unknown-";
}

void JexPCLIItem::Reset() {
    // Siblings in a loop, children by recursion: the depth is bounded by the level limit.
    for (JexPCLIItem* it = this; it; it = it->next) {
        it->value = "";
        it->negated = 0;
        it->given = 0;
        it->oi = 0;
        if (it->child) it->child->Reset();
    }
}

void JexPCLIItem::DumpOne(FILE* out) {
    std::string pad;
    for (int i = 0; i <= level; ++i) pad += "  ";
    const auto id = [](const JexPCLIItem* item) { return item ? item->serial : 0u; };
    std::fprintf(out, "%sItem: %s [internal:%s]\n", pad.c_str(), name.Text(), internal_name.Text());
    std::fprintf(out, "%s....this:%8.8x next:%8.8x first:%8.8x\n", pad.c_str(), id(this), id(next),
                 id(first));
    std::fprintf(out, "%s....child:%8.8x parent:%8.8x\n", pad.c_str(), id(child), id(parent));
    std::fprintf(out, "%s....cat: %s lev: %d oi: %d flags:", pad.c_str(), CategoryName(category),
                 level, oi);
    const struct {
        int32_t flag;
        const char* label;
    } flags[] = {{not_first, " n1"}, {not_second, " n2"},      {takes_value, " kv"},
                 {negatable, " ng"}, {present_default, " pe"}, {remaining, " re"},
                 {one_of, " 1f"},    {any_two, " a2"},         {hidden, " hi"}};
    for (const auto& f : flags)
        if (f.flag) std::fputs(f.label, out);
    std::fputs("\n", out);
    std::fprintf(out, "%s....Default: %s\n", pad.c_str(), default_value.Text());
    std::fprintf(out, "%s....Options: %s\n", pad.c_str(), options.Text().Text());
}

void JexPCLIItem::Dump(FILE* out) {
    for (JexPCLIItem* it = this; it; it = it->next) {
        it->DumpOne(out);
        if (it->child) it->child->Dump(out);
    }
}

// --- Reading ----------------------------------------------------------------

// The table's bytes in memory, read with bounds checks; every byte taken
// counts into the table's consumed bytes.
class JexPCLITable::Reader {
public:
    Reader(const std::string& bytes, uint32_t& consumed) : bytes_(bytes), consumed_(consumed) {}

    bool AtEnd() const { return pos_ >= bytes_.size(); }
    bool Byte(uint8_t& out) {
        if (pos_ >= bytes_.size()) return false;
        out = static_cast<uint8_t>(bytes_[pos_++]);
        ++consumed_;
        return true;
    }
    bool String(JexString& out) {
        uint8_t n = 0;
        if (!Byte(n)) return false;
        if (bytes_.size() - pos_ < n) return false;
        out = JexString::FromBytes(bytes_.data() + pos_, n);
        out.SetCaseSensitive(1);
        pos_ += n;
        consumed_ += n;
        return true;
    }

private:
    const std::string& bytes_;
    uint32_t& consumed_;
    size_t pos_ = 0;
};

JexPCLITable::JexPCLITable(const JexString& table_name) {
    JexTrace trace(__FILE__, "JexPCLITable()", __LINE__);
    // A refused name is the caller's error, never the end of the process.
    file_name.SetSuppress(1);
    file_name = table_name;
    if (file_name.Code() != 0) {
        ExcSet(OPEN_FAIL, JexExcArgs("file name", table_name.Text()), &file_name);
        Raise();
        return;
    }
    file_name.Default(".cli");
    const JexString spec = file_name.NativeText();
    file_name = spec;

    FILE* in = std::fopen(spec.Text(), "rb");
    if (!in) {
        JexErrno cause(errno, "fopen");
        ExcSet(OPEN_FAIL, JexExcArgs("open file", spec.Text()), &cause);
        Raise();
        return;
    }
    std::unique_ptr<FILE, int (*)(FILE*)> closer(in, std::fclose);

    unsigned char header[kHeaderBytes];
    const size_t got = std::fread(header, 1, sizeof header, in);
    consumed = static_cast<uint32_t>(got);
    // An empty file, or one that ends inside the header, reads its version
    // as 0: an unsupported version.
    if (got < sizeof header) std::memset(header + got, 0, sizeof header - got);
    length = static_cast<uint32_t>(header[0]) | static_cast<uint32_t>(header[1]) << 8 |
             static_cast<uint32_t>(header[2]) << 16 | static_cast<uint32_t>(header[3]) << 24;
    version = got < sizeof header ? 0 : header[4];
    if (version < kMinVersion || version > kMaxVersion) {
        ExcSet(BAD_VERSION, JexExcArgs("version check", spec.Text(), static_cast<int>(version)));
        Raise();
        return;
    }
    if (length <= kHeaderBytes) return;  // no room for an item: an empty table
    if (length > kMaxBytes) {
        Damaged("table length");
        return;
    }
    std::string body(length - kHeaderBytes, '\0');
    if (std::fread(body.data(), 1, body.size(), in) != body.size()) {
        Damaged("get_byte");
        return;
    }
    Reader reader(body, consumed);
    Load(reader);
}

JexPCLITable::~JexPCLITable() = default;

void JexPCLITable::Damaged(const char* where) {
    ExcSet(BAD_TABLE, JexExcArgs(where));
    Raise();
}

bool JexPCLITable::ReadRecord(Reader& in, JexPCLIItem& item) {
    uint8_t category = 0;
    uint8_t level = 0;
    uint8_t flags = 0;
    uint8_t flags2 = 0;
    if (!in.Byte(category) || !in.String(item.name) || !in.String(item.default_value) ||
        !in.String(item.help_text) || !in.String(item.internal_name))
        return false;
    if (version > 10) {
        uint8_t count = 0;
        if (!in.Byte(count)) return false;
        for (int i = 0; i < count; ++i)
            if (!in.String(item.options[i])) return false;
    }
    if (!in.Byte(level) || !in.Byte(flags) || !in.Byte(flags2)) return false;
    item.category = category;
    item.level = level;
    item.not_first = (flags & 0x01) != 0;
    item.not_second = (flags & 0x02) != 0;
    item.takes_value = (flags & 0x04) != 0;
    item.negatable = (flags & 0x08) != 0;
    item.present_default = (flags & 0x10) != 0;
    item.remaining = (flags & 0x20) != 0;
    item.one_of = (flags & 0x40) != 0;
    item.any_two = (flags & 0x80) != 0;
    item.hidden = (flags2 & 0x01) != 0;
    if (item.internal_name.Text()[0] == 0) item.internal_name = item.name;
    if (category == Param || category == Switch || category == Forbid) ++item.level;
    return true;
}

// Builds the tree from the records in file order. The last item read and
// its chain of parents stand for the nested readers of the recursive form:
// a record one level deeper becomes the last item's child, one at the
// level of an item on that chain becomes that item's next sibling.
void JexPCLITable::Load(Reader& in) {
    JexPCLIItem root(this);
    JexPCLIItem* last = &root;
    while (!in.AtEnd()) {
        JexPCLIItem* item = items_.emplace_back(std::make_unique<JexPCLIItem>(this)).get();
        item->serial = static_cast<uint32_t>(items_.size());
        if (!ReadRecord(in, *item)) {
            Damaged("get_string");
            break;
        }
        if (item->level < 1 || item->level > kMaxLevel) {
            Damaged("item level");
            break;
        }
        if (item->level > last->level + 1) break;  // ends the load; what was read stays
        if (item->level == last->level + 1) {
            last->child = item;
            item->first = item;
            item->parent = last;
        } else {
            JexPCLIItem* sibling = last;
            while (sibling->level > item->level) sibling = sibling->parent;
            sibling->next = item;
            item->first = sibling->first;
            item->parent = sibling->parent;
        }
        last = item;
    }
    first = root.child;
    for (JexPCLIItem* top = first; top; top = top->next) top->parent = nullptr;
}

void JexPCLITable::Reset() {
    if (first) first->Reset();
}

JexString JexPCLITable::Spec() { return file_name.NativeText(); }

void JexPCLITable::Dump(FILE* out) {
    std::fprintf(out, "Contents of PCLI Table %s:\n", Spec().Text());
    if (first) first->Dump(out);
    std::fputs("-- End of Table --\n", out);
}
