#pragma once
// What the pieces of the RFC 822 to mail item import share: GMime ownership
// helpers, the header readers, the MIME walk and the importer itself. The import
// is split by what it maps:
//   import.cpp       parsing a message and the public entry points
//   headers.cpp      reading the header block (our reader and GMime's)
//   envelope.cpp     subject, people, dates, threading, importance
//   charsets.cpp     charsets and text decoding
//   bodies.cpp       which parts are the bodies, and the bodies
//   attachments.cpp  attachments and attached messages
//   special.cpp      signed and encrypted mail
#include <gmime/gmime.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "mail/gmime.h"
#include "mapi/import.h"

namespace tp::convert::detail {

// ---------------------------------------------------------------------------
// GMime ownership helpers

struct GFreeDeleter {
    void operator()(void* p) const { g_free(p); }
};
using GString_ = std::unique_ptr<char, GFreeDeleter>;

struct FormatOptionsFree {
    void operator()(GMimeFormatOptions* p) const { g_mime_format_options_free(p); }
};

// GMime is set up once for the process; the parser options are shared and never
// changed after that.
GMimeParserOptions* parserOptions();

std::string lower(std::string_view s);
std::string trim(std::string_view s);
inline std::string str(const char* s) {
    return s ? std::string(s) : std::string();
}
bool validUtf8(std::string_view s);
std::string stripAngles(std::string s);

inline std::int32_t clampSize(std::uint64_t n) {
    return n > std::uint64_t(INT32_MAX) ? INT32_MAX : std::int32_t(n);
}
pst::FileTime fileTimeOf(GDateTime* dt);

// ---------------------------------------------------------------------------
// Charsets (charsets.cpp)

// The charset named by a <meta> tag near the top of an HTML text.
std::string htmlMetaCharset(std::string_view html);

// How one message's text in no known charset is read: raw 8-bit header text,
// undeclared bodies, bodies labelled US-ASCII that hold 8-bit bytes. The charsets
// are tried in this order, the first that reads the text whole winning (else
// the one with the fewest faults): UTF-8; the charsets the message declares
// anywhere; what a charset detector makes of the message's 8-bit text;
// windows-1252. The list is made only when first needed, so plain ASCII and
// UTF-8 mail never pays for it.
class TextGuess {
  public:
    explicit TextGuess(std::string_view raw) : raw_(raw) {}
    ~TextGuess();
    TextGuess(const TextGuess&) = delete;
    TextGuess& operator=(const TextGuess&) = delete;

    const std::vector<std::string>& charsets() const;
    // GMime parser options with charsets() as the fallback list.
    GMimeParserOptions* options() const;
    // `bytes` as UTF-8.
    std::string decode(std::string_view bytes) const;
    // The charset decode() reads `bytes` in.
    std::string charsetFor(std::string_view bytes) const;

  private:
    const std::vector<std::string>& declared() const;
    const std::string& detected() const;
    // The charset and the text read in it.
    std::string read(std::string_view bytes, std::string* text) const;

    std::string_view raw_;
    mutable std::optional<std::vector<std::string>> declared_;
    mutable std::optional<std::string> detected_;
    mutable std::optional<std::vector<std::string>> charsets_;
    mutable GMimeParserOptions* options_ = nullptr;
};

// Bytes in `charset` as UTF-8; text in no usable charset is read through `guess`
// (windows-1252 without one). NULs dropped.
std::string toUtf8(std::string_view bytes, std::string_view charset, const TextGuess* guess);
// True for a declared charset that says nothing about 8-bit bytes: none, or US-ASCII.
bool undeclaredCharset(std::string_view charset);
bool allAscii(std::string_view bytes);

// ---------------------------------------------------------------------------
// Parts (bodies.cpp)

std::string mimeTypeOf(GMimeObject* obj);
bool isType(GMimeObject* obj, const char* type, const char* subtype);
// The decoded content of a leaf part (transfer encoding undone, charset
// untouched). Broken base64 is read leniently, never to nothing.
std::string partContent(GMimePart* part);
// Base64 lines decoded, the lines between them that are no base64 kept as written.
std::string lenientBase64Text(std::string_view raw);
// text/plain, or "text" without a subtype (RFC 2045 5.2).
bool isPlainText(GMimeObject* obj);
bool bareTextType(GMimeObject* obj);
// Base64 as RFC 2045 writes it: the alphabet, line breaks and blanks, and "="
// padding only at the end.
bool cleanBase64(std::string_view raw);
std::string charsetOf(GMimeObject* obj);
bool declaredAttachment(GMimeObject* obj);

// How a message's MIME tree splits into bodies and attachments ([MS-OXCMAIL]
// 2.2.3.3): the first text/plain and text/html that may carry the body are the
// bodies; inside multipart/related only the root may; inside multipart/mixed
// only the first part that can; everything else is an attachment.
struct BodyWalk {
    GMimeObject* plain = nullptr;
    GMimeObject* html = nullptr;
    struct Item {
        GMimeObject* object;
        bool related;
    };
    std::vector<Item> attachments;
    // Multiparts in which no part could be found (a boundary that matches no
    // delimiter line): their text is shown undecoded, as plain text.
    std::vector<GMimeObject*> unreadable;

