// Turning the scanner's hits into message ranges.
//
// A hit starts a message only when "MIME-Version: 1.0" begins its line. The
// message then begins at the top of the header block holding that line: walk up
// over header fields (the obsolete form with blanks before the colon included)
// and folded continuations, stop at an empty line or any other line, then drop
// lines from the top until the first field whose name mail programs write (a
// body's last lines such as "Tel: +1 555 0100" look like fields too).
//
// Two rules keep hits from splitting one message:
// - One header block is one message: a hit whose walk reaches the line of the
//   hit that began the previous message, over header lines only, is a second
//   "MIME-Version: 1.0" line of that message's header.
// - A hit inside the open last part of the previous message's top-level multipart
//   body (after a "--B" line, with no "--B--" between) belongs to that message
//   when its header block is the body of a part that holds a message (a part
//   header of type message/..., text/rfc822-headers, or none at all as in a
//   digest, between a delimiter line and the empty line right above the block)
//   and a "--B--" line does follow. Any other hit there, such as the messages
//   after a part that was cut off, begins a message of its own, however far away
//   a "--B--" line (a later copy of the cut message, a forward of it) may come.
//
// Messages without a "MIME-Version: 1.0" line (older mail, plain RFC 822, many
// automated senders, other spellings of the field) are found by their header
// blocks: in the body of a message, a run of header fields (folded lines
// included) that ends in an empty line and carries what a stored message has:
// From and Date, and a trace or identity field (Received, Return-Path,
// Delivered-To, Message-ID). Its first line is found by the same walk up. Such a
// block begins a message of its own unless the mail shows it is part of the
// message around it:
// - it lies in an open part of that message's top-level multipart body whose
//   closing "--B--" line follows (a forwarded or bounced message, a pasted
//   header dump: the structure says it is inside);
// - the nearest text line above it introduces it: a forward or bounce separator
//   ("-----Original Message-----", "Begin forwarded message:", "--- Below this
//   line is a copy of the message."), or any line ending in a colon.
// A block taken as part of the message before it, and a block split at that
// carries no Received or Return-Path field, are listed as doubts for the report.
//
// Every look is bounded by the distance between neighbouring hits or by a fixed
// window, and the file is read in pieces of a megabyte, so hostile input (huge
// lines, huge headers, boundaries that never close) costs time roughly linear in
// the file size and memory independent of it. The "Date:" and "--" lines that the
// searches through bodies need are listed once (see line_starts.h), usually while
// the scanner reads the file, so no body is searched byte by byte again. A large
// file is searched by two threads, the second from the middle on; the first takes
// the second's messages over from the first message both began alike.
#include "mailbox/boundaries.h"

#include "common/ascii.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <iterator>
#include <map>
#include <memory>
#include <optional>
#include <string_view>
#include <thread>
#include <unordered_map>

#include "finder/scanner.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace tp::convert {

// ---------------------------------------------------------------------------
// MailboxFile

MailboxFile::~MailboxFile() {
    close();
}

std::error_code MailboxFile::open(const std::filesystem::path& path) {
    close();
    std::uint64_t size = 0;
    std::error_code ec = file_.openRead(path);
    if (!ec) ec = file_.size(size);
    if (ec) {
        file_.close();
        return ec;
    }
    size_ = size;
    path_ = path;
    return {};
}

void MailboxFile::close() {
    file_.close();
    size_ = 0;
    path_.clear();
}

std::error_code MailboxFile::read(std::uint64_t offset, std::uint64_t length,
                                  std::string& out) const {
    if (!file_.isOpen() || offset >= size_ || length == 0) {
        out.clear();
        return !file_.isOpen() ? std::make_error_code(std::errc::bad_file_descriptor)
                               : std::error_code{};
    }
    const std::uint64_t want = std::min(length, size_ - offset);
    // Only what the string grows by is filled before the read writes over it.
    out.resize(static_cast<std::size_t>(want));
    // A read that ends early means the file shrank: a short read, not an error.
    std::size_t got = 0;
    if (const std::error_code ec =
            io::readFull(file_, path_, out.data(), out.size(), offset, got)) {
        out.clear();
        return ec;
    }
    out.resize(got);
    return {};
}

std::error_code MailboxFile::readInto(std::uint64_t offset, char* out, std::size_t length,
                                      std::size_t& got) const {
    got = 0;
    if (!file_.isOpen()) return std::make_error_code(std::errc::bad_file_descriptor);
    if (offset >= size_ || length == 0) return {};
    return io::readFull(file_, path_, out,
                        static_cast<std::size_t>(std::min<std::uint64_t>(length, size_ - offset)),
                        offset, got);
}

// ---------------------------------------------------------------------------

namespace {

constexpr std::uint64_t kMaxHeaderBlock = 8u << 20;      // header bytes parsed per message
constexpr std::size_t kMaxFieldValue = 64u << 10;        // Content-Type text kept
constexpr std::size_t kMaxNameLength = 998;              // longest field name considered
constexpr std::uint64_t kCloseLookahead = 16u << 20;     // direct search for "--B--"
constexpr std::size_t kMaxIndexedBoundaries = 1u << 19;  // distinct closing lines indexed
constexpr std::size_t kMaxBoundaryLength = 200;
constexpr int kMaxPartHeaderLines = 100;                       // lines of a part header looked at
constexpr std::string_view kSearchLine = "MIME-Version: 1.0";  // what the scanner finds
constexpr std::uint64_t kMaxBlockLook = 256u << 10;  // bytes a candidate header block may span
constexpr int kMaxBlankLinesAbove = 20;              // blank lines skipped to find the text above
constexpr std::size_t kMaxSeparatorText = 300;       // bytes of that line looked at
constexpr std::size_t kShortLine = 20;               // a line this short may be a signature
constexpr int kMaxBrokenLines = 2;                   // unfolded value lines in a row

struct ReadFailure {
    std::error_code ec;
};

// Names of header fields that mail uses (lower case, sorted): the IANA message
// header field registry's mail names and those mail programs commonly write.
constexpr std::string_view kKnownFields[] = {
    "accept-language",
    "alternate-recipient",
    "apparently-to",
    "approved",
    "archived-at",
    "authentication-results",
    "auto-submitted",
    "autocrypt",
    "autoforwarded",
    "autosubmitted",
    "bcc",
    "bounces-to",
    "cancel-key",
    "cancel-lock",
    "cc",
    "comments",
    "conversion",
    "conversion-with-loss",
    "date",
    "deferred-delivery",
    "delivered-to",
    "delivery-date",
    "discarded-x400-ipms-extensions",
    "discarded-x400-mts-extensions",
    "disclose-recipients",
    "disposition-notification-options",
    "disposition-notification-to",
    "distribution",
    "dkim-signature",
    "dl-expansion-history",
    "domainkey-signature",
    "encoding",
    "encrypted",
    "envelope-to",
    "errors-to",
    "expires",
    "expiry-date",
    "face",
    "feedback-id",
    "followup-to",
    "from",
    "generate-delivery-report",
    "importance",
    "in-reply-to",
    "incomplete-copy",
    "injection-date",
    "injection-info",
    "keywords",
    "language",
    "latest-delivery-time",
    "lines",
    "mail-followup-to",
    "mail-reply-to",
    "mailing-list",
    "message-context",
    "message-id",
    "message-type",
    "mime-version",
    "newsgroups",
    "nntp-posting-date",
    "nntp-posting-host",
    "obsoletes",
    "openpgp",
    "organisation",
    "organization",
    "original-encoded-information-types",
    "original-from",
    "original-message-id",
    "original-recipient",
    "original-sender",
    "original-subject",
    "originator-return-address",
    "path",
    "pics-label",
    "precedence",
    "prevent-nondelivery-report",
    "priority",
    "received",
    "received-spf",
    "references",
    "reply-by",
    "reply-to",
    "require-recipient-valid-since",
    "return-path",
    "return-receipt-to",
    "sender",
    "sensitivity",
    "sio-label",
    "sio-label-history",
    "solicitation",
    "status",
    "subject",
    "summary",
    "supersedes",
    "thread-index",
    "thread-topic",
    "tls-report-domain",
    "tls-report-submitter",
    "tls-required",
    "to",
    "user-agent",
    "vbr-info",
    "x400-content-identifier",
    "x400-content-return",
    "x400-content-type",
    "x400-mts-identifier",
    "x400-originator",
    "x400-received",
    "x400-recipients",
    "x400-trace",
    "xref",
};

// Families: a field whose name begins with one of these counts as well.
constexpr std::string_view kKnownPrefixes[] = {
    "arc-", "content-", "downgraded-", "list-", "mmhs-", "resent-", "x-",
};

using ascii::equalsNoCase;
using ascii::lower;
using ascii::startsWithNoCase;

}  // namespace

