// The store checker against stores Outlook wrote (they must pass), against
// copies damaged in one precise way each (each must fail with the finding that
// names the damage), and against random damage (it must never crash or hang).
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "pst/check/checker.h"
#include "pst/ndb/crc.h"
#include "pst/ndb/permute.h"
#include "pst/ndb/reader.h"
#include "pst/pst.h"
#include "support/support.h"

namespace fs = std::filesystem;
using namespace tp::pst::check;

namespace {

const fs::path kSamples = fs::path(TP_SOURCE_DIR) / "tests" / "data" / "pst-samples";
const char* kSampleNames[] = {"outlook-unicode-empty.pst", "outlook-unicode-sample1.pst",
                              "outlook-unicode-embedded-message.pst"};

fs::path samplePath(const char* name) {
    return kSamples / name;
}

// The damaged copies go to a folder of this process, removed when its tests end.
fs::path scratchFolder() {
    return tp::test::programScratch();
}

// A store loaded in memory, with just enough knowledge of the format to damage
// it precisely and to repair the CRCs that would otherwise hide deeper damage.
struct Store {
    std::vector<std::uint8_t> b;

    explicit Store(const fs::path& path) {
        std::ifstream in(path, std::ios::binary);
        b.assign(std::istreambuf_iterator<char>(in), {});
    }
    std::uint64_t u64(std::size_t at) const { return rd64(b.data() + at); }
    void put16(std::size_t at, std::uint16_t v) {
        b[at] = std::uint8_t(v);
        b[at + 1] = std::uint8_t(v >> 8);
    }
    void put32(std::size_t at, std::uint32_t v) {
        for (int i = 0; i < 4; ++i) b[at + i] = std::uint8_t(v >> (8 * i));
    }
    void put64(std::size_t at, std::uint64_t v) {
        for (int i = 0; i < 8; ++i) b[at + i] = std::uint8_t(v >> (8 * i));
    }
    // The offset of the leaf entry with `key` in the NBT (nbt) or BBT.
    std::size_t leafEntry(bool nbt, std::uint64_t key) const {
        std::uint64_t ib = u64(nbt ? 224 : 240);
        for (int depth = 0; depth < 10; ++depth) {
            const std::uint8_t* p = b.data() + ib;
            unsigned cEnt = p[488], cbEnt = p[490], level = p[491];
            if (level == 0) {
                for (unsigned i = 0; i < cEnt; ++i)
                    if (rd64(p + i * cbEnt) == key) return ib + i * cbEnt;
                break;
            }
            unsigned pick = 0;
            for (unsigned i = 0; i < cEnt; ++i)
                if (rd64(p + i * cbEnt) <= key) pick = i;
            ib = rd64(p + pick * cbEnt + 16);
        }
        ADD_FAILURE() << "key " << key << " not found";
        return 0;
    }
    void fixPage(std::size_t at) {
        std::size_t page = at - at % 512;
        put32(page + 500, tp::pst::ndb::crc32(b.data() + page, 496));
    }
    // Block of `bid`: offset and data size, from its BBT entry.
    std::pair<std::size_t, std::uint16_t> block(std::uint64_t bid) const {
        std::size_t e = leafEntry(false, bid);
        return {std::size_t(u64(e + 8)), rd16(b.data() + e + 16)};
    }
    void fixBlock(std::size_t ib, std::uint16_t cb) {
        std::size_t alloc = (cb + 16 + 63) & ~std::size_t(63);
        put32(ib + alloc - 12, tp::pst::ndb::crc32(b.data() + ib, cb));
    }
    std::uint64_t nodeData(std::uint32_t nid) const { return u64(leafEntry(true, nid) + 8); }
    fs::path save(const std::string& name) const {
        fs::path dir = scratchFolder();
        fs::create_directories(dir);
        fs::path p = dir / name;
        std::ofstream(p, std::ios::binary)
            .write(reinterpret_cast<const char*>(b.data()), std::streamsize(b.size()));
        return p;
    }
};

std::string codes(const Report& r) {
    std::string s;
    for (const auto& f : r.findings.list()) s += f.code + " (" + f.where + ": " + f.message + ")\n";
    return s;
}

Report check(const Store& s, const std::string& name, bool shape = false) {
    CheckOptions options;
    options.shape = shape;
    return checkStore(s.save(name), options);
}

Report checkShape(const fs::path& p) {
    CheckOptions options;
    options.shape = true;
    return checkStore(p, options);
}

bool hasShape(const Report& r, const std::string& code) {
    for (const auto& f : r.findings.list())
        if (f.code == code && f.shape) return true;
    return false;
}

const fs::path kSample1 = samplePath("outlook-unicode-sample1.pst");
constexpr std::uint32_t kFolderSample1 = 0x8082;  // "Sample1", one message
constexpr std::uint32_t kMessage = 0x200024;

}  // namespace

// A store Outlook wrote is valid: no errors in any of them. The current
// Outlook's three stores also have the shape ours are measured by; the older
// Outlook's store has its own templates, empty values and sizes, reported only
// as shape findings.
TEST(PstCheck, OutlookStoresPass) {
    for (const char* name : kSampleNames) {
        Report r = checkShape(samplePath(name));
        EXPECT_TRUE(r.readable) << name << ": " << r.fatal;
        EXPECT_TRUE(r.clean()) << name << ":\n" << codes(r);
        EXPECT_EQ(r.folders, 5u) << name;
    }
    Report r = checkStore(kSample1);
    EXPECT_EQ(r.messages, 1u);
    EXPECT_EQ(r.attachments, 1u);

    const fs::path older = samplePath("outlook-unicode-libyal.pst");
    Report plain = checkStore(older);
    EXPECT_TRUE(plain.clean()) << codes(plain);
    EXPECT_EQ(plain.folders, 21u);
    EXPECT_EQ(plain.attachments, 22u);
    Report shaped = checkShape(older);
    EXPECT_EQ(shaped.findings.errorTotal(), 0u) << codes(shaped);
    for (const char* code : {"table-template", "hid-zero", "conversation-index", "message-size",
                             "outlook-node", "row-empty"})
        EXPECT_TRUE(hasShape(shaped, code)) << code << "\n" << codes(shaped);
}

