// MailMessage: the message is kept as its original bytes. The MIME structure is
// located by our own boundary scan (bounded depth, exact byte ranges, no copies);
// GMime interprets what the scan finds: content types and dispositions with their
// parameters (RFC 2047 / 2231), addresses and dates. Removing attachments cuts
// their byte ranges out of the original; added files are spliced in as new parts.
// Nothing else is ever re-serialised, so untouched bytes stay byte-identical.
#include "mail/mail_message.h"

#include "common/ascii.h"
#include "mail/date.h"
#include "mail/gmime.h"

#include <gmime/gmime.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>
#include <system_error>
#include <utility>
#include <vector>

#include "io/io.h"
#include "io/paths.h"
#include "mail/content_types.h"

namespace tp::convert {

namespace {

// Deeper MIME nesting than this is left as it is (treated as one opaque part).
constexpr int kMaxDepth = 64;

using ascii::equalsNoCase;
using ascii::lower;
using ascii::startsWithNoCase;

// Case-insensitive search for an ASCII lower-case needle. Each case of the first
// letter is searched for separately and each search only ever moves forward.
bool containsNoCase(std::string_view hay, std::string_view needle) {
    if (needle.empty()) return true;
    const char first = needle[0];
    const char upperFirst = static_cast<char>(first - 'a' + 'A');
    const char* end = hay.data() + hay.size();
    auto next = [end](const char* from, char c) -> const char* {
        return from < end ? static_cast<const char*>(std::memchr(from, c, end - from)) : nullptr;
    };
    const char* a = next(hay.data(), first);
    const char* b = next(hay.data(), upperFirst);
    while (a || b) {
        const char* hit = !a ? b : (!b ? a : std::min(a, b));
        if (static_cast<std::size_t>(end - hit) < needle.size()) return false;
        if (equalsNoCase(std::string_view(hit, needle.size()), needle)) return true;
        if (hit == a) a = next(hit + 1, first);
        if (hit == b) b = next(hit + 1, upperFirst);
    }
    return false;
}

// The end of the line that starts at `pos` (the first CR or LF, or `end`) and
// the start of the next line.
std::pair<std::size_t, std::size_t> lineAt(std::string_view s, std::size_t pos, std::size_t end) {
    std::size_t i = pos;
    while (i < end && s[i] != '\r' && s[i] != '\n') ++i;
    if (i == end) return {end, end};
    if (s[i] == '\r' && i + 1 < end && s[i + 1] == '\n') return {i, i + 2};
    return {i, i + 1};
}

struct Field {
    std::size_t begin = 0;    // first byte of the name
    std::size_t nameEnd = 0;  // the colon
    std::size_t end = 0;      // after the line break of its last line
    std::string_view name(std::string_view s) const {
        std::string_view n = s.substr(begin, nameEnd - begin);
        while (!n.empty() && (n.back() == ' ' || n.back() == '\t')) n.remove_suffix(1);
        return n;
    }
    // The value with folding undone and outer blanks removed.
    std::string value(std::string_view s) const {
        std::string v;
        v.reserve(end - nameEnd);
        for (std::size_t i = nameEnd + 1; i < end; ++i)
            if (s[i] != '\r' && s[i] != '\n') v += s[i];
        const auto b = v.find_first_not_of(" \t");
        if (b == std::string::npos) return {};
        v.erase(v.find_last_not_of(" \t") + 1);
        return v.substr(b);
    }
};

struct Header {
    std::vector<Field> fields;
    std::size_t bodyBegin = 0;   // after the empty line (or where the body starts)
    std::size_t blankBegin = 0;  // where the empty line starts (== bodyBegin when none)
    const Field* find(std::string_view s, std::string_view name) const {
        for (const Field& f : fields)
            if (equalsNoCase(f.name(s), name)) return &f;
        return nullptr;
    }
};

bool isFieldNameChar(char c) {
    return c >= 0x21 && c <= 0x7e && c != ':';
}

// Reads the header block of the entity in [begin, end). The block ends at an
// empty line, or at the first line that is neither a field nor a continuation.
Header parseHeader(std::string_view s, std::size_t begin, std::size_t end) {
    Header h;
    std::size_t pos = begin;
    while (pos < end) {
        auto [lineEnd, next] = lineAt(s, pos, end);
        if (lineEnd == pos) {
            h.blankBegin = pos;
            h.bodyBegin = next;
            return h;
        }
        if ((s[pos] == ' ' || s[pos] == '\t') && !h.fields.empty()) {
            h.fields.back().end = next;
            pos = next;
            continue;
        }
        std::size_t i = pos;
        while (i < lineEnd && isFieldNameChar(s[i])) ++i;
        std::size_t colon = i;
        while (colon < lineEnd && (s[colon] == ' ' || s[colon] == '\t')) ++colon;
        if (i == pos || colon >= lineEnd || s[colon] != ':') break;
        h.fields.push_back(Field{pos, colon, next});
        pos = next;
    }
    h.blankBegin = pos;
    h.bodyBegin = pos;
    return h;
}

std::string validUtf8(const char* text) {
    if (!text) return {};
    if (g_utf8_validate(text, -1, nullptr)) return text;
    gsize written = 0;
    if (gchar* converted = g_convert(text, -1, "UTF-8", "ISO-8859-1", nullptr, &written, nullptr)) {
        std::string out(converted, written);
        g_free(converted);
        return out;
    }
    gchar* valid = g_utf8_make_valid(text, -1);
    std::string out(valid);
    g_free(valid);
    return out;
}

// What a part's header says about it.
struct PartKind {
    std::string type = "text";
    std::string subtype = "plain";
    std::string boundary;
    bool hasBoundary = false;
    bool dispositionAttachment = false;
    // Shown within the body: a Content-ID or Content-Location, or disposition inline.
    bool inlinePart = false;
    bool hasName = false;
    std::string name;  // UTF-8
};

PartKind describePart(std::string_view s, const Header& h) {
    initGMime();
    PartKind kind;
    std::string nameFromType;
    if (const Field* f = h.find(s, "Content-Type")) {
        const std::string value = f->value(s);
        GPtr<GMimeContentType> ct(g_mime_content_type_parse(nullptr, value.c_str()));
        if (ct) {
            if (const char* t = g_mime_content_type_get_media_type(ct.get())) kind.type = t;
            if (const char* t = g_mime_content_type_get_media_subtype(ct.get())) kind.subtype = t;
            if (const char* b = g_mime_content_type_get_parameter(ct.get(), "boundary")) {
                kind.boundary = b;
                kind.hasBoundary = !kind.boundary.empty();
            }
            if (const char* n = g_mime_content_type_get_parameter(ct.get(), "name")) {
                kind.hasName = true;
                nameFromType = validUtf8(n);
            }
        }
    }
    if (const Field* f = h.find(s, "Content-Disposition")) {
        const std::string value = f->value(s);
        GPtr<GMimeContentDisposition> cd(g_mime_content_disposition_parse(nullptr, value.c_str()));
        if (cd) {
            const char* d = g_mime_content_disposition_get_disposition(cd.get());
            kind.dispositionAttachment = d && equalsNoCase(d, "attachment");
            kind.inlinePart = d && equalsNoCase(d, "inline");
            if (const char* n = g_mime_content_disposition_get_parameter(cd.get(), "filename")) {
                kind.hasName = true;
                kind.name = validUtf8(n);
            }
        }
    }
    if (kind.name.empty()) kind.name = nameFromType;
    if (h.find(s, "Content-ID") || h.find(s, "Content-Location")) kind.inlinePart = true;
    return kind;
}

struct Delimiter {
    std::size_t lineStart;  // the "--"
    std::size_t next;       // after its line break
    bool close;
};

// Finds the delimiter lines of `boundary` in [begin, end), up to the close delimiter.
std::vector<Delimiter> findDelimiters(std::string_view s, std::size_t begin, std::size_t end,
                                      const std::string& boundary) {
    std::vector<Delimiter> out;
    const std::string dash = "--" + boundary;
    const std::string_view within = s.substr(0, end);
    std::size_t from = begin;
    while (from < end) {
        std::size_t p = within.find(dash, from);
        if (p == std::string_view::npos) break;
        from = p + 1;
        if (p != begin && s[p - 1] != '\n' && s[p - 1] != '\r') continue;
        std::size_t q = p + dash.size();
        bool close = false;
        if (q + 2 <= end && s[q] == '-' && s[q + 1] == '-') {
            close = true;
            q += 2;
        }
        while (q < end && (s[q] == ' ' || s[q] == '\t')) ++q;
        if (q < end && s[q] != '\r' && s[q] != '\n') continue;
        auto [lineEnd, next] = lineAt(s, q, end);
        (void)lineEnd;
        out.push_back(Delimiter{p, next, close});
        if (close) break;
        from = next;
    }
    return out;
}

// The line break just before `pos` (0, 1 or 2 bytes), not reaching below `floor`.
std::size_t breakBefore(std::string_view s, std::size_t pos, std::size_t floor) {
    if (pos >= floor + 2 && s[pos - 2] == '\r' && s[pos - 1] == '\n') return 2;
    if (pos >= floor + 1 && (s[pos - 1] == '\n' || s[pos - 1] == '\r')) return 1;
    return 0;
}

struct Range {
    std::size_t begin;
    std::size_t end;
};

// Where an inline attachment (a picture of an HTML body) was, so that its file
// can go back into the same place of the MIME tree with the same header.
struct Slot {
    std::size_t at = 0;    // the delimiter line that began the part (a cut's start)
    std::string boundary;  // of the multipart it was in
    std::string fields;    // its header fields but Content-Transfer-Encoding, as written
    std::string name;      // the attachment name
};

struct Analysis {
    std::vector<std::string> names;
    std::vector<bool> hasContent;  // per name: the part's body holds more than blanks
    // Which attachments go, by their order in `names`; none given: all of them.
    const std::vector<bool>* select = nullptr;
    std::vector<Range> cuts;
    std::vector<Slot> inlineParts;
    bool wholeMessage = false;  // the top-level entity itself is an attachment
    // Set by the leaf attachment walk() just took (its header, its kind).
    std::optional<Slot> lastLeaf;
    bool lastLeafInline = false;
};

bool isBodyText(const PartKind& k) {
    return equalsNoCase(k.type, "text") &&
           (equalsNoCase(k.subtype, "plain") || equalsNoCase(k.subtype, "html"));
}

bool isContentField(std::string_view name) {
    return startsWithNoCase(name, "Content-");
}

// An entity that is nothing but attachments, where its header must stay (the
// message itself, an attached message shown inline): its content fields and its
// body go, every other field stays.
void cutContent(std::string_view s, std::size_t begin, std::size_t end, Analysis& out) {
    const Header h = parseHeader(s, begin, end);
    for (const Field& f : h.fields)
        if (isContentField(f.name(s))) out.cuts.push_back(Range{f.begin, f.end});
    if (h.bodyBegin < end) out.cuts.push_back(Range{h.bodyBegin, end});
}

std::string lineEndingOf(std::string_view s);

// A body that holds more than blanks and line breaks. What a mailbox keeps of an
// attachment whose file was stored elsewhere is its header and an empty body.
bool holdsContent(std::string_view body) {
    return body.find_first_not_of(" \t\r\n") != std::string_view::npos;
}

// Walks the entity in [begin, end). Returns true when the whole entity is to go
// (an attachment, or a multipart holding nothing but attachments).
bool walk(std::string_view s, std::size_t begin, std::size_t end, int depth, bool bodyCandidate,
          Analysis& out) {
    const Header h = parseHeader(s, begin, end);
    const PartKind kind = describePart(s, h);
    if (equalsNoCase(kind.type, "multipart") && kind.hasBoundary && depth < kMaxDepth) {
        const auto delims = findDelimiters(s, h.bodyBegin, end, kind.boundary);
        std::size_t parts = 0;
        for (const auto& d : delims)
            if (!d.close) ++parts;
        if (parts > 0) {
            const bool alternative = equalsNoCase(kind.subtype, "alternative");
            // Parts of these go back where they were: the pictures of an HTML
            // body, a signature (its place is what makes it one).
            const bool inPlace =
                equalsNoCase(kind.subtype, "related") || equalsNoCase(kind.subtype, "signed");
            std::vector<Range> removed;
            std::vector<Slot> inlineParts;
            for (std::size_t i = 0; i < delims.size() && !delims[i].close; ++i) {
                const std::size_t childBegin = delims[i].next;
                std::size_t cutEnd = end;
                std::size_t childEnd = end;
                if (i + 1 < delims.size()) {
                    cutEnd = delims[i + 1].lineStart;
                    childEnd = cutEnd - breakBefore(s, cutEnd, childBegin);
                }
                const bool candidate = bodyCandidate && (alternative || i == 0);
                out.lastLeaf.reset();
                if (walk(s, childBegin, std::max(childBegin, childEnd), depth + 1, candidate,
                         out)) {
                    removed.push_back(Range{delims[i].lineStart, cutEnd});
                    if (out.lastLeaf && (out.lastLeafInline || inPlace)) {
                        out.lastLeaf->at = delims[i].lineStart;
                        out.lastLeaf->boundary = kind.boundary;
                        inlineParts.push_back(std::move(*out.lastLeaf));
                    }
                }
                out.lastLeaf.reset();
            }
            if (removed.size() == parts) return true;
            out.cuts.insert(out.cuts.end(), removed.begin(), removed.end());
            out.inlineParts.insert(out.inlineParts.end(),
                                   std::make_move_iterator(inlineParts.begin()),
                                   std::make_move_iterator(inlineParts.end()));
            return false;
        }
    }
    const bool attachment = kind.dispositionAttachment || kind.hasName;
    if (!attachment && equalsNoCase(kind.type, "message") &&
        (equalsNoCase(kind.subtype, "rfc822") || equalsNoCase(kind.subtype, "global")) &&
        depth < kMaxDepth) {
        // A message shown inline (forwarded, bounced): its attachments count too,
        // its own header stays.
        if (walk(s, h.bodyBegin, end, depth + 1, true, out)) cutContent(s, h.bodyBegin, end, out);
        return false;
    }
    if (!attachment) return false;
    if (bodyCandidate && isBodyText(kind) && !kind.dispositionAttachment) return false;
    const std::size_t index = out.names.size();
    out.names.push_back(kind.name);
    out.hasContent.push_back(holdsContent(s.substr(h.bodyBegin, end - h.bodyBegin)));
    if (out.select && (index >= out.select->size() || !(*out.select)[index])) return false;
    Slot leaf;
    leaf.name = kind.name;
    for (const Field& f : h.fields) {
        if (equalsNoCase(f.name(s), "Content-Transfer-Encoding")) continue;
        leaf.fields.append(s.substr(f.begin, f.end - f.begin));
        if (leaf.fields.back() != '\n' && leaf.fields.back() != '\r')
            leaf.fields += lineEndingOf(s);
    }
    out.lastLeaf = std::move(leaf);
    out.lastLeafInline = kind.inlinePart;
    return true;
}

Analysis analyse(std::string_view s, const std::vector<bool>* select = nullptr) {
    Analysis a;
    a.select = select;
    if (!MailMessage::MayHaveAttachments(s)) return a;
    if (walk(s, 0, s.size(), 0, true, a)) {
        a.wholeMessage = true;
        cutContent(s, 0, s.size(), a);
    }
    std::sort(a.cuts.begin(), a.cuts.end(),
              [](const Range& x, const Range& y) { return x.begin < y.begin; });
    a.select = nullptr;
    return a;
}

std::string applyCuts(std::string_view s, const std::vector<Range>& cuts) {
    std::string out;
    out.reserve(s.size());
    std::size_t pos = 0;
    for (const Range& r : cuts) {
        if (r.begin > pos) out.append(s.substr(pos, r.begin - pos));
        pos = std::max(pos, r.end);
    }
    if (pos < s.size()) out.append(s.substr(pos));
    return out;
}

// Ends `out` with a complete line break so that what follows begins a line of its
// own. A bare CR gets its LF: an LF appended after it would otherwise join it into
// one CR LF break, and an empty line meant to end a header would vanish (its body
// would then be read as header fields).
void finishLine(std::string& out, const std::string& eol) {
    if (out.empty() || out.back() == '\n') return;
    if (out.back() == '\r')
        out += '\n';
    else
        out += eol;
}

std::string lineEndingOf(std::string_view s) {
    const auto lf = s.find('\n');
    if (lf == std::string_view::npos) return "\r\n";
    return (lf > 0 && s[lf - 1] == '\r') ? "\r\n" : "\n";
}

std::string base64Lines(std::string_view data, const std::string& eol) {
    static const char* alphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((data.size() + 2) / 3 * 4 + (data.size() / 57 + 1) * eol.size());
    const auto* p = reinterpret_cast<const unsigned char*>(data.data());
    std::size_t n = data.size();
    std::size_t i = 0;
    int column = 0;
    while (i < n) {
        const std::uint32_t b0 = p[i];
        const std::uint32_t b1 = i + 1 < n ? p[i + 1] : 0;
        const std::uint32_t b2 = i + 2 < n ? p[i + 2] : 0;
        const std::uint32_t v = (b0 << 16) | (b1 << 8) | b2;
        out += alphabet[(v >> 18) & 63];
        out += alphabet[(v >> 12) & 63];
        out += i + 1 < n ? alphabet[(v >> 6) & 63] : '=';
        out += i + 2 < n ? alphabet[v & 63] : '=';
        i += 3;
        column += 4;
        if (column == 76 && i < n) {
            out += eol;
            column = 0;
        }
    }
    return out;
}

bool isPlainAsciiName(std::string_view name) {
    if (name.empty() || name.size() > 60) return false;
    for (char c : name) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u > 0x7e || c == '"' || c == '\\') return false;
    }
    return true;
}