// Longer than every name and prefix above: only this much of a name is looked at.
constexpr std::size_t kNameLook = 64;
constexpr bool shorterThanLook() {
    for (const std::string_view f : kKnownFields)
        if (f.size() >= kNameLook) return false;
    return true;
}
static_assert(shorterThanLook());

namespace {

// The known names grouped by length and first letter, for the lookup that every
// header line the finder walks over makes: a name is compared only with the one
// or two known names of its length and first letter.
class KnownNames {
  public:
    KnownNames() {
        std::vector<std::pair<std::size_t, std::string_view>> keyed;
        for (const std::string_view f : kKnownFields) keyed.emplace_back(key(f), f);
        std::sort(keyed.begin(), keyed.end());
        std::size_t i = 0;
        for (std::size_t k = 0; k < kKeys; ++k) {
            first_[k] = i;
            while (i < keyed.size() && keyed[i].first == k) names_.push_back(keyed[i++].second);
        }
        first_[kKeys] = i;
    }
    bool has(std::string_view name) const {
        const std::size_t k = key(name);
        for (std::size_t i = first_[k]; i < first_[k + 1]; ++i)
            if (equalsNoCase(name, names_[i])) return true;
        return false;
    }

  private:
    static constexpr std::size_t kKeys = 32 * 256;
    static std::size_t key(std::string_view name) {
        return (name.size() % 32) * 256 + static_cast<unsigned char>(lower(name[0]));
    }
    std::vector<std::string_view> names_;
    std::array<std::size_t, kKeys + 1> first_{};
};

}  // namespace

bool isKnownHeaderField(std::string_view name) {
    if (name.empty()) return false;
    static const KnownNames known;
    if (name.size() < kNameLook && known.has(name)) return true;
    for (const std::string_view prefix : kKnownPrefixes)
        if (name.size() > prefix.size() && startsWithNoCase(name, prefix)) return true;
    return false;
}

namespace {

// The file in pieces of a megabyte, each read once while it is in use: every
// look of the finder is a view into one of them. A piece overlaps the next by
// more than any single look needs, so a look never spans two pieces.
struct Piece {
    std::unique_ptr<char[]> bytes;
    std::size_t size = 0;
};

class Pieces {
  public:
    static constexpr std::uint64_t kStep = 1u << 20;      // a piece begins every kStep bytes
    static constexpr std::uint64_t kOverlap = 64u << 10;  // and reaches this much further
    explicit Pieces(const MailboxFile& file) : file_(file) {}
    // The piece holding `pos`; sets `start` to where it begins.
    std::shared_ptr<const Piece> holding(std::uint64_t pos, std::uint64_t& start) {
        const std::uint64_t index = pos / kStep;
        start = index * kStep;
        for (Kept& k : kept_) {
            if (k.piece && k.index == index) {
                k.used = ++clock_;
                return k.piece;
            }
        }
        Kept* slot = &kept_[0];
        for (Kept& k : kept_)
            if (k.used < slot->used) slot = &k;
        // The least recently used piece's memory is taken over unless a look still has it.
        if (!slot->piece || slot->piece.use_count() > 1) {
            slot->piece = std::make_shared<Piece>();
            slot->piece->bytes.reset(new char[kStep + kOverlap]);
        }
        const std::uint64_t length =
            std::min(file_.size() - std::min(start, file_.size()), kStep + kOverlap);
        std::size_t got = 0;
        if (auto ec = file_.readInto(start, slot->piece->bytes.get(),
                                     static_cast<std::size_t>(length), got)) {
            slot->piece.reset();
            throw ReadFailure{ec};
        }
        // Less than the file held when it was opened: it shrank (a loop waiting for
        // those bytes would wait for ever).
        if (got < length) {
            slot->piece.reset();
            throw ReadFailure{std::make_error_code(std::errc::io_error)};
        }
        slot->piece->size = got;
        slot->index = index;
        slot->used = ++clock_;
        return slot->piece;
    }

  private:
    struct Kept {
        std::uint64_t index = 0;
        std::uint64_t used = 0;
        std::shared_ptr<Piece> piece;
    };
    const MailboxFile& file_;
    std::array<Kept, 4> kept_;  // the pieces of the places looked at lately
    std::uint64_t clock_ = 0;
};

// A run of the file's bytes that a look works in: a view into a piece.
class Window {
  public:
    explicit Window(Pieces& pieces) : pieces_(pieces) {}
    bool holds(std::uint64_t pos) const { return pos >= start_ && pos - start_ < length_; }
    std::uint64_t start() const { return start_; }
    std::uint64_t end() const { return start_ + length_; }
    const char* at(std::uint64_t pos) const { return data_ + (pos - start_); }
    // Loads from `pos` on, to the end of the piece that holds it.
    void loadFrom(std::uint64_t pos) {
        std::uint64_t pieceStart = 0;
        piece_ = pieces_.holding(pos, pieceStart);
        start_ = pos;
        data_ = piece_->bytes.get() + (pos - pieceStart);
        length_ =
            pieceStart + piece_->size - std::min<std::uint64_t>(pos, pieceStart + piece_->size);
    }
    // Loads the bytes before `end`, not below `floor`: from the start of the piece
    // that holds the byte before `end`.
    void loadBefore(std::uint64_t end, std::uint64_t floor) {
        loadFrom(std::max(floor, (end - 1) / Pieces::kStep * Pieces::kStep));
    }
    unsigned char byte(std::uint64_t pos) {
        if (!holds(pos)) loadFrom(pos);
        if (!holds(pos)) throw ReadFailure{std::make_error_code(std::errc::io_error)};
        return static_cast<unsigned char>(*at(pos));
    }

  private:
    Pieces& pieces_;
    std::shared_ptr<const Piece> piece_;
    const char* data_ = nullptr;
    std::uint64_t start_ = 0;
    std::uint64_t length_ = 0;
};

bool isLineEnd(unsigned char c) {
    return c == '\r' || c == '\n';
}

#if defined(__SSE2__)
// Which of the sixteen bytes at `p` are CR or LF, one bit each (bit i: p[i]).
unsigned lineEndsOf16(const char* p) {
    const __m128i v =
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(static_cast<const void*>(p)));
    return static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(
        _mm_cmpeq_epi8(v, _mm_set1_epi8('\n')), _mm_cmpeq_epi8(v, _mm_set1_epi8('\r')))));
}
#endif

