// The allocation maps ([MS-PST] 2.2.2.7.2 - 2.2.2.7.6, 2.6.1.1.2): AMap, PMap,
// FMap and FPMap pages at their places, their bits against what the B-trees
// allocate, the density list and the free counts.
#include <string>

#include "pst/check/checker_parts.h"
#include "pst/ndb/crc.h"

namespace tp::pst::check::detail {

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

}  // namespace tp::pst::check::detail
