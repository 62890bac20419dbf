#include <gmime/gmime.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstring>
#include <mutex>

#include "mapi/import.h"
#include "mapi/internal.h"

namespace tp::convert {
namespace detail {

namespace {
struct ParserOptionsFree {
    void operator()(GMimeParserOptions* p) const { g_mime_parser_options_free(p); }
};
}  // namespace

// GMime is set up once for the process; the parser options are shared and never
// changed after that (raw 8-bit header text falls back to UTF-8, then windows-1252).
GMimeParserOptions* parserOptions() {
    static std::once_flag once;
    static std::unique_ptr<GMimeParserOptions, ParserOptionsFree> options;
    std::call_once(once, [] {
        initGMime();
        options.reset(g_mime_parser_options_new());
        const char* fallback[] = {"UTF-8", "windows-1252", nullptr};
        g_mime_parser_options_set_fallback_charsets(options.get(), fallback);
    });
    return options.get();
}

std::string lower(std::string_view s) {
    std::string out(s);
    for (auto& c : out) c = char(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

std::string trim(std::string_view s) {
    size_t b = 0, e = s.size();
    while (b < e && std::isspace(static_cast<unsigned char>(s[b]))) ++b;
    while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1]))) --e;
    return std::string(s.substr(b, e - b));
}

bool validUtf8(std::string_view s) {
    return g_utf8_validate(s.data(), gssize(s.size()), nullptr);
}

std::string stripAngles(std::string s) {
    s = trim(s);
    if (!s.empty() && s.front() == '<') s.erase(0, 1);
    if (!s.empty() && s.back() == '>') s.pop_back();
    return s;
}

pst::FileTime fileTimeOf(GDateTime* dt) {
    return fileTimeFromUnix(g_date_time_to_unix(dt), g_date_time_get_microsecond(dt));
}

// ---------------------------------------------------------------------------
// Parsing

namespace {

bool isTokenChar(char c) {
    const auto u = static_cast<unsigned char>(c);
    return u > 0x20 && u < 0x7F && !std::strchr("()<>@,;:\\\"/[]?=", c);
}

// The Content-Type of a one-part text message written plainly: text/plain or
// text/html with token or quoted parameters, none of them a file name. False for
// anything else (comments, encoded or continued parameters): GMime reads it.
bool plainTextType(std::string_view v, bool& html, std::string& charset) {
    size_t i = 0;
    auto skipSpace = [&] {
        while (i < v.size() && (v[i] == ' ' || v[i] == '\t')) ++i;
    };
    auto token = [&] {
        size_t b = i;
        while (i < v.size() && isTokenChar(v[i])) ++i;
        return v.substr(b, i - b);
    };
    skipSpace();
    std::string_view type = token();
    if (i >= v.size() || v[i] != '/') return false;
    ++i;
    std::string_view subtype = token();
    if (!sameName(type, "text")) return false;
    if (sameName(subtype, "plain")) {
        html = false;
    } else if (sameName(subtype, "html")) {
        html = true;
    } else {
        return false;
    }
    bool haveCharset = false;
    for (;;) {
        skipSpace();
        if (i == v.size()) return true;
        if (v[i] != ';') return false;
        ++i;
        skipSpace();
        if (i == v.size()) return true;
        std::string_view name = token();
        if (name.empty() || name.find('*') != std::string_view::npos) return false;
        skipSpace();
        if (i == v.size() || v[i] != '=') return false;
        ++i;
        skipSpace();
        std::string_view value;
        if (i < v.size() && v[i] == '"') {
            size_t close = v.find('"', i + 1);
            if (close == std::string_view::npos) return false;
            value = v.substr(i + 1, close - i - 1);
            if (value.find('\\') != std::string_view::npos) return false;
            i = close + 1;
        } else {
            value = token();
            if (value.empty()) return false;
        }
        if (sameName(name, "name")) return false;
        if (sameName(name, "charset")) {
            if (haveCharset) return false;
            haveCharset = true;
            charset.assign(value);
        }
    }
}

}  // namespace