// Where the first CR or LF of `base[0, n)` is (n when there is none): sixteen
// bytes at a time, since most lines a look reads are short header lines.
std::size_t lineEndIn(const char* base, std::size_t n) {
    std::size_t i = 0;
#if defined(__SSE2__)
    for (; i + 16 <= n; i += 16)
        if (const unsigned ends = lineEndsOf16(base + i))
            return i + static_cast<std::size_t>(__builtin_ctz(ends));
#endif
    for (; i < n; ++i)
        if (base[i] == '\n' || base[i] == '\r') return i;
    return n;
}

// One line: [start, contentEnd) plus its terminator up to next.
struct Line {
    std::uint64_t start = 0;
    std::uint64_t contentEnd = 0;
    std::uint64_t next = 0;
    bool empty() const { return contentEnd == start; }
};

// Where the last CR or LF of [base, base + n) is; npos when none. Sixteen bytes
// at a time from the end where SSE2 is there, else eight: a byte equal to c
// leaves a zero byte in word ^ c*ones, which (x - ones) & ~x & highs finds.
std::size_t lastLineEnd(const char* base, std::size_t n) {
    std::size_t i = n;
#if defined(__SSE2__)
    for (; i >= 16; i -= 16)
        if (const unsigned ends = lineEndsOf16(base + i - 16))
            return i - 16 + static_cast<std::size_t>(31 - __builtin_clz(ends));
#else
    constexpr std::uint64_t kOnes = 0x0101010101010101u, kHighs = 0x8080808080808080u;
    while (i >= 8) {
        std::uint64_t w;
        std::memcpy(&w, base + i - 8, 8);
        const std::uint64_t lf = w ^ (kOnes * '\n'), cr = w ^ (kOnes * '\r');
        if ((((lf - kOnes) & ~lf) | ((cr - kOnes) & ~cr)) & kHighs) break;  // in these eight
        i -= 8;
    }
#endif
    while (i > 0) {
        --i;
        if (base[i] == '\n' || base[i] == '\r') return i;
    }
    return std::string_view::npos;
}

// Where a search began a message, and the state it began it in: two searches
// that begin a message at the same place in the same state go on alike.
struct Begun {
    std::uint64_t line = 0;                // the line that began it
    std::size_t nextHit = 0;               // the next hit to take
    std::optional<std::uint64_t> pending;  // the hit taken and not yet looked at
    std::uint64_t lastHit = 0;             // the last hit taken
    std::uint64_t searchFrom = 0;          // header blocks before this were looked at
    bool closeIndex = false;               // the closing lines were indexed
    std::size_t message = 0;               // its index in that search's messages
    std::size_t doubts = 0;                // that search's doubts before it
    bool sameState(const Begun& o) const {
        return line == o.line && nextHit == o.nextHit && pending == o.pending &&
               lastHit == o.lastHit && searchFrom == o.searchFrom && closeIndex == o.closeIndex;
    }
};

// The second half of a large file, searched on a thread of its own.
class SearchAhead {
  public:
    SearchAhead(const MailboxFile& file, const LineStarts& starts,
                const std::vector<std::uint64_t>& hits, std::size_t from);
    ~SearchAhead() { finish(); }
    SearchAhead(const SearchAhead&) = delete;
    SearchAhead& operator=(const SearchAhead&) = delete;
    std::uint64_t from() const { return from_; }
    // Waits for it; null when it failed (a read error: the first search then goes on alone).
    const Partition* result();
    const Begun* begunAt(std::uint64_t start) const {
        const auto it = begun_.find(start);
        return it == begun_.end() ? nullptr : &it->second;
    }

  private:
    void finish() {
        if (thread_.joinable()) thread_.join();
    }
    std::uint64_t from_;
    std::map<std::uint64_t, Begun> begun_;
    Partition part_;
    bool ok_ = false;
    std::thread thread_;
};

class Analyzer {
  public:
    Analyzer(const MailboxFile& file, const LineStarts& starts)
        : file_(file),
          size_(file.size()),
          pieces_(file),
          fwd_(pieces_),
          back_(pieces_),
          scan_(pieces_),
          far_(pieces_),
          blocks_(pieces_),
          starts_(starts) {}

    // The partition of the file, or, with `from` > 0, of the file from the hit
    // `from` on (a search ahead of another one, which notes where each message
    // began in `begun`). A search given `ahead` joins it where both began a message
    // in the same state.
    Partition run(const std::vector<std::uint64_t>& rawHits, std::size_t from = 0,
                  std::map<std::uint64_t, Begun>* begun = nullptr, SearchAhead* ahead = nullptr);

  private:
    struct Multipart {
        std::string boundary;  // empty: not multipart (or no usable body)
        std::uint64_t bodyStart = 0;
        std::uint64_t cursor = 0;       // delimiter lines before this are accounted for
        bool open = false;              // the latest "--B" / "--B--" line was a "--B"
        std::uint64_t closeAt = 0;      // a "--B--" line is known to begin here...
        bool closeKnown = false;        // ...when this is set
        std::uint64_t noCloseFrom = 0;  // no "--B--" line begins at or after this...
        bool noCloseKnown = false;      // ...when this is set
    };

    // Where the walk up from a hit ended.
    enum class Stop { Floor, PreviousHit, EmptyLine, Other };
    struct Walk {
        std::uint64_t start = 0;  // the message's first line
        Stop stop = Stop::Floor;
        std::uint64_t stopLine = 0;  // where the line that stopped the walk begins
        // The nearest Content-Type field above the hit that the walk passed, if any:
        // when it lies above `start`, the header from `start` to the hit has none.
        std::optional<std::uint64_t> contentType;
    };

    // A header block in a body that may begin a message of its own.
    struct Block {
        std::uint64_t start = 0;  // its first line
        std::uint64_t end = 0;    // where its body begins (past the empty line)
        bool traced = false;      // it has a Received or Return-Path field
    };

    const Window* holding(std::uint64_t pos) const;
    unsigned char byteAt(std::uint64_t pos);
    const Window& before(std::uint64_t end, std::uint64_t floor);
    bool beginsLine(std::uint64_t pos);
    Walk walkUp(std::uint64_t hit, std::optional<std::uint64_t> prevHit);
    bool holdsMessagePart(std::uint64_t emptyLine, std::uint64_t floor);
    Line lineAbove(std::uint64_t pos, std::uint64_t floor);
    std::uint64_t lineStartBefore(std::uint64_t contentEnd, std::uint64_t floor);
    std::string_view peek(std::uint64_t pos, std::uint64_t end, std::size_t max);
    Line lineAt(std::uint64_t pos, std::uint64_t limit, std::size_t keep, std::string& buffer,
                std::string_view& text);
    Multipart readHeader(std::uint64_t start, std::uint64_t limit, std::uint64_t from);
    bool textAt(Window& w, std::uint64_t pos, std::string_view text);
    void advanceDelimiters(Multipart& mp, std::uint64_t to);
    bool closeFollows(Multipart& mp, std::uint64_t pos);
    std::optional<std::uint64_t> findClose(const std::string& boundary, std::uint64_t from,
                                           std::uint64_t to);
    void buildCloseIndex();
    bool leadingHasContent(std::uint64_t end);
    std::optional<Block> nextBlock(std::uint64_t& from, std::uint64_t to);
    std::optional<Block> blockAt(std::uint64_t anchor, std::uint64_t floor, std::uint64_t& next);
    bool headerRunsTo(std::uint64_t pos, std::uint64_t hit);
    std::optional<std::string> introducingLine(std::uint64_t start, std::uint64_t floor);