// Damage below the LTP layer: CRCs, references, counts, allocation.
TEST(PstCheck, NodeDatabaseDamageIsFound) {
    {
        Store s(kSample1);
        s.b[40] ^= 0x01;  // dwUnique, inside both header CRCs
        Report r = check(s, "header.pst");
        EXPECT_TRUE(r.findings.has("header-crc")) << codes(r);
    }
    {
        Store s(kSample1);
        auto [ib, cb] = s.block(s.nodeData(0x21));
        s.b[ib + cb / 2] ^= 0x40;  // one bit of the message store's data
        Report r = check(s, "flip.pst");
        EXPECT_TRUE(r.findings.has("block-crc")) << codes(r);
    }
    {
        Store s(kSample1);
        std::size_t e = s.leafEntry(false, s.nodeData(kFolderSample1));
        s.put16(e + 18, std::uint16_t(rd16(s.b.data() + e + 18) + 1));  // cRef one too many
        s.fixPage(e);
        Report r = check(s, "refcount.pst");
        EXPECT_TRUE(r.findings.has("refcount")) << codes(r);
    }
    {
        Store s(kSample1);
        std::size_t e = s.leafEntry(true, kFolderSample1);
        s.put64(e + 8, 0xFFFF0);  // data block that does not exist
        s.fixPage(e);
        Report r = check(s, "dangling-block.pst");
        EXPECT_TRUE(r.findings.has("dangling-block")) << codes(r);
    }
    {
        Store s(kSample1);
        auto [ib, cb] = s.block(s.nodeData(kFolderSample1));
        std::size_t unit = (ib - 0x4400) / 64;
        s.b[0x4400 + unit / 8] &= std::uint8_t(~(0x80 >> (unit % 8)));  // marked free
        s.fixPage(0x4400);
        Report r = check(s, "amap.pst");
        EXPECT_TRUE(r.findings.has("amap-missing")) << codes(r);
        EXPECT_TRUE(r.findings.has("amap-free")) << codes(r);
    }
    {
        Store s(kSample1);
        // Mark a free unit as used: the last unit of the file's only AMap.
        std::size_t unit = 496 * 8 - 1;
        ASSERT_EQ(s.b[0x4400 + unit / 8] & 1, 0);
        s.b[0x4400 + unit / 8] |= 1;
        s.fixPage(0x4400);
        Report r = check(s, "leak.pst");
        EXPECT_TRUE(r.findings.has("amap-leak")) << codes(r);
    }
}

// Damage above it: links between nodes, folder counts, table rows.
TEST(PstCheck, MessagingDamageIsFound) {
    {
        Store s(kSample1);
        std::size_t e = s.leafEntry(true, kMessage);
        s.put32(e + 24, 0x12342);  // the message's parent: no such folder
        s.fixPage(e);
        Report r = check(s, "dangling-nid.pst");
        EXPECT_TRUE(r.findings.has("parent")) << codes(r);
        EXPECT_TRUE(r.findings.has("content-count")) << codes(r);
        EXPECT_TRUE(r.findings.has("contents-row")) << codes(r);
    }
    {
        Store s(kSample1);
        // PidTagContentCount of "Sample1" in its property context: 1 -> 5.
        auto [ib, cb] = s.block(s.nodeData(kFolderSample1));
        std::vector<std::uint8_t> data(s.b.begin() + long(ib), s.b.begin() + long(ib + cb));
        tp::pst::ndb::permuteDecode(data.data(), data.size());
        const std::uint8_t rec[] = {0x02, 0x36, 0x03, 0x00};
        auto at = std::search(data.begin(), data.end(), std::begin(rec), std::end(rec));
        ASSERT_NE(at, data.end());
        std::size_t off = std::size_t(at - data.begin()) + 4;
        ASSERT_EQ(rd32(data.data() + off), 1u);
        data[off] = 5;
        tp::pst::ndb::permuteEncode(data.data(), data.size());
        std::copy(data.begin(), data.end(), s.b.begin() + long(ib));
        s.fixBlock(ib, cb);
        Report r = check(s, "content-count.pst");
        EXPECT_TRUE(r.findings.has("content-count")) << codes(r);
        // The parent's hierarchy row still says 1: the row no longer mirrors the folder.
        EXPECT_TRUE(r.findings.has("row-mismatch")) << codes(r);
    }
    {
        Store s(kSample1);
        // Drop the "Sample1" folder's contents table from the NBT key space.
        std::size_t e = s.leafEntry(true, 0x808E);
        s.put64(e, 0x808E + 0x20 * 0x1000);
        Report r = check(s, "order.pst");  // NBT page CRC left stale on purpose
        EXPECT_TRUE(r.findings.has("page-crc")) << codes(r);
    }
}

