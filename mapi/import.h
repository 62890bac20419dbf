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

#include "pst/messaging/tags.h"
#include "pst/pst.h"

namespace tp::convert {

// The property tags the import writes, by their [MS-OXPROPS] names.
namespace tag = pst::tags;

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