    const MailboxFile& file_;
    std::uint64_t size_;
    Pieces pieces_;
    Window fwd_;          // forward reads: header lines, delimiter checks
    Window back_;         // backward reads: the walk up from a hit
    Window scan_;         // delimiter lines, from one message to the next
    Window far_;          // searches far ahead, and whole-file passes
    Window blocks_;       // the search for header blocks, which goes through every body
    std::string peeked_;  // what peek read when no window held it
    std::string buffer_;  // a line that lineAt found in no single window
    const Window* lastAbove_ = &back_;  // where the last line above a place was found
    const LineStarts& starts_;          // the "Date:" and "--" lines of the whole file
    bool indexBuilt_ = false;
    bool indexComplete_ = true;
    std::unordered_map<std::uint64_t, std::uint64_t> lastClose_;  // boundary hash -> offset
};

// A window that holds the byte before `end`: the forward window when it already
// does (neighbouring messages usually share it), else the backward one.
const Window& Analyzer::before(std::uint64_t end, std::uint64_t floor) {
    if (const Window* w = holding(end - 1)) return *w;
    back_.loadBefore(end, floor);
    return back_;
}

// A window that already holds the byte at `pos`, if any: looks near a place just
// searched are served from what that search read.
const Window* Analyzer::holding(std::uint64_t pos) const {
    if (fwd_.holds(pos)) return &fwd_;
    if (blocks_.holds(pos)) return &blocks_;
    if (scan_.holds(pos)) return &scan_;
    if (far_.holds(pos)) return &far_;
    if (back_.holds(pos)) return &back_;
    return nullptr;
}

unsigned char Analyzer::byteAt(std::uint64_t pos) {
    if (const Window* w = holding(pos)) return static_cast<unsigned char>(*w->at(pos));
    return fwd_.byte(pos);
}

bool Analyzer::beginsLine(std::uint64_t pos) {
    if (pos == 0) return true;
    return isLineEnd(static_cast<unsigned char>(*before(pos, 0).at(pos - 1)));
}

// Start of the line whose content ends at `contentEnd`, not below `floor`.
std::uint64_t Analyzer::lineStartBefore(std::uint64_t contentEnd, std::uint64_t floor) {
    std::uint64_t end = contentEnd;
    while (end > floor) {
        const Window& w = before(end, floor);
        const std::uint64_t lo = std::max(floor, w.start());
        const char* base = w.at(lo);
        const std::size_t n = static_cast<std::size_t>(end - lo);
        const std::size_t hit = lastLineEnd(base, n);
        if (hit != std::string_view::npos) {
            lastAbove_ = &w;
            return lo + hit + 1;
        }
        end = lo;
    }
    return floor;
}

// Up to `max` bytes of [pos, end): valid until the next look at the file.
std::string_view Analyzer::peek(std::uint64_t pos, std::uint64_t end, std::size_t max) {
    const std::uint64_t n = std::min<std::uint64_t>(end - pos, max);
    const std::size_t length = static_cast<std::size_t>(n);
    const Window* const windows[] = {lastAbove_, &fwd_, &blocks_, &scan_, &far_, &back_};
    for (const Window* w : windows)
        if (w->holds(pos) && w->end() >= pos + n) return {w->at(pos), length};
    if (auto ec = file_.read(pos, n, peeked_)) throw ReadFailure{ec};
    if (peeked_.size() < n) throw ReadFailure{std::make_error_code(std::errc::io_error)};  // shrank
    return peeked_;
}

// The field name a line's text begins with, if it is a header field: printable
// characters other than ":" and space, then ":", with blanks allowed before the
// colon (RFC 5322 obs-optional: "Subject : two").
std::optional<std::string_view> fieldName(std::string_view text) {
    // One pass: the name's characters, then blanks, then the colon.
    std::size_t end = 0;
    while (end < text.size()) {
        const auto c = static_cast<unsigned char>(text[end]);
        if (c <= 0x20 || c >= 0x7F || c == ':') break;
        ++end;
    }
    if (end == 0) return {};
    std::size_t colon = end;
    while (colon < text.size() && (text[colon] == ' ' || text[colon] == '\t')) ++colon;
    if (colon == text.size() || text[colon] != ':' || colon > kMaxNameLength) return {};
    return text.substr(0, end);
}

// A line that continues the field above it though it does not begin with a
// blank: some programs break long values (a Message-ID, a host name in a
// Received field) without folding them. One token, or an address or comment.
bool brokenContinuation(std::string_view text) {
    if (text.empty() || text[0] == ' ' || text[0] == '\t') return false;
    if (text[0] == '<' || text[0] == '(') return true;
    return text.find_first_of(" \t") == std::string_view::npos;
}

// Return-Path is the first field of a stored message: the delivering server
// puts it on top of everything else, so field-like lines above the topmost one
// (the end of the message before, a list's footer) are not the header's.
bool isReturnPath(std::string_view name) {
    return equalsNoCase(name, "return-path");
}

// Fields a mail program writes on top of a stored message to keep its state.
bool isStatusField(std::string_view name) {
    static constexpr std::string_view kStatus[] = {
        "status",         "x-status",      "x-keywords",       "x-persona",
        "x-uid",          "x-uidl",        "x-mozilla-status", "x-mozilla-status2",
        "x-mozilla-keys", "x-account-key", "x-evolution",      "x-imap",
    };
    for (const std::string_view s : kStatus)
        if (equalsNoCase(name, s)) return true;
    return false;
}

// Walking up a header: the topmost Return-Path line, and the status fields that
// lie right above it, make the top of the message.
struct HeaderTop {
    std::uint64_t returnPath = 0;
    std::uint64_t status = 0;
    bool hasReturnPath = false;
    bool hasStatus = false;
    bool statusRun = false;  // still in the run of status fields above Return-Path

    void note(std::string_view name, std::uint64_t line) {
        if (isReturnPath(name)) {
            returnPath = line;
            hasReturnPath = statusRun = true;
            hasStatus = false;
        } else if (statusRun && isStatusField(name)) {
            status = line;
            hasStatus = true;
        } else {
            statusRun = false;
        }
    }
    // The message's first line, given the topmost field whose name mail uses.
    std::uint64_t first(std::uint64_t known) const {
        if (!hasReturnPath) return known;
        return hasStatus ? status : returnPath;
    }
};

// The line that ends right before `pos` (a line start), not below `floor`:
// its start and the end of its content.
Line Analyzer::lineAbove(std::uint64_t pos, std::uint64_t floor) {
    Line line;
    line.next = pos;
    line.contentEnd = pos - 1;
    const Window& w = before(pos, 0);
    if (*w.at(pos - 1) == '\n' && pos >= 2) {
        const char c = w.holds(pos - 2) ? *w.at(pos - 2) : *before(pos - 1, 0).at(pos - 2);
        if (c == '\r') line.contentEnd = pos - 2;
    }
    line.start = lineStartBefore(line.contentEnd, floor);
    return line;
}

