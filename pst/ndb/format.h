#pragma once
// Constants of the Unicode personal-folders file format ([MS-PST] 2.2, 2.4.1),
// shared by the writer and the checker.
#include <cstdint>

namespace tp::pst::ndb {

// Header ([MS-PST] 2.2.2.6).
constexpr std::uint32_t kHeaderMagic = 0x4E444221;  // "!BDN"
constexpr std::uint16_t kMagicClient = 0x4D53;      // "SM"
constexpr std::uint16_t kVersionUnicode = 23;
constexpr std::uint16_t kVersionClient = 19;
constexpr std::uint8_t kPlatform = 0x01;
constexpr std::uint8_t kCryptNone = 0x00;
constexpr std::uint8_t kCryptPermute = 0x01;
constexpr std::uint8_t kCryptCyclic = 0x02;
constexpr std::uint8_t kSentinel = 0x80;
constexpr std::uint8_t kAMapValid2 = 0x02;
constexpr std::uint32_t kHeaderSize = 0x234;  // 564 bytes used of the first 512+ area
constexpr std::uint32_t kHeaderCrcPartialStart = 8, kHeaderCrcPartialLen = 471;
constexpr std::uint32_t kHeaderCrcFullLen = 516;

// Pages ([MS-PST] 2.2.2.7).
constexpr std::uint32_t kPageSize = 512;
constexpr std::uint32_t kPageTrailerSize = 16;
constexpr std::uint8_t kPtypeBBT = 0x80;
constexpr std::uint8_t kPtypeNBT = 0x81;
constexpr std::uint8_t kPtypeFMap = 0x82;
constexpr std::uint8_t kPtypePMap = 0x83;
constexpr std::uint8_t kPtypeAMap = 0x84;
constexpr std::uint8_t kPtypeFPMap = 0x85;
constexpr std::uint8_t kPtypeDL = 0x86;

// Allocation maps: the first AMap page sits at 0x4400 and every AMap page maps
// 496 * 8 * 64 = 253,952 bytes starting at its own offset.
constexpr std::uint64_t kFirstAMapOffset = 0x4400;
constexpr std::uint64_t kDListOffset = 0x4200;
constexpr std::uint64_t kAMapCoverage = 496ull * 8 * 64;
constexpr std::uint32_t kAllocUnit = 64;
// The map pages that open AMap interval `i` ([MS-PST] 2.2.2.7.3, 2.2.2.7.5,
// 2.2.2.7.6): the AMap itself, then a PMap in every 8th interval, an FMap every
// 496 intervals from the 128th (the header holds the first 128 entries), and an
// FPMap every 496 * 64 intervals from the 8192nd (the header covers the first 2 GB).
// Each has a fixed slot after the AMap, so an interval may hold a gap.
constexpr std::uint64_t amapOffset(std::uint64_t i) {
    return kFirstAMapOffset + i * kAMapCoverage;
}
constexpr bool hasPMap(std::uint64_t i) {
    return i % 8 == 0;
}
constexpr bool hasFMap(std::uint64_t i) {
    return i >= 128 && (i - 128) % 496 == 0;
}
constexpr bool hasFPMap(std::uint64_t i) {
    return i >= 8192 && (i - 8192) % (496 * 64) == 0;
}
constexpr std::uint64_t pmapOffset(std::uint64_t i) {
    return amapOffset(i) + kPageSize;
}
constexpr std::uint64_t fmapOffset(std::uint64_t i) {
    return amapOffset(i) + 2 * kPageSize;
}
constexpr std::uint64_t fpmapOffset(std::uint64_t i) {
    return amapOffset(i) + 3 * kPageSize;
}
// Bytes at the start of interval `i` taken by map pages (and the gaps between them).
constexpr std::uint64_t mapPagesBytes(std::uint64_t i) {
    return hasFPMap(i)  ? 4 * kPageSize
           : hasFMap(i) ? 3 * kPageSize
           : hasPMap(i) ? 2 * kPageSize
                        : kPageSize;
}

// B-tree pages ([MS-PST] 2.2.2.7.7).
constexpr std::uint32_t kBtEntryBytes = 488;
constexpr std::uint32_t kBtEntrySize = 24;   // BTENTRY and BBTENTRY
constexpr std::uint32_t kNbtEntrySize = 32;  // NBTENTRY (28 used)
constexpr std::uint32_t kBtMaxLevel = 8;

// Blocks ([MS-PST] 2.2.2.8).
constexpr std::uint32_t kBlockTrailerSize = 16;
constexpr std::uint32_t kMaxBlockSize = 8192;
constexpr std::uint32_t kMaxBlockData = kMaxBlockSize - kBlockTrailerSize;  // 8176
constexpr std::uint8_t kBtypeXBlock = 0x01;   // XBLOCK (level 1) and XXBLOCK (level 2)
constexpr std::uint8_t kBtypeSLBlock = 0x02;  // SLBLOCK (level 0) and SIBLOCK (level 1)
constexpr std::uint32_t kXBlockMaxEntries = (kMaxBlockData - 8) / 8;    // 1021
constexpr std::uint32_t kSLBlockMaxEntries = (kMaxBlockData - 8) / 24;  // 340
constexpr std::uint32_t kSIBlockMaxEntries = (kMaxBlockData - 8) / 16;  // 510

// Block ids: bit 0 reserved, bit 1 set for internal (non-data) blocks; ids step by 4.
constexpr std::uint64_t kBidInternal = 0x2;
constexpr std::uint64_t kBidIncrement = 4;

// Rounded block size: data + trailer rounded up to 64 bytes.
constexpr std::uint32_t blockAllocSize(std::uint32_t cb) {
    return (cb + kBlockTrailerSize + 63) & ~63u;
}

// Node id types ([MS-PST] 2.2.2.1).
enum NidType : std::uint8_t {
    kNidTypeHid = 0x00,
    kNidTypeInternal = 0x01,
    kNidTypeNormalFolder = 0x02,
    kNidTypeSearchFolder = 0x03,
    kNidTypeNormalMessage = 0x04,
    kNidTypeAttachment = 0x05,
    kNidTypeSearchUpdateQueue = 0x06,
    kNidTypeSearchCriteriaObject = 0x07,
    kNidTypeAssocMessage = 0x08,
    kNidTypeContentsTableIndex = 0x0A,
    kNidTypeReceiveFolderTable = 0x0B,
    kNidTypeOutgoingQueueTable = 0x0C,
    kNidTypeHierarchyTable = 0x0D,
    kNidTypeContentsTable = 0x0E,
    kNidTypeAssocContentsTable = 0x0F,
    kNidTypeSearchContentsTable = 0x10,
    kNidTypeAttachmentTable = 0x11,
    kNidTypeRecipientTable = 0x12,
    kNidTypeSearchTableIndex = 0x13,
    kNidTypeLtp = 0x1F,
};
constexpr std::uint32_t makeNid(std::uint8_t type, std::uint32_t index) {
    return (index << 5) | (type & 0x1F);
}
constexpr std::uint8_t nidType(std::uint32_t nid) {
    return std::uint8_t(nid & 0x1F);
}
constexpr std::uint32_t nidIndex(std::uint32_t nid) {
    return nid >> 5;
}

// Special internal node ids ([MS-PST] 2.4.1, 2.7.1).
constexpr std::uint32_t kNidMessageStore = 0x21;
constexpr std::uint32_t kNidNameToIdMap = 0x61;
constexpr std::uint32_t kNidNormalFolderTemplate = 0xA1;
constexpr std::uint32_t kNidSearchFolderTemplate = 0xC1;
constexpr std::uint32_t kNidRootFolder = 0x122;
constexpr std::uint32_t kNidSearchManagementQueue = 0x1E1;
constexpr std::uint32_t kNidSearchActivityList = 0x201;
constexpr std::uint32_t kNidReserved1 = 0x241;
constexpr std::uint32_t kNidSearchDomainObject = 0x261;
constexpr std::uint32_t kNidSearchGathererQueue = 0x281;
constexpr std::uint32_t kNidSearchGathererDescriptor = 0x2A1;
constexpr std::uint32_t kNidReserved2 = 0x2E1;
constexpr std::uint32_t kNidReserved3 = 0x301;
constexpr std::uint32_t kNidSearchGathererFolderQueue = 0x321;
// Internal nodes [MS-PST] leaves undescribed, present in every store a current
// Outlook writes: an empty index heap, and an empty node.
constexpr std::uint32_t kNidIndexHeap = 0xC01;
constexpr std::uint32_t kNidReservedE41 = 0xE41;
constexpr std::uint32_t kNidHierarchyTableTemplate = 0x60D;
constexpr std::uint32_t kNidContentsTableTemplate = 0x60E;
constexpr std::uint32_t kNidAssocContentsTableTemplate = 0x60F;
constexpr std::uint32_t kNidSearchContentsTableTemplate = 0x610;
constexpr std::uint32_t kNidSmpTemplate = 0x611;
constexpr std::uint32_t kNidTombstoneTableTemplate = 0x612;
constexpr std::uint32_t kNidLrepDupsTableTemplate = 0x613;
constexpr std::uint32_t kNidReceiveFolderTable = 0x62B;  // NID_TYPE_RECEIVE_FOLDER_TABLE
constexpr std::uint32_t kNidOutgoingQueueTable = 0x64C;
constexpr std::uint32_t kNidAttachmentTable = 0x671;  // attachment table template
constexpr std::uint32_t kNidRecipientTable = 0x692;   // recipient table template
constexpr std::uint32_t kNidChangeHistoryTable = 0x6B6;
constexpr std::uint32_t kNidTombstoneTable = 0x6D7;
constexpr std::uint32_t kNidTombstoneDateTable = 0x6F8;
constexpr std::uint32_t kNidLrepDupsTable = 0x7EC;
constexpr std::uint32_t kNidFolderPathTombstoneTable = 0x7F8;

// Heap-on-node and its clients ([MS-PST] 2.3).
constexpr std::uint8_t kHnSignature = 0xEC;
constexpr std::uint8_t kBTypeTC = 0x7C;
constexpr std::uint8_t kBTypeBTH = 0xB5;
constexpr std::uint8_t kBTypePC = 0xBC;

}  // namespace tp::pst::ndb
