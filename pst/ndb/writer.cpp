#include "pst/ndb/writer.h"

#include <algorithm>
#include <cstring>

#include "io/fault.h"
#include "io/paths.h"
#include "pst/ndb/crc.h"
#include "pst/ndb/format.h"
#include "pst/ndb/permute.h"

namespace tp::pst::ndb {
namespace {

constexpr std::size_t kBufferLimit = 4 << 20;
constexpr std::uint64_t kReserveStep = 16 << 20;

void put16(std::uint8_t* p, std::uint16_t v) {
    std::memcpy(p, &v, 2);
}
void put32(std::uint8_t* p, std::uint32_t v) {
    std::memcpy(p, &v, 4);
}
void put64(std::uint8_t* p, std::uint64_t v) {
    std::memcpy(p, &v, 8);
}

std::uint16_t signature(std::uint64_t ib, std::uint64_t bid) {
    ib ^= bid;
    return std::uint16_t(std::uint16_t(ib >> 16) ^ std::uint16_t(ib));
}

void pageTrailer(std::uint8_t* page, std::uint8_t ptype, std::uint16_t sig, std::uint64_t bid) {
    page[496] = ptype;
    page[497] = ptype;
    put16(page + 498, sig);
    put32(page + 500, crc32(page, 496));
    put64(page + 504, bid);
}

}  // namespace

NodeDatabase::~NodeDatabase() = default;

void NodeDatabase::fail(const std::string& what) {
    if (error_.empty()) error_ = what;
}

bool NodeDatabase::create(const std::filesystem::path& path, std::string& error) {
    path_ = path;
    std::error_code ec = io::injected(io::Op::Create, path, 0);
    if (!ec) ec = file_.createNew(path);
    if (ec) {
        error = "cannot create " + io::utf8Of(path) + ": " + ec.message();
        return false;
    }
    // The header area stays zero (no signature) until finish() writes it.
    cursor_ = amapOffset(0) + mapPagesBytes(0);
    bufStart_ = cursor_;
    buf_.reserve(kBufferLimit + kMaxBlockSize);
    reserve();
    return true;
}

void NodeDatabase::pwriteAll(std::uint64_t ib, const std::uint8_t* data, std::size_t size) {
    while (size > 0 && !failed()) {
        std::error_code ec = io::injected(io::Op::Write, path_, size);
        if (!ec) ec = file_.writeAt(ib, reinterpret_cast<const char*>(data), size);
        if (ec) {
            fail("cannot write " + io::utf8Of(path_) + ": " + ec.message());
            return;
        }
        size = 0;
    }
}

void NodeDatabase::resize(std::uint64_t size) {
    std::error_code ec = io::injected(io::Op::Write, path_, size);
    if (!ec) ec = file_.resize(size);
    if (ec) fail("cannot size the store: " + ec.message());
}

void NodeDatabase::flush() {
    std::error_code ec = io::injected(io::Op::Flush, path_, 0);
    if (!ec) ec = file_.sync();
    if (ec) fail("cannot flush: " + ec.message());
}

void NodeDatabase::flushBuffer() {
    if (!buf_.empty()) {
        pwriteAll(bufStart_, buf_.data(), buf_.size());
        // Start writing it to disk now, so that the flush before the header finds
        // little left to do. A hint only: its failure changes nothing.
        if (!failed()) file_.startWriteBack(bufStart_, buf_.size());
    }
    bufStart_ += buf_.size();
    buf_.clear();
    if (!finished_) reserve();
}

// Disk space for what finish() has still to write (the header and the map pages in
// the gaps left for them, the B-tree pages after the data) is held as the store
// grows, past the file's end without changing its size: space that others take
// meanwhile cannot leave the store unfinishable. Best effort; where space cannot be
// held, the store is written all the same.
void NodeDatabase::reserve() {
    if (!reserving_ || failed()) return;
    // A leaf page holds 20 block or 15 node entries; the rest covers the inner
    // levels, the next buffer's worth of data and an interval's map pages.
    const std::uint64_t treePages = blocks_.size() / 16 + nodes_.size() / 12 + 16;
    const std::uint64_t want = cursor_ + kBufferLimit + treePages * kPageSize + kAMapCoverage;
    if (want <= reserved_) return;
    const std::uint64_t to = (want + kReserveStep - 1) / kReserveStep * kReserveStep;
    const std::error_code ec = file_.reserve(reserved_, to - reserved_);
    if (!ec) {
        reserved_ = to;
    } else if (ec == std::errc::not_supported) {
        reserving_ = false;  // this file system cannot; a full disk retries at the next flush
    }
}

// Append-only: `ib` is always at or after the buffered end; gaps are zero-filled.
std::uint8_t* NodeDatabase::place(std::uint64_t ib, std::size_t size) {
    std::uint64_t end = bufStart_ + buf_.size();
    if (ib > end) {
        if (ib - end > kBufferLimit) {
            flushBuffer();
            bufStart_ = ib;
        } else {
            buf_.resize(buf_.size() + std::size_t(ib - end), 0);
        }
    }
    const std::size_t at = buf_.size();
    buf_.resize(at + size);
    return buf_.data() + at;
}

void NodeDatabase::placed() {
    if (buf_.size() >= kBufferLimit) flushBuffer();
}

void NodeDatabase::put(std::uint64_t ib, const std::uint8_t* data, std::size_t size) {
    std::memcpy(place(ib, size), data, size);
    placed();
}

std::uint64_t NodeDatabase::allocate(std::uint64_t size, std::uint64_t align) {
    for (;;) {
        std::uint64_t ib = (cursor_ + align - 1) / align * align;
        std::uint64_t interval = (ib - kFirstAMapOffset) / kAMapCoverage;
        std::uint64_t dataStart = amapOffset(interval) + mapPagesBytes(interval);
        if (ib < dataStart) ib = (dataStart + align - 1) / align * align;
        if (ib + size > amapOffset(interval + 1)) {
            // Blocks never straddle an AMap boundary; the rest of the interval stays free.
            std::uint64_t next = interval + 1;
            cursor_ = amapOffset(next) + mapPagesBytes(next);
            continue;
        }
        cursor_ = ib + size;
        if (!allocated_.empty() && allocated_.back().first + allocated_.back().second == ib)
            allocated_.back().second += size;
        else
            allocated_.push_back({ib, size});
        return ib;
    }
}

std::uint64_t NodeDatabase::writeBlock(const std::uint8_t* data, std::size_t size, bool internal) {
    std::uint64_t bid = nextBid_ | (internal ? kBidInternal : 0);
    nextBid_ += kBidIncrement;
    std::uint32_t alloc = blockAllocSize(std::uint32_t(size));
    std::uint64_t ib = allocate(alloc, 64);
    // Built in place in the write buffer: data, encoded; padding; trailer.
    std::uint8_t* block = place(ib, alloc);
    if (size > 0) std::memcpy(block, data, size);
    if (!internal) permuteEncode(block, size);
    std::memset(block + size, 0, alloc - size);
    std::uint8_t* t = block + alloc - kBlockTrailerSize;
    put16(t, std::uint16_t(size));
    put16(t + 2, signature(ib, bid));
    put32(t + 4, crc32(block, size));
    put64(t + 8, bid);
    placed();
    blocks_.push_back({bid, ib, std::uint16_t(size), 2});
    return bid;
}

std::uint64_t NodeDatabase::writeTree(const std::vector<std::uint64_t>& bids,
                                      const std::vector<std::uint32_t>& sizes) {
    if (bids.size() == 1) return bids[0];
    auto xblock = [&](std::uint8_t level, const std::uint64_t* ids, std::size_t n,
                      std::uint64_t bytes) {
        std::vector<std::uint8_t> b(8 + 8 * n);
        b[0] = kBtypeXBlock;
        b[1] = level;
        put16(&b[2], std::uint16_t(n));
        put32(&b[4], std::uint32_t(bytes));
        for (std::size_t i = 0; i < n; ++i) put64(&b[8 + 8 * i], ids[i]);
        return writeBlock(b.data(), b.size(), true);
    };
    std::uint64_t total = 0;
    for (auto s : sizes) total += s;
    if (total > 0xFFFFFFFFull) {
        fail("value too large for one data tree");
        return 0;
    }
    if (bids.size() <= kXBlockMaxEntries) return xblock(1, bids.data(), bids.size(), total);
    std::vector<std::uint64_t> xs;
    for (std::size_t i = 0; i < bids.size(); i += kXBlockMaxEntries) {
        std::size_t n = std::min<std::size_t>(kXBlockMaxEntries, bids.size() - i);
        std::uint64_t bytes = 0;
        for (std::size_t k = 0; k < n; ++k) bytes += sizes[i + k];
        xs.push_back(xblock(1, &bids[i], n, bytes));
    }
    if (xs.size() > kXBlockMaxEntries) {
        fail("value too large for one data tree");
        return 0;
    }
    return xblock(2, xs.data(), xs.size(), total);
}

std::uint64_t NodeDatabase::writeData(const std::uint8_t* data, std::size_t size) {
    // Blocks straight from the caller's bytes: full blocks, then the rest; a
    // zero-length value still gets one block.
    if (size <= kMaxBlockData) return writeBlock(data, size, false);
    std::vector<std::uint64_t> bids;
    std::vector<std::uint32_t> sizes;
    bids.reserve(size / kMaxBlockData + 1);
    sizes.reserve(size / kMaxBlockData + 1);
    for (std::size_t off = 0; off < size; off += kMaxBlockData) {
        const std::size_t n = std::min<std::size_t>(kMaxBlockData, size - off);
        bids.push_back(writeBlock(data + off, n, false));
        sizes.push_back(std::uint32_t(n));
    }
    return writeTree(bids, sizes);
}

std::uint64_t NodeDatabase::writeSubnodes(std::vector<SubnodeEntry> entries) {
    if (entries.empty()) return 0;
    std::sort(entries.begin(), entries.end(),
              [](const SubnodeEntry& a, const SubnodeEntry& b) { return a.nid < b.nid; });
    std::vector<std::pair<std::uint32_t, std::uint64_t>> leaves;  // first nid, SLBLOCK bid
    for (std::size_t i = 0; i < entries.size(); i += kSLBlockMaxEntries) {
        std::size_t n = std::min<std::size_t>(kSLBlockMaxEntries, entries.size() - i);
        std::vector<std::uint8_t> b(8 + 24 * n, 0);
        b[0] = kBtypeSLBlock;
        b[1] = 0;
        put16(&b[2], std::uint16_t(n));
        for (std::size_t k = 0; k < n; ++k) {
            const auto& e = entries[i + k];
            put64(&b[8 + 24 * k], e.nid);
            put64(&b[16 + 24 * k], e.bidData);
            put64(&b[24 + 24 * k], e.bidSub);
        }
        leaves.push_back({entries[i].nid, writeBlock(b.data(), b.size(), true)});
    }
    if (leaves.size() == 1) return leaves[0].second;
    if (leaves.size() > kSIBlockMaxEntries) {
        fail("too many subnodes in one node");
        return 0;
    }
    std::vector<std::uint8_t> b(8 + 16 * leaves.size(), 0);
    b[0] = kBtypeSLBlock;
    b[1] = 1;
    put16(&b[2], std::uint16_t(leaves.size()));
    for (std::size_t k = 0; k < leaves.size(); ++k) {
        put64(&b[8 + 16 * k], leaves[k].first);
        put64(&b[16 + 16 * k], leaves[k].second);
    }
    return writeBlock(b.data(), b.size(), true);
}

void NodeDatabase::addNode(std::uint32_t nid, std::uint64_t bidData, std::uint64_t bidSub,
                           std::uint32_t nidParent) {
    nodes_.push_back({nid, bidData, bidSub, nidParent});
}

std::uint64_t NodeDatabase::writePage(const std::uint8_t* body, std::uint8_t ptype) {
    std::uint64_t ib = allocate(kPageSize, kPageSize);
    std::uint64_t bid = nextPageBid_++;
    std::uint8_t page[kPageSize];
    std::memcpy(page, body, 496);
    pageTrailer(page, ptype, signature(ib, bid), bid);
    put(ib, page, kPageSize);
    lastPageIb_ = ib;  // buildBTree needs the offset as well as the BID
    return bid;
}

template <class Entry, class Encode>
NodeDatabase::BTRef NodeDatabase::buildBTree(const std::vector<Entry>& leaves, std::uint8_t ptype,
                                             std::uint32_t cbLeaf, Encode encode) {
    const std::uint32_t maxLeaf = kBtEntryBytes / cbLeaf;
    const std::uint32_t maxInner = kBtEntryBytes / kBtEntrySize;
    std::vector<BTRef> level;
    std::uint8_t body[496];
    auto emit = [&](std::uint8_t cLevel, std::uint32_t cbEnt, std::uint32_t cEntMax, std::size_t n,
                    auto fill, std::uint64_t firstKey) {
        std::memset(body, 0, sizeof body);
        for (std::size_t k = 0; k < n; ++k) fill(body + k * cbEnt, k);
        body[488] = std::uint8_t(n);
        body[489] = std::uint8_t(cEntMax);
        body[490] = std::uint8_t(cbEnt);
        body[491] = cLevel;
        std::uint64_t bid = writePage(body, ptype);
        return BTRef{firstKey, bid, lastPageIb_};
    };
    if (leaves.empty()) {
        level.push_back(emit(
            0, cbLeaf, maxLeaf, 0, [](std::uint8_t*, std::size_t) {}, 0));
    }
    for (std::size_t i = 0; i < leaves.size(); i += maxLeaf) {
        std::size_t n = std::min<std::size_t>(maxLeaf, leaves.size() - i);
        level.push_back(emit(
            0, cbLeaf, maxLeaf, n,
            [&](std::uint8_t* p, std::size_t k) { encode(p, leaves[i + k]); },
            encode(nullptr, leaves[i])));
    }
    std::uint8_t cLevel = 1;
    while (level.size() > 1) {
        std::vector<BTRef> up;
        for (std::size_t i = 0; i < level.size(); i += maxInner) {
            std::size_t n = std::min<std::size_t>(maxInner, level.size() - i);
            up.push_back(emit(
                cLevel, kBtEntrySize, maxInner, n,
                [&](std::uint8_t* p, std::size_t k) {
                    put64(p, level[i + k].key);
                    put64(p + 8, level[i + k].bid);
                    put64(p + 16, level[i + k].ib);
                },
                level[i].key));
        }
        level = std::move(up);
        ++cLevel;
    }
    return level[0];
}

bool NodeDatabase::finish(const std::array<std::uint32_t, 32>& rgnid, std::string& error) {
    if (finished_) {
        error = "store already closed";
        return false;
    }
    finished_ = true;
    std::sort(nodes_.begin(), nodes_.end(),
              [](const NodeEntry& a, const NodeEntry& b) { return a.nid < b.nid; });
    for (std::size_t i = 1; i < nodes_.size(); ++i)
        if (nodes_[i].nid == nodes_[i - 1].nid) fail("duplicate node id");

    // Block ids grow with every write, so the BBT leaves are already in order.
    BTRef bbt = buildBTree(blocks_, kPtypeBBT, kBtEntrySize,
                           [](std::uint8_t* p, const BlockEntry& e) -> std::uint64_t {
                               if (p) {
                                   put64(p, e.bid);
                                   put64(p + 8, e.ib);
                                   put16(p + 16, e.cb);
                                   put16(p + 18, e.cRef);
                               }
                               return e.bid;
                           });
    BTRef nbt = buildBTree(nodes_, kPtypeNBT, kNbtEntrySize,
                           [](std::uint8_t* p, const NodeEntry& e) -> std::uint64_t {
                               if (p) {
                                   put64(p, e.nid);
                                   put64(p + 8, e.bidData);
                                   put64(p + 16, e.bidSub);
                                   put32(p + 24, e.parent);
                               }
                               return e.nid;
                           });
    flushBuffer();

    // The file ends at an AMap boundary; every interval gets its map pages.
    std::uint64_t intervals = (cursor_ - kFirstAMapOffset + kAMapCoverage - 1) / kAMapCoverage;
    std::uint64_t eof = amapOffset(intervals);
    std::uint64_t freeBytes = 0;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> density;  // free slots, AMap index
    std::vector<std::uint8_t> longestFree;                         // per AMap, for the FMaps
    std::size_t run = 0;
    std::uint8_t page[kPageSize];
    for (std::uint64_t i = 0; i < intervals && !failed(); ++i) {
        std::uint64_t base = amapOffset(i), end = base + kAMapCoverage;
        std::memset(page, 0, sizeof page);
        // The map pages that open the interval.
        for (std::uint64_t u = 0; u < mapPagesBytes(i) / 64; ++u)
            page[u / 8] |= std::uint8_t(0x80 >> (u % 8));
        while (run < allocated_.size() && allocated_[run].first + allocated_[run].second <= base)
            ++run;
        for (std::size_t r = run; r < allocated_.size() && allocated_[r].first < end; ++r) {
            std::uint64_t from = std::max(allocated_[r].first, base);
            std::uint64_t to = std::min(allocated_[r].first + allocated_[r].second, end);
            for (std::uint64_t u = (from - base) / 64; u < (to - base + 63) / 64; ++u)
                page[u / 8] |= std::uint8_t(0x80 >> (u % 8));
        }
        std::uint32_t used = 0;
        for (int b = 0; b < 496; ++b) used += std::uint32_t(__builtin_popcount(page[b]));
        std::uint32_t freeSlots = 496 * 8 - used;
        freeBytes += std::uint64_t(freeSlots) * 64;
        density.push_back({freeSlots, std::uint32_t(i)});
        std::uint32_t longest = 0, current = 0;
        for (std::uint32_t u = 0; u < 496 * 8; ++u) {
            current = (page[u / 8] & (0x80 >> (u % 8))) ? 0 : current + 1;
            longest = std::max(longest, current);
        }
        longestFree.push_back(std::uint8_t(std::min<std::uint32_t>(longest, 255)));
        pageTrailer(page, kPtypeAMap, 0, base);
        pwriteAll(base, page, kPageSize);
        if (hasPMap(i)) {
            std::memset(page, 0xFF, 496);
            pageTrailer(page, kPtypePMap, 0, pmapOffset(i));
            pwriteAll(pmapOffset(i), page, kPageSize);
        }
        if (hasFPMap(i)) {
            std::memset(page, 0xFF, 496);
            pageTrailer(page, kPtypeFPMap, 0, fpmapOffset(i));
            pwriteAll(fpmapOffset(i), page, kPageSize);
        }
    }
    // FMap pages: one byte per AMap from the 128th on, the longest free run in it.
    for (std::uint64_t i = 0; i < intervals && !failed(); ++i) {
        if (!hasFMap(i)) continue;
        std::memset(page, 0, sizeof page);
        for (std::uint64_t k = 0; k < 496 && i + k < intervals; ++k) page[k] = longestFree[i + k];
        pageTrailer(page, kPtypeFMap, 0, fmapOffset(i));
        pwriteAll(fmapOffset(i), page, kPageSize);
    }
    // Density list: AMaps by descending free space.
    std::stable_sort(density.begin(), density.end(),
                     [](const auto& a, const auto& b) { return a.first > b.first; });
    std::memset(page, 0, sizeof page);
    std::size_t nd = std::min<std::size_t>(density.size(), 476 / 4);
    page[0] = 0x01;  // DFL_BACKFILL_COMPLETE
    page[1] = std::uint8_t(nd);
    put32(page + 4, std::uint32_t(intervals - 1));
    for (std::size_t k = 0; k < nd; ++k)
        put32(page + 8 + 4 * k, (density[k].second & 0xFFFFF) | (density[k].first << 20));
    std::uint64_t dlBid = nextPageBid_++;
    pageTrailer(page, kPtypeDL, signature(kDListOffset, dlBid), dlBid);
    pwriteAll(kDListOffset, page, kPageSize);
    // Space held past the end goes back when the file is cut to its size: file
    // systems free blocks past the end when a file shrinks, not when it grows.
    if (!failed() && reserved_ > eof) {
        (void)file_.resize(reserved_);  // best effort: at worst the blocks stay held
    }
    if (!failed()) resize(eof);
    if (!failed()) flush();  // everything but the header on disk first

    // Header last.
    std::uint8_t h[0x4200 - 0];
    std::memset(h, 0, sizeof h);
    put32(h, kHeaderMagic);
    put16(h + 8, kMagicClient);
    put16(h + 10, kVersionUnicode);
    put16(h + 12, kVersionClient);
    h[14] = kPlatform;
    h[15] = kPlatform;
    put64(h + 0x20, nextPageBid_);
    put32(h + 0x28, 1);  // dwUnique
    for (int k = 0; k < 32; ++k) put32(h + 0x2C + 4 * k, rgnid[std::size_t(k)]);
    put64(h + 0xB8, eof);
    put64(h + 0xC0, amapOffset(intervals - 1));
    put64(h + 0xC8, freeBytes);
    put64(h + 0xD0, 0);
    put64(h + 0xD8, nbt.bid);
    put64(h + 0xE0, nbt.ib);
    put64(h + 0xE8, bbt.bid);
    put64(h + 0xF0, bbt.ib);
    h[0xF8] = kAMapValid2;
    std::memset(h + 0x100, 0xFF, 128);
    std::memset(h + 0x180, 0xFF, 128);
    h[0x200] = kSentinel;
    h[0x201] = kCryptPermute;
    put64(h + 0x204, nextBid_);
    put32(h + 4, crc32(h + 8, kHeaderCrcPartialLen));
    put32(h + 0x20C, crc32(h + 8, kHeaderCrcFullLen));
    pwriteAll(0, h, 0x4200);
    if (!failed()) flush();
    std::error_code closeError = io::injected(io::Op::Flush, path_, 0);
    if (const std::error_code ec = file_.close(); !closeError) closeError = ec;
    if (closeError) fail("cannot close the store: " + closeError.message());
    if (failed()) {
        error = error_;
        return false;
    }
    return true;
}

}  // namespace tp::pst::ndb
