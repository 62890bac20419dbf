// The messaging layer ([MS-PST] 2.4, 2.7): the store's fixed objects, folders with
// their hierarchy, contents and FAI tables, messages with recipients and
// attachments, and the name-to-id map.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <stdexcept>

#include "pst/ltp/builders.h"
#include "pst/messaging/columns.h"
#include "pst/messaging/names.h"
#include "pst/messaging/tags.h"
#include "pst/messaging/values.h"
#include "pst/ndb/crc.h"
#include "pst/ndb/format.h"
#include "pst/ndb/writer.h"
#include "pst/pst.h"

namespace tp::pst {
namespace {

using ltp::Bytes;
using ltp::Value;
using namespace ndb;
using namespace tags;

constexpr std::uint32_t tag(std::uint16_t id, std::uint16_t type) {
    return (std::uint32_t(id) << 16) | type;
}

constexpr std::uint32_t kMsgFlagRead = 0x01, kMsgFlagHasAttach = 0x10;

constexpr std::uint32_t kNidIpmSubtree = 0x8022;
constexpr std::uint32_t kNidSearchRoot = 0x8042;
constexpr std::uint32_t kNidDeletedItems = 0x8062;
constexpr std::uint32_t kNidSpamFolder = 0x2223;

template <class T>
Bytes raw(T v) {
    Bytes b(sizeof(T));
    std::memcpy(b.data(), &v, sizeof(T));
    return b;
}
Value int32Value(std::uint32_t t, std::int32_t v) {
    return {t, raw(v), 0, 0};
}
Value boolValue(std::uint32_t t, bool v) {
    return {t, Bytes{std::uint8_t(v)}, 0, 0};
}
Value stringValue(std::uint32_t t, const std::string& s) {
    return {t, messaging::utf16(s), 0, 0};
}
Value bytesValue(std::uint32_t t, Bytes b) {
    return {t, std::move(b), 0, 0};
}

const Value* findValue(const std::vector<Value>& values, std::uint32_t t) {
    for (const auto& v : values)
        if (v.tag == t) return &v;
    return nullptr;
}
bool hasId(const std::vector<Value>& values, std::uint16_t id) {
    for (const auto& v : values)
        if ((v.tag >> 16) == id) return true;
    return false;
}

std::uint64_t nowFileTime() {
    if (auto fixed = fixedClock()) return fixed->ticks;
    using namespace std::chrono;
    auto since1970 = duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
    return std::uint64_t(since1970) * 10 + 116444736000000000ull;
}

// The store's named-property map ([MS-PST] 2.4.7).
class NameMap {
  public:
    std::uint16_t idFor(const NamedProp& n) {
        Key k{n.guid, n.id.value_or(0), n.id ? std::string() : n.name, !n.id.has_value()};
        auto it = ids_.find(k);
        if (it != ids_.end()) return it->second;
        if (ids_.size() >= 0x7FFF) throw std::length_error("too many named properties");
        std::uint16_t id = std::uint16_t(0x8000 + ids_.size());
        ids_.emplace(k, id);
        order_.push_back(k);
        return id;
    }

    std::vector<Value> values() const {
        static const std::array<std::uint8_t, 16> psMapi = {0x28, 0x03, 0x02, 0x00, 0, 0, 0, 0,
                                                            0xC0, 0,    0,    0,    0, 0, 0, 0x46};
        static const std::array<std::uint8_t, 16> psPublicStrings = {
            0x29, 0x03, 0x02, 0x00, 0, 0, 0, 0, 0xC0, 0, 0, 0, 0, 0, 0, 0x46};
        Bytes guids, entries, strings;
        std::map<std::uint32_t, Bytes> buckets;
        std::vector<std::array<std::uint8_t, 16>> guidList;
        for (std::size_t i = 0; i < order_.size(); ++i) {
            const Key& k = order_[i];
            std::uint16_t wGuid;
            if (k.guid == psMapi) {
                wGuid = 1;
            } else if (k.guid == psPublicStrings) {
                wGuid = 2;
            } else {
                std::size_t g = 0;
                while (g < guidList.size() && guidList[g] != k.guid) ++g;
                if (g == guidList.size()) {
                    guidList.push_back(k.guid);
                    guids.insert(guids.end(), k.guid.begin(), k.guid.end());
                }
                wGuid = std::uint16_t(3 + g);
            }
            std::uint32_t dwId = k.lid, hashId = k.lid;
            if (k.isString) {
                Bytes name = messaging::utf16(k.name);
                dwId = std::uint32_t(strings.size());
                hashId = crc32(name.data(), name.size());
                Bytes len = raw(std::uint32_t(name.size()));
                strings.insert(strings.end(), len.begin(), len.end());
                strings.insert(strings.end(), name.begin(), name.end());
                while (strings.size() % 4) strings.push_back(0);
            }
            std::uint16_t guidAndKind = std::uint16_t((wGuid << 1) | (k.isString ? 1 : 0));
            auto record = [&](std::uint32_t first) {
                Bytes r = raw(first);
                Bytes b = raw(guidAndKind);
                Bytes c = raw(std::uint16_t(i));
                r.insert(r.end(), b.begin(), b.end());
                r.insert(r.end(), c.begin(), c.end());
                return r;
            };
            Bytes e = record(dwId);
            entries.insert(entries.end(), e.begin(), e.end());
            Bytes h = record(hashId);
            auto& bucket = buckets[(hashId ^ guidAndKind) % 251];
            bucket.insert(bucket.end(), h.begin(), h.end());
        }
        std::vector<Value> v;
        v.push_back(int32Value(PidTagNameidBucketCount, 251));
        v.push_back(bytesValue(PidTagNameidStreamGuid, guids));
        v.push_back(bytesValue(PidTagNameidStreamEntry, entries));
        v.push_back(bytesValue(PidTagNameidStreamString, strings));
        for (auto& [b, bytes] : buckets)
            v.push_back(bytesValue(tag(std::uint16_t(0x1000 + b), 0x0102), bytes));
        return v;
    }

