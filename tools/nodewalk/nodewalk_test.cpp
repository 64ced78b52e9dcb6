// Tests of nodewalk as a process: dumps and summaries of built images, errors and usage.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <climits>
#include <cstdint>
#include <string>
#include <vector>

#include "testing/support/ChildProcesses.h"
#include "testing/support/TempDir.h"

namespace {

using tavro::testing::ChildResult;
using tavro::testing::RunChild;
using tavro::testing::TempDir;
using tavro::testing::WriteFile;

constexpr char kUsage[] = "usage:nodewalk [{-f <file name> {-o <offset>}} {-i} | -s <file name>]\n";

// Node types of the images.
enum : int {
    kRoot = 1,
    kHwRoot = 2,
    kSwRoot = 3,
    kCommunity = 5,
    kPartition = 6,
    kCpu = 9,
    kFruRoot = 20,
    kFruDesc = 21,
    kHardPartition = 27,
};

// Builds tree images of either revision: a root record and nodes appended
// one after the other, addressed by handle. Fields are written by their
// offsets in the record, so each test writes exactly what its case needs.
class ImageBuilder {
public:
    struct Offsets {
        uint64_t base, linkWidth, wide, owner, currentOwner, id, config, affinity;
        uint64_t parent, next, previous, child, magic, fruText, name;
        uint64_t transient, current, maxPhysical, platformType, platformName, maxHandle;
        uint64_t partitions, communities, maxPartitions, varnetId, rootSize, nodeSize;
        uint64_t subpacketCount, subpacketOffset;
    };
    static constexpr Offsets kRev5 = {64,  4,   4,   8,   12,  16,  32,  36,  40,  44,
                                      48,  52,  60,  64,  96,  72,  80,  128, 144, 152,
                                      164, 180, 184, 188, 200, 256, 128, 8,   12};
    static constexpr Offsets kRev6 = {0,   8,   8,   8,   16,  24,  48,  56,  64,  72,
                                      80,  88,  124, 128, 160, 136, 144, 192, 208, 216,
                                      236, 260, 268, 276, 288, 320, 192, 16,  20};

    explicit ImageBuilder(int rev) : rev_(rev), o_(rev == 5 ? kRev5 : kRev6) {
        bytes_.assign(o_.base + o_.rootSize, 0);
        Put(12, 2, static_cast<uint64_t>(rev));
        Magic(0);
        Put(o_.base, 1, kRoot);
    }

    const Offsets& O() const { return o_; }

    // Appends a node of `type` with room for `extra` more bytes; its handle.
    int64_t Add(int type, uint64_t extra = 0) {
        const auto handle = static_cast<int64_t>(bytes_.size() - o_.base);
        bytes_.resize(bytes_.size() + o_.nodeSize + extra, 0);
        Magic(handle);
        Node(handle, 0, 1, static_cast<uint64_t>(type));
        last_ = handle;
        return handle;
    }

    // Writes `width` bytes of `value` at `offset` of node `handle`.
    void Node(int64_t handle, uint64_t offset, uint64_t width, uint64_t value) {
        Put(o_.base + static_cast<uint64_t>(handle) + offset, width, value);
    }
    void Link(int64_t handle, uint64_t field, int64_t target) {
        Node(handle, field, o_.linkWidth, static_cast<uint64_t>(target));
    }
    void Text(int64_t handle, uint64_t offset, const std::string& text) {
        const uint64_t at = o_.base + static_cast<uint64_t>(handle) + offset;
        for (size_t i = 0; i <= text.size(); ++i) bytes_.at(at + i) = i < text.size() ? text[i] : 0;
    }
    // Makes `child` the first child of `parent`.
    void Child(int64_t parent, int64_t child) {
        Link(parent, o_.child, child);
        Link(child, o_.parent, parent);
    }
    // Makes `second` the next sibling of `first`.
    void Sibling(int64_t first, int64_t second) {
        Link(first, o_.next, second);
        Link(second, o_.previous, first);
    }
    void Magic(int64_t handle) { Text(handle, o_.magic, "VRNT"); }
    void Put(uint64_t offset, uint64_t width, uint64_t value) {
        for (uint64_t i = 0; i < width; ++i)
            bytes_.at(offset + i) = static_cast<uint8_t>(value >> (8 * i));
    }

