#pragma once
// Turns one RFC 822 message into a mail item for our .pst writer, following the
// MIME-to-MAPI conventions of [MS-OXCMAIL] section 2.2 (property tags from
// [MS-OXPROPS]): subject, sender, recipients, dates, bodies, attachments and
// attached messages, importance, flags. Parsing is done with GMime; the message
// bytes are only read.
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "pst/pst.h"

namespace tp::convert {

// The property tags the import writes.
namespace tag {
using pst::makeTag;
using pst::PropType;
inline constexpr std::uint32_t Importance = makeTag(0x0017, PropType::Int32);
inline constexpr std::uint32_t MessageClass = makeTag(0x001A, PropType::String);
inline constexpr std::uint32_t Priority = makeTag(0x0026, PropType::Int32);
inline constexpr std::uint32_t Sensitivity = makeTag(0x0036, PropType::Int32);
inline constexpr std::uint32_t Subject = makeTag(0x0037, PropType::String);
inline constexpr std::uint32_t ClientSubmitTime = makeTag(0x0039, PropType::Time);
inline constexpr std::uint32_t SentRepresentingSearchKey = makeTag(0x003B, PropType::Binary);
inline constexpr std::uint32_t SubjectPrefix = makeTag(0x003D, PropType::String);
inline constexpr std::uint32_t SentRepresentingEntryId = makeTag(0x0041, PropType::Binary);
inline constexpr std::uint32_t SentRepresentingName = makeTag(0x0042, PropType::String);
inline constexpr std::uint32_t ReplyRecipientEntries = makeTag(0x004F, PropType::Binary);
inline constexpr std::uint32_t ReplyRecipientNames = makeTag(0x0050, PropType::String);
inline constexpr std::uint32_t SentRepresentingAddressType = makeTag(0x0064, PropType::String);
inline constexpr std::uint32_t SentRepresentingEmailAddress = makeTag(0x0065, PropType::String);
inline constexpr std::uint32_t ConversationTopic = makeTag(0x0070, PropType::String);
inline constexpr std::uint32_t ConversationIndex = makeTag(0x0071, PropType::Binary);
inline constexpr std::uint32_t TransportMessageHeaders = makeTag(0x007D, PropType::String);
inline constexpr std::uint32_t SenderEntryId = makeTag(0x0C19, PropType::Binary);
inline constexpr std::uint32_t SenderName = makeTag(0x0C1A, PropType::String);
inline constexpr std::uint32_t SenderSearchKey = makeTag(0x0C1D, PropType::Binary);
inline constexpr std::uint32_t SenderAddressType = makeTag(0x0C1E, PropType::String);
inline constexpr std::uint32_t SenderEmailAddress = makeTag(0x0C1F, PropType::String);
inline constexpr std::uint32_t RecipientType = makeTag(0x0C15, PropType::Int32);
inline constexpr std::uint32_t DisplayBcc = makeTag(0x0E02, PropType::String);
inline constexpr std::uint32_t DisplayCc = makeTag(0x0E03, PropType::String);
inline constexpr std::uint32_t DisplayTo = makeTag(0x0E04, PropType::String);
inline constexpr std::uint32_t MessageDeliveryTime = makeTag(0x0E06, PropType::Time);
inline constexpr std::uint32_t MessageFlags = makeTag(0x0E07, PropType::Int32);
inline constexpr std::uint32_t MessageSize = makeTag(0x0E08, PropType::Int32);
inline constexpr std::uint32_t NormalizedSubject = makeTag(0x0E1D, PropType::String);
inline constexpr std::uint32_t AttachSize = makeTag(0x0E20, PropType::Int32);
inline constexpr std::uint32_t EntryId = makeTag(0x0FFF, PropType::Binary);
inline constexpr std::uint32_t ObjectType = makeTag(0x0FFE, PropType::Int32);
inline constexpr std::uint32_t Body = makeTag(0x1000, PropType::String);
inline constexpr std::uint32_t Html = makeTag(0x1013, PropType::Binary);
inline constexpr std::uint32_t InternetMessageId = makeTag(0x1035, PropType::String);
inline constexpr std::uint32_t InternetReferences = makeTag(0x1039, PropType::String);
inline constexpr std::uint32_t InReplyToId = makeTag(0x1042, PropType::String);
inline constexpr std::uint32_t DisplayName = makeTag(0x3001, PropType::String);
inline constexpr std::uint32_t AddressType = makeTag(0x3002, PropType::String);
inline constexpr std::uint32_t EmailAddress = makeTag(0x3003, PropType::String);
inline constexpr std::uint32_t CreationTime = makeTag(0x3007, PropType::Time);
inline constexpr std::uint32_t LastModificationTime = makeTag(0x3008, PropType::Time);
inline constexpr std::uint32_t SearchKey = makeTag(0x300B, PropType::Binary);
inline constexpr std::uint32_t DisplayType = makeTag(0x3900, PropType::Int32);
inline constexpr std::uint32_t SmtpAddress = makeTag(0x39FE, PropType::String);
inline constexpr std::uint32_t SendRichInfo = makeTag(0x3A40, PropType::Boolean);
inline constexpr std::uint32_t AttachExtension = makeTag(0x3703, PropType::String);
inline constexpr std::uint32_t AttachFilename = makeTag(0x3704, PropType::String);
inline constexpr std::uint32_t AttachMethod = makeTag(0x3705, PropType::Int32);
inline constexpr std::uint32_t AttachLongFilename = makeTag(0x3707, PropType::String);
inline constexpr std::uint32_t RenderingPosition = makeTag(0x370B, PropType::Int32);
inline constexpr std::uint32_t AttachMimeTag = makeTag(0x370E, PropType::String);
inline constexpr std::uint32_t AttachContentId = makeTag(0x3712, PropType::String);
inline constexpr std::uint32_t AttachContentLocation = makeTag(0x3713, PropType::String);
inline constexpr std::uint32_t AttachFlags = makeTag(0x3714, PropType::Int32);
inline constexpr std::uint32_t InternetCodepage = makeTag(0x3FDE, PropType::Int32);
inline constexpr std::uint32_t SenderSmtpAddress = makeTag(0x5D01, PropType::String);
inline constexpr std::uint32_t SentRepresentingSmtpAddress = makeTag(0x5D02, PropType::String);
inline constexpr std::uint32_t RecipientDisplayName = makeTag(0x5FF6, PropType::String);
inline constexpr std::uint32_t RecipientEntryId = makeTag(0x5FF7, PropType::Binary);
inline constexpr std::uint32_t RecipientFlags = makeTag(0x5FFD, PropType::Int32);
inline constexpr std::uint32_t AttachmentHidden = makeTag(0x7FFE, PropType::Boolean);
}  // namespace tag

// Named properties of the PSETID_Common set ([MS-OXPROPS]).
inline constexpr std::array<std::uint8_t, 16> kPsetidCommon = {
    0x08, 0x20, 0x06, 0x00, 0x00, 0x00, 0x00, 0x00, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46};
// PidLidSmartNoAttach: no paperclip, every attachment is shown within the body.
inline const pst::NamedProp kSmartNoAttach{kPsetidCommon, 0x8514, {}, pst::PropType::Boolean};
// PidLidConversationIndexTracking: conversations follow PidTagConversationIndex,
// not the subject.
inline const pst::NamedProp kConversationIndexTracking{
    kPsetidCommon, 0x85C8, {}, pst::PropType::Boolean};

// PidTagMessageFlags bits ([MS-OXCMSG] 2.2.1.6).
inline constexpr std::int32_t kMsgFlagRead = 0x01;
inline constexpr std::int32_t kMsgFlagHasAttach = 0x10;
// PidTagAttachMethod values ([MS-OXCMSG] 2.2.2.9).
inline constexpr std::int32_t kAttachByValue = 1;
inline constexpr std::int32_t kAttachEmbeddedMessage = 5;
// PidTagRecipientType values.
inline constexpr std::int32_t kRecipTo = 1;
inline constexpr std::int32_t kRecipCc = 2;
inline constexpr std::int32_t kRecipBcc = 3;

// The conversations of one run. Outlook puts messages whose conversation index
// begins with the same 22 bytes into one conversation; those bytes hold a time and
// the thread's identity, so every message of a thread must carry the same time,
// whatever its own date. The book remembers, for the messages seen so far, which
// thread each belongs to and the time its thread was given (the first message
// seen of it, usually the one that began it). Used by one thread at a time.
struct ThreadBook {
    std::unordered_map<std::string, std::string> threadOf;  // Message-ID -> thread key
    std::unordered_map<std::string, pst::FileTime> timeOf;  // thread key -> index time
};

struct ImportOptions {
    // Creation and modification time of the new item (the moment of the import).
    pst::FileTime now;
    // Read the header block with GMime's message parser too, not with our own
    // reader. Both give the same item; tests compare them.
    bool wholeParse = false;
    // The run's conversations; none: each message's index is made from its own
    // date. The import looks the message up (and enters it) when it reads it.
    ThreadBook* threads = nullptr;
    // What the book said about the message (set by the import itself).
    std::string threadKey{};
    pst::FileTime threadTime{};
};

// Fills `out` (which should be empty) from the RFC 822 message in `bytes`. Returns
// false with `error` set when the bytes do not hold a message.
bool importMessage(std::string_view bytes, pst::Message& out, std::string& error,
                   const ImportOptions& options);
// The same, stamped with the current time.
bool importMessage(std::string_view bytes, pst::Message& out, std::string& error);

// The import in two halves, for a caller that fills items on another thread: a
// message read as far as needed to know that it imports (its header fields and
// MIME structure, over a copy of its bytes), and the item filled from it. A
// ParsedMessage is used by one thread at a time.
class ParsedMessage {
  public:
    ParsedMessage();
    ParsedMessage(ParsedMessage&&) noexcept;
    ParsedMessage& operator=(ParsedMessage&&) noexcept;
    ~ParsedMessage();
    std::size_t size() const;  // the message's bytes
    // Neither a Received nor a Date field gives the message a time: the item
    // gets none (no time is invented).
    bool undated() const;