  private:
    struct Key {
        std::array<std::uint8_t, 16> guid;
        std::uint32_t lid;
        std::string name;
        bool isString;
        bool operator<(const Key& o) const {
            return std::tie(guid, lid, name, isString) <
                   std::tie(o.guid, o.lid, o.name, o.isString);
        }
    };
    std::map<Key, std::uint16_t> ids_;
    std::vector<Key> order_;
};

struct Folder {
    std::uint32_t nid = 0;
    std::uint32_t parent = 0;
    std::string name;
    std::string containerClass;
    std::string comment;
    std::vector<std::uint32_t> hierarchyColumns;
    std::vector<std::uint32_t> faiColumns;
    std::vector<std::uint32_t> children;
    ltp::TableBuilder contents;
    std::uint32_t count = 0, unread = 0;
    bool search = false;
    Folder(const std::vector<std::uint32_t>& contentsColumns) : contents(contentsColumns) {}
};

struct Written {
    std::uint64_t bidData = 0, bidSub = 0;
    std::uint64_t size = 0;
    std::vector<Value> values;
};

class StoreImpl final : public Store {
  public:
    bool open(const std::filesystem::path& path, const std::string& displayName,
              std::string& error);
    std::optional<FolderId> addFolder(const std::string& name, std::string& error) override;
    std::optional<FolderId> addFolder(FolderId parent, const std::string& name,
                                      std::string& error) override;
    std::optional<FolderId> findFolder(const std::string& path) const override;
    bool addMessage(FolderId folder, const Message& message, std::string& error) override;
    bool close(std::string& error) override;
    const std::string& displayName() const override { return name_; }

  private:
    Folder& makeFolder(std::uint32_t nid, std::uint32_t parent, const std::string& name,
                       const std::vector<std::uint32_t>& contentsColumns);
    Folder* folder(std::uint32_t nid);
    std::vector<Value> convert(const PropertySet& props, std::string& error);
    Written writeMessage(const Message& m, std::uint32_t nid, std::string& error);
    std::vector<Value> folderValues(const Folder& f) const;
    void writeTable(std::uint32_t nid, ltp::TableBuilder& t);
    void writeEmptyTable(std::uint32_t nid, const std::vector<std::uint32_t>& columns);
    Bytes entryId(std::uint32_t nid) const;
    Bytes versionHistory() const;
    bool usable(std::string& error) const;