namespace {

// Rewrites the decoded data of block `bid` through `edit`.
template <typename Edit>
void editBlockData(Store& s, std::uint64_t bid, Edit edit) {
    auto [ib, cb] = s.block(bid);
    std::vector<std::uint8_t> data(s.b.begin() + long(ib), s.b.begin() + long(ib + cb));
    tp::pst::ndb::permuteDecode(data.data(), data.size());
    edit(data);
    tp::pst::ndb::permuteEncode(data.data(), data.size());
    std::copy(data.begin(), data.end(), s.b.begin() + long(ib));
    s.fixBlock(ib, cb);
}

// Rewrites the decoded data of node `nid`'s (single) data block through `edit`.
template <typename Edit>
void editNodeData(Store& s, std::uint32_t nid, Edit edit) {
    editBlockData(s, s.nodeData(nid), edit);
}

// The value field of property `id` in a property context's BTH records.
std::size_t pcValue(std::vector<std::uint8_t>& data, std::uint16_t id, std::uint16_t type) {
    const std::uint8_t rec[] = {std::uint8_t(id), std::uint8_t(id >> 8), std::uint8_t(type),
                                std::uint8_t(type >> 8)};
    auto at = std::search(data.begin(), data.end(), std::begin(rec), std::end(rec));
    EXPECT_NE(at, data.end());
    return std::size_t(at - data.begin()) + 4;
}

}  // namespace

// Damage inside heaps and tables, with every CRC repaired so only the
// structure or the meaning is wrong.
TEST(PstCheck, HeapAndTableDamageIsFound) {
    {
        Store s(kSample1);
        std::size_t e = s.leafEntry(true, 0x61);
        s.put64(e, 0x81);  // the name-to-id map moves to an unknown id
        s.fixPage(e);
        Report r = check(s, "no-nameid.pst");
        EXPECT_TRUE(r.findings.has("missing-node")) << codes(r);
    }
    {
        Store s(kSample1);
        editNodeData(s, 0x21, [](std::vector<std::uint8_t>& d) { d[0] |= 1; });  // odd ibHnpm
        Report r = check(s, "heap.pst");
        EXPECT_TRUE(r.findings.has("heap")) << codes(r);
    }
    {
        Store s(kSample1);
        // The message becomes unread: its folder's unread count and contents
        // row no longer agree with it.
        editNodeData(s, kMessage, [](std::vector<std::uint8_t>& d) {
            std::size_t v = pcValue(d, 0x0E07, 0x0003);
            ASSERT_EQ(d[v] & 1, 1);
            d[v] &= 0xFE;
        });
        Report r = check(s, "unread.pst");
        EXPECT_TRUE(r.findings.has("unread-count")) << codes(r);
        EXPECT_TRUE(r.findings.has("row-mismatch")) << codes(r);
    }
    {
        Store s(kSample1);
        // The message loses its attachments flag while its attachment stays.
        editNodeData(s, kMessage, [](std::vector<std::uint8_t>& d) {
            std::size_t v = pcValue(d, 0x0E07, 0x0003);
            d[v] &= std::uint8_t(~0x10);
        });
        Report r = check(s, "hasattach.pst");
        EXPECT_TRUE(r.findings.has("attach-flag")) << codes(r);
    }
}

namespace {

void fixHeader(Store& s) {
    s.put32(4, tp::pst::ndb::crc32(s.b.data() + 8, 471));
    s.put32(524, tp::pst::ndb::crc32(s.b.data() + 8, 516));
}

// The sample's internal blocks of one kind (btype 1: data tree, 2: subnode tree).
std::vector<BlockEntry> internalBlocks(std::uint8_t btype, const fs::path& store = kSample1) {
    FileSource src;
    std::string err;
    EXPECT_TRUE(src.open(store, err));
    Findings none;
    NdbReader ndb(src, none);
    EXPECT_TRUE(ndb.readHeader(err));
    ndb.readTrees();
    ndb.verifyBlocks();
    std::vector<BlockEntry> out;
    for (const auto& b : ndb.blocks())
        if ((b.bid & 2) && b.btype == btype) out.push_back(b);
    return out;
}

// The damaged copy's check finds `code`, in a finding that says `words`.
void expectFinding(const Store& s, const std::string& name, const std::string& code,
                   const std::string& words = "") {
    Report r = check(s, name);
    EXPECT_TRUE(r.findings.has(code)) << name << ":\n" << codes(r);
    EXPECT_NE(codes(r).find(words), std::string::npos) << name << ":\n" << codes(r);
}

// Rewrites the data of every attachment object (a subnode of its message) of
// `store`, loaded in `s`, through `edit`; the number of attachment objects edited.
template <typename Edit>
int editAttachment(Store& s, Edit edit, const fs::path& store = kSample1) {
    int edited = 0;
    for (const BlockEntry& sl : internalBlocks(2, store)) {
        if (sl.level != 0) continue;
        for (unsigned i = 0; i < rd16(s.b.data() + sl.ib + 2); ++i) {
            const std::size_t e = sl.ib + 8 + 24 * i;
            if ((rd32(s.b.data() + e) & 0x1F) != 0x05) continue;  // an attachment object
            editBlockData(s, s.u64(e + 8), edit);
            ++edited;
        }
    }
    return edited;
}

// The subnode entry (SLENTRY) of `nid` in the sample's subnode blocks.
std::size_t subnodeEntry(const Store& s, std::uint32_t nid) {
    for (const BlockEntry& sl : internalBlocks(2)) {
        if (sl.level != 0) continue;
        for (unsigned i = 0; i < rd16(s.b.data() + sl.ib + 2); ++i)
            if (rd32(s.b.data() + sl.ib + 8 + 24 * i) == nid) return sl.ib + 8 + 24 * i;
    }
    ADD_FAILURE() << "subnode " << nid << " not found";
    return 0;
}

// Property `id` of type `from` becomes type `to` (its key, and so the records'
// order, unchanged): to a checker that asks for the first type it is gone.
void retype(std::vector<std::uint8_t>& d, std::uint16_t id, std::uint16_t from, std::uint16_t to) {
    const std::size_t v = pcValue(d, id, from);
    d[v - 2] = std::uint8_t(to);
    d[v - 1] = std::uint8_t(to >> 8);
}

}  // namespace

