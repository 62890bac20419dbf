#include <gmime/gmime.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <iterator>

#include "mail/date.h"
#include "mapi/internal.h"

namespace tp::convert::detail {

void collectMailboxes(InternetAddressList* list, std::vector<Person>& out, int depth) {
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

std::string headerText(std::string_view raw, GMimeParserOptions* options) {
    std::string out;
    if (validUtf8(raw)) {
        out.assign(raw);
    } else {
        GString_ s(g_mime_utils_decode_8bit(options, raw.data(), raw.size()));
        if (s) out = s.get();
    }
    out.erase(std::remove(out.begin(), out.end(), '\0'), out.end());
    return out;
}

namespace {

// One encoded word "=?charset?B?payload?=" (or ?Q?) found in header text.
struct EncodedWord {
    size_t begin = 0, end = 0;
    std::string_view charset, payload;
    char encoding = 0;
};

// The encoded word starting at `pos`, if one does.
std::optional<EncodedWord> encodedWordAt(std::string_view text, size_t pos) {
    if (text.compare(pos, 2, "=?") != 0) return std::nullopt;
    auto plain = [](char c) {
        return c != '?' && c != ' ' && c != '\t' && c != '\r' && c != '\n' && c != '\0';
    };
    size_t i = pos + 2;
    const size_t charsetBegin = i;
    while (i < text.size() && plain(text[i])) ++i;
    if (i == charsetBegin || i + 2 >= text.size() || text[i] != '?' || text[i + 2] != '?')
        return std::nullopt;
    const char enc = char(std::toupper(static_cast<unsigned char>(text[i + 1])));
    if (enc != 'B' && enc != 'Q') return std::nullopt;
    EncodedWord w;
    w.begin = pos;
    w.charset = text.substr(charsetBegin, i - charsetBegin);
    w.encoding = enc;
    i += 3;
    const size_t payloadBegin = i;
    while (i < text.size() && plain(text[i])) ++i;
    if (i + 1 >= text.size() || text[i] != '?' || text[i + 1] != '=') return std::nullopt;
    w.payload = text.substr(payloadBegin, i - payloadBegin);
    w.end = i + 2;
    return w;
}

// A word's charset as GMime compares them: without its language, by its
// canonical name.
std::string charsetKey(std::string_view charset) {
    const std::string name(charset.substr(0, charset.find('*')));
    const char* canon = g_mime_charset_canon_name(name.c_str());
    return lower(canon ? canon : name);
}

// Whether base64 text is whole groups of four without padding: then the next
// word's text may follow it in one stream.
bool wholeQuanta(std::string_view payload) {
    size_t n = 0;
    for (char c : payload) {
        if (c == '=') return false;
        n += g_ascii_isalnum(c) || c == '+' || c == '/';
    }
    return n % 4 == 0;
}

// The bytes of one word's base64 text. Text that ends without its padding
// ("0J/RgNC40LLQtdGCIA" for "Привет ") ends in part of a group, which the
// decoder holds back for more text: padded, its last byte or two come out too.
std::string base64Bytes(std::string_view payload) {
    std::string text(payload);
    if (text.find('=') == std::string::npos) {
        size_t n = 0;
        for (char c : text) n += g_ascii_isalnum(c) || c == '+' || c == '/';
        if (n % 4 == 2) text += "==";
        if (n % 4 == 3) text += "=";
    }
    std::string out(text.size(), '\0');
    int state = 0;
    guint32 save = 0;
    const size_t n = g_mime_encoding_base64_decode_step(
        reinterpret_cast<const unsigned char*>(text.data()), text.size(),
        reinterpret_cast<unsigned char*>(out.data()), &state, &save);
    out.resize(std::min(n, out.size()));
    return out;
}

}  // namespace

std::string joinedEncodedWords(std::string_view text) {
    if (text.find("?=") == std::string_view::npos) return std::string(text);
    std::vector<EncodedWord> words;
    for (size_t pos = text.find("=?"); pos != std::string_view::npos;) {
        if (auto w = encodedWordAt(text, pos)) {
            words.push_back(*w);
            pos = text.find("=?", w->end);
        } else {
            pos = text.find("=?", pos + 1);
        }
    }
    auto blankOnly = [&](size_t from, size_t to) {
        for (size_t i = from; i < to; ++i)
            if (text[i] != ' ' && text[i] != '\t' && text[i] != '\r' && text[i] != '\n')
                return false;
        return true;
    };
    std::string out;
    size_t copied = 0;
    for (size_t i = 0; i < words.size();) {
        // The run GMime decodes as one: base64 words in the same charset with
        // nothing but blanks between them.
        size_t j = i + 1;
        bool ragged = false;
        if (words[i].encoding == 'B') {
            const std::string charset = charsetKey(words[i].charset);
            while (j < words.size() && words[j].encoding == 'B' &&
                   blankOnly(words[j - 1].end, words[j].begin) &&
                   charsetKey(words[j].charset) == charset) {
                ragged = ragged || !wholeQuanta(words[j - 1].payload);
                ++j;
            }
        }
        if (ragged) {
            // Each word decoded on its own, the bytes joined (a character may
            // still straddle two words) and written as one word.
            std::string bytes;
            for (size_t k = i; k < j; ++k) bytes += base64Bytes(words[k].payload);
            GString_ b64(
                g_base64_encode(reinterpret_cast<const guchar*>(bytes.data()), bytes.size()));
            out.append(text.substr(copied, words[i].begin - copied));
            out += "=?";
            out.append(words[i].charset);
            out += "?B?";
            out += b64.get();
            out += "?=";
            copied = words[j - 1].end;
        }
        i = j;
    }
    if (copied == 0) return std::string(text);
    out.append(text.substr(copied));
    return out;
}

std::string decodeHeaderText(std::string_view text, GMimeParserOptions* options) {
    const std::string joined = joinedEncodedWords(text);
    GString_ s(g_mime_utils_header_decode_text(options, joined.c_str()));
    return s ? std::string(s.get()) : std::string();
}

std::optional<pst::FileTime> dateOf(const char* text) {
    const std::optional<MailDate> date = readMailDate(text);
    if (!date) return std::nullopt;
    return fileTimeFromUnix(date->seconds, date->microseconds);
}

std::optional<pst::FileTime> firstReceivedTime(const HeaderView& msg) {
    std::string v = msg.first("Received");
    size_t semi = v.rfind(';');
    if (semi == std::string::npos) return std::nullopt;
    return dateOf(v.c_str() + semi + 1);
}

std::string GMimeHeaders::first(const char* name) const {
    return trim(str(g_mime_object_get_header(GMIME_OBJECT(message_), name)));
}
std::string GMimeHeaders::subject() const {
    // GMime's subject, unless it holds a run of encoded words GMime cuts short:
    // then the field GMime took it from (the last), decoded with the run joined.
    GMimeHeaderList* list = g_mime_object_get_header_list(GMIME_OBJECT(message_));
    for (int i = list ? g_mime_header_list_get_count(list) - 1 : -1; i >= 0; --i) {
        GMimeHeader* h = g_mime_header_list_get_header_at(list, i);
        if (!h || g_ascii_strcasecmp(g_mime_header_get_name(h), "Subject") != 0) continue;
        const std::string value = unfoldedValue(Field{{}, str(g_mime_header_get_raw_value(h))});
        if (joinedEncodedWords(value) != value) return decodeHeaderText(value, options_);
        break;
    }
    return str(g_mime_message_get_subject(message_));
}
std::vector<Person> GMimeHeaders::addresses(GMimeAddressType type) const {
    static const char* const names[] = {"Sender", "From", "Reply-To", "To", "Cc", "Bcc"};
    std::vector<Person> out;
    if (type < 0 || type >= GMimeAddressType(std::size(names))) return out;
    GMimeHeaderList* list = g_mime_object_get_header_list(GMIME_OBJECT(message_));
    const int n = list ? g_mime_header_list_get_count(list) : 0;
    for (int i = 0; i < n; ++i) {
        GMimeHeader* h = g_mime_header_list_get_header_at(list, i);
        if (!h || g_ascii_strcasecmp(g_mime_header_get_name(h), names[type]) != 0) continue;
        // Always through GMime's address parser here: the other reader's plain
        // path is checked against it.
        addressField(str(g_mime_header_get_raw_value(h)), options_, false, out);
    }
    return out;
}
std::optional<pst::FileTime> GMimeHeaders::date() const {
    // The last Date field counts, readable or not, as in GMime's message.
    GMimeHeaderList* list = g_mime_object_get_header_list(GMIME_OBJECT(message_));
    for (int i = list ? g_mime_header_list_get_count(list) - 1 : -1; i >= 0; --i) {
        GMimeHeader* h = g_mime_header_list_get_header_at(list, i);
        if (!h || g_ascii_strcasecmp(g_mime_header_get_name(h), "Date") != 0) continue;
        const char* value = g_mime_header_get_value(h);
        return value ? dateOf(value) : std::nullopt;
    }
    return std::nullopt;
}
std::string GMimeHeaders::messageId() const {
    return str(g_mime_message_get_message_id(message_));
}

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

namespace {

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

}  // namespace

// Our own reader.
std::string OwnHeaders::first(const char* name) const {
    for (const Field& f : fields_)
        if (sameName(f.name, name)) return trim(decoded(f));
    return {};
}
std::string OwnHeaders::subject() const {
    const Field* f = last("Subject");
    return f ? decoded(*f) : std::string();
}
std::vector<Person> OwnHeaders::addresses(GMimeAddressType type) const {
    static const char* const names[] = {"Sender", "From", "Reply-To", "To", "Cc", "Bcc"};
    std::vector<Person> out;
    if (type < 0 || type >= GMimeAddressType(std::size(names))) return out;
    for (const Field& f : fields_)
        if (sameName(f.name, names[type])) addressField(f.raw, options_, true, out);
    return out;
}
std::optional<pst::FileTime> OwnHeaders::date() const {
    // As GMime's message: the last Date field counts, readable or not.
    const Field* f = last("Date");
    return f ? dateOf(decoded(*f).c_str()) : std::nullopt;
}
std::string OwnHeaders::messageId() const {
    const Field* f = last("Message-Id");
    if (!f) return {};
    GString_ id(g_mime_utils_decode_message_id(decoded(*f).c_str()));
    return id ? std::string(id.get()) : std::string();
}
const Field* OwnHeaders::last(const char* name) const {
    for (auto it = fields_.rbegin(); it != fields_.rend(); ++it)
        if (sameName(it->name, name)) return &*it;
    return nullptr;
}
std::string OwnHeaders::decoded(const Field& f) const {
    std::string value = unfoldedValue(f);
    // Plain ASCII without encoded words decodes to itself.
    if (value.find("=?") == std::string::npos &&
        std::all_of(value.begin(), value.end(), [](char c) {
            return static_cast<unsigned char>(c) >= 0x20 && static_cast<unsigned char>(c) < 0x7F;
        }))
        return value;
    return decodeHeaderText(value, options_);
}

namespace {

// The elements of an address list as it stands: split at commas (and at
// semicolons some mailers put between addresses) outside quotes, comments, angle
// brackets and groups; a group ("name: members;") is one element.
std::vector<std::string_view> addressElements(std::string_view v) {
    std::vector<std::string_view> out;
    size_t start = 0;
    bool quoted = false, angled = false, group = false;
    int comment = 0;
    auto push = [&](size_t end) {
        std::string_view e = v.substr(start, end - start);
        const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
        while (!e.empty() && blank(e.front())) e.remove_prefix(1);
        while (!e.empty() && blank(e.back())) e.remove_suffix(1);
        if (!e.empty()) out.push_back(e);
        start = end + 1;
    };
    for (size_t i = 0; i < v.size(); ++i) {
        const char c = v[i];
        if (c == '\\' && (quoted || comment) && i + 1 < v.size()) {
            ++i;
        } else if (quoted) {
            if (c == '"') quoted = false;
        } else if (comment) {
            if (c == '(') ++comment;
            if (c == ')') --comment;
        } else if (c == '"') {
            quoted = true;
        } else if (c == '(') {
            comment = 1;
        } else if (angled) {
            if (c == '>') angled = false;
        } else if (c == '<') {
            angled = true;
        } else if (c == ':' && !group) {
            group = true;
        } else if (c == ';' && group) {
            group = false;
            push(i + 1);
        } else if ((c == ',' || c == ';') && !group) {
            push(i);
        }
    }
    if (start < v.size()) push(v.size());
    return out;
}

// An element GMime could not read, kept as written.
Person rawPerson(std::string_view element, GMimeParserOptions* options) {
    auto decode = [options](std::string_view s) {
        std::string text(s);
        text.erase(std::remove_if(text.begin(), text.end(),
                                  [](char c) { return c == '\r' || c == '\n' || c == '\0'; }),
                   text.end());
        return trim(decodeHeaderText(text, options));
    };
    Person p;
    const size_t lt = element.find('<');
    const size_t gt = element.rfind('>');
    if (lt != std::string_view::npos && gt != std::string_view::npos && gt > lt) {
        p.address = decode(element.substr(lt + 1, gt - lt - 1));
        std::string name = decode(element.substr(0, lt));
        if (name.size() >= 2 && name.front() == '"' && name.back() == '"')
            name = name.substr(1, name.size() - 2);
        p.name = name.empty() ? p.address : name;
    } else {
        p.address = decode(element);
        p.name = p.address;
    }
    return p;
}

}  // namespace

namespace {

// One entry GMime read for `element`: its mailboxes; a group without members
// kept for the display line as written; an entry with neither name nor address
// kept as the element's text.
void addEntry(InternetAddress* ia, std::string_view element, GMimeParserOptions* options,
              std::vector<Person>& out) {
    const size_t before = out.size();
    if (INTERNET_ADDRESS_IS_GROUP(ia)) {
        InternetAddressList* members =
            internet_address_group_get_members(INTERNET_ADDRESS_GROUP(ia));
        if (members && internet_address_list_length(members) > 0) {
            collectMailboxes(members, out, 1);
            if (out.size() != before) return;
        }
        Person p = rawPerson(element, options);
        p.name = p.address;
        p.address.clear();
        p.displayOnly = true;
        out.push_back(std::move(p));
        return;
    }
    if (INTERNET_ADDRESS_IS_MAILBOX(ia)) {
        Person p{trim(str(internet_address_get_name(ia))),
                 trim(str(internet_address_mailbox_get_addr(INTERNET_ADDRESS_MAILBOX(ia))))};
        if (!p.name.empty() || !p.address.empty()) out.push_back(std::move(p));
    }
    if (out.size() == before) out.push_back(rawPerson(element, options));
}

}  // namespace

void addressField(std::string_view raw, GMimeParserOptions* options, bool plainFirst,
                  std::vector<Person>& out) {
    if (plainFirst && plainAddressList(unfoldedValue(Field{{}, raw}), out)) return;
    // Runs of encoded words GMime would cut short are joined first (the parser
    // decodes the names the same way as unstructured text).
    const std::string joined = joinedEncodedWords(raw);
    raw = joined;
    const std::vector<std::string_view> elements = addressElements(raw);
    // GMime's address parser reads the value as it stands, folding and all. When
    // it finds an entry for every element, they are taken in order; else every
    // element is read on its own, so that one it cannot read is kept as written.
    const std::string text = std::string(raw) + "\n";
    if (InternetAddressList* list = internet_address_list_parse(options, text.c_str())) {
        const int n = internet_address_list_length(list);
        if (size_t(n) == elements.size()) {
            for (int i = 0; i < n; ++i)
                addEntry(internet_address_list_get_address(list, i), elements[size_t(i)], options,
                         out);
            g_object_unref(list);
            return;
        }
        g_object_unref(list);
    }
    for (std::string_view element : elements) {
        const std::string one = std::string(element) + "\n";
        InternetAddressList* list = internet_address_list_parse(options, one.c_str());
        const int n = list ? internet_address_list_length(list) : 0;
        for (int i = 0; i < n; ++i)
            addEntry(internet_address_list_get_address(list, i), element, options, out);
        if (n == 0) out.push_back(rawPerson(element, options));
        if (list) g_object_unref(list);
    }
}

}  // namespace tp::convert::detail