bool simpleBody(const std::vector<Field>& fields, std::string_view body,
                std::optional<SimpleBody>& out) {
    const Field* type = nullptr;
    const Field* encoding = nullptr;
    for (const Field& f : fields) {
        if (f.name.size() < 8 || g_ascii_strncasecmp(f.name.data(), "Content-", 8) != 0) continue;
        if (sameName(f.name, "Content-Type")) {
            if (type) return false;
            type = &f;
        } else if (sameName(f.name, "Content-Transfer-Encoding")) {
            if (encoding) return false;
            encoding = &f;
        } else if (sameName(f.name, "Content-Disposition")) {
            return false;
        }
    }
    SimpleBody simple;
    if (type && !plainTextType(unfoldedValue(*type), simple.html, simple.charset)) return false;
    GMimeContentEncoding kind = GMIME_CONTENT_ENCODING_DEFAULT;
    if (encoding) {
        const std::string e = lower(trim(unfoldedValue(*encoding)));
        if (e == "base64") {
            kind = GMIME_CONTENT_ENCODING_BASE64;
        } else if (e == "quoted-printable") {
            kind = GMIME_CONTENT_ENCODING_QUOTEDPRINTABLE;
        } else if (e != "7bit" && e != "8bit" && e != "binary") {
            return false;
        }
    }
    // Broken base64 is left to the lenient reading of the full parse.
    if (kind == GMIME_CONTENT_ENCODING_BASE64 && !cleanBase64(body)) return false;
    if (kind == GMIME_CONTENT_ENCODING_DEFAULT) {
        simple.content = body;
    } else {
        GMimeEncoding state;
        g_mime_encoding_init_decode(&state, kind);
        simple.decoded.resize(g_mime_encoding_outlen(&state, body.size()) + 16);
        char* to = simple.decoded.data();
        size_t n = g_mime_encoding_step(&state, body.data(), body.size(), to);
        n += g_mime_encoding_flush(&state, "", 0, to + n);
        simple.decoded.resize(n);
    }
    out = std::move(simple);
    if (kind != GMIME_CONTENT_ENCODING_DEFAULT) out->content = out->decoded;
    return true;
}

namespace {

// Parts whose header lines run straight into their text, with no empty line
// between: GMime takes the text for bad header lines and drops it. Finds them
// and gathers the boundaries of the tree.
bool lostPartText(GMimeObject* obj, std::vector<std::string>& boundaries, int depth = 0) {
    if (GMIME_IS_MULTIPART(obj) && depth < 64) {
        GMimeMultipart* mp = GMIME_MULTIPART(obj);
        if (const char* b = g_mime_multipart_get_boundary(mp)) boundaries.emplace_back(b);
        bool lost = false;
        for (int i = 0, n = g_mime_multipart_get_count(mp); i < n; ++i)
            lost = lostPartText(g_mime_multipart_get_part(mp, i), boundaries, depth + 1) || lost;
        return lost;
    }
    if (GMIME_IS_MESSAGE_PART(obj) && depth < 64) {
        GMimeMessage* inner = g_mime_message_part_get_message(GMIME_MESSAGE_PART(obj));
        GMimeObject* body = inner ? g_mime_message_get_mime_part(inner) : nullptr;
        return body && lostPartText(body, boundaries, depth + 1);
    }
    return GMIME_IS_PART(obj) && !g_mime_part_get_content(GMIME_PART(obj));
}

bool looksLikeField(std::string_view line) {
    size_t colon = line.find(':');
    if (colon == std::string_view::npos || colon == 0) return false;
    for (size_t i = 0; i < colon; ++i) {
        const auto c = static_cast<unsigned char>(line[i]);
        if (c <= 32 || c >= 127) return false;
    }
    return true;
}

// `text` with an empty line put where a part's header lines end without one.
std::string withPartHeadersEnded(std::string_view text,
                                 const std::vector<std::string>& boundaries) {
    std::string out;
    out.reserve(text.size() + 256);
    bool inHeaders = false;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t nl = text.find('\n', pos);
        size_t next = nl == std::string_view::npos ? text.size() : nl + 1;
        std::string_view line = text.substr(pos, next - pos);
        std::string_view bare = line;
        while (!bare.empty() && (bare.back() == '\n' || bare.back() == '\r')) bare.remove_suffix(1);
        bool delimiter = false;
        if (bare.size() > 2 && bare[0] == '-' && bare[1] == '-') {
            for (const std::string& b : boundaries) {
                if (bare.substr(2, b.size()) != b) continue;
                std::string_view rest = bare.substr(2 + b.size());
                delimiter = true;
                inHeaders = rest.substr(0, 2) != "--";
                break;
            }
        }
        if (!delimiter && inHeaders) {
            if (bare.empty()) {
                inHeaders = false;
            } else if (bare[0] != ' ' && bare[0] != '\t' && !looksLikeField(bare)) {
                out += "\r\n";
                inHeaders = false;
            }
        }
        out += line;
        pos = next;
    }
    return out;
}

GMimeObject* constructPart(std::string_view bytes, GMimeParserOptions* options) {
    GPtr<GMimeStream> stream(g_mime_stream_mem_new_with_buffer(bytes.data(), bytes.size()));
    GPtr<GMimeParser> parser(g_mime_parser_new_with_stream(stream.get()));
    return g_mime_parser_construct_part(parser.get(), options);
}