Analyzer::Walk Analyzer::walkUp(std::uint64_t hit, std::optional<std::uint64_t> prevHit) {
    const std::uint64_t floor = prevHit ? *prevHit : 0;
    Walk walk;
    walk.start = hit;  // the hit's own line is a known field
    std::uint64_t top = hit;
    std::uint64_t broken = 0;  // the first of the broken lines just passed, if any
    int brokenLines = 0;
    HeaderTop header;
    while (top > floor) {
        const Line line = lineAbove(top, floor);
        walk.stopLine = line.start;
        if (prevHit && line.start <= *prevHit) {  // the previous boundary's line
            walk.stop = Stop::PreviousHit;
            return walk;
        }
        if (line.empty()) {
            walk.stop = Stop::EmptyLine;
            walk.start = header.first(walk.start);
            return walk;
        }
        const std::string_view text = peek(line.start, line.contentEnd, kMaxNameLength + 2);
        if (text[0] == ' ' || text[0] == '\t') {
            top = line.start;  // a folded continuation
            continue;
        }
        const auto name = fieldName(text);
        if (!name) {
            if (brokenContinuation(text) && ++brokenLines <= kMaxBrokenLines) {
                if (broken == 0) broken = line.start;
                top = line.start;
                continue;
            }
            if (broken != 0) walk.stopLine = broken;
            walk.stop = Stop::Other;
            walk.start = header.first(walk.start);
            return walk;
        }
        broken = 0;
        brokenLines = 0;
        if (!walk.contentType && equalsNoCase(*name, "content-type")) walk.contentType = line.start;
        if (isKnownHeaderField(*name)) walk.start = line.start;
        header.note(*name, line.start);
        top = line.start;
    }
    walk.stop = Stop::Floor;
    walk.start = header.first(walk.start);
    return walk;
}

// Whether the empty line at `emptyLine` ends the header of a part that holds a
// message: above it, header lines up to a delimiter line ("--..."), with no
// Content-Type among them (a digest's parts) or one of message/... or
// text/rfc822-headers.
bool Analyzer::holdsMessagePart(std::uint64_t emptyLine, std::uint64_t floor) {
    bool typed = false;
    bool message = false;
    std::uint64_t top = emptyLine;
    for (int n = 0; n < kMaxPartHeaderLines && top > floor; ++n) {
        const Line line = lineAbove(top, floor);
        if (line.empty()) return false;
        const std::string_view text = peek(line.start, line.contentEnd, kMaxNameLength + 64);
        if (text.size() >= 2 && text[0] == '-' && text[1] == '-') return !typed || message;
        top = line.start;
        if (text[0] == ' ' || text[0] == '\t') continue;
        const auto name = fieldName(text);
        if (!name) return false;
        if (equalsNoCase(*name, "content-type")) {
            std::string_view value = std::string_view(text).substr(text.find(':') + 1);
            while (!value.empty() && (value[0] == ' ' || value[0] == '\t')) value.remove_prefix(1);
            typed = true;
            message = startsWithNoCase(value, "message/") ||
                      startsWithNoCase(value, "text/rfc822-headers");
        }
    }
    return false;
}

// Reads the line at `pos` (ending before `limit` at the latest); `text` shows up
// to `keep` bytes of its content, valid until the next look at the file: in the
// window that holds the whole line with its line end, as nearly every line is,
// else copied into `buffer`.
Line Analyzer::lineAt(std::uint64_t pos, std::uint64_t limit, std::size_t keep, std::string& buffer,
                      std::string_view& text) {
    Line line;
    line.start = pos;
    buffer.clear();
    for (std::uint64_t p = pos; p < limit;) {
        const Window* w = holding(p);
        if (w == nullptr) {
            fwd_.loadFrom(p);
            w = &fwd_;
        }
        const std::uint64_t hi = std::min(limit, w->end());
        const char* base = w->at(p);
        const std::size_t n = static_cast<std::size_t>(hi - p);
        const std::size_t i = lineEndIn(base, n);
        // Whole in this window, and a CR at its end is not the last byte here.
        if (p == pos && i < n && (i + 1 < n || base[i] == '\n')) {
            line.contentEnd = p + i;
            line.next = p + i + (base[i] == '\r' && base[i + 1] == '\n' ? 2 : 1);
            text = std::string_view(base, std::min(i, keep));
            return line;
        }
        if (buffer.size() < keep) buffer.append(base, std::min(i, keep - buffer.size()));
        if (i < n) {
            line.contentEnd = p + i;
            line.next = p + i + 1;
            if (base[i] == '\r' && line.next < size_ && byteAt(line.next) == '\n') ++line.next;
            text = buffer;
            return line;
        }
        p = hi;
    }
    line.contentEnd = limit;
    line.next = limit;
    text = buffer;
    return line;
}

// The boundary parameter of a Content-Type value of type multipart, or empty.
std::string multipartBoundary(std::string_view value) {
    std::size_t i = 0;
    while (i < value.size() && (value[i] == ' ' || value[i] == '\t')) ++i;
    if (!startsWithNoCase(value.substr(i), "multipart/")) return {};
    for (std::size_t semi = value.find(';'); semi != std::string_view::npos;
         semi = value.find(';', semi + 1)) {
        std::size_t p = semi + 1;
        while (p < value.size() && (value[p] == ' ' || value[p] == '\t')) ++p;
        if (!startsWithNoCase(value.substr(p), "boundary")) continue;
        p += 8;
        while (p < value.size() && (value[p] == ' ' || value[p] == '\t')) ++p;
        if (p >= value.size() || value[p] != '=') continue;
        ++p;
        while (p < value.size() && (value[p] == ' ' || value[p] == '\t')) ++p;
        std::string b;
        if (p < value.size() && value[p] == '"') {
            for (++p; p < value.size() && value[p] != '"'; ++p) {
                if (value[p] == '\\' && p + 1 < value.size()) ++p;
                b += value[p];
            }
        } else {
            for (; p < value.size() && value[p] != ';' && value[p] != ' ' && value[p] != '\t'; ++p)
                b += value[p];
        }
        while (!b.empty() && (b.back() == ' ' || b.back() == '\t')) b.pop_back();
        if (b.empty() || b.size() > kMaxBoundaryLength) return {};
        return b;
    }
    return {};
}

// Reads the header block that begins at `start` (not past `limit`): finds the
// top-level multipart boundary and where the body begins. Its lines are read from
// the line start `from` on: the lines above it, known to be header lines without
// a Content-Type field (a walk up has just read them), are skipped.
Analyzer::Multipart Analyzer::readHeader(std::uint64_t start, std::uint64_t limit,
                                         std::uint64_t from) {
    Multipart mp;
    const std::uint64_t stop = std::min(limit, start + kMaxHeaderBlock);
    std::string_view text;
    std::string contentType;
    bool inContentType = false;
    bool sawContentType = false;
    std::uint64_t pos = from;
    while (pos < stop) {
        const Line line = lineAt(pos, stop, kMaxFieldValue, buffer_, text);
        if (line.next >= stop && line.contentEnd >= stop) return {};  // header never ends here
        if (line.empty()) {
            mp.bodyStart = line.next;
            mp.cursor = line.next;
            if (sawContentType) mp.boundary = multipartBoundary(contentType);
            return mp;
        }
        if (text[0] == ' ' || text[0] == '\t') {
            if (inContentType && contentType.size() < kMaxFieldValue) contentType.append(text);
        } else {
            inContentType = false;
            const auto name = fieldName(text);
            if (name && !sawContentType && equalsNoCase(*name, "content-type")) {
                inContentType = sawContentType = true;
                contentType = std::string(text.substr(text.find(':') + 1));
            }
        }
        pos = line.next;
    }
    return {};
}

