#pragma once
// A reader of the node database of a Unicode store ([MS-PST] 2.2), written for
// checking: it trusts nothing it reads. Every offset is bounds-checked, every
// walk is bounded, and faults go to a Findings list instead of stopping the read.
// It shares the checker's namespace (its findings, its value types).
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "io/file.h"
#include "pst/ndb/findings.h"

namespace tp::pst::check {

// Read-only access to the file by offset.
class FileSource {
  public:
    FileSource() = default;
    ~FileSource();
    FileSource(const FileSource&) = delete;
    FileSource& operator=(const FileSource&) = delete;

    bool open(const std::filesystem::path& path, std::string& error);
    std::uint64_t size() const { return size_; }
    // False when [offset, offset + n) is not wholly inside the file or the read fails.
    bool read(std::uint64_t offset, void* out, std::size_t n) const;

  private:
    io::File file_;
    std::uint64_t size_ = 0;
};

struct Header {
    std::uint16_t version = 0, clientVersion = 0;
    std::uint32_t crcPartial = 0, crcFull = 0;
    std::uint64_t bidNextP = 0, bidNextB = 0;
    std::uint32_t unique = 0;
    std::uint32_t rgnid[32] = {};
    std::uint64_t fileEof = 0, amapLast = 0, amapFree = 0, pmapFree = 0;
    std::uint64_t nbtBid = 0, nbtIb = 0, bbtBid = 0, bbtIb = 0;
    std::uint8_t amapValid = 0, sentinel = 0, crypt = 0;
    std::uint8_t rgbFM[128] = {}, rgbFP[128] = {};
};

// One leaf entry of the block B-tree, with what the checker learns about it.
struct BlockEntry {
    std::uint64_t bid = 0;  // with the reserved bit cleared
    std::uint64_t ib = 0;
    std::uint16_t cb = 0;
    std::uint16_t cRef = 0;
    std::uint32_t refs = 0;   // references found in the NBT, subnode and data trees
    bool sound = false;       // trailer, signature and CRC verified
    std::uint8_t btype = 0;   // internal blocks: 1 data tree, 2 subnode tree
    std::uint8_t level = 0;   // internal blocks: cLevel
    std::uint32_t total = 0;  // XBLOCK/XXBLOCK lcbTotal
};

struct NodeEntry {
    std::uint32_t nid = 0;
    std::uint64_t bidData = 0, bidSub = 0;
    std::uint32_t nidParent = 0;
};

// A subnode's entry in its node's subnode tree.
struct SubnodeEntry {
    std::uint64_t bidData = 0, bidSub = 0;
};
using SubnodeMap = std::map<std::uint32_t, SubnodeEntry>;

// The data of a node, block by block, decoded; for heap parsing.
using BlockList = std::vector<std::vector<std::uint8_t>>;

class NdbReader {
  public:
    NdbReader(const FileSource& file, Findings& findings) : file_(file), out_(findings) {}

    // Reads and checks the header; false when the file is not a Unicode store
    // this reader can interpret (the reason goes to `fatal`).
    bool readHeader(std::string& fatal);
    // Walks both B-trees, then reads and verifies every block once.
    void readTrees();
    void verifyBlocks();
    // Counts every reference held by the NBT and internal blocks, checks cRef.
    void checkReferences();

    const Header& header() const { return h_; }
    const std::vector<BlockEntry>& blocks() const { return blocks_; }
    const std::vector<NodeEntry>& nodes() const { return nodes_; }
    // Pages of both B-trees (offset); 512 bytes each.
    const std::vector<std::uint64_t>& btreePages() const { return pages_; }

    const BlockEntry* findBlock(std::uint64_t bid) const;
    const NodeEntry* findNode(std::uint32_t nid) const;

    // Walks a data tree: checks its shape and returns the data size, or nothing
    // when it does not resolve (a finding is recorded against `where`).
    std::optional<std::uint64_t> dataSize(std::uint64_t bid, const std::string& where);
    // Reads a data tree (decoded) as its list of data blocks; gives up (with a
    // finding) beyond `limit` bytes.
    bool readData(std::uint64_t bid, const std::string& where, BlockList& out,
                  std::uint64_t limit = 64ull << 20);
    // Reads a subnode tree into `out`; false (with a finding) when it does not resolve.
    bool readSubnodes(std::uint64_t bid, const std::string& where, SubnodeMap& out);

    // Reads the raw bytes of a block (data and trailer, rounded to 64) into `out`.
    bool readBlockRaw(const BlockEntry& b, std::vector<std::uint8_t>& out) const;

  private:
    void walkPage(std::uint64_t bid, std::uint64_t ib, std::uint8_t ptype, int expectLevel,
                  std::uint64_t low, std::optional<std::uint64_t> high, int depth);
    bool collectData(std::uint64_t bid, int depth, const std::string& where, BlockList* out,
                     std::uint64_t& total, std::uint64_t limit);
    bool collectSubnodes(std::uint64_t bid, int depth, const std::string& where, SubnodeMap& out);

    const FileSource& file_;
    Findings& out_;
    Header h_;
    std::vector<BlockEntry> blocks_;  // sorted by bid once readTrees() is done
    std::vector<NodeEntry> nodes_;    // sorted by nid
    std::vector<std::uint64_t> pages_;
    std::map<std::uint64_t, bool> seenPages_;
    std::map<std::uint64_t, std::uint64_t> firstKeys_;  // first key of each page walked
};

// Little-endian field access on a byte buffer; callers check the size first.
inline std::uint16_t rd16(const std::uint8_t* p) {
    return std::uint16_t(p[0] | (p[1] << 8));
}
inline std::uint32_t rd32(const std::uint8_t* p) {
    return std::uint32_t(p[0]) | (std::uint32_t(p[1]) << 8) | (std::uint32_t(p[2]) << 16) |
           (std::uint32_t(p[3]) << 24);
}
inline std::uint64_t rd64(const std::uint8_t* p) {
    return std::uint64_t(rd32(p)) | (std::uint64_t(rd32(p + 4)) << 32);
}

// The page/block signature of [MS-PST] 5.5.
inline std::uint16_t blockSignature(std::uint64_t ib, std::uint64_t bid) {
    std::uint64_t x = ib ^ bid;
    return std::uint16_t(std::uint16_t(x >> 16) ^ std::uint16_t(x));
}

}  // namespace tp::pst::check
