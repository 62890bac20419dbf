// The nodes: every node's data and subnode trees, its heap, property context
// or table context, and (as shape) Outlook's heap order and internal nodes.
#include <string>

#include "pst/check/checker_parts.h"
#include "pst/messaging/columns.h"
#include "pst/messaging/names.h"

namespace tp::pst::check::detail {

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

}  // namespace tp::pst::check::detail
