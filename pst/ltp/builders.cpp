#include "pst/ltp/builders.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "pst/ndb/format.h"

namespace tp::pst::ltp {
namespace {

void put16(std::uint8_t* p, std::uint16_t v) {
    std::memcpy(p, &v, 2);
}
void put32(std::uint8_t* p, std::uint32_t v) {
    std::memcpy(p, &v, 4);
}

// Fill level of a heap page: how much room is left, in the 16 steps of [MS-PST] 2.3.1.2.
std::uint8_t fillLevel(std::size_t freeBytes) {
    static const std::size_t steps[] = {3584, 2560, 2048, 1792, 1536, 1280, 1024, 768,
                                        512,  256,  128,  64,   32,   16,   8};
    for (std::uint8_t i = 0; i < 15; ++i)
        if (freeBytes >= steps[i]) return i;
    return 15;
}

}  // namespace

// ---------------------------------------------------------------- heap

std::size_t HeapBuilder::headerSize(std::size_t page) {
    if (page == 0) return 12;        // HNHDR
    if (page % 128 == 8) return 66;  // HNBITMAPHDR
    return 2;                        // HNPAGEHDR
}

std::uint32_t HeapBuilder::allocate(const std::uint8_t* data, std::size_t size) {
    if (size > kMaxHeapAlloc) throw std::length_error("heap allocation too large");
    auto fits = [&](const Page& p, std::size_t page) {
        std::size_t used = headerSize(page) + p.data.size() + size;
        used = (used + 1) & ~std::size_t(1);
        std::size_t map = 4 + 2 * (p.starts.size() + 2);
        return used + map <= ndb::kMaxBlockData && p.starts.size() < 2047;
    };
    if (pages_.empty() || !fits(pages_.back(), pages_.size() - 1)) {
        if (pages_.size() >= 0xFFFF) throw std::length_error("heap too large");
        pages_.emplace_back();
    }
    Page& p = pages_.back();
    std::size_t page = pages_.size() - 1;
    p.starts.push_back(std::uint16_t(headerSize(page) + p.data.size()));
    p.data.insert(p.data.end(), data, data + size);
    std::uint32_t index = std::uint32_t(p.starts.size());
    return (std::uint32_t(page) << 16) | (index << 5);
}

void HeapBuilder::replace(std::uint32_t hid, const Bytes& b) {
    Page& p = pages_.at(hid >> 16);
    if (p.bid) throw std::logic_error("heap page already written");
    std::size_t index = ((hid >> 5) & 0x7FF) - 1;
    std::size_t off = p.starts.at(index) - headerSize(hid >> 16);
    std::memcpy(p.data.data() + off, b.data(), b.size());
}

Bytes HeapBuilder::pageBlock(std::size_t i) const {
    const Page& p = pages_[i];
    std::size_t hs = headerSize(i);
    Bytes b(hs, 0);
    b.reserve(hs + p.data.size() + 1 + 4 + 2 * (p.starts.size() + 1));
    b.insert(b.end(), p.data.begin(), p.data.end());
    if (b.size() % 2) b.push_back(0);
    std::uint16_t ibHnpm = std::uint16_t(b.size());
    std::size_t mapSize = 4 + 2 * (p.starts.size() + 1);
    Bytes map(mapSize, 0);
    put16(&map[0], std::uint16_t(p.starts.size()));
    put16(&map[2], 0);
    for (std::size_t k = 0; k < p.starts.size(); ++k) put16(&map[4 + 2 * k], p.starts[k]);
    put16(&map[4 + 2 * p.starts.size()], std::uint16_t(hs + p.data.size()));
    b.insert(b.end(), map.begin(), map.end());
    put16(&b[0], ibHnpm);
    return b;
}

void HeapBuilder::flushFullPages(ndb::NodeDatabase& db) {
    for (; completed_ + 1 < pages_.size(); ++completed_) {
        Page& p = pages_[completed_];
        Bytes b = pageBlock(completed_);
        p.level = fillLevel(ndb::kMaxBlockData - b.size());
        if (holdsLevels(completed_)) continue;
        p.bid = db.writeData(b.data(), b.size());
        p.blockSize = std::uint32_t(b.size());
        p.data = Bytes();
        p.starts = std::vector<std::uint16_t>();
    }
}

std::uint64_t HeapBuilder::write(ndb::NodeDatabase& db) {
    // The pages still in memory, then their headers: page 0 carries the signature,
    // root and the fill levels of pages 0..7; a bitmap header every 128 pages
    // carries those of the next 128.
    std::vector<std::pair<std::size_t, Bytes>> pending;
    for (std::size_t i = 0; i < pages_.size(); ++i) {
        if (pages_[i].bid) continue;
        Bytes b = pageBlock(i);
        pages_[i].level = fillLevel(ndb::kMaxBlockData - b.size());
        pending.emplace_back(i, std::move(b));
    }
    for (auto& [i, b] : pending) {
        if (i == 0) {
            b[2] = ndb::kHnSignature;
            b[3] = clientSig_;
            put32(&b[4], root_);
            for (std::size_t k = 0; k < 8 && k < pages_.size(); ++k)
                b[8 + k / 2] |= std::uint8_t(pages_[k].level << (4 * (k % 2)));
        } else if (i % 128 == 8) {
            for (std::size_t k = 0; k < 128 && i + k < pages_.size(); ++k)
                b[2 + k / 2] |= std::uint8_t(pages_[i + k].level << (4 * (k % 2)));
        }
        pages_[i].bid = db.writeData(b.data(), b.size());
        pages_[i].blockSize = std::uint32_t(b.size());
    }
    std::vector<std::uint64_t> bids;
    std::vector<std::uint32_t> sizes;
    bids.reserve(pages_.size());
    sizes.reserve(pages_.size());
    for (const Page& p : pages_) {
        bids.push_back(p.bid);
        sizes.push_back(p.blockSize);
    }
    return db.writeTree(bids, sizes);
}

// ---------------------------------------------------------------- BTH

std::uint32_t buildBth(HeapBuilder& heap, std::uint8_t cbKey, std::uint8_t cbEnt,
                       const Bytes& records, std::uint32_t headerHid) {
    Bytes header(8, 0);
    header[0] = ndb::kBTypeBTH;
    header[1] = cbKey;
    header[2] = cbEnt;
    if (headerHid == 0)
        headerHid = heap.allocate(header);
    else
        heap.replace(headerHid, header);
    if (records.empty()) return headerHid;
    // Leaves, then index levels of (first key, child HID) until one node remains.
    const std::size_t cbRecord = std::size_t(cbKey) + cbEnt;
    const std::size_t count = records.size() / cbRecord;
    std::vector<std::pair<Bytes, std::uint32_t>> level;
    std::size_t perLeaf = kMaxHeapAlloc / cbRecord;
    for (std::size_t i = 0; i < count; i += perLeaf) {
        std::size_t n = std::min(perLeaf, count - i);
        const std::uint8_t* first = records.data() + i * cbRecord;
        level.push_back({Bytes(first, first + cbKey), heap.allocate(first, n * cbRecord)});
    }
    std::uint8_t levels = 0;
    std::size_t perIndex = kMaxHeapAlloc / (cbKey + 4);
    while (level.size() > 1) {
        std::vector<std::pair<Bytes, std::uint32_t>> up;
        for (std::size_t i = 0; i < level.size(); i += perIndex) {
            std::size_t n = std::min(perIndex, level.size() - i);
            Bytes node;
            for (std::size_t k = 0; k < n; ++k) {
                node.insert(node.end(), level[i + k].first.begin(), level[i + k].first.end());
                std::uint8_t h[4];
                put32(h, level[i + k].second);
                node.insert(node.end(), h, h + 4);
            }
            up.push_back({level[i].first, heap.allocate(node)});
        }
        level = std::move(up);
        ++levels;
    }
    header[3] = levels;
    put32(&header[4], level[0].second);
    heap.replace(headerHid, header);
    return headerHid;
}

// ---------------------------------------------------------------- values

std::uint32_t ValueStore::store(const Bytes& value, bool emptyItem) {
    if (value.empty()) return emptyItem ? heap_.allocate(value) : 0;
    if (value.size() <= kMaxHeapAlloc) return heap_.allocate(value);
    return storeTree(db_.writeData(value.data(), value.size()));
}

std::uint32_t ValueStore::storeTree(std::uint64_t bid) {
    std::uint32_t nid = ndb::makeNid(ndb::kNidTypeLtp, nextIndex_++);
    subnodes_.push_back({nid, bid, 0});
    return nid;
}

std::uint32_t fixedSize(std::uint16_t type) {
    switch (type) {
        case 0x0002:
            return 2;
        case 0x0003:
        case 0x0004:
        case 0x000A:
            return 4;
        case 0x000B:
            return 1;
        case 0x0005:
        case 0x0006:
        case 0x0007:
        case 0x0014:
        case 0x0040:
            return 8;
        default:
            return 0;
    }
}

// ---------------------------------------------------------------- PC

std::uint64_t writePropertyContext(ndb::NodeDatabase& db, std::vector<Value>& values,
                                   std::vector<ndb::SubnodeEntry>& subnodes,
                                   std::uint32_t& nextSubnodeIndex) {
    std::sort(values.begin(), values.end(),
              [](const Value& a, const Value& b) { return (a.tag >> 16) < (b.tag >> 16); });
    // Outlook's order: the BTH header (the heap's root, HID 0x20), its leaf, then
    // the values in property order. A context too large for one leaf keeps the
    // header first; its leaves and index nodes follow the values.
    HeapBuilder heap(ndb::kBTypePC);
    const std::uint32_t headerHid = heap.allocate(Bytes(8, 0));
    std::uint32_t leafHid = 0;
    if (!values.empty() && 8 * values.size() <= kMaxHeapAlloc)
        leafHid = heap.allocate(Bytes(8 * values.size(), 0));
    ValueStore store(db, heap, subnodes, nextSubnodeIndex);
    Bytes records;
    records.reserve(8 * values.size());
    for (const Value& v : values) {
        std::uint16_t type = std::uint16_t(v.tag & 0xFFFF);
        std::uint32_t fs = fixedSize(type);
        std::uint32_t word = 0;
        if (v.treeBid)
            word = store.storeTree(v.treeBid);
        else if (fs != 0 && fs <= 4)
            std::memcpy(&word, v.bytes.data(), std::min<std::size_t>(4, v.bytes.size()));
        else
            word = store.store(v.bytes, v.emptyItem);
        std::uint8_t r[8];
        put16(&r[0], std::uint16_t(v.tag >> 16));
        put16(&r[2], type);
        put32(&r[4], word);
        records.insert(records.end(), r, r + 8);
    }
    if (leafHid) {
        Bytes header(8, 0);
        header[0] = ndb::kBTypeBTH;
        header[1] = 2;
        header[2] = 6;
        put32(&header[4], leafHid);
        heap.replace(headerHid, header);
        heap.replace(leafHid, records);
    } else {
        buildBth(heap, 2, 6, records, headerHid);
    }
    heap.setUserRoot(headerHid);
    return heap.write(db);
}

// ---------------------------------------------------------------- TC

TableBuilder::TableBuilder(const std::vector<std::uint32_t>& columns) {
    // Cells of 8 and 4 bytes first, then 2, then 1, each group in logical order;
    // the existence bitmap closes the row.
    std::uint16_t ib = 0;
    cols_.resize(columns.size());
    for (std::size_t i = 0; i < columns.size(); ++i) {
        std::uint32_t fs = fixedSize(std::uint16_t(columns[i] & 0xFFFF));
        cols_[i] = {columns[i], 0, std::uint8_t(fs == 0 ? 4 : fs), std::uint8_t(i)};
    }
    for (auto& c : cols_)
        if (c.cb >= 4) c.ib = ib, ib = std::uint16_t(ib + c.cb);
    rgib_[0] = ib;
    for (auto& c : cols_)
        if (c.cb == 2) c.ib = ib, ib = std::uint16_t(ib + 2);
    rgib_[1] = ib;
    for (auto& c : cols_)
        if (c.cb == 1) c.ib = ib, ib = std::uint16_t(ib + 1);
    rgib_[2] = ib;
    rgib_[3] = std::uint16_t(ib + (cols_.size() + 7) / 8);
    for (std::size_t i = 0; i < cols_.size(); ++i) byTag_.emplace_back(cols_[i].tag, i);
    std::sort(byTag_.begin(), byTag_.end());
    // The row index's header, then the TCINFO, as in Outlook's stores.
    rowIndexHid_ = heap_.allocate(Bytes(8, 0));
    tcinfoHid_ = heap_.allocate(Bytes(22 + 8 * cols_.size(), 0));
    heap_.setUserRoot(tcinfoHid_);
}

void TableBuilder::allocatePending(ValueStore& store) {
    for (auto& [at, bytes] : pending_) put32(&rows_[at], store.store(bytes));
    pending_.clear();
    pending_.shrink_to_fit();
    pendingBytes_ = 0;
}

void TableBuilder::addRow(std::uint32_t rowId, const std::vector<Value>& cells,
                          ndb::NodeDatabase& db) {
    ValueStore store(db, heap_, subnodes_, nextSubnodeIndex_);
    Bytes row(rgib_[3], 0);
    std::size_t pendingHere = 0;
    for (const Value& v : cells)
        if (!v.treeBid && fixedSize(std::uint16_t(v.tag & 0xFFFF)) == 0 &&
            v.bytes.size() <= kMaxHeapAlloc)
            pendingHere += v.bytes.size();
    // A table stays small while its rows fit one heap allocation and its values
    // a few heap pages; past that its values go to the heap as they come.
    if (deferring_ && (rows_.size() + row.size() > kMaxHeapAlloc ||
                       pendingBytes_ + pendingHere > 4 * kMaxHeapAlloc)) {
        allocatePending(store);
        deferring_ = false;
    }
    const std::size_t rowAt = rows_.size();
    for (const Value& v : cells) {
        auto at = std::lower_bound(byTag_.begin(), byTag_.end(),
                                   std::pair<std::uint32_t, std::size_t>(v.tag, 0));
        if (at == byTag_.end() || at->first != v.tag) continue;
        const Column* it = &cols_[at->second];
        std::uint32_t fs = fixedSize(std::uint16_t(v.tag & 0xFFFF));
        if (v.treeBid) {
            put32(&row[it->ib], store.storeTree(v.treeBid));
        } else if (fs != 0) {
            std::memcpy(&row[it->ib], v.bytes.data(), std::min<std::size_t>(fs, v.bytes.size()));
        } else if (deferring_ && !v.bytes.empty() && v.bytes.size() <= kMaxHeapAlloc) {
            pending_.emplace_back(rowAt + it->ib, v.bytes);
            pendingBytes_ += v.bytes.size();
        } else {
            put32(&row[it->ib], store.store(v.bytes));
        }
        row[rgib_[2] + it->bit / 8] |= std::uint8_t(0x80 >> (it->bit % 8));
    }
    // Row id and version are always present.
    put32(&row[0], rowId);
    row[rgib_[2]] |= 0xC0;
    rowIds_.push_back({rowId, std::uint32_t(rowIds_.size())});
    // A full block of rows goes to disk once the next row arrives, padded to the
    // block's size; the last block is written, unpadded, by write().
    const std::size_t perBlock = ndb::kMaxBlockData / row.size();
    if (rows_.size() == perBlock * row.size()) {
        rows_.resize(ndb::kMaxBlockData, 0);
        rowBlocks_.push_back(db.writeData(rows_.data(), rows_.size()));
        rowBlockSizes_.push_back(std::uint32_t(rows_.size()));
        rows_.clear();
    }
    rows_.insert(rows_.end(), row.begin(), row.end());
    heap_.flushFullPages(db);
}

std::pair<std::uint64_t, std::uint64_t> TableBuilder::write(ndb::NodeDatabase& db) {
    std::vector<std::pair<std::uint32_t, std::uint32_t>> sorted = rowIds_;
    std::sort(sorted.begin(), sorted.end());
    Bytes records;
    records.reserve(8 * sorted.size());
    for (auto& [id, index] : sorted) {
        std::uint8_t r[8];
        put32(&r[0], id);
        put32(&r[4], index);
        records.insert(records.end(), r, r + 8);
    }
    buildBth(heap_, 4, 4, records, rowIndexHid_);
    ValueStore store(db, heap_, subnodes_, nextSubnodeIndex_);
    std::uint32_t hnidRows = 0;
    if (rowBlocks_.empty() && !rows_.empty() && rows_.size() <= kMaxHeapAlloc) {
        hnidRows = heap_.allocate(rows_);
        if (!pending_.empty()) {
            allocatePending(store);
            heap_.replace(hnidRows, rows_);
        }
    } else if (!rows_.empty()) {
        allocatePending(store);
        rowBlocks_.push_back(db.writeData(rows_.data(), rows_.size()));
        rowBlockSizes_.push_back(std::uint32_t(rows_.size()));
        hnidRows = store.storeTree(db.writeTree(rowBlocks_, rowBlockSizes_));
    }
    Bytes info(22 + 8 * cols_.size(), 0);
    info[0] = ndb::kBTypeTC;
    info[1] = std::uint8_t(cols_.size());
    for (int i = 0; i < 4; ++i) put16(&info[2 + 2 * i], rgib_[i]);
    put32(&info[10], rowIndexHid_);
    put32(&info[14], hnidRows);
    put32(&info[18], 0);
    std::vector<Column> byTag = cols_;
    std::sort(byTag.begin(), byTag.end(),
              [](const Column& a, const Column& b) { return a.tag < b.tag; });
    for (std::size_t i = 0; i < byTag.size(); ++i) {
        std::uint8_t* p = &info[22 + 8 * i];
        put32(p, byTag[i].tag);
        put16(p + 4, byTag[i].ib);
        p[6] = byTag[i].cb;
        p[7] = byTag[i].bit;
    }
    heap_.replace(tcinfoHid_, info);
    std::uint64_t data = heap_.write(db);
    std::uint64_t sub = db.writeSubnodes(subnodes_);
    return {data, sub};
}

}  // namespace tp::pst::ltp