// Reads the header block and the MIME structure (see parse).
bool readStructure(std::string_view raw, Parsed& out, std::string& error, bool wholeParse) {
    // Raw 8-bit header text that is not UTF-8 is read in the message's own charset.
    auto optionsFor = [&out](std::string_view head) {
        out.options = !allAscii(head) && !validUtf8(head) ? out.guess.options() : parserOptions();
        return out.options;
    };
    size_t bodyStart = 0;
    if (!wholeParse && readHeaderBlock(raw, out.fields, bodyStart)) {
        GMimeParserOptions* options = optionsFor(raw.substr(0, bodyStart));
        if (simpleBody(out.fields, raw.substr(bodyStart), out.simple)) return true;
        // GMime parses only the MIME structure: the Content- fields of the message,
        // then its body. No object is built for the other fields.
        GByteArray* array = g_byte_array_sized_new(guint(raw.size() - bodyStart + 256));
        auto append = [array](std::string_view s) {
            g_byte_array_append(array, reinterpret_cast<const guint8*>(s.data()), guint(s.size()));
        };
        for (const Field& f : out.fields) {
            if (f.name.size() < 8 || g_ascii_strncasecmp(f.name.data(), "Content-", 8) != 0)
                continue;
            append(f.name);
            append(":");
            append(f.raw);
            append("\n");
        }
        append("\n");
        append(raw.substr(bodyStart));
        const size_t headLength = array->len - (raw.size() - bodyStart);
        GPtr<GMimeStream> stream(g_mime_stream_mem_new_with_byte_array(array));
        GPtr<GMimeParser> parser(g_mime_parser_new_with_stream(stream.get()));
        out.top.reset(g_mime_parser_construct_part(parser.get(), options));
        std::vector<std::string> boundaries;
        if (out.top && lostPartText(out.top.get(), boundaries)) {
            GByteArray* bytes = g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(stream.get()));
            std::string repaired(reinterpret_cast<const char*>(bytes->data), headLength);
            repaired += withPartHeadersEnded(raw.substr(bodyStart), boundaries);
            out.top.reset(constructPart(repaired, options));
        }
        if (out.top) return true;
    }
    out.fields.clear();
    GMimeParserOptions* options = optionsFor(rawHeaderBlock(raw));
    GPtr<GMimeStream> stream(g_mime_stream_mem_new_with_buffer(raw.data(), raw.size()));
    GPtr<GMimeParser> parser(g_mime_parser_new_with_stream(stream.get()));
    g_mime_parser_set_format(parser.get(), GMIME_FORMAT_MESSAGE);
    out.message.reset(g_mime_parser_construct_message(parser.get(), options));
    std::vector<std::string> boundaries;
    if (out.message && lostPartText(g_mime_message_get_mime_part(out.message.get()), boundaries)) {
        const std::string repaired = withPartHeadersEnded(raw, boundaries);
        GPtr<GMimeStream> again(
            g_mime_stream_mem_new_with_buffer(repaired.data(), repaired.size()));
        GPtr<GMimeParser> reparser(g_mime_parser_new_with_stream(again.get()));
        g_mime_parser_set_format(reparser.get(), GMIME_FORMAT_MESSAGE);
        out.message.reset(g_mime_parser_construct_message(reparser.get(), options));
    }
    if (!out.message) {
        error = "the message could not be read as RFC 822";
        return false;
    }
    return true;
}
}  // namespace

bool parse(std::string_view raw, Parsed& out, std::string& error, bool wholeParse) {
    if (!readStructure(raw, out, error, wholeParse)) return false;
    auto readTimes = [&out](const HeaderView& headers) {
        out.sent = headers.date();
        out.received = firstReceivedTime(headers);
    };
    if (out.message)
        readTimes(GMimeHeaders(out.message.get(), out.options));
    else
        readTimes(OwnHeaders(out.fields, out.options));
    return true;
}

// ---------------------------------------------------------------------------
// The importer

void Importer::fill(const HeaderView& headers, GMimeObject* top, const SimpleBody* simple,
                    std::string_view raw, const Parsed& parsed, pst::Message& out, int depth) {
    fillEnvelope(headers, raw, parsed, out, depth);
    out.props.set(tag::PidTagMessageSize, clampSize(raw.size()));
    fillContent(top, simple, parsed.guess, raw, out, depth);
    std::int32_t flags = kMsgFlagRead;
    if (!out.attachments.empty()) flags |= kMsgFlagHasAttach;
    // Every attachment a hidden picture of the HTML body: no paperclip.
    const bool allHidden =
        !out.attachments.empty() &&
        std::all_of(out.attachments.begin(), out.attachments.end(), [](const pst::Attachment& a) {
            const pst::Property* hidden = a.props.find(tag::PidTagAttachmentHidden);
            return hidden && std::get<bool>(hidden->value);
        });
    if (allHidden) out.props.setNamed(kSmartNoAttach, true);
    out.props.set(tag::PidTagMessageFlags, flags);
}