    // The image, with the root's maximum handle at the last node unless the
    // test set one.
    std::string Bytes(bool setMaxHandle = true) {
        if (setMaxHandle) Node(0, o_.maxHandle, o_.linkWidth, static_cast<uint64_t>(last_));
        return std::string(bytes_.begin(), bytes_.end());
    }

private:
    int rev_;
    Offsets o_;
    std::vector<uint8_t> bytes_;
    int64_t last_ = 0;
};

// The root block of an image whose root fields are all 0.
std::string EmptyRoot(int rev) {
    return "tree rev is " + std::to_string(rev) +
           "\ntransient level:\t0\ncurrent level:\t0\nmax physical addr:\t0\nplatform "
           "type:\t0\nplatform name:\tunknown\npartitions:\t0\ncommunities:\t0\nmax platform "
           "partitions:\t0\nvarnet id:\t\n\n";
}

// A node block without FRU data, all other fields 0 but the links given.
std::string Block(const char* type, const char* handle, const char* parent = "0",
                  const char* next = "0", const char* previous = "0", const char* child = "0") {
    return std::string(type) + "\nsubtype:\t0\nhandle:\t" + handle +
           "\nsize:\t0\nowner:\t0\ncurrent owner:\t0\nid:\t0\nconfig:\t0\naffinity:\t0\nparent:\t" +
           parent + "\nnext sibling:\t" + next + "\nprevious sibling:\t" + previous + "\nchild:\t" +
           child + "\n\n\n";
}

// The root's node block; in revision 6 the revision lies in its owner field.
std::string RootBlock(int rev, const char* child = "0") {
    std::string block = Block("ROOT", "0", "0", "0", "0", child);
    if (rev == 6) block.replace(block.find("owner:\t0"), 8, "owner:\t600000000");
    return block;
}

class NodewalkTest : public testing::Test {
protected:
    std::string Write(const std::string& bytes, const char* name = "tree.img") {
        const std::string path = (dir_.Path() / name).string();
        WriteFile(path, bytes);
        return path;
    }
    static ChildResult Run(std::vector<std::string> args) {
        args.insert(args.begin(), NODEWALK);
        return RunChild(args, {}, 60000);
    }
    static void Expect(const std::vector<std::string>& args, const std::string& output,
                       int status) {
        const ChildResult result = Run(args);
        EXPECT_EQ(result.output, output) << testing::PrintToString(args);
        EXPECT_EQ(result.exitStatus, status) << testing::PrintToString(args);
    }