// Mistakes a writer can make that readers shrug off, each with its CRCs intact.
TEST(PstCheck, WriterMistakesAreFound) {
    {
        Store s(kSample1);
        s.put64(200, s.u64(200) + 64);  // cbAMapFree
        fixHeader(s);
        Report r = check(s, "amapfree.pst");
        EXPECT_TRUE(r.findings.has("amap-free")) << codes(r);
    }
    {
        Store s(kSample1);
        s.put32(44 + 4 * 4, 0x10000);  // rgnid of normal messages below the message's index
        fixHeader(s);
        Report r = check(s, "rgnid.pst");
        EXPECT_TRUE(r.findings.has("nid-counter")) << codes(r);
    }
    {
        Store s(kSample1);
        std::size_t e = s.leafEntry(true, 0x808E);  // a contents table with a parent
        s.put32(e + 24, kFolderSample1);
        s.fixPage(e);
        Report r = check(s, "table-parent.pst");
        EXPECT_TRUE(r.findings.has("parent")) << codes(r);
    }
    {
        Store s(kSample1);
        // Two blocks at one place: the folder's data block moved onto the store's.
        std::size_t e = s.leafEntry(false, s.nodeData(kFolderSample1));
        s.put64(e + 8, s.block(s.nodeData(0x21)).first);
        s.fixPage(e);
        Report r = check(s, "overlap.pst");
        EXPECT_TRUE(r.findings.has("overlap")) << codes(r);
    }
    {
        Store s(kSample1);
        // Outlook left the density list empty; one entry with a wrong count.
        s.b[0x4200 + 1] = 1;
        s.put32(0x4200 + 8, (7u << 20) | 0);
        s.fixPage(0x4200);
        Report r = check(s, "dlist.pst");
        EXPECT_TRUE(r.findings.has("dlist")) << codes(r);
    }
    {
        Store s(kSample1);
        // The attachment's data tree claims one byte more than its blocks hold.
        auto xblocks = internalBlocks(1);
        ASSERT_FALSE(xblocks.empty());
        s.put32(xblocks[0].ib + 4, rd32(s.b.data() + xblocks[0].ib + 4) + 1);
        s.fixBlock(xblocks[0].ib, xblocks[0].cb);
        Report r = check(s, "lcbtotal.pst");
        EXPECT_TRUE(r.findings.has("data-tree")) << codes(r);
    }
    {
        Store s(kSample1);
        // Subnodes out of order: the first SLENTRY's id raised above the second's.
        auto sl = internalBlocks(2);
        auto it = std::find_if(sl.begin(), sl.end(), [&](const BlockEntry& b) {
            return b.level == 0 && rd16(s.b.data() + b.ib + 2) >= 2;
        });
        ASSERT_NE(it, sl.end());
        s.put32(it->ib + 8, rd32(s.b.data() + it->ib + 8 + 24) + 1);
        s.fixBlock(it->ib, it->cb);
        Report r = check(s, "subnodes.pst");
        EXPECT_TRUE(r.findings.has("subnode-tree")) << codes(r);
    }
    {
        Store s(kSample1);
        // A B-tree page one level off: the NBT root claims to be a leaf.
        std::size_t root = std::size_t(s.u64(224));
        ASSERT_GT(s.b[root + 491], 0);
        s.b[root + 491] = 0;
        s.fixPage(root);
        Report r = check(s, "level.pst");
        EXPECT_TRUE(r.findings.has("btree-page")) << codes(r);
        EXPECT_TRUE(r.findings.has("missing-node")) << codes(r);
    }
}

// The store's own objects: message store, name-to-id map, templates and the
// allocation maps, each damaged in one way, every CRC repaired.
TEST(PstCheck, StoreObjectAndMapDamageIsFound) {
    {
        Store s(kSample1);  // the store without a display name
        editNodeData(s, 0x21, [](std::vector<std::uint8_t>& d) { retype(d, 0x3001, 0x1F, 0x1E); });
        expectFinding(s, "store-name.pst", "store-props", "PidTagDisplayName missing");
    }
    {
        Store s(kSample1);  // the name-to-id map with no buckets
        editNodeData(s, 0x61, [](std::vector<std::uint8_t>& d) {
            std::size_t v = pcValue(d, 0x0001, 0x0003);
            for (int k = 0; k < 4; ++k) d[v + k] = 0;
        });
        expectFinding(s, "buckets.pst", "nameid-map", "PidTagNameidBucketCount missing or zero");
    }
    {
        Store s(kSample1);  // the contents template is given the folder's table, one row and all
        std::size_t e = s.leafEntry(true, 0x60E);
        s.put64(e + 8, s.nodeData(0x808E));
        s.fixPage(e);
        expectFinding(s, "template-rows.pst", "template", "contents template has rows");
    }
    {
        Store s(kSample1);  // ibAMapLast one interval on
        s.put64(0xC0, s.u64(0xC0) + 0x3E000);
        fixHeader(s);
        expectFinding(s, "amaplast.pst", "header-field", "ibAMapLast");
    }
    {
        Store s(kSample1);  // the AMap's trailer names another page type
        s.b[0x4400 + 496] = 0x83;
        s.fixPage(0x4400);
        expectFinding(s, "amap-trailer.pst", "map-page", "trailer does not describe this map page");
    }
    {
        Store s(kSample1);  // the PMap holds the AMap's own page in reserve
        s.b[0x4600] &= 0x7F;
        s.fixPage(0x4600);
        expectFinding(s, "pmap.pst", "pmap", "a page held in reserve is in use");
    }
    {
        Store s(kSample1);  // cbPMapFree one page more than the PMaps hold
        s.put64(0xD0, s.u64(0xD0) + 512);
        fixHeader(s);
        expectFinding(s, "pmapfree.pst", "pmap-free", "cbPMapFree is");
    }
}