// `attr="name"`, or the RFC 2231 form (UTF-8, percent-encoded, in continuations).
std::string nameParameter(const std::string& attr, const std::string& name,
                          const std::string& eol) {
    if (isPlainAsciiName(name)) return "; " + attr + "=\"" + name + "\"";
    static const char* hex = "0123456789ABCDEF";
    std::vector<std::string> chunks(1);
    for (char c : name) {
        const auto u = static_cast<unsigned char>(c);
        std::string piece;
        if ((u >= 'A' && u <= 'Z') || (u >= 'a' && u <= 'z') || (u >= '0' && u <= '9') ||
            std::strchr("!#$&+-.^_`|~", c) != nullptr) {
            piece = std::string(1, c);
        } else {
            piece = {'%', hex[u >> 4], hex[u & 15]};
        }
        if (chunks.back().size() + piece.size() > 60) chunks.emplace_back();
        chunks.back() += piece;
    }
    std::string out;
    if (chunks.size() == 1) return ";" + eol + "\t" + attr + "*=UTF-8''" + chunks[0];
    for (std::size_t i = 0; i < chunks.size(); ++i) {
        out += ";" + eol + "\t" + attr + "*" + std::to_string(i) + "*=";
        if (i == 0) out += "UTF-8''";
        out += chunks[i];
    }
    return out;
}

