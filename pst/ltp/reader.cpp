#include "pst/ltp/reader.h"

#include <algorithm>
#include <cstring>
#include <set>

#include "pst/ndb/format.h"

namespace tp::pst::check {

namespace fmt = tp::pst::ndb;

int fixedSize(std::uint16_t type) {
    switch (type) {
        case kTypeBoolean:
            return 1;
        case kTypeInt16:
            return 2;
        case kTypeInt32:
        case kTypeFloat:
        case kTypeError:
            return 4;
        case kTypeDouble:
        case kTypeCurrency:
        case kTypeAppTime:
        case kTypeInt64:
        case kTypeTime:
            return 8;
        case kTypeGuid:
            return 16;
        case kTypeObject:
        case kTypeString8:
        case kTypeString:
        case kTypeServerId:
        case kTypeRestriction:
        case kTypeRuleAction:
        case kTypeBinary:
            return 0;
        default:
            break;
    }
    if (type & kTypeMulti) {
        std::uint16_t base = type & ~kTypeMulti;
        int s = fixedSize(base);
        if (s < 0 || base == kTypeObject || base == kTypeBoolean || base == kTypeError) return -1;
        return 0;  // every multi-valued property is stored by reference
    }
    return -1;
}

bool sameValue(const Value& a, const Value& b) {
    if (a.type != b.type) return false;
    int fs = fixedSize(a.type);
    if (fs > 0 && fs <= 8) return a.num == b.num;
    if (a.size != b.size) return false;
    if (a.complete && b.complete) return a.bytes == b.bytes;
    return true;  // large values: equal sizes are all that is compared
}

std::string describe(const Value& v) {
    int fs = fixedSize(v.type);
    if (fs > 0 && fs <= 8) return std::to_string(v.num);
    if (v.type == kTypeString && v.complete) {
        std::string s;
        for (std::size_t i = 0; i + 1 < v.bytes.size() && s.size() < 60; i += 2) {
            unsigned c = v.bytes[i] | (v.bytes[i + 1] << 8);
            s += (c >= 0x20 && c < 0x7F) ? char(c) : '?';
        }
        return "\"" + s + "\"";
    }
    return std::to_string(v.size) + " bytes";
}

bool Table::hasColumn(std::uint32_t tag) const {
    for (const auto& c : columns)
        if (c.tag == tag) return true;
    return false;
}

// ---------------------------------------------------------------------------
// Heap-on-node ([MS-PST] 2.3.1)

bool Heap::parse(BlockList blocks, const std::string& where, Findings& out) {
    blocks_ = std::move(blocks);
    allocs_.clear();
    if (blocks_.empty() || blocks_.size() > 65536) {
        out.add("heap", where, "heap has no blocks or too many");
        return false;
    }
    for (std::size_t i = 0; i < blocks_.size(); ++i) {
        const auto& b = blocks_[i];
        std::size_t hdr = i == 0 ? 12 : ((i >= 8 && (i - 8) % 128 == 0) ? 66 : 2);
        if (b.size() < hdr + 4) {
            out.add("heap", where, "heap block " + std::to_string(i) + " shorter than its header");
            return false;
        }
        if (i == 0) {
            if (b[2] != fmt::kHnSignature) {
                out.add("heap", where, "heap signature is " + hex(b[2]) + ", expected 0xEC");
                return false;
            }
            clientSig_ = b[3];
            userRoot_ = rd32(b.data() + 4);
        }
        std::size_t ibHnpm = rd16(b.data());
        if (ibHnpm < hdr || ibHnpm % 2 != 0 || ibHnpm + 4 > b.size()) {
            out.add("heap", where,
                    "page map offset " + std::to_string(ibHnpm) + " of heap block " +
                        std::to_string(i) + " is out of place");
            return false;
        }
        std::size_t cAlloc = rd16(b.data() + ibHnpm);
        if (ibHnpm + 4 + 2 * (cAlloc + 1) > b.size()) {
            out.add("heap", where, "page map of heap block " + std::to_string(i) + " is truncated");
            return false;
        }
        std::vector<std::uint16_t> rg(cAlloc + 1);
        for (std::size_t k = 0; k <= cAlloc; ++k) rg[k] = rd16(b.data() + ibHnpm + 4 + 2 * k);
        if (rg[0] != hdr || rg[cAlloc] > ibHnpm) {
            out.add("heap", where,
                    "allocations of heap block " + std::to_string(i) +
                        " do not lie between its header and page map");
            return false;
        }
        for (std::size_t k = 0; k < cAlloc; ++k) {
            if (rg[k + 1] < rg[k]) {
                out.add("heap", where,
                        "allocation offsets of heap block " + std::to_string(i) + " go backwards");
                return false;
            }
        }
        allocs_.push_back(std::move(rg));
    }
    return true;
}

bool Heap::get(std::uint32_t hid, const std::uint8_t*& data, std::size_t& size) const {
    if ((hid & 0x1F) != 0) return false;
    std::size_t index = (hid >> 5) & 0x7FF;
    std::size_t block = hid >> 16;
    if (index == 0 || block >= allocs_.size()) return false;
    const auto& rg = allocs_[block];
    if (index >= rg.size()) return false;
    data = blocks_[block].data() + rg[index - 1];
    size = std::size_t(rg[index] - rg[index - 1]);
    return true;
}

// ---------------------------------------------------------------------------
// BTree-on-heap ([MS-PST] 2.3.2)

namespace {

// Compares two little-endian keys of n bytes.
int compareKey(const std::uint8_t* a, const std::uint8_t* b, unsigned n) {
    for (unsigned i = n; i-- > 0;)
        if (a[i] != b[i]) return a[i] < b[i] ? -1 : 1;
    return 0;
}

bool walkBth(const Heap& heap, std::uint32_t hid, int level, unsigned cbKey, unsigned cbEnt,
             const std::uint8_t* firstKey, const std::string& where, Findings& out,
             std::vector<std::vector<std::uint8_t>>& records, int depth) {
    const std::uint8_t* p = nullptr;
    std::size_t n = 0;
    if (depth > 8 || !heap.get(hid, p, n)) {
        out.add("bth", where, "BTH record array " + hex(hid) + " does not resolve");
        return false;
    }
    std::size_t rec = level > 0 ? cbKey + 4 : cbKey + cbEnt;
    if (n == 0 || n % rec != 0) {
        out.add("bth", where,
                "BTH record array " + hex(hid) + " of " + std::to_string(n) +
                    " bytes is not a whole number of records");
        return false;
    }
    if (firstKey && compareKey(p, firstKey, cbKey) != 0)
        out.add("bth", where, "BTH index key differs from the first key below it");
    for (std::size_t off = 0; off < n; off += rec) {
        if (off > 0 && compareKey(p + off - rec, p + off, cbKey) >= 0) {
            out.add("bth", where, "BTH keys out of order in " + hex(hid));
            return false;
        }
        if (level > 0) {
            if (!walkBth(heap, rd32(p + off + cbKey), level - 1, cbKey, cbEnt, p + off, where, out,
                         records, depth + 1))
                return false;
        } else {
            if (!records.empty() && compareKey(records.back().data(), p + off, cbKey) >= 0) {
                out.add("bth", where, "BTH keys out of order across " + hex(hid));
                return false;
            }
            records.emplace_back(p + off, p + off + rec);
        }
    }
    return true;
}

}  // namespace

bool readBth(const Heap& heap, std::uint32_t hid, unsigned cbKey, unsigned cbEnt,
             const std::string& where, Findings& out,
             std::vector<std::vector<std::uint8_t>>& records) {
    records.clear();
    const std::uint8_t* p = nullptr;
    std::size_t n = 0;
    if (!heap.get(hid, p, n) || n != 8) {
        out.add("bth", where, "BTH header " + hex(hid) + " does not resolve to 8 bytes");
        return false;
    }
    if (p[0] != fmt::kBTypeBTH || p[1] != cbKey || p[2] != cbEnt) {
        out.add("bth", where,
                "BTH header type/key/entry sizes " + hex(p[0]) + "/" + std::to_string(p[1]) + "/" +
                    std::to_string(p[2]) + ", expected 0xB5/" + std::to_string(cbKey) + "/" +
                    std::to_string(cbEnt));
        return false;
    }
    std::uint32_t root = rd32(p + 4);
    if (root == 0) return true;
    return walkBth(heap, root, p[3], cbKey, cbEnt, nullptr, where, out, records, 0);
}

// ---------------------------------------------------------------------------
// Values

namespace {

bool loadHeap(NodeScope& s, std::uint64_t bidData, Heap& heap) {
    BlockList blocks;
    if (!s.ndb.readData(bidData, s.where, blocks)) return false;
    return heap.parse(std::move(blocks), s.where, s.out);
}

void checkMultiValue(NodeScope& s, std::uint16_t id, Value& v) {
    if (!v.complete) return;
    std::uint16_t base = v.type & ~kTypeMulti;
    int fs = fixedSize(base);
    std::string what = "property " + hex(id) + " (" + hex(v.type) + ")";
    if (fs > 0) {
        if (v.size % std::uint64_t(fs) != 0)
            s.out.add("prop-value", s.where,
                      what + ": size " + std::to_string(v.size) + " is not a multiple of " +
                          std::to_string(fs));
        return;
    }
    if (v.size == 0) return;
    if (v.size < 4) {
        s.out.add("prop-value", s.where, what + ": multi-valued data shorter than its count");
        return;
    }
    std::uint64_t count = rd32(v.bytes.data());
    if (4 + 4 * count > v.size) {
        s.out.add("prop-value", s.where, what + ": " + std::to_string(count) + " items do not fit");
        return;
    }
    std::uint64_t prev = 4 + 4 * count;
    for (std::uint64_t i = 0; i < count; ++i) {
        std::uint64_t off = rd32(v.bytes.data() + 4 + 4 * i);
        if (off < prev || off > v.size) {
            s.out.add("prop-value", s.where, what + ": item offsets out of range");
            return;
        }
        prev = off;
    }
}

// Resolves an HNID ([MS-PST] 2.3.3.2) holding a variable-size value.
bool resolveHnid(NodeScope& s, const Heap& heap, std::uint32_t hnid, const std::string& what,
                 Value& v) {
    if (hnid == 0) {  // no value stored: an empty value
        v.size = 0;
        v.nullRef = true;
        return true;
    }
    if ((hnid & 0x1F) == fmt::kNidTypeHid) {
        const std::uint8_t* p = nullptr;
        std::size_t n = 0;
        if (!heap.get(hnid, p, n)) {
            s.out.add("dangling-hid", s.where,
                      what + ": heap item " + hex(hnid) + " does not exist");
            return false;
        }
        v.bytes.assign(p, p + n);
        v.size = n;
        return true;
    }
    auto it = s.subnodes.find(hnid);
    if (it == s.subnodes.end()) {
        s.out.add("dangling-subnode", s.where, what + ": subnode " + hex(hnid) + " does not exist");
        return false;
    }
    v.subnode = hnid;
    auto size = s.ndb.dataSize(it->second.bidData, s.where + " subnode " + hex(hnid));
    if (!size) return false;
    v.size = *size;
    if (v.size <= s.valueReadLimit) {
        BlockList blocks;
        if (!s.ndb.readData(it->second.bidData, s.where, blocks)) return false;
        v.bytes.clear();
        for (auto& b : blocks) v.bytes.insert(v.bytes.end(), b.begin(), b.end());
    } else {
        v.complete = false;
    }
    return true;
}

// Fills `v` from a 4-byte PC field or a TC cell of `cb` bytes at `p`.
bool readValue(NodeScope& s, const Heap& heap, std::uint16_t id, std::uint16_t type,
               const std::uint8_t* p, unsigned cb, bool inTable, Value& v) {
    std::string what = "property " + hex(id) + " (" + hex(type) + ")";
    v = Value{};
    v.type = type;
    int fs = fixedSize(type);
    if (fs < 0) {
        s.out.add("prop-type", s.where, what + ": unknown property type");
        return false;
    }
    // Inline: up to 4 bytes in a PC, up to 8 bytes in a TC ([MS-PST] 2.3.3.3, 2.3.4.4.2).
    if (fs > 0 && (fs <= 4 || (inTable && fs <= 8))) {
        std::uint64_t raw = 0;
        for (unsigned i = 0; i < cb && i < 8; ++i) raw |= std::uint64_t(p[i]) << (8 * i);
        v.num = fs >= 8 ? raw : raw & ((std::uint64_t(1) << (8 * fs)) - 1);
        v.size = unsigned(fs);
        return true;
    }
    std::uint32_t hnid = rd32(p);
    if (fs > 0) {  // 8-byte values in a PC, GUIDs: a heap item of exactly that size
        const std::uint8_t* d = nullptr;
        std::size_t n = 0;
        if (!heap.get(hnid, d, n) || n != std::size_t(fs)) {
            s.out.add("dangling-hid", s.where,
                      what + ": heap item " + hex(hnid) + " missing or not " + std::to_string(fs) +
                          " bytes");
            return false;
        }
        v.bytes.assign(d, d + n);
        v.size = n;
        if (fs == 8) v.num = rd64(d);
        return true;
    }
    if (type == kTypeObject && !inTable) {
        // [MS-PST] 2.3.3.5: the heap item holds the subnode id and the object size.
        const std::uint8_t* d = nullptr;
        std::size_t n = 0;
        if (!heap.get(hnid, d, n) || n != 8) {
            s.out.add("dangling-hid", s.where, what + ": object reference does not resolve");
            return false;
        }
        v.subnode = rd32(d);
        v.size = rd32(d + 4);
        v.complete = false;
        if (s.subnodes.find(v.subnode) == s.subnodes.end()) {
            s.out.add("dangling-subnode", s.where,
                      what + ": object subnode " + hex(v.subnode) + " does not exist");
            return false;
        }
        return true;
    }
    if (!resolveHnid(s, heap, hnid, what, v)) return false;
    if (type == kTypeString && v.size % 2 != 0)
        s.out.add("prop-value", s.where,
                  what + ": UTF-16 string of odd length " + std::to_string(v.size));
    if (type & kTypeMulti) checkMultiValue(s, id, v);
    return true;
}

}  // namespace

// ---------------------------------------------------------------------------
// Property context ([MS-PST] 2.3.3)

std::optional<PropMap> readPropertyContext(NodeScope& s, std::uint64_t bidData) {
    Heap heap;
    if (!loadHeap(s, bidData, heap)) return std::nullopt;
    if (heap.clientSig() != fmt::kBTypePC) {
        s.out.add("pc", s.where,
                  "heap client signature " + hex(heap.clientSig()) +
                      ", expected a property context (0xBC)");
        return std::nullopt;
    }
    // Outlook puts the BTH header first (HID 0x20) and makes it the heap's root.
    if (heap.userRoot() != 0x20)
        s.out.addShape("heap-root", s.where,
                       "property context's root is " + hex(heap.userRoot()) +
                           ", not the heap's first allocation 0x20");
    std::vector<std::vector<std::uint8_t>> recs;
    if (!readBth(heap, heap.userRoot(), 2, 6, s.where, s.out, recs)) return std::nullopt;
    PropMap props;
    for (const auto& r : recs) {
        std::uint16_t id = rd16(r.data());
        std::uint16_t type = rd16(r.data() + 2);
        Value v;
        if (readValue(s, heap, id, type, r.data() + 4, 4, false, v)) props[id] = std::move(v);
    }
    return props;
}

// ---------------------------------------------------------------------------
// Table context ([MS-PST] 2.3.4)

std::optional<Table> readTableContext(NodeScope& s, std::uint64_t bidData) {
    Heap heap;
    if (!loadHeap(s, bidData, heap)) return std::nullopt;
    if (heap.clientSig() != fmt::kBTypeTC) {
        s.out.add(
            "tc", s.where,
            "heap client signature " + hex(heap.clientSig()) + ", expected a table context (0x7C)");
        return std::nullopt;
    }
    const std::uint8_t* p = nullptr;
    std::size_t n = 0;
    if (!heap.get(heap.userRoot(), p, n) || n < 22 || p[0] != fmt::kBTypeTC ||
        n != 22 + 8 * std::size_t(p[1])) {
        s.out.add("tc", s.where, "TCINFO does not resolve or has the wrong size");
        return std::nullopt;
    }
    Table t;
    const unsigned cCols = p[1];
    const std::uint16_t rgib[4] = {rd16(p + 2), rd16(p + 4), rd16(p + 6), rd16(p + 8)};
    const std::uint32_t hidRowIndex = rd32(p + 10), hnidRows = rd32(p + 14);
    // Outlook's order: the row index's BTH header first (0x20), the TCINFO next
    // (0x40, the heap's root).
    if (hidRowIndex != 0x20 || heap.userRoot() != 0x40)
        s.out.addShape("heap-root", s.where,
                       "table's row index header is at " + hex(hidRowIndex) +
                           " and its TCINFO at " + hex(heap.userRoot()) + ", not at 0x20 and 0x40");
    if (rd32(p + 18) != 0) s.out.add("tc", s.where, "deprecated hidIndex is not zero");
    const unsigned cebSize = (cCols + 7) / 8;
    if (!(rgib[0] >= 8 && rgib[0] <= rgib[1] && rgib[1] <= rgib[2] &&
          rgib[2] + cebSize == rgib[3])) {
        s.out.add("tc", s.where, "row layout offsets (rgib) are inconsistent");
        return std::nullopt;
    }
    const unsigned rowSize = rgib[3];
    std::set<unsigned> bits;
    for (unsigned i = 0; i < cCols; ++i) {
        const std::uint8_t* c = p + 22 + 8 * i;
        Column col{rd32(c), rd16(c + 4), c[6], c[7]};
        std::string what = "column " + hex(col.tag);
        if (!t.columns.empty() && col.tag <= t.columns.back().tag)
            s.out.add("tc", s.where, what + ": columns not sorted by tag");
        int fs = fixedSize(std::uint16_t(col.tag));
        unsigned want = fs < 0 ? 0 : (fs == 0 || fs > 8 ? 4 : unsigned(fs));
        std::uint16_t lo = 0, hi = rgib[0];
        if (col.cbData == 2) lo = rgib[0], hi = rgib[1];
        if (col.cbData == 1) lo = rgib[1], hi = rgib[2];
        if (fs < 0 || col.cbData != want || col.ibData < lo || col.ibData + col.cbData > hi ||
            col.iBit >= cebSize * 8 || !bits.insert(col.iBit).second) {
            s.out.add("tc", s.where,
                      what + ": bad column placement (ibData " + std::to_string(col.ibData) +
                          ", cbData " + std::to_string(col.cbData) + ", iBit " +
                          std::to_string(col.iBit) + ")");
            return std::nullopt;
        }
        if ((col.tag == 0x67F20003 && (col.ibData != 0 || col.iBit != 0)) ||
            (col.tag == 0x67F30003 && (col.ibData != 4 || col.iBit != 1)))
            s.out.add("tc", s.where, what + ": row id/version column out of its fixed place");
        t.columns.push_back(col);
    }

    std::vector<std::vector<std::uint8_t>> index;
    if (!readBth(heap, hidRowIndex, 4, 4, s.where, s.out, index)) return std::nullopt;

    // The row matrix: in the heap or in a subnode whose blocks hold whole rows.
    std::vector<const std::uint8_t*> rows;
    BlockList matrixBlocks;
    std::vector<std::uint8_t> heapMatrix;
    if (hnidRows != 0) {
        if ((hnidRows & 0x1F) == fmt::kNidTypeHid) {
            const std::uint8_t* d = nullptr;
            std::size_t dn = 0;
            if (!heap.get(hnidRows, d, dn)) {
                s.out.add("dangling-hid", s.where,
                          "row matrix " + hex(hnidRows) + " does not exist");
                return std::nullopt;
            }
            heapMatrix.assign(d, d + dn);
            if (dn % rowSize != 0)
                s.out.add("tc", s.where, "row matrix is not a whole number of rows");
            for (std::size_t off = 0; off + rowSize <= dn; off += rowSize)
                rows.push_back(heapMatrix.data() + off);
        } else {
            auto it = s.subnodes.find(hnidRows);
            if (it == s.subnodes.end()) {
                s.out.add("dangling-subnode", s.where,
                          "row matrix subnode " + hex(hnidRows) + " does not exist");
                return std::nullopt;
            }
            if (!s.ndb.readData(it->second.bidData, s.where, matrixBlocks, 256ull << 20))
                return std::nullopt;
            const std::size_t perBlock = fmt::kMaxBlockData / rowSize;
            for (std::size_t bi = 0; bi < matrixBlocks.size(); ++bi) {
                const auto& b = matrixBlocks[bi];
                bool last = bi + 1 == matrixBlocks.size();
                std::size_t count = b.size() / rowSize;
                if (!last && count < perBlock)
                    s.out.add("tc", s.where,
                              "row matrix block " + std::to_string(bi) +
                                  " is not full although more follow");
                if (last && b.size() % rowSize != 0)
                    s.out.add("tc", s.where, "row matrix ends with a partial row");
                count = std::min(count, perBlock);
                for (std::size_t r = 0; r < count; ++r) rows.push_back(b.data() + r * rowSize);
            }
        }
    }
    if (index.size() != rows.size()) {
        s.out.add("tc", s.where,
                  "row index lists " + std::to_string(index.size()) + " rows, row matrix holds " +
                      std::to_string(rows.size()));
    }
    std::vector<bool> used(rows.size(), false);
    for (const auto& rec : index) {
        std::uint32_t rowId = rd32(rec.data());
        std::uint32_t at = rd32(rec.data() + 4);
        if (at >= rows.size() || used[at]) {
            s.out.add("tc", s.where,
                      "row index entry " + hex(rowId) + " points at row " + std::to_string(at) +
                          ", which is missing or taken");
            continue;
        }
        used[at] = true;
        const std::uint8_t* row = rows[at];
        if (rd32(row) != rowId)
            s.out.add("tc", s.where,
                      "row " + std::to_string(at) + " holds id " + hex(rd32(row)) +
                          ", row index says " + hex(rowId));
        Row out;
        out.rowId = rowId;
        const std::uint8_t* ceb = row + rgib[2];
        for (const auto& col : t.columns) {
            bool exists = (ceb[col.iBit / 8] >> (7 - col.iBit % 8)) & 1;
            if (!exists) continue;
            Value v;
            if (readValue(s, heap, std::uint16_t(col.tag >> 16), std::uint16_t(col.tag),
                          row + col.ibData, col.cbData, true, v))
                out.cells[col.tag] = std::move(v);
        }
        t.rows.push_back(std::move(out));
    }
    return t;
}

}  // namespace tp::pst::check
