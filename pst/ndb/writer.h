#pragma once
// The node database of a new Unicode store, written front to back: data blocks
// and their trees go to disk as they are made; the node and block B-trees, the
// allocation maps and last of all the header are written by finish(), after a
// flush, so a store cut short never carries a valid header. Its file calls go
// through io/ and ask its fault seam (creation as Create, writes and sizing as
// Write, the flush to disk and the close as Flush).
#include <array>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "io/file.h"

namespace tp::pst::ndb {

struct SubnodeEntry {
    std::uint32_t nid = 0;
    std::uint64_t bidData = 0;
    std::uint64_t bidSub = 0;
};

class NodeDatabase {
  public:
    NodeDatabase() = default;
    ~NodeDatabase();
    NodeDatabase(const NodeDatabase&) = delete;
    NodeDatabase& operator=(const NodeDatabase&) = delete;

    // Creates the file; fails when it exists.
    bool create(const std::filesystem::path& path, std::string& error);

    // Stores `size` bytes as a data tree (one block, or blocks below an XBLOCK or
    // XXBLOCK) and returns the BID of its root.
    std::uint64_t writeData(const std::uint8_t* data, std::size_t size);
    // Stores a subnode B-tree (SLBLOCKs, under an SIBLOCK when needed); 0 when empty.
    std::uint64_t writeSubnodes(std::vector<SubnodeEntry> entries);
    // A data tree over blocks already written (in order, with their sizes): the
    // block itself when there is one, else an XBLOCK or XXBLOCK above them.
    std::uint64_t writeTree(const std::vector<std::uint64_t>& bids,
                            const std::vector<std::uint32_t>& sizes);

    void addNode(std::uint32_t nid, std::uint64_t bidData, std::uint64_t bidSub,
                 std::uint32_t nidParent);

    // Writes B-trees, maps and header. rgnid: the header's last-allocated index per
    // NID type.
    bool finish(const std::array<std::uint32_t, 32>& rgnid, std::string& error);

    bool failed() const { return !error_.empty(); }
    const std::string& error() const { return error_; }
    std::uint64_t bytesWritten() const { return cursor_; }

  private:
    struct BlockEntry {
        std::uint64_t bid, ib;
        std::uint16_t cb, cRef;
    };
    struct NodeEntry {
        std::uint32_t nid;
        std::uint64_t bidData, bidSub;
        std::uint32_t parent;
    };
    struct BTRef {
        std::uint64_t key, bid, ib;
    };

    std::uint64_t writeBlock(const std::uint8_t* data, std::size_t size, bool internal);
    std::uint64_t allocate(std::uint64_t size, std::uint64_t align);
    void put(std::uint64_t ib, const std::uint8_t* data, std::size_t size);
    // Room for `size` bytes at file offset `ib` in the write buffer; placed() once
    // they are filled in.
    std::uint8_t* place(std::uint64_t ib, std::size_t size);
    void placed();
    void flushBuffer();
    void pwriteAll(std::uint64_t ib, const std::uint8_t* data, std::size_t size);
    void resize(std::uint64_t size);
    void reserve();
    void flush();
    std::uint64_t writePage(const std::uint8_t* body488, std::uint8_t ptype);
    template <class Entry, class Encode>
    BTRef buildBTree(const std::vector<Entry>& leaves, std::uint8_t ptype, std::uint32_t cbLeaf,
                     Encode encode);
    void fail(const std::string& what);

    io::File file_;
    std::filesystem::path path_;
    std::string error_;
    std::uint64_t cursor_ = 0;    // next free byte (append-only allocation)
    std::uint64_t bufStart_ = 0;  // file offset of buf_[0]
    std::vector<std::uint8_t> buf_;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> allocated_;  // merged runs
    std::vector<BlockEntry> blocks_;
    std::vector<NodeEntry> nodes_;
    std::uint64_t nextBid_ = 4;
    std::uint64_t nextPageBid_ = 1;
    std::uint64_t lastPageIb_ = 0;
    bool finished_ = false;
    std::uint64_t reserved_ = 0;  // disk space held from offset 0 up to here
    bool reserving_ = true;
};

}  // namespace tp::pst::ndb
