#pragma once
// The public face of our personal-folders (.pst) writer: create a Unicode store,
// add mail folders below the top of its message tree, add messages with their
// recipients and attachments, close. The store is written as it grows; only a
// store whose close() succeeded claims to be complete.
#include <array>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace tp::pst {

// Property types as [MS-OXCDATA] numbers them.
enum class PropType : std::uint16_t {
    Int16 = 0x0002,
    Int32 = 0x0003,
    Boolean = 0x000B,
    Int64 = 0x0014,
    String8 = 0x001E,  // 8-bit text in the message's code page, stored as given
    String = 0x001F,   // UTF-16LE on disk; held here as UTF-8
    Time = 0x0040,     // FILETIME: 100 ns ticks since 1601-01-01 UTC
    Guid = 0x0048,
    Binary = 0x0102,
    MultiString = 0x101F,
};

constexpr std::uint32_t makeTag(std::uint16_t id, PropType type) {
    return (std::uint32_t(id) << 16) | std::uint16_t(type);
}
constexpr std::uint16_t tagId(std::uint32_t tag) {
    return std::uint16_t(tag >> 16);
}
constexpr PropType tagType(std::uint32_t tag) {
    return PropType(tag & 0xFFFF);
}

struct FileTime {
    std::uint64_t ticks = 0;
};

// The fixed clock of a reproducible run: SOURCE_DATE_EPOCH (seconds since
// 1970, as reproducible builds set it) when the environment holds a valid one.
// Every time a store records by itself comes from it, and the store's own key
// follows from it, so the same input gives the same bytes.
std::optional<FileTime> fixedClock();
using Binary = std::vector<std::uint8_t>;
using PropData = std::variant<std::int16_t, std::int32_t, bool, std::int64_t, std::string, FileTime,
                              Binary, std::vector<std::string>>;

// A named property ([MS-OXCPRPT]): a property set GUID and a number or a name.
struct NamedProp {
    std::array<std::uint8_t, 16> guid{};
    std::optional<std::uint32_t> id;  // numeric name (LID)
    std::string name;                 // string name, when id is empty
    PropType type = PropType::Int32;
};

struct Property {
    std::uint32_t tag = 0;           // id and type; id ignored when `named` is set
    std::optional<NamedProp> named;  // mapped to an id through the store's name-to-id map
    PropData value;
};

class PropertySet {
  public:
    void set(std::uint32_t tag, PropData value);
    void setNamed(const NamedProp& name, PropData value);
    const Property* find(std::uint32_t tag) const;
    const std::vector<Property>& all() const { return props_; }

  private:
    std::vector<Property> props_;
};

struct Message;

struct Attachment {
    PropertySet props;  // PidTagAttachMethod, file names, MIME tag, content id, flags...
    Binary data;        // by value (PidTagAttachDataBinary), unless `embedded` is set
    std::shared_ptr<Message> embedded;  // an attached message (afEmbeddedMessage)
};

struct Message {
    PropertySet props;                    // PidTagMessageClass, subject, bodies, dates, flags...
    std::vector<PropertySet> recipients;  // one row each: PidTagRecipientType, names, addresses
    std::vector<Attachment> attachments;
};

using FolderId = std::uint32_t;  // the folder's node id

class Store {
  public:
    // Creates a new store at `path`; fails (null, `error` set) when the file exists
    // or cannot be created. Never overwrites.
    static std::unique_ptr<Store> create(const std::filesystem::path& path,
                                         const std::string& displayName, std::string& error);
    virtual ~Store() = default;

    // A mail folder directly below the top of the message tree (IPM subtree).
    virtual std::optional<FolderId> addFolder(const std::string& name, std::string& error) = 0;
    // A mail folder below `parent`, a folder this store has added.
    virtual std::optional<FolderId> addFolder(FolderId parent, const std::string& name,
                                              std::string& error) = 0;
    // "\\" + display name + "\" + folder name, or a folder name relative to the top of
    // the message tree ("Inbox", "Inbox\Sub"). The first folder of that name wins.
    virtual std::optional<FolderId> findFolder(const std::string& path) const = 0;
    virtual bool addMessage(FolderId folder, const Message& message, std::string& error) = 0;
    // Writes the trees, maps and finally the header. Afterwards the store is complete.
    virtual bool close(std::string& error) = 0;
    virtual const std::string& displayName() const = 0;
};

}  // namespace tp::pst