// Folders, messages and attachments, each damaged in one way.
TEST(PstCheck, FolderMessageAndAttachmentDamageIsFound) {
    {
        Store s(kSample1);  // "Sample1" without its unread count
        editNodeData(s, kFolderSample1,
                     [](std::vector<std::uint8_t>& d) { retype(d, 0x3603, 0x03, 0x02); });
        expectFinding(s, "folder-props.pst", "folder-props", "PidTagContentUnreadCount");
    }
    {
        Store s(kSample1);  // "Sample1" says it has sub-folders
        editNodeData(s, kFolderSample1,
                     [](std::vector<std::uint8_t>& d) { d[pcValue(d, 0x360A, 0x000B)] = 1; });
        expectFinding(s, "subfolders.pst", "subfolders-flag", "PidTagSubfolders is 1 with 0");
    }
    {
        // "Sample1" moves under Deleted Items: its old parent's hierarchy row names
        // no sub-folder, its new parent has a sub-folder without a row.
        Store s(kSample1);
        std::size_t e = s.leafEntry(true, kFolderSample1);
        s.put32(e + 24, 0x8042);
        s.fixPage(e);
        expectFinding(s, "moved.pst", "hierarchy-row", "names no sub-folder of this folder");
        expectFinding(s, "moved.pst", "hierarchy-row",
                      "sub-folder " + hex(kFolderSample1) + " has no hierarchy row");
    }
    {
        Store s(kSample1);  // the message without its last change time
        editNodeData(s, kMessage,
                     [](std::vector<std::uint8_t>& d) { retype(d, 0x3008, 0x40, 0x14); });
        expectFinding(s, "message-props.pst", "message-props",
                      "lacks required property 0x30080040");
    }
    {
        Store s(kSample1);  // a named property the name-to-id map does not define
        editNodeData(s, kMessage, [](std::vector<std::uint8_t>& d) {
            const std::size_t v = pcValue(d, 0x8085, 0x001F);
            d[v - 4] = 0xF0;
            d[v - 3] = 0xFF;
        });
        expectFinding(s, "named.pst", "named-prop", "property 0xFFF0 is not defined");
    }
    {
        Store s(kSample1);  // the attachment without its rendering position
        ASSERT_EQ(
            editAttachment(s, [](std::vector<std::uint8_t>& d) { retype(d, 0x370B, 0x03, 0x02); }),
            1);
        expectFinding(s, "attachment-props.pst", "attachment-props",
                      "lacks required property 0x370B");
    }
    {
        Store s(kSample1);  // PidTagAttachSize smaller than the attachment's data
        ASSERT_EQ(editAttachment(s,
                                 [](std::vector<std::uint8_t>& d) {
                                     std::size_t v = pcValue(d, 0x0E20, 0x0003);
                                     d[v] = 1;
                                     d[v + 1] = d[v + 2] = d[v + 3] = 0;
                                 }),
                  1);
        expectFinding(s, "attach-size.pst", "attach-size", "PidTagAttachSize 1 for 93142 bytes");
    }
    {
        Store s(kSample1);  // the attachment table's subnode gets another id
        std::size_t e = subnodeEntry(s, 0x671);
        s.put32(e, 0x66F);
        auto sl = internalBlocks(2);
        for (const BlockEntry& b : sl)
            if (e >= b.ib && e < b.ib + b.cb) s.fixBlock(b.ib, b.cb);
        expectFinding(s, "attachment-table.pst", "attachment-row",
                      "attachments exist without an attachment table");
    }
}

// Attached messages nest; past eight levels the checker stops and says so.
TEST(PstCheck, MessagesEmbeddedTooDeepAreFound) {
    const fs::path p = scratchFolder() / "deep.pst";
    fs::create_directories(p.parent_path());
    fs::remove(p);
    std::string err;
    auto store = tp::pst::Store::create(p, "Deep", err);
    ASSERT_TRUE(store) << err;
    auto folder = store->addFolder("Inbox", err);
    ASSERT_TRUE(folder) << err;
    auto message = [](const std::string& subject) {
        tp::pst::Message m;
        m.props.set(0x001A001F, std::string("IPM.Note"));
        m.props.set(0x0037001F, subject);
        return m;
    };
    auto nested = [&](int levels) {
        tp::pst::Message m = message("level " + std::to_string(levels));
        for (int i = levels - 1; i >= 0; --i) {
            tp::pst::Attachment a;
            a.embedded = std::make_shared<tp::pst::Message>(m);
            m = message("level " + std::to_string(i));
            m.attachments.push_back(a);
        }
        return m;
    };
    ASSERT_TRUE(store->addMessage(*folder, nested(8), err)) << err;
    ASSERT_TRUE(store->close(err)) << err;
    Report eight = checkStore(p);
    EXPECT_TRUE(eight.clean()) << codes(eight);

    fs::remove(p);
    store = tp::pst::Store::create(p, "Deep", err);
    ASSERT_TRUE(store) << err;
    folder = store->addFolder("Inbox", err);
    ASSERT_TRUE(folder) << err;
    ASSERT_TRUE(store->addMessage(*folder, nested(9), err)) << err;
    ASSERT_TRUE(store->close(err)) << err;
    Report nine = checkStore(p);
    EXPECT_TRUE(nine.findings.has("embedded-depth")) << codes(nine);
}