    struct Data;

  private:
    friend bool parseMessage(std::string_view, ParsedMessage&, std::string&, const ImportOptions&);
    friend void fillMessage(const ParsedMessage&, pst::Message&);
    std::unique_ptr<Data> d_;
};
// False with `error` set when the bytes do not hold a message.
bool parseMessage(std::string_view bytes, ParsedMessage& out, std::string& error,
                  const ImportOptions& options);
void fillMessage(const ParsedMessage& parsed, pst::Message& out);

// --- pieces of the mapping, public for tests ---------------------------------

pst::FileTime fileTimeFromUnix(std::int64_t seconds, int microseconds = 0);
pst::FileTime currentFileTime();

// The Windows code page of a MIME charset name (case-insensitive); 0 when unknown.
int codePageOfCharset(std::string_view charset);

// Bytes in `charset` (empty: undeclared) as UTF-8. Undecodable bytes become U+FFFD;
// an unknown or undeclared charset is read as UTF-8 when valid, else as windows-1252.
std::string toUtf8(std::string_view bytes, std::string_view charset);

// Subject prefix ("Re: ") and normalized subject ([MS-OXCMAIL] 2.2.3.2.6.1).
std::pair<std::string, std::string> splitSubject(const std::string& subject);

// A FlatEntryList ([MS-OXCDATA] 2.3.3) of entry ids.
pst::Binary flatEntryList(const std::vector<pst::Binary>& entryIds);

// A one-off entry id ([MS-OXCDATA] 2.2.5.1) with Unicode strings.
pst::Binary oneOffEntryId(const std::string& displayName, const std::string& addressType,
                          const std::string& address);
// Search key: address type, ":", address, upper-cased, NUL-terminated ([MS-OXCMAIL]).
pst::Binary addressSearchKey(const std::string& addressType, const std::string& address);

// A 22-byte conversation index header ([MS-OXOMSG] 2.2.1.3) for a thread.
pst::Binary conversationIndex(pst::FileTime time, std::string_view threadKey);

// An 8.3 short name for a long file name; `n` numbers the "~n" tail.
std::string shortFileName(const std::string& longName, int n = 1);

}  // namespace tp::convert