// A boundary found in none of the texts.
std::string makeBoundary(std::string_view message, const std::vector<std::string>& parts) {
    static std::atomic<unsigned> counter{0};
    for (;;) {
        char buf[64];
        std::snprintf(buf, sizeof buf, "=_tessaport_%08x_%04x", g_random_int(),
                      counter.fetch_add(1) & 0xffff);
        if (message.find(buf) != std::string_view::npos) continue;
        if (std::none_of(parts.begin(), parts.end(),
                         [&](const std::string& p) { return p.find(buf) != std::string::npos; }))
            return buf;
    }
}

// The transfer encoding under which a message file can be attached as it is
// (RFC 2046 5.2.1 allows message/rfc822 no other): 7bit, 8bit or binary.
const char* identityEncoding(std::string_view data) {
    bool eightBit = false, binary = false;
    std::size_t lineLength = 0;
    for (std::size_t i = 0; i < data.size(); ++i) {
        const auto c = static_cast<unsigned char>(data[i]);
        if (c == '\n') {
            lineLength = 0;
            continue;
        }
        if (c == '\r' && i + 1 < data.size() && data[i + 1] == '\n') continue;
        if (c == 0 || c == '\r') binary = true;
        if (c >= 0x80) eightBit = true;
        if (++lineLength > 998) binary = true;
    }
    return binary ? "binary" : eightBit ? "8bit" : "7bit";
}

