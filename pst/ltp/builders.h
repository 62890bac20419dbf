#pragma once
// Lists, tables and properties ([MS-PST] 2.3): the heap-on-node, the BTree-on-heap
// kept inside it, and the property and table contexts built from them. Builders
// collect an object in memory (its heap only: large values go straight to disk as
// subnodes) and write it through the node database. A table that grows for the
// whole run writes its full heap pages and row blocks as it goes.
#include <cstdint>
#include <utility>
#include <vector>

#include "pst/ndb/writer.h"

namespace tp::pst::ltp {

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint32_t kMaxHeapAlloc = 3580;

// Heap-on-node ([MS-PST] 2.3.1).
class HeapBuilder {
  public:
    explicit HeapBuilder(std::uint8_t clientSig) : clientSig_(clientSig) {}
    std::uint32_t allocate(const std::uint8_t* data, std::size_t size);  // size <= kMaxHeapAlloc
    std::uint32_t allocate(const Bytes& b) { return allocate(b.data(), b.size()); }
    // Overwrites an earlier allocation of the same size.
    void replace(std::uint32_t hid, const Bytes& b);
    void setUserRoot(std::uint32_t hid) { root_ = hid; }
    std::size_t pageCount() const { return pages_.size(); }
    // Writes every page that can no longer change (all but the one being filled)
    // to disk now, so a heap that grows for the whole run (a folder's contents
    // table) does not grow in memory. Page 0 and the bitmap pages stay: they carry
    // the fill levels of the pages after them. Allocations on a written page can
    // no longer be replaced.
    void flushFullPages(ndb::NodeDatabase& db);
    // Writes the remaining pages and the data tree over all of them; returns its BID.
    std::uint64_t write(ndb::NodeDatabase& db);

  private:
    struct Page {
        Bytes data;                         // allocations, after the page header
        std::vector<std::uint16_t> starts;  // offsets of each allocation
        std::uint64_t bid = 0;              // set once the page is on disk
        std::uint32_t blockSize = 0;
        std::uint8_t level = 0;  // fill level, known once the page is complete
    };
    static std::size_t headerSize(std::size_t page);
    static bool holdsLevels(std::size_t page) { return page == 0 || page % 128 == 8; }
    Bytes pageBlock(std::size_t page) const;  // the page's block, without fill levels
    std::uint8_t clientSig_;
    std::uint32_t root_ = 0;
    std::vector<Page> pages_;
    std::size_t completed_ = 0;  // pages before this index are complete
};

// BTree-on-heap ([MS-PST] 2.3.2): records of cbKey + cbEnt bytes each, one after
// the other, sorted by key; returns the BTHHEADER's HID. A header allocated
// earlier (8 bytes) is filled in when `headerHid` names it.
std::uint32_t buildBth(HeapBuilder& heap, std::uint8_t cbKey, std::uint8_t cbEnt,
                       const Bytes& sortedRecords, std::uint32_t headerHid = 0);

// Stores a variable-size value: in the heap when small, else as a subnode whose
// entry is appended to `subnodes`. Returns the HNID (0 for an empty value).
class ValueStore {
  public:
    ValueStore(ndb::NodeDatabase& db, HeapBuilder& heap, std::vector<ndb::SubnodeEntry>& subnodes,
               std::uint32_t& nextSubnodeIndex)
        : db_(db), heap_(heap), subnodes_(subnodes), nextIndex_(nextSubnodeIndex) {}
    // HID 0 for an empty value, unless `emptyItem`: then a zero-length heap item
    // (a reader that takes HID 0 as "no value" still reads zero bytes).
    std::uint32_t store(const Bytes& value, bool emptyItem = false);
    // A value already streamed into a data tree.
    std::uint32_t storeTree(std::uint64_t bid);

  private:
    ndb::NodeDatabase& db_;
    HeapBuilder& heap_;
    std::vector<ndb::SubnodeEntry>& subnodes_;
    std::uint32_t& nextIndex_;
};

// One property value in its on-disk form: fixed types as little-endian bytes of
// their natural size, strings as UTF-16LE, multi-valued as the counted layout.
struct Value {
    std::uint32_t tag = 0;
    Bytes bytes;
    std::uint64_t treeBid = 0;  // set instead of bytes for a value already on disk
    std::uint64_t treeSize = 0;
    bool emptyItem = false;  // an empty value as a zero-length heap item, not HID 0
};

// Size of a fixed-size type (0 for variable-size types).
std::uint32_t fixedSize(std::uint16_t type);

// Property context ([MS-PST] 2.3.3). Returns the data BID of the node; adds the
// subnodes it needed to `subnodes`. Sorts `values` by property id, in place (a
// message's values are large, and its caller still needs them).
std::uint64_t writePropertyContext(ndb::NodeDatabase& db, std::vector<Value>& values,
                                   std::vector<ndb::SubnodeEntry>& subnodes,
                                   std::uint32_t& nextSubnodeIndex);

// Table context ([MS-PST] 2.3.4). Columns are given in their logical order (the
// order of their existence bits); cells are laid out as Outlook lays them out.
// The heap follows Outlook's order: the row index's BTH header (HID 0x20), the
// TCINFO (0x40, the heap's root), and for a small table the row index, the row
// matrix and then the cells' values. A table that outgrows one heap page keeps
// its values in the order the rows come, as it writes them while it grows.
class TableBuilder {
  public:
    explicit TableBuilder(const std::vector<std::uint32_t>& columns);
    TableBuilder(TableBuilder&&) = default;
    // Cells not named stay absent. Row id is the PidTagLtpRowId value.
    void addRow(std::uint32_t rowId, const std::vector<Value>& cells, ndb::NodeDatabase& db);
    std::size_t rowCount() const { return rowIds_.size(); }
    // Writes the table; returns the data BID and the subnode tree BID (0 if none).
    std::pair<std::uint64_t, std::uint64_t> write(ndb::NodeDatabase& db);

  private:
    struct Column {
        std::uint32_t tag;
        std::uint16_t ib;
        std::uint8_t cb;
        std::uint8_t bit;
    };
    std::vector<Column> cols_;                                  // logical order
    std::vector<std::pair<std::uint32_t, std::size_t>> byTag_;  // tag, index in cols_
    std::uint16_t rgib_[4] = {};
    HeapBuilder heap_{0x7C};
    std::uint32_t tcinfoHid_ = 0, rowIndexHid_ = 0;
    // Values of a small table wait for the row index and the row matrix, whose
    // HIDs come before them; each with the offset of its cell in `rows_`.
    void allocatePending(ValueStore& store);
    bool deferring_ = true;
    std::size_t pendingBytes_ = 0;
    std::vector<std::pair<std::size_t, Bytes>> pending_;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> rowIds_;  // row id, row index
    // The row matrix: whole rows per block; full blocks go to disk as they fill.
    Bytes rows_;
    std::vector<std::uint64_t> rowBlocks_;
    std::vector<std::uint32_t> rowBlockSizes_;
    std::vector<ndb::SubnodeEntry> subnodes_;
    std::uint32_t nextSubnodeIndex_ = 0x400;
};

}  // namespace tp::pst::ltp