// The node database's own fields: header, B-tree pages and block trailers, each
// damaged in one way with its CRC repaired.
TEST(PstCheck, NodeDatabaseFieldDamageIsFound) {
    {
        Store s(kSample1);  // the allocation maps marked invalid
        s.b[0xF8] = 0;
        fixHeader(s);
        expectFinding(s, "amapvalid.pst", "amap-invalid");
    }
    {
        Store s(kSample1);  // bidNextP below every page's id
        s.put64(0x20, 1);
        fixHeader(s);
        expectFinding(s, "bidnextp.pst", "page-bid");
    }
    {
        Store s(kSample1);  // bidNextB below every block's id
        s.put64(0x204, 4);
        fixHeader(s);
        expectFinding(s, "bidnextb.pst", "block-bid");
    }
    const std::size_t root = std::size_t(Store(kSample1).u64(224));  // the NBT's root page
    {
        Store s(kSample1);  // the root page says it belongs to the BBT
        s.b[root + 496] = s.b[root + 497] = 0x80;
        s.fixPage(root);
        expectFinding(s, "ptype.pst", "page-trailer");
    }
    {
        Store s(kSample1);
        s.put16(root + 498, std::uint16_t(rd16(s.b.data() + root + 498) ^ 1));
        s.fixPage(root);
        expectFinding(s, "wsig.pst", "page-signature");
    }
    {
        Store s(kSample1);  // a leaf below the root claims a level of its own
        const std::size_t child = std::size_t(s.u64(root + 16));
        ASSERT_EQ(s.b[child + 491], 0);
        s.b[child + 491] = 1;
        s.fixPage(child);
        expectFinding(s, "child-level.pst", "btree-level");
    }
    {
        Store s(kSample1);  // an index key that is not its child page's first key
        ASSERT_GE(s.b[root + 488], 2);
        const std::size_t e = root + 24;  // the second entry
        s.put64(e, s.u64(e) + 1);
        s.fixPage(root);
        expectFinding(s, "index-key.pst", "btree-key");
    }
    {
        Store s(kSample1);  // a leaf key below the one before it
        std::size_t e = s.leafEntry(true, 0x808E);
        s.put64(e, 0x22);
        s.fixPage(e);
        expectFinding(s, "order2.pst", "btree-order");
    }
    {
        Store s(kSample1);  // a block entry bigger than any block
        std::size_t e = s.leafEntry(false, s.nodeData(kFolderSample1));
        s.put16(e + 16, 9000);
        s.fixPage(e);
        expectFinding(s, "cb.pst", "block-size");
    }
    {
        Store s(kSample1);  // a block off the 64-byte grid
        std::size_t e = s.leafEntry(false, s.nodeData(kFolderSample1));
        s.put64(e + 8, s.u64(e + 8) + 8);
        s.fixPage(e);
        expectFinding(s, "ib.pst", "block-offset");
    }
    {
        Store s(kSample1);  // a block's trailer names another block
        auto [ib, cb] = s.block(s.nodeData(kFolderSample1));
        const std::size_t trailer = ib + ((cb + 16 + 63) & ~std::size_t(63)) - 16;
        s.put64(trailer + 8, s.u64(trailer + 8) + 4);
        expectFinding(s, "block-trailer.pst", "block-trailer");
    }
    {
        Store s(kSample1);  // a block's signature is not its own
        auto [ib, cb] = s.block(s.nodeData(kFolderSample1));
        const std::size_t trailer = ib + ((cb + 16 + 63) & ~std::size_t(63)) - 16;
        s.put16(trailer + 2, std::uint16_t(rd16(s.b.data() + trailer + 2) ^ 1));
        expectFinding(s, "block-sig.pst", "block-signature");
    }
    {
        Store s(kSample1);  // a data tree block of a level no tree has
        auto xblocks = internalBlocks(1);
        ASSERT_FALSE(xblocks.empty());
        s.b[xblocks[0].ib + 1] = 3;
        s.fixBlock(xblocks[0].ib, xblocks[0].cb);
        expectFinding(s, "xlevel.pst", "block-internal");
    }
    {
        Store s(kSample1);  // the folder's node takes the store's data; its own is left over
        std::size_t e = s.leafEntry(true, kFolderSample1);
        s.put64(e + 8, s.nodeData(0x21));
        s.fixPage(e);
        expectFinding(s, "orphan.pst", "orphan-block");
    }
}

namespace {

// The offset of heap item `hid` in the decoded first block of a heap.
std::size_t heapItem(const std::vector<std::uint8_t>& d, std::uint32_t hid) {
    const std::size_t map = rd16(d.data());
    return rd16(d.data() + map + 4 + 2 * (((hid >> 5) & 0x7FF) - 1));
}

}  // namespace