// Lists the "Date:" and "--" lines of the file in one pass over it.
LineStarts listLineStarts(const MailboxFile& file) {
    Pieces pieces(file);
    Window w(pieces);
    LineStartIndexer indexer;
    for (std::uint64_t pos = 0; pos < file.size(); pos += Pieces::kStep) {
        // The holes of a sparse file read as NULs: no line of either kind is there.
        const std::uint64_t data = file.nextData(pos);
        if (data >= file.size()) break;
        if (data >= pos + Pieces::kStep) pos = data / Pieces::kStep * Pieces::kStep;
        w.loadFrom(pos);
        indexer.add(pos, w.at(pos), static_cast<std::size_t>(w.end() - pos));
    }
    return indexer.finish(file.size());
}

// Whether the bytes at `pos` are `text` (reading through `w` when no window has them).
bool Analyzer::textAt(Window& w, std::uint64_t pos, std::string_view text) {
    if (pos + text.size() > size_) return false;
    const Window* in = holding(pos);
    if (in == nullptr || in->end() < pos + text.size()) {
        w.loadFrom(pos);
        in = &w;
    }
    return std::memcmp(in->at(pos), text.data(), text.size()) == 0;
}

// The listed line starts in [from, to).
std::pair<const std::uint64_t*, const std::uint64_t*> linesIn(const std::vector<std::uint64_t>& all,
                                                              std::uint64_t from,
                                                              std::uint64_t to) {
    const auto* b = std::lower_bound(all.data(), all.data() + all.size(), from);
    const auto* e = std::lower_bound(b, all.data() + all.size(), std::max(from, to));
    return {b, e};
}

// Accounts for the delimiter lines of `mp` that begin in [mp.cursor, to).
void Analyzer::advanceDelimiters(Multipart& mp, std::uint64_t to) {
    const std::string needle = "--" + mp.boundary;
    const auto [b, e] = linesIn(starts_.dashes, mp.cursor, to);
    for (const std::uint64_t* q = b; q != e; ++q) {
        if (!textAt(scan_, *q, needle)) continue;
        const std::uint64_t after = *q + needle.size();
        const unsigned char c1 = after < size_ ? byteAt(after) : '\n';
        if (c1 == '-' && after + 1 < size_ && byteAt(after + 1) == '-') {
            mp.open = false;
        } else if (isLineEnd(c1) || c1 == ' ' || c1 == '\t') {
            mp.open = true;
        }
    }
    mp.cursor = std::max(mp.cursor, to);
}

// The first "--B--" line that begins in [from, to).
std::optional<std::uint64_t> Analyzer::findClose(const std::string& boundary, std::uint64_t from,
                                                 std::uint64_t to) {
    const std::string needle = "--" + boundary + "--";
    const auto [b, e] = linesIn(starts_.dashes, from, to);
    for (const std::uint64_t* q = b; q != e; ++q)
        if (textAt(far_, *q, needle)) return *q;
    return std::nullopt;
}

// One pass over the file recording, per boundary text, the last "--B--" line.
void Analyzer::buildCloseIndex() {
    indexBuilt_ = true;
    std::string_view text;
    for (std::size_t i = 0; i < starts_.dashes.size(); ++i) {
        std::uint64_t hash = starts_.closingHashes[i];
        if (starts_.dashKinds[i] == LineStarts::Dash::Other) continue;
        if (starts_.dashKinds[i] == LineStarts::Dash::Unknown) {
            lineAt(starts_.dashes[i], size_, kClosingLineLook, buffer_, text);
            const auto b = closingBoundary(text);
            if (!b) continue;
            hash = boundaryHash(*b);
        }
        if (lastClose_.size() >= kMaxIndexedBoundaries) {
            indexComplete_ = false;
            auto it = lastClose_.find(hash);
            if (it != lastClose_.end()) it->second = starts_.dashes[i];
            continue;
        }
        lastClose_[hash] = starts_.dashes[i];
    }
}

bool Analyzer::closeFollows(Multipart& mp, std::uint64_t pos) {
    if (mp.closeKnown && mp.closeAt > pos) return true;
    if (mp.noCloseKnown && pos >= mp.noCloseFrom) return false;
    const std::uint64_t to = std::min(size_, pos + kCloseLookahead);
    if (!indexBuilt_ || !indexComplete_) {
        // Usually the closing line is near, inside the message itself, so what this
        // reads belongs to the message anyway.
        if (const auto c = findClose(mp.boundary, pos, to)) {
            mp.closeKnown = true;
            mp.closeAt = *c;
            return true;
        }
        // Far away or never: one pass over the whole file answers this for good,
        // for this boundary and every later one, so no search is repeated.
        if (!indexBuilt_) buildCloseIndex();
    }
    const auto it = lastClose_.find(boundaryHash(mp.boundary));
    if (it != lastClose_.end() && it->second > pos) {
        mp.closeKnown = true;
        mp.closeAt = it->second;
        return true;
    }
    mp.noCloseKnown = true;
    mp.noCloseFrom = pos;
    return false;
}

bool Analyzer::leadingHasContent(std::uint64_t end) {
    for (std::uint64_t pos = 0; pos < end;) {
        far_.loadFrom(pos);
        const char* base = far_.at(pos);
        const std::size_t n = static_cast<std::size_t>(std::min(far_.end(), end) - pos);
        if (n == 0) break;
        for (std::size_t i = 0; i < n; ++i) {
            const char c = base[i];
            if (c != '\r' && c != '\n' && c != '\0' && c != ' ' && c != '\t') return true;
        }
        pos += n;
    }
    return false;
}

// The header block around the line-start "Date:" at `anchor`, if it is one that
// a stored message has (see the top of this file). Walks up no further than
// `floor`; sets `next` to where a later search may go on.
std::optional<Analyzer::Block> Analyzer::blockAt(std::uint64_t anchor, std::uint64_t floor,
                                                 std::uint64_t& next) {
    next = anchor + 1;
    floor = std::max(floor, anchor > kMaxBlockLook ? anchor - kMaxBlockLook : 0);
    std::uint64_t first = anchor;  // the topmost field whose name mail uses
    int broken = 0;                // broken continuations right below
    HeaderTop header;
    for (std::uint64_t top = anchor; top > floor;) {
        const Line line = lineAbove(top, floor);
        if (line.empty()) break;
        const std::string_view text = peek(line.start, line.contentEnd, kMaxNameLength + 2);
        top = line.start;
        if (text[0] == ' ' || text[0] == '\t') continue;
        const auto name = fieldName(text);
        if (!name) {
            if (++broken > kMaxBrokenLines || !brokenContinuation(text)) break;
            continue;
        }
        broken = 0;
        if (isKnownHeaderField(*name)) first = line.start;
        header.note(*name, line.start);
    }
    first = header.first(first);
    bool from = false, date = false, traced = false, identified = false;
    const std::uint64_t limit = std::min(size_, first + kMaxBlockLook);
    std::string_view text;
    for (std::uint64_t pos = first; pos < limit;) {
        const Line line = lineAt(pos, limit, kMaxNameLength + 20, buffer_, text);
        if (line.contentEnd >= limit && line.next >= limit) {
            next = std::max(next, limit);
            return std::nullopt;  // no empty line ends it here
        }
        next = std::max(next, line.next);
        if (line.empty()) {
            if (!from || !date || !(traced || identified)) return std::nullopt;
            return Block{first, line.next, traced};
        }
        pos = line.next;
        if (text[0] == ' ' || text[0] == '\t') continue;
        const auto name = fieldName(text);
        if (!name) {
            if (brokenContinuation(text)) continue;
            return std::nullopt;
        }
        // A block with the scanner's line is a hit's; the hits' rules decide it.
        if (text.compare(0, kSearchLine.size(), kSearchLine) == 0) return std::nullopt;
        if (equalsNoCase(*name, "from")) {
            from = true;
        } else if (equalsNoCase(*name, "date")) {
            date = true;
        } else if (equalsNoCase(*name, "received") || equalsNoCase(*name, "return-path")) {
            traced = true;
        } else if (equalsNoCase(*name, "message-id") || equalsNoCase(*name, "delivered-to")) {
            identified = true;
        }
    }
    next = std::max(next, limit);
    return std::nullopt;
}

