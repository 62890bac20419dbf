// Where a store differs from the shape Outlook gives its stores: table columns
// against Outlook's templates for each kind of table, values and cells that
// refer to HID 0.
#include <algorithm>

#include "common/compiler_quirks.h"
#include "pst/check/checker_parts.h"
#include "pst/messaging/columns.h"
#include "pst/messaging/names.h"

namespace tp::pst::check::detail {

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

// GCC 12 warns falsely here (see common/compiler_quirks.h).
TP_GCC12_FALSE_RESTRICT_BEGIN
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
TP_GCC12_FALSE_RESTRICT_END

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

}  // namespace tp::pst::check::detail