// The heaps, B-trees-on-heap, tables and values above the node database.
TEST(PstCheck, PropertyValueDamageIsFound) {
    {
        Store s(kSample1);  // the folder's heap says it holds a table
        editNodeData(s, kFolderSample1, [](std::vector<std::uint8_t>& d) { d[3] = 0x7C; });
        expectFinding(s, "client-sig.pst", "pc");
    }
    {
        Store s(kSample1);  // the folder's BTH header with keys of four bytes
        editNodeData(s, kFolderSample1,
                     [](std::vector<std::uint8_t>& d) { d[heapItem(d, 0x20) + 1] = 4; });
        expectFinding(s, "bth-key.pst", "bth");
    }
    {
        Store s(kSample1);  // the contents table's deprecated hidIndex set
        editNodeData(s, 0x808E,
                     [](std::vector<std::uint8_t>& d) { d[heapItem(d, 0x40) + 18] = 0x20; });
        expectFinding(s, "hidindex.pst", "tc");
    }
    {
        Store s(kSample1);  // a property of a type that does not exist
        editNodeData(s, kFolderSample1,
                     [](std::vector<std::uint8_t>& d) { retype(d, 0x3613, 0x1F, 0x99); });
        expectFinding(s, "prop-type.pst", "prop-type");
    }
    {
        Store s(kSample1);  // the record key read as a list of binaries that cannot be one
        editNodeData(s, 0x21,
                     [](std::vector<std::uint8_t>& d) { retype(d, 0x0FF9, 0x0102, 0x1102); });
        expectFinding(s, "multi.pst", "prop-value");
    }
    {
        Store s(kSample1);  // the message's creation time in a heap item that is not there
        editNodeData(s, kMessage, [](std::vector<std::uint8_t>& d) {
            const std::size_t v = pcValue(d, 0x3007, 0x0040);
            d[v] = 0xE0;
            d[v + 1] = 0xFF;
            d[v + 2] = d[v + 3] = 0;
        });
        expectFinding(s, "no-hid.pst", "dangling-hid");
    }
    {
        Store s(kSample1);  // the message's search key in a subnode that is not there
        editNodeData(s, kMessage, [](std::vector<std::uint8_t>& d) {
            const std::size_t v = pcValue(d, 0x300B, 0x0102);
            d[v] = 0xFF;
            d[v + 1] = 0xFF;
            d[v + 2] = 0x01;
            d[v + 3] = 0;
        });
        expectFinding(s, "no-subnode.pst", "dangling-subnode");
    }
}

TEST(PstCheck, TruncatedOrForeignFiles) {
    Store s(kSample1);
    Store half = s;
    half.b.resize(0x4400 + 0x10000);
    Report r = check(half, "half.pst");
    EXPECT_TRUE(r.readable);
    EXPECT_TRUE(r.findings.has("file-size")) << codes(r);
    EXPECT_FALSE(r.clean());

    Store tiny = s;
    tiny.b.resize(300);
    EXPECT_FALSE(check(tiny, "tiny.pst").readable);

    Store foreign = s;
    foreign.b[0] = 'X';
    EXPECT_FALSE(check(foreign, "foreign.pst").readable);
    EXPECT_FALSE(checkStore("/nonexistent/file.pst").readable);
}

// The tool's contract: 0 clean, 1 findings, 2 unreadable.
TEST(PstCheck, ExitStatus) {
    fs::path tool = fs::path(TP_BINARY_DIR) / "bin" / "pstcheck";
    if (!fs::exists(tool)) GTEST_SKIP() << "pstcheck not built";
    auto run = [&](const fs::path& f) {
        std::string cmd = tool.string() + " '" + f.string() + "' > /dev/null";
        int st = std::system(cmd.c_str());
        return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    };
    EXPECT_EQ(run(kSample1), 0);
    Store s(kSample1);
    s.b[40] ^= 1;
    EXPECT_EQ(run(s.save("exit1.pst")), 1);
    s.b.resize(100);
    EXPECT_EQ(run(s.save("exit2.pst")), 2);
}

// Random damage, with the CRCs of the damaged pages and blocks repaired half of
// the time so that the damage reaches the parsers behind them. The checker
// must return on every one of these files.
TEST(PstCheck, SurvivesRandomDamage) {
    for (const char* name : kSampleNames) {
        const Store original(samplePath(name));
        FileSource src;
        std::string err;
        ASSERT_TRUE(src.open(samplePath(name), err)) << err;
        Findings none;
        NdbReader ndb(src, none);
        ASSERT_TRUE(ndb.readHeader(err));
        ndb.readTrees();
        std::vector<std::pair<std::size_t, std::uint16_t>> blocks;
        for (const auto& b : ndb.blocks()) blocks.emplace_back(b.ib, b.cb);
        std::vector<std::uint64_t> pages = ndb.btreePages();

        std::mt19937 rng(12345);
        for (int round = 0; round < 150; ++round) {
            Store s = original;
            bool repair = round % 2 == 0;
            int edits = 1 + int(rng() % 6);
            for (int k = 0; k < edits; ++k) {
                switch (rng() % 4) {
                    case 0: {  // anywhere
                        s.b[rng() % s.b.size()] = std::uint8_t(rng());
                        break;
                    }
                    case 1: {  // inside a block
                        auto [ib, cb] = blocks[rng() % blocks.size()];
                        if (cb == 0) break;
                        s.b[ib + rng() % cb] = std::uint8_t(rng());
                        if (repair) s.fixBlock(ib, cb);
                        break;
                    }
                    case 2: {  // inside a B-tree page's entries or counts
                        std::size_t page = pages[rng() % pages.size()];
                        s.b[page + rng() % 496] = std::uint8_t(rng());
                        if (repair) s.fixPage(page);
                        break;
                    }
                    default: {  // a 16-bit field set to an extreme
                        auto [ib, cb] = blocks[rng() % blocks.size()];
                        if (cb < 2) break;
                        s.put16(ib + (rng() % (cb - 1)), rng() % 2 ? 0xFFFF : 0);
                        if (repair) s.fixBlock(ib, cb);
                        break;
                    }
                }
            }
            if (rng() % 10 == 0) s.b.resize(rng() % s.b.size());
            Report r = check(s, "fuzz.pst");
            if (r.readable) {
                EXPECT_LE(r.findings.list().size(), r.findings.total());
            }
        }
    }
}

