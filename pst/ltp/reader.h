#pragma once
// A reader of the LTP layer for checking ([MS-PST] 2.3): heap-on-node,
// BTree-on-heap, property contexts and table contexts, parsed from the bytes
// with every reference bounds-checked; faults go to the Findings list.
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "pst/ndb/reader.h"

namespace tp::pst::check {

// Property types of [MS-OXCDATA] 2.11.1 that the checker interprets.
enum : std::uint16_t {
    kTypeInt16 = 0x0002,
    kTypeInt32 = 0x0003,
    kTypeFloat = 0x0004,
    kTypeDouble = 0x0005,
    kTypeCurrency = 0x0006,
    kTypeAppTime = 0x0007,
    kTypeError = 0x000A,
    kTypeBoolean = 0x000B,
    kTypeObject = 0x000D,
    kTypeInt64 = 0x0014,
    kTypeString8 = 0x001E,
    kTypeString = 0x001F,
    kTypeTime = 0x0040,
    kTypeGuid = 0x0048,
    kTypeServerId = 0x00FB,
    kTypeRestriction = 0x00FD,
    kTypeRuleAction = 0x00FE,
    kTypeBinary = 0x0102,
    kTypeMulti = 0x1000,
};

// Size of a fixed-size type, 0 for variable-size types, -1 for unknown types.
int fixedSize(std::uint16_t type);

struct Value {
    std::uint16_t type = 0;
    std::uint64_t num = 0;            // fixed-size values up to 8 bytes
    std::vector<std::uint8_t> bytes;  // variable-size values (and GUIDs) when read
    std::uint64_t size = 0;           // size of the value in bytes
    bool complete = true;             // `bytes` holds the whole value
    std::uint32_t subnode = 0;        // the subnode holding the value, if any
    bool nullRef = false;             // a present value whose HNID is 0
};

bool sameValue(const Value& a, const Value& b);
std::string describe(const Value& v);

using PropMap = std::map<std::uint16_t, Value>;  // by property id

struct Column {
    std::uint32_t tag = 0;
    std::uint16_t ibData = 0;
    std::uint8_t cbData = 0, iBit = 0;
};

struct Row {
    std::uint32_t rowId = 0;
    std::map<std::uint32_t, Value> cells;  // by full tag, existing cells only
};

struct Table {
    std::vector<Column> columns;
    std::vector<Row> rows;
    bool hasColumn(std::uint32_t tag) const;
};

// Everything the LTP reader needs to resolve a node's references.
struct NodeScope {
    NdbReader& ndb;
    Findings& out;
    std::string where;
    const SubnodeMap& subnodes;
    std::uint64_t valueReadLimit = 1u << 20;  // larger subnode values are sized, not read
};

class Heap {
  public:
    bool parse(BlockList blocks, const std::string& where, Findings& out);
    std::uint8_t clientSig() const { return clientSig_; }
    std::uint32_t userRoot() const { return userRoot_; }
    // The bytes of heap item `hid`; false when it does not exist.
    bool get(std::uint32_t hid, const std::uint8_t*& data, std::size_t& size) const;

  private:
    BlockList blocks_;
    std::vector<std::vector<std::uint16_t>> allocs_;  // rgibAlloc of each block
    std::uint8_t clientSig_ = 0;
    std::uint32_t userRoot_ = 0;
};

// Reads the leaf records of the BTH at `hid` (each cbKey + cbEnt bytes).
bool readBth(const Heap& heap, std::uint32_t hid, unsigned cbKey, unsigned cbEnt,
             const std::string& where, Findings& out,
             std::vector<std::vector<std::uint8_t>>& records);

std::optional<PropMap> readPropertyContext(NodeScope& scope, std::uint64_t bidData);
std::optional<Table> readTableContext(NodeScope& scope, std::uint64_t bidData);

}  // namespace tp::pst::check
