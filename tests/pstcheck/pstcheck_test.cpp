// The store checker against stores Outlook wrote (they must pass), against
// copies damaged in one precise way each (each must fail with the finding that
// names the damage), and against random damage (it must never crash or hang).
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
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
const fs::path kSample1 = kSamples / "outlook-unicode-sample1.pst";
constexpr std::uint32_t kFolderSample1 = 0x8082;  // "Sample1", one message
constexpr std::uint32_t kMessage = 0x200024;
using Bytes = std::vector<std::uint8_t>;

// A store loaded in memory, with just enough knowledge of the format to damage
// it precisely and to repair the CRCs that would otherwise hide deeper damage.
struct Store {
    std::vector<std::uint8_t> b;

    explicit Store(const fs::path& path) {
        std::ifstream in(path, std::ios::binary);
        b.assign(std::istreambuf_iterator<char>(in), {});
    }
    std::uint64_t u64(std::size_t at) const { return rd64(b.data() + at); }
    // The `n` low bytes of `v` at `at`, little-endian.
    void put(std::size_t at, std::uint64_t v, int n) {
        for (int i = 0; i < n; ++i) b[at + std::size_t(i)] = std::uint8_t(v >> (8 * i));
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
        put(page + 500, tp::pst::ndb::crc32(b.data() + page, 496), 4);
    }
    void fixHeader() {
        put(4, tp::pst::ndb::crc32(b.data() + 8, 471), 4);
        put(524, tp::pst::ndb::crc32(b.data() + 8, 516), 4);
    }
    // Sets `n` bytes at `field` of the leaf entry of `key`, its page's CRC repaired.
    void setEntry(bool nbt, std::uint64_t key, std::size_t field, std::uint64_t v, int n = 8) {
        const std::size_t e = leafEntry(nbt, key);
        put(e + field, v, n);
        fixPage(e);
    }
    // Block of `bid`: offset and data size, from its BBT entry.
    std::pair<std::size_t, std::uint16_t> block(std::uint64_t bid) const {
        std::size_t e = leafEntry(false, bid);
        return {std::size_t(u64(e + 8)), rd16(b.data() + e + 16)};
    }
    std::size_t trailer(std::uint64_t bid) const {
        auto [ib, cb] = block(bid);
        return ib + ((cb + 16 + 63) & ~std::size_t(63)) - 16;
    }
    void fixBlock(std::size_t ib, std::uint16_t cb) {
        std::size_t alloc = (cb + 16 + 63) & ~std::size_t(63);
        put(ib + alloc - 12, tp::pst::ndb::crc32(b.data() + ib, cb), 4);
    }
    std::uint64_t nodeData(std::uint32_t nid) const { return u64(leafEntry(true, nid) + 8); }
    fs::path save(const std::string& name) const {
        fs::path dir = tp::test::programScratch();
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

Report checkShape(const fs::path& p, bool shape = true) {
    CheckOptions options;
    options.shape = shape;
    return checkStore(p, options);
}
Report check(const Store& s, const std::string& name, bool shape = false) {
    return checkShape(s.save(name), shape);
}

// A finding of `code` (a shape finding with `shape`) whose text holds `words`.
bool hasFinding(const Report& r, const std::string& code, const std::string& words = "",
                bool shape = false) {
    for (const auto& f : r.findings.list())
        if (f.code == code && (!shape || f.shape) &&
            (f.where + ": " + f.message).find(words) != std::string::npos)
            return true;
    return false;
}

// Rewrites the decoded data of block `bid` through `edit`.
void editBlockData(Store& s, std::uint64_t bid, const std::function<void(Bytes&)>& edit) {
    auto [ib, cb] = s.block(bid);
    std::vector<std::uint8_t> data(s.b.begin() + long(ib), s.b.begin() + long(ib + cb));
    tp::pst::ndb::permuteDecode(data.data(), data.size());
    edit(data);
    tp::pst::ndb::permuteEncode(data.data(), data.size());
    std::copy(data.begin(), data.end(), s.b.begin() + long(ib));
    s.fixBlock(ib, cb);
}

// The value field of property `id` in a property context's BTH records.
std::size_t pcValue(Bytes& data, std::uint16_t id, std::uint16_t type) {
    const std::uint8_t rec[] = {std::uint8_t(id), std::uint8_t(id >> 8), std::uint8_t(type),
                                std::uint8_t(type >> 8)};
    auto at = std::search(data.begin(), data.end(), std::begin(rec), std::end(rec));
    EXPECT_NE(at, data.end());
    return std::size_t(at - data.begin()) + 4;
}

// Property `id` of type `from` becomes type `to` (its key, and so the records'
// order, unchanged): to a checker that asks for the first type it is gone.
void retype(Bytes& d, std::uint16_t id, std::uint16_t from, std::uint16_t to) {
    const std::size_t v = pcValue(d, id, from);
    d[v - 2] = std::uint8_t(to);
    d[v - 1] = std::uint8_t(to >> 8);
}

// Damage made by editing the data of node `nid`.
std::function<void(Store&)> nodeEdited(std::uint32_t nid, std::function<void(Bytes&)> edit) {
    return [=](Store& s) { editBlockData(s, s.nodeData(nid), edit); };
}
// Edits of a node's properties: one retyped, or one's four-byte value set.
std::function<void(Store&)> retyped(std::uint32_t nid, std::uint16_t id, std::uint16_t from,
                                    std::uint16_t to) {
    return nodeEdited(nid, [=](Bytes& d) { retype(d, id, from, to); });
}
void setValue(Bytes& d, std::uint16_t id, std::uint16_t type, std::uint32_t v) {
    const std::size_t at = pcValue(d, id, type);
    for (int k = 0; k < 4; ++k) d[at + std::size_t(k)] = std::uint8_t(v >> (8 * k));
}

// The blocks and B-tree pages of `store`, as its reader finds them.
std::pair<std::vector<BlockEntry>, std::vector<std::uint64_t>> layout(const fs::path& store) {
    FileSource src;
    std::string err;
    EXPECT_TRUE(src.open(store, err)) << err;
    Findings none;
    NdbReader ndb(src, none);
    EXPECT_TRUE(ndb.readHeader(err)) << err;
    ndb.readTrees();
    ndb.verifyBlocks();
    return {ndb.blocks(), ndb.btreePages()};
}

// The internal blocks of one kind (btype 1: data tree, 2: subnode tree).
std::vector<BlockEntry> internalBlocks(std::uint8_t btype, const fs::path& store = kSample1) {
    std::vector<BlockEntry> out;
    for (const auto& b : layout(store).first)
        if ((b.bid & 2) && b.btype == btype) out.push_back(b);
    return out;
}

// Rewrites the data of every attachment object (a subnode of its message) of
// `store`, loaded in `s`, through `edit`; the number of attachment objects edited.
int editAttachment(Store& s, const std::function<void(Bytes&)>& edit,
                   const fs::path& store = kSample1) {
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
// Damage made by editing the store's header.
std::function<void(Store&)> headerField(std::function<void(Store&)> edit) {
    return [=](Store& s) {
        edit(s);
        s.fixHeader();
    };
}
std::function<void(Store&)> attachmentEdited(const std::function<void(Bytes&)>& edit) {
    return [=](Store& s) { ASSERT_EQ(editAttachment(s, edit), 1); };
}

// The offset of heap item `hid` in the decoded first block of a heap.
std::size_t heapItem(const Bytes& d, std::uint32_t hid) {
    const std::size_t map = rd16(d.data());
    return rd16(d.data() + map + 4 + 2 * (((hid >> 5) & 0x7FF) - 1));
}

std::size_t nbtRoot(const Store& s) {
    return std::size_t(s.u64(224));
}

// Damage made by editing one page in place: `edit` returns the offset it
// changed, whose page's CRC is then repaired.
std::function<void(Store&)> pageEdited(std::function<std::size_t(Store&)> edit) {
    return [=](Store& s) { s.fixPage(edit(s)); };
}

// One way of damaging the sample, and the findings ("code" or "code: words")
// that must name it.
struct Damage {
    const char* file;
    std::function<void(Store&)> damage;
    std::vector<std::string> expected;
};

// With `shape`, the findings are shape findings, made only when asked for.
void expectFound(const std::vector<Damage>& cases, bool shape = false) {
    for (const Damage& c : cases) {
        SCOPED_TRACE(c.file);
        Store s(kSample1);
        c.damage(s);
        const Report r = check(s, c.file, shape);
        const std::string plain = shape ? codes(check(s, c.file)) : "";
        for (const std::string& e : c.expected) {
            const std::size_t colon = e.find(": ");
            const std::string code = e.substr(0, colon);
            EXPECT_TRUE(
                hasFinding(r, code, colon == std::string::npos ? "" : e.substr(colon + 2), shape))
                << e << " not in\n"
                << codes(r);
            EXPECT_EQ(plain.find(code + " ("), std::string::npos) << plain;
        }
    }
}

// A store of one folder holding `m`, written by our writer.
void writeStore(const fs::path& p, const tp::pst::Message& m) {
    fs::create_directories(p.parent_path());
    fs::remove(p);
    std::string err;
    auto store = tp::pst::Store::create(p, "Test", err);
    ASSERT_TRUE(store) << err;
    auto folder = store->addFolder("Inbox", err);
    ASSERT_TRUE(folder) << err;
    ASSERT_TRUE(store->addMessage(*folder, m, err)) << err;
    ASSERT_TRUE(store->close(err)) << err;
}

tp::pst::Message note(const std::string& subject) {
    tp::pst::Message m;
    m.props.set(0x001A001F, std::string("IPM.Note"));
    m.props.set(0x0037001F, subject);
    return m;
}

}  // namespace

// A store Outlook wrote is valid: no errors in any of them. The current
// Outlook's three stores also have the shape ours are measured by; the older
// Outlook's store has its own templates, empty values and sizes, reported only
// as shape findings.
TEST(PstCheck, OutlookStoresPass) {
    for (const char* name : kSampleNames) {
        Report r = checkShape(kSamples / name);
        EXPECT_TRUE(r.readable && r.clean()) << name << ": " << r.fatal << "\n" << codes(r);
    }

    const fs::path older = kSamples / "outlook-unicode-libyal.pst";
    Report plain = checkStore(older);
    EXPECT_TRUE(plain.clean()) << codes(plain);
    EXPECT_EQ(plain.folders, 21u);
    EXPECT_EQ(plain.attachments, 22u);
    Report shaped = checkShape(older);
    EXPECT_EQ(shaped.findings.errorTotal(), 0u) << codes(shaped);
    for (const char* code : {"table-template", "hid-zero", "conversation-index", "message-size",
                             "outlook-node", "row-empty"})
        EXPECT_TRUE(hasFinding(shaped, code, "", true)) << code << "\n" << codes(shaped);
}

// Damage to the node database: CRCs, references, counts, allocation maps, header
// fields, B-tree pages and block trailers (every CRC but the damaged one repaired).
TEST(PstCheck, NodeDatabaseDamageIsFound) {
    expectFound({
        {"header.pst", [](Store& s) { s.b[40] ^= 0x01; }, {"header-crc"}},  // dwUnique
        {"flip.pst",
         [](Store& s) {
             auto [ib, cb] = s.block(s.nodeData(0x21));
             s.b[ib + cb / 2] ^= 0x40;  // one bit of the message store's data
         },
         {"block-crc"}},
        {"refcount.pst",  // cRef one too many
         pageEdited([](Store& s) {
             const std::size_t e = s.leafEntry(false, s.nodeData(kFolderSample1));
             s.put(e + 18, rd16(s.b.data() + e + 18) + 1u, 2);
             return e;
         }),
         {"refcount"}},
        {"dangling-block.pst",
         [](Store& s) { s.setEntry(true, kFolderSample1, 8, 0xFFFF0); },
         {"dangling-block"}},
        {"amap.pst",  // the folder's block marked free
         pageEdited([](Store& s) {
             const std::size_t unit = (s.block(s.nodeData(kFolderSample1)).first - 0x4400) / 64;
             s.b[0x4400 + unit / 8] &= std::uint8_t(~(0x80 >> (unit % 8)));
             return 0x4400;
         }),
         {"amap-missing", "amap-free"}},
        {"leak.pst",  // the last unit of the file's only AMap, free, marked used
         pageEdited([](Store& s) {
             EXPECT_EQ(s.b[0x4400 + 495] & 1, 0);
             s.b[0x4400 + 495] |= 1;
             return 0x4400;
         }),
         {"amap-leak"}},
        {"rgnid.pst",  // rgnid of normal messages below the message's index
         headerField([](Store& s) { s.put(44 + 4 * 4, 0x10000, 4); }),
         {"nid-counter"}},
        {"overlap.pst",  // the folder's data block moved onto the store's
         [](Store& s) {
             s.setEntry(false, s.nodeData(kFolderSample1), 8, s.block(s.nodeData(0x21)).first);
         },
         {"overlap"}},
        {"dlist.pst",  // Outlook left the density list empty; one entry with a wrong count
         pageEdited([](Store& s) {
             s.b[0x4200 + 1] = 1;
             s.put(0x4200 + 8, 7u << 20, 4);
             return 0x4200;
         }),
         {"dlist"}},
        {"lcbtotal.pst",  // the attachment's data tree claims one byte more than it holds
         [](Store& s) {
             auto x = internalBlocks(1);
             ASSERT_FALSE(x.empty());
             s.put(x[0].ib + 4, rd32(s.b.data() + x[0].ib + 4) + 1, 4);
             s.fixBlock(x[0].ib, x[0].cb);
         },
         {"data-tree"}},
        {"subnodes.pst",  // the first SLENTRY's id raised above the second's
         [](Store& s) {
             auto sl = internalBlocks(2);
             auto it = std::find_if(sl.begin(), sl.end(), [&](const BlockEntry& b) {
                 return b.level == 0 && rd16(s.b.data() + b.ib + 2) >= 2;
             });
             ASSERT_NE(it, sl.end());
             s.put(it->ib + 8, rd32(s.b.data() + it->ib + 8 + 24) + 1, 4);
             s.fixBlock(it->ib, it->cb);
         },
         {"subnode-tree"}},
        {"level.pst",  // the NBT root claims to be a leaf
         pageEdited([](Store& s) {
             EXPECT_GT(s.b[nbtRoot(s) + 491], 0);
             s.b[nbtRoot(s) + 491] = 0;
             return nbtRoot(s);
         }),
         {"btree-page", "missing-node"}},
        {"amapvalid.pst",  // the allocation maps marked invalid
         headerField([](Store& s) { s.b[0xF8] = 0; }),
         {"amap-invalid"}},
        {"bidnextp.pst",  // bidNextP below every page's id
         headerField([](Store& s) { s.put(0x20, 1, 8); }),
         {"page-bid"}},
        {"bidnextb.pst",  // bidNextB below every block's id
         headerField([](Store& s) { s.put(0x204, 4, 8); }),
         {"block-bid"}},
        {"ptype.pst",  // the NBT root says it belongs to the BBT
         pageEdited([](Store& s) {
             s.b[nbtRoot(s) + 496] = s.b[nbtRoot(s) + 497] = 0x80;
             return nbtRoot(s);
         }),
         {"page-trailer"}},
        {"wsig.pst",
         pageEdited([](Store& s) {
             s.b[nbtRoot(s) + 498] ^= 1;
             return nbtRoot(s);
         }),
         {"page-signature"}},
        {"child-level.pst",  // a leaf below the root claims a level of its own
         pageEdited([](Store& s) {
             const std::size_t child = std::size_t(s.u64(nbtRoot(s) + 16));
             EXPECT_EQ(s.b[child + 491], 0);
             s.b[child + 491] = 1;
             return child;
         }),
         {"btree-level"}},
        {"index-key.pst",  // the root's second key is not its child page's first key
         pageEdited([](Store& s) {
             EXPECT_GE(s.b[nbtRoot(s) + 488], 2);
             s.put(nbtRoot(s) + 24, s.u64(nbtRoot(s) + 24) + 1, 8);
             return nbtRoot(s);
         }),
         {"btree-key"}},
        {"order2.pst", [](Store& s) { s.setEntry(true, 0x808E, 0, 0x22); }, {"btree-order"}},
        {"cb.pst",  // a block entry bigger than any block
         [](Store& s) { s.setEntry(false, s.nodeData(kFolderSample1), 16, 9000, 2); },
         {"block-size"}},
        {"ib.pst",  // a block off the 64-byte grid
         [](Store& s) {
             const std::uint64_t bid = s.nodeData(kFolderSample1);
             s.setEntry(false, bid, 8, s.block(bid).first + 8);
         },
         {"block-offset"}},
        {"block-trailer.pst",  // a block's trailer names another block
         [](Store& s) {
             const std::size_t t = s.trailer(s.nodeData(kFolderSample1));
             s.put(t + 8, s.u64(t + 8) + 4, 8);
         },
         {"block-trailer"}},
        {"block-sig.pst",  // a block's signature is not its own
         [](Store& s) {
             const std::size_t t = s.trailer(s.nodeData(kFolderSample1));
             s.put(t + 2, rd16(s.b.data() + t + 2) ^ 1u, 2);
         },
         {"block-signature"}},
        {"xlevel.pst",  // a data tree block of a level no tree has
         [](Store& s) {
             auto x = internalBlocks(1);
             ASSERT_FALSE(x.empty());
             s.b[x[0].ib + 1] = 3;
             s.fixBlock(x[0].ib, x[0].cb);
         },
         {"block-internal"}},
        {"orphan.pst",  // the folder's node takes the store's data; its own is left over
         [](Store& s) { s.setEntry(true, kFolderSample1, 8, s.nodeData(0x21)); },
         {"orphan-block"}},
        {"amaplast.pst",  // ibAMapLast one interval on
         headerField([](Store& s) { s.put(0xC0, s.u64(0xC0) + 0x3E000, 8); }),
         {"header-field: ibAMapLast"}},
        {"amap-trailer.pst",
         pageEdited([](Store& s) {
             s.b[0x4400 + 496] = 0x83;
             return 0x4400;
         }),
         {"map-page: trailer does not describe this map page"}},
        {"pmap.pst",  // the PMap holds the AMap's own page in reserve
         pageEdited([](Store& s) {
             s.b[0x4600] &= 0x7F;
             return 0x4600;
         }),
         {"pmap: a page held in reserve is in use"}},
        {"pmapfree.pst",  // cbPMapFree one page more than the PMaps hold
         headerField([](Store& s) { s.put(0xD0, s.u64(0xD0) + 512, 8); }),
         {"pmap-free: cbPMapFree is"}},
    });
}

// Damage above it: links between nodes, heaps, tables, the store's own objects,
// folders, messages and attachments, each with every CRC repaired.
TEST(PstCheck, MessagingDamageIsFound) {
    expectFound({
        {"dangling-nid.pst",  // the message's parent: no such folder
         [](Store& s) { s.setEntry(true, kMessage, 24, 0x12342, 4); },
         {"parent", "content-count", "contents-row"}},
        {"order.pst",  // the contents table out of the NBT key space; the page CRC stale
         [](Store& s) { s.put(s.leafEntry(true, 0x808E), 0x808E + 0x20 * 0x1000, 8); },
         {"page-crc"}},
        {"table-parent.pst",
         [](Store& s) { s.setEntry(true, 0x808E, 24, kFolderSample1, 4); },
         {"parent"}},
        {"heap.pst",  // odd ibHnpm
         nodeEdited(0x21, [](Bytes& d) { d[0] |= 1; }),
         {"heap"}},
        {"unread.pst",  // the message unread: its folder's count and row disagree
         nodeEdited(kMessage,
                    [](Bytes& d) {
                        std::size_t v = pcValue(d, 0x0E07, 0x0003);
                        ASSERT_EQ(d[v] & 1, 1);
                        d[v] &= 0xFE;
                    }),
         {"unread-count", "row-mismatch"}},
        {"hasattach.pst",  // the attachments flag gone, the attachment still there
         nodeEdited(kMessage,
                    [](Bytes& d) { d[pcValue(d, 0x0E07, 0x0003)] &= std::uint8_t(~0x10); }),
         {"attach-flag"}},
        {"store-name.pst",
         retyped(0x21, 0x3001, 0x1F, 0x1E),
         {"store-props: PidTagDisplayName missing"}},
        {"buckets.pst",
         nodeEdited(0x61, [](Bytes& d) { setValue(d, 1, 3, 0); }),
         {"nameid-map: PidTagNameidBucketCount missing or zero"}},
        {"template-rows.pst",  // the contents template given the folder's table
         [](Store& s) { s.setEntry(true, 0x60E, 8, s.nodeData(0x808E)); },
         {"template: contents template has rows"}},
        {"folder-props.pst",
         retyped(kFolderSample1, 0x3603, 0x03, 0x02),
         {"folder-props: PidTagContentUnreadCount"}},
        {"subfolders.pst",
         nodeEdited(kFolderSample1, [](Bytes& d) { d[pcValue(d, 0x360A, 0x0B)] = 1; }),
         {"subfolders-flag: PidTagSubfolders is 1 with 0"}},
        {"moved.pst",  // "Sample1" moved under Deleted Items, the rows unchanged
         [](Store& s) { s.setEntry(true, kFolderSample1, 24, 0x8042, 4); },
         {"hierarchy-row: names no sub-folder of this folder",
          "hierarchy-row: sub-folder " + hex(kFolderSample1) + " has no hierarchy row"}},
        {"message-props.pst",
         retyped(kMessage, 0x3008, 0x40, 0x14),
         {"message-props: lacks required property 0x30080040"}},
        {"named.pst",  // a named property the name-to-id map does not define
         nodeEdited(kMessage,
                    [](Bytes& d) {
                        const std::size_t v = pcValue(d, 0x8085, 0x001F);
                        d[v - 4] = 0xF0;
                        d[v - 3] = 0xFF;
                    }),
         {"named-prop: property 0xFFF0 is not defined"}},
        {"attachment-props.pst",
         attachmentEdited([](Bytes& d) { retype(d, 0x370B, 0x03, 0x02); }),
         {"attachment-props: lacks required property 0x370B"}},
        {"attach-size.pst",
         attachmentEdited([](Bytes& d) { setValue(d, 0x0E20, 3, 1); }),
         {"attach-size: PidTagAttachSize 1 for 93142 bytes"}},
        {"attachment-table.pst",  // the attachment table's subnode gets another id
         [](Store& s) {
             for (const BlockEntry& sl : internalBlocks(2))
                 for (unsigned i = 0; sl.level == 0 && i < rd16(s.b.data() + sl.ib + 2); ++i)
                     if (rd32(s.b.data() + sl.ib + 8 + 24 * i) == 0x671) {
                         s.put(sl.ib + 8 + 24 * i, 0x66F, 4);
                         s.fixBlock(sl.ib, sl.cb);
                     }
         },
         {"attachment-row: attachments exist without an attachment table"}},
        {"client-sig.pst",  // the folder's heap says it holds a table
         nodeEdited(kFolderSample1, [](Bytes& d) { d[3] = 0x7C; }),
         {"pc"}},
        {"bth-key.pst",  // the folder's BTH header with keys of four bytes
         nodeEdited(kFolderSample1, [](Bytes& d) { d[heapItem(d, 0x20) + 1] = 4; }),
         {"bth"}},
        {"hidindex.pst",  // the contents table's deprecated hidIndex set
         nodeEdited(0x808E, [](Bytes& d) { d[heapItem(d, 0x40) + 18] = 0x20; }),
         {"tc"}},
        {"prop-type.pst", retyped(kFolderSample1, 0x3613, 0x1F, 0x99), {"prop-type"}},
        {"multi.pst",  // the record key read as a list of binaries that cannot be one
         retyped(0x21, 0x0FF9, 0x0102, 0x1102),
         {"prop-value"}},
        {"no-hid.pst",  // the message's creation time in a heap item that is not there
         nodeEdited(kMessage, [](Bytes& d) { setValue(d, 0x3007, 0x40, 0xFFE0); }),
         {"dangling-hid"}},
        {"no-subnode.pst",  // the message's search key in a subnode that is not there
         nodeEdited(kMessage, [](Bytes& d) { setValue(d, 0x300B, 0x0102, 0x1FFFF); }),
         {"dangling-subnode"}},
    });
}

// The tool's contract: 0 clean, 1 findings (a truncated store among them),
// 2 unreadable (too short, not a store, not there).
TEST(PstCheck, ExitStatus) {
    auto run = [](const fs::path& f, const std::string& words = "") {
        int status = -1;
        EXPECT_TRUE(tp::test::has(
            tp::test::output("'" TP_BINARY_DIR "/bin/pstcheck' '" + f.string() + "' 2>&1", &status),
            words));
        return status;
    };
    EXPECT_EQ(run(kSample1), 0);
    Store s(kSample1);
    s.b.resize(0x4400 + 0x10000);
    EXPECT_EQ(run(s.save("half.pst"), "file-size"), 1);
    s.b.resize(300);
    EXPECT_EQ(run(s.save("tiny.pst")), 2);
    Store foreign(kSample1);
    foreign.b[0] = 'X';
    EXPECT_EQ(run(foreign.save("foreign.pst")), 2);
    EXPECT_EQ(run("/nonexistent/file.pst"), 2);
}

// Random damage, with the CRCs of the damaged pages and blocks repaired half of
// the time so that the damage reaches the parsers behind them. The checker
// must return on every one of these files.
TEST(PstCheck, SurvivesRandomDamage) {
    for (const char* name : kSampleNames) {
        const Store original(kSamples / name);
        const auto [blocks, pages] = layout(kSamples / name);
        std::mt19937 rng(12345);
        for (int round = 0; round < 150; ++round) {
            Store s = original;
            bool repair = round % 2 == 0;
            int edits = 1 + int(rng() % 6);
            for (int k = 0; k < edits; ++k) {
                const BlockEntry& block = blocks[rng() % blocks.size()];
                const std::size_t ib = block.ib;
                const std::uint16_t cb = block.cb;
                const std::size_t page = pages[rng() % pages.size()];
                switch (rng() % 4) {
                    case 0:  // anywhere
                        s.b[rng() % s.b.size()] = std::uint8_t(rng());
                        break;
                    case 1:  // inside a block
                        if (cb > 0) s.b[ib + rng() % cb] = std::uint8_t(rng());
                        if (repair && cb > 0) s.fixBlock(ib, cb);
                        break;
                    case 2:  // inside a B-tree page's entries or counts
                        s.b[page + rng() % 496] = std::uint8_t(rng());
                        if (repair) s.fixPage(page);
                        break;
                    default:  // a 16-bit field set to an extreme
                        if (cb >= 2) s.put(ib + (rng() % (cb - 1)), rng() % 2 ? 0xFFFF : 0, 2);
                        if (repair && cb >= 2) s.fixBlock(ib, cb);
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
    expectFound(
        {
            // the store's display name: a present value referring to HID 0
            {"hid-zero.pst",
             nodeEdited(0x21, [](Bytes& d) { setValue(d, 0x3001, 0x1F, 0); }),
             {"hid-zero"}},
            {"attachment-hid-zero.pst",
             attachmentEdited([](Bytes& d) { setValue(d, 0x3701, 0x0102, 0); }),
             {"hid-zero: property 0x37010102 is present but refers to HID 0"}},
            {"heap-root.pst",  // the heap root moved to a copy of its BTH header in the fifth item
             nodeEdited(0x21,
                        [](Bytes& d) {
                            std::size_t ibHnpm = rd16(d.data());
                            std::size_t first = rd16(d.data() + ibHnpm + 4),
                                        fifth = rd16(d.data() + ibHnpm + 12);
                            ASSERT_EQ(d[first], 0xB5);
                            std::copy_n(d.begin() + long(first), 8, d.begin() + long(fifth));
                            d[4] = 0xA0;
                        }),
             {"heap-root"}},
            // PidTagImportance's column in "Sample1"'s contents table becomes another
            {"contents-columns.pst",
             nodeEdited(0x808E,
                        [](Bytes& d) {
                            const std::uint8_t col[] = {0x03, 0x00, 0x17, 0x00};
                            auto at =
                                std::search(d.begin(), d.end(), std::begin(col), std::end(col));
                            ASSERT_NE(at, d.end());
                            at[2] = 0x18;
                        }),
             {"table-template: " + hex(kFolderSample1), "table-template: 0x180003"}},
        },
        true);
}

// Attached messages nest; past eight levels the checker stops and says so. One
// whose PidTagAttachDataObject refers to HID 0 is an error, not a shape finding:
// the message cannot be reached.
TEST(PstCheck, MessagesEmbeddedTooDeepAreFound) {
    auto nested = [](int levels) {
        tp::pst::Message m = note("level " + std::to_string(levels));
        for (int i = levels - 1; i >= 0; --i) {
            tp::pst::Attachment a;
            a.embedded = std::make_shared<tp::pst::Message>(m);
            m = note("level " + std::to_string(i));
            m.attachments.push_back(a);
        }
        return m;
    };
    const fs::path p = tp::test::programScratch() / "deep.pst";
    writeStore(p, nested(8));
    Report eight = checkStore(p);
    EXPECT_TRUE(eight.clean()) << codes(eight);
    Store s(p);
    ASSERT_GE(editAttachment(
                  s, [](Bytes& d) { setValue(d, 0x3701, 0x000D, 0); }, p),
              1);
    EXPECT_TRUE(hasFinding(check(s, "object-hid-zero.pst"), "dangling-hid",
                           "property 0x3701 (0xD): object reference does not resolve"));
    writeStore(p, nested(9));
    Report nine = checkStore(p);
    EXPECT_TRUE(nine.findings.has("embedded-depth")) << codes(nine);
}