    static bool canCarryBody(GMimeObject* obj);
    void walk(GMimeObject* obj, bool bodyAllowed, bool related, int depth);
};

// The text of an HTML page (UTF-8), for the plain-text body.
std::string htmlToText(std::string_view html);

// ---------------------------------------------------------------------------
// Attachments (attachments.cpp)

const char* extensionForType(const std::string& mime);
std::string extensionOf(const std::string& name);

// ---------------------------------------------------------------------------
// Special classes (special.cpp)

// A top multipart/signed whose signature ([MS-OXOSMIME] 2.1.1) still covers its
// first part as `body` (the message body, as written) holds it.
bool intactSignature(GMimeObject* top, std::string_view body);
// application/pkcs7-mime, or a *.p7m file: opaque-signed or encrypted.
bool opaqueSmime(GMimeObject* top);
// application/ms-tnef, or a file named winmail.dat.
bool isTnef(GMimeObject* obj);
// What a TNEF stream carries: its files and its bodies (UTF-8).
struct TnefContent {
    struct File {
        std::string name;
        std::string data;
        std::string contentId;
        std::string mimeType;
    };
    std::vector<File> files;
    std::string body;
    std::string html;  // as stored: its charset is the message's
};
bool unpackTnef(std::string_view data, TnefContent& out);

// ---------------------------------------------------------------------------
// People and header fields (headers.cpp)

struct Person {
    std::string name;
    std::string address;
    // A group without members (undisclosed-recipients:;): shown in the display
    // line as written, but nobody to send to.
    bool displayOnly = false;
    std::string display() const { return name.empty() ? address : name; }
};

void collectMailboxes(InternetAddressList* list, std::vector<Person>& out, int depth = 0);
std::vector<Person> mailboxes(InternetAddressList* list);
std::string joinDisplay(const std::vector<Person>& people);
// The people of one address field, from its value as it stands (folding and
// all). Every element of the list yields someone: one GMime cannot read is kept
// with its text as the name and its raw text as the address. `plainFirst` lets
// plainly written lists skip GMime.
void addressField(std::string_view raw, GMimeParserOptions* options, bool plainFirst,
                  std::vector<Person>& out);

// The message-level header fields the mapping reads. Two readers give them: our
// own, over the header block as it stands (the common case, and cheap: nothing is
// built per field), and GMime's message parser for a header block ours does not
// take. Both decode values with GMime's functions, so they give the same text.
class HeaderView {
  public:
    virtual ~HeaderView() = default;
    // The decoded value of the first field of that name, trimmed; "" when absent.
    virtual std::string first(const char* name) const = 0;
    virtual std::string subject() const = 0;
    // The mailboxes of every field of that kind, groups opened.
    virtual std::vector<Person> addresses(GMimeAddressType type) const = 0;
    virtual std::optional<pst::FileTime> date() const = 0;
    virtual std::string messageId() const = 0;
};

// Header text with every run of base64 encoded words in one charset, one of which
// (not the last) ends in padding or in a part of a group of four, written as one
// encoded word holding the bytes of each word decoded on its own. GMime decodes
// such a run as one stream, which stops at the first padding (so "Jürgen " "Weiß"
// read as "Jürgen") or shifts every later word. The text itself when nothing
// needs joining.
std::string joinedEncodedWords(std::string_view text);
// Unstructured header text decoded (encoded words, 8-bit text in `options`).
std::string decodeHeaderText(std::string_view text, GMimeParserOptions* options);

// The header block of a message as it came: every byte up to the empty line.
std::string_view rawHeaderBlock(std::string_view bytes);
// Header bytes as text for the transport headers property.
std::string headerText(std::string_view raw, GMimeParserOptions* options);
std::optional<pst::FileTime> dateOf(const char* text);
std::optional<pst::FileTime> firstReceivedTime(const HeaderView& msg);
// Looks the message up in `options.threads` (entering it) and notes its thread's
// key and time in `options` (the message's `time` when it begins the thread);
// nothing when there is no book or no id to go by.
void bookThread(const HeaderView& headers, std::optional<pst::FileTime> time,
                ImportOptions& options);

// GMime's parsed message as a HeaderView.
class GMimeHeaders : public HeaderView {
  public:
    GMimeHeaders(GMimeMessage* message, GMimeParserOptions* options)
        : message_(message), options_(options) {}
    std::string first(const char* name) const override;
    std::string subject() const override;
    std::vector<Person> addresses(GMimeAddressType type) const override;
    std::optional<pst::FileTime> date() const override;
    std::string messageId() const override;