// The last part of a name that may hold a path.
std::string_view baseName(std::string_view name) {
    const auto sep = name.find_last_of("/\\");
    return sep == std::string_view::npos ? name : name.substr(sep + 1);
}

std::optional<std::chrono::system_clock::time_point> parseDate(const std::string& text) {
    const std::optional<MailDate> date = readMailDate(text);
    if (!date) return std::nullopt;
    const std::int64_t seconds = date->seconds;
    // The clock counts finely enough to hold only about 292 years either side of
    // 1970; a date outside that is no readable date.
    using Clock = std::chrono::system_clock;
    constexpr auto limit =
        std::chrono::duration_cast<std::chrono::seconds>(Clock::duration::max()).count() - 1;
    if (seconds > limit || seconds < -limit) return std::nullopt;
    return Clock::time_point(std::chrono::seconds(seconds));
}

}  // namespace

struct MailMessage::Impl {
    std::string bytes;      // current message, attachments removed if asked
    bool modified = false;  // bytes differ from what was loaded
    bool analysed = false;
    Analysis analysis;
    std::vector<std::string> added;  // encoded parts (headers, blank line, body lines)
    // Inline attachments' places in `bytes` once removed, and what went back there.
    struct Place {
        Slot slot;
        std::string part;  // delimiter line, header, empty line, content; empty: unfilled
    };
    std::vector<Place> places;

