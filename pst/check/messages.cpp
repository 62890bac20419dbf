// Messages ([MS-PST] 2.4.5, 2.4.6): contents rows against their messages,
// required properties, recipient and attachment tables, attached messages,
// sizes, named-property ids.
#include <string>

#include "pst/check/checker_parts.h"

namespace tp::pst::check::detail {

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

}  // namespace tp::pst::check::detail
