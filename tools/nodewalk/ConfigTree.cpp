// The partition configuration tree reader: loading images, node access, dump and summary.
#include "tools/nodewalk/ConfigTree.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cinttypes>
#include <cstring>

namespace {

constexpr char kMagic[4] = {'V', 'R', 'N', 'T'};
constexpr uint64_t kRevisionOffset = 12;
constexpr size_t kReadChunk = 1 << 20;

// Where each revision keeps the fields the reader interprets: offsets in
// a node, in the root record and in a FRU descriptor, and field widths.
struct Layout {
    uint64_t base;
    int linkWidth;
    int wideWidth;  // owner, current owner, config, affinity
    uint64_t owner, currentOwner, id, config, affinity;
    uint64_t parent, next, previous, child, magic, record, fruText, name;
    // Root record.
    uint64_t transient, current, maxPhysical, platformType, platformName;
    uint64_t maxHandle, partitions, communities, maxPartitions, varnetId, rootEnd;
    int rootCountWidth;  // partitions and communities
    // FRU descriptor.
    uint64_t subpacketCount, subpacketOffset, descriptorSize;
};

constexpr Layout kRev5 = {64, 4,  4,   8,   12,  16,  32,  36,  40,  44,  48,  52, 60, 64, 64, 96,
                          72, 80, 128, 144, 152, 164, 180, 184, 188, 200, 192, 4,  8,  12, 16};
constexpr Layout kRev6 = {0,   8,   8,   8,   16,  24,  48,  56,  64,  72,  80,
                          88,  124, 128, 128, 160, 136, 144, 192, 208, 216, 236,
                          260, 268, 276, 288, 280, 8,   16,  20,  24};

const Layout& LayoutOf(int rev) { return rev == 5 ? kRev5 : kRev6; }

constexpr const char* kTypeNames[] = {nullptr,
                                      "ROOT",
                                      "HW_ROOT",
                                      "SW_ROOT",
                                      "TEMPLATE_ROOT",
                                      "COMMUNITY",
                                      "PARTITION",
                                      "SBB",
                                      "PSEUDO",
                                      "CPU",
                                      "MEMORY_SUB",
                                      "MEMORY_DESC",
                                      "MEMORY_CTRL",
                                      "IOP",
                                      "HOSE",
                                      "BUS",
                                      "IO_CTRL",
                                      "SLOT",
                                      "CPU_MODULE",
                                      "POWER_ENVIR",
                                      "FRU_ROOT",
                                      "FRU_DESC",
                                      "SMB",
                                      "CAB",
                                      "CHASSIS",
                                      "EXP_CHASSIS",
                                      "SYS_INTER_SWITCH",
                                      "HARD_PARTITION",
                                      "LAST"};

// "%d" of a value: below 2^32 exactly as the 32-bit conversion shows it,
// above that the whole signed value.
std::string SignedText(uint64_t value) {
    char number[24];
    if (value >> 32 == 0)
        std::snprintf(number, sizeof number, "%d", static_cast<int32_t>(value));
    else
        std::snprintf(number, sizeof number, "%" PRId64, static_cast<int64_t>(value));
    return number;
}

constexpr const char* kFruLabels[] = {"manufacturer", "model", "part num", "serial num",
                                      "firmware rev"};

}  // namespace

BinFile::BinFile(const char* name, int64_t offset) {
    try {
        struct stat info;
        if (stat(name, &info) != 0) throw FstatFailed();
        // Nothing is allocated for an offset outside the file: the read
        // of a negative length cannot deliver.
        if (offset < 0 || offset > info.st_size) throw FreadFailed();
        const auto length = static_cast<uint64_t>(info.st_size - offset);
        // A pipe or device planted under the name could block the open or
        // the read: only a regular file is read.
        const int fd = open(name, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) throw OpenFailed();
        struct stat opened;
        std::FILE* in = nullptr;
        if (fstat(fd, &opened) != 0 || !S_ISREG(opened.st_mode) || !(in = fdopen(fd, "rb"))) {
            close(fd);
            throw FreadFailed();
        }
        if (std::fseek(in, static_cast<long>(offset), SEEK_SET) != 0) {
            std::fclose(in);
            throw FreadFailed();
        }
        while (bytes_.size() < length) {
            const size_t want =
                static_cast<size_t>(std::min<uint64_t>(kReadChunk, length - bytes_.size()));
            const size_t have = bytes_.size();
            bytes_.resize(have + want);
            const size_t got = std::fread(bytes_.data() + have, 1, want, in);
            bytes_.resize(have + got);
            if (got < want) break;
        }
        std::fclose(in);
        if (length == 0 || bytes_.size() != length) throw FreadFailed();
    } catch (const Exception& failure) {
        bytes_ = {};
        throw Exception(failure.Text());
    }
}