    const Analysis& analysis_() {
        if (!analysed) {
            analysis = analyse(bytes);
            analysed = true;
        }
        return analysis;
    }
    void reset(std::string data) {
        bytes = std::move(data);
        modified = false;
        analysed = false;
        analysis = {};
        added.clear();
        places.clear();
    }
    // `bytes` with the files put back into their places.
    std::string withPlacesFilled() const;
    std::string assemble() const;
};

std::string MailMessage::Impl::withPlacesFilled() const {
    std::string out;
    std::size_t pos = 0;
    for (const Place& p : places) {  // in order of place
        if (p.part.empty()) continue;
        out.append(bytes, pos, p.slot.at - pos);
        out += p.part;
        pos = p.slot.at;
    }
    out.append(bytes, pos, std::string::npos);
    return out;
}

std::string MailMessage::Impl::assemble() const {
    const bool filled =
        std::any_of(places.begin(), places.end(), [](const Place& p) { return !p.part.empty(); });
    if (added.empty()) return filled ? withPlacesFilled() : bytes;
    const std::string withPlaces = filled ? withPlacesFilled() : std::string();
    const std::string_view s = filled ? std::string_view(withPlaces) : std::string_view(bytes);
    const std::string eol = lineEndingOf(s);
    const Header h = parseHeader(s, 0, s.size());
    const PartKind top = describePart(s, h);
    std::size_t total = s.size() + 256;
    for (const auto& a : added) total += a.size() + 64;

    if (equalsNoCase(top.type, "multipart") && equalsNoCase(top.subtype, "mixed") &&
        top.hasBoundary) {
        // Already a mixed message: the new parts go in before its close delimiter.
        const auto delims = findDelimiters(s, h.bodyBegin, s.size(), top.boundary);
        std::string out;
        out.reserve(total);
        std::size_t insertAt = s.size();
        bool haveClose = !delims.empty() && delims.back().close;
        if (haveClose) insertAt = delims.back().lineStart;
        out.append(s.substr(0, insertAt));
        if (!haveClose) {
            // An unterminated multipart: the parts follow what is there. The line
            // break before a delimiter belongs to the delimiter.
            if (h.bodyBegin == s.size() && h.blankBegin == h.bodyBegin) {
                finishLine(out, eol);
                out += eol;  // the empty line that ends the header
            } else {
                out += eol;
            }
        }
        for (const auto& part : added) out += "--" + top.boundary + eol + part;
        out += "--" + top.boundary + "--" + eol;
        if (haveClose) out.append(s.substr(delims.back().next));
        return out;
    }

    // Anything else becomes the first part of a new multipart/mixed message: its
    // content fields move with it, every other field stays where it was.
    const std::string boundary = makeBoundary(s, added);
    std::string out;
    out.reserve(total);
    std::string contentFields;
    bool placed = false;
    bool haveVersion = false;
    const std::string newType =
        "Content-Type: multipart/mixed;" + eol + "\tboundary=\"" + boundary + "\"" + eol;
    for (const Field& f : h.fields) {
        const std::string_view name = f.name(s);
        if (equalsNoCase(name, "MIME-Version")) haveVersion = true;
        if (isContentField(name)) {
            contentFields.append(s.substr(f.begin, f.end - f.begin));
            if (!placed) {
                out += newType;
                placed = true;
            }
            continue;
        }
        out.append(s.substr(f.begin, f.end - f.begin));
        if (f.end == s.size()) finishLine(out, eol);
    }
    if (!haveVersion) out += "MIME-Version: 1.0" + eol;
    if (!placed) out += newType;
    finishLine(contentFields, eol);
    finishLine(out, eol);
    // The empty line after the header: the original one when there was one.
    if (h.blankBegin < h.bodyBegin)
        out.append(s.substr(h.blankBegin, h.bodyBegin - h.blankBegin));
    else
        out += eol;
    out += "--" + boundary + eol;
    out += contentFields;
    out += eol;
    out.append(s.substr(h.bodyBegin));
    out += eol;
    for (const auto& part : added) out += "--" + boundary + eol + part;
    out += "--" + boundary + "--" + eol;
    return out;
}

