// The checks, in the order they run:
//  1. header: signature, version, both CRCs, fixed fields, ibFileEof;
//  2. NBT and BBT: page trailers, signatures, CRCs, levels, key order;
//  3. every block: trailer, signature, CRC, internal block shape;
//  4. references: every BID named resolves, cRef = references + 1;
//  5. allocation: map pages at their places, no overlaps, AMap bits equal to
//     what is allocated, DList and cbAMapFree equal to the AMaps;
//  6. nodes: data and subnode trees resolve; PCs and TCs parse;
//  7. messaging: the minimum store of [MS-PST] 2.7, folder tables against the
//     folders' children and counts, contents rows against messages, message
//     and attachment objects, parent links.
// With shape findings asked for, also where the store differs from the shape a
// current Outlook gives its stores: heaps in Outlook's order, no present value
// or cell referring to HID 0 beyond Outlook's own empty values, Outlook's
// internal nodes and no others, each table's columns as Outlook's template for
// its kind, conversation indexes and message sizes as Outlook computes them.
#include "pst/check/checker.h"

#include <algorithm>
#include <map>
#include <memory>
#include <set>

#include "pst/ltp/reader.h"
#include "pst/messaging/columns.h"
#include "pst/messaging/names.h"
#include "pst/messaging/tags.h"
#include "pst/ndb/crc.h"
#include "pst/ndb/format.h"
#include "pst/ndb/reader.h"
#include "pst/pst.h"

namespace tp::pst::check {

namespace fmt = tp::pst::ndb;
using namespace tp::pst::tags;

namespace {

constexpr std::uint32_t kMsgFlagRead = 0x01;
constexpr std::uint32_t kMsgFlagHasAttach = 0x10;
constexpr std::uint32_t kSubnodeAttachmentTable = 0x671;
constexpr std::uint32_t kSubnodeRecipientTable = 0x692;

std::string nodeWhere(std::uint32_t nid) {
    return "node " + hex(nid);
}

bool isDefault(const Value& v) {
    return v.size == 0 || (fixedSize(v.type) > 0 && fixedSize(v.type) <= 8 && v.num == 0);
}

bool isTemplate(std::uint32_t nid) {
    return nid == fmt::kNidHierarchyTableTemplate || nid == fmt::kNidContentsTableTemplate ||
           nid == fmt::kNidAssocContentsTableTemplate ||
           nid == fmt::kNidSearchContentsTableTemplate || nid == fmt::kNidAttachmentTable ||
           nid == fmt::kNidRecipientTable;
}

const Value* prop(const PropMap& m, std::uint16_t id, std::uint16_t type) {
    auto it = m.find(id);
    return it != m.end() && it->second.type == type ? &it->second : nullptr;
}
const Value* prop(const PropMap& m, std::uint32_t tag) {
    return prop(m, tagId(tag), std::uint16_t(tagType(tag)));
}

// Table kinds, for the comparison with Outlook's templates.
enum class TableKind { Hierarchy, Contents, Fai, SearchContents, Recipients, Attachments, Exact };

// A named property as the name-to-id map defines it.
struct NameKey {
    std::array<std::uint8_t, 16> guid{};
    std::uint32_t lid = 0;
    std::vector<std::uint8_t> name;  // UTF-16LE; empty for a numeric name
    bool operator==(const NameKey& o) const {
        return guid == o.guid && lid == o.lid && name == o.name;
    }
};

std::vector<std::uint32_t> unite(std::initializer_list<const std::vector<std::uint32_t>*> lists) {
    std::vector<std::uint32_t> out;
    for (const auto* l : lists)
        for (std::uint32_t t : *l)
            if (std::find(out.begin(), out.end(), t) == out.end()) out.push_back(t);
    return out;
}

// Empty values Outlook itself writes as HID 0: the root folder's name, the
// receive-folder table's default message class and an attachment's empty
// PidTagAttachEncoding (ours: the data of an empty attachment, the same form).
const std::set<std::uint32_t> kNoEmpty;
const std::set<std::uint32_t> kRootEmpty = {PidTagDisplayName};
const std::set<std::uint32_t> kReceiveEmpty = {PidTagMessageClass};
// An attachment's data (PidTagAttachDataBinary, PidTagAttachDataObject) is never
// HID 0, also when empty: a strict reader takes that for an attachment without data.
const std::set<std::uint32_t> kAttachmentEmpty = {PidTagAttachEncoding};

// Internal nodes (below 0x8000) a current Outlook's stores hold; 0x2A1, 0x62B,
// 0xC01 and 0xE41 beyond [MS-PST] 2.7.1 are in every one of them (0xE01 too,
// but its contents are Outlook's own and undescribed).
const std::set<std::uint32_t> kOutlookInternal = {
    0x21,  0x61,  0x122, 0x12D, 0x12E, 0x12F,  0x1E1,  0x201,  0x261, 0x281, 0x2A1,
    0x321, 0x501, 0x60D, 0x60E, 0x60F, 0x610,  0x62B,  0x64C,  0x671, 0x692, 0x6B6,
    0x6D7, 0x6F8, 0xC01, 0xE01, 0xE41, 0x2223, 0x2226, 0x2227, 0x2230};
const std::uint32_t kOutlookExpected[] = {0x2A1, 0x62B, 0xC01, 0xE41};

struct FolderInfo {
    PropMap props;
    std::unique_ptr<Table> hierarchy;
    std::uint32_t contentsNid = 0, assocNid = 0;  // read folder by folder, then dropped
    std::uint32_t parent = 0;
    std::set<std::uint32_t> childFolders, messages, assocMessages;
};

class Checker {
  public:
    Checker(const FileSource& file, Report& report, const CheckOptions& options)
        : file_(file), report_(report), out_(report.findings), ndb_(file, out_), opt_(options) {}

    void run();

  private:
    void checkAllocation();
    void checkMapPage(std::uint64_t ib, std::uint8_t ptype, std::vector<std::uint8_t>* bits);
    void checkNodes();
    void checkStoreObjects();
    void checkFolders();
    void checkMessages();
    bool checkFolderMessage(const NodeEntry& n, const Table* table, const Row* row = nullptr);
    void checkMessageObject(const std::string& where, const PropMap& props, const SubnodeMap& subs,
                            int depth);
    void compareRow(const std::string& where, const Row& row, const Table& table,
                    const PropMap& child, const std::set<std::uint32_t>& skip,
                    bool emptyRowIsShape = false);
    void checkTemplateColumns(const std::string& where, const Table& t, TableKind kind,
                              const std::vector<std::uint32_t>* exact = nullptr);
    std::uint32_t canonicalTag(std::uint32_t tag) const;
    void checkEmptyRefs(const std::string& where, const PropMap& props,
                        const std::set<std::uint32_t>& allowed);
    void checkEmptyCells(const std::string& where, const Table& t,
                         const std::set<std::uint32_t>& allowed);
    std::optional<PropMap> readPc(const NodeEntry& n, SubnodeMap& subs);
    std::optional<Table> readTc(const NodeEntry& n);
    std::optional<std::uint32_t> entryIdNid(const PropMap& store, std::uint32_t tag);
    void dump(const std::string& line) {
        if (opt_.dump) opt_.dump(line);
    }
    void dumpProps(const std::string& where, const PropMap& m);