// Whether the lines from `pos` down to the hit line at `hit` are all lines a
// header block may hold (fields, folded and broken continuations; none empty),
// within a candidate block's reach.
bool Analyzer::headerRunsTo(std::uint64_t pos, std::uint64_t hit) {
    if (hit - pos > kMaxBlockLook) return false;
    std::string_view text;
    while (pos < hit) {
        const Line line = lineAt(pos, hit, kMaxNameLength + 20, buffer_, text);
        if (line.empty()) return false;
        if (text[0] != ' ' && text[0] != '\t' && !fieldName(text) && !brokenContinuation(text))
            return false;
        pos = line.next;
    }
    return pos == hit;
}

// The next header block of a stored message whose "Date:" line begins in
// [from, to); `from` moves past what was looked at. `to` is the next hit, or the
// end of the file.
std::optional<Analyzer::Block> Analyzer::nextBlock(std::uint64_t& from, std::uint64_t to) {
    std::optional<Block> found;
    std::uint64_t floor = from;
    const auto [b, e] = linesIn(starts_.dates, from, to);
    for (const std::uint64_t* q = b; q != e && !found; ++q) {
        if (*q < floor) continue;  // inside a block already looked at
        // A "Date:" line in the header of the hit at `to`, as most are: it and every
        // later one are in a block that holds the scanner's line, which blockAt
        // leaves to the hit's rules, so none begins a message here.
        if (to < size_ && headerRunsTo(*q, to)) break;
        std::uint64_t next = *q + 1;
        found = blockAt(*q, floor, next);
        floor = std::max(floor, next);
    }
    from = found ? found->end : std::max(from, to);
    return found;
}

// The nearest line with text above `start` (blank lines skipped), not below
// `floor`; none when only blank lines lie between `floor` and `start`. When that
// line is short (a signature's name under an introduction), the line above it
// follows, separated by a line feed.
std::optional<std::string> Analyzer::introducingLine(std::uint64_t start, std::uint64_t floor) {
    std::uint64_t top = start;
    std::string found;
    for (int blank = 0; top > floor && blank <= kMaxBlankLinesAbove;) {
        const Line line = lineAbove(top, floor);
        top = line.start;
        if (line.empty()) {
            ++blank;
            continue;
        }
        const std::string_view text = peek(line.start, line.contentEnd, kMaxSeparatorText);
        if (!found.empty()) return found + "\n" + std::string(text);
        found = text;
        if (found.size() > kShortLine || found.find_first_of(" \t") != found.rfind(' ')) break;
    }
    if (found.empty() && top <= floor) return std::nullopt;
    return found;
}

// Whether a line introduces the header block below it as quoted, forwarded or
// bounced text: the words forward and bounce separators use, a quotation's
// opening marks alone, a quoted mbox envelope line, an SMTP transcript's DATA, or a sentence of its
// own ending in a colon ("See the message below:"; an indented line ending in a colon is more
// likely a list's or a feed's text).
bool introduces(std::string_view line) {
    while (!line.empty() && (line.back() == ' ' || line.back() == '\t')) line.remove_suffix(1);
    if (line.empty()) return false;
    const auto letter = [](char c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
               static_cast<unsigned char>(c) >= 0x80;
    };
    if (line.size() >= 2 && line.back() == ':' && letter(line[line.size() - 2]) &&
        line.find_first_of(" \t>") != 0 && line.find(' ') != std::string_view::npos)
        return true;
    if (line.find_first_not_of("\"'") == std::string_view::npos) return true;
    if (equalsNoCase(line, "data")) return true;
    const std::size_t quoted = line.find_first_not_of('>');
    if (quoted > 0 && quoted != std::string_view::npos && line.substr(quoted, 5) == "From ")
        return true;
    static constexpr std::string_view kWords[] = {
        "original message", "forwarded message",   "begin forwarded",
        "forwarded by",     "returned message",    "copy of the message",
        "message follows",  "undelivered message", "headers follow",
    };
    // Words that introduce only on a separator line ("--- begin forwarded text",
    // "------ Headers ------").
    static constexpr std::string_view kSeparatorWords[] = {"forwarded", "headers"};
    std::string low(line.size(), '\0');
    std::transform(line.begin(), line.end(), low.begin(), lower);
    if (low.find("end of") != std::string::npos) return false;  // it closes, not opens
    for (const std::string_view w : kWords)
        if (low.find(w) != std::string::npos) return true;
    if (low.size() > 2 && std::strchr("-=*_", low[0]) != nullptr && low[1] == low[0]) {
        for (const std::string_view w : kSeparatorWords)
            if (low.find(w) != std::string::npos) return true;
    }
    return false;
}

// The first of the lines (separated by line feeds) that introduces the block.
std::optional<std::string_view> introduction(std::string_view lines) {
    for (std::size_t pos = 0;;) {
        const std::size_t lf = lines.find('\n', pos);
        const std::string_view line = lines.substr(pos, lf - pos);
        if (introduces(line)) return line;
        if (lf == std::string_view::npos) return std::nullopt;
        pos = lf + 1;
    }
}