    ndb::NodeDatabase db_;
    std::string name_;
    std::array<std::uint8_t, 16> storeGuid_{};
    std::vector<std::unique_ptr<Folder>> folders_;
    NameMap names_;
    std::uint32_t lastFolderIndex_ = 0x403;
    std::uint32_t lastMessageIndex_ = 0x10000;
    std::uint32_t lastAttachmentIndex_ = 0x400;
    std::uint32_t lastLtpIndex_ = 0x400;
    std::uint64_t createdAt_ = 0;
    bool closed_ = false;
    std::string broken_;
};

bool StoreImpl::usable(std::string& error) const {
    if (closed_) {
        error = "the store is already closed";
        return false;
    }
    if (!broken_.empty() || db_.failed()) {
        error = !broken_.empty() ? broken_ : db_.error();
        return false;
    }
    return true;
}

Bytes StoreImpl::entryId(std::uint32_t nid) const {
    Bytes b(4, 0);
    b.insert(b.end(), storeGuid_.begin(), storeGuid_.end());
    Bytes n = raw(nid);
    b.insert(b.end(), n.begin(), n.end());
    return b;
}

Bytes StoreImpl::versionHistory() const {
    Bytes b = raw(std::uint32_t(1));
    std::mt19937_64 gen(crc32(storeGuid_.data(), storeGuid_.size()));
    for (int i = 0; i < 16; ++i) b.push_back(std::uint8_t(gen()));
    Bytes one = raw(std::uint32_t(1));
    b.insert(b.end(), one.begin(), one.end());
    return b;
}

Folder& StoreImpl::makeFolder(std::uint32_t nid, std::uint32_t parent, const std::string& name,
                              const std::vector<std::uint32_t>& contentsColumns) {
    folders_.push_back(std::make_unique<Folder>(contentsColumns));
    Folder& f = *folders_.back();
    f.nid = nid;
    f.parent = parent;
    f.name = name;
    f.hierarchyColumns = messaging::kHierarchyColumns;
    f.faiColumns = messaging::kFaiColumns;
    if (Folder* p = folder(parent); p && p != &f) p->children.push_back(nid);
    return f;
}

Folder* StoreImpl::folder(std::uint32_t nid) {
    for (auto& f : folders_)
        if (f->nid == nid) return f.get();
    return nullptr;
}

bool StoreImpl::open(const std::filesystem::path& path, const std::string& displayName,
                     std::string& error) {
    name_ = displayName;
    createdAt_ = nowFileTime();
    if (fixedClock()) {
        // A reproducible run: the store's key follows from its name and the clock.
        Bytes seed = messaging::utf16(displayName);
        std::mt19937_64 gen((std::uint64_t(crc32(seed.data(), seed.size())) << 32) ^ createdAt_);
        for (auto& b : storeGuid_) b = std::uint8_t(gen());
    } else {
        std::random_device rd;
        for (auto& b : storeGuid_) b = std::uint8_t(rd());
    }
    if (!db_.create(path, error)) return false;
    // The minimum folder hierarchy ([MS-PST] 2.7.2).
    Folder& root =
        makeFolder(kNidRootFolder, kNidRootFolder, "", messaging::kContentsTemplateColumns);
    root.faiColumns = messaging::kRootFaiColumns;
    Folder& ipm = makeFolder(kNidIpmSubtree, kNidRootFolder, "Top of Personal Folders",
                             messaging::kContentsColumns);
    ipm.hierarchyColumns = messaging::kIpmHierarchyColumns;
    Folder& search = makeFolder(kNidSearchRoot, kNidRootFolder, "Search Root",
                                messaging::kContentsTemplateColumns);
    search.hierarchyColumns = messaging::kSearchRootHierarchyColumns;
    search.faiColumns = messaging::kSearchRootFaiColumns;
    Folder& spam = makeFolder(kNidSpamFolder, kNidRootFolder, "SPAM Search Folder 2",
                              messaging::kSearchContentsColumns);
    spam.search = true;
    Folder& deleted =
        makeFolder(kNidDeletedItems, kNidIpmSubtree, "Deleted Items", messaging::kContentsColumns);
    deleted.containerClass = "IPF.Note";
    deleted.comment = "Deleted Items folder";  // PidTagComment, as Outlook names it
    // Outlook's first names, in Outlook's order: the contents tables' named
    // columns refer to them.
    for (const auto& n : messaging::kOutlookNames)
        names_.idFor({n.guid, n.name ? std::nullopt : std::optional<std::uint32_t>(n.lid),
                      n.name ? n.name : "", PropType::Int32});
    return true;
}

std::optional<FolderId> StoreImpl::addFolder(const std::string& name, std::string& error) {
    return addFolder(kNidIpmSubtree, name, error);
}

std::optional<FolderId> StoreImpl::addFolder(FolderId parent, const std::string& name,
                                             std::string& error) {
    if (!usable(error)) return std::nullopt;
    if (name.empty() || name.find('\\') != std::string::npos) {
        error = "invalid folder name \"" + name + "\"";
        return std::nullopt;
    }
    // The top of the message tree, or a mail folder added to it.
    const Folder* above = folder(parent);
    if (above == nullptr || (parent != kNidIpmSubtree && nidType(parent) != kNidTypeNormalFolder)) {
        error = "no mail folder to add \"" + name + "\" to";
        return std::nullopt;
    }
    std::uint32_t nid = makeNid(kNidTypeNormalFolder, ++lastFolderIndex_);
    Folder& f = makeFolder(nid, parent, name, messaging::kContentsColumns);
    f.containerClass = "IPF.Note";
    return nid;
}

std::optional<FolderId> StoreImpl::findFolder(const std::string& path) const {
    std::string rest = path;
    std::string prefix = "\\\\" + name_ + "\\";
    if (rest.rfind(prefix, 0) == 0) rest = rest.substr(prefix.size());
    std::uint32_t current = kNidIpmSubtree;
    while (!rest.empty()) {
        std::size_t cut = rest.find('\\');
        std::string part = rest.substr(0, cut);
        rest = cut == std::string::npos ? std::string() : rest.substr(cut + 1);
        std::optional<std::uint32_t> next;
        for (const auto& f : folders_)
            if (f->parent == current && f->nid != current && f->name == part) {
                next = f->nid;
                break;
            }
        if (!next) return std::nullopt;
        current = *next;
    }
    if (current == kNidIpmSubtree) return std::nullopt;
    return current;
}

std::vector<Value> StoreImpl::convert(const PropertySet& props, std::string& error) {
    std::vector<Value> out;
    for (const Property& p : props.all()) {
        std::uint32_t t = p.tag;
        if (p.named) t = tag(names_.idFor(*p.named), std::uint16_t(p.named->type));
        Value v{t, {}, 0, 0};
        if (!messaging::encodeValue(t, p.value, v.bytes)) {
            char buf[16];
            std::snprintf(buf, sizeof buf, "%08X", t);
            error = std::string("property ") + buf + " has a value of the wrong kind";
            return {};
        }
        // A later setting of the same id wins. An empty string or binary is left
        // out, as Outlook leaves out an empty subject or recipient list: a
        // present value with no data would refer to HID 0.
        out.erase(std::remove_if(out.begin(), out.end(),
                                 [&](const Value& o) { return (o.tag >> 16) == (t >> 16); }),
                  out.end());
        if (ltp::fixedSize(std::uint16_t(t)) == 0 && v.bytes.empty()) continue;
        out.push_back(std::move(v));
    }
    return out;
}

Written StoreImpl::writeMessage(const Message& m, std::uint32_t nid, std::string& error) {
    Written w;
    std::vector<Value> values = convert(m.props, error);
    if (!error.empty()) return w;
    // Values Outlook expects on every message.
    if (!hasId(values, tagId(PidTagMessageClass)))
        values.push_back(stringValue(PidTagMessageClass, "IPM.Note"));
    std::uint32_t flags = kMsgFlagRead;
    for (auto& v : values)
        if (v.tag == PidTagMessageFlags) std::memcpy(&flags, v.bytes.data(), 4);
    if (!m.attachments.empty()) flags |= kMsgFlagHasAttach;
    values.erase(std::remove_if(values.begin(), values.end(),
                                [](const Value& v) {
                                    return (v.tag >> 16) == tagId(PidTagMessageFlags) ||
                                           (v.tag >> 16) == tagId(PidTagMessageSize);
                                }),
                 values.end());
    values.push_back(int32Value(PidTagMessageFlags, std::int32_t(flags)));
    if (!hasId(values, tagId(PidTagMessageStatus)))
        values.push_back(int32Value(PidTagMessageStatus, 0));
    std::uint64_t when = createdAt_;
    if (auto v = findValue(values, PidTagMessageDeliveryTime))
        std::memcpy(&when, v->bytes.data(), 8);
    else if (auto s = findValue(values, PidTagClientSubmitTime))
        std::memcpy(&when, s->bytes.data(), 8);
    if (!hasId(values, tagId(PidTagCreationTime)))
        values.push_back(bytesValue(PidTagCreationTime, raw(when)));
    if (!hasId(values, tagId(PidTagLastModificationTime)))
        values.push_back(bytesValue(PidTagLastModificationTime, raw(when)));
    if (!hasId(values, tagId(PidTagSearchKey))) {
        Bytes key(storeGuid_.begin(), storeGuid_.end());
        Bytes n = raw(nid);
        for (int i = 0; i < 4; ++i) key[12 + std::size_t(i)] ^= n[std::size_t(i)];
        values.push_back(bytesValue(PidTagSearchKey, key));
    }
    if (!hasId(values, tagId(PidTagConversationIndex))) {
        // Header block: reserved 0x01, the top five bytes of the time, a GUID.
        Bytes idx{0x01};
        for (int i = 7; i >= 3; --i) idx.push_back(std::uint8_t(when >> (8 * i)));
        std::mt19937_64 gen(when ^ (std::uint64_t(nid) << 20) ^ std::uint64_t(lastLtpIndex_));
        for (int i = 0; i < 16; ++i) idx.push_back(std::uint8_t(gen()));
        values.push_back(bytesValue(PidTagConversationIndex, idx));
    }

    std::vector<SubnodeEntry> subs;
    std::uint64_t size = 0;

    // Recipients: the template's columns plus any others the rows carry.
    std::vector<std::uint32_t> rcols = messaging::kRecipientColumns;
    std::vector<std::vector<Value>> rrows;
    for (const PropertySet& r : m.recipients) {
        std::vector<Value> rv = convert(r, error);
        if (!error.empty()) return w;
        if (!hasId(rv, tagId(PidTagRecipientType)))
            rv.push_back(int32Value(PidTagRecipientType, 1));
        if (!hasId(rv, tagId(PidTagObjectType))) rv.push_back(int32Value(PidTagObjectType, 6));
        if (!hasId(rv, tagId(PidTagDisplayType))) rv.push_back(int32Value(PidTagDisplayType, 0));
        if (!hasId(rv, tagId(PidTagResponsibility)))
            rv.push_back(boolValue(PidTagResponsibility, true));
        if (!hasId(rv, tagId(PidTagSendRichInfo)))
            rv.push_back(boolValue(PidTagSendRichInfo, false));
        if (!hasId(rv, tagId(PidTagAddressType)) && hasId(rv, tagId(PidTagEmailAddress)))
            rv.push_back(stringValue(PidTagAddressType, "SMTP"));
        // What Outlook's recipient rows carry beyond the template: the names
        // again as transmitted and as shown, the SMTP address, the entry id
        // again, the row's place, and the tracking values of a message not sent.
        // (Found first, once: the list grows below.)
        const Value *name = nullptr, *email = nullptr, *type = nullptr, *entry = nullptr;
        std::uint64_t have = 0;  // which of the ids below are there
        static constexpr std::uint16_t kIds[] = {
            tagId(PidTagTransmittableDisplayName), tagId(PidTagRecipientDisplayName),
            tagId(PidTagSmtpAddress), tagId(PidTagRecipientEntryId), tagId(PidTagDisplayTypeEx),
            tagId(PidTagRecipientOrder), tagId(PidTagRecipientFlags),
            // the tracking values of a message not sent (below)
            0x5FDE, 0x5FEB, 0x5FEF, 0x5FF2, 0x5FF5, 0x5FFF};
        for (const Value& v : rv) {
            if (v.tag == PidTagDisplayName) name = &v;
            if (v.tag == PidTagEmailAddress) email = &v;
            if (v.tag == PidTagAddressType) type = &v;
            if (v.tag == PidTagEntryId) entry = &v;
            for (std::size_t k = 0; k < std::size(kIds); ++k)
                if ((v.tag >> 16) == kIds[k]) have |= 1ull << k;
        }
        static const Bytes smtp = messaging::utf16("SMTP");
        std::vector<Value> extra;
        extra.reserve(std::size(kIds));
        auto missing = [&](std::uint16_t id) {
            for (std::size_t k = 0; k < std::size(kIds); ++k)
                if (kIds[k] == id) return !(have & (1ull << k));
            return false;
        };
        if (name && missing(tagId(PidTagTransmittableDisplayName)))
            extra.push_back(bytesValue(PidTagTransmittableDisplayName, name->bytes));
        if (name && missing(tagId(PidTagRecipientDisplayName)))
            extra.push_back(bytesValue(PidTagRecipientDisplayName, name->bytes));
        if (email && type && type->bytes == smtp && missing(tagId(PidTagSmtpAddress)))
            extra.push_back(bytesValue(PidTagSmtpAddress, email->bytes));
        if (entry && missing(tagId(PidTagRecipientEntryId)))
            extra.push_back(bytesValue(PidTagRecipientEntryId, entry->bytes));
        if (missing(tagId(PidTagDisplayTypeEx)))
            extra.push_back(int32Value(PidTagDisplayTypeEx, 0));
        if (missing(tagId(PidTagRecipientOrder)))
            extra.push_back(int32Value(PidTagRecipientOrder, std::int32_t(rrows.size())));
        if (missing(tagId(PidTagRecipientFlags)))
            extra.push_back(int32Value(PidTagRecipientFlags, 1));  // recipSendable
        for (std::uint16_t id : {0x5FDE, 0x5FEB, 0x5FEF, 0x5FF2, 0x5FF5, 0x5FFF})
            if (missing(id)) extra.push_back(int32Value(tag(id, 0x0003), 0));
        for (auto& v : extra) rv.push_back(std::move(v));
        for (const auto& v : rv)
            if (std::find(rcols.begin(), rcols.end(), v.tag) == rcols.end()) rcols.push_back(v.tag);
        size += messaging::valueBytes(rv);
        rrows.push_back(std::move(rv));
    }
    // PidTagDisplayTo, -Cc, -Bcc: the recipients' names by type, as Outlook keeps them.
    const std::uint32_t displayTags[3] = {PidTagDisplayTo, PidTagDisplayCc, PidTagDisplayBcc};
    for (std::int32_t type = 1; type <= 3; ++type) {
        if (hasId(values, std::uint16_t(displayTags[type - 1] >> 16))) continue;
        Bytes joined;
        for (const auto& rv : rrows) {
            const Value* t = findValue(rv, PidTagRecipientType);
            std::int32_t rt = 0;
            if (t) std::memcpy(&rt, t->bytes.data(), 4);
            if ((rt & 0xF) != type) continue;
            const Value* n = findValue(rv, PidTagDisplayName);
            if (!n) n = findValue(rv, PidTagEmailAddress);
            if (!n) continue;
            if (!joined.empty()) joined.insert(joined.end(), {';', 0, ' ', 0});
            joined.insert(joined.end(), n->bytes.begin(), n->bytes.end());
        }
        if (!joined.empty()) values.push_back(bytesValue(displayTags[type - 1], joined));
    }
    {
        ltp::TableBuilder table(rcols);
        for (std::size_t i = 0; i < rrows.size(); ++i)
            table.addRow(std::uint32_t(i), rrows[i], db_);
        auto [bd, bs] = table.write(db_);
        subs.push_back({kNidRecipientTable, bd, bs});
    }

    // Attachments, each its own object below the message.
    if (!m.attachments.empty()) {
        ltp::TableBuilder table(messaging::kAttachmentColumns);
        for (const Attachment& a : m.attachments) {
            std::uint32_t anid = makeNid(kNidTypeAttachment, ++lastAttachmentIndex_);
            std::vector<Value> av = convert(a.props, error);
            if (!error.empty()) return w;
            std::vector<SubnodeEntry> asubs;
            av.erase(std::remove_if(av.begin(), av.end(),
                                    [](const Value& v) {
                                        return (v.tag >> 16) == tagId(PidTagAttachSize) ||
                                               (v.tag >> 16) == tagId(PidTagAttachDataBinary) ||
                                               (v.tag >> 16) == tagId(PidTagAttachMethod);
                                    }),
                     av.end());
            std::uint64_t embeddedSize = 0;
            if (a.embedded) {
                std::uint32_t enid = makeNid(kNidTypeNormalMessage, ++lastMessageIndex_);
                Written e = writeMessage(*a.embedded, enid, error);
                if (!error.empty()) return w;
                asubs.push_back({enid, e.bidData, e.bidSub});
                Bytes obj = raw(enid);
                Bytes sz = raw(std::uint32_t(e.size));
                obj.insert(obj.end(), sz.begin(), sz.end());
                av.push_back(int32Value(PidTagAttachMethod, 5));
                av.push_back(bytesValue(PidTagAttachDataObject, obj));
                embeddedSize = e.size;
            } else {
                av.push_back(int32Value(PidTagAttachMethod, 1));
                Value data{PidTagAttachDataBinary, {}, 0, 0};
                if (a.data.size() > ltp::kMaxHeapAlloc) {
                    data.treeBid = db_.writeData(a.data.data(), a.data.size());
                    data.treeSize = a.data.size();
                } else {
                    data.bytes = a.data;
                }
                // An empty file's data is a zero-length heap item: HID 0 would
                // read as "no data" to a reader that follows [MS-PST] to the letter.
                data.emptyItem = true;
                av.push_back(std::move(data));
            }
            if (!hasId(av, tagId(PidTagRenderingPosition)))
                av.push_back(int32Value(PidTagRenderingPosition, -1));
            if (!hasId(av, tagId(PidTagAttachFlags)))
                av.push_back(int32Value(PidTagAttachFlags, 0));
            // Outlook's attachments also carry a link id, the exception times of
            // an attachment that is no exception (4501-01-01), flags and the
            // hidden and contact-photo markers; an attached message is named by
            // its subject.
            if (a.embedded) {
                if (const Property* subject = a.embedded->props.find(PidTagSubject)) {
                    if (const auto* text = std::get_if<std::string>(&subject->value);
                        text && !text->empty()) {
                        if (!hasId(av, tagId(PidTagAttachFilename)))
                            av.push_back(stringValue(PidTagAttachFilename, *text));
                        if (!hasId(av, tagId(PidTagDisplayName)))
                            av.push_back(stringValue(PidTagDisplayName, *text));
                    }
                }
            }
            const std::uint64_t noException = 915151392000000000ull;
            if (!hasId(av, tagId(PidTagAttachmentLinkId)))
                av.push_back(int32Value(PidTagAttachmentLinkId, 0));
            if (!hasId(av, tagId(PidTagExceptionStartTime)))
                av.push_back(bytesValue(PidTagExceptionStartTime, raw(noException)));
            if (!hasId(av, tagId(PidTagExceptionEndTime)))
                av.push_back(bytesValue(PidTagExceptionEndTime, raw(noException)));
            if (!hasId(av, tagId(PidTagAttachmentFlags)))
                av.push_back(int32Value(PidTagAttachmentFlags, 0));
            if (!hasId(av, tagId(PidTagAttachmentHidden)))
                av.push_back(boolValue(PidTagAttachmentHidden, false));
            if (!hasId(av, tagId(PidTagAttachmentContactPhoto)))
                av.push_back(boolValue(PidTagAttachmentContactPhoto, false));
            std::uint64_t asize = messaging::valueBytes(av) + 4 + embeddedSize;
            av.push_back(int32Value(PidTagAttachSize,
                                    std::int32_t(std::min<std::uint64_t>(asize, 0x7FFFFFFF))));
            size += asize;
            table.addRow(anid, av, db_);
            std::uint64_t abd = ltp::writePropertyContext(db_, av, asubs, lastLtpIndex_);
            std::uint64_t abs = db_.writeSubnodes(asubs);
            subs.push_back({anid, abd, abs});
        }
        auto [bd, bs] = table.write(db_);
        subs.push_back({kNidAttachmentTable, bd, bs});
    }

    size += messaging::valueBytes(values) + 4;
    values.push_back(
        int32Value(PidTagMessageSize, std::int32_t(std::min<std::uint64_t>(size, 0x7FFFFFFF))));
    w.bidData = ltp::writePropertyContext(db_, values, subs, lastLtpIndex_);
    w.bidSub = db_.writeSubnodes(subs);
    w.size = size;
    w.values = std::move(values);
    return w;
}

bool StoreImpl::addMessage(FolderId folderId, const Message& message, std::string& error) {
    if (!usable(error)) return false;
    Folder* f = folder(folderId);
    if (!f || f->search || f->nid == kNidRootFolder || f->nid == kNidIpmSubtree ||
        f->nid == kNidSearchRoot) {
        error = "no such mail folder";
        return false;
    }
    std::uint32_t nid = makeNid(kNidTypeNormalMessage, ++lastMessageIndex_);
    std::string why;
    Written w;
    try {
        w = writeMessage(message, nid, why);
    } catch (const std::exception& e) {
        why = e.what();
    }
    if (!why.empty()) {
        error = why;
        return false;
    }
    if (db_.failed()) {
        error = db_.error();
        return false;
    }
    // The contents-table row mirrors the message's own values.
    try {
        f->contents.addRow(nid, w.values, db_);
    } catch (const std::exception& e) {
        error = std::string("folder \"") + f->name + "\" is full: " + e.what();
        return false;
    }
    db_.addNode(nid, w.bidData, w.bidSub, f->nid);
    ++f->count;
    std::uint32_t flags = 0;
    if (auto v = findValue(w.values, PidTagMessageFlags)) std::memcpy(&flags, v->bytes.data(), 4);
    if (!(flags & kMsgFlagRead)) ++f->unread;
    return true;
}

std::vector<Value> StoreImpl::folderValues(const Folder& f) const {
    std::vector<Value> v;
    v.push_back(stringValue(PidTagDisplayName, f.name));
    v.push_back(int32Value(PidTagContentCount, std::int32_t(f.count)));
    v.push_back(int32Value(PidTagContentUnreadCount, std::int32_t(f.unread)));
    v.push_back(boolValue(PidTagSubfolders, !f.children.empty()));
    if (!f.containerClass.empty()) v.push_back(stringValue(PidTagContainerClass, f.containerClass));
    if (!f.comment.empty()) v.push_back(stringValue(PidTagComment, f.comment));
    if (f.nid != kNidRootFolder && !f.search && f.nid != kNidSearchRoot) {
        v.push_back(int32Value(PidTagPstHiddenCount, 0));
        v.push_back(int32Value(PidTagPstHiddenUnread, 0));
    }
    return v;
}

void StoreImpl::writeTable(std::uint32_t nid, ltp::TableBuilder& t) {
    auto [bd, bs] = t.write(db_);
    db_.addNode(nid, bd, bs, 0);
}

void StoreImpl::writeEmptyTable(std::uint32_t nid, const std::vector<std::uint32_t>& columns) {
    ltp::TableBuilder t(columns);
    writeTable(nid, t);
}

bool StoreImpl::close(std::string& error) {
    if (!usable(error)) return false;
    closed_ = true;
    try {
        std::vector<SubnodeEntry> none;
        auto pc = [&](std::uint32_t nid, std::vector<Value> values, std::uint32_t parent) {
            std::vector<SubnodeEntry> subs;
            std::uint64_t bd = ltp::writePropertyContext(db_, values, subs, lastLtpIndex_);
            db_.addNode(nid, bd, db_.writeSubnodes(subs), parent);
        };
        // Message store ([MS-PST] 2.4.3.1).
        pc(kNidMessageStore,
           {bytesValue(PidTagRecordKey, Bytes(storeGuid_.begin(), storeGuid_.end())),
            stringValue(PidTagDisplayName, name_), int32Value(PidTagValidFolderMask, 0x89),
            bytesValue(PidTagIpmSubtreeEntryId, entryId(kNidIpmSubtree)),
            bytesValue(PidTagIpmWastebasketEntryId, entryId(kNidDeletedItems)),
            bytesValue(PidTagFinderEntryId, entryId(kNidSearchRoot)),
            int32Value(PidTagReplFlags, 0), boolValue(0x6633000B, true),
            int32Value(PidTagPstPassword, 0),
            // As Outlook's stores: a version history naming a replica GUID of
            // the store's own, and the store's state flags as a new store has them.
            bytesValue(PidTagReplVersionhistory, versionHistory()),
            int32Value(0x66FA0003, 0xE0011)},
           0);
        pc(kNidNameToIdMap, names_.values(), 0);

        // Folders, their tables and the search folder's companions.
        for (auto& fp : folders_) {
            Folder& f = *fp;
            std::uint32_t index = nidIndex(f.nid);
            pc(f.nid, folderValues(f), f.parent);
            if (f.search) {
                db_.addNode(makeNid(kNidTypeSearchUpdateQueue, index), 0, 0, 0);
                pc(makeNid(kNidTypeSearchCriteriaObject, index), {int32Value(0x660B0003, 0)}, 0);
                writeTable(makeNid(kNidTypeSearchContentsTable, index), f.contents);
                continue;
            }
            ltp::TableBuilder hierarchy(f.hierarchyColumns);
            for (std::uint32_t child : f.children)
                if (Folder* c = folder(child)) hierarchy.addRow(child, folderValues(*c), db_);
            writeTable(makeNid(kNidTypeHierarchyTable, index), hierarchy);
            writeTable(makeNid(kNidTypeContentsTable, index), f.contents);
            writeEmptyTable(makeNid(kNidTypeAssocContentsTable, index), f.faiColumns);
        }

        // Template tables ([MS-PST] 2.7.3.3) and the other fixed tables.
        writeEmptyTable(kNidHierarchyTableTemplate, messaging::kHierarchyColumns);
        writeEmptyTable(kNidContentsTableTemplate, messaging::kContentsTemplateColumns);
        writeEmptyTable(kNidAssocContentsTableTemplate, messaging::kFaiColumns);
        writeEmptyTable(kNidSearchContentsTableTemplate, messaging::kSearchContentsColumns);
        writeEmptyTable(kNidAttachmentTable, messaging::kAttachmentTemplateColumns);
        writeEmptyTable(kNidRecipientTable, messaging::kRecipientTemplateColumns);
        writeEmptyTable(kNidOutgoingQueueTable, messaging::kOutgoingQueueColumns);
        writeEmptyTable(kNidChangeHistoryTable, messaging::kChangeHistoryColumns);
        writeEmptyTable(kNidTombstoneTable, messaging::kTombstoneColumns);
        writeEmptyTable(kNidTombstoneDateTable, messaging::kTombstoneDateColumns);
        {
            ltp::TableBuilder receive(messaging::kReceiveFolderColumns);
            // Outlook's one row: the default message class (empty, HID 0, as
            // Outlook writes it) is received in the root folder.
            receive.addRow(1,
                           {int32Value(PidTagLtpRowVer, 2),
                            int32Value(0x66050003, std::int32_t(kNidRootFolder)),
                            stringValue(PidTagMessageClass, "")},
                           db_);
            writeTable(kNidReceiveFolderTable, receive);
        }
        // The search gatherer's descriptor as a new Outlook store has it, and
        // the two undescribed internal nodes every current Outlook store holds:
        // an empty index heap (client 0x9C, its root naming an empty BTH with
        // 16-byte keys) and an empty node.
        {
            Bytes gatherer(88, 0);
            gatherer[16] = gatherer[24] = gatherer[28] = 1;
            db_.addNode(kNidSearchGathererDescriptor,
                        db_.writeData(gatherer.data(), gatherer.size()), 0, 0);
            ltp::HeapBuilder index(0x9C);
            std::uint32_t rootHid = index.allocate(raw(std::uint32_t(0)));
            index.replace(rootHid, raw(ltp::buildBth(index, 16, 4, {})));
            index.setUserRoot(rootHid);
            db_.addNode(kNidIndexHeap, index.write(db_), 0, 0);
            db_.addNode(kNidReservedE41, 0, 0, 0);
        }

        // Search objects ([MS-PST] 2.7.3.5): an empty queue, and the activity list
        // naming the spam search folder, as a new Outlook store has them.
        db_.addNode(kNidSearchManagementQueue, 0, 0, 0);
        Bytes sal = raw(kNidSpamFolder);
        db_.addNode(kNidSearchActivityList, db_.writeData(sal.data(), sal.size()), 0, 0);
        db_.addNode(kNidSearchDomainObject, 0, 0, 0);
        db_.addNode(kNidSearchGathererQueue, 0, 0, 0);
        db_.addNode(kNidSearchGathererFolderQueue, 0, 0, 0);
    } catch (const std::exception& e) {
        error = e.what();
        return false;
    }

    std::array<std::uint32_t, 32> rgnid;
    rgnid.fill(0x400);
    rgnid[kNidTypeNormalFolder] = lastFolderIndex_;
    rgnid[kNidTypeHierarchyTable] = lastFolderIndex_;
    rgnid[kNidTypeContentsTable] = lastFolderIndex_;
    rgnid[kNidTypeAssocContentsTable] = lastFolderIndex_;
    rgnid[kNidTypeSearchFolder] = 0x4000;
    rgnid[kNidTypeNormalMessage] = lastMessageIndex_;
    rgnid[kNidTypeAssocMessage] = 0x8000;
    rgnid[kNidTypeAttachment] = lastAttachmentIndex_;
    rgnid[kNidTypeLtp] = lastLtpIndex_;
    return db_.finish(rgnid, error);
}

}  // namespace

std::unique_ptr<Store> Store::create(const std::filesystem::path& path,
                                     const std::string& displayName, std::string& error) {
    auto store = std::make_unique<StoreImpl>();
    if (!store->open(path, displayName, error)) return nullptr;
    return store;
}

}  // namespace tp::pst