  private:
    GMimeMessage* message_;
    GMimeParserOptions* options_;
};

// One header field as it stands in the message: its name, and its value with
// any folding, up to (not including) the line end of its last line.
struct Field {
    std::string_view name;
    std::string_view raw;
};

bool sameName(std::string_view a, const char* b);
// Reads the header block at the start of `bytes` into `fields`, and where the
// body begins (after the empty line). False for a block this reader does not
// take: a line that is neither a field, nor a folded continuation, nor the empty
// line, or a NUL or a carriage return that ends no line (GMime decides what
// those mean).
bool readHeaderBlock(std::string_view bytes, std::vector<Field>& fields, size_t& bodyStart);
// A field's value on one line, as GMime unfolds one.
std::string unfoldedValue(const Field& f);

// Our own reader's fields as a HeaderView; values decoded as GMime's message does.
class OwnHeaders : public HeaderView {
  public:
    OwnHeaders(const std::vector<Field>& fields, GMimeParserOptions* options)
        : fields_(fields), options_(options) {}
    std::string first(const char* name) const override;
    std::string subject() const override;
    std::vector<Person> addresses(GMimeAddressType type) const override;
    std::optional<pst::FileTime> date() const override;
    std::string messageId() const override;

  private:
    const Field* last(const char* name) const;
    std::string decoded(const Field& f) const;

    const std::vector<Field>& fields_;
    GMimeParserOptions* options_;
};

// ---------------------------------------------------------------------------
// Envelope (envelope.cpp)

std::int32_t importanceOf(const HeaderView& msg);
std::int32_t priorityOf(const HeaderView& msg);
std::int32_t sensitivityOf(const HeaderView& msg);

// ---------------------------------------------------------------------------
// The message as parsed, and the importer

// Attached messages nest at most this deep; deeper ones are kept whole, as .eml files.
constexpr int kMaxEmbeddingDepth = 6;

// The body of a message that is one text part, as most mail is: decoded here,
// without any GMime object.
struct SimpleBody {
    bool html = false;
    std::string charset;
    std::string_view content;  // the body itself, or `decoded`
    std::string decoded;       // when a transfer encoding was undone
};

// A message read as far as the import needs to know that it can be imported:
// its header fields (our reader) or GMime's message (GMime's parser), and the
// MIME structure.
struct Parsed {
    explicit Parsed(std::string_view raw) : guess(raw) {}
    TextGuess guess;
    // The options header text is decoded with: the shared ones, or the guess's
    // when the header block holds 8-bit text that is not UTF-8.
    GMimeParserOptions* options = nullptr;
    std::vector<Field> fields;
    std::optional<SimpleBody> simple;
    GPtr<GMimeObject> top;
    GPtr<GMimeMessage> message;
    // The Date field's time and the newest Received field's, read once for all
    // their uses (the sent and delivery times, the thread's time, "no date").
    std::optional<pst::FileTime> sent, received;
};
bool parse(std::string_view raw, Parsed& out, std::string& error, bool wholeParse);
// The body of a message that is one plainly declared text part, with its transfer
// encoding undone. False (and nothing set) for any other message.
bool simpleBody(const std::vector<Field>& fields, std::string_view body,
                std::optional<SimpleBody>& out);

class Importer {
  public:
    explicit Importer(const ImportOptions& options) : options_(options) {}

    // Fills `out` from the message in `raw`; false when GMime cannot read it.
    bool import(std::string_view raw, pst::Message& out, std::string& error, int depth);
    void fill(const Parsed& parsed, std::string_view raw, pst::Message& out, int depth);

  private:
    void fill(const HeaderView& headers, GMimeObject* top, const SimpleBody* simple,
              std::string_view raw, const Parsed& parsed, pst::Message& out, int depth);
    // Subject, people, dates, identity, threading, importance.
    void fillEnvelope(const HeaderView& headers, std::string_view raw, const Parsed& parsed,
                      pst::Message& out, int depth);
    // Bodies and attachments.
    void fillContent(GMimeObject* top, const SimpleBody* simple, const TextGuess& guess,
                     std::string_view raw, pst::Message& out, int depth);
    struct BodyText {
        std::string_view content;  // transfer encoding undone
        std::string charset;
    };
    // The walk's plain and HTML parts, decoded into `plainBytes` and `htmlBytes`,
    // which the returned texts point into.
    static void walkedBodies(const BodyWalk& walk, std::string& plainBytes, std::string& htmlBytes,
                             std::optional<BodyText>& plain, std::optional<BodyText>& html);
    void addBodies(const std::optional<BodyText>& plain, const std::optional<BodyText>& html,
                   bool related, const TextGuess& guess, pst::Message& out, std::string& htmlText);
    void addAttachment(const BodyWalk::Item& item, const std::string& htmlText, pst::Message& out,
                       std::set<std::string>& shortNames, int depth);
    void setFileProps(pst::Attachment& att, std::string name, const std::string& mime,
                      const std::string& data, std::set<std::string>& shortNames);
    void addFile(const std::string& name, const std::string& mime, const std::string& data,
                 const std::string& contentId, pst::Message& out,
                 std::set<std::string>& shortNames);
    // A winmail.dat unpacked into the item: its files, and its bodies where the
    // message has none. False (nothing added) when it cannot be read.
    bool addTnef(GMimeObject* obj, pst::Message& out, std::set<std::string>& shortNames);
    // A clear-signed message as Outlook stores it; false when it is none.
    bool fillSigned(GMimeObject* top, std::string_view raw, const TextGuess& guess,
                    pst::Message& out);

    const ImportOptions& options_;
};

}  // namespace tp::convert::detail