Partition Analyzer::run(const std::vector<std::uint64_t>& rawHits, std::size_t from,
                        std::map<std::uint64_t, Begun>* begun, SearchAhead* ahead) {
    // Candidate boundaries: hits that lie in the file, in ascending order, and begin
    // their line. They are taken one at a time so that the bytes read to check a
    // candidate serve the walk up from it as well.
    std::size_t r = from;
    std::uint64_t last = 0;
    bool any = false;
    auto nextCandidate = [&]() -> std::optional<std::uint64_t> {
        while (r < rawHits.size()) {
            const std::uint64_t h = rawHits[r++];
            if (h >= size_ || (any && h <= last)) continue;
            last = h;
            any = true;
            if (beginsLine(h)) return h;
        }
        return std::nullopt;
    };

    Partition part;
    std::optional<std::uint64_t> prevHit;  // the line that began the current message
    Multipart mp;                          // the current message's top-level structure
    std::uint64_t bodyFloor = 0;           // where the current message's body begins
    std::uint64_t searchFrom = 0;          // header blocks before this were looked at
    // A search ahead looks for no header blocks before its first hit.
    if (from > 0 && from < rawHits.size()) searchFrom = rawHits[from];
    std::optional<std::uint64_t> cur;  // the next candidate
    bool joined = false;               // the search ahead took over
    // Begins a message; true when the search ahead began it in the same state and
    // has the rest, which is then taken over.
    // `readFrom`: where its header's lines are to be read from (see readHeader).
    auto begin = [&](std::uint64_t start, std::uint64_t line, std::uint64_t limit,
                     std::uint64_t readFrom) {
        if (!part.messages.empty()) part.messages.back().end = start;
        part.messages.push_back({start, size_});
        prevHit = line;
        mp = readHeader(start, limit, readFrom);
        bodyFloor = mp.bodyStart > start ? mp.bodyStart : line;
        searchFrom = std::max(searchFrom, bodyFloor);
        const Begun now{line,
                        r,
                        cur,
                        last,
                        searchFrom,
                        indexBuilt_,
                        part.messages.size() - 1,
                        part.doubts.size()};
        if (begun) begun->emplace(start, now);
        if (!ahead || start < ahead->from()) return false;
        const Partition* rest = ahead->result();
        const Begun* there = rest ? ahead->begunAt(start) : nullptr;
        if (!there || !there->sameState(now)) return false;
        part.messages.pop_back();
        part.messages.insert(part.messages.end(),
                             rest->messages.begin() + static_cast<std::ptrdiff_t>(there->message),
                             rest->messages.end());
        part.doubts.insert(part.doubts.end(),
                           rest->doubts.begin() + static_cast<std::ptrdiff_t>(there->doubts),
                           rest->doubts.end());
        return joined = true;
    };
    auto keptInside = [&](std::uint64_t at, std::string_view intro) {
        part.doubts.push_back({at, false,
                               "kept as part of the message before it, where it follows \"" +
                                   std::string(intro) + "\""});
    };
    // Whether a header block in the current message's body begins a message.
    auto startsMessage = [&](const Block& b) {
        if (part.messages.empty()) return true;
        if (!mp.boundary.empty() && b.start > mp.bodyStart) {
            advanceDelimiters(mp, b.start);
            if (mp.open && closeFollows(mp, b.start)) return false;
        }
        const std::optional<std::string> intro = introducingLine(b.start, bodyFloor);
        if (!intro) {
            part.doubts.push_back(
                {b.start, false, "kept as the body of the message before it, which it begins"});
            return false;
        }
        if (const auto line = introduction(*intro)) {
            keptInside(b.start, *line);
            return false;
        }
        if (!b.traced) {
            part.doubts.push_back(
                {b.start, true, "taken as a message of its own though it has no trace fields"});
        }
        return true;
    };

    for (cur = nextCandidate(); !joined;) {
        // Messages without the scanner's line, up to the next hit.
        const std::uint64_t limit = cur ? *cur : size_;
        while (searchFrom < limit && !joined) {
            const std::optional<Block> b = nextBlock(searchFrom, limit);
            if (!b) break;
            if (startsMessage(*b)) begin(b->start, b->start, limit, b->start);
        }
        if (!cur || joined) break;
        const std::uint64_t h = *cur;
        searchFrom = std::max(searchFrom, h);
        const Walk walk = walkUp(h, prevHit);
        if (walk.stop == Stop::PreviousHit) {
            // A second "MIME-Version: 1.0" line in the header of the message
            // above: its header ends after this line, so it is read again.
            cur = nextCandidate();
            mp = readHeader(part.messages.back().begin, cur ? *cur : size_,
                            part.messages.back().begin);
            if (mp.bodyStart > bodyFloor) bodyFloor = mp.bodyStart;
            searchFrom = std::max(searchFrom, bodyFloor);
            continue;
        }
        if (prevHit && !mp.boundary.empty() && h > mp.bodyStart) {
            advanceDelimiters(mp, h);
            if (mp.open && walk.stop == Stop::EmptyLine &&
                holdsMessagePart(walk.stopLine, *prevHit) && closeFollows(mp, h)) {
                cur = nextCandidate();  // a message inside the previous one
                continue;
            }
        }
        if (prevHit && walk.start > bodyFloor) {
            // A header block that the text above introduces is quoted there.
            const std::optional<std::string> intro = introducingLine(walk.start, bodyFloor);
            if (const auto line = intro ? introduction(*intro) : std::nullopt) {
                keptInside(walk.start, *line);
                cur = nextCandidate();
                continue;
            }
        }
        cur = nextCandidate();
        // The walk up read the header from its first line down to the hit: unless it
        // passed a Content-Type field there, the header is read on from the hit.
        const bool typedAbove = walk.contentType && *walk.contentType >= walk.start;
        begin(walk.start, h, cur ? *cur : size_, typedAbove ? walk.start : h);
    }
    part.leadingBytes = part.messages.empty() ? size_ : part.messages.front().begin;
    part.leadingHasContent = leadingHasContent(part.leadingBytes);
    return part;
}

SearchAhead::SearchAhead(const MailboxFile& file, const LineStarts& starts,
                         const std::vector<std::uint64_t>& hits, std::size_t from)
    : from_(hits[from]) {
    thread_ = std::thread([this, &file, &starts, &hits, from] {
        try {
            Analyzer analyzer(file, starts);
            part_ = analyzer.run(hits, from, &begun_);
            ok_ = true;
        } catch (...) {
            // Unread or unreadable: the search from the start goes on alone and
            // meets the same trouble itself if it is on its way.
        }
    });
}

const Partition* SearchAhead::result() {
    finish();
    return ok_ ? &part_ : nullptr;
}

// Files smaller than this are searched by one thread.
constexpr std::uint64_t kTwoThreadsFrom = 32u << 20;

Partition search(const MailboxFile& file, const std::vector<std::uint64_t>& hits,
                 const LineStarts* starts, std::optional<std::size_t> splitAt) {
    try {
        LineStarts listed;
        if (!starts) {
            listed = listLineStarts(file);
            starts = &listed;
        }
        // The second search starts at a hit that begins its line (the one the first
        // will take as a candidate).
        std::unique_ptr<SearchAhead> ahead;
        if (splitAt && *splitAt > 0 && *splitAt < hits.size() && hits[*splitAt] < file.size())
            ahead = std::make_unique<SearchAhead>(file, *starts, hits, *splitAt);
        Analyzer analyzer(file, *starts);
        return analyzer.run(hits, 0, nullptr, ahead.get());
    } catch (const ReadFailure& failure) {
        // The file could not be read: fall back to cutting at the hits themselves,
        // which still partitions the file, and say so.
        Partition part;
        std::uint64_t last = 0;
        for (const std::uint64_t h : hits) {
            if (h >= file.size() || (!part.messages.empty() && h <= last)) continue;
            if (!part.messages.empty()) part.messages.back().end = h;
            part.messages.push_back({h, file.size()});
            last = h;
        }
        part.leadingBytes = part.messages.empty() ? file.size() : part.messages.front().begin;
        part.leadingHasContent = part.leadingBytes > 0;
        part.error = failure.ec;
        return part;
    }
}

}  // namespace

Partition findMessages(const MailboxFile& file, const std::vector<std::uint64_t>& hits,
                       const LineStarts* starts) {
    std::optional<std::size_t> splitAt;
    if (file.size() >= kTwoThreadsFrom && std::thread::hardware_concurrency() > 1) {
        // The first hit in the second half of the file.
        const auto middle = std::lower_bound(hits.begin(), hits.end(), file.size() / 2);
        splitAt = static_cast<std::size_t>(middle - hits.begin());
    }
    return search(file, hits, starts, splitAt);
}

Partition findMessagesInTwo(const MailboxFile& file, const std::vector<std::uint64_t>& hits,
                            const LineStarts* starts, std::size_t splitAt) {
    return search(file, hits, starts, splitAt);
}

}  // namespace tp::convert