MailMessage::MailMessage() : d_(std::make_unique<Impl>()) {}
MailMessage::~MailMessage() = default;

bool MailMessage::LoadFromFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        d_->reset({});
        return false;
    }
    std::string data;
    in.seekg(0, std::ios::end);
    const auto size = in.tellg();
    in.seekg(0, std::ios::beg);
    if (size < 0) {
        d_->reset({});
        return false;
    }
    if (size > 0) {
        data.resize(static_cast<std::size_t>(size));
        in.read(data.data(), size);
        if (in.gcount() != size) {
            d_->reset({});
            return false;
        }
    }
    d_->reset(std::move(data));
    return true;
}

bool MailMessage::LoadFromBytes(std::string_view bytes) {
    d_->reset(std::string(bytes));
    return true;
}

bool MailMessage::SaveToFile(const std::filesystem::path& path) const {
    return !io::writeFile(path, bytes());
}

std::string MailMessage::bytes() const {
    return d_->assemble();
}

bool MailMessage::changed() const {
    return d_->modified || !d_->added.empty() ||
           std::any_of(d_->places.begin(), d_->places.end(),
                       [](const Impl::Place& p) { return !p.part.empty(); });
}

std::string_view MailMessage::HeaderBlock(std::string_view message) {
    const Header h = parseHeader(message, 0, message.size());
    return message.substr(0, h.bodyBegin);
}

