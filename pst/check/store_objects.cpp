// The minimum store ([MS-PST] 2.7): mandatory nodes, the message store's
// properties and entry ids, the name-to-id map.
#include <algorithm>
#include <string>

#include "pst/check/checker_parts.h"
#include "pst/messaging/columns.h"
#include "pst/messaging/names.h"

namespace tp::pst::check::detail {

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

}  // namespace tp::pst::check::detail