// Each way a store can differ from Outlook's shape is found, on a store made
// wrong on purpose, and only when shape findings are asked for.
TEST(PstCheck, ShapeFindingsFireOnPurposeMadeStores) {
    auto expectShapeOnly = [](const Store& s, const std::string& name, const std::string& code) {
        Report plain = check(s, name);
        EXPECT_FALSE(plain.findings.has(code)) << codes(plain);
        Report shaped = check(s, name, true);
        EXPECT_TRUE(hasShape(shaped, code)) << name << ":\n" << codes(shaped);
    };
    {
        // The store's display name becomes a present value referring to HID 0.
        Store s(kSample1);
        editNodeData(s, 0x21, [](std::vector<std::uint8_t>& d) {
            std::size_t v = pcValue(d, 0x3001, 0x001F);
            for (int i = 0; i < 4; ++i) d[v + i] = 0;
        });
        expectShapeOnly(s, "hid-zero.pst", "hid-zero");
    }
    {
        // The attachment's data becomes a present value referring to HID 0.
        Store s(kSample1);
        ASSERT_EQ(editAttachment(s,
                                 [](std::vector<std::uint8_t>& d) {
                                     std::size_t v = pcValue(d, 0x3701, 0x0102);
                                     for (int k = 0; k < 4; ++k) d[v + k] = 0;
                                 }),
                  1);
        expectShapeOnly(s, "attachment-hid-zero.pst", "hid-zero");
        Report r = check(s, "attachment-hid-zero.pst", true);
        EXPECT_NE(codes(r).find("property 0x37010102 is present but refers to HID 0"),
                  std::string::npos)
            << codes(r);
    }
    {
        // An attached message whose PidTagAttachDataObject refers to HID 0: an
        // error, with or without --shape (the message cannot be reached).
        const fs::path p = scratchFolder() / "embedded.pst";
        fs::create_directories(p.parent_path());
        fs::remove(p);
        std::string err;
        auto store = tp::pst::Store::create(p, "Embedded", err);
        ASSERT_TRUE(store) << err;
        auto folder = store->addFolder("Inbox", err);
        ASSERT_TRUE(folder) << err;
        tp::pst::Message m;
        m.props.set(0x001A001F, std::string("IPM.Note"));
        tp::pst::Attachment a;
        a.embedded = std::make_shared<tp::pst::Message>(m);
        m.attachments.push_back(a);
        ASSERT_TRUE(store->addMessage(*folder, m, err)) << err;
        ASSERT_TRUE(store->close(err)) << err;
        Store s(p);
        ASSERT_EQ(editAttachment(
                      s,
                      [](std::vector<std::uint8_t>& d) {
                          std::size_t v = pcValue(d, 0x3701, 0x000D);
                          for (int k = 0; k < 4; ++k) d[v + k] = 0;
                      },
                      p),
                  1);
        Report r = check(s, "object-hid-zero.pst");
        EXPECT_TRUE(r.findings.has("dangling-hid")) << codes(r);
        EXPECT_NE(codes(r).find("property 0x3701 (0xD): object reference does not resolve"),
                  std::string::npos)
            << codes(r);
    }
    {
        // The store's heap root moves from its first allocation (0x20) to a copy
        // of its BTH header in the fifth (0xA0, a binary value nothing reads).
        Store s(kSample1);
        editNodeData(s, 0x21, [](std::vector<std::uint8_t>& d) {
            std::size_t ibHnpm = rd16(d.data());
            std::size_t first = rd16(d.data() + ibHnpm + 4), fifth = rd16(d.data() + ibHnpm + 12);
            ASSERT_EQ(d[first], 0xB5);
            std::copy_n(d.begin() + long(first), 8, d.begin() + long(fifth));
            d[4] = 0xA0;
        });
        expectShapeOnly(s, "heap-root.pst", "heap-root");
    }
    {
        // The index heap every current Outlook store holds (0xC01) becomes a node
        // Outlook does not write.
        Store s(kSample1);
        std::size_t e = s.leafEntry(true, 0xC01);
        s.put64(e, 0xC1E);
        s.fixPage(e);
        expectShapeOnly(s, "outlook-node.pst", "outlook-node");
        Report r = check(s, "outlook-node.pst", true);
        EXPECT_NE(codes(r).find("node 0xC01: node every Outlook store holds is missing"),
                  std::string::npos)
            << codes(r);
    }
    {
        // The contents template's PidTagImportance column becomes another.
        Store s(kSample1);
        editNodeData(s, 0x60E, [](std::vector<std::uint8_t>& d) {
            const std::uint8_t col[] = {0x03, 0x00, 0x17, 0x00};
            auto at = std::search(d.begin(), d.end(), std::begin(col), std::end(col));
            ASSERT_NE(at, d.end());
            at[2] = 0x18;
        });
        expectShapeOnly(s, "template.pst", "table-template");
        Report r = check(s, "template.pst", true);
        EXPECT_NE(codes(r).find("0x170003"), std::string::npos) << codes(r);
        EXPECT_NE(codes(r).find("0x180003"), std::string::npos) << codes(r);
    }
    {
        // The same in the contents table of "Sample1", which holds a message.
        Store s(kSample1);
        editNodeData(s, 0x808E, [](std::vector<std::uint8_t>& d) {
            const std::uint8_t col[] = {0x03, 0x00, 0x17, 0x00};
            auto at = std::search(d.begin(), d.end(), std::begin(col), std::end(col));
            ASSERT_NE(at, d.end());
            at[2] = 0x18;
        });
        expectShapeOnly(s, "contents-columns.pst", "table-template");
        Report r = check(s, "contents-columns.pst", true);
        bool found = false;
        for (const auto& f : r.findings.list())
            found = found || (f.code == "table-template" &&
                              f.where.find(hex(kFolderSample1)) != std::string::npos &&
                              f.message.find("0x180003") != std::string::npos);
        EXPECT_TRUE(found) << codes(r);
    }
}