bool MailMessage::MayHaveAttachments(std::string_view message) {
    const Header h = parseHeader(message, 0, message.size());
    const std::string_view header = message.substr(0, h.bodyBegin);
    bool nested = false;
    if (const Field* f = h.find(message, "Content-Type")) {
        const std::string_view type = header.substr(f->nameEnd, f->end - f->nameEnd);
        nested = containsNoCase(type, "multipart") || containsNoCase(type, "message");
    }
    // A single part is described by the message header alone; a multipart's parts,
    // and a message that is the body (a forwarded or bounced one, whose attachments
    // count as the message's own), carry their own headers anywhere in the body.
    const std::string_view where = nested ? message : header;
    return containsNoCase(where, "attachment") || containsNoCase(where, "name");
}

std::optional<std::chrono::system_clock::time_point> MailMessage::MessageDate() const {
    const std::string_view s = d_->bytes;
    const Header h = parseHeader(s, 0, s.size());
    const Field* f = h.find(s, "Date");
    return f ? parseDate(f->value(s)) : std::nullopt;
}

std::optional<std::chrono::system_clock::time_point> MailMessage::FirstReceivedDate() const {
    const std::string_view s = d_->bytes;
    const Header h = parseHeader(s, 0, s.size());
    const Field* f = h.find(s, "Received");
    if (!f) return std::nullopt;
    const std::string value = f->value(s);
    const auto semi = value.rfind(';');
    if (semi == std::string::npos) return std::nullopt;
    return parseDate(value.substr(semi + 1));
}

namespace {
std::string firstMailbox(InternetAddressList* list) {
    if (!list) return {};
    const int n = internet_address_list_length(list);
    for (int i = 0; i < n; ++i) {
        InternetAddress* a = internet_address_list_get_address(list, i);
        if (INTERNET_ADDRESS_IS_MAILBOX(a)) {
            const char* addr = internet_address_mailbox_get_addr(INTERNET_ADDRESS_MAILBOX(a));
            if (addr && *addr) return validUtf8(addr);
        } else if (INTERNET_ADDRESS_IS_GROUP(a)) {
            std::string inner =
                firstMailbox(internet_address_group_get_members(INTERNET_ADDRESS_GROUP(a)));
            if (!inner.empty()) return inner;
        }
    }
    return {};
}
}  // namespace

std::string MailMessage::Sender() const {
    const std::string_view s = d_->bytes;
    const Header h = parseHeader(s, 0, s.size());
    const Field* f = h.find(s, "From");
    if (!f) return {};
    // Raw 8-bit text is taken as Latin-1 so that the address parser accepts it.
    const std::string value = validUtf8(f->value(s).c_str());
    if (value.empty()) return {};
    initGMime();
    GPtr<InternetAddressList> list(internet_address_list_parse(nullptr, value.c_str()));
    return firstMailbox(list.get());
}

std::string MailMessage::Subject() const {
    const std::string_view s = d_->bytes;
    const Header h = parseHeader(s, 0, s.size());
    const Field* f = h.find(s, "Subject");
    if (!f) return {};
    const std::string value = validUtf8(f->value(s).c_str());
    if (value.empty()) return {};
    initGMime();
    gchar* decoded = g_mime_utils_header_decode_text(nullptr, value.c_str());
    std::string text = decoded ? validUtf8(decoded) : value;
    g_free(decoded);
    // One line: a control character would break the line of the report it goes into.
    for (char& c : text)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = ' ';
    return text;
}

int MailMessage::AttachmentCount() const {
    return static_cast<int>(d_->analysis_().names.size());
}

std::string MailMessage::AttachmentName(int index) const {
    const auto& names = d_->analysis_().names;
    if (index < 0 || static_cast<std::size_t>(index) >= names.size()) return {};
    return names[static_cast<std::size_t>(index)];
}

bool MailMessage::AttachmentHasContent(int index) const {
    const auto& has = d_->analysis_().hasContent;
    if (index < 0 || static_cast<std::size_t>(index) >= has.size()) return false;
    return has[static_cast<std::size_t>(index)];
}

