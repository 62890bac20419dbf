#include "pst/ndb/reader.h"

#include <algorithm>
#include <cstring>

#include "io/paths.h"
#include "pst/ndb/crc.h"
#include "pst/ndb/format.h"
#include "pst/ndb/permute.h"

namespace tp::pst::check {

namespace fmt = tp::pst::ndb;

FileSource::~FileSource() = default;

bool FileSource::open(const std::filesystem::path& path, std::string& error) {
    std::error_code ec = file_.openRead(path);
    if (ec == std::errc::is_a_directory || ec == std::errc::invalid_argument) {
        error = io::utf8Of(path) + " is not a regular file";
        return false;
    }
    if (!ec) ec = file_.size(size_);
    if (ec) {
        error = "cannot open " + io::utf8Of(path) + ": " + ec.message();
        return false;
    }
    return true;
}

bool FileSource::read(std::uint64_t offset, void* out, std::size_t n) const {
    if (!file_.isOpen() || offset > size_ || n > size_ - offset) return false;
    auto* p = static_cast<char*>(out);
    while (n > 0) {
        std::size_t got = 0;
        if (file_.readAt(offset, p, n, got) || got == 0) return false;
        p += got;
        n -= got;
        offset += got;
    }
    return true;
}

namespace {

std::string blockWhere(std::uint64_t bid, std::uint64_t ib) {
    return "block " + hex(bid) + " at " + hex(ib);
}
std::string pageWhere(std::uint64_t ib) {
    return "page at " + hex(ib);
}

constexpr std::uint32_t kAllocAlign = 64;
std::uint64_t blockAlloc(std::uint32_t cb) {
    return (std::uint64_t(cb) + fmt::kBlockTrailerSize + kAllocAlign - 1) & ~std::uint64_t(63);
}

}  // namespace

// ---------------------------------------------------------------------------
// Header ([MS-PST] 2.2.2.6, Unicode layout)

bool NdbReader::readHeader(std::string& fatal) {
    std::uint8_t b[564];
    if (!file_.read(0, b, sizeof b)) {
        fatal = "file too short for a header (" + std::to_string(file_.size()) + " bytes)";
        return false;
    }
    if (rd32(b) != fmt::kHeaderMagic) {
        fatal = "not a personal-folders file (no !BDN signature)";
        return false;
    }
    if (rd16(b + 8) != fmt::kMagicClient) {
        fatal = "not a personal-folders file (client signature is not SM)";
        return false;
    }
    h_.version = rd16(b + 10);
    if (h_.version == 14 || h_.version == 15) {
        fatal = "an ANSI (pre-2003) store; only Unicode stores are checked";
        return false;
    }
    if (h_.version < fmt::kVersionUnicode) {
        fatal = "unknown file format version " + std::to_string(h_.version);
        return false;
    }
    h_.clientVersion = rd16(b + 12);
    h_.crcPartial = rd32(b + 4);
    h_.crcFull = rd32(b + 524);
    h_.bidNextP = rd64(b + 32);
    h_.unique = rd32(b + 40);
    for (int i = 0; i < 32; ++i) h_.rgnid[i] = rd32(b + 44 + 4 * i);
    h_.fileEof = rd64(b + 184);
    h_.amapLast = rd64(b + 192);
    h_.amapFree = rd64(b + 200);
    h_.pmapFree = rd64(b + 208);
    h_.nbtBid = rd64(b + 216);
    h_.nbtIb = rd64(b + 224);
    h_.bbtBid = rd64(b + 232);
    h_.bbtIb = rd64(b + 240);
    h_.amapValid = b[248];
    std::memcpy(h_.rgbFM, b + 256, 128);
    std::memcpy(h_.rgbFP, b + 384, 128);
    h_.sentinel = b[512];
    h_.crypt = b[513];
    h_.bidNextB = rd64(b + 516);

    const std::string where = "header";
    std::uint32_t partial = fmt::crc32(b + 8, fmt::kHeaderCrcPartialLen);
    if (partial != h_.crcPartial)
        out_.add("header-crc", where,
                 "dwCRCPartial is " + hex(h_.crcPartial) + ", computed " + hex(partial));
    std::uint32_t full = fmt::crc32(b + 8, fmt::kHeaderCrcFullLen);
    if (full != h_.crcFull)
        out_.add("header-crc", where,
                 "dwCRCFull is " + hex(h_.crcFull) + ", computed " + hex(full));
    if (b[14] != fmt::kPlatform || b[15] != fmt::kPlatform)
        out_.add("header-field", where, "bPlatformCreate/bPlatformAccess are not 0x01");
    if (h_.sentinel != fmt::kSentinel)
        out_.add("header-field", where, "bSentinel is " + hex(h_.sentinel) + ", expected 0x80");
    if (rd64(b + 172) != 0 || rd32(b + 252) != 0)
        out_.add("header-field", where, "qwUnused/dwAlign are not zero");
    if (b[514] != 0 || b[515] != 0) out_.add("header-field", where, "rgbReserved is not zero");
    // rgbFM and rgbFP are deprecated; [MS-PST] says to fill them with 0xFF, but
    // Outlook's own stores carry other values there, and readers ignore them.
    if (h_.amapValid != fmt::kAMapValid2 && h_.amapValid != 0x01)
        out_.add("amap-invalid", where,
                 "fAMapValid is " + hex(h_.amapValid) + ": the allocation maps are marked invalid");
    if (h_.fileEof != file_.size())
        out_.add("file-size", where,
                 "ibFileEof is " + std::to_string(h_.fileEof) + " but the file has " +
                     std::to_string(file_.size()) + " bytes");
    if (h_.crypt != fmt::kCryptNone && h_.crypt != fmt::kCryptPermute) {
        fatal = "data encoded with method " + hex(h_.crypt) + ", which this checker cannot decode";
        return false;
    }
    if (h_.bidNextB % 4 != 0)
        out_.add("header-field", where, "bidNextB " + hex(h_.bidNextB) + " is not a multiple of 4");
    return true;
}

// ---------------------------------------------------------------------------
// B-trees ([MS-PST] 2.2.2.7.7)

void NdbReader::readTrees() {
    walkPage(h_.nbtBid, h_.nbtIb, fmt::kPtypeNBT, -1, 0, std::nullopt, 0);
    walkPage(h_.bbtBid, h_.bbtIb, fmt::kPtypeBBT, -1, 0, std::nullopt, 0);
    std::sort(blocks_.begin(), blocks_.end(),
              [](const BlockEntry& a, const BlockEntry& b) { return a.bid < b.bid; });
    std::sort(nodes_.begin(), nodes_.end(),
              [](const NodeEntry& a, const NodeEntry& b) { return a.nid < b.nid; });
    for (std::size_t i = 1; i < blocks_.size(); ++i)
        if (blocks_[i].bid == blocks_[i - 1].bid)
            out_.add("btree-key", "block " + hex(blocks_[i].bid), "block listed twice in the BBT");
    for (std::size_t i = 1; i < nodes_.size(); ++i)
        if (nodes_[i].nid == nodes_[i - 1].nid)
            out_.add("btree-key", "node " + hex(nodes_[i].nid), "node listed twice in the NBT");
}

void NdbReader::walkPage(std::uint64_t bid, std::uint64_t ib, std::uint8_t ptype, int expectLevel,
                         std::uint64_t low, std::optional<std::uint64_t> high, int depth) {
    const std::string where = pageWhere(ib);
    const char* tree = ptype == fmt::kPtypeNBT ? "NBT" : "BBT";
    if (depth > int(fmt::kBtMaxLevel)) {
        out_.add("btree-level", where, std::string(tree) + " deeper than 8 levels");
        return;
    }
    if (ib % fmt::kPageSize != 0 || ib < fmt::kFirstAMapOffset) {
        out_.add("btree-page", where, std::string(tree) + " page at a misaligned offset");
        return;
    }
    if (seenPages_.count(ib)) {
        out_.add("btree-page", where, std::string(tree) + " page referenced twice");
        return;
    }
    std::uint8_t p[512];
    if (!file_.read(ib, p, sizeof p)) {
        out_.add("btree-page", where, std::string(tree) + " page beyond the end of the file");
        return;
    }
    seenPages_[ib] = true;
    pages_.push_back(ib);
    const std::uint8_t* t = p + 496;
    bool sound = true;
    if (t[0] != ptype || t[1] != ptype) {
        out_.add("page-trailer", where,
                 "page type " + hex(t[0]) + "/" + hex(t[1]) + ", expected " + hex(ptype));
        sound = false;
    }
    if (rd64(t + 8) != bid) {
        out_.add("page-trailer", where,
                 "trailer names page " + hex(rd64(t + 8)) + ", referenced as " + hex(bid));
        sound = false;
    }
    if (rd16(t + 2) != blockSignature(ib, bid))
        out_.add("page-signature", where,
                 "wSig " + hex(rd16(t + 2)) + ", computed " + hex(blockSignature(ib, bid)));
    std::uint32_t crc = fmt::crc32(p, 496);
    if (crc != rd32(t + 4)) {
        out_.add("page-crc", where, "dwCRC " + hex(rd32(t + 4)) + ", computed " + hex(crc));
        sound = false;
    }
    if (bid >= h_.bidNextP)
        out_.add("page-bid", where,
                 "page id " + hex(bid) + " not below bidNextP " + hex(h_.bidNextP));
    if (!sound) return;  // the entries of a damaged page are not to be trusted

    const unsigned cEnt = p[488], cEntMax = p[489], cbEnt = p[490], cLevel = p[491];
    if (expectLevel >= 0 && int(cLevel) != expectLevel) {
        out_.add("btree-level", where,
                 "cLevel " + std::to_string(cLevel) + ", expected " + std::to_string(expectLevel));
        return;
    }
    if (cLevel > fmt::kBtMaxLevel) {
        out_.add("btree-level", where, "cLevel " + std::to_string(cLevel) + " above 8");
        return;
    }
    unsigned wantEnt = cLevel > 0
                           ? fmt::kBtEntrySize
                           : (ptype == fmt::kPtypeNBT ? fmt::kNbtEntrySize : fmt::kBtEntrySize);
    if (cbEnt != wantEnt || cEntMax != fmt::kBtEntryBytes / wantEnt || cEnt > cEntMax) {
        out_.add("btree-page", where,
                 "cEnt/cEntMax/cbEnt " + std::to_string(cEnt) + "/" + std::to_string(cEntMax) +
                     "/" + std::to_string(cbEnt) + " do not fit a " + tree + " page of level " +
                     std::to_string(cLevel));
        return;
    }
    if (cEnt > 0) firstKeys_[ib] = ptype == fmt::kPtypeBBT ? rd64(p) & ~std::uint64_t(1) : rd64(p);
    if (cEnt == 0 && depth > 0) out_.add("btree-page", where, std::string(tree) + " page is empty");

    std::optional<std::uint64_t> prev;
    for (unsigned i = 0; i < cEnt; ++i) {
        const std::uint8_t* e = p + i * cbEnt;
        std::uint64_t key = rd64(e);
        if (ptype == fmt::kPtypeBBT) key &= ~std::uint64_t(1);
        if ((prev && key <= *prev) || key < low || (high && key >= *high)) {
            out_.add("btree-order", where,
                     std::string(tree) + " key " + hex(key) + " out of order (entry " +
                         std::to_string(i) + ")");
            continue;
        }
        prev = key;
        if (cLevel > 0) {
            std::optional<std::uint64_t> next = high;
            if (i + 1 < cEnt) {
                std::uint64_t k2 = rd64(e + cbEnt);
                if (ptype == fmt::kPtypeBBT) k2 &= ~std::uint64_t(1);
                next = k2;
            }
            const std::uint64_t childIb = rd64(e + 16);
            walkPage(rd64(e + 8), childIb, ptype, int(cLevel) - 1, key, next, depth + 1);
            // The key of a BTENTRY is the first key of the page it leads to.
            auto first = firstKeys_.find(childIb);
            if (first != firstKeys_.end() && first->second != key)
                out_.add("btree-key", where,
                         std::string(tree) + " index key " + hex(key) +
                             " differs from its child's first key " + hex(first->second));
        } else if (ptype == fmt::kPtypeBBT) {
            BlockEntry b;
            b.bid = key;
            b.ib = rd64(e + 8);
            b.cb = rd16(e + 16);
            b.cRef = rd16(e + 18);
            blocks_.push_back(b);
        } else {
            if (rd32(e + 4) != 0)
                out_.add("btree-key", where, "NBT key " + hex(key) + " wider than 32 bits");
            NodeEntry n;
            n.nid = std::uint32_t(key);
            n.bidData = rd64(e + 8) & ~std::uint64_t(1);
            n.bidSub = rd64(e + 16) & ~std::uint64_t(1);
            n.nidParent = rd32(e + 24);
            nodes_.push_back(n);
        }
    }
}

// ---------------------------------------------------------------------------
// Blocks ([MS-PST] 2.2.2.8)

bool NdbReader::readBlockRaw(const BlockEntry& b, std::vector<std::uint8_t>& out) const {
    if (b.cb > fmt::kMaxBlockData) return false;
    std::uint64_t alloc = blockAlloc(b.cb);
    out.resize(alloc);
    return file_.read(b.ib, out.data(), alloc);
}

void NdbReader::verifyBlocks() {
    std::vector<std::uint8_t> raw;
    for (auto& b : blocks_) {
        const std::string where = blockWhere(b.bid, b.ib);
        if (b.cb > fmt::kMaxBlockData) {
            out_.add("block-size", where, "cb " + std::to_string(b.cb) + " exceeds 8176");
            continue;
        }
        if (b.ib % kAllocAlign != 0 || b.ib < fmt::kFirstAMapOffset) {
            out_.add("block-offset", where, "block not on a 64-byte boundary of the data area");
            continue;
        }
        if (!readBlockRaw(b, raw)) {
            out_.add("block-offset", where, "block extends beyond the end of the file");
            continue;
        }
        const std::uint8_t* t = raw.data() + raw.size() - fmt::kBlockTrailerSize;
        bool sound = true;
        if (rd16(t) != b.cb) {
            out_.add(
                "block-trailer", where,
                "trailer cb " + std::to_string(rd16(t)) + ", BBT says " + std::to_string(b.cb));
            sound = false;
        }
        if ((rd64(t + 8) & ~std::uint64_t(1)) != b.bid) {
            out_.add("block-trailer", where, "trailer names block " + hex(rd64(t + 8)));
            sound = false;
        }
        if (rd16(t + 2) != blockSignature(b.ib, b.bid)) {
            out_.add("block-signature", where,
                     "wSig " + hex(rd16(t + 2)) + ", computed " + hex(blockSignature(b.ib, b.bid)));
            sound = false;
        }
        std::uint32_t crc = fmt::crc32(raw.data(), b.cb);
        if (crc != rd32(t + 4)) {
            out_.add("block-crc", where, "dwCRC " + hex(rd32(t + 4)) + ", computed " + hex(crc));
            sound = false;
        }
        if (b.bid >= h_.bidNextB)
            out_.add("block-bid", where, "block id not below bidNextB " + hex(h_.bidNextB));
        if (sound && (b.bid & fmt::kBidInternal)) {
            // Internal blocks: XBLOCK/XXBLOCK (btype 1) or SLBLOCK/SIBLOCK (btype 2).
            if (b.cb < 8) {
                out_.add("block-internal", where, "internal block shorter than its header");
                sound = false;
            } else {
                b.btype = raw[0];
                b.level = raw[1];
                unsigned cEnt = rd16(raw.data() + 2);
                std::uint32_t entSize = 0;
                if (b.btype == fmt::kBtypeXBlock && (b.level == 1 || b.level == 2)) {
                    entSize = 8;
                    b.total = rd32(raw.data() + 4);
                } else if (b.btype == fmt::kBtypeSLBlock && b.level == 0) {
                    entSize = 24;
                } else if (b.btype == fmt::kBtypeSLBlock && b.level == 1) {
                    entSize = 16;
                }
                if (entSize == 0) {
                    out_.add("block-internal", where,
                             "unknown internal block type " + hex(b.btype) + " level " +
                                 std::to_string(b.level));
                    sound = false;
                } else if (cEnt == 0 || 8ull + std::uint64_t(cEnt) * entSize != b.cb) {
                    out_.add(
                        "block-internal", where,
                        std::to_string(cEnt) + " entries do not fill cb " + std::to_string(b.cb));
                    sound = false;
                }
            }
        }
        b.sound = sound;
    }
}

const BlockEntry* NdbReader::findBlock(std::uint64_t bid) const {
    bid &= ~std::uint64_t(1);
    auto it = std::lower_bound(blocks_.begin(), blocks_.end(), bid,
                               [](const BlockEntry& b, std::uint64_t v) { return b.bid < v; });
    return it != blocks_.end() && it->bid == bid ? &*it : nullptr;
}

const NodeEntry* NdbReader::findNode(std::uint32_t nid) const {
    auto it = std::lower_bound(nodes_.begin(), nodes_.end(), nid,
                               [](const NodeEntry& n, std::uint32_t v) { return n.nid < v; });
    return it != nodes_.end() && it->nid == nid ? &*it : nullptr;
}

// [MS-PST] 2.2.2.7.7.3.1: a block's cRef counts its BBT entry plus every NBT
// entry, SLENTRY and data-tree slot that names it.
void NdbReader::checkReferences() {
    auto ref = [&](std::uint64_t bid, const std::string& where) {
        if (bid == 0) return;
        auto* b = const_cast<BlockEntry*>(findBlock(bid));
        if (!b) {
            out_.add("dangling-block", where, "refers to block " + hex(bid) + ", not in the BBT");
            return;
        }
        ++b->refs;
    };
    for (const auto& n : nodes_) {
        const std::string where = "node " + hex(n.nid);
        ref(n.bidData, where);  // Outlook leaves some internal nodes without data
        ref(n.bidSub, where);
    }
    std::vector<std::uint8_t> raw;
    for (const auto& b : blocks_) {
        if (!b.sound || !(b.bid & fmt::kBidInternal)) continue;
        if (!readBlockRaw(b, raw)) continue;
        const std::string where = blockWhere(b.bid, b.ib);
        unsigned cEnt = rd16(raw.data() + 2);
        for (unsigned i = 0; i < cEnt; ++i) {
            if (b.btype == fmt::kBtypeXBlock) {
                ref(rd64(raw.data() + 8 + 8 * i), where);
            } else if (b.level == 0) {
                const std::uint8_t* e = raw.data() + 8 + 24 * i;
                ref(rd64(e + 8), where);
                ref(rd64(e + 16), where);
            } else {
                ref(rd64(raw.data() + 8 + 16 * i + 8), where);
            }
        }
    }
    for (const auto& b : blocks_) {
        std::uint32_t want = b.refs + 1;
        if (b.refs == 0)
            out_.add("orphan-block", blockWhere(b.bid, b.ib), "block is referenced by nothing");
        else if (b.cRef != want)
            out_.add("refcount", blockWhere(b.bid, b.ib),
                     "cRef " + std::to_string(b.cRef) + ", but " + std::to_string(want) +
                         " references exist (BBT entry included)");
    }
}

// ---------------------------------------------------------------------------
// Data trees ([MS-PST] 2.2.2.8.3.2) and subnode trees (2.2.2.8.3.3)

std::optional<std::uint64_t> NdbReader::dataSize(std::uint64_t bid, const std::string& where) {
    std::uint64_t total = 0;
    if (!collectData(bid, 0, where, nullptr, total, ~std::uint64_t(0))) return std::nullopt;
    return total;
}

bool NdbReader::readData(std::uint64_t bid, const std::string& where, BlockList& out,
                         std::uint64_t limit) {
    out.clear();
    std::uint64_t total = 0;
    return collectData(bid, 0, where, &out, total, limit);
}

bool NdbReader::collectData(std::uint64_t bid, int depth, const std::string& where, BlockList* out,
                            std::uint64_t& total, std::uint64_t limit) {
    const BlockEntry* b = findBlock(bid);
    if (!b) {
        out_.add("dangling-block", where, "data block " + hex(bid) + " is not in the BBT");
        return false;
    }
    if (!b->sound) return false;  // already reported where the block was read
    std::vector<std::uint8_t> raw;
    if (!(b->bid & fmt::kBidInternal)) {
        total += b->cb;
        if (total > limit) {
            out_.add("data-too-large", where,
                     "node data exceeds " + std::to_string(limit) + " bytes");
            return false;
        }
        if (out) {
            if (!readBlockRaw(*b, raw)) return false;
            raw.resize(b->cb);
            if (h_.crypt == fmt::kCryptPermute) fmt::permuteDecode(raw.data(), raw.size());
            out->push_back(std::move(raw));
        }
        return true;
    }
    if (!readBlockRaw(*b, raw)) return false;
    if (b->btype != fmt::kBtypeXBlock) {
        out_.add("data-tree", where, "block " + hex(bid) + " is a subnode block, not data");
        return false;
    }
    int wantLevel = depth == 0 ? b->level : 1;
    if (depth > 1 || b->level != wantLevel) {
        out_.add("data-tree", where, "block " + hex(bid) + " has the wrong data-tree level");
        return false;
    }
    unsigned cEnt = rd16(raw.data() + 2);
    std::uint64_t before = total;
    for (unsigned i = 0; i < cEnt; ++i) {
        std::uint64_t child = rd64(raw.data() + 8 + 8 * i);
        const BlockEntry* c = findBlock(child);
        if (c && b->level == 1 && (c->bid & fmt::kBidInternal)) {
            out_.add("data-tree", where,
                     "XBLOCK " + hex(bid) + " lists internal block " + hex(child));
            return false;
        }
        if (c && b->level == 2 && !(c->bid & fmt::kBidInternal)) {
            out_.add("data-tree", where, "XXBLOCK " + hex(bid) + " lists data block " + hex(child));
            return false;
        }
        if (!collectData(child, depth + 1, where, out, total, limit)) return false;
    }
    if (total - before != b->total)
        out_.add("data-tree", where,
                 "lcbTotal of " + hex(bid) + " is " + std::to_string(b->total) +
                     ", its blocks hold " + std::to_string(total - before));
    return true;
}

bool NdbReader::readSubnodes(std::uint64_t bid, const std::string& where, SubnodeMap& out) {
    out.clear();
    if (bid == 0) return true;
    return collectSubnodes(bid, 0, where, out);
}

bool NdbReader::collectSubnodes(std::uint64_t bid, int depth, const std::string& where,
                                SubnodeMap& out) {
    const BlockEntry* b = findBlock(bid);
    if (!b) {
        out_.add("dangling-block", where, "subnode block " + hex(bid) + " is not in the BBT");
        return false;
    }
    if (!b->sound) return false;
    if (!(b->bid & fmt::kBidInternal) || b->btype != fmt::kBtypeSLBlock) {
        out_.add("subnode-tree", where, "block " + hex(bid) + " is not a subnode block");
        return false;
    }
    if (depth > 1 || (depth == 1 && b->level != 0)) {
        out_.add("subnode-tree", where, "subnode tree deeper than SIBLOCK -> SLBLOCK");
        return false;
    }
    std::vector<std::uint8_t> raw;
    if (!readBlockRaw(*b, raw)) return false;
    unsigned cEnt = rd16(raw.data() + 2);
    std::optional<std::uint64_t> prev;
    for (unsigned i = 0; i < cEnt; ++i) {
        const std::uint8_t* e = raw.data() + 8 + (b->level == 0 ? 24 : 16) * i;
        // The key is a 32-bit NID in an 8-byte slot; Outlook leaves the upper
        // half uninitialised, so only the lower half is read.
        std::uint64_t nid = rd32(e);
        if (prev && nid <= *prev) {
            out_.add("subnode-tree", where,
                     "subnode key " + hex(nid) + " out of order in " + hex(bid));
            return false;
        }
        prev = nid;
        if (b->level == 0) {
            SubnodeEntry s;
            s.bidData = rd64(e + 8) & ~std::uint64_t(1);
            s.bidSub = rd64(e + 16) & ~std::uint64_t(1);
            out[std::uint32_t(nid)] = s;
        } else {
            std::size_t before = out.size();
            if (!collectSubnodes(rd64(e + 8), depth + 1, where, out)) return false;
            if (out.size() > before && out.find(std::uint32_t(nid)) == out.end()) {
                // The SIENTRY key names the first subnode of its SLBLOCK.
                out_.add("subnode-tree", where,
                         "SIENTRY key " + hex(nid) + " is not its first subnode");
            }
        }
    }
    return true;
}

}  // namespace tp::pst::check