    const FileSource& file_;
    Report& report_;
    Findings& out_;
    NdbReader ndb_;
    const CheckOptions& opt_;
    std::map<std::uint32_t, FolderInfo> folders_;
    std::map<std::uint32_t, std::unique_ptr<Table>> templates_;
    int embeddedBudget_ = 0;            // embedded messages one message may still open
    std::set<std::uint16_t> namedIds_;  // property ids the name-to-id map defines
    std::map<std::uint16_t, NameKey> names_;
    bool namedMapRead_ = false;
    std::map<std::uint32_t, PropMap> searchFolders_;
    void checkNamedIds(const std::string& where, const PropMap& props);
};

void Checker::run() {
    std::string fatal;
    if (!ndb_.readHeader(fatal)) {
        report_.fatal = fatal;
        return;
    }
    if (file_.size() < fmt::kFirstAMapOffset + fmt::kPageSize) {
        report_.fatal = "file too short to hold an allocation map";
        return;
    }
    report_.readable = true;
    out_.askShape(opt_.shape);
    ndb_.readTrees();
    ndb_.verifyBlocks();
    ndb_.checkReferences();
    report_.nodes = ndb_.nodes().size();
    report_.blocks = ndb_.blocks().size();
    checkAllocation();
    checkNodes();
    checkStoreObjects();
    checkFolders();
    checkMessages();
}

// ---------------------------------------------------------------------------
// Allocation maps ([MS-PST] 2.2.2.7.2 - 2.2.2.7.6, 2.6.1.1.2)

// Map pages follow each other right after the AMap page they travel with:
// a PMap every 8 AMaps; an FMap at AMap 128 (the header covers the first 128)
// and every 496 AMaps after; an FPMap at AMap 8192 (the header covers the
// first 1024 PMaps, 2 GB) and every 496 * 8 * 8 AMaps after, placed after the
// slot an FMap would take, as established writers place it.
struct MapLayout {
    static bool hasPMap(std::uint64_t i) { return i % 8 == 0; }
    static bool hasFMap(std::uint64_t i) { return i >= 128 && (i - 128) % 496 == 0; }
    static bool hasFPMap(std::uint64_t i) { return i >= 8192 && (i - 8192) % (496 * 64) == 0; }
    static std::uint64_t amap(std::uint64_t i) {
        return fmt::kFirstAMapOffset + i * fmt::kAMapCoverage;
    }
};

void Checker::checkMapPage(std::uint64_t ib, std::uint8_t ptype, std::vector<std::uint8_t>* bits) {
    const std::string where = (ptype == fmt::kPtypeAMap   ? "AMap at "
                               : ptype == fmt::kPtypePMap ? "PMap at "
                               : ptype == fmt::kPtypeFMap ? "FMap at "
                                                          : "FPMap at ") +
                              hex(ib);
    std::uint8_t p[512];
    if (!file_.read(ib, p, sizeof p)) {
        out_.add("map-page", where, "map page beyond the end of the file");
        return;
    }
    const std::uint8_t* t = p + 496;
    if (t[0] != ptype || t[1] != ptype || rd16(t + 2) != 0 || rd64(t + 8) != ib) {
        out_.add("map-page", where,
                 "trailer does not describe this map page (type " + hex(t[0]) + ", id " +
                     hex(rd64(t + 8)) + ")");
        return;
    }
    std::uint32_t crc = fmt::crc32(p, 496);
    if (crc != rd32(t + 4)) {
        out_.add("page-crc", where, "dwCRC " + hex(rd32(t + 4)) + ", computed " + hex(crc));
        return;
    }
    if (bits) bits->assign(p, p + 496);
}

void Checker::checkAllocation() {
    const std::uint64_t eof = file_.size();
    const std::uint64_t cov = fmt::kAMapCoverage;
    const std::uint64_t count = (eof - fmt::kFirstAMapOffset + cov - 1) / cov;
    if ((eof - fmt::kFirstAMapOffset) % cov != 0)
        out_.add("file-size", "file",
                 "size " + std::to_string(eof) + " is not a whole number of AMap intervals");
    if (ndb_.header().amapLast != MapLayout::amap(count - 1))
        out_.add("header-field", "header",
                 "ibAMapLast is " + hex(ndb_.header().amapLast) + ", the last AMap is at " +
                     hex(MapLayout::amap(count - 1)));
    // The expected map: one bit per 64 bytes from the first AMap on.
    std::vector<std::uint8_t> want(count * 496, 0);
    const std::uint64_t units = (eof - fmt::kFirstAMapOffset) / 64;
    auto mark = [&](std::uint64_t ib, std::uint64_t size, const std::string& what) {
        if (ib < fmt::kFirstAMapOffset || ib % 64 != 0) return;
        std::uint64_t u0 = (ib - fmt::kFirstAMapOffset) / 64;
        std::uint64_t n = (size + 63) / 64;
        bool overlap = false;
        for (std::uint64_t u = u0; u < u0 + n && u < units; ++u) {
            std::uint8_t& byte = want[u / 8];
            std::uint8_t bit = std::uint8_t(0x80 >> (u % 8));
            if (byte & bit) overlap = true;
            byte |= bit;
        }
        if (overlap) out_.add("overlap", what, "allocation overlaps another");
    };
    for (std::uint64_t i = 0; i < count; ++i) {
        std::uint64_t at = MapLayout::amap(i);
        mark(at, 512, "AMap at " + hex(at));
        if (MapLayout::hasPMap(i)) mark(at + 512, 512, "PMap at " + hex(at + 512));
        if (MapLayout::hasFMap(i)) mark(at + 1024, 512, "FMap at " + hex(at + 1024));
        if (MapLayout::hasFPMap(i)) mark(at + 1536, 512, "FPMap at " + hex(at + 1536));
    }
    for (std::uint64_t ib : ndb_.btreePages()) mark(ib, 512, "page at " + hex(ib));
    for (const auto& b : ndb_.blocks())
        if (b.cb <= fmt::kMaxBlockData)
            mark(b.ib, (std::uint64_t(b.cb) + 16 + 63) & ~63ull,
                 "block " + hex(b.bid) + " at " + hex(b.ib));

    // Space the AMap marks as allocated but nothing uses is lost to the store,
    // except pages the PMap holds in reserve: Outlook reserves pages from the
    // AMap eight at a time and marks the unused ones with a 0 bit in the PMap
    // (cbPMapFree counts them). Outlook's own stores show such reserves.
    std::uint64_t totalFree = 0, pmapFree = 0;
    std::vector<std::uint32_t> freeSlots(count, 0);
    std::vector<std::uint8_t> bits, pbits;
    for (std::uint64_t i = 0; i < count; ++i) {
        std::uint64_t at = MapLayout::amap(i);
        bits.clear();
        checkMapPage(at, fmt::kPtypeAMap, &bits);
        if (MapLayout::hasPMap(i)) {
            pbits.clear();
            checkMapPage(at + 512, fmt::kPtypePMap, &pbits);
        }
        if (MapLayout::hasFMap(i)) checkMapPage(at + 1024, fmt::kPtypeFMap, nullptr);
        if (MapLayout::hasFPMap(i)) checkMapPage(at + 1536, fmt::kPtypeFPMap, nullptr);
        if (bits.size() != 496) continue;
        const std::uint64_t groupStart = MapLayout::amap(i - i % 8);
        auto reserved = [&](std::uint64_t ib) {
            std::uint64_t page = (ib - groupStart) / 512;
            return pbits.size() == 496 && !((pbits[page / 8] >> (7 - page % 8)) & 1);
        };
        std::uint64_t missing = 0, leaked = 0, misused = 0;
        std::uint64_t firstMissing = 0, firstLeak = 0, firstMisused = 0;
        for (std::uint64_t k = 0; k < 496 * 8; ++k) {
            std::uint64_t u = i * 496 * 8 + k;
            std::uint64_t ib = at + k * 64;
            bool have = (bits[k / 8] >> (7 - k % 8)) & 1;
            if (!have) ++freeSlots[i];
            if (u >= units) continue;
            bool need = (want[u / 8] >> (7 - u % 8)) & 1;
            bool spare = reserved(ib);
            // An FPMap takes the slot after the FMap's; in an interval without an
            // FMap that slot is a gap a writer may keep or use either way.
            if (MapLayout::hasFPMap(i) && !MapLayout::hasFMap(i) && ib >= at + 1024 &&
                ib < at + 1536 && !need)
                continue;
            if (spare && ib % 512 == 0) ++pmapFree;
            if (need && !have && missing++ == 0) firstMissing = ib;
            if (!need && have && !spare && leaked++ == 0) firstLeak = ib;
            if (spare && (need || !have) && misused++ == 0) firstMisused = ib;
        }
        totalFree += freeSlots[i];
        if (missing)
            out_.add("amap-missing", "AMap at " + hex(at),
                     std::to_string(missing) + " allocated 64-byte units marked free, first at " +
                         hex(firstMissing));
        if (leaked)
            out_.add("amap-leak", "AMap at " + hex(at),
                     std::to_string(leaked) + " free 64-byte units marked allocated, first at " +
                         hex(firstLeak));
        if (misused)
            out_.add("pmap", "PMap at " + hex(groupStart + 512),
                     "a page held in reserve is in use or not reserved in the AMap, first at " +
                         hex(firstMisused));
    }
    if (ndb_.header().amapFree != totalFree * 64)
        out_.add("amap-free", "header",
                 "cbAMapFree is " + std::to_string(ndb_.header().amapFree) + ", the AMaps hold " +
                     std::to_string(totalFree * 64) + " free bytes");
    if (ndb_.header().pmapFree != pmapFree * 512)
        out_.add("pmap-free", "header",
                 "cbPMapFree is " + std::to_string(ndb_.header().pmapFree) + ", the PMaps hold " +
                     std::to_string(pmapFree * 512) + " reserved bytes");

    // The density list ([MS-PST] 2.2.2.7.4) is optional and may be overwritten
    // at any time; Outlook writes an empty one or none. When one is there with a
    // valid CRC, each of its entries must match its AMap.
    std::uint8_t d[512];
    const std::string where = "DList at " + hex(fmt::kDListOffset);
    if (!file_.read(fmt::kDListOffset, d, sizeof d)) return;
    const std::uint8_t* t = d + 496;
    std::uint64_t bid = rd64(t + 8);
    if (t[0] != fmt::kPtypeDL || t[1] != fmt::kPtypeDL ||
        rd16(t + 2) != blockSignature(fmt::kDListOffset, bid) || fmt::crc32(d, 496) != rd32(t + 4))
        return;
    unsigned cEnt = d[1];
    if (cEnt > 476 / 4) {
        out_.add("dlist", where, std::to_string(cEnt) + " entries do not fit the page");
        return;
    }
    if (cEnt > 0 && rd32(d + 4) >= count)
        out_.add("dlist", where, "ulCurrentPage " + std::to_string(rd32(d + 4)) + " out of range");
    std::set<std::uint32_t> listed;
    std::uint32_t prevFree = ~0u;
    for (unsigned i = 0; i < cEnt; ++i) {
        std::uint32_t e = rd32(d + 8 + 4 * i);
        std::uint32_t page = e & 0xFFFFF, slots = e >> 20;
        if (page >= count || !listed.insert(page).second) {
            out_.add("dlist", where,
                     "entry " + std::to_string(i) + " names AMap " + std::to_string(page) +
                         " (missing or twice)");
            continue;
        }
        if (slots != freeSlots[page])
            out_.add("dlist", where,
                     "AMap " + std::to_string(page) + " listed with " + std::to_string(slots) +
                         " free slots, has " + std::to_string(freeSlots[page]));
        if (slots > prevFree)
            out_.add("dlist", where, "entries not in order of descending free space");
        prevFree = slots;
    }
}

// ---------------------------------------------------------------------------
// Nodes

std::optional<PropMap> Checker::readPc(const NodeEntry& n, SubnodeMap& subs) {
    const std::string where = nodeWhere(n.nid);
    if (!ndb_.readSubnodes(n.bidSub, where, subs)) return std::nullopt;
    NodeScope scope{ndb_, out_, where, subs};
    return readPropertyContext(scope, n.bidData);
}

std::optional<Table> Checker::readTc(const NodeEntry& n) {
    const std::string where = nodeWhere(n.nid);
    SubnodeMap subs;
    if (!ndb_.readSubnodes(n.bidSub, where, subs)) return std::nullopt;
    NodeScope scope{ndb_, out_, where, subs};
    return readTableContext(scope, n.bidData);
}

void Checker::dumpProps(const std::string& where, const PropMap& m) {
    if (!opt_.dump) return;
    for (const auto& [id, v] : m)
        dump("  " + where + " " + hex((std::uint32_t(id) << 16) | v.type) + " = " + describe(v));
}

void Checker::checkNodes() {
    for (const auto& n : ndb_.nodes()) {
        const std::string where = nodeWhere(n.nid);
        std::uint8_t type = fmt::nidType(n.nid);
        dump(where + " parent " + hex(n.nidParent) + " data " + hex(n.bidData) + " sub " +
             hex(n.bidSub));
        // Every node's data and subnodes must resolve, whatever the node holds.
        if (n.bidData != 0 && !ndb_.dataSize(n.bidData, where)) continue;
        SubnodeMap subs;
        if (!ndb_.readSubnodes(n.bidSub, where, subs)) continue;
        for (const auto& [snid, s] : subs) {
            std::string sw = where + " subnode " + hex(snid);
            ndb_.dataSize(s.bidData, sw);
            SubnodeMap inner;
            ndb_.readSubnodes(s.bidSub, sw, inner);
        }
        // Only folders and messages have a parent ([MS-PST] 2.2.2.7.7.4).
        if (type != fmt::kNidTypeNormalFolder && type != fmt::kNidTypeSearchFolder &&
            type != fmt::kNidTypeNormalMessage && type != fmt::kNidTypeAssocMessage &&
            n.nidParent != 0)
            out_.add("parent", where, "node has parent " + hex(n.nidParent) + ", expected none");
        // The rgnid counters of the header lie above every node id in use.
        if (type != fmt::kNidTypeInternal && fmt::nidIndex(n.nid) > ndb_.header().rgnid[type])
            out_.add("nid-counter", where,
                     "node index above the header's counter " + hex(ndb_.header().rgnid[type]) +
                         " for its type");
        switch (type) {
            case fmt::kNidTypeNormalFolder: {
                auto props = readPc(n, subs);
                if (!props) break;
                dumpProps(where, *props);
                checkEmptyRefs(where, *props, n.nid == fmt::kNidRootFolder ? kRootEmpty : kNoEmpty);
                FolderInfo& f = folders_[n.nid];
                f.props = std::move(*props);
                f.parent = n.nidParent;
                break;
            }
            case fmt::kNidTypeSearchFolder: {
                if (auto props = readPc(n, subs)) {
                    checkEmptyRefs(where, *props, kNoEmpty);
                    searchFolders_[n.nid] = std::move(*props);
                }
                break;
            }
            case fmt::kNidTypeHierarchyTable:
            case fmt::kNidTypeContentsTable:
            case fmt::kNidTypeAssocContentsTable:
            case fmt::kNidTypeSearchContentsTable:
            case fmt::kNidTypeAttachmentTable:
            case fmt::kNidTypeRecipientTable: {
                std::uint32_t folder = (n.nid & ~0x1Fu) | fmt::kNidTypeNormalFolder;
                // Contents tables can be large: they are read with their messages.
                if (!isTemplate(n.nid) && type == fmt::kNidTypeContentsTable) {
                    folders_[folder].contentsNid = n.nid;
                    break;
                }
                if (!isTemplate(n.nid) && type == fmt::kNidTypeAssocContentsTable) {
                    folders_[folder].assocNid = n.nid;
                    break;
                }
                auto t = readTc(n);
                if (!t) break;
                if (opt_.dump)
                    for (const auto& c : t->columns) dump("  " + where + " column " + hex(c.tag));
                dump("  " + where + " rows " + std::to_string(t->rows.size()));
                if (type != fmt::kNidTypeHierarchyTable) checkEmptyCells(where, *t, kNoEmpty);
                if (type == fmt::kNidTypeSearchContentsTable && !isTemplate(n.nid))
                    checkTemplateColumns(where, *t, TableKind::SearchContents);
                auto table = std::make_unique<Table>(std::move(*t));
                if (isTemplate(n.nid)) {
                    templates_[n.nid] = std::move(table);
                } else if (type == fmt::kNidTypeHierarchyTable) {
                    folders_[folder].hierarchy = std::move(table);
                }
                break;
            }
            case fmt::kNidTypeInternal:
                if (n.nid == fmt::kNidMessageStore || n.nid == fmt::kNidNameToIdMap) {
                    if (auto props = readPc(n, subs)) {
                        dumpProps(where, *props);
                        checkEmptyRefs(where, *props, kNoEmpty);
                    }
                }
                break;
            case fmt::kNidTypeReceiveFolderTable:
                if (auto t = readTc(n)) {
                    checkEmptyCells(where, *t, kReceiveEmpty);
                    if (n.nid == fmt::kNidReceiveFolderTable)
                        checkTemplateColumns(where, *t, TableKind::Exact,
                                             &tp::pst::messaging::kReceiveFolderColumns);
                }
                break;
            default:
                break;
        }
    }
}

// ---------------------------------------------------------------------------
// The minimum store ([MS-PST] 2.7)

std::optional<std::uint32_t> Checker::entryIdNid(const PropMap& store, std::uint32_t tag) {
    const std::uint16_t id = tagId(tag);
    const Value* v = prop(store, tag);
    const Value* key = prop(store, PidTagRecordKey);
    if (!v || !v->complete || v->bytes.size() != 24 || !key || !key->complete) {
        out_.add("store-props", nodeWhere(fmt::kNidMessageStore),
                 "entry id " + hex(id) + " missing or not 24 bytes");
        return std::nullopt;
    }
    // [MS-PST] 2.4.3.2: four zero flag bytes, the store's record key, the NID.
    if (rd32(v->bytes.data()) != 0 ||
        !std::equal(key->bytes.begin(), key->bytes.end(), v->bytes.begin() + 4))
        out_.add("store-props", nodeWhere(fmt::kNidMessageStore),
                 "entry id " + hex(id) + " does not carry the store's record key");
    return rd32(v->bytes.data() + 20);
}

void Checker::checkStoreObjects() {
    // Mandatory nodes ([MS-PST] 2.7.1).
    static const std::uint32_t kMandatory[] = {
        0x21,   0x61,   0x122,  0x12D,  0x12E,  0x12F,  0x1E1,  0x201,  0x60D,
        0x60E,  0x60F,  0x610,  0x692,  0x671,  0x2223, 0x8022, 0x802D, 0x802E,
        0x802F, 0x8042, 0x804D, 0x804E, 0x804F, 0x8062, 0x806D, 0x806E, 0x806F};
    for (std::uint32_t nid : kMandatory)
        if (!ndb_.findNode(nid))
            out_.add("missing-node", nodeWhere(nid), "mandatory node is missing");

    const NodeEntry* storeNode = ndb_.findNode(fmt::kNidMessageStore);
    if (storeNode) {
        SubnodeMap subs;
        if (auto store = readPc(*storeNode, subs)) {
            const std::string where = nodeWhere(fmt::kNidMessageStore);
            const Value* key = prop(*store, PidTagRecordKey);
            if (!key || key->size != 16)
                out_.add("store-props", where, "PidTagRecordKey missing or not 16 bytes");
            if (!prop(*store, PidTagDisplayName))
                out_.add("store-props", where, "PidTagDisplayName missing");
            for (std::uint32_t tag :
                 {PidTagIpmSubtreeEntryId, PidTagIpmWastebasketEntryId, PidTagFinderEntryId}) {
                auto nid = entryIdNid(*store, tag);
                if (nid && !ndb_.findNode(*nid))
                    out_.add("store-props", where,
                             "entry id " + hex(tagId(tag)) + " names missing node " + hex(*nid));
            }
        }
    }
    // The name-to-id map ([MS-PST] 2.7.3.2, 2.4.7).
    if (const NodeEntry* n = ndb_.findNode(fmt::kNidNameToIdMap)) {
        SubnodeMap subs;
        if (auto map = readPc(*n, subs)) {
            const std::string where = nodeWhere(n->nid);
            const Value* buckets = prop(*map, PidTagNameidBucketCount);
            if (!buckets || buckets->num == 0)
                out_.add("nameid-map", where, "PidTagNameidBucketCount missing or zero");
            const Value* guids = prop(*map, PidTagNameidStreamGuid);
            const Value* entries = prop(*map, PidTagNameidStreamEntry);
            const Value* strings = prop(*map, PidTagNameidStreamString);
            if (guids && guids->size % 16 != 0)
                out_.add("nameid-map", where, "GUID stream is not a whole number of GUIDs");
            if (entries && entries->complete) {
                if (entries->size % 8 != 0)
                    out_.add("nameid-map", where, "entry stream is not a whole number of entries");
                std::uint64_t nGuids = guids ? guids->size / 16 : 0;
                for (std::size_t off = 0; off + 8 <= entries->bytes.size(); off += 8) {
                    std::uint32_t id = rd32(entries->bytes.data() + off);
                    std::uint16_t g = rd16(entries->bytes.data() + off + 4);
                    bool isString = g & 1;
                    std::uint16_t guidIndex = g >> 1;
                    std::uint16_t named =
                        std::uint16_t(0x8000 + rd16(entries->bytes.data() + off + 6));
                    namedIds_.insert(named);
                    namedMapRead_ = true;
                    NameKey key;
                    if (guidIndex == 1 || guidIndex == 2) {
                        key.guid = {0x28, 0x03, 0x02, 0, 0, 0, 0, 0, 0xC0, 0, 0, 0, 0, 0, 0, 0x46};
                        key.guid[0] = std::uint8_t(guidIndex == 1 ? 0x28 : 0x29);
                    } else if (guidIndex > 2 && guidIndex - 3u < nGuids && guids->complete) {
                        std::copy_n(guids->bytes.begin() + 16 * (guidIndex - 3), 16,
                                    key.guid.begin());
                    }
                    if (!isString) {
                        key.lid = id;
                    } else if (strings && strings->complete &&
                               std::uint64_t(id) + 4 <= strings->size &&
                               std::uint64_t(id) + 4 + rd32(strings->bytes.data() + id) <=
                                   strings->size) {
                        auto at = strings->bytes.begin() + id + 4;
                        key.name.assign(at, at + rd32(strings->bytes.data() + id));
                    }
                    names_[named] = std::move(key);
                    if (guidIndex > 2 && guidIndex - 3u >= nGuids)
                        out_.add("nameid-map", where,
                                 "entry at " + std::to_string(off) +
                                     " names a GUID beyond the GUID stream");
                    if (isString &&
                        (!strings || !strings->complete || std::uint64_t(id) + 4 > strings->size ||
                         std::uint64_t(id) + 4 + rd32(strings->bytes.data() + id) > strings->size))
                        out_.add("nameid-map", where,
                                 "entry at " + std::to_string(off) +
                                     " names a string beyond the string stream");
                }
            }
        }
    }
    // Templates: no rows ([MS-PST] 2.7.3.3), Outlook's columns.
    namespace msg = tp::pst::messaging;
    struct Tpl {
        std::uint32_t nid;
        const std::vector<std::uint32_t>* cols;
        const char* kind;
    };
    const Tpl tpls[] = {
        {fmt::kNidHierarchyTableTemplate, &msg::kHierarchyColumns, "hierarchy"},
        {fmt::kNidContentsTableTemplate, nullptr, "contents"},
        {fmt::kNidAssocContentsTableTemplate, &msg::kFaiColumns, "FAI contents"},
        {fmt::kNidSearchContentsTableTemplate, &msg::kSearchContentsColumns, "search contents"},
        {fmt::kNidRecipientTable, &msg::kRecipientTemplateColumns, "recipient"},
        {fmt::kNidAttachmentTable, &msg::kAttachmentTemplateColumns, "attachment"}};
    for (const auto& t : tpls) {
        auto it = templates_.find(t.nid);
        if (it == templates_.end()) continue;  // missing node reported above
        if (!it->second->rows.empty())
            out_.add("template", nodeWhere(t.nid), std::string(t.kind) + " template has rows");
        checkTemplateColumns(nodeWhere(t.nid), *it->second,
                             t.cols ? TableKind::Exact : TableKind::Contents, t.cols);
    }
    // Outlook's internal nodes, and none it does not write.
    for (std::uint32_t nid : kOutlookExpected)
        if (!ndb_.findNode(nid))
            out_.addShape("outlook-node", nodeWhere(nid),
                          "node every Outlook store holds is missing");
    for (const auto& n : ndb_.nodes())
        if (fmt::nidIndex(n.nid) < 0x400 && !kOutlookInternal.count(n.nid))
            out_.addShape("outlook-node", nodeWhere(n.nid), "node Outlook's stores do not hold");
}

// A named column's tag with the id Outlook's map gives its name; 0xFFFF for a
// name Outlook's first names do not hold.
std::uint32_t Checker::canonicalTag(std::uint32_t tag) const {
    std::uint16_t id = std::uint16_t(tag >> 16);
    if (id < 0x8000) return tag;
    auto it = names_.find(id);
    if (it != names_.end()) {
        for (std::size_t i = 0; i < tp::pst::messaging::kOutlookNameCount; ++i) {
            const auto& n = tp::pst::messaging::kOutlookNames[i];
            NameKey k;
            k.guid = n.guid;
            if (n.name)
                for (const char* c = n.name; *c; ++c)
                    k.name.insert(k.name.end(), {std::uint8_t(*c), 0});
            else
                k.lid = n.lid;
            if (k == it->second) return (std::uint32_t(0x8000 + i) << 16) | (tag & 0xFFFF);
        }
    }
    return 0xFFFF0000u | (tag & 0xFFFF);
}

// The columns of a table against Outlook's template for its kind: every column
// of the kind's base template, none beyond the largest set Outlook gives that
// kind; a contents table with messages has all of a mail folder's columns.
void Checker::checkTemplateColumns(const std::string& where, const Table& t, TableKind kind,
                                   const std::vector<std::uint32_t>* exact) {
    namespace msg = tp::pst::messaging;
    static const auto hierarchyAll = unite(
        {&msg::kHierarchyColumns, &msg::kIpmHierarchyColumns, &msg::kSearchRootHierarchyColumns});
    // Outlook's own variants: a new store's contents tables go without the change
    // key column (PidTagChangeKey), an embedded message's recipient table without
    // 0x5FE5001F, and an FAI table gains the columns of the messages it holds.
    auto without = [](const std::vector<std::uint32_t>& v, std::uint32_t tag) {
        std::vector<std::uint32_t> out;
        for (std::uint32_t c : v)
            if (c != tag) out.push_back(c);
        return out;
    };
    static const auto contentsBase = without(msg::kContentsTemplateColumns, PidTagChangeKey);
    static const auto contentsFull = without(msg::kContentsColumns, PidTagChangeKey);
    static const auto recipientBase = without(msg::kRecipientColumns, 0x5FE5001F);
    const std::vector<std::uint32_t>* base = exact;
    const std::vector<std::uint32_t>* allowed = exact;
    const char* name = "";
    switch (kind) {
        case TableKind::Hierarchy:
            base = &msg::kHierarchyColumns, allowed = &hierarchyAll, name = "hierarchy";
            break;
        case TableKind::Contents:
            base = t.rows.empty() ? &contentsBase : &contentsFull;
            allowed = &msg::kContentsColumns, name = "contents";
            break;
        case TableKind::Fai:
            base = &msg::kFaiColumns, allowed = nullptr, name = "FAI contents";
            break;
        case TableKind::SearchContents:
            base = allowed = &msg::kSearchContentsColumns, name = "search contents";
            break;
        case TableKind::Recipients:
            // The rows are the recipients themselves: a table may add columns.
            base = &recipientBase, allowed = nullptr, name = "recipient";
            break;
        case TableKind::Attachments:
            base = allowed = &msg::kAttachmentColumns, name = "attachment";
            break;
        case TableKind::Exact:
            name = "fixed";
            break;
    }
    std::set<std::uint32_t> have;
    for (const auto& c : t.columns) have.insert(canonicalTag(c.tag));
    // [MS-PST] lists PidTagReplItemid as an integer; Outlook's tables hold it
    // as binary, as do the templates here.
    std::string lacks, extra;
    for (std::uint32_t tag : *base)
        if (!have.count(tag)) lacks += (lacks.empty() ? "" : " ") + hex(tag);
    if (allowed)
        for (std::uint32_t tag : have)
            if (std::find(allowed->begin(), allowed->end(), tag) == allowed->end())
                extra += (extra.empty() ? "" : " ") + hex(tag);
    if (!lacks.empty())
        out_.addShape("table-template", where,
                      std::string(name) + " table lacks Outlook's columns " + lacks);
    if (!extra.empty())
        out_.addShape("table-template", where,
                      std::string(name) + " table has columns Outlook's template lacks: " + extra);
}

void Checker::checkEmptyRefs(const std::string& where, const PropMap& props,
                             const std::set<std::uint32_t>& allowed) {
    for (const auto& [id, v] : props)
        if (v.nullRef && !allowed.count((std::uint32_t(id) << 16) | v.type))
            out_.addShape("hid-zero", where,
                          "property " + hex((std::uint32_t(id) << 16) | v.type) +
                              " is present but refers to HID 0");
}

void Checker::checkEmptyCells(const std::string& where, const Table& t,
                              const std::set<std::uint32_t>& allowed) {
    for (const auto& row : t.rows)
        for (const auto& [tag, v] : row.cells)
            if (v.nullRef && !allowed.count(tag))
                out_.addShape("hid-zero", where,
                              "row " + hex(row.rowId) + " column " + hex(tag) +
                                  " is present but refers to HID 0");
}

// ---------------------------------------------------------------------------
// Folders ([MS-PST] 2.4.4)

void Checker::compareRow(const std::string& where, const Row& row, const Table& table,
                         const PropMap& child, const std::set<std::uint32_t>& skip,
                         bool emptyRowIsShape) {
    for (const auto& col : table.columns) {
        if (col.tag == PidTagLtpRowId || col.tag == PidTagLtpRowVer || skip.count(col.tag))
            continue;
        std::uint16_t id = std::uint16_t(col.tag >> 16), type = std::uint16_t(col.tag);
        const Value* have = prop(child, id, type);
        auto cell = row.cells.find(col.tag);
        std::string what = "row " + hex(row.rowId) + " column " + hex(col.tag);
        if (have && cell == row.cells.end()) {
            // An older Outlook leaves a search folder's hierarchy row empty.
            if (emptyRowIsShape)
                out_.addShape("row-empty", where,
                              what + " is empty but the object has " + describe(*have));
            else
                out_.add("row-mismatch", where,
                         what + " is empty but the object has " + describe(*have));
        } else if (!have && cell != row.cells.end() && !isDefault(cell->second) &&
                   col.tag != PidTagChangeKey) {
            // Outlook fills some cells with a zero default where the object has
            // no such property (PidTagMessageStatus in its own stores), and keeps
            // a change key in contents rows that its messages do not carry.
            out_.add(
                "row-mismatch", where,
                what + " holds " + describe(cell->second) + " but the object has no such property");
        } else if (have && col.tag == PidTagMessageSize) {
            // Outlook's own store shows a contents row whose size lags its
            // message's by 1.5% (the message was saved again after the row was
            // made); a row within 1/16 of the message's size is accepted.
            std::uint64_t a = have->num, b = cell->second.num;
            if ((a > b ? a - b : b - a) > a / 16)
                out_.add("row-mismatch", where,
                         what + " holds " + describe(cell->second) + ", the object has " +
                             describe(*have));
        } else if (have && !sameValue(*have, cell->second)) {
            out_.add(
                "row-mismatch", where,
                what + " holds " + describe(cell->second) + ", the object has " + describe(*have));
        }
    }
}

void Checker::checkFolders() {
    // Children by parent, from the NBT's parent links.
    for (const auto& n : ndb_.nodes()) {
        std::uint8_t type = fmt::nidType(n.nid);
        if (type != fmt::kNidTypeNormalFolder && type != fmt::kNidTypeSearchFolder &&
            type != fmt::kNidTypeNormalMessage && type != fmt::kNidTypeAssocMessage)
            continue;
        const std::string where = nodeWhere(n.nid);
        if (n.nid == fmt::kNidRootFolder) {
            if (n.nidParent != n.nid)
                out_.add("parent", where,
                         "root folder's parent is " + hex(n.nidParent) + ", not itself");
            continue;
        }
        auto it = folders_.find(n.nidParent);
        if (fmt::nidType(n.nidParent) != fmt::kNidTypeNormalFolder || it == folders_.end() ||
            !ndb_.findNode(n.nidParent)) {
            out_.add("parent", where,
                     "parent " + hex(n.nidParent) + " is not a folder of this store");
            continue;
        }
        if (type == fmt::kNidTypeNormalFolder || type == fmt::kNidTypeSearchFolder)
            it->second.childFolders.insert(n.nid);
        else if (type == fmt::kNidTypeNormalMessage)
            it->second.messages.insert(n.nid);
        else
            it->second.assocMessages.insert(n.nid);
    }
    // Every folder reaches the root through its parents.
    for (const auto& [nid, f] : folders_) {
        if (!ndb_.findNode(nid)) continue;  // tables without a folder: reported below
        std::uint32_t at = nid;
        int steps = 0;
        while (at != fmt::kNidRootFolder && steps++ < 1000) {
            const NodeEntry* n = ndb_.findNode(at);
            if (!n) break;
            at = n->nidParent;
        }
        if (at != fmt::kNidRootFolder)
            out_.add("parent", nodeWhere(nid), "folder does not lead up to the root folder");
    }

    static const std::set<std::uint32_t> kNotCopiedToHierarchy = {
        PidTagReplItemid, PidTagReplChangenum, PidTagReplVersionhistory};
    for (auto& [nid, f] : folders_) {
        const std::string where = nodeWhere(nid);
        if (!ndb_.findNode(nid)) {
            out_.add("missing-node", where, "folder tables exist without the folder");
            continue;
        }
        ++report_.folders;
        // Required properties ([MS-PST] 2.4.4.1.1).
        const Value* name = prop(f.props, PidTagDisplayName);
        const Value* count = prop(f.props, PidTagContentCount);
        const Value* unread = prop(f.props, PidTagContentUnreadCount);
        const Value* subfolders = prop(f.props, PidTagSubfolders);
        if (!name || !count || !unread || !subfolders)
            out_.add("folder-props", where,
                     "lacks one of PidTagDisplayName, PidTagContentCount, "
                     "PidTagContentUnreadCount, PidTagSubfolders");
        if (!f.hierarchy || !f.contentsNid || !f.assocNid) {
            out_.add("missing-node", where, "folder lacks its hierarchy, contents or FAI table");
            continue;
        }
        checkTemplateColumns(where, *f.hierarchy, TableKind::Hierarchy);
        checkEmptyCells(where + " hierarchy", *f.hierarchy, kNoEmpty);

        // Hierarchy rows: one per child folder, mirroring the child's properties.
        std::set<std::uint32_t> rows;
        for (const auto& row : f.hierarchy->rows) {
            rows.insert(row.rowId);
            auto child = folders_.find(row.rowId);
            if (!f.childFolders.count(row.rowId)) {
                out_.add("hierarchy-row", where,
                         "hierarchy row " + hex(row.rowId) + " names no sub-folder of this folder");
            } else if (child != folders_.end()) {
                compareRow(where + " hierarchy", row, *f.hierarchy, child->second.props,
                           kNotCopiedToHierarchy);
            } else if (auto search = searchFolders_.find(row.rowId);
                       search != searchFolders_.end()) {
                compareRow(where + " hierarchy", row, *f.hierarchy, search->second,
                           kNotCopiedToHierarchy, true);
            }
        }
        for (std::uint32_t c : f.childFolders)
            if (!rows.count(c))
                out_.add("hierarchy-row", where, "sub-folder " + hex(c) + " has no hierarchy row");
        if (subfolders && (subfolders->num != 0) != !f.childFolders.empty())
            out_.add("subfolders-flag", where,
                     "PidTagSubfolders is " + std::to_string(subfolders->num) + " with " +
                         std::to_string(f.childFolders.size()) + " sub-folders");
        if (count && count->num != f.messages.size())
            out_.add("content-count", where,
                     "PidTagContentCount is " + std::to_string(count->num) + ", the folder holds " +
                         std::to_string(f.messages.size()) + " messages");
    }
}

// ---------------------------------------------------------------------------
// Messages ([MS-PST] 2.4.5, 2.4.6)

void Checker::checkMessages() {
    // Messages whose parent is no folder: checked on their own.
    std::set<std::uint32_t> placed;
    for (const auto& [nid, f] : folders_) {
        placed.insert(f.messages.begin(), f.messages.end());
        placed.insert(f.assocMessages.begin(), f.assocMessages.end());
    }
    for (const auto& n : ndb_.nodes()) {
        std::uint8_t type = fmt::nidType(n.nid);
        if ((type == fmt::kNidTypeNormalMessage || type == fmt::kNidTypeAssocMessage) &&
            !placed.count(n.nid))
            checkFolderMessage(n, nullptr);
    }
    // Folder by folder: the contents and FAI tables against the messages.
    for (auto& [nid, f] : folders_) {
        if (!ndb_.findNode(nid)) continue;
        const std::string where = nodeWhere(nid);
        for (bool assoc : {false, true}) {
            const NodeEntry* tn = ndb_.findNode(assoc ? f.assocNid : f.contentsNid);
            const auto& members = assoc ? f.assocMessages : f.messages;
            std::optional<Table> table;
            if (tn) table = readTc(*tn);
            if (table) {
                checkTemplateColumns(where, *table, assoc ? TableKind::Fai : TableKind::Contents);
                checkEmptyCells(where + (assoc ? " FAI" : " contents"), *table, kNoEmpty);
            }
            std::map<std::uint32_t, const Row*> rows;
            if (table)
                for (const auto& r : table->rows) rows[r.rowId] = &r;
            std::uint64_t unread = 0;
            for (std::uint32_t m : members) {
                const NodeEntry* mn = ndb_.findNode(m);
                if (!mn) continue;
                const Row* row = nullptr;
                if (auto it = rows.find(m); it != rows.end()) {
                    row = it->second;
                    rows.erase(it);
                } else if (table) {
                    out_.add("contents-row", nodeWhere(m),
                             std::string("message has no row in its folder's ") +
                                 (assoc ? "FAI contents" : "contents") + " table");
                }
                if (checkFolderMessage(*mn, table ? &*table : nullptr, row)) ++unread;
            }
            for (const auto& [rowId, row] : rows)
                out_.add("contents-row", where,
                         "row " + hex(rowId) + " names no message of this folder");
            if (!table) continue;
            const char* what = assoc ? "PidTagAssociatedContentCount" : "PidTagContentCount";
            const Value* count =
                prop(f.props, assoc ? PidTagAssociatedContentCount : PidTagContentCount);
            if (count && count->num != table->rows.size())
                out_.add("content-count", where,
                         std::string(what) + " is " + std::to_string(count->num) + ", the " +
                             (assoc ? "FAI contents" : "contents") + " table has " +
                             std::to_string(table->rows.size()) + " rows");
            const Value* unreadProp = prop(f.props, PidTagContentUnreadCount);
            if (!assoc && unreadProp && unreadProp->num != unread)
                out_.add("unread-count", where,
                         "PidTagContentUnreadCount is " + std::to_string(unreadProp->num) + ", " +
                             std::to_string(unread) + " messages are unread");
        }
    }
}

// Checks one message of a folder against its contents row; true when it is unread.
bool Checker::checkFolderMessage(const NodeEntry& n, const Table* table, const Row* row) {
    static const std::set<std::uint32_t> kNone;
    const std::string where = nodeWhere(n.nid);
    SubnodeMap subs;
    auto props = readPc(n, subs);
    if (!props) return false;
    dumpProps(where, *props);
    checkEmptyRefs(where, *props, kNoEmpty);
    bool normal = fmt::nidType(n.nid) == fmt::kNidTypeNormalMessage;
    if (normal) ++report_.messages;
    embeddedBudget_ = 1000;
    if (opt_.dump) {
        std::uint64_t bytes = ndb_.dataSize(n.bidData, where).value_or(0);
        for (const auto& [snid, sub] : subs) {
            std::uint64_t sz = ndb_.dataSize(sub.bidData, where).value_or(0);
            dump("  " + where + " subnode " + hex(snid) + " " + std::to_string(sz) + " bytes");
            bytes += sz;
        }
        dump("  " + where + " node and subnode data: " + std::to_string(bytes) + " bytes");
    }
    checkMessageObject(where, *props, subs, 0);
    if (table && row)
        compareRow(nodeWhere(n.nidParent) + (normal ? " contents" : " FAI"), *row, *table, *props,
                   kNone);
    const Value* flags = prop(*props, PidTagMessageFlags);
    return normal && flags && !(flags->num & kMsgFlagRead);
}

void Checker::checkMessageObject(const std::string& where, const PropMap& props,
                                 const SubnodeMap& subs, int depth) {
    // Embedded messages nest; a damaged file can make them loop or fan out.
    if (depth > 8 || embeddedBudget_-- <= 0) {
        out_.add("embedded-depth", where, "messages embedded too deep or too many");
        return;
    }
    // Required properties ([MS-PST] 2.4.5.1.1). PidTagMessageStatus is listed
    // there too, but Outlook's own messages go without it.
    static const std::uint32_t kRequired[] = {PidTagMessageClass,         PidTagMessageFlags,
                                              PidTagMessageSize,          PidTagCreationTime,
                                              PidTagLastModificationTime, PidTagSearchKey};
    for (std::uint32_t tag : kRequired)
        if (!prop(props, tag))
            out_.add("message-props", where, "lacks required property " + hex(tag));
    checkNamedIds(where, props);
    // Outlook gives every message a conversation index and reports stores whose
    // messages lack one as damaged; its form ([MS-OXOMSG] 2.2.1.3): a 22-byte
    // header and 5-byte child blocks.
    const Value* conversation = prop(props, PidTagConversationIndex);
    if (!conversation)
        out_.addShape("conversation-index", where, "lacks PidTagConversationIndex");
    else if (conversation->size < 22 || (conversation->size - 22) % 5 != 0)
        out_.add("message-props", where,
                 "PidTagConversationIndex of " + std::to_string(conversation->size) +
                     " bytes is not a header and whole child blocks");

    // Recipient table (required) and attachment table.
    auto readSubTable = [&](std::uint32_t nid) -> std::optional<Table> {
        auto it = subs.find(nid);
        if (it == subs.end()) return std::nullopt;
        const std::string sw = where + " subnode " + hex(nid);
        SubnodeMap inner;
        if (!ndb_.readSubnodes(it->second.bidSub, sw, inner)) return std::nullopt;
        NodeScope scope{ndb_, out_, sw, inner};
        return readTableContext(scope, it->second.bidData);
    };
    // [MS-PST] 2.4.5 calls the recipient table required, but Outlook writes
    // posts (IPM.Post) without one; when there is one, it must be whole.
    std::uint64_t recipientBytes = 0;
    if (subs.find(kSubnodeRecipientTable) != subs.end()) {
        if (auto rt = readSubTable(kSubnodeRecipientTable)) {
            checkTemplateColumns(where + " recipient table", *rt, TableKind::Recipients);
            checkEmptyCells(where + " recipient table", *rt, kNoEmpty);
            for (const auto& row : rt->rows)
                for (const auto& [tag, v] : row.cells)
                    if (fixedSize(v.type) == 0 && v.type != kTypeObject) recipientBytes += v.size;
        }
    }
    std::set<std::uint32_t> attachNodes;
    for (const auto& [snid, s] : subs)
        if (fmt::nidType(snid) == fmt::kNidTypeAttachment) attachNodes.insert(snid);
    std::optional<Table> at;
    if (subs.find(kSubnodeAttachmentTable) != subs.end()) {
        at = readSubTable(kSubnodeAttachmentTable);
        if (at) {
            checkTemplateColumns(where + " attachment table", *at, TableKind::Attachments);
            checkEmptyCells(where + " attachment table", *at, kNoEmpty);
        }
    }
    const Value* flags = prop(props, PidTagMessageFlags);
    std::size_t attachRows = at ? at->rows.size() : 0;
    if (flags && ((flags->num & kMsgFlagHasAttach) != 0) != (attachRows > 0))
        out_.add("attach-flag", where,
                 "MSGFLAG_HASATTACH is " +
                     std::string(flags->num & kMsgFlagHasAttach ? "set" : "clear") + " with " +
                     std::to_string(attachRows) + " attachments");
    if (!at && !attachNodes.empty())
        out_.add("attachment-row", where, "attachments exist without an attachment table");

    std::uint64_t attachTotal = 0;
    if (at) {
        std::set<std::uint32_t> rowIds;
        for (const auto& row : at->rows) {
            rowIds.insert(row.rowId);
            if (!attachNodes.count(row.rowId)) {
                out_.add("attachment-row", where,
                         "attachment row " + hex(row.rowId) + " names no attachment object");
                continue;
            }
            ++report_.attachments;
            const std::string aw = where + " attachment " + hex(row.rowId);
            const SubnodeEntry& s = subs.at(row.rowId);
            SubnodeMap asubs;
            if (!ndb_.readSubnodes(s.bidSub, aw, asubs)) continue;
            NodeScope scope{ndb_, out_, aw, asubs};
            auto aprops = readPropertyContext(scope, s.bidData);
            if (!aprops) continue;
            dumpProps(aw, *aprops);
            checkEmptyRefs(aw, *aprops, kAttachmentEmpty);
            compareRow(where + " attachment table", row, *at, *aprops, {});
            checkNamedIds(aw, *aprops);
            for (std::uint32_t tag :
                 {PidTagAttachSize, PidTagAttachMethod, PidTagRenderingPosition})
                if (!prop(*aprops, tag))
                    out_.add("attachment-props", aw, "lacks required property " + hex(tagId(tag)));
            const Value* method = prop(*aprops, PidTagAttachMethod);
            const Value* size = prop(*aprops, PidTagAttachSize);
            const Value* data = prop(*aprops, PidTagAttachDataBinary);
            const Value* object = prop(*aprops, PidTagAttachDataObject);
            std::uint64_t payload = 0;
            if (method && method->num == 1 && !data)
                out_.add("attachment-props", aw,
                         "attached by value without PidTagAttachDataBinary");
            if (data) payload = data->size;
            if (method && method->num == 5) {
                if (!object) {
                    out_.add("attachment-props", aw,
                             "embedded message without PidTagAttachDataObject");
                } else if (auto e = asubs.find(object->subnode); e != asubs.end()) {
                    const std::string ew = aw + " embedded " + hex(object->subnode);
                    SubnodeMap esubs;
                    if (ndb_.readSubnodes(e->second.bidSub, ew, esubs)) {
                        NodeScope escope{ndb_, out_, ew, esubs};
                        if (auto eprops = readPropertyContext(escope, e->second.bidData)) {
                            dumpProps(ew, *eprops);
                            checkEmptyRefs(ew, *eprops, kNoEmpty);
                            checkMessageObject(ew, *eprops, esubs, depth + 1);
                            if (const Value* es = prop(*eprops, PidTagMessageSize))
                                payload = es->num;
                        }
                    }
                }
            }
            // PidTagAttachSize covers the attachment's data and its properties,
            // so it is at least the data and not wildly more.
            if (size && (size->num < payload || size->num > payload + (64u << 10)))
                out_.add("attach-size", aw,
                         "PidTagAttachSize " + std::to_string(size->num) + " for " +
                             std::to_string(payload) + " bytes of attachment data");
            if (size) attachTotal += size->num;
        }
        for (std::uint32_t a : attachNodes)
            if (!rowIds.count(a))
                out_.add("attachment-row", where, "attachment object " + hex(a) + " has no row");
    }
    // PidTagMessageSize counts the message's properties, recipients and
    // attachments: at least the attachment sizes and the property data; a long
    // recipient list may add up to its own variable-size data.
    if (const Value* size = prop(props, PidTagMessageSize)) {
        std::uint64_t propBytes = 0;
        for (const auto& [id, v] : props)
            if (fixedSize(v.type) == 0 && v.type != kTypeObject) propBytes += v.size;
        std::uint64_t floor = attachTotal + propBytes;
        if (size->num > floor + floor / 2 + (64u << 10)) floor += recipientBytes;
        if (size->num < floor || size->num > floor + floor / 2 + (64u << 10))
            out_.addShape("message-size", where,
                          "PidTagMessageSize " + std::to_string(size->num) + " for " +
                              std::to_string(propBytes) + " bytes of properties and " +
                              std::to_string(attachTotal) + " bytes of attachments");
    }
}

// Property ids from 0x8000 up are named properties: each must be defined in
// the name-to-id map ([MS-PST] 2.4.7).
void Checker::checkNamedIds(const std::string& where, const PropMap& props) {
    if (!namedMapRead_) return;
    for (const auto& [id, v] : props)
        if (id >= 0x8000 && id != 0xFFFF && !namedIds_.count(id))
            out_.add("named-prop", where,
                     "property " + hex(id) + " is not defined in the name-to-id map");
}

}  // namespace

Report checkStore(const std::filesystem::path& path, const CheckOptions& options) {
    Report report;
    FileSource file;
    std::string error;
    if (!file.open(path, error)) {
        report.fatal = error;
        return report;
    }
    Checker checker(file, report, options);
    checker.run();
    return report;
}

}  // namespace tp::pst::check
