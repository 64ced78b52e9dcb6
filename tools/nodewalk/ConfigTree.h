// The partition configuration tree reader: image sources, node access, dump and summary.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <unordered_set>
#include <vector>

// Base of every error of the reader; it carries its own copy of a message
// text. The subclasses only fix the text.
class Exception {
public:
    explicit Exception(std::string text = {}) : text_(std::move(text)) {}
    virtual ~Exception() = default;
    Exception(const Exception&) = default;
    Exception& operator=(const Exception&) = default;

    const char* Text() const { return text_.c_str(); }

private:
    std::string text_;
};

#define TAVRO_NODEWALK_ERROR(Name, text) \
    class Name : public Exception {      \
    public:                              \
        Name() : Exception(text) {}      \
    }

TAVRO_NODEWALK_ERROR(InvalidHandle, "invalid handle");
TAVRO_NODEWALK_ERROR(InvalidMagic, "invalid magic");
TAVRO_NODEWALK_ERROR(SibNodeNotFound, "Sib node not found");
TAVRO_NODEWALK_ERROR(HardPartitionNodeNotFound, "Hard partition node not found");
TAVRO_NODEWALK_ERROR(ExpectedPartitionNode, "Expected partition node");

namespace TLV {
TAVRO_NODEWALK_ERROR(InvalidTagValue, "invalid tag value");
TAVRO_NODEWALK_ERROR(InvalidTagLength, "invalid tag length");
}  // namespace TLV

// A tree image in memory: the bytes of a file from a start offset. Memory
// follows the bytes actually read, never the size the file system claims.
class BinFile {
public:
    TAVRO_NODEWALK_ERROR(OpenFailed, "open failed");
    TAVRO_NODEWALK_ERROR(FstatFailed, "fstat failed");
    TAVRO_NODEWALK_ERROR(FreadFailed, "fread failed");
    TAVRO_NODEWALK_ERROR(FwriteFailed, "fwrite failed");

    BinFile() = default;
    // Loads `name` from `offset`; any failure is thrown as a plain
    // Exception with the failure's text. An offset beyond the file's size
    // (or negative) reads nothing: "fread failed".
    BinFile(const char* name, int64_t offset);

    // Writes the image to `name`, which is created with mode 0644 (never
    // through a link planted in its place).
    void Save(const char* name) const;

    const std::vector<uint8_t>& Bytes() const { return bytes_; }

protected:
    std::vector<uint8_t> bytes_;
};

// The tree of the running system. There is none on this platform: the
// construction always fails with "unsupported operating system".
class ConfigTreeSys : public BinFile {
public:
    TAVRO_NODEWALK_ERROR(UnsupportedOS, "unsupported operating system");

    ConfigTreeSys();
};

#undef TAVRO_NODEWALK_ERROR

// Works on one image: checks its revision, reads nodes (every read stays
// inside the image) and writes the full dump or the partition summary to
// `out`. Failures are thrown as Exception subclasses; what was printed
// before stays. Not thread-safe; one object per image.
class ConfigTree {
public:
    class InvalidConfigTreeRev : public Exception {
    public:
        InvalidConfigTreeRev() : Exception("invalid config tree rev") {}
    };

    // Node types of the summary.
    static constexpr int kSwRoot = 3;
    static constexpr int kCommunity = 5;
    static constexpr int kPartition = 6;
    static constexpr int kFruRoot = 20;
    static constexpr int kFruDesc = 21;
    static constexpr int kHardPartition = 27;

    ConfigTree(const std::vector<uint8_t>& image, std::FILE* out);

    // The revision line, the root block and every node reachable from the
    // root, each printed once.
    void Dump();
    // "hard: <id>" and one "soft: <id>,<name>" line per partition of the
    // hard partition in use.
    void Summary();

    // The name of a node type, or "unknown node type".
    static const char* TypeName(int code);

private:
    // The link and descriptive fields of one node, widened to 64 bits.
    struct Node {
        int64_t handle = 0;
        uint64_t start = 0;  // image offset of the record
        int type = 0;
        int subtype = 0;
        unsigned size = 0;
        int32_t fruOffset = 0;
        uint64_t owner = 0, currentOwner = 0, id = 0, config = 0, affinity = 0;
        int64_t parent = 0, next = 0, previous = 0, child = 0;
    };

    // Reads the revision; throws InvalidConfigTreeRev unless it is 5 or 6.
    void SetUpRevision();
    // Reads the root's maximum handle; a root record that does not fit the
    // image is an invalid handle.
    void SetUpRoot();
    Node Fetch(int64_t handle) const;
    // Follows next-sibling links from `handle` to a node of `type`; a link to
    // a node already in `seen` ends the chain as 0 does.
    Node SiblingOfType(int64_t handle, int type, std::unordered_set<int64_t>& seen) const;

    void PrintRoot();
    void PrintNode(const Node& node);
    void PrintFruDescriptor(const Node& node);
    void PrintFruText(const Node& node);

    uint64_t U(uint64_t offset, int width) const;  // throws InvalidHandle when outside
    int64_t S(uint64_t offset, int width) const;
    bool Fits(uint64_t offset, uint64_t length) const;
    std::string Text(int64_t offset) const;  // cut at the first NUL or the image end

    const std::vector<uint8_t>& image_;
    std::FILE* out_;
    int rev_ = 0;
    uint64_t base_ = 0;
    int64_t maxHandle_ = 0;
};