void Importer::fill(const Parsed& parsed, std::string_view raw, pst::Message& out, int depth) {
    if (parsed.message) {
        GMimeHeaders headers(parsed.message.get(), parsed.options);
        fill(headers, g_mime_message_get_mime_part(parsed.message.get()), nullptr, raw, parsed, out,
             depth);
    } else {
        OwnHeaders headers(parsed.fields, parsed.options);
        fill(headers, parsed.top.get(), parsed.simple ? &*parsed.simple : nullptr, raw, parsed, out,
             depth);
    }
}

bool Importer::import(std::string_view raw, pst::Message& out, std::string& error, int depth) {
    Parsed parsed(raw);
    if (!parse(raw, parsed, error, options_.wholeParse)) return false;
    fill(parsed, raw, out, depth);
    return true;
}

}  // namespace detail

using detail::Importer;
using detail::Parsed;

pst::FileTime fileTimeFromUnix(std::int64_t seconds, int microseconds) {
    constexpr std::int64_t kEpochDelta = 11644473600LL;  // 1601-01-01 to 1970-01-01
    std::int64_t ticks = (seconds + kEpochDelta) * 10000000LL + std::int64_t(microseconds) * 10;
    return pst::FileTime{ticks < 0 ? 0 : std::uint64_t(ticks)};
}

pst::FileTime currentFileTime() {
    // A reproducible run (SOURCE_DATE_EPOCH) records its fixed time instead. Read
    // at every call, as the store's name is: a later run of the same process may
    // have it set differently.
    const std::optional<pst::FileTime> fixed = pst::fixedClock();
    if (fixed) return *fixed;
    auto now = std::chrono::system_clock::now().time_since_epoch();
    auto us = std::chrono::duration_cast<std::chrono::microseconds>(now).count();
    return fileTimeFromUnix(us / 1000000, int(us % 1000000));
}

bool importMessage(std::string_view bytes, pst::Message& out, std::string& error,
                   const ImportOptions& options) {
    detail::parserOptions();
    if (bytes.empty()) {
        error = "the message is empty";
        return false;
    }
    if (options.threads) {
        ParsedMessage parsed;
        if (!parseMessage(bytes, parsed, error, options)) return false;
        fillMessage(parsed, out);
        return true;
    }
    Importer importer(options);
    return importer.import(bytes, out, error, 0);
}

struct ParsedMessage::Data {
    std::string raw;
    ImportOptions options;
    std::unique_ptr<Parsed> parsed;
};

ParsedMessage::ParsedMessage() = default;
ParsedMessage::ParsedMessage(ParsedMessage&&) noexcept = default;
ParsedMessage& ParsedMessage::operator=(ParsedMessage&&) noexcept = default;
ParsedMessage::~ParsedMessage() = default;

std::size_t ParsedMessage::size() const {
    return d_ ? d_->raw.size() : 0;
}

bool ParsedMessage::undated() const {
    if (!d_) return false;
    return !d_->parsed->sent && !d_->parsed->received;
}

namespace {
// Enters the message in the run's conversations and keeps what they said in
// `options`: the item may be filled later, on another thread.
void bookThreadOf(const Parsed& parsed, ImportOptions& options) {
    if (!options.threads) return;
    const std::optional<pst::FileTime> time = parsed.sent ? parsed.sent : parsed.received;
    if (parsed.message)
        detail::bookThread(detail::GMimeHeaders(parsed.message.get(), parsed.options), time,
                           options);
    else
        detail::bookThread(detail::OwnHeaders(parsed.fields, parsed.options), time, options);
    options.threads = nullptr;
}
}  // namespace

bool parseMessage(std::string_view bytes, ParsedMessage& out, std::string& error,
                  const ImportOptions& options) {
    if (bytes.empty()) {
        error = "the message is empty";
        return false;
    }
    auto d = std::make_unique<ParsedMessage::Data>();
    d->raw.assign(bytes);
    d->options = options;
    d->parsed = std::make_unique<Parsed>(d->raw);
    if (!parse(d->raw, *d->parsed, error, options.wholeParse)) return false;
    bookThreadOf(*d->parsed, d->options);
    out.d_ = std::move(d);
    return true;
}

void fillMessage(const ParsedMessage& parsed, pst::Message& out) {
    if (!parsed.d_) return;
    Importer importer(parsed.d_->options);
    importer.fill(*parsed.d_->parsed, parsed.d_->raw, out, 0);
}

bool importMessage(std::string_view bytes, pst::Message& out, std::string& error) {
    return importMessage(bytes, out, error, ImportOptions{currentFileTime()});
}
}  // namespace tp::convert