    TempDir dir_{"nodewalk"};
};

TEST_F(NodewalkTest, Rev5DumpMatchesGoldenText) {
    ImageBuilder image(5);
    const auto& o = image.O();
    image.Put(64 + o.transient, 8, 7);
    image.Put(64 + o.current, 8, 8);
    image.Put(64 + o.maxPhysical, 8, 4096);
    image.Put(64 + o.platformType, 8, 3);
    image.Put(64 + o.platformName, 4, 220);
    image.Text(0, 220, "Kestrel 8");
    image.Put(64 + o.partitions, 4, 2);
    image.Put(64 + o.communities, 4, 1);
    image.Put(64 + o.maxPartitions, 4, 16);
    image.Text(0, o.varnetId, "VN-17");
    const int64_t hw = image.Add(kHwRoot);
    const int64_t cpu = image.Add(kCpu);
    const int64_t other = image.Add(77);
    image.Child(0, hw);
    image.Child(hw, cpu);
    image.Sibling(hw, other);
    image.Link(other, o.parent, 0);
    image.Node(cpu, 1, 1, 2);
    image.Node(cpu, 2, 2, 0x40);
    image.Node(cpu, o.owner, 4, 0x1F);
    image.Node(cpu, o.currentOwner, 4, 0x2A);
    image.Node(cpu, o.id, 8, 0xBEEF);
    image.Node(cpu, o.config, 4, 0xC0);
    image.Node(cpu, o.affinity, 4, 0xF);
    const std::string file = Write(image.Bytes());
    const std::string golden =
        "tree rev is 5\n"
        "transient level:\t7\ncurrent level:\t8\nmax physical addr:\t4096\n"
        "platform type:\t3\nplatform name:\tKestrel 8\npartitions:\t2\ncommunities:\t1\n"
        "max platform partitions:\t16\nvarnet id:\tVN-17\n\n"
        "ROOT\nsubtype:\t0\nhandle:\t0\nsize:\t0\nowner:\t0\ncurrent owner:\t0\nid:\t0\n"
        "config:\t0\naffinity:\t0\nparent:\t0\nnext sibling:\t0\nprevious sibling:\t0\n"
        "child:\t100\n\n\n"
        "HW_ROOT\nsubtype:\t0\nhandle:\t100\nsize:\t0\nowner:\t0\ncurrent owner:\t0\nid:\t0\n"
        "config:\t0\naffinity:\t0\nparent:\t0\nnext sibling:\t200\nprevious sibling:\t0\n"
        "child:\t180\n\n\n"
        "unknown node type\nsubtype:\t0\nhandle:\t200\nsize:\t0\nowner:\t0\n"
        "current owner:\t0\nid:\t0\nconfig:\t0\naffinity:\t0\nparent:\t0\nnext sibling:\t0\n"
        "previous sibling:\t100\nchild:\t0\n\n\n"
        "CPU\nsubtype:\t2\nhandle:\t180\nsize:\t40\nowner:\t1F\ncurrent owner:\t2A\n"
        "id:\tBEEF\nconfig:\tC0\naffinity:\tF\nparent:\t100\nnext sibling:\t0\n"
        "previous sibling:\t0\nchild:\t0\n\n\n";
    Expect({"-f", file}, golden, 0);
    Expect({"-f" + file}, golden, 0);  // glued form
}

// A FRU node of each revision: descriptor with its packets and the text
// listing.
TEST_F(NodewalkTest, FruNodesMatchGoldenText) {
    for (int rev : {5, 6}) {
        ImageBuilder image(rev);
        const auto& o = image.O();
        const int64_t fru = image.Add(kFruDesc, 256);
        image.Child(0, fru);
        // Descriptor at +200: one FRU, three packets, the third of length 0.
        image.Node(fru, 4, 4, 200);
        image.Node(fru, 200, 4, 1);
        image.Node(fru, 200 + o.subpacketCount, 4, 3);
        image.Node(fru, 200 + o.subpacketOffset, 4, 240);
        for (uint64_t at : {240u, 256u}) {
            image.Node(fru, at, 2, 16);
            image.Node(fru, at + 2, 2, 5);
            image.Node(fru, at + 4, 2, 6);
            image.Node(fru, at + 6, 2, 7);
            image.Node(fru, at + 8, 4, 0xFFFFFFFF);
        }
        // Text items: a text, tag 3 with length 5 (next item 16 bytes on),
        // tag 2, a text, tag 4.
        uint64_t item = o.fruText + 8;
        auto put = [&](int tag, int length, const std::string& text, uint64_t advance) {
            image.Node(fru, item, 2, static_cast<uint64_t>(tag));
            image.Node(fru, item + 2, 2, static_cast<uint64_t>(length));
            if (!text.empty()) image.Text(fru, item + 4, text);
            item += advance;
        };
        put(1, 4, "ACM", 8);
        put(3, 5, "", 16);
        put(2, 0, "", 8);
        put(1, 3, "S9", 8);
        put(4, 0, "", 8);
        const std::string handle = rev == 5 ? "100" : "140";
        const std::string expected =
            EmptyRoot(rev) + RootBlock(rev, handle.c_str()) + "FRU_DESC\nsubtype:\t0\nhandle:\t" +
            handle +
            "\nsize:\t0\nowner:\t0\n"
            "current owner:\t0\nid:\t0\nconfig:\t0\naffinity:\t0\nparent:\t0\nnext sibling:\t0\n"
            "previous sibling:\t0\nchild:\t0\n\n"
            "fru count:\t1\nsubpacket count:\t3\nsubpacket offset:\t240\n"
            "\nlength:\t16\nclass:\t5\ntype:\t6\nrev:\t7\ndiag flag:\t-1\n"
            "\nlength:\t16\nclass:\t5\ntype:\t6\nrev:\t7\ndiag flag:\t-1\n"
            "\nwarning:\tpacket len:\t0\n\n"
            "manufacturer:\tACM\nmodel:\tpart num:\tserial num:\tS9\nfirmware rev:\t\n\n";
        SCOPED_TRACE(rev);
        Expect({"-f", Write(image.Bytes())}, expected, 0);
    }
}

TEST_F(NodewalkTest, FruDescriptorWithoutSubpacketOffsetWarns) {
    ImageBuilder image(6);
    const int64_t fru = image.Add(kCpu, 64);
    image.Child(0, fru);
    image.Node(fru, 4, 4, 192);
    image.Node(fru, 192 + image.O().subpacketCount, 4, 2);
    const std::string out = Run({"-f", Write(image.Bytes())}).output;
    EXPECT_NE(out.find("child:\t0\n\nfru count:\t0\nsubpacket count:\t2\n"
                       "warning:\tsubpacket offset:\t0\n\n"),
              std::string::npos)
        << out;
}

TEST_F(NodewalkTest, InvalidFruTagEndsTheListingButNotTheDump) {
    ImageBuilder image(5);
    const int64_t fru = image.Add(kFruRoot);
    const int64_t cpu = image.Add(kCpu);
    image.Child(0, fru);
    image.Sibling(fru, cpu);
    const uint64_t item = image.O().fruText + 8;
    image.Node(fru, item, 2, 1);
    image.Node(fru, item + 2, 2, 2);
    image.Text(fru, item + 4, "A");
    image.Node(fru, item + 8, 2, 9);
    const ChildResult result = Run({"-f", Write(image.Bytes())});
    EXPECT_NE(result.output.find("manufacturer:\tA\nmodel:\tinvalid tag value\n\nCPU\n"),
              std::string::npos)
        << result.output;
    EXPECT_EQ(result.exitStatus, 0);

    image.Node(fru, item + 8, 2, 1);
    image.Node(fru, item + 10, 2, 0x8000);  // negative length
    EXPECT_NE(Run({"-f", Write(image.Bytes())}).output.find("model:\tinvalid tag length\n\nCPU"),
              std::string::npos);
}

TEST_F(NodewalkTest, MutualSiblingsArePrintedOnce) {
    ImageBuilder image(6);
    const int64_t a = image.Add(kCpu);
    const int64_t b = image.Add(kCpu);
    image.Child(0, a);
    image.Sibling(a, b);
    image.Sibling(b, a);
    image.Link(a, image.O().parent, 0);
    Expect({"-f", Write(image.Bytes())},
           EmptyRoot(6) + RootBlock(6, "140") + Block("CPU", "140", "0", "200", "200") +
               Block("CPU", "200", "0", "140", "140"),
           0);
}

TEST_F(NodewalkTest, WalkVisitsPreviousThenNextThenChildThenParent) {
    // The root's child is the middle of three siblings; the last one has a
    // child whose parent link leads back to an unvisited node.
    ImageBuilder image(5);
    const int64_t first = image.Add(kCpu);     // 100
    const int64_t middle = image.Add(kCpu);    // 180
    const int64_t last = image.Add(kCpu);      // 200
    const int64_t leaf = image.Add(kCpu);      // 280
    const int64_t stray = image.Add(kHwRoot);  // 300, reached only as leaf's parent
    image.Link(0, image.O().child, middle);
    image.Sibling(first, middle);
    image.Sibling(middle, last);
    image.Link(last, image.O().child, leaf);
    image.Link(leaf, image.O().parent, stray);
    Expect({"-f", Write(image.Bytes())},
           EmptyRoot(5) + RootBlock(5, "180") + Block("CPU", "180", "0", "200", "100") +
               Block("CPU", "100", "0", "180") + Block("CPU", "200", "0", "0", "180", "280") +
               Block("CPU", "280", "300") + Block("HW_ROOT", "300"),
           0);
}

TEST_F(NodewalkTest, LongSiblingChainIsWalkedWhole) {
    constexpr int kNodes = 100000;
    ImageBuilder image(5);
    int64_t previous = 0;
    for (int i = 0; i < kNodes; ++i) {
        const int64_t node = image.Add(kCpu);
        if (previous)
            image.Sibling(previous, node);
        else
            image.Child(0, node);
        previous = node;
    }
    const ChildResult result = Run({"-f", Write(image.Bytes())});
    ASSERT_EQ(result.exitStatus, 0);
    size_t blocks = 0;
    for (size_t at = result.output.find("\nCPU\n"); at != std::string::npos;
         at = result.output.find("\nCPU\n", at + 1))
        ++blocks;
    EXPECT_EQ(blocks, static_cast<size_t>(kNodes));
}

TEST_F(NodewalkTest, ValuesAbove32BitsArePrintedWhole) {
    ImageBuilder image(6);
    const int64_t cpu = image.Add(kCpu);
    image.Child(0, cpu);
    image.Node(cpu, image.O().id, 8, 0x123456789ABCull);
    image.Put(image.O().transient, 8, 0x100000001ull);
    const std::string out = Run({"-f", Write(image.Bytes())}).output;
    EXPECT_NE(out.find("transient level:\t4294967297\n"), std::string::npos) << out;
    EXPECT_NE(out.find("id:\t123456789ABC\n"), std::string::npos) << out;
}

// A tree for the summary: SW_ROOT among the root's children, hard
// partitions below it, a community with partitions in the one in use.
struct SummaryTree {
    explicit SummaryTree(int rev) : image(rev) {
        const auto& o = image.O();
        const int64_t hw = image.Add(kHwRoot);
        software = image.Add(kSwRoot);
        image.Child(0, hw);
        image.Sibling(hw, software);
        unused = image.Add(kHardPartition);
        const int64_t cpu = image.Add(kCpu);
        inUse = image.Add(kHardPartition);
        community = image.Add(kCommunity);
        const int64_t p1 = image.Add(kPartition);
        const int64_t p2 = image.Add(kPartition);
        image.Child(software, unused);
        image.Child(unused, cpu);
        image.Sibling(unused, inUse);
        image.Child(inUse, community);
        image.Child(community, p1);
        image.Sibling(p1, p2);
        image.Node(inUse, o.id, 8, 4);
        image.Node(p1, o.id, 8, 1);
        image.Text(p1, o.name, "alpha");
        image.Node(p2, o.id, 8, 0xFFFFFFFF);
        image.Text(p2, o.name, "beta");
    }
    ImageBuilder image;
    int64_t software, unused, inUse, community;
};

TEST_F(NodewalkTest, SummaryPrintsTheHardPartitionInUse) {
    for (int rev : {5, 6}) {
        SummaryTree tree(rev);
        const std::string file = Write(tree.image.Bytes());
        Expect({"-f", file, "-i"}, "hard: 4\nsoft: 1,alpha\nsoft: -1,beta\n", 0);
        Expect({"-f" + file, "-o0", "-i"}, "hard: 4\nsoft: 1,alpha\nsoft: -1,beta\n", 0);
    }
}

TEST_F(NodewalkTest, SummaryErrors) {
    struct Case {
        const char* name;
        void (*change)(SummaryTree&);
        const char* output;
    } cases[] = {
        {"no community anywhere", [](SummaryTree& t) { t.image.Node(t.community, 0, 1, kCpu); },
         "Hard partition node not found\n"},
        {"no software root", [](SummaryTree& t) { t.image.Node(t.software, 0, 1, kCpu); },
         "Sib node not found\n"},
        {"empty software root",
         [](SummaryTree& t) { t.image.Link(t.software, t.image.O().child, 0); },
         "Hard partition node not found\n"},
        {"no hard partition",
         [](SummaryTree& t) {
             t.image.Node(t.unused, 0, 1, kCpu);
             t.image.Node(t.inUse, 0, 1, kCpu);
         },
         "Sib node not found\n"},
        {"hard partitions in a ring",
         [](SummaryTree& t) {
             t.image.Node(t.community, 0, 1, kCpu);
             t.image.Link(t.inUse, t.image.O().next, t.unused);
         },
         "Hard partition node not found\n"},
        {"a member that is no partition",
         [](SummaryTree& t) {
             t.image.Node(t.community + 2 * static_cast<int64_t>(t.image.O().nodeSize), 0, 1, kCpu);
         },
         "hard: 4\nsoft: 1,alpha\nExpected partition node\n"},
    };
    for (const Case& c : cases) {
        SummaryTree tree(5);
        c.change(tree);
        const ChildResult result = Run({"-f", Write(tree.image.Bytes()), "-i"});
        EXPECT_EQ(result.output, c.output) << c.name;
        EXPECT_EQ(result.exitStatus, 1) << c.name;
    }
}

TEST_F(NodewalkTest, ImageErrors) {
    ImageBuilder good(6);
    const std::string goodBytes = good.Bytes();
    auto rev = [](int value) {
        ImageBuilder image(5);
        image.Put(12, 2, static_cast<uint64_t>(value));
        return image.Bytes();
    };
    ImageBuilder badLink(6);
    const int64_t node = badLink.Add(kCpu);
    badLink.Child(0, node);
    badLink.Link(node, badLink.O().next, static_cast<int64_t>(0x100000000ll + 64));
    ImageBuilder past(5);
    const int64_t beyond = past.Add(kCpu);
    past.Child(0, beyond);
    past.Node(0, past.O().maxHandle, 4, 0x7FFFFFFF);
    past.Link(beyond, past.O().next, 0x7FFFFF00);
    // A revision-5 link is 32 bits wide: one with its top bit set is printed
    // in its own 32 bits (and, as a negative handle, is invalid).
    ImageBuilder negativeLink(5);
    const int64_t linked = negativeLink.Add(kCpu);
    negativeLink.Child(0, linked);
    negativeLink.Link(linked, negativeLink.O().next, -16);
    negativeLink.Link(linked, negativeLink.O().previous, static_cast<int64_t>(INT32_MIN));
    ImageBuilder noMagic(5);
    noMagic.Text(0, noMagic.O().magic, "VRNX");
    ImageBuilder negativeMax(5);
    negativeMax.Node(0, negativeMax.O().maxHandle, 4, 0xFFFFFFFF);
    ImageBuilder packetOutside(5);
    const int64_t fru = packetOutside.Add(kCpu);
    packetOutside.Child(0, fru);
    packetOutside.Node(fru, 4, 4, 64);
    packetOutside.Node(fru, 64 + 8, 4, 1);
    packetOutside.Node(fru, 64 + 12, 4, 0x7FFFFF00);

    const std::string head5 = EmptyRoot(5);
    const std::string root6 = EmptyRoot(6) + RootBlock(6, "140");
    struct Case {
        const char* name;
        std::string bytes;
        bool setMax;
        std::string output;
    } cases[] = {
        {"revision 7", rev(7), false, "invalid config tree rev\n"},
        {"revision 4", rev(4), false, "invalid config tree rev\n"},
        {"too short for a revision", "0123456789", false, "invalid config tree rev\n"},
        {"root cut off", goodBytes.substr(0, 200), false, "tree rev is 6\ninvalid handle\n"},
        {"high link bits", badLink.Bytes(), false,
         root6 + Block("CPU", "140", "0", "100000040") + "invalid handle\n"},
        {"link outside the image", past.Bytes(false), false,
         head5 + RootBlock(5, "100") + Block("CPU", "100", "0", "7FFFFF00") + "invalid handle\n"},
        {"negative revision-5 links", negativeLink.Bytes(), false,
         head5 + RootBlock(5, "100") + Block("CPU", "100", "0", "FFFFFFF0", "80000000") +
             "invalid handle\n"},
        {"root without magic", noMagic.Bytes(), false, head5 + "invalid magic\n"},
        {"negative maximum handle", negativeMax.Bytes(false), false, head5 + "invalid handle\n"},
    };
    for (const Case& c : cases) {
        const ChildResult result = Run({"-f", Write(c.bytes)});
        EXPECT_EQ(result.output, c.output) << c.name;
        EXPECT_EQ(result.exitStatus, 1) << c.name;
    }
    const ChildResult outside = Run({"-f", Write(packetOutside.Bytes())});
    EXPECT_TRUE(outside.output.ends_with("subpacket offset:\t2147483392\n\ninvalid handle\n"))
        << outside.output;
    EXPECT_EQ(outside.exitStatus, 1);
}

TEST_F(NodewalkTest, OffsetSelectsTheImageInsideTheFile) {
    ImageBuilder image(6);
    const std::string bytes = image.Bytes();
    const std::string file = Write("junk" + bytes);
    const std::string expected = EmptyRoot(6) + RootBlock(6);
    Expect({"-f", file, "-o", "4"}, expected, 0);
    Expect({"-f" + file, "-o4"}, expected, 0);
    const std::string size = std::to_string(bytes.size() + 4);
    Expect({"-f", file, "-o", size}, "fread failed\n", 1);
    Expect({"-f", file, "-o", std::to_string(bytes.size() + 5)}, "fread failed\n", 1);
    Expect({"-f", file, "-o-3"}, "fread failed\n", 1);
    Expect({"-f", (dir_.Path() / "missing").string()}, "fstat failed\n", 1);
    // A pipe planted under the name is not read (nor waited on).
    const std::string pipe = (dir_.Path() / "pipe").string();
    ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);
    Expect({"-f", pipe}, "fread failed\n", 1);
    Expect({"-f", dir_.Path().string()}, "fread failed\n", 1);
}

TEST_F(NodewalkTest, CommandLines) {
    const std::string file = Write(ImageBuilder(5).Bytes());
    struct Case {
        std::vector<std::string> args;
        std::string output;
        int status;
    } cases[] = {
        {{}, "unsupported operating system\n", 1},
        {{"-i"}, "unsupported operating system\n", 1},
        {{"-s", "saved.img"}, "unsupported operating system\n", 1},
        {{"-ssaved.img"}, "unsupported operating system\n", 1},
        {{"-f"}, kUsage, 0},
        {{"-x"}, kUsage, 0},
        {{"word"}, kUsage, 0},
        {{"-i", "-f", file}, kUsage, 0},
        {{"-f", file, "-o"}, kUsage, 0},
        {{"-f", file, "-i", "-i"}, kUsage, 0},
        {{"-f", file, "-ix"}, kUsage, 0},
        {{"-f", file, "extra"}, kUsage, 0},
        {{"-"}, kUsage, 0},
        {{""}, kUsage, 0},
        {{"-s"}, kUsage, 0},
        {{"-o4"}, kUsage, 0},
    };
    for (const Case& c : cases) Expect(c.args, c.output, c.status);
}

}  // namespace
