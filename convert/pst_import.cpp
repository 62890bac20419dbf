#include "pst_import.h"

#include <gmime/gmime.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <vector>

namespace tp::convert {

namespace {

// ---------------------------------------------------------------------------
// GMime ownership helpers

struct GObjectUnref {
    void operator()(void* p) const {
        if (p) g_object_unref(p);
    }
};
template <class T>
using GPtr = std::unique_ptr<T, GObjectUnref>;

struct GFreeDeleter {
    void operator()(void* p) const { g_free(p); }
};
using GString_ = std::unique_ptr<char, GFreeDeleter>;

struct ParserOptionsFree {
    void operator()(GMimeParserOptions* p) const { g_mime_parser_options_free(p); }
};
struct FormatOptionsFree {
    void operator()(GMimeFormatOptions* p) const { g_mime_format_options_free(p); }
};

// GMime is set up once for the process; the parser options are shared and never
// changed after that (raw 8-bit header text falls back to UTF-8, then windows-1252).
GMimeParserOptions* parserOptions() {
    static std::once_flag once;
    static std::unique_ptr<GMimeParserOptions, ParserOptionsFree> options;
    std::call_once(once, [] {
        g_mime_init();
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

std::string str(const char* s) {
    return s ? std::string(s) : std::string();
}

bool validUtf8(std::string_view s) {
    return g_utf8_validate(s.data(), gssize(s.size()), nullptr);
}

// ---------------------------------------------------------------------------
// Charsets

std::string normalizeCharset(std::string_view charset) {
    std::string c = lower(trim(charset));
    if (c.size() >= 2 && c.front() == '"' && c.back() == '"') c = c.substr(1, c.size() - 2);
    std::replace(c.begin(), c.end(), '_', '-');
    if (c.rfind("x-", 0) == 0) c = c.substr(2);
    if (c.rfind("cp125", 0) == 0 && c.size() == 6) c = "windows-" + c.substr(2);
    if (c.rfind("iso8859-", 0) == 0) c = "iso-8859-" + c.substr(8);
    if (c.rfind("iso-8859", 0) == 0 && c.size() > 8 && c[8] != '-') c.insert(8, "-");
    return c;
}

// The decoder to use for a declared charset: the Windows supersets that mail
// programs actually wrote under the older names.
std::string decoderFor(const std::string& c) {
    if (c == "iso-8859-1" || c == "us-ascii" || c == "ascii" || c == "latin1")
        return "WINDOWS-1252";
    if (c == "gb2312" || c == "gbk" || c == "cp936" || c == "euc-cn" || c == "gb18030")
        return "GB18030";
    if (c == "big5" || c == "cp950") return "CP950";
    if (c == "shift-jis" || c == "sjis" || c == "ms932" || c == "windows-31j" || c == "cp932")
        return "CP932";
    if (c == "ks-c-5601-1987" || c == "euc-kr" || c == "cp949") return "CP949";
    return c;
}

std::string convertWith(GIConv cd, std::string_view in) {
    std::string out;
    out.resize(in.size() * 2 + 16);
    gchar* inp = const_cast<gchar*>(in.data());
    gsize inLeft = in.size();
    gchar* outp = out.data();
    gsize outLeft = out.size();
    auto grow = [&](size_t need) {
        if (outLeft >= need) return;
        size_t used = size_t(outp - out.data());
        out.resize(out.size() * 2 + need);
        outp = out.data() + used;
        outLeft = out.size() - used;
    };
    while (inLeft > 0) {
        gsize r = g_iconv(cd, &inp, &inLeft, &outp, &outLeft);
        if (r != gsize(-1)) break;
        if (errno == E2BIG) {
            grow(out.size() + 16);
            continue;
        }
        // An undecodable or truncated sequence: mark it and go on with the next byte.
        grow(3);
        std::memcpy(outp, "\xEF\xBF\xBD", 3);
        outp += 3;
        outLeft -= 3;
        ++inp;
        --inLeft;
        g_iconv(cd, nullptr, nullptr, nullptr, nullptr);
    }
    // Stateful decoders (windows-1255 and -1258 hold back a base letter that a
    // combining mark may follow) give up what they hold only when flushed.
    for (;;) {
        grow(16);
        if (g_iconv(cd, nullptr, nullptr, &outp, &outLeft) != gsize(-1) || errno != E2BIG) break;
    }
    out.resize(size_t(outp - out.data()));
    return out;
}

// Opened decoders are kept for the thread's life: opening one loads a conversion
// module, which is far dearer than converting a message.
class DecoderCache {
  public:
    ~DecoderCache() {
        for (auto& [name, cd] : open_)
            if (cd != GIConv(-1)) g_iconv_close(cd);
    }
    GIConv get(const std::string& name) {
        auto it = open_.find(name);
        if (it == open_.end()) {
            if (open_.size() >= 64) return g_iconv_open("UTF-8", name.c_str());  // caller closes
            it = open_.emplace(name, g_iconv_open("UTF-8", name.c_str())).first;
        }
        if (it->second != GIConv(-1)) g_iconv(it->second, nullptr, nullptr, nullptr, nullptr);
        return it->second;
    }
    bool owns(const std::string& name) const { return open_.count(name) != 0; }

  private:
    std::map<std::string, GIConv> open_;
};

bool tryConvert(std::string_view bytes, const std::string& decoder, std::string& out) {
    thread_local DecoderCache cache;
    GIConv cd = cache.get(decoder);
    if (cd == GIConv(-1)) return false;
    out = convertWith(cd, bytes);
    if (!cache.owns(decoder)) g_iconv_close(cd);
    return true;
}

// The charset named by a <meta> tag near the top of an HTML text.
std::string htmlMetaCharset(std::string_view html) {
    std::string head = lower(html.substr(0, std::min<size_t>(html.size(), 4096)));
    size_t at = head.find("charset=");
    if (at == std::string::npos) return {};
    at += 8;
    while (at < head.size() && (head[at] == '"' || head[at] == '\'' || head[at] == ' ')) ++at;
    size_t end = at;
    while (end < head.size() &&
           (std::isalnum(static_cast<unsigned char>(head[end])) || head[end] == '-' ||
            head[end] == '_' || head[end] == '.' || head[end] == ':'))
        ++end;
    return head.substr(at, end - at);
}

// ---------------------------------------------------------------------------
// Small byte helpers

void putUtf16z(pst::Binary& out, const std::string& s) {
    glong n = 0;
    gunichar2* w = g_utf8_to_utf16(s.c_str(), glong(s.size()), nullptr, &n, nullptr);
    if (w) {
        for (glong i = 0; i < n; ++i) {
            out.push_back(std::uint8_t(w[i] & 0xFF));
            out.push_back(std::uint8_t(w[i] >> 8));
        }
        g_free(w);
    }
    out.push_back(0);
    out.push_back(0);
}

std::array<std::uint8_t, 16> md5(std::string_view data) {
    std::array<std::uint8_t, 16> out{};
    GChecksum* sum = g_checksum_new(G_CHECKSUM_MD5);
    g_checksum_update(sum, reinterpret_cast<const guchar*>(data.data()), gssize(data.size()));
    gsize len = out.size();
    g_checksum_get_digest(sum, out.data(), &len);
    g_checksum_free(sum);
    return out;
}

std::int32_t clampSize(std::uint64_t n) {
    return n > std::uint64_t(INT32_MAX) ? INT32_MAX : std::int32_t(n);
}

pst::FileTime fileTimeOf(GDateTime* dt) {
    return fileTimeFromUnix(g_date_time_to_unix(dt), g_date_time_get_microsecond(dt));
}

// ---------------------------------------------------------------------------
// Parts

std::string mimeTypeOf(GMimeObject* obj) {
    GMimeContentType* ct = g_mime_object_get_content_type(obj);
    if (!ct) return "application/octet-stream";
    GString_ s(g_mime_content_type_get_mime_type(ct));
    return s ? lower(s.get()) : std::string("application/octet-stream");
}

bool isType(GMimeObject* obj, const char* type, const char* subtype) {
    GMimeContentType* ct = g_mime_object_get_content_type(obj);
    return ct && g_mime_content_type_is_type(ct, type, subtype);
}

// The decoded content of a leaf part (transfer encoding undone, charset untouched).
std::string partContent(GMimePart* part) {
    GMimeDataWrapper* content = g_mime_part_get_content(part);
    if (!content) return {};
    GPtr<GMimeStream> mem(g_mime_stream_mem_new());
    g_mime_data_wrapper_write_to_stream(content, mem.get());
    GByteArray* array = g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(mem.get()));
    return std::string(reinterpret_cast<const char*>(array->data), array->len);
}

std::string charsetOf(GMimeObject* obj) {
    return str(g_mime_object_get_content_type_parameter(obj, "charset"));
}

bool declaredAttachment(GMimeObject* obj) {
    const char* disposition = g_mime_object_get_disposition(obj);
    if (disposition && g_ascii_strcasecmp(disposition, "attachment") == 0) return true;
    return GMIME_IS_PART(obj) && g_mime_part_get_filename(GMIME_PART(obj)) != nullptr;
}

std::string stripAngles(std::string s) {
    s = trim(s);
    if (!s.empty() && s.front() == '<') s.erase(0, 1);
    if (!s.empty() && s.back() == '>') s.pop_back();
    return s;
}

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

    static bool canCarryBody(GMimeObject* obj) {
        if (declaredAttachment(obj)) return false;
        if (GMIME_IS_MULTIPART(obj)) return true;
        return isType(obj, "text", "plain") || isType(obj, "text", "html");
    }

    void walk(GMimeObject* obj, bool bodyAllowed, bool related, int depth) {
        if (GMIME_IS_MULTIPART(obj) && depth < 64) {
            GMimeMultipart* mp = GMIME_MULTIPART(obj);
            int n = g_mime_multipart_get_count(mp);
            if (isType(obj, "multipart", "alternative")) {
                for (int i = 0; i < n; ++i)
                    walk(g_mime_multipart_get_part(mp, i), bodyAllowed, related, depth + 1);
            } else if (isType(obj, "multipart", "related")) {
                int root = 0;
                std::string start =
                    stripAngles(str(g_mime_object_get_content_type_parameter(obj, "start")));
                for (int i = 0; i < n && !start.empty(); ++i) {
                    if (str(g_mime_object_get_content_id(g_mime_multipart_get_part(mp, i))) ==
                        start)
                        root = i;
                }
                for (int i = 0; i < n; ++i)
                    walk(g_mime_multipart_get_part(mp, i), bodyAllowed && i == root,
                         i == root ? related : true, depth + 1);
            } else {
                bool taken = false;
                for (int i = 0; i < n; ++i) {
                    GMimeObject* child = g_mime_multipart_get_part(mp, i);
                    bool candidate = bodyAllowed && !taken && canCarryBody(child);
                    taken = taken || candidate;
                    walk(child, candidate, related, depth + 1);
                }
            }
            return;
        }
        if (GMIME_IS_PART(obj) && bodyAllowed && !declaredAttachment(obj)) {
            if (!plain && isType(obj, "text", "plain")) {
                plain = obj;
                return;
            }
            if (!html && isType(obj, "text", "html")) {
                html = obj;
                return;
            }
        }
        attachments.push_back({obj, related});
    }
};

const char* extensionForType(const std::string& mime) {
    static const std::pair<const char*, const char*> known[] = {
        {"image/jpeg", ".jpg"},      {"image/jpg", ".jpg"},      {"image/pjpeg", ".jpg"},
        {"image/gif", ".gif"},       {"image/png", ".png"},      {"image/x-png", ".png"},
        {"image/bmp", ".bmp"},       {"text/plain", ".txt"},     {"text/html", ".htm"},
        {"application/pdf", ".pdf"}, {"message/rfc822", ".eml"}, {"text/calendar", ".ics"},
        {"audio/wav", ".wav"},       {"audio/mpeg", ".mp3"},     {"application/zip", ".zip"},
    };
    for (auto& [type, ext] : known)
        if (mime == type) return ext;
    return ".dat";
}

std::string extensionOf(const std::string& name) {
    size_t dot = name.find_last_of('.');
    if (dot == std::string::npos || dot == 0 || dot + 1 == name.size()) return {};
    if (name.find_first_of("/\\", dot) != std::string::npos) return {};
    return name.substr(dot);
}

// ---------------------------------------------------------------------------
// The mapping

struct Person {
    std::string name;
    std::string address;
    std::string display() const { return name.empty() ? address : name; }
};

void collectMailboxes(InternetAddressList* list, std::vector<Person>& out, int depth = 0) {
    if (!list) return;
    int n = internet_address_list_length(list);
    for (int i = 0; i < n; ++i) {
        InternetAddress* ia = internet_address_list_get_address(list, i);
        if (INTERNET_ADDRESS_IS_MAILBOX(ia)) {
            Person p{trim(str(internet_address_get_name(ia))),
                     trim(str(internet_address_mailbox_get_addr(INTERNET_ADDRESS_MAILBOX(ia))))};
            if (!p.name.empty() || !p.address.empty()) out.push_back(std::move(p));
        } else if (INTERNET_ADDRESS_IS_GROUP(ia) && depth < 8) {
            collectMailboxes(internet_address_group_get_members(INTERNET_ADDRESS_GROUP(ia)), out,
                             depth + 1);
        }
    }
}

std::vector<Person> mailboxes(InternetAddressList* list) {
    std::vector<Person> out;
    collectMailboxes(list, out);
    return out;
}

std::string joinDisplay(const std::vector<Person>& people) {
    std::string out;
    for (const auto& p : people) {
        if (!out.empty()) out += "; ";
        out += p.display();
    }
    return out;
}

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

std::int32_t importanceOf(const HeaderView& msg) {
    // [MS-OXCMAIL] 2.2.3.2.5: Importance first, then Priority, X-Priority, X-MSMail-Priority.
    std::string v = lower(msg.first("Importance"));
    if (v == "low") return 0;
    if (v == "normal") return 1;
    if (v == "high") return 2;
    v = lower(msg.first("Priority"));
    if (v == "non-urgent") return 0;
    if (v == "normal") return 1;
    if (v == "urgent") return 2;
    v = msg.first("X-Priority");
    if (!v.empty() && v[0] >= '1' && v[0] <= '5') return v[0] <= '2' ? 2 : v[0] == '3' ? 1 : 0;
    v = lower(msg.first("X-MSMail-Priority"));
    if (v == "low") return 0;
    if (v == "high") return 2;
    return 1;
}

std::int32_t priorityOf(const HeaderView& msg) {
    std::string v = lower(msg.first("Priority"));
    if (v == "urgent") return 1;
    if (v == "non-urgent") return -1;
    if (v == "normal") return 0;
    v = msg.first("X-Priority");
    if (!v.empty() && v[0] >= '1' && v[0] <= '5') return v[0] <= '2' ? 1 : v[0] == '3' ? 0 : -1;
    return 0;
}

std::int32_t sensitivityOf(const HeaderView& msg) {
    std::string v = lower(msg.first("Sensitivity"));
    if (v == "personal") return 1;
    if (v == "private") return 2;
    if (v == "company-confidential") return 3;
    return 0;
}

// The header block of a message as it came: every byte up to the empty line.
std::string_view rawHeaderBlock(std::string_view bytes) {
    size_t pos = 0;
    while (pos < bytes.size()) {
        size_t nl = bytes.find('\n', pos);
        if (nl == std::string_view::npos) return bytes;
        std::string_view line = bytes.substr(pos, nl - pos);
        if (line.empty() || line == "\r") return bytes.substr(0, pos);
        pos = nl + 1;
    }
    return bytes;
}

std::string headerText(std::string_view raw) {
    std::string out;
    if (validUtf8(raw)) {
        out.assign(raw);
    } else {
        GString_ s(g_mime_utils_decode_8bit(parserOptions(), raw.data(), raw.size()));
        if (s) out = s.get();
    }
    out.erase(std::remove(out.begin(), out.end(), '\0'), out.end());
    return out;
}

std::optional<pst::FileTime> dateOf(const char* text) {
    GDateTime* dt = g_mime_utils_header_decode_date(text);
    if (!dt) return std::nullopt;
    pst::FileTime t = fileTimeOf(dt);
    g_date_time_unref(dt);
    return t;
}

std::optional<pst::FileTime> firstReceivedTime(const HeaderView& msg) {
    std::string v = msg.first("Received");
    size_t semi = v.rfind(';');
    if (semi == std::string::npos) return std::nullopt;
    return dateOf(v.c_str() + semi + 1);
}

// GMime's parsed message as a HeaderView.
class GMimeHeaders : public HeaderView {
  public:
    explicit GMimeHeaders(GMimeMessage* message) : message_(message) {}
    std::string first(const char* name) const override {
        return trim(str(g_mime_object_get_header(GMIME_OBJECT(message_), name)));
    }
    std::string subject() const override { return str(g_mime_message_get_subject(message_)); }
    std::vector<Person> addresses(GMimeAddressType type) const override {
        return mailboxes(g_mime_message_get_addresses(message_, type));
    }
    std::optional<pst::FileTime> date() const override {
        if (GDateTime* date = g_mime_message_get_date(message_)) return fileTimeOf(date);
        return std::nullopt;
    }
    std::string messageId() const override { return str(g_mime_message_get_message_id(message_)); }

  private:
    GMimeMessage* message_;
};

// One header field as it stands in the message: its name, and its value with
// any folding, up to (not including) the line end of its last line.
struct Field {
    std::string_view name;
    std::string_view raw;
};

bool sameName(std::string_view a, const char* b) {
    size_t n = std::strlen(b);
    return a.size() == n && g_ascii_strncasecmp(a.data(), b, n) == 0;
}

// Reads the header block at the start of `bytes` into `fields`, and where the
// body begins (after the empty line). False for a block this reader does not
// take: a line that is neither a field, nor a folded continuation, nor the empty
// line, or a NUL or a carriage return that ends no line (GMime decides what
// those mean).
bool readHeaderBlock(std::string_view bytes, std::vector<Field>& fields, size_t& bodyStart) {
    size_t pos = 0;
    while (pos < bytes.size()) {
        size_t nl = bytes.find('\n', pos);
        size_t end = nl == std::string_view::npos ? bytes.size() : nl;
        size_t next = nl == std::string_view::npos ? bytes.size() : nl + 1;
        size_t lineEnd = end > pos && bytes[end - 1] == '\r' ? end - 1 : end;
        const std::string_view line = bytes.substr(pos, lineEnd - pos);
        if (line.find('\0') != std::string_view::npos || line.find('\r') != std::string_view::npos)
            return false;
        if (lineEnd == pos) {
            bodyStart = next;
            return true;
        }
        const char c = bytes[pos];
        if (c == ' ' || c == '\t') {
            if (fields.empty()) return false;
            Field& f = fields.back();
            f.raw = std::string_view(f.raw.data(), size_t(bytes.data() + lineEnd - f.raw.data()));
        } else {
            size_t colon = bytes.find(':', pos);
            if (colon == std::string_view::npos || colon >= lineEnd) return false;
            size_t nameEnd = colon;
            while (nameEnd > pos && (bytes[nameEnd - 1] == ' ' || bytes[nameEnd - 1] == '\t'))
                --nameEnd;
            if (nameEnd == pos) return false;
            for (size_t i = pos; i < nameEnd; ++i) {
                const auto ch = static_cast<unsigned char>(bytes[i]);
                if (ch <= 32 || ch >= 127) return false;
            }
            fields.push_back(Field{bytes.substr(pos, nameEnd - pos),
                                   bytes.substr(colon + 1, lineEnd - colon - 1)});
        }
        pos = next;
    }
    bodyStart = bytes.size();
    return true;
}

// A field's value on one line, as GMime unfolds one: without the blanks and line
// breaks around it, and without the line breaks inside it (NULs dropped too,
// since GMime's text ends at one).
std::string unfoldedValue(const Field& f) {
    auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    std::string_view v = f.raw;
    while (!v.empty() && (blank(v.front()) || v.front() == '\0')) v.remove_prefix(1);
    while (!v.empty() && (blank(v.back()) || v.back() == '\0')) v.remove_suffix(1);
    std::string out;
    out.reserve(v.size());
    for (char c : v)
        if (c != '\r' && c != '\n' && c != '\0') out += c;
    return out;
}

bool isAtext(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || std::strchr("!#$%&'*+-/=?^_`{|}~", c);
}

// An address written plainly: local@domain, dot-atoms on both sides, and no
// internationalized domain (GMime decodes those).
bool plainAddrSpec(std::string_view a) {
    size_t at = a.find('@');
    if (at == std::string_view::npos || at == 0 || at + 1 == a.size() ||
        a.find('@', at + 1) != std::string_view::npos)
        return false;
    auto dotAtom = [](std::string_view s, bool domain) {
        if (s.front() == '.' || s.back() == '.' || s.find("..") != std::string_view::npos)
            return false;
        for (char c : s) {
            if (c == '.') continue;
            if (domain ? !(std::isalnum(static_cast<unsigned char>(c)) || c == '-') : !isAtext(c))
                return false;
        }
        return true;
    };
    std::string_view domain = a.substr(at + 1);
    if (domain.size() >= 4 && g_ascii_strncasecmp(domain.data(), "xn--", 4) == 0) return false;
    if (domain.find(".xn--") != std::string_view::npos ||
        domain.find(".XN--") != std::string_view::npos)
        return false;
    return dotAtom(a.substr(0, at), false) && dotAtom(domain, true);
}

// The mailboxes of an address list written plainly: "addr", "<addr>", "Name <addr>"
// or "\"Quoted Name\" <addr>", comma-separated, in printable ASCII. False for anything
// else (comments, groups, encoded words, 8-bit text, odd spacing): GMime reads it.
bool plainAddressList(std::string_view v, std::vector<Person>& out) {
    for (char c : v) {
        const auto u = static_cast<unsigned char>(c);
        if ((u < 0x20 && c != '\t') || u > 0x7E || std::strchr("();:\\[]", c)) return false;
    }
    if (v.find("=?") != std::string_view::npos) return false;
    std::vector<Person> found;
    size_t pos = 0;
    while (pos <= v.size()) {
        // One element, up to a comma outside quotes and angle brackets.
        size_t end = pos;
        bool quoted = false, angled = false;
        for (; end < v.size(); ++end) {
            const char c = v[end];
            if (c == '"' && !angled)
                quoted = !quoted;
            else if (c == '<' && !quoted)
                angled = true;
            else if (c == '>' && !quoted)
                angled = false;
            else if (c == ',' && !quoted && !angled)
                break;
        }
        if (quoted || angled) return false;
        std::string_view e = v.substr(pos, end - pos);
        while (!e.empty() && (e.front() == ' ' || e.front() == '\t')) e.remove_prefix(1);
        while (!e.empty() && (e.back() == ' ' || e.back() == '\t')) e.remove_suffix(1);
        if (e.empty()) return false;
        size_t lt = e.find('<');
        if (lt == std::string_view::npos) {
            if (!plainAddrSpec(e)) return false;
            found.push_back(Person{std::string(), std::string(e)});
        } else {
            if (e.back() != '>' || e.find('<', lt + 1) != std::string_view::npos) return false;
            std::string_view addr = e.substr(lt + 1, e.size() - lt - 2);
            std::string_view name = e.substr(0, lt);
            if (!plainAddrSpec(addr)) return false;
            if (name.empty()) {
                found.push_back(Person{std::string(), std::string(addr)});
                pos = end + 1;
                continue;
            }
            if (name.back() != ' ') return false;
            name.remove_suffix(1);
            if (!name.empty() && name.front() == '"') {
                if (name.size() < 2 || name.back() != '"') return false;
                name = name.substr(1, name.size() - 2);
                if (name.find('"') != std::string_view::npos) return false;
            } else {
                for (char c : name)
                    if (c != ' ' && c != '.' && !isAtext(c)) return false;
            }
            // Single spaces between words only.
            if (name.empty() || name.front() == ' ' || name.back() == ' ' ||
                name.find("  ") != std::string_view::npos ||
                name.find('\t') != std::string_view::npos)
                return false;
            found.push_back(Person{std::string(name), std::string(addr)});
        }
        pos = end + 1;
    }
    out.insert(out.end(), std::make_move_iterator(found.begin()),
               std::make_move_iterator(found.end()));
    return true;
}

// Our own reader's fields as a HeaderView; values decoded as GMime's message does.
class OwnHeaders : public HeaderView {
  public:
    explicit OwnHeaders(const std::vector<Field>& fields) : fields_(fields) {}
    std::string first(const char* name) const override {
        for (const Field& f : fields_)
            if (sameName(f.name, name)) return trim(decoded(f));
        return {};
    }
    std::string subject() const override {
        const Field* f = last("Subject");
        return f ? decoded(*f) : std::string();
    }
    std::vector<Person> addresses(GMimeAddressType type) const override {
        static const char* const names[] = {"Sender", "From", "Reply-To", "To", "Cc", "Bcc"};
        std::vector<Person> out;
        if (type < 0 || type >= GMimeAddressType(std::size(names))) return out;
        for (const Field& f : fields_) {
            if (!sameName(f.name, names[type])) continue;
            if (plainAddressList(unfoldedValue(f), out)) continue;
            // As GMime's message does: its address parser reads the value as it
            // stands, folding and all.
            const std::string raw = std::string(f.raw) + "\n";
            if (InternetAddressList* list =
                    internet_address_list_parse(parserOptions(), raw.c_str())) {
                collectMailboxes(list, out);
                g_object_unref(list);
            }
        }
        return out;
    }
    std::optional<pst::FileTime> date() const override {
        // As GMime's message: the last Date field counts, readable or not.
        const Field* f = last("Date");
        return f ? dateOf(decoded(*f).c_str()) : std::nullopt;
    }
    std::string messageId() const override {
        const Field* f = last("Message-Id");
        if (!f) return {};
        GString_ id(g_mime_utils_decode_message_id(decoded(*f).c_str()));
        return id ? std::string(id.get()) : std::string();
    }

  private:
    const Field* last(const char* name) const {
        for (auto it = fields_.rbegin(); it != fields_.rend(); ++it)
            if (sameName(it->name, name)) return &*it;
        return nullptr;
    }
    static std::string decoded(const Field& f) {
        std::string value = unfoldedValue(f);
        // Plain ASCII without encoded words decodes to itself.
        if (value.find("=?") == std::string::npos &&
            std::all_of(value.begin(), value.end(), [](char c) {
                return static_cast<unsigned char>(c) >= 0x20 &&
                       static_cast<unsigned char>(c) < 0x7F;
            }))
            return value;
        GString_ s(g_mime_utils_header_decode_text(parserOptions(), value.c_str()));
        return s ? std::string(s.get()) : std::string();
    }

    const std::vector<Field>& fields_;
};

void setAddressProps(pst::PropertySet& props, const Person& p, std::uint32_t name,
                     std::uint32_t addrType, std::uint32_t email, std::uint32_t entryId,
                     std::uint32_t searchKey, std::uint32_t smtp) {
    props.set(name, p.display());
    props.set(addrType, std::string("SMTP"));
    props.set(email, p.address);
    props.set(entryId, oneOffEntryId(p.display(), "SMTP", p.address));
    props.set(searchKey, addressSearchKey("SMTP", p.address));
    props.set(smtp, p.address);
}

pst::PropertySet recipientRow(const Person& p, std::int32_t type) {
    pst::PropertySet row;
    row.set(tag::RecipientType, type);
    row.set(tag::DisplayName, p.display());
    row.set(tag::RecipientDisplayName, p.display());
    row.set(tag::AddressType, std::string("SMTP"));
    row.set(tag::EmailAddress, p.address);
    row.set(tag::SmtpAddress, p.address);
    pst::Binary eid = oneOffEntryId(p.display(), "SMTP", p.address);
    row.set(tag::EntryId, eid);
    row.set(tag::RecipientEntryId, eid);
    row.set(tag::SearchKey, addressSearchKey("SMTP", p.address));
    row.set(tag::ObjectType, std::int32_t(6));      // MAPI_MAILUSER
    row.set(tag::DisplayType, std::int32_t(0));     // DT_MAILUSER
    row.set(tag::RecipientFlags, std::int32_t(1));  // recipSendable
    row.set(tag::SendRichInfo, false);
    return row;
}

// Attached messages nest at most this deep; deeper ones are kept whole, as .eml files.
constexpr int kMaxEmbeddingDepth = 6;

// A message read as far as the import needs to know that it can be imported:
// its header fields (our reader) or GMime's message (GMime's parser), and the
// MIME structure.
// The body of a message that is one text part, as most mail is: decoded here,
// without any GMime object.
struct SimpleBody {
    bool html = false;
    std::string charset;
    std::string_view content;  // the body itself, or `decoded`
    std::string decoded;       // when a transfer encoding was undone
};

struct Parsed {
    std::vector<Field> fields;
    std::optional<SimpleBody> simple;
    GPtr<GMimeObject> top;
    GPtr<GMimeMessage> message;
};
bool parse(std::string_view raw, Parsed& out, std::string& error, bool wholeParse);

class Importer {
  public:
    explicit Importer(const ImportOptions& options) : options_(options) {}

    // Fills `out` from the message in `raw`; false when GMime cannot read it.
    bool import(std::string_view raw, pst::Message& out, std::string& error, int depth);
    void fill(const Parsed& parsed, std::string_view raw, pst::Message& out, int depth);

  private:
    void fill(const HeaderView& headers, GMimeObject* top, const SimpleBody* simple,
              std::string_view raw, pst::Message& out, int depth);
    struct BodyText {
        std::string_view content;  // transfer encoding undone
        std::string charset;
    };
    void addBodies(const std::optional<BodyText>& plain, const std::optional<BodyText>& html,
                   bool related, pst::Message& out, std::string& htmlText);
    void addAttachment(const BodyWalk::Item& item, const std::string& htmlText, pst::Message& out,
                       std::set<std::string>& shortNames, int depth);

    const ImportOptions& options_;
};

void Importer::fill(const HeaderView& headers, GMimeObject* top, const SimpleBody* simple,
                    std::string_view raw, pst::Message& out, int depth) {
    pst::PropertySet& p = out.props;
    p.set(tag::MessageClass, std::string("IPM.Note"));

    // Subject ([MS-OXCMAIL] 2.2.3.2.6).
    std::string subject = trim(headers.subject());
    auto [prefix, normalized] = splitSubject(subject);
    p.set(tag::Subject, subject);
    p.set(tag::SubjectPrefix, prefix);
    p.set(tag::NormalizedSubject, normalized);
    p.set(tag::ConversationTopic, normalized);

    // Originator: From is the sent-representing address, Sender (or From) the sender.
    std::vector<Person> from = headers.addresses(GMIME_ADDRESS_TYPE_FROM);
    std::vector<Person> sender = headers.addresses(GMIME_ADDRESS_TYPE_SENDER);
    if (from.empty()) from = sender;
    if (sender.empty()) sender = from;
    if (!from.empty())
        setAddressProps(p, from.front(), tag::SentRepresentingName,
                        tag::SentRepresentingAddressType, tag::SentRepresentingEmailAddress,
                        tag::SentRepresentingEntryId, tag::SentRepresentingSearchKey,
                        tag::SentRepresentingSmtpAddress);
    if (!sender.empty())
        setAddressProps(p, sender.front(), tag::SenderName, tag::SenderAddressType,
                        tag::SenderEmailAddress, tag::SenderEntryId, tag::SenderSearchKey,
                        tag::SenderSmtpAddress);
    std::vector<Person> replyTo = headers.addresses(GMIME_ADDRESS_TYPE_REPLY_TO);
    if (!replyTo.empty()) p.set(tag::ReplyRecipientNames, joinDisplay(replyTo));

    // Recipients and their display strings.
    const std::pair<GMimeAddressType, std::int32_t> lists[] = {{GMIME_ADDRESS_TYPE_TO, kRecipTo},
                                                               {GMIME_ADDRESS_TYPE_CC, kRecipCc},
                                                               {GMIME_ADDRESS_TYPE_BCC, kRecipBcc}};
    const std::uint32_t displayTags[] = {tag::DisplayTo, tag::DisplayCc, tag::DisplayBcc};
    for (int i = 0; i < 3; ++i) {
        std::vector<Person> people = headers.addresses(lists[i].first);
        p.set(displayTags[i], joinDisplay(people));
        for (const auto& person : people)
            out.recipients.push_back(recipientRow(person, lists[i].second));
    }

    // Dates: Date is the submit time; the newest Received (the first) the delivery time.
    std::optional<pst::FileTime> sent = headers.date();
    std::optional<pst::FileTime> received = firstReceivedTime(headers);
    if (!received) received = sent;
    if (!sent) sent = received;
    if (sent) p.set(tag::ClientSubmitTime, *sent);
    p.set(tag::MessageDeliveryTime, received.value_or(options_.now));
    p.set(tag::CreationTime, options_.now);
    p.set(tag::LastModificationTime, options_.now);

    // Identity and threading.
    std::string messageId = headers.messageId();
    if (!messageId.empty()) p.set(tag::InternetMessageId, "<" + messageId + ">");
    std::string inReplyTo = headers.first("In-Reply-To");
    if (!inReplyTo.empty()) p.set(tag::InReplyToId, inReplyTo);
    std::string references = headers.first("References");
    if (!references.empty()) p.set(tag::InternetReferences, references);

    pst::Binary index;
    std::string threadIndex = headers.first("Thread-Index");
    if (!threadIndex.empty()) {
        gsize len = 0;
        guchar* decoded = g_base64_decode(threadIndex.c_str(), &len);
        // A header block of 22 bytes and whole 5-byte child blocks ([MS-OXOMSG] 2.2.1.3).
        if (decoded && len >= 22 && (len - 22) % 5 == 0 && decoded[0] == 0x01)
            index.assign(decoded, decoded + len);
        g_free(decoded);
    }
    if (index.empty()) {
        std::string key = references.empty() ? inReplyTo : references;
        size_t close = key.find('>');
        key = close == std::string::npos ? key : key.substr(0, close + 1);
        if (key.empty()) key = messageId.empty() ? std::string(rawHeaderBlock(raw)) : messageId;
        index = conversationIndex(sent.value_or(options_.now), stripAngles(key));
    }
    p.set(tag::ConversationIndex, index);

    p.set(tag::TransportMessageHeaders, headerText(rawHeaderBlock(raw)));
    p.set(tag::Importance, importanceOf(headers));
    p.set(tag::Priority, priorityOf(headers));
    p.set(tag::Sensitivity, sensitivityOf(headers));
    p.set(tag::MessageSize, clampSize(raw.size()));

    // Bodies and attachments.
    BodyWalk walk;
    if (top) walk.walk(top, true, false, 0);
    std::string htmlText;
    std::optional<BodyText> plain, html;
    std::string plainBytes, htmlBytes;
    if (simple) {
        (simple->html ? html : plain) = BodyText{simple->content, simple->charset};
    } else {
        if (walk.plain) {
            plainBytes = partContent(GMIME_PART(walk.plain));
            plain = BodyText{plainBytes, charsetOf(walk.plain)};
        }
        if (walk.html) {
            htmlBytes = partContent(GMIME_PART(walk.html));
            html = BodyText{htmlBytes, charsetOf(walk.html)};
        }
    }
    const bool related = std::any_of(walk.attachments.begin(), walk.attachments.end(),
                                     [](const BodyWalk::Item& item) { return item.related; });
    addBodies(plain, html, related, out, htmlText);
    std::set<std::string> shortNames;
    for (const auto& item : walk.attachments) addAttachment(item, htmlText, out, shortNames, depth);

    std::int32_t flags = kMsgFlagRead;
    if (!out.attachments.empty()) flags |= kMsgFlagHasAttach;
    p.set(tag::MessageFlags, flags);
}

void Importer::addBodies(const std::optional<BodyText>& plain, const std::optional<BodyText>& html,
                         bool related, pst::Message& out, std::string& htmlText) {
    int codePage = 0;
    if (plain) {
        out.props.set(tag::Body, toUtf8(plain->content, plain->charset));
        codePage = codePageOfCharset(plain->charset);
    }
    if (html) {
        std::string bytes(html->content);
        std::string charset = html->charset;
        if (charset.empty()) charset = htmlMetaCharset(bytes);
        int htmlCodePage = codePageOfCharset(charset);
        if (htmlCodePage == 0) {
            // Undeclared or without a Windows code page: keep the text, as UTF-8.
            bytes = toUtf8(bytes, charset);
            htmlCodePage = 65001;
        }
        if (related) htmlText = lower(toUtf8(bytes, charset.empty() ? "utf-8" : charset));
        out.props.set(tag::Html, pst::Binary(bytes.begin(), bytes.end()));
        codePage = htmlCodePage;
    }
    out.props.set(tag::InternetCodepage, std::int32_t(codePage ? codePage : 65001));
}

void Importer::addAttachment(const BodyWalk::Item& item, const std::string& htmlText,
                             pst::Message& out, std::set<std::string>& shortNames, int depth) {
    GMimeObject* obj = item.object;
    pst::Attachment att;
    pst::PropertySet& a = att.props;
    std::string mime = mimeTypeOf(obj);
    std::string name;
    if (GMIME_IS_PART(obj)) name = trim(str(g_mime_part_get_filename(GMIME_PART(obj))));
    if (name.empty()) name = trim(str(g_mime_object_get_content_type_parameter(obj, "name")));

    GMimeMessage* inner = GMIME_IS_MESSAGE_PART(obj)
                              ? g_mime_message_part_get_message(GMIME_MESSAGE_PART(obj))
                              : nullptr;
    if (inner && depth < kMaxEmbeddingDepth) {
        // message/rfc822: an attached message ([MS-OXCMAIL] 2.2.3.4.2).
        std::unique_ptr<GMimeFormatOptions, FormatOptionsFree> format(g_mime_format_options_new());
        g_mime_format_options_set_newline_format(format.get(), GMIME_NEWLINE_FORMAT_DOS);
        GString_ text(g_mime_object_to_string(GMIME_OBJECT(inner), format.get()));
        std::string_view raw = text ? std::string_view(text.get()) : std::string_view();
        att.embedded = std::make_shared<pst::Message>();
        std::string ignored;
        if (!import(raw, *att.embedded, ignored, depth + 1)) {
            GMimeHeaders innerHeaders(inner);
            fill(innerHeaders, g_mime_message_get_mime_part(inner), nullptr, raw, *att.embedded,
                 depth + 1);
        }
        std::string subject = trim(str(g_mime_message_get_subject(inner)));
        a.set(tag::AttachMethod, kAttachEmbeddedMessage);
        a.set(tag::DisplayName,
              name.empty() ? (subject.empty() ? std::string("Untitled") : subject) : name);
        a.set(tag::AttachMimeTag, std::string("message/rfc822"));
        a.set(tag::AttachSize, clampSize(raw.size()));
    } else {
        std::string data;
        if (GMIME_IS_PART(obj)) {
            data = partContent(GMIME_PART(obj));
        } else {
            // A part we do not open (nested too deep): keep it whole, as it was written.
            std::unique_ptr<GMimeFormatOptions, FormatOptionsFree> format(
                g_mime_format_options_new());
            g_mime_format_options_set_newline_format(format.get(), GMIME_NEWLINE_FORMAT_DOS);
            GPtr<GMimeStream> mem(g_mime_stream_mem_new());
            GMimeObject* whole = inner ? GMIME_OBJECT(inner) : obj;
            g_mime_object_write_to_stream(whole, format.get(), mem.get());
            GByteArray* array = g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(mem.get()));
            data.assign(reinterpret_cast<const char*>(array->data), array->len);
        }
        if (name.empty()) name = std::string("Untitled") + extensionForType(mime);
        std::string ext = extensionOf(name);
        std::string shortName;
        for (int n = 1; n < 100000; ++n) {
            shortName = shortFileName(name, n);
            if (shortNames.insert(lower(shortName)).second) break;
        }
        a.set(tag::AttachMethod, kAttachByValue);
        a.set(tag::AttachLongFilename, name);
        a.set(tag::AttachFilename, shortName);
        a.set(tag::DisplayName, name);
        if (!ext.empty()) a.set(tag::AttachExtension, ext);
        a.set(tag::AttachMimeTag, mime);
        a.set(tag::AttachSize, clampSize(data.size()));
        att.data.assign(data.begin(), data.end());
    }

    std::string contentId = stripAngles(str(g_mime_object_get_content_id(obj)));
    std::string location = trim(str(g_mime_object_get_header(obj, "Content-Location")));
    if (!contentId.empty()) a.set(tag::AttachContentId, contentId);
    if (!location.empty()) a.set(tag::AttachContentLocation, location);
    // Inline images of an HTML body ([MS-OXCMAIL] 2.2.3.4.1.4.1): hidden, rendered in body.
    bool referenced = false;
    if (item.related && !htmlText.empty()) {
        const std::string& html = htmlText;  // lower case
        referenced =
            (!contentId.empty() && html.find("cid:" + lower(contentId)) != std::string::npos) ||
            (!location.empty() && html.find(lower(location)) != std::string::npos);
    }
    a.set(tag::AttachmentHidden, referenced);
    a.set(tag::AttachFlags, std::int32_t(referenced ? 0x4 : 0));
    a.set(tag::RenderingPosition, std::int32_t(-1));
    a.set(tag::CreationTime, options_.now);
    a.set(tag::LastModificationTime, options_.now);
    out.attachments.push_back(std::move(att));
}

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

// The body of a message that is one plainly declared text part, with its transfer
// encoding undone. False (and nothing set) for any other message.
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

bool parse(std::string_view raw, Parsed& out, std::string& error, bool wholeParse) {
    GMimeParserOptions* options = parserOptions();
    size_t bodyStart = 0;
    if (!wholeParse && readHeaderBlock(raw, out.fields, bodyStart)) {
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
        GPtr<GMimeStream> stream(g_mime_stream_mem_new_with_byte_array(array));
        GPtr<GMimeParser> parser(g_mime_parser_new_with_stream(stream.get()));
        out.top.reset(g_mime_parser_construct_part(parser.get(), options));
        if (out.top) return true;
    }
    out.fields.clear();
    GPtr<GMimeStream> stream(g_mime_stream_mem_new_with_buffer(raw.data(), raw.size()));
    GPtr<GMimeParser> parser(g_mime_parser_new_with_stream(stream.get()));
    g_mime_parser_set_format(parser.get(), GMIME_FORMAT_MESSAGE);
    out.message.reset(g_mime_parser_construct_message(parser.get(), options));
    if (!out.message) {
        error = "the message could not be read as RFC 822";
        return false;
    }
    return true;
}

void Importer::fill(const Parsed& parsed, std::string_view raw, pst::Message& out, int depth) {
    if (parsed.message) {
        GMimeHeaders headers(parsed.message.get());
        fill(headers, g_mime_message_get_mime_part(parsed.message.get()), nullptr, raw, out, depth);
    } else {
        OwnHeaders headers(parsed.fields);
        fill(headers, parsed.top.get(), parsed.simple ? &*parsed.simple : nullptr, raw, out, depth);
    }
}

bool Importer::import(std::string_view raw, pst::Message& out, std::string& error, int depth) {
    Parsed parsed;
    if (!parse(raw, parsed, error, options_.wholeParse)) return false;
    fill(parsed, raw, out, depth);
    return true;
}

}  // namespace

// ---------------------------------------------------------------------------

pst::FileTime fileTimeFromUnix(std::int64_t seconds, int microseconds) {
    constexpr std::int64_t kEpochDelta = 11644473600LL;  // 1601-01-01 to 1970-01-01
    std::int64_t ticks = (seconds + kEpochDelta) * 10000000LL + std::int64_t(microseconds) * 10;
    return pst::FileTime{ticks < 0 ? 0 : std::uint64_t(ticks)};
}

pst::FileTime currentFileTime() {
    auto now = std::chrono::system_clock::now().time_since_epoch();
    auto us = std::chrono::duration_cast<std::chrono::microseconds>(now).count();
    return fileTimeFromUnix(us / 1000000, int(us % 1000000));
}

int codePageOfCharset(std::string_view charset) {
    std::string c = normalizeCharset(charset);
    static const std::pair<const char*, int> table[] = {
        {"utf-8", 65001},        {"utf8", 65001},        {"utf-7", 65000},
        {"us-ascii", 20127},     {"ascii", 20127},       {"iso-8859-1", 28591},
        {"latin1", 28591},       {"iso-8859-2", 28592},  {"iso-8859-3", 28593},
        {"iso-8859-4", 28594},   {"iso-8859-5", 28595},  {"iso-8859-6", 28596},
        {"iso-8859-7", 28597},   {"iso-8859-8", 28598},  {"iso-8859-8-i", 38598},
        {"iso-8859-9", 28599},   {"iso-8859-13", 28603}, {"iso-8859-15", 28605},
        {"windows-1250", 1250},  {"windows-1251", 1251}, {"windows-1252", 1252},
        {"windows-1253", 1253},  {"windows-1254", 1254}, {"windows-1255", 1255},
        {"windows-1256", 1256},  {"windows-1257", 1257}, {"windows-1258", 1258},
        {"windows-874", 874},    {"tis-620", 874},       {"koi8-r", 20866},
        {"koi8-u", 21866},       {"ibm866", 866},        {"cp866", 866},
        {"gb2312", 936},         {"gbk", 936},           {"cp936", 936},
        {"euc-cn", 936},         {"gb18030", 54936},     {"hz-gb-2312", 52936},
        {"big5", 950},           {"cp950", 950},         {"shift-jis", 932},
        {"sjis", 932},           {"cp932", 932},         {"windows-31j", 932},
        {"euc-jp", 51932},       {"iso-2022-jp", 50220}, {"euc-kr", 51949},
        {"ks-c-5601-1987", 949}, {"cp949", 949},         {"iso-2022-kr", 50225},
        {"utf-16", 1200},        {"utf-16le", 1200},     {"utf-16be", 1201},
    };
    for (auto& [name, cp] : table)
        if (c == name) return cp;
    return 0;
}

namespace {

// Charsets whose bytes below 0x80 are ASCII, one byte a character.
bool asciiBased(const std::string& c) {
    static const char* const prefixes[] = {"us-ascii", "ascii", "iso-8859-", "windows-125",
                                           "cp125",    "koi8-", "latin"};
    for (const char* p : prefixes)
        if (c.rfind(p, 0) == 0) return true;
    return false;
}

bool allAscii(std::string_view bytes) {
    for (char ch : bytes)
        if (static_cast<unsigned char>(ch) >= 0x80) return false;
    return true;
}

std::string decodeText(std::string_view bytes, std::string_view charset) {
    std::string c = normalizeCharset(charset);
    // Plain ASCII in an ASCII-based charset is already UTF-8: no decoder needed.
    if (asciiBased(c) && allAscii(bytes)) return std::string(bytes);
    std::string out;
    if (!c.empty() && c != "utf-8" && c != "utf8" && tryConvert(bytes, decoderFor(c), out))
        return out;
    if (validUtf8(bytes)) return std::string(bytes);
    if (c == "utf-8" || c == "utf8") {
        tryConvert(bytes, "UTF-8", out);  // marks the broken sequences
        return out;
    }
    if (tryConvert(bytes, "WINDOWS-1252", out)) return out;
    return std::string(bytes);
}

}  // namespace

std::string toUtf8(std::string_view bytes, std::string_view charset) {
    parserOptions();  // GMime (and its charset tables) ready
    std::string out = decodeText(bytes, charset);
    // NUL characters carry no text, and readers end a string at the first one.
    out.erase(std::remove(out.begin(), out.end(), '\0'), out.end());
    return out;
}

std::pair<std::string, std::string> splitSubject(const std::string& subject) {
    // One to three characters, none a colon, blank or digit, then ":" and blanks.
    const char* s = subject.c_str();
    if (!g_utf8_validate(s, gssize(subject.size()), nullptr)) return {std::string(), subject};
    const char* p = s;
    int count = 0;
    while (*p && count <= 3) {
        gunichar ch = g_utf8_get_char(p);
        if (ch == ':') break;
        if (ch == ' ' || (ch >= '0' && ch <= '9')) return {std::string(), subject};
        p = g_utf8_next_char(p);
        ++count;
    }
    if (*p != ':' || count < 1 || count > 3) return {std::string(), subject};
    std::string prefix(s, size_t(p - s));
    ++p;
    while (*p == ' ') ++p;
    return {prefix + ": ", std::string(p)};
}

pst::Binary oneOffEntryId(const std::string& displayName, const std::string& addressType,
                          const std::string& address) {
    // Flags (4, zero), ProviderUID (MAPI one-off UID), Version (2, zero),
    // flags MAPI_ONE_OFF_UNICODE | MAPI_ONE_OFF_NO_RICH_INFO, then three UTF-16 strings.
    static const std::uint8_t uid[16] = {0x81, 0x2B, 0x1F, 0xA4, 0xBE, 0xA3, 0x10, 0x19,
                                         0x9D, 0x6E, 0x00, 0xDD, 0x01, 0x0F, 0x54, 0x02};
    pst::Binary out;
    out.reserve(64);
    for (int i = 0; i < 4; ++i) out.push_back(0);
    for (std::uint8_t b : uid) out.push_back(b);
    out.push_back(0);
    out.push_back(0);
    const std::uint16_t flags = 0x8000 | 0x0001;
    out.push_back(std::uint8_t(flags & 0xFF));
    out.push_back(std::uint8_t(flags >> 8));
    putUtf16z(out, displayName);
    putUtf16z(out, addressType);
    putUtf16z(out, address);
    return out;
}

pst::Binary addressSearchKey(const std::string& addressType, const std::string& address) {
    std::string key = addressType + ":" + address;
    for (auto& c : key) c = char(std::toupper(static_cast<unsigned char>(c)));
    pst::Binary out(key.begin(), key.end());
    out.push_back(0);
    return out;
}

pst::Binary conversationIndex(pst::FileTime time, std::string_view threadKey) {
    pst::Binary out;
    out.push_back(0x01);
    // The 40 high bits of the FILETIME, most significant byte first.
    std::uint64_t t = time.ticks >> 24;
    for (int i = 4; i >= 0; --i) out.push_back(std::uint8_t(t >> (8 * i)));
    auto guid = md5(threadKey);
    guid[6] = std::uint8_t((guid[6] & 0x0F) | 0x30);  // a name-based GUID
    guid[8] = std::uint8_t((guid[8] & 0x3F) | 0x80);
    for (std::uint8_t b : guid) out.push_back(b);
    return out;
}

std::string shortFileName(const std::string& longName, int n) {
    std::string ext = extensionOf(longName);
    std::string base = longName.substr(0, longName.size() - ext.size());
    auto clean = [](const std::string& s) {
        std::string out;
        for (unsigned char c : s) {
            if (c < 0x80 && (std::isalnum(c) || std::strchr("!#$%&'()-@^_`{}~", c)))
                out += char(std::toupper(c));
        }
        return out;
    };
    std::string b = clean(base);
    std::string e = clean(ext.empty() ? std::string() : ext.substr(1)).substr(0, 3);
    auto upper = [](std::string s) {
        for (auto& c : s) c = char(std::toupper(static_cast<unsigned char>(c)));
        return s;
    };
    bool fits = b == upper(base) && !b.empty() && b.size() <= 8 &&
                (ext.empty() || (e.size() == ext.size() - 1 && "." + e == upper(ext))) && n == 1;
    if (!fits) {
        std::string tail = "~" + std::to_string(n);
        if (b.empty()) b = "ATTACH";
        b = b.substr(0, 8 - std::min<size_t>(tail.size(), 7)) + tail;
    }
    return e.empty() ? b : b + "." + e;
}

bool importMessage(std::string_view bytes, pst::Message& out, std::string& error,
                   const ImportOptions& options) {
    parserOptions();
    if (bytes.empty()) {
        error = "the message is empty";
        return false;
    }
    Importer importer(options);
    return importer.import(bytes, out, error, 0);
}

struct ParsedMessage::Data {
    std::string raw;
    ImportOptions options;
    Parsed parsed;
};

ParsedMessage::ParsedMessage() = default;
ParsedMessage::ParsedMessage(ParsedMessage&&) noexcept = default;
ParsedMessage& ParsedMessage::operator=(ParsedMessage&&) noexcept = default;
ParsedMessage::~ParsedMessage() = default;

std::size_t ParsedMessage::size() const {
    return d_ ? d_->raw.size() : 0;
}

bool parseMessage(std::string_view bytes, ParsedMessage& out, std::string& error,
                  const ImportOptions& options) {
    if (bytes.empty()) {
        error = "the message is empty";
        return false;
    }
    auto d = std::make_unique<ParsedMessage::Data>();
    d->raw.assign(bytes);
    d->options = options;
    if (!parse(d->raw, d->parsed, error, options.wholeParse)) return false;
    out.d_ = std::move(d);
    return true;
}

void fillMessage(const ParsedMessage& parsed, pst::Message& out) {
    if (!parsed.d_) return;
    Importer importer(parsed.d_->options);
    importer.fill(parsed.d_->parsed, parsed.d_->raw, out, 0);
}

bool importMessage(std::string_view bytes, pst::Message& out, std::string& error) {
    return importMessage(bytes, out, error, ImportOptions{currentFileTime()});
}

}  // namespace tp::convert
