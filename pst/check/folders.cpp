// Folders ([MS-PST] 2.4.4): hierarchy rows against the folders they name,
// counts, subfolder flags, parent links.
#include <string>

#include "pst/check/checker_parts.h"

namespace tp::pst::check::detail {

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

}  // namespace tp::pst::check::detail