void BinFile::Save(const char* name) const {
    int fd = open(name, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
    std::FILE* file = fd >= 0 ? fdopen(fd, "wb") : nullptr;
    if (!file) {
        if (fd >= 0) close(fd);
        throw OpenFailed();
    }
    bool whole = bytes_.empty() || std::fwrite(bytes_.data(), bytes_.size(), 1, file) == 1;
    if (std::fclose(file) != 0) whole = false;
    if (!whole) throw FwriteFailed();
}

ConfigTreeSys::ConfigTreeSys() { throw Exception(UnsupportedOS().Text()); }

ConfigTree::ConfigTree(const std::vector<uint8_t>& image, std::FILE* out)
    : image_(image), out_(out) {}

const char* ConfigTree::TypeName(int code) {
    code &= 0xFF;
    if (code < 1 || code >= static_cast<int>(std::size(kTypeNames))) return "unknown node type";
    return kTypeNames[code];
}

bool ConfigTree::Fits(uint64_t offset, uint64_t length) const {
    return offset <= image_.size() && length <= image_.size() - offset;
}

uint64_t ConfigTree::U(uint64_t offset, int width) const {
    if (!Fits(offset, static_cast<uint64_t>(width))) throw InvalidHandle();
    uint64_t value = 0;
    for (int i = width - 1; i >= 0; --i)
        value = value << 8 | image_[offset + static_cast<uint64_t>(i)];
    return value;
}

int64_t ConfigTree::S(uint64_t offset, int width) const {
    const uint64_t value = U(offset, width);
    if (width == 8) return static_cast<int64_t>(value);
    const uint64_t sign = uint64_t{1} << (width * 8 - 1);
    return static_cast<int64_t>((value ^ sign) - sign);
}

std::string ConfigTree::Text(int64_t offset) const {
    if (offset < 0 || static_cast<uint64_t>(offset) >= image_.size()) return {};
    const auto* begin = reinterpret_cast<const char*>(image_.data()) + offset;
    const size_t room = image_.size() - static_cast<uint64_t>(offset);
    const void* nul = std::memchr(begin, '\0', room);
    return std::string(begin, nul ? static_cast<const char*>(nul) - begin : room);
}

void ConfigTree::SetUpRevision() {
    if (!Fits(kRevisionOffset, 2)) throw InvalidConfigTreeRev();
    const auto rev = static_cast<int>(U(kRevisionOffset, 2));
    if (rev != 5 && rev != 6) throw InvalidConfigTreeRev();
    rev_ = rev;
}

void ConfigTree::SetUpRoot() {
    const Layout& layout = LayoutOf(rev_);
    base_ = layout.base;
    if (!Fits(base_, layout.rootEnd)) throw InvalidHandle();
    maxHandle_ = S(base_ + layout.maxHandle, layout.linkWidth);
}

ConfigTree::Node ConfigTree::Fetch(int64_t handle) const {
    const Layout& layout = LayoutOf(rev_);
    if (handle < 0 || handle > maxHandle_) throw InvalidHandle();
    const uint64_t start = base_ + static_cast<uint64_t>(handle);
    if (!Fits(base_, static_cast<uint64_t>(handle)) || !Fits(start, layout.record))
        throw InvalidHandle();
    if (std::memcmp(image_.data() + start + layout.magic, kMagic, sizeof kMagic) != 0)
        throw InvalidMagic();
    Node node;
    node.handle = handle;
    node.start = start;
    node.type = static_cast<int>(U(start, 1));
    node.subtype = static_cast<int>(U(start + 1, 1));
    node.size = static_cast<unsigned>(U(start + 2, 2));
    node.fruOffset = static_cast<int32_t>(S(start + 4, 4));
    node.owner = U(start + layout.owner, layout.wideWidth);
    node.currentOwner = U(start + layout.currentOwner, layout.wideWidth);
    node.id = U(start + layout.id, 8);
    node.config = U(start + layout.config, layout.wideWidth);
    node.affinity = U(start + layout.affinity, layout.wideWidth);
    node.parent = S(start + layout.parent, layout.linkWidth);
    node.next = S(start + layout.next, layout.linkWidth);
    node.previous = S(start + layout.previous, layout.linkWidth);
    node.child = S(start + layout.child, layout.linkWidth);
    return node;
}

ConfigTree::Node ConfigTree::SiblingOfType(int64_t handle, int type,
                                           std::unordered_set<int64_t>& seen) const {
    while (handle != 0 && seen.insert(handle).second) {
        Node node = Fetch(handle);
        if ((node.type & 0xFF) == type) return node;
        handle = node.next;
    }
    throw SibNodeNotFound();
}

void ConfigTree::PrintRoot() {
    const Layout& layout = LayoutOf(rev_);
    const uint64_t root = base_;
    std::fprintf(out_, "transient level:\t%" PRIu64 "\n", U(root + layout.transient, 8));
    std::fprintf(out_, "current level:\t%" PRIu64 "\n", U(root + layout.current, 8));
    std::fprintf(out_, "max physical addr:\t%" PRIu64 "\n", U(root + layout.maxPhysical, 8));
    std::fprintf(out_, "platform type:\t%" PRIu64 "\n", U(root + layout.platformType, 8));
    const int64_t nameOffset = S(root + layout.platformName, 4);
    const std::string name =
        nameOffset <= 0 ? "unknown" : Text(static_cast<int64_t>(root) + nameOffset);
    std::fprintf(out_, "platform name:\t%s\n", name.c_str());
    std::fprintf(out_, "partitions:\t%" PRIu64 "\n",
                 U(root + layout.partitions, layout.rootCountWidth));
    std::fprintf(out_, "communities:\t%" PRIu64 "\n",
                 U(root + layout.communities, layout.rootCountWidth));
    std::fprintf(out_, "max platform partitions:\t%" PRIu64 "\n",
                 U(root + layout.maxPartitions, 4));
    std::fprintf(out_, "varnet id:\t%s\n",
                 Text(static_cast<int64_t>(root + layout.varnetId)).c_str());
    std::fprintf(out_, "\n");
}

void ConfigTree::PrintNode(const Node& node) {
    // A link is shown in its own width: a revision-5 link of FFFFFFF0 is
    // not sign-extended to 64 bits.
    const int linkBits = LayoutOf(rev_).linkWidth * 8;
    const uint64_t linkMask = linkBits >= 64 ? ~uint64_t{0} : (uint64_t{1} << linkBits) - 1;
    auto link = [linkMask](int64_t value) { return static_cast<uint64_t>(value) & linkMask; };
    std::fprintf(out_, "%s\n", TypeName(node.type));
    std::fprintf(out_, "subtype:\t%d\n", node.subtype);
    std::fprintf(out_, "handle:\t%" PRIX64 "\n", link(node.handle));
    std::fprintf(out_, "size:\t%X\n", node.size);
    std::fprintf(out_, "owner:\t%" PRIX64 "\n", node.owner);
    std::fprintf(out_, "current owner:\t%" PRIX64 "\n", node.currentOwner);
    std::fprintf(out_, "id:\t%" PRIX64 "\n", node.id);
    std::fprintf(out_, "config:\t%" PRIX64 "\n", node.config);
    std::fprintf(out_, "affinity:\t%" PRIX64 "\n", node.affinity);
    std::fprintf(out_, "parent:\t%" PRIX64 "\n", link(node.parent));
    std::fprintf(out_, "next sibling:\t%" PRIX64 "\n", link(node.next));
    std::fprintf(out_, "previous sibling:\t%" PRIX64 "\n", link(node.previous));
    std::fprintf(out_, "child:\t%" PRIX64 "\n", link(node.child));
    std::fprintf(out_, "\n");
    if (node.fruOffset != 0) PrintFruDescriptor(node);
    const int type = node.type & 0xFF;
    if (type == kFruRoot || type == kFruDesc) PrintFruText(node);
    std::fprintf(out_, "\n");
}

void ConfigTree::PrintFruDescriptor(const Node& node) {
    const Layout& layout = LayoutOf(rev_);
    const int64_t at = static_cast<int64_t>(node.start) + node.fruOffset;
    if (at < 0 || !Fits(static_cast<uint64_t>(at), layout.descriptorSize)) throw InvalidHandle();
    const auto descriptor = static_cast<uint64_t>(at);
    std::fprintf(out_, "fru count:\t%d\n", static_cast<int32_t>(U(descriptor, 4)));
    const uint64_t count = U(descriptor + layout.subpacketCount, 4);
    std::fprintf(out_, "subpacket count:\t%d\n", static_cast<int32_t>(count));
    if (count == 0) return;
    const auto offset = static_cast<int32_t>(U(descriptor + layout.subpacketOffset, 4));
    if (offset == 0) {
        std::fprintf(out_, "warning:\tsubpacket offset:\t%d\n", offset);
        return;
    }
    std::fprintf(out_, "subpacket offset:\t%d\n", offset);
    // Each packet must lie in the image; a length of 0 ends the run, so the
    // position moves forward at every step.
    int64_t packet = static_cast<int64_t>(node.start) + offset;
    for (uint64_t i = 0; i < count; ++i) {
        std::fprintf(out_, "\n");
        if (packet < 0 || !Fits(static_cast<uint64_t>(packet), 12)) throw InvalidHandle();
        const auto at16 = static_cast<uint64_t>(packet);
        const auto length = static_cast<unsigned>(U(at16, 2));
        if (length == 0) {
            std::fprintf(out_, "warning:\tpacket len:\t%x\n", length);
            break;
        }
        std::fprintf(out_, "length:\t%d\n", static_cast<int>(length));
        std::fprintf(out_, "class:\t%d\n", static_cast<int>(U(at16 + 2, 2)));
        std::fprintf(out_, "type:\t%d\n", static_cast<int>(U(at16 + 4, 2)));
        std::fprintf(out_, "rev:\t%d\n", static_cast<int>(U(at16 + 6, 2)));
        std::fprintf(out_, "diag flag:\t%d\n", static_cast<int32_t>(U(at16 + 8, 4)));
        packet += length;
    }
    std::fprintf(out_, "\n");
}

void ConfigTree::PrintFruText(const Node& node) {
    uint64_t item = node.start + LayoutOf(rev_).fruText + 8;
    try {
        for (const char* label : kFruLabels) {
            std::fprintf(out_, "%s:\t", label);
            if (!Fits(item, 4)) throw TLV::InvalidTagLength();
            const int64_t tag = S(item, 2);
            const int64_t length = S(item + 2, 2);
            if (length < 0) throw TLV::InvalidTagLength();
            if (tag < 1 || tag > 4) throw TLV::InvalidTagValue();
            const auto span = static_cast<uint64_t>(4 + length);
            if (!Fits(item, span)) throw TLV::InvalidTagLength();
            if (tag == 1) std::fprintf(out_, "%s\n", Text(static_cast<int64_t>(item + 4)).c_str());
            item += (span + 7) & ~uint64_t{7};
        }
        std::fprintf(out_, "\n");
    } catch (const Exception& failure) {
        std::fprintf(out_, "%s\n", failure.Text());
    }
}

void ConfigTree::Dump() {
    SetUpRevision();
    std::fprintf(out_, "tree rev is %d\n", rev_);
    SetUpRoot();
    PrintRoot();
    if (rev_ == 5) {
        if (maxHandle_ < 0) throw InvalidHandle();
        if (std::memcmp(image_.data() + base_ + kRev5.magic, kMagic, sizeof kMagic) != 0)
            throw InvalidMagic();
    }
    const Node root = Fetch(0);
    PrintNode(root);

    // The recursive walk (previous sibling, next sibling, child, then on to
    // the parent) on a stack of its own, so a long chain cannot exhaust the
    // process stack. Each frame is one call; stage says which link it has
    // handed on so far.
    struct Frame {
        int64_t handle;
        int stage;
        Node node;
    };
    std::unordered_set<int64_t> visited;
    std::vector<Frame> stack;
    stack.push_back({root.child, 0, {}});
    while (!stack.empty()) {
        Frame& frame = stack.back();
        int64_t link = 0;
        switch (frame.stage) {
            case 0:
                if (frame.handle == 0 || visited.count(frame.handle)) {
                    stack.pop_back();
                    continue;
                }
                frame.node = Fetch(frame.handle);
                PrintNode(frame.node);
                visited.insert(frame.handle);
                frame.stage = 1;
                link = frame.node.previous;
                break;
            case 1:
                frame.stage = 2;
                link = frame.node.next;
                break;
            case 2:
                frame.stage = 3;
                link = frame.node.child;
                break;
            default:
                frame.handle = frame.node.parent;
                frame.stage = 0;
                continue;
        }
        stack.push_back({link, 0, {}});
    }
}

void ConfigTree::Summary() {
    SetUpRevision();
    SetUpRoot();
    const Node root = Fetch(0);
    std::unordered_set<int64_t> seen;
    const Node software = SiblingOfType(root.child, kSwRoot, seen);

    int64_t handle = software.child;
    if (handle == 0) throw HardPartitionNodeNotFound();
    seen.clear();
    Node hard;
    Node community;
    for (;;) {
        hard = SiblingOfType(handle, kHardPartition, seen);
        community = Fetch(hard.child);
        if ((community.type & 0xFF) == kCommunity) break;
        handle = hard.next;
        if (handle == 0 || seen.count(handle)) throw HardPartitionNodeNotFound();
    }
    std::fprintf(out_, "hard: %s\n", SignedText(hard.id).c_str());

    const uint64_t nameOffset = LayoutOf(rev_).name;
    seen.clear();
    for (int64_t soft = community.child; soft != 0 && seen.insert(soft).second;) {
        const Node partition = Fetch(soft);
        if ((partition.type & 0xFF) != kPartition) throw ExpectedPartitionNode();
        const std::string name = Text(static_cast<int64_t>(partition.start + nameOffset));
        std::fprintf(out_, "soft: %s,%s\n", SignedText(partition.id).c_str(), name.c_str());
        soft = partition.next;
    }
}
