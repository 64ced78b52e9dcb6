// Compiled syntax tables: the binary .cli reader, the item tree and its dump.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "jexlink/cli/JexFileName.h"
#include "jexlink/cli/JexPCLI.h"

// One node of a syntax table's item tree: a verb, parameter, switch,
// forbidden combination or alias, with what the parser found for it.
class JexPCLIItem : public JexPCLI {
public:
    explicit JexPCLIItem(JexPCLITable* owner);
    ~JexPCLIItem() override;

    // Clears the parse results of this item, its subtree and its following siblings.
    void Reset();
    // Writes this item, its subtree and its following siblings.
    void Dump(FILE* out);
    static const char* CategoryName(int category);

    int32_t category = None;
    JexString name;
    JexString internal_name;
    JexString default_value;
    JexFieldedString options;
    JexString help_text;
    int32_t not_first = 0;
    int32_t not_second = 0;
    int32_t takes_value = 0;
    int32_t negatable = 0;
    int32_t present_default = 0;
    int32_t remaining = 0;
    int32_t one_of = 0;
    int32_t any_two = 0;
    int32_t hidden = 0;
    JexString value;
    int32_t negated = 0;
    int32_t given = 0;
    int32_t oi = 0;
    int32_t level = 0;
    JexPCLIItem* next = nullptr;
    JexPCLIItem* first = nullptr;
    JexPCLIItem* child = nullptr;
    JexPCLIItem* parent = nullptr;
    JexPCLITable* table = nullptr;
    // Position in file order, from 1: the item's identity in the dump.
    uint32_t serial = 0;

private:
    void DumpOne(FILE* out);
};

// A syntax table loaded from a compiled .cli file: a length word, a version
// byte (10 to 13) and item records in pre-order, each with its level. A
// name without a file type gets the type .cli.
//
// Every length, level and link is checked against the bytes of the table:
// a file shorter than its length word, a record that runs past it, a level
// of 0 or above kMaxLevel is BAD_TABLE; an unopenable file or a refused
// name OPEN_FAIL; another version BAD_VERSION. A record more than one level
// deeper than the one before it ends the load, keeping what was read.
class JexPCLITable : public JexPCLI {
public:
    static constexpr int kMinVersion = 10;
    static constexpr int kMaxVersion = 13;
    static constexpr int kMaxLevel = 255;
    static constexpr uint32_t kMaxBytes = 16u << 20;
    static constexpr int kHeaderBytes = 5;

    explicit JexPCLITable(const JexString& name);
    ~JexPCLITable() override;

    void Dump(FILE* out);
    void Reset();
    // The completed file specification, as opened.
    JexString Spec();

    JexPCLIItem* first = nullptr;
    uint32_t length = 0;
    uint32_t consumed = 0;
    int32_t version = 0;
    JexFileName file_name;

private:
    class Reader;
    void Load(Reader& in);
    // Reads one record into the item; false when the record is damaged.
    bool ReadRecord(Reader& in, JexPCLIItem& item);
    void Damaged(const char* where);

    // Every item of the tree, which links them by plain pointers.
    std::vector<std::unique_ptr<JexPCLIItem>> items_;
};