void MailMessage::RemoveAllAttachments() {
    const Analysis& a = d_->analysis_();
    if (a.names.empty()) return;
    RemoveAttachments(std::vector<bool>(a.names.size(), true));
}

void MailMessage::RemoveAttachments(const std::vector<bool>& which) {
    if (std::none_of(which.begin(), which.end(), [](bool b) { return b; })) return;
    const Analysis a = analyse(d_->bytes, &which);
    if (a.names.empty() || a.cuts.empty()) return;
    std::string rest = applyCuts(d_->bytes, a.cuts);
    // An inline attachment's place: where its cut began, counted in what is left.
    for (const Slot& slot : a.inlineParts) {
        std::size_t removedBefore = 0;
        bool atCut = false;
        for (const Range& r : a.cuts) {
            if (r.begin == slot.at) {
                atCut = true;
                break;
            }
            if (r.begin > slot.at) break;
            removedBefore += r.end - r.begin;
        }
        if (!atCut) continue;
        Impl::Place place{slot, {}};
        place.slot.at = slot.at - removedBefore;
        d_->places.push_back(std::move(place));
    }
    std::stable_sort(
        d_->places.begin(), d_->places.end(),
        [](const Impl::Place& x, const Impl::Place& y) { return x.slot.at < y.slot.at; });
    d_->bytes = std::move(rest);
    d_->modified = true;
    d_->analysis = {};
    d_->analysed = true;  // nothing left to find
}

std::string MailMessage::AttachFile(const std::filesystem::path& path) {
    std::error_code ec;
    const auto status = std::filesystem::status(path, ec);
    if (ec || !std::filesystem::exists(status)) return "file not found: " + io::utf8Of(path);
    if (!std::filesystem::is_regular_file(status)) return "not a file: " + io::utf8Of(path);
    std::ifstream in(path, std::ios::binary);
    if (!in) return "cannot read " + io::utf8Of(path) + ": " + std::strerror(errno);
    std::string data;
    const auto size = std::filesystem::file_size(path, ec);
    if (!ec && size > 0) {
        data.resize(static_cast<std::size_t>(size));
        in.read(data.data(), static_cast<std::streamsize>(size));
        data.resize(static_cast<std::size_t>(in.gcount()));
    }
    if (in.bad() || ec || data.size() != size) return "cannot read " + io::utf8Of(path);
    AttachData(io::utf8Of(path.filename()), data);
    return {};
}

void MailMessage::AttachData(const std::string& fileName, const std::string& data) {
    const std::string eol = lineEndingOf(d_->bytes);
    const std::string name = validUtf8(fileName.c_str());
    const std::string type = contentTypeOfName(name);

    // An inline attachment goes back where it was, with its own header: only its
    // content is new.
    for (Impl::Place& place : d_->places) {
        if (!place.part.empty() || baseName(place.slot.name) != name) continue;
        std::string part;
        part.reserve(data.size() * 4 / 3 + data.size() / 38 + place.slot.fields.size() + 256);
        part += "--" + place.slot.boundary + eol;
        part += place.slot.fields;
        part += "Content-Transfer-Encoding: base64" + eol;
        part += eol;
        part += base64Lines(data, eol);
        part += eol;
        place.part = std::move(part);
        return;
    }

    std::string part;
    part.reserve(data.size() * 4 / 3 + data.size() / 38 + 512);
    part += "Content-Type: " + type + nameParameter("name", name, eol) + eol;
    part += "Content-Disposition: attachment" + nameParameter("filename", name, eol) + eol;
    // The parts go into the message's own multipart/mixed when it has one; its
    // boundary must not occur in a message attached as it is.
    bool boundaryClash = false;
    {
        const std::string_view s = d_->bytes;
        const PartKind top = describePart(s, parseHeader(s, 0, s.size()));
        if (equalsNoCase(top.type, "multipart") && equalsNoCase(top.subtype, "mixed") &&
            top.hasBoundary)
            boundaryClash = data.find("--" + top.boundary) != std::string::npos;
    }
    if (equalsNoCase(type, "message/rfc822") && !boundaryClash) {
        // An attached message stays as it is: RFC 2046 forbids encoding it, and
        // readers open it as a message only so.
        part += std::string("Content-Transfer-Encoding: ") + identityEncoding(data) + eol;
        part += eol;
        part += data;
        if (data.empty() || (data.back() != '\n' && data.back() != '\r')) part += eol;
    } else {
        part += "Content-Transfer-Encoding: base64" + eol;
        part += eol;
        part += base64Lines(data, eol);
        part += eol;
    }
    d_->added.push_back(std::move(part));
}

}  // namespace tp::convert
