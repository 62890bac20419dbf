#pragma once
// The checker's parts, shared by the files that hold its checks (checker.cpp
// lists them): the Checker class, the helpers its checks use and the sets of
// values and nodes Outlook's own stores hold. Not for use outside pst/check/.
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "pst/check/checker.h"
#include "pst/ltp/reader.h"
#include "pst/messaging/tags.h"
#include "pst/ndb/format.h"
#include "pst/ndb/reader.h"
#include "pst/pst.h"

namespace tp::pst::check::detail {

namespace fmt = tp::pst::ndb;
using namespace tp::pst::tags;

inline constexpr std::uint32_t kMsgFlagRead = 0x01;
inline constexpr std::uint32_t kMsgFlagHasAttach = 0x10;
inline constexpr std::uint32_t kSubnodeAttachmentTable = 0x671;
inline constexpr std::uint32_t kSubnodeRecipientTable = 0x692;

inline std::string nodeWhere(std::uint32_t nid) {
    return "node " + hex(nid);
}

inline bool isDefault(const Value& v) {
    return v.size == 0 || (fixedSize(v.type) > 0 && fixedSize(v.type) <= 8 && v.num == 0);
}

inline bool isTemplate(std::uint32_t nid) {
    return nid == fmt::kNidHierarchyTableTemplate || nid == fmt::kNidContentsTableTemplate ||
           nid == fmt::kNidAssocContentsTableTemplate ||
           nid == fmt::kNidSearchContentsTableTemplate || nid == fmt::kNidAttachmentTable ||
           nid == fmt::kNidRecipientTable;
}

inline const Value* prop(const PropMap& m, std::uint16_t id, std::uint16_t type) {
    auto it = m.find(id);
    return it != m.end() && it->second.type == type ? &it->second : nullptr;
}
inline const Value* prop(const PropMap& m, std::uint32_t tag) {
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

inline std::vector<std::uint32_t> unite(
    std::initializer_list<const std::vector<std::uint32_t>*> lists) {
    std::vector<std::uint32_t> out;
    for (const auto* l : lists)
        for (std::uint32_t t : *l)
            if (std::find(out.begin(), out.end(), t) == out.end()) out.push_back(t);
    return out;
}

// Empty values Outlook itself writes as HID 0: the root folder's name, the
// receive-folder table's default message class and an attachment's empty
// PidTagAttachEncoding (ours: the data of an empty attachment, the same form).
inline const std::set<std::uint32_t> kNoEmpty;
inline const std::set<std::uint32_t> kRootEmpty = {PidTagDisplayName};
inline const std::set<std::uint32_t> kReceiveEmpty = {PidTagMessageClass};
// An attachment's data (PidTagAttachDataBinary, PidTagAttachDataObject) is never
// HID 0, also when empty: a strict reader takes that for an attachment without data.
inline const std::set<std::uint32_t> kAttachmentEmpty = {PidTagAttachEncoding};

// Internal nodes (below 0x8000) a current Outlook's stores hold; 0x2A1, 0x62B,
// 0xC01 and 0xE41 beyond [MS-PST] 2.7.1 are in every one of them (0xE01 too,
// but its contents are Outlook's own and undescribed).
inline const std::set<std::uint32_t> kOutlookInternal = {
    0x21,  0x61,  0x122, 0x12D, 0x12E, 0x12F,  0x1E1,  0x201,  0x261, 0x281, 0x2A1,
    0x321, 0x501, 0x60D, 0x60E, 0x60F, 0x610,  0x62B,  0x64C,  0x671, 0x692, 0x6B6,
    0x6D7, 0x6F8, 0xC01, 0xE01, 0xE41, 0x2223, 0x2226, 0x2227, 0x2230};
inline const std::uint32_t kOutlookExpected[] = {0x2A1, 0x62B, 0xC01, 0xE41};

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

}  // namespace tp::pst::check::detail
